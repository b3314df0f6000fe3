#include "sim_session.h"

namespace sim_test {
namespace {

// Waits until the simulator has taken `count` bytes in all, so that the absence
// of an event afterwards means something.
void wait_until_taken(SimulatorProcess& sim, std::size_t count) {
    ASSERT_EQ(waitForTranscript(sim.transcriptPath(), count, kPatience).size(), count);
}

// A boot loader finished at another speed is not taken either: SimPacedLine's
// BytesStillQueuedCrossAtTheSpeedInForceWhenTheyDo.
TEST(SimLineSpeed, TheBootLoaderAndCommandsAreTakenOnlyAtTheirOwnSpeeds) {
    SimulatorProcess sim({"--erase-ms", "50"});
    {
        TestPort port(sim.devicePath(), kCommandBaud);
        port.write(boot_loader());
    }
    EXPECT_EQ(sim.waitForIgnored("at 9600 baud", kLoaderSize), kLoaderSize);
    EXPECT_FALSE(sim.sawEventStarting("boot loader"));
    {
        // A tool that forgets to switch speed after the loader.
        TestPort port(sim.devicePath(), kLoaderBaud);
        port.write(boot_loader());
        ASSERT_TRUE(sim.waitForEvent("boot loader received"));
        port.write({'E'});
        EXPECT_TRUE(expect_silence(port, kStragglers));
    }
    EXPECT_EQ(sim.waitForIgnored("at 1200 baud", 1), 1u);
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
