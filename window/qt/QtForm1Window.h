#pragma once
#include "Form1.h"

#include <QWidget>

#include <array>

class QLineEdit;

// The version window in Qt Widgets, laid out from the shared control table. Sizes are twips at 15
// per device-independent pixel, so Qt scales the window on high-DPI screens.
class QtForm1Window : public QWidget, public Form1Surface {
public:
    explicit QtForm1Window(QWidget* parent = nullptr);

    QLineEdit* TextBoxWidget(TextBox box) const { return textBoxes_[static_cast<size_t>(box) - 1]; }

protected:
    void DoSetText(TextBox box, std::string_view text) override;
    std::string DoGetText(TextBox box) const override;
    void DoSetCaption(const std::string& caption) override;

private:
    std::array<QLineEdit*, 5> textBoxes_{};
};
