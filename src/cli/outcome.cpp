#include "cli/outcome.h"

#include <csignal>

#include "runlog/run_log.h"

namespace flashupdate::cli {

Verdict verdictOf(const UpdateResult& result) {
    // The short name is the log's, which the window writes too.
    const std::string outcome = outcomeName(result);
    if (result.updated()) {
        return {kUpdated, outcome};
    }
    switch (result.cause) {
        case UpdateResult::Cause::File:
            return {kFileError, outcome};
        case UpdateResult::Cause::Port:
            return {kPortError, outcome};
        case UpdateResult::Cause::NoAnswer:
            return {kNoAnswer, outcome};
        case UpdateResult::Cause::BadChecksum:
            return {kBadChecksum, outcome};
        case UpdateResult::Cause::Stopped:
            return {kStopped, outcome};
        case UpdateResult::Cause::None:
            break;
    }
    return {kOtherFailure, outcome};
}

int combinedExitCode(const std::vector<int>& perPort, std::optional<int> stopped) {
    if (stopped) {
        return *stopped;
    }
    for (const int code : perPort) {
        if (code != kUpdated) {
            return code;
        }
    }
    return kUpdated;
}

int stoppedStatus(int signal) {
    return signal > 0 ? 128 + signal : kStopped;
}

const char* exitCodeHelp() {
    return "Exit status: 0 when every instrument was updated; 3 file, 4 port, 5 no answer and\n"
           "6 bad checksum; 128 + the signal's number when stopped (130 for Ctrl-C). EXIT\n"
           "STATUS in the manual page has them all.\n";
}

}  // namespace flashupdate::cli
