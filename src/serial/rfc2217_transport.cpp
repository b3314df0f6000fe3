#include "serial/rfc2217_transport.h"

#include "common/scoped_flag.h"
#include "serial/port_names.h"
#include "serial/telnet.h"

namespace flashupdate {

Rfc2217Transport::Rfc2217Transport(EventLoop& events, std::unique_ptr<Connection> connection)
    : m_connection(std::move(connection)), m_deadline(events.createTimer()) {
    m_connection->setListener(this);
    m_deadline->setOnTick([this] {
        m_deadline->setEnabled(false);
        deadlinePassed();
    });
}

Rfc2217Transport::~Rfc2217Transport() {
    m_connection->abort();
}

void Rfc2217Transport::arm(std::chrono::milliseconds limit) {
    m_deadline->setInterval(static_cast<int>(limit.count()));
    m_deadline->setEnabled(true);
}

void Rfc2217Transport::beginOpen(const std::string& name, const LineSettings& settings, bool rts) {
    const auto address = parseNetworkPortName(name);
    if (!address) {
        failOpening(SerialError(
            "not a serial device server's address (rfc2217://HOST:PORT or rfc2217+tls://HOST:PORT)",
            PortErrorKind::Missing));
        return;
    }
    m_settings = settings;
    m_rts = rts;
    m_stage = Stage::Connecting;
    arm(kConnectLimit);
    m_connection->connectTo(address->host, address->port);
}

void Rfc2217Transport::connected() {
    if (m_stage != Stage::Connecting) {
        return;
    }
    m_connected = true;
    m_stage = Stage::Negotiating;
    arm(kAnswerLimit);
    m_client.startOpening();
    sendOutgoing();
}

void Rfc2217Transport::advance() {
    switch (m_stage) {
        case Stage::Negotiating:
            if (m_client.agreement() == Rfc2217Client::Agreement::Agreed) {
                m_stage = Stage::RequestingLine;
                requestLine(m_settings);
            } else if (m_client.agreement() == Rfc2217Client::Agreement::Refused) {
                try {
                    m_client.throwOpeningFailure();
                } catch (const SerialError& error) {
                    failOpening(error);
                }
            }
            return;
        case Stage::RequestingLine:
            if (m_client.lineAnswered()) {
                try {
                    lineSettled();
                } catch (const SerialError& error) {
                    failOpening(error);
                    return;
                }
                m_stage = Stage::Open;
                setRts(m_rts);
                tellOpened();
            }
            return;
        case Stage::Open:
            if (m_lineAsked && m_client.lineAnswered()) {
                try {
                    lineSettled();
                } catch (const SerialError& error) {
                    m_connection->abort();
                    fail(error);
                }
            }
            return;
        default:
            return;
    }
}

void Rfc2217Transport::deadlinePassed() {
    try {
        switch (m_stage) {
            case Stage::Connecting:
                failOpening(m_connection->notConnectedWithin(kConnectLimit));
                return;
            case Stage::Negotiating:
                m_client.throwOpeningFailure();
                return;
            case Stage::RequestingLine:
                // The speed may be confirmed and only the format's answers left out.
                lineSettled();
                m_stage = Stage::Open;
                setRts(m_rts);
                tellOpened();
                return;
            case Stage::Open:
                if (m_lineAsked) {
                    lineSettled();
                }
                return;
            case Stage::Closing:
                letGo();
                return;
            default:
                return;
        }
    } catch (const SerialError& error) {
        if (m_stage == Stage::Open) {
            m_connection->abort();
            fail(error);
        } else {
            failOpening(error);
        }
    }
}

void Rfc2217Transport::lineSettled() {
    m_deadline->setEnabled(false);
    m_lineAsked = false;
    m_client.checkLine();
    if (const std::string warnings = m_client.takeWarnings(); !warnings.empty()) {
        note(warnings);
    }
    if (m_nextLine) {
        const LineSettings next = *m_nextLine;
        m_nextLine.reset();
        requestLine(next);
    }
}

void Rfc2217Transport::requestLine(const LineSettings& settings) {
    m_client.requestLine(settings);
    sendOutgoing();
    m_lineAsked = true;
    arm(kAnswerLimit);
}

void Rfc2217Transport::applySettings(const LineSettings& settings) {
    requireConnected();
    // Answers to two requests cannot be told apart: one is asked at a time.
    if (m_lineAsked) {
        m_nextLine = settings;
        return;
    }
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
// what it had not yet passed on to its line. What the server still says meanwhile is read and
// dropped, not left behind.
void Rfc2217Transport::beginClose() {
    if (m_stage != Stage::Open || !m_connected || m_failure) {
        letGo();
        return;
    }
    m_stage = Stage::Closing;
    arm(kDisconnectLimit);
    m_connection->endSending();
}

void Rfc2217Transport::letGo() {
    m_deadline->setEnabled(false);
    m_connection->abort();
    m_connected = false;
    m_stage = Stage::Closed;
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
            if (m_stage == Stage::Open) {
                fail(error);
            } else if (m_stage != Stage::Closing) {
                failOpening(error);
            }
            return;
        }
        sendOutgoing();
        if (m_stage == Stage::Open && !m_discarding) {
            announce(data);
        }
        advance();
    }
}

void Rfc2217Transport::ended(const SerialError& error) {
    switch (m_stage) {
        case Stage::Connecting:
        case Stage::Negotiating:
        case Stage::RequestingLine:
            failOpening(error);
            return;
        case Stage::Open:
            fail(error);
            return;
        case Stage::Closing:
            // The server's end, awaited.
            letGo();
            return;
        default:
            return;
    }
}

void Rfc2217Transport::failOpening(const SerialError& error) {
    m_deadline->setEnabled(false);
    m_failure = error;
    m_connection->abort();
    m_connected = false;
    m_stage = Stage::Closed;
    tellOpenFailed(error);
}

void Rfc2217Transport::fail(const SerialError& error) {
    if (m_failure) {
        return;
    }
    m_deadline->setEnabled(false);
    m_failure = error;
    lose(error);
}

void Rfc2217Transport::sendOutgoing() {
    const std::string outgoing = m_client.takeOutgoing();
    if (!outgoing.empty() && m_connected && !m_failure) {
        m_connection->write(outgoing);
    }
}

FailureFacts Rfc2217Transport::factsAbout(PortErrorKind) const {
    FailureFacts facts;
    facts.medium = FailureFacts::Medium::Server;
    m_connection->addFacts(facts);
    return facts;
}

}  // namespace flashupdate
