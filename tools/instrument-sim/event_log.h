#pragma once

#include <string_view>

namespace instrument_sim {

// Where the instrument reports what it sees and does. Tests and demos wait on
// these lines, so their wording is part of the simulator's interface.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void event(std::string_view line) = 0;
};

// Writes each event as one line on stdout and flushes it at once, so a reader
// on a pipe sees it as it happens.
class StdoutEvents : public EventSink {
public:
    void event(std::string_view line) override;
};

}  // namespace instrument_sim
