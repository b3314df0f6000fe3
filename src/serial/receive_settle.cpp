#include "serial/receive_settle.h"

namespace flashupdate {

ReceiveSettle::ReceiveSettle(EventLoop& events, std::function<void()> deliver)
    : m_quiet(events.createTimer()),
      m_longest(events.createTimer()),
      m_deliver(std::move(deliver)) {
    m_quiet->setInterval(kQuietMs);
    m_longest->setInterval(kLongestHoldMs);
    m_quiet->setOnTick([this] { fire(); });
    m_longest->setOnTick([this] { fire(); });
}

void ReceiveSettle::setTiming(int quietMs, int longestHoldMs) {
    m_quiet->setInterval(quietMs);
    m_longest->setInterval(longestHoldMs);
}

void ReceiveSettle::bytesArrived() {
    if (!m_quiet->enabled()) {
        m_longest->setEnabled(true);
    }
    m_quiet->setEnabled(true);
}

void ReceiveSettle::cancel() {
    m_quiet->setEnabled(false);
    m_longest->setEnabled(false);
}

void ReceiveSettle::fire() {
    cancel();
    m_deliver();
}

}  // namespace flashupdate
