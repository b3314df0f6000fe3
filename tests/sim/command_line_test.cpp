#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim_session.h"

namespace sim_test {
namespace {

TEST(SimCommandLine, HelpDescribesEveryFaultAndExitsZero) {
    SimulatorProcess sim({"--help"}, Launch::AsGiven);
    ASSERT_EQ(sim.waitForExit(), 0);
    const std::string help = sim.stdoutText();
    for (const char* name :
         {"erase-silent",   "erase-wrong",    "erase-lower",   "erase-second",  "bad-checksum",
          "checksum-short", "checksum-split", "checksum-high", "checksum-long", "checksum-silent",
          "--link",         "--transcript",   "--erase-ms",    "--once",        "--paced",
          "--stall-after",  "--stall-ms",     "--instruments", "--rfc2217",     "--write-samples",
          "--version"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name << " missing from --help";
    }
}

// Each case is the arguments, a blank between each two.
class SimBadCommandLine : public testing::TestWithParam<const char*> {};

TEST_P(SimBadCommandLine, IsRefusedWithStatusTwoBeforeAnyDevice) {
    std::vector<std::string> arguments;
    std::istringstream words(GetParam());
    for (std::string word; words >> word;) {
        arguments.push_back(word);
    }
    SimulatorProcess sim(arguments, Launch::AsGiven);
    ASSERT_EQ(sim.waitForExit(), 2);
    EXPECT_TRUE(sim.events().empty());
    EXPECT_EQ(sim.waitForDevice(0ms), "");
    EXPECT_NE(sim.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimBadCommandLine,
    testing::Values("--bogus", "extra", "--fault erase-never", "--fault", "--erase-ms soon",
                    "--erase-ms -5", "--erase-ms", "--link", "--transcript", "--once=yes",
                    "--fault erase-silent --fault erase-wrong",
                    "--fault checksum-short --fault checksum-long", "--stall-after 100",
                    "--stall-ms 1000", "--stall-after 0 --stall-ms 1000",
                    "--stall-after 100 --stall-ms 600001", "--instruments 0", "--instruments 10001",
                    "--rfc2217 4001", "--rfc2217 rack7:4001", "--rfc2217 127.0.0.1:65536",
                    "--instruments 2 --rfc2217 127.0.0.1:65535",
                    "--rfc2217 127.0.0.1:0 --link com1", "--write-samples"));

TEST(SimCommandLine, LineIsRawAtCommandSpeedBeforeTheToolSetsItUp) {
    SimulatorProcess sim({}, Launch::AsGiven);
    const std::string device = sim.waitForDevice();
    ASSERT_FALSE(device.empty());
    // Opened without configuring anything: a cooked line would echo the tool's
    // first bytes back or translate them.
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | IXON), 0u);
}

class SimStopSignal : public testing::TestWithParam<int> {};

TEST_P(SimStopSignal, ReplacesAnOldLinkAndRemovesItOnTheWayOut) {
    TempDir dir;
    const std::string link = dir.path("instrument");
    ASSERT_EQ(::symlink("/nonexistent/left-over", link.c_str()), 0);

    SimulatorProcess sim({"--link", link});
    std::error_code error;
    EXPECT_EQ(std::filesystem::read_symlink(link, error).string(), sim.devicePath());
    {
        TestPort through_link(link, kLoaderBaud);
        through_link.write({0x5A});
    }
    auto lines = waitForTranscript(sim.transcriptPath(), 1, kPatience);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].byte, 0x5A);

    sim.sendSignal(GetParam());
    EXPECT_EQ(sim.waitForExit(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(std::filesystem::symlink_status(link, error)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link, error)));
}

INSTANTIATE_TEST_SUITE_P(Signals, SimStopSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(SimCommandLine, LinkDoesNotReplaceARegularFile) {
    TempDir dir;
    const std::string path = dir.path("precious");
    { std::ofstream(path) << "keep me\n"; }

    SimulatorProcess sim({"--link", path}, Launch::AsGiven);
    auto status = sim.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_NE(sim.stderrText(), "");
    std::ifstream file(path);
    std::string content;
    std::getline(file, content);
    EXPECT_EQ(content, "keep me");
}

TEST(SimCommandLine, SamplesAreWrittenOnceAndNothingIsReplaced) {
    TempDir dir;
    SimulatorProcess first({"--write-samples", dir.path(".")}, Launch::AsGiven);
    ASSERT_EQ(first.waitForExit(), 0) << first.stderrText();
    EXPECT_EQ(std::filesystem::file_size(dir.path("BOOTLOAD.IMG")), 511u);
    EXPECT_EQ(std::filesystem::file_size(dir.path("SAMPLE.IMG")), 12000u);

    // With one of them there already, neither is written.
    std::filesystem::remove(dir.path("BOOTLOAD.IMG"));
    { std::ofstream(dir.path("SAMPLE.IMG")) << "mine\n"; }
    SimulatorProcess again({"--write-samples", dir.path(".")}, Launch::AsGiven);
    EXPECT_EQ(again.waitForExit(), 1);
    EXPECT_NE(again.stderrText().find("SAMPLE.IMG exists"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.path("BOOTLOAD.IMG")));
    EXPECT_EQ(std::filesystem::file_size(dir.path("SAMPLE.IMG")), 5u);
}

}  // namespace
}  // namespace sim_test
