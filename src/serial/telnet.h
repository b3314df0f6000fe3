// Telnet as a serial device server speaks it (RFC 854), with binary transmission (RFC 856) and
// the Com Port Control option (RFC 2217). Data and commands share one byte stream: IAC (0xFF)
// starts a command, so a data byte 0xFF travels doubled. The boot loader begins with 0xFF and the
// last record is padded with it: a slip here corrupts every update.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace flashupdate::telnet {

inline constexpr unsigned char kIac = 255;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kWill = 251;
inline constexpr unsigned char kSb = 250;
inline constexpr unsigned char kSe = 240;

inline constexpr unsigned char kBinary = 0;
inline constexpr unsigned char kComPort = 44;

// Com Port Control requests from the client; the server answers each with its code + 100.
enum ComPortCommand : unsigned char {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kPurgeData = 12,
};
inline constexpr unsigned char kServerReply = 100;

// SET-CONTROL values and PURGE-DATA's "the server's transmit buffer".
inline constexpr unsigned char kNoFlowControl = 1;
inline constexpr unsigned char kDtrOn = 8;
inline constexpr unsigned char kDtrOff = 9;
inline constexpr unsigned char kRtsOn = 11;
inline constexpr unsigned char kRtsOff = 12;
inline constexpr unsigned char kPurgeTransmit = 2;

// Data as it goes on the connection: every 0xFF doubled.
std::string escapeData(std::string_view data);
// IAC verb option.
std::string negotiation(unsigned char verb, unsigned char option);
// IAC SB COM-PORT-OPTION command value... IAC SE, with any 0xFF in the value doubled.
std::string comPortRequest(unsigned char command, std::string_view value);

// A command the server sent: a negotiation (verb WILL, WONT, DO or DONT with its option), or a
// subnegotiation (verb SB, with its option and the payload, undoubled).
struct Command {
    unsigned char verb = 0;
    unsigned char option = 0;
    std::string payload;
};

// Splits what the server sends into data and commands, whatever way the connection cut it: a
// command may begin in one read and end in the next. It hands out one command at a time and holds
// at most one subnegotiation of bounded length, so nothing the server sends can make it grow.
class Decoder {
public:
    explicit Decoder(std::size_t longestPayload) : m_longestPayload(longestPayload) {}

    // Takes bytes from the front of chunk up to the end of the next complete command, appending
    // the data bytes among them to data; nothing when chunk ran out first (what it held of a
    // command waits for the next chunk). Throws SerialError (kind Protocol) for a subnegotiation
    // whose payload passes the longest, and for every chunk after that: the stream cannot be
    // followed any more.
    std::optional<Command> next(std::string_view& chunk, std::string& data);

private:
    enum class State { Data, Iac, Option, SubOption, Sub, SubIac, Broken };
    std::size_t m_longestPayload;
    State m_state = State::Data;
    Command m_command;
};

}  // namespace flashupdate::telnet
