#pragma once
// The predefined root keys by name, as .reg files, regstore's KEY arguments and messages name them:
// the full name and its short form.
#include "winapi.h"

#include <array>
#include <string_view>

struct RootKey {
    HKEY key;
    std::string_view name;       // "HKEY_LOCAL_MACHINE"
    std::string_view shortName;  // "HKLM"
};

inline const std::array<RootKey, 5>& RootKeys() {
    static const std::array<RootKey, 5> roots{{
        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
        {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
        {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
        {HKEY_USERS, "HKEY_USERS", "HKU"},
        {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
    }};
    return roots;
}

// The full name of `root`; "" for a handle that is no root key.
inline std::string_view RootKeyName(HKEY root) {
    for (const RootKey& r : RootKeys())
        if (r.key == root) return r.name;
    return {};
}
