// The client side of a serial device server's Com Port Control (RFC 2217), on any connection:
// opening negotiates binary transmission both ways and the option, then sets the line and checks
// what the server answers. Every wait for an answer is bounded; a server that never acknowledges
// a request (ser2net on a pseudo-terminal says nothing to DTR and RTS) is never waited for.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "serial/line_settings.h"
#include "serial/telnet.h"

namespace flashupdate {

// The connection to the server.
class NetworkLink {
public:
    virtual ~NetworkLink() = default;
    // Hands bytes to the connection; throws SerialError when it is gone.
    virtual void send(std::string_view bytes) = 0;
    // What arrives within limit, as soon as anything does (empty: nothing came); throws
    // SerialError when the connection has been closed or has failed.
    virtual std::string receive(std::chrono::milliseconds limit) = 0;
    // The clock the waits for answers are measured on.
    virtual std::chrono::nanoseconds now() = 0;
};

class Rfc2217Client {
public:
    // How long the server has to answer a negotiation or a request.
    static constexpr std::chrono::milliseconds kAnswerLimit{3000};

    explicit Rfc2217Client(NetworkLink& link) : m_link(link) {}

    // Throws SerialError naming what the server said when it refuses the option or binary
    // transmission, or sets the line otherwise than asked.
    void open(const LineSettings& settings);
    void setLine(const LineSettings& settings);
    // Sent, not waited for.
    void setModemLines(bool dtr, bool rts);
    void purgeTransmit();

    // The server's bytes as they come: their data is appended to data, their commands answered.
    void take(std::string_view bytes, std::string& data);
    // Data that came while opening waited for answers.
    std::string takeEarlyData() { return std::exchange(m_earlyData, {}); }
    // Answers the server left out that the line can do without; for the diagnostics.
    std::string takeWarnings() { return std::exchange(m_warnings, {}); }

private:
    void handle(const telnet::Command& command);
    void awaitAnswers(const std::function<bool()>& done);

    NetworkLink& m_link;
    telnet::Decoder m_decoder;
    std::string m_earlyData;
    std::string m_warnings;
    bool m_serverSendsBinary = false;
    bool m_serverTakesBinary = false;
    bool m_comPortAccepted = false;
    std::string m_refused;
    // The server's last answer to each Com Port request, by request.
    std::map<unsigned char, std::string> m_answers;
};

}  // namespace flashupdate
