// Fills a new registry store with what Windows 10 Pro 22H2 keeps about its version, so the
// development build shows a real installation.
#include "registry_store.h"
#include "winapi.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool SetString(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
}

HKEY Create(const char* path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed-dev-store STORE\n");
        return 2;
    }
    UseRegistryStore(argv[1]);
    HKEY nt = Create("Software\\Microsoft\\Windows NT\\CurrentVersion");
    HKEY options = Create("System\\CurrentControlSet\\Control\\ProductOptions");
    const bool ok = nt != nullptr && options != nullptr &&
                    SetString(nt, "ProductName", "Windows 10 Pro") && SetString(nt, "CurrentVersion", "6.3") &&
                    SetDword(nt, "CurrentMajorVersionNumber", 10) && SetDword(nt, "CurrentMinorVersionNumber", 0) &&
                    SetString(nt, "CurrentBuildNumber", "19045") && SetString(nt, "DisplayVersion", "22H2") &&
                    SetString(nt, "EditionID", "Professional") && SetString(options, "ProductType", "WinNT");
    if (nt) RegCloseKey(nt);
    if (options) RegCloseKey(options);
    if (!ok) {
        std::fprintf(stderr, "seed-dev-store: cannot write the store %s\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
