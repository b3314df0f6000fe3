#include "cli/stopping_event_loop.h"

namespace flashupdate::cli {

StoppingEventLoop::StoppingEventLoop(EventLoop& inner, const std::atomic<bool>& stop)
    : m_inner(inner), m_stop(stop) {}

std::unique_ptr<Timer> StoppingEventLoop::createTimer() {
    return m_inner.createTimer();
}

void StoppingEventLoop::pumpOnce() {
    throwIfStopped();
    m_inner.pumpOnce();
}

void StoppingEventLoop::pumpWait() {
    throwIfStopped();
    m_inner.pumpWait();
    // A signal wakes the sleeping dispatcher; nothing more should be sent after it.
    throwIfStopped();
}

void StoppingEventLoop::throwIfStopped() const {
    if (m_stop.load()) {
        throw StopRequested{};
    }
}

}  // namespace flashupdate::cli
