// Key names as files and command lines give them: the roots, full and short, and the registry's
// limits on a key path, checked where the name is read.
#include "ascii.h"
#include "reg_file_parts.h"
#include "root_keys.h"

#include <algorithm>
#include <array>

namespace regfile {

namespace detail {

size_t AmbiguousKeyEnd(std::string_view name) {
    for (size_t close = name.find(']'); close != std::string_view::npos; close = name.find(']', close + 1)) {
        size_t i = close + 1;
        while (i < name.size() && IsBlank(name[i])) ++i;
        if (i < name.size() && name[i] == ';') return i;
    }
    return std::string_view::npos;
}

}  // namespace detail

std::optional<KeyName> ParseKeyName(std::string_view text) {
    if (!text.empty() && text.back() == '\\') text.remove_suffix(1);
    const size_t slash = text.find('\\');
    const std::string_view rootName = text.substr(0, slash);
    const auto root = std::find_if(RootKeys().begin(), RootKeys().end(), [&](const RootKey& r) {
        return EqualsAsciiFolded(rootName, r.name) || EqualsAsciiFolded(rootName, r.shortName);
    });
    if (root == RootKeys().end()) return std::nullopt;
    KeyName key{root->key, ""};
    if (slash == std::string_view::npos) return key;
    key.path = std::string(text.substr(slash + 1));
    if (key.path.empty() || key.path.front() == '\\' || key.path.back() == '\\' ||
        key.path.find("\\\\") != std::string::npos)
        return std::nullopt;
    return key;
}

size_t Utf16Length(std::string_view text) {
    size_t units = 0;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) ++units;  // a character starts here
        if (b >= 0xF0) ++units;           // beyond the BMP: a surrogate pair
    }
    return units;
}

std::string KeyPathFault(std::string_view path, bool whole) {
    auto tooLong = [](const char* what, size_t size, size_t most) {
        return std::string(what) + " of " + std::to_string(size) + " characters; the registry takes at most " +
               std::to_string(most);
    };
    if (whole && Utf16Length(path) > kMaxKeyPath) return tooLong("a key path", Utf16Length(path), kMaxKeyPath);
    size_t levels = 0;
    for (size_t start = 0; start < path.size();) {
        const size_t end = std::min(path.find('\\', start), path.size());
        if (const size_t units = Utf16Length(path.substr(start, end - start)); units > kMaxKeyNamePart)
            return tooLong("a key name", units, kMaxKeyNamePart);
        levels += end > start ? 1 : 0;
        start = end + 1;
    }
    if (levels > kMaxKeyDepth)
        return "a key " + std::to_string(levels) + " levels below its root; keys nest at most " +
               std::to_string(kMaxKeyDepth) + " levels";
    return {};
}

std::string_view RootName(HKEY root) {
    return RootKeyName(root);
}

}  // namespace regfile
