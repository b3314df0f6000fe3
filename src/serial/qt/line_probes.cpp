#include "serial/qt/line_probes.h"

#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <fcntl.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#else
#include <winsock2.h>
#endif

namespace flashupdate::probes {

#ifdef Q_OS_UNIX

namespace {
int descriptorOf(QSerialPort& port) {
    return static_cast<int>(port.handle());
}
}  // namespace

bool canTellHangUps() {
    return true;
}

bool hungUp(QSerialPort& port) {
    pollfd descriptor{descriptorOf(port), 0, 0};
    return ::poll(&descriptor, 1, 0) > 0 &&
           (descriptor.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool lockExclusively(QSerialPort& port) {
    const int descriptor = descriptorOf(port);
    int result = 0;
    do {
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    // A file system without flock locks leaves only TIOCEXCL, as before.
    if (result != 0 && errno == EWOULDBLOCK) {
        return false;
    }
    ::ioctl(descriptor, TIOCEXCL);
    return true;
}

std::size_t transmitQueued(QSerialPort& port) {
    auto queued = static_cast<std::size_t>(port.bytesToWrite());
    int kernel = 0;
    if (::ioctl(descriptorOf(port), TIOCOUTQ, &kernel) == 0 && kernel > 0) {
        queued += static_cast<std::size_t>(kernel);
    }
    return queued;
}

bool mayReadAndWrite(const std::string& path) {
    return ::access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES;
}

bool outOfDescriptors() {
    // An opening needs two (the device and its lock file).
    const int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int second = first < 0 ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const bool out = second < 0 && (errno == EMFILE || errno == ENFILE);
    for (const int descriptor : {first, second}) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    return out;
}

std::size_t socketQueued(long long descriptor) {
#ifdef SIOCOUTQ
    int queued = 0;
    if (::ioctl(static_cast<int>(descriptor), SIOCOUTQ, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::size_t>(queued);
#else
    (void)descriptor;
    return 0;
#endif
}

void shutdownSending(long long descriptor) {
    ::shutdown(static_cast<int>(descriptor), SHUT_WR);
}

void acknowledgeAtOnce(long long descriptor) {
#ifdef TCP_QUICKACK
    const int on = 1;
    ::setsockopt(static_cast<int>(descriptor), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)descriptor;
#endif
}

WriteOutcome writeNow(QSerialPort& port, std::string_view bytes) {
    const ssize_t written = ::write(descriptorOf(port), bytes.data(), bytes.size());
    if (written >= 0) {
        return {static_cast<std::size_t>(written), false, {}};
    }
    switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
            return {};
        case EIO:
        case ENXIO:
        case ENODEV:
        case EBADF:
            return {0, true, {}};
        default:
            return {0, false, std::strerror(errno)};
    }
}

#else

bool canTellHangUps() {
    return false;
}

bool hungUp(QSerialPort&) {
    return false;
}

std::size_t transmitQueued(QSerialPort& port) {
    return static_cast<std::size_t>(port.bytesToWrite());
}

bool mayReadAndWrite(const std::string&) {
    return true;
}

bool outOfDescriptors() {
    return false;
}

std::size_t socketQueued(long long) {
    return 0;
}

void shutdownSending(long long descriptor) {
    ::shutdown(static_cast<SOCKET>(descriptor), SD_SEND);
}

void acknowledgeAtOnce(long long) {}

// Windows opens a serial device for one program only.
bool lockExclusively(QSerialPort&) {
    return true;
}

// Through Qt's own buffer, which the pacing keeps small.
WriteOutcome writeNow(QSerialPort& port, std::string_view bytes) {
    if (port.bytesToWrite() > 0 && !port.flush() && port.bytesToWrite() > 0) {
        return {};
    }
    port.write(bytes.data(), static_cast<qint64>(bytes.size()));
    port.flush();
    return {bytes.size(), false, {}};
}

#endif

}  // namespace flashupdate::probes
