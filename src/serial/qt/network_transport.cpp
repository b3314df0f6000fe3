#include "serial/qt/network_transport.h"

#include <QTcpSocket>

#include "common/scoped_flag.h"
#include "serial/port_names.h"
#include "serial/qt/line_probes.h"
#include "serial/telnet.h"

namespace flashupdate {

namespace {

// A network cuts an answer at segment boundaries and delays the parts on its own clock (100 to
// 200 ms apart on a busy link): a burst ends only after this much quiet. Parts 400 ms apart
// are still two receive events, as on a local line.
constexpr Transport::BurstTiming kBurstTiming{std::chrono::milliseconds(250),
                                              std::chrono::milliseconds(1000)};
// How long the server may take to end its side once ours is ended: it may first wait for its
// line to carry the last bytes.
constexpr std::chrono::milliseconds kDisconnectLimit{3000};
// What Qt may hold for the connection before a write counts as "no room": the connection's own
// backpressure, which the control's stall limit turns into a port error when it lasts.
constexpr qint64 kSocketBacklog = 4096;
// Our kernel's send buffer: small, so that a far end that takes nothing shows in our own queue
// soon; the pacing keeps at most about a kilobyte ahead of the line anyway.
constexpr int kSendBuffer = 8192;
// The most read from the socket at a time: memory stays bounded whatever the server sends.
constexpr qint64 kReadPiece = 64 * 1024;

constexpr const char* kRemedy =
    "Is the server running, is the port number right, is another client connected? The server "
    "must speak RFC 2217 (ser2net: accepter: telnet(rfc2217),tcp,...).";

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

NetworkTransport::NetworkTransport(EventLoop& events) : m_events(events) {}

NetworkTransport::~NetworkTransport() {
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

template <typename Done>
bool NetworkTransport::waitPumping(std::chrono::milliseconds limit, Done&& done) {
    const bool met = pumpUntil(m_events, m_events.monotonicTime() + limit,
                               [&] { return m_failure != nullptr || done(); });
    if (m_failure) {
        throw *m_failure;
    }
    return met;
}

void NetworkTransport::open(const std::string& name, const LineSettings& settings, bool rts) {
    const auto address = parseNetworkPortName(name);
    if (!address) {
        throw SerialError("not a serial device server's address (rfc2217://HOST:PORT)",
                          PortErrorKind::Missing);
    }
    const ScopedFlag opening(m_opening);
    connectTo(address->host, address->port);
    negotiate(settings);
    setRts(rts);
    if (const std::string warnings = m_client->takeWarnings(); !warnings.empty()) {
        note(warnings);
    }
}

void NetworkTransport::connectTo(const std::string& host, std::uint16_t port) {
    m_failure.reset();
    m_socket = std::make_unique<QTcpSocket>();
    m_socket->setReadBufferSize(kReadPiece);
    m_client = std::make_unique<Rfc2217Client>();
    connect(m_socket.get(), &QTcpSocket::readyRead, this, &NetworkTransport::readConnection);
    connect(m_socket.get(), &QAbstractSocket::disconnected, this,
            &NetworkTransport::connectionFailed);
    connect(m_socket.get(), &QAbstractSocket::errorOccurred, this,
            &NetworkTransport::connectionFailed);
    m_socket->connectToHost(QString::fromStdString(host), port);
    if (!waitPumping(kConnectLimit,
               [&] { return m_socket->state() == QAbstractSocket::ConnectedState; })) {
        throw SerialError(
            "no connection within " + std::to_string(kConnectLimit.count() / 1000) + " s",
            PortErrorKind::Unreachable);
    }
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBuffer);
}

void NetworkTransport::negotiate(const LineSettings& settings) {
    m_client->startOpening();
    sendOutgoing();
    waitPumping(kAnswerLimit,
          [&] { return m_client->agreement() != Rfc2217Client::Agreement::Pending; });
    if (m_client->agreement() != Rfc2217Client::Agreement::Agreed) {
        m_client->throwOpeningFailure();
    }
    requestLine(settings);
}

void NetworkTransport::requestLine(const LineSettings& settings) {
    m_client->requestLine(settings);
    sendOutgoing();
    waitPumping(kAnswerLimit, [&] { return m_client->lineAnswered(); });
    m_client->checkLine();
}

void NetworkTransport::applySettings(const LineSettings& settings) {
    requireConnected();
    requestLine(settings);
    if (const std::string warnings = m_client->takeWarnings(); !warnings.empty()) {
        note(warnings);
    }
}

void NetworkTransport::setRts(bool rts) {
    requireConnected();
    // Sent, not waited for: a server on a pseudo-terminal never acknowledges them.
    m_client->setModemLines(true, rts);
    sendOutgoing();
}

void NetworkTransport::requireConnected() const {
    if (m_failure) {
        throw *m_failure;
    }
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        throw SerialError("the connection to the server is closed", PortErrorKind::Gone);
    }
}

std::size_t NetworkTransport::write(std::string_view bytes) {
    requireConnected();
    sendOutgoing();
    if (m_socket->bytesToWrite() > kSocketBacklog) {
        m_socket->flush();
        if (m_socket->bytesToWrite() > kSocketBacklog) {
            return 0;
        }
    }
    const std::string escaped = telnet::escapeData(bytes);
    m_socket->write(escaped.data(), static_cast<qint64>(escaped.size()));
    m_socket->flush();
    requireConnected();
    return bytes.size();
}

// The server's queue cannot be seen; Qt's buffer for the connection and our kernel's can.
std::size_t NetworkTransport::queued() {
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        return 0;
    }
    return static_cast<std::size_t>(m_socket->bytesToWrite()) +
           probes::socketQueued(m_socket->socketDescriptor());
}

void NetworkTransport::purgeInput() {
    // Read now, so that answers among it are handled; its data is of no use.
    const ScopedFlag discarding(m_opening);
    readConnection();
}

void NetworkTransport::purgeOutput() {
    if (!m_socket || m_failure || m_socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    // The server's transmit buffer; what it has already put on its line is beyond recall.
    m_client->purgeTransmit();
    sendOutgoing();
}

void NetworkTransport::close() {
    if (!m_socket) {
        return;
    }
    const ScopedFlag closing(m_closing);
    if (!m_failure && m_socket->state() == QAbstractSocket::ConnectedState) {
        endConnection();
    }
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket.reset();
}

// Our side of the connection ends first and the server's end is awaited. The server sees our
// end only after every byte before it, the final command included, and it lets go of the line
// only then; a connection simply closed while a reply of the server is unread is reset instead,
// and a server may drop what it had not yet passed on to its line.
void NetworkTransport::endConnection() {
    const auto deadline = m_events.monotonicTime() + kDisconnectLimit;
    pumpUntil(m_events, deadline, [&] {
        m_socket->flush();
        return m_failure != nullptr || m_socket->bytesToWrite() == 0;
    });
    probes::shutdownSending(m_socket->socketDescriptor());
    // What the server still says is read (by the reader) and dropped, not left behind.
    pumpUntil(m_events, deadline, [&] {
        return m_failure != nullptr || m_socket->state() != QAbstractSocket::ConnectedState;
    });
}

void NetworkTransport::readConnection() {
    if (!m_socket || m_failure) {
        return;
    }
    for (;;) {
        const QByteArray bytes = m_socket->read(kReadPiece);
        if (bytes.isEmpty()) {
            break;
        }
        std::string data;
        try {
            m_client->feed(
                std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                data);
        } catch (const SerialError& error) {
            m_failure = std::make_unique<SerialError>(error);
            if (!m_opening && !m_closing) {
                lose(error);
            }
            m_socket->abort();
            return;
        }
        sendOutgoing();
        if (!m_opening && !m_closing) {
            announce(data);
        }
    }
}

void NetworkTransport::sendOutgoing() {
    const std::string outgoing = m_client ? m_client->takeOutgoing() : std::string();
    if (outgoing.empty() || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    m_socket->write(outgoing.data(), static_cast<qint64>(outgoing.size()));
    m_socket->flush();
}

void NetworkTransport::connectionFailed() {
    if (m_failure || !m_socket) {
        return;
    }
    const QAbstractSocket::SocketError error = m_socket->error();
    const bool closedByServer = error == QAbstractSocket::RemoteHostClosedError ||
                                error == QAbstractSocket::UnknownSocketError;
    m_failure = std::make_unique<SerialError>(
        closedByServer ? std::string("the server closed the connection")
                       : m_socket->errorString().toStdString(),
        closedByServer ? PortErrorKind::Gone : kindOf(error));
    if (!m_opening && !m_closing) {
        lose(*m_failure);
    }
}

Transport::BurstTiming NetworkTransport::burstTiming() const {
    return kBurstTiming;
}

std::string NetworkTransport::remedyFor(const SerialError& error) const {
    return error.kind() == PortErrorKind::Missing ? std::string() : kRemedy;
}

}  // namespace flashupdate
