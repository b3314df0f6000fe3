// Hands events from the update threads to the main thread. The main thread sleeps on it; it
// wakes for an event or when its time-out passes (to redraw a count-down).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "cli/update_event.h"

namespace flashupdate::cli {

class EventQueue {
public:
    void push(UpdateEvent event);
    // Everything queued, waiting up to timeout for the first event.
    std::vector<UpdateEvent> take(std::chrono::milliseconds timeout);

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<UpdateEvent> m_events;
};

}  // namespace flashupdate::cli
