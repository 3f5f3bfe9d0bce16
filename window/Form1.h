#pragma once
#include <string>
#include <string_view>

// What the load sequence needs of the windowing system. A renderer (Qt, Win32, a test recorder)
// implements the Do* operations; the rule that a text box keeps only what precedes a NUL is the
// same for all of them and lives here.
class Form1Surface {
public:
    enum class TextBox { Text1 = 1, Text2, Text3, Text4, Text5 };

    virtual ~Form1Surface() = default;

    void SetText(TextBox box, std::string_view text) { DoSetText(box, text.substr(0, text.find('\0'))); }
    std::string GetText(TextBox box) const { return DoGetText(box); }
    void SetCaption(const std::string& caption) { DoSetCaption(caption); }

protected:
    virtual void DoSetText(TextBox box, std::string_view text) = 0;
    virtual std::string DoGetText(TextBox box) const = 0;
    virtual void DoSetCaption(const std::string& caption) = 0;
};

// The version information window: its load sequence fills the five fields and the caption once,
// before the window is shown. Errors are not trapped; one that escapes ends the program.
class Form1 {
public:
    explicit Form1(Form1Surface& surface) : surface_(surface) {}
    void Form_Load();

private:
    Form1Surface& surface_;
};
