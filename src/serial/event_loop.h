// The clock and timer seam. Nothing here waits: whoever owns the loop runs it, and timers tick
// from it. Production binds this to Qt's event loop (QtEventLoop); tests bind it to a virtual
// clock so long time-outs run in microseconds.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace flashupdate {

// A window timer: while enabled, it ticks every interval milliseconds, from the event loop.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void setInterval(int milliseconds) = 0;
    virtual int interval() const = 0;
    // Enabling (again) restarts the count from now.
    virtual void setEnabled(bool enabled) = 0;
    virtual bool enabled() const = 0;
    // Sets the interval and enables, counting from now: one restart where the two calls make two.
    virtual void startIn(int milliseconds) {
        setInterval(milliseconds);
        setEnabled(true);
    }

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

class EventLoop {
public:
    using Nanos = std::chrono::nanoseconds;

    virtual ~EventLoop() = default;
    virtual std::unique_ptr<Timer> createTimer() = 0;
    // The clock deadlines are measured on: monotonic, and virtual in tests.
    virtual Nanos monotonicTime() = 0;
};

}  // namespace flashupdate
