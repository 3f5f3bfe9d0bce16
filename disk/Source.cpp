#include "Disk.h"
#include "Hex.h"
#include "Image.h"
#include "Layout.h"
#include "NtfsFolders.h"
#include "NtfsFormat.h"
#include "Tsk.h"
#include "Wtf8.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <tsk/libtsk.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

namespace disk {
namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t kVolumeDirty = 0x0001;            // $VOLUME_INFORMATION flag: not shut down cleanly
constexpr TSK_INUM_T kNtfsVolumeFile = 3;                 // $Volume, the MFT record of the label and flags
constexpr std::size_t kReadChunk = std::size_t(8) << 20;  // Read reads a file in pieces of this
const char* const kLogSuffixes[] = {".LOG1", ".LOG2", ".LOG"};

int CompareFolded(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = std::toupper(static_cast<unsigned char>(a[i])),
                  y = std::toupper(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
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

// Little-endian UTF-16 bytes as units; an odd last byte is none.
std::u16string Units(const std::uint8_t* bytes, std::size_t size) {
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) units[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return units;
}

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

// ---- A folder: a mounted volume, an installation's folder or its System32/config folder. ----

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
            else if (!Find(entry.path().string(), {"SYSTEM.DAT"}).empty() &&
                     !Find(entry.path().string(), {"USER.DAT"}).empty())
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
                        "Windows 9x folder with SYSTEM.DAT and USER.DAT): not a Windows volume"};
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

// ---- An image or a device, through The Sleuth Kit's file systems. ----

// The Sleuth Kit reads the virtual disk through this: its image header comes first.
struct TskDisk {
    TSK_IMG_INFO info;
    Image* image;
    std::string lastError;
};

ssize_t TskDiskRead(TSK_IMG_INFO* img, TSK_OFF_T offset, char* buffer, size_t length) {
    auto* d = reinterpret_cast<TskDisk*>(img);
    if (offset < 0 || std::uint64_t(offset) >= d->image->Size()) return 0;
    length = std::size_t(std::min<std::uint64_t>(length, d->image->Size() - std::uint64_t(offset)));
    try {
        d->image->Read(std::uint64_t(offset), buffer, length);
        return ssize_t(length);
    } catch (const Error& e) {
        d->lastError = e.what();
        return -1;
    }
}

void TskDiskClose(TSK_IMG_INFO* img) {
    delete reinterpret_cast<TskDisk*>(img);
}
void TskDiskStat(TSK_IMG_INFO*, FILE*) {}

struct TskImageCloser {
    void operator()(TSK_IMG_INFO* img) const { tsk_img_close(img); }
};

// A stretch of a file: `length` bytes from `fileOffset` lie at `diskOffset` of the disk, or are zeros.
struct Run {
    std::uint64_t fileOffset, length, diskOffset;
    bool zero;
};

struct ImageVolume {
    Volume volume;
    std::uint64_t length = 0;
    TSK_FS_INFO* fs = nullptr;
    std::optional<ntfs::Folders> folders;  // on NTFS: paths found through the folders' indexes
    ImageVolume() = default;
    ImageVolume(const ImageVolume&) = delete;
    ImageVolume& operator=(const ImageVolume&) = delete;
    ~ImageVolume() {
        folders.reset();
        if (fs != nullptr) tsk_fs_close(fs);
    }
};

class ImageSource;

class ImageFile : public FileReader {
public:
    ImageFile(ImageSource& source, TskFile file, std::string name, std::uint64_t size,
              std::optional<std::vector<Run>> runs)
        : source_(source), file_(std::move(file)), name_(std::move(name)), size_(size), runs_(std::move(runs)) {}
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return name_; }
    void ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

private:
    ImageSource& source_;
    TskFile file_;
    std::string name_;
    std::uint64_t size_;
    std::optional<std::vector<Run>> runs_;
};

class ImageSource : public Source {
    friend class ImageFile;

public:
    explicit ImageSource(const std::string& path) : path_(path), image_(OpenImage(path)) {
        const auto read = [this](std::uint64_t offset, void* buffer, std::size_t length) {
            image_->Read(offset, buffer, length);
        };
        layout::Table table;
        try {
            table = layout::ReadTable(read, image_->Size(), image_->SectorSize());
        } catch (const Error& e) {
            const std::string what = e.what();
            throw Error{what.rfind(path, 0) == 0 ? what : path + ": " + what};
        }
        auto* disk = new TskDisk{};
        disk->image = image_.get();
        tsk_.reset(tsk_img_open_external(disk, TSK_OFF_T(image_->Size()), table.sectorSize, TskDiskRead, TskDiskClose,
                                         TskDiskStat));
        if (tsk_ == nullptr) {
            delete disk;
            throw Error{path + ": " + TskMessage()};
        }
        std::vector<std::string> refusals;
        for (const layout::Slice& slice : table.slices) {
            try {
                OpenVolume(slice, refusals);
            } catch (const Error& e) {
                refusals.push_back(e.what());
            }
        }
        // A link that left the volume on the way to a hive is why an installation is missing: named
        // when nothing was found, and otherwise when it lies below a top-level folder.
        for (const auto& [text, depth] : linkRefusals_)
            if (installations_.empty() || depth > 1) refusals.push_back(text);
        if (installations_.empty()) {
            if (!refusals.empty()) throw Error{refusals.front()};
            std::string seen;
            for (const auto& v : volumes_)
                seen += (seen.empty() ? "" : ", ") + Where(v->volume) + " " + v->volume.fileSystem;
            throw Error{path + ": no Windows installation on it" + (seen.empty() ? "" : " (read " + seen + ")")};
        }
        warnings_.insert(warnings_.end(), refusals.begin(), refusals.end());
        SortInstallations(installations_);
    }

    const std::vector<Installation>& Installations() const override { return installations_; }
    const std::vector<std::string>& Warnings() const override { return warnings_; }
    std::uint64_t BytesRead() const override { return image_->BytesRead(); }
    const std::string& Path() const override { return path_; }

    std::unique_ptr<FileReader> OpenFile(const Installation& inst, std::string_view relative) override {
        ImageVolume* v = VolumeOf(inst);
        std::string inside = inst.folder;
        for (const std::string& part : Components(relative)) inside += (inside.empty() ? "" : "/") + part;
        const std::string name = path_ + ", " + Where(v->volume) + ", " + inside;
        Located found = Lookup(*v, inside, true);
        if (!found.refusal.empty()) throw Error{found.refusal};
        TskFile file = std::move(found.file);
        if (!found.regular || !file || file->meta == nullptr) return nullptr;
        if (const std::uint32_t tag = ReparseTag(file.get()); tag != 0)
            throw Error{
                name + ": " +
                (tag == ntfs::reparse::kTagWof
                     ? std::string("a file Windows stored compressed (WOF), which this reader cannot decompress")
                     : "a reparse point (tag " + Hex(tag, 8) + "), not a file's own data")};
        const TSK_OFF_T claimed = file->meta->size;
        if (claimed < 0 || std::uint64_t(claimed) > kMaxFileBytes || std::uint64_t(claimed) > v->length)
            throw Error{name + ": claims " + std::to_string(claimed) + " bytes, more than " +
                        (std::uint64_t(claimed) > v->length ? "its volume holds" : "a registry file can hold")};
        auto runs = Runs(*v, file.get(), std::uint64_t(claimed), name);
        return std::make_unique<ImageFile>(*this, std::move(file), name, std::uint64_t(claimed), std::move(runs));
    }

private:
    static std::string Where(const Volume& v) {
        return v.partition == 0 ? std::string("the volume") : "partition " + std::to_string(v.partition);
    }
    TskDisk* Disk() const { return reinterpret_cast<TskDisk*>(tsk_.get()); }

    ImageVolume* VolumeOf(const Installation& inst) {
        for (auto& v : volumes_)
            if (v->volume.partition == inst.volume.partition && v->volume.offset == inst.volume.offset) return v.get();
        throw Error{path_ + ": no volume at offset " + std::to_string(inst.volume.offset)};
    }

    void OpenVolume(const layout::Slice& slice, std::vector<std::string>& refusals) {
        const std::string where =
            path_ + ": " +
            (slice.partition == 0 ? std::string("the volume") : "partition " + std::to_string(slice.partition)) +
            " (offset " + std::to_string(slice.offset) + ")";
        if (slice.typeSays == layout::Content::Skip) return;
        if (slice.typeSays == layout::Content::Ldm || slice.typeSays == layout::Content::StorageSpaces ||
            slice.typeSays == layout::Content::Lvm) {
            refusals.push_back(where + ": " + layout::Refusal(slice.typeSays));
            return;
        }
        if (slice.offset >= image_->Size() || slice.length > image_->Size() - slice.offset) {
            refusals.push_back(where + ": runs past the end of the disk (" + std::to_string(image_->Size()) +
                               " bytes): a truncated image");
            return;
        }
        std::vector<std::uint8_t> head(std::size_t(std::min<std::uint64_t>(layout::kHeadBytes, slice.length)));
        image_->Read(slice.offset, head.data(), head.size());
        const layout::Content content = layout::Probe(head.data(), head.size());
        if (content != layout::Content::Ntfs && content != layout::Content::Fat) {
            // A Linux file system beside Windows is none of our business; a Windows volume we cannot
            // read, or a disk that is nothing we know, is named.
            if (content != layout::Content::Unknown || slice.windowsType)
                refusals.push_back(where + ": " + layout::Refusal(content));
            return;
        }
        auto v = std::make_unique<ImageVolume>();
        v->volume.partition = slice.partition;
        v->volume.offset = slice.offset;
        v->length = slice.length;
        const bool ntfs = content == layout::Content::Ntfs;
        v->volume.fileSystem = ntfs ? "NTFS" : layout::FatKind(head.data(), head.size());
        tsk_error_reset();
        v->fs = tsk_fs_open_img(tsk_.get(), TSK_OFF_T(slice.offset), ntfs ? TSK_FS_TYPE_NTFS : TSK_FS_TYPE_FAT_DETECT);
        if (v->fs == nullptr) {
            refusals.push_back(where + ": a damaged " + v->volume.fileSystem +
                               " volume: " + (Disk()->lastError.empty() ? TskMessage() : Disk()->lastError));
            return;
        }
        if (ntfs) {
            const std::uint64_t at = v->volume.offset;
            v->folders.emplace(
                v->fs, path_ + ", " + Where(v->volume),
                [this, at](std::uint64_t offset, void* buffer, std::size_t length) {
                    image_->Read(at + offset, buffer, length);
                },
                v->length);
            NtfsState(*v, where);
        } else {
            v->volume.label = layout::FatLabel(head.data(), head.size());
        }
        ImageVolume& volume = *v;
        volumes_.push_back(std::move(v));
        FindInstallations(volume, ntfs);
    }

    // The label, and whether Windows left the volume hibernated or dirty.
    void NtfsState(ImageVolume& v, const std::string& where) {
        TskFile meta(tsk_fs_file_open_meta(v.fs, nullptr, kNtfsVolumeFile));
        if (meta) {
            if (const TSK_FS_ATTR* name = tsk_fs_file_attr_get_type(meta.get(), TSK_FS_ATTR_TYPE_NTFS_VNAME, 0, 0);
                name != nullptr && (name->flags & TSK_FS_ATTR_RES) && name->rd.buf != nullptr)
                v.volume.label =
                    Utf16ToWtf8(Units(name->rd.buf, std::size_t(std::min<TSK_OFF_T>(name->size, name->rd.buf_size))));
            if (const TSK_FS_ATTR* info = tsk_fs_file_attr_get_type(meta.get(), TSK_FS_ATTR_TYPE_NTFS_VINFO, 0, 0);
                info != nullptr && (info->flags & TSK_FS_ATTR_RES) && info->rd.buf != nullptr && info->size >= 12) {
                const std::uint16_t flags = std::uint16_t(info->rd.buf[10] | info->rd.buf[11] << 8);
                if (flags & kVolumeDirty)
                    warnings_.push_back(where +
                                        ": Windows did not shut this volume down cleanly; read as it lies on disk");
            }
        }
        tsk_error_reset();
        TskFile hiber;
        try {
            hiber = std::move(Lookup(v, "hiberfil.sys", true).file);
        } catch (const Error& e) {
            warnings_.push_back(e.what());
        }
        if (hiber && hiber->meta != nullptr && hiber->meta->size >= 4) {
            char magic[4] = {};
            if (tsk_fs_file_read(hiber.get(), 0, magic, 4, TSK_FS_FILE_READ_FLAG_NONE) == 4 &&
                CompareFolded({magic, 4}, "HIBR") == 0)
                warnings_.push_back(where +
                                    ": Windows is hibernated on this volume (hiberfil.sys); what it changed since "
                                    "is not on disk, read as it lies");
        }
        tsk_error_reset();
    }

    void FindInstallations(ImageVolume& v, bool ntfs) {
        if (ntfs) {
            for (const std::string& name : v.folders->Subfolders("")) {
                Consider(v, name, true);
                // An in-place upgrade keeps the Windows it replaced in Windows.old\WINDOWS.
                if (KeptByUpgrade(name))
                    for (const std::string& inner : v.folders->Subfolders(name)) Consider(v, name + "/" + inner, true);
            }
            return;
        }
        TSK_FS_DIR* dir = tsk_fs_dir_open_meta(v.fs, v.fs->root_inum);
        if (dir == nullptr)
            throw Error{path_ + ": " + Where(v.volume) + ": its root folder cannot be read: " + TskMessage()};
        std::map<TSK_INUM_T, std::string> folders;
        const size_t count = tsk_fs_dir_getsize(dir);
        for (size_t i = 0; i < count; ++i) {
            TskFile f(tsk_fs_dir_get(dir, i));
            if (!f || f->name == nullptr || f->name->name == nullptr) continue;
            if (!(f->name->flags & TSK_FS_NAME_FLAG_ALLOC) || f->name->type != TSK_FS_NAME_TYPE_DIR) continue;
            const std::string name = f->name->name;
            if (name == "." || name == ".." || name.empty() || name[0] == '$') continue;
            auto& kept = folders[f->name->meta_addr];
            if (name.size() > kept.size()) kept = name;
        }
        tsk_fs_dir_close(dir);
        for (const auto& [inum, name] : folders) Consider(v, name, false);
    }

    // The folder `name` as an installation, when it holds one: System32/config/SYSTEM and SOFTWARE
    // (on FAT also SYSTEM.DAT and USER.DAT, a Windows 9x).
    void Consider(ImageVolume& v, const std::string& name, bool ntfs) {
        const bool nt = Exists(v, name + "/System32/config/SYSTEM") && Exists(v, name + "/System32/config/SOFTWARE");
        const bool win9x = !ntfs && !nt && Exists(v, name + "/SYSTEM.DAT") && Exists(v, name + "/USER.DAT");
        if (nt || win9x)
            installations_.push_back(
                {v.volume, name, nt ? InstallationKind::Nt : InstallationKind::Win9x, KeptByUpgrade(name)});
    }

    // Present, also when damaged: reading it then names the damage. A link on the way that leaves
    // the volume is named in the refusals.
    bool Exists(ImageVolume& v, const std::string& inside) {
        try {
            const Located found = Lookup(v, inside, false);
            if (!found.refusal.empty()) linkRefusals_.push_back({found.refusal, found.linkDepth});
            return found.regular;
        } catch (const Error&) {
            return true;
        }
    }

    struct Located {
        bool regular = false;       // a file (not a folder) is there
        TskFile file;               // opened, when asked for
        std::string refusal;        // why nothing is there: a link on the way leaves the volume
        std::size_t linkDepth = 0;  // folders before that link (1: it is a top-level one)
    };

    // The file at `inside` (no leading '/'), each name compared as the file system compares them
    // (without regard to case on NTFS and FAT, a FAT short name too), only names in use; null when
    // there is none. A file found is opened with `open`. Throws Error when the volume's records of it
    // are damaged.
    Located Lookup(ImageVolume& v, const std::string& inside, bool open) {
        tsk_error_reset();
        Disk()->lastError.clear();
        if (v.folders) {
            Components(inside);  // refuses a path that leaves the installation
            try {
                ntfs::Found found = v.folders->Resolve(inside);
                const bool regular = found.record && !found.folder;
                return {regular, regular && open ? v.folders->Open(*found.record, inside) : nullptr,
                        std::move(found.refusal), found.linkDepth};
            } catch (const Error& e) {
                if (Disk()->lastError.empty()) throw;
                throw Error{std::string(e.what()) + " (" + Disk()->lastError + ")"};
            }
        }
        TskFile file = FatLookup(v, inside);
        const bool regular = file && file->meta != nullptr && file->meta->type == TSK_FS_META_TYPE_REG;
        return {regular, std::move(file), "", 0};
    }

    // FAT folders are small and have no records of deleted files to re-read: The Sleuth Kit lists
    // them. The folders are walked here, each closed again: its own path lookup leaks the folders
    // it opened when a damaged FAT folder stops it.
    TskFile FatLookup(ImageVolume& v, const std::string& inside) {
        const auto damaged = [&] {
            return Error{path_ + ", " + Where(v.volume) + ", " + inside + ": its records on the volume are damaged: " +
                         (Disk()->lastError.empty() ? TskMessage() : Disk()->lastError)};
        };
        TSK_INUM_T at = v.fs->root_inum;
        for (const std::string& part : Components(inside)) {
            const std::unique_ptr<TSK_FS_DIR, void (*)(TSK_FS_DIR*)> dir(tsk_fs_dir_open_meta(v.fs, at),
                                                                         tsk_fs_dir_close);
            if (!dir) {
                // Not a folder, or one whose records cannot be read.
                if (tsk_error_get_errno() != 0 && tsk_error_get_errno() != TSK_ERR_FS_ARG) throw damaged();
                tsk_error_reset();
                return nullptr;
            }
            const auto same = [&](const char* name) {
                return name != nullptr && v.fs->name_cmp(v.fs, name, part.c_str()) == 0;
            };
            std::optional<TSK_INUM_T> found;
            for (std::size_t i = 0, n = tsk_fs_dir_getsize(dir.get()); i < n && !found; ++i) {
                const TSK_FS_NAME* name = tsk_fs_dir_get_name(dir.get(), i);
                if (name != nullptr && (name->flags & TSK_FS_NAME_FLAG_ALLOC) &&
                    (same(name->name) || same(name->shrt_name)))
                    found = name->meta_addr;
            }
            if (!found) {
                tsk_error_reset();
                return nullptr;
            }
            at = *found;
        }
        TskFile f(tsk_fs_file_open_meta(v.fs, nullptr, at));
        if (!f && tsk_error_get_errno() != 0 && tsk_error_get_errno() != TSK_ERR_FS_ARG) throw damaged();
        tsk_error_reset();
        return f;
    }

    // Where the file's bytes lie on the disk, so that they are read straight from the image in large
    // pieces, past The Sleuth Kit's cache of small blocks; nullopt when the file is held otherwise
    // (resident, compressed, encrypted, runs with gaps): The Sleuth Kit reads it then.
    std::optional<std::vector<Run>> Runs(ImageVolume& v, TSK_FS_FILE* file, std::uint64_t size,
                                         const std::string& name) {
        const TSK_FS_ATTR* a = tsk_fs_file_attr_get(file);
        if (a == nullptr || !(a->flags & TSK_FS_ATTR_NONRES) || (a->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC)) ||
            a->nrd.skiplen != 0 || a->size < 0 || std::uint64_t(a->size) != size)
            return std::nullopt;
        const std::uint64_t block = v.fs->block_size;
        if (block == 0) return std::nullopt;
        // Past the initialised size a file reads as zeros.
        const std::uint64_t init =
            std::min<std::uint64_t>(size, std::uint64_t(std::max<TSK_OFF_T>(a->nrd.initsize, 0)));
        std::vector<Run> runs;
        std::uint64_t next = 0;  // the first byte of the file no run has covered yet
        for (const TSK_FS_ATTR_RUN* run = a->nrd.run; run != nullptr && next < init; run = run->next) {
            if (run->len == 0) continue;
            if ((run->flags & (TSK_FS_ATTR_RUN_FLAG_FILLER | TSK_FS_ATTR_RUN_FLAG_ENCRYPTED)) ||
                run->offset > init / block || run->offset * block != next || run->len > kMaxFileBytes / block)
                return std::nullopt;
            const std::uint64_t length = std::min(run->len * block, init - next);
            const bool zero = (run->flags & TSK_FS_ATTR_RUN_FLAG_SPARSE) != 0;
            if (!zero && (run->addr > v.length / block || run->addr * block + length > v.length))
                throw PastTheEnd(v, name);
            runs.push_back({next, length, v.volume.offset + run->addr * block, zero});
            next += length;
        }
        if (next < init) return std::nullopt;
        if (init < size) runs.push_back({init, size - init, 0, true});
        return runs;
    }

    // A file whose data lie past the end of its volume: where the volume reaches the end of the image
    // and says it is larger, the image was cut short.
    Error PastTheEnd(const ImageVolume& v, const std::string& name) const {
        const std::uint64_t claimed = std::uint64_t(v.fs->block_count) * v.fs->block_size;
        if (v.volume.offset + v.length >= image_->Size() && claimed > v.length)
            return Error{name + ": its data lie past the end of the image (" + std::to_string(image_->Size()) +
                         " bytes), before the end of its volume: a truncated image"};
        return Error{name + ": its data lie past the end of its volume: a damaged volume"};
    }

    static std::uint32_t ReparseTag(TSK_FS_FILE* file) {
        const int n = tsk_fs_file_attr_getsize(file);
        for (int i = 0; i < n; ++i) {
            const TSK_FS_ATTR* a = tsk_fs_file_attr_get_idx(file, i);
            if (a == nullptr || a->type != TSK_FS_ATTR_TYPE_NTFS_REPARSE) continue;
            std::uint8_t tag[4] = {};
            if ((a->flags & TSK_FS_ATTR_RES) && a->rd.buf != nullptr && a->size >= 4) std::memcpy(tag, a->rd.buf, 4);
            else if (tsk_fs_attr_read(a, 0, reinterpret_cast<char*>(tag), 4, TSK_FS_FILE_READ_FLAG_NONE) != 4)
                return 0xFFFFFFFF;
            return std::uint32_t(tag[0]) | std::uint32_t(tag[1]) << 8 | std::uint32_t(tag[2]) << 16 |
                   std::uint32_t(tag[3]) << 24;
        }
        return 0;
    }

    std::string path_;
    // Destroyed in reverse: the volumes, then The Sleuth Kit's image, then the container under it.
    std::unique_ptr<Image> image_;
    std::unique_ptr<TSK_IMG_INFO, TskImageCloser> tsk_;
    std::vector<std::unique_ptr<ImageVolume>> volumes_;
    std::vector<Installation> installations_;
    std::vector<std::string> warnings_;
    std::vector<std::pair<std::string, std::size_t>> linkRefusals_;  // each with its link's depth
};

void ImageFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
    if (offset > size_ || length > size_ - offset)
        throw Error{name_ + ": " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                    " lie past its end"};
    if (length == 0) return;  // The Sleuth Kit refuses to read nothing
    auto* out = static_cast<std::uint8_t*>(buffer);
    if (!runs_) {
        TskDisk* disk = source_.Disk();
        disk->lastError.clear();
        tsk_error_reset();
        const ssize_t got = tsk_fs_file_read(file_.get(), TSK_OFF_T(offset), reinterpret_cast<char*>(out), length,
                                             TSK_FS_FILE_READ_FLAG_NONE);
        if (got != ssize_t(length))
            throw Error{name_ + ": unreadable at offset " + std::to_string(offset) + ": " +
                        (disk->lastError.empty() ? TskMessage() : disk->lastError)};
        return;
    }
    // The first run that ends past `offset`, then each run the range reaches.
    auto run = std::upper_bound(runs_->begin(), runs_->end(), offset,
                                [](std::uint64_t at, const Run& r) { return at < r.fileOffset + r.length; });
    std::size_t done = 0;
    try {
        for (; done < length && run != runs_->end(); ++run) {
            const std::uint64_t at = offset + done, into = at - run->fileOffset;
            const std::size_t n = std::size_t(std::min<std::uint64_t>(length - done, run->length - into));
            if (run->zero) std::memset(out + done, 0, n);
            else source_.image_->Read(run->diskOffset + into, out + done, n);
            done += n;
        }
    } catch (const Error& e) {
        throw Error{name_ + ": " + e.what()};
    }
    if (done != length) throw Error{name_ + ": no data at offset " + std::to_string(offset + done)};
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
    if (S_ISDIR(st.st_mode)) return std::make_unique<FolderSource>(path);
    return std::make_unique<ImageSource>(path);
}

std::optional<HiveFiles> Source::ReadHive(const Installation& installation, std::string_view relative,
                                          const Progress& progress) {
    std::optional<File> primary = Read(installation, relative, progress);
    if (!primary) return std::nullopt;
    HiveFiles out{std::move(*primary), {}};
    for (const char* suffix : kLogSuffixes)
        if (std::optional<File> log = Read(installation, std::string(relative) + suffix))
            out.logs.push_back(std::move(*log));
    return out;
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
