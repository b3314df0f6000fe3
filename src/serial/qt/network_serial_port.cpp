#include "serial/qt/network_serial_port.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include "serial/port_names.h"
#include "common/scoped_flag.h"

namespace flashupdate {

namespace {

// How long the server may take to end its side once ours is ended: it may first wait for its
// line to carry the last bytes.
constexpr int kDisconnectLimitMs = 3000;
// What Qt may hold for the connection before a write counts as "no room": the connection's own
// backpressure, which the pacing's stall limit turns into a port error when it lasts.
constexpr qint64 kSocketBacklog = 4096;

constexpr const char* kRemedy =
    "Is the server running, is the port number right, is another client connected? The server "
    "must speak RFC 2217 (ser2net: accepter: telnet(rfc2217),tcp,...).";

}  // namespace

// The connection as the protocol client sees it: blocking, bounded waits.
class NetworkSerialPort::Link final : public NetworkLink {
public:
    explicit Link(NetworkSerialPort& owner) : m_owner(owner) {}

    void send(std::string_view bytes) override {
        QTcpSocket* socket = m_owner.m_socket.get();
        if (socket == nullptr || socket->state() != QAbstractSocket::ConnectedState) {
            throw SerialError("the connection to the server is closed");
        }
        socket->write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket->flush();
    }

    std::string receive(std::chrono::milliseconds limit) override {
        QTcpSocket* socket = m_owner.m_socket.get();
        if (socket == nullptr) {
            throw SerialError("the connection to the server is closed");
        }
        if (socket->bytesAvailable() == 0) {
            socket->waitForReadyRead(static_cast<int>(limit.count()));
        }
        const QByteArray bytes = socket->readAll();
        if (bytes.isEmpty() && socket->state() != QAbstractSocket::ConnectedState) {
            throw SerialError(socket->errorString().toStdString());
        }
        return bytes.toStdString();
    }

    std::chrono::nanoseconds now() override {
        return std::chrono::steady_clock::now().time_since_epoch();
    }

private:
    NetworkSerialPort& m_owner;
};

// The connection as the pacing sees it.
class NetworkSerialPort::Device final : public RealTimeDevice {
public:
    explicit Device(NetworkSerialPort& owner) : m_owner(owner) {}

    std::size_t handOver(std::string_view bytes) override {
        m_owner.checkGone();
        QTcpSocket& socket = *m_owner.m_socket;
        if (socket.bytesToWrite() > kSocketBacklog) {
            socket.flush();
            if (socket.bytesToWrite() > kSocketBacklog) {
                return 0;
            }
        }
        const std::string escaped = telnet::escapeData(bytes);
        socket.write(escaped.data(), static_cast<qint64>(escaped.size()));
        socket.flush();
        m_owner.checkGone();
        return bytes.size();
    }

    // The server's queue cannot be seen; Qt's buffer for the connection can.
    std::size_t queued() override {
        return m_owner.m_socket ? static_cast<std::size_t>(m_owner.m_socket->bytesToWrite()) : 0;
    }

    void waitForRoom(Nanos limit) override {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(limit);
        if (m_owner.m_socket && m_owner.m_socket->bytesToWrite() > 0) {
            m_owner.m_socket->waitForBytesWritten(static_cast<int>(ms.count()));
        } else {
            std::this_thread::sleep_for(ms);
        }
        m_owner.checkGone();
    }

private:
    NetworkSerialPort& m_owner;
};

NetworkSerialPort::NetworkSerialPort(PortMap map, QObject* parent)
    : PacedSerialPort(std::move(map), std::make_unique<Device>(*this), parent),
      m_link(std::make_unique<Link>(*this)) {}

NetworkSerialPort::~NetworkSerialPort() {
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void NetworkSerialPort::setSettings(const std::string& settings) {
    takeSettings(settings);
    if (portOpen()) {
        {
            ScopedFlag awaiting(m_awaiting);
            m_client->setLine(m_settings);
        }
        bytesReceived(m_client->takeEarlyData());
    }
}

void NetworkSerialPort::setCommPort(int port) {
    checkPortNumber(port);
    if (m_socket && port != m_commPort) {
        closeAfterDrain();
    }
    m_commPort = port;
}

bool NetworkSerialPort::portOpen() const {
    return m_socket && !m_gone;
}

void NetworkSerialPort::setPortOpen(bool open) {
    if (open) {
        if (portOpen()) {
            throw SerialError("port already open");
        }
        this->open();
    } else if (m_socket) {
        closeAfterDrain();
    }
}

void NetworkSerialPort::setRTSEnable(bool enable) {
    m_rtsEnable = enable;
    if (portOpen()) {
        m_client->setModemLines(true, m_rtsEnable);
    }
}

void NetworkSerialPort::setInBufferCount(int count) {
    if (count != 0) {
        throw SerialError("only 0 may be written to the receive count");
    }
    takeFromConnection();
    forgetReceived();
}

void NetworkSerialPort::setOutBufferCount(int count) {
    if (count != 0) {
        throw SerialError("only 0 may be written to the transmit count");
    }
    if (portOpen()) {
        // Our own queue, and the server's transmit buffer; what the server has already put on
        // its line is beyond recall.
        m_transmit.discard();
        m_client->purgeTransmit();
    }
}

ByteText NetworkSerialPort::input() {
    takeFromConnection();
    return takeReceived();
}

void NetworkSerialPort::open() {
    const std::string name = devicePath();
    const auto address = parseNetworkPortName(name);
    if (!address) {
        throw SerialError("cannot open " + name +
                          ": not a serial device server's address (rfc2217://HOST:PORT)");
    }
    m_gone = false;
    m_goneReason.clear();
    forgetReceived();
    m_transmit.discard();
    m_socket = std::make_unique<QTcpSocket>();
    m_client = std::make_unique<Rfc2217Client>(*m_link);
    m_socket->connectToHost(QString::fromStdString(address->host), address->port);
    if (!m_socket->waitForConnected(kConnectLimitMs)) {
        failOpening(m_socket->error() == QAbstractSocket::SocketTimeoutError
                        ? "no connection within " + std::to_string(kConnectLimitMs / 1000) + " s"
                        : m_socket->errorString().toStdString());
    }
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    try {
        ScopedFlag awaiting(m_awaiting);
        m_client->open(m_settings);
        m_client->setModemLines(true, m_rtsEnable);
    } catch (const SerialError& error) {
        failOpening(error.what());
    }
    // Whatever came before this opening belongs to nobody.
    m_client->takeEarlyData();
    if (const std::string warnings = m_client->takeWarnings(); !warnings.empty()) {
        m_diagnostics(name + ": " + warnings);
    }
    connect(m_socket.get(), &QTcpSocket::readyRead, this, [this] {
        if (!m_awaiting) {
            takeFromConnection();
        }
    });
    connect(m_socket.get(), &QAbstractSocket::disconnected, this,
            [this] { markGone("the server closed the connection", kRemedy); });
    connect(m_socket.get(), &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                // A bounded wait that ran out is no failure of the connection.
                if (error != QAbstractSocket::SocketTimeoutError) {
                    markGone(m_socket->errorString().toStdString(), kRemedy);
                }
            });
}

void NetworkSerialPort::failOpening(const std::string& reason) {
    const std::string name = devicePath();
    m_diagnostics("cannot open " + name + ": " + reason + "\n  " + kRemedy);
    m_socket->abort();
    m_socket.reset();
    throw SerialError("cannot open " + name + ": " + reason);
}

void NetworkSerialPort::closeAfterDrain() {
    forgetReceived();
    // A final command must reach the instrument before the connection ends.
    drainBeforeClosing();
    m_socket->disconnect(this);
    if (!m_gone) {
        endConnection();
    }
    m_socket->abort();
    m_socket.reset();
    m_transmit.discard();
}

// Our side of the connection ends first and the server's end is awaited. The server sees our
// end only after every byte before it, the final command included, and it lets go of the line
// only then; a connection simply closed while a reply of the server is unread is reset instead,
// and a server may drop what it had not yet passed on to its line.
void NetworkSerialPort::endConnection() {
    QDeadlineTimer deadline(kDisconnectLimitMs);
    while (m_socket->bytesToWrite() > 0 && !deadline.hasExpired() &&
           m_socket->waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
    }
#ifdef _WIN32
    ::shutdown(static_cast<SOCKET>(m_socket->socketDescriptor()), SD_SEND);
#else
    ::shutdown(static_cast<int>(m_socket->socketDescriptor()), SHUT_WR);
#endif
    // What the server still says is of no use now, but it is read, not left behind.
    while (m_socket->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        m_socket->readAll();
        if (!m_socket->waitForReadyRead(static_cast<int>(deadline.remainingTime())) &&
            m_socket->error() != QAbstractSocket::SocketTimeoutError) {
            break;
        }
    }
}

void NetworkSerialPort::takeFromConnection() {
    if (!m_socket) {
        return;
    }
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty()) {
        return;
    }
    std::string data;
    try {
        m_client->take(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                       data);
    } catch (const SerialError&) {
        // An answer to the server that can no longer be sent: the loss shows on the next
        // operation.
    }
    bytesReceived(data);
}

}  // namespace flashupdate
