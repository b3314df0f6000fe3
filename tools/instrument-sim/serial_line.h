#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "event_log.h"
#include "line_end.h"
#include "receive_queue.h"

namespace instrument_sim {

// Well below anything the tool could notice, yet it saves most wake-ups at 9600 baud.
inline constexpr auto kPacedBatching = std::chrono::milliseconds(4);

// A spell in which the instrument reads nothing, as firmware busy elsewhere would.
struct Stall {
    long after_bytes = 0;  // received at the command speed since the simulator started
    std::chrono::milliseconds duration{0};
};

// How long the line takes to carry one character; zero when the speed cannot be
// told, as there is then nothing to pace by.
Clock::duration character_time(LineFormat format);

// The wire between the tool's UART and the instrument's. Takes bytes from the tool's
// end of the line and stamps each with the moment its last bit has crossed.
//
// Paced, it takes no more than the line could have carried by then, so bytes the
// line has not reached stay where the tool put them, and a writer that runs ahead
// finds the line full as it would behind a slow line. A byte is heard at the speed in force when it
// crosses, as a real UART changes speed at once under bytes still queued. Unpaced,
// whatever is waiting is taken at once and stamped with the moment it was read.
class SerialLine {
public:
    struct Settings {
        bool paced = false;
        std::optional<Stall> stall;
    };

    // `scratch` is where bytes pass on their way to the queue; every line of one process
    // may share it, as they are served one at a time.
    SerialLine(Settings settings, LineEnd& end, ReceiveQueue& queue, EventSink& events,
               std::span<std::uint8_t> scratch);

    // Whether to wake when the tool's end has input; otherwise only next_deadline() matters.
    bool wants_input() const;
    std::optional<Clock::time_point> next_deadline() const;

    // Takes what the line has carried by `now`; `readable` says the tool's end has input.
    // Throws std::system_error when it cannot be read.
    void take(Clock::time_point now, bool readable);

    // Reports the stall beginning and ending once their time has come. Called after
    // the bytes due by `now` have been handed on, so the log shows it in its place.
    void advance(Clock::time_point now);

    // Bytes are waiting at the tool's end that the line has yet to carry.
    bool busy() const { return next_start_.has_value(); }

private:
    enum class StallState { armed, due, stalled, over };

    bool reading() const;
    bool stall_counts(int baud) const;
    std::size_t before_stall(std::size_t count, int baud) const;
    std::size_t read(std::size_t count);
    void count_for_stall(std::size_t count, int baud, Clock::time_point last_due);

    Settings settings_;
    LineEnd& end_;
    ReceiveQueue& queue_;
    EventSink& events_;
    std::span<std::uint8_t> buffer_;

    Clock::time_point line_free_{};  // when the last byte taken has crossed
    // Set while bytes wait at the tool's end: when the first of them starts across.
    std::optional<Clock::time_point> next_start_;

    StallState stall_state_ = StallState::armed;
    long stall_left_ = 0;
    Clock::time_point stall_from_{};
};

}  // namespace instrument_sim
