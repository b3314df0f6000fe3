// The exit status of flashupdate-cli, and how the end of one update maps onto it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace flashupdate::cli {

enum ExitCode : int {
    kUpdated = 0,
    kOtherFailure = 1,
    kUsageError = 2,
    kFileError = 3,
    kPortError = 4,
    kNoAnswer = 5,
    kBadChecksum = 6,
    kStopped = 130,  // as a shell reports a program ended by Ctrl-C
};

struct Verdict {
    int exitCode = kOtherFailure;
    std::string outcome;  // a short name: "updated", "bad-checksum", ...
};

// Judges an update that ran to its end by the window's messages and last status.
Verdict judge(const std::vector<std::string>& messages, const std::string& lastStatus,
              const std::filesystem::path& image);

// With several ports: a stop wins, otherwise the first port on the command line that failed.
int combinedExitCode(const std::vector<int>& perPort, bool anyStopped);

// The exit status part of --help.
const char* exitCodeHelp();

}  // namespace flashupdate::cli
