#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/simulator_process.h"
#include "support/transcript.h"
#include "test_port.h"

namespace sim_test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

using flashupdate::testing::bytesAt;
using flashupdate::testing::firstDifference;
using flashupdate::testing::kPatience;
using flashupdate::testing::readTranscript;
using flashupdate::testing::SimulatorProcess;
using flashupdate::testing::TempDir;
using flashupdate::testing::TranscriptLine;
using flashupdate::testing::waitForTranscript;
using Launch = SimulatorProcess::Launch;

// What a check that nothing comes (no answer, no more bytes) waits.
inline constexpr Millis kStragglers{flashupdate::testing::kStragglersMs};

constexpr int kLoaderBaud = 1200;
constexpr int kCommandBaud = 9600;
constexpr std::size_t kLoaderSize = 512;
constexpr std::size_t kRecordSize = 16384;

// A sum worked out by hand rather than by the code under test: 16384 x 0xFF.
constexpr std::uint32_t kSumAllFF = 0x003FC000;

// A boot loader as the tool sends it: the sync byte 0xFF and 511 more. The rest
// runs through every byte value, command letters and 0xFF included, so anything
// that mistakes loader bytes for a sync or a command shows.
std::vector<std::uint8_t> boot_loader();

// One program record: "P", the block number, then 16384 data bytes.
std::vector<std::uint8_t> program_record(std::uint8_t block, std::uint8_t fill);

std::vector<std::uint8_t> big_endian(std::uint32_t value);

// Sends the boot loader at 1200 baud on a port of its own, closes it as the tool
// does, and waits until the instrument reports the loader complete.
testing::AssertionResult load_boot_loader(SimulatorProcess& sim);

// The boot loader, then the port reopened at 9600 ready for commands.
std::unique_ptr<TestPort> start_session(SimulatorProcess& sim);

testing::AssertionResult expect_bytes(TestPort& port, const std::vector<std::uint8_t>& expected,
                                      Millis timeout = kPatience);
testing::AssertionResult expect_silence(TestPort& port, Millis window);

std::string hex(const std::vector<std::uint8_t>& bytes);

}  // namespace sim_test
