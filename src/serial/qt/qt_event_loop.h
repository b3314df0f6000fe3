// The clock and timers bound to Qt: window timers are QTimers of the thread's event loop, which
// its owner runs (QCoreApplication::exec).
#pragma once

#include "serial/event_loop.h"

namespace flashupdate {

class QtEventLoop final : public EventLoop {
public:
    std::unique_ptr<Timer> createTimer() override;
    Nanos monotonicTime() override;
};

}  // namespace flashupdate
