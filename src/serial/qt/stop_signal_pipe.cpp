#include "serial/qt/stop_signal_pipe.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace flashupdate {

namespace {

std::atomic<int> g_first{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
// Set before the handler is installed, read by it.
std::atomic<bool> g_secondEndsProgram{false};

#ifndef _WIN32
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// [0] read by the event loop, [1] written by the handler.
int g_pipe[2] = {-1, -1};

// Of C linkage, as a signal handler should be, and of this file alone.
extern "C" {
static void writeStopSignal(int signal) {
    const int saved = errno;
    int none = 0;
    if (!g_first.compare_exchange_strong(none, signal) && g_secondEndsProgram.load()) {
        // Any second stopping signal, the same or another, does what it would without us; it is
        // delivered once this handler returns.
        struct sigaction usual {};
        usual.sa_handler = SIG_DFL;
        sigemptyset(&usual.sa_mask);
        sigaction(signal, &usual, nullptr);
        ::raise(signal);
        errno = saved;
        return;
    }
    const auto number = static_cast<unsigned char>(signal);
    // A full pipe already holds a signal for the event loop to act on.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
    errno = saved;
}
}
#endif

}  // namespace

StopSignalPipe::StopSignalPipe(Second second) {
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
    g_first = 0;
    g_secondEndsProgram = second == Second::EndsProgram;
    if (::pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { takeSignals(); });
    struct sigaction action {};
    action.sa_handler = writeStopSignal;
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
#else
    (void)second;
#endif
}

StopSignalPipe::~StopSignalPipe() {
#ifndef _WIN32
    if (m_notifier == nullptr) {
        return;
    }
    for (const int signal : kSignals) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == writeStopSignal) {
            std::signal(signal, SIG_DFL);
        }
    }
    m_notifier.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
#endif
}

int StopSignalPipe::first() {
    return g_first.load();
}

void StopSignalPipe::takeSignals() {
#ifndef _WIN32
    unsigned char number = 0;
    while (::read(g_pipe[0], &number, 1) == 1) {
        if (onSignal) {
            onSignal(number);
        }
    }
#endif
}

}  // namespace flashupdate
