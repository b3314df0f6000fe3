// The clock and event pump seam. Window timers tick only while the event queue is pumped, and
// every wait of the update procedure is a loop of pumps. Production binds this to Qt's event
// loop (QtEventLoop); tests bind it to a virtual clock so long time-outs run in microseconds.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace flashupdate {

// A window timer: while enabled, it ticks every interval milliseconds, delivered by a pump.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void setInterval(int milliseconds) = 0;
    virtual int interval() const = 0;
    // Enabling (again) restarts the count from now.
    virtual void setEnabled(bool enabled) = 0;
    virtual bool enabled() const = 0;

    void setOnTick(std::function<void()> handler) { m_onTick = std::move(handler); }

protected:
    void raiseTick() {
        if (m_onTick) {
            m_onTick();
        }
    }

private:
    std::function<void()> m_onTick;
};

// Thrown from a pump by a front end that has to stop a run (Ctrl-C in a terminal). It passes
// through the procedure's guarded regions, which would otherwise report it as a failure of the
// step it interrupted; whoever throws it catches it around the run.
struct StopRequested {};

class EventLoop {
public:
    using Nanos = std::chrono::nanoseconds;

    virtual ~EventLoop() = default;
    virtual std::unique_ptr<Timer> createTimer() = 0;
    // The clock the waits are measured on: monotonic, and virtual in tests.
    virtual Nanos monotonicTime() = 0;
    // One pass: handles every pending event and returns; never sleeps.
    virtual void pumpOnce() = 0;
    // One pass for a wait loop: handles what is pending or, when nothing is, sleeps until the
    // next event, but never longer than longest nor than a short heartbeat, so that a loop
    // polling a state which raises no event of its own (the transmit queue draining) still
    // sees it change, and a stop is seen at once.
    virtual void pumpWaitFor(Nanos longest) = 0;
    void pumpWait() { pumpWaitFor(Nanos::max()); }
};

// The waits of the serial layer: loops of pumps with a deadline, never a blocking call.
// Pumps until done() holds or the deadline has passed; true when done() held.
template <typename Done>
bool pumpUntil(EventLoop& events, EventLoop::Nanos deadline, Done&& done) {
    for (;;) {
        if (done()) {
            return true;
        }
        const EventLoop::Nanos now = events.monotonicTime();
        if (now >= deadline) {
            return false;
        }
        events.pumpWaitFor(deadline - now);
    }
}

// Lets duration pass while the queue keeps being handled.
inline void pumpFor(EventLoop& events, EventLoop::Nanos duration) {
    pumpUntil(events, events.monotonicTime() + duration, [] { return false; });
}

}  // namespace flashupdate
