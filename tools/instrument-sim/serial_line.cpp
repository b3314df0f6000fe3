#include "serial_line.h"

#include <algorithm>
#include <cerrno>
#include <span>
#include <string>
#include <system_error>

#include "instrument.h"

namespace instrument_sim {

Clock::duration character_time(LineFormat format) {
    if (format.baud <= 0) {
        return Clock::duration::zero();
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(1'000'000'000LL * format.bits_per_character) / format.baud);
}

SerialLine::SerialLine(Settings settings, LineEnd& end, ReceiveQueue& queue, EventSink& events,
                       std::span<std::uint8_t> scratch)
    : settings_(settings), end_(end), queue_(queue), events_(events), buffer_(scratch) {
    if (settings_.stall) {
        stall_left_ = settings_.stall->after_bytes;
    }
}

bool SerialLine::reading() const {
    return stall_state_ == StallState::armed || stall_state_ == StallState::over;
}

bool SerialLine::wants_input() const {
    // A paced line that knows bytes are waiting only needs its timer; polling for
    // input it may not take yet would spin.
    return reading() && (!settings_.paced || !next_start_);
}

std::optional<Clock::time_point> SerialLine::next_deadline() const {
    switch (stall_state_) {
        case StallState::due:
            return stall_from_;
        case StallState::stalled:
            return stall_from_ + settings_.stall->duration;
        case StallState::armed:
        case StallState::over:
            break;
    }
    if (!settings_.paced || !next_start_) {
        return std::nullopt;
    }
    // The first moment a batch would hold a whole character. The speed is looked up
    // afresh each time, so a change while asleep cannot leave a stale wake-up behind.
    return *next_start_ + character_time(end_.line_format()) - kPacedBatching;
}

void SerialLine::take(Clock::time_point now, bool readable) {
    if (!reading()) {
        return;
    }
    if (!settings_.paced) {
        if (!readable) {
            return;
        }
        // Sampled before the read: the bytes already waiting were sent before now, and
        // the tool may be about to reopen the port at another speed.
        const int baud = end_.line_format().baud;
        const std::size_t n = read(before_stall(buffer_.size(), baud));
        const Clock::time_point read_at = Clock::now();
        queue_.arrive(std::span(buffer_.data(), n), baud, read_at, Clock::duration::zero());
        count_for_stall(n, baud, read_at);
        return;
    }

    if (!next_start_) {
        if (!readable) {
            return;
        }
        // The line has been idle: its first byte starts across when it is noticed.
        // Starting it any earlier would let a burst after a quiet spell through faster
        // than the line can carry it.
        next_start_ = std::max(line_free_, now);
    }
    const LineFormat format = end_.line_format();
    const Clock::duration character = character_time(format);
    std::size_t allowed = buffer_.size();
    if (character > Clock::duration::zero()) {
        // Only bytes the line will have carried by the end of this batch.
        const Clock::rep carried = (now + kPacedBatching - *next_start_) / character;
        allowed = carried <= 0 ? 0 : std::min(static_cast<std::size_t>(carried), allowed);
    }
    allowed = before_stall(allowed, format.baud);
    if (allowed == 0) {
        return;
    }
    const std::size_t n = read(allowed);
    queue_.arrive(std::span(buffer_.data(), n), format.baud, *next_start_ + character, character);
    *next_start_ += character * static_cast<Clock::rep>(n);
    line_free_ = *next_start_;
    count_for_stall(n, format.baud, line_free_);
    // Once the tool's end runs dry the line is idle, and the next byte starts across only
    // when it comes.
    if (n < allowed || !reading() || end_.waiting() == 0) {
        next_start_.reset();
    }
}

void SerialLine::advance(Clock::time_point now) {
    if (!settings_.stall) {
        return;
    }
    if (stall_state_ == StallState::due && now >= stall_from_) {
        events_.event("stall " + std::to_string(settings_.stall->duration.count()) + " ms");
        stall_state_ = StallState::stalled;
    }
    const Clock::time_point stall_end = stall_from_ + settings_.stall->duration;
    if (stall_state_ == StallState::stalled && now >= stall_end) {
        events_.event("stall over");
        stall_state_ = StallState::over;
        // Bytes waiting through the stall start across once it is over, not before.
        line_free_ = std::max(line_free_, stall_end);
    }
}

bool SerialLine::stall_counts(int baud) const {
    // Only the boot loader's commands and records count; a stall meant to hit them
    // must not be used up early by a loader or by a tool at the wrong speed.
    return settings_.stall && stall_state_ == StallState::armed && baud == Instrument::kCommandBaud;
}

std::size_t SerialLine::before_stall(std::size_t count, int baud) const {
    if (!stall_counts(baud)) {
        return count;
    }
    return std::min(count, static_cast<std::size_t>(stall_left_));
}

std::size_t SerialLine::read(std::size_t count) {
    ssize_t n = end_.read(buffer_.first(count));
    if (n < 0) {
        throw std::system_error(errno, std::generic_category(), "read from the tool's end");
    }
    return static_cast<std::size_t>(n);
}

void SerialLine::count_for_stall(std::size_t count, int baud, Clock::time_point last_due) {
    if (!stall_counts(baud)) {
        return;
    }
    stall_left_ -= static_cast<long>(count);
    if (stall_left_ == 0) {
        // The stall starts once the last byte before it has crossed.
        stall_state_ = StallState::due;
        stall_from_ = last_due;
    }
}

}  // namespace instrument_sim
