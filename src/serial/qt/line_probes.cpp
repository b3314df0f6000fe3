#include "serial/qt/line_probes.h"

#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

void waitWritable(QSerialPort& port, int milliseconds) {
    pollfd descriptor{descriptorOf(port), POLLOUT, 0};
    ::poll(&descriptor, 1, milliseconds);
}

void drainTransmitter(QSerialPort& port) {
    ::tcdrain(descriptorOf(port));
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

void waitWritable(QSerialPort& port, int milliseconds) {
    if (!port.waitForBytesWritten(milliseconds) && port.error() == QSerialPort::TimeoutError) {
        port.clearError();
    }
}

void drainTransmitter(QSerialPort&) {}

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
