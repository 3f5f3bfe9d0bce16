// Prints the OS version record that Windows (here: Wine) gives this process, for the window check
// to derive what the window must show. Built with the program's manifest, so it is told what the
// program is told. One line: major minor build platform service-pack suite product-type, then the
// CSD text after a tab.
#include <windows.h>

#include <cstdio>

int main() {
    OSVERSIONINFOEXA record{};
    record.dwOSVersionInfoSize = sizeof record;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&record))) {
        std::fprintf(stderr, "GetVersionExA failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("%lu %lu %lu %lu %u %u %u\t%s\n", record.dwMajorVersion, record.dwMinorVersion,
                record.dwBuildNumber, record.dwPlatformId, record.wServicePackMajor, record.wSuiteMask,
                record.wProductType, record.szCSDVersion);
    return 0;
}
