#include "ntfs_folders.h"

#include "ascii.h"
#include "byte_order.h"
#include "disk.h"
#include "ntfs_format.h"
#include "wtf8.h"

#include <tsk/fs/tsk_ntfs.h>

#include <algorithm>
#include <cstring>

namespace disk::ntfs {
namespace {

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

// The target of a junction or symbolic link (the value of its $REPARSE_POINT), or nullopt for any
// other file. Windows names its own volume C: as it runs; a target on another letter, a volume by
// its GUID or a share is elsewhere.
std::optional<Link> LinkOf(const std::optional<std::vector<std::uint8_t>>& reparse) {
    if (!reparse || reparse->size() < reparse::kHeader) return std::nullopt;
    const std::vector<std::uint8_t>& data = *reparse;
    Link link;
    link.tag = ReadLe32(&data[reparse::kTag]);
    if (link.tag != reparse::kTagJunction && link.tag != reparse::kTagSymlink) return std::nullopt;
    const std::size_t paths = link.tag == reparse::kTagJunction ? reparse::kJunctionPaths : reparse::kLinkPaths;
    if (data.size() < paths) return link;
    link.relative = link.tag == reparse::kTagSymlink && (ReadLe32(&data[reparse::kLinkFlags]) & reparse::kLinkRelative);
    const auto name = [&](std::size_t offsetField, std::size_t lengthField) {
        const std::size_t at = paths + ReadLe16(&data[offsetField]), bytes = ReadLe16(&data[lengthField]);
        std::u16string units;
        if (at > data.size() || bytes > data.size() - at) return std::string();
        for (std::size_t i = 0; i + 1 < bytes; i += 2) units += char16_t(ReadLe16(&data[at + i]));
        return Utf16ToWtf8(units);
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
        if (AsciiUpper(substitute[0]) == 'C') link.onVolume = Names(substitute.substr(2), '\\');
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

// One file record as a walk needs it: read by us from the MFT, or by The Sleuth Kit where part of it
// lies elsewhere (an attribute list) or is held in a way only it reads.
struct Folders::Node {
    std::uint64_t record = 0;
    std::uint16_t sequence = 0;
    bool inUse = false, folder = false, extension = false;
    std::optional<std::vector<std::uint8_t>> indexRoot;
    std::optional<std::vector<Run>> indexRuns;  // where its index blocks lie, when we read them
    std::uint64_t indexSize = 0, indexInitialized = 0;
    std::optional<std::vector<std::uint8_t>> reparse;
    TskFile tsk;                            // when The Sleuth Kit read it
    const TSK_FS_ATTR* tskIndex = nullptr;  // its $I30 allocation then
};

Folders::Folders(TSK_FS_INFO* fs, std::string where, VolumeReader read, std::uint64_t length)
    : fs_(fs), where_(std::move(where)), read_(std::move(read)), length_(length), upcase_([this] {
          return UpCaseTable();
      }) {}

Folders::~Folders() = default;

std::string Folders::Named(const std::string& path) const {
    return where_ + ", " + (path.empty() ? std::string("its root folder") : path);
}

std::optional<std::vector<Run>> Folders::RunsOf(const TSK_FS_ATTR* a) const {
    if (a == nullptr || !(a->flags & TSK_FS_ATTR_NONRES) || (a->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC)))
        return std::nullopt;
    std::vector<Run> runs;
    for (const TSK_FS_ATTR_RUN* run = a->nrd.run; run != nullptr; run = run->next) {
        if (run->len == 0) continue;
        if (run->flags & TSK_FS_ATTR_RUN_FLAG_FILLER) return std::nullopt;
        runs.push_back(
            {run->offset, run->len,
             (run->flags & TSK_FS_ATTR_RUN_FLAG_SPARSE) ? std::nullopt : std::optional<std::uint64_t>(run->addr)});
    }
    return runs;
}

bool Folders::ReadRuns(const std::vector<Run>& runs, std::uint64_t initialized, std::uint64_t offset, void* buffer,
                       std::size_t length) {
    const std::uint64_t block = fs_->block_size;
    if (!read_ || block == 0 || offset > initialized || length > initialized - offset) return false;
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t done = 0; done < length;) {
        const std::uint64_t at = offset + done;
        const auto run = std::find_if(runs.begin(), runs.end(), [&](const Run& r) {
            return r.vcn <= at / block && at / block - r.vcn < r.length;
        });
        if (run == runs.end() || !run->lcn) return false;
        const std::uint64_t into = at - run->vcn * block;
        const std::size_t n = std::size_t(std::min<std::uint64_t>(length - done, run->length * block - into));
        const std::uint64_t place = *run->lcn * block + into;
        if (place > length_ || n > length_ - place) return false;
        // Every path is walked from the root: the records and blocks near it are asked for again and
        // again. What a hostile volume could make grow without end is read but not kept.
        const auto kept = pieces_.find({place, n});
        if (kept != pieces_.end()) {
            std::memcpy(out + done, kept->second.data(), n);
        } else {
            read_(place, out + done, n);
            if (keptBytes_ + n <= kMaxKeptBytes) {
                pieces_.emplace(std::pair{place, n}, std::vector<std::uint8_t>(out + done, out + done + n));
                keptBytes_ += n;
            }
        }
        done += n;
    }
    return true;
}

std::vector<std::uint8_t> Folders::UpCaseTable() {
    tsk_error_reset();
    std::vector<std::uint8_t> table(kUpCaseBytes);
    TskFile file(tsk_fs_file_open_meta(fs_, nullptr, kUpCaseFile));
    const bool read = file && tsk_fs_file_read(file.get(), 0, reinterpret_cast<char*>(table.data()), table.size(),
                                               TSK_FS_FILE_READ_FLAG_NONE) == ssize_t(table.size());
    tsk_error_reset();
    // A volume whose table cannot be read still compares ASCII names as NTFS does.
    return read ? table : std::vector<std::uint8_t>();
}

const Folders::Node& Folders::NodeOf(std::uint64_t reference, bool checkSequence, const std::string& path) {
    const std::uint64_t number = RecordOf(reference);
    auto kept = nodes_.find(number);
    if (kept == nodes_.end()) kept = nodes_.emplace(number, ReadNode(number, path)).first;
    const Node& node = *kept->second;
    if (checkSequence &&
        (!node.inUse || node.extension || (SequenceOf(reference) != 0 && node.sequence != SequenceOf(reference))))
        throw Error{Named(path) + ": its folder's index names record " + std::to_string(number) +
                    ", which holds another file now: the volume is damaged"};
    return node;
}

std::optional<Record> Folders::ReadRecord(std::uint64_t number, const std::string& path) {
    const auto* ntfs = reinterpret_cast<const NTFS_INFO*>(fs_);
    const std::size_t size = ntfs->mft_rsize_b;
    if (!mftRuns_) mftRuns_ = RunsOf(ntfs->mft_data);
    if (!mftRuns_ || size < record::kMinSize || size > record::kMaxSize || ntfs->mft_data->size < 0 ||
        number >= std::uint64_t(ntfs->mft_data->size) / size)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(size);
    if (!ReadRuns(*mftRuns_, std::uint64_t(std::max<TSK_OFF_T>(ntfs->mft_data->nrd.initsize, 0)), number * size,
                  bytes.data(), size))
        return std::nullopt;
    try {
        if (const std::string fault = UndoFixups(bytes, record::kSignature); !fault.empty()) throw Error{fault};
        return ParseRecord(bytes, fs_->block_count);
    } catch (const Error& e) {
        throw Error{Named(path) + ": its record on the volume is damaged (record " + std::to_string(number) + ": " +
                    e.what() + ")"};
    }
}

std::unique_ptr<Folders::Node> Folders::ReadNode(std::uint64_t number, const std::string& path) {
    auto node = std::make_unique<Node>();
    node->record = number;
    // The record straight from the MFT, a kilobyte or so, and those its attribute list names for
    // the index or a reparse point.
    std::optional<Record> r = ReadRecord(number, path);
    if (r && r->complete && !r->list.runs.empty()) {
        // An attribute list too long for its record, in clusters of its own.
        std::vector<std::uint8_t> list(std::size_t(std::min<std::uint64_t>(r->list.size, kMaxAttributeList)));
        try {
            if (r->list.size > kMaxAttributeList ||
                !ReadRuns(r->list.runs, r->list.initialized, 0, list.data(), list.size()))
                r->complete = false;
            else r->listed = ListedRecords(list);
        } catch (const Error& e) {
            throw Error{Named(path) + ": its attribute list is damaged (" + e.what() + ")"};
        }
    }
    if (r && r->complete) {
        node->sequence = r->sequence;
        node->inUse = r->inUse;
        node->folder = r->folder;
        node->extension = r->base != 0;
        node->indexRoot = std::move(r->indexRoot);
        node->reparse = std::move(r->reparse);
        std::vector<IndexExtent> extents = std::move(r->index);
        bool whole = true;
        std::vector<std::uint64_t> done{number};
        for (const std::uint64_t reference : r->listed) {
            const std::uint64_t other = RecordOf(reference);
            if (std::find(done.begin(), done.end(), other) != done.end()) continue;
            done.push_back(other);
            std::optional<Record> part = ReadRecord(other, path);
            if (!part || !part->complete) {
                whole = false;
                break;
            }
            if (!part->inUse || RecordOf(part->base) != number)
                throw Error{Named(path) + ": its attribute list names record " + std::to_string(other) +
                            ", which belongs to another file: the volume is damaged"};
            if (part->indexRoot) node->indexRoot = std::move(part->indexRoot);
            if (part->reparse) node->reparse = std::move(part->reparse);
            for (IndexExtent& e : part->index) extents.push_back(std::move(e));
        }
        if (whole) {
            if (!extents.empty()) {
                try {
                    IndexExtent joined = JoinExtents(std::move(extents));
                    node->indexRuns = std::move(joined.runs);
                    node->indexSize = joined.size;
                    node->indexInitialized = joined.initialized;
                } catch (const Error& e) {
                    throw Error{Named(path) + ": its record on the volume is damaged (" + e.what() + ")"};
                }
            }
            return node;
        }
        *node = Node{};
        node->record = number;
    }
    // The Sleuth Kit gathers what lies elsewhere.
    node->tsk = Open(number, path);
    const TSK_FS_FILE* file = node->tsk.get();
    node->sequence = file->meta->seq;
    node->inUse = !(file->meta->flags & TSK_FS_META_FLAG_UNALLOC);
    node->folder = file->meta->type == TSK_FS_META_TYPE_DIR;
    for (int i = 0, n = tsk_fs_file_attr_getsize(node->tsk.get()); i < n; ++i) {
        const TSK_FS_ATTR* a = tsk_fs_file_attr_get_idx(node->tsk.get(), i);
        if (a == nullptr) continue;
        if (a->type == TSK_FS_ATTR_TYPE_NTFS_REPARSE && a->size >= 0) {
            std::vector<std::uint8_t> value(std::size_t(std::min<TSK_OFF_T>(a->size, kMaxReparseBytes)));
            if ((a->flags & TSK_FS_ATTR_RES) && a->rd.buf != nullptr)
                std::memcpy(value.data(), a->rd.buf, std::min<std::size_t>(value.size(), a->rd.buf_size));
            else if (tsk_fs_attr_read(a, 0, reinterpret_cast<char*>(value.data()), value.size(),
                                      TSK_FS_FILE_READ_FLAG_NONE) != ssize_t(value.size()))
                value.clear();
            node->reparse = std::move(value);
        }
        if (a->name == nullptr || std::strcmp(a->name, "$I30") != 0) continue;
        if (a->type == TSK_FS_ATTR_TYPE_NTFS_IDXROOT && (a->flags & TSK_FS_ATTR_RES) && a->rd.buf != nullptr &&
            a->size >= 0)
            node->indexRoot.emplace(a->rd.buf, a->rd.buf + std::min<TSK_OFF_T>(a->size, TSK_OFF_T(a->rd.buf_size)));
        if (a->type == TSK_FS_ATTR_TYPE_NTFS_IDXALLOC) node->tskIndex = a;
    }
    tsk_error_reset();
    if (node->tskIndex != nullptr && node->tskIndex->size > 0) {
        node->indexSize = std::uint64_t(node->tskIndex->size);
        node->indexInitialized = std::uint64_t(std::max<TSK_OFF_T>(node->tskIndex->nrd.initsize, 0));
        node->indexRuns = RunsOf(node->tskIndex);
    }
    return node;
}

TskFile Folders::Open(std::uint64_t record, const std::string& path) {
    tsk_error_reset();
    TskFile file(tsk_fs_file_open_meta(fs_, nullptr, record));
    if (!file || file->meta == nullptr)
        throw Error{Named(path) + ": its record on the volume is damaged: " + TskMessage()};
    return file;
}

FolderIndex Folders::IndexOf(const Node& folder, const std::string& path) {
    const std::string name = Named(path);
    if (!folder.indexRoot) throw Error{name + ": a folder without its index of names: the volume is damaged"};
    return FolderIndex(
        name, *folder.indexRoot, folder.indexSize, fs_->block_size,
        [this, &folder, name](std::uint64_t offset, void* out, std::size_t length) {
            try {
                if (folder.indexRuns && ReadRuns(*folder.indexRuns, folder.indexInitialized, offset, out, length))
                    return;
            } catch (const Error& e) {
                throw Error{name + ": its index of names cannot be read: " + e.what()};
            }
            tsk_error_reset();
            if (folder.tskIndex == nullptr ||
                tsk_fs_attr_read(folder.tskIndex, TSK_OFF_T(offset), static_cast<char*>(out), length,
                                 TSK_FS_FILE_READ_FLAG_NONE) != ssize_t(length))
                throw Error{name + ": its index of names cannot be read at offset " + std::to_string(offset) + ": " +
                            TskMessage()};
        });
}

Found Folders::Resolve(std::string_view inside) {
    // The folders walked so far from the root, and the names still to walk, the next one last.
    struct Step {
        const Node* node;
        std::string name;
    };
    std::vector<Step> chain{{&NodeOf(kRootFolder, false, ""), ""}};
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
        const Node& folder = *chain.back().node;
        if (!folder.folder) return {};
        const std::optional<IndexEntry> entry = IndexOf(folder, path("")).Find(Wtf8ToUtf16(name), upcase_);
        if (!entry) return {};
        const Node& node = NodeOf(entry->reference, true, path(name));
        if (std::optional<Link> link = LinkOf(node.reparse)) {
            const std::string kind = link->tag == reparse::kTagJunction ? "a junction" : "a symbolic link";
            if (++links > kMaxLinks)
                throw Error{Named(path(name)) + ": more than " + std::to_string(kMaxLinks) +
                            " junctions and links on the way (a loop?)"};
            if (!link->onVolume)
                return {std::nullopt, false,
                        Named(path(name)) + " is " + kind + " to " + link->target + ", another volume: not followed",
                        chain.size()};
            if (!link->relative) chain.resize(1);
            for (auto n = link->onVolume->rbegin(); n != link->onVolume->rend(); ++n) pending.push_back(*n);
            continue;
        }
        chain.push_back({&node, name});
    }
    return {chain.back().node->record, chain.back().node->folder, "", 0};
}

std::vector<std::string> Folders::Subfolders(std::string_view inside) {
    const Found found = Resolve(inside);
    if (!found.record || !found.folder) return {};
    const Node& folder = NodeOf(*found.record, false, Shown(Names(inside, '/')));
    std::vector<std::string> names;
    std::vector<std::uint64_t> records;
    IndexOf(folder, Shown(Names(inside, '/'))).ForEach([&](const IndexEntry& e) {
        // A folder's 8.3 name is a second entry for the same record.
        // The root folder names itself "." in its own index.
        if (!(e.attributes & filename::kDirectory) || e.nameSpace == filename::kDos || e.name.empty() ||
            e.name[0] == u'$' || e.name == u"." || RecordOf(e.reference) == *found.record)
            return;
        if (std::find(records.begin(), records.end(), RecordOf(e.reference)) != records.end()) return;
        records.push_back(RecordOf(e.reference));
        names.push_back(Utf16ToWtf8(e.name));
    });
    return names;
}

}  // namespace disk::ntfs
