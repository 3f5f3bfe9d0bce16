#pragma once
// The registry keys that a Windows installation's version and inventory are read from, named once:
// what the window's load sequence, the version code and the portable version query open, and what
// an inventory, its details and an installation's title open. An installation read off a disk
// brings only the keys that installations/version_keys.cpp lists from these names: a key read but
// not imported there reads as missing.
#include <cstddef>

namespace registry_paths {

// A key's path (ASCII), for the registry's ANSI calls and its Unicode ones alike.
template <std::size_t N>
struct KeyPath {
    char ansi[N] = {};
    char16_t wide[N] = {};

    consteval KeyPath() = default;
    consteval KeyPath(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            if (static_cast<unsigned char>(text[i]) >= 0x80) throw "a key path of this table is ASCII";
            ansi[i] = text[i];
            wide[i] = char16_t(text[i]);
        }
    }
};

// `child` below `parent`.
template <std::size_t N, std::size_t M>
consteval KeyPath<N + M> Below(const KeyPath<N>& parent, const KeyPath<M>& child) {
    KeyPath<N + M> path;
    for (std::size_t i = 0; i + 1 < N; ++i) path.ansi[i] = parent.ansi[i];
    path.ansi[N - 1] = '\\';
    for (std::size_t i = 0; i < M; ++i) path.ansi[N + i] = child.ansi[i];
    for (std::size_t i = 0; i < N + M; ++i) path.wide[i] = char16_t(path.ansi[i]);
    return path;
}

// The two hives, as their files are named (System32\config) and as an import mounts them below
// HKEY_LOCAL_MACHINE.
inline constexpr KeyPath kSoftwareHive{"SOFTWARE"};
inline constexpr KeyPath kSystemHive{"SYSTEM"};

// Below SOFTWARE.
inline constexpr KeyPath kNtCurrentVersion{"Microsoft\\Windows NT\\CurrentVersion"};
inline constexpr KeyPath kCurrentVersion{"Microsoft\\Windows\\CurrentVersion"};  // Windows 9x keeps its version here
inline constexpr auto kWinlogon = Below(kNtCurrentVersion, KeyPath{"Winlogon"});
inline constexpr auto kProfileList = Below(kNtCurrentVersion, KeyPath{"ProfileList"});
inline constexpr auto kHotFix = Below(kNtCurrentVersion, KeyPath{"HotFix"});
inline constexpr auto kServicingPackages = Below(kCurrentVersion, KeyPath{"Component Based Servicing\\Packages"});

// Below SYSTEM, in the control set in use.
inline constexpr KeyPath kControl{"CurrentControlSet\\Control"};
inline constexpr auto kWindowsControl = Below(kControl, KeyPath{"Windows"});
inline constexpr auto kProductOptions = Below(kControl, KeyPath{"ProductOptions"});
inline constexpr auto kComputerName = Below(kControl, KeyPath{"ComputerName\\ComputerName"});
inline constexpr auto kEnvironment = Below(kControl, KeyPath{"Session Manager\\Environment"});
inline constexpr auto kTimeZone = Below(kControl, KeyPath{"TimeZoneInformation"});
inline constexpr auto kLanguage = Below(kControl, KeyPath{"Nls\\Language"});
inline constexpr auto kLocale = Below(kControl, KeyPath{"Nls\\Locale"});
inline constexpr KeyPath kTcpip{"CurrentControlSet\\Services\\Tcpip\\Parameters"};
inline constexpr auto kTcpipInterfaces = Below(kTcpip, KeyPath{"Interfaces"});

// Below HKEY_LOCAL_MACHINE, in the hive the path names.
template <std::size_t N>
consteval auto InSoftware(const KeyPath<N>& path) {
    return Below(kSoftwareHive, path);
}
template <std::size_t N>
consteval auto InSystem(const KeyPath<N>& path) {
    return Below(kSystemHive, path);
}

// Below HKEY_LOCAL_MACHINE as programs on Windows spell them: what the window's load sequence and the
// version code open (its product name), and what the portable version query reads beside it.
inline constexpr auto kProductNameKey = Below(KeyPath{"Software"}, kNtCurrentVersion);
inline constexpr auto kWindows9xVersionKey = Below(KeyPath{"Software"}, kCurrentVersion);
inline constexpr auto kWindowsControlKey = Below(KeyPath{"System"}, kWindowsControl);
inline constexpr auto kProductOptionsKey = Below(KeyPath{"System"}, kProductOptions);

}  // namespace registry_paths
