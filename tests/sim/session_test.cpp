#include <fstream>
#include <numeric>
#include <span>
#include <thread>

#include "sim_session.h"

namespace sim_test {
namespace {

using Clock = std::chrono::steady_clock;

TEST(SimSession, RunsAToolLikeSessionAndTranscribesEveryByteWithItsSpeed) {
    SimulatorProcess sim({"--once", "--erase-ms", "300"});
    { std::ofstream(sim.transcriptPath()) << "earlier run\n"; }

    // The tool's pacing: two halves a second apart, then the port is closed.
    const auto loader = boot_loader();
    {
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(std::span(loader).first(256));
        std::this_thread::sleep_for(1000ms);
        port.write(std::span(loader).subspan(256));
    }
    ASSERT_TRUE(sim.waitForEvent("boot loader received"));

    TestPort port(sim.devicePath(), kCommandBaud);
    port.write({'E'});
    ASSERT_TRUE(expect_bytes(port, {'E'}));
    const auto first = program_record(0x40, 0xFF);
    // Counting 0..255 over and over, the last 0xFF left at 0x00 so that the sum's low bytes differ
    // from each other.
    auto second = program_record(0x48, 0x00);
    std::iota(second.begin() + 2, second.end() - 1, std::uint8_t{0});
    port.write(first);
    port.write(second);
    port.write({'C'});
    // 0x3FC000 + 64 rounds of 0..255 (0x1FE000) - 0xFF, most significant byte first.
    ASSERT_TRUE(expect_bytes(port, {0x00, 0x5F, 0x9F, 0x01}));
    EXPECT_TRUE(expect_silence(port, 200ms));
    // Neither the loader nor a command other than "X" ends a session of --once.
    EXPECT_TRUE(sim.running());
    port.write({'X'});
    EXPECT_EQ(sim.waitForExit(), 0);

    const std::vector<std::string> expected{
        "boot loader sync",   "boot loader received", "erase",       "erased",
        "answer 45",          "record 0x40",          "record 0x48", "checksum 005F9F01",
        "answer 00 5F 9F 01", "session end"};
    EXPECT_EQ(sim.events(), expected);

    std::string commands = "E";
    commands.append(first.begin(), first.end());
    commands.append(second.begin(), second.end());
    commands += "CX";
    const auto lines = readTranscript(sim.transcriptPath());
    ASSERT_EQ(lines.size(), 1 + loader.size() + commands.size());
    EXPECT_EQ(lines[0].text, "earlier run") << "the transcript must be appended to";
    EXPECT_EQ(lines[1].text.substr(lines[1].text.find(' ')), " 1200 FF");
    EXPECT_EQ(
        firstDifference(bytesAt(lines, kLoaderBaud), std::string(loader.begin(), loader.end())),
        "");
    EXPECT_EQ(firstDifference(bytesAt(lines, kCommandBaud), commands), "");
    for (std::size_t i = 2; i < lines.size(); ++i) {
        ASSERT_GE(lines[i].seconds, lines[i - 1].seconds)
            << "line " << i + 1 << " goes back in time";
    }
    EXPECT_LT(lines.back().seconds, 60.0) << "seconds are counted from the simulator's start";
}

// A restarting instrument lets go of the line once its session is over, as --once does.
TEST(SimSession, HangupAfterChecksumEndsTheInstrumentOnX) {
    SimulatorProcess sim({"--fault", "hangup-after-checksum"});
    auto port = start_session(sim);
    ASSERT_TRUE(port);
    port->write({'C'});
    EXPECT_TRUE(expect_bytes(*port, {0x00, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(sim.running());
    port->write({'X'});
    EXPECT_TRUE(sim.waitForEvent("hang-up"));
    EXPECT_EQ(sim.waitForExit(), 0);
}

TEST(SimSession, EraseIsAnsweredAfterTheEraseTimeWhileTheLineIsStillRead) {
    SimulatorProcess sim({"--erase-ms", "1500"});
    auto port = start_session(sim);
    ASSERT_TRUE(port);

    const auto sent = Clock::now();
    port->write({'E'});
    // Sent once the erase has begun: sent at once, both bytes may be read together, and a
    // simulator that stops reading while it erases would go unnoticed.
    ASSERT_TRUE(sim.waitForEvent("erase"));
    port->write({0x00});
    auto lines = waitForTranscript(sim.transcriptPath(), kLoaderSize + 2, kPatience);
    ASSERT_EQ(lines.size(), kLoaderSize + 2);
    // Taken off the line before the erase was over. A simulator that left the line unread until
    // then would stamp the second byte 1.5 s after the first at the earliest; the bound leaves a
    // busy machine all the time short of that to read it.
    EXPECT_LT(lines.back().seconds - lines[kLoaderSize].seconds, 1.4);

    ASSERT_TRUE(expect_bytes(*port, {'E'}));
    EXPECT_GE(Clock::now() - sent, 1450ms);
    EXPECT_TRUE(sim.waitForEvent("ignored 1 byte while erasing: 00"));
}

TEST(SimSession, BootLoaderCountsFromTheSyncByte) {
    SimulatorProcess sim;
    auto loader = boot_loader();
    TestPort port(sim.devicePath(), kLoaderBaud);
    port.write({0x00, 0x45, 0x58});
    port.write(std::span(loader).first(kLoaderSize - 1));
    ASSERT_EQ(waitForTranscript(sim.transcriptPath(), 3 + kLoaderSize - 1, kPatience).size(),
              3 + kLoaderSize - 1);
    EXPECT_TRUE(sim.waitForEvent("ignored 3 bytes before sync: 00 45 58"));
    EXPECT_TRUE(sim.waitForEvent("boot loader sync"));
    EXPECT_FALSE(sim.sawEventStarting("boot loader received"));

    port.write(std::span(loader).last(1));
    EXPECT_TRUE(sim.waitForEvent("boot loader received"));
}

TEST(SimSession, OtherBytesAreNotCommandsAndOddRecordsAreWarnedOfButSummed) {
    SimulatorProcess sim({"--erase-ms", "50"});
    auto port = start_session(sim);
    ASSERT_TRUE(port);
    port->write({'Z', 'e', 0xFF});
    EXPECT_TRUE(expect_silence(*port, kStragglers));
    EXPECT_TRUE(sim.waitForEvent("ignored 3 bytes not a command: 5A 65 FF"));
    port->write(program_record(0x48, 0x01));
    ASSERT_TRUE(sim.waitForEvent("warning: block 0x48 where 0x40 was expected"));
    ASSERT_TRUE(sim.waitForEvent("warning: block 0x48 programmed before an erase"));
    ASSERT_TRUE(sim.waitForEvent("record 0x48"));
    // Still summed: the instrument programs what it is sent.
    port->write({'C'});
    EXPECT_TRUE(expect_bytes(*port, {0x00, 0x00, 0x40, 0x00}));
    port->write({'E'});
    EXPECT_TRUE(expect_bytes(*port, {'E'}));
}

}  // namespace
}  // namespace sim_test
