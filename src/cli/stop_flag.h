// Ctrl-C, SIGTERM and SIGHUP ask every running update to stop at its next pump of the event
// queue. SIGPIPE is ignored: a closed output never stops an update.
#pragma once

#include <atomic>

namespace flashupdate::cli {

// Set from the signal handler; read by the update threads.
const std::atomic<bool>& stopFlag();

// The first signal asks for a clean stop; a second one ends the program the usual way, for an
// operator who does not want to wait for the port to close.
void installStopHandlers();

}  // namespace flashupdate::cli
