#include "serial/qt/paced_serial_port.h"

#include "serial/qt/qt_event_loop.h"
#include "serial/qt/serial_diagnostics.h"

namespace flashupdate {

namespace {

// Closing waits at most this long for written bytes to leave the line.
constexpr auto kCloseDrainLimit = std::chrono::milliseconds(2'000);

}  // namespace

PacedSerialPort::PacedSerialPort(PortMap map, std::unique_ptr<TransmitDevice> device,
                                 QObject* parent)
    : QObject(parent),
      m_map(std::move(map)),
      m_settings(LineSettings::parse("9600,N,8,1")),
      m_diagnostics(toStandardError),
      m_device(std::move(device)),
      m_transmit(*m_device) {
    m_transmit.setSettings(m_settings);
    QtEventLoop events;
    m_settle = std::make_unique<ReceiveSettle>(events, [this] {
        m_commEvent = comEvReceive;
        raiseOnComm();
    });
}

PacedSerialPort::~PacedSerialPort() = default;

void PacedSerialPort::checkPortNumber(int port) {
    if (port < PortMap::kFirstPort || port > PortMap::kLastPort) {
        throw SerialError("no serial port Com" + std::to_string(port));
    }
}

void PacedSerialPort::takeSettings(const std::string& settings) {
    m_settings = LineSettings::parse(settings);
    m_transmit.setSettings(m_settings);
}

int PacedSerialPort::outBufferCount() {
    requireOpen("reading the transmit count");
    return static_cast<int>(m_transmit.notCarried());
}

void PacedSerialPort::output(const ByteText& data) {
    requireOpen("writing");
    try {
        m_transmit.write(data);
    } catch (const SerialError& error) {
        checkGone();
        throw SerialError(devicePath() + ": " + error.what());
    }
}

void PacedSerialPort::requireOpen(const char* operation) const {
    if (m_gone) {
        throw SerialError(std::string(operation) + ": " + m_goneReason);
    }
    if (!portOpen()) {
        throw SerialError(std::string(operation) + ": port is not open");
    }
}

void PacedSerialPort::checkGone() {
    if (m_gone) {
        throw SerialError(devicePath() + ": " + m_goneReason);
    }
}

bool PacedSerialPort::markGone(const std::string& reason, const std::string& remedy) {
    if (m_gone) {
        return false;
    }
    m_gone = true;
    m_goneReason = reason;
    m_diagnostics(devicePath() + ": " + reason + (remedy.empty() ? "" : "\n  " + remedy));
    return true;
}

void PacedSerialPort::bytesReceived(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    m_received += bytes;
    if (m_rThreshold > 0) {
        m_settle->bytesArrived();
    }
}

ByteText PacedSerialPort::takeReceived(std::string_view readNow) {
    m_received += readNow;
    return std::exchange(m_received, {});
}

void PacedSerialPort::forgetReceived() {
    m_received.clear();
    m_settle->cancel();
}

void PacedSerialPort::drainBeforeClosing() {
    try {
        if (!m_gone) {
            m_transmit.drain(kCloseDrainLimit);
        }
    } catch (const SerialError&) {
    }
}

}  // namespace flashupdate
