// A serial line behind a serial device server ("rfc2217://HOST:PORT"): a TCP connection
// speaking Telnet with the Com Port Control option (RFC 2217), under the serial control.
//
// One reader: bytes come from the socket only in its ready-read handler, go through the
// protocol client (which does no I/O) and come out as data for the line; what the client has to
// say to the server is written at once. Connecting, negotiating and waiting for the server's
// answers are loops of pumps with deadlines. The connection hides the server's queue: the
// control's line-time reckoning is all there is, and our own send queue is what can be watched
// for a far end that takes nothing. What the server sends is read in bounded pieces and what
// the run cannot use is dropped.
#pragma once

#include <QObject>
#include <memory>
#include <string>

#include "serial/event_loop.h"
#include "serial/rfc2217_client.h"
#include "serial/transport.h"

class QTcpSocket;

namespace flashupdate {

class NetworkTransport final : public QObject, public Transport {
public:
    // How long connecting may take.
    static constexpr std::chrono::milliseconds kConnectLimit{5000};
    // How long the server has to answer a negotiation or a request.
    static constexpr std::chrono::milliseconds kAnswerLimit{3000};

    explicit NetworkTransport(EventLoop& events);
    ~NetworkTransport() override;

    void open(const std::string& name, const LineSettings& settings, bool rts) override;
    void applySettings(const LineSettings& settings) override;
    void setRts(bool rts) override;
    std::size_t write(std::string_view bytes) override;
    std::size_t queued() override;
    void purgeInput() override;
    void purgeOutput() override;
    void close() override;
    BurstTiming burstTiming() const override;
    std::string remedyFor(const SerialError& error) const override;

private:
    void connectTo(const std::string& host, std::uint16_t port);
    void negotiate(const LineSettings& settings);
    void requestLine(const LineSettings& settings);
    void endConnection();
    // The one reader of the socket.
    void readConnection();
    void sendOutgoing();
    void connectionFailed();
    // Pumps until done() or the deadline; a connection that fails meanwhile throws.
    template <typename Done>
    bool waitPumping(std::chrono::milliseconds limit, Done&& done);
    void requireConnected() const;

    EventLoop& m_events;
    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<Rfc2217Client> m_client;
    // What ended the connection, once something has.
    std::unique_ptr<SerialError> m_failure;
    // Set while opening, whose data belongs to nobody, and while closing, when the server's
    // end is what is waited for.
    bool m_opening = false;
    bool m_closing = false;
};

}  // namespace flashupdate
