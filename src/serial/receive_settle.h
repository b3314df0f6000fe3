// One receive event for one burst of bytes.
//
// An instrument writes an answer back to back, but the transport cuts it up on its own clock: a
// UART after about 4 character times of silence, a USB adapter at every expiry of its latency
// timer (16 ms by default on FTDI chips), a network bridge at segment boundaries. A receive
// event is therefore raised only once the line has been quiet for kQuietMs, so that RxData gets
// the whole burst. Deliveries further apart stay separate events, each replacing the last, as
// the window's receive rule has it.
//
// kQuietMs = 50: over 4 character times at every speed the procedure receives at (4.2 ms at
// 9600 baud) and three FTDI latency periods, so an answer that straddles two or three USB packets
// is still one burst; far below the gaps the window's rule is about (the 1000 ms before a reply
// window, replies 100 ms apart at the least). A line that never falls quiet still gets an event
// every kLongestHoldMs.
//
// A network hides the spacing of what it carries: segments keep their order but may arrive
// 100-200 ms apart on a busy link, so a serial device server's line settles on its own,
// longer quiet (setTiming). The window's rule keeps its meaning there too: parts 400 ms apart
// are still two events.
#pragma once

#include <functional>
#include <memory>

#include "serial/event_loop.h"

namespace flashupdate {

class ReceiveSettle {
public:
    static constexpr int kQuietMs = 50;
    static constexpr int kLongestHoldMs = 500;

    // The timers come from the event loop that delivers the event; deliver raises it.
    ReceiveSettle(EventLoop& events, std::function<void()> deliver);
    ReceiveSettle(const ReceiveSettle&) = delete;
    ReceiveSettle& operator=(const ReceiveSettle&) = delete;

    // Takes effect from the next burst.
    void setTiming(int quietMs, int longestHoldMs);
    // Bytes have just arrived: the quiet time starts again.
    void bytesArrived();
    // What was waiting has been discarded or the port closed: no event is owed.
    void cancel();
    bool pending() const { return m_quiet->enabled(); }

private:
    void fire();

    std::unique_ptr<Timer> m_quiet;
    std::unique_ptr<Timer> m_longest;
    std::function<void()> m_deliver;
};

}  // namespace flashupdate
