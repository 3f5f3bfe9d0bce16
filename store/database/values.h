#pragma once
// Value rows: a key's values, read, written and deleted, and the rows an enumeration lists.
#include "keys.h"
#include "read_cache.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// `type` is the type column: the registry type, kUtf16Data set for UTF-16 string data.
std::optional<ReadCache::Value> ReadValue(StatementCache& s, KeyId key, const std::string& folded);
// An existing value keeps the spelling of its name; a new one takes the one given. A value of a
// deleted key breaks its key reference: ERROR_KEY_DELETED.
void WriteValue(StatementCache& s, KeyId key, const Name& name, std::int64_t type, std::string_view data);
// Whether there was such a value.
bool DeleteValue(StatementCache& s, KeyId key, const std::string& folded);
void DeleteValues(StatementCache& s, KeyId key);

// Many values written as WriteValue would write each in turn: kValuesAtOnce in one statement.
struct ValueRow {
    KeyId key;
    const Name* name;
    std::int64_t type;
    std::string_view data;
};
constexpr size_t kValuesAtOnce = 16;
void WriteValues(StatementCache& s, std::span<const ValueRow> rows);  // at most kValuesAtOnce

// Counts and longest names and data of a key's values; the W side (`wide`) reads ANSI string data
// at two bytes a character. (UTF-16 string data read on the ANSI side are never longer than stored.)
Longest ValueCounts(StatementCache& s, KeyId key, bool wide);

// A subkey or value as an enumeration lists it.
struct ListedRow {
    std::string folded;
    std::string name;
    DWORD type = 0;  // a value's
    std::string data;
    bool utf16 = false;
};
// Reads up to `batch` of a key's subkeys (or `values`) in name order, and fewer than `batchBytes`
// bytes, from the one after `after` when given, else from `index`. Returns whether the last was read.
bool ListRows(StatementCache& s, KeyId key, bool values, const std::string* after, DWORD index, size_t batch,
              size_t batchBytes, std::vector<ListedRow>& rows);

}  // namespace store
