#include "keys.h"

#include "text.h"

#include <algorithm>
#include <chrono>

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

bool KeyExists(StatementCache& s, KeyId id) {
    Query q(s, "SELECT 1 FROM keys WHERE id = ?");
    return q.Bind(1, id).Step();
}

std::optional<KeyId> FindChild(StatementCache& s, KeyId parent, const std::string& folded) {
    Query q(s, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    if (!q.Bind(1, parent).Bind(2, folded).Step()) return std::nullopt;
    return q.Int(0);
}

KeyId Walk(StatementCache& s, KeyId parent, const std::vector<Name>& parts, size_t& found) {
    KeyId id = parent;
    for (found = 0; found < parts.size(); ++found) {
        const auto child = FindChild(s, id, parts[found].folded);
        if (!child) break;
        id = *child;
    }
    return id;
}

KeyId CreateChild(StatementCache& s, KeyId parent, const Name& name) {
    // Ids follow the clock in microseconds since 2026 (and always exceed every id in the file and
    // every id this process made), so a key deleted by another process, or made in a transaction
    // that was rolled back, never hands its id on.
    static KeyId highest = 0;
    constexpr std::int64_t kEpoch = 1767225600;  // 2026-01-01T00:00:00Z
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count() - kEpoch * 1000000;
    const KeyId floor = std::max<KeyId>(highest + 1, now);
    Query q(s, "INSERT INTO keys (id, parent, name, folded) "
               "VALUES (max(?1, (SELECT coalesce(max(id), 0) + 1 FROM keys)), ?2, ?3, ?4) RETURNING id");
    q.Bind(1, floor).Bind(2, parent).Bind(3, name.text).Bind(4, name.folded);
    if (!q.Step()) throw Failure{ERROR_CANTWRITE};
    highest = std::max(highest, q.Int(0));
    return q.Int(0);
}

}  // namespace store
