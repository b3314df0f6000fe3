#include "test_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace sim_test {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

speed_t speed_code(int baud) {
    for (const auto& [rate, code] :
         {std::pair{1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}}) {
        if (rate == baud) {
            return code;
        }
    }
    throw std::invalid_argument("no speed code for " + std::to_string(baud));
}

}  // namespace

std::vector<std::uint8_t> read_from(int fd, std::size_t count, std::chrono::milliseconds timeout,
                                    bool& ended) {
    std::vector<std::uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received.size() < count && !ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd in{fd, POLLIN, 0};
        const int ready = ::poll(&in, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) {
            throw_errno("poll");
        }
        if (ready <= 0) {
            continue;
        }
        std::uint8_t buffer[256];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - received.size()));
        if (n > 0) {
            received.insert(received.end(), buffer, buffer + n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            ended = true;
        }
    }
    return received;
}

TestPort::TestPort(const std::string& device, int baud, int stop_bits) {
    fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        throw_errno("open " + device);
    }
    const auto fail = [this](const std::string& what) {
        const int error = errno;
        ::close(fd_);
        errno = error;
        throw_errno(what);
    };
    termios settings{};
    // Like a serial port library: exclusive use while open.
    if (::ioctl(fd_, TIOCEXCL) < 0 || tcgetattr(fd_, &settings) < 0) {
        fail("set up " + device);
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    if (stop_bits == 2) {
        settings.c_cflag |= CSTOPB;
    }
    cfsetispeed(&settings, speed_code(baud));
    cfsetospeed(&settings, speed_code(baud));
    if (tcsetattr(fd_, TCSANOW, &settings) < 0) {
        fail("tcsetattr " + device);
    }
}

TestPort::~TestPort() {
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
}

void TestPort::write(std::span<const std::uint8_t> bytes) {
    // A paced simulator makes room only as fast as the line carries bytes.
    for (std::size_t done = 0; done < bytes.size();) {
        done += write_for(bytes.subspan(done), std::chrono::seconds(1));
    }
}

std::size_t TestPort::write_for(std::span<const std::uint8_t> bytes,
                                std::chrono::milliseconds window) {
    const auto deadline = std::chrono::steady_clock::now() + window;
    std::size_t done = 0;
    while (done < bytes.size()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw_errno("write");
        }
        pollfd out{fd_, POLLOUT, 0};
        ::poll(&out, 1, static_cast<int>(left.count()) + 1);
    }
    return done;
}

void TestPort::write(std::initializer_list<std::uint8_t> bytes) {
    write(std::span(bytes.begin(), bytes.size()));
}

std::vector<std::uint8_t> TestPort::read(std::size_t count, std::chrono::milliseconds timeout) {
    // A device that has hung up is read no further; what came before it is what the test sees.
    bool hung_up = false;
    return read_from(fd_, count, timeout, hung_up);
}

std::vector<std::uint8_t> TestPort::read_for(std::chrono::milliseconds window) {
    return read(static_cast<std::size_t>(-1), window);
}

}  // namespace sim_test
