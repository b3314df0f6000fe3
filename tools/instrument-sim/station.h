#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "device_link.h"
#include "event_log.h"
#include "instrument.h"
#include "poller.h"
#include "pseudo_terminal.h"
#include "receive_queue.h"
#include "rfc2217_server.h"
#include "serial_line.h"
#include "transcript.h"

namespace instrument_sim {

struct StationSettings {
    // 1 and up in a fleet, where every event line begins with it; 0 for the only one.
    int number = 0;
    Instrument::Settings instrument;
    SerialLine::Settings line;
    bool once = false;
    std::string link_path;        // empty: no symlink
    std::string transcript_path;  // empty: no transcript
    // Set: behind a serial device server listening there; otherwise on a pseudo-terminal.
    std::optional<ListenAddress> server;
};

// One simulated instrument with its line and the tool's end of it (a pseudo-terminal, or
// a serial device server), driven from the process's one loop: it is woken when one of
// its descriptors is ready or its deadline has come, and does what is due without
// waiting. Its memory stays the same whatever the tool sends.
class Station {
public:
    enum class Source : std::uint8_t { line = 0, listener = 1 };

    // Throws std::system_error when the pseudo-terminal, server, link or transcript
    // cannot be set up. `scratch` is shared by every station of the process.
    Station(const StationSettings& settings, EventSink& out, std::span<std::uint8_t> scratch,
            Clock::time_point start);
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The device path, or "rfc2217://HOST:PORT": what the tool is given.
    const std::string& name() const;

    // A descriptor of `source` reported `events` (epoll's flags); with nothing, the
    // deadline has come. Throws std::system_error or std::runtime_error when the line
    // fails.
    void wake(std::optional<std::pair<Source, std::uint32_t>> ready);
    std::optional<Clock::time_point> next_deadline() const;
    void power_cycle() { instrument_.power_cycle(); }
    // Its one session is over (--once), or it has hung up: it may be let go.
    bool ended() const { return ended_; }

    // Brings what `poller` watches for this station up to date; each event carries
    // `token` + its Source. Closing a descriptor takes it out of the set, so letting go
    // of the station needs nothing here.
    void watch(Poller& poller, std::uint64_t token);

private:
    // Prefixes a fleet's event lines with the instrument's number.
    class NumberedEvents : public EventSink {
    public:
        NumberedEvents(EventSink& next, int number);
        void event(std::string_view line) override;

    private:
        EventSink& next_;
        std::string prefix_;
    };
    // Every event line comes after the transcript holds the bytes received before it,
    // so that whoever waits for "session end" finds the "X" recorded.
    class TranscriptFirst : public EventSink {
    public:
        TranscriptFirst(Transcript& transcript, EventSink& next)
            : transcript_(transcript), next_(next) {}
        void event(std::string_view line) override;

    private:
        Transcript& transcript_;
        EventSink& next_;
    };
    class Answers : public AnswerLine {
    public:
        Answers(LineEnd& end, int number) : end_(end), number_(number) {}
        void send(std::span<const std::uint8_t> bytes) override;

    private:
        LineEnd& end_;
        int number_;
    };
    struct Watched {
        int fd = -1;
        std::uint32_t events = 0;
        std::uint64_t connection = 0;
    };

    static LineEnd& end_of(const std::unique_ptr<PseudoTerminal>& pty,
                           const std::unique_ptr<Rfc2217Server>& server);
    void take_due(Clock::time_point now);
    void update(Poller& poller, Watched& watched, int fd, std::uint32_t events,
                std::uint64_t connection, std::uint64_t token);

    bool once_;
    Clock::time_point start_;
    Transcript transcript_;
    NumberedEvents numbered_;
    TranscriptFirst events_;
    std::unique_ptr<PseudoTerminal> pty_;
    std::unique_ptr<Rfc2217Server> server_;
    LineEnd& end_;
    std::optional<DeviceLink> link_;
    Answers answers_;
    Instrument instrument_;
    ReceiveQueue queue_;
    SerialLine line_;
    std::span<std::uint8_t> scratch_;

    // Behind a server after its one session: only waits for the client to go.
    bool session_over_ = false;
    bool ended_ = false;
    Watched line_watch_;
    Watched listener_watch_;
};

}  // namespace instrument_sim
