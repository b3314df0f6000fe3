// Which updates run at once. Each port's update takes a few descriptors (the device or its
// connection, the device's lock file, a file being read), and a process that runs out of
// descriptors is ended by the system's libraries without a word, every instrument with it. So no
// more updates run at once than the open-file limit allows; the rest wait their turn in the order
// given and start as others end.
#pragma once

#include <cstddef>
#include <optional>

namespace flashupdate::cli {

// Descriptors one update holds for its whole run: the device and its lock file, or a
// connection (one at a time, also when it is made afresh at another speed). Those the program
// keeps for itself (standard streams, the event loop, the signal pipe, the log, the libraries)
// include the few that one update at a time holds for a moment more while it opens a device or
// reads its files, which never outlive the call that opened them.
inline constexpr std::size_t kDescriptorsPerUpdate = 2;
inline constexpr std::size_t kDescriptorsKept = 36;

// Updates that may run at once under an open-file limit, and no more than jobs when given; at
// least one.
std::size_t updatesAtOnce(std::size_t openFileLimit, std::optional<std::size_t> jobs);

// Whether one more update has the descriptors it needs, with inUse open already.
bool roomForAnother(std::size_t openFileLimit, std::size_t inUse);

class Admission {
public:
    Admission(std::size_t ports, std::size_t atOnce) : m_ports(ports), m_atOnce(atOnce) {}

    // The next port to start, in the order given, when one may start now.
    std::optional<std::size_t> next();
    // The next port may not start yet after all (the descriptors free now are too few): it
    // waits for one that runs to end.
    void hold() { m_held = true; }
    // That port has started (or been dealt with without starting).
    void started();
    // A started port has ended.
    void ended();
    // No port will start any more (a stop): the rest are dealt with as never started.
    void close() { m_closed = true; }

    // The next port that has not started, whether or not it may.
    std::optional<std::size_t> remaining() const {
        return m_next < m_ports ? std::optional<std::size_t>(m_next) : std::nullopt;
    }

    std::size_t running() const { return m_running; }
    // Ports that could not start when their turn came.
    std::size_t waited() const { return m_waited; }
    bool closed() const { return m_closed; }

private:
    std::size_t m_ports;
    std::size_t m_atOnce;
    std::size_t m_next = 0;
    std::size_t m_running = 0;
    std::size_t m_waited = 0;
    // Some port has had to wait: every port started from now on has waited.
    bool m_held = false;
    bool m_closed = false;
};

}  // namespace flashupdate::cli
