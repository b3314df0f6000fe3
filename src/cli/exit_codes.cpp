#include "cli/exit_codes.h"

#include <fstream>

#include "update/texts.h"

namespace flashupdate::cli {

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.starts_with(prefix);
}

Verdict fromMessage(const std::string& message, const std::filesystem::path& image) {
    namespace texts = flashupdate::texts;
    if (message == texts::kBadChecksum) {
        return {kBadChecksum, "bad-checksum"};
    }
    if (message == texts::kErrorOpeningComPort) {
        return {kPortError, "port-error"};
    }
    if (message == texts::kProgrammingError || message == texts::kEndOfEraseNotDetected ||
        message == texts::kCheckSumNotReceivedBox || message == texts::kProblemReceivingCheckSum) {
        return {kNoAnswer, "no-answer"};
    }
    if (startsWith(message, texts::kCantOpen)) {
        // The transfer's region covers both the image and the line. The image had a size a
        // moment ago; if it still reads, it was the line that failed (the device went away).
        const bool imageReads = std::ifstream(image, std::ios::binary).is_open();
        return imageReads ? Verdict{kPortError, "port-error"} : Verdict{kFileError, "file-error"};
    }
    if (startsWith(message, texts::kCantFindSizeOf) || message == texts::kCantOpenBootLoader ||
        message == texts::kCantFindBootLoaders || startsWith(message, texts::kFileTooLarge)) {
        return {kFileError, "file-error"};
    }
    if (message == texts::kSelectFile) {
        return {kUsageError, "usage-error"};
    }
    return {kOtherFailure, "failed"};
}

}  // namespace

Verdict judge(const std::vector<std::string>& messages, const std::string& lastStatus,
              const std::filesystem::path& image) {
    // The first message is the cause; later ones follow from it.
    if (!messages.empty()) {
        return fromMessage(messages.front(), image);
    }
    if (lastStatus == texts::kUpdatedSuccessfully) {
        return {kUpdated, "updated"};
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
           "  1    another failure\n"
           "  2    usage error\n"
           "  3    file error: image or boot loader missing, unreadable or too large\n"
           "  4    port error: the port does not open, or fails during the update\n"
           "  5    no answer from the instrument: erase or checksum not answered\n"
           "  6    bad checksum: the instrument's checksum differs from the image's\n"
           "  130  stopped by Ctrl-C or SIGTERM\n"
           "With several ports: 130 if any update was stopped, otherwise the status of the\n"
           "first port, in command-line order, whose update failed.\n";
}

}  // namespace flashupdate::cli
