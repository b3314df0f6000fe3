#include <cstdint>
#include <limits>
#include <stdexcept>

#include "update/number_text.h"
#include "update/protocol.h"
#include "update/stages.h"
#include "update/texts.h"

namespace flashupdate {

namespace {

// The instrument's sum, most significant byte first. It is held as a signed 32-bit number, so an
// answer from 0x80000000 up is refused rather than shown as a negative sum.
std::int32_t deviceCheckSum(const ByteText& answer) {
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < protocol::kChecksumAnswerBytes; ++i) {
        sum = sum * 256 + static_cast<unsigned char>(answer.at(i));
    }
    if (sum > std::numeric_limits<std::int32_t>::max()) {
        throw std::overflow_error("device checksum " + hexText(static_cast<std::uint32_t>(sum)) +
                                  " out of range");
    }
    return static_cast<std::int32_t>(sum);
}

}  // namespace

void verifyChecksum(StageContext& stage) {
    SerialPort& port = stage.port();

    // The pause is the instrument's time to write its last record, which it has only once the
    // line has carried it: on a transport that queues ahead of the line, a pause counted from
    // the hand-over would be cut short.
    stage.waitUntilLineCarriedAll();
    stage.delay(protocol::kAfterProgramMs);
    stage.link.RxData.clear();
    port.setInBufferCount(0);
    stage.status(texts::kRequestingCheckSum);
    // Until "X" has gone out the instrument stays in its session, and over a network nothing
    // shows how much of the last record reached it.
    stage.result.sessionOpen = true;
    port.output(ByteText(1, protocol::kChecksumCommand));
    stage.delay(protocol::kAfterCommandMs);

    // The answer must come as one chunk of four bytes or more; each receive event replaces
    // RxData, so a split answer is never complete.
    const bool answered = stage.awaitReply(
        true, [&] { return stage.link.RxData.size() >= protocol::kChecksumAnswerBytes; });
    if (!answered) {
        stage.end(stage.noAnswerCause(), texts::kCheckSumNotReceivedBox);
        stage.status(texts::kCheckSumNotReceived);
        stage.pumpOnce();
        stage.view.showMessage(texts::kCheckSumNotReceivedBox, MessageIcon::Exclamation);
        port.setPortOpen(false);
        return;
    }

    const std::int32_t deviceSum = deviceCheckSum(stage.link.RxData);
    stage.result.deviceCheckSum = static_cast<std::uint32_t>(deviceSum);
    // Both sums are known now, and nothing the line does from here on can change what the
    // instrument holds: an instrument that restarts once it has answered, or an adapter it
    // powers, may drop the line before "X" has gone out or while the port closes. That is told
    // to whoever debugs the line; the verdict is the comparison's.
    try {
        port.output(ByteText(1, protocol::kFinishCommand));
        stage.result.sessionOpen = false;
        port.setPortOpen(false);
    } catch (const SerialError& error) {
        stage.view.diagnostic(std::string("the line dropped after the instrument's answer: ") +
                              error.what());
        port.setPortOpen(false);
    }

    stage.status(texts::kDone);
    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4}) {
        stage.view.setLabelVisible(label, true);
    }
    stage.view.setLabelCaption(Label::lblCheckSum3, hexText(stage.fileCheckSum));
    stage.view.setLabelCaption(Label::lblCheckSum4, hexText(static_cast<std::uint32_t>(deviceSum)));

    stage.enter(UpdateResult::Stage::Done);
    if (static_cast<std::int64_t>(stage.fileCheckSum) == deviceSum) {
        stage.end(UpdateResult::Cause::None, texts::kUpdatedSuccessfully);
        stage.status(texts::kUpdatedSuccessfully);
        stage.pumpOnce();
    } else {
        stage.end(UpdateResult::Cause::BadChecksum, texts::kBadChecksum);
        stage.status(texts::kNotUpdatedSuccessfully);
        stage.view.showMessage(texts::kBadChecksum, MessageIcon::None);
        stage.pumpOnce();
    }
}

}  // namespace flashupdate
