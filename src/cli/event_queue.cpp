#include "cli/event_queue.h"

namespace flashupdate::cli {

void EventQueue::push(UpdateEvent event) {
    {
        const std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    m_arrived.notify_one();
}

std::vector<UpdateEvent> EventQueue::take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, timeout, [this] { return !m_events.empty(); });
    std::vector<UpdateEvent> events(std::make_move_iterator(m_events.begin()),
                                    std::make_move_iterator(m_events.end()));
    m_events.clear();
    return events;
}

}  // namespace flashupdate::cli
