// What a port's update reports to the main thread, which alone writes to the terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "update/update_result.h"

namespace flashupdate::cli {

// Diagnostic: the system's reason behind a failure, for whoever debugs the line.
enum class EventKind { Status, Progress, Message, Diagnostic, Result };

struct UpdateEvent {
    std::size_t port = 0;  // index into the ports of the command line
    EventKind kind = EventKind::Status;
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
    // Status and Message: the window's text, unchanged. Result: a sentence for the operator.
    std::string text;

    // Progress: data bytes sent, of the records' bytes to send.
    std::uint64_t sent = 0;
    std::uint64_t total = 0;

    // Result.
    int exitCode = 0;
    std::string outcome;  // a short name: "updated", "bad-checksum", ...
    UpdateResult result;  // the procedure's own account of the run
    std::string sha256;   // of the image as the run read it; empty when it was not read
    std::chrono::system_clock::time_point started;
};

}  // namespace flashupdate::cli
