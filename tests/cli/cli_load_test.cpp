// flashupdate-cli under hard conditions, in real time: an instrument that stops reading for
// longer than the pseudo-terminal can buffer, and sixteen paced instruments while both cores
// are kept busy. Slow, so the sanitizer build leaves them out.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <memory>
#include <vector>

#include "processes.h"

namespace flashupdate::cli::testing {
namespace {

using CliLoad = CliFixture;

TEST_F(CliLoad, StallLongerThanTheLineBufferLosesNoByteAndIsNoLostDevice) {
    // Stopped early in the first record for 20 s: the rest of the two records is more than the
    // pseudo-terminal holds, so writes meet a full buffer and wait.
    SimulatorProcess simulator({"--paced", "--stall-after", "2000", "--stall-ms", "20000"});
    writeImage(20000);
    const CliResult result = runCli(update(simulator.device()));

    ASSERT_FALSE(result.crashed);
    EXPECT_FALSE(result.out.contains("Can't open")) << result.out.toStdString();
    EXPECT_FALSE(result.err.contains("gone away")) << result.err.toStdString();
    // The instrument was behind the line time by the stall, so its answer may miss the window.
    EXPECT_TRUE(result.exitCode == 0 || result.out.contains("Check Sum not Received"))
        << result.out.toStdString();
    const std::string padded = m_image + std::string(2 * 16384 - m_image.size(), '\xFF');
    const std::string expected =
        "EP\x40" + padded.substr(0, 16384) + "P\x48" + padded.substr(16384) + "C";
    const std::string sent = simulator.receivedAt(9600, expected.size(), 60'000);
    EXPECT_TRUE(sent.starts_with(expected)) << sent.size() << " bytes arrived";
}

TEST_F(CliLoad, SixteenPacedInstrumentsOnBusyCoresAreAllUpdated) {
    std::vector<std::unique_ptr<QProcess>> burners;
    for (int core = 0; core < 2; ++core) {
        burners.push_back(std::make_unique<QProcess>());
        burners.back()->start("sh", {"-c", "while :; do :; done"});
    }
    std::vector<std::unique_ptr<SimulatorProcess>> simulators;
    writeImage(5000);
    QStringList arguments{"--bootloader", bootLoaderPath()};
    for (int i = 0; i < 16; ++i) {
        simulators.push_back(
            std::make_unique<SimulatorProcess>(std::vector<std::string>{"--paced"}));
        arguments << "--port" << simulators.back()->device();
    }
    arguments << imagePath();
    const CliResult result = runCli(arguments);
    for (auto& burner : burners) {
        burner->kill();
        burner->waitForFinished(5000);
    }

    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    EXPECT_EQ(result.out.count(QRegularExpression("Updated; checksum .* \\(exit status 0\\)")), 16)
        << result.out.toStdString();
    EXPECT_FALSE(result.err.contains("gone away")) << result.err.toStdString();
}

}  // namespace
}  // namespace flashupdate::cli::testing
