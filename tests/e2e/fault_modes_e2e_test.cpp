// Troubles that only a real line shows, and the ending the operator sees for each.
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

// What the instrument answers is judged once, on virtual time, by the unit tests; here only what a
// real line adds to it: how a pseudo-terminal cuts an answer into receive events, and a line that
// drops as the instrument restarts.
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
    EXPECT_FALSE(portOpenAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, FaultModes,
    ::testing::Values(
        // Two deliveries 400 ms apart stay two receive events; one burst cut up by the transport
        // is one.
        FaultCase{"checksum-split", "Check Sum not Received", " Check Sum not Received"},
        FaultCase{"checksum-packets", "FLASH updated successfully  ", ""},
        // Verified, then the line drops as the instrument restarts: verified it stays.
        FaultCase{"hangup-after-checksum", "FLASH updated successfully  ", ""}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        std::string name = info.param.fault;
        std::erase(name, '-');
        return name;
    });

}  // namespace
}  // namespace flashupdate::testing
