// One port's update driven from an event loop on virtual time, over a port that never waits: what
// the session waits for (an opening, room, the line drained, a closing), and how a stop, a lost
// line or a failed opening at each of those waits ends the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fakes/virtual_event_loop.h"
#include "update/port_session.h"
#include "update/texts.h"

namespace flashupdate::testing {
namespace {

// A port whose line carries a byte every byteTime once handed over, at most kAhead bytes ahead,
// with a medium that takes at most mediumTakes bytes a write, and an instrument behind it that
// answers "E" and the right sum 50 ms after each command has been carried.
class PacedFakePort final : public LinePort {
public:
    static constexpr std::size_t kAhead = 1024;

    explicit PacedFakePort(VirtualEventLoop& loop) : m_loop(loop) {}

    void setSettings(const std::string& settings) override {
        m_byteTime = settings.rfind("1200", 0) == 0 ? 8'334 : 1'042;
    }
    void setCommPort(int) override {}
    void setRTSEnable(bool) override {}
    std::string devicePath() const override { return "/dev/fake"; }
    void beginOpen() override {
        m_loop.schedule(m_loop.now() + ms(5), [this] {
            if (openFails) {
                listener()->portOpenFailed(SerialError("no such device", PortErrorKind::Missing));
                return;
            }
            m_open = true;
            listener()->portOpened();
        });
    }
    bool portOpen() const override { return m_open && !m_lost; }
    std::size_t room() override { return kAhead - std::min(kAhead, notCarried()); }
    std::size_t write(std::string_view bytes) override {
        if (!portOpen()) {
            throw SerialError("port is not open", PortErrorKind::NotOpen);
        }
        const std::size_t taken = std::min({bytes.size(), room(), mediumTakes});
        largestWrite = std::max(largestWrite, taken);
        m_lineFreeAt = std::max(m_lineFreeAt, m_loop.now()) + m_byteTime * Micros(taken);
        const std::string piece(bytes.substr(0, taken));
        carried += piece;
        if (piece == "E" || piece == "C") {
            m_loop.schedule(m_lineFreeAt + ms(50), [this, piece] {
                if (portOpen()) {
                    listener()->portReceived(piece == "E" ? "E" : checksumAnswer);
                }
            });
        }
        return taken;
    }
    void wantWritable() override {
        const Micros at = m_lineFreeAt - m_byteTime * Micros(kAhead / 2);
        m_loop.schedule(std::max(at, m_loop.now() + 1), [this] { tell(&Listener::portWritable); });
    }
    void wantDrained() override {
        m_loop.schedule(m_lineFreeAt, [this] { tell(&Listener::portDrained); });
    }
    std::size_t notCarried() override {
        const Micros left = std::max<Micros>(0, m_lineFreeAt - m_loop.now());
        return static_cast<std::size_t>((left + m_byteTime - 1) / m_byteTime);
    }
    void purgeInput() override {}
    void purgeOutput() override {
        // What the line has not carried never reaches the instrument.
        carried.resize(carried.size() - std::min(carried.size(), notCarried()));
        m_lineFreeAt = std::min(m_lineFreeAt, m_loop.now());
    }
    void beginClose() override {
        m_open = false;
        ++closings;
        m_loop.schedule(std::max(m_lineFreeAt, m_loop.now()) + ms(1),
                        [this] { listener()->portClosed(); });
    }

    void loseLine() {
        m_lost = true;
        listener()->portLost(SerialError("the line hung up", PortErrorKind::Gone));
    }

    bool openFails = false;
    std::size_t mediumTakes = SIZE_MAX;
    ByteText checksumAnswer;
    ByteText carried;
    std::size_t largestWrite = 0;
    int closings = 0;

private:
    // Told from the loop, only while the line lives.
    void tell(void (Listener::*call)()) {
        if (m_lost) {
            listener()->portLost(SerialError("the line hung up", PortErrorKind::Gone));
        } else {
            (listener()->*call)();
        }
    }

    VirtualEventLoop& m_loop;
    Micros m_byteTime = 1'042;
    Micros m_lineFreeAt = 0;
    bool m_open = false;
    bool m_lost = false;
};

struct SessionRig {
    SessionRig() {
        inputs.image = std::vector<unsigned char>(16'384, 0x11);
        inputs.imagePath = "PROG.IMG";
        const std::uint32_t sum = 16'384 * 0x11;
        port.checksumAnswer = {static_cast<char>(sum >> 24), static_cast<char>(sum >> 16),
                               static_cast<char>(sum >> 8), static_cast<char>(sum)};
        session.onEvent = [this](const RunEvent& event) {
            events.push_back(event);
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
        return std::any_of(events.begin(), events.end(),
                           [kind](const RunEvent& event) { return event.kind == kind; });
    }

    VirtualEventLoop loop;
    PacedFakePort port{loop};
    PortSession session{port, loop};
    RunInputs inputs;
    std::vector<RunEvent> events;
    int endings = 0;
};

TEST(PortSession, ARunKeepsTheLinesPaceAndEndsOnceWithTheVerdict) {
    for (const std::size_t mediumTakes : {SIZE_MAX, std::size_t{48}}) {
        SCOPED_TRACE(mediumTakes);
        SessionRig rig;
        rig.port.mediumTakes = mediumTakes;
        rig.session.start(rig.inputs);
        rig.run();
        EXPECT_EQ(rig.session.result().cause, UpdateResult::Cause::None);
        EXPECT_TRUE(rig.saw(RunEvent::Kind::Verdict));
        EXPECT_EQ(rig.endings, 1);
        // The sync byte and boot loader, "E", a record of 16,386 bytes, "X" and "C".
        EXPECT_EQ(rig.port.carried.size(), 512u + 1 + 16'386 + 2);
        EXPECT_LE(rig.port.largestWrite, std::min(PacedFakePort::kAhead, mediumTakes));
        // The line's own time for the boot loader and the record, and the run's pauses (9.1 s
        // on a line that takes no time), overlapping the line's time where they count from a
        // write handed over.
        const double lineTime = 512 * 8.334 + 16'389 * 1.042;
        EXPECT_GT(rig.loop.now(), ms(lineTime));
        EXPECT_LT(rig.loop.now(), ms(lineTime + 9'100 + 100));
    }
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
    const auto carried = [](std::size_t bytes) {
        return [bytes](const SessionRig& rig) { return rig.port.carried.size() >= bytes; };
    };
    const Case cases[] = {
        {"opening", [](const SessionRig&) { return true; }, Then::Stop,
         UpdateResult::Cause::Stopped, false},
        {"boot loader", carried(100), Then::Stop, UpdateResult::Cause::Stopped, true},
        {"record", carried(5'000), Then::Stop, UpdateResult::Cause::Stopped, true},
        {"record", carried(5'000), Then::LoseLine, UpdateResult::Cause::Port, true},
        // Every byte handed over, the end of the record still on the line: the purge cuts it.
        {"last record draining", carried(512 + 1 + 16'386), Then::Stop,
         UpdateResult::Cause::Stopped, true},
        {"checksum window",
         [](const SessionRig& rig) { return rig.saw(RunEvent::Kind::RequestingCheckSum); },
         Then::LoseLine, UpdateResult::Cause::Port, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        SessionRig rig;
        rig.session.start(rig.inputs);
        std::size_t carriedAtStop = 0;
        rig.run([&] { return c.when(rig); },
                [&] {
                    carriedAtStop = rig.port.carried.size();
                    if (c.then == Then::Stop) {
                        rig.session.stop();
                    } else {
                        rig.port.loseLine();
                    }
                });
        EXPECT_FALSE(rig.loop.ranAway());
        EXPECT_EQ(rig.endings, 1);
        EXPECT_EQ(rig.session.result().cause, c.cause);
        EXPECT_EQ(rig.session.result().powerCycleNeeded(), c.powerCycle);
        EXPECT_GE(rig.port.closings, c.then == Then::Stop ? 1 : 0);
        if (c.then == Then::Stop) {
            // Nothing more reached the instrument, and the bytes still queued were discarded.
            EXPECT_LE(rig.port.carried.size(), carriedAtStop);
        }
    }
}

TEST(PortSession, AFailedOpeningEndsWithItsBoxAndTheNextRunStartsFromTheEnding) {
    SessionRig rig;
    rig.port.openFails = true;
    int runs = 0;
    rig.session.onEnded = [&] {
        // The front end starts again from the ending itself, as a retry would.
        if (++runs == 1) {
            rig.port.openFails = false;
            rig.session.start(rig.inputs);
        }
    };
    rig.session.start(rig.inputs);
    rig.run();
    ASSERT_EQ(runs, 2);
    ASSERT_FALSE(rig.events.empty());
    const auto failed = std::find_if(rig.events.begin(), rig.events.end(), [](const RunEvent& e) {
        return e.kind == RunEvent::Kind::Failed;
    });
    ASSERT_NE(failed, rig.events.end());
    EXPECT_EQ(failed->text, texts::kErrorOpeningComPort);
    EXPECT_EQ(rig.session.result().cause, UpdateResult::Cause::None);
}

}  // namespace
}  // namespace flashupdate::testing
