// Whole updates in real time: the engine on the real serial layer and Qt's event loop, the
// instrument simulator at the other end of a pseudo-terminal.
#include "engine_rig.h"

namespace flashupdate::testing {
namespace {

TEST_F(EngineE2E, MultiRecordImageIsFlashedAndVerified) {
    SimulatorProcess simulator;
    const std::string image = randomBytes(16384 + 100, 2);
    const double wall = update(simulator, image);

    EXPECT_TRUE(view.messages().empty());
    EXPECT_EQ(view.status(), "FLASH updated successfully  ");
    std::uint32_t sum = 0;
    std::string padded = image + std::string(2 * 16384 - image.size(), '\xFF');
    for (const char c : padded) {
        sum += static_cast<unsigned char>(c);
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", sum);
    EXPECT_EQ(view.caption(Label::lblCheckSum3), hex);
    EXPECT_EQ(view.caption(Label::lblCheckSum4), hex);
    // The front ends read the sums from the result, not from the captions.
    EXPECT_EQ(result.fileCheckSum, sum);
    EXPECT_EQ(result.deviceCheckSum, sum);
    EXPECT_EQ(view.caption(Label::lblBytesT), " 32768");
    // Appended, not prefixed: GCC 12 warns falsely (-Wrestrict) on a literal + string here.
    std::string fileBytes = " ";
    fileBytes += std::to_string(image.size());
    EXPECT_EQ(view.caption(Label::lblFileB), fileBytes);
    EXPECT_FALSE(portOpenAfter);

    // On the line: the boot loader at 1200 baud, everything else at 9600.
    const std::string boot = simulator.receivedAt(1200, 512);
    const std::string bootExpected = "\xFF" + m_bootLoader;
    EXPECT_EQ(firstDifference(boot, bootExpected), "");
    std::string expected = "E";
    for (int k = 0; k < 2; ++k) {
        expected += 'P';
        expected += static_cast<char>(0x40 + 8 * k);
        expected += padded.substr(static_cast<std::size_t>(k) * 16384, 16384);
    }
    expected += "CX";
    EXPECT_EQ(firstDifference(simulator.receivedAt(9600, expected.size()), expected), "");
    // The fixed waits take 1 + 2 + 1 + 1 + 1 + 2 + 1 s, the records 2 x 17.07 s on the line.
    EXPECT_GE(wall, 9.0 + 34.1);
    // Bounded only against a wait taken twice: the machine may be busy.
    EXPECT_LT(wall, 90.0);
}

}  // namespace
}  // namespace flashupdate::testing
