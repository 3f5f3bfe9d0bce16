// The start-up reference: an empty Qt window of the version window's size and flags, and nothing else.
#include "Form1_layout.h"

#include <QApplication>
#include <QWidget>

int main(int, char** argv) {
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    QWidget window;
    window.setFixedSize(TwipsToPixels(kClientWidthTwips), TwipsToPixels(kClientHeightTwips));
    window.setWindowTitle(QStringLiteral("19"));
    window.show();
    return app.exec();
}
