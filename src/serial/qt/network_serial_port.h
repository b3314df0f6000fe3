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

#include <memory>
#include <string>

#include "serial/qt/paced_serial_port.h"
#include "serial/rfc2217_client.h"

class QTcpSocket;

namespace flashupdate {

class NetworkSerialPort final : public PacedSerialPort {
public:
    // How long connecting may take.
    static constexpr int kConnectLimitMs = 5000;

    explicit NetworkSerialPort(PortMap map, QObject* parent = nullptr);
    ~NetworkSerialPort() override;

    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override;
    void setPortOpen(bool open) override;
    void setRTSEnable(bool enable) override;
    void setInBufferCount(int count) override;
    void setOutBufferCount(int count) override;
    ByteText input() override;

private:
    class Link;
    class Device;

    void open();
    void closeAfterDrain();
    void endConnection();
    void takeFromConnection();
    [[noreturn]] void failOpening(const std::string& reason);

    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<Link> m_link;
    std::unique_ptr<Rfc2217Client> m_client;
    // Set while the client waits for the server's answers, which read the connection themselves.
    bool m_awaiting = false;
};

}  // namespace flashupdate
