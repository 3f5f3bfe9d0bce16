#pragma once
#include "Form1.h"
#include "raised_error.h"

#include <array>
#include <string>
#include <vector>

// A window that records what the load sequence tells it.
class RecordingSurface : public Form1Surface {
public:
    std::array<std::string, 5> texts;
    std::string caption;
    std::vector<std::string> calls;  // "Text3", "caption", ... in order
    bool failCaption = false;

protected:
    void DoSetText(TextBox box, std::string_view text) override {
        texts[static_cast<size_t>(box) - 1] = std::string(text);
        calls.push_back("Text" + std::to_string(static_cast<int>(box)));
    }
    std::string DoGetText(TextBox box) const override { return texts[static_cast<size_t>(box) - 1]; }
    void DoSetCaption(const std::string& text) override {
        if (failCaption) throw RaisedError(380, "Form1", "Invalid property value");
        caption = text;
        calls.push_back("caption");
    }
};
