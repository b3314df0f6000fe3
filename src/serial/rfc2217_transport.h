// A serial line behind a serial device server ("rfc2217://HOST:PORT", or "rfc2217+tls://HOST:PORT"
// over TLS): Telnet with the Com Port Control option (RFC 2217) over a connection, as a
// transport under the serial control.
//
// One reader: the connection's bytes are read only when it says they are there, go through the
// protocol client (which does no I/O) and come out as data for the line; what the client has to
// say to the server is written at once. Connecting, negotiating, the server's answers and its
// end of the connection are steps: each is taken when the connection says what happened, and a
// deadline timer bounds the wait for each. The server's queue cannot be seen: the control's
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

    // Connects, negotiates and asks for the line, each within its limit.
    void beginOpen(const std::string& name, const LineSettings& settings, bool rts) override;
    // Goes out at once; a server that does not confirm the speed within kAnswerLimit loses the
    // line. A change asked for while the last is unanswered goes out once it is answered.
    void applySettings(const LineSettings& settings) override;
    void setRts(bool rts) override;
    std::size_t write(std::string_view bytes) override;
    std::size_t queued() override;
    void purgeInput() override;
    void purgeOutput() override;
    // Ends our side and lets go once the server has ended its own, or after kDisconnectLimit.
    void beginClose() override;
    BurstTiming burstTiming() const override { return kBurstTiming; }
    FailureFacts factsAbout(PortErrorKind kind) const override;

private:
    // Where the line stands. While opening, data belongs to nobody; while closing, the server's
    // end is what is waited for. Neither is the line's loss.
    enum class Stage { Idle, Connecting, Negotiating, RequestingLine, Open, Closing, Closed };

    // Connection::Listener
    void connected() override;
    void readable() override;
    void ended(const SerialError& error) override;

    // Takes the next step once the server has said what it was waited for.
    void advance();
    void deadlinePassed();
    // The server has answered the line request, or its time is up: a speed it did not confirm
    // throws.
    void lineSettled();
    void requestLine(const LineSettings& settings);
    void sendOutgoing();
    void failOpening(const SerialError& error);
    void fail(const SerialError& error);
    void letGo();
    void arm(std::chrono::milliseconds limit);
    void requireConnected() const;

    std::unique_ptr<Connection> m_connection;
    std::unique_ptr<Timer> m_deadline;
    Rfc2217Client m_client;
    Stage m_stage = Stage::Idle;
    bool m_connected = false;
    // What the opening asks for.
    LineSettings m_settings;
    bool m_rts = false;
    // A line request on the open line awaits its answer; the change asked for meanwhile.
    bool m_lineAsked = false;
    std::optional<LineSettings> m_nextLine;
    // What ended the connection, once something has.
    std::optional<SerialError> m_failure;
    bool m_discarding = false;
};

}  // namespace flashupdate
