#include "ui/stop_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace flashupdate {

namespace {

#ifndef _WIN32
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// [0] read by the event loop, [1] written by the handler.
int g_pipe[2] = {-1, -1};

extern "C" void onStopSignal(int signal) {
    const int saved = errno;
    const auto number = static_cast<unsigned char>(signal);
    // A full pipe already holds a signal for the event loop to act on.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
    errno = saved;
}
#endif

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
#ifndef _WIN32
    if (::pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::takeSignals);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals) {
        // One ignored from the start stays ignored: "nohup flashupdate &" outlives its terminal.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
#endif
}

StopSignals::~StopSignals() {
#ifndef _WIN32
    if (m_notifier == nullptr) {
        return;
    }
    for (const int signal : kSignals) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == onStopSignal) {
            std::signal(signal, SIG_DFL);
        }
    }
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
#endif
}

void StopSignals::takeSignals() {
#ifndef _WIN32
    unsigned char number = 0;
    while (::read(g_pipe[0], &number, 1) == 1) {
        emit arrived(number);
    }
#endif
}

}  // namespace flashupdate
