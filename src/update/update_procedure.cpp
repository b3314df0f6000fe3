#include "update/update_procedure.h"

#include <utility>
#include <variant>

#include "common/scoped_flag.h"
#include "update/number_text.h"
#include "update/texts.h"

namespace flashupdate {

namespace fs = std::filesystem;

int chosenPort(const UpdateView& view) {
    for (int port = 1; port <= 3; ++port) {
        if (view.comOptionSelected(port)) {
            return port;
        }
    }
    // Com4's own button is never asked: with no button selected, Com4 is used.
    return 4;
}

UpdateProcedure::UpdateProcedure(UpdateView& view, SerialLink& link, Timers& timers,
                                 fs::path executableDirectory)
    : m_view(view),
      m_link(link),
      m_timers(timers),
      m_executableDirectory(std::move(executableDirectory)) {
    m_link.onReceive = [this](const ByteText& chunk) { m_machine.received(chunk, now()); };
}

UpdateProcedure::~UpdateProcedure() {
    m_link.onReceive = {};
}

void UpdateProcedure::cmdStart_Click() {
    // A press of Start inside one of the run's own waits would interleave a second run on the
    // same port, timers and RxData.
    if (m_running) {
        return;
    }
    const ScopedFlag running(m_running);
    m_shown = UpdateResult{};
    m_image.clear();
    m_sizeText.clear();

    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4,
          Label::lblBytesTransmitted, Label::lblFileSize}) {
        m_view.setLabelVisible(label, false);
    }
    m_view.setLabelCaption(Label::lblBytesT, "");
    m_view.setLabelCaption(Label::lblFileB, "");

    RunChoice choice;
    choice.fileNameText = m_view.fileNameText();
    if (!choice.fileNameText.empty()) {
        choice.filesPath = m_view.filesPath();
        choice.filesFileName = m_view.filesFileName();
    }
    choice.commPort = chosenPort(m_view);
    choice.executableDirectory = m_executableDirectory;
    choice.bootLoaderPath = m_bootLoaderPath;
    PreparedRun prepared = prepareRun(choice);
    if (prepared.inputs) {
        m_image = prepared.inputs->image;
        m_sizeText = prepared.sizeText;
        m_machine.start(std::move(*prepared.inputs), now());
    } else {
        m_machine.refuse(prepared.refusal);
    }

    try {
        drive();
    } catch (const StopRequested&) {
        // Nothing more may reach the instrument; the port is let go while the stop is still in
        // force, so any wait in letting it go ends at once.
        m_machine.stop(now());
        while (auto output = m_machine.poll(now())) {
            if (const auto* action = std::get_if<PortAction>(&*output)) {
                try {
                    carryOut(*action);
                } catch (const StopRequested&) {
                    m_machine.actionFailed(SerialError("stopped"), now());
                } catch (const SerialError& error) {
                    m_machine.actionFailed(error, now());
                }
            }
        }
        m_shown = m_machine.result();
        throw;
    }
    m_shown = m_machine.result();
}

void UpdateProcedure::drive() {
    EventLoop& events = m_timers.events;
    for (;;) {
        // A failure inside a pump (a receive event the port cannot deliver) belongs to the step
        // in force, as a failed action does.
        try {
            while (auto output = m_machine.poll(now())) {
                if (const auto* action = std::get_if<PortAction>(&*output)) {
                    // A front end may look at the run from inside the action's waits (a signal
                    // ending the program mid-record): it sees how far the run has come.
                    m_shown = m_machine.result();
                    try {
                        carryOut(*action);
                    } catch (const SerialError& error) {
                        m_machine.actionFailed(error, now());
                    }
                    m_shown = m_machine.result();
                } else {
                    render(std::get<RunEvent>(*output));
                }
            }
            if (!m_machine.running()) {
                return;
            }
            const auto deadline = m_machine.nextDeadline();
            pumpUntil(events, deadline ? *deadline : EventLoop::Nanos::max(),
                      [this] { return m_machine.hasOutput(); });
            // Receive events due by now count before the time does.
            events.pumpOnce();
            if (!m_link.comSerial.portOpen()) {
                m_machine.lineLost(PortErrorKind::Gone);
            }
            m_machine.handleTimeout(now());
        } catch (const SerialError& error) {
            m_machine.actionFailed(error, now());
        }
    }
}

void UpdateProcedure::carryOut(const PortAction& action) {
    SerialPort& port = m_link.comSerial;
    switch (action.kind) {
        case PortAction::Kind::SetUp:
            port.setSettings(action.settings);
            port.setInputLen(0);
            port.setRThreshold(1);
            port.setSThreshold(1);
            port.setRTSEnable(false);
            port.setInBufferCount(0);
            port.setOutBufferCount(0);
            break;
        case PortAction::Kind::SelectPort:
            port.setCommPort(action.commPort);
            break;
        case PortAction::Kind::Open:
            // A port an earlier run left open is used as it is.
            if (!port.portOpen()) {
                port.setPortOpen(true);
            }
            break;
        case PortAction::Kind::Close:
            port.setPortOpen(false);
            break;
        case PortAction::Kind::Write:
            port.output(action.bytes);
            break;
        case PortAction::Kind::PurgeInput:
            port.setInBufferCount(0);
            break;
        case PortAction::Kind::PurgeOutput:
            port.setOutBufferCount(0);
            break;
        case PortAction::Kind::Drain:
            // The window stays live until the line has carried every byte written.
            do {
                m_timers.events.pumpWait();
            } while (port.outBufferCount() != 0);
            m_machine.drained(now());
            break;
    }
}

void UpdateProcedure::status(const std::string& text) {
    m_view.setLabelCaption(Label::lblStatus, text);
}

void UpdateProcedure::acknowledge() {
    m_machine.acknowledge(now());
}

void UpdateProcedure::render(const RunEvent& event) {
    m_shown = m_machine.result();
    using Kind = RunEvent::Kind;
    switch (event.kind) {
        case Kind::StageEntered:
            if (m_shown.stage == UpdateResult::Stage::Program) {
                status(texts::kSendingProgram);
            }
            m_view.progress(Progress::StageEntered, m_shown);
            if (m_shown.stage == UpdateResult::Stage::Erase) {
                status(texts::kEraseCommandSent);
            } else if (m_shown.stage == UpdateResult::Stage::Program) {
                for (const Label label : {Label::lblBytesTransmitted, Label::lblFileSize,
                                          Label::lblBytesT, Label::lblFileB}) {
                    m_view.setLabelVisible(label, true);
                }
            }
            break;
        case Kind::SendingBootLoader:
            m_view.setLabelVisible(Label::lblStatus, true);
            status(texts::kSendingBootLoader);
            m_timers.events.pumpOnce();
            break;
        case Kind::MemoryErased:
            m_view.progress(Progress::MemoryErased, m_shown);
            status(texts::kMemoryErased);
            break;
        case Kind::BytesSent:
            m_timers.events.pumpOnce();
            m_view.setLabelCaption(Label::lblBytesT, numberText(event.count));
            m_view.setLabelCaption(Label::lblFileB, m_sizeText);
            m_view.progress(Progress::BytesSent, m_shown);
            break;
        case Kind::RequestingCheckSum:
            status(texts::kRequestingCheckSum);
            break;
        case Kind::Diagnostic:
            m_view.diagnostic(event.text);
            break;
        case Kind::Failed:
            m_view.showMessage(event.text, MessageIcon::None);
            acknowledge();
            break;
        case Kind::EraseFailed:
            status(texts::kFlashNotUpdated);
            m_view.showMessage(event.text, MessageIcon::Exclamation);
            if (event.noAnswer) {
                status(texts::kFlashNotUpdated);
            }
            acknowledge();
            break;
        case Kind::ChecksumMissing:
            status(texts::kCheckSumNotReceived);
            m_timers.events.pumpOnce();
            m_view.showMessage(event.text, MessageIcon::Exclamation);
            acknowledge();
            break;
        case Kind::Verdict:
            renderVerdict(event);
            break;
    }
}

void UpdateProcedure::renderVerdict(const RunEvent& event) {
    // The sums are shown while the checksum stage is still the run's stage; the run is done, and
    // its outcome known, once they are.
    const UpdateResult outcome = m_machine.result();
    m_shown.stage = UpdateResult::Stage::Checksum;
    m_shown.cause = UpdateResult::Cause::None;
    m_shown.reason.clear();
    status(texts::kDone);
    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4}) {
        m_view.setLabelVisible(label, true);
    }
    m_view.setLabelCaption(Label::lblCheckSum3, hexText(m_machine.FileCheckSum));
    m_view.setLabelCaption(Label::lblCheckSum4, hexText(outcome.deviceCheckSum.value_or(0)));
    m_shown.stage = UpdateResult::Stage::Done;
    m_view.progress(Progress::StageEntered, m_shown);
    m_shown = outcome;
    if (outcome.cause == UpdateResult::Cause::None) {
        status(texts::kUpdatedSuccessfully);
        m_timers.events.pumpOnce();
        return;
    }
    status(texts::kNotUpdatedSuccessfully);
    m_view.showMessage(event.text, MessageIcon::None);
    m_timers.events.pumpOnce();
    acknowledge();
}

}  // namespace flashupdate
