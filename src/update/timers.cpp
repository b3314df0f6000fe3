#include "update/timers.h"

namespace flashupdate {

namespace {
constexpr int kIdleInterval = 8000;    // ms; Timer1 and Timer3 before their first use
constexpr int kTimer2Interval = 1000;  // ms
}  // namespace

Timers::Timers(EventLoop& loop)
    : Timer1(loop.createTimer()), Timer2(loop.createTimer()), Timer3(loop.createTimer()) {
    Timer1->setInterval(kIdleInterval);
    Timer2->setInterval(kTimer2Interval);
    Timer3->setInterval(kIdleInterval);
    Timer1->setOnTick([this] { Timer1_Timer(); });
    Timer2->setOnTick([this] { Timer2_Timer(); });
    Timer3->setOnTick([this] { Timer3_Timer(); });
}

void Timers::Timer1_Timer() {
    Timer1->setEnabled(false);
}

void Timers::Timer2_Timer() {
    Timer2->setEnabled(false);
    if (onTimer2) {
        onTimer2();
    }
}

void Timers::Timer3_Timer() {
    Timer3->setEnabled(false);
}

}  // namespace flashupdate
