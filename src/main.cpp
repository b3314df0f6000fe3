// The program: one main window on the command line's text. Qt takes its own options (-style,
// -platform, ...) out of the arguments; the rest, after the program's name, joined by single
// blanks, is the text a technician wrote, as "C:\PROG\NEW.IMG,2".
#include <QApplication>
#include <QByteArray>
#include <QLatin1Char>
#include <QStringList>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "serial/qt/stop_signal_pipe.h"
#include "ui/frm_main.h"
#include "ui/program_help.h"
#include "update/program_version.h"

namespace {

// Where there is no desktop the window cannot open, and Qt would say so in several lines that
// blame the installation and then abort. One line that says what to use instead serves better.
void sayNoGraphicalSession(const char* why) {
    std::fprintf(stderr,
                 "flashupdate: the window needs a graphical session, and %s; flashupdate-cli "
                 "updates from a terminal (flashupdate-cli --help)\n",
                 why);
}

// Windows and macOS always have their desktop; elsewhere the window needs an X or Wayland display
// unless a platform is named (QT_QPA_PLATFORM, -platform), as the offscreen tests do.
bool displayMissing(int argc, char* argv[]) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            return false;
        }
    }
    const auto set = [](const char* name) { return !qEnvironmentVariableIsEmpty(name); };
    return !set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY");
#else
    (void)argc;
    (void)argv;
    return false;
#endif
}

// A display that is named but cannot be reached (a server gone, a session left over ssh) is only
// found out when Qt loads its platform, and the one fatal end of building the application is a
// platform that cannot start. While QApplication is being built, Qt's messages are held back: a
// fatal one ends the program with the one line instead, and the rest are passed on once the
// application stands.
struct HeldMessage {
    QtMsgType type;
    std::string category;
    QString text;
};

std::mutex g_heldMutex;
std::vector<HeldMessage> g_held;
QtMessageHandler g_qtHandler = nullptr;

void holdMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        sayNoGraphicalSession("none could be opened");
        // Qt aborts once this handler returns, and the call that raised the message lets no
        // exception through, so there is no way back to main(). No run can have begun: nothing
        // of the half-built application may run any more, nor Qt's abort.
        std::_Exit(1);
    }
    const std::lock_guard lock(g_heldMutex);
    g_held.push_back({type, context.category != nullptr ? context.category : "", text});
}

void passOnHeldMessages() {
    std::vector<HeldMessage> held;
    {
        const std::lock_guard lock(g_heldMutex);
        held.swap(g_held);
    }
    for (const HeldMessage& message : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.c_str());
        g_qtHandler(message.type, context, message.text);
    }
}

}  // namespace

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
    // Decided before Qt looks for a platform at all: the usual case (a terminal over ssh, a
    // service) never gets as far as a plugin that fails.
    if (displayMissing(argc, argv)) {
        sayNoGraphicalSession("neither DISPLAY nor WAYLAND_DISPLAY is set");
        return 1;
    }
    g_qtHandler = qInstallMessageHandler(holdMessage);
    QApplication application(argc, argv);
    qInstallMessageHandler(g_qtHandler);
    passOnHeldMessages();
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty()) {
        arguments.removeFirst();
    }
    flashupdate::frmMain window(arguments.join(QLatin1Char(' ')));
    // Each signal ends the window as Exit does; a second one is told like the first.
    flashupdate::StopSignalPipe stopSignals(flashupdate::StopSignalPipe::Second::Stops);
    stopSignals.onSignal = [&window](int signal) { window.stopBySignal(signal); };
    window.show();
    return QApplication::exec();
}
