#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "event_log.h"
#include "faults.h"
#include "receive_queue.h"

namespace instrument_sim {

// The instrument's transmit side.
class AnswerLine {
public:
    virtual ~AnswerLine() = default;
    virtual void send(std::span<const std::uint8_t> bytes) = 0;
};

// The instrument's firmware as far as the tool can tell: first a ROM waiting at
// 1200 baud for a 512-byte boot loader, then that boot loader taking one-byte
// commands at 9600 baud. Knows nothing of ptys or clocks; time is passed in.
class Instrument {
public:
    struct Settings {
        std::chrono::milliseconds erase_time{300};
        Faults faults;
    };

    Instrument(Settings settings, AnswerLine& line, EventSink& events);

    // One byte off the line, sent at `baud`, seen by the instrument at `now`.
    void receive(std::uint8_t byte, int baud, Clock::time_point now);

    // Completes whatever was due by `now` (end of an erase, a delayed answer).
    void advance(Clock::time_point now);

    // When advance() next has something to do.
    std::optional<Clock::time_point> next_deadline() const;

    // Reports bytes ignored since the last report. Ignored bytes are gathered
    // into one line, as a tool at the wrong speed can send thousands of them.
    void report_ignored();

    int sessions_ended() const { return sessions_ended_; }
    // Switched off and on: back in the ROM, waiting for a boot loader, whatever it was doing.
    void power_cycle();
    // The instrument has answered, the session is over and it restarts: the line hangs up.
    bool hanging_up() const { return hanging_up_; }

    static constexpr int kLoaderBaud = 1200;
    static constexpr int kCommandBaud = 9600;
    static constexpr int kLoaderSize = 512;
    static constexpr int kRecordSize = 16384;
    static constexpr std::uint8_t kLoaderSync = 0xFF;
    static constexpr std::uint8_t kFirstBlock = 0x40;
    static constexpr std::uint8_t kBlockStep = 8;

private:
    enum class State { awaiting_loader, loading, command, erasing, block_number, record_data };

    void command(std::uint8_t byte, Clock::time_point now);
    void start_erase(Clock::time_point now);
    void finish_erase();
    void answer_checksum(Clock::time_point now);
    void end_session();
    void reset_session();
    void answer(std::vector<std::uint8_t> bytes);
    void event(const std::string& line);
    void ignore(std::uint8_t byte, std::string reason);

    Settings settings_;
    AnswerLine& line_;
    EventSink& events_;

    State state_ = State::awaiting_loader;
    int loader_bytes_ = 0;
    std::uint32_t sum_ = 0;
    int records_ = 0;  // complete records this session
    int erase_commands_ = 0;
    bool erased_ = false;
    std::uint8_t block_ = 0;
    int record_bytes_ = 0;
    int sessions_ended_ = 0;
    bool hanging_up_ = false;
    int checksum_requests_ = 0;  // over the instrument's life, for faults that act once

    Clock::time_point erase_done_at_{};
    std::optional<Clock::time_point> tail_due_;
    std::vector<std::uint8_t> tail_;

    std::string ignored_reason_;
    std::vector<std::uint8_t> ignored_;
    std::size_t ignored_count_ = 0;
};

}  // namespace instrument_sim
