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

using Ending = LineDriver::Ending;
using Arrange = std::function<void(ScriptedServer&)>;

PortMap serverMap() {
    PortMap map;
    map.setDevicePath(1, "rfc2217://server:4001");
    return map;
}

struct NetworkRig {
    explicit NetworkRig(Arrange arrange = {}) : arrangeServer(std::move(arrange)) {
        port.setDiagnostics([this](const std::string& text) { diagnostics += text + "\n"; });
    }

    // Opens Com1 at 9600 baud and writes bytes; the first word the port tells.
    std::string open(std::string bytes = {}, Ending ending = Ending::StaysOpen) {
        port.setSettings("9600,N,8,1");
        driver.run(std::move(bytes), ending);
        until([this] { return !driver.told.empty(); });
        return driver.told.empty() ? std::string() : driver.told.front();
    }
    // Pumps until done() holds or the port is told closed; the server lives until then.
    void until(const std::function<bool()>& done = [] { return false; }) {
        while (!done() && !driver.done() && !loop.ranAway()) {
            loop.pumpWait();
        }
    }

    Arrange arrangeServer;
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

// Servers that fail the opening: the kind of the port error, and the limit it comes within.
struct Opening {
    const char* name;
    Arrange arrange;
    PortErrorKind kind;
    Micros within;
};

const Opening kHostileOpenings[] = {
    {"refused", [](ScriptedServer& s) { s.connect = ScriptedServer::Connect::Refuses; },
     PortErrorKind::Refused, ms(10)},
    {"neverConnects", [](ScriptedServer& s) { s.connect = ScriptedServer::Connect::Silent; },
     PortErrorKind::Unreachable, ms(5'020)},
    {"declines", [](ScriptedServer& s) { s.agree = false; }, PortErrorKind::Protocol, ms(10)},
    {"silentNegotiation", [](ScriptedServer& s) { s.answerNegotiation = false; },
     PortErrorKind::Protocol, ms(3'020)},
    {"resetInNegotiation",
     [](ScriptedServer& s) { s.resetOn = ScriptedServer::Stage::Negotiation; }, PortErrorKind::Gone,
     ms(10)},
    {"resetAtTheLineRequest",
     [](ScriptedServer& s) { s.resetOn = ScriptedServer::Stage::LineRequest; }, PortErrorKind::Gone,
     ms(10)},
    {"lineUnanswered", [](ScriptedServer& s) { s.answerLine = false; }, PortErrorKind::Protocol,
     ms(3'020)},
    {"endlessSubnegotiation",
     [](ScriptedServer& s) { s.sendRaw("\xFF\xFA\x2C" + std::string(1'000'000, 'x'), ms(2)); },
     PortErrorKind::Protocol, ms(10)},
};

TEST(NetworkLine, AHostileServerFailsTheOpeningWithItsKindWithinItsLimit) {
    for (const Opening& opening : kHostileOpenings) {
        SCOPED_TRACE(opening.name);
        NetworkRig rig(opening.arrange);
        EXPECT_EQ(rig.open(), std::string("open-failed:") + nameOf(opening.kind));
        EXPECT_EQ(rig.driver.told.size(), 1u);
        EXPECT_FALSE(rig.port.portOpen());
        EXPECT_LE(rig.loop.now(), opening.within);
        EXPECT_FALSE(rig.driver.toldFromInsideACall);
        EXPECT_NE(rig.diagnostics.find("cannot open rfc2217://server:4001"), std::string::npos)
            << rig.diagnostics;
    }
}

// A stop (Ctrl-C, Exit) at any step of the network line, as an update stops: what is queued is
// discarded and the port is let go. It is told closed within half a second, the server's end
// awaited, and the connection is let go. The steps: each opening that waits on the server, and
// the open line keeping the pace or awaiting room.
TEST(NetworkLine, AStopInAnyStepEndsItWithinHalfASecond) {
    struct Step {
        const char* name;
        Arrange arrange;
        std::size_t bytes;  // written once open
    };
    std::vector<Step> steps = {
        {"keepingThePace", {}, 16384},
        {"awaitingRoom", [](ScriptedServer& s) { s.stopReadingAfter = 100; }, 16384}};
    for (const Opening& opening : kHostileOpenings) {
        if (opening.within > ms(1'000)) {
            steps.push_back({opening.name, opening.arrange, 0});
        }
    }
    ASSERT_EQ(steps.size(), 5u);
    for (const auto& [name, arrange, bytes] : steps) {
        SCOPED_TRACE(name);
        NetworkRig rig(arrange);
        rig.port.setSettings("9600,N,8,1");
        rig.driver.run(std::string(bytes, 'P'), Ending::StaysOpen);
        pumpFor(rig.loop, std::chrono::milliseconds(1'000));
        const Micros stopAt = rig.loop.now();
        rig.port.purgeOutput();
        rig.driver.close();
        rig.until();
        EXPECT_LT(rig.loop.now() - stopAt, ms(500));
        EXPECT_EQ(rig.driver.told.back(), "closed");
        EXPECT_FALSE(rig.port.portOpen());
    }
}

// The open line driven as a port that never waits: a settings change goes out at once and an
// unanswered one loses the line; closing awaits the server's end, bounded.
TEST(NetworkLine, TheOpenLineTakesItsStepsFromTheLoop) {
    const struct {
        const char* name;
        Arrange arrange;
        std::function<void(NetworkRig&)> act;  // once open; ends by closing or a loss
        std::vector<std::string> told;
        Micros endsAfter;  // the time from act to the last word, within a millisecond or two
    } cases[] = {
        // 1 ms each way to the server and back.
        {"closeAwaitsTheServersEnd",
         {},
         [](NetworkRig& rig) { rig.driver.close(); },
         {"opened", "closed"},
         ms(2)},
        {"aServerThatNeverEndsIsLeft",
         [](ScriptedServer& s) { s.closesOnEnd = false; },
         [](NetworkRig& rig) { rig.driver.close(); },
         {"opened", "closed"},
         ms(3'000)},
        {"speedChangeConfirmed",
         {},
         [](NetworkRig& rig) {
             rig.port.setSettings("1200,N,8,1");
             rig.port.setSettings("9600,N,8,1");
             pumpFor(rig.loop, std::chrono::milliseconds(100));
             // Four requests a line: the opening's, then one change after the other.
             EXPECT_EQ(rig.server->lineRequests, 3 * 4);
             rig.driver.close();
         },
         {"opened", "closed"},
         ms(102)},
        {"speedChangeUnanswered",
         {},
         [](NetworkRig& rig) {
             rig.server->answerLine = false;
             rig.port.setSettings("1200,N,8,1");
         },
         {"opened", "lost:protocol", "closed"},
         ms(3'000)},
    };
    for (const auto& line : cases) {
        SCOPED_TRACE(line.name);
        NetworkRig rig(line.arrange);
        ASSERT_EQ(rig.open(), "opened");
        const Micros actedAt = rig.loop.now();
        line.act(rig);
        rig.until();
        EXPECT_EQ(rig.driver.told, line.told);
        EXPECT_GE(rig.loop.now() - actedAt, line.endsAfter);
        EXPECT_LE(rig.loop.now() - actedAt, line.endsAfter + ms(2));
        EXPECT_FALSE(rig.driver.toldFromInsideACall);
        EXPECT_FALSE(rig.port.portOpen());
    }
}

TEST(NetworkLine, AFarEndThatTakesNothingIsAStalledPortWithinTheStallLimit) {
    NetworkRig rig([](ScriptedServer& s) { s.stopReadingAfter = 4'000; });
    ASSERT_EQ(rig.open(std::string(16384, 'P'), Ending::AfterDrained), "opened");
    const Micros start = rig.loop.now();
    rig.until([&] { return rig.driver.told.size() == 2; });
    EXPECT_EQ(rig.driver.told, (std::vector<std::string>{"opened", "lost:stalled"}));
    // 4,000 bytes at 960 a second, what our side holds, then the stall limit.
    EXPECT_LT(rig.loop.now() - start, ms(4'200 + 10'000 + 3'000));
    EXPECT_EQ(rig.server->data.size(), 4'000u);
}

TEST(NetworkLine, NegotiationFloodIsAnsweredOnceAndDoesNotSlowThePace) {
    NetworkRig rig;
    ASSERT_EQ(rig.open(), "opened");
    const Micros start = rig.loop.now();
    std::string flood;
    for (int i = 0; i < 200'000; ++i) {
        flood += "\xFF\xFD\x01";  // DO ECHO
    }
    rig.server->sendRaw(flood, start + ms(5));
    // The port already open is told opened again, and the bytes follow.
    rig.driver.run(std::string(4096, 'P'), Ending::AfterDrained);
    rig.until([&] { return rig.driver.told.size() == 3; });
    EXPECT_EQ(rig.driver.told, (std::vector<std::string>{"opened", "opened", "drained"}));
    // 4096 bytes take 4.27 s on the line at 9600 baud.
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::microseconds>(rig.driver.drainedAt).count() - start,
        ms(4'300));
    EXPECT_EQ(rig.server->negotiationAnswers, "\xFF\xFC\x01");  // WON'T ECHO
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
TEST(NetworkLine, AnAnswerInPartsIsOneAnswerUpToNetworkJitter) {
    for (const auto& [gapMs, receiveEvents] : {std::pair{16, 1}, {200, 1}, {400, 2}}) {
        SCOPED_TRACE(gapMs);
        NetworkRig rig;
        ASSERT_EQ(rig.open(), "opened");
        const Micros at = rig.loop.now() + ms(10);
        rig.server->sendData(std::string("\x00", 1), at);
        rig.server->sendData("\x01\x02\x03", at + ms(gapMs));
        pumpFor(rig.loop, std::chrono::seconds(3));
        EXPECT_EQ(rig.driver.received, std::string("\x00\x01\x02\x03", 4));
        EXPECT_EQ(rig.driver.receiveEvents, receiveEvents);
    }
}

}  // namespace
}  // namespace flashupdate::testing
