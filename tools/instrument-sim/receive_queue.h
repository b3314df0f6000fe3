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
    int baud;               // speed in force on the line when the byte was written
    Clock::time_point due;  // when the instrument gets to see it
};

// Holds bytes between the pty and the instrument.
//
// Bytes are always drained from the pty at once, because the speed they were sent
// at can only be told at that moment: the tool may close the port and reopen it at
// another speed right after writing. When paced, each byte is then handed on no
// sooner than the line could have finished carrying it (8N1: ten bit times), as if
// it had crossed a real line; otherwise it is handed on immediately.
class ReceiveQueue {
public:
    explicit ReceiveQueue(bool paced) : paced_(paced) {}

    void arrive(std::span<const std::uint8_t> bytes, int baud, Clock::time_point now);

    // The oldest byte whose time has come, if any.
    std::optional<ReceivedByte> take_due(Clock::time_point now);

    std::optional<Clock::time_point> next_due() const;

private:
    bool paced_;
    Clock::time_point line_free_{};  // end of the last byte on the simulated line
    std::deque<ReceivedByte> waiting_;
};

}  // namespace instrument_sim
