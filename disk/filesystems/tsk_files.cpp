#include "tsk_files.h"

#include "byte_order.h"
#include "ntfs_format.h"
#include "wtf8.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace disk {
namespace {

// Little-endian UTF-16 bytes as units; an odd last byte is none.
std::u16string Units(const std::uint8_t* bytes, std::size_t size) {
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) units[i] = char16_t(ReadLe16(bytes + 2 * i));
    return units;
}

// A resident attribute's value, or null.
const TSK_FS_ATTR* Resident(TSK_FS_FILE* file, TSK_FS_ATTR_TYPE_ENUM type) {
    const TSK_FS_ATTR* a = tsk_fs_file_attr_get_type(file, type, 0, 0);
    return a != nullptr && (a->flags & TSK_FS_ATTR_RES) && a->rd.buf != nullptr ? a : nullptr;
}

}  // namespace

TskFile FatLookup(TSK_FS_INFO* fs, const std::vector<std::string>& parts, const std::function<Error()>& damaged) {
    TSK_INUM_T at = fs->root_inum;
    for (const std::string& part : parts) {
        const std::unique_ptr<TSK_FS_DIR, void (*)(TSK_FS_DIR*)> dir(tsk_fs_dir_open_meta(fs, at), tsk_fs_dir_close);
        if (!dir) {
            // Not a folder, or one whose records cannot be read.
            if (tsk_error_get_errno() != 0 && tsk_error_get_errno() != TSK_ERR_FS_ARG) throw damaged();
            tsk_error_reset();
            return nullptr;
        }
        const auto same = [&](const char* name) {
            return name != nullptr && fs->name_cmp(fs, name, part.c_str()) == 0;
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
    TskFile f(tsk_fs_file_open_meta(fs, nullptr, at));
    if (!f && tsk_error_get_errno() != 0 && tsk_error_get_errno() != TSK_ERR_FS_ARG) throw damaged();
    tsk_error_reset();
    return f;
}

std::uint32_t ReparseTag(TSK_FS_FILE* file) {
    const int n = tsk_fs_file_attr_getsize(file);
    for (int i = 0; i < n; ++i) {
        const TSK_FS_ATTR* a = tsk_fs_file_attr_get_idx(file, i);
        if (a == nullptr || a->type != TSK_FS_ATTR_TYPE_NTFS_REPARSE) continue;
        std::uint8_t tag[4] = {};
        if ((a->flags & TSK_FS_ATTR_RES) && a->rd.buf != nullptr && a->size >= 4) std::memcpy(tag, a->rd.buf, 4);
        else if (tsk_fs_attr_read(a, 0, reinterpret_cast<char*>(tag), 4, TSK_FS_FILE_READ_FLAG_NONE) != 4)
            return 0xFFFFFFFF;
        return ReadLe32(tag);
    }
    return 0;
}

std::optional<std::vector<Run>> FileRuns(const TSK_FS_INFO* fs, TSK_FS_FILE* file, std::uint64_t size,
                                         std::uint64_t volumeOffset, std::uint64_t volumeLength,
                                         const std::function<Error()>& pastTheEnd) {
    const TSK_FS_ATTR* a = tsk_fs_file_attr_get(file);
    if (a == nullptr || !(a->flags & TSK_FS_ATTR_NONRES) || (a->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC)) ||
        a->nrd.skiplen != 0 || a->size < 0 || std::uint64_t(a->size) != size)
        return std::nullopt;
    const std::uint64_t block = fs->block_size;
    if (block == 0) return std::nullopt;
    // Past the initialised size a file reads as zeros.
    const std::uint64_t init = std::min<std::uint64_t>(size, std::uint64_t(std::max<TSK_OFF_T>(a->nrd.initsize, 0)));
    std::vector<Run> runs;
    std::uint64_t next = 0;  // the first byte of the file no run has covered yet
    for (const TSK_FS_ATTR_RUN* run = a->nrd.run; run != nullptr && next < init; run = run->next) {
        if (run->len == 0) continue;
        if ((run->flags & (TSK_FS_ATTR_RUN_FLAG_FILLER | TSK_FS_ATTR_RUN_FLAG_ENCRYPTED)) ||
            run->offset > init / block || run->offset * block != next || run->len > kMaxFileBytes / block)
            return std::nullopt;
        const std::uint64_t length = std::min(run->len * block, init - next);
        const bool zero = (run->flags & TSK_FS_ATTR_RUN_FLAG_SPARSE) != 0;
        if (!zero && (run->addr > volumeLength / block || run->addr * block + length > volumeLength))
            throw pastTheEnd();
        runs.push_back({next, length, volumeOffset + run->addr * block, zero});
        next += length;
    }
    if (next < init) return std::nullopt;
    if (init < size) runs.push_back({init, size - init, 0, true});
    return runs;
}

NtfsVolumeFacts ReadNtfsVolumeFacts(TSK_FS_INFO* fs) {
    NtfsVolumeFacts facts;
    TskFile meta(tsk_fs_file_open_meta(fs, nullptr, ntfs::kVolumeFile));
    if (!meta) return facts;
    if (const TSK_FS_ATTR* name = Resident(meta.get(), TSK_FS_ATTR_TYPE_NTFS_VNAME))
        facts.label = Utf16ToWtf8(Units(name->rd.buf, std::size_t(std::min<TSK_OFF_T>(name->size, name->rd.buf_size))));
    namespace info = ntfs::volume_information;
    if (const TSK_FS_ATTR* a = Resident(meta.get(), TSK_FS_ATTR_TYPE_NTFS_VINFO);
        a != nullptr && a->size >= TSK_OFF_T(info::kSize)) {
        const std::uint8_t* flags = a->rd.buf + info::kFlags;
        facts.dirty = (ReadLe16(flags) & info::kDirty) != 0;
    }
    return facts;
}

}  // namespace disk
