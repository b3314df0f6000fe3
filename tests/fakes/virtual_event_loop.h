// A clock and event loop on virtual time, for tests: the one loop a test runs, a pump at a time.
// Timers tick and scheduled events (replies of a scripted instrument) fire only inside a pump. A
// waiting pump jumps the clock to the next event, or by one heartbeat when nothing is due, as a
// real loop would sleep; so a 12-second time-out runs in microseconds and every wait can be
// measured to the microsecond.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "serial/event_loop.h"

namespace flashupdate::testing {

using Micros = std::int64_t;
constexpr Micros ms(double milliseconds) {
    return static_cast<Micros>(milliseconds * 1000);
}

class VirtualEventLoop final : public EventLoop {
public:
    static constexpr Micros kHeartbeat = 10'000;
    // A run that has not ended after this much virtual time is stuck in a wait.
    static constexpr Micros kRunaway = 3'600'000'000;

    std::unique_ptr<Timer> createTimer() override;
    Nanos monotonicTime() override { return std::chrono::microseconds(m_now); }
    // One pass: handles every pending event and returns.
    void pumpOnce();
    // One pass that first moves the clock to the next event, by at most longest and at most a
    // heartbeat.
    void pumpWaitFor(Nanos longest);
    void pumpWait() { pumpWaitFor(Nanos::max()); }

    Micros now() const { return m_now; }
    void schedule(Micros at, std::function<void()> action);

    bool ranAway() const { return m_ranAway; }
    // Runs action on every pump, before the pending events (the operator's hand inside a wait).
    void setOnPump(std::function<void()> action) { m_onPump = std::move(action); }

    class VirtualTimer;

private:
    void dispatchDue();
    Micros nextDue() const;

    Micros m_now = 0;
    std::uint64_t m_sequence = 0;
    std::multimap<std::pair<Micros, std::uint64_t>, std::function<void()>> m_events;
    std::vector<VirtualTimer*> m_timers;
    bool m_ranAway = false;
    std::function<void()> m_onPump;
    friend class VirtualTimer;
};

class VirtualEventLoop::VirtualTimer final : public Timer {
public:
    explicit VirtualTimer(VirtualEventLoop& loop) : m_loop(loop) {}
    ~VirtualTimer() override;
    void setInterval(int milliseconds) override;
    int interval() const override { return m_interval; }
    void setEnabled(bool enabled) override;
    bool enabled() const override { return m_enabled; }

    Micros nextTick() const { return m_nextTick; }
    bool canTick() const { return m_enabled && m_interval > 0; }
    void tick();

private:
    VirtualEventLoop& m_loop;
    int m_interval = 0;
    bool m_enabled = false;
    Micros m_nextTick = 0;
};

// Lets duration pass while the loop keeps handling events.
inline void pumpFor(VirtualEventLoop& loop, EventLoop::Nanos duration) {
    const EventLoop::Nanos deadline = loop.monotonicTime() + duration;
    for (EventLoop::Nanos now = loop.monotonicTime(); now < deadline; now = loop.monotonicTime()) {
        loop.pumpWaitFor(deadline - now);
    }
}

}  // namespace flashupdate::testing
