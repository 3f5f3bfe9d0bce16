// A .reg file's entries written to the registry as one store transaction, through the W functions
// for a version 5 file and the A ones for a REGEDIT4 file.
#include "reg_file_parts.h"
#include "registry_store.h"
#include "text.h"

namespace regfile {

using detail::Wide;

namespace {

// The registry functions a file's entries go through: a version 5 file's text is Unicode and goes
// whole through the W functions; a REGEDIT4 file's is ANSI and goes through the A ones, as before.
struct WideCalls {
    static LONG DeleteTree(HKEY root, const std::string& path) { return RegDeleteTreeW(root, Wide(path).c_str()); }
    static LONG Create(HKEY root, const std::string& path, HKEY& h) {
        return RegCreateKeyExW(root, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                               &h, nullptr);
    }
    static LONG DeleteValue(HKEY h, const std::string& name) { return RegDeleteValueW(h, Wide(name).c_str()); }
    static LONG SetValue(HKEY h, const std::string& name, DWORD type, const std::string& data) {
        return RegSetValueExW(h, Wide(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }
};
struct AnsiCalls {
    static LONG DeleteTree(HKEY root, const std::string& path) {
        return RegDeleteTreeA(root, TextToAnsi(path).c_str());
    }
    static LONG Create(HKEY root, const std::string& path, HKEY& h) {
        return RegCreateKeyExA(root, TextToAnsi(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &h, nullptr);
    }
    static LONG DeleteValue(HKEY h, const std::string& name) { return RegDeleteValueA(h, TextToAnsi(name).c_str()); }
    static LONG SetValue(HKEY h, const std::string& name, DWORD type, const std::string& data) {
        return RegSetValueExA(h, TextToAnsi(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }
};

template <typename Calls>
LONG ApplyEntries(const RegFile& file, ApplyResult& result) {
    auto fail = [&](LONG rc, Position where) {
        result.where = where;
        return rc;
    };
    for (const auto& key : file.keys) {
        if (key.removeTree) {
            const LONG rc = Calls::DeleteTree(key.root, key.path);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return fail(rc, key.where);
            continue;
        }
        HKEY h = nullptr;
        if (const LONG rc = Calls::Create(key.root, key.path, h); rc != ERROR_SUCCESS) return fail(rc, key.where);
        for (const auto& value : key.values) {
            LONG rc = ERROR_SUCCESS;
            if (value.remove) {
                rc = Calls::DeleteValue(h, value.name);
                if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
            } else {
                rc = Calls::SetValue(h, value.name, value.type, value.data);
            }
            if (rc != ERROR_SUCCESS) {
                RegCloseKey(h);
                return fail(rc, value.where);
            }
        }
        RegCloseKey(h);
    }
    return ERROR_SUCCESS;
}

}  // namespace

ApplyResult Apply(const RegFile& file) {
    ApplyResult result;
    result.code = RunInStoreTransaction([&]() -> LONG {
        return file.dialect == Dialect::Version5 ? ApplyEntries<WideCalls>(file, result)
                                                 : ApplyEntries<AnsiCalls>(file, result);
    });
    return result;
}

}  // namespace regfile
