// The serial control on a line behind a serial device server, on virtual time: the real control
// and the real RFC 2217 transport over a scripted server that misbehaves in every way a network
// or a server can.
#include <gtest/gtest.h>

#include <memory>

#include "fakes/scripted_server.h"
#include "serial/rfc2217_transport.h"
#include "serial/serial_control.h"
#include "support/line_driver.h"

namespace flashupdate::testing {
namespace {

PortMap serverMap() {
    PortMap map;
    map.setDevicePath(1, "rfc2217://server:4001");
    return map;
}

std::string repeated(const std::string& piece, std::size_t times) {
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

const std::string kDoEcho{"\xFF\xFD\x01"};
const std::string kWontEcho{"\xFF\xFC\x01"};

struct NetworkRig {
    explicit NetworkRig(std::function<void(ScriptedServer&)> arrange = {})
        : arrangeServer(std::move(arrange)) {
        port.setDiagnostics([this](const std::string& text) { diagnostics += text + "\n"; });
    }

    // Opens Com1 at 9600 baud and writes bytes; the first word the port tells.
    std::string open(std::string bytes = {},
                     LineDriver::Ending ending = LineDriver::Ending::StaysOpen) {
        port.setSettings("9600,N,8,1");
        driver.run(std::move(bytes), ending);
        while (driver.told.empty() && !loop.ranAway()) {
            loop.pumpWait();
        }
        return driver.told.empty() ? std::string() : driver.told.front();
    }
    // Until the port has told count words; the server lives until the port is told closed.
    void untilTold(std::size_t count) {
        while (driver.told.size() < count && !driver.done() && !loop.ranAway()) {
            loop.pumpWait();
        }
    }
    void untilClosed() {
        while (!driver.done() && !loop.ranAway()) {
            loop.pumpWait();
        }
    }

    std::function<void(ScriptedServer&)> arrangeServer;
    VirtualEventLoop loop;
    ScriptedServer* server = nullptr;  // owned by the transport of the opening
    SerialControl port{serverMap(), loop,
                       [this](const std::string&, EventLoop& events) -> std::unique_ptr<Transport> {
                           auto scripted = std::make_unique<ScriptedServer>(loop);
                           server = scripted.get();
                           if (arrangeServer) {
                               arrangeServer(*scripted);
                           }
                           return std::make_unique<Rfc2217Transport>(events, std::move(scripted));
                       }};
    LineDriver driver{port, loop};
    std::string diagnostics;
};

struct Opening {
    const char* name;
    std::function<void(ScriptedServer&)> arrange;
    PortErrorKind kind;
    Micros within;
};

void PrintTo(const Opening& opening, std::ostream* out) {
    *out << opening.name;
}

class HostileOpening : public ::testing::TestWithParam<Opening> {};

TEST_P(HostileOpening, IsAPortErrorOfItsKindWithinItsLimit) {
    NetworkRig rig(GetParam().arrange);
    EXPECT_EQ(rig.open(), std::string("open-failed:") + nameOf(GetParam().kind));
    EXPECT_EQ(rig.driver.told.size(), 1u);
    EXPECT_FALSE(rig.port.portOpen());
    EXPECT_LE(rig.loop.now(), GetParam().within);
    EXPECT_FALSE(rig.driver.toldFromInsideACall);
    EXPECT_NE(rig.diagnostics.find("cannot open rfc2217://server:4001"), std::string::npos)
        << rig.diagnostics;
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileOpening,
    ::testing::Values(
        Opening{"refused", [](ScriptedServer& s) { s.connect = ScriptedServer::Connect::Refuses; },
                PortErrorKind::Refused, ms(10)},
        Opening{"neverConnects",
                [](ScriptedServer& s) { s.connect = ScriptedServer::Connect::Silent; },
                PortErrorKind::Unreachable, ms(5'020)},
        Opening{"declines", [](ScriptedServer& s) { s.agree = false; }, PortErrorKind::Protocol,
                ms(10)},
        Opening{"silentNegotiation", [](ScriptedServer& s) { s.answerNegotiation = false; },
                PortErrorKind::Protocol, ms(3'020)},
        Opening{"resetInNegotiation",
                [](ScriptedServer& s) { s.resetOn = ScriptedServer::Stage::Negotiation; },
                PortErrorKind::Gone, ms(10)},
        Opening{"resetAtTheLineRequest",
                [](ScriptedServer& s) { s.resetOn = ScriptedServer::Stage::LineRequest; },
                PortErrorKind::Gone, ms(10)},
        Opening{"lineUnanswered", [](ScriptedServer& s) { s.answerLine = false; },
                PortErrorKind::Protocol, ms(3'020)},
        Opening{"endlessSubnegotiation",
                [](ScriptedServer& s) {
                    s.sendRaw("\xFF\xFA\x2C" + std::string(1'000'000, 'x'), ms(2));
                },
                PortErrorKind::Protocol, ms(10)}),
    [](const auto& info) { return std::string(info.param.name); });

// A stop (Ctrl-C, Exit) at any step of the network line, as an update stops: what is queued is
// discarded and the port is let go. It is told closed within half a second, the server's end
// awaited, and the connection is let go.
struct StopCase {
    const char* name;
    std::function<void(ScriptedServer&)> arrange;
    std::size_t bytes;  // written once open
};

void PrintTo(const StopCase& stop, std::ostream* out) {
    *out << stop.name;
}

class StopInAStep : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopInAStep, EndsItWithinHalfASecond) {
    const StopCase& stop = GetParam();
    NetworkRig rig(stop.arrange);
    rig.port.setSettings("9600,N,8,1");
    rig.driver.run(std::string(stop.bytes, 'P'), LineDriver::Ending::StaysOpen);
    const Micros stopAt = rig.loop.now() + ms(1'000);
    pumpUntil(rig.loop, std::chrono::microseconds(stopAt), [] { return false; });
    rig.port.purgeOutput();
    rig.driver.close();
    rig.untilClosed();
    EXPECT_LT(rig.loop.now() - stopAt, ms(500));
    EXPECT_EQ(rig.driver.told.back(), "closed");
    EXPECT_FALSE(rig.port.portOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StopInAStep,
    ::testing::Values(
        StopCase{"connecting",
                 [](ScriptedServer& s) { s.connect = ScriptedServer::Connect::Silent; }, 0},
        StopCase{"negotiating", [](ScriptedServer& s) { s.answerNegotiation = false; }, 0},
        StopCase{"awaitingTheLineAnswer", [](ScriptedServer& s) { s.answerLine = false; }, 0},
        StopCase{"keepingThePace", {}, 16384},
        StopCase{"awaitingRoom", [](ScriptedServer& s) { s.stopReadingAfter = 100; }, 16384}),
    [](const auto& info) { return std::string(info.param.name); });

// The open line driven as a port that never waits: a settings change goes out at once and an
// unanswered one loses the line; closing awaits the server's end, bounded.
struct OnTheOpenLine {
    const char* name;
    std::function<void(ScriptedServer&)> arrange;
    std::function<void(NetworkRig&, LineDriver&)> act;  // once open; ends by closing or a loss
    std::vector<std::string> told;
    Micros endsAfter;  // the time from act to the last word, within a millisecond or two
};

class OpenNetworkLine : public ::testing::TestWithParam<OnTheOpenLine> {};

TEST_P(OpenNetworkLine, TakesItsStepsFromTheLoop) {
    const OnTheOpenLine& line = GetParam();
    NetworkRig rig(line.arrange);
    ASSERT_EQ(rig.open(), "opened");
    const Micros actedAt = rig.loop.now();
    line.act(rig, rig.driver);
    rig.untilClosed();
    EXPECT_EQ(rig.driver.told, line.told);
    EXPECT_GE(rig.loop.now() - actedAt, line.endsAfter);
    EXPECT_LE(rig.loop.now() - actedAt, line.endsAfter + ms(2));
    EXPECT_FALSE(rig.driver.toldFromInsideACall);
    EXPECT_FALSE(rig.port.portOpen());
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenNetworkLine,
                         ::testing::Values(
                             // 1 ms each way to the server and back.
                             OnTheOpenLine{"closeAwaitsTheServersEnd",
                                           {},
                                           [](NetworkRig&, LineDriver& driver) { driver.close(); },
                                           {"opened", "closed"},
                                           ms(2)},
                             OnTheOpenLine{"aServerThatNeverEndsIsLeft",
                                           [](ScriptedServer& s) { s.closesOnEnd = false; },
                                           [](NetworkRig&, LineDriver& driver) { driver.close(); },
                                           {"opened", "closed"},
                                           ms(3'000)},
                             OnTheOpenLine{"speedChangeConfirmed",
                                           {},
                                           [](NetworkRig& rig, LineDriver& driver) {
                                               rig.port.setSettings("1200,N,8,1");
                                               rig.port.setSettings("9600,N,8,1");
                                               pumpFor(rig.loop, std::chrono::milliseconds(100));
                                               // Four requests a line: the opening's, then one
                                               // change after the other.
                                               EXPECT_EQ(rig.server->lineRequests, 3 * 4);
                                               driver.close();
                                           },
                                           {"opened", "closed"},
                                           ms(102)},
                             OnTheOpenLine{"speedChangeUnanswered",
                                           {},
                                           [](NetworkRig& rig, LineDriver&) {
                                               rig.server->answerLine = false;
                                               rig.port.setSettings("1200,N,8,1");
                                           },
                                           {"opened", "lost:protocol", "closed"},
                                           ms(3'000)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkLine, AFarEndThatTakesNothingIsAStalledPortWithinTheStallLimit) {
    NetworkRig rig([](ScriptedServer& s) { s.stopReadingAfter = 4'000; });
    ASSERT_EQ(rig.open(std::string(16384, 'P'), LineDriver::Ending::AfterDrained), "opened");
    const Micros start = rig.loop.now();
    rig.untilTold(2);
    EXPECT_EQ(rig.driver.told, (std::vector<std::string>{"opened", "lost:stalled"}));
    // 4,000 bytes at 960 a second, what our side holds, then the stall limit.
    EXPECT_LT(rig.loop.now() - start, ms(4'200 + 10'000 + 3'000));
    EXPECT_EQ(rig.server->data.size(), 4'000u);
}

TEST(NetworkLine, NegotiationFloodIsAnsweredOnceAndDoesNotSlowThePace) {
    NetworkRig rig;
    ASSERT_EQ(rig.open(), "opened");
    const Micros start = rig.loop.now();
    rig.server->sendRaw(repeated(kDoEcho, 200'000), start + ms(5));
    // The port already open is told opened again, and the bytes follow.
    rig.driver.run(std::string(4096, 'P'), LineDriver::Ending::AfterDrained);
    rig.untilTold(3);
    EXPECT_EQ(rig.driver.told, (std::vector<std::string>{"opened", "opened", "drained"}));
    // 4096 bytes take 4.27 s on the line at 9600 baud.
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::microseconds>(rig.driver.drainedAt).count() - start,
        ms(4'300));
    EXPECT_EQ(rig.server->negotiationAnswers, kWontEcho);
    EXPECT_EQ(rig.server->data, std::string(4096, 'P'));
}

TEST(NetworkLine, ADataFloodTakesBoundedMemory) {
    NetworkRig rig;
    ASSERT_EQ(rig.open(), "opened");
    for (int piece = 0; piece < 64; ++piece) {
        rig.server->sendData(std::string(64 * 1024, '\xFF'), rig.loop.now() + ms(piece));
    }
    pumpFor(rig.loop, std::chrono::seconds(2));
    EXPECT_EQ(rig.driver.receiveEvents, 1);
    EXPECT_EQ(rig.driver.received.size(), SerialControl::kReceiveLimit);
    EXPECT_TRUE(rig.port.portOpen());
}

// The instrument's 4-byte answer in two parts, as the network delivers them: one receive event
// up to network jitter, two beyond it.
struct Split {
    int gapMs;
    int receiveEvents;
};

void PrintTo(const Split& split, std::ostream* out) {
    *out << split.gapMs << " ms apart";
}

class AnswerInParts : public ::testing::TestWithParam<Split> {};

TEST_P(AnswerInParts, IsOneAnswerUpToNetworkJitter) {
    NetworkRig rig;
    ASSERT_EQ(rig.open(), "opened");
    const Micros at = rig.loop.now() + ms(10);
    rig.server->sendData(std::string("\x00", 1), at);
    rig.server->sendData("\x01\x02\x03", at + ms(GetParam().gapMs));
    pumpFor(rig.loop, std::chrono::seconds(3));
    EXPECT_EQ(rig.driver.received, std::string("\x00\x01\x02\x03", 4));
    EXPECT_EQ(rig.driver.receiveEvents, GetParam().receiveEvents);
}

INSTANTIATE_TEST_SUITE_P(Gaps, AnswerInParts,
                         ::testing::Values(Split{16, 1}, Split{200, 1}, Split{400, 2}),
                         [](const auto& info) { return std::to_string(info.param.gapMs) + "ms"; });

}  // namespace
}  // namespace flashupdate::testing
