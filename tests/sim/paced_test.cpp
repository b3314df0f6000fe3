#include "sim_session.h"

namespace sim_test {
namespace {

using Clock = std::chrono::steady_clock;

class SimPacing : public testing::TestWithParam<bool> {};

TEST_P(SimPacing, BytesTakeTheLineTimeOnlyWhenPaced) {
    const bool paced = GetParam();
    RunningSim sim(paced ? std::vector<std::string>{"--paced"} : std::vector<std::string>{});
    ASSERT_FALSE(sim.device.empty());
    TestPort port(sim.device, kLoaderBaud);
    // 120 characters at 1200 baud: 10 bits each, 1 second on a real line.
    port.write(std::vector<std::uint8_t>(120, 0x00));
    auto lines = wait_for_transcript(sim.transcript_path, 120, kPatience);
    ASSERT_EQ(lines.size(), 120u);
    const double span = lines.back().seconds - lines.front().seconds;
    if (paced) {
        EXPECT_GE(span, 0.95);
        EXPECT_LT(span, 3.0);
    } else {
        EXPECT_LT(span, 0.5);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SimPacing, testing::Bool(),
                         [](const auto& info) { return info.param ? "Paced" : "Unpaced"; });

TEST(SimPacing, BytesInFlightCountAtTheSpeedTheyWereSentAt) {
    // On a real line the UART has sent the loader at 1200 baud even if the tool
    // reconfigures its port before the last byte has reached the instrument.
    RunningSim sim({"--paced", "--erase-ms", "0"});
    ASSERT_FALSE(sim.device.empty());
    const auto sent = Clock::now();
    {
        TestPort port(sim.device, kLoaderBaud);
        port.write(boot_loader());
        // Seeing the first byte means the simulator has drained the whole write.
        ASSERT_TRUE(sim.process.wait_for_event("boot loader sync"));
    }
    TestPort port(sim.device, kCommandBaud);
    // Paced bytes are handed over in small batches: the "C" falls due after the
    // (instant) erase is over and must find it so, however late the batch.
    port.write({'E', 'C'});
    ASSERT_TRUE(sim.process.wait_for_event("boot loader received"));
    // 512 characters at 1200 baud take 4.27 s.
    EXPECT_GE(Clock::now() - sent, 4000ms);
    EXPECT_TRUE(expect_bytes(port, {'E', 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace
}  // namespace sim_test
