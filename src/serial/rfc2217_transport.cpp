#include "serial/rfc2217_transport.h"

#include "common/scoped_flag.h"
#include "serial/port_names.h"
#include "serial/telnet.h"

namespace flashupdate {

namespace {

constexpr const char* kRemedy =
    "Is the server running, is the port number right, is another client connected? The server "
    "must speak RFC 2217 (ser2net: accepter: telnet(rfc2217),tcp,...).";

}  // namespace

Rfc2217Transport::Rfc2217Transport(EventLoop& events, std::unique_ptr<Connection> connection)
    : m_events(events), m_connection(std::move(connection)) {
    m_connection->setListener(this);
}

Rfc2217Transport::~Rfc2217Transport() {
    m_connection->abort();
}

template <typename Done>
bool Rfc2217Transport::waitPumping(std::chrono::milliseconds limit, Done&& done) {
    const bool met = pumpUntil(m_events, m_events.monotonicTime() + limit,
                               [&] { return m_failure.has_value() || done(); });
    if (m_failure) {
        throw *m_failure;
    }
    return met;
}

void Rfc2217Transport::beginOpen(const std::string& name, const LineSettings& settings, bool rts) {
    try {
        open(name, settings, rts);
    } catch (const SerialError& error) {
        tellOpenFailed(error);
        return;
    }
    tellOpened();
}

void Rfc2217Transport::open(const std::string& name, const LineSettings& settings, bool rts) {
    const auto address = parseNetworkPortName(name);
    if (!address) {
        throw SerialError(
            "not a serial device server's address (rfc2217://HOST:PORT or rfc2217+tls://HOST:PORT)",
            PortErrorKind::Missing);
    }
    const ScopedFlag opening(m_opening);
    m_connection->connectTo(address->host, address->port);
    if (!waitPumping(kConnectLimit, [&] { return m_connected; })) {
        throw m_connection->notConnectedWithin(kConnectLimit);
    }
    negotiate(settings);
    setRts(rts);
}

void Rfc2217Transport::negotiate(const LineSettings& settings) {
    m_client.startOpening();
    sendOutgoing();
    waitPumping(kAnswerLimit,
                [&] { return m_client.agreement() != Rfc2217Client::Agreement::Pending; });
    if (m_client.agreement() != Rfc2217Client::Agreement::Agreed) {
        m_client.throwOpeningFailure();
    }
    requestLine(settings);
}

void Rfc2217Transport::requestLine(const LineSettings& settings) {
    m_client.requestLine(settings);
    sendOutgoing();
    waitPumping(kAnswerLimit, [&] { return m_client.lineAnswered(); });
    m_client.checkLine();
    if (const std::string warnings = m_client.takeWarnings(); !warnings.empty()) {
        note(warnings);
    }
}

void Rfc2217Transport::applySettings(const LineSettings& settings) {
    requireConnected();
    requestLine(settings);
}

void Rfc2217Transport::setRts(bool rts) {
    requireConnected();
    // Sent, not waited for: a server on a pseudo-terminal never acknowledges them.
    m_client.setModemLines(true, rts);
    sendOutgoing();
}

void Rfc2217Transport::requireConnected() const {
    if (m_failure) {
        throw *m_failure;
    }
    if (!m_connected) {
        throw SerialError("the connection to the server is closed", PortErrorKind::Gone);
    }
}

std::size_t Rfc2217Transport::write(std::string_view bytes) {
    requireConnected();
    sendOutgoing();
    if (m_connection->queued() > kSendBacklog) {
        return 0;
    }
    m_connection->write(telnet::escapeData(bytes));
    return bytes.size();
}

std::size_t Rfc2217Transport::queued() {
    return m_connected && !m_failure ? m_connection->queued() : 0;
}

void Rfc2217Transport::purgeInput() {
    // Read now, so that the server's answers among it are handled; its data is of no use.
    const ScopedFlag discarding(m_discarding);
    readable();
}

void Rfc2217Transport::purgeOutput() {
    if (!m_connected || m_failure) {
        return;
    }
    // The server's transmit buffer; what it has already put on its line is beyond recall.
    m_client.purgeTransmit();
    sendOutgoing();
}

// Our side ends first and the server's end is awaited. The server sees our end only after every
// byte before it, the final command included, and lets go of its line only then; a connection
// simply dropped while a reply of the server is unread is reset instead, and a server may drop
// what it had not yet passed on to its line.
void Rfc2217Transport::beginClose() {
    const ScopedFlag closing(m_closing);
    if (m_connected && !m_failure) {
        m_connection->endSending();
        // What the server still says is read and dropped meanwhile, not left behind.
        pumpUntil(m_events, m_events.monotonicTime() + kDisconnectLimit,
                  [&] { return m_failure.has_value(); });
    }
    m_connection->abort();
    m_connected = false;
    tellClosed();
}

void Rfc2217Transport::readable() {
    for (;;) {
        if (m_failure) {
            return;
        }
        const std::string bytes = m_connection->read(kReadPiece);
        if (bytes.empty()) {
            return;
        }
        std::string data;
        try {
            m_client.feed(bytes, data);
        } catch (const SerialError& error) {
            m_connection->abort();
            fail(error);
            return;
        }
        sendOutgoing();
        if (!m_opening && !m_closing && !m_discarding) {
            announce(data);
        }
    }
}

void Rfc2217Transport::ended(const SerialError& error) {
    fail(error);
}

void Rfc2217Transport::fail(const SerialError& error) {
    if (m_failure) {
        return;
    }
    m_failure = error;
    // While opening the failure is thrown from the wait; while closing it is the end awaited.
    if (!m_opening && !m_closing) {
        lose(error);
    }
}

void Rfc2217Transport::sendOutgoing() {
    const std::string outgoing = m_client.takeOutgoing();
    if (!outgoing.empty() && m_connected && !m_failure) {
        m_connection->write(outgoing);
    }
}

std::string Rfc2217Transport::remedyFor(const SerialError& error) const {
    if (std::string remedy = m_connection->remedyFor(error); !remedy.empty()) {
        return remedy;
    }
    return error.kind() == PortErrorKind::Missing ? std::string() : kRemedy;
}

}  // namespace flashupdate
