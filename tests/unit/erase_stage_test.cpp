// The erase command, its reply window and its one repetition.
#include "test_rig.h"

namespace flashupdate::testing {
namespace {

const Answer kSilent = {};
const Answer kErased = {{"E", ms(300)}};
const Answer kWrong = {{"\x3F", ms(300)}};

std::vector<Micros> eraseTimes(const Rig& rig) {
    std::vector<Micros> times;
    for (const auto& byte : rig.port.wire()) {
        if (byte.baud == 9600 && byte.value == 'E') {
            times.push_back(byte.at);
        }
    }
    return times;
}

struct EraseCase {
    const char* name;
    std::vector<Answer> answers;
    int expectedCommands;
    const char* message;  // empty: erased
};

TEST(EraseStage, OutcomeFollowsTheAnswersOfBothAttempts) {
    const std::vector<EraseCase> cases = {
        {"answered at once", {kErased}, 1, ""},
        {"wrong, then erased", {kWrong, kErased}, 2, ""},
        {"silent, then erased", {kSilent, kErased}, 2, ""},
        {"silent twice", {kSilent}, 2, " Programming Error\r\nFLASH not Updated"},
        {"silent, then wrong",
         {kSilent, kWrong},
         2,
         "End Of Erase Not Detected\r\nFLASH not Updated"},
        {"wrong, then silent", {kWrong, kSilent}, 2, " Programming Error\r\nFLASH not Updated"},
        {"lower-case e twice",
         {{{"e", ms(100)}}},
         2,
         "End Of Erase Not Detected\r\nFLASH not Updated"},
        {"E as the last of three bytes",
         {{{"\x01\x02"
            "E",
            ms(100)}}},
         1,
         ""},
        // Announced once the line has been quiet for 50 ms, before the window closes.
        {"answer just inside the window", {{{"E", ms(5940)}}}, 1, ""},
        // The window closes 6 s after the command. A late answer is too late for attempt one;
        // arriving after the second command, it is taken as that one's answer.
        {"answer after the window", {{{"E", ms(6300)}}, kSilent}, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.selectImage(randomBytes(100));
        rig.instrument.eraseAnswers = c.answers;
        rig.start();
        EXPECT_EQ(rig.instrument.eraseCommands, c.expectedCommands);
        if (std::string(c.message).empty()) {
            EXPECT_TRUE(rig.view.messages().empty());
            EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
            continue;
        }
        ASSERT_EQ(rig.view.messages().size(), 1u);
        EXPECT_EQ(rig.view.messages()[0].text, c.message);
        EXPECT_EQ(rig.view.messages()[0].icon, MessageIcon::Exclamation);
        EXPECT_EQ(rig.view.status(), "FLASH not Updated");
        EXPECT_FALSE(rig.port.portOpen());
        EXPECT_TRUE(rig.instrument.blockNumbers.empty());
        // Nothing is sent after the erase has failed.
        EXPECT_EQ(rig.port.wire().back().value, 'E');
    }
}

TEST(EraseStage, SilentInstrumentIsGivenUpAfterTwoWindowsOfAboutSixSeconds) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.instrument.eraseAnswers = {kSilent};
    rig.start();
    const auto times = eraseTimes(rig);
    ASSERT_EQ(times.size(), 2u);
    // 1000 ms, then a 5000 ms window polled every 100 ms.
    EXPECT_GE(times[1] - times[0], ms(6000));
    EXPECT_LE(times[1] - times[0], ms(6250));
    const auto& message = rig.view.messages().at(0);
    const Micros secondHanded = times[1] - ms(10.0 / 9.6);
    EXPECT_GE(message.at - secondHanded, ms(5999));
    EXPECT_LE(message.at - times[1], ms(6250));
    // The status is set before the box and once more after it.
    const auto history = rig.view.statusHistory();
    EXPECT_EQ(std::vector<std::string>(history.end() - 2, history.end()),
              (std::vector<std::string>{"FLASH not Updated", "FLASH not Updated"}));
    // The run ends 1000 ms after the port has closed, which is told on the loop's next turn.
    EXPECT_GE(rig.loop.now() - message.at, ms(1000));
    EXPECT_LE(rig.loop.now() - message.at, ms(1001));
}

TEST(EraseStage, WrongAnswerTwiceSetsTheStatusOnce) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.instrument.eraseAnswers = {kWrong};
    rig.start();
    const auto history = rig.view.statusHistory();
    EXPECT_EQ(history, (std::vector<std::string>{"Sending Boot Loader", "Erase Command Sent",
                                                 "FLASH not Updated"}));
}

TEST(EraseStage, OnlyTheChunkPresentWhenJudgedCounts) {
    // Each answer comes in two chunks and the first lacks "E": the attempt is judged on the
    // first. The second attempt's "E" is replaced by the next chunk before it is judged.
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.instrument.eraseAnswers = {{{"?", ms(1020)}, {"E", ms(1400)}}, {{"?", ms(1020)}}};
    rig.start();
    EXPECT_EQ(rig.instrument.eraseCommands, 2);
    EXPECT_EQ(rig.messageTexts(),
              std::vector<std::string>{"End Of Erase Not Detected\r\nFLASH not Updated"});
}

TEST(EraseStage, SuccessHandsOverAfterOneSecond) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.start();
    const auto history = rig.view.statusHistory();
    ASSERT_GE(history.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(history.begin(), history.begin() + 4),
              (std::vector<std::string>{"Sending Boot Loader", "Erase Command Sent",
                                        "Memory Erased", "Sending Program"}));
    EXPECT_EQ(rig.view.statusTime("Sending Program") - rig.view.statusTime("Memory Erased"),
              ms(1000));
    // The answer is noticed at the first 100 ms poll after it arrived.
    const Micros answered = eraseTimes(rig).at(0) + ms(300);
    EXPECT_GE(rig.view.statusTime("Memory Erased"), answered);
    EXPECT_LE(rig.view.statusTime("Memory Erased"), answered + ms(1100));
}

}  // namespace
}  // namespace flashupdate::testing
