#pragma once
// A registry held in memory, for a thread that reads what it put there and keeps nothing: a Windows
// installation's version keys read out of a disk image, then read back through the window's own
// load sequence, without a store file, a sync or a folder to write in. While a ScopedMemoryRegistry
// lives, every registry call of its thread (A and W, reads, writes, StoreTree*, transactions) goes to
// its registry and none to a store; other threads keep theirs.
#include "winapi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class MemoryRegistry;

class ScopedMemoryRegistry {
public:
    ScopedMemoryRegistry();
    ~ScopedMemoryRegistry();
    ScopedMemoryRegistry(const ScopedMemoryRegistry&) = delete;
    ScopedMemoryRegistry& operator=(const ScopedMemoryRegistry&) = delete;

private:
    std::unique_ptr<MemoryRegistry> registry_;
    MemoryRegistry* before_;
};

namespace memory {

// The registry this thread's calls go to, or nullptr for the store.
MemoryRegistry* Active();

// The registry calls, answered as the store answers them. Names are found without regard to case,
// string data converted for the other side of the API as the store converts them.
LONG OpenKey(HKEY hKey, const char* subKey, REGSAM sam, PHKEY result, LPDWORD disposition, bool create);
LONG OpenKey(HKEY hKey, const char16_t* subKey, REGSAM sam, PHKEY result, LPDWORD disposition, bool create);
LONG CloseKey(HKEY hKey);
LONG FlushKey(HKEY hKey);
template <typename Char>
LONG QueryValue(HKEY hKey, const Char* name, LPDWORD type, LPBYTE data, LPDWORD size);
template <typename Char>
LONG SetValue(HKEY hKey, const Char* name, DWORD type, const BYTE* data, DWORD size);
template <typename Char>
LONG DeleteValue(HKEY hKey, const Char* name);
template <typename Char>
LONG DeleteKey(HKEY hKey, const Char* subKey, bool tree);
template <typename Char>
LONG EnumKey(HKEY hKey, DWORD index, Char* name, LPDWORD cch);
template <typename Char>
LONG EnumValue(HKEY hKey, DWORD index, Char* name, LPDWORD cch, LPDWORD type, LPBYTE data, LPDWORD size);
LONG QueryInfo(HKEY hKey, bool wide, LPDWORD subKeys, LPDWORD maxSubKey, LPDWORD values, LPDWORD maxValueName,
               LPDWORD maxValue);
// A transaction: what `body` wrote is kept only when it returns ERROR_SUCCESS.
LONG Transaction(const std::function<LONG()>& body);
LONG TreeCreateKey(HKEY hKey, std::u16string_view name, PHKEY result);
LONG TreeSetValue(HKEY hKey, std::u16string_view name, DWORD type, const BYTE* data, DWORD size);

}  // namespace memory
