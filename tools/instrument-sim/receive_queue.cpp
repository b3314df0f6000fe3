#include "receive_queue.h"

#include <algorithm>

namespace instrument_sim {

namespace {

Clock::duration character_time(int baud) {
    if (baud <= 0) {
        return Clock::duration::zero();
    }
    // Start bit, eight data bits, stop bit.
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL) /
                                                       baud);
}

}  // namespace

void ReceiveQueue::arrive(std::span<const std::uint8_t> bytes, int baud, Clock::time_point now) {
    for (std::uint8_t value : bytes) {
        Clock::time_point due = now;
        if (paced_) {
            // A line that has been idle carries the next byte from now on; a busy
            // one only once the bytes ahead of it are through.
            line_free_ = std::max(line_free_, now) + character_time(baud);
            due = line_free_;
        }
        waiting_.push_back(ReceivedByte{value, baud, due});
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
