#include "qt_form1_window.h"

#include "Form1_layout.h"

#include <QEvent>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The table was drawn for the classic dialog font: letters 6 pixels wide on average, lines 13
// pixels high, at 15 twips per pixel. The font in use is measured the same way.
constexpr double kDesignLetterTwips = 6 * kTwipsPerPixel;
constexpr double kDesignLineTwips = 13 * kTwipsPerPixel;

double AverageLetterWidth(const QFontMetricsF& metrics) {
    static const QString letters = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    return metrics.horizontalAdvance(letters) / static_cast<double>(letters.size());
}

// Pixels per twip, across and down.
struct Scale {
    double x, y;
    QRect Of(int left, int top, int width, int height) const {
        // Sizes round up, so that a control is never smaller than what it has to hold.
        return {static_cast<int>(std::lround(left * x)), static_cast<int>(std::lround(top * y)),
                static_cast<int>(std::ceil(width * x)), static_cast<int>(std::ceil(height * y))};
    }
};

// The program's icon, from the files it installs in the hicolor theme. Looking it up by name in the
// icon theme would parse the theme's whole index first: a third of what the window costs at
// start-up beyond an empty one. Not installed, there is no icon; a file that is not there is not
// added, for Qt would load every image format plugin looking for a reader of it.
QIcon InstalledIcon() {
    QIcon icon;
    for (const int size : {VERSIONINFO_ICON_SIZES}) {
        const QString file = QStringLiteral(VERSIONINFO_ICON_DIR "/%1x%1/apps/versioninfo.png").arg(size);
        if (QFileInfo::exists(file)) icon.addFile(file, QSize(size, size));
    }
    return icon.availableSizes().isEmpty() ? QIcon() : icon;
}

}  // namespace

QtForm1Window::QtForm1Window(QWidget* parent) : QWidget(parent) {
    // Fixed size: a title, a close and a minimize button, no maximize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(InstalledIcon());

    std::vector<std::pair<int, QLineEdit*>> tabOrder;
    for (size_t box = 0; box < kTextBoxRows.size(); ++box) {
        const auto row = kTextBoxRows[box];
        const ControlSpec& labelSpec = LabelOf(row);
        const ControlSpec& control = kForm1Controls[static_cast<size_t>(row)];

        auto* label = new QLabel(FromUtf8(labelSpec.caption), this);
        label->setObjectName(FromUtf8(labelSpec.name));
        auto* edit = new QLineEdit(this);
        edit->setObjectName(FromUtf8(control.name));
        // A screen reader names the field after its label: "MajorVersion 10".
        edit->setAccessibleName(label->text());
        label->setBuddy(edit);

        labels_[box] = label;
        textBoxes_[box] = edit;
        tabOrder.emplace_back(control.tabIndex, edit);
    }
    std::sort(tabOrder.begin(), tabOrder.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);
    tabOrder.front().second->setFocus();
    LayOut();
}

bool QtForm1Window::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // The style, the theme or the screen may change the font after construction.
    switch (event->type()) {
        case QEvent::Polish:
        case QEvent::FontChange:
        case QEvent::StyleChange:
            LayOut();
            break;
        default:
            break;
    }
    return handled;
}

void QtForm1Window::LayOut() {
    if (layingOut_ || textBoxes_.back() == nullptr) return;
    layingOut_ = true;
    const QFontMetricsF metrics(font());
    Scale scale{AverageLetterWidth(metrics) / kDesignLetterTwips, metrics.height() / kDesignLineTwips};
    // A font of other proportions than the design font still fits: every label its caption, every
    // box one line of text.
    for (size_t box = 0; box < kTextBoxRows.size(); ++box) {
        const ControlSpec& labelSpec = LabelOf(kTextBoxRows[box]);
        const ControlSpec& control = kForm1Controls[static_cast<size_t>(kTextBoxRows[box])];
        const QSize caption = labels_[box]->sizeHint();
        scale.x = std::max(scale.x, caption.width() / static_cast<double>(labelSpec.width));
        scale.y = std::max({scale.y, caption.height() / static_cast<double>(labelSpec.height),
                            textBoxes_[box]->sizeHint().height() / static_cast<double>(control.height)});
    }
    for (size_t box = 0; box < kTextBoxRows.size(); ++box) {
        const ControlSpec& l = LabelOf(kTextBoxRows[box]);
        const ControlSpec& t = kForm1Controls[static_cast<size_t>(kTextBoxRows[box])];
        labels_[box]->setGeometry(scale.Of(l.left, l.top, l.width, l.height));
        textBoxes_[box]->setGeometry(scale.Of(t.left, t.top, t.width, t.height));
    }
    tableBoxWidth_ = textBoxes_.front()->width();
    tableClient_ = scale.Of(0, 0, kClientWidthTwips, kClientHeightTwips).size();
    layingOut_ = false;
    FitToValues();
}

// What a box takes from its width before its text: the style's frame and the line edit's own
// padding (QLineEdit keeps 2 pixels each side inside the style's contents rectangle).
int QtForm1Window::BoxMargins(const QLineEdit* edit) {
    constexpr int kLineEditPadding = 2;
    QStyleOptionFrame frame;
    frame.initFrom(edit);
    frame.rect = edit->contentsRect();
    frame.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, edit) : 0;
    frame.midLineWidth = 0;
    frame.state |= QStyle::State_Sunken;
    const QRect text =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &frame, edit).marginsRemoved(edit->textMargins());
    return edit->width() - text.width() + 2 * kLineEditPadding;
}

void QtForm1Window::FitToValues() {
    if (layingOut_ || tableBoxWidth_ == 0) return;
    int widest = 0;
    for (const QLineEdit* edit : textBoxes_) {
        const double text = QFontMetricsF(edit->font()).horizontalAdvance(edit->text());
        widest = std::max(widest, BoxWidthFor(static_cast<int>(std::ceil(text)), BoxMargins(edit)));
    }
    const FittedWidths fitted = FitToWidestValue(tableBoxWidth_, tableClient_.width(), widest);
    for (QLineEdit* edit : textBoxes_) edit->resize(fitted.box, edit->height());
    setFixedSize(fitted.client, tableClient_.height());
}

void QtForm1Window::DoSetText(TextBox box, std::string_view text) {
    QLineEdit* edit = TextBoxWidget(box);
    edit->setText(FromUtf8(text));
    edit->setCursorPosition(0);
    FitToValues();
}

std::string QtForm1Window::DoGetText(TextBox box) const {
    return TextBoxWidget(box)->text().toStdString();
}

void QtForm1Window::DoSetCaption(const std::string& caption) {
    setWindowTitle(FromUtf8(caption));
}
