// The transmit side of a serial port, kept to the line's own pace.
//
// Bytes are handed to the device no faster than the line carries them at the settings in force,
// at most about kAheadLimit bytes ahead of the line time. That holds on every transport, also on
// those that hide their queue (pseudo-terminals, network bridges, USB adapters with deep
// buffers), so the progress a caller shows and the pauses it keeps after its writes follow what
// the instrument has really received. Nothing here waits: the caller is driven from an event
// loop. room() says what may be handed over now, took() counts what was, whenRoom() says when
// the line time makes room again, and notCarriedOrStalled() tells a device that has stopped.
//
// Production binds TransmitDevice to the operating system's descriptor; tests bind it to a line
// on virtual time.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

#include "serial/line_settings.h"

namespace flashupdate {

using Nanos = std::chrono::nanoseconds;

// What the pacing needs from a device. Nothing here waits or handles events.
class TransmitDevice {
public:
    virtual ~TransmitDevice() = default;
    // A monotonic clock.
    virtual Nanos now() = 0;
    // Bytes the device itself reports as not yet sent; 0 where it cannot tell.
    virtual std::size_t queued() = 0;
};

class PacedTransmitter {
public:
    // Bytes that may be handed over ahead of the line; a single write of this size is taken
    // whole. Once reached, writing resumes when the line has brought it down to kResumeAt, so a
    // run of one-byte writes wakes twice a second at 9600 baud rather than for every byte.
    static constexpr std::size_t kAheadLimit = 1024;
    static constexpr std::size_t kResumeAt = kAheadLimit / 2;
    // A device that takes no byte and carries none for this long no longer takes data.
    static constexpr std::chrono::milliseconds kStallLimit{10'000};

    explicit PacedTransmitter(TransmitDevice& device) : m_device(device) {}

    // The line's speed and format; bytes already handed over keep their place in the reckoning.
    void setSettings(const LineSettings& settings);
    // Bytes the line has not yet carried: by the line time, or by the device's own count when
    // that is higher.
    std::size_t notCarried();
    // The same, for a caller that waits until it is 0: throws SerialError (stalled) once the
    // device's own queue has held bytes for kStallLimit without carrying any, for such a wait
    // would never end.
    std::size_t notCarriedOrStalled();
    // Forgets the bytes handed over but not yet carried: they have been discarded.
    void discard();

    // Bytes that may be handed over at now, in one piece: up to kAheadLimit ahead of the line,
    // and, once that has been reached, nothing until the line has brought it down to kResumeAt.
    std::size_t room(Nanos now);
    // bytes were handed over at now.
    void took(std::size_t bytes, Nanos now);
    // When the line time alone will give room() again; the device's own queue may hold it
    // longer.
    Nanos whenRoom() const;
    // When the line time says the line has carried every byte handed over.
    Nanos lineFreeAt() const { return m_lineFreeAt; }
    // How long the line takes to carry bytes at the settings in force.
    Nanos timeFor(std::size_t bytes) const;

private:
    std::size_t notCarriedByLineTime(Nanos now) const;
    std::size_t notCarriedAt(Nanos now);

    TransmitDevice& m_device;
    Nanos m_byteTime{static_cast<Nanos::rep>(1e9 * LineSettings{}.secondsPerByte())};
    // When the line will have carried the last byte handed over.
    Nanos m_lineFreeAt{0};
    // The device's queue as last seen by notCarriedOrStalled, and since when it has not shrunk.
    std::size_t m_watchedQueue = 0;
    Nanos m_queueStuckSince{0};
    // room() reached kAheadLimit and waits for kResumeAt.
    bool m_held = false;
};

}  // namespace flashupdate
