#include "serial/serial_control.h"

#include "serial/port_names.h"

namespace flashupdate {

SerialControl::SerialControl(const PortMap& map) : m_local(map), m_network(map) {
    m_local.setOnComm([this] { raiseOnComm(); });
    m_network.setOnComm([this] { raiseOnComm(); });
}

void SerialControl::setSettings(const std::string& settings) {
    m_local.setSettings(settings);
    m_network.setSettings(settings);
}

void SerialControl::setCommPort(int port) {
    m_local.setCommPort(port);
    m_network.setCommPort(port);
}

void SerialControl::setPortOpen(bool open) {
    if (!open) {
        m_active->setPortOpen(false);
        return;
    }
    SerialPort* chosen = isNetworkPortName(devicePath()) ? static_cast<SerialPort*>(&m_network)
                                                         : static_cast<SerialPort*>(&m_local);
    // An earlier run may have left the other transport open.
    if (chosen != m_active && m_active->portOpen()) {
        m_active->setPortOpen(false);
    }
    m_active = chosen;
    m_active->setPortOpen(true);
}

void SerialControl::setInputLen(int length) {
    m_local.setInputLen(length);
    m_network.setInputLen(length);
}

void SerialControl::setRThreshold(int threshold) {
    m_local.setRThreshold(threshold);
    m_network.setRThreshold(threshold);
}

void SerialControl::setSThreshold(int threshold) {
    m_local.setSThreshold(threshold);
    m_network.setSThreshold(threshold);
}

void SerialControl::setRTSEnable(bool enable) {
    m_local.setRTSEnable(enable);
    m_network.setRTSEnable(enable);
}

void SerialControl::setDiagnostics(const std::function<void(const std::string&)>& diagnostics) {
    m_local.setDiagnostics(diagnostics);
    m_network.setDiagnostics(diagnostics);
}

}  // namespace flashupdate
