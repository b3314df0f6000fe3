// What the updates tell the output, the log of runs and the report: the typed events of each
// port's runs, and each attempt's result.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "update/update_machine.h"
#include "update/update_result.h"

namespace flashupdate::cli {

// One fact of a port's run, with the run's account as it stood then.
struct PortEvent {
    std::size_t port = 0;  // index into the ports of the command line
    // The id of the attempt it belongs to, which the log's lines carry.
    std::string runId;
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
    RunEvent event{RunEvent::Kind::Diagnostic};
    UpdateResult run;
    // A diagnostic that is the run's own account of its failure: the message that ends the run
    // says it again, without the system's reason. Other diagnostics are the line's reasons
    // (with their remedies) and the command line's own notes.
    bool account = false;
    // The port is a serial device server's, whose line is a connection.
    bool network = false;
};

// What a run works with, as its records name it.
struct RunSubject {
    std::string image;  // the image's path, absolute
    std::string device;
    std::string adapterSerial;
    std::string label;       // the instrument's, from a job file
    std::string bootLoader;  // the file it loads
    std::string bootLoaderSha256;
};

// How one attempt on a port ended, or why it never began.
struct PortResult {
    std::size_t port = 0;
    std::string runId;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
    // A sentence for the operator: "Updated", "Not updated (no-answer)", "Stopped at ...".
    std::string text;
    UpdateResult result;
    int exitCode = 0;
    std::string outcome;  // a short name: "updated", "bad-checksum", ...
    std::string sha256;   // of the image as the run read it; empty when it was not read
    std::optional<std::uint64_t> imageBytes;  // how many bytes it read
    RunSubject subject;
    // Which attempt this is, of how many the port may have; the port's last result has last.
    int attempt = 1;
    int attempts = 1;
    bool last = true;
    // False for an attempt that never began (a stop before it, or no descriptor to run it with).
    bool ran = true;
    // The signal that stopped it, 0 for none.
    int signal = 0;
};

}  // namespace flashupdate::cli
