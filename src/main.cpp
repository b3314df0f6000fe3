// The program: one main window on the command line's text. Qt takes its own options (-style,
// -platform, ...) out of the arguments; the rest, after the program's name, joined by single
// blanks, is the text a technician wrote, as "C:\PROG\NEW.IMG,2".
#include <QApplication>
#include <QLatin1Char>
#include <QStringList>

#include "ui/frm_main.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty()) {
        arguments.removeFirst();
    }
    flashupdate::frmMain window(arguments.join(QLatin1Char(' ')));
    window.show();
    return QApplication::exec();
}
