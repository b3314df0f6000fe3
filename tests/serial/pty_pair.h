// A pseudo-terminal standing for the instrument's end of the line. The test keeps a descriptor
// on the slave too, so the master stays readable while the port under test closes and reopens,
// and so the line settings the port applied can be read back.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/transcript.h"

namespace flashupdate::testing {

class PtyPair {
public:
    PtyPair() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        m_slavePath = ::ptsname(m_master);
        m_slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
        termios raw{};
        ::tcgetattr(m_slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    ~PtyPair() {
        closeMaster();
        if (m_slave >= 0) {
            ::close(m_slave);
        }
    }

    const std::string& slavePath() const { return m_slavePath; }

    void closeMaster() {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

    void send(const std::string& bytes) {
        if (::write(m_master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("write to master failed");
        }
    }

    // Reads until count bytes have come or the time is up.
    std::string receive(std::size_t count, int timeoutMs = kPatienceMs) {
        std::string bytes;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd descriptor{m_master, POLLIN, 0};
            if (::poll(&descriptor, 1, 50) <= 0 || (descriptor.revents & POLLIN) == 0) {
                continue;
            }
            char buffer[4096];
            const auto got = ::read(m_master, buffer, sizeof buffer);
            if (got > 0) {
                bytes.append(buffer, static_cast<std::size_t>(got));
            }
        }
        return bytes;
    }

    // Waits until count bytes sent to the port have reached the device and wait there unread,
    // so a test can act on input the port has not yet taken; false if they have not in time.
    bool waitUntilArrived(std::size_t count, int timeoutMs = kPatienceMs) const {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int waiting = 0;
            if (::ioctl(m_slave, FIONREAD, &waiting) == 0 &&
                static_cast<std::size_t>(waiting) >= count) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // The speed the port set on the line, and another program changing it under the port.
    speed_t speed() const {
        termios settings{};
        ::tcgetattr(m_slave, &settings);
        return ::cfgetospeed(&settings);
    }
    void setSpeed(speed_t speed) {
        termios settings{};
        ::tcgetattr(m_slave, &settings);
        ::cfsetspeed(&settings, speed);
        ::tcsetattr(m_slave, TCSANOW, &settings);
    }

    // Another program reading the device: takes what has arrived, if anything, within 1 ms.
    void stealInput() {
        ::fcntl(m_slave, F_SETFL, ::fcntl(m_slave, F_GETFL) | O_NONBLOCK);
        pollfd descriptor{m_slave, POLLIN, 0};
        if (::poll(&descriptor, 1, 1) > 0 && (descriptor.revents & POLLIN) != 0) {
            char buffer[64];
            [[maybe_unused]] const auto got = ::read(m_slave, buffer, sizeof buffer);
        }
    }

    int master() const { return m_master; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

// Bytes of every value, once each, in order.
inline std::string everyByteValue() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

}  // namespace flashupdate::testing
