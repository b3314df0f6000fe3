// The window's three timers. The update keeps Timer1's pauses and Timer3's reply windows as
// deadlines of its machine (update_machine.h); Timer2 exists with its handler but nothing
// starts it.
#pragma once

#include <functional>
#include <memory>

#include "serial/event_loop.h"

namespace flashupdate {

class Timers {
public:
    explicit Timers(EventLoop& loop);
    Timers(const Timers&) = delete;
    Timers& operator=(const Timers&) = delete;

    std::unique_ptr<Timer> Timer1;
    std::unique_ptr<Timer> Timer2;
    std::unique_ptr<Timer> Timer3;

    // What Timer2's tick runs after stopping it: the Start handler, bound by the window.
    std::function<void()> onTimer2;

    void Timer1_Timer();
    void Timer2_Timer();
    void Timer3_Timer();
};

}  // namespace flashupdate
