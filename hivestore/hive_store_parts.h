#pragma once
// What the parts of hives in and out of the store share: hives into the store
// (hive_store_import.cpp) and a key of the store out as a hive (hive_store_export.cpp) name keys and
// the store's errors alike in their messages.
#include "error_text.h"
#include "hive_format.h"
#include "hive_store.h"
#include "root_keys.h"

#include <string>

namespace hivestore::detail {

inline std::string ErrorText(LONG rc) {
    return RegistryErrorText(rc);
}

// One rule of Windows, counted from two places: the store's keys nest so many levels below a
// predefined key, a hive's so many counting its root, which is mounted one level below one.
static_assert(hive::format::kMaxDepth == kMaxKeyDepth);
static_assert(hive::format::kMaxKeyName == kMaxKeyName && hive::format::kMaxValueName == kMaxValueName);

// A key named in full, as messages name it.
inline std::string ShowKey(HKEY root, const std::u16string& path) {
    const std::string name(RootKeyName(root));
    return path.empty() ? name : name + "\\" + Utf8(path);
}

}  // namespace hivestore::detail
