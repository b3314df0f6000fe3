#include "serial/serial_control.h"

#include <algorithm>
#include <iostream>
#include <utility>

#include "common/scoped_flag.h"

namespace flashupdate {

namespace {

void toStandardError(const std::string& text) {
    std::cerr << "flashupdate: " << text << std::endl;
}

// A wait for room in a full medium is a short sleep: nothing tells when room is made on every
// medium, and the stall limit is checked between two.
constexpr std::chrono::milliseconds kRoomWait{10};

}  // namespace

SerialControl::SerialControl(PortMap map, EventLoop& events, TransportFactory transports)
    : m_map(std::move(map)),
      m_events(events),
      m_transports(std::move(transports)),
      m_settings(LineSettings::parse("9600,N,8,1")),
      m_diagnostics(toStandardError),
      m_transmit(*this),
      m_settle(events, [this] {
          m_commEvent = comEvReceive;
          raiseOnComm();
      }) {
    m_transmit.setSettings(m_settings);
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
        close();
    }
    m_commPort = port;
}

void SerialControl::setPortOpen(bool open) {
    if (open) {
        if (portOpen()) {
            throw SerialError("port already open");
        }
        this->open();
    } else if (m_transport) {
        close();
    }
}

void SerialControl::open() {
    // A line that failed is let go before another opening.
    m_transport.reset();
    m_gone = false;
    m_goneReason.clear();
    m_transmit.discard();
    forgetReceived();
    const std::string path = devicePath();
    std::unique_ptr<Transport> transport = m_transports(path, m_events);
    transport->setListener(this);
    try {
        transport->open(path, m_settings, m_rtsEnable);
    } catch (const SerialError& error) {
        const std::string remedy = transport->remedyFor(error);
        m_diagnostics("cannot open " + path + ": " + error.what() +
                      (remedy.empty() ? "" : "\n  " + remedy));
        throw SerialError("cannot open " + path + ": " + error.what(), error.kind());
    }
    const Transport::BurstTiming timing = transport->burstTiming();
    m_settle.setTiming(static_cast<int>(timing.quiet.count()),
                       static_cast<int>(timing.longest.count()));
    m_transport = std::move(transport);
    // Whatever came while opening belongs to nobody.
    forgetReceived();
}

void SerialControl::close() {
    const ScopedFlag closing(m_closing);
    forgetReceived();
    // However closing ends (a stop while the last bytes leave), the medium is let go.
    struct LetGo {
        SerialControl& control;
        ~LetGo() {
            control.m_transport.reset();
            control.m_transmit.discard();
            control.forgetReceived();
        }
    } letGo{*this};
    try {
        // A final command must reach the instrument before the port lets go of it; a line gone
        // meanwhile has nothing left to wait for, and closing never fails.
        if (!m_gone) {
            m_transmit.drain(kCloseDrainLimit);
        }
    } catch (const SerialError&) {
    }
    m_transport->close();
}

void SerialControl::setRTSEnable(bool enable) {
    m_rtsEnable = enable;
    if (portOpen()) {
        m_transport->setRts(enable);
    }
}

void SerialControl::setInBufferCount(int count) {
    if (count != 0) {
        throw SerialError("only 0 may be written to the receive count", PortErrorKind::Settings);
    }
    if (portOpen()) {
        m_transport->purgeInput();
    }
    forgetReceived();
}

void SerialControl::setOutBufferCount(int count) {
    if (count != 0) {
        throw SerialError("only 0 may be written to the transmit count", PortErrorKind::Settings);
    }
    if (portOpen()) {
        // What the medium still holds; what has already left our side is beyond recall.
        m_transport->purgeOutput();
        m_transmit.discard();
    }
}

int SerialControl::outBufferCount() {
    requireOpen("reading the transmit count");
    try {
        return static_cast<int>(m_transmit.notCarriedOrStalled());
    } catch (const SerialError& error) {
        checkGone();
        throw SerialError(devicePath() + ": " + error.what(), error.kind());
    }
}

void SerialControl::output(const ByteText& data) {
    requireOpen("writing");
    try {
        m_transmit.write(data);
    } catch (const SerialError& error) {
        checkGone();
        throw SerialError(devicePath() + ": " + error.what(), error.kind());
    }
}

ByteText SerialControl::input() {
    return std::exchange(m_received, {});
}

void SerialControl::bytesArrived(std::string_view bytes) {
    if (m_observer) {
        m_observer(Direction::Received, now(), bytes, m_settings.baudRate);
    }
    const std::size_t room = kReceiveLimit - std::min(kReceiveLimit, m_received.size());
    m_received.append(bytes.substr(0, std::min(room, bytes.size())));
    if (m_rThreshold > 0) {
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
    const std::string remedy = m_transport ? m_transport->remedyFor(error) : std::string();
    m_diagnostics(devicePath() + ": " + m_goneReason + (remedy.empty() ? "" : "\n  " + remedy));
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

void SerialControl::awaitRoom(Nanos limit) {
    m_events.pumpWaitFor(std::min(limit, Nanos(kRoomWait)));
    checkGone();
}

void SerialControl::requireOpen(const char* operation) const {
    if (m_gone) {
        throw SerialError(std::string(operation) + ": " + m_goneReason, m_goneKind);
    }
    if (!m_transport) {
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
