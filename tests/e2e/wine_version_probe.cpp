// Prints the OS version record that Windows (here: Wine) gives this process, for the window check
// to derive what the window must show. Built with the program's manifest, so it is told what the
// program is told. One line: major minor build platform service-pack suite product-type, then the
// CSD text after a tab.
//   wine_version_probe --fields: instead, looks at the running version window from outside and
//   prints one line per text box: its name, how many letters it hides on the left when its caret is
//   at the end of its text (0: the whole value is in view), and whether the box lies inside the
//   window's client area.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

BOOL CALLBACK PrintField(HWND edit, LPARAM parentParam) {
    const auto parent = reinterpret_cast<HWND>(parentParam);
    char kind[16] = "";
    GetClassNameA(edit, kind, sizeof kind);
    if (GetParent(edit) != parent || lstrcmpiA(kind, "Edit") != 0) return TRUE;

    // GetWindowTextLength would not ask a window of another process.
    const auto length = static_cast<WPARAM>(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0));
    // From the start (a box scrolled by earlier typing stays scrolled), then to the end.
    for (const WPARAM at : {WPARAM{0}, length}) {
        SendMessageW(edit, EM_SETSEL, at, static_cast<LPARAM>(at));
        SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    }
    // For a single-line box: the first letter in view.
    const LRESULT hidden = SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageW(edit, EM_SETSEL, 0, 0);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);

    RECT box, client;
    GetWindowRect(edit, &box);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&box), 2);
    GetClientRect(parent, &client);
    const bool inside =
        box.left >= client.left && box.top >= client.top && box.right <= client.right && box.bottom <= client.bottom;
    // The controls are numbered 100 + their row in the window's table: Text1 is row 1, Text5 row 9.
    std::printf("Text%d %ld %s\n", (GetDlgCtrlID(edit) - 100 + 1) / 2, static_cast<long>(hidden),
                inside ? "inside" : "outside");
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--fields") == 0) {
        const HWND window = FindWindowW(L"VersionInfoForm1", nullptr);
        if (window == nullptr) {
            std::fprintf(stderr, "no version window\n");
            return 1;
        }
        EnumChildWindows(window, PrintField, reinterpret_cast<LPARAM>(window));
        return 0;
    }
    OSVERSIONINFOEXA record{};
    record.dwOSVersionInfoSize = sizeof record;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&record))) {
        std::fprintf(stderr, "GetVersionExA failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("%lu %lu %lu %lu %u %u %u\t%s\n", record.dwMajorVersion, record.dwMinorVersion, record.dwBuildNumber,
                record.dwPlatformId, record.wServicePackMajor, record.wSuiteMask, record.wProductType,
                record.szCSDVersion);
    return 0;
}
