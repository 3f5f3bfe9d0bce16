// The version window, Windows build: native controls over the system's own registry and version query.
#include "Form1.h"
#include "raised_error.h"
#include "utf16.h"
#include "win32_form1_window.h"
#include "winapi.h"

#include <exception>
#include <string>

namespace {

constexpr wchar_t kProgram[] = L"versioninfo";

int ReportFatal(const std::string& text) {
    std::wstring wide;
    try {
        wide = Utf8ToWide(text);
    } catch (const std::exception&) {
        wide = L"An error ended the program.";
    }
    MessageBoxW(nullptr, wide.c_str(), kProgram, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    return 1;
}

}  // namespace

// The program takes no command line.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    try {
        Win32Form1Window window(instance);
        Form1 form(window);
        form.Form_Load();
        return window.Run(showCommand);
    } catch (const RaisedError& e) {
        return ReportFatal("Error " + std::to_string(e.Number()) + "\nSource: " + e.Source() +
                           "\nDescription: " + e.Description());
    } catch (const std::exception& e) {
        return ReportFatal(std::string("Error: ") + e.what());
    }
}
