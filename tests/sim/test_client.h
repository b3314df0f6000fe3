#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim_test {

// IAC SB COM-PORT-OPTION code value IAC SE, with 0xFF in the value doubled: a request of the
// client (RFC 2217), or with code + 100 the server's answer to it.
std::vector<std::uint8_t> com_port(std::uint8_t code, const std::vector<std::uint8_t>& value);

// A client of the simulator's serial device server, written here from scratch as TestPort is
// for its pseudo-terminal: it sends bytes as they stand, Telnet commands and all, and reads what
// the server sends back, so a test states the wire on both sides itself.
class TestClient {
public:
    // Connects to "rfc2217://127.0.0.1:PORT". Throws std::system_error when it cannot.
    explicit TestClient(const std::string& name);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void write(const std::vector<std::uint8_t>& bytes);
    // Up to `count` bytes, returning early once that many arrived or the server ended the
    // connection.
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds timeout);
    // Whether the server ends the connection within `timeout`; what it sends meanwhile is
    // dropped.
    bool ended_by_server(std::chrono::milliseconds timeout);
    // Ends our side, as the tool does when it closes the port, and waits for the server to end
    // its own; false if it does not within `timeout`.
    bool end(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    bool ended_ = false;
};

}  // namespace sim_test
