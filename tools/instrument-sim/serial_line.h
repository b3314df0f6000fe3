#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "event_log.h"
#include "pseudo_terminal.h"
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

// The wire between the tool's UART and the instrument's. Takes bytes from the pty
// and stamps each with the moment its last bit has crossed.
//
// Paced, it takes no more than the line could have carried by then, so bytes the
// line has not reached stay in the pty, and a writer that runs ahead finds it full
// as it would behind a slow line. A byte is heard at the speed in force when it
// crosses, as a real UART changes speed at once under bytes still queued. Unpaced,
// whatever is waiting is taken at once and stamped with the moment it was read.
class SerialLine {
public:
    struct Settings {
        bool paced = false;
        std::optional<Stall> stall;
    };

    SerialLine(Settings settings, PseudoTerminal& pty, ReceiveQueue& queue, EventSink& events);

    // Whether to wake when the pty has input; otherwise only next_deadline() matters.
    bool wants_input() const;
    std::optional<Clock::time_point> next_deadline() const;

    // Takes what the line has carried by `now`; `readable` says the pty has input.
    // Throws std::system_error when the pty cannot be read.
    void take(Clock::time_point now, bool readable);

    // Reports the stall beginning and ending once their time has come. Called after
    // the bytes due by `now` have been handed on, so the log shows it in its place.
    void advance(Clock::time_point now);

    // Bytes are waiting in the pty that the line has yet to carry.
    bool busy() const { return next_start_.has_value(); }

private:
    enum class StallState { armed, due, stalled, over };

    bool reading() const;
    bool stall_counts(int baud) const;
    std::size_t before_stall(std::size_t count, int baud) const;
    std::size_t read(std::size_t count);
    void count_for_stall(std::size_t count, int baud, Clock::time_point last_due);

    Settings settings_;
    PseudoTerminal& pty_;
    ReceiveQueue& queue_;
    EventSink& events_;
    std::array<std::uint8_t, 4096> buffer_{};

    Clock::time_point line_free_{};  // when the last byte taken has crossed
    // Set while bytes wait in the pty: when the first of them starts across.
    std::optional<Clock::time_point> next_start_;

    StallState stall_state_ = StallState::armed;
    long stall_left_ = 0;
    Clock::time_point stall_from_{};
};

}  // namespace instrument_sim
