#pragma once
// What a file at the store's path is, judged by one rule from the marks a store carries: the
// application id, the tables' version (user_version) and whether it has any table. The rule is
// applied to the file's header before SQLite opens it (a file that is not a store is then never
// opened, so never locked, changed or given log files), and again to what a connection reads
// through the log once it is open or about to write.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace store {

// What the file holds, by the rule.
enum class Verdict {
    Empty,     // no table, no mark: becomes a store on the first write
    Unmarked,  // the store's tables and version, made before stores were marked: the first write marks it
    Store,     // marked as a store whose tables this program reads
    Newer,     // marked as a store, of a later version than this program reads
    Foreign,   // another program's database
};

struct Marks {
    std::uint32_t app = 0;      // PRAGMA application_id
    std::uint32_t version = 0;  // PRAGMA user_version, as the header holds it (a negative one is high)
    bool tables = false;        // any table in its schema
};

// The one rule. A store is always made with its tables, version and mark in one transaction: a file
// with the mark and no version is none of ours.
Verdict Judge(const Marks& marks);

// The size of a SQLite file's header, and where in it the marks are (big-endian).
constexpr std::size_t kHeaderBytes = 100;

// The rule applied to a file's first kHeaderBytes (`header`) and its `size`: nullopt when SQLite
// must look (not a SQLite header). From the header alone a database counts as having tables when
// its schema was ever changed, or when it is in WAL mode (its tables may be in its log; a store is
// never made in WAL mode). An Unmarked verdict still wants the tables' shapes (HasStoreTables).
std::optional<Verdict> JudgeHeader(const unsigned char* header, std::int64_t size);

// Reads the header of the file at `path` through SQLite's own file layer: a plain close() would drop
// the locks another connection of this process holds on the file. False when it cannot be read;
// `size` is the file's size, and `header` is read only when it is long enough.
bool ReadHeader(const std::string& path, unsigned char (&header)[kHeaderBytes], std::int64_t& size);

}  // namespace store
