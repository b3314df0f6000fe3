// Fleets of instruments in one simulator each, updated by the real flashupdate-cli in one call:
// on pseudo-terminals, and behind the simulator's own serial device servers (RFC 2217).
#include <gtest/gtest.h>

#include "processes.h"

namespace flashupdate::cli::testing {
namespace {

using flashupdate::testing::bytesAt;
using flashupdate::testing::readTranscript;

using SimFleet = CliFixture;

TEST_F(SimFleet, OneCallUpdatesEveryInstrumentOfBothKindsEachWithItsOwnTranscript) {
    // Padded with 0xFF, the record sums to 256 x 0xFF = 0x0000FF00: the checksum answer holds a
    // byte that a server must send doubled.
    writeImage(std::string(16384 - 256, '\0'));
    struct Fleet {
        std::size_t instruments;
        const char* devices;
        SimulatorProcess simulator;
    };
    Fleet local{3, "/dev/", SimulatorProcess({"--once", "--instruments", "3"})};
    Fleet network{2, "rfc2217://127.0.0.1:",
                  SimulatorProcess({"--once", "--instruments", "2", "--rfc2217", "127.0.0.1:0"})};
    QStringList arguments{"--json", "--bootloader", bootLoaderPath()};
    for (Fleet* fleet : {&local, &network}) {
        const std::vector<std::string> devices =
            fleet->simulator.waitForDevices(fleet->instruments);
        ASSERT_EQ(devices.size(), fleet->instruments) << fleet->simulator.stderrText();
        for (const std::string& device : devices) {
            EXPECT_TRUE(device.starts_with(fleet->devices)) << device;
            arguments << "--port" << QString::fromStdString(device);
        }
    }
    const CliResult result = runCli(arguments << imagePath());

    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    EXPECT_EQ(jsonEvents(result, "result").size(), 5) << result.out.toStdString();
    const std::string record = m_image + std::string(16384 - m_image.size(), '\xFF');
    for (Fleet* fleet : {&local, &network}) {
        for (std::size_t k = 1; k <= fleet->instruments; ++k) {
            const std::string number = std::to_string(k);
            SCOPED_TRACE(fleet->devices + (" instrument " + number));
            ASSERT_TRUE(fleet->simulator.waitForAnyLine(number + ": session end"))
                << fleet->simulator.stdoutText();
            EXPECT_TRUE(fleet->simulator.sawEventStarting(number + ": answer 00 00 FF 00"));
            const auto lines = readTranscript(fleet->simulator.transcriptPath() + "." + number);
            EXPECT_EQ(firstDifference(bytesAt(lines, 1200), "\xFF" + m_bootLoader), "");
            EXPECT_EQ(firstDifference(bytesAt(lines, 9600), "EP\x40" + record + "CX"), "");
        }
        // Each instrument ends after its one session, a server once its client has gone; the
        // simulator once they all have.
        EXPECT_EQ(fleet->simulator.waitForExit(), 0) << fleet->simulator.stdoutText();
    }
}

}  // namespace
}  // namespace flashupdate::cli::testing
