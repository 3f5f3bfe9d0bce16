// An image file or a block device as a source: its container decoded (Image), its partitions
// walked (Layout), its volumes read through The Sleuth Kit (tsk_disk.h, tsk_files.h), NTFS folders
// searched through their indexes (NtfsFolders).
#include "hex.h"
#include "image.h"
#include "layout.h"
#include "ntfs_folders.h"
#include "ntfs_format.h"
#include "source_parts.h"
#include "tsk.h"
#include "tsk_disk.h"
#include "tsk_files.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace disk {
namespace {

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
        tsk_ = OpenTskDisk(*image_, table.sectorSize, path);
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
        auto runs = FileRuns(v->fs, file.get(), std::uint64_t(claimed), v->volume.offset, v->length,
                             [&] { return PastTheEnd(*v, name); });
        return std::make_unique<ImageFile>(*this, std::move(file), name, std::uint64_t(claimed), std::move(runs));
    }

private:
    static std::string Where(const Volume& v) {
        return v.partition == 0 ? std::string("the volume") : "partition " + std::to_string(v.partition);
    }

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
                               " volume: " + TskDiskFailure(tsk_.get()));
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
        const NtfsVolumeFacts facts = ReadNtfsVolumeFacts(v.fs);
        if (!facts.label.empty()) v.volume.label = facts.label;
        if (facts.dirty)
            warnings_.push_back(where + ": Windows did not shut this volume down cleanly; read as it lies on disk");
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
    // (on FAT also SYSTEM.DAT, a Windows 9x; its USER.DAT may be missing, and is then named).
    void Consider(ImageVolume& v, const std::string& name, bool ntfs) {
        const bool nt = Exists(v, name + "/System32/config/SYSTEM") && Exists(v, name + "/System32/config/SOFTWARE");
        const bool win9x = !ntfs && !nt && Exists(v, name + "/SYSTEM.DAT");
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
        ResetTskDisk(tsk_.get());
        if (v.folders) {
            Components(inside);  // refuses a path that leaves the installation
            try {
                ntfs::Found found = v.folders->Resolve(inside);
                const bool regular = found.record && !found.folder;
                return {regular, regular && open ? v.folders->Open(*found.record, inside) : nullptr,
                        std::move(found.refusal), found.linkDepth};
            } catch (const Error& e) {
                if (ContainerFailure(tsk_.get()).empty()) throw;
                throw Error{std::string(e.what()) + " (" + ContainerFailure(tsk_.get()) + ")"};
            }
        }
        TskFile file = FatLookup(v.fs, Components(inside), [&] {
            return Error{path_ + ", " + Where(v.volume) + ", " + inside +
                         ": its records on the volume are damaged: " + TskDiskFailure(tsk_.get())};
        });
        const bool regular = file && file->meta != nullptr && file->meta->type == TSK_FS_META_TYPE_REG;
        return {regular, std::move(file), "", 0};
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

    std::string path_;
    // Destroyed in reverse: the volumes, then The Sleuth Kit's image, then the container under it.
    std::unique_ptr<Image> image_;
    TskImage tsk_;
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
        ResetTskDisk(source_.tsk_.get());
        const ssize_t got = tsk_fs_file_read(file_.get(), TSK_OFF_T(offset), reinterpret_cast<char*>(out), length,
                                             TSK_FS_FILE_READ_FLAG_NONE);
        if (got != ssize_t(length))
            throw Error{name_ + ": unreadable at offset " + std::to_string(offset) + ": " +
                        TskDiskFailure(source_.tsk_.get())};
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

std::unique_ptr<Source> OpenImageSource(const std::string& path) {
    return std::make_unique<ImageSource>(path);
}

}  // namespace disk
