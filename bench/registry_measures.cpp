#include "registry_measures.h"

#include "Form1.h"
#include "recording_surface.h"

#include <array>
#include <cstdio>

namespace bench {

namespace {

constexpr std::size_t kReadPaths = 64;
const std::string kWriterPath = std::string(kRoot) + "\\writes";
const std::string kCreatedPath = std::string(kRoot) + "\\created";

bool OpenQueryClose(Session& s, std::uint64_t i) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, s.readPaths[i % s.readPaths.size()].c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    char data[256];
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExA(key, "v0", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size <= sizeof data;
    ok = ok && RegQueryValueExA(key, "v0", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
    return RegCloseKey(key) == ERROR_SUCCESS && ok;
}

bool QueryOpenKey(Session& s, std::uint64_t) {
    char data[256];
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(s.readKey, "v2", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size > sizeof data)
        return false;
    return RegQueryValueExA(s.readKey, "v2", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
}

bool QueryDword(Session& s, std::uint64_t) {
    DWORD value = 0, type = 0, size = sizeof value;
    return RegQueryValueExA(s.readKey, "v1", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

// QxRegistry reports no refused write; Session checked once that the key takes writes.
bool SetLong(Session& s, std::uint64_t i) {
    s.writer.SetLong("Count", static_cast<LONG>(i));
    return true;
}

bool SetString(Session& s, std::uint64_t i) {
    s.writer.SetStringValue("Text", (i & 1) ? "one benchmark text" : "another benchmark text");
    return true;
}

bool CreateNewKey(Session& s, std::uint64_t) {
    QxRegistry key;
    char name[32];
    std::snprintf(name, sizeof name, "\\c%llu", static_cast<unsigned long long>(s.created++));
    const bool created = key.CreateKey(kCreatedPath + name, HKEY_LOCAL_MACHINE);
    return key.CloseKey() && created;
}

bool FormLoad(Session&, std::uint64_t) {
    RecordingSurface surface;
    Form1 form(surface);
    form.Form_Load();
    return !surface.caption.empty();
}

constexpr std::array<Measure, 7> kMeasures{{
    {"open_query_close", "open + size query + data query + close", OpenQueryClose},
    {"query_open_key", "size + data query on an open key", QueryOpenKey},
    {"query_dword", "one 4-byte query", QueryDword},
    {"set_long", "SetLong", SetLong, true},
    {"set_string", "SetStringValue", SetString, true},
    {"create_key", "CreateKey of a new key + close", CreateNewKey, true},
    {"form_load", "Form_Load, in-process, per load", FormLoad},
}};

}  // namespace

std::string DataKeyPath(std::size_t key) {
    char path[96];
    std::snprintf(path, sizeof path, "%s\\data\\g%04zu\\k%07zu", kRoot, key / kKeysPerGroup, key);
    return path;
}

std::string DataString(std::size_t key, std::size_t value) {
    char text[64];
    std::snprintf(text, sizeof text, "value %zu of key %zu", value, key);
    return text;
}

LONG FillValues(std::size_t values) {
    const std::size_t keys = (values + kValuesPerKey - 1) / kValuesPerKey;
    for (std::size_t k = 0; k < keys; ++k) {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, DataKeyPath(k).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        for (std::size_t v = 0; v < kValuesPerKey && rc == ERROR_SUCCESS; ++v) {
            static_assert(kValuesPerKey <= 10, "one-digit value names");
            const char name[] = {'v', static_cast<char>('0' + v), '\0'};
            if (v % 2 == 0) {
                const std::string text = DataString(k, v);
                rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>(text.size() + 1));
            } else {
                const DWORD number = static_cast<DWORD>(k * kValuesPerKey + v);
                rc = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
            }
        }
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

Session::Session(std::size_t values, bool readOnly) {
    const std::size_t keys = (values + kValuesPerKey - 1) / kValuesPerKey;
    if (keys == 0) return;
    for (std::size_t i = 0; i < kReadPaths; ++i) readPaths.push_back(DataKeyPath(i * keys / kReadPaths));
    ready_ =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, readPaths[kReadPaths / 2].c_str(), 0, KEY_READ, &readKey) == ERROR_SUCCESS;
    if (readOnly) return;
    ready_ = ready_ && writer.CreateKey(kWriterPath, HKEY_LOCAL_MACHINE);
    QxRegistry created;
    ready_ = ready_ && created.CreateKey(kCreatedPath, HKEY_LOCAL_MACHINE);
}

Session::~Session() {
    if (readKey != nullptr) RegCloseKey(readKey);
}

std::span<const Measure> Measures() {
    return kMeasures;
}

}  // namespace bench
