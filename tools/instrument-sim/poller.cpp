#include "poller.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

namespace instrument_sim {

namespace {

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Poller::Poller() : fd_(epoll_create1(EPOLL_CLOEXEC)) {
    if (fd_ < 0) {
        throw_errno("epoll_create1");
    }
}

Poller::~Poller() {
    ::close(fd_);
}

void Poller::add(int fd, std::uint32_t events, std::uint64_t token) {
    epoll_event event{events, {.u64 = token}};
    if (epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) < 0) {
        throw_errno("epoll_ctl add");
    }
}

void Poller::modify(int fd, std::uint32_t events, std::uint64_t token) {
    epoll_event event{events, {.u64 = token}};
    if (epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &event) < 0) {
        throw_errno("epoll_ctl modify");
    }
}

void Poller::remove(int fd) {
    if (epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr) < 0) {
        throw_errno("epoll_ctl remove");
    }
}

int Poller::wait(std::span<epoll_event> ready, std::optional<Clock::time_point> deadline,
                 const sigset_t& while_waiting) {
    // Nanoseconds, not epoll_wait's milliseconds: a paced line wakes a few times a
    // character and must not be rounded to the next millisecond each time.
    timespec timeout{};
    if (deadline) {
        const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        timeout.tv_sec = static_cast<time_t>(seconds.count());
        timeout.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    }
    const int n = epoll_pwait2(fd_, ready.data(), static_cast<int>(ready.size()),
                               deadline ? &timeout : nullptr, &while_waiting);
    if (n < 0) {
        if (errno == EINTR) {
            return 0;
        }
        throw_errno("epoll_pwait2");
    }
    return n;
}

}  // namespace instrument_sim
