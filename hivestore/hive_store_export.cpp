// A key of the store out as a hive: its subtree read in one snapshot and handed to the hive writer
// as a visitor would see it.
#include "hive.h"
#include "hive_store_parts.h"
#include "registry_store.h"

namespace hivestore {

using detail::ErrorText;
using detail::ShowKey;

namespace {

std::string ShowPath(const std::vector<std::u16string>& names) {
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out += '\\';
        out += Utf8(n);
    }
    return out;
}

// Reads a key's subtree into a hive writer, depth first as a visitor would see it.
class TreeReader {
public:
    explicit TreeReader(hive::Writer& writer) : writer_(writer) {}

    void Key(HKEY key, const std::u16string& name, std::vector<std::u16string>& path) {
        if (path.size() > static_cast<size_t>(hive::format::kMaxDepth))
            Fail(ERROR_INVALID_PARAMETER, path,
                 "keys nested deeper than a hive holds (" + std::to_string(hive::format::kMaxDepth) + ")");
        writer_.BeginKey(name);
        for (DWORD i = 0;; ++i) {
            DWORD cch = static_cast<DWORD>(name_.size()), type = 0, cb = static_cast<DWORD>(data_.size());
            LONG rc = RegEnumValueW(key, i, name_.data(), &cch, nullptr, &type, data_.data(), &cb);
            if (rc == ERROR_MORE_DATA && cb > data_.size()) {
                data_.resize(cb);
                cch = static_cast<DWORD>(name_.size());
                cb = static_cast<DWORD>(data_.size());
                rc = RegEnumValueW(key, i, name_.data(), &cch, nullptr, &type, data_.data(), &cb);
            }
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) Fail(rc, path, "cannot read its values: " + ErrorText(rc));
            writer_.Value(std::u16string_view(name_.data(), cch), type,
                          std::span<const std::uint8_t>(data_.data(), cb));
        }
        std::vector<std::u16string> children;
        for (DWORD i = 0;; ++i) {
            char16_t buffer[256];
            DWORD cch = 256;
            const LONG rc = RegEnumKeyExW(key, i, buffer, &cch, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) Fail(rc, path, "cannot read its subkeys: " + ErrorText(rc));
            children.emplace_back(buffer, cch);
        }
        for (const auto& child : children) {
            path.push_back(child);
            HKEY h = nullptr;
            const LONG rc = RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &h);
            if (rc != ERROR_SUCCESS) Fail(rc, path, ErrorText(rc));
            try {
                Key(h, child, path);
            } catch (...) {
                RegCloseKey(h);
                throw;
            }
            RegCloseKey(h);
            path.pop_back();
        }
        writer_.EndKey();
    }

    std::string base;

private:
    [[noreturn]] void Fail(LONG rc, const std::vector<std::u16string>& path, const std::string& what) {
        throw StoreError(rc, base + (path.empty() ? "" : "\\" + ShowPath(path)) + ": " + what);
    }

    hive::Writer& writer_;
    std::vector<char16_t> name_ = std::vector<char16_t>(16384);
    std::vector<std::uint8_t> data_ = std::vector<std::uint8_t>(1 << 16);
};

}  // namespace

std::vector<std::uint8_t> ExportHive(HKEY root, const std::u16string& path, const std::u16string& rootName) {
    const std::string shown = ShowKey(root, path);
    hive::Writer writer;
    // The key as it stands at one moment, as Windows saves a hive, read in one transaction.
    const LONG rc = RunInStoreSnapshot(root, [&]() -> LONG {
        HKEY key = nullptr;
        if (const LONG opened = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key); opened != ERROR_SUCCESS)
            return opened;
        TreeReader reader(writer);
        reader.base = shown;
        std::vector<std::u16string> below;
        try {
            reader.Key(key, rootName, below);
        } catch (...) {
            RegCloseKey(key);
            throw;
        }
        RegCloseKey(key);
        return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS) throw StoreError(rc, shown + ": " + ErrorText(rc));
    return writer.Finish();
}

}  // namespace hivestore
