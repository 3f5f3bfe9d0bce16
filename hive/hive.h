#pragma once
// Registry hive files (regf), as Windows keeps them under System32\config and in user profiles:
// reading one, with the transaction logs beside it replayed as Windows replays them on load, and
// writing one that Windows' `reg load` accepts.
//
// Reading takes hive versions 1.3 to 1.6. A dirty hive (sequence numbers unequal, or a wrong
// checksum) gets its logs replayed in memory, never on disk: new-format logs (HvLE entries) from
// the entry their base block names, each entry checked by its Marvin32 hashes and each next one by
// its sequence number; the first entry that fails ends that log, the entries before it stand, as
// when Windows finds a log cut short by a power loss. Old-format logs (DIRT) apply whole or not at
// all. A dirty hive with no log to replay is read as its primary file holds it, with a warning. A
// primary base block that cannot be trusted (zeroed, a wrong checksum) is replaced, as Windows does,
// by the newest usable one among the logs. A log that cannot be used, and an entry with fields no
// write leaves (a page past the bins, a size of no whole sectors) that ends a replay early, are
// named in a warning even when another log restored the hive.
//
// Sibling keys, or values of one key, whose names differ only in case (which Windows never
// writes, as it cannot tell them apart): the first in the list is read, the others are left out,
// each named in a warning with its offset.
//
// Damage is refused, the whole hive, never skipped: a broken bin, a cell outside the bins or past
// the end of its bin, a free cell in use, a record without its signature, a count its list does not
// hold, a cell reached twice (which is how loops show), keys nested past 512 levels. Windows would
// not load such a hive either, and an import of part of a registry could show a Windows that never
// was. Memory: the file's bytes (a copy only when a log is replayed from ReadHive's bytes), the
// logs', and one bit per 8 bytes of hive bins. Before a byte of a file is read it must be a regular
// file of at most 4 GiB, or a pipe or device, which is read once as a stream and has no logs.
//
// Writing makes version 1.5: names in Latin-1 where every character fits, else UTF-16; lh subkey
// lists of up to 512 keys sorted by upper-cased name, under an ri index beyond that; data above
// 16,344 bytes in db segment lists, every segment in a full cell of 16,352 bytes as Windows sizes
// them; one security cell shared by every key. The format's fields and limits are in hive_format.h.
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hive {

// A hive that cannot be read. The message names the file and, where there is one, the offset.
class HiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Receives a hive's keys depth first: BeginKey, the key's values, its subkeys, EndKey. The first
// BeginKey is the hive's root key. Names and class names are UTF-16 exactly as the hive holds them;
// value data are the exact bytes, whatever the type.
class Visitor {
public:
    virtual ~Visitor() = default;
    virtual void BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t lastWritten) = 0;
    virtual void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) = 0;
    virtual void EndKey() = 0;
};

struct ReadReport {
    std::vector<std::string> warnings;     // e.g. a dirty hive read without its logs, a damaged log
    std::vector<std::string> logsApplied;  // the logs whose entries were replayed, in order
};

// Reads the hive at `path`, replaying NAME.LOG1, NAME.LOG2 or NAME.LOG found beside it (any case).
// Throws HiveError for a hive that cannot be read, naming the file and the offset or the reason (a
// folder, a dangling link, a link loop, permission, larger than any hive); the visitor may then
// have seen part of it.
ReadReport ReadHiveFile(const std::string& path, Visitor& visitor);

// The same from bytes already read: the primary file and its logs, each with the name that
// messages give it.
struct NamedBytes {
    std::string name;
    std::span<const std::uint8_t> bytes;
};
ReadReport ReadHive(const NamedBytes& primary, std::span<const NamedBytes> logs, Visitor& visitor);

// Reading on demand, for a few keys of a large hive that lies inside a disk image: only the cells
// those keys need are read, page by page, through `read` (exactly `length` bytes at `offset` of
// the hive's file, or it throws).
using PageReader = std::function<void(std::uint64_t offset, void* buffer, std::size_t length)>;

// Whether a hive whose first 4096 bytes are `baseBlock` needs its logs replayed (dirty, or its base
// block's checksum wrong): only then does ReadHiveKeys read them.
bool NeedsLogs(std::span<const std::uint8_t> baseBlock);

// In a path given to ReadHiveKeys: every subkey of the key before it.
inline constexpr std::u16string_view kAnySubkey = u"*";

// The keys at `paths` (each the names below the root key, compared as Windows compares them), each
// with its values, and the keys on the way to them, without their values; keys that are missing are
// left out. A name kAnySubkey stands for every subkey that no other name of the same level asks for.
// The visitor sees one tree: the root, then each path's keys in the order asked (every subkey in the
// hive's order). A clean hive of `size` bytes is read on demand; a dirty one is read whole through
// `read` and replayed with `logs`, as ReadHive does. Throws HiveError as ReadHive does for what it reads.
ReadReport ReadHiveKeys(const std::string& name, std::uint64_t size, const PageReader& read,
                        std::span<const NamedBytes> logs, std::span<const std::vector<std::u16string>> paths,
                        Visitor& visitor);

// Writes a clean hive: call BeginKey for the root, then the same sequence a Visitor receives.
class Writer {
public:
    Writer();
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    void BeginKey(std::u16string_view name, std::u16string_view className = {}, std::uint64_t lastWritten = 0);
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data);
    void EndKey();
    // The whole file. Throws HiveError when the keys do not make a hive (a name too long, ...).
    std::vector<std::uint8_t> Finish();

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace hive
