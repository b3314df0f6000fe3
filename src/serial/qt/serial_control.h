// The serial control the front ends use: Com1 to Com4 through the port map, each opening bound to
// the transport its device name asks for, a local device (QtSerialPort) or a line behind a
// serial device server, "rfc2217://HOST:PORT" (NetworkSerialPort). The settings the procedure
// writes before an opening reach both, so whichever opens has them.
#pragma once

#include <functional>
#include <string>

#include "serial/qt/network_serial_port.h"
#include "serial/qt/qt_serial_port.h"

namespace flashupdate {

class SerialControl final : public SerialPort {
public:
    explicit SerialControl(const PortMap& map);

    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override { return m_active->portOpen(); }
    void setPortOpen(bool open) override;
    void setInputLen(int length) override;
    void setRThreshold(int threshold) override;
    void setSThreshold(int threshold) override;
    void setRTSEnable(bool enable) override;
    void setInBufferCount(int count) override { m_active->setInBufferCount(count); }
    void setOutBufferCount(int count) override { m_active->setOutBufferCount(count); }
    int outBufferCount() override { return m_active->outBufferCount(); }
    void output(const ByteText& data) override { m_active->output(data); }
    ByteText input() override { return m_active->input(); }
    int commEvent() const override { return m_active->commEvent(); }

    const PortMap& portMap() const { return m_local.portMap(); }
    void setDiagnostics(const std::function<void(const std::string&)>& diagnostics);
    // The device the next opening uses.
    std::string devicePath() const { return m_local.devicePath(); }

private:
    // What is set before an opening reaches both bindings.
    template <typename Setting>
    void forBoth(Setting setting) {
        setting(static_cast<PacedSerialPort&>(m_local));
        setting(static_cast<PacedSerialPort&>(m_network));
    }

    QtSerialPort m_local;
    NetworkSerialPort m_network;
    PacedSerialPort* m_active = &m_local;
};

}  // namespace flashupdate
