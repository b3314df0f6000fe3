// The run's own account of how it ended, for every ending: the stage reached, the cause, what
// became of the instrument's memory, and the bytes announced and sent.
#include <gtest/gtest.h>

#include "test_rig.h"
#include "update/update_result.h"

namespace flashupdate::testing {
namespace {

using Stage = UpdateResult::Stage;
using Cause = UpdateResult::Cause;
using Erased = UpdateResult::Erased;

struct Ending {
    const char* name;
    std::function<void(Rig&)> arrange;
    Stage stage;
    Cause cause;
    // What failed as one kind, from which the exit status and the outcome's name follow.
    const char* failure;
    int exitStatus;
    Erased erased;
    std::uint64_t sent;  // of the 16384 announced
    // Only switching the instrument off and on lets the next update reach it.
    bool powerCycle = false;
};

void PrintTo(const Ending& ending, std::ostream* out) {
    *out << ending.name;
}

class RunResult : public ::testing::TestWithParam<Ending> {};

TEST_P(RunResult, SaysHowTheRunEnded) {
    const Ending& ending = GetParam();
    Rig rig;
    rig.selectImage(randomBytes(100));
    ending.arrange(rig);
    try {
        rig.update.cmdStart_Click();
    } catch (const StopRequested&) {
    }
    const UpdateResult& result = rig.update.result();
    EXPECT_EQ(nameOf(result.stage), std::string(nameOf(ending.stage)));
    EXPECT_EQ(nameOf(result.cause), std::string(nameOf(ending.cause)));
    EXPECT_EQ(nameOf(result.erased), std::string(nameOf(ending.erased)));
    EXPECT_EQ(result.updated(), ending.cause == Cause::None);
    const std::optional<FailureKind> failure = result.failure();
    EXPECT_EQ(failure ? nameOf(*failure) : "none",
              std::string(ending.failure ? ending.failure : "none"));
    EXPECT_EQ(failure ? exitStatusOf(*failure) : 0, ending.exitStatus);
    EXPECT_EQ(result.bytesSent, ending.sent);
    EXPECT_EQ(result.powerCycleNeeded(), ending.powerCycle);
    if (ending.stage != Stage::Checks) {
        EXPECT_EQ(result.bytesAnnounced, 16384u);
    }
    // The reason begins with what the operator was told.
    if (!rig.view.messages().empty()) {
        EXPECT_TRUE(result.reason.starts_with(rig.view.messages().front().text)) << result.reason;
    }
}

const Answer kSilence{};

INSTANTIATE_TEST_SUITE_P(
    Endings, RunResult,
    ::testing::Values(
        Ending{"updated", [](Rig&) {}, Stage::Done, Cause::None, nullptr, 0, Erased::Yes, 16384},
        Ending{"imageMissing",
               [](Rig& rig) { rig.view.filFilesFileName = rig.view.txtFileName = "NONE.IMG"; },
               Stage::Checks, Cause::File, "file", 3, Erased::No, 0},
        Ending{"bootLoaderMissing",
               [](Rig& rig) { fs::remove(rig.executableDir / "BOOTLOAD.IMG"); }, Stage::Checks,
               Cause::File, "file", 3, Erased::No, 0},
        Ending{"portDoesNotOpen", [](Rig& rig) { rig.port.failOn("Open"); }, Stage::BootLoader,
               Cause::Port, "port", 4, Erased::No, 0},
        Ending{"eraseUnanswered", [](Rig& rig) { rig.instrument.eraseAnswers = {kSilence}; },
               Stage::Erase, Cause::NoAnswer, "no-answer", 5, Erased::Maybe, 0},
        Ending{"eraseWrongAnswer",
               [](Rig& rig) {
                   rig.instrument.eraseAnswers = {{{"?", ms(50)}}};
               },
               Stage::Erase, Cause::NoAnswer, "no-answer", 5, Erased::Maybe, 0},
        // The third write of data: two progress steps have gone.
        Ending{"lineFailsInTheRecord", [](Rig& rig) { rig.port.failOn("Output", 5 + 3); },
               Stage::Program, Cause::Port, "port", 4, Erased::Yes, 4096, true},
        Ending{"checksumUnanswered",
               [](Rig& rig) {
                   rig.instrument.checksumAnswer = [](std::uint32_t) { return Answer{}; };
               },
               Stage::Checksum, Cause::NoAnswer, "no-answer", 5, Erased::Yes, 16384, true},
        Ending{"badChecksum",
               [](Rig& rig) {
                   rig.instrument.checksumAnswer = [](std::uint32_t sum) {
                       return ScriptedInstrument::sumAnswer(sum + 1);
                   };
               },
               Stage::Done, Cause::BadChecksum, "bad-checksum", 6, Erased::Yes, 16384},
        Ending{"checksumOutOfRange",
               [](Rig& rig) {
                   rig.instrument.checksumAnswer = [](std::uint32_t) {
                       return Answer{{ByteText("\x80\0\0\0", 4), ms(50)}};
                   };
               },
               Stage::Checksum, Cause::NoAnswer, "no-answer", 5, Erased::Yes, 16384, true},
        Ending{"stoppedDuringTheErase",
               [](Rig& rig) {
                   rig.loop.setOnPump([&rig] {
                       if (rig.view.status() == "Erase Command Sent") {
                           throw StopRequested{};
                       }
                   });
               },
               Stage::Erase, Cause::Stopped, "stopped", 130, Erased::Maybe, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace flashupdate::testing
