#include "pseudo_terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace instrument_sim {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int baud_of(speed_t speed) {
    static constexpr std::array<std::pair<speed_t, int>, 31> kSpeeds{{
        {B0, 0},
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B500000, 500000},
        {B576000, 576000},
        {B921600, 921600},
        {B1000000, 1000000},
        {B1152000, 1152000},
        {B1500000, 1500000},
        {B2000000, 2000000},
        {B2500000, 2500000},
        {B3000000, 3000000},
        {B3500000, 3500000},
        {B4000000, 4000000},
    }};
    for (auto [code, baud] : kSpeeds) {
        if (code == speed) {
            return baud;
        }
    }
    return 0;
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_fd_ < 0) {
        throw_errno("posix_openpt");
    }
    try {
        // Non-blocking so a stalled tool can never freeze the instrument; the
        // main loop waits in ppoll instead.
        if (fcntl(master_fd_, F_SETFD, FD_CLOEXEC) < 0 ||
            fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK) < 0) {
            throw_errno("fcntl on pty master");
        }
        if (grantpt(master_fd_) < 0) {
            throw_errno("grantpt");
        }
        if (unlockpt(master_fd_) < 0) {
            throw_errno("unlockpt");
        }
        std::array<char, 128> name{};
        if (int err = ptsname_r(master_fd_, name.data(), name.size()); err != 0) {
            errno = err;
            throw_errno("ptsname_r");
        }
        device_path_ = name.data();

        slave_fd_ = ::open(device_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_fd_ < 0) {
            throw_errno("open " + device_path_);
        }
        // Raw from the start: a cooked slave would echo the tool's first bytes back
        // to it and mangle CR/LF before the tool gets round to configuring the port.
        termios settings{};
        if (tcgetattr(slave_fd_, &settings) < 0) {
            throw_errno("tcgetattr " + device_path_);
        }
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        // Idle at the command speed. A serial library may put back the settings it found when
        // it closes the port, and on a pseudo-terminal that can happen before we have read the
        // last bytes written, so a final "X" would be read at the idle speed.
        cfsetispeed(&settings, B9600);
        cfsetospeed(&settings, B9600);
        if (tcsetattr(slave_fd_, TCSANOW, &settings) < 0) {
            throw_errno("tcsetattr " + device_path_);
        }
    } catch (...) {
        if (slave_fd_ >= 0) {
            ::close(slave_fd_);
        }
        ::close(master_fd_);
        throw;
    }
}

PseudoTerminal::~PseudoTerminal() {
    ::close(slave_fd_);
    ::close(master_fd_);
}

LineFormat PseudoTerminal::line_format() const {
    termios settings{};
    if (tcgetattr(slave_fd_, &settings) < 0) {
        return LineFormat{};
    }
    // Linux ptys force 8 data bits without parity, so today only the stop bits
    // vary; the rest is read all the same, so the count stays right wherever the
    // slave keeps them.
    int data_bits = 8;
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            data_bits = 5;
            break;
        case CS6:
            data_bits = 6;
            break;
        case CS7:
            data_bits = 7;
            break;
        default:
            break;
    }
    const int parity_bits = (settings.c_cflag & PARENB) != 0 ? 1 : 0;
    const int stop_bits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 1;
    // The speed the tool transmits at is what decides how the instrument hears it.
    return LineFormat{baud_of(cfgetospeed(&settings)), 1 + data_bits + parity_bits + stop_bits};
}

std::size_t PseudoTerminal::waiting() const {
    int count = 0;
    if (::ioctl(master_fd_, FIONREAD, &count) < 0 || count < 0) {
        return 0;
    }
    return static_cast<std::size_t>(count);
}

ssize_t PseudoTerminal::read(std::span<std::uint8_t> buffer) {
    for (;;) {
        ssize_t n = ::read(master_fd_, buffer.data(), buffer.size());
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        return -1;
    }
}

ssize_t PseudoTerminal::write(std::span<const std::uint8_t> bytes) {
    for (;;) {
        ssize_t n = ::write(master_fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

}  // namespace instrument_sim
