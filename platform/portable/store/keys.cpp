#include "keys.h"

#include "read_cache.h"
#include "text.h"

#include <algorithm>

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
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

Name NameFromAnsi(std::string_view ansi) {
    Name name;
    name.text = IsAscii(ansi) ? std::string(ansi) : AnsiToText(ansi);
    name.folded = FoldName(name.text);
    return name;
}

std::string FoldedFromAnsi(std::string_view ansi) {
    return IsAscii(ansi) ? FoldName(ansi) : FoldName(AnsiToText(ansi));
}

std::optional<std::vector<Name>> SplitPath(const char* path) {
    std::vector<Name> parts;
    if (path == nullptr || *path == '\0') return parts;
    std::string_view rest(path);
    if (rest.size() > kMaxAnsiPath) throw Failure{ERROR_MORE_DATA};
    if (rest.front() == '\\') return std::nullopt;
    while (!rest.empty()) {
        const auto slash = rest.find('\\');
        const std::string_view part = rest.substr(0, slash);
        if (part.size() > kMaxKeyName) throw Failure{ERROR_INVALID_PARAMETER};
        if (!part.empty()) parts.push_back(NameFromAnsi(part));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return parts;
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

KeyId CreateChild(StatementCache& s, KeyId parent, const Name& name) {
    // Ids only grow: past every id the file ever had (see DeleteKeyRows) and past every id this
    // process made, which covers keys made in a transaction that was rolled back.
    static KeyId highest = 0;
    Query q(s, "INSERT INTO keys (id, parent, name, folded) VALUES (max(?1, (SELECT max(coalesce((SELECT "
               "max(id) FROM keys), 0), -coalesce((SELECT min(id) FROM keys), 0))) + 1), ?2, ?3, ?4) RETURNING id");
    q.Bind(1, highest + 1).Bind(2, parent).Bind(3, name.text).Bind(4, name.folded);
    if (!q.Step()) throw Failure{ERROR_CANTWRITE};
    highest = std::max(highest, q.Int(0));
    return q.Int(0);
}

void DeleteKeyRows(StatementCache& s, std::string_view sql, KeyId arg) {
    const auto read = [&](std::string_view query) {
        Query q(s, query);
        q.Step();
        return q.Int(0);
    };
    const KeyId highest = read(kHighestId);
    Query(s, sql).Bind(1, arg).Step();
    if (read("SELECT coalesce(max(id), 0) FROM keys") == highest) return;
    // The highest id went with the deleted keys: a placeholder keeps it taken, so that no process
    // hands it out again while a handle to a deleted key may still exist.
    Query(s, "DELETE FROM keys WHERE id < 0").Step();
    Query(s, "INSERT INTO keys (id, parent, name, folded) VALUES (?, NULL, '', '')").Bind(1, -highest).Step();
}

}  // namespace store
