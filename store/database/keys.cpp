#include "keys.h"

#include "ascii.h"
#include "statements.h"

#include "read_cache.h"
#include "text.h"
#include "utf16.h"

#include <algorithm>
#include <array>

namespace store {
namespace {

bool IsAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string FoldName(std::string_view text) {
    // The same answer as FoldCase, without its cost for the common all-ASCII name.
    if (!IsAscii(text)) return FoldCase(text);
    std::string out(text);
    for (char& c : out) c = AsciiUpper(c);
    return out;
}

Name NameFromAnsi(std::string_view ansi) {
    Name name;
    name.text = IsAscii(ansi) ? std::string(ansi) : AnsiToText(ansi);
    name.folded = FoldName(name.text);
    return name;
}

Name NameFromUtf16(std::u16string_view units) {
    Name name;
    NameFromUtf16(units, name);
    return name;
}

void NameFromUtf16(std::u16string_view units, Name& name) {
    // Nearly every name is ASCII: one pass, into strings whose room is reused.
    if (std::all_of(units.begin(), units.end(), [](char16_t c) { return c < 0x80; })) {
        name.text.resize(units.size());
        name.folded.resize(units.size());
        for (size_t i = 0; i < units.size(); ++i) {
            const char c = static_cast<char>(units[i]);
            name.text[i] = c;
            name.folded[i] = AsciiUpper(c);
        }
        return;
    }
    name.text = Utf16ToWtf8(units);
    name.folded = FoldCase(name.text);
}

std::string FoldedFromAnsi(std::string_view ansi) {
    return IsAscii(ansi) ? FoldName(ansi) : FoldName(AnsiToText(ansi));
}

namespace {

// One ANSI character is one UTF-16 unit, so both kinds of path have the same limits per name.
template <typename Char, typename MakeName>
std::optional<std::vector<Name>> Split(std::basic_string_view<Char> rest, MakeName makeName) {
    std::vector<Name> parts;
    if (rest.empty()) return parts;
    if (rest.front() == Char('\\')) return std::nullopt;
    while (!rest.empty()) {
        const auto slash = rest.find(Char('\\'));
        const auto part = rest.substr(0, slash);
        if (part.size() > kMaxKeyName) throw Failure{ERROR_INVALID_PARAMETER};
        if (!part.empty()) parts.push_back(makeName(part));
        if (slash == std::basic_string_view<Char>::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return parts;
}

}  // namespace

namespace {

template <typename Char>
LONG Fault(std::basic_string_view<Char> rest) {
    if (rest.empty()) return ERROR_SUCCESS;
    if (rest.front() == Char('\\')) return ERROR_BAD_PATHNAME;
    size_t part = 0;
    for (const Char c : rest)
        if (c == Char('\\')) part = 0;
        else if (++part > kMaxKeyName) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

}  // namespace

LONG PathFault(const char* path) {
    const std::string_view rest = path == nullptr ? std::string_view() : std::string_view(path);
    return rest.size() > kMaxAnsiPath ? LONG{ERROR_MORE_DATA} : Fault(rest);
}

LONG PathFault(const char16_t* path) {
    return Fault(path == nullptr ? std::u16string_view() : std::u16string_view(path));
}

std::optional<std::vector<Name>> SplitPath(const char* path) {
    const std::string_view rest = path == nullptr ? std::string_view() : std::string_view(path);
    if (rest.size() > kMaxAnsiPath) throw Failure{ERROR_MORE_DATA};
    return Split(rest, NameFromAnsi);
}

std::optional<std::vector<Name>> SplitPath(const char16_t* path) {
    return Split(path == nullptr ? std::u16string_view() : std::u16string_view(path),
                 [](std::u16string_view part) { return NameFromUtf16(part); });
}

bool KeyExists(StatementCache& s, KeyId id, ReadCache* cache) {
    if (cache != nullptr)
        if (const bool* known = cache->FindKey(id)) return *known;
    Query q(s, "SELECT 1 FROM keys WHERE id = ?");
    const bool exists = q.Bind(1, id).Step();
    if (cache != nullptr) cache->PutKey(id, exists);
    return exists;
}

std::optional<KeyId> FindChild(StatementCache& s, KeyId parent, const std::string& folded, ReadCache* cache) {
    if (cache != nullptr)
        if (const auto* known = cache->FindChild(parent, folded)) return *known;
    Query q(s, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    std::optional<KeyId> child;
    if (q.Bind(1, parent).Bind(2, folded).Step()) child = q.Int(0);
    if (cache != nullptr) cache->PutChild(parent, folded, child);
    return child;
}

KeyId Walk(StatementCache& s, KeyId parent, const std::vector<Name>& parts, size_t& found, ReadCache* cache) {
    KeyId id = parent;
    for (found = 0; found < parts.size(); ++found) {
        const auto child = FindChild(s, id, parts[found].folded, cache);
        if (!child) break;
        id = *child;
    }
    return id;
}

// The highest id ever taken: the highest key's, or the one kept by a placeholder row (its id
// negated, so that nothing finds or references it as a key).
constexpr std::string_view kHighestId =
    "SELECT max(coalesce((SELECT max(id) FROM keys), 0), -coalesce((SELECT min(id) FROM keys), 0))";

// Ids only grow: past every id the file ever had (see DeleteKeyRows) and past every id this
// process made, which covers keys made in a transaction that was rolled back.
KeyId highest = 0;

KeyId CreateChild(StatementCache& s, KeyId parent, const Name& name) {
    Query q(s,
            "INSERT INTO keys (id, parent, name, folded) VALUES (max(?1, (SELECT max(coalesce((SELECT "
            "max(id) FROM keys), 0), -coalesce((SELECT min(id) FROM keys), 0))) + 1), ?2, ?3, ?4) RETURNING id");
    q.Bind(1, highest + 1).Bind(2, parent).Bind(3, name.text).Bind(4, name.folded);
    if (!q.Step()) throw Failure{ERROR_CANTWRITE};
    highest = std::max(highest, q.Int(0));
    return q.Int(0);
}

size_t KeyDepth(StatementCache& s, KeyId id) {
    Query q(s,
            "WITH RECURSIVE up(id, depth) AS (SELECT parent, 0 FROM keys WHERE id = ?1 "
            "UNION ALL SELECT keys.parent, up.depth + 1 FROM keys JOIN up ON keys.id = up.id) "
            "SELECT coalesce(max(depth), 0) FROM up");
    q.Bind(1, id).Step();
    return static_cast<size_t>(q.Int(0));
}

namespace {

// A cascade takes one trigger level for each level of keys it goes down, and SQLite stops at
// SQLITE_LIMIT_TRIGGER_DEPTH (1000): a deeper tree (a store of an older version could hold one) is
// cut from the bottom up, this many levels at a time.
constexpr sqlite3_int64 kLevelsAtOnce = 256;

// The levels of keys below `top`.
sqlite3_int64 TreeDepth(StatementCache& s, KeyId top) {
    Query q(s,
            "WITH RECURSIVE down(id, depth) AS (SELECT id, 1 FROM keys WHERE parent = ?1 "
            "UNION ALL SELECT keys.id, down.depth + 1 FROM keys JOIN down ON keys.parent = down.id) "
            "SELECT coalesce(max(depth), 0) FROM down");
    q.Bind(1, top).Step();
    return q.Int(0);
}

}  // namespace

KeyId HighestKeyId(StatementCache& s) {
    Query q(s, kHighestId);
    q.Step();
    return q.Int(0);
}

void SyncHighestId(StatementCache& s) {
    highest = std::max(highest, HighestKeyId(s));
}

std::optional<KeyId> CreateNextChild(StatementCache& s, KeyId parent, const Name& name) {
    Query q(s,
            "INSERT INTO keys (id, parent, name, folded) VALUES (?, ?, ?, ?) ON CONFLICT (parent, folded) DO NOTHING");
    q.Bind(1, highest + 1).Bind(2, parent).Bind(3, name.text).Bind(4, name.folded).Step();
    if (sqlite3_changes(s.Db()) == 0) return std::nullopt;
    return ++highest;
}

KeyId TakeKeyId() {
    return ++highest;
}

size_t InsertKeys(StatementCache& s, std::span<const NewKey> keys) {
    static const auto sql = [] {
        std::array<std::string, kKeysAtOnce + 1> texts;
        std::string values = "(?, ?, ?, ?)";
        for (size_t n = 1; n <= kKeysAtOnce; values += ", (?, ?, ?, ?)", ++n)
            texts[n] = "INSERT INTO keys (id, parent, name, folded) VALUES " + values +
                       " ON CONFLICT (parent, folded) DO NOTHING";
        return texts;
    }();
    if (keys.empty() || keys.size() > kKeysAtOnce) throw Failure{ERROR_INVALID_PARAMETER};
    Query q(s, sql[keys.size()]);
    for (size_t i = 0; i < keys.size(); ++i) {
        const int p = static_cast<int>(4 * i);
        q.Bind(p + 1, keys[i].id).Bind(p + 2, keys[i].parent).Bind(p + 3, keys[i].name->text);
        q.Bind(p + 4, keys[i].name->folded);
    }
    q.Step();
    return static_cast<size_t>(sqlite3_changes(s.Db()));
}

namespace {

// Deletes keys by `sql` (one parameter, `arg`), their subkeys and values going with them, however
// deep: `sql` names keys no deeper than the subkeys of `top`.
void DeleteKeyRows(StatementCache& s, std::string_view sql, KeyId arg, KeyId top) {
    const auto read = [&](std::string_view query) {
        Query q(s, query);
        q.Step();
        return q.Int(0);
    };
    const KeyId highest = read(kHighestId);
    // Only a leaf (or none) below: nothing to cut, and no need to look further.
    if (Query(s, "SELECT 1 FROM keys WHERE parent IN (SELECT id FROM keys WHERE parent = ?) LIMIT 1")
            .Bind(1, top)
            .Step())
        for (sqlite3_int64 depth = TreeDepth(s, top); depth > kLevelsAtOnce; depth -= kLevelsAtOnce)
            Query(s,
                  "WITH RECURSIVE down(id, depth) AS (SELECT id, 1 FROM keys WHERE parent = ?1 "
                  "UNION ALL SELECT keys.id, down.depth + 1 FROM keys JOIN down ON keys.parent = down.id "
                  "WHERE down.depth < ?2) DELETE FROM keys WHERE id IN (SELECT id FROM down WHERE depth = ?2)")
                .Bind(1, top)
                .Bind(2, depth - kLevelsAtOnce + 1)
                .Step();
    Query(s, sql).Bind(1, arg).Step();
    if (read("SELECT coalesce(max(id), 0) FROM keys") == highest) return;
    // The highest id went with the deleted keys: a placeholder keeps it taken, so that no process
    // hands it out again while a handle to a deleted key may still exist.
    Query(s, "DELETE FROM keys WHERE id < 0").Step();
    Query(s, "INSERT INTO keys (id, parent, name, folded) VALUES (?, NULL, '', '')").Bind(1, -highest).Step();
}

}  // namespace

void DeleteKey(StatementCache& s, KeyId id) {
    DeleteKeyRows(s, "DELETE FROM keys WHERE id = ?", id, id);
}
void DeleteSubkeys(StatementCache& s, KeyId id) {
    DeleteKeyRows(s, "DELETE FROM keys WHERE parent = ?", id, id);
}

bool HasSubkeys(StatementCache& s, KeyId id) {
    return Query(s, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1").Bind(1, id).Step();
}

bool InsertAllKeys(StatementCache& s, std::span<const NewKey> keys) {
    s.Exec("SAVEPOINT keys");
    const bool all = InsertKeys(s, keys) == keys.size();
    if (!all) s.Exec("ROLLBACK TO keys");
    s.Exec("RELEASE keys");
    return all;
}

Longest CountAndLongest(StatementCache& s, std::string_view sql, std::string_view names, KeyId id) {
    static constexpr std::string_view kBeyondBmp = "*[\U00010000-\U0010FFFF]*";
    Longest out;
    bool beyond = false;
    {
        Query q(s, sql);
        q.Bind(1, id).Bind(2, kBeyondBmp).Step();
        out.count = static_cast<DWORD>(q.Int(0));
        out.name = static_cast<DWORD>(q.Int(1));
        beyond = q.Int(2) != 0;
        out.data = static_cast<DWORD>(q.Int(3));
    }
    // SQLite counts a character beyond the BMP once, UTF-16 (and so the ANSI side) twice: only when
    // there is such a name are the names read.
    if (!beyond) return out;
    Query b(s, names);
    b.Bind(1, id).Bind(2, kBeyondBmp);
    while (b.Step()) out.name = std::max(out.name, static_cast<DWORD>(Wtf8ToUtf16(b.Text(0)).size()));
    return out;
}

Longest SubkeyCounts(StatementCache& s, KeyId id) {
    return CountAndLongest(s,
                           "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(name GLOB ?2), 0), 0 "
                           "FROM keys WHERE parent = ?1",
                           "SELECT name FROM keys WHERE parent = ?1 AND name GLOB ?2", id);
}

}  // namespace store
