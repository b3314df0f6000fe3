// What the command line says of a run's events. It keeps the window's words where they are
// right (the status line's captions and the boxes' texts, which scripts and service notes quote),
// and names a port that failed while open in its own words, where the window's box names the
// wrong thing ("Can't open <image>" for a line lost in the middle of a record).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "update/update_machine.h"
#include "update/update_result.h"

namespace flashupdate::cli {

struct EventWords {
    // The window's status captions for the event, in the order it sets them, trimmed.
    std::vector<std::string> statuses;
    // The box the event ends the run with, its lines as the window shows them ("\r\n" between);
    // the command line's own words for a port that failed while open. Empty: no box.
    std::string message;
    // What a log line each says of it: the statuses, then what the box adds to them.
    std::vector<std::string> lines;
};

// network: the port is a serial device server's, whose line is a connection.
EventWords wordsOf(const RunEvent& event, const UpdateResult& run, bool network);

// How a port that failed while it was open ended the run, from the run's account:
// "the connection was reset during record 1 of 3", "the device hung up during the erase".
// nullopt when the run did not end so (a port that did not open, a file, an instrument's
// silence), which the window's words say rightly.
std::optional<std::string> portFailureText(const UpdateResult& run, bool network);

}  // namespace flashupdate::cli
