#include "common/signal_name.h"

#include <csignal>

namespace flashupdate {

std::string signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
#ifdef SIGHUP
        case SIGHUP:
            return "SIGHUP";
#endif
        default:
            return signal > 0 ? "signal " + std::to_string(signal) : std::string();
    }
}

}  // namespace flashupdate
