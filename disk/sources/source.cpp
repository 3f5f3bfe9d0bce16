// What every source does alike: files read whole in pieces, a hive with its logs, and the choice of
// source by what the path is.
#include "hive_format.h"
#include "source_parts.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace disk {
namespace {

constexpr std::size_t kReadChunk = std::size_t(8) << 20;  // Read reads a file in pieces of this

// Room for a file read whole. The kernel gives it huge pages where it offers them on request, so
// that a 200 MB hive takes a hundred page faults rather than fifty thousand, which cost more than
// reading it.
std::vector<std::uint8_t> LargeBuffer(std::size_t size) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t(2) << 20;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(size);
    const auto at = reinterpret_cast<std::uintptr_t>(bytes.data());
    const std::uintptr_t begin = (at + kHugePage - 1) & ~(kHugePage - 1), end = (at + size) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    bytes.resize(size);
    return bytes;
}

}  // namespace

std::optional<File> Source::Read(const Installation& installation, std::string_view relative,
                                 const Progress& progress) {
    const std::unique_ptr<FileReader> file = OpenFile(installation, relative);
    if (!file) return std::nullopt;
    const std::uint64_t size = file->Size();
    File out{file->Name(), LargeBuffer(std::size_t(size))};
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(kReadChunk, size - done));
        file->ReadAt(done, out.bytes.data() + done, n);
        done += n;
        if (progress) progress(done, size);
    }
    return out;
}

std::unique_ptr<Source> Source::Open(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw Error{path + ": " + std::strerror(errno)};
    if (S_ISDIR(st.st_mode)) return OpenFolder(path);
    return OpenImageSource(path);
}

std::optional<HiveFiles> Source::ReadHive(const Installation& installation, std::string_view relative,
                                          const Progress& progress) {
    std::optional<File> primary = Read(installation, relative, progress);
    if (!primary) return std::nullopt;
    HiveFiles out{std::move(*primary), {}};
    for (const char* suffix : hive::format::kLogSuffixes)
        if (std::optional<File> log = Read(installation, std::string(relative) + suffix))
            out.logs.push_back(std::move(*log));
    return out;
}

}  // namespace disk
