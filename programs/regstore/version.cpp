// regstore version: what the window shows for the store, through the window's own load sequence.
#include "command.h"

#include "Form1.h"
#include "Form1_layout.h"
#include "raised_error.h"

#include <CLI/CLI.hpp>

#include <array>
#include <iostream>
#include <memory>

namespace regstore {
namespace {

const char* const kAbout =
    R"(Shows what the window shows for the store, one line each, the label and the value separated by
a tab: Caption, MajorVersion, MinorVersion, CSDVersion, ProductType and ProductName. It runs the
window's own load sequence.
)";

// The window's surface as text: what the load sequence puts in each box and in the caption.
class TextSurface : public Form1Surface {
public:
    std::array<std::string, 5> texts;
    std::string caption;

protected:
    void DoSetText(TextBox box, std::string_view text) override {
        texts[static_cast<size_t>(box) - 1] = std::string(text);
    }
    std::string DoGetText(TextBox box) const override { return texts[static_cast<size_t>(box) - 1]; }
    void DoSetCaption(const std::string& text) override { caption = text; }
};

int Version() {
    for (const auto& [label, value] : WindowValues()) std::cout << label << "\t" << value << "\n";
    return kOk;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> WindowValues() {
    TextSurface surface;
    try {
        Form1(surface).Form_Load();
    } catch (const RaisedError& e) {
        throw InputError{e.what()};
    }
    std::vector<std::pair<std::string, std::string>> values{{"Caption", surface.caption}};
    for (size_t i = 0; i < kTextBoxRows.size(); ++i)
        values.emplace_back(LabelOf(kTextBoxRows[i]).caption, surface.texts[i]);
    return values;
}

Command AddVersion(CLI::App& regstore, Context& context) {
    CLI::App& app = AddCommand(regstore, context, "version", "show what the window shows for the store", kAbout);
    return {&app, [] { return Version(); }};
}

}  // namespace regstore
