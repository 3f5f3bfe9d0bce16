// The version window, portable build: Qt Widgets over the portable registry store.
#include "Form1.h"
#include "QtForm1Window.h"
#include "RaisedError.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

constexpr const char* kProgram = "versioninfo";

bool HasDisplay() {
    for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

// Qt ends the program with a fatal message when it cannot reach the display; say it in one line.
void OnQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s: cannot open the window: %s\n", kProgram, qPrintable(message.section('\n', 0, 0)));
        std::_Exit(1);
    }
    if (type != QtDebugMsg && type != QtInfoMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

int ReportFatal(const QString& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, qPrintable(text));
    QMessageBox::critical(nullptr, kProgram, text);
    return 1;
}

}  // namespace

int main(int, char** argv) {
    if (!HasDisplay()) {
        std::fprintf(stderr, "%s: no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)\n", kProgram);
        return 1;
    }
    qInstallMessageHandler(OnQtMessage);
    // The program takes no command line; only its name reaches Qt.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);

    QtForm1Window window;
    Form1 form(window);
    try {
        form.Form_Load();
    } catch (const RaisedError& e) {
        return ReportFatal(QStringLiteral("Error %1\nSource: %2\nDescription: %3")
                               .arg(e.Number())
                               .arg(QString::fromStdString(e.Source()), QString::fromStdString(e.Description())));
    } catch (const std::exception& e) {
        return ReportFatal(QStringLiteral("Error: %1").arg(QString::fromUtf8(e.what())));
    }
    window.show();
    return app.exec();
}
