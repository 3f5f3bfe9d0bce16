// The start-up reference of the everyday window: a plain Qt form with the version window's five labels
// and text boxes where its table puts them, filled with the values the window shows for the Windows 10
// example, and nothing else: no store, no registry, no image reading.
#include "Form1_layout.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QWidget>

int main(int, char** argv) {
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    QWidget window;
    window.setFixedSize(TwipsToPixels(kClientWidthTwips), TwipsToPixels(kClientHeightTwips));
    window.setWindowTitle(QStringLiteral("19"));
    const char* const values[] = {"10", "0", " (0)", "1", "WINDOWS 10 PRO"};
    int box = 0;
    for (const ControlSpec& c : kForm1Controls) {
        QWidget* control = nullptr;
        if (c.kind == ControlKind::Label)
            control = new QLabel(QString::fromUtf8(c.caption.data(), qsizetype(c.caption.size())), &window);
        else control = new QLineEdit(QString::fromUtf8(values[box++]), &window);
        control->setGeometry(TwipsToPixels(c.left), TwipsToPixels(c.top), TwipsToPixels(c.width),
                             TwipsToPixels(c.height));
    }
    window.show();
    return app.exec();
}
