#include "cli/outcome.h"

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

int combinedExitCode(const std::vector<int>& perPort, bool anyStopped) {
    if (anyStopped) {
        return kStopped;
    }
    for (const int code : perPort) {
        if (code != kUpdated) {
            return code;
        }
    }
    return kUpdated;
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
           "  130  stopped by Ctrl-C, SIGTERM or SIGHUP\n"
           "With several ports: 130 if any update was stopped, otherwise the status of the\n"
           "first port, in command-line order, whose update failed.\n";
}

}  // namespace flashupdate::cli
