#include "update/update_procedure.h"

#include <utility>
#include <variant>

#include "common/scoped_flag.h"

namespace flashupdate {

namespace fs = std::filesystem;

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
    m_renderer.beginRun();

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
        m_renderer.setSizeText(prepared.sizeText);
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

void UpdateProcedure::render(const RunEvent& event) {
    m_shown = m_machine.result();
    // The window is painted where a run would otherwise hold it for a while: before the boot
    // loader's first write, and with each count and verdict.
    if (event.kind == RunEvent::Kind::BytesSent || event.kind == RunEvent::Kind::ChecksumMissing) {
        m_timers.events.pumpOnce();
    }
    m_renderer.render(event, m_shown, m_machine.FileCheckSum);
    if (event.kind == RunEvent::Kind::SendingBootLoader || event.kind == RunEvent::Kind::Verdict) {
        m_timers.events.pumpOnce();
    }
    // The view's box has been closed by now.
    if (event.awaitsAcknowledgement) {
        m_machine.acknowledge(now());
    }
}

}  // namespace flashupdate
