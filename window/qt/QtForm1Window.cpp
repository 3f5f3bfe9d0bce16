#include "QtForm1Window.h"

#include "Form1Layout.h"

#include <QLabel>
#include <QLineEdit>

#include <algorithm>
#include <vector>

namespace {
QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
}  // namespace

QtForm1Window::QtForm1Window(QWidget* parent) : QWidget(parent) {
    setFixedSize(TwipsToPixels(kClientWidthTwips), TwipsToPixels(kClientHeightTwips));

    std::vector<std::pair<int, QLineEdit*>> tabOrder;
    for (size_t box = 0; box < kTextBoxRows.size(); ++box) {
        const auto row = kTextBoxRows[box];
        const ControlSpec& labelSpec = LabelOf(row);
        const ControlSpec& control = kForm1Controls[static_cast<size_t>(row)];

        auto* label = new QLabel(FromUtf8(labelSpec.caption), this);
        label->setObjectName(FromUtf8(labelSpec.name));
        label->setGeometry(TwipsToPixels(labelSpec.left), TwipsToPixels(labelSpec.top),
                           TwipsToPixels(labelSpec.width), TwipsToPixels(labelSpec.height));

        auto* edit = new QLineEdit(this);
        edit->setObjectName(FromUtf8(control.name));
        edit->setGeometry(TwipsToPixels(control.left), TwipsToPixels(control.top), TwipsToPixels(control.width),
                          TwipsToPixels(control.height));
        // A screen reader names the field after its label: "MajorVersion 10".
        edit->setAccessibleName(label->text());
        label->setBuddy(edit);

        textBoxes_[box] = edit;
        tabOrder.emplace_back(control.tabIndex, edit);
    }
    std::sort(tabOrder.begin(), tabOrder.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);
    tabOrder.front().second->setFocus();
}

void QtForm1Window::DoSetText(TextBox box, std::string_view text) {
    QLineEdit* edit = TextBoxWidget(box);
    edit->setText(FromUtf8(text));
    edit->setCursorPosition(0);
}

std::string QtForm1Window::DoGetText(TextBox box) const { return TextBoxWidget(box)->text().toStdString(); }

void QtForm1Window::DoSetCaption(const std::string& caption) { setWindowTitle(FromUtf8(caption)); }
