#include "update/port_session.h"

#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "common/scoped_flag.h"

namespace flashupdate {

PortSession::PortSession(LinePort& port, EventLoop& loop)
    : m_port(port), m_loop(loop), m_timer(loop.createTimer()) {
    m_port.setListener(this);
    m_timer->setOnTick([this] { timerTicked(); });
}

PortSession::~PortSession() {
    m_port.setListener(nullptr);
}

void PortSession::start(RunInputs inputs) {
    if (running()) {
        return;
    }
    m_lost.reset();
    m_stopped = false;
    m_machine.start(std::move(inputs), now());
    advance();
}

void PortSession::refuse(const Refusal& refusal) {
    if (running()) {
        return;
    }
    m_lost.reset();
    m_stopped = false;
    m_machine.refuse(refusal);
    advance();
}

void PortSession::acknowledge() {
    if (!m_machine.awaitingAcknowledgement()) {
        return;
    }
    m_machine.acknowledge(now());
    advance();
}

void PortSession::stop() {
    // A second stop (the operator's hand again, another signal) changes nothing.
    if (!m_machine.running() || m_stopped) {
        return;
    }
    m_stopped = true;
    // Whatever the session waited for is moot: the machine now asks for the port to be purged
    // and let go, and a part of a write not yet taken never goes.
    m_unwritten.clear();
    if (m_waiting != Waiting::Closed) {
        m_waiting = Waiting::Nothing;
    }
    m_machine.stop(now());
    advance();
}

void PortSession::advance() {
    if (m_advancing) {
        return;
    }
    const bool wasRunning = running();
    {
        const ScopedFlag advancing(m_advancing);
        carryOutAll();
    }
    armTimer();
    // Last, and outside the pass: the front end may start the next run from here, or let go of
    // the session.
    if (wasRunning && !running() && onEnded) {
        onEnded();
    }
}

void PortSession::carryOutAll() {
    for (;;) {
        while (m_waiting == Waiting::Nothing) {
            // A port that is not open takes the write, to fail it with the port's own reason.
            m_machine.setRoom(m_port.portOpen() ? m_port.room() : SIZE_MAX);
            std::optional<RunOutput> output = m_machine.poll(now());
            if (!output) {
                break;
            }
            if (const auto* action = std::get_if<PortAction>(&*output)) {
                try {
                    carryOut(*action);
                } catch (const SerialError& error) {
                    m_unwritten.clear();
                    m_waiting = Waiting::Nothing;
                    m_machine.actionFailed(error, now());
                }
                continue;
            }
            if (onEvent) {
                onEvent(std::get<RunEvent>(*output));
            }
        }
        if (m_waiting != Waiting::Nothing || !m_machine.awaitingRoom()) {
            break;
        }
        try {
            wait(Waiting::Writable);
            break;
        } catch (const SerialError& error) {
            m_machine.actionFailed(error, now());
        }
    }
}

void PortSession::carryOut(const PortAction& action) {
    switch (action.kind) {
        case PortAction::Kind::SetUp:
            m_port.setSettings(action.settings);
            m_port.setRTSEnable(false);
            m_port.purgeInput();
            m_port.purgeOutput();
            break;
        case PortAction::Kind::SelectPort:
            m_port.setCommPort(action.commPort);
            break;
        case PortAction::Kind::Open:
            beginWaiting(Waiting::Opened);
            m_port.beginOpen();
            break;
        case PortAction::Kind::Close:
            beginWaiting(Waiting::Closed);
            m_port.beginClose();
            break;
        case PortAction::Kind::Write: {
            const std::size_t taken = m_port.write(action.bytes);
            if (taken < action.bytes.size()) {
                m_unwritten = action.bytes.substr(taken);
                wait(Waiting::Writable);
            }
            break;
        }
        case PortAction::Kind::PurgeInput:
            m_port.purgeInput();
            break;
        case PortAction::Kind::PurgeOutput:
            m_port.purgeOutput();
            break;
        case PortAction::Kind::Drain:
            wait(Waiting::Drained);
            break;
    }
}

void PortSession::wait(Waiting what) {
    // The port has already said the line is lost, and says it only once.
    if (m_lost) {
        throw *m_lost;
    }
    beginWaiting(what);
    if (what == Waiting::Writable) {
        m_port.wantWritable();
    } else {
        m_port.wantDrained();
    }
}

void PortSession::beginWaiting(Waiting what) {
    m_waiting = what;
    m_waitingSince = now();
}

void PortSession::armTimer() {
    std::optional<EventLoop::Nanos> due = m_machine.nextDeadline();
    if (m_waiting != Waiting::Nothing) {
        const EventLoop::Nanos silentAt = m_waitingSince + kPortAnswerLimit;
        due = due ? std::min(*due, silentAt) : silentAt;
    }
    // A timer armed again would count whole milliseconds from now, a fraction late.
    if (due == m_armedFor && (!due || m_timer->enabled())) {
        return;
    }
    m_armedFor = due;
    if (!due) {
        m_timer->setEnabled(false);
        return;
    }
    // A window timer counts whole milliseconds, and one of 0 never ticks.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now()).count();
    m_timer->startIn(static_cast<int>(std::clamp<decltype(left)>(left, 1, 0x7FFFFFFF)));
}

void PortSession::timerTicked() {
    m_timer->setEnabled(false);
    m_armedFor.reset();
    if (m_waiting != Waiting::Nothing && now() >= m_waitingSince + kPortAnswerLimit) {
        portSilent();
    }
    m_machine.handleTimeout(now());
    advance();
}

void PortSession::portSilent() {
    const Waiting waited = std::exchange(m_waiting, Waiting::Nothing);
    m_unwritten.clear();
    // A closing that never ends leaves nothing to wait for: the run goes on as if closed.
    if (waited != Waiting::Closed) {
        m_machine.actionFailed(SerialError(m_port.devicePath() + ": the port gave no answer for " +
                                               std::to_string(kPortAnswerLimit.count()) + " s",
                                           PortErrorKind::Stalled),
                               now());
    }
}

void PortSession::portOpened() {
    if (m_waiting != Waiting::Opened) {
        return;
    }
    m_waiting = Waiting::Nothing;
    advance();
}

void PortSession::portOpenFailed(const SerialError& error) {
    if (m_waiting != Waiting::Opened) {
        return;
    }
    m_waiting = Waiting::Nothing;
    m_machine.actionFailed(error, now());
    advance();
}

void PortSession::portReceived(const ByteText& bytes) {
    if (!m_machine.running()) {
        return;
    }
    m_machine.received(bytes, now());
    advance();
}

void PortSession::portWritable() {
    if (m_waiting != Waiting::Writable) {
        return;
    }
    if (!m_unwritten.empty()) {
        try {
            const std::size_t taken = m_port.write(m_unwritten);
            m_unwritten.erase(0, taken);
        } catch (const SerialError& error) {
            m_unwritten.clear();
            m_waiting = Waiting::Nothing;
            m_machine.actionFailed(error, now());
            advance();
            return;
        }
        if (!m_unwritten.empty()) {
            // The port took some: it answers.
            beginWaiting(Waiting::Writable);
            m_port.wantWritable();
            armTimer();
            return;
        }
    }
    m_waiting = Waiting::Nothing;
    advance();
}

void PortSession::portDrained() {
    if (m_waiting != Waiting::Drained) {
        return;
    }
    m_waiting = Waiting::Nothing;
    m_machine.drained(now());
    advance();
}

void PortSession::portLost(const SerialError& error) {
    if (!m_machine.running()) {
        return;
    }
    switch (m_waiting) {
        case Waiting::Writable:
        case Waiting::Drained:
            // The step that waited on the line fails for it.
            m_unwritten.clear();
            m_waiting = Waiting::Nothing;
            m_machine.actionFailed(error, now());
            break;
        case Waiting::Nothing:
            // A reply window that closes now closes for the lost line; the next wait on the
            // line fails.
            m_lost = error;
            m_machine.lineLost(error.kind());
            break;
        case Waiting::Opened:
        case Waiting::Closed:
            return;
    }
    advance();
}

void PortSession::portClosed() {
    if (m_waiting != Waiting::Closed) {
        return;
    }
    m_waiting = Waiting::Nothing;
    advance();
}

}  // namespace flashupdate
