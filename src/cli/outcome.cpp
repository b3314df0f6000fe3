#include "cli/outcome.h"

#include <csignal>

namespace flashupdate::cli {

Verdict verdictOf(const UpdateResult& result) {
    const std::optional<FailureKind> failure = result.failure();
    return {failure ? exitStatusOf(*failure) : kUpdated, outcomeNameOf(failure)};
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
