#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim_test {

// Opens the simulator's device the way a serial tool would: exclusive, raw, 8N1,
// at a chosen speed. Written here from scratch on purpose.
class TestPort {
public:
    // Throws std::system_error when the device cannot be opened or set up.
    TestPort(const std::string& device, int baud);
    ~TestPort();
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    void write(std::span<const std::uint8_t> bytes);
    void write(std::initializer_list<std::uint8_t> bytes);

    // Up to `count` bytes, returning early once that many arrived.
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds timeout);
    // Everything that arrives within `window`.
    std::vector<std::uint8_t> read_for(std::chrono::milliseconds window);

private:
    int fd_ = -1;
};

}  // namespace sim_test
