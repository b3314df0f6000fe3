#pragma once

#include <signal.h>
#include <sys/epoll.h>

#include <cstdint>
#include <optional>
#include <span>

#include "receive_queue.h"

namespace instrument_sim {

// The one wait of the whole process: every instrument's descriptors in one epoll set,
// each with a token that says whose it is.
class Poller {
public:
    // Throws std::system_error when the set cannot be made.
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Each throws std::system_error on failure. A descriptor watched for nothing still
    // reports a hang-up or an error.
    void add(int fd, std::uint32_t events, std::uint64_t token);
    void modify(int fd, std::uint32_t events, std::uint64_t token);
    void remove(int fd);

    // Waits until a descriptor is ready, `deadline` has come (none: no limit) or a
    // signal not blocked in `while_waiting` arrives; returns how many of `ready` are
    // filled (0 on a signal or at the deadline).
    int wait(std::span<epoll_event> ready, std::optional<Clock::time_point> deadline,
             const sigset_t& while_waiting);

private:
    int fd_ = -1;
};

}  // namespace instrument_sim
