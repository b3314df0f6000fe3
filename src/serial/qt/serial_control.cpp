#include "serial/qt/serial_control.h"

#include "serial/port_names.h"

namespace flashupdate {

SerialControl::SerialControl(const PortMap& map) : m_local(map), m_network(map) {
    forBoth([this](PacedSerialPort& port) { port.setOnComm([this] { raiseOnComm(); }); });
}

void SerialControl::setSettings(const std::string& settings) {
    forBoth([&](PacedSerialPort& port) { port.setSettings(settings); });
}

void SerialControl::setCommPort(int port) {
    forBoth([&](PacedSerialPort& binding) { binding.setCommPort(port); });
}

void SerialControl::setPortOpen(bool open) {
    if (!open) {
        m_active->setPortOpen(false);
        return;
    }
    PacedSerialPort* chosen = isNetworkPortName(devicePath())
                                  ? static_cast<PacedSerialPort*>(&m_network)
                                  : static_cast<PacedSerialPort*>(&m_local);
    // An earlier run may have left the other transport open.
    if (chosen != m_active && m_active->portOpen()) {
        m_active->setPortOpen(false);
    }
    m_active = chosen;
    m_active->setPortOpen(true);
}

void SerialControl::setInputLen(int length) {
    forBoth([&](PacedSerialPort& port) { port.setInputLen(length); });
}

void SerialControl::setRThreshold(int threshold) {
    forBoth([&](PacedSerialPort& port) { port.setRThreshold(threshold); });
}

void SerialControl::setSThreshold(int threshold) {
    forBoth([&](PacedSerialPort& port) { port.setSThreshold(threshold); });
}

void SerialControl::setRTSEnable(bool enable) {
    forBoth([&](PacedSerialPort& port) { port.setRTSEnable(enable); });
}

void SerialControl::setDiagnostics(const std::function<void(const std::string&)>& diagnostics) {
    forBoth([&](PacedSerialPort& port) { port.setDiagnostics(diagnostics); });
}

}  // namespace flashupdate
