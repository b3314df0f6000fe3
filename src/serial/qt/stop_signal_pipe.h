// SIGTERM (a session that ends, a service manager, timeout(1)), SIGINT (Ctrl-C) and SIGHUP (the
// terminal closing), brought to the event loop: the handler only records the signal's number
// and writes it into a pipe, which a socket notifier reads on the loop and hands to onSignal. So
// a front end stops its runs from the loop, with nothing but a write() done inside the handler,
// and the loop sleeps until then.
//
// One a process: make it once the application stands, before any port is touched. A signal
// ignored when the program started (nohup) stays ignored. SIGPIPE is ignored from then on: a
// closed output fails its writes and never ends a run halfway.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace flashupdate {

class StopSignalPipe {
public:
    // What a second stopping signal, of any kind, does while the first is being dealt with.
    enum class Second {
        Stops,        // told like the first (a window that ends as Exit does)
        EndsProgram,  // what it does without us: for an operator or a timeout(1) that will not wait
    };

    explicit StopSignalPipe(Second second);
    // The signals end the program the usual way again.
    ~StopSignalPipe();
    StopSignalPipe(const StopSignalPipe&) = delete;
    StopSignalPipe& operator=(const StopSignalPipe&) = delete;

    // Told on the loop, once for each signal taken.
    std::function<void(int signal)> onSignal;

    // The number of the first signal, 0 while none has come: for work that looks between steps
    // instead of listening (it is set inside the handler).
    static int first();

private:
    void takeSignals();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace flashupdate
