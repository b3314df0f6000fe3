// --dry-run: everything an update checks before it sends its first byte, for every port at once,
// so a technician finds a wrong image, a missing boot loader or a port that will not open before
// any instrument is touched.
#pragma once

#include <cstdio>
#include <filesystem>
#include <vector>

#include "cli/options.h"
#include "cli/running.h"
#include "serial/qt/stop_signal_pipe.h"

namespace flashupdate::cli {

// Reads each image and boot loader (each pair once, in the order of the tasks), opens and closes
// each port (sending nothing), and reports what an update would send to each and how long it
// would take on the line. Returns the exit status the updates would start from: a file error
// before a port error before success. A stopping signal lets the port being tried go; the ports
// after it are reported stopped, untried.
int dryRun(const std::vector<UpdateTask>& tasks, bool json, std::FILE* out, StopSignalPipe& stops);

}  // namespace flashupdate::cli
