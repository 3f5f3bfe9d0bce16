#pragma once
#include "Form1.h"
#include "winapi.h"

#include <array>

// The version window in native Win32 controls, laid out from the shared control table. Twips map to
// pixels at the window's DPI (15 twips per pixel at 96 DPI); the window follows the DPI of the
// monitor it is on. The boxes and the window widen to show the widest value whole.
class Win32Form1Window : public Form1Surface {
public:
    explicit Win32Form1Window(HINSTANCE instance);
    ~Win32Form1Window() override;
    Win32Form1Window(const Win32Form1Window&) = delete;
    Win32Form1Window& operator=(const Win32Form1Window&) = delete;

    HWND Handle() const { return hwnd_; }
    HWND TextBoxHandle(TextBox box) const { return textBoxes_[static_cast<size_t>(box) - 1]; }

    // Shows the window and runs the message loop until it is closed; returns the exit code.
    int Run(int showCommand);

protected:
    void DoSetText(TextBox box, std::string_view text) override;
    std::string DoGetText(TextBox box) const override;
    void DoSetCaption(const std::string& caption) override;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls(HINSTANCE instance);
    // Sizes the window and places the controls for `dpi`; keeps the window's top-left corner unless
    // `where` gives another.
    void Layout(UINT dpi, const RECT* where = nullptr);
    // Widens the boxes and the window to the widest value (Form1_layout.h).
    void FitToValues();

    HWND hwnd_ = nullptr;
    std::array<HWND, 10> controls_{};  // in the order of the control table
    std::array<HWND, 5> textBoxes_{};
    HWND focus_ = nullptr;  // the text box to give the focus back to on activation
    HFONT font_ = nullptr;
    UINT dpi_ = 96;
};
