#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/transcript.h"

namespace sim_test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

using flashupdate::testing::kPatience;
// What a check that nothing comes (no answer, no more bytes) waits.
inline constexpr Millis kStragglers{flashupdate::testing::kStragglersMs};

// A running instrument-sim with its stdout and stderr collected line by line.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> arguments);
    // Stops the simulator (SIGTERM, then SIGKILL if it will not go).
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The first stdout line: the device to open. Empty if none came in time.
    std::string device_path(Millis timeout = kPatience);

    // Waits for `line` among the event lines not yet consumed by an earlier wait,
    // so consecutive waits check the order of events. Returns false on time-out.
    bool wait_for_event(std::string_view line, Millis timeout = kPatience);
    // Whether any event line so far starts with `prefix`.
    bool saw_event_starting(std::string_view prefix) const;
    std::vector<std::string> events() const;
    // Waits until lines "ignored N bytes <reason>: ..." add up to `count` bytes;
    // returns the total seen by then.
    std::size_t wait_for_ignored(std::string_view reason, std::size_t count,
                                 Millis timeout = kPatience);
    std::string stdout_text() const;
    std::string stderr_text() const;

    void send_signal(int signal);
    // The exit status once the process has ended, or nullopt on time-out.
    std::optional<int> wait_for_exit(Millis timeout = kPatience);
    bool running();

private:
    void collect_output(int out_fd, int err_fd);
    std::size_t ignored_bytes_locked(std::string_view reason) const;

    pid_t pid_ = -1;
    std::optional<int> exit_status_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> out_lines_;  // line 0 is the device path
    std::size_t next_event_ = 1;
    std::string stderr_;
    bool output_closed_ = false;
};

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(std::string_view name) const;

private:
    std::string dir_;
};

}  // namespace sim_test
