#include "update/update_machine.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "update/number_text.h"
#include "update/texts.h"

namespace flashupdate {

namespace {

using Stage = UpdateResult::Stage;
using Cause = UpdateResult::Cause;

std::chrono::milliseconds millis(int milliseconds) {
    return std::chrono::milliseconds(milliseconds);
}

ByteText bytesOf(const unsigned char* first, std::size_t count) {
    return ByteText(reinterpret_cast<const char*>(first), count);
}

}  // namespace

void UpdateMachine::start(RunInputs inputs, Nanos) {
    // One run at a time owns the port, the timers and RxData.
    if (running()) {
        return;
    }
    m_inputs = std::move(inputs);
    m_queue.clear();
    m_result = UpdateResult{};
    m_result.imagePath = m_inputs.imagePath;
    m_result.bytesAnnounced = protocol::recordsFor(m_inputs.image.size()) * protocol::kRecordBytes;
    m_timer1Due.reset();
    m_timer3Due.reset();
    m_eraseRepeated = false;
    m_lineLost = false;
    m_region = Region::Port;

    enter(Stage::BootLoader);
    setUpLine(protocol::kBootLoaderSettings);
    PortAction select{PortAction::Kind::SelectPort};
    select.commPort = m_inputs.commPort;
    push(std::move(select));
    push(PortAction::Kind::Open);
    push(RunEvent{RunEvent::Kind::SendingBootLoader});
    // From the first byte on, the instrument waits for the rest of the loader.
    then([this](Nanos) { m_result.loaderIncomplete = true; });
    write(bytesOf(m_inputs.bootLoader.data(), protocol::kBootLoaderHalf));
    // The second half is handed over without waiting for the first to leave the line.
    delay(Step::BootFirstHalf, protocol::kBetweenBootHalvesMs);
}

void UpdateMachine::refuse(const Refusal& refusal) {
    if (running()) {
        return;
    }
    m_queue.clear();
    m_result = UpdateResult{};
    m_result.imagePath = refusal.imagePath;
    m_result.bytesAnnounced = refusal.bytesAnnounced;
    m_result.cause = refusal.cause;
    m_result.reason =
        refusal.detail.empty() ? refusal.message : refusal.message + " (" + refusal.detail + ")";
    if (!refusal.detail.empty()) {
        push(RunEvent{RunEvent::Kind::Diagnostic, m_result.reason});
    }
    box(RunEvent{RunEvent::Kind::Failed, refusal.message}, AfterBox::End);
}

void UpdateMachine::received(const ByteText& chunk, Nanos now) {
    m_rxData = chunk;
    // The checksum reply window has no poll of its own: each receive event is looked at.
    if (m_step != Step::ChecksumWindow) {
        return;
    }
    if (m_timer3Due && now >= *m_timer3Due) {
        checksumWindowExpired();
    } else if (m_rxData.size() >= protocol::kChecksumAnswerBytes) {
        checksumAnswered();
    }
}

void UpdateMachine::handleTimeout(Nanos now) {
    // What was polled has not all been carried out yet.
    if (!m_queue.empty()) {
        return;
    }
    if (m_step == Step::ChecksumWindow) {
        if (m_timer3Due && now >= *m_timer3Due) {
            checksumWindowExpired();
        }
        return;
    }
    if (!m_timer1Due || now < *m_timer1Due) {
        return;
    }
    m_timer1Due.reset();
    switch (m_step) {
        case Step::BootFirstHalf:
            write(bytesOf(m_inputs.bootLoader.data() + protocol::kBootLoaderHalf,
                          m_inputs.bootLoader.size() - protocol::kBootLoaderHalf));
            push(PortAction::Kind::Drain);
            m_step = Step::BootDraining;
            break;
        case Step::BootSettling:
            push(PortAction::Kind::PurgeInput);
            clearRxData();
            // The loaded boot loader talks at 9600 baud: the port is opened afresh at that speed
            // (the same port: it is not selected again).
            push(PortAction::Kind::Close);
            setUpLine(protocol::kCommandSettings);
            push(PortAction::Kind::Open);
            push(PortAction::Kind::PurgeInput);
            clearRxData();
            delay(Step::BootAfterReopen, protocol::kAfterReopenMs);
            break;
        case Step::BootAfterReopen:
            enter(Stage::Erase);
            eraseAttempt();
            break;
        case Step::EraseAfterCommand:
            m_timer3Due = now + millis(protocol::kReplyWindowMs);
            m_timer1Due = now + millis(protocol::kReplyPollMs);
            m_step = Step::EraseWindow;
            break;
        case Step::EraseWindow:
            // Polled every 100 ms: the chunk judged is the one present now, so a reply split over
            // two receive events is judged on its last part.
            if (!m_rxData.empty()) {
                m_timer3Due.reset();
                if (m_rxData.find(protocol::kEraseAnswer) == ByteText::npos) {
                    eraseAttemptFailed(false);
                    break;
                }
                then([this](Nanos) { m_result.erased = UpdateResult::Erased::Yes; });
                push(RunEvent{RunEvent::Kind::MemoryErased});
                delay(Step::EraseAfterAnswer, protocol::kAfterEraseMs);
            } else if (now >= *m_timer3Due) {
                m_timer3Due.reset();
                eraseAttemptFailed(true);
            } else {
                m_timer1Due = now + millis(protocol::kReplyPollMs);
            }
            break;
        case Step::EraseAfterAnswer:
            beginTransfer();
            break;
        case Step::ChecksumPause:
            requestChecksum();
            break;
        case Step::ChecksumAfterCommand:
            m_timer3Due = now + millis(protocol::kReplyWindowMs);
            m_step = Step::ChecksumWindow;
            if (m_rxData.size() >= protocol::kChecksumAnswerBytes) {
                checksumAnswered();
            }
            break;
        case Step::AfterFailureClose:
            m_step = Step::Ending;
            break;
        case Step::Idle:
        case Step::BootDraining:
        case Step::Program:
        case Step::ProgramDraining:
        case Step::ChecksumWindow:
        case Step::AwaitingAcknowledgement:
        case Step::Ending:
            break;
    }
}

void UpdateMachine::drained(Nanos) {
    if (m_step == Step::BootDraining) {
        // The whole loader is on the line: the instrument runs it.
        then([this](Nanos) { m_result.loaderIncomplete = false; });
        delay(Step::BootSettling, protocol::kBootSettleMs);
    } else if (m_step == Step::ProgramDraining) {
        // The pause is the instrument's time to write its last record, which it has only once
        // the line has carried it.
        delay(Step::ChecksumPause, protocol::kAfterProgramMs);
    }
}

void UpdateMachine::actionFailed(const SerialError& error, Nanos) {
    if (!running()) {
        return;
    }
    const PortAction::Kind failed = m_lastAction;
    if (m_region == Region::AfterAnswer) {
        // Both sums are known, and nothing the line does now changes what the instrument holds:
        // an instrument that restarts once it has answered may drop the line before "X" has gone
        // out or while the port closes. The verdict is the comparison's.
        m_queue.clear();
        push(RunEvent{
            RunEvent::Kind::Diagnostic,
            std::string("the line dropped after the instrument's answer: ") + error.what()});
        if (failed != PortAction::Kind::Close) {
            push(PortAction::Kind::Close);
        }
        queueVerdict(m_result.deviceCheckSum && FileCheckSum == *m_result.deviceCheckSum);
        return;
    }
    if (m_step == Step::Ending || m_step == Step::AfterFailureClose ||
        m_step == Step::AwaitingAcknowledgement) {
        // Letting the port go after the run's outcome: the outcome stands.
        m_queue.emplace_front(
            RunEvent{RunEvent::Kind::Diagnostic, std::string("closing the port: ") + error.what()});
        return;
    }
    m_queue.clear();
    m_timer1Due.reset();
    m_timer3Due.reset();
    if (recordMayBeCut()) {
        m_result.recordOpen = true;
    }
    switch (m_region) {
        case Region::Transfer:
            fail(texts::kCantOpen + m_inputs.imagePath, error.what(), Cause::Port, error.kind());
            break;
        case Region::Checksum:
            fail(texts::kProblemReceivingCheckSum, error.what(), Cause::Port, error.kind());
            break;
        case Region::None:
        case Region::Port:
        case Region::AfterAnswer:
            fail(texts::kErrorOpeningComPort, error.what(), Cause::Port, error.kind());
            break;
    }
}

void UpdateMachine::lineLost(PortErrorKind kind) {
    m_lineLost = true;
    m_lostKind = kind;
}

void UpdateMachine::acknowledge(Nanos) {
    if (m_step != Step::AwaitingAcknowledgement) {
        return;
    }
    switch (m_afterBox) {
        case AfterBox::End:
            m_step = Step::Ending;
            break;
        case AfterBox::CloseAndEnd:
            push(PortAction::Kind::Close);
            m_step = Step::Ending;
            break;
        case AfterBox::CloseAndPause:
            push(PortAction::Kind::Close);
            delay(Step::AfterFailureClose, protocol::kAfterFailureMs);
            break;
    }
}

void UpdateMachine::stop(Nanos) {
    if (!running()) {
        return;
    }
    m_queue.clear();
    m_timer1Due.reset();
    m_timer3Due.reset();
    if (m_result.cause == Cause::None) {
        m_result.cause = Cause::Stopped;
        m_result.reason = "stopped";
    }
    if (recordMayBeCut()) {
        m_result.recordOpen = true;
    }
    // What the port still holds would reach the instrument after the stop: a loader or record
    // cut short where the operator stopped it, with the next run's bytes spliced on.
    push(PortAction::Kind::PurgeOutput);
    push(PortAction::Kind::Close);
    m_step = Step::Ending;
}

std::optional<RunOutput> UpdateMachine::poll(Nanos now) {
    for (;;) {
        if (m_queue.empty()) {
            if (m_step == Step::Program && m_room > 0) {
                queueProgramWrites();
                continue;
            }
            if (m_step == Step::Ending) {
                m_step = Step::Idle;
            }
            return std::nullopt;
        }
        Queued item = std::move(m_queue.front());
        m_queue.pop_front();
        if (auto* marker = std::get_if<Marker>(&item)) {
            (*marker)(now);
            continue;
        }
        if (auto* action = std::get_if<PortAction>(&item)) {
            m_lastAction = action->kind;
            return RunOutput{std::move(*action)};
        }
        return RunOutput{std::move(std::get<RunEvent>(item))};
    }
}

std::optional<UpdateMachine::Nanos> UpdateMachine::nextDeadline() const {
    if (!m_queue.empty()) {
        return std::nullopt;
    }
    if (m_timer1Due && m_timer3Due) {
        return std::min(*m_timer1Due, *m_timer3Due);
    }
    return m_timer1Due ? m_timer1Due : m_timer3Due;
}

bool UpdateMachine::hasOutput() const {
    return !m_queue.empty() || (m_step == Step::Program && m_room > 0) || m_step == Step::Ending;
}

void UpdateMachine::push(PortAction::Kind kind) {
    push(PortAction{kind});
}

void UpdateMachine::write(ByteText bytes) {
    if (m_room != SIZE_MAX) {
        m_room -= std::min(m_room, bytes.size());
    }
    PortAction action{PortAction::Kind::Write};
    action.bytes = std::move(bytes);
    push(std::move(action));
}

void UpdateMachine::clearRxData() {
    then([this](Nanos) { m_rxData.clear(); });
}

void UpdateMachine::setUpLine(const char* settings) {
    PortAction action{PortAction::Kind::SetUp};
    action.settings = settings;
    push(std::move(action));
}

void UpdateMachine::enter(Stage stage) {
    then([this, stage](Nanos) { m_result.stage = stage; });
    push(RunEvent{RunEvent::Kind::StageEntered});
}

void UpdateMachine::delay(Step next, int milliseconds) {
    m_step = next;
    m_timer1Due.reset();
    then([this, milliseconds](Nanos now) { m_timer1Due = now + millis(milliseconds); });
}

void UpdateMachine::box(RunEvent event, AfterBox after) {
    event.awaitsAcknowledgement = true;
    m_step = Step::Ending;
    // In force before the event comes out, so that a front end may acknowledge it at once.
    then([this, after](Nanos) {
        m_step = Step::AwaitingAcknowledgement;
        m_afterBox = after;
    });
    push(std::move(event));
}

void UpdateMachine::fail(const std::string& message, const std::string& reason, Cause cause,
                         std::optional<PortErrorKind> portError) {
    m_result.cause = cause;
    m_result.portError = portError;
    m_result.reason = reason.empty() ? message : message + " (" + reason + ")";
    push(RunEvent{RunEvent::Kind::Diagnostic, m_result.reason});
    // A failed step ends the run where it stands: the port is left as the step left it.
    box(RunEvent{RunEvent::Kind::Failed, message}, AfterBox::End);
}

void UpdateMachine::eraseAttempt() {
    push(PortAction::Kind::PurgeInput);
    clearRxData();
    // From here on the instrument may be erasing, whether or not its answer is ever read.
    then([this](Nanos) {
        if (m_result.erased == UpdateResult::Erased::No) {
            m_result.erased = UpdateResult::Erased::Maybe;
        }
    });
    write(ByteText(1, protocol::kEraseCommand));
    delay(Step::EraseAfterCommand, protocol::kAfterCommandMs);
}

void UpdateMachine::eraseAttemptFailed(bool noAnswer) {
    // One repetition, whichever way the first attempt failed.
    if (!m_eraseRepeated) {
        m_eraseRepeated = true;
        eraseAttempt();
        return;
    }
    m_result.cause = noAnswer ? noAnswerCause() : Cause::NoAnswer;
    m_result.reason = noAnswer ? texts::kProgrammingError : texts::kEndOfEraseNotDetected;
    RunEvent failed{RunEvent::Kind::EraseFailed, m_result.reason};
    failed.noAnswer = noAnswer;
    box(std::move(failed), AfterBox::CloseAndPause);
}

void UpdateMachine::beginTransfer() {
    // The rest of the erase answer is thrown away.
    push(PortAction::Kind::PurgeInput);
    then([this](Nanos) {
        FileCheckSum = 0;
        m_region = Region::Transfer;
    });
    enter(Stage::Program);
    m_step = Step::Program;
    m_record = 0;
    m_records = protocol::recordsFor(m_inputs.image.size());
    m_part = RecordPart::Command;
    m_inRecord = 0;
    m_blockNumber = protocol::kFirstBlockNumber;
    m_queuedData = 0;
}

void UpdateMachine::queueProgramWrites() {
    if (m_record == m_records) {
        endTransfer();
        return;
    }
    switch (m_part) {
        case RecordPart::Command:
            write(ByteText(1, protocol::kProgramCommand));
            then([this](Nanos) { m_result.recordOpen = true; });
            m_part = RecordPart::BlockNumber;
            return;
        case RecordPart::BlockNumber:
            // The block number travels as one byte; past 0xF8 it does not fit, and wrapping to 0
            // would make the instrument overwrite its first block.
            if (m_blockNumber > 0xFF) {
                fail(texts::kCantOpen + m_inputs.imagePath,
                     "block number " + std::to_string(m_blockNumber) +
                         " does not fit in one byte: image longer than 24 records",
                     Cause::Port, std::nullopt);
                return;
            }
            write(ByteText(1, static_cast<char>(m_blockNumber)));
            m_blockNumber += protocol::kBlockNumberStep;
            m_part = RecordPart::Data;
            m_inRecord = 0;
            return;
        case RecordPart::Data:
            break;
    }
    // Up to the next progress step, the end of the record and the room the port has. The last
    // record is always full: past the end of the image it carries erased flash.
    const std::size_t count =
        std::min({m_room, protocol::kProgressStep - m_queuedData % protocol::kProgressStep,
                  protocol::kRecordBytes - m_inRecord});
    const std::size_t start = m_record * protocol::kRecordBytes + m_inRecord;
    ByteText chunk(count, static_cast<char>(protocol::kErasedByte));
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (start + i < m_inputs.image.size()) {
            chunk[i] = static_cast<char>(m_inputs.image[start + i]);
        }
        sum += static_cast<unsigned char>(chunk[i]);
    }
    m_inRecord += count;
    m_queuedData += count;
    const bool endsRecord = m_inRecord == protocol::kRecordBytes;
    write(std::move(chunk));
    then([this, sum, sent = m_queuedData, endsRecord](Nanos) {
        FileCheckSum += sum;
        m_result.bytesSent = sent;
        if (endsRecord) {
            m_result.recordOpen = false;
        }
    });
    if (m_queuedData % protocol::kProgressStep == 0) {
        RunEvent progress{RunEvent::Kind::BytesSent};
        progress.count = m_queuedData;
        push(std::move(progress));
    }
    if (endsRecord) {
        ++m_record;
        m_part = RecordPart::Command;
    }
}

void UpdateMachine::endTransfer() {
    then([this](Nanos) {
        m_result.fileCheckSum = FileCheckSum;
        m_region = Region::Checksum;
    });
    enter(Stage::Checksum);
    // The pause before the request counts from when the line has carried the last record: on a
    // port that queues ahead of the line, a pause counted from the hand-over would be cut short.
    push(PortAction::Kind::Drain);
    m_step = Step::ProgramDraining;
}

void UpdateMachine::requestChecksum() {
    clearRxData();
    push(PortAction::Kind::PurgeInput);
    push(RunEvent{RunEvent::Kind::RequestingCheckSum});
    // Until "X" has gone out the instrument stays in its session, and over a network nothing
    // shows how much of the last record reached it.
    then([this](Nanos) { m_result.sessionOpen = true; });
    write(ByteText(1, protocol::kChecksumCommand));
    delay(Step::ChecksumAfterCommand, protocol::kAfterCommandMs);
}

void UpdateMachine::checksumWindowExpired() {
    m_timer3Due.reset();
    m_result.cause = noAnswerCause();
    if (m_lineLost) {
        m_result.portError = m_lostKind;
    }
    m_result.reason = texts::kCheckSumNotReceivedBox;
    box(RunEvent{RunEvent::Kind::ChecksumMissing, texts::kCheckSumNotReceivedBox},
        AfterBox::CloseAndEnd);
}

void UpdateMachine::checksumAnswered() {
    m_timer3Due.reset();
    // The instrument's sum, most significant byte first. It is held as a signed 32-bit number,
    // so an answer from 0x80000000 up is refused rather than shown as a negative sum.
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < protocol::kChecksumAnswerBytes; ++i) {
        sum = sum * 256 + static_cast<unsigned char>(m_rxData[i]);
    }
    if (sum > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        fail(texts::kProblemReceivingCheckSum,
             "device checksum " + hexText(static_cast<std::uint32_t>(sum)) + " out of range",
             Cause::NoAnswer, std::nullopt);
        return;
    }
    m_result.deviceCheckSum = static_cast<std::uint32_t>(sum);
    m_region = Region::AfterAnswer;
    write(ByteText(1, protocol::kFinishCommand));
    then([this](Nanos) { m_result.sessionOpen = false; });
    push(PortAction::Kind::Close);
    queueVerdict(FileCheckSum == sum);
}

void UpdateMachine::queueVerdict(bool equal) {
    then([this, equal](Nanos) {
        m_result.stage = Stage::Done;
        m_result.cause = equal ? Cause::None : Cause::BadChecksum;
        m_result.reason = equal ? texts::kUpdatedSuccessfully : texts::kBadChecksum;
    });
    if (equal) {
        push(RunEvent{RunEvent::Kind::Verdict});
        m_step = Step::Ending;
    } else {
        box(RunEvent{RunEvent::Kind::Verdict, texts::kBadChecksum}, AfterBox::End);
    }
}

bool UpdateMachine::recordMayBeCut() const {
    // A record handed over whole may not have crossed the line yet when the run ends: a stop
    // purges the rest of it, a line that fails does not carry it.
    return (m_step == Step::Program || m_step == Step::ProgramDraining) && m_queuedData > 0;
}

UpdateResult::Cause UpdateMachine::noAnswerCause() const {
    // The instrument's silence, unless the line itself went away meanwhile: that is the port's
    // fault, not the instrument's.
    return m_lineLost ? Cause::Port : Cause::NoAnswer;
}

}  // namespace flashupdate
