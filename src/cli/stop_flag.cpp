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
}

}  // namespace flashupdate::cli
