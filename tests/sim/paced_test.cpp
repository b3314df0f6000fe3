#include <algorithm>
#include <numeric>
#include <thread>

#include "sim_session.h"
#include "test_client.h"

namespace sim_test {
namespace {

using Clock = std::chrono::steady_clock;

struct PacingCase {
    const char* name;
    bool paced;
    int baud;
    int stop_bits;
    std::size_t count;
    double seconds;        // from the first byte to the last at the line's pace
    bool network = false;  // behind the simulator's serial device server
};

class SimPacing : public testing::TestWithParam<PacingCase> {};

TEST_P(SimPacing, BytesTakeTheLineTimeOfTheirSpeedAndFormatOnlyWhenPaced) {
    const PacingCase& c = GetParam();
    std::vector<std::string> options;
    if (c.paced) {
        options.push_back("--paced");
    }
    if (c.network) {
        options.insert(options.end(), {"--rfc2217", "127.0.0.1:0"});
    }
    SimulatorProcess sim(options);
    const std::vector<std::uint8_t> data(c.count, 0x00);
    if (c.network) {
        TestClient client(sim.devicePath());
        std::vector<std::uint8_t> wire =
            com_port(1, big_endian(static_cast<std::uint32_t>(c.baud)));
        const auto stop = com_port(4, {static_cast<std::uint8_t>(c.stop_bits)});
        wire.insert(wire.end(), stop.begin(), stop.end());
        wire.insert(wire.end(), data.begin(), data.end());
        client.write(wire);
        ASSERT_TRUE(client.end(kPatience + Millis(static_cast<int>(c.seconds * 1000))));
    } else {
        TestPort port(sim.devicePath(), c.baud, c.stop_bits);
        port.write(data);
    }
    auto lines = waitForTranscript(sim.transcriptPath(), c.count, kPatience);
    ASSERT_EQ(lines.size(), c.count);
    const double span = lines.back().seconds - lines.front().seconds;
    if (c.paced) {
        // The line is never idle, so the times follow from speed and format alone,
        // however late the simulator wakes.
        EXPECT_NEAR(span, c.seconds, 0.03 * c.seconds);
    } else {
        // Stamped when read, so a busy machine stretches the span; half the line time still
        // tells a line that is not paced from one that is.
        EXPECT_LT(span, c.seconds / 2);
    }
}

// Bits per character: start bit, 8 data bits, stop bits.
INSTANTIATE_TEST_SUITE_P(Modes, SimPacing,
                         testing::Values(PacingCase{"Unpaced", false, 1200, 1, 1200, 9.99},
                                         PacingCase{"Paced8N1At9600", true, 9600, 1, 961, 1.0},
                                         PacingCase{"Paced8N2At1200", true, 1200, 2, 121, 1.1},
                                         PacingCase{"PacedBehindAServer8N1At1200", true, 1200, 1,
                                                    121, 1.0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimPacedLine, AWriterThatRunsAheadFindsTheLineFull) {
    SimulatorProcess sim({"--paced"});
    TestPort port(sim.devicePath(), kCommandBaud);
    // Far more than a pty holds: at 960 bytes a second the line takes little of it,
    // while a simulator that empties the pty at once lets all of it through.
    const std::vector<std::uint8_t> data(256 * 1024, 0x00);
    const std::size_t taken = port.write_for(data, 300ms);
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, data.size() / 2);
}

TEST(SimPacedLine, AnIdleLineDoesNotLetALaterBurstThroughFaster) {
    SimulatorProcess sim({"--paced"});
    TestPort port(sim.devicePath(), kCommandBaud);
    // 0.1 s of line time each, the second sent once the first has crossed and the line has
    // idled for 0.4 s. Waiting for the first to cross, rather than for a fixed time after
    // sending it, keeps a late start of the first from shortening the idle spell.
    port.write(std::vector<std::uint8_t>(96, 0x00));
    ASSERT_EQ(waitForTranscript(sim.transcriptPath(), 96, kPatience).size(), 96u);
    std::this_thread::sleep_for(400ms);
    port.write(std::vector<std::uint8_t>(96, 0x00));
    auto lines = waitForTranscript(sim.transcriptPath(), 192, kPatience);
    ASSERT_EQ(lines.size(), 192u);
    EXPECT_GE(lines[96].seconds - lines[95].seconds, 0.35);
    EXPECT_NEAR(lines[191].seconds - lines[96].seconds, 0.099, 0.01);
}

TEST(SimPacedLine, BootLoaderIsTakenWhenTheWriterWaitsForTheLineBeforeSwitching) {
    SimulatorProcess sim({"--paced", "--erase-ms", "0"});
    const auto sent = Clock::now();
    {
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(boot_loader());
        ASSERT_EQ(waitForTranscript(sim.transcriptPath(), kLoaderSize, kPatience).size(),
                  kLoaderSize);
    }
    // 512 characters at 1200 baud take 4.27 s.
    EXPECT_GE(Clock::now() - sent, 4000ms);
    ASSERT_TRUE(sim.waitForEvent("boot loader received"));
    TestPort port(sim.devicePath(), kCommandBaud);
    // Paced bytes are handed over in small batches: the "C" falls due after the
    // (instant) erase is over and must find it so, however late the batch.
    port.write({'E', 'C'});
    EXPECT_TRUE(expect_bytes(port, {'E', 0x00, 0x00, 0x00, 0x00}));
}

TEST(SimPacedLine, BytesStillQueuedCrossAtTheSpeedInForceWhenTheyDo) {
    SimulatorProcess sim({"--paced"});
    {
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(boot_loader());
        // Switched far too soon, once the first byte has crossed: the loader needs 4.27 s at
        // 1200 baud. Waiting for that byte rather than for a fixed time makes sure some cross at
        // 1200 however late the simulator wakes.
        ASSERT_FALSE(waitForTranscript(sim.transcriptPath(), 1, kPatience).empty());
    }
    TestPort port(sim.devicePath(), kCommandBaud);
    auto lines = waitForTranscript(sim.transcriptPath(), kLoaderSize, kPatience);
    ASSERT_EQ(lines.size(), kLoaderSize);
    const auto slow = std::ranges::count_if(lines, [](const auto& l) { return l.baud == 1200; });
    EXPECT_GT(slow, 0);
    EXPECT_LT(slow, static_cast<long>(kLoaderSize / 2));
    EXPECT_EQ(lines.back().baud, kCommandBaud);
    // A boot loader finished at another speed is not taken.
    const auto fast = kLoaderSize - static_cast<std::size_t>(slow);
    EXPECT_EQ(sim.waitForIgnored("at 9600 baud", fast), fast);
    EXPECT_FALSE(sim.sawEventStarting("boot loader received"));
}

class SimStall : public testing::TestWithParam<bool> {};

TEST_P(SimStall, ReadsNothingForAWhileOnceAfterBytesAtCommandSpeedAndLosesNone) {
    std::vector<std::string> arguments{"--stall-after", "100", "--stall-ms", "1000"};
    if (GetParam()) {
        arguments.push_back("--paced");
    }
    SimulatorProcess sim(arguments);
    constexpr std::size_t kSlow = 30;
    {
        // Bytes at another speed do not bring the stall closer.
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(std::vector<std::uint8_t>(kSlow, 0xAA));
        ASSERT_EQ(waitForTranscript(sim.transcriptPath(), kSlow, kPatience).size(), kSlow);
    }
    std::vector<std::uint8_t> data(250);
    std::iota(data.begin(), data.end(), std::uint8_t{0});
    TestPort port(sim.devicePath(), kCommandBaud);
    port.write(data);
    auto lines = waitForTranscript(sim.transcriptPath(), kSlow + data.size(), kPatience);
    ASSERT_EQ(lines.size(), kSlow + data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(lines[kSlow + i].byte, data[i]) << lines[kSlow + i].text;
        ASSERT_EQ(lines[kSlow + i].baud, kCommandBaud) << lines[kSlow + i].text;
    }
    // Times have three decimals, so a gap of exactly 1 s can show as 0.999.
    const double gap = lines[kSlow + 100].seconds - lines[kSlow + 99].seconds;
    EXPECT_GE(gap, 0.999);
    EXPECT_LT(gap, 4.0);
    EXPECT_TRUE(sim.waitForEvent("stall 1000 ms"));
    EXPECT_TRUE(sim.waitForEvent("stall over"));
    const auto events = sim.events();
    EXPECT_EQ(std::ranges::count(events, std::string("stall 1000 ms")), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, SimStall, testing::Bool(),
                         [](const auto& info) { return info.param ? "Paced" : "Unpaced"; });

}  // namespace
}  // namespace sim_test
