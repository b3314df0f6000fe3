// A serial line behind a serial device server ("rfc2217://HOST:PORT", or "rfc2217+tls://HOST:PORT"
// over TLS): Telnet with the Com Port Control option (RFC 2217) over a connection, as a
// transport under the serial control.
//
// One reader: the connection's bytes are read only when it says they are there, go through the
// protocol client (which does no I/O) and come out as data for the line; what the client has to
// say to the server is written at once. Connecting, negotiating and waiting for the server's
// answers are loops of pumps with deadlines. The server's queue cannot be seen: the control's
// line-time reckoning is all there is, and our own send queue is what can be watched for a far
// end that takes nothing. The server's bytes are read in bounded pieces, and a server that
// breaks the protocol ends the line.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "serial/connection.h"
#include "serial/event_loop.h"
#include "serial/rfc2217_client.h"
#include "serial/transport.h"

namespace flashupdate {

class Rfc2217Transport final : public Transport, private Connection::Listener {
public:
    // How long connecting may take.
    static constexpr std::chrono::milliseconds kConnectLimit{5000};
    // How long the server has to answer a negotiation or a request.
    static constexpr std::chrono::milliseconds kAnswerLimit{3000};
    // How long the server may take to end its side once ours is ended: it may first wait for
    // its line to carry the last bytes.
    static constexpr std::chrono::milliseconds kDisconnectLimit{3000};
    // What our side may hold before a write counts as "no room": the connection's own
    // backpressure, which the control's stall limit turns into a port error when it lasts.
    static constexpr std::size_t kSendBacklog = 4096;
    // The most read from the connection at a time.
    static constexpr std::size_t kReadPiece = 64 * 1024;
    // A network cuts an answer at segment boundaries and delays the parts on its own clock (100
    // to 200 ms apart on a busy link): a burst ends only after this much quiet. Parts 400 ms
    // apart are still two receive events, as on a local line.
    static constexpr BurstTiming kBurstTiming{std::chrono::milliseconds(250),
                                              std::chrono::milliseconds(1000)};

    Rfc2217Transport(EventLoop& events, std::unique_ptr<Connection> connection);
    ~Rfc2217Transport() override;

    void beginOpen(const std::string& name, const LineSettings& settings, bool rts) override;
    void applySettings(const LineSettings& settings) override;
    void setRts(bool rts) override;
    std::size_t write(std::string_view bytes) override;
    std::size_t queued() override;
    void purgeInput() override;
    void purgeOutput() override;
    void beginClose() override;
    BurstTiming burstTiming() const override { return kBurstTiming; }
    std::string remedyFor(const SerialError& error) const override;

private:
    // Connection::Listener
    void connected() override { m_connected = true; }
    void readable() override;
    void ended(const SerialError& error) override;

    void open(const std::string& name, const LineSettings& settings, bool rts);
    void negotiate(const LineSettings& settings);
    void requestLine(const LineSettings& settings);
    void sendOutgoing();
    void fail(const SerialError& error);
    // Pumps until done() or limit has passed; a connection that fails meanwhile throws.
    template <typename Done>
    bool waitPumping(std::chrono::milliseconds limit, Done&& done);
    void requireConnected() const;

    EventLoop& m_events;
    std::unique_ptr<Connection> m_connection;
    Rfc2217Client m_client;
    bool m_connected = false;
    // What ended the connection, once something has.
    std::optional<SerialError> m_failure;
    // While opening, data belongs to nobody; while closing, the server's end is what is
    // waited for. Neither is the line's loss.
    bool m_opening = false;
    bool m_closing = false;
    bool m_discarding = false;
};

}  // namespace flashupdate
