#include "serial/serial_control.h"

#include <algorithm>
#include <iostream>
#include <limits>
#include <utility>

namespace flashupdate {

namespace {

void toStandardError(const std::string& text) {
    std::cerr << "flashupdate: " << text << std::endl;
}

// A full medium is looked at again this soon: nothing tells when room is made on every medium,
// and the stall limit is checked between two looks. A device's own queue is looked at as
// often while it holds bytes the line time says are carried.
constexpr std::chrono::milliseconds kRoomWait{10};

}  // namespace

SerialControl::SerialControl(PortMap map, EventLoop& events, TransportFactory transports)
    : m_map(std::move(map)),
      m_events(events),
      m_transports(std::move(transports)),
      m_settings(LineSettings::parse("9600,N,8,1")),
      m_diagnostics(toStandardError),
      m_transmit(*this),
      m_settle(events, [this] { receiveSettled(); }),
      m_wake(events.createTimer()) {
    m_transmit.setSettings(m_settings);
    m_wake->setOnTick([this] {
        m_wake->setEnabled(false);
        service();
    });
}

SerialControl::~SerialControl() {
    if (m_transport) {
        m_transport->purgeOutput();
        m_transport.reset();
    }
}

void SerialControl::setSettings(const std::string& settings) {
    const LineSettings parsed = LineSettings::parse(settings);
    m_settings = parsed;
    m_transmit.setSettings(m_settings);
    if (portOpen()) {
        m_transport->applySettings(m_settings);
    }
}

void SerialControl::setCommPort(int port) {
    if (port < PortMap::kFirstPort || port > PortMap::kLastPort) {
        throw SerialError("no serial port Com" + std::to_string(port), PortErrorKind::Missing);
    }
    if (portOpen()) {
        if (port == m_commPort) {
            // The same port, left open by an earlier run: it goes on with the settings in force.
            m_transport->applySettings(m_settings);
            return;
        }
        // Another port left open by an earlier run would otherwise fail every later run.
        dropLine();
    }
    m_commPort = port;
}

void SerialControl::dropLine() {
    m_transport->purgeOutput();
    m_transport.reset();
    m_transmit.discard();
    forgetReceived();
    m_wantWritable = false;
    m_wantDrained = false;
    schedule();
}

void SerialControl::startOpening() {
    // A line that failed is let go before another opening.
    m_transport.reset();
    m_gone = false;
    m_lostTold = false;
    m_goneReason.clear();
    m_transmit.discard();
    forgetReceived();
    m_openFailure.reset();
    m_mediumFull = false;
    m_outputPurged = false;
    m_wantWritable = false;
    m_wantDrained = false;
    const std::string path = devicePath();
    m_transport = m_transports(path, m_events);
    m_transport->setListener(this);
    m_opening = true;
    // A medium that opens at once says so before this returns.
    m_transport->beginOpen(path, m_settings, m_rtsEnable);
}

void SerialControl::opened() {
    m_opening = false;
    const Transport::BurstTiming timing = m_transport->burstTiming();
    m_settle.setTiming(static_cast<int>(timing.quiet.count()),
                       static_cast<int>(timing.longest.count()));
    // Whatever came while opening belongs to nobody.
    forgetReceived();
    m_tellOpened = listener() != nullptr;
    schedule();
}

void SerialControl::openFailed(const SerialError& error) {
    m_opening = false;
    const std::string path = devicePath();
    m_diagnostics(withRemedy("cannot open " + path + ": " + error.what(), error.kind()));
    m_openFailure = SerialError("cannot open " + path + ": " + error.what(), error.kind());
    // Told from inside the medium's own call: it is destroyed once that has returned.
    m_departed = std::move(m_transport);
    m_tellOpenFailed = listener() != nullptr;
    schedule();
}

void SerialControl::closed() {
    m_mediumClosing = false;
    // Told from inside the medium's own call: it is destroyed once that has returned.
    m_departed = std::move(m_transport);
    m_transmit.discard();
    forgetReceived();
    if (m_closing) {
        m_closing = false;
        m_tellClosed = listener() != nullptr;
    }
    schedule();
}

void SerialControl::openAfterClose() {
    if (std::exchange(m_openAfterClose, false)) {
        beginOpen();
    }
}

void SerialControl::setRTSEnable(bool enable) {
    m_rtsEnable = enable;
    if (portOpen()) {
        m_transport->setRts(enable);
    }
}

void SerialControl::beginOpen() {
    if (m_opening) {
        return;
    }
    if (m_closing) {
        // The port closing is told closed first, then the new opening.
        m_openAfterClose = true;
        return;
    }
    if (portOpen()) {
        m_tellOpened = true;
        schedule();
        return;
    }
    startOpening();
}

std::size_t SerialControl::room() {
    return portOpen() ? m_transmit.room(now()) : 0;
}

std::size_t SerialControl::write(std::string_view bytes) {
    requireOpen("writing");
    const Nanos at = now();
    const std::size_t offered = std::min(m_transmit.room(at), bytes.size());
    if (offered == 0) {
        return 0;
    }
    std::size_t taken = 0;
    try {
        taken = handOver(bytes.substr(0, offered));
    } catch (const SerialError& error) {
        checkGone();
        throw SerialError(devicePath() + ": " + error.what(), error.kind());
    }
    m_transmit.took(taken, at);
    if (taken > 0) {
        m_lastTaken = at;
        m_outputPurged = false;
    }
    m_mediumFull = taken < offered;
    if (m_mediumFull) {
        m_refusedAt = at;
    }
    return taken;
}

void SerialControl::wantWritable() {
    m_wantWritable = true;
    schedule();
}

void SerialControl::wantDrained() {
    m_wantDrained = true;
    schedule();
}

std::size_t SerialControl::notCarried() {
    return portOpen() ? m_transmit.notCarried() : 0;
}

void SerialControl::purgeInput() {
    if (portOpen()) {
        m_transport->purgeInput();
    }
    forgetReceived();
}

void SerialControl::purgeOutput() {
    if (portOpen()) {
        // What the medium still holds; what has already left our side is beyond recall.
        m_transport->purgeOutput();
        m_transmit.discard();
    }
    m_mediumFull = false;
    m_outputPurged = true;
}

void SerialControl::beginClose() {
    m_openAfterClose = false;
    m_wantWritable = false;
    m_wantDrained = false;
    m_tellOpened = false;
    m_tellOpenFailed = false;
    m_openFailure.reset();
    forgetReceived();
    if (m_closing) {
        return;
    }
    if (!m_transport || m_opening) {
        // Nothing is open, or an opening is given up: there is nothing to carry.
        m_opening = false;
        m_transport.reset();
        m_tellClosed = true;
        schedule();
        return;
    }
    m_closing = true;
    m_closeDeadline = now() + kCloseDrainLimit;
    schedule();
}

void SerialControl::service() {
    m_departed.reset();
    const Nanos at = now();
    if (m_tellOpenFailed) {
        m_tellOpenFailed = false;
        const SerialError failure = *m_openFailure;
        m_openFailure.reset();
        if (listener() != nullptr) {
            listener()->portOpenFailed(failure);
        }
    }
    if (m_tellOpened) {
        m_tellOpened = false;
        if (listener() != nullptr) {
            listener()->portOpened();
        }
    }
    if (m_closing && !m_mediumClosing && m_transport && closeDueAt(at) <= at) {
        m_mediumClosing = true;
        // A medium that lets go at once says so before this returns.
        m_transport->beginClose();
    } else if (!m_closing && portOpen()) {
        checkStalled(at);
        if (m_wantDrained && !m_gone && drainedDueAt(at) <= at) {
            m_wantDrained = false;
            if (listener() != nullptr) {
                listener()->portDrained();
            }
        }
        if (m_wantWritable && portOpen() && writableDueAt(at) <= at) {
            m_wantWritable = false;
            // Whether a full medium has made room shows only by offering it bytes again.
            m_mediumFull = false;
            if (listener() != nullptr) {
                listener()->portWritable();
            }
        }
    }
    if (m_gone && !m_lostTold && !m_closing && m_transport) {
        m_lostTold = true;
        m_wantWritable = false;
        m_wantDrained = false;
        if (listener() != nullptr) {
            listener()->portLost(goneError());
        }
    }
    if (m_tellClosed) {
        m_tellClosed = false;
        if (listener() != nullptr) {
            listener()->portClosed();
        }
        openAfterClose();
    }
    schedule();
}

void SerialControl::schedule() {
    const Nanos at = now();
    Nanos due = Nanos::max();
    if (m_departed || m_tellOpened || m_tellOpenFailed || m_tellClosed) {
        due = at;
    }
    if (m_closing) {
        if (!m_mediumClosing && m_transport) {
            due = std::min(due, closeDueAt(at));
        }
    } else if (m_gone) {
        if (!m_lostTold && !m_closing && m_transport && listener() != nullptr) {
            due = at;
        }
    } else if (portOpen() && !m_closing) {
        if (m_wantDrained) {
            due = std::min(due, drainedDueAt(at));
        }
        if (m_wantWritable) {
            due = std::min(due, writableDueAt(at));
        }
    }
    if (due == Nanos::max()) {
        m_wake->setEnabled(false);
        return;
    }
    // A timer's interval is whole milliseconds, and one of 0 never ticks.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - std::min(due, at));
    m_wake->startIn(static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        wait.count(), 1, std::numeric_limits<int>::max())));
}

Nanos SerialControl::writableDueAt(Nanos now) {
    if (m_transmit.room(now) == 0) {
        const Nanos roomAt = m_transmit.whenRoom();
        return roomAt > now ? roomAt : now + kRoomWait;
    }
    return m_mediumFull ? m_refusedAt + kRoomWait : now;
}

Nanos SerialControl::drainedDueAt(Nanos now) {
    const Nanos freeAt = m_transmit.lineFreeAt();
    if (freeAt > now) {
        return freeAt;
    }
    // A device slower than its settings, or one that counts its FIFO too.
    const std::size_t left = queued();
    return left == 0 ? now
                     : now + std::clamp(m_transmit.timeFor(left),
                                        Nanos(std::chrono::milliseconds(1)), Nanos(kRoomWait));
}

Nanos SerialControl::closeDueAt(Nanos now) {
    // What a medium still counts after a purge is beyond recall: a stop does not wait for it.
    if (m_gone || m_outputPurged || now >= m_closeDeadline) {
        return now;
    }
    return std::min(drainedDueAt(now), m_closeDeadline);
}

void SerialControl::checkStalled(Nanos now) {
    if (!m_wantWritable && !m_wantDrained) {
        return;
    }
    m_transport->checkLine();
    if (m_gone) {
        return;
    }
    try {
        // The device's own queue, when it has held bytes and carried none for the stall limit.
        m_transmit.notCarriedOrStalled();
    } catch (const SerialError& error) {
        lineLost(error);
        return;
    }
    if (m_wantWritable && m_mediumFull && now - m_lastTaken > PacedTransmitter::kStallLimit) {
        lineLost(SerialError("the device takes no more data", PortErrorKind::Stalled));
    }
}

SerialError SerialControl::goneError() const {
    return SerialError(devicePath() + ": " + m_goneReason, m_goneKind);
}

void SerialControl::receiveSettled() {
    if (listener() != nullptr && !m_received.empty()) {
        listener()->portReceived(std::exchange(m_received, {}));
    }
}

void SerialControl::bytesArrived(std::string_view bytes) {
    if (m_observer) {
        m_observer(Direction::Received, now(), bytes, m_settings.baudRate);
    }
    // Nothing is told of the line once it is being let go.
    if (m_closing) {
        return;
    }
    const std::size_t room = kReceiveLimit - std::min(kReceiveLimit, m_received.size());
    m_received.append(bytes.substr(0, std::min(room, bytes.size())));
    if (listener() != nullptr) {
        m_settle.bytesArrived();
    }
}

void SerialControl::lineLost(const SerialError& error) {
    if (m_gone) {
        return;
    }
    m_gone = true;
    m_goneKind = error.kind();
    m_goneReason = error.what();
    // Once the port is being let go, a line that ends (an instrument that restarts after its
    // session) changes nothing and is nobody's concern.
    if (m_closing) {
        return;
    }
    m_diagnostics(withRemedy(devicePath() + ": " + m_goneReason, error.kind()));
    schedule();
}

std::string SerialControl::withRemedy(const std::string& text, PortErrorKind kind) const {
    const std::string remedy =
        remedyOf(kind, m_transport ? m_transport->factsAbout(kind) : FailureFacts{});
    return remedy.empty() ? text : text + "\n  " + remedy;
}

void SerialControl::note(const std::string& text) {
    m_diagnostics(devicePath() + ": " + text);
}

std::size_t SerialControl::handOver(std::string_view bytes) {
    checkGone();
    try {
        const std::size_t taken = m_transport->write(bytes);
        if (m_observer && taken > 0) {
            m_observer(Direction::Sent, now(), bytes.substr(0, taken), m_settings.baudRate);
        }
        return taken;
    } catch (const SerialError&) {
        // The medium may have found out why only now.
        checkGone();
        throw;
    }
}

std::size_t SerialControl::queued() {
    return m_transport && !m_gone ? m_transport->queued() : 0;
}

void SerialControl::requireOpen(const char* operation) const {
    if (m_gone) {
        throw SerialError(std::string(operation) + ": " + m_goneReason, m_goneKind);
    }
    if (!m_transport || m_opening) {
        throw SerialError(std::string(operation) + ": port is not open", PortErrorKind::NotOpen);
    }
}

void SerialControl::checkGone() {
    if (!m_gone && m_transport) {
        m_transport->checkLine();
    }
    if (m_gone) {
        throw SerialError(devicePath() + ": " + m_goneReason, m_goneKind);
    }
}

void SerialControl::forgetReceived() {
    m_received.clear();
    m_settle.cancel();
}

}  // namespace flashupdate
