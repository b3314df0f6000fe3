// The connection to a serial device server on QTcpSocket. Qt's read buffer is bounded, so what
// a server sends waits in the system until it is read; our kernel's send buffer is kept small,
// so a far end that takes nothing shows in our own queue soon.
#pragma once

#include <QObject>
#include <memory>

#include "serial/connection.h"

class QTcpSocket;

namespace flashupdate {

class TcpConnection final : public QObject, public Connection {
public:
    TcpConnection();
    ~TcpConnection() override;

    void connectTo(const std::string& host, std::uint16_t port) override;
    std::string read(std::size_t most) override;
    void write(std::string_view bytes) override;
    std::size_t queued() override;
    void endSending() override;
    void abort() override;

private:
    void onConnected();
    void onEnded();

    std::unique_ptr<QTcpSocket> m_socket;
    bool m_ended = false;
};

}  // namespace flashupdate
