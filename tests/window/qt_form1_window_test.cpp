// The real Qt window, offscreen: layout, tab order, accessible names, and the load sequence's
// results as a user sees them. Also saves the screenshot that the README shows.
#include "qt_form1_window.h"
#include "Form1.h"
#include "Form1_layout.h"
#include "registry_test.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionTitleBar>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kNt = "Software\\Microsoft\\Windows NT\\CurrentVersion";

class QtWindow : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        PutMachine(kNt, "ProductName", REG_SZ, Sz("Windows 10 Pro"));
        PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.3"));
        PutMachine(kNt, "CurrentMajorVersionNumber", REG_DWORD, Dword(10));
        PutMachine(kNt, "CurrentMinorVersionNumber", REG_DWORD, Dword(0));
        PutMachine(kNt, "CurrentBuildNumber", REG_SZ, Sz("19045"));
        PutMachine("System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", REG_SZ, Sz("WinNT"));
        Form1(window).Form_Load();
        window.show();
        QApplication::processEvents();
    }
    QtForm1Window window;
};

// Every control sits where the table puts it, in the window's own pixels per twip (taken from its
// client area), and keeps its kind and settings. The window has a fixed size and no maximize button.
TEST_F(QtWindow, ControlsFollowTheTableInAFixedSizeWindow) {
    EXPECT_EQ(window.minimumSize(), window.size());
    EXPECT_EQ(window.maximumSize(), window.size());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    const double x = window.width() / double(kClientWidthTwips), y = window.height() / double(kClientHeightTwips);
    for (const ControlSpec& control : kForm1Controls) {
        auto* widget = window.findChild<QWidget*>(QString::fromUtf8(control.name.data(), control.name.size()));
        ASSERT_NE(widget, nullptr) << control.name;
        const QRect g = widget->geometry();
        EXPECT_NEAR(g.left(), control.left * x, 2) << control.name;
        EXPECT_NEAR(g.top(), control.top * y, 2) << control.name;
        EXPECT_NEAR(g.width(), control.width * x, 2) << control.name;
        EXPECT_NEAR(g.height(), control.height * y, 2) << control.name;
        if (control.kind == ControlKind::Label) {
            auto* label = qobject_cast<QLabel*>(widget);
            ASSERT_NE(label, nullptr) << control.name;
            EXPECT_EQ(label->text().toStdString(), control.caption);
            EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
        } else {
            auto* edit = qobject_cast<QLineEdit*>(widget);
            ASSERT_NE(edit, nullptr) << control.name;
            EXPECT_FALSE(edit->isReadOnly()) << "the user may edit the boxes";
        }
    }
}

TEST_F(QtWindow, ShowsTheLoadedValuesAndCaption) {
    const char* expected[] = {"10", "0", " (0)", "1", "WINDOWS 10 PRO"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(window.TextBoxWidget(static_cast<Form1Surface::TextBox>(i + 1))->text().toStdString(), expected[i]);
    EXPECT_EQ(window.windowTitle(), "19");
}

TEST_F(QtWindow, TabVisitsTheTextBoxesTopToBottom) {
    QWidget* w = window.TextBoxWidget(Form1Surface::TextBox::Text1);
    std::vector<std::string> order;
    for (int i = 0; i < 5; ++i) {
        order.push_back(w->objectName().toStdString());
        do w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"Text1", "Text2", "Text3", "Text4", "Text5"}));
    EXPECT_EQ(w->objectName(), "Text1") << "and round again";
}

TEST_F(QtWindow, EachTextBoxIsNamedAfterItsLabel) {
    const char* names[] = {"MajorVersion", "MinorVersion", "CSDVersion", "ProductType", "ProductName"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(window.TextBoxWidget(static_cast<Form1Surface::TextBox>(i + 1))->accessibleName().toStdString(),
                  names[i]);
}

// The README's picture: the window's caption bar, drawn by the style, above its client area.
TEST_F(QtWindow, SavesAScreenshotWithTheCaption) {
    const QPixmap client = window.grab();
    QStyleOptionTitleBar bar;
    bar.initFrom(&window);
    bar.text = window.windowTitle();
    bar.titleBarFlags = window.windowFlags();
    bar.titleBarState = Qt::WindowActive;
    bar.state |= QStyle::State_Active;
    bar.subControls = QStyle::SC_TitleBarLabel | QStyle::SC_TitleBarCloseButton | QStyle::SC_TitleBarMinButton;
    const int barHeight = window.style()->pixelMetric(QStyle::PM_TitleBarHeight, &bar, &window);
    bar.rect = QRect(0, 0, window.width(), barHeight);

    QPixmap shot(window.width() * client.devicePixelRatio(), (window.height() + barHeight) * client.devicePixelRatio());
    shot.setDevicePixelRatio(client.devicePixelRatio());
    shot.fill(window.palette().color(QPalette::Window));
    QPainter painter(&shot);
    window.style()->drawComplexControl(QStyle::CC_TitleBar, &bar, &painter, &window);
    painter.drawPixmap(0, barHeight, client);
    painter.end();
    EXPECT_TRUE(shot.save(SCREENSHOT_PATH)) << SCREENSHOT_PATH;
}

// How far the box has scrolled its text to bring the caret at the end of it into view: 0 when the
// whole value fits. The box scrolls when it paints; its caret rectangle shows the offset.
int ScrolledWithCaretAtEnd(QLineEdit* edit) {
    edit->setCursorPosition(static_cast<int>(edit->text().size()));
    edit->grab();
    edit->setCursorPosition(0);
    const int scrolled = edit->inputMethodQuery(Qt::ImCursorRectangle).toRect().x();
    edit->grab();
    return edit->inputMethodQuery(Qt::ImCursorRectangle).toRect().x() - scrolled;
}

// Every product name of the example installations, as Text5 shows it.
std::vector<QString> ExampleProductNames() {
    std::vector<QString> names;
    const std::string key = "\"ProductName\"=\"";
    for (const auto& file : std::filesystem::directory_iterator(EXAMPLES_DIR)) {
        std::ifstream in(file.path());
        for (std::string line; std::getline(in, line);)
            if (line.rfind(key, 0) == 0)  // "ProductName"="Windows 7 Professional"\r
                names.push_back(QString::fromStdString(line.substr(key.size())).trimmed().chopped(1).toUpper());
    }
    return names;
}

// Under any style, font family, size from 6 to 16 pt and scale factor (a font's pixels grow with the
// screen's DPI), every label holds its whole caption and every box a whole line, by the metrics of
// the font each control draws with; and every value of up to 50 letters shows whole, the boxes and
// the window widening for it while the labels, tops and heights stay where the table puts them.
TEST(QtWindowFonts, EveryLabelAndBoxHoldsItsTextForEveryFont) {
    std::vector<QString> values = ExampleProductNames();
    ASSERT_GE(values.size(), 10u) << EXAMPLES_DIR;
    values.push_back(QString(50, QLatin1Char('W')));
    values.push_back(QStringLiteral("WINDOWS SERVER 2008 R2 ENTERPRISE WITHOUT HYPER-V"));
    values.push_back(QStringLiteral("Service Pack 2, v.3790 (2)"));  // Text3 of a test build
    struct Face {
        const char* family;
        QFont::Weight weight;
        int stretch;
    };
    const Face faces[] = {{"DejaVu Sans", QFont::Normal, 100},
                          {"DejaVu Serif", QFont::Bold, 100},
                          {"DejaVu Sans Mono", QFont::Normal, 100},
                          {"DejaVu Sans", QFont::Normal, 150},
                          {"DejaVu Sans", QFont::Normal, 62}};
    const double scales[] = {1.0, 1.25, 1.5, 2.0};
    const QFont appFont = QApplication::font();
    const QString appStyle = QApplication::style()->name();
    for (const QString& style : QStyleFactory::keys()) {
        QApplication::setStyle(style);
        for (const Face& face : faces)
            for (int points = 6; points <= 16; ++points)
                for (double scale : scales) {
                    QFont font(face.family);
                    font.setWeight(face.weight);
                    font.setStretch(face.stretch);
                    font.setPixelSize(static_cast<int>(std::lround(points * scale * 96 / 72)));
                    QApplication::setFont(font);
                    QtForm1Window w;
                    w.show();
                    const QString where = QStringLiteral("%1, %2 %3 stretch %4, %5 pt at %6x")
                                              .arg(style, face.family)
                                              .arg(face.weight)
                                              .arg(face.stretch)
                                              .arg(points)
                                              .arg(scale);
                    for (QLabel* label : w.findChildren<QLabel*>()) {
                        const QFontMetricsF fm(label->font());
                        EXPECT_GE(label->contentsRect().width(), std::ceil(fm.horizontalAdvance(label->text())))
                            << label->text().toStdString() << ", " << where.toStdString();
                        EXPECT_GE(label->contentsRect().height(), std::ceil(fm.height())) << where.toStdString();
                        EXPECT_TRUE(w.rect().contains(label->geometry())) << where.toStdString();
                    }
                    for (QLineEdit* edit : w.findChildren<QLineEdit*>()) {
                        const int frame = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, edit);
                        EXPECT_GE(edit->height(), std::ceil(QFontMetricsF(edit->font()).height()) + 2 * frame)
                            << where.toStdString();
                        EXPECT_TRUE(w.rect().contains(edit->geometry())) << where.toStdString();
                    }
                    // A value widens the boxes, all alike, and the window with them; nothing else moves.
                    const QSize table = w.size();
                    const QList<QWidget*> children = w.findChildren<QWidget*>();
                    std::vector<QRect> was;
                    for (QWidget* child : children) was.push_back(child->geometry());
                    const int tableBox = w.TextBoxWidget(Form1Surface::TextBox::Text1)->width();
                    for (size_t row = 0; row < values.size(); ++row) {
                        // Each value alone, each in another box.
                        const auto box = [](size_t r) { return static_cast<Form1Surface::TextBox>(r % 5 + 1); };
                        if (row > 0) w.SetText(box(row - 1), "");
                        w.SetText(box(row), values[row].toStdString());
                        QLineEdit* edit = w.TextBoxWidget(box(row));
                        const std::string what = values[row].toStdString() + ", " + where.toStdString();
                        EXPECT_EQ(ScrolledWithCaretAtEnd(edit), 0) << what;
                        const int grown = edit->width() - tableBox;
                        EXPECT_GE(grown, 0) << what;
                        EXPECT_EQ(w.size(), table + QSize(grown, 0)) << what;
                        for (qsizetype i = 0; i < children.size(); ++i) {
                            const bool isBox = qobject_cast<QLineEdit*>(children[i]) != nullptr;
                            EXPECT_EQ(children[i]->geometry(), was[size_t(i)].adjusted(0, 0, isBox ? grown : 0, 0))
                                << children[i]->objectName().toStdString() << ", " << what;
                        }
                        if (grown > 1) {  // and no wider than the value needs, but for a pixel of rounding
                            edit->resize(edit->width() - 2, edit->height());
                            EXPECT_GT(ScrolledWithCaretAtEnd(edit), 0) << what;
                        }
                    }
                }
    }
    QApplication::setStyle(appStyle);
    QApplication::setFont(appFont);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform says so at every change of a fixed size; the font table makes thousands.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
        if (message != QLatin1String("This plugin does not support propagateSizeHints()"))
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
