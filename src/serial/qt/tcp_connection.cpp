#include "serial/qt/tcp_connection.h"

#include <QTcpSocket>

#include "serial/qt/line_probes.h"

namespace flashupdate {

namespace {

// Our kernel's send buffer: the pacing keeps at most about a kilobyte ahead of the line, so
// more only hides a far end that takes nothing.
constexpr int kSendBuffer = 8192;
// What Qt may hold of what the server sent before it stops reading from the system.
constexpr qint64 kReadBuffer = 64 * 1024;

PortErrorKind kindOf(QAbstractSocket::SocketError error) {
    switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            return PortErrorKind::Refused;
        case QAbstractSocket::HostNotFoundError:
        case QAbstractSocket::NetworkError:
        case QAbstractSocket::SocketTimeoutError:
            return PortErrorKind::Unreachable;
        case QAbstractSocket::RemoteHostClosedError:
            return PortErrorKind::Gone;
        case QAbstractSocket::SocketResourceError:
            return PortErrorKind::TooManyFiles;
        case QAbstractSocket::SocketAccessError:
            return PortErrorKind::Permission;
        default:
            return PortErrorKind::Other;
    }
}

}  // namespace

TcpConnection::TcpConnection() : m_socket(std::make_unique<QTcpSocket>()) {
    m_socket->setReadBufferSize(kReadBuffer);
    connect(m_socket.get(), &QTcpSocket::connected, this, &TcpConnection::onConnected);
    connect(m_socket.get(), &QTcpSocket::readyRead, this, [this] {
        if (listener() != nullptr) {
            listener()->readable();
        }
    });
    connect(m_socket.get(), &QAbstractSocket::disconnected, this, &TcpConnection::onEnded);
    connect(m_socket.get(), &QAbstractSocket::errorOccurred, this, &TcpConnection::onEnded);
}

TcpConnection::~TcpConnection() {
    abort();
}

void TcpConnection::connectTo(const std::string& host, std::uint16_t port) {
    m_socket->connectToHost(QString::fromStdString(host), port);
}

void TcpConnection::onConnected() {
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBuffer);
    if (listener() != nullptr) {
        listener()->connected();
    }
}

void TcpConnection::onEnded() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    const QAbstractSocket::SocketError error = m_socket->error();
    const bool closedByServer = error == QAbstractSocket::RemoteHostClosedError ||
                                error == QAbstractSocket::UnknownSocketError;
    const SerialError ending(closedByServer ? std::string("the server closed the connection")
                                            : m_socket->errorString().toStdString(),
                             closedByServer ? PortErrorKind::Gone : kindOf(error));
    if (listener() != nullptr) {
        listener()->ended(ending);
    }
}

std::string TcpConnection::read(std::size_t most) {
    const QByteArray bytes = m_socket->read(static_cast<qint64>(most));
    return bytes.toStdString();
}

void TcpConnection::write(std::string_view bytes) {
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    m_socket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    m_socket->flush();
}

std::size_t TcpConnection::queued() {
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        return 0;
    }
    // Flushing here too lets a queue held back by a full system buffer move on.
    m_socket->flush();
    return static_cast<std::size_t>(m_socket->bytesToWrite()) +
           probes::socketQueued(m_socket->socketDescriptor());
}

void TcpConnection::endSending() {
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    m_socket->flush();
    if (m_socket->bytesToWrite() > 0) {
        // Qt still holds bytes the system would not take: they go first, the end after them.
        connect(m_socket.get(), &QTcpSocket::bytesWritten, this, [this] {
            if (m_socket->bytesToWrite() == 0) {
                probes::shutdownSending(m_socket->socketDescriptor());
            }
        });
        return;
    }
    probes::shutdownSending(m_socket->socketDescriptor());
}

void TcpConnection::abort() {
    m_ended = true;
    m_socket->disconnect(this);
    m_socket->abort();
}

}  // namespace flashupdate
