// A fleet of instruments in one simulator, updated by the real flashupdate-cli in one call: on
// pseudo-terminals, and behind the simulator's own serial device servers (RFC 2217).
#include <gtest/gtest.h>

#include "processes.h"

namespace flashupdate::cli::testing {
namespace {

using flashupdate::testing::bytesAt;
using flashupdate::testing::readTranscript;

struct FleetCase {
    const char* name;
    int instruments;
    bool network;
};

void PrintTo(const FleetCase& fleet, std::ostream* out) {
    *out << fleet.name;
}

class SimFleet : public CliFixture, public ::testing::WithParamInterface<FleetCase> {};

TEST_P(SimFleet, OneCallUpdatesEveryInstrumentEachWithItsOwnTranscript) {
    const FleetCase& c = GetParam();
    // Padded with 0xFF, the record sums to 256 x 0xFF = 0x0000FF00: the checksum answer holds a
    // byte that a server must send doubled.
    writeImage(std::string(16384 - 256, '\0'));
    std::vector<std::string> options{"--once", "--instruments", std::to_string(c.instruments)};
    if (c.network) {
        options.insert(options.end(), {"--rfc2217", "127.0.0.1:0"});
    }
    SimulatorProcess fleet(options);
    const std::vector<std::string> devices =
        fleet.waitForDevices(static_cast<std::size_t>(c.instruments));
    ASSERT_EQ(devices.size(), static_cast<std::size_t>(c.instruments)) << fleet.stderrText();
    QStringList arguments{"--json", "--bootloader", bootLoaderPath()};
    for (const std::string& device : devices) {
        EXPECT_TRUE(device.starts_with(c.network ? "rfc2217://127.0.0.1:" : "/dev/")) << device;
        arguments << "--port" << QString::fromStdString(device);
    }
    const CliResult result = runCli(arguments << imagePath());

    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    EXPECT_EQ(jsonEvents(result, "result").size(), c.instruments) << result.out.toStdString();
    const std::string record = m_image + std::string(16384 - m_image.size(), '\xFF');
    for (int k = 1; k <= c.instruments; ++k) {
        const std::string number = std::to_string(k);
        SCOPED_TRACE("instrument " + number);
        ASSERT_TRUE(fleet.waitForAnyLine(number + ": session end")) << fleet.stdoutText();
        EXPECT_TRUE(fleet.sawEventStarting(number + ": answer 00 00 FF 00"));
        const auto lines = readTranscript(fleet.transcriptPath() + "." + number);
        EXPECT_EQ(firstDifference(bytesAt(lines, 1200), "\xFF" + m_bootLoader), "");
        EXPECT_EQ(firstDifference(bytesAt(lines, 9600), "EP\x40" + record + "CX"), "");
    }
    // Each instrument ends after its one session, a server once its client has gone; the
    // simulator once they all have.
    EXPECT_EQ(fleet.waitForExit(), 0) << fleet.stdoutText();
}

INSTANTIATE_TEST_SUITE_P(Lines, SimFleet,
                         ::testing::Values(FleetCase{"ThreePseudoTerminals", 3, false},
                                           FleetCase{"TwoServers", 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace flashupdate::cli::testing
