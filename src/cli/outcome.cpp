#include "cli/outcome.h"

#include <csignal>

namespace flashupdate::cli {

Verdict verdictOf(const UpdateResult& result) {
    if (result.updated()) {
        return {kUpdated, "updated"};
    }
    switch (result.cause) {
        case UpdateResult::Cause::File:
            return {kFileError, "file-error"};
        case UpdateResult::Cause::Port:
            return {kPortError, "port-error"};
        case UpdateResult::Cause::NoAnswer:
            return {kNoAnswer, "no-answer"};
        case UpdateResult::Cause::BadChecksum:
            return {kBadChecksum, "bad-checksum"};
        case UpdateResult::Cause::Stopped:
            return {kStopped, "stopped"};
        case UpdateResult::Cause::None:
            break;
    }
    return {kOtherFailure, "failed"};
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

std::string signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return signal > 0 ? "signal " + std::to_string(signal) : std::string();
    }
}

const char* exitCodeHelp() {
    return "Exit status:\n"
           "  0    every instrument updated and its checksum verified\n"
           "  1    another failure, or the output could not be written (the update ran on)\n"
           "  2    usage error\n"
           "  3    file error: image or boot loader missing, unreadable or too large\n"
           "  4    port error: the port does not open, or fails during the update, or a\n"
           "       usb: name or by-id alias matches no device present\n"
           "  5    no answer from the instrument: erase or checksum not answered\n"
           "  6    bad checksum: the instrument's checksum differs from the image's\n"
           "  129  stopped by SIGHUP (the terminal closed)\n"
           "  130  stopped by Ctrl-C (SIGINT)\n"
           "  143  stopped by SIGTERM\n"
           "With several ports: the stop's status if any update was stopped, otherwise the\n"
           "status of the first port, in command-line order, whose update failed.\n";
}

}  // namespace flashupdate::cli
