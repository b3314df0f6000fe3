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
using Cause = UpdateResult::Cause;

// The instrument's answer to a command: chunks, each received this long after the command has
// crossed the line. An empty answer is silence.
struct Reply {
    ByteText bytes;
    Nanos after;
};
using Replies = std::vector<Reply>;

ByteText sumBytes(std::uint32_t sum) {
    return {static_cast<char>(sum >> 24), static_cast<char>(sum >> 16), static_cast<char>(sum >> 8),
            static_cast<char>(sum)};
}

// The run's account in one line: stage, failure kind and exit status, memory, data bytes sent.
std::string accountOf(const UpdateResult& run) {
    const std::optional<FailureKind> failure = run.failure();
    return std::string(nameOf(run.stage)) + " " + (failure ? nameOf(*failure) : "none") + "/" +
           std::to_string(failure ? exitStatusOf(*failure) : 0) + " " + nameOf(run.erased) + " " +
           std::to_string(run.bytesSent) + (run.powerCycleNeeded() ? " power-cycle" : "");
}

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

    // Starts the run (unless one is under way) and runs it until it has ended (true), or until
    // pause() holds after an output or at rest. A box is closed as soon as it has been shown.
    bool run(const std::function<bool()>& pause = [] { return false; }) {
        if (!machine.running()) {
            machine.start(inputs, now);
        }
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
                record("ended", false);
                return true;
            }
            if (pause()) {
                return false;
            }
            Nanos next = std::min(machine.nextDeadline().value_or(Nanos::max()),
                                  drainedAt.value_or(Nanos::max()));
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
                machine.received(replies.begin()->second, now);
                replies.erase(replies.begin());
            } else {
                machine.handleTimeout(now);
            }
        }
        ADD_FAILURE() << "the run never ended";
        return false;
    }

    // Pauses once the transcript's last entry is the first of its kind to read what; "@T": at
    // rest at T milliseconds.
    std::function<bool()> after(const std::string& what) {
        if (what.starts_with("@")) {
            const Nanos at = std::chrono::milliseconds(std::stoi(what.substr(1)));
            return [this, at] { return now == at && !machine.hasOutput(); };
        }
        return [this, what] {
            const auto is = [&](const std::string& line) { return line.ends_with(" " + what); };
            return !transcript.empty() && is(transcript.back()) &&
                   std::count_if(transcript.begin(), transcript.end(), is) == 1;
        };
    }

    void record(const std::string& what, bool action) {
        transcript.push_back(std::to_string(now / 1ms) + " " + what);
        isAction.push_back(action);
    }

    void carryOut(const PortAction& action) {
        static const char* const names[] = {"SetUp", "SelectPort", "Open",        "Close",
                                            "Write", "PurgeInput", "PurgeOutput", "Drain"};
        std::string what = names[static_cast<int>(action.kind)];
        if (action.kind == Kind::SetUp) {
            what += " " + action.settings;
        } else if (action.kind == Kind::SelectPort) {
            what += " " + std::to_string(action.commPort);
        } else if (action.kind == Kind::Write) {
            const auto first = static_cast<unsigned char>(action.bytes.front());
            const bool command = action.bytes.size() == 1 && first >= 0x20 && first < 0x7F;
            what += command ? " " + action.bytes : "[" + std::to_string(action.bytes.size()) + "]";
        }
        record(what, true);
        if (lost || failing == ++actionCount) {
            machine.actionFailed(SerialError("injected", lost.value_or(PortErrorKind::Gone)), now);
            return;
        }
        if (action.kind == Kind::SetUp) {
            byteTime = action.settings.starts_with("1200") ? 8ms : 1ms;
        } else if (action.kind == Kind::Drain) {
            drainedAt = std::max(lineFreeAt, now);
        } else if (action.kind == Kind::PurgeOutput) {
            lineFreeAt = std::min(lineFreeAt, now);
        } else if (action.kind == Kind::Write) {
            lineFreeAt = std::max(lineFreeAt, now) + byteTime * action.bytes.size();
            written += action.bytes;
            largestWrite = std::max(largestWrite, action.bytes.size());
            const Replies answer = action.bytes == "E"
                                       ? eraseAnswers.at(std::min<std::size_t>(
                                             eraseCommands++, eraseAnswers.size() - 1))
                                   : action.bytes == "C" ? checksumAnswer(dataSum())
                                                         : Replies{};
            for (const Reply& chunk : answer) {
                replies.emplace(lineFreeAt + chunk.after, chunk.bytes);
            }
        }
    }

    // Each event with the run's account as the event finds it.
    void tell(const RunEvent& event) {
        static const char* const names[] = {"StageEntered", "SendingBootLoader",  "MemoryErased",
                                            "BytesSent",    "RequestingCheckSum", "Diagnostic",
                                            "Failed",       "EraseFailed",        "ChecksumMissing",
                                            "Verdict"};
        events.push_back(event);
        std::string what = names[static_cast<int>(event.kind)];
        if (event.kind == RunEvent::Kind::BytesSent) {
            what += " " + std::to_string(event.count);
        }
        what +=
            (event.text.empty() ? "" : " " + event.text) + (event.noAnswer ? " (no answer)" : "");
        const UpdateResult& run = machine.result();
        record(what + " [" + nameOf(run.stage) + " " + nameOf(run.erased) + " " +
                   std::to_string(run.bytesSent) + "]",
               false);
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

    std::vector<RunEvent> boxes() const {
        std::vector<RunEvent> shown;
        std::copy_if(events.begin(), events.end(), std::back_inserter(shown),
                     [](const RunEvent& event) { return event.awaitsAcknowledgement; });
        return shown;
    }

    UpdateMachine machine;
    RunInputs inputs;
    Nanos now{0};
    // The instrument: its answer to the n-th "E" (the last serves every later one) and to "C";
    // and chunks it sends unasked, by when they are received.
    std::vector<Replies> eraseAnswers = {{{"E", 50ms}}};
    std::function<Replies(std::uint32_t)> checksumAnswer = [](std::uint32_t sum) {
        return Replies{{sumBytes(sum), 50ms}};
    };
    std::multimap<Nanos, ByteText> replies;
    std::size_t eraseCommands = 0;
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
    ASSERT_TRUE(rig.run());
    // The loader's halves 1000 ms apart, the second queued behind the first; 2000 ms once the
    // line has carried it, then the port reopened at 9600 baud and 1000 ms before "E". The erase
    // answer is seen at the first 100 ms poll once its window has opened, 1000 ms after "E"; the
    // records follow 1000 ms later. The request comes 2000 ms after the line has carried the
    // last record, and "X" as soon as the answer is in, when the window opens.
    std::vector<std::string> expected = {"0 StageEntered [boot-loader no 0]",
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
                                         "9196 Write @"};
    for (int sent = 2048; sent <= 16384; sent += 2048) {
        expected.push_back("9196 Write[2048]");
        expected.push_back("9196 BytesSent " + std::to_string(sent) + " [program yes " +
                           std::to_string(sent) + "]");
    }
    expected.insert(
        expected.end(),
        {"9196 StageEntered [checksum yes 16384]", "9196 Drain", "27582 PurgeInput",
         "27582 RequestingCheckSum [checksum yes 16384]", "27582 Write C", "28582 Write X",
         "28582 Close", "28582 Verdict [done yes 16384]", "28582 ended"});
    EXPECT_EQ(rig.transcript, expected);
    // The loader as given, then the commands and one whole record, erased flash past the image.
    ByteText record(rig.inputs.image.begin(), rig.inputs.image.end());
    record.resize(16384, '\xFF');
    EXPECT_EQ(rig.written, ByteText(rig.inputs.bootLoader.begin(), rig.inputs.bootLoader.end()) +
                               "EP@" + record + "CX");
    EXPECT_EQ(accountOf(rig.machine.result()), "done none/0 yes 16384");
    EXPECT_EQ(rig.machine.result().fileCheckSum, rig.dataSum());
    EXPECT_EQ(rig.machine.result().deviceCheckSum, rig.dataSum());
}

TEST(UpdateMachine, RecordsFollowTheImageLengthAndTheirSumNeverWraps) {
    struct Case {
        std::size_t length;
        int fill;  // -1: each byte its offset
        std::uint32_t sum;
    };
    for (const Case& c : std::vector<Case>{{0, 0, 0},
                                           {1, 0x11, 0x11 + 16383 * 0xFF},
                                           {16384, 0xFF, 0x3FC000},
                                           {16385, 0x11, 16385 * 0x11 + 16383 * 0xFF},
                                           {24 * 16384, -1, 24 * 64 * (255 * 256 / 2)}}) {
        SCOPED_TRACE(c.length);
        MachineRig rig;
        rig.inputs.image.resize(c.length);
        for (std::size_t i = 0; i < c.length; ++i) {
            rig.inputs.image[i] = static_cast<unsigned char>(c.fill < 0 ? i : c.fill);
        }
        ASSERT_TRUE(rig.run());
        ByteText image(rig.inputs.image.begin(), rig.inputs.image.end());
        const std::size_t records = (c.length + 16383) / 16384;
        image.resize(records * 16384, '\xFF');
        ByteText expected = "E";
        for (std::size_t k = 0; k < records; ++k) {
            expected +=
                "P" + ByteText(1, static_cast<char>(0x40 + 8 * k)) + image.substr(k * 16384, 16384);
        }
        EXPECT_EQ(rig.written.substr(512), expected + "CX");
        EXPECT_EQ(rig.machine.FileCheckSum, c.sum);
        EXPECT_TRUE(rig.machine.result().updated());
        // Progress every 2048 data bytes, over whole records.
        std::vector<std::uint64_t> counts, expectedCounts;
        for (const RunEvent& event : rig.events) {
            if (event.kind == RunEvent::Kind::BytesSent) {
                counts.push_back(event.count);
                expectedCounts.push_back(2048 * expectedCounts.size() + 2048);
            }
        }
        EXPECT_EQ(counts, expectedCounts);
        EXPECT_EQ(counts.size(), records * 8);
    }
}

TEST(UpdateMachine, AWriteNeverExceedsTheRoomThePortHas) {
    MachineRig rig;
    rig.inputs.image.resize(20'000);
    rig.machine.setRoom(0);
    // Without room, the transfer waits: the run comes to rest once the erase is answered.
    rig.run([&] { return rig.machine.awaitingRoom(); });
    EXPECT_EQ(rig.machine.result().bytesSent, 0u);
    rig.largestWrite = 0;
    // The port takes 48 bytes, about 50 ms at 9600 baud, at a time.
    for (int turn = 0; turn < 2000 && rig.machine.result().bytesSent < 2 * 16384; ++turn) {
        rig.machine.setRoom(48);
        rig.run([&] { return !rig.machine.hasOutput(); });
    }
    EXPECT_EQ(rig.machine.result().bytesSent, 2u * 16384);
    rig.machine.setRoom(SIZE_MAX);
    ASSERT_TRUE(rig.run());
    EXPECT_TRUE(rig.machine.result().updated());
    EXPECT_EQ(rig.largestWrite, 48u);
}

// How a run ends as the instrument answers: entries the transcript holds in a row (a run that
// fails ends with them), and the run's account.
// How a run ends as the instrument answers: entries the transcript holds in a row, apart by " | "
// (a run that fails ends with them), and the run's account.
struct Outcome {
    const char* name;
    std::function<void(MachineRig&)> arrange;
    std::string shows;
    std::string account;
};

void PrintTo(const Outcome& ending, std::ostream* out) {
    *out << ending.name;
}

class Endings : public ::testing::TestWithParam<Outcome> {};

TEST_P(Endings, EndAsTheInstrumentAnswers) {
    const Outcome& ending = GetParam();
    std::vector<std::string> shows;
    for (std::size_t from = 0, to = 0; to != std::string::npos; from = to + 3) {
        to = ending.shows.find(" | ", from);
        shows.push_back(ending.shows.substr(from, to - from));
    }
    MachineRig rig;
    ending.arrange(rig);
    ASSERT_TRUE(rig.run());
    const UpdateResult& result = rig.machine.result();
    if (result.updated()) {
        EXPECT_NE(
            std::search(rig.transcript.begin(), rig.transcript.end(), shows.begin(), shows.end()),
            rig.transcript.end())
            << ::testing::PrintToString(rig.transcript);
    } else {
        EXPECT_EQ(rig.tail(shows.size()), shows);
    }
    EXPECT_EQ(accountOf(result), ending.account);
    // At most one box, and the reason begins with what it said.
    const std::vector<RunEvent> boxes = rig.boxes();
    ASSERT_LE(boxes.size(), 1u);
    if (!boxes.empty()) {
        EXPECT_TRUE(result.reason.starts_with(boxes[0].text)) << result.reason;
    }
}

std::string nameOfRow(const ::testing::TestParamInfo<Outcome>& info) {
    return info.param.name;
}

// The answers to the first "E", the second, and so on (the last serves every later one).
template <typename... Answers>
std::function<void(MachineRig&)> erase(Answers... answers) {
    return [=](MachineRig& rig) { rig.eraseAnswers = {answers...}; };
}

Replies answer(const ByteText& bytes, Nanos after) {
    return {{bytes, after}};
}

// The checksum answer: the right sum plus delta, its bytes from first to last, after a delay.
std::function<void(MachineRig&)> checksum(std::uint32_t delta, std::size_t first, std::size_t last,
                                          Nanos after) {
    return [=](MachineRig& rig) {
        rig.checksumAnswer = [=](std::uint32_t sum) {
            const ByteText bytes = sumBytes(sum + delta) + "\x7F\x7F";
            return first == last ? Replies{} : answer(bytes.substr(first, last - first), after);
        };
    };
}

const Replies kSilent = {};
const Replies kErased = answer("E", 300ms);
const Replies kWrong = answer("?", 300ms);
const std::string kProgrammingError = std::string(texts::kProgrammingError) + " (no answer)";
const std::string kEndOfErase = texts::kEndOfEraseNotDetected;
const std::string kChecksumMissing =
    std::string(" ChecksumMissing ") + texts::kCheckSumNotReceivedBox;
const std::string kNoChecksum =
    "33582" + kChecksumMissing + " [checksum yes 16384] | 33582 Close | 33582 ended";

// The erase: the first window closes 6000 ms after "E" (1000 ms, then 5000 ms polled every
// 100 ms); a failed attempt is repeated at once, and a second failure closes the port once its
// box is down and ends the run 1000 ms later. RxData is replaced by each chunk: the chunk judged is
// the one present at the poll.
const Outcome kEraseAnswers[] = {
    {"answeredAtOnce", erase(answer("E", 50ms)), "8196 MemoryErased [erase yes 0]",
     "done none/0 yes 16384"},
    {"wrongThenErased", erase(kWrong, kErased),
     "8196 PurgeInput | 8196 Write E | 9296 MemoryErased [erase yes 0]", "done none/0 yes 16384"},
    {"silentThenErased", erase(kSilent, kErased),
     "13096 PurgeInput | 13096 Write E | 14196 MemoryErased [erase yes 0]",
     "done none/0 yes 16384"},
    {"silentTwice", erase(kSilent),
     "13096 Write E | 19096 EraseFailed " + kProgrammingError +
         " [erase maybe 0] | 19096 Close | 20096 ended",
     "erase no-answer/5 maybe 0"},
    {"silentThenWrong", erase(kSilent, kWrong),
     "13096 Write E | 14196 EraseFailed " + kEndOfErase +
         " [erase maybe 0] | 14196 Close | 15196 ended",
     "erase no-answer/5 maybe 0"},
    {"wrongThenSilent", erase(kWrong, kSilent),
     "8196 Write E | 14196 EraseFailed " + kProgrammingError +
         " [erase maybe 0] | 14196 Close | 15196 ended",
     "erase no-answer/5 maybe 0"},
    {"lowerCaseTwice", erase(answer("e", 100ms)),
     "8196 Write E | 9296 EraseFailed " + kEndOfErase +
         " [erase maybe 0] | 9296 Close | 10296 ended",
     "erase no-answer/5 maybe 0"},
    {"answerLastOfThreeBytes",
     erase(answer("\x01\x02"
                  "E",
                  100ms)),
     "7096 Write E | 8196 MemoryErased [erase yes 0]", "done none/0 yes 16384"},
    // The window's last poll comes at its close, 6000 ms after "E" was handed over.
    {"answerAtTheWindowsLastPoll", erase(answer("E", 5999ms)), "13096 MemoryErased [erase yes 0]",
     "done none/0 yes 16384"},
    // Too late for the first window; after the second "E" it is taken as that one's answer.
    {"answerAfterTheWindow", erase(answer("E", 6000ms), kSilent),
     "13096 Write E | 14196 MemoryErased [erase yes 0]", "done none/0 yes 16384"},
    // The first attempt is judged on "?" before its "E" comes, and that "E" is replaced by
    // the second attempt's "?" before the next poll.
    {"onlyTheChunkPresentCounts", erase(Replies{{"?", 1020ms}, {"E", 1400ms}}, answer("?", 1020ms)),
     "8196 Write E | 9296 EraseFailed " + kEndOfErase +
         " [erase maybe 0] | 9296 Close | 10296 ended",
     "erase no-answer/5 maybe 0"},
    // What the instrument says while the loader goes out is discarded with the reopening.
    {"chatterDuringTheLoaderIsDiscarded",
     [](MachineRig& rig) {
         rig.eraseAnswers = {kSilent};
         rig.replies.emplace(500ms, "E noise");
         rig.replies.emplace(3000ms, "EEEE");
     },
     "19096 EraseFailed " + kProgrammingError + " [erase maybe 0] | 19096 Close | 20096 ended",
     "erase no-answer/5 maybe 0"},
};
INSTANTIATE_TEST_SUITE_P(EraseAnswers, Endings, ::testing::ValuesIn(kEraseAnswers), nameOfRow);

// The checksum: the window opens 1000 ms after "C" and closes 5000 ms later; four bytes in one
// chunk answer it, most significant first, and "X" and the closing follow at once. Until then
// the instrument is in its session: a power cycle is needed.
const Outcome kChecksumAnswers[] = {
    {"sixBytesTheFirstFourCount", checksum(0, 0, 6, 50ms),
     "28582 Write X | 28582 Close | 28582 Verdict [done yes 16384]", "done none/0 yes 16384"},
    {"answerInsideTheWindow", checksum(0, 0, 4, 3000ms),
     "30583 Write X | 30583 Close | 30583 Verdict [done yes 16384]", "done none/0 yes 16384"},
    // The box comes once "X" has gone and the port is let go.
    {"differentSum", checksum(1, 0, 4, 50ms),
     std::string("28582 Write X | 28582 Close | 28582 Verdict ") + texts::kBadChecksum +
         " [done yes 16384] | 28582 ended",
     "done bad-checksum/6 yes 16384"},
    {"threeBytesOnly", checksum(0, 0, 3, 50ms), "27582 Write C | " + kNoChecksum,
     "checksum no-answer/5 yes 16384 power-cycle"},
    {"twoChunksOfTwoBytes",
     [](MachineRig& rig) {
         rig.checksumAnswer = [](std::uint32_t sum) {
             return Replies{{sumBytes(sum).substr(0, 2), 50ms}, {sumBytes(sum).substr(2), 1500ms}};
         };
     },
     kNoChecksum, "checksum no-answer/5 yes 16384 power-cycle"},
    {"silence", checksum(0, 0, 0, 50ms), kNoChecksum, "checksum no-answer/5 yes 16384 power-cycle"},
    {"answerAfterTheWindow", checksum(0, 0, 4, 6000ms), kNoChecksum,
     "checksum no-answer/5 yes 16384 power-cycle"},
    // Held as a signed number: refused, and the port is left as it is.
    {"firstByte0x80", checksum(0x80000000u, 0, 4, 50ms),
     std::string("28582 Failed ") + texts::kProblemReceivingCheckSum +
         " [checksum yes 16384] | 28582 ended",
     "checksum no-answer/5 yes 16384 power-cycle"},
};
INSTANTIATE_TEST_SUITE_P(ChecksumAnswers, Endings, ::testing::ValuesIn(kChecksumAnswers),
                         nameOfRow);

// A run refused before it starts says so in its box and touches no port.
const Outcome kRefusals[] = {
    {"refused",
     [](MachineRig& rig) {
         rig.machine.refuse(
             {Cause::File, texts::kCantFindBootLoaders, "not in /opt", "PROG.IMG", 16384});
     },
     "0 Diagnostic Can't find Boot Loaders (not in /opt) [checks no 0] | 0 Failed Can't find Boot "
     "Loaders [checks no 0] | 0 ended",
     "checks file/3 no 0"},
};
INSTANTIATE_TEST_SUITE_P(Refusals, Endings, ::testing::ValuesIn(kRefusals), nameOfRow);

TEST(UpdateMachine, AFailedActionEndsTheRunWithTheMessageOfItsStepAndTouchesNothingMore) {
    MachineRig clean;
    ASSERT_TRUE(clean.run());
    // The region each action belongs to starts with a transcript entry; after "X" both sums are
    // known and the verdict stands.
    const std::map<std::string, std::string> regions = {
        {"StageEntered [boot-loader no 0]", texts::kErrorOpeningComPort},
        {"StageEntered [program yes 0]", "Can't open PROG.IMG"},
        {"StageEntered [checksum yes 16384]", texts::kProblemReceivingCheckSum},
        {"Write X", ""}};
    std::string message;
    std::size_t action = 0;
    for (std::size_t line = 0; line < clean.transcript.size(); ++line) {
        const std::string what =
            clean.transcript[line].substr(clean.transcript[line].find(' ') + 1);
        message = regions.contains(what) ? regions.at(what) : message;
        if (!clean.isAction[line]) {
            continue;
        }
        SCOPED_TRACE(std::to_string(++action) + ": " + what);
        MachineRig rig;
        rig.failing = action;
        ASSERT_TRUE(rig.run());
        if (message.empty()) {
            // Unless "X" has gone, the instrument is still in its session.
            EXPECT_EQ(accountOf(rig.machine.result()), what == "Write X"
                                                           ? "done none/0 yes 16384 power-cycle"
                                                           : "done none/0 yes 16384");
            EXPECT_NE(std::find(rig.transcript.begin(), rig.transcript.end(),
                                "28582 Diagnostic the line dropped after the instrument's answer: "
                                "injected [checksum yes 16384]"),
                      rig.transcript.end());
            continue;
        }
        ASSERT_EQ(rig.boxes().size(), 1u);
        EXPECT_EQ(rig.boxes()[0].text, message);
        EXPECT_EQ(rig.machine.result().portError, PortErrorKind::Gone);
        // The port is left as the failing step left it: nothing is asked of it after.
        EXPECT_EQ(rig.actionCount, action);
    }
    EXPECT_EQ(action, 29u);
}

// The places a run waits or passes through, each named by the first transcript entry after which
// a stop or a lost line comes: the run's account after a stop, and the box and account after a
// lost line, on which every action fails and nothing comes in.
const char* const kComPort = texts::kErrorOpeningComPort;

struct State {
    const char* after;
    const char* stopped;
    const char* lostSays;
    const char* lost;
};

const State kEveryState[] = {
    // Opening at 1200 baud; the loader's first half out; its second half draining; the loader
    // starting up; the port closing to reopen; the pause at 9600 baud.
    {"Open", "boot-loader stopped/130 no 0", kComPort, "boot-loader gone/4 no 0 power-cycle"},
    {"Write[256]", "boot-loader stopped/130 no 0 power-cycle", kComPort,
     "boot-loader gone/4 no 0 power-cycle"},
    {"Drain", "boot-loader stopped/130 no 0 power-cycle", kComPort,
     "boot-loader gone/4 no 0 power-cycle"},
    {"@4096", "boot-loader stopped/130 no 0", kComPort, "boot-loader gone/4 no 0"},
    {"Close", "boot-loader stopped/130 no 0", kComPort, "boot-loader gone/4 no 0"},
    {"@6096", "boot-loader stopped/130 no 0", kComPort, "erase gone/4 no 0"},
    // Before the erase window, in it, and after the answer.
    {"Write E", "erase stopped/130 maybe 0", kComPort, "erase gone/4 maybe 0"},
    // In the window, the answer is in: the erase stands.
    {"@8096", "erase stopped/130 maybe 0", kComPort, "erase gone/4 yes 0"},
    {"MemoryErased [erase yes 0]", "erase stopped/130 yes 0", kComPort, "erase gone/4 yes 0"},
    // In a record; the last record handed over and not yet carried, which a stop's purge cuts
    // and a lost line does not carry.
    {"Write @", "program stopped/130 yes 0 power-cycle", "Can't open PROG.IMG",
     "program gone/4 yes 0 power-cycle"},
    {"BytesSent 8192 [program yes 8192]", "program stopped/130 yes 8192 power-cycle",
     "Can't open PROG.IMG", "program gone/4 yes 8192 power-cycle"},
    {"StageEntered [checksum yes 16384]", "checksum stopped/130 yes 16384 power-cycle",
     texts::kProblemReceivingCheckSum, "checksum gone/4 yes 16384 power-cycle"},
    // The pause before the request, and the request out: the window closes for the lost line.
    {"@25582", "checksum stopped/130 yes 16384", texts::kProblemReceivingCheckSum,
     "checksum gone/4 yes 16384"},
    {"Write C", "checksum stopped/130 yes 16384 power-cycle", texts::kCheckSumNotReceivedBox,
     "checksum gone/4 yes 16384 power-cycle"},
};

TEST(UpdateMachine, AStopAtEveryStateLetsNothingQueuedReachTheInstrument) {
    for (const State& state : kEveryState) {
        SCOPED_TRACE(state.after);
        MachineRig rig;
        ASSERT_FALSE(rig.run(rig.after(state.after)));
        const std::string at = std::to_string(rig.now / 1ms);
        rig.machine.stop(rig.now);
        ASSERT_TRUE(rig.run());
        // No box: the operator asked for the stop.
        EXPECT_EQ(rig.tail(3),
                  (std::vector<std::string>{at + " PurgeOutput", at + " Close", at + " ended"}));
        EXPECT_EQ(accountOf(rig.machine.result()), state.stopped);
    }
    // A stop while a box is open lets the port go and keeps the outcome.
    MachineRig rig;
    rig.eraseAnswers = {kSilent};
    ASSERT_FALSE(rig.run([&] { return rig.machine.awaitingAcknowledgement(); }));
    rig.machine.stop(rig.now);
    ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.tail(3),
              (std::vector<std::string>{"19096 PurgeOutput", "19096 Close", "19096 ended"}));
    EXPECT_EQ(accountOf(rig.machine.result()), "erase no-answer/5 maybe 0");
}

TEST(UpdateMachine, ALineLostAtEveryStateEndsTheRunAsThePortsFault) {
    for (const State& state : kEveryState) {
        SCOPED_TRACE(state.after);
        MachineRig rig;
        ASSERT_FALSE(rig.run(rig.after(state.after)));
        const ByteText written = rig.written;
        rig.replies.clear();
        rig.lost = PortErrorKind::Gone;
        if (rig.drainedAt) {
            // The wait on the line fails for it, as a session's does.
            rig.drainedAt.reset();
            rig.machine.actionFailed(SerialError("injected", PortErrorKind::Gone), rig.now);
        } else {
            rig.machine.lineLost(PortErrorKind::Gone);
        }
        ASSERT_TRUE(rig.run());
        ASSERT_EQ(rig.boxes().size(), 1u);
        EXPECT_EQ(rig.boxes()[0].text, state.lostSays);
        EXPECT_EQ(rig.written, written);
        EXPECT_EQ(accountOf(rig.machine.result()), state.lost);
    }
}

// Whatever the instrument sends and whenever, a run ends, shows at most one box, and claims
// success only when the instrument's sum is the file's and the file's is what was sent.
TEST(UpdateMachine, GarbageFromTheInstrumentNeverHangsOrClaimsSuccessFalsely) {
    std::set<std::string> seen;
    for (unsigned trial = 1; trial <= 300; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        std::mt19937 random(trial);
        MachineRig rig;
        // Up to three records, so that the last one is often partly erased flash.
        rig.inputs.image.resize(random() % 40'000);
        std::uint32_t trueSum =
            0xFF * static_cast<std::uint32_t>((rig.inputs.image.size() + 16383) / 16384 * 16384 -
                                              rig.inputs.image.size());
        for (auto& byte : rig.inputs.image) {
            byte = static_cast<unsigned char>(random());
            trueSum += byte;
        }
        // Bytes that look like answers more often than chance would have them.
        const auto chunk = [&random, likely = sumBytes(trueSum)] {
            ByteText bytes(random() % 9, '\0');
            for (auto& byte : bytes) {
                const auto pick = random() % 4;
                byte = pick == 0   ? 'E'
                       : pick == 1 ? likely[random() % 4]
                                   : static_cast<char>(random() & 0xFF);
            }
            return Reply{bytes, std::chrono::milliseconds(random() % 7001)};
        };
        rig.eraseAnswers.assign(1 + random() % 3, {});
        for (Replies& answer : rig.eraseAnswers) {
            answer.resize(random() % 4);
            std::generate(answer.begin(), answer.end(), chunk);
        }
        Replies checksum(random() % 4);
        std::generate(checksum.begin(), checksum.end(), chunk);
        // Now and then the true sum, alone or among noise.
        if (random() % 3 == 0) {
            checksum.push_back({sumBytes(trueSum), chunk().after});
        }
        rig.checksumAnswer = [checksum](std::uint32_t) { return checksum; };
        for (auto unasked = random() % 7; unasked > 0; --unasked) {
            rig.replies.emplace(std::chrono::milliseconds(random() % 40'000), chunk().bytes);
        }
        ASSERT_TRUE(rig.run());
        const UpdateResult& result = rig.machine.result();
        ASSERT_LE(rig.boxes().size(), 1u);
        if (result.deviceCheckSum) {
            EXPECT_EQ(rig.machine.FileCheckSum, trueSum);
        }
        EXPECT_EQ(result.updated(), result.deviceCheckSum == trueSum);
        seen.insert(nameOf(result.cause) + (rig.boxes().empty() ? "" : " " + rig.boxes()[0].text));
    }
    // The trials reach every ending the instrument can cause.
    EXPECT_EQ(seen,
              (std::set<std::string>{
                  "none", "bad-checksum " + std::string(texts::kBadChecksum),
                  "no-answer " + std::string(texts::kProgrammingError), "no-answer " + kEndOfErase,
                  "no-answer " + std::string(texts::kCheckSumNotReceivedBox),
                  "no-answer " + std::string(texts::kProblemReceivingCheckSum)}));
}

}  // namespace
}  // namespace flashupdate::testing
