#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace instrument_sim {

using Clock = std::chrono::steady_clock;

struct ReceivedByte {
    std::uint8_t value;
    int baud;               // speed in force on the line when the byte crossed it
    Clock::time_point due;  // when its last bit has crossed: the instrument sees it then
};

// Holds bytes taken off the line until the instrument is due to see them. A paced
// line takes a few bytes ahead of time to save wake-ups; they must still reach the
// instrument in step with its own deadlines, such as the end of an erase.
class ReceiveQueue {
public:
    // Bytes that crossed one after another: the first at `first_due`, each later one
    // `spacing` after the one before.
    void arrive(std::span<const std::uint8_t> bytes, int baud, Clock::time_point first_due,
                Clock::duration spacing);

    // The oldest byte whose time has come, if any.
    std::optional<ReceivedByte> take_due(Clock::time_point now);

    std::optional<Clock::time_point> next_due() const;

private:
    std::deque<ReceivedByte> waiting_;
};

}  // namespace instrument_sim
