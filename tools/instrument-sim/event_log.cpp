#include "event_log.h"

#include <cstdio>

namespace instrument_sim {

void StdoutEvents::event(std::string_view line) {
    // A reader that went away must not stop the instrument: errors are ignored
    // (SIGPIPE is ignored in main).
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace instrument_sim
