// The exit status of flashupdate-cli, from the typed result of each update.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/signal_name.h"
#include "update/update_result.h"

namespace flashupdate::cli {

struct Verdict {
    int exitCode = kOtherFailure;
    std::string outcome;  // a short name: "updated", "bad-checksum", ...
};

// The exit status and short name for how an update ended.
Verdict verdictOf(const UpdateResult& result);

// With several ports: a stop's status wins, otherwise the first port on the command line that
// failed.
int combinedExitCode(const std::vector<int>& perPort, std::optional<int> stopped);

// The exit status of a run stopped by that signal, as a shell reports it (128 + its number);
// 130 when the signal is not known.
int stoppedStatus(int signal);

// The exit status part of --help.
const char* exitCodeHelp();

}  // namespace flashupdate::cli
