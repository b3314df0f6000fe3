// Running the updates: every port on the main thread's event loop, each with its serial
// control and its session, their events rendered and logged as they come; and the stop that
// Ctrl-C, SIGTERM or SIGHUP asks for. A port costs its device (or connection) and its lock, not
// a thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/port_event.h"
#include "cli/renderers.h"
#include "runlog/trace_file.h"
#include "serial/qt/stop_signal_pipe.h"

namespace flashupdate::cli {

// The boot loader the operator named, or where to look for it as the window does.
struct BootLoaderChoice {
    std::filesystem::path programDirectory;
    std::optional<std::filesystem::path> named;
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
    PortResult last;                                // its last result
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

// Runs one update per task on this thread's event loop, as many at the same time as the limits
// allow (the others start as those end, in the order given), renders their events as they come
// and logs every run; a port whose update ended in a way another attempt may cure is updated
// again after a pause, up to retries more times. The first stopping signal stops every update
// (the ports still waiting never start) and the call returns once every port has been let go;
// a second one ends the program. Returns the exit status for the whole call and what became
// of each instrument.
RunOutcome runUpdates(const std::vector<UpdateTask>& tasks, int retries, RunSettings settings,
                      Renderer& renderer, StopSignalPipe& stops);

// The boot loader a run with this choice loads: the one named, or the first found where the
// window looks.
std::filesystem::path bootLoaderUsed(const BootLoaderChoice& choice);

}  // namespace flashupdate::cli
