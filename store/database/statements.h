#pragma once
// Statement cache: every SQL text is compiled once per connection and kept until it closes.
#include "failure.h"

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <unordered_map>

namespace store {

// The registry code for the connection's last SQLite failure.
LONG ErrorOf(sqlite3* db);
[[noreturn]] void Fail(sqlite3* db);

class StatementCache {
public:
    explicit StatementCache(sqlite3* db) : db_(db) {}
    ~StatementCache();
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    sqlite3* Db() const { return db_; }
    sqlite3_stmt* Get(std::string_view sql);
    // Runs statements without results (BEGIN, COMMIT, ...) through the cache.
    void Exec(std::string_view sql);
    // The same, ignoring failure: for the way back after another failure.
    void TryExec(std::string_view sql) noexcept;

private:
    sqlite3* db_;
    std::unordered_map<std::string_view, sqlite3_stmt*> statements_;
};

// One run of a cached statement. Its bindings and cursor are cleared when it goes, so the next
// user finds it fresh.
class Query {
public:
    Query(StatementCache& cache, std::string_view sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Bind(int i, sqlite3_int64 v);
    Query& Bind(int i, std::string_view text);
    Query& BindBlob(int i, const void* p, size_t n);
    // True for a row, false when done; throws Failure on error.
    bool Step();

    sqlite3_int64 Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string_view Text(int col) const;
    std::string_view Blob(int col) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_;
};

}  // namespace store
