#pragma once
#include <array>
#include <string_view>

// The version window's client area and its ten controls, in twips (1/1440 inch). Every renderer
// lays the window out from this one table.
enum class ControlKind { Label, TextBox };

struct ControlSpec {
    std::string_view name;
    ControlKind kind;
    int left, top, width, height;
    int tabIndex;
    std::string_view caption;  // labels only
};

inline constexpr int kClientWidthTwips = 2670;
inline constexpr int kClientHeightTwips = 4110;
inline constexpr int kTwipsPerPixel = 15;

inline constexpr std::array<ControlSpec, 10> kForm1Controls{{
    {"Label1", ControlKind::Label, 120, 0, 1215, 255, 2, "MajorVersion"},
    {"Text1", ControlKind::TextBox, 120, 240, 2415, 375, 0, ""},
    {"Label2", ControlKind::Label, 120, 840, 1215, 255, 3, "MinorVersion"},
    {"Text2", ControlKind::TextBox, 120, 1080, 2415, 375, 1, ""},
    {"Label3", ControlKind::Label, 120, 1680, 1215, 255, 4, "CSDVersion"},
    {"Text3", ControlKind::TextBox, 120, 1920, 2415, 375, 5, ""},
    {"Label4", ControlKind::Label, 120, 2400, 1215, 255, 7, "ProductType"},
    {"Text4", ControlKind::TextBox, 120, 2640, 2415, 375, 6, ""},
    {"Label5", ControlKind::Label, 120, 3240, 1215, 255, 9, "ProductName"},
    {"Text5", ControlKind::TextBox, 120, 3480, 2415, 375, 8, ""},
}};

// The text boxes, Text1 to Text5, by their position in the table.
inline constexpr std::array<int, 5> kTextBoxRows{1, 3, 5, 7, 9};

// The label that names each text box sits in the row above it.
constexpr const ControlSpec& LabelOf(int textBoxRow) {
    return kForm1Controls[static_cast<size_t>(textBoxRow - 1)];
}

constexpr int TwipsToPixels(int twips) {
    return twips / kTwipsPerPixel;
}

// A text box shows its value whole, with the caret after the last letter, when it is as wide as the
// value's text, the box's own margins (frame and inner padding, both sides) and the caret.
inline constexpr int kCaretPixels = 1;
constexpr int BoxWidthFor(int textPixels, int marginPixels) {
    return textPixels + marginPixels + kCaretPixels;
}

// The text boxes, all alike, widen to the widest value, never narrower than the table makes them;
// the window widens by as much, so the margin right of the boxes stays the table's. Nothing else
// moves. Pixels, with `tableBox` and `tableClient` the table's widths in the renderer's pixels.
struct FittedWidths {
    int box, client;
};
constexpr FittedWidths FitToWidestValue(int tableBox, int tableClient, int widestBoxNeeded) {
    const int box = widestBoxNeeded > tableBox ? widestBoxNeeded : tableBox;
    return {box, tableClient + box - tableBox};
}
