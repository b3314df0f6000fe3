// What a port's update reports to the main thread, which alone writes to the terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace flashupdate::cli {

enum class EventKind { Status, Progress, Message, Result };

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
    bool stopped = false;
    bool erased = false;
    std::string stage;  // the last status text
    std::string outcome;
};

}  // namespace flashupdate::cli
