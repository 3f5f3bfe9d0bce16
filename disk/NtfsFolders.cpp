#include "NtfsFolders.h"

#include "Disk.h"
#include "NtfsFormat.h"

#include <algorithm>
#include <cstring>

namespace disk::ntfs {
namespace {

std::uint16_t Get16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t(Get16(p)) | std::uint32_t(Get16(p + 2)) << 16;
}

std::vector<std::string> Names(std::string_view path, char separator) {
    std::vector<std::string> names;
    std::string name;
    for (const char c : path) {
        if (c == '/' || c == separator) {
            if (!name.empty()) names.push_back(std::move(name));
            name.clear();
        } else {
            name += c;
        }
    }
    if (!name.empty()) names.push_back(std::move(name));
    return names;
}

// A junction's or symbolic link's target: where it leads, and how a message names it.
struct Link {
    std::uint32_t tag = 0;
    std::string target;  // the print name, else the substitute name
    bool relative = false;
    std::optional<std::vector<std::string>> onVolume;  // its names from the root, or from the link's folder
};

// The target of a junction or symbolic link, or nullopt for any other file. Windows names its own
// volume C: as it runs; a target on another letter, a volume by its GUID or a share is elsewhere.
std::optional<Link> LinkOf(TSK_FS_FILE* file) {
    const TSK_FS_ATTR* a = tsk_fs_file_attr_get_type(file, TSK_FS_ATTR_TYPE_NTFS_REPARSE, 0, 0);
    if (a == nullptr || a->size < TSK_OFF_T(reparse::kHeader)) return std::nullopt;
    std::vector<std::uint8_t> data(std::size_t(std::min<TSK_OFF_T>(a->size, 16384)));
    if ((a->flags & TSK_FS_ATTR_RES) && a->rd.buf != nullptr) {
        std::memcpy(data.data(), a->rd.buf, std::min<std::size_t>(data.size(), a->rd.buf_size));
    } else if (tsk_fs_attr_read(a, 0, reinterpret_cast<char*>(data.data()), data.size(), TSK_FS_FILE_READ_FLAG_NONE) !=
               ssize_t(data.size())) {
        tsk_error_reset();
        return std::nullopt;
    }
    Link link;
    link.tag = Get32(&data[reparse::kTag]);
    if (link.tag != reparse::kTagJunction && link.tag != reparse::kTagSymlink) return std::nullopt;
    const std::size_t paths = link.tag == reparse::kTagJunction ? reparse::kJunctionPaths : reparse::kLinkPaths;
    if (data.size() < paths) return link;
    link.relative = link.tag == reparse::kTagSymlink && (Get32(&data[reparse::kLinkFlags]) & reparse::kLinkRelative);
    const auto name = [&](std::size_t offsetField, std::size_t lengthField) {
        const std::size_t at = paths + Get16(&data[offsetField]), bytes = Get16(&data[lengthField]);
        std::u16string units;
        if (at > data.size() || bytes > data.size() - at) return std::string();
        for (std::size_t i = 0; i + 1 < bytes; i += 2) units += char16_t(Get16(&data[at + i]));
        return Utf8(units);
    };
    std::string substitute = name(reparse::kSubstituteOffset, reparse::kSubstituteLength);
    const std::string print = name(reparse::kPrintOffset, reparse::kPrintLength);
    link.target = print.empty() ? substitute : print;
    if (link.relative) {
        link.onVolume = Names(substitute, '\\');
        return link;
    }
    if (substitute.rfind("\\??\\", 0) == 0) substitute.erase(0, 4);
    if (substitute.size() >= 2 && substitute[1] == ':') {
        if (std::toupper(static_cast<unsigned char>(substitute[0])) == 'C')
            link.onVolume = Names(substitute.substr(2), '\\');
    } else if (substitute.rfind('\\', 0) == 0 && substitute.rfind("\\\\", 0) != 0) {
        link.onVolume = Names(substitute, '\\');  // the root of the link's own volume
    }
    return link;
}

std::string Shown(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += (s.empty() ? "" : "\\") + n;
    return s;
}

}  // namespace

std::string Utf8(std::u16string_view units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        std::uint32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
        bool ok = n != 0 && i + n <= text.size();
        for (std::size_t k = 1; ok && k < n; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            ok = (t & 0xC0) == 0x80;
            c = c << 6 | (t & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += n;
    }
    return out;
}

Folders::Folders(TSK_FS_INFO* fs, std::string where, VolumeReader read, std::uint64_t length)
    : fs_(fs), where_(std::move(where)), read_(std::move(read)), length_(length) {}

bool Folders::ReadDirect(const TSK_FS_ATTR* a, std::uint64_t offset, void* buffer, std::size_t length) {
    const std::uint64_t block = fs_->block_size;
    if (!read_ || block == 0 || !(a->flags & TSK_FS_ATTR_NONRES) || (a->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC)) ||
        a->nrd.initsize < 0 || offset + length > std::uint64_t(a->nrd.initsize))
        return false;
    for (const TSK_FS_ATTR_RUN* run = a->nrd.run; run != nullptr; run = run->next) {
        if (run->len == 0 || run->offset > offset / block || run->len > length_ / block) continue;
        const std::uint64_t start = run->offset * block, end = start + run->len * block;
        if (offset < start || offset + length > end) continue;
        if (run->flags & (TSK_FS_ATTR_RUN_FLAG_SPARSE | TSK_FS_ATTR_RUN_FLAG_FILLER)) return false;
        if (run->addr > length_ / block || run->addr * block + (offset - start) + length > length_) return false;
        // Every path is walked from the root: the blocks near it are asked for again and again.
        const std::uint64_t at = run->addr * block + (offset - start);
        auto& kept = blocks_[at];
        if (kept.size() != length) {
            kept.resize(length);
            try {
                read_(at, kept.data(), length);
            } catch (...) {
                blocks_.erase(at);
                throw;
            }
        }
        std::memcpy(buffer, kept.data(), length);
        return true;
    }
    return false;
}

const UpCase& Folders::Upper() {
    if (upcase_) return *upcase_;
    // A volume whose table cannot be read still compares ASCII names as NTFS does.
    tsk_error_reset();
    std::vector<std::uint8_t> table(kUpCaseBytes);
    TskFile file(tsk_fs_file_open_meta(fs_, nullptr, kUpCaseFile));
    if (file && tsk_fs_file_read(file.get(), 0, reinterpret_cast<char*>(table.data()), table.size(),
                                 TSK_FS_FILE_READ_FLAG_NONE) == ssize_t(table.size()))
        upcase_.emplace(table);
    else upcase_.emplace();
    tsk_error_reset();
    return *upcase_;
}

TskFile Folders::Open(std::uint64_t reference, bool checkSequence, const std::string& path) {
    tsk_error_reset();
    TskFile file(tsk_fs_file_open_meta(fs_, nullptr, RecordOf(reference)));
    const std::string name = where_ + ", " + (path.empty() ? std::string("its root folder") : path);
    if (!file || file->meta == nullptr) throw Error{name + ": its record on the volume is damaged: " + TskMessage()};
    if (checkSequence && ((file->meta->flags & TSK_FS_META_FLAG_UNALLOC) || file->meta->seq != SequenceOf(reference)))
        throw Error{name + ": its folder's index names record " + std::to_string(RecordOf(reference)) +
                    ", which holds another file now: the volume is damaged"};
    return file;
}

FolderIndex Folders::IndexOf(TSK_FS_FILE* folder, const std::string& path) {
    const TSK_FS_ATTR* root = nullptr;
    const TSK_FS_ATTR* allocation = nullptr;
    for (int i = 0, n = tsk_fs_file_attr_getsize(folder); i < n; ++i) {
        const TSK_FS_ATTR* a = tsk_fs_file_attr_get_idx(folder, i);
        if (a == nullptr || a->name == nullptr || std::strcmp(a->name, "$I30") != 0) continue;
        if (a->type == TSK_FS_ATTR_TYPE_NTFS_IDXROOT) root = a;
        if (a->type == TSK_FS_ATTR_TYPE_NTFS_IDXALLOC) allocation = a;
    }
    tsk_error_reset();
    const std::string name = where_ + ", " + (path.empty() ? std::string("its root folder") : path);
    if (root == nullptr || !(root->flags & TSK_FS_ATTR_RES) || root->rd.buf == nullptr || root->size < 0)
        throw Error{name + ": a folder without its index of names: the volume is damaged"};
    const std::span<const std::uint8_t> bytes(
        root->rd.buf, std::size_t(std::min<TSK_OFF_T>(root->size, TSK_OFF_T(root->rd.buf_size))));
    const std::uint64_t size = allocation != nullptr && allocation->size > 0 ? std::uint64_t(allocation->size) : 0;
    return FolderIndex(
        name, bytes, size, fs_->block_size, [this, allocation, name](std::uint64_t offset, void* out, std::size_t length) {
            if (allocation != nullptr) {
                try {
                    if (ReadDirect(allocation, offset, out, length)) return;
                } catch (const Error& e) {
                    throw Error{name + ": its index of names cannot be read: " + e.what()};
                }
            }
            tsk_error_reset();
            if (allocation == nullptr || tsk_fs_attr_read(allocation, TSK_OFF_T(offset), static_cast<char*>(out),
                                                          length, TSK_FS_FILE_READ_FLAG_NONE) != ssize_t(length))
                throw Error{name + ": its index of names cannot be read at offset " + std::to_string(offset) + ": " +
                            TskMessage()};
        });
}

std::optional<IndexEntry> Folders::Child(TSK_FS_FILE* folder, const std::string& path, std::u16string_view name) {
    return IndexOf(folder, path).Find(name, Upper());
}

Found Folders::Resolve(std::string_view inside) {
    // The folders walked so far from the root, and the names still to walk, the next one last.
    struct Step {
        TskFile file;
        std::string name;
    };
    std::vector<Step> chain;
    chain.push_back({Open(kRootFolder, false, ""), ""});
    std::vector<std::string> pending = Names(inside, '/');
    std::reverse(pending.begin(), pending.end());
    const auto path = [&](const std::string& last) {
        std::vector<std::string> names;
        for (std::size_t i = 1; i < chain.size(); ++i) names.push_back(chain[i].name);
        if (!last.empty()) names.push_back(last);
        return Shown(names);
    };
    int links = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            if (chain.size() > 1) chain.pop_back();
            continue;
        }
        TSK_FS_FILE* folder = chain.back().file.get();
        if (folder->meta->type != TSK_FS_META_TYPE_DIR) return {};
        const std::optional<IndexEntry> entry = Child(folder, path(""), Utf16(name));
        if (!entry) return {};
        TskFile file = Open(entry->reference, true, path(name));
        if (std::optional<Link> link = LinkOf(file.get())) {
            const std::string kind = link->tag == reparse::kTagJunction ? "a junction" : "a symbolic link";
            if (++links > kMaxLinks)
                throw Error{where_ + ", " + path(name) + ": more than " + std::to_string(kMaxLinks) +
                            " junctions and links on the way (a loop?)"};
            if (!link->onVolume)
                return {nullptr,
                        where_ + ", " + path(name) + " is " + kind + " to " + link->target +
                            ", another volume: not followed",
                        chain.size()};
            if (!link->relative) chain.resize(1);
            for (auto n = link->onVolume->rbegin(); n != link->onVolume->rend(); ++n) pending.push_back(*n);
            continue;
        }
        chain.push_back({std::move(file), name});
    }
    return {std::move(chain.back().file), "", 0};
}

std::vector<std::string> Folders::Subfolders(std::string_view inside) {
    Found found = Resolve(inside);
    if (!found.file || found.file->meta->type != TSK_FS_META_TYPE_DIR) return {};
    std::vector<std::string> names;
    std::vector<std::uint64_t> records;
    IndexOf(found.file.get(), Shown(Names(inside, '/'))).ForEach([&](const IndexEntry& e) {
        // A folder's 8.3 name is a second entry for the same record.
        // The root folder names itself "." in its own index.
        if (!(e.attributes & filename::kDirectory) || e.nameSpace == filename::kDos || e.name.empty() ||
            e.name[0] == u'$' || e.name == u"." || RecordOf(e.reference) == found.file->meta->addr)
            return;
        if (std::find(records.begin(), records.end(), RecordOf(e.reference)) != records.end()) return;
        records.push_back(RecordOf(e.reference));
        names.push_back(Utf8(e.name));
    });
    return names;
}

}  // namespace disk::ntfs
