// The program: one main window on the command line's text. Qt takes its own options (-style,
// -platform, ...) out of the arguments; the rest, after the program's name, joined by single
// blanks, is the text a technician wrote, as "C:\PROG\NEW.IMG,2".
#include <QApplication>
#include <QLatin1Char>
#include <QStringList>
#include <cstdio>
#include <cstring>

#include "ui/frm_main.h"
#include "ui/program_help.h"
#include "update/program_version.h"

int main(int argc, char* argv[]) {
    // Answered before any window exists, so they work without a display (and for help2man).
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(flashupdate::windowHelpText().c_str(), stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(flashupdate::versionText("flashupdate").c_str(), stdout);
        return 0;
    }
    QApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty()) {
        arguments.removeFirst();
    }
    flashupdate::frmMain window(arguments.join(QLatin1Char(' ')));
    window.show();
    return QApplication::exec();
}
