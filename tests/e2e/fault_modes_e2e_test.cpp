// Every trouble the simulator can play, and the ending the operator sees for it.
#include "engine_rig.h"

namespace flashupdate::testing {
namespace {

struct FaultCase {
    const char* fault;
    const char* status;
    const char* message;  // empty: no message box
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
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, FaultModes,
    ::testing::Values(
        FaultCase{"erase-silent", "FLASH not Updated", " Programming Error\r\nFLASH not Updated"},
        FaultCase{"erase-wrong", "FLASH not Updated",
                  "End Of Erase Not Detected\r\nFLASH not Updated"},
        FaultCase{"erase-lower", "FLASH not Updated",
                  "End Of Erase Not Detected\r\nFLASH not Updated"},
        FaultCase{"erase-second", "FLASH updated successfully  ", ""},
        FaultCase{"bad-checksum", "FLASH not updated successfully ",
                  "FLASH not updated successfully : BAD CHECKSUM"},
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
