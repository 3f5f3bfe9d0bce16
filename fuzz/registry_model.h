#pragma once
// The registry as Windows keeps it, held in memory: what every registry call answers and what it
// changes, written down plainly so that the store fuzzer can hold the portable store to it call by
// call. Where the store departs from Windows on purpose, the model says what the store promises
// instead (see the comments marked "store:").
#include "winapi.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class RegistryModel {
public:
    RegistryModel();

    // The registry functions, with the arguments of their Win32 namesakes. Handles are the model's
    // own, except the predefined roots.
    LONG OpenKeyEx(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult);
    LONG CreateKeyEx(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult, LPDWORD lpdwDisposition);
    LONG CloseKey(HKEY hKey);
    LONG FlushKey(HKEY hKey);
    LONG QueryValueEx(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
    LONG SetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD dwType, const BYTE* lpData, DWORD cbData);
    LONG DeleteValue(HKEY hKey, LPCSTR lpValueName);
    LONG DeleteKey(HKEY hKey, LPCSTR lpSubKey);
    LONG DeleteTree(HKEY hKey, LPCSTR lpSubKey);
    LONG EnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
    LONG EnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
    LONG QueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                      LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

    // store: pointing the process at a store (again) invalidates every handle opened before.
    void InvalidateHandles() { handles_.clear(); }
    // store: RunInStoreTransaction. Begin marks a point; End(false) undoes everything since, End(true)
    // keeps it. Keys made after the point and undone stay deleted for the handles opened to them.
    void Begin();
    void End(bool keep);

    // Names compare as Windows compares them: character by character, each upper-cased alone.
    using Folded = std::u32string;
    static Folded Fold(std::string_view ansi);

private:
    struct Value {
        std::string name;  // the spelling it was first written with
        DWORD type;
        std::string data;
    };
    struct Key {
        std::string name;
        std::size_t parent = 0;
        bool live = true;
        std::map<Folded, std::size_t> subKeys;  // in the order RegEnumKeyExA lists them
        std::map<Folded, Value> values;         // store: listed in name order, Windows lists them as written
    };
    struct Handle {
        std::size_t key;
        REGSAM access;
    };

    LONG Resolve(HKEY hKey, REGSAM needed, std::size_t& key, bool mustLive = true) const;
    LONG OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult, LPDWORD lpdwDisposition,
                      bool create);
    std::optional<std::size_t> Walk(std::size_t from, const std::vector<std::string>& parts) const;
    void Remove(std::size_t key);
    void Empty(std::size_t key);

    std::vector<Key> keys_;  // indexed by key; a key's index is never reused
    std::map<std::uintptr_t, Handle> handles_;
    std::uintptr_t nextHandle_ = 0x10;
    std::vector<std::vector<Key>> marks_;
};
