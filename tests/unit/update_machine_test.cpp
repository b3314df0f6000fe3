// The update machine on its own, on virtual time: every stage behaviour, once, as a row of a
// table. The rig is as small as a front end's loop, with a line and an instrument behind it, and
// writes down what the machine asks of the port and what it tells, each with its time, so that a
// row asserts the bytes, their gaps and the run's account together.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "update/texts.h"
#include "update/update_machine.h"

namespace flashupdate::testing {
namespace {

using namespace std::chrono_literals;
using Nanos = UpdateMachine::Nanos;
using Kind = PortAction::Kind;
using Stage = UpdateResult::Stage;
using Cause = UpdateResult::Cause;
using Erased = UpdateResult::Erased;

// The instrument's answer to a command: chunks, each received this long after the command has
// crossed the line. An empty answer is silence.
struct Chunk {
    ByteText bytes;
    Nanos after;
};
using Answer = std::vector<Chunk>;

ByteText sumBytes(std::uint32_t sum) {
    return {static_cast<char>(sum >> 24), static_cast<char>(sum >> 16), static_cast<char>(sum >> 8),
            static_cast<char>(sum)};
}

const Answer kSilent = {};
const Answer kErased = {{"E", 300ms}};
const Answer kWrong = {{"?", 300ms}};

struct MachineRig {
    MachineRig() {
        inputs.commPort = 2;
        for (std::size_t i = 0; i < inputs.bootLoader.size(); ++i) {
            inputs.bootLoader[i] = static_cast<unsigned char>(i * 7);
        }
        inputs.image.resize(100);
        for (std::size_t i = 0; i < inputs.image.size(); ++i) {
            inputs.image[i] = static_cast<unsigned char>(i * 31 + 7);
        }
        inputs.imagePath = "PROG.IMG";
    }

    void begin() {
        if (!machine.running()) {
            machine.start(inputs, now);
        }
    }

    // Runs until the run has ended (true), or until pause() holds after an output or at rest.
    // A box is closed as soon as it has been shown.
    bool run(const std::function<bool()>& pause = [] { return false; }) {
        for (int turn = 0; turn < 1'000'000; ++turn) {
            while (auto output = machine.poll(now)) {
                if (const auto* action = std::get_if<PortAction>(&*output)) {
                    carryOut(*action);
                } else {
                    tell(std::get<RunEvent>(*output));
                }
                if (pause()) {
                    return false;
                }
            }
            if (machine.awaitingAcknowledgement()) {
                machine.acknowledge(now);
                continue;
            }
            if (!machine.running()) {
                return true;
            }
            if (pause()) {
                return false;
            }
            Nanos next = machine.nextDeadline().value_or(Nanos::max());
            next = std::min(next, drainedAt.value_or(Nanos::max()));
            if (!replies.empty()) {
                next = std::min(next, replies.begin()->first);
            }
            if (next == Nanos::max()) {
                ADD_FAILURE() << "the run waits for nothing";
                return false;
            }
            now = std::max(now, next);
            if (drainedAt && *drainedAt <= now) {
                drainedAt.reset();
                machine.drained(now);
            } else if (!replies.empty() && replies.begin()->first <= now) {
                const ByteText chunk = replies.begin()->second;
                replies.erase(replies.begin());
                machine.received(chunk, now);
            } else {
                machine.handleTimeout(now);
            }
        }
        ADD_FAILURE() << "the run never ended";
        return false;
    }

    // The last entry of the transcript is what, and it is that entry's first appearance.
    std::function<bool()> after(const std::string& what) {
        return [this, what] {
            return !transcript.empty() && transcript.back().ends_with(" " + what) &&
                   std::count_if(transcript.begin(), transcript.end(),
                                 [&](const auto& line) { return line.ends_with(" " + what); }) == 1;
        };
    }

    void record(const std::string& what, bool action) {
        transcript.push_back(std::to_string(now / 1ms) + " " + what);
        isAction.push_back(action);
    }

    void carryOut(const PortAction& action) {
        ++actionCount;
        record(describe(action), true);
        if (lost || failing == actionCount) {
            machine.actionFailed(SerialError("injected", lost.value_or(PortErrorKind::Gone)), now);
            return;
        }
        switch (action.kind) {
            case Kind::SetUp:
                byteTime = action.settings.starts_with("1200") ? 8ms : 1ms;
                break;
            case Kind::Write:
                lineFreeAt = std::max(lineFreeAt, now) + byteTime * action.bytes.size();
                written += action.bytes;
                largestWrite = std::max(largestWrite, action.bytes.size());
                if (action.bytes == "E") {
                    answer(eraseAnswers.at(
                        std::min<std::size_t>(eraseCommands++, eraseAnswers.size() - 1)));
                } else if (action.bytes == "C") {
                    answer(checksumAnswer(dataSum()));
                }
                break;
            case Kind::Drain:
                drainedAt = std::max(lineFreeAt, now);
                break;
            case Kind::PurgeOutput:
                lineFreeAt = std::min(lineFreeAt, now);
                break;
            case Kind::SelectPort:
            case Kind::Open:
            case Kind::Close:
            case Kind::PurgeInput:
                break;
        }
    }

    void tell(const RunEvent& event) {
        static const std::map<RunEvent::Kind, const char*> names = {
            {RunEvent::Kind::StageEntered, "StageEntered"},
            {RunEvent::Kind::SendingBootLoader, "SendingBootLoader"},
            {RunEvent::Kind::MemoryErased, "MemoryErased"},
            {RunEvent::Kind::BytesSent, "BytesSent"},
            {RunEvent::Kind::RequestingCheckSum, "RequestingCheckSum"},
            {RunEvent::Kind::Diagnostic, "Diagnostic"},
            {RunEvent::Kind::Failed, "Failed"},
            {RunEvent::Kind::EraseFailed, "EraseFailed"},
            {RunEvent::Kind::ChecksumMissing, "ChecksumMissing"},
            {RunEvent::Kind::Verdict, "Verdict"},
        };
        events.push_back(event);
        std::string what = names.at(event.kind);
        if (event.kind == RunEvent::Kind::BytesSent) {
            what += " " + std::to_string(event.count);
        }
        if (!event.text.empty()) {
            what += " " + event.text;
        }
        if (event.noAnswer) {
            what += " (no answer)";
        }
        // The run's account as the event finds it.
        const UpdateResult& run = machine.result();
        record(what + " [" + nameOf(run.stage) + " " + nameOf(run.erased) + " " +
                   std::to_string(run.bytesSent) + "]",
               false);
    }

    static std::string describe(const PortAction& action) {
        switch (action.kind) {
            case Kind::SetUp:
                return "SetUp " + action.settings;
            case Kind::SelectPort:
                return "SelectPort " + std::to_string(action.commPort);
            case Kind::Open:
                return "Open";
            case Kind::Close:
                return "Close";
            case Kind::PurgeInput:
                return "PurgeInput";
            case Kind::PurgeOutput:
                return "PurgeOutput";
            case Kind::Drain:
                return "Drain";
            case Kind::Write:
                break;
        }
        const auto first = static_cast<unsigned char>(action.bytes.front());
        if (action.bytes.size() == 1 && first >= 0x20 && first < 0x7F) {
            return "Write " + action.bytes;
        }
        return "Write[" + std::to_string(action.bytes.size()) + "]";
    }

    void answer(const Answer& chunks) {
        for (const Chunk& chunk : chunks) {
            replies.emplace(lineFreeAt + chunk.after, chunk.bytes);
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

    std::vector<std::string> tail(std::size_t count) const {
        return {transcript.end() - static_cast<std::ptrdiff_t>(std::min(count, transcript.size())),
                transcript.end()};
    }

    UpdateMachine machine;
    RunInputs inputs;
    Nanos now{0};
    // The instrument: its answer to the n-th "E" (the last serves every later one) and to "C";
    // and chunks it sends unasked, by when they are received.
    std::vector<Answer> eraseAnswers = {{{"E", 50ms}}};
    std::function<Answer(std::uint32_t)> checksumAnswer = [](std::uint32_t sum) {
        return Answer{{sumBytes(sum), 50ms}};
    };
    std::multimap<Nanos, ByteText> replies;
    int eraseCommands = 0;
    // The line: a whole number of milliseconds a byte, near enough 1200 and 9600 baud, so that
    // the transcript reads in whole milliseconds.
    Nanos byteTime = 8ms;
    Nanos lineFreeAt{0};
    std::optional<Nanos> drainedAt;
    // The action (1-based) that fails; or, once the line is lost, every action from then on.
    std::optional<std::size_t> failing;
    std::optional<PortErrorKind> lost;
    std::size_t actionCount = 0;
    std::vector<std::string> transcript;
    std::vector<bool> isAction;
    std::vector<RunEvent> events;
    ByteText written;
    std::size_t largestWrite = 0;
};

TEST(UpdateMachine, ARunWritesTheWholeUpdateWithItsPausesAndTellsEachStep) {
    MachineRig rig;
    rig.begin();
    ASSERT_TRUE(rig.run());
    // The loader's halves 1000 ms apart, the second queued behind the first; 2000 ms once the
    // line has carried it, then the port reopened at 9600 baud and 1000 ms before "E". The erase
    // answer is seen at the first 100 ms poll once its window has opened, 1000 ms after "E"; the
    // records follow 1000 ms later. The request comes 2000 ms after the line has carried the
    // last record, and "X" as soon as the answer is in, when the window opens.
    std::vector<std::string> expected = {
        "0 StageEntered [boot-loader no 0]",
        "0 SetUp 1200,N,8,1",
        "0 SelectPort 2",
        "0 Open",
        "0 SendingBootLoader [boot-loader no 0]",
        "0 Write[256]",
        "1000 Write[256]",
        "1000 Drain",
        "6096 PurgeInput",
        "6096 Close",
        "6096 SetUp 9600,N,8,1",
        "6096 Open",
        "6096 PurgeInput",
        "7096 StageEntered [erase no 0]",
        "7096 PurgeInput",
        "7096 Write E",
        "8196 MemoryErased [erase yes 0]",
        "9196 PurgeInput",
        "9196 StageEntered [program yes 0]",
        "9196 Write P",
        "9196 Write @",
    };
    for (int sent = 2048; sent <= 16384; sent += 2048) {
        expected.push_back("9196 Write[2048]");
        expected.push_back("9196 BytesSent " + std::to_string(sent) + " [program yes " +
                           std::to_string(sent) + "]");
    }
    for (const char* line :
         {"9196 StageEntered [checksum yes 16384]", "9196 Drain", "27582 PurgeInput",
          "27582 RequestingCheckSum [checksum yes 16384]", "27582 Write C", "28582 Write X",
          "28582 Close", "28582 Verdict [done yes 16384]"}) {
        expected.emplace_back(line);
    }
    EXPECT_EQ(rig.transcript, expected);
    // The bytes: the loader as given, then the commands and one whole record, erased flash
    // past the image's end.
    ByteText record(rig.inputs.image.begin(), rig.inputs.image.end());
    record.resize(16384, '\xFF');
    EXPECT_EQ(rig.written, ByteText(rig.inputs.bootLoader.begin(), rig.inputs.bootLoader.end()) +
                               "EP@" + record + "CX");
    EXPECT_TRUE(rig.machine.result().updated());
    EXPECT_EQ(rig.machine.FileCheckSum, rig.dataSum());
    EXPECT_EQ(rig.machine.result().fileCheckSum, rig.dataSum());
    EXPECT_EQ(rig.machine.result().deviceCheckSum, rig.dataSum());
    EXPECT_FALSE(rig.machine.running());
}

TEST(UpdateMachine, RecordsFollowTheImageLengthAndTheirSumNeverWraps) {
    struct Case {
        std::size_t length;
        unsigned char fill;  // 0: a pattern
        std::uint32_t sum;
    };
    for (const Case& c : std::vector<Case>{{0, 0, 0},
                                           {1, 0x11, 0x11 + 16383 * 0xFF},
                                           {16384, 0xFF, 0x3FC000},
                                           {16385, 0x11, 16385 * 0x11 + 16383 * 0xFF},
                                           {24 * 16384, 0, 24 * 16384 / 256 * (255 * 256 / 2)}}) {
        SCOPED_TRACE(c.length);
        MachineRig rig;
        rig.inputs.image.resize(c.length);
        for (std::size_t i = 0; i < c.length; ++i) {
            rig.inputs.image[i] = c.fill != 0 ? c.fill : static_cast<unsigned char>(i);
        }
        rig.begin();
        ASSERT_TRUE(rig.run());
        const std::size_t records = (c.length + 16383) / 16384;
        ByteText expected;
        for (std::size_t k = 0; k < records; ++k) {
            ByteText data(16384, '\xFF');
            for (std::size_t i = 0; i < 16384 && k * 16384 + i < c.length; ++i) {
                data[i] = static_cast<char>(rig.inputs.image[k * 16384 + i]);
            }
            expected += "P" + ByteText(1, static_cast<char>(0x40 + 8 * k)) + data;
        }
        EXPECT_EQ(rig.written.substr(512), "E" + expected + "CX");
        EXPECT_EQ(rig.machine.FileCheckSum, c.sum);
        EXPECT_TRUE(rig.machine.result().updated());
        // Progress every 2048 data bytes, over whole records.
        std::vector<std::uint64_t> counts;
        for (const RunEvent& event : rig.events) {
            if (event.kind == RunEvent::Kind::BytesSent) {
                counts.push_back(event.count);
            }
        }
        ASSERT_EQ(counts.size(), records * 8);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            EXPECT_EQ(counts[i], 2048 * (i + 1));
        }
    }
}

TEST(UpdateMachine, AWriteNeverExceedsTheRoomThePortHas) {
    MachineRig rig;
    rig.inputs.image.resize(20'000);
    rig.machine.setRoom(0);
    rig.begin();
    // Without room, the transfer waits: the run comes to rest once the erase is answered.
    rig.run([&] { return rig.machine.awaitingRoom(); });
    EXPECT_EQ(rig.machine.result().bytesSent, 0u);
    rig.largestWrite = 0;
    // The port takes 48 bytes, about 50 ms at 9600 baud, at a time.
    for (int turn = 0; turn < 2000 && rig.machine.result().stage == Stage::Program; ++turn) {
        rig.machine.setRoom(48);
        rig.run([&] { return !rig.machine.hasOutput(); });
    }
    EXPECT_EQ(rig.machine.result().bytesSent, 2u * 16384);
    rig.machine.setRoom(SIZE_MAX);
    ASSERT_TRUE(rig.run());
    EXPECT_TRUE(rig.machine.result().updated());
    EXPECT_EQ(rig.largestWrite, 48u);
}

// How a run ends: its last outputs with their times, and its own account.
struct Ending {
    const char* name;
    std::function<void(MachineRig&)> arrange;
    // Entries the transcript holds in a row; a run that fails ends with them.
    std::vector<std::string> shows;
    int eraseCommands;
    Stage stage;
    Cause cause;
    const char* failure;  // the one failure kind, from which the exit status follows
    int exitStatus;
    Erased erased;
    std::uint64_t sent;
    bool powerCycle;
};

void PrintTo(const Ending& ending, std::ostream* out) {
    *out << ending.name;
}

class Endings : public ::testing::TestWithParam<Ending> {};

TEST_P(Endings, EndAsTheInstrumentAnswers) {
    const Ending& ending = GetParam();
    MachineRig rig;
    ending.arrange(rig);
    rig.begin();
    ASSERT_TRUE(rig.run());
    if (ending.cause == Cause::None) {
        EXPECT_NE(std::search(rig.transcript.begin(), rig.transcript.end(), ending.shows.begin(),
                              ending.shows.end()),
                  rig.transcript.end())
            << ::testing::PrintToString(rig.transcript);
    } else {
        EXPECT_EQ(rig.tail(ending.shows.size()), ending.shows);
    }
    EXPECT_EQ(rig.eraseCommands, ending.eraseCommands);
    const UpdateResult& result = rig.machine.result();
    EXPECT_EQ(nameOf(result.stage), std::string(nameOf(ending.stage)));
    EXPECT_EQ(nameOf(result.cause), std::string(nameOf(ending.cause)));
    EXPECT_EQ(nameOf(result.erased), std::string(nameOf(ending.erased)));
    const std::optional<FailureKind> failure = result.failure();
    EXPECT_EQ(failure ? nameOf(*failure) : "none", std::string(ending.failure));
    EXPECT_EQ(failure ? exitStatusOf(*failure) : 0, ending.exitStatus);
    EXPECT_EQ(result.bytesSent, ending.sent);
    EXPECT_EQ(result.powerCycleNeeded(), ending.powerCycle);
    // At most one box, and the reason begins with what it said.
    std::vector<RunEvent> boxes;
    std::copy_if(rig.events.begin(), rig.events.end(), std::back_inserter(boxes),
                 [](const RunEvent& event) { return event.awaitsAcknowledgement; });
    ASSERT_LE(boxes.size(), 1u);
    if (!boxes.empty()) {
        EXPECT_TRUE(result.reason.starts_with(boxes[0].text)) << result.reason;
    }
}

const std::string kProgrammingError = texts::kProgrammingError;
const std::string kEndOfErase = texts::kEndOfEraseNotDetected;

// The erase: the first window closes 6000 ms after "E" (1000 ms, then 5000 ms polled every
// 100 ms); a failed attempt is repeated at once, and a second failure closes the port once its
// box is down and ends the run 1000 ms later. The chunk judged is the one present at the poll.
INSTANTIATE_TEST_SUITE_P(
    EraseAnswers, Endings,
    ::testing::Values(
        Ending{"answeredAtOnce",
               [](MachineRig&) {},
               {"28582 Verdict [done yes 16384]"},
               1,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        Ending{"wrongThenErased",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {kWrong, kErased};
               },
               {"8196 PurgeInput", "8196 Write E", "9296 MemoryErased [erase yes 0]"},
               2,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        Ending{"silentThenErased",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {kSilent, kErased};
               },
               {"13096 PurgeInput", "13096 Write E", "14196 MemoryErased [erase yes 0]"},
               2,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        Ending{"silentTwice",
               [](MachineRig& rig) { rig.eraseAnswers = {kSilent}; },
               {"13096 Write E",
                "19096 EraseFailed " + kProgrammingError + " (no answer) [erase maybe 0]",
                "19096 Close"},
               2,
               Stage::Erase,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Maybe,
               0,
               false},
        Ending{"silentThenWrong",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {kSilent, kWrong};
               },
               {"13096 Write E", "14196 EraseFailed " + kEndOfErase + " [erase maybe 0]",
                "14196 Close"},
               2,
               Stage::Erase,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Maybe,
               0,
               false},
        Ending{"wrongThenSilent",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {kWrong, kSilent};
               },
               {"8196 Write E",
                "14196 EraseFailed " + kProgrammingError + " (no answer) [erase maybe 0]",
                "14196 Close"},
               2,
               Stage::Erase,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Maybe,
               0,
               false},
        Ending{"lowerCaseTwice",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {{{"e", 100ms}}};
               },
               {"9296 EraseFailed " + kEndOfErase + " [erase maybe 0]", "9296 Close"},
               2,
               Stage::Erase,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Maybe,
               0,
               false},
        Ending{"answerLastOfThreeBytes",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {
                       {{"\x01\x02"
                         "E",
                         100ms}}};
               },
               {"8196 MemoryErased [erase yes 0]"},
               1,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        // The window's last poll comes at its close, 6000 ms after "E" was handed over.
        Ending{"answerAtTheWindowsLastPoll",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {{{"E", 5999ms}}};
               },
               {"13096 MemoryErased [erase yes 0]"},
               1,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        // Too late for the first window; after the second "E" it is taken as that one's answer.
        Ending{"answerAfterTheWindow",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {{{"E", 6000ms}}, kSilent};
               },
               {"13096 Write E", "14196 MemoryErased [erase yes 0]"},
               2,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        // RxData is replaced by each chunk: the first attempt is judged on "?" before its "E"
        // comes, and that "E" is replaced by the second attempt's "?" before the next poll.
        Ending{"onlyTheChunkPresentCounts",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {{{"?", 1020ms}, {"E", 1400ms}}, {{"?", 1020ms}}};
               },
               {"9296 EraseFailed " + kEndOfErase + " [erase maybe 0]", "9296 Close"},
               2,
               Stage::Erase,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Maybe,
               0,
               false},
        // What the instrument says while the loader goes out is discarded with the reopening.
        Ending{"chatterDuringTheLoaderIsDiscarded",
               [](MachineRig& rig) {
                   rig.eraseAnswers = {kSilent};
                   rig.replies.emplace(500ms, "E noise");
                   rig.replies.emplace(3000ms, "EEEE");
               },
               {"19096 EraseFailed " + kProgrammingError + " (no answer) [erase maybe 0]",
                "19096 Close"},
               2,
               Stage::Erase,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Maybe,
               0,
               false}),
    [](const auto& info) { return std::string(info.param.name); });

// The checksum: the window opens 1000 ms after "C" and closes 5000 ms later; four bytes in one
// chunk answer it, most significant first, and "X" and the closing follow at once.
INSTANTIATE_TEST_SUITE_P(
    ChecksumAnswers, Endings,
    ::testing::Values(
        Ending{"sixBytesTheFirstFourCount",
               [](MachineRig& rig) {
                   rig.checksumAnswer = [](std::uint32_t sum) {
                       return Answer{{sumBytes(sum) + "\x7F\x7F", 50ms}};
                   };
               },
               {"28582 Write X", "28582 Close", "28582 Verdict [done yes 16384]"},
               1,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        Ending{"answerInsideTheWindow",
               [](MachineRig& rig) {
                   rig.checksumAnswer = [](std::uint32_t sum) {
                       return Answer{{sumBytes(sum), 3000ms}};
                   };
               },
               {"30583 Write X", "30583 Close", "30583 Verdict [done yes 16384]"},
               1,
               Stage::Done,
               Cause::None,
               "none",
               0,
               Erased::Yes,
               16384,
               false},
        // The box comes once "X" has gone and the port is let go.
        Ending{"differentSum",
               [](MachineRig& rig) {
                   rig.checksumAnswer = [](std::uint32_t sum) {
                       return Answer{{sumBytes(sum + 1), 50ms}};
                   };
               },
               {"28582 Write X", "28582 Close",
                std::string("28582 Verdict ") + texts::kBadChecksum + " [done yes 16384]"},
               1,
               Stage::Done,
               Cause::BadChecksum,
               "bad-checksum",
               6,
               Erased::Yes,
               16384,
               false},
        Ending{"threeBytesOnly",
               [](MachineRig& rig) {
                   rig.checksumAnswer = [](std::uint32_t sum) {
                       return Answer{{sumBytes(sum).substr(0, 3), 50ms}};
                   };
               },
               {"27582 Write C",
                std::string("33582 ChecksumMissing ") + texts::kCheckSumNotReceivedBox +
                    " [checksum yes 16384]",
                "33582 Close"},
               1,
               Stage::Checksum,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Yes,
               16384,
               true},
        Ending{"twoChunksOfTwoBytes",
               [](MachineRig& rig) {
                   rig.checksumAnswer = [](std::uint32_t sum) {
                       return Answer{{sumBytes(sum).substr(0, 2), 50ms},
                                     {sumBytes(sum).substr(2), 1500ms}};
                   };
               },
               {std::string("33582 ChecksumMissing ") + texts::kCheckSumNotReceivedBox +
                    " [checksum yes 16384]",
                "33582 Close"},
               1,
               Stage::Checksum,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Yes,
               16384,
               true},
        Ending{"silence",
               [](MachineRig& rig) { rig.checksumAnswer = [](std::uint32_t) { return Answer{}; }; },
               {std::string("33582 ChecksumMissing ") + texts::kCheckSumNotReceivedBox +
                    " [checksum yes 16384]",
                "33582 Close"},
               1,
               Stage::Checksum,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Yes,
               16384,
               true},
        Ending{"answerAfterTheWindow",
               [](MachineRig& rig) {
                   rig.checksumAnswer = [](std::uint32_t sum) {
                       return Answer{{sumBytes(sum), 6000ms}};
                   };
               },
               {std::string("33582 ChecksumMissing ") + texts::kCheckSumNotReceivedBox +
                    " [checksum yes 16384]",
                "33582 Close"},
               1,
               Stage::Checksum,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Yes,
               16384,
               true},
        // Held as a signed number: refused, and the port is left as it is.
        Ending{"firstByte0x80",
               [](MachineRig& rig) {
                   rig.checksumAnswer = [](std::uint32_t) {
                       return Answer{{ByteText("\x80\0\0\0", 4), 50ms}};
                   };
               },
               {"28582 Diagnostic " + std::string(texts::kProblemReceivingCheckSum) +
                    " (device checksum 80000000 out of range) [checksum yes 16384]",
                std::string("28582 Failed ") + texts::kProblemReceivingCheckSum +
                    " [checksum yes 16384]"},
               1,
               Stage::Checksum,
               Cause::NoAnswer,
               "no-answer",
               5,
               Erased::Yes,
               16384,
               true}),
    [](const auto& info) { return std::string(info.param.name); });

// A run refused before it starts says so in its box and touches no port.
INSTANTIATE_TEST_SUITE_P(Refusals, Endings,
                         ::testing::Values(Ending{
                             "refused",
                             [](MachineRig& rig) {
                                 rig.machine.refuse(Refusal{Cause::File,
                                                            texts::kCantFindBootLoaders,
                                                            "not in /opt", "PROG.IMG", 16384});
                             },
                             {"0 Diagnostic Can't find Boot Loaders (not in /opt) [checks no 0]",
                              "0 Failed Can't find Boot Loaders [checks no 0]"},
                             0,
                             Stage::Checks,
                             Cause::File,
                             "file",
                             3,
                             Erased::No,
                             0,
                             false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateMachine, AFailedActionEndsTheRunWithTheMessageOfItsStepAndTouchesNothingMore) {
    MachineRig clean;
    clean.begin();
    ASSERT_TRUE(clean.run());
    // The region each action belongs to starts with a transcript entry; after "X" both sums are
    // known and the verdict stands.
    const std::map<std::string, std::string> regions = {
        {"StageEntered [boot-loader no 0]", texts::kErrorOpeningComPort},
        {"StageEntered [program yes 0]", "Can't open PROG.IMG"},
        {"StageEntered [checksum yes 16384]", texts::kProblemReceivingCheckSum},
        {"Write X", ""},
    };
    std::string message;
    std::size_t action = 0;
    for (std::size_t line = 0; line < clean.transcript.size(); ++line) {
        const std::string what =
            clean.transcript[line].substr(clean.transcript[line].find(' ') + 1);
        if (regions.contains(what)) {
            message = regions.at(what);
        }
        if (!clean.isAction[line]) {
            continue;
        }
        ++action;
        SCOPED_TRACE(std::to_string(action) + ": " + what);
        MachineRig rig;
        rig.failing = action;
        rig.begin();
        ASSERT_TRUE(rig.run());
        if (message.empty()) {
            EXPECT_TRUE(rig.machine.result().updated());
            EXPECT_TRUE(rig.transcript.back().ends_with("Verdict [done yes 16384]"));
            EXPECT_TRUE(
                std::any_of(rig.transcript.begin(), rig.transcript.end(), [](const auto& l) {
                    return l.find(
                               " Diagnostic the line dropped after the instrument's answer: "
                               "injected") != std::string::npos;
                }));
            continue;
        }
        EXPECT_TRUE(rig.transcript.back().find(" Failed " + message + " [") != std::string::npos)
            << rig.transcript.back();
        EXPECT_EQ(rig.machine.result().portError, PortErrorKind::Gone);
        // The port is left as the failing step left it: nothing is asked of it after.
        EXPECT_EQ(rig.actionCount, action);
    }
    EXPECT_EQ(action, 29u);
}

// The places a run waits or passes through, each named by the first transcript entry after which
// a stop or a lost line comes; and the run's account there.
struct State {
    const char* after;
    Stage stage;
    Erased erased;
    // A stop here leaves the instrument needing a power cycle.
    bool powerCycle;
    // What the run says when the line is lost here; every action after fails.
    std::string lostSays;
};

const std::vector<State>& everyState() {
    static const std::vector<State> states = {
        {"SetUp 1200,N,8,1", Stage::BootLoader, Erased::No, false, texts::kErrorOpeningComPort},
        {"Open", Stage::BootLoader, Erased::No, false, texts::kErrorOpeningComPort},
        {"Write[256]", Stage::BootLoader, Erased::No, true, texts::kErrorOpeningComPort},
        {"Drain", Stage::BootLoader, Erased::No, true, texts::kErrorOpeningComPort},
        {"Close", Stage::BootLoader, Erased::No, false, texts::kErrorOpeningComPort},
        {"SetUp 9600,N,8,1", Stage::BootLoader, Erased::No, false, texts::kErrorOpeningComPort},
        {"Write E", Stage::Erase, Erased::Maybe, false, texts::kErrorOpeningComPort},
        {"MemoryErased [erase yes 0]", Stage::Erase, Erased::Yes, false,
         texts::kErrorOpeningComPort},
        {"Write @", Stage::Program, Erased::Yes, true, "Can't open PROG.IMG"},
        {"BytesSent 8192 [program yes 8192]", Stage::Program, Erased::Yes, true,
         "Can't open PROG.IMG"},
        {"StageEntered [checksum yes 16384]", Stage::Checksum, Erased::Yes, true,
         texts::kProblemReceivingCheckSum},
        {"RequestingCheckSum [checksum yes 16384]", Stage::Checksum, Erased::Yes, false,
         texts::kProblemReceivingCheckSum},
        {"Write C", Stage::Checksum, Erased::Yes, true, texts::kCheckSumNotReceivedBox},
    };
    return states;
}

TEST(UpdateMachine, AStopAtEveryStateLetsNothingQueuedReachTheInstrument) {
    for (const State& state : everyState()) {
        SCOPED_TRACE(state.after);
        MachineRig rig;
        rig.begin();
        ASSERT_FALSE(rig.run(rig.after(state.after)));
        const std::size_t before = rig.transcript.size();
        rig.machine.stop(rig.now);
        ASSERT_TRUE(rig.run());
        // No box: the operator asked for the stop.
        EXPECT_EQ(
            std::vector<std::string>(rig.transcript.begin() + static_cast<std::ptrdiff_t>(before),
                                     rig.transcript.end()),
            (std::vector<std::string>{std::to_string(rig.now / 1ms) + " PurgeOutput",
                                      std::to_string(rig.now / 1ms) + " Close"}));
        const UpdateResult& result = rig.machine.result();
        EXPECT_EQ(result.cause, Cause::Stopped);
        EXPECT_EQ(nameOf(result.stage), std::string(nameOf(state.stage)));
        EXPECT_EQ(nameOf(result.erased), std::string(nameOf(state.erased)));
        EXPECT_EQ(result.powerCycleNeeded(), state.powerCycle);
    }
}

TEST(UpdateMachine, AStopWhileABoxIsOpenKeepsTheOutcomeAndLetsThePortGo) {
    MachineRig rig;
    rig.eraseAnswers = {kSilent};
    rig.begin();
    ASSERT_FALSE(rig.run([&] { return rig.machine.awaitingAcknowledgement(); }));
    rig.machine.stop(rig.now);
    ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.tail(2), (std::vector<std::string>{"19096 PurgeOutput", "19096 Close"}));
    EXPECT_EQ(rig.machine.result().cause, Cause::NoAnswer);
}

TEST(UpdateMachine, ALineLostAtEveryStateEndsTheRunAsThePortsFault) {
    for (const State& state : everyState()) {
        SCOPED_TRACE(state.after);
        MachineRig rig;
        rig.begin();
        ASSERT_FALSE(rig.run(rig.after(state.after)));
        const ByteText written = rig.written;
        // Nothing comes in on a lost line, and every action fails.
        rig.replies.clear();
        rig.lost = PortErrorKind::Gone;
        rig.machine.lineLost(PortErrorKind::Gone);
        ASSERT_TRUE(rig.run());
        std::vector<RunEvent> boxes;
        std::copy_if(rig.events.begin(), rig.events.end(), std::back_inserter(boxes),
                     [](const RunEvent& event) { return event.awaitsAcknowledgement; });
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, state.lostSays);
        EXPECT_EQ(rig.written, written);
        const UpdateResult& result = rig.machine.result();
        EXPECT_EQ(result.cause, Cause::Port);
        ASSERT_TRUE(result.failure().has_value());
        EXPECT_EQ(*result.failure(), FailureKind::Gone);
        EXPECT_EQ(nameOf(result.stage), std::string(nameOf(state.stage)));
    }
}

// Whatever the instrument sends and whenever, a run ends, shows at most one box, and claims
// success only when the instrument's sum is the file's and the file's is what was sent.
TEST(UpdateMachine, GarbageFromTheInstrumentNeverHangsOrClaimsSuccessFalsely) {
    const auto noise = [](std::mt19937& random, const ByteText& likely) {
        ByteText bytes(random() % 9, '\0');
        for (auto& byte : bytes) {
            const auto pick = random() % 4;
            byte = pick == 0   ? 'E'
                   : pick == 1 ? likely[random() % likely.size()]
                               : static_cast<char>(random() & 0xFF);
        }
        return bytes;
    };
    const auto delay = [](std::mt19937& random) {
        return std::chrono::milliseconds(random() % 7001);
    };
    std::set<std::string> seen;
    for (unsigned trial = 1; trial <= 300; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        std::mt19937 random(trial);
        MachineRig rig;
        // Up to three records, so that the last one is often partly erased flash.
        rig.inputs.image.resize(random() % 40'000);
        for (auto& byte : rig.inputs.image) {
            byte = static_cast<unsigned char>(random());
        }
        const std::uint32_t trueSum = [&] {
            std::uint32_t sum = 0;
            for (const unsigned char byte : rig.inputs.image) {
                sum += byte;
            }
            const std::size_t records = (rig.inputs.image.size() + 16383) / 16384;
            return sum +
                   0xFF * static_cast<std::uint32_t>(records * 16384 - rig.inputs.image.size());
        }();
        const ByteText likely = sumBytes(trueSum);
        rig.eraseAnswers.clear();
        for (auto attempts = 1 + random() % 3; attempts > 0; --attempts) {
            Answer answer;
            for (auto chunks = random() % 4; chunks > 0; --chunks) {
                answer.push_back({noise(random, likely), delay(random)});
            }
            rig.eraseAnswers.push_back(answer);
        }
        Answer checksum;
        for (auto chunks = random() % 4; chunks > 0; --chunks) {
            checksum.push_back({noise(random, likely), delay(random)});
        }
        // Now and then the true sum, alone or among noise.
        if (random() % 3 == 0) {
            checksum.push_back({likely, delay(random)});
        }
        rig.checksumAnswer = [checksum](std::uint32_t) { return checksum; };
        for (auto unasked = random() % 7; unasked > 0; --unasked) {
            rig.replies.emplace(std::chrono::milliseconds(random() % 40'000),
                                noise(random, likely));
        }
        rig.begin();
        ASSERT_TRUE(rig.run());
        const UpdateResult& result = rig.machine.result();
        std::size_t boxes = 0;
        std::string ending = nameOf(result.cause);
        for (const RunEvent& event : rig.events) {
            if (event.awaitsAcknowledgement) {
                ++boxes;
                ending += " " + event.text;
            }
        }
        ASSERT_LE(boxes, 1u);
        if (result.deviceCheckSum) {
            EXPECT_EQ(rig.machine.FileCheckSum, trueSum);
            EXPECT_EQ(result.updated(), *result.deviceCheckSum == trueSum);
        } else {
            EXPECT_FALSE(result.updated());
        }
        seen.insert(ending);
    }
    // The trials reach every ending the instrument can cause.
    EXPECT_EQ(seen, (std::set<std::string>{
                        "none",
                        "bad-checksum " + std::string(texts::kBadChecksum),
                        "no-answer " + kProgrammingError,
                        "no-answer " + kEndOfErase,
                        "no-answer " + std::string(texts::kCheckSumNotReceivedBox),
                        "no-answer " + std::string(texts::kProblemReceivingCheckSum),
                    }));
}

}  // namespace
}  // namespace flashupdate::testing
