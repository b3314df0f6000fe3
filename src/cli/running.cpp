#include "cli/running.h"

#include <chrono>
#include <csignal>
#include <exception>
#include <map>
#include <memory>

#include "cli/admission.h"
#include "cli/descriptors.h"
#include "cli/outcome.h"
#include "cli/view.h"
#include "runlog/run_log.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "update/boot_loader_places.h"
#include "update/image_file.h"
#include "update/serial_link.h"
#include "update/timers.h"
#include "update/update_procedure.h"

namespace flashupdate::cli {

namespace {

std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int signal) {
    int none = 0;
    g_stop.compare_exchange_strong(none, signal);
}

}  // namespace

const std::atomic<int>& stopFlag() {
    return g_stop;
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal stops the run as cleanly as Ctrl-C: nothing more is sent and the port is
    // let go.
    sigaction(SIGHUP, &action, nullptr);
    // A closed output (| head) must not end an update halfway: writes fail instead, and the
    // exit status says so at the end.
    std::signal(SIGPIPE, SIG_IGN);
}

StoppingEventLoop::StoppingEventLoop(EventLoop& inner, const std::atomic<int>& stop)
    : m_inner(inner), m_stop(stop) {}

std::unique_ptr<Timer> StoppingEventLoop::createTimer() {
    return m_inner.createTimer();
}

void StoppingEventLoop::pumpOnce() {
    throwIfStopped();
    m_inner.pumpOnce();
}

void StoppingEventLoop::pumpWaitFor(Nanos longest) {
    throwIfStopped();
    m_inner.pumpWaitFor(longest);
    // A signal wakes the sleeping dispatcher; nothing more should be sent after it.
    throwIfStopped();
}

void StoppingEventLoop::throwIfStopped() const {
    if (m_stop.load() != 0) {
        throw StopRequested{};
    }
}

namespace {

// Between two attempts on one port.
constexpr std::chrono::seconds kRetryPause(3);

// After a stop nothing queued may reach the instrument, and the port is let go: at once, for
// the stop is still in force and ends every wait.
void releasePort(SerialControl& port, CliView& view) {
    try {
        port.setOutBufferCount(0);
        port.setPortOpen(false);
    } catch (const StopRequested&) {
    } catch (const std::exception& error) {
        view.diagnostic("closing " + port.devicePath() + ": " + error.what());
    }
}

std::string resultText(const UpdateResult& outcome, const Verdict& verdict,
                       const std::string& lastStatus) {
    if (verdict.exitCode == kUpdated) {
        return "Updated";
    }
    if (outcome.cause == UpdateResult::Cause::Stopped) {
        const std::string stage =
            lastStatus.empty() ? "before the first stage" : "at \"" + lastStatus + "\"";
        return "Stopped " + stage + "; " + recoveryText(outcome);
    }
    const std::string memory =
        outcome.erased == UpdateResult::Erased::No && !outcome.powerCycleNeeded()
            ? std::string()
            : std::string("; ") + recoveryText(outcome);
    return "Not updated (" + verdict.outcome + ")" + memory;
}

RunRecord runRecordOf(const UpdateEvent& result, const UpdateTask& task) {
    RunRecord record;
    record.runId = result.runId;
    record.frontEnd = "cli";
    record.port = task.target.given;
    record.device = result.subject.device;
    record.adapterSerial = result.subject.adapterSerial;
    record.label = result.subject.label;
    record.imagePath = loggedImagePath(result.result.imagePath.empty() ? result.subject.image
                                                                       : result.result.imagePath);
    record.imageBytes = result.imageBytes;
    record.imageSha256 = QByteArray::fromStdString(result.sha256);
    record.bootLoaderPath = result.subject.bootLoader;
    record.bootLoaderSha256 = QByteArray::fromStdString(result.subject.bootLoaderSha256);
    record.attempt = result.attempt;
    record.attempts = result.attempts;
    record.seconds = std::chrono::duration<double>(result.time - result.started).count();
    record.result = result.result;
    // As the window's line says who ended its run (Exit): the signal that stopped this one.
    if (result.result.cause == UpdateResult::Cause::Stopped) {
        const std::string signal = signalName(result.signal);
        record.endedBy = signal.empty() ? "a stop" : signal;
    }
    return record;
}

}  // namespace

PortWorker::PortWorker(std::size_t index, PortTarget target, std::filesystem::path image,
                       BootLoaderChoice bootLoader, int retries, TraceFile* trace,
                       EventQueue& events, const std::atomic<int>& stop)
    : m_index(index),
      m_target(std::move(target)),
      m_image(std::move(image)),
      m_bootLoader(std::move(bootLoader)),
      m_retries(retries),
      m_trace(trace),
      m_events(events),
      m_stop(stop) {}

bool anotherAttemptMayCure(const UpdateResult& result) {
    switch (result.cause) {
        case UpdateResult::Cause::NoAnswer:
        case UpdateResult::Cause::BadChecksum:
            return !result.powerCycleNeeded();
        case UpdateResult::Cause::Port:
            return result.bytesSent == 0 && !result.powerCycleNeeded();
        case UpdateResult::Cause::None:
        case UpdateResult::Cause::File:
        case UpdateResult::Cause::Stopped:
            break;
    }
    return false;
}

void PortWorker::run() {
    QtEventLoop threadEvents;
    StoppingEventLoop events(threadEvents, m_stop);
    SerialControl port(m_target.map, events, systemTransports(m_target.tls));
    SerialLink link(port);
    Timers timers(events);
    CliView view(m_index, m_target.comNumber, m_image, m_events);
    port.setDiagnostics([&view](const std::string& text) { view.diagnostic(text); });
    if (m_trace != nullptr) {
        port.setObserver([this](SerialControl::Direction direction, EventLoop::Nanos at,
                                std::string_view bytes, int baudRate) {
            m_trace->record(m_target.label, direction == SerialControl::Direction::Sent, at, bytes,
                            baudRate);
        });
        view.setStageObserver([this, &events](const UpdateResult& run) {
            m_trace->stage(m_target.label, events.monotonicTime(), nameOf(run.stage));
        });
    }
    UpdateProcedure procedure(view, link, timers, m_bootLoader.programDirectory);
    view.follow(procedure.result());
    if (m_bootLoader.named) {
        procedure.setBootLoaderPath(*m_bootLoader.named);
    }

    const int attempts = 1 + m_retries;
    for (int attempt = 1;; ++attempt) {
        view.setRunId(newRunId());
        UpdateEvent result;
        result.port = m_index;
        result.runId = view.runId();
        result.kind = EventKind::Result;
        result.attempt = attempt;
        result.attempts = attempts;
        result.started = std::chrono::system_clock::now();
        std::string failure;
        try {
            procedure.cmdStart_Click();
        } catch (const StopRequested&) {
            releasePort(port, view);
        } catch (const std::exception& error) {
            releasePort(port, view);
            failure = error.what();
        }
        if (m_trace != nullptr) {
            m_trace->endRun(m_target.label);
        }
        result.result = procedure.result();
        if (result.result.portError == PortErrorKind::Missing) {
            view.diagnostic("flashupdate-cli --list-ports shows the serial devices present");
        }
        if (!failure.empty()) {
            result.result.reason = "Failed: " + failure;
        }
        const Verdict verdict = verdictOf(result.result);
        result.exitCode = verdict.exitCode;
        result.outcome = verdict.outcome;
        result.text = failure.empty() ? resultText(result.result, verdict, view.lastStatus())
                                      : result.result.reason;
        if (!procedure.image().empty() || result.result.stage != UpdateResult::Stage::Checks) {
            result.sha256 = sha256Hex(procedure.image()).toStdString();
            result.imageBytes = procedure.image().size();
        }
        result.time = std::chrono::system_clock::now();
        result.last = attempt == attempts || !failure.empty() ||
                      !anotherAttemptMayCure(result.result) || m_stop.load() != 0;
        const bool again = !result.last;
        m_events.push(std::move(result));
        if (!again) {
            return;
        }
        // A pause before the next attempt, for the instrument to settle; a stop meanwhile ends
        // the port's updates there.
        view.diagnostic("trying again in " + std::to_string(kRetryPause.count()) + " s (attempt " +
                        std::to_string(attempt + 1) + " of " + std::to_string(attempts) + ")");
        try {
            pumpFor(events, kRetryPause);
        } catch (const StopRequested&) {
        }
        if (m_stop.load() != 0) {
            UpdateEvent stopped;
            stopped.port = m_index;
            stopped.runId = view.runId();
            stopped.kind = EventKind::Result;
            stopped.attempt = attempt + 1;
            stopped.attempts = attempts;
            stopped.ran = false;
            stopped.started = stopped.time = std::chrono::system_clock::now();
            // What the instrument was left with is what the last attempt left.
            stopped.result = procedure.result();
            stopped.result.cause = UpdateResult::Cause::Stopped;
            const Verdict verdict = verdictOf(stopped.result);
            stopped.exitCode = verdict.exitCode;
            stopped.outcome = verdict.outcome;
            stopped.text = "Stopped before attempt " + std::to_string(attempt + 1) + "; " +
                           recoveryText(procedure.result());
            m_events.push(std::move(stopped));
            return;
        }
    }
}

namespace {
// How often live output is redrawn while nothing happens (the time left counts down).
constexpr std::chrono::milliseconds kRedrawInterval(250);
}  // namespace

namespace {

// A port whose update never started: a stop came first, or the system had nothing left to run it
// with.
UpdateEvent notStarted(std::size_t port, UpdateResult::Cause cause,
                       std::optional<PortErrorKind> kind, const std::string& text) {
    UpdateEvent event;
    event.port = port;
    event.kind = EventKind::Result;
    event.ran = false;
    event.started = event.time = std::chrono::system_clock::now();
    event.result.cause = cause;
    event.result.portError = kind;
    event.result.reason = text;
    const Verdict verdict = verdictOf(event.result);
    event.exitCode = verdict.exitCode;
    event.outcome = verdict.outcome;
    event.text = text;
    return event;
}

}  // namespace

std::filesystem::path bootLoaderUsed(const BootLoaderChoice& choice) {
    return choice.named ? *choice.named
                        : locateBootLoader(bootLoaderPlaces(choice.programDirectory),
                                           UpdateProcedure::kBootLoaderName);
}

RunOutcome runUpdates(const std::vector<UpdateTask>& tasks, int retries, RunSettings settings,
                      Renderer& renderer, const std::atomic<int>& stop) {
    EventQueue events;
    std::vector<std::unique_ptr<PortWorker>> workers;
    // What each run works with, as its result and its records name it; each boot loader's hash
    // taken once.
    std::vector<RunSubject> subjects;
    std::map<std::filesystem::path, std::string> bootLoaderHashes;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const UpdateTask& task = tasks[i];
        workers.push_back(std::make_unique<PortWorker>(i, task.target, task.image, task.bootLoader,
                                                       retries, settings.trace, events, stop));
        RunSubject subject;
        subject.image = textFromPath(task.image);
        subject.device = task.target.device;
        subject.adapterSerial = task.target.adapterSerial;
        subject.label = task.label;
        const std::filesystem::path bootLoader = bootLoaderUsed(task.bootLoader);
        subject.bootLoader = textFromPath(bootLoader);
        auto hash = bootLoaderHashes.find(bootLoader);
        if (hash == bootLoaderHashes.end()) {
            hash = bootLoaderHashes
                       .emplace(bootLoader, fileSha256Hex(subject.bootLoader).toStdString())
                       .first;
        }
        subject.bootLoaderSha256 = hash->second;
        subjects.push_back(std::move(subject));
    }
    RunOutcome outcome;
    outcome.ports.resize(tasks.size());
    Admission admission(tasks.size(), updatesAtOnce(settings.openFileLimit, settings.jobs));
    // Starts the ports whose turn has come. One that cannot be served (no descriptor or thread
    // to be had while nothing runs that could free one) is reported on its own.
    const auto startWaiting = [&] {
        if (stop.load() != 0) {
            admission.close();
        }
        while (const std::optional<std::size_t> port = admission.next()) {
            const std::optional<std::size_t> inUse = openDescriptors();
            const bool room = !inUse || roomForAnother(settings.openFileLimit, *inUse);
            if (!room && admission.running() > 0) {
                admission.hold();
                return;
            }
            admission.started();
            PortWorker& worker = *workers[*port];
            if (room) {
                worker.start();
                // A thread that could not be made is neither running nor finished.
                if (worker.isRunning() || worker.isFinished()) {
                    continue;
                }
            }
            events.push(
                notStarted(*port, UpdateResult::Cause::Port, PortErrorKind::TooManyFiles,
                           room ? "Not updated: the system could not start a thread for the update"
                                : "Not updated: too many open files (the limit is " +
                                      std::to_string(settings.openFileLimit) +
                                      "); update fewer ports at once (--jobs) or raise the limit"));
        }
    };
    startWaiting();

    // The same log of runs as the window's, each record naming the port as the command line did.
    RunLog log(runLogPath(), "flashupdate-cli");
    std::vector<int> codes(tasks.size(), kOtherFailure);
    std::vector<UpdateEvent> results;
    bool anyStopped = false;
    std::size_t ended = 0;
    // A result as the output, the log and the report take it.
    const auto settle = [&](UpdateEvent& event) {
        event.subject = subjects.at(event.port);
        PortRecord& port = outcome.ports.at(event.port);
        if (event.ran) {
            if (port.attempts == 0) {
                port.started = event.started;
            }
            ++port.attempts;
        } else if (port.attempts == 0) {
            port.started = event.started;
        }
        port.last = event;
    };
    while (ended < tasks.size()) {
        auto arrived = events.take(kRedrawInterval);
        if (arrived.empty()) {
            renderer.tick();
        }
        for (UpdateEvent& event : arrived) {
            const UpdateTask& task = tasks.at(event.port);
            if (event.kind == EventKind::Result) {
                if (event.result.cause == UpdateResult::Cause::Stopped) {
                    event.signal = stop.load();
                    event.exitCode = stoppedStatus(event.signal);
                }
                settle(event);
            }
            renderer.show(event);
            if (event.kind == EventKind::Diagnostic) {
                log.diagnostic(event.runId, task.target.given, event.text);
            }
            if (event.kind == EventKind::Result) {
                // A port that could not be started is a run that failed at once; one stopped
                // before it began ran nothing to record.
                if (event.ran || event.result.cause != UpdateResult::Cause::Stopped) {
                    if (event.runId.empty()) {
                        event.runId = newRunId();
                    }
                    log.record(runRecordOf(event, task));
                }
                if (!event.last) {
                    continue;
                }
                codes.at(event.port) = event.exitCode;
                results.push_back(event);
                anyStopped = anyStopped || event.result.cause == UpdateResult::Cause::Stopped;
                ++ended;
                // Its thread's descriptors are given back before the next port takes them.
                workers.at(event.port)->wait();
                admission.ended();
            }
        }
        startWaiting();
        // After a stop, the ports still waiting never start.
        if (admission.closed()) {
            while (const std::optional<std::size_t> port = admission.remaining()) {
                admission.started();
                admission.ended();
                UpdateEvent stopped = notStarted(*port, UpdateResult::Cause::Stopped, std::nullopt,
                                                 "Stopped before it started");
                stopped.signal = stop.load();
                stopped.exitCode = stoppedStatus(stopped.signal);
                settle(stopped);
                renderer.show(stopped);
                codes.at(*port) = stopped.exitCode;
                results.push_back(stopped);
                anyStopped = true;
                ++ended;
            }
        }
    }
    for (auto& worker : workers) {
        worker->wait();
    }
    if (tasks.size() > 1) {
        renderer.summary(results, admission.waited());
    }
    outcome.exitCode = combinedExitCode(
        codes, anyStopped ? std::optional<int>(stoppedStatus(stop.load())) : std::nullopt);
    return outcome;
}

}  // namespace flashupdate::cli
