// The update machine on its own, driven on virtual time by a loop as small as a front end's: what
// it asks of the port at each moment of a run, and how a stop, a lost line or a port with little
// room changes that.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "update/texts.h"
#include "update/update_machine.h"

namespace flashupdate::testing {
namespace {

using namespace std::chrono_literals;
using Nanos = UpdateMachine::Nanos;
using Kind = PortAction::Kind;

// An instrument that answers "E" and the right sum, 50 ms after each command.
struct MachineRig {
    MachineRig() {
        inputs.commPort = 2;
        inputs.image = std::vector<unsigned char>(20'000, 0x11);
        inputs.imagePath = "PROG.IMG";
    }

    // Runs until the run ends or stopWhen() holds; returns whether the run ended.
    bool run(const std::function<bool()>& stopWhen = [] { return false; }) {
        for (int turns = 0; turns < 100'000; ++turns) {
            while (auto output = machine.poll(now)) {
                if (const auto* action = std::get_if<PortAction>(&*output)) {
                    carryOut(*action);
                } else {
                    events.push_back(std::get<RunEvent>(*output));
                    if (events.back().awaitsAcknowledgement) {
                        machine.acknowledge(now);
                    }
                }
                if (stopWhen()) {
                    return false;
                }
            }
            if (stopWhen()) {
                return false;
            }
            if (!machine.running()) {
                return true;
            }
            Nanos next = machine.nextDeadline().value_or(Nanos::max());
            if (!replies.empty() && replies.begin()->first < next) {
                now = replies.begin()->first;
                const ByteText chunk = replies.begin()->second;
                replies.erase(replies.begin());
                machine.received(chunk, now);
                continue;
            }
            if (next == Nanos::max()) {
                ADD_FAILURE() << "the run waits for nothing";
                return false;
            }
            now = next;
            machine.handleTimeout(now);
        }
        ADD_FAILURE() << "the run never ended";
        return false;
    }

    void carryOut(const PortAction& action) {
        actions.push_back(action.kind);
        if (failing && *failing == actions.size()) {
            machine.actionFailed(SerialError("injected", PortErrorKind::Gone), now);
            return;
        }
        if (action.kind == Kind::Write) {
            written += action.bytes;
            largestWrite = std::max(largestWrite, action.bytes.size());
            if (action.bytes == "E") {
                replies[now + 50ms] = eraseAnswer;
            } else if (action.bytes == "C") {
                const std::uint32_t sum = dataSum();
                const ByteText answer{static_cast<char>(sum >> 24), static_cast<char>(sum >> 16),
                                      static_cast<char>(sum >> 8), static_cast<char>(sum)};
                if (answersChecksum) {
                    replies[now + 50ms] = answer;
                }
            }
        } else if (action.kind == Kind::Drain) {
            machine.drained(now);
        }
    }

    // The sum of the records' data: the image, then erased flash to the end of the last record.
    std::uint32_t dataSum() const {
        std::uint32_t sum = 0;
        for (const unsigned char byte : inputs.image) {
            sum += byte;
        }
        return sum + 0xFF * static_cast<std::uint32_t>(machine.result().bytesAnnounced -
                                                       inputs.image.size());
    }

    UpdateMachine machine;
    RunInputs inputs;
    Nanos now{0};
    std::map<Nanos, ByteText> replies;
    ByteText eraseAnswer = "E";
    bool answersChecksum = true;
    std::optional<std::size_t> failing;
    std::vector<Kind> actions;
    std::vector<RunEvent> events;
    ByteText written;
    std::size_t largestWrite = 0;
};

TEST(UpdateMachine, ARunAsksForTheWholeUpdateAndEndsWithTheVerdict) {
    MachineRig rig;
    rig.machine.start(rig.inputs, rig.now);
    ASSERT_TRUE(rig.run());
    const UpdateResult& result = rig.machine.result();
    EXPECT_TRUE(result.updated());
    EXPECT_EQ(result.fileCheckSum, rig.dataSum());
    EXPECT_EQ(rig.written.size(), 512 + 1 + 2 * 16386 + 2);
    // No write crosses a progress step.
    EXPECT_EQ(rig.largestWrite, 2048u);
    // The boot loader, the erase answer and the checksum exchange take their pauses: 1 s between
    // the halves, 2 s and 1 s after the loader, 1 s after "E" and the poll that sees the answer,
    // 1 s after the answer, 2 s after the records and 1 s after "C", when the answer is in.
    EXPECT_EQ(rig.now, 1s + 2s + 1s + 1s + 100ms + 1s + 2s + 1s);
    EXPECT_FALSE(rig.machine.running());
    EXPECT_EQ(rig.actions.back(), Kind::Close);
}

TEST(UpdateMachine, AWriteNeverExceedsTheRoomThePortHas) {
    MachineRig rig;
    rig.machine.setRoom(0);
    rig.machine.start(rig.inputs, rig.now);
    // Without room, the transfer waits: the run comes to rest once the erase is answered.
    rig.run([&] { return rig.machine.result().stage == UpdateResult::Stage::Program; });
    rig.run([&] { return !rig.machine.hasOutput(); });
    EXPECT_EQ(rig.machine.result().bytesSent, 0u);
    rig.largestWrite = 0;
    // The port takes 48 bytes, about 50 ms at 9600 baud, at a time.
    for (int turn = 0; turn < 2000 && rig.machine.result().stage == UpdateResult::Stage::Program;
         ++turn) {
        rig.machine.setRoom(48);
        rig.run([&] { return !rig.machine.hasOutput(); });
    }
    EXPECT_EQ(rig.machine.result().bytesSent, 2u * 16384);
    rig.machine.setRoom(SIZE_MAX);
    ASSERT_TRUE(rig.run());
    EXPECT_TRUE(rig.machine.result().updated());
    EXPECT_EQ(rig.largestWrite, 48u);
}

TEST(UpdateMachine, AStopLetsNothingQueuedReachTheInstrument) {
    struct Case {
        const char* name;
        std::function<bool(const MachineRig&)> when;
        bool powerCycle;
    };
    const std::vector<Case> cases = {
        {"before the port opens", [](const MachineRig& rig) { return rig.actions.size() == 1; },
         false},
        {"between the loader's halves",
         [](const MachineRig& rig) { return rig.written.size() == 256; }, true},
        {"in the erase window", [](const MachineRig& rig) { return rig.written.ends_with("E"); },
         false},
        {"in a record",
         [](const MachineRig& rig) { return rig.machine.result().bytesSent == 4096; }, true},
        {"waiting for the checksum",
         [](const MachineRig& rig) { return rig.written.ends_with("C"); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MachineRig rig;
        rig.machine.start(rig.inputs, rig.now);
        ASSERT_FALSE(rig.run([&] { return c.when(rig); }));
        rig.actions.clear();
        rig.machine.stop(rig.now);
        ASSERT_TRUE(rig.run());
        EXPECT_EQ(rig.actions, (std::vector<Kind>{Kind::PurgeOutput, Kind::Close}));
        EXPECT_EQ(rig.machine.result().cause, UpdateResult::Cause::Stopped);
        EXPECT_EQ(rig.machine.result().powerCycleNeeded(), c.powerCycle);
    }
}

TEST(UpdateMachine, AFailedActionEndsTheRunWithTheMessageOfItsStep) {
    struct Case {
        std::size_t action;  // 1-based, of a clean run's actions
        std::string message;
        bool updated;
    };
    // A clean run's actions: set-up, port, open, two halves, drain (6); purge, close, set-up,
    // open, purge (11); purge, "E" (13); purge (14); "P", block, eight writes (24); drain (25);
    // purge, "C" (27); "X", close (29).
    const std::vector<Case> cases = {
        {3, texts::kErrorOpeningComPort, false},
        {13, texts::kErrorOpeningComPort, false},
        {16, std::string(texts::kCantOpen) + "PROG.IMG", false},
        {25, texts::kProblemReceivingCheckSum, false},
        {28, "", true},  // "X": both sums are known, the verdict stands
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        MachineRig rig;
        rig.inputs.image.resize(100);
        rig.failing = c.action;
        rig.machine.start(rig.inputs, rig.now);
        ASSERT_TRUE(rig.run());
        EXPECT_EQ(rig.machine.result().updated(), c.updated);
        if (!c.updated) {
            EXPECT_EQ(rig.events.back().kind, RunEvent::Kind::Failed);
            EXPECT_EQ(rig.events.back().text, c.message);
            EXPECT_EQ(rig.machine.result().portError, PortErrorKind::Gone);
            // Nothing is sent after the failure.
            EXPECT_EQ(rig.actions.size(), c.action);
        }
    }
}

TEST(UpdateMachine, AReplyWindowThatClosesOnALostLineIsThePortsFault) {
    for (const bool lost : {false, true}) {
        SCOPED_TRACE(lost ? "line lost" : "silent instrument");
        MachineRig rig;
        rig.answersChecksum = false;
        rig.machine.start(rig.inputs, rig.now);
        rig.run([&] { return rig.written.ends_with("C"); });
        if (lost) {
            rig.machine.lineLost(PortErrorKind::Gone);
        }
        ASSERT_TRUE(rig.run());
        EXPECT_EQ(rig.events.back().kind, RunEvent::Kind::ChecksumMissing);
        EXPECT_EQ(rig.machine.result().cause,
                  lost ? UpdateResult::Cause::Port : UpdateResult::Cause::NoAnswer);
        EXPECT_TRUE(rig.machine.result().powerCycleNeeded());
        EXPECT_EQ(rig.actions.back(), Kind::Close);
    }
}

}  // namespace
}  // namespace flashupdate::testing
