// The real Qt window, offscreen: layout, tab order, accessible names, and the load sequence's
// results as a user sees them. Also saves the screenshot that the README shows.
#include "Form1.h"
#include "Form1Layout.h"
#include "QtForm1Window.h"
#include "RegistryTest.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <string>

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

TEST_F(QtWindow, ClientAreaAndControlsFollowTheTable) {
    EXPECT_EQ(window.size(), QSize(178, 274));
    for (const ControlSpec& control : kForm1Controls) {
        auto* widget = window.findChild<QWidget*>(QString::fromUtf8(control.name.data(), control.name.size()));
        ASSERT_NE(widget, nullptr) << control.name;
        EXPECT_EQ(widget->geometry(), QRect(control.left / 15, control.top / 15, control.width / 15, control.height / 15))
            << control.name;
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

TEST_F(QtWindow, SavesAScreenshot) {
    const QPixmap shot = window.grab();
    EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(178, 274));
    EXPECT_TRUE(shot.save(SCREENSHOT_PATH)) << SCREENSHOT_PATH;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
