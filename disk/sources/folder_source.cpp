// A folder as a source: a mounted volume's root, an installation's folder or its System32/config
// folder, its names found without regard to case.
#include "source_parts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace disk {
namespace {

namespace fs = std::filesystem;

class FolderFile : public FileReader {
public:
    FolderFile(std::string path, std::uint64_t& counter) : path_(std::move(path)), counter_(counter) {
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            throw Error{path_ + ": " +
                        (errno == EACCES ? "permission denied (it cannot be read)" : std::strerror(errno))};
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            ::close(fd_);
            throw Error{path_ + ": " + std::strerror(errno)};
        }
        size_ = std::uint64_t(st.st_size);
        if (size_ > kMaxFileBytes) {
            ::close(fd_);
            throw Error{path_ + ": " + std::to_string(size_) + " bytes, more than a registry file can hold"};
        }
    }
    ~FolderFile() override { ::close(fd_); }
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return path_; }
    void ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
        if (offset > size_ || length > size_ - offset)
            throw Error{path_ + ": " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                        " lie past its end"};
        auto* out = static_cast<std::uint8_t*>(buffer);
        for (std::size_t done = 0; done < length;) {
            const ssize_t n = ::pread(fd_, out + done, length - done, off_t(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0)
                throw Error{path_ + ": " + std::strerror(errno) + " (at offset " + std::to_string(offset + done) + ")"};
            if (n == 0)
                throw Error{path_ + ": shorter than its size while read (at offset " + std::to_string(offset + done) +
                            ")"};
            done += std::size_t(n);
        }
        counter_ += length;
    }

private:
    std::string path_;
    std::uint64_t& counter_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

class FolderSource : public Source {
public:
    explicit FolderSource(const std::string& path) : path_(path) {
        std::string root = path;
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        root_ = root;
        if (!Find(root_, {"SYSTEM"}).empty() || !Find(root_, {"SOFTWARE"}).empty()) {
            // The config folder itself: System32/config/NAME is NAME in it.
            configOnly_ = true;
            installations_.push_back({{0, 0, "folder", ""}, "", InstallationKind::Nt});
            NoteCaseTwins();
            return;
        }
        if (IsNt(root_)) installations_.push_back({{0, 0, "folder", ""}, "", InstallationKind::Nt});
        // A Windows 95, 98 or Me folder itself; USER.DAT may be missing there, and is then named.
        else if (!Find(root_, {"SYSTEM.DAT"}).empty())
            installations_.push_back({{0, 0, "folder", ""}, "", InstallationKind::Win9x});
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root_, ec)) {
            std::error_code e2;
            if (!entry.is_directory(e2)) continue;
            const std::string name = entry.path().filename().string();
            if (IsNt(entry.path().string()))
                installations_.push_back({{0, 0, "folder", ""}, name, InstallationKind::Nt, KeptByUpgrade(name)});
            // SYSTEM.DAT alone tells the version: a missing USER.DAT is named when it is read.
            else if (!Find(entry.path().string(), {"SYSTEM.DAT"}).empty())
                installations_.push_back({{0, 0, "folder", ""}, name, InstallationKind::Win9x});
            if (!KeptByUpgrade(name)) continue;
            for (const auto& inner : fs::directory_iterator(entry.path(), e2)) {
                std::error_code e3;
                if (inner.is_directory(e3) && IsNt(inner.path().string()))
                    installations_.push_back({{0, 0, "folder", ""},
                                              name + "/" + inner.path().filename().string(),
                                              InstallationKind::Nt,
                                              true});
            }
        }
        if (ec) throw Error{path + ": " + ec.message()};
        if (installations_.empty())
            if (const std::string link = BrokenLinkOnTheWay(root_); !link.empty()) throw Error{link};
        if (installations_.empty())
            throw Error{path +
                        ": no Windows/System32/config folder in it (nor SYSTEM and SOFTWARE hives, nor a "
                        "Windows 9x folder with SYSTEM.DAT): not a Windows volume"};
        SortInstallations(installations_);
        NoteCaseTwins();
    }

    const std::vector<Installation>& Installations() const override { return installations_; }
    const std::vector<std::string>& Warnings() const override { return warnings_; }
    std::uint64_t BytesRead() const override { return bytesRead_; }
    const std::string& Path() const override { return path_; }

    std::unique_ptr<FileReader> OpenFile(const Installation& inst, std::string_view relative) override {
        std::vector<std::string> parts = Components(relative);
        std::string base = inst.folder.empty() ? root_ : root_ + "/" + inst.folder;
        if (configOnly_) {
            if (parts.size() < 3 || CompareFolded(parts[0], "System32") != 0 || CompareFolded(parts[1], "config") != 0)
                return nullptr;
            parts.erase(parts.begin(), parts.begin() + 2);
        }
        const std::string file = Find(base, parts);
        if (file.empty()) return nullptr;
        CheckRegular(file);
        return std::make_unique<FolderFile>(file, bytesRead_);
    }

private:
    // The entry below `base` along `parts`, whatever kind of entry it is, each found without regard
    // to case: the exact spelling first, else the first in sorted order. "" when one is missing.
    // Entries whose names differ only in case are named in `warnings`, with the one taken.
    static std::string Find(const std::string& base, const std::vector<std::string>& parts,
                            std::vector<std::string>* warnings = nullptr) {
        std::string at = base;
        for (const std::string& part : parts) {
            std::error_code ec;
            std::vector<std::string> found;
            for (const auto& entry : fs::directory_iterator(at, ec)) {
                std::string name = entry.path().filename().string();
                if (CompareFolded(name, part) == 0) found.push_back(std::move(name));
            }
            if (found.empty()) return "";
            std::sort(found.begin(), found.end());
            const auto exact = std::find(found.begin(), found.end(), part);
            const std::string taken = exact != found.end() ? *exact : found.front();
            if (found.size() > 1 && warnings != nullptr) {
                std::string all;
                for (const auto& f : found) all += (all.empty() ? "" : " and ") + f;
                warnings->push_back(at + ": " + all + " differ only in case; " + taken + " is read");
            }
            at += "/" + taken;
        }
        return at;
    }
    // A symbolic link on the way to a hive, in `root` or one of its folders, that leads nowhere here
    // (a junction to another volume as a mount shows it, a link into another system's paths),
    // named; "" when there is none.
    static std::string BrokenLinkOnTheWay(const std::string& root) {
        std::vector<std::string> bases{root};
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root, ec)) bases.push_back(entry.path().string());
        for (const std::string& base : bases) {
            std::string at = base;
            for (const char* part : {"", "System32", "config", "SYSTEM"}) {
                if (*part != '\0') at = Find(at, {part});
                struct stat st {};
                if (at.empty()) break;
                if (::lstat(at.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(at.c_str(), &st) != 0) {
                    const fs::path target = fs::read_symlink(at, ec);
                    return at + " is a symbolic link to " + (ec ? std::string("a place") : target.string()) +
                           ", which is not there: not followed";
                }
                if (*part == '\0' && at != root && !fs::is_directory(at, ec)) break;
            }
        }
        return "";
    }
    // What stands at `path` when it is no regular file to read, named: a folder, a dangling link, a
    // link loop, a device.
    static void CheckRegular(const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) throw Error{path + ": " + std::strerror(errno)};
        if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) {
            if (errno == ELOOP) throw Error{path + ": a link loop (links that lead back to themselves)"};
            if (errno == ENOENT) {
                std::error_code ec;
                const fs::path target = fs::read_symlink(path, ec);
                throw Error{path + ": a dangling link" +
                            (ec ? "" : " (to " + target.string() + ", which does not exist)")};
            }
            throw Error{path + ": " + std::strerror(errno)};
        }
        if (S_ISDIR(st.st_mode)) throw Error{path + ": a folder, not a file"};
        if (!S_ISREG(st.st_mode)) throw Error{path + ": not a regular file"};
    }
    // Two hives whose names differ only in case (SOFTWARE and software): which one is read is said.
    void NoteCaseTwins() {
        for (const auto& inst : installations_) {
            if (inst.kind != InstallationKind::Nt) continue;
            const std::string base = inst.folder.empty() ? root_ : root_ + "/" + inst.folder;
            for (const char* hive : {"SOFTWARE", "SYSTEM"}) {
                if (configOnly_) Find(base, {hive}, &warnings_);
                else Find(base, {"System32", "config", hive}, &warnings_);
            }
        }
    }
    static bool IsNt(const std::string& folder) {
        return !Find(folder, {"System32", "config", "SYSTEM"}).empty() &&
               !Find(folder, {"System32", "config", "SOFTWARE"}).empty();
    }

    std::string path_, root_;
    bool configOnly_ = false;
    std::vector<Installation> installations_;
    std::vector<std::string> warnings_;
    std::uint64_t bytesRead_ = 0;
};

}  // namespace

std::unique_ptr<Source> OpenFolder(const std::string& path) {
    return std::make_unique<FolderSource>(path);
}

}  // namespace disk
