#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim_test {

// Up to `count` bytes from the descriptor within `timeout`, returning early once that many arrived
// or the far end has gone, which sets `ended`: for this class and TestClient alike.
std::vector<std::uint8_t> read_from(int fd, std::size_t count, std::chrono::milliseconds timeout,
                                    bool& ended);

// Opens the simulator's device the way a serial tool would: exclusive, raw, 8N1
// or 8N2, at a chosen speed. Written here from scratch on purpose. (A pty forces
// 8 data bits without parity, so the stop bits are all of the format it keeps.)
class TestPort {
public:
    // Throws std::system_error when the device cannot be opened or set up.
    TestPort(const std::string& device, int baud, int stop_bits = 1);
    ~TestPort();
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    void write(std::span<const std::uint8_t> bytes);
    void write(std::initializer_list<std::uint8_t> bytes);
    // As much as the line takes within `window`; returns how many bytes that was.
    std::size_t write_for(std::span<const std::uint8_t> bytes, std::chrono::milliseconds window);

    // Up to `count` bytes, returning early once that many arrived.
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds timeout);
    // Everything that arrives within `window`.
    std::vector<std::uint8_t> read_for(std::chrono::milliseconds window);

private:
    int fd_ = -1;
};

}  // namespace sim_test
