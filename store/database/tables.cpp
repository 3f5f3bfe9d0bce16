#include "tables.h"

#include "hex.h"

#include "schema.h"

#include <cstring>

namespace store {
namespace {

const char* const kKeysTable = R"sql(
CREATE TABLE IF NOT EXISTS keys (
    id     INTEGER PRIMARY KEY,
    parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
    name   TEXT NOT NULL,
    folded TEXT NOT NULL,
    UNIQUE (parent, folded)
);
)sql";
const char* const kValuesTable = R"sql(
CREATE TABLE IF NOT EXISTS "values" (
    key    INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name   TEXT NOT NULL,
    folded TEXT NOT NULL,
    type   INTEGER NOT NULL,
    data   BLOB NOT NULL,
    PRIMARY KEY (key, folded)
) WITHOUT ROWID;
)sql";
const char* const kRoots = R"sql(
INSERT OR IGNORE INTO keys (id, parent, name, folded) VALUES
    (1, NULL, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT'),
    (2, NULL, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),
    (3, NULL, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
    (4, NULL, 'HKEY_USERS', 'HKEY_USERS'),
    (6, NULL, 'HKEY_CURRENT_CONFIG', 'HKEY_CURRENT_CONFIG');
)sql";
// The columns of each table, in order, as a store made before stores were marked has them.
constexpr const char* kKeysColumns = "id,parent,name,folded";
constexpr const char* kValuesColumns = "key,name,folded,type,data";

const std::string kMark = "PRAGMA application_id = " + std::to_string(kApplicationId);
const std::string kMakeTables = std::string(kKeysTable) + kValuesTable + kRoots +
                                "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n" + kMark + ";";

std::string UriPath(const std::string& path) {
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            uri += '%';
            uri += HexDigit(static_cast<unsigned char>(c) >> 4, true);
            uri += HexDigit(static_cast<unsigned char>(c), true);
        } else {
            uri += c;
        }
    }
    return uri;
}

}  // namespace

const char* ValuesTableSql() {
    return kValuesTable;
}

Marks MarksOf(StatementCache& s) {
    Query q(s,
            "SELECT (SELECT count(*) FROM sqlite_schema), "
            "(SELECT user_version FROM pragma_user_version), "
            "(SELECT application_id FROM pragma_application_id)");
    q.Step();
    return {static_cast<std::uint32_t>(q.Int(2)), static_cast<std::uint32_t>(q.Int(1)), q.Int(0) > 0};
}

void MakeTables(StatementCache& s) {
    if (sqlite3_exec(s.Db(), kMakeTables.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(s.Db());
}

void MarkStore(StatementCache& s) {
    s.Exec(kMark);
}

bool HasStoreTables(const std::string& path, const char* vfs) {
    sqlite3* db = nullptr;
    bool store = false;
    const std::string uri = UriPath(path) + "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, vfs) ==
        SQLITE_OK) {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT (SELECT group_concat(name) FROM pragma_table_info('keys')), "
                               "(SELECT group_concat(name) FROM pragma_table_info('values'))",
                               -1, &q, nullptr) == SQLITE_OK &&
            sqlite3_step(q) == SQLITE_ROW) {
            const auto* keys = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
            const auto* values = reinterpret_cast<const char*>(sqlite3_column_text(q, 1));
            store = keys != nullptr && values != nullptr && std::strcmp(keys, kKeysColumns) == 0 &&
                    std::strcmp(values, kValuesColumns) == 0;
        }
        sqlite3_finalize(q);
    }
    sqlite3_close_v2(db);
    return store;
}

}  // namespace store
