#include "instrument.h"

#include <cstdio>

namespace instrument_sim {

namespace {

constexpr std::uint8_t kErase = 'E';
constexpr std::uint8_t kProgram = 'P';
constexpr std::uint8_t kChecksum = 'C';
constexpr std::uint8_t kEnd = 'X';

constexpr auto kSplitPause = std::chrono::milliseconds(400);
// A USB adapter's latency timer (FTDI's default): one burst straddles two packets.
constexpr auto kPacketPause = std::chrono::milliseconds(16);
// Enough byte values to recognise what went wrong without flooding the log.
constexpr std::size_t kIgnoredShown = 8;

std::string hex_byte(std::uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(byte));
    return text;
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += hex_byte(byte);
    }
    return text;
}

std::vector<std::uint8_t> big_endian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

}  // namespace

Instrument::Instrument(Settings settings, AnswerLine& line, EventSink& events)
    : settings_(settings), line_(line), events_(events) {}

void Instrument::receive(std::uint8_t byte, int baud, Clock::time_point now) {
    // The UART is set to one speed per phase; bytes sent at another speed reach
    // the firmware as garbage, so they can never count as loader or command.
    const bool in_rom = state_ == State::awaiting_loader || state_ == State::loading;
    const int expected_baud = in_rom ? kLoaderBaud : kCommandBaud;
    if (baud != expected_baud) {
        ignore(byte, "at " + std::to_string(baud) + " baud");
        return;
    }

    switch (state_) {
        case State::awaiting_loader:
            if (byte != kLoaderSync) {
                ignore(byte, "before sync");
                return;
            }
            event("boot loader sync");
            state_ = State::loading;
            loader_bytes_ = 1;
            return;
        case State::loading:
            if (++loader_bytes_ == kLoaderSize) {
                event("boot loader received");
                reset_session();
                state_ = State::command;
            }
            return;
        case State::command:
            command(byte, now);
            return;
        case State::erasing:
            // The firmware is busy with the flash and does not look at the UART;
            // anything sent meanwhile is lost, as it would be on the instrument.
            ignore(byte, "while erasing");
            return;
        case State::block_number: {
            block_ = byte;
            const auto expected = static_cast<std::uint8_t>(kFirstBlock + kBlockStep * records_);
            if (block_ != expected) {
                event("warning: block 0x" + hex_byte(block_) + " where 0x" + hex_byte(expected) +
                      " was expected");
            }
            if (!erased_) {
                event("warning: block 0x" + hex_byte(block_) + " programmed before an erase");
            }
            record_bytes_ = 0;
            state_ = State::record_data;
            return;
        }
        case State::record_data:
            sum_ += byte;
            if (++record_bytes_ == kRecordSize) {
                ++records_;
                event("record 0x" + hex_byte(block_));
                state_ = State::command;
            }
            return;
    }
}

void Instrument::command(std::uint8_t byte, Clock::time_point now) {
    switch (byte) {
        case kErase:
            start_erase(now);
            return;
        case kProgram:
            state_ = State::block_number;
            return;
        case kChecksum:
            answer_checksum(now);
            return;
        case kEnd:
            end_session();
            return;
        default:
            ignore(byte, "not a command");
            return;
    }
}

void Instrument::start_erase(Clock::time_point now) {
    ++erase_commands_;
    if (settings_.faults.erase == EraseFault::second && erase_commands_ == 1) {
        event("erase ignored");
        return;
    }
    event("erase");
    state_ = State::erasing;
    erase_done_at_ = now + settings_.erase_time;
}

void Instrument::finish_erase() {
    state_ = State::command;
    erased_ = true;
    event("erased");
    switch (settings_.faults.erase) {
        case EraseFault::silent:
            return;
        case EraseFault::wrong:
            answer({0x3F});
            return;
        case EraseFault::lower:
            answer({'e'});
            return;
        case EraseFault::none:
        case EraseFault::second:
            answer({kErase});
            return;
    }
}

void Instrument::answer_checksum(Clock::time_point now) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(sum_));
    event(std::string("checksum ") + text);

    // A half answer still waiting goes out first, so the wire never shows the
    // halves of two answers interleaved.
    if (tail_due_) {
        tail_due_.reset();
        answer(std::move(tail_));
    }

    auto sum = big_endian(sum_);
    switch (settings_.faults.checksum) {
        case ChecksumFault::none:
        case ChecksumFault::hang_up:
            answer(sum);
            return;
        case ChecksumFault::bad:
            answer(big_endian(sum_ + 1));
            return;
        case ChecksumFault::bad_once:
            answer(checksum_requests_++ == 0 ? big_endian(sum_ + 1) : sum);
            return;
        case ChecksumFault::short_answer:
            answer({sum[0], sum[1], sum[2]});
            return;
        case ChecksumFault::split:
            answer({sum[0], sum[1]});
            tail_ = {sum[2], sum[3]};
            tail_due_ = now + kSplitPause;
            return;
        case ChecksumFault::packets:
            answer({sum[0]});
            tail_ = {sum[1], sum[2], sum[3]};
            tail_due_ = now + kPacketPause;
            return;
        case ChecksumFault::high:
            answer({0x80, 0x00, 0x00, 0x00});
            return;
        case ChecksumFault::long_answer:
            sum.push_back(0x00);
            sum.push_back(0x00);
            answer(sum);
            return;
        case ChecksumFault::silent:
            return;
    }
}

void Instrument::end_session() {
    event("session end");
    ++sessions_ended_;
    hanging_up_ = settings_.faults.checksum == ChecksumFault::hang_up;
    // Back to the ROM: the next run of the tool starts from the boot loader again.
    state_ = State::awaiting_loader;
    loader_bytes_ = 0;
    reset_session();
}

void Instrument::power_cycle() {
    event("power cycle");
    state_ = State::awaiting_loader;
    loader_bytes_ = 0;
    hanging_up_ = false;
    reset_session();
}

void Instrument::reset_session() {
    sum_ = 0;
    records_ = 0;
    erase_commands_ = 0;
    erased_ = false;
    tail_due_.reset();
    tail_.clear();
}

void Instrument::advance(Clock::time_point now) {
    if (state_ == State::erasing && now >= erase_done_at_) {
        finish_erase();
    }
    if (tail_due_ && now >= *tail_due_) {
        tail_due_.reset();
        answer(std::move(tail_));
        tail_.clear();
    }
}

std::optional<Clock::time_point> Instrument::next_deadline() const {
    std::optional<Clock::time_point> deadline = tail_due_;
    if (state_ == State::erasing && (!deadline || erase_done_at_ < *deadline)) {
        deadline = erase_done_at_;
    }
    return deadline;
}

void Instrument::answer(std::vector<std::uint8_t> bytes) {
    report_ignored();
    line_.send(bytes);
    events_.event("answer " + hex_bytes(bytes));
}

void Instrument::event(const std::string& line) {
    report_ignored();
    events_.event(line);
}

void Instrument::ignore(std::uint8_t byte, std::string reason) {
    if (reason != ignored_reason_) {
        report_ignored();
        ignored_reason_ = std::move(reason);
    }
    ++ignored_count_;
    if (ignored_.size() < kIgnoredShown) {
        ignored_.push_back(byte);
    }
}

void Instrument::report_ignored() {
    if (ignored_count_ == 0) {
        return;
    }
    std::string line = "ignored " + std::to_string(ignored_count_) +
                       (ignored_count_ == 1 ? " byte " : " bytes ") + ignored_reason_ + ": " +
                       hex_bytes(ignored_);
    if (ignored_count_ > ignored_.size()) {
        line += " ...";
    }
    ignored_count_ = 0;
    ignored_.clear();
    ignored_reason_.clear();
    events_.event(line);
}

}  // namespace instrument_sim
