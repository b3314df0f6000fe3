// The client side of a serial device server's Com Port Control (RFC 2217), as a protocol core
// that does no I/O: the server's bytes go in, the line's data and the bytes to send come out. The
// caller owns the connection and every wait, so each wait is the caller's to bound; a request a
// server never acknowledges (ser2net on a pseudo-terminal says nothing to DTR and RTS) is never
// waited for at all.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "serial/line_settings.h"
#include "serial/telnet.h"

namespace flashupdate {

class Rfc2217Client {
public:
    // A subnegotiation longer than any the Com Port Control option needs is a broken server.
    static constexpr std::size_t kLongestSubnegotiation = 256;
    enum class Agreement { Pending, Agreed, Refused };

    // Queues the opening: WILL BINARY, DO BINARY, WILL COM-PORT-OPTION.
    void startOpening();
    // Agreed once the server agreed to binary transmission both ways and took up the Com Port
    // option; Refused as soon as it declined one of them.
    Agreement agreement() const;
    // Throws SerialError (kind Protocol) saying what the server refused or left unanswered; for a
    // caller whose wait for agreement() ended without Agreed. Does nothing once agreed.
    void throwOpeningFailure() const;

    // Queues SET-BAUDRATE, SET-DATASIZE, SET-PARITY, SET-STOPSIZE for these settings.
    void requestLine(const LineSettings& settings);
    // All four requested answers have arrived.
    bool lineAnswered() const;
    // After lineAnswered() or after the caller's wait ran out: throws SerialError (kind Protocol)
    // when the speed was not confirmed, or the server set another speed or refused the format.
    // Answers left out for data size, parity or stop size become warnings: the line may well be
    // right, and the speed is what the update cannot do without.
    void checkLine();

    // Sent, not waited for (a server on a pseudo-terminal never acknowledges them).
    void setModemLines(bool dtr, bool rts);
    void purgeTransmit();

    // The server's bytes as they come, cut anywhere: data bytes are appended to data, commands
    // handled (answers recorded, requests answered by queuing bytes to send). Throws SerialError
    // (kind Protocol) for a subnegotiation longer than kLongestSubnegotiation.
    void feed(std::string_view bytes, std::string& data);
    // What must go to the server now (requests and answers to its negotiation), already in Telnet
    // form; empty when nothing.
    std::string takeOutgoing() { return std::exchange(m_outgoing, {}); }
    // Answers the server left out that the line can do without; for the diagnostics.
    std::string takeWarnings() { return std::exchange(m_warnings, {}); }

private:
    // Where one side of one option stands. RFC 1143's states without WANTNO and its queue: this
    // client only ever asks to enable an option and never changes its mind, so it never waits
    // for a disable. Refused goes beyond it: an option either side declined stays off for the
    // connection and further requests for it go unanswered, so a server repeating a request
    // gets one answer, not one per request.
    enum class Side : unsigned char { No, WantYes, Yes, Refused };
    // The options this client asks the server to take up, or takes up itself when asked.
    static bool wanted(unsigned char option, bool ours);

    void handle(const telnet::Command& command);
    void enableRequested(Side& side, unsigned char option, bool ours);
    void disableRequested(Side& side, unsigned char option, bool ours);
    void send(std::string_view bytes) { m_outgoing += bytes; }

    telnet::Decoder m_decoder{kLongestSubnegotiation};
    std::string m_outgoing;
    std::string m_warnings;
    // Our side of each option (WILL/WONT) and the server's (DO/DONT, as it said WILL/WONT).
    std::array<Side, 256> m_us{};
    std::array<Side, 256> m_him{};
    // The line requests, by code minus one: what was asked and what the server answered.
    static constexpr std::size_t kLineRequests = 4;
    std::array<std::string, kLineRequests> m_asked;
    std::array<std::optional<std::string>, kLineRequests> m_answers;
    int m_askedBaudRate = 0;
};

}  // namespace flashupdate
