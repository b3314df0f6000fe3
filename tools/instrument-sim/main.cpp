// instrument-sim: plays the instrument on a pseudo-terminal, so the flash update
// tool can be run end to end without the hardware.

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>

#include "device_link.h"
#include "event_log.h"
#include "instrument.h"
#include "options.h"
#include "pseudo_terminal.h"
#include "receive_queue.h"
#include "serial_line.h"
#include "transcript.h"

namespace instrument_sim {
namespace {

volatile sig_atomic_t g_stop_requested = 0;

volatile sig_atomic_t g_power_cycle_requested = 0;

void request_stop(int) {
    g_stop_requested = 1;
}

// SIGUSR1: the instrument is switched off and on again.
void request_power_cycle(int) {
    g_power_cycle_requested = 1;
}

// SIGTERM, SIGINT and SIGHUP stay blocked except inside ppoll, so a stop
// request can never slip in between checking the flag and going to sleep. All
// three end the run normally, so the link is always cleaned up. SIGUSR1 (a
// power cycle) is let in the same way.
sigset_t install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    struct sigaction power {};
    power.sa_handler = request_power_cycle;
    sigemptyset(&power.sa_mask);
    sigaction(SIGUSR1, &power, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    sigaddset(&stop_signals, SIGUSR1);
    sigset_t while_waiting;
    sigprocmask(SIG_BLOCK, &stop_signals, &while_waiting);
    sigdelset(&while_waiting, SIGTERM);
    sigdelset(&while_waiting, SIGINT);
    sigdelset(&while_waiting, SIGHUP);
    sigdelset(&while_waiting, SIGUSR1);
    return while_waiting;
}

class PtyAnswerLine : public AnswerLine {
public:
    explicit PtyAnswerLine(PseudoTerminal& pty) : pty_(pty) {}

    void send(std::span<const std::uint8_t> bytes) override {
        ssize_t written = pty_.write(bytes);
        if (written != static_cast<ssize_t>(bytes.size())) {
            // Only happens when the tool has left thousands of answers unread.
            std::fprintf(stderr, "instrument-sim: answer of %zu bytes: %s\n", bytes.size(),
                         written < 0 ? std::strerror(errno) : "line full, cut short");
        }
    }

private:
    PseudoTerminal& pty_;
};

// Every event line comes after the transcript holds the bytes received before it, so that
// whoever waits for "session end" finds the "X" recorded.
class TranscriptFirstEvents : public EventSink {
public:
    TranscriptFirstEvents(Transcript& transcript, EventSink& next)
        : transcript_(transcript), next_(next) {}

    void event(std::string_view line) override {
        transcript_.flush();
        next_.event(line);
    }

private:
    Transcript& transcript_;
    EventSink& next_;
};

timespec time_until(Clock::time_point deadline, Clock::time_point now) {
    auto left = std::max(deadline - now, Clock::duration::zero());
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

int run(const Options& options) {
    const Clock::time_point start = Clock::now();
    const sigset_t while_waiting = install_stop_handlers();

    PseudoTerminal pty;
    std::optional<DeviceLink> link;
    if (!options.link_path.empty()) {
        link.emplace(options.link_path, pty.device_path());
    }
    Transcript transcript(options.transcript_path);
    StdoutEvents stdout_events;
    TranscriptFirstEvents events(transcript, stdout_events);
    PtyAnswerLine answers(pty);
    Instrument instrument({options.erase_time, options.faults}, answers, events);
    ReceiveQueue queue;
    SerialLine line({options.paced, options.stall}, pty, queue, events);

    // Whoever started us learns the device from the first line; the link, if
    // asked for, already exists by then.
    events.event(pty.device_path());

    while (g_stop_requested == 0) {
        if (g_power_cycle_requested != 0) {
            g_power_cycle_requested = 0;
            instrument.power_cycle();
        }
        const Clock::time_point now = Clock::now();
        // Deadlines that fell between two bytes are met in order, so a late
        // wake-up cannot make a byte look as if it came during an erase that was
        // in fact already over.
        while (auto byte = queue.take_due(now)) {
            instrument.advance(byte->due);
            transcript.record(std::chrono::duration<double>(byte->due - start).count(), byte->baud,
                              byte->value);
            instrument.receive(byte->value, byte->baud, byte->due);
            if (options.once && instrument.sessions_ended() > 0) {
                break;
            }
        }
        instrument.advance(now);
        line.advance(now);
        // A run of ignored bytes is reported once the line falls quiet, not once
        // per wake-up, or a paced line would log them a few at a time.
        if (!queue.next_due() && !line.busy()) {
            instrument.report_ignored();
        }
        transcript.flush();
        if (options.once && instrument.sessions_ended() > 0) {
            return 0;
        }
        // A restarting instrument lets go of the line: closing the master hangs the tool's end
        // up.
        if (instrument.hanging_up()) {
            events.event("hang-up");
            return 0;
        }

        std::optional<Clock::time_point> deadline;
        if (auto next = queue.next_due()) {
            // Paced bytes are collected a few at a time rather than waking for
            // each one; they keep their own times in the transcript regardless.
            deadline = *next + kPacedBatching;
        }
        for (auto next : {instrument.next_deadline(), line.next_deadline()}) {
            if (next && (!deadline || *next < *deadline)) {
                deadline = next;
            }
        }
        timespec timeout{};
        if (deadline) {
            timeout = time_until(*deadline, now);
        }
        pollfd input{pty.master_fd(), static_cast<short>(line.wants_input() ? POLLIN : 0), 0};
        int ready = ppoll(&input, 1, deadline ? &timeout : nullptr, &while_waiting);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "ppoll");
        }
        const bool readable = (input.revents & POLLIN) != 0;
        if (!readable && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // Cannot happen while our own descriptor keeps the slave open; carrying
            // on would only spin.
            throw std::runtime_error("the pty hung up");
        }
        line.take(Clock::now(), readable);
    }
    return 0;
}

}  // namespace
}  // namespace instrument_sim

int main(int argc, char** argv) {
    using instrument_sim::ParsedCommandLine;
    auto parsed = instrument_sim::parse_command_line(argc, argv);
    switch (parsed.outcome) {
        case ParsedCommandLine::Outcome::help:
            std::fputs(instrument_sim::usage_text().c_str(), stdout);
            return 0;
        case ParsedCommandLine::Outcome::usage_error:
            std::fprintf(stderr, "instrument-sim: %s\nTry 'instrument-sim --help'.\n",
                         parsed.error.c_str());
            return 2;
        case ParsedCommandLine::Outcome::run:
            break;
    }
    try {
        return instrument_sim::run(parsed.options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "instrument-sim: %s\n", error.what());
        return 1;
    }
}
