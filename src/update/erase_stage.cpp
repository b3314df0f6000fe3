#include "update/protocol.h"
#include "update/stages.h"
#include "update/texts.h"

namespace flashupdate {

namespace {

enum class Attempt { Erased, NoAnswer, WrongAnswer };

// One erase command and its reply window. Only the chunk present when the answer is judged counts:
// a reply split over two receive events is judged on its last part.
Attempt eraseAttempt(StageContext& stage) {
    SerialPort& port = stage.port();
    port.setInBufferCount(0);
    stage.link.RxData.clear();
    // From here on the instrument may be erasing, whether or not its answer is ever read.
    if (stage.result.erased == UpdateResult::Erased::No) {
        stage.result.erased = UpdateResult::Erased::Maybe;
    }
    port.output(ByteText(1, protocol::kEraseCommand));
    stage.delay(protocol::kAfterCommandMs);

    // Polled every 100 ms, so the chunk judged is the one present at that moment.
    const bool answered = stage.awaitReply(false, [&] {
        stage.delay(protocol::kReplyPollMs);
        return !stage.link.RxData.empty();
    });
    if (!answered) {
        return Attempt::NoAnswer;
    }
    stage.pumpOnce();
    return stage.link.RxData.find(protocol::kEraseAnswer) != ByteText::npos ? Attempt::Erased
                                                                            : Attempt::WrongAnswer;
}

}  // namespace

bool eraseMemory(StageContext& stage) {
    stage.status(texts::kEraseCommandSent);
    bool repeated = false;
    for (;;) {
        const Attempt attempt = eraseAttempt(stage);
        if (attempt == Attempt::Erased) {
            break;
        }
        // One repetition, whichever way the first attempt failed.
        if (!repeated) {
            repeated = true;
            continue;
        }
        stage.status(texts::kFlashNotUpdated);
        if (attempt == Attempt::NoAnswer) {
            stage.end(stage.noAnswerCause(), texts::kProgrammingError);
            stage.view.showMessage(texts::kProgrammingError, MessageIcon::Exclamation);
            stage.status(texts::kFlashNotUpdated);
        } else {
            stage.end(UpdateResult::Cause::NoAnswer, texts::kEndOfEraseNotDetected);
            stage.view.showMessage(texts::kEndOfEraseNotDetected, MessageIcon::Exclamation);
        }
        stage.port().setPortOpen(false);
        stage.delay(protocol::kAfterFailureMs);
        return false;
    }

    stage.result.erased = UpdateResult::Erased::Yes;
    stage.view.progress(Progress::MemoryErased, stage.result);
    stage.status(texts::kMemoryErased);
    stage.delay(protocol::kAfterEraseMs);
    stage.port().setInBufferCount(0);

    stage.status(texts::kSendingProgram);
    stage.fileCheckSum = 0;
    return true;
}

}  // namespace flashupdate
