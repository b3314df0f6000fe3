// The name a log gives a signal that ended a run, the same from the window and the command line.
#pragma once

#include <string>

namespace flashupdate {

// "SIGINT", "SIGTERM", "SIGHUP", "signal 10" for another; empty for none (0).
std::string signalName(int signal);

}  // namespace flashupdate
