#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "faults.h"
#include "serial_line.h"

namespace instrument_sim {

struct Options {
    std::string link_path;        // empty: no symlink
    std::string transcript_path;  // empty: no transcript
    std::chrono::milliseconds erase_time{300};
    bool once = false;
    bool paced = false;
    std::optional<Stall> stall;
    Faults faults;
};

struct ParsedCommandLine {
    enum class Outcome { run, help, usage_error };
    Outcome outcome = Outcome::run;
    Options options;
    std::string error;  // set for usage_error
};

ParsedCommandLine parse_command_line(int argc, const char* const* argv);

std::string usage_text();

}  // namespace instrument_sim
