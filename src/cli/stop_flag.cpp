#include "cli/stop_flag.h"

#include <csignal>

namespace flashupdate::cli {

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int) {
    g_stop.store(true);
}

}  // namespace

const std::atomic<bool>& stopFlag() {
    return g_stop;
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal stops the run as cleanly as Ctrl-C, so the port is let go and the
    // temporary state removed.
    sigaction(SIGHUP, &action, nullptr);
    // A closed output (| head) must not end an update halfway: writes fail instead, and the
    // exit status says so at the end.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace flashupdate::cli
