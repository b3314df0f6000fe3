#include "serial/paced_transmitter.h"

#include <algorithm>
#include <string>

#include "serial/serial_error.h"

namespace flashupdate {

void PacedTransmitter::setSettings(const LineSettings& settings) {
    const Nanos now = m_device.now();
    const std::size_t remaining = notCarriedByLineTime(now);
    m_byteTime = Nanos(static_cast<Nanos::rep>(1e9 * settings.secondsPerByte()));
    if (remaining > 0) {
        m_lineFreeAt = now + timeFor(remaining);
    }
}

Nanos PacedTransmitter::timeFor(std::size_t bytes) const {
    return m_byteTime * static_cast<Nanos::rep>(bytes);
}

std::size_t PacedTransmitter::notCarriedByLineTime(Nanos now) const {
    if (m_lineFreeAt <= now) {
        return 0;
    }
    const Nanos left = m_lineFreeAt - now;
    return static_cast<std::size_t>((left + m_byteTime - Nanos(1)) / m_byteTime);
}

std::size_t PacedTransmitter::notCarried() {
    return notCarriedAt(m_device.now());
}

std::size_t PacedTransmitter::notCarriedAt(Nanos now) {
    return std::max(notCarriedByLineTime(now), m_device.queued());
}

std::size_t PacedTransmitter::notCarriedOrStalled() {
    const Nanos now = m_device.now();
    const std::size_t queued = m_device.queued();
    if (queued == 0 || queued < m_watchedQueue) {
        m_queueStuckSince = now;
    }
    m_watchedQueue = queued;
    if (queued > 0 && now - m_queueStuckSince > kStallLimit) {
        throw SerialError("the device has carried nothing for " +
                              std::to_string(kStallLimit.count() / 1000) + " s",
                          PortErrorKind::Stalled);
    }
    return std::max(notCarriedByLineTime(now), queued);
}

void PacedTransmitter::discard() {
    m_lineFreeAt = m_device.now();
    m_watchedQueue = 0;
    m_held = false;
}

std::size_t PacedTransmitter::room(Nanos now) {
    const std::size_t pending = notCarriedAt(now);
    if (pending >= kAheadLimit) {
        m_held = true;
    }
    if (m_held && pending > kResumeAt) {
        return 0;
    }
    m_held = false;
    return kAheadLimit - pending;
}

void PacedTransmitter::took(std::size_t bytes, Nanos now) {
    if (bytes == 0) {
        return;
    }
    // A line that has been idle starts carrying the new bytes now.
    m_lineFreeAt = std::max(m_lineFreeAt, now) + timeFor(bytes);
    m_queueStuckSince = now;
}

Nanos PacedTransmitter::whenRoom() const {
    return m_lineFreeAt - timeFor(m_held ? kResumeAt : kAheadLimit - 1);
}

}  // namespace flashupdate
