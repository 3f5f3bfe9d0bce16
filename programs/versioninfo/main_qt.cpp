// The version window, portable build: Qt Widgets over the portable registry store.
#include "Form1.h"
#include "hive.h"
#include "installation_title.h"
#include "memory_registry.h"
#include "progress_line.h"
#include "qt_form1_window.h"
#include "qt_installation_chooser.h"
#include "raised_error.h"
#include "windows_import.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#ifndef VERSIONINFO_VERSION
#define VERSIONINFO_VERSION "unknown"
#endif

namespace {

constexpr const char* kProgram = "versioninfo";

const char* const kHelp = R"(Usage: versioninfo [SOURCE [--installation N]]
       versioninfo --help | --version

Opens a window that shows what a Windows installation reports about its version:
the major and the minor version number, the service pack, the product type and
the product name, with the release's version code (0 to 22) in the caption.

Without SOURCE it shows the installation in the registry store, which regstore(1)
fills. With SOURCE, the installation on a folder (a mounted volume, an
installation's folder or its System32/config folder), a disk image file (raw,
VHD, VHDX, VMDK, QCOW2, E01) or a block device, read-only: its version keys are
read into memory, and nothing is written; the machine's store is not touched.

Options:
  --installation N  the installation of SOURCE to show, numbered from 1 as
                    regstore list-windows SOURCE lists them; without it, a
                    SOURCE that holds more than one in use (an earlier Windows
                    an upgrade kept in Windows.old is none) shows a list to
                    choose from: Up, Down, Enter opens, Esc ends
  --help            show this help and exit
  --version         show the version and exit

Exit status: 0 when the window (or the list of installations) was closed; 1 when
there is no display, SOURCE cannot be read, or an error ended the program; 2 when
the command line is wrong.
)";

// What the command line asks for; the window when it asks for nothing else.
enum class Request { Window, Help, Version, Wrong };

struct CommandLine {
    Request request = Request::Window;
    std::optional<std::string> source;
    std::optional<unsigned> installation;
};

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine line;
    // The everyday case asks for nothing: the parser's code, and the streams it builds its
    // messages with, stay unread at start.
    if (argc <= 1) return line;
    bool help = false, version = false;
    try {
        CLI::App app(kProgram, kProgram);
        app.set_help_flag();
        app.add_flag("-h,--help", help)->disable_flag_override();
        app.add_flag("--version", version)->disable_flag_override();
        app.add_option("SOURCE", line.source);
        app.add_option("--installation", line.installation)->type_name("N");
        app.parse(argc, argv);
        if (line.installation && !line.source)
            throw CLI::ValidationError("--installation", "chooses among a SOURCE's installations: give SOURCE");
        if (line.installation && *line.installation == 0) throw CLI::ValidationError("--installation", "counts from 1");
    } catch (const CLI::Error& e) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, e.what(), kProgram);
        line.request = Request::Wrong;
        return line;
    }
    line.request = help ? Request::Help : version ? Request::Version : Request::Window;
    return line;
}

// Which installation of `source` the window shows: the one named, the only one, or the one the user
// picks from a list; none when the user closed the list.
const disk::Installation* Choose(disk::Source& source, std::optional<unsigned> number) {
    if (number || source.Installations().size() < 2 || installations::OnlyInstallation(source))
        return &installations::ChooseInstallation(source, number);
    std::vector<std::string> titles;
    for (const disk::Installation& installation : source.Installations())
        titles.push_back(installations::InstallationTitle(source, installation));
    QtInstallationChooser chooser(source.Path(), titles);
    chooser.exec();
    const auto chosen = chooser.Chosen();
    return chosen ? &source.Installations()[*chosen] : nullptr;
}

// The installation on `source` into this thread's registry in memory, with a line of progress on a
// terminal; false when the user chose none.
bool LoadInstallation(const std::string& path, std::optional<unsigned> number) {
    const auto source = disk::Source::Open(path);
    for (const auto& w : source->Warnings()) std::fprintf(stderr, "%s: warning: %s\n", kProgram, w.c_str());
    const disk::Installation* installation = Choose(*source, number);
    if (installation == nullptr) return false;
    output::ProgressLine progress(kProgram, stderr, output::ProgressLine::IsTerminal(stderr));
    installations::ImportWindows(*source, *installation, installations::Extent::VersionKeys, std::ref(progress));
    return true;
}

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

int main(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    switch (line.request) {
        case Request::Help:
            std::fputs(kHelp, stdout);
            return 0;
        case Request::Version:
            std::printf("%s (versioninfo) %s\n", kProgram, VERSIONINFO_VERSION);
            return 0;
        case Request::Wrong:
            return 2;
        case Request::Window:
            break;
    }
    if (!HasDisplay()) {
        std::fprintf(stderr, "%s: no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)\n",
                     kProgram);
        return 1;
    }
    qInstallMessageHandler(OnQtMessage);
    // Qt's own options are not the program's: only its name reaches Qt.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);

    // An installation read from a source lives in memory while the window reads it, and nowhere else.
    std::optional<ScopedMemoryRegistry> inMemory;
    if (line.source) {
        try {
            inMemory.emplace();
            // Closing the list of installations without a choice ends the program, as closing the
            // window does.
            if (!LoadInstallation(*line.source, line.installation)) return 0;
        } catch (const std::exception& e) {
            // disk::Error, hive::HiveError, a choice among installations.
            return ReportFatal(QString::fromUtf8(e.what()));
        }
    }

    QtForm1Window window;
    Form1 form(window);
    try {
        form.Form_Load();
        inMemory.reset();
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
