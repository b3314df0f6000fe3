// What the operating system tells of an open serial device beyond what Qt does: whether it has
// hung up, how much its transmit queue holds, waits on it, and writes that never wait. Every
// system-specific call of the serial layer is here; where a system has no such call, the probe
// answers "nothing known" or falls back on Qt.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class QSerialPort;

namespace flashupdate::probes {

// Whether hungUp() can tell at all on this system.
bool canTellHangUps();
// The device hung up or its descriptor is no longer valid (POLLHUP, POLLERR, POLLNVAL).
bool hungUp(QSerialPort& port);

// Bytes written and not yet sent: Qt's buffer and the system's transmit queue (TIOCOUTQ).
std::size_t transmitQueued(QSerialPort& port);

// Why an opening failed where Qt's error alone cannot tell: this account may not read and write
// the device (else a permission error is another program's lock), and the process or the system
// has no descriptors left.
bool mayReadAndWrite(const std::string& path);
bool outOfDescriptors();

// Bytes our side of a connection still holds, unsent or unacknowledged (SIOCOUTQ); 0 where the
// system cannot tell.
std::size_t socketQueued(long long descriptor);
// Ends our side of a connection (a half close), so the far end sees every byte before its end.
void shutdownSending(long long descriptor);
// Acknowledges what arrives at once for a while (TCP_QUICKACK), not up to 40 ms later: a server
// that waits for our acknowledgement before it sends its next small piece (Nagle's rule, which
// ser2net keeps) would otherwise hold each of its answers that long. Nothing where the system
// has no such switch.
void acknowledgeAtOnce(long long descriptor);

// Makes this opening the device's only one, whatever name it was opened by (a symbolic link, a
// by-id alias): an exclusive lock on the device itself (flock), and no further openings
// (TIOCEXCL, which root passes). False when another opening already holds the lock.
bool lockExclusively(QSerialPort& port);

struct WriteOutcome {
    std::size_t taken = 0;  // 0 when the device's buffer is full
    bool gone = false;      // EIO, ENXIO, ENODEV or EBADF: the device is no longer there
    std::string error;      // any other failure, in the system's words
};

// Hands bytes to the device without waiting. On Unix they go to the descriptor directly, so a
// full buffer shows for what it is (EAGAIN) and exactly what the device took is known.
WriteOutcome writeNow(QSerialPort& port, std::string_view bytes);

}  // namespace flashupdate::probes
