#pragma once
// What the parts of the hive reader share: the walk of the key tree (hive_walk.cpp), the base block
// (hive_base.cpp), the replay of the logs with the read that puts them together (hive_replay.cpp),
// and the files (hive_read.cpp).
#include "hive.h"
#include "hive_format.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace hive::detail {

inline bool HasSig(std::span<const std::uint8_t> bytes, std::size_t at, const char* sig) {
    const std::size_t n = std::strlen(sig);
    return at + n <= bytes.size() && std::memcmp(bytes.data() + at, sig, n) == 0;
}

// What the reader takes from a base block.
struct BaseFields {
    std::uint32_t root = 0;
    std::uint32_t binsSize = 0;
    std::uint32_t minor = 0;
};

struct Base {
    bool signatureOk = false, checksumOk = false;
    std::uint32_t seq1 = 0, seq2 = 0, type = 0, format = 0, major = 0;
    std::uint64_t written = 0;
    BaseFields fields;
};
Base ReadBase(std::span<const std::uint8_t> bytes);
// Fields a reader can trust: a version it knows, bins in whole pages. "" when they are.
std::string BaseFault(const Base& b);

// Why a log was not replayed, or not whole. Damage is told even when another log restored the hive.
struct Note {
    std::string text;
    bool damage;
};

// Walks the key tree of `image` (a hive whose base block was checked) into `visitor`; what it
// leaves out goes to `warnings`. Throws HiveError naming `name` and the offset of a fault.
void WalkTree(const std::string& name, std::span<const std::uint8_t> image, const BaseFields& fields, Visitor& visitor,
              std::vector<std::string>& warnings);

// The whole read of a hive in memory with its logs: base block, replay, walk. `owned`: the primary's
// bytes when the caller lets the replay write into them. `lookedFor` names the logs looked for, for
// messages; `notes` what was found out about the logs before; `logsDone`, when given, is called once
// the logs are no longer needed, before the walk.
ReadReport Read(const NamedBytes& primary, std::vector<std::uint8_t>* owned, std::span<const NamedBytes> logs,
                const std::vector<std::string>& lookedFor, std::vector<Note> notes, Visitor& visitor,
                const std::function<void()>& logsDone = nullptr);

}  // namespace hive::detail
