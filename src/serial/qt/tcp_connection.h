// The connection to a serial device server on QTcpSocket. Qt's read buffer is bounded, so what
// a server sends waits in the system until it is read; our kernel's send buffer is kept small,
// so a far end that takes nothing shows in our own queue soon. TlsConnection builds on it.
#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <memory>

#include "serial/connection.h"

class QTcpSocket;

namespace flashupdate {

class TcpConnection : public QObject, public Connection {
public:
    TcpConnection();
    ~TcpConnection() override;

    void connectTo(const std::string& host, std::uint16_t port) override;
    std::string read(std::size_t most) override;
    void write(std::string_view bytes) override;
    std::size_t queued() override;
    void endSending() override;
    void abort() override;

protected:
    explicit TcpConnection(std::unique_ptr<QTcpSocket> socket);

    QTcpSocket& socket() const { return *m_socket; }
    // The server has taken the connection: a plain connection is ready for the line.
    virtual void tcpConnected();
    // Ready for the line: bytes written now go to the server.
    virtual bool carrying() const;
    // Bytes Qt holds for sending besides its plain buffer.
    virtual qint64 heldBeyondBuffer() const { return 0; }
    // Why the connection ended, once it has.
    virtual SerialError whyEnded(QAbstractSocket::SocketError error) const;
    // Tells the listener, once, that the connection is ready, or that it has ended.
    void tellConnected();
    void end(const SerialError& error);
    bool endedByServer(QAbstractSocket::SocketError error) const;
    bool nothingRead() const { return m_bytesRead == 0; }

private:
    void setSocketOptions();

    std::unique_ptr<QTcpSocket> m_socket;
    bool m_ended = false;
    std::size_t m_bytesRead = 0;
    // The server's first bytes were a TLS record: it expects a handshake, not Telnet.
    bool m_answeredInTls = false;
};

}  // namespace flashupdate
