// The list of a source's installations, offscreen: what is chosen by keys, and what a screen
// reader is told of each line.
#include "qt_installation_chooser.h"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kLines = {
    "Microsoft Windows 98 4.10.2222 \u2014 partition 1 (FAT32, offset 32256): WINDOWS (Windows 9x)",
    "Windows 10 Pro 22H2, build 19045 \u2014 partition 2 (NTFS \"System\", offset 9437184): Windows",
    "Windows 7 Professional Service Pack 1, build 7601 \u2014 partition 2 (NTFS \"System\", offset 9437184): "
    "Windows.old (an earlier Windows, kept by an upgrade)",
};

// Keys as the user presses them, each to the widget that has the focus, as the display sends them.
void Press(const std::vector<Qt::Key>& keys) {
    for (const Qt::Key key : keys) {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr) << "no widget has the focus";
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
        QApplication::processEvents();
    }
}

struct KeysCase {
    const char* name;
    std::vector<Qt::Key> keys;
    std::optional<std::size_t> chosen;
};

TEST(QtInstallationChooser, KeysChooseALineOrNone) {
    const KeysCase cases[] = {
        {"Enter opens the first, selected at start", {Qt::Key_Return}, 0},
        {"Down, Enter opens the second", {Qt::Key_Down, Qt::Key_Return}, 1},
        {"the keypad's Enter as well", {Qt::Key_Down, Qt::Key_Enter}, 1},
        {"Down stops at the last", {Qt::Key_Down, Qt::Key_Down, Qt::Key_Down, Qt::Key_Down, Qt::Key_Return}, 2},
        {"Up comes back", {Qt::Key_Down, Qt::Key_Up, Qt::Key_Return}, 0},
        {"Esc chooses none", {Qt::Key_Down, Qt::Key_Escape}, std::nullopt},
    };
    for (const KeysCase& c : cases) {
        QtInstallationChooser chooser("disk.vhd", kLines);
        chooser.show();
        chooser.activateWindow();
        QApplication::setActiveWindow(&chooser);
        QApplication::processEvents();
        Press(c.keys);
        EXPECT_FALSE(chooser.isVisible()) << c.name << ": the list is still up";
        EXPECT_EQ(chooser.Chosen(), c.chosen) << c.name;
    }
}

TEST(QtInstallationChooser, EachLineIsShownWholeAndNamedForAScreenReader) {
    QtInstallationChooser chooser("disk.vhd", kLines);
    chooser.show();
    QApplication::processEvents();
    QListWidget* list = chooser.List();
    ASSERT_EQ(list->count(), static_cast<int>(kLines.size()));
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_TRUE(list->hasFocus());
    QAccessibleInterface* listAccess = QAccessible::queryAccessibleInterface(list);
    ASSERT_NE(listAccess, nullptr);
    EXPECT_FALSE(listAccess->text(QAccessible::Name).isEmpty());
    for (int i = 0; i < list->count(); ++i) {
        const QString line = QString::fromStdString(kLines[static_cast<std::size_t>(i)]);
        EXPECT_EQ(list->item(i)->text(), line);
        // Wide enough that no line is cut.
        EXPECT_LE(list->visualItemRect(list->item(i)).right(), list->viewport()->width()) << i;
        QAccessibleInterface* item = listAccess->child(i);
        ASSERT_NE(item, nullptr) << i;
        EXPECT_EQ(item->text(QAccessible::Name), line) << i;
    }
}

}  // namespace
