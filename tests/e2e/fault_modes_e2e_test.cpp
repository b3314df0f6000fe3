// Every trouble the simulator can play, and the ending the operator sees for it.
#include <cstring>

#include "engine_rig.h"

namespace flashupdate::testing {
namespace {

struct FaultCase {
    const char* fault;
    const char* status;
    const char* message;  // empty: no message box
    // All the instrument received at command speed, for runs that end before a record.
    const char* commands = "";
    // The erase went unanswered and was sent again when the instrument's 6 s were up.
    bool eraseRepeated = false;
    // The instrument's sum disagrees with the file's, and "X" still ends its session although
    // the port is closed right after it.
    bool sumsDisagree = false;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.fault;
}

class FaultModes : public EngineE2E, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultModes, EndAsTheOperatorExpects) {
    const FaultCase& c = GetParam();
    SimulatorProcess simulator({"--fault", c.fault, "--erase-ms", "50"});
    update(simulator, randomBytes(10000, 9));
    EXPECT_EQ(view.status(), c.status);
    if (std::string(c.message).empty()) {
        EXPECT_TRUE(view.messages().empty());
    } else {
        EXPECT_EQ(view.messageTexts(), std::vector<std::string>{c.message});
    }
    // Every ending but the checksum's error exit closes the port.
    EXPECT_EQ(portOpenAfter, std::string(c.fault) == "checksum-high");
    if (c.eraseRepeated) {
        const auto erases = simulator.arrivals(9600, 'E', 2);
        ASSERT_EQ(erases.size(), 2u);
        // The transcript holds line times, so a busy machine delays both alike.
        EXPECT_NEAR(erases[1] - erases[0], 6.0, 0.8);
    }
    if (*c.commands != '\0') {
        EXPECT_EQ(simulator.receivedAt(9600, std::strlen(c.commands)), c.commands);
    }
    if (c.sumsDisagree) {
        EXPECT_NE(view.caption(Label::lblCheckSum3), view.caption(Label::lblCheckSum4));
        ASSERT_TRUE(simulator.waitForSessionEnd());
        const std::string received = simulator.receivedSoFar(9600);
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received.back(), 'X');
    }
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, FaultModes,
    ::testing::Values(
        FaultCase{.fault = "erase-silent",
                  .status = "FLASH not Updated",
                  .message = " Programming Error\r\nFLASH not Updated",
                  .commands = "EE",
                  .eraseRepeated = true},
        FaultCase{"erase-wrong", "FLASH not Updated",
                  "End Of Erase Not Detected\r\nFLASH not Updated"},
        FaultCase{"erase-lower", "FLASH not Updated",
                  "End Of Erase Not Detected\r\nFLASH not Updated"},
        FaultCase{"erase-second", "FLASH updated successfully  ", ""},
        FaultCase{.fault = "bad-checksum",
                  .status = "FLASH not updated successfully ",
                  .message = "FLASH not updated successfully : BAD CHECKSUM",
                  .sumsDisagree = true},
        FaultCase{"checksum-short", "Check Sum not Received", " Check Sum not Received"},
        // Two deliveries 400 ms apart stay two receive events; one burst cut up by the transport
        // is one.
        FaultCase{"checksum-split", "Check Sum not Received", " Check Sum not Received"},
        FaultCase{"checksum-packets", "FLASH updated successfully  ", ""},
        // Verified, then the line drops as the instrument restarts: verified it stays.
        FaultCase{"hangup-after-checksum", "FLASH updated successfully  ", ""},
        FaultCase{"checksum-high", "Requesting Check Sum", " Problem Receiving Check Sum"},
        FaultCase{"checksum-long", "FLASH updated successfully  ", ""},
        FaultCase{"checksum-silent", "Check Sum not Received", " Check Sum not Received"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        std::string name = info.param.fault;
        std::erase(name, '-');
        return name;
    });

}  // namespace
}  // namespace flashupdate::testing
