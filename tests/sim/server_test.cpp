// The simulator's serial device server (RFC 2217), from a client of the tests' own: what it answers
// to Telnet's negotiation and to the Com Port Control requests, byte by byte, and how it keeps its
// serial side from one client to the next.
#include <signal.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "sim_session.h"
#include "test_client.h"

namespace sim_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr std::uint8_t BINARY = 0, ECHO = 1, SUPPRESS_GO_AHEAD = 3, COM_PORT = 44;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Asked after every case, and answered the same whatever came before: whatever else the server
// said shows in front of its answer, with no wait for stragglers.
const Bytes kProbe = com_port(5, {0});
const Bytes kProbeAnswer = com_port(105, {0});

struct Exchange {
    const char* name;
    Bytes sent;
    Bytes answered;
};

void PrintTo(const Exchange& exchange, std::ostream* out) {
    *out << exchange.name;
}

class SimServerAnswers : public testing::TestWithParam<Exchange> {};

TEST_P(SimServerAnswers, EachRequestHasItsAnswerAndNothingMore) {
    SimulatorProcess sim({"--rfc2217", "127.0.0.1:0"});
    TestClient client(sim.devicePath());
    client.write(GetParam().sent + kProbe);
    const Bytes expected = GetParam().answered + kProbeAnswer;
    EXPECT_EQ(hex(client.read(expected.size(), kPatience)), hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimServerAnswers,
    testing::Values(
        Exchange{"TheToolsOpeningIsAgreed",
                 {IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, COM_PORT},
                 {IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, COM_PORT}},
        // Only a change of state is answered, or two parties could answer each other forever.
        Exchange{"AnAgreedOptionAskedAgainIsNotAnsweredAgain",
                 {IAC, WILL, BINARY, IAC, WILL, BINARY, IAC, DO, BINARY, IAC, DO, BINARY},
                 {IAC, DO, BINARY, IAC, WILL, BINARY}},
        Exchange{"AnOptionTakenBackIsLetGo",
                 {IAC, WILL, BINARY, IAC, WONT, BINARY, IAC, DO, BINARY, IAC, DONT, BINARY},
                 {IAC, DO, BINARY, IAC, DONT, BINARY, IAC, WILL, BINARY, IAC, WONT, BINARY}},
        Exchange{"OptionsItDoesNotKnowAreRefused",
                 {IAC, WILL, SUPPRESS_GO_AHEAD, IAC, DO, ECHO, IAC, DO, COM_PORT},
                 {IAC, DONT, SUPPRESS_GO_AHEAD, IAC, WONT, ECHO, IAC, WONT, COM_PORT}},
        Exchange{"RefusingWhatIsOffIsNotAnswered", {IAC, WONT, ECHO, IAC, DONT, ECHO}, {}},
        Exchange{"TheSpeedIsConfirmedAsSet", com_port(1, {0, 0, 0x04, 0xB0}),
                 com_port(101, {0, 0, 0x04, 0xB0})},
        Exchange{"ASpeedOfZeroAsksForTheOneInForce", com_port(1, {0, 0, 0, 0}),
                 com_port(101, {0, 0, 0x25, 0x80})},
        Exchange{"ASpeedHoldingIacTravelsDoubledBothWays", com_port(1, {0, 0, 0xFF, 0}),
                 com_port(101, {0, 0, 0xFF, 0})},
        Exchange{"TheFormatIsConfirmedAsSet",
                 com_port(2, {7}) + com_port(3, {3}) + com_port(4, {2}),
                 com_port(102, {7}) + com_port(103, {3}) + com_port(104, {2})},
        Exchange{"AFormatOutOfRangeLeavesTheOneInForce",
                 com_port(2, {9}) + com_port(3, {0}) + com_port(4, {4}),
                 com_port(102, {8}) + com_port(103, {1}) + com_port(104, {1})},
        Exchange{"ModemLinesAndPurgesAreTakenAsAsked", com_port(5, {8}) + com_port(12, {2}),
                 com_port(105, {8}) + com_port(112, {2})},
        Exchange{"RequestsItDoesNotKnowAndOtherOptionsAreNotAnswered",
                 com_port(99, {1}) + Bytes{IAC, SB, ECHO, 1, IAC, SE},
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

// The update reconnects between the boot loader and the commands: the second connection finds
// the line at the speed the first one set, and the bytes each sent, in order, even when the first
// broke the protocol and the server ended it.
TEST(SimServer, TheSerialSideKeepsItsSpeedFromOneClientToTheNext) {
    SimulatorProcess sim({"--rfc2217", "127.0.0.1:0"});
    {
        TestClient first(sim.devicePath());
        first.write(com_port(1, {0, 0, 0x04, 0xB0}) + Bytes{IAC, IAC, 0x01, IAC, IAC});
        ASSERT_EQ(first.read(10, kPatience).size(), 10u);
        // A subnegotiation longer than any request.
        first.write(Bytes{IAC, SB, COM_PORT} + Bytes(100, 0x01) + Bytes{IAC, SE});
        EXPECT_TRUE(first.ended_by_server(kPatience));
    }
    TestClient second(sim.devicePath());
    second.write(com_port(1, {0, 0, 0, 0}) + Bytes{0x02});
    EXPECT_EQ(hex(second.read(10, kPatience)), hex(com_port(101, {0, 0, 0x04, 0xB0})));
    EXPECT_EQ(sim.receivedAt(kLoaderBaud, 4), "\xFF\x01\xFF\x02");
    EXPECT_TRUE(sim.waitForLine("connected"));
    EXPECT_TRUE(sim.waitForLine("disconnected: the client broke the protocol"));
    EXPECT_TRUE(sim.waitForLine("connected"));
}

TEST(SimServer, ASecondClientIsServedOnceTheFirstHasGone) {
    SimulatorProcess sim({"--rfc2217", "127.0.0.1:0"});
    auto first = std::make_unique<TestClient>(sim.devicePath());
    ASSERT_TRUE(sim.waitForLine("connected"));
    TestClient second(sim.devicePath());
    second.write(kProbe);
    EXPECT_EQ(hex(second.read(kProbeAnswer.size(), kStragglers)), hex({}));
    ASSERT_TRUE(first->end(kPatience));
    first.reset();
    EXPECT_EQ(hex(second.read(kProbeAnswer.size(), kPatience)), hex(kProbeAnswer));
}

// A purge of the server's buffer towards the line: what the line has not carried yet never
// reaches the instrument.
TEST(SimServer, APurgeDropsWhatTheLineHasNotCarried) {
    SimulatorProcess sim({"--rfc2217", "127.0.0.1:0", "--paced"});
    TestClient client(sim.devicePath());
    // Five seconds of the line at 1200 baud, all in the server's buffer at once.
    client.write(com_port(1, {0, 0, 0x04, 0xB0}) + Bytes(600, 0x55) + com_port(12, {2}));
    const Bytes answers = com_port(101, {0, 0, 0x04, 0xB0}) + com_port(112, {2});
    EXPECT_EQ(hex(client.read(answers.size(), kPatience)), hex(answers));
    ASSERT_TRUE(sim.waitForLine("purged "));
    std::this_thread::sleep_for(kStragglers);
    EXPECT_LT(sim.receivedSoFar(kLoaderBaud).size(), 600u);
}

// A fleet on pseudo-terminals: each instrument has its own device, link, transcript and
// numbered event lines.
TEST(SimFleetLines, EachInstrumentHasItsOwnDeviceLinkTranscriptAndNumber) {
    TempDir dir;
    SimulatorProcess fleet({"--instruments", "2", "--link", dir.path("com")});
    const std::vector<std::string> devices = fleet.waitForDevices(2);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_NE(devices[0], devices[1]);
    for (std::size_t k = 0; k < devices.size(); ++k) {
        EXPECT_EQ(std::filesystem::read_symlink(dir.path("com." + std::to_string(k + 1))).string(),
                  devices[k]);
    }
    {
        TestPort port(devices[1], kLoaderBaud);
        port.write(boot_loader());
    }
    EXPECT_TRUE(fleet.waitForLine("2: boot loader received"));
    EXPECT_EQ(readTranscript(fleet.transcriptPath() + ".2").size(), kLoaderSize);
    EXPECT_TRUE(readTranscript(fleet.transcriptPath() + ".1").empty());
    EXPECT_FALSE(fleet.sawEventStarting("1: "));

    fleet.sendSignal(SIGTERM);
    EXPECT_EQ(fleet.waitForExit(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(dir.path("com.1")));
    EXPECT_FALSE(std::filesystem::is_symlink(dir.path("com.2")));
}

}  // namespace
}  // namespace sim_test
