#include "values.h"

#include "statements.h"

namespace store {

std::optional<ReadCache::Value> ReadValue(StatementCache& s, KeyId key, const std::string& folded) {
    Query q(s, R"(SELECT type, data FROM "values" WHERE key = ? AND folded = ?)");
    if (!q.Bind(1, key).Bind(2, folded).Step()) return std::nullopt;
    return ReadCache::Value{static_cast<DWORD>(q.Int(0)), std::string(q.Blob(1)), (q.Int(0) & kUtf16Data) != 0};
}

namespace {

const std::string& InsertValues(size_t rows) {
    static const auto make = [](size_t n) {
        std::string sql = R"(INSERT INTO "values" (key, name, folded, type, data) VALUES (?, ?, ?, ?, ?))";
        for (size_t i = 1; i < n; ++i) sql += ", (?, ?, ?, ?, ?)";
        // An existing value keeps the spelling of its name, as RegSetValueExW leaves it.
        return sql + " ON CONFLICT (key, folded) DO UPDATE SET type = excluded.type, data = excluded.data";
    };
    static const std::string one = make(1), many = make(kValuesAtOnce);
    return rows == 1 ? one : many;
}

void Insert(StatementCache& s, std::span<const ValueRow> rows) {
    Query q(s, InsertValues(rows.size()));
    for (size_t i = 0; i < rows.size(); ++i) {
        const ValueRow& v = rows[i];
        const int p = static_cast<int>(5 * i);
        q.Bind(p + 1, v.key).Bind(p + 2, v.name->text).Bind(p + 3, v.name->folded);
        q.Bind(p + 4, v.type).BindBlob(p + 5, v.data.data(), v.data.size());
    }
    q.Step();
}

}  // namespace

void WriteValue(StatementCache& s, KeyId key, const Name& name, std::int64_t type, std::string_view data) {
    const ValueRow row{key, &name, type, data};
    Insert(s, std::span(&row, 1));
}

void WriteValues(StatementCache& s, std::span<const ValueRow> rows) {
    if (rows.size() > kValuesAtOnce) throw Failure{ERROR_INVALID_PARAMETER};
    // Each statement costs about what a row does: a full batch goes in one, the rest one at a time.
    if (rows.size() == kValuesAtOnce) return Insert(s, rows);
    for (size_t i = 0; i < rows.size(); ++i) Insert(s, rows.subspan(i, 1));
}

bool DeleteValue(StatementCache& s, KeyId key, const std::string& folded) {
    Query(s, R"(DELETE FROM "values" WHERE key = ? AND folded = ?)").Bind(1, key).Bind(2, folded).Step();
    return sqlite3_changes(s.Db()) == 1;
}

void DeleteValues(StatementCache& s, KeyId key) {
    Query(s, R"(DELETE FROM "values" WHERE key = ?)").Bind(1, key).Step();
}

Longest ValueCounts(StatementCache& s, KeyId key, bool wide) {
    return CountAndLongest(s,
                           wide ? R"(SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(name GLOB ?2), 0),
                             coalesce(max(CASE WHEN type IN (1, 2, 7) THEN 2 * length(data) ELSE length(data) END), 0)
                      FROM "values" WHERE key = ?1)"
                                : R"(SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(name GLOB ?2), 0),
                             coalesce(max(length(data)), 0) FROM "values" WHERE key = ?1)",
                           R"(SELECT name FROM "values" WHERE key = ?1 AND name GLOB ?2)", key);
}

bool ListRows(StatementCache& s, KeyId key, bool values, const std::string* after, DWORD index, size_t batch,
              size_t batchBytes, std::vector<ListedRow>& rows) {
    const bool onward = after != nullptr;
    const char* sql =
        values ? (onward ? R"(SELECT folded, name, type, data FROM "values" WHERE key = ?1 AND folded > ?2
                                           ORDER BY folded LIMIT ?3)"
                         : R"(SELECT folded, name, type, data FROM "values" WHERE key = ?1
                                           ORDER BY folded LIMIT ?3 OFFSET ?2)")
               : (onward ? "SELECT folded, name FROM keys WHERE parent = ?1 AND folded > ?2 "
                           "ORDER BY folded LIMIT ?3"
                         : "SELECT folded, name FROM keys WHERE parent = ?1 ORDER BY folded LIMIT ?3 OFFSET ?2");
    Query q(s, sql);
    q.Bind(1, key).Bind(3, static_cast<sqlite3_int64>(batch));
    if (onward) q.Bind(2, *after);
    else q.Bind(2, static_cast<sqlite3_int64>(index));
    size_t bytes = 0;
    while (rows.size() < batch && bytes < batchBytes && q.Step()) {
        ListedRow row{std::string(q.Text(0)), std::string(q.Text(1)), 0, {}};
        if (values) {
            row.type = static_cast<DWORD>(q.Int(2));
            row.utf16 = (q.Int(2) & kUtf16Data) != 0;
            row.data = q.Blob(3);
        }
        bytes += row.data.size() + row.name.size();
        rows.push_back(std::move(row));
    }
    return rows.size() < batch && bytes < batchBytes;
}

}  // namespace store
