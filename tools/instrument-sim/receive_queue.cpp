#include "receive_queue.h"

namespace instrument_sim {

void ReceiveQueue::arrive(std::span<const std::uint8_t> bytes, int baud,
                          Clock::time_point first_due, Clock::duration spacing) {
    Clock::time_point due = first_due;
    for (std::uint8_t value : bytes) {
        waiting_.push_back(ReceivedByte{value, baud, due});
        due += spacing;
    }
}

std::optional<ReceivedByte> ReceiveQueue::take_due(Clock::time_point now) {
    if (waiting_.empty() || waiting_.front().due > now) {
        return std::nullopt;
    }
    ReceivedByte byte = waiting_.front();
    waiting_.pop_front();
    return byte;
}

std::optional<Clock::time_point> ReceiveQueue::next_due() const {
    if (waiting_.empty()) {
        return std::nullopt;
    }
    return waiting_.front().due;
}

}  // namespace instrument_sim
