#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "event_log.h"
#include "line_end.h"

namespace instrument_sim {

// Where a serial device server listens: a numeric address and a port, 0 letting the
// system choose one.
struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// A serial device server with the instrument on its serial port: Telnet (RFC 854) with
// binary transmission (RFC 856) and the Com Port Control option (RFC 2217), as the
// server speaks them. One client at a time; the serial side stays as the last client
// left it (the line's speed, the instrument's state), as on a real server, so a client
// may close and connect again between the phases of an update.
//
// What the client sends is read at once, its commands answered as they come, and its
// data kept in a small buffer that the line empties at its own pace; a full buffer
// leaves the rest in the connection, so a client that runs ahead meets a full network
// as it would a slow line. Nothing the client sends makes the server hold more.
class Rfc2217Server : public LineEnd {
public:
    // Data held for the line: what a small server's serial buffer holds.
    static constexpr std::size_t kBufferSize = 1024;
    // Longer than any Com Port Control request; a longer one is a broken client.
    static constexpr std::size_t kLongestSubnegotiation = 64;

    // Listens on `address`. Throws std::system_error when it cannot.
    Rfc2217Server(const ListenAddress& address, EventSink& events);
    ~Rfc2217Server() override;
    Rfc2217Server(const Rfc2217Server&) = delete;
    Rfc2217Server& operator=(const Rfc2217Server&) = delete;

    // "rfc2217://HOST:PORT", with the port actually bound: how the tool names it.
    const std::string& name() const { return name_; }

    int listen_fd() const { return listen_fd_; }
    int connection_fd() const { return connection_fd_; }
    // Counts the connections accepted, so a watcher can tell a new connection from an old
    // one that had the same descriptor number.
    std::uint64_t connections() const { return connections_; }
    bool connected() const { return connection_fd_ >= 0; }
    // Whether the connection is worth reading now: the buffer has room.
    bool wants_input() const { return connected() && buffer_.size() < kBufferSize; }

    // Takes the client waiting, if any; only while no other is connected.
    void accept_client();
    // Reads what the client sent, as far as the buffer has room; ends the connection
    // when the client has ended its side, reset it or broken the protocol.
    void take_input();
    // Called when the connection reports a hang-up or an error: takes what is left that
    // fits, then lets go of the connection whatever remains.
    void connection_failed();
    // Ends the connection, as a server whose serial side hangs up.
    void disconnect(const char* why);
    // Takes no more clients.
    void stop_listening();

    LineFormat line_format() const override;
    std::size_t waiting() const override { return buffer_.size(); }
    ssize_t read(std::span<std::uint8_t> buffer) override;
    // Sent to the client with 0xFF doubled; with no client connected the instrument's
    // answer goes nowhere, as on a server whose client has gone.
    ssize_t write(std::span<const std::uint8_t> bytes) override;

private:
    enum class Reading : std::uint8_t { data, command, option, sub, sub_command };

    void take(std::uint8_t byte);
    void negotiate(std::uint8_t verb, std::uint8_t option);
    void com_port(std::uint8_t request, const std::string& value);
    void send_raw(const std::string& bytes);
    void event(const std::string& line) { events_.event(line); }

    EventSink& events_;
    int listen_fd_ = -1;
    int connection_fd_ = -1;
    std::uint64_t connections_ = 0;
    std::string name_;

    // The client's stream, as far as it has been read.
    Reading reading_ = Reading::data;
    std::uint8_t verb_ = 0;
    std::string sub_;
    bool broken_ = false;
    // Which options are on, per side: ours (WILL) and the client's (DO).
    std::array<bool, 256> ours_{};
    std::array<bool, 256> clients_{};
    std::string buffer_;  // data for the line, in order

    // The serial side as the last client set it, in the option's codes; an idle port runs
    // at the command speed, 8N1.
    std::uint32_t baud_ = 9600;
    std::uint8_t data_size_ = 8;
    std::uint8_t parity_ = 1;
    std::uint8_t stop_size_ = 1;
};

// Parses "HOST:PORT" (HOST a numeric address or "localhost"; an IPv6 address in brackets)
// into the address of the first of `count` servers. Returns an error text, empty when
// it could be parsed.
std::string parse_listen_address(const std::string& text, int count, ListenAddress& out);

// The same address with the port `offset` further on; a port of 0 stays 0.
ListenAddress nth_address(const ListenAddress& first, int offset);

}  // namespace instrument_sim
