#pragma once
#include "Form1.h"

#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;

// The version window in Qt Widgets, laid out from the shared control table. Twips become pixels
// through the font in use, as Windows scales a dialog with its font: a larger font, a wider font
// or a higher-DPI font gives a larger window, and no label or box cuts its text. The boxes and the
// window widen to show the widest value whole. Fixed size.
class QtForm1Window : public QWidget, public Form1Surface {
public:
    explicit QtForm1Window(QWidget* parent = nullptr);

    QLineEdit* TextBoxWidget(TextBox box) const { return textBoxes_[static_cast<size_t>(box) - 1]; }

protected:
    void DoSetText(TextBox box, std::string_view text) override;
    std::string DoGetText(TextBox box) const override;
    void DoSetCaption(const std::string& caption) override;
    bool event(QEvent* event) override;

private:
    void LayOut();
    // Widens the boxes and the window to the widest value (Form1_layout.h).
    void FitToValues();
    static int BoxMargins(const QLineEdit* edit);

    std::array<QLabel*, 5> labels_{};
    std::array<QLineEdit*, 5> textBoxes_{};
    int tableBoxWidth_ = 0;  // pixels, as laid out from the table for the font in use
    QSize tableClient_;
    bool layingOut_ = false;
};
