// Running the updates: one thread a port, each with its own pump, serial port and procedure,
// its events rendered by the main thread, which alone writes the output; and the stop that
// Ctrl-C, SIGTERM or SIGHUP asks for.
#pragma once

#include <QThread>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/renderers.h"
#include "cli/view.h"
#include "runlog/trace_file.h"
#include "serial/event_loop.h"

namespace flashupdate::cli {

// Ctrl-C, SIGTERM and SIGHUP ask every running update to stop at its next pump of the event
// queue. SIGPIPE is ignored: a closed output never stops an update.
// The number of the first such signal, 0 while none has come; set from the signal handler, read
// by the update threads.
const std::atomic<int>& stopFlag();

// The first signal asks for a clean stop; a second one ends the program the usual way, for an
// operator who does not want to wait for the port to close.
void installStopHandlers();

// An event pump that ends the run it serves once a stop has been asked for. Every wait of the
// procedure and of the serial control (connecting, negotiating, keeping the line's pace, closing)
// is a loop of pumps, so a stop is seen within one heartbeat, wherever the run is.
class StoppingEventLoop final : public EventLoop {
public:
    StoppingEventLoop(EventLoop& inner, const std::atomic<int>& stop);

    std::unique_ptr<Timer> createTimer() override;
    Nanos monotonicTime() override { return m_inner.monotonicTime(); }
    void pumpOnce() override;
    void pumpWaitFor(Nanos longest) override;

private:
    void throwIfStopped() const;

    EventLoop& m_inner;
    const std::atomic<int>& m_stop;
};

// One port's update in a thread of its own. Its event pump, serial port, timers and procedure
// are made inside the thread, so their Qt objects belong to it and one port's waits never hold
// up another's.
// The boot loader the operator named, or where to look for it as the window does.
struct BootLoaderChoice {
    std::filesystem::path programDirectory;
    std::optional<std::filesystem::path> named;
};

class PortWorker final : public QThread {
public:
    PortWorker(std::size_t index, PortTarget target, std::filesystem::path image,
               BootLoaderChoice bootLoader, int retries, TraceFile* trace, EventQueue& events,
               const std::atomic<int>& stop);

protected:
    void run() override;

private:
    std::size_t m_index;
    PortTarget m_target;
    std::filesystem::path m_image;
    BootLoaderChoice m_bootLoader;
    int m_retries;
    TraceFile* m_trace;
    EventQueue& m_events;
    const std::atomic<int>& m_stop;
};

// Whether another attempt can cure how an update ended: no answer, a bad checksum, or a port that
// failed before the first record byte. Not one that left the instrument in the middle of the boot
// loader, a record or its session (an unanswered checksum request: it needs a power cycle first),
// nor a file error or a stop.
bool anotherAttemptMayCure(const UpdateResult& result);

// One instrument's update: where it is, the image it gets, its boot loader, and for a job file
// its label and its row's own cells (in the job's column order), which the report carries.
struct UpdateTask {
    PortTarget target;
    std::filesystem::path image;  // absolute
    BootLoaderChoice bootLoader;
    std::string label;
    std::vector<std::string> cells;
};

// What became of one instrument over all its attempts.
struct PortRecord {
    UpdateEvent last;                               // its last result
    int attempts = 0;                               // attempts that ran
    std::chrono::system_clock::time_point started;  // of the first, or when it was given up
};

struct RunOutcome {
    int exitCode = 0;               // for the whole call
    std::vector<PortRecord> ports;  // in the order of the tasks
};

// How the updates run: how many at once (the open-file limit in force, and --jobs), and where
// the wire is recorded (--trace; none when null).
struct RunSettings {
    std::size_t openFileLimit = 1024;
    std::optional<std::size_t> jobs;
    TraceFile* trace = nullptr;
};

// Runs one update per task, as many at the same time as the limits allow (the others start as
// those end, in the order given), renders their events as they come and logs every run; a port
// whose update ended in a way another attempt may cure is updated again, up to retries more
// times. Returns the exit status for the whole call and what became of each instrument.
RunOutcome runUpdates(const std::vector<UpdateTask>& tasks, int retries, RunSettings settings,
                      Renderer& renderer, const std::atomic<int>& stop);

// The boot loader a run with this choice loads: the one named, or the first found where the
// window looks.
std::filesystem::path bootLoaderUsed(const BootLoaderChoice& choice);

}  // namespace flashupdate::cli
