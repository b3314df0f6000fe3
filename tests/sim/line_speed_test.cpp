#include <span>

#include "sim_session.h"

namespace sim_test {
namespace {

// Waits until the simulator has taken `count` bytes in all, so that the absence
// of an event afterwards means something.
void wait_until_taken(SimulatorProcess& sim, std::size_t count) {
    ASSERT_EQ(waitForTranscript(sim.transcriptPath(), count, kPatience).size(), count);
}

TEST(SimLineSpeed, BootLoaderAtTheWrongSpeedIsNotTaken) {
    SimulatorProcess sim({"--erase-ms", "50"});
    {
        TestPort port(sim.devicePath(), kCommandBaud);
        port.write(boot_loader());
    }
    wait_until_taken(sim, kLoaderSize);
    for (const auto& line : readTranscript(sim.transcriptPath())) {
        ASSERT_EQ(line.baud, 9600) << line.text;
    }
    EXPECT_EQ(sim.waitForIgnored("at 9600 baud", kLoaderSize), kLoaderSize);
    EXPECT_FALSE(sim.sawEventStarting("boot loader"));

    // Still waiting for a boot loader, so commands go unanswered.
    {
        TestPort port(sim.devicePath(), kCommandBaud);
        port.write({'E'});
        EXPECT_TRUE(expect_silence(port, kStragglers));
    }

    // The right speed then works as usual.
    auto port = start_session(sim);
    ASSERT_TRUE(port);
    port->write({'E'});
    EXPECT_TRUE(expect_bytes(*port, {'E'}));
}

TEST(SimLineSpeed, BootLoaderFinishedAtAnotherSpeedIsNotTaken) {
    SimulatorProcess sim;
    const auto loader = boot_loader();
    {
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(std::span(loader).first(256));
    }
    wait_until_taken(sim, 256);
    ASSERT_TRUE(sim.waitForEvent("boot loader sync"));
    {
        TestPort port(sim.devicePath(), 2400);
        port.write(std::span(loader).subspan(256));
    }
    wait_until_taken(sim, kLoaderSize);
    EXPECT_EQ(sim.waitForIgnored("at 2400 baud", 256), 256u);
    EXPECT_FALSE(sim.sawEventStarting("boot loader received"));

    auto lines = readTranscript(sim.transcriptPath());
    EXPECT_EQ(lines[255].baud, 1200);
    EXPECT_EQ(lines[256].baud, 2400);
}

TEST(SimLineSpeed, CommandsAtTheBootLoaderSpeedAreNotTaken) {
    SimulatorProcess sim({"--erase-ms", "50"});
    {
        // A tool that forgets to switch speed after the loader.
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(boot_loader());
        ASSERT_TRUE(sim.waitForEvent("boot loader received"));
        port.write({'E'});
        EXPECT_TRUE(expect_silence(port, kStragglers));
    }
    wait_until_taken(sim, kLoaderSize + 1);
    const auto last = readTranscript(sim.transcriptPath()).back();
    EXPECT_EQ(last.baud, 1200);
    EXPECT_EQ(last.byte, 'E');
    EXPECT_FALSE(sim.sawEventStarting("erase"));

    TestPort port(sim.devicePath(), kCommandBaud);
    port.write({'E'});
    EXPECT_TRUE(expect_bytes(port, {'E'}));
}

TEST(SimLineSpeed, RecordBytesAtTheWrongSpeedAreNotSummed) {
    SimulatorProcess sim({"--erase-ms", "50"});
    auto port = start_session(sim);
    ASSERT_TRUE(port);
    port->write({'P', 0x40});
    port->write(std::vector<std::uint8_t>(kRecordSize / 2, 0xFF));
    // The speed is only known while the bytes are taken, so each change waits
    // until the simulator has them all.
    wait_until_taken(sim, kLoaderSize + 2 + kRecordSize / 2);
    port.reset();
    {
        TestPort slow(sim.devicePath(), 4800);
        slow.write(std::vector<std::uint8_t>(100, 0x01));
    }
    wait_until_taken(sim, kLoaderSize + 2 + kRecordSize / 2 + 100);
    port = std::make_unique<TestPort>(sim.devicePath(), kCommandBaud);
    port->write(std::vector<std::uint8_t>(kRecordSize / 2, 0xFF));
    ASSERT_TRUE(sim.waitForEvent("record 0x40"));
    port->write({'C'});
    EXPECT_TRUE(expect_bytes(*port, big_endian(kSumAllFF)));
}

}  // namespace
}  // namespace sim_test
