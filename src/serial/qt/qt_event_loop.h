// The clock and event pump bound to Qt: window timers are QTimers, a pump is one pass of the
// thread's event queue. A waiting pump sleeps in the event dispatcher instead of spinning.
#pragma once

#include "serial/event_loop.h"

namespace flashupdate {

class QtEventLoop final : public EventLoop {
public:
    // Longest sleep of one waiting pump when no event arrives (the transmit queue draining
    // raises none).
    static constexpr int kHeartbeatMs = 10;

    std::unique_ptr<Timer> createTimer() override;
    Nanos monotonicTime() override;
    void pumpOnce() override;
    void pumpWaitFor(Nanos longest) override;
};

}  // namespace flashupdate
