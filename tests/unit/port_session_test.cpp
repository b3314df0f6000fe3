// One port's update driven from an event loop on virtual time, over the real serial control on a
// fake line with the scripted instrument behind it: what the session waits for (an opening, room,
// the line drained, a closing), and how a stop, a lost line or a failed opening at each of those
// waits ends the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fakes/fake_port.h"
#include "fakes/scripted_instrument.h"
#include "update/port_session.h"

namespace flashupdate::testing {
namespace {

struct SessionRig {
    SessionRig() {
        inputs.image = std::vector<unsigned char>(16'384, 0x11);
        inputs.imagePath = "PROG.IMG";
        port.setInstrument(&instrument);
        session.onEvent = [this](const RunEvent& event) {
            events.push_back(event.kind);
            if (event.awaitsAcknowledgement) {
                session.acknowledge();
            }
        };
        session.onEnded = [this] { ++endings; };
    }

    // Runs the loop until the run has ended, doing what at the first moment when() holds.
    void run(
        const std::function<bool()>& when = [] { return false; },
        const std::function<void()>& what = {}) {
        bool done = false;
        while (session.running() && !loop.ranAway()) {
            if (!done && when()) {
                done = true;
                what();
                continue;
            }
            loop.pumpWait();
        }
    }

    bool saw(RunEvent::Kind kind) const {
        return std::find(events.begin(), events.end(), kind) != events.end();
    }

    VirtualEventLoop loop;
    FakePort port{loop};
    ScriptedInstrument instrument;
    PortSession session{port, loop};
    RunInputs inputs;
    std::vector<RunEvent::Kind> events;
    int endings = 0;
};

TEST(PortSession, ARunKeepsTheLinesPaceAndEndsOnceWithTheVerdict) {
    SessionRig rig;
    rig.session.start(rig.inputs);
    rig.run();
    EXPECT_EQ(rig.session.result().cause, UpdateResult::Cause::None);
    EXPECT_TRUE(rig.saw(RunEvent::Kind::Verdict));
    EXPECT_EQ(rig.endings, 1);
    // The sync byte and boot loader, "E", a record of 16,386 bytes, "C" and "X".
    EXPECT_EQ(rig.port.wire().size(), 512u + 1 + 16'386 + 2);
    // No write runs further ahead of the line than the control allows.
    for (const std::string& call : rig.port.calls()) {
        if (call.starts_with("Output[")) {
            EXPECT_LE(std::stoul(call.substr(7)), PacedTransmitter::kAheadLimit) << call;
        }
    }
    // The line's own time for the boot loader and the record, and the run's pauses (9.1 s on a
    // line that takes no time), overlapping the line's time where they count from a write
    // handed over.
    const double lineTime = 512 * 8.333 + 16'389 * 1.042;
    EXPECT_GT(rig.loop.now(), ms(lineTime));
    EXPECT_LT(rig.loop.now(), ms(lineTime + 9'100 + 100));
}

TEST(PortSession, AStopOrALostLineAtEveryWaitEndsTheRunAndLetsThePortGo) {
    enum class Then { Stop, LoseLine };
    struct Case {
        const char* where;
        std::function<bool(const SessionRig&)> when;
        Then then;
        UpdateResult::Cause cause;
        bool powerCycle;
    };
    const auto handed = [](std::size_t bytes) {
        return [bytes](const SessionRig& rig) { return rig.port.wire().size() >= bytes; };
    };
    const Case cases[] = {
        {"opening", [](const SessionRig&) { return true; }, Then::Stop,
         UpdateResult::Cause::Stopped, false},
        {"boot loader", handed(100), Then::Stop, UpdateResult::Cause::Stopped, true},
        {"record", handed(5'000), Then::Stop, UpdateResult::Cause::Stopped, true},
        {"record", handed(5'000), Then::LoseLine, UpdateResult::Cause::Port, true},
        // Every byte handed over, the end of the record still on the line: the purge cuts it.
        {"last record draining", handed(512 + 1 + 16'386), Then::Stop, UpdateResult::Cause::Stopped,
         true},
        {"checksum window",
         [](const SessionRig& rig) { return rig.saw(RunEvent::Kind::RequestingCheckSum); },
         Then::LoseLine, UpdateResult::Cause::Port, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        SessionRig rig;
        rig.session.start(rig.inputs);
        std::size_t handedAtStop = 0;
        rig.run([&] { return c.when(rig); },
                [&] {
                    handedAtStop = rig.port.wire().size();
                    if (c.then == Then::Stop) {
                        rig.session.stop();
                    } else {
                        rig.port.loseDevice(rig.loop.now());
                    }
                });
        EXPECT_FALSE(rig.loop.ranAway());
        EXPECT_EQ(rig.endings, 1);
        EXPECT_EQ(rig.session.result().cause, c.cause);
        EXPECT_EQ(rig.session.result().powerCycleNeeded(), c.powerCycle);
        EXPECT_FALSE(rig.port.portOpen());
        // Nothing more reached the line, and what the port still held was discarded.
        EXPECT_LE(rig.port.wire().size(), handedAtStop);
        if (c.then == Then::Stop) {
            EXPECT_EQ(rig.port.calls().back(), "PortOpen=0");
        }
    }
}

TEST(PortSession, AFailedOpeningEndsWithItsBoxAndTheNextRunStartsFromTheEnding) {
    SessionRig rig;
    rig.port.failOpenings();
    int runs = 0;
    rig.session.onEnded = [&] {
        // The front end starts again from the ending itself, as a retry would.
        if (++runs == 1) {
            rig.port.failOpenings(false);
            rig.session.start(rig.inputs);
        }
    };
    rig.session.start(rig.inputs);
    rig.run();
    ASSERT_EQ(runs, 2);
    EXPECT_TRUE(rig.saw(RunEvent::Kind::Failed));
    EXPECT_EQ(rig.session.result().cause, UpdateResult::Cause::None);
}

TEST(PortSession, APortThatNeverAnswersFailsTheRunAtTheAnswerLimit) {
    for (const auto word : {FakePort::Word::Opened, FakePort::Word::Drained}) {
        SessionRig rig;
        rig.port.neverTell(word);
        rig.session.start(rig.inputs);
        rig.run();
        EXPECT_FALSE(rig.loop.ranAway());
        EXPECT_EQ(rig.endings, 1);
        EXPECT_EQ(rig.session.result().cause, UpdateResult::Cause::Port);
        EXPECT_EQ(rig.session.result().portError, PortErrorKind::Stalled);
        EXPECT_GE(rig.loop.now(), ms(PortSession::kPortAnswerLimit.count() * 1000));
    }
}

}  // namespace
}  // namespace flashupdate::testing
