#include "find_disks.h"

#include "image_kind.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace disk {
namespace {

namespace fs = std::filesystem;

// Far above any descriptor's size: a text file of a few lines per extent.
constexpr std::size_t kMaxDescriptorBytes = 64 * 1024;
constexpr std::string_view kDescriptorStart = "# Disk DescriptorFile";

// The extents a VMDK descriptor file names ("RW 4192256 SPARSE \"disk-s001.vmdk\""), beside it.
std::vector<fs::path> ExtentsNamed(const fs::path& descriptor) {
    std::ifstream in(descriptor, std::ios::binary);
    std::string text(kMaxDescriptorBytes, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(std::size_t(in.gcount()));
    std::vector<fs::path> extents;
    if (text.rfind(kDescriptorStart, 0) != 0) return extents;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        if (!(line.rfind("RW ", 0) == 0 || line.rfind("RDONLY ", 0) == 0 || line.rfind("NOACCESS ", 0) == 0)) continue;
        const std::size_t open = line.find('"'), close = line.rfind('"');
        if (open == std::string_view::npos || close <= open + 1) continue;
        extents.push_back(descriptor.parent_path() / std::string(line.substr(open + 1, close - open - 1)));
    }
    return extents;
}

}  // namespace

FoundDisks FindDisks(const std::string& folder) {
    FoundDisks found;
    std::vector<fs::path> disks;
    std::set<fs::path> parts;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
    if (ec) {
        found.warnings.push_back(folder + ": " + ec.message());
        return found;
    }
    for (; it != end; it.increment(ec)) {
        // Devices, pipes and sockets in a folder are never opened: a tape rewinds when it is.
        std::error_code typeError;
        if (!it->is_regular_file(typeError) || !LooksLikeDisk(it->path().string())) continue;
        disks.push_back(it->path().lexically_normal());
        for (fs::path& extent : ExtentsNamed(it->path())) parts.insert(extent.lexically_normal());
    }
    // The iterator ends at an error it cannot step over (folders it may not read are skipped).
    if (ec) found.warnings.push_back(folder + ": " + ec.message() + ": the search for disk images stopped there");
    std::sort(disks.begin(), disks.end());
    for (const fs::path& disk : disks)
        if (parts.count(disk) == 0) found.disks.push_back(disk.string());
    return found;
}

}  // namespace disk
