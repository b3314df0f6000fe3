// The checksum request, the instrument's answer and the verdict.
#include "test_rig.h"

namespace flashupdate::testing {
namespace {

struct ChecksumCase {
    const char* name;
    std::function<Answer(std::uint32_t)> answer;
    const char* status;
    std::vector<std::string> messages;
    bool finishSent;
    bool portOpenAfter;
};

TEST(ChecksumStage, VerdictFollowsTheAnswer) {
    const auto sumBytes = [](std::uint32_t sum) {
        return ScriptedInstrument::sumAnswer(sum).front().bytes;
    };
    const std::vector<ChecksumCase> cases = {
        {"matching sum",
         [](std::uint32_t sum) { return ScriptedInstrument::sumAnswer(sum); },
         "FLASH updated successfully  ",
         {},
         true,
         false},
        {"six bytes: the first four count",
         [&](std::uint32_t sum) {
             return Answer{{sumBytes(sum) + "\x7F\x7F", ms(50)}};
         },
         "FLASH updated successfully  ",
         {},
         true,
         false},
        {"different sum",
         [](std::uint32_t sum) { return ScriptedInstrument::sumAnswer(sum + 1); },
         "FLASH not updated successfully ",
         {"FLASH not updated successfully : BAD CHECKSUM"},
         true,
         false},
        {"three bytes only",
         [&](std::uint32_t sum) {
             return Answer{{sumBytes(sum).substr(0, 3), ms(50)}};
         },
         "Check Sum not Received",
         {" Check Sum not Received"},
         false,
         false},
        {"two chunks of two bytes",
         [&](std::uint32_t sum) {
             return Answer{{sumBytes(sum).substr(0, 2), ms(50)},
                           {sumBytes(sum).substr(2), ms(450)}};
         },
         "Check Sum not Received",
         {" Check Sum not Received"},
         false,
         false},
        {"silence",
         [](std::uint32_t) { return Answer{}; },
         "Check Sum not Received",
         {" Check Sum not Received"},
         false,
         false},
        {"first byte 0x80",
         [](std::uint32_t) {
             return Answer{{ByteText("\x80\0\0\0", 4), ms(50)}};
         },
         "Requesting Check Sum",
         {" Problem Receiving Check Sum"},
         false,
         true},
        {"answer after the window",
         [](std::uint32_t sum) { return ScriptedInstrument::sumAnswer(sum, ms(6100)); },
         "Check Sum not Received",
         {" Check Sum not Received"},
         false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.selectImage(randomBytes(5000));
        rig.instrument.checksumAnswer = c.answer;
        rig.start();
        EXPECT_EQ(rig.view.status(), c.status);
        EXPECT_EQ(rig.messageTexts(), c.messages);
        EXPECT_EQ(rig.instrument.checksumRequests, 1);
        EXPECT_EQ(rig.instrument.finished, c.finishSent);
        EXPECT_EQ(rig.port.portOpen(), c.portOpenAfter);
        // The result has the file's sum once the transfer is over, the instrument's once read.
        EXPECT_EQ(rig.update.result().fileCheckSum, rig.instrument.dataSum);
        EXPECT_EQ(rig.update.result().deviceCheckSum.has_value(), c.finishSent);
        const bool shown = c.finishSent;
        for (const Label label :
             {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4}) {
            EXPECT_EQ(rig.view.label(label).visible, shown) << labelName(label);
        }
        if (!c.messages.empty()) {
            const auto icon = std::string(c.status) == "Check Sum not Received"
                                  ? MessageIcon::Exclamation
                                  : MessageIcon::None;
            EXPECT_EQ(rig.view.messages()[0].icon, icon);
        }
    }
}

TEST(ChecksumStage, BadChecksumShowsBothSumsAfterFinishing) {
    Rig rig;
    rig.selectImage(ByteText(16384, '\xFF'));
    rig.instrument.checksumAnswer = [](std::uint32_t) {
        return Answer{{ByteText("\x00\x3F\xC0\x01", 4), ms(50)}};
    };
    bool finishedBeforeBox = false;
    rig.view.onMessage = [&](const Message&) {
        finishedBeforeBox = rig.instrument.finished && !rig.port.portOpen();
    };
    rig.start();
    EXPECT_TRUE(finishedBeforeBox);
    EXPECT_EQ(rig.view.label(Label::lblCheckSum3).caption, "3FC000");
    EXPECT_EQ(rig.view.label(Label::lblCheckSum4).caption, "3FC001");
    EXPECT_EQ(rig.update.result().fileCheckSum, 0x3FC000u);
    EXPECT_EQ(rig.update.result().deviceCheckSum, 0x3FC001u);
    const auto history = rig.view.statusHistory();
    EXPECT_EQ(std::vector<std::string>(history.end() - 3, history.end()),
              (std::vector<std::string>{"Requesting Check Sum", "DONE ",
                                        "FLASH not updated successfully "}));
}

TEST(ChecksumStage, RequestComesTwoSecondsAfterTheLineCarriedTheLastRecordAndFinishAtOnce) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.start();
    const auto& wire = rig.port.wire();
    ASSERT_GE(wire.size(), 3u);
    const auto& lastData = wire[wire.size() - 3];
    const auto& request = wire[wire.size() - 2];
    const auto& finish = wire[wire.size() - 1];
    EXPECT_EQ(request.value, 'C');
    EXPECT_EQ(finish.value, 'X');
    const Micros byteUs = ms(10.0 / 9.6);
    // The instrument's two seconds run from the moment it has the whole record, however far
    // the hand-over was ahead of the line.
    EXPECT_GE(request.at - byteUs - lastData.at, ms(2000) - 2);
    EXPECT_LE(request.at - byteUs - lastData.at, ms(2000) + VirtualEventLoop::kHeartbeat);
    // "X" is handed over as soon as the answer is in, and leaves the line before the close.
    EXPECT_LE(finish.at - request.at,
              ms(1000) + ms(50) + 2 * byteUs + VirtualEventLoop::kHeartbeat);
    EXPECT_TRUE(rig.instrument.finished);
}

TEST(ChecksumStage, ADeviceThatGoesAwayDecidesNothingOnceTheAnswerIsIn) {
    // An instrument that restarts once it has answered: the line drops before "X".
    Rig rig;
    rig.selectImage(randomBytes(5000));
    bool lost = false;
    rig.loop.setOnPump([&] {
        if (!lost && !rig.port.wire().empty() && rig.port.wire().back().value == 'C') {
            lost = true;
            // The answer comes 50 ms after the request has crossed, the line drops 10 ms later.
            rig.port.loseDevice(rig.port.wire().back().at + ms(60));
        }
    });
    rig.start();
    EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
    EXPECT_TRUE(rig.messageTexts().empty());
    EXPECT_EQ(rig.update.result().cause, UpdateResult::Cause::None);
    EXPECT_EQ(rig.instrument.finished, false);
    ASSERT_EQ(rig.view.diagnostics().size(), 1u);
    EXPECT_TRUE(rig.view.diagnostics()[0].starts_with("the line dropped after the instrument's"));

    // Gone while the answer is awaited: the window says what it always says, the result names
    // the port.
    Rig silent;
    silent.selectImage(randomBytes(5000));
    silent.instrument.checksumAnswer = [](std::uint32_t) { return Answer{}; };
    silent.loop.setOnPump([&] {
        if (silent.view.status() == "Requesting Check Sum" && silent.port.portOpen()) {
            silent.port.loseDevice(silent.loop.now());
        }
    });
    silent.start();
    EXPECT_EQ(silent.messageTexts(), std::vector<std::string>{" Check Sum not Received"});
    EXPECT_EQ(silent.update.result().cause, UpdateResult::Cause::Port);
    EXPECT_EQ(silent.update.result().erased, UpdateResult::Erased::Yes);
}

TEST(ChecksumStage, TimeOutComesFiveSecondsAfterTheWindowOpens) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.instrument.checksumAnswer = [](std::uint32_t) { return Answer{}; };
    rig.start();
    const Micros requested = rig.port.wire().back().at;
    const auto& message = rig.view.messages().at(0);
    EXPECT_GE(message.at - requested, ms(5998));
    EXPECT_LE(message.at - requested, ms(6000) + VirtualEventLoop::kHeartbeat);
    EXPECT_FALSE(rig.port.portOpen());
}

}  // namespace
}  // namespace flashupdate::testing
