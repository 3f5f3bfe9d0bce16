// The rules every source keeps for installations: how names compare, which paths stay inside an
// installation, and the order and names people see.
#include "ascii.h"
#include "source_parts.h"

#include <algorithm>
#include <cctype>

namespace disk {

int CompareFolded(std::string_view a, std::string_view b) {
    return CompareAsciiFolded(a, b);
}

std::vector<std::string> Components(std::string_view relative) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : relative) {
        if (c == '/' || c == '\\') {
            if (!part.empty()) parts.push_back(std::move(part));
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(std::move(part));
    for (const std::string& p : parts)
        if (p == "." || p == "..") throw Error{std::string(relative) + ": a path that leaves its installation"};
    return parts;
}

// The one in use on a volume before the ones an upgrade kept.
void SortInstallations(std::vector<Installation>& list) {
    std::stable_sort(list.begin(), list.end(), [](const Installation& a, const Installation& b) {
        if (a.volume.partition != b.volume.partition) return a.volume.partition < b.volume.partition;
        if (a.volume.offset != b.volume.offset) return a.volume.offset < b.volume.offset;
        if (a.earlier != b.earlier) return b.earlier;
        return CompareFolded(a.folder, b.folder) < 0;
    });
}

// Windows.old, Windows.old.000, ...: where an in-place upgrade keeps the Windows it replaced.
bool KeptByUpgrade(std::string_view folder) {
    const std::string_view top = folder.substr(0, folder.find('/'));
    constexpr std::string_view kOld = "Windows.old";
    if (top.size() < kOld.size() || CompareFolded(top.substr(0, kOld.size()), kOld) != 0) return false;
    const std::string_view rest = top.substr(kOld.size());
    return rest.empty() || (rest.size() > 1 && rest[0] == '.' &&
                            std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

std::string Describe(const Installation& inst) {
    const Volume& v = inst.volume;
    std::string s = v.fileSystem == "folder"
                        ? std::string("folder")
                        : (v.partition == 0 ? std::string("volume") : "partition " + std::to_string(v.partition)) +
                              " (" + v.fileSystem + (v.label.empty() ? "" : " \"" + v.label + "\"") + ", offset " +
                              std::to_string(v.offset) + ")";
    return s + ": " + (inst.folder.empty() ? std::string("/") : inst.folder) +
           (inst.kind == InstallationKind::Win9x ? " (Windows 9x)" : "") +
           (inst.earlier ? " (an earlier Windows, kept by an upgrade)" : "");
}

}  // namespace disk
