#include "Form1.h"

#include "QxRegistry.h"
#include "modWindowsVersion.h"
#include "registry_paths.h"
#include "text.h"
#include "winapi.h"

#include <string>

void Form1::Form_Load() {
    using TextBox = Form1Surface::TextBox;
    const OsVersionRecord record = QueryOsVersionRecord();

    surface_.SetText(TextBox::Text1, std::to_string(record.dwMajorVersion));
    surface_.SetText(TextBox::Text2, std::to_string(record.dwMinorVersion));
    // The whole 128-character field goes in; the text box keeps the CSD text before the first NUL.
    surface_.SetText(TextBox::Text3, record.szCSDVersion);
    surface_.SetText(TextBox::Text3,
                     surface_.GetText(TextBox::Text3) + " (" + std::to_string(record.wServicePackMajor) + ")");
    surface_.SetText(TextBox::Text4, std::to_string(static_cast<unsigned>(record.wProductType)));

    surface_.SetCaption(std::to_string(GetWindowsVersion()));

    QxRegistry registry;
    if (registry.OpenKey(registry_paths::kProductNameKey.ansi, HKEY_LOCAL_MACHINE)) {
        surface_.SetText(TextBox::Text5, UCase(registry.GetStringValue("ProductName", "")));
        registry.CloseKey();
    } else {
        surface_.SetText(TextBox::Text5, "Unknow");
    }
}
