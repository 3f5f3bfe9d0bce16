// A dirty hive brought up to date from its logs, as Windows replays them when it loads the hive: the
// new format's entries (hashed, in sequence) or the old format's dirty pages; then the whole read.
#include "byte_order.h"
#include "hex.h"
#include "hive_read_parts.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

namespace hive::detail {

using namespace format;

namespace {

// One live entry of a new-format log.
struct LogEntry {
    std::uint32_t seq, binsSize, flags;
    const std::uint8_t* refs;  // bins offset, size; `pages` of them
    std::uint32_t pages;
    const std::uint8_t* data;  // the pages' bytes
};

struct LogRun {
    const NamedBytes* log;
    std::uint32_t start;            // the sequence number its base block gives
    std::vector<LogEntry> entries;  // from `start`, consecutive
};

// Where the valid entries of a log end, when it is not at the end of those written.
struct EntryStop {
    std::string why;
    // Fields no write could leave, unlike a wrong hash, which is how a write cut short shows.
    bool impossible = false;
};

// The valid entries of a new-format log, in file order, up to the first that is not.
std::vector<LogEntry> EntriesOf(std::span<const std::uint8_t> log, EntryStop& stop) {
    std::vector<LogEntry> entries;
    std::size_t pos = kLogSector;
    while (pos + logfile::kPages <= log.size()) {
        const std::uint8_t* e = log.data() + pos;
        auto halt = [&](const std::string& what, bool impossible) {
            stop = {"entry at offset " + Hex(pos) + ": " + what, impossible};
        };
        if (std::memcmp(e, sig::kLogEntry, 4) != 0) break;  // the end of the entries written
        const std::uint32_t size = ReadLe32(e + logfile::kSize);
        if (size < kLogSector || size % kLogSector != 0 || size > log.size() - pos) {
            halt("size " + Hex(size), true);
            break;
        }
        const std::uint32_t binsSize = ReadLe32(e + logfile::kBinsSize), pages = ReadLe32(e + logfile::kPageCount);
        if (binsSize == 0 || binsSize % kPageSize != 0 || binsSize > kMaxBinsSize) {
            halt("hive bins data size " + Hex(binsSize), true);
            break;
        }
        if (logfile::kPages + std::uint64_t(pages) * logfile::kPageRef > size) {
            halt("more pages than the entry holds", true);
            break;
        }
        if (Marvin32({e + logfile::kPages, size - logfile::kPages}) != ReadLe64(e + logfile::kHash1) ||
            Marvin32({e, logfile::kHash1 + 8}) != ReadLe64(e + logfile::kHash2)) {
            halt("wrong hash", false);
            break;
        }
        std::uint64_t bytes = logfile::kPages + std::uint64_t(pages) * logfile::kPageRef;
        bool pagesOk = true;
        for (std::uint32_t i = 0; i < pages && pagesOk; ++i) {
            const std::uint8_t* ref = e + logfile::kPages + logfile::kPageRef * i;
            const std::uint32_t off = ReadLe32(ref + logfile::kPageOffset), len = ReadLe32(ref + logfile::kPageBytes);
            pagesOk = off % kLogSector == 0 && len % kLogSector == 0 && std::uint64_t(off) + len <= binsSize;
            bytes += len;
        }
        if (!pagesOk || bytes > size) {
            halt("pages outside the hive bins or the entry", true);
            break;
        }
        entries.push_back({ReadLe32(e + logfile::kSeq), binsSize, ReadLe32(e + logfile::kFlags), e + logfile::kPages,
                           pages, e + logfile::kPages + logfile::kPageRef * pages});
        pos += size;
    }
    return entries;
}

// The logs by name, so that the result never depends on the order they were found in.
std::vector<const NamedBytes*> ByName(std::span<const NamedBytes> logs) {
    std::vector<const NamedBytes*> out;
    for (const auto& log : logs) out.push_back(&log);
    std::stable_sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->name < b->name; });
    return out;
}

// A log's base block that can stand for the primary's: whole, of a version read, and for an old
// format log written through, as its replay asks.
bool UsableLogBase(const Base& b) {
    return b.signatureOk && b.checksumOk && BaseFault(b).empty() &&
           (b.type == base::kTypeNewLog || (b.type == base::kTypeOldLog && b.seq1 == b.seq2));
}

// As Windows restores a primary base block it cannot trust: from the newest of the logs' own.
const NamedBytes* NewestLogBase(std::span<const NamedBytes> logs, Base& out) {
    const NamedBytes* newest = nullptr;
    for (const NamedBytes* log : ByName(logs)) {
        const Base lb = ReadBase(log->bytes);
        if (UsableLogBase(lb) && (newest == nullptr || lb.seq1 > out.seq1)) {
            newest = log;
            out = lb;
        }
    }
    if (newest != nullptr) {
        // A hive as that log began: its entries from there on apply, an older log's do not.
        out.type = base::kTypePrimary;
        out.seq2 = out.seq1;
    }
    return newest;
}

class Replay {
public:
    Replay(const NamedBytes& primary, std::vector<std::uint8_t>* owned, std::span<const NamedBytes> logs,
           std::size_t cap)
        : primary_(primary), owned_(owned), logs_(logs), cap_(cap) {}

    // Replays what applies over a base block that can be trusted; returns the base fields of the
    // result, or nothing when no log did.
    std::optional<BaseFields> Run(const Base& base, std::vector<std::string>& applied, std::vector<Note>& notes) {
        std::vector<LogRun> runs;
        for (const NamedBytes* logp : ByName(logs_)) {
            const NamedBytes& log = *logp;
            auto note = [&](const std::string& what, bool damage) {
                notes.push_back({log.name + ": " + what, damage});
            };
            const Base lb = ReadBase(log.bytes);
            if (!lb.signatureOk) {
                note("not a hive log (no \"regf\" base block at offset 0x0)", true);
                continue;
            }
            if (!lb.checksumOk) {
                note("its base block's checksum is wrong (at offset 0x1FC)", true);
                continue;
            }
            if (std::string fault = BaseFault(lb); !fault.empty()) {
                note(fault, true);
                continue;
            }
            if (lb.type == base::kTypeNewLog) {
                if (lb.seq1 < base.seq2) {
                    note("older than the hive", false);
                    continue;
                }
                EntryStop stop;
                auto all = EntriesOf(log.bytes, stop);
                LogRun run{&log, lb.seq1, {}};
                auto it = std::find_if(all.begin(), all.end(), [&](const LogEntry& e) { return e.seq == lb.seq1; });
                for (; it != all.end() && it->seq == lb.seq1 + run.entries.size(); ++it) run.entries.push_back(*it);
                if (run.entries.empty()) {
                    note(stop.why.empty() ? "no entry to replay" : stop.why, stop.impossible);
                    continue;
                }
                if (it == all.end() && stop.impossible)
                    note("the replay stops early, " + stop.why + "; the entries from there on are not applied", true);
                runs.push_back(std::move(run));
            } else if (lb.type == base::kTypeOldLog) {
                if (lb.seq1 != lb.seq2) {
                    note("a log that was not written through", false);
                    continue;
                }
                if (lb.written != base.written) {
                    note("written at another time than the hive", false);
                    continue;
                }
                if (!runs.empty() || old_) continue;
                old_ = &log;
                oldFields_ = lb.fields;
            } else {
                note("file type " + std::to_string(lb.type) + ", not a log", true);
            }
        }
        if (!runs.empty()) return ReplayNew(base, runs, applied, notes);
        if (old_) return ReplayOld(applied, notes);
        return std::nullopt;
    }

private:
    std::vector<std::uint8_t>& Image() {
        if (owned_ == nullptr) {
            copy_.reserve(cap_);
            copy_.assign(primary_.bytes.begin(), primary_.bytes.end());
            owned_ = &copy_;
        }
        return *owned_;
    }

    bool Grow(std::uint32_t binsSize) {
        if (kBaseBlockSize + std::size_t(binsSize) > cap_) return false;
        auto& image = Image();
        if (image.size() < kBaseBlockSize + binsSize) image.resize(kBaseBlockSize + binsSize);
        return true;
    }

    std::optional<BaseFields> ReplayNew(const Base& base, std::vector<LogRun>& runs, std::vector<std::string>& applied,
                                        std::vector<Note>& notes) {
        std::stable_sort(runs.begin(), runs.end(), [](const LogRun& a, const LogRun& b) { return a.start < b.start; });
        BaseFields fields = base.fields;
        std::optional<std::uint32_t> last;
        for (const auto& run : runs) {
            std::size_t i = 0;
            if (last) {
                while (i < run.entries.size() && run.entries[i].seq != *last + 1) ++i;
                if (i == run.entries.size()) {
                    if (run.entries.back().seq > *last)
                        notes.push_back({run.log->name + ": does not continue the log before it", true});
                    continue;
                }
            }
            bool any = false;
            for (; i < run.entries.size(); ++i) {
                const LogEntry& e = run.entries[i];
                if (!Grow(e.binsSize)) {
                    notes.push_back({run.log->name + ": an entry grows the hive past what its files hold", true});
                    break;
                }
                auto& image = Image();
                const std::uint8_t* src = e.data;
                for (std::uint32_t p = 0; p < e.pages; ++p) {
                    const std::uint8_t* ref = e.refs + logfile::kPageRef * p;
                    const std::uint32_t off = ReadLe32(ref + logfile::kPageOffset),
                                        len = ReadLe32(ref + logfile::kPageBytes);
                    if (SaneBinStart(off, src, len)) std::memcpy(image.data() + kBaseBlockSize + off, src, len);
                    src += len;
                }
                fields.binsSize = e.binsSize;
                last = e.seq;
                any = true;
            }
            if (any) applied.push_back(run.log->name);
        }
        if (!last) return std::nullopt;
        return fields;
    }

    // A page range that starts with a bin header must be one that belongs where it goes.
    static bool SaneBinStart(std::uint32_t off, const std::uint8_t* src, std::uint32_t len) {
        if (len < bin::kSize + 4 || off % kPageSize != 0 || !HasSig({src, len}, 0, sig::kBin)) return true;
        const std::uint32_t size = ReadLe32(src + bin::kSize);
        return ReadLe32(src + bin::kSelf) == off && size >= kPageSize && size % kPageSize == 0;
    }

    std::optional<BaseFields> ReplayOld(std::vector<std::string>& applied, std::vector<Note>& notes) {
        const auto bytes = old_->bytes;
        const std::size_t mapBytes = oldFields_.binsSize / kLogSector / 8;
        if (!HasSig(bytes, kLogSector, sig::kDirtyMap) || logfile::kDirtyMap + mapBytes > bytes.size()) {
            notes.push_back({old_->name + ": no dirty page map (\"DIRT\")", true});
            return std::nullopt;
        }
        const std::uint8_t* map = bytes.data() + logfile::kDirtyMap;
        std::size_t pages = 0;
        for (std::size_t j = 0; j < mapBytes; ++j) pages += std::popcount(map[j]);
        const std::size_t dataStart = (logfile::kDirtyMap + mapBytes + kLogSector - 1) / kLogSector * kLogSector;
        if (dataStart + pages * kLogSector > bytes.size()) {
            notes.push_back({old_->name + ": fewer dirty pages than its map names", true});
            return std::nullopt;
        }
        if (!Grow(oldFields_.binsSize)) {
            notes.push_back({old_->name + ": grows the hive past what its files hold", true});
            return std::nullopt;
        }
        auto& image = Image();
        const std::uint8_t* src = bytes.data() + dataStart;
        for (std::size_t page = 0; page < mapBytes * 8; ++page) {
            if (!(map[page / 8] >> page % 8 & 1)) continue;
            std::memcpy(image.data() + kBaseBlockSize + kLogSector * page, src, kLogSector);
            src += kLogSector;
        }
        applied.push_back(old_->name);
        return oldFields_;
    }

    const NamedBytes& primary_;
    std::vector<std::uint8_t>* owned_;
    std::span<const NamedBytes> logs_;
    std::size_t cap_;
    std::vector<std::uint8_t> copy_;
    const NamedBytes* old_ = nullptr;
    BaseFields oldFields_;

public:
    std::span<const std::uint8_t> Result() const {
        return owned_ ? std::span<const std::uint8_t>(*owned_) : primary_.bytes;
    }
};

std::string Join(const std::vector<Note>& notes) {
    std::string out;
    for (const auto& n : notes) out += (out.empty() ? "" : "; ") + n.text;
    return out;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

}  // namespace

ReadReport Read(const NamedBytes& primary, std::vector<std::uint8_t>* owned, std::span<const NamedBytes> logs,
                const std::vector<std::string>& lookedFor, std::vector<Note> notes, Visitor& visitor,
                const std::function<void()>& logsDone) {
    const std::string& name = primary.name;
    const std::string noHive = name + ": not a registry hive (no \"regf\" base block at offset 0x0)";
    if (primary.bytes.size() < kBaseBlockSize) throw HiveError(name + ": " + ShortFileFault(primary.bytes));
    Base base = ReadBase(primary.bytes);
    const bool trusted = base.signatureOk && base.checksumOk;
    if (trusted) {
        if (std::string fault = BaseFault(base); !fault.empty()) throw HiveError(name + ": at offset 0x0: " + fault);
        if (base.type != base::kTypePrimary)
            throw HiveError(name + ": at offset 0x0: file type " + std::to_string(base.type) +
                            (base.type == base::kTypeOldLog || base.type == base::kTypeNewLog
                                 ? ", a transaction log, not a hive"
                                 : ", not a hive"));
    }
    ReadReport report;
    const NamedBytes* restoredFrom = nullptr;
    if (!trusted) {
        restoredFrom = NewestLogBase(logs, base);
        if (restoredFrom == nullptr) {
            const std::string why = "looked for " + Join(lookedFor) + (notes.empty() ? "" : "; " + Join(notes));
            if (!ReadBase(primary.bytes).signatureOk)
                throw HiveError(noHive + (logs.empty() && notes.empty()
                                              ? ""
                                              : ", and no log holds a base block to restore it (" + why + ")"));
            throw HiveError(name + ": at offset 0x1FC: the base block's checksum is wrong and no log can restore it (" +
                            why + ")");
        }
    }
    BaseFields fields = base.fields;
    std::span<const std::uint8_t> image = primary.bytes;
    std::optional<Replay> replay;
    if (!trusted || base.seq1 != base.seq2) {
        std::size_t cap = primary.bytes.size();
        for (const auto& log : logs) cap += log.bytes.size();
        replay.emplace(primary, owned, logs, cap);
        auto replayed = replay->Run(base, report.logsApplied, notes);
        if (replayed) {
            fields = *replayed;
            image = replay->Result();
            for (const auto& n : notes)
                if (n.damage) report.warnings.push_back(n.text);
        } else if (restoredFrom != nullptr) {
            report.warnings.push_back(name + ": the base block is damaged; restored from " + restoredFrom->name +
                                      ", but no log entry applies (" + Join(notes) +
                                      "): read as the primary file holds the rest, which may miss its latest changes");
        } else {
            report.warnings.push_back(name + " is dirty (sequence numbers " + std::to_string(base.seq1) + " and " +
                                      std::to_string(base.seq2) + ") and no log could be replayed (looked for " +
                                      Join(lookedFor) + (notes.empty() ? "" : "; " + Join(notes)) +
                                      "): read as the primary file holds it, which may miss its latest changes");
        }
    }
    if (logsDone) logsDone();
    if (std::uint64_t(kBaseBlockSize) + fields.binsSize > image.size())
        throw HiveError(name + ": at offset " + Hex(base::kBinsSize) + ": hive bins data of " + Hex(fields.binsSize) +
                        " bytes in a file of " + Hex(image.size()));
    if (fields.binsSize == 0) throw HiveError(name + ": at offset " + Hex(base::kBinsSize) + ": no hive bins");
    WalkTree(name, image, fields, visitor, report.warnings);
    return report;
}

}  // namespace hive::detail
