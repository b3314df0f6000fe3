// The window's serial control on a line behind a serial device server ("rfc2217://HOST:PORT"):
// a TCP connection speaking Telnet with the Com Port Control option (RFC 2217).
//
// It keeps the promises of the local binding. Writes keep the line's pace (PacedTransmitter);
// the connection hides the server's queue, so the line-time reckoning is all there is, and what
// the line has not yet carried is what OutBufferCount reads. Settings reach the server's line at
// once, checked against its answers. Received bytes are announced once per burst. A refused or
// failed connection, a reset, a server that closes, or a line that takes nothing for the stall
// limit is a port error with its reason; no wait is unbounded.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "serial/line_settings.h"
#include "serial/paced_transmitter.h"
#include "serial/port_map.h"
#include "serial/receive_settle.h"
#include "serial/rfc2217_client.h"
#include "serial/serial_port.h"

class QTcpSocket;

namespace flashupdate {

class NetworkSerialPort final : public QObject, public SerialPort {
public:
    // How long connecting may take.
    static constexpr int kConnectLimitMs = 5000;

    explicit NetworkSerialPort(PortMap map, QObject* parent = nullptr);
    ~NetworkSerialPort() override;

    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override;
    void setPortOpen(bool open) override;
    void setInputLen(int) override {}
    void setRThreshold(int threshold) override { m_rThreshold = threshold; }
    void setSThreshold(int) override {}
    void setRTSEnable(bool enable) override;
    void setInBufferCount(int count) override;
    void setOutBufferCount(int count) override;
    int outBufferCount() override;
    void output(const ByteText& data) override;
    ByteText input() override;
    int commEvent() const override { return m_commEvent; }

    void setDiagnostics(std::function<void(const std::string&)> diagnostics) {
        m_diagnostics = std::move(diagnostics);
    }
    std::string devicePath() const { return m_map.devicePath(m_commPort); }

private:
    class Link;
    class Device;

    void open();
    void closeAfterDrain();
    void endConnection();
    void requireOpen(const char* operation) const;
    void checkGone();
    void markGone(const std::string& reason);
    void takeFromConnection();
    void forgetReceived();
    [[noreturn]] void failOpening(const std::string& reason);

    PortMap m_map;
    int m_commPort = 1;
    LineSettings m_settings;
    bool m_rtsEnable = true;
    int m_rThreshold = 0;
    std::function<void(const std::string&)> m_diagnostics;
    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<Link> m_link;
    std::unique_ptr<Rfc2217Client> m_client;
    std::unique_ptr<Device> m_device;
    std::unique_ptr<PacedTransmitter> m_transmit;
    ByteText m_received;
    std::unique_ptr<ReceiveSettle> m_settle;
    // Set while the client waits for the server's answers, which read the connection themselves.
    bool m_awaiting = false;
    int m_commEvent = 0;
    bool m_gone = false;
    std::string m_goneReason;
};

}  // namespace flashupdate
