// instrument-sim: plays the instrument on a pseudo-terminal or behind a serial device
// server, one or a fleet of them, so the flash update tool can be run end to end without
// the hardware.

#include <signal.h>
#include <sys/resource.h>

#include <array>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "event_log.h"
#include "options.h"
#include "poller.h"
#include "samples.h"
#include "station.h"

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

// SIGTERM, SIGINT and SIGHUP stay blocked except inside the wait, so a stop
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

// A pseudo-terminal holds its master and slave, a server its listening socket and its
// client: two each, and a transcript one more. Beyond that the process keeps a few of
// its own (standard streams, the epoll set).
constexpr rlim_t kOwnDescriptors = 16;
// The events one wait hands over; more simply wait for the next.
constexpr std::size_t kEventsPerWait = 256;
// Where bytes pass from the tool's end to the line, shared by every instrument.
constexpr std::size_t kScratchSize = 4096;

// Raises the soft limit on open files to the hard one, or says how far short it falls.
void make_room_for(int count, bool transcripts) {
    const rlim_t needed = static_cast<rlim_t>(count) * (transcripts ? 3 : 2) + kOwnDescriptors;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < needed) {
        throw std::runtime_error(std::to_string(count) + " instruments need about " +
                                 std::to_string(needed) + " open files and this process may have " +
                                 std::to_string(limit.rlim_cur) +
                                 " (ulimit -Hn): run them in several simulators");
    }
}

std::string numbered(const std::string& path, int number) {
    return path.empty() || number == 0 ? path : path + "." + std::to_string(number);
}

// A fleet names the instrument whose line failed; the only one needs no name.
[[noreturn]] void fail_for(int number, const std::exception& error) {
    if (number == 0) {
        throw;
    }
    throw std::runtime_error("instrument " + std::to_string(number) + ": " + error.what());
}

int run(const Options& options) {
    const Clock::time_point start = Clock::now();
    const sigset_t while_waiting = install_stop_handlers();
    const int count = options.instruments.value_or(1);
    make_room_for(count, !options.transcript_path.empty());

    StdoutEvents out;
    std::vector<std::uint8_t> scratch(kScratchSize);
    Poller poller;
    std::vector<std::unique_ptr<Station>> stations;
    stations.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        StationSettings settings;
        settings.number = options.instruments ? i + 1 : 0;
        settings.instrument = {options.erase_time, options.faults};
        settings.line = {options.paced, options.stall};
        settings.once = options.once;
        settings.link_path = numbered(options.link_path, settings.number);
        settings.transcript_path = numbered(options.transcript_path, settings.number);
        if (options.server) {
            settings.server = nth_address(*options.server, i);
        }
        try {
            stations.push_back(std::make_unique<Station>(settings, out, scratch, start));
        } catch (const std::exception& error) {
            fail_for(settings.number, error);
        }
    }
    // Whoever started us learns the devices from the first lines; the links, if asked
    // for, already exist by then, and every server listens.
    for (const auto& station : stations) {
        out.event(station->name());
    }

    // Every station's next deadline, soonest first.
    std::set<std::pair<Clock::time_point, std::size_t>> deadlines;
    std::vector<std::optional<Clock::time_point>> scheduled(stations.size());
    std::size_t playing = stations.size();
    // After each wake-up: a station that has ended is let go (its descriptors leave the
    // set as they close), the others are watched and scheduled anew.
    const auto settle = [&](std::size_t i) {
        if (scheduled[i]) {
            deadlines.erase({*scheduled[i], i});
            scheduled[i].reset();
        }
        if (stations[i]->ended()) {
            stations[i].reset();
            --playing;
            return;
        }
        stations[i]->watch(poller, 2 * i);
        scheduled[i] = stations[i]->next_deadline();
        if (scheduled[i]) {
            deadlines.insert({*scheduled[i], i});
        }
    };
    const auto wake = [&](std::size_t i,
                          std::optional<std::pair<Station::Source, std::uint32_t>> ready) {
        try {
            stations[i]->wake(ready);
        } catch (const std::exception& error) {
            fail_for(options.instruments ? static_cast<int>(i) + 1 : 0, error);
        }
        settle(i);
    };
    for (std::size_t i = 0; i < stations.size(); ++i) {
        settle(i);
    }

    std::array<epoll_event, kEventsPerWait> ready{};
    std::vector<std::size_t> due;
    while (g_stop_requested == 0 && playing > 0) {
        if (g_power_cycle_requested != 0) {
            g_power_cycle_requested = 0;
            for (std::size_t i = 0; i < stations.size(); ++i) {
                if (stations[i]) {
                    stations[i]->power_cycle();
                    settle(i);
                }
            }
        }
        // Those due now, each once: a deadline that stays in the past cannot keep the
        // loop from the descriptors.
        due.clear();
        const Clock::time_point now = Clock::now();
        for (auto next = deadlines.begin(); next != deadlines.end() && next->first <= now; ++next) {
            due.push_back(next->second);
        }
        for (const std::size_t i : due) {
            if (stations[i]) {
                wake(i, std::nullopt);
            }
        }
        if (playing == 0) {
            break;
        }
        std::optional<Clock::time_point> deadline;
        if (!deadlines.empty()) {
            deadline = deadlines.begin()->first;
        }
        const int n = poller.wait(ready, deadline, while_waiting);
        for (int k = 0; k < n; ++k) {
            // Copied out: the kernel's structure is packed.
            const std::uint64_t token = ready[static_cast<std::size_t>(k)].data.u64;
            const std::uint32_t events = ready[static_cast<std::size_t>(k)].events;
            const std::size_t i = token / 2;
            // A station let go earlier in this batch may still have events in it.
            if (stations[i]) {
                wake(i, std::pair{static_cast<Station::Source>(token % 2), events});
            }
        }
    }
    return 0;
}

}  // namespace
}  // namespace instrument_sim

int main(int argc, char** argv) {
    using instrument_sim::ParsedCommandLine;
    // Installed as flashupdate-simulator, built as instrument-sim: it speaks by the name
    // it was started by.
    std::string program = argc > 0 ? argv[0] : "instrument-sim";
    program = program.substr(program.rfind('/') + 1);
    auto parsed = instrument_sim::parse_command_line(argc, argv);
    switch (parsed.outcome) {
        case ParsedCommandLine::Outcome::help:
            std::fputs(instrument_sim::usage_text(program).c_str(), stdout);
            return 0;
        case ParsedCommandLine::Outcome::version:
            std::printf("%s (flashupdate) %s\n", program.c_str(), INSTRUMENT_SIM_VERSION);
            return 0;
        case ParsedCommandLine::Outcome::usage_error:
            std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(),
                         parsed.error.c_str(), program.c_str());
            return 2;
        case ParsedCommandLine::Outcome::run:
            break;
    }
    if (!parsed.options.write_samples.empty()) {
        return instrument_sim::write_samples(parsed.options.write_samples, program);
    }
    try {
        return instrument_sim::run(parsed.options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
        return 1;
    }
}
