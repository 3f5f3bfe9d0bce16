#include "win32_form1_window.h"

#include "Form1_layout.h"
#include "raised_error.h"
#include "utf16.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kClassName[] = L"VersionInfoForm1";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kExStyle = 0;
constexpr UINT kDefaultDpi = 96;
constexpr int kTwipsPerInch = 1440;
constexpr int kFontPoints = 8;

[[noreturn]] void RaiseLastError(const std::string& what) {
    const DWORD code = GetLastError();
    throw RaisedError(static_cast<long>(code), "Form1", what + " (system error " + std::to_string(code) + ")");
}

// Functions of newer Windows releases, looked up so that the program still starts on older ones.
template <typename F>
F User32Function(const char* name) {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return nullptr;
    // Through void(*)(): the one function-pointer type that converts to any other without warning.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

UINT DpiOf(HWND hwnd) {
    static const auto forWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");  // Windows 10 1607
    static const auto forSystem = User32Function<UINT(WINAPI*)()>("GetDpiForSystem");      // Windows 10 1607
    if (forWindow != nullptr && hwnd != nullptr) {
        if (const UINT dpi = forWindow(hwnd); dpi != 0) return dpi;
    }
    if (forSystem != nullptr) {
        if (const UINT dpi = forSystem(); dpi != 0) return dpi;
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kDefaultDpi;
}

int Scale(int twips, UINT dpi) {
    return MulDiv(twips, static_cast<int>(dpi), kTwipsPerInch);
}

// The outer size of a window whose client area is `clientWidth` pixels wide and the table's height,
// at `dpi`.
SIZE WindowSize(int clientWidth, UINT dpi) {
    RECT r{0, 0, clientWidth, Scale(kClientHeightTwips, dpi)};
    static const auto adjustForDpi =
        User32Function<BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
    if (adjustForDpi == nullptr || !adjustForDpi(&r, kStyle, FALSE, kExStyle, dpi))
        AdjustWindowRectEx(&r, kStyle, FALSE, kExStyle);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

// The system's message font, in the size that reads as 8 points at `dpi`. The metrics record grew
// in Vista (iPaddedBorderWidth) and Windows XP refuses the larger size: it gets the older one.
HFONT CreateMessageFont(UINT dpi) {
    static const auto forDpi =
        User32Function<BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT)>("SystemParametersInfoForDpi");
    LOGFONTW font{};
    bool found = false;
    for (const UINT size : {static_cast<UINT>(sizeof(NONCLIENTMETRICSW)),
                            static_cast<UINT>(offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth))}) {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = size;
        if ((forDpi != nullptr && forDpi(SPI_GETNONCLIENTMETRICS, size, &metrics, 0, dpi)) ||
            SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, size, &metrics, 0)) {
            font = metrics.lfMessageFont;
            found = true;
            break;
        }
    }
    if (!found) lstrcpynW(font.lfFaceName, L"MS Shell Dlg 2", LF_FACESIZE);
    font.lfHeight = -MulDiv(kFontPoints, static_cast<int>(dpi), 72);
    font.lfWidth = 0;
    return CreateFontIndirectW(&font);
}

}  // namespace

Win32Form1Window::Win32Form1Window(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    // The program's icon (resource 1), large for Alt+Tab and small for the caption bar.
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kClassName;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        RaiseLastError("Cannot register the window class");

    hwnd_ = CreateWindowExW(kExStyle, kClassName, L"", kStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) RaiseLastError("Cannot create the window");
    CreateControls(instance);
    Layout(DpiOf(hwnd_));
}

Win32Form1Window::~Win32Form1Window() {
    if (hwnd_ != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
    if (font_ != nullptr) DeleteObject(font_);
}

void Win32Form1Window::CreateControls(HINSTANCE instance) {
    // Tab goes from text box to text box in the z-order, so the text boxes are made in the order of
    // their tab index; each label goes just before its text box, where a screen reader looks for
    // the field's name.
    std::vector<int> rows(kTextBoxRows.begin(), kTextBoxRows.end());
    std::sort(rows.begin(), rows.end(), [](int a, int b) {
        return kForm1Controls[static_cast<size_t>(a)].tabIndex < kForm1Controls[static_cast<size_t>(b)].tabIndex;
    });
    for (const int row : rows) {
        for (const int index : {row - 1, row}) {
            const ControlSpec& entry = kForm1Controls[static_cast<size_t>(index)];
            const bool label = entry.kind == ControlKind::Label;
            const DWORD style = WS_CHILD | WS_VISIBLE |
                                (label ? SS_LEFT | SS_NOPREFIX : WS_TABSTOP | WS_BORDER | ES_LEFT | ES_AUTOHSCROLL);
            const HWND control =
                CreateWindowExW(0, label ? L"STATIC" : L"EDIT", Utf8ToWide(entry.caption).c_str(), style, 0, 0, 0, 0,
                                hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(100 + index)), instance, nullptr);
            if (control == nullptr) RaiseLastError("Cannot create " + std::string(entry.name));
            controls_[static_cast<size_t>(index)] = control;
        }
    }
    for (size_t box = 0; box < kTextBoxRows.size(); ++box)
        textBoxes_[box] = controls_[static_cast<size_t>(kTextBoxRows[box])];
    focus_ = controls_[static_cast<size_t>(rows.front())];
}

void Win32Form1Window::Layout(UINT dpi, const RECT* where) {
    dpi_ = dpi;
    const SIZE size = WindowSize(Scale(kClientWidthTwips, dpi), dpi);
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    int x = 0, y = 0;
    if (where != nullptr) {
        x = where->left;
        y = where->top;
    } else {
        flags |= SWP_NOMOVE;
    }
    SetWindowPos(hwnd_, nullptr, x, y, size.cx, size.cy, flags);

    const HFONT font = CreateMessageFont(dpi);
    for (size_t i = 0; i < controls_.size(); ++i) {
        const ControlSpec& entry = kForm1Controls[i];
        MoveWindow(controls_[i], Scale(entry.left, dpi), Scale(entry.top, dpi), Scale(entry.width, dpi),
                   Scale(entry.height, dpi), TRUE);
        if (font != nullptr) SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    if (font != nullptr) {
        if (font_ != nullptr) DeleteObject(font_);
        font_ = font;
    }
    FitToValues();
}

void Win32Form1Window::FitToValues() {
    const HWND first = textBoxes_.front();
    const HDC dc = GetDC(first);
    if (dc == nullptr) return;
    const auto oldFont = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(first, WM_GETFONT, 0, 0)));
    int widest = 0;
    for (const HWND edit : textBoxes_) {
        std::wstring text(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
        text.resize(static_cast<size_t>(GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
        SIZE extent{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        // Everything the box keeps around its text: what lies outside its formatting rectangle (the
        // border, which an edit box draws inside its client area, and the margins).
        RECT outer{}, format{};
        GetWindowRect(edit, &outer);
        SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
        widest = std::max(widest, BoxWidthFor(extent.cx, (outer.right - outer.left) - (format.right - format.left)));
    }
    SelectObject(dc, oldFont);
    ReleaseDC(first, dc);

    const ControlSpec& box = kForm1Controls[static_cast<size_t>(kTextBoxRows.front())];
    const FittedWidths fitted = FitToWidestValue(Scale(box.width, dpi_), Scale(kClientWidthTwips, dpi_), widest);
    for (const HWND edit : textBoxes_)
        SetWindowPos(edit, nullptr, 0, 0, fitted.box, Scale(box.height, dpi_),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const SIZE size = WindowSize(fitted.client, dpi_);
    SetWindowPos(hwnd_, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int Win32Form1Window::Run(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    SetFocus(focus_);
    MSG msg{};
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) RaiseLastError("The message loop failed");
        // The dialog manager moves the focus on Tab and Shift+Tab.
        if (hwnd_ != nullptr && IsDialogMessageW(hwnd_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void Win32Form1Window::DoSetText(TextBox box, std::string_view text) {
    if (!SetWindowTextW(TextBoxHandle(box), Utf8ToWide(text).c_str()))
        RaiseLastError("Cannot set the text of Text" + std::to_string(static_cast<int>(box)));
    FitToValues();
}

std::string Win32Form1Window::DoGetText(TextBox box) const {
    const HWND edit = TextBoxHandle(box);
    const int length = GetWindowTextLengthW(edit);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SetLastError(ERROR_SUCCESS);
    const int got = GetWindowTextW(edit, text.data(), length + 1);
    if (got == 0 && GetLastError() != ERROR_SUCCESS)
        RaiseLastError("Cannot read the text of Text" + std::to_string(static_cast<int>(box)));
    text.resize(static_cast<size_t>(got));
    return WideToUtf8(text);
}

void Win32Form1Window::DoSetCaption(const std::string& caption) {
    if (!SetWindowTextW(hwnd_, Utf8ToWide(caption).c_str())) RaiseLastError("Cannot set the caption");
}

LRESULT CALLBACK Win32Form1Window::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32Form1Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr || self->hwnd_ != hwnd) return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->Handle(message, wParam, lParam);
}

LRESULT Win32Form1Window::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ACTIVATE:
            // Remember which text box had the focus, and give it back when the window is active again.
            if (LOWORD(wParam) == WA_INACTIVE) {
                const HWND focus = GetFocus();
                if (focus != nullptr && IsChild(hwnd_, focus)) focus_ = focus;
            } else if (focus_ != nullptr) {
                SetFocus(focus_);
                return 0;
            }
            break;
        case WM_DPICHANGED:
            // Moved to a monitor of another DPI: take the size for it at the place Windows suggests.
            Layout(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_DESTROY:
            hwnd_ = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}
