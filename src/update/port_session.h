// One port's update, driven from an event loop: it feeds the update machine what the port and
// the clock tell, carries out the machine's actions on the port without waiting, and keeps one
// timer for the machine's next deadline. A front end starts runs, renders the events it is told,
// acknowledges the boxes it shows and may stop a run; it never waits for one. Any number of
// sessions share one loop on one thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "serial/event_loop.h"
#include "serial/line_port.h"
#include "update/update_machine.h"

namespace flashupdate {

class PortSession final : private LinePort::Listener {
public:
    // The session listens to the port from now until it is destroyed.
    PortSession(LinePort& port, EventLoop& loop);
    ~PortSession() override;
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    // Each event of the run, as the machine gives it; result() is up to date when it is told.
    // An event that awaitsAcknowledgement holds the run until acknowledge().
    std::function<void(const RunEvent& event)> onEvent;
    // The run has ended (result() is final) and the port is in the state the run left it: closed,
    // or open for the next run where the run leaves it open.
    std::function<void()> onEnded;

    // Starts a run with what was read for it, or ends one at once with the refusal's message.
    // Ignored while a run is in progress.
    void start(RunInputs inputs);
    void refuse(const Refusal& refusal);
    // The operator has closed the box of the last event.
    void acknowledge();
    // Nothing more may reach the instrument: what the port holds is discarded, the port is let
    // go, and the run ends as stopped (with the power-cycle advice where the instrument needs it).
    // Ignored when no run is in progress.
    void stop();

    // A port that has not answered an opening, a wish for room or a drain, or a closing within
    // this long fails the step: every medium answers within its own limits (the stall limit, a
    // connection's time-out), and a run must never wait on a port without a deadline.
    static constexpr std::chrono::seconds kPortAnswerLimit{30};

    bool running() const { return m_machine.running() || m_waiting != Waiting::Nothing; }
    // How far the run in progress has come, or how the last one ended.
    const UpdateResult& result() const { return m_machine.result(); }
    const UpdateMachine& machine() const { return m_machine; }

private:
    // What the session waits for before it asks the machine again.
    enum class Waiting { Nothing, Opened, Writable, Drained, Closed };

    // LinePort::Listener
    void portOpened() override;
    void portOpenFailed(const SerialError& error) override;
    void portReceived(const ByteText& bytes) override;
    void portWritable() override;
    void portDrained() override;
    void portLost(const SerialError& error) override;
    void portClosed() override;

    // Carries out the machine's outputs until it waits for time, the port or the operator.
    void advance();
    void carryOutAll();
    void carryOut(const PortAction& action);
    // Waits for room or for the line to drain; throws the line's loss when it is already known.
    void wait(Waiting what);
    void beginWaiting(Waiting what);
    // The port has not answered within kPortAnswerLimit.
    void portSilent();
    void armTimer();
    void timerTicked();
    EventLoop::Nanos now() { return m_loop.monotonicTime(); }

    LinePort& m_port;
    EventLoop& m_loop;
    std::unique_ptr<Timer> m_timer;
    // The deadline the timer is armed for.
    std::optional<EventLoop::Nanos> m_armedFor;
    UpdateMachine m_machine;
    Waiting m_waiting = Waiting::Nothing;
    // When the port was last asked for what the session waits for, or last answered.
    EventLoop::Nanos m_waitingSince{0};
    // The part of a write the port has not yet taken: it goes before anything else.
    ByteText m_unwritten;
    // The line's loss, told while the session waited for nothing.
    std::optional<SerialError> m_lost;
    // The run in progress has been asked to stop.
    bool m_stopped = false;
    // advance() is on the stack: a listener call made from inside it (none should be) or an
    // event handler that acknowledges at once is taken up by the running pass.
    bool m_advancing = false;
};

}  // namespace flashupdate
