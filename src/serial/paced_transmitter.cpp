#include "serial/paced_transmitter.h"

#include <algorithm>
#include <string>

#include "serial/serial_port.h"

namespace flashupdate {

namespace {

// Shorter sleeps would only add wake-ups: a byte takes about 1 ms at 9600 baud.
constexpr Nanos kShortestSleep = std::chrono::milliseconds(1);
// How long one wait for room in a full device lasts before the stall limit is checked again.
constexpr Nanos kRoomSlice = std::chrono::milliseconds(100);

}  // namespace

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

void PacedTransmitter::write(std::string_view bytes) {
    Nanos lastProgress = m_device.now();
    std::size_t lastQueued = m_device.queued();
    const auto checkStall = [&](Nanos now) {
        if (now - lastProgress > kStallLimit) {
            throw SerialError("the device takes no more data", PortErrorKind::Stalled);
        }
    };
    while (!bytes.empty()) {
        const Nanos now = m_device.now();
        const std::size_t queued = m_device.queued();
        if (queued < lastQueued) {
            lastProgress = now;
        }
        lastQueued = queued;
        const std::size_t pending = std::max(notCarriedByLineTime(now), queued);
        if (pending >= kAheadLimit) {
            // Only a queue the device itself cannot empty is a stall; the line time always runs.
            if (queued >= kAheadLimit) {
                checkStall(now);
            }
            m_device.sleepFor(std::max(timeFor(pending - kResumeAt), kShortestSleep));
            continue;
        }
        const std::size_t taken =
            m_device.handOver(bytes.substr(0, std::min(kAheadLimit - pending, bytes.size())));
        if (taken > 0) {
            took(taken, now);
            bytes.remove_prefix(taken);
            lastProgress = now;
            continue;
        }
        // A full buffer is backpressure: the device makes room as the line empties it.
        checkStall(now);
        m_device.awaitRoom(kRoomSlice);
    }
}

bool PacedTransmitter::drain(Nanos limit) {
    const Nanos deadline = m_device.now() + limit;
    for (;;) {
        const Nanos now = m_device.now();
        const std::size_t pending = notCarriedAt(now);
        if (pending == 0) {
            return true;
        }
        if (now >= deadline) {
            return false;
        }
        m_device.sleepFor(std::clamp(timeFor(pending), kShortestSleep, deadline - now));
    }
}

}  // namespace flashupdate
