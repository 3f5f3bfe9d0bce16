// Hives read from files: the primary file and its logs found beside it, read, mapped or streamed.
#include "ascii.h"
#include "hive_read_parts.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hive {

using namespace format;
using detail::Base;
using detail::BaseFault;
using detail::Note;
using detail::Read;
using detail::ReadBase;

namespace {

// A file open for reading, checked before a byte of it is read.
class File {
public:
    // Refuses, naming the reason, what is no file a hive can be read from.
    explicit File(const std::string& path) : path_(path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) Refuse(std::strerror(errno));
        if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) {
            if (errno == ELOOP) Refuse("a link loop (links that lead back to themselves)");
            if (errno == ENOENT) {
                char target[4096];
                const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
                Refuse("a dangling link" +
                       (n > 0 ? " (to " + std::string(target, std::size_t(n)) + ", which does not exist)"
                              : std::string()));
            }
            Refuse(std::strerror(errno));
        }
        if (S_ISDIR(st.st_mode)) Refuse("a folder, not a hive file");
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) Refuse("a device (a terminal, a disk), not a regular file");
        if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) Refuse("not a regular file");
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) Refuse(errno == EACCES ? "permission denied (it cannot be read)" : std::strerror(errno));
        if (::fstat(fd_, &st) != 0) Refuse(std::strerror(errno));
        regular_ = S_ISREG(st.st_mode);
        if (regular_ && std::uint64_t(st.st_size) > kMaxFileSize)
            Refuse(std::to_string(st.st_size) + " bytes, larger than any hive (at most " +
                   std::to_string(kMaxFileSize) + ")");
        if (!regular_ && !S_ISFIFO(st.st_mode)) Refuse("not a regular file");
        size_ = regular_ ? std::uint64_t(st.st_size) : 0;
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // A pipe: read once, from start to end.
    bool Stream() const { return !regular_; }

    // The bytes from where reading stands, at most `limit` of them, in a buffer with room for
    // `room` more. No hive is larger than kMaxFileSize: a pipe that goes on is refused.
    std::vector<std::uint8_t> Read(std::size_t room = 0, std::uint64_t limit = kMaxFileSize + 1) {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(std::min<std::uint64_t>(size_, limit) + room);
        if (regular_) {
            // A regular file's bytes go straight into their place: no copy, and no buffer beside them
            // in memory (a dirty hive's replay is held to the memory its logs take).
            bytes.resize(std::min<std::uint64_t>(size_, limit));
            for (std::size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::read(fd_, bytes.data() + at, bytes.size() - at);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) Refuse(std::string("cannot be read: ") + std::strerror(errno));
                if (n == 0) bytes.resize(at);  // shorter than it was a moment ago
                at += std::size_t(n);
            }
        }
        // What a stream holds, or a file that grew meanwhile (or says it has no size, as /proc's do).
        Append(bytes, limit);
        return bytes;
    }

    // Reads on into `bytes` until it holds `limit` of them or the file ends.
    void Append(std::vector<std::uint8_t>& bytes, std::uint64_t limit) {
        std::uint8_t buf[1 << 16];
        while (bytes.size() < limit) {
            const ssize_t n = ::read(fd_, buf, std::min<std::uint64_t>(sizeof buf, limit - bytes.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Refuse(std::string("cannot be read: ") + std::strerror(errno));
            if (n == 0) break;
            bytes.insert(bytes.end(), buf, buf + n);
        }
        if (bytes.size() > kMaxFileSize)
            Refuse("larger than any hive (at most " + std::to_string(kMaxFileSize) + " bytes)");
    }

    // The first `n` bytes of a regular file, leaving the position where it was.
    std::vector<std::uint8_t> Head(std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        const ssize_t got = ::pread(fd_, bytes.data(), n, 0);
        if (got < 0) Refuse(std::string("cannot be read: ") + std::strerror(errno));
        bytes.resize(std::size_t(got));
        return bytes;
    }

private:
    [[noreturn]] void Refuse(const std::string& why) const { throw HiveError(path_ + ": " + why); }

    std::string path_;
    int fd_ = -1;
    bool regular_ = false;
    std::uint64_t size_ = 0;
};

// A clean hive's file mapped instead of copied: the walk reads it once, and a copy would cost its
// size again in memory and the time to fault that in. Empty when the file is no regular file of a
// hive's size, or the system has no mmap: the caller reads it then, and says what is wrong.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& path) {
#ifndef _WIN32
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && std::uint64_t(st.st_size) >= kBaseBlockSize &&
            std::uint64_t(st.st_size) <= kMaxFileSize) {
            void* at = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (at != MAP_FAILED) bytes_ = {static_cast<const std::uint8_t*>(at), std::size_t(st.st_size)};
        }
        ::close(fd);
#else
        (void)path;
#endif
    }
    ~MappedFile() {
#ifndef _WIN32
        if (!bytes_.empty()) ::munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
#endif
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const std::uint8_t> Bytes() const {
        return bytes_;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return EqualsAsciiFolded(a, b);
}

std::vector<std::string> LogNames(const std::string& primary) {
    std::vector<std::string> names;
    for (const char* suffix : kLogSuffixes) names.push_back(primary + suffix);
    return names;
}

}  // namespace

ReadReport ReadHive(const NamedBytes& primary, std::span<const NamedBytes> logs, Visitor& visitor) {
    std::vector<std::string> names;
    for (const auto& log : logs) names.push_back(log.name);
    std::sort(names.begin(), names.end());
    if (names.empty()) names = LogNames(primary.name);
    return Read(primary, nullptr, logs, names, {}, visitor);
}

ReadReport ReadHiveFile(const std::string& path, Visitor& visitor) {
    namespace fs = std::filesystem;
    File file(path);
    if (file.Stream()) {
        // Read once; no logs lie beside a pipe. What follows the bins a sound base block names is
        // not needed, and a pipe that is no hive is not read past its first block.
        std::vector<std::uint8_t> bytes = file.Read(0, kBaseBlockSize);
        const Base first = ReadBase(bytes);
        if (bytes.size() == kBaseBlockSize && first.signatureOk && first.checksumOk && BaseFault(first).empty())
            file.Append(bytes, kBaseBlockSize + std::uint64_t(first.fields.binsSize));
        return Read({path, bytes}, &bytes, {}, {"none: read from a pipe"}, {}, visitor);
    }
    const fs::path p(path);
    const std::string base = p.filename().string();
    std::vector<std::vector<std::uint8_t>> logBytes;
    std::vector<std::string> logNames;
    std::vector<Note> notes;
    // The logs matter only to a dirty hive; reading them otherwise would cost their size for nothing.
    const std::vector<std::uint8_t> head = file.Head(kLogSector);
    const Base first = ReadBase(head);
    const bool dirty =
        head.size() == kLogSector && (!first.signatureOk || !first.checksumOk || first.seq1 != first.seq2);
    std::size_t room = 0;
    if (dirty) {
        std::error_code ec;
        const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
        std::vector<fs::path> entries;
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            entries.push_back(it->path());
        std::sort(entries.begin(), entries.end());
        for (const char* suffix : kLogSuffixes) {
            const std::string wanted = base + suffix;
            std::optional<fs::path> found;
            for (const auto& e : entries) {
                const std::string n = e.filename().string();
                if (n == wanted) {
                    found = e;
                    break;
                }
                if (!found && SameIgnoringAsciiCase(n, wanted)) found = e;
            }
            if (!found) continue;
            try {
                File log(found->string());
                logBytes.push_back(log.Read());
                logNames.push_back(found->string());
                room += logBytes.back().size();
            } catch (const HiveError& e) {
                notes.push_back({e.what(), true});
            }
        }
    }
    if (!dirty && !file.Stream()) {
        const MappedFile mapped(p);
        if (!mapped.Bytes().empty())
            return Read({path, mapped.Bytes()}, nullptr, {}, LogNames(path), std::move(notes), visitor);
    }
    // Room for all that replay may add (no more than the logs hold), so the bytes are never moved.
    std::vector<std::uint8_t> bytes = file.Read(room);
    std::vector<NamedBytes> logs;
    for (std::size_t i = 0; i < logBytes.size(); ++i) logs.push_back({logNames[i], logBytes[i]});
    // Replayed, the logs go before the walk: the store's writes during it take memory of their own.
    const auto release = [&] {
        logs.clear();
        std::vector<std::vector<std::uint8_t>>().swap(logBytes);
    };
    return Read({path, bytes}, &bytes, logs, LogNames(path), std::move(notes), visitor, release);
}

}  // namespace hive
