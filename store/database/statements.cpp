#include "statements.h"

namespace store {

LONG ErrorOf(sqlite3* db) {
    switch (sqlite3_errcode(db) & 0xFF) {
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_SCHEMA:
        case SQLITE_ERROR:
            return ERROR_BADDB;
        case SQLITE_READONLY:
        case SQLITE_FULL:
        case SQLITE_PERM:
            return ERROR_CANTWRITE;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        // Only a value whose key is gone breaks a constraint: its key reference.
        case SQLITE_CONSTRAINT:
            return ERROR_KEY_DELETED;
        default:
            return ERROR_CANTREAD;
    }
}

void Fail(sqlite3* db) {
    throw Failure{ErrorOf(db)};
}

StatementCache::~StatementCache() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
}

sqlite3_stmt* StatementCache::Get(std::string_view sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK)
        Fail(db_);
    // The key views the caller's text: every caller passes a string literal.
    statements_.emplace(sql, stmt);
    return stmt;
}

void StatementCache::Exec(std::string_view sql) {
    Query q(*this, sql);
    while (q.Step()) {}
}

void StatementCache::TryExec(std::string_view sql) noexcept {
    try {
        Exec(sql);
    } catch (...) {}
}

Query::Query(StatementCache& cache, std::string_view sql) : db_(cache.Db()), stmt_(cache.Get(sql)) {}

Query::~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

Query& Query::Bind(int i, sqlite3_int64 v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
}

Query& Query::Bind(int i, std::string_view text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    return *this;
}

Query& Query::BindBlob(int i, const void* p, size_t n) {
    // A zero-length blob still binds as a blob, never as NULL.
    static const char empty = 0;
    sqlite3_bind_blob(stmt_, i, n ? p : &empty, static_cast<int>(n), SQLITE_STATIC);
    return *this;
}

bool Query::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const LONG code = ErrorOf(db_);
    sqlite3_reset(stmt_);
    throw Failure{code};
}

std::string_view Query::Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string_view();
}

std::string_view Query::Blob(int col) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
    return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string_view();
}

}  // namespace store
