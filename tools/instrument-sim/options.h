#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "faults.h"
#include "rfc2217_server.h"
#include "serial_line.h"

namespace instrument_sim {

// More than one process can serve on this machine's open files; a typo such as an extra
// zero is refused rather than met with a flood of pseudo-terminals.
inline constexpr int kMostInstruments = 10'000;

struct Options {
    // Set: a fleet of this many, each line of output naming its instrument.
    std::optional<int> instruments;
    // Set: behind serial device servers from this address on, not on pseudo-terminals.
    std::optional<ListenAddress> server;
    std::string write_samples;    // set: writes the sample files there and plays nothing
    std::string link_path;        // empty: no symlink
    std::string transcript_path;  // empty: no transcript
    std::chrono::milliseconds erase_time{300};
    bool once = false;
    bool paced = false;
    std::optional<Stall> stall;
    Faults faults;
};

struct ParsedCommandLine {
    enum class Outcome { run, help, version, usage_error };
    Outcome outcome = Outcome::run;
    Options options;
    std::string error;  // set for usage_error
};

ParsedCommandLine parse_command_line(int argc, const char* const* argv);

// `program` is the name the simulator was started by (it is installed under another).
std::string usage_text(const std::string& program);

}  // namespace instrument_sim
