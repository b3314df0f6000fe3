#include "serial/qt/tcp_connection.h"

#include <QSslSocket>
#include <QTcpSocket>

#include "serial/qt/line_probes.h"

namespace flashupdate {

namespace {

// Our kernel's send buffer: the pacing keeps at most about a kilobyte ahead of the line, so
// more only hides a far end that takes nothing.
constexpr int kSendBuffer = 8192;
// What Qt may hold of what the server sent before it stops reading from the system.
constexpr qint64 kReadBuffer = 64 * 1024;
// A TLS record starts with its content type (alert 0x15, handshake 0x16) and the major version
// 3; a Telnet server starts with IAC (0xff) or text.
constexpr char kTlsAlertRecord = 0x15;
constexpr char kTlsHandshakeRecord = 0x16;
constexpr char kTlsMajorVersion = 0x03;

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

TcpConnection::TcpConnection() : TcpConnection(std::make_unique<QTcpSocket>()) {}

TcpConnection::TcpConnection(std::unique_ptr<QTcpSocket> socket) : m_socket(std::move(socket)) {
    m_socket->setReadBufferSize(kReadBuffer);
    connect(m_socket.get(), &QTcpSocket::connected, this, [this] {
        setSocketOptions();
        tcpConnected();
    });
    connect(m_socket.get(), &QTcpSocket::readyRead, this, [this] {
        probes::acknowledgeAtOnce(m_socket->socketDescriptor());
        if (listener() != nullptr && carrying()) {
            listener()->readable();
        }
    });
    const auto ended = [this] { end(whyEnded(m_socket->error())); };
    connect(m_socket.get(), &QAbstractSocket::disconnected, this, ended);
    connect(m_socket.get(), &QAbstractSocket::errorOccurred, this, ended);
}

TcpConnection::~TcpConnection() {
    abort();
}

void TcpConnection::connectTo(const std::string& host, std::uint16_t port) {
    m_socket->connectToHost(QString::fromStdString(host), port);
}

void TcpConnection::setSocketOptions() {
    // QSslSocket's own setSocketOption reaches the system's socket; the one it hides does not,
    // and Nagle's wait for the far end's delayed acknowledgements would then hold the line.
    if (auto* secure = qobject_cast<QSslSocket*>(m_socket.get())) {
        secure->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        secure->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBuffer);
    } else {
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBuffer);
    }
    probes::acknowledgeAtOnce(m_socket->socketDescriptor());
}

void TcpConnection::tcpConnected() {
    tellConnected();
}

bool TcpConnection::carrying() const {
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

void TcpConnection::tellConnected() {
    if (listener() != nullptr && !m_ended) {
        listener()->connected();
    }
}

bool TcpConnection::endedByServer(QAbstractSocket::SocketError error) const {
    return error == QAbstractSocket::RemoteHostClosedError ||
           error == QAbstractSocket::UnknownSocketError;
}

SerialError TcpConnection::whyEnded(QAbstractSocket::SocketError error) const {
    if (endedByServer(error)) {
        // A TLS server hangs up on a client that does not begin with a handshake, without a
        // word or with an alert; a Telnet server always speaks first.
        if (m_answeredInTls || nothingRead()) {
            return SerialError("the server closed the connection without a word of Telnet",
                               PortErrorKind::TlsServer);
        }
        return SerialError("the server closed the connection", PortErrorKind::Gone);
    }
    return SerialError(m_socket->errorString().toStdString(), kindOf(error));
}

void TcpConnection::end(const SerialError& error) {
    if (m_ended) {
        return;
    }
    m_ended = true;
    if (listener() != nullptr) {
        listener()->ended(error);
    }
}

std::string TcpConnection::read(std::size_t most) {
    if (!carrying()) {
        return {};
    }
    const QByteArray bytes = m_socket->read(static_cast<qint64>(most));
    if (m_bytesRead == 0 && bytes.size() >= 2 &&
        (bytes[0] == kTlsAlertRecord || bytes[0] == kTlsHandshakeRecord) &&
        bytes[1] == kTlsMajorVersion) {
        m_answeredInTls = true;
    }
    m_bytesRead += static_cast<std::size_t>(bytes.size());
    return bytes.toStdString();
}

void TcpConnection::write(std::string_view bytes) {
    if (!carrying()) {
        return;
    }
    m_socket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    m_socket->flush();
}

std::size_t TcpConnection::queued() {
    if (!carrying()) {
        return 0;
    }
    // Flushing here too lets a queue held back by a full system buffer move on.
    m_socket->flush();
    return static_cast<std::size_t>(m_socket->bytesToWrite() + heldBeyondBuffer()) +
           probes::socketQueued(m_socket->socketDescriptor());
}

void TcpConnection::endSending() {
    if (!carrying()) {
        return;
    }
    m_socket->flush();
    if (m_socket->bytesToWrite() + heldBeyondBuffer() > 0) {
        // Qt still holds bytes the system would not take: they go first, the end after them.
        const auto endOnceSent = [this] {
            if (m_socket->bytesToWrite() + heldBeyondBuffer() == 0) {
                probes::shutdownSending(m_socket->socketDescriptor());
            }
        };
        connect(m_socket.get(), &QTcpSocket::bytesWritten, this, endOnceSent);
        // Over TLS, what leaves for the system is told apart from what is encrypted.
        if (auto* secure = qobject_cast<QSslSocket*>(m_socket.get())) {
            connect(secure, &QSslSocket::encryptedBytesWritten, this, endOnceSent);
        }
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
