#include "sim_session.h"

#include <cstdio>

namespace sim_test {

std::vector<std::uint8_t> boot_loader() {
    std::vector<std::uint8_t> loader{0xFF};
    for (std::size_t i = 1; i < kLoaderSize; ++i) {
        loader.push_back(static_cast<std::uint8_t>(i * 7));
    }
    return loader;
}

std::vector<std::uint8_t> program_record(std::uint8_t block, std::uint8_t fill) {
    // Sized at once and then headed: growing a two-byte vector makes GCC 12 report a false
    // -Warray-bounds in an optimised build.
    std::vector<std::uint8_t> record(2 + kRecordSize, fill);
    record[0] = 'P';
    record[1] = block;
    return record;
}

std::vector<std::uint8_t> big_endian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

testing::AssertionResult load_boot_loader(SimulatorProcess& sim) {
    {
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(boot_loader());
    }
    if (!sim.waitForEvent("boot loader received")) {
        return testing::AssertionFailure() << "the boot loader was not received";
    }
    return testing::AssertionSuccess();
}

std::unique_ptr<TestPort> start_session(SimulatorProcess& sim) {
    auto loaded = load_boot_loader(sim);
    if (!loaded) {
        ADD_FAILURE() << loaded.message();
        return nullptr;
    }
    return std::make_unique<TestPort>(sim.devicePath(), kCommandBaud);
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (auto byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%s%02X", text.empty() ? "" : " ", byte);
        text += digits;
    }
    return text.empty() ? "(nothing)" : text;
}

testing::AssertionResult expect_bytes(TestPort& port, const std::vector<std::uint8_t>& expected,
                                      Millis timeout) {
    auto received = port.read(expected.size(), timeout);
    if (received != expected) {
        return testing::AssertionFailure()
               << "expected " << hex(expected) << ", received " << hex(received);
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult expect_silence(TestPort& port, Millis window) {
    auto received = port.read_for(window);
    if (!received.empty()) {
        return testing::AssertionFailure() << "expected silence, received " << hex(received);
    }
    return testing::AssertionSuccess();
}

}  // namespace sim_test
