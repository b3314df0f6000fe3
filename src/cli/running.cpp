#include "cli/running.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "cli/admission.h"
#include "cli/descriptors.h"
#include "cli/event_words.h"
#include "cli/outcome.h"
#include "common/scoped_flag.h"
#include "runlog/run_log.h"
#include "serial/port_names.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "serial/serial_control.h"
#include "update/boot_loader_places.h"
#include "update/image_file.h"
#include "update/port_session.h"
#include "update/run_preparation.h"

namespace flashupdate::cli {

namespace {

// Between two attempts on one port, for the instrument to settle.
constexpr std::chrono::seconds kRetryPause(3);
// Ports started in one pass of the loop at the most.
constexpr std::size_t kStartsPerPass = 64;
// How often live output is redrawn while nothing happens (the time left counts down).
constexpr std::chrono::milliseconds kRedrawInterval(250);

bool isEnding(RunEvent::Kind kind) {
    switch (kind) {
        case RunEvent::Kind::Failed:
        case RunEvent::Kind::EraseFailed:
        case RunEvent::Kind::ChecksumMissing:
        case RunEvent::Kind::Verdict:
            return true;
        default:
            return false;
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

void applyVerdict(PortResult& result) {
    const Verdict verdict = verdictOf(result.result);
    result.exitCode = verdict.exitCode;
    result.outcome = verdict.outcome;
}

// What every port of the call shares.
struct Call {
    EventLoop& events;
    Renderer& renderer;
    RunLog& log;
    TraceFile* trace = nullptr;
    // The first stopping signal's number; 0 while none has come.
    int signal = 0;
    // An attempt has ended, or will never begin.
    std::function<void(PortResult result)> attemptEnded;
    // After the port's last attempt: its port has been let go, its descriptors given back.
    std::function<void(std::size_t port)> portLetGo;
};

// One port's attempts, one after the other, on the call's loop.
class PortUpdate {
public:
    PortUpdate(std::size_t index, const UpdateTask& task, int attempts, Call& call)
        : m_index(index),
          m_task(task),
          m_attempts(attempts),
          m_network(isNetworkPortName(task.target.devicePath)),
          m_call(call) {}

    void begin();
    // A stop: the run in progress is stopped, or the pause before the next attempt ends it.
    void stop();

private:
    void startAttempt();
    void told(const RunEvent& event);
    void ended();
    void stoppedInPause();
    void tell(const RunEvent& event, bool account = false);
    PortResult resultFor(int attempt) const;
    // Lets the port and its session go once the call stack that told their end has unwound
    // (a run may leave its port open for the next attempt).
    void release();

    std::size_t m_index;
    const UpdateTask& m_task;
    int m_attempts;
    bool m_network;
    Call& m_call;
    std::unique_ptr<SerialControl> m_port;
    std::unique_ptr<PortSession> m_session;
    std::unique_ptr<Timer> m_pause;
    // Calls queued for the loop die with the port's update.
    QObject m_context;

    int m_attempt = 0;
    std::string m_runId;
    std::chrono::system_clock::time_point m_started;
    // The status line as the window would show it now, for the operator's account of a stop.
    std::string m_lastStatus;
    // The run has told how it ends: a diagnostic from now on is no account of its failure.
    bool m_endingTold = false;
    std::string m_sha256;
    std::optional<std::uint64_t> m_imageBytes;
    bool m_pausing = false;
};

void PortUpdate::begin() {
    m_port = std::make_unique<SerialControl>(m_task.target.map, m_call.events,
                                             systemTransports(m_task.target.tls));
    m_port->setDiagnostics([this](const std::string& text) {
        tell(RunEvent{RunEvent::Kind::Diagnostic, text});
    });
    if (TraceFile* trace = m_call.trace) {
        m_port->setObserver([trace, this](SerialControl::Direction direction, EventLoop::Nanos at,
                                          std::string_view bytes, int baudRate) {
            trace->record(m_task.target.label, direction == SerialControl::Direction::Sent, at,
                          bytes, baudRate);
        });
    }
    m_session = std::make_unique<PortSession>(*m_port, m_call.events);
    m_session->onEvent = [this](const RunEvent& event) { told(event); };
    m_session->onEnded = [this] { ended(); };
    m_pause = m_call.events.createTimer();
    m_pause->setInterval(static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kRetryPause).count()));
    m_pause->setOnTick([this] {
        m_pause->setEnabled(false);
        m_pausing = false;
        startAttempt();
    });
    startAttempt();
}

void PortUpdate::startAttempt() {
    ++m_attempt;
    m_runId = newRunId();
    m_started = std::chrono::system_clock::now();
    m_lastStatus.clear();
    m_endingTold = false;
    m_sha256.clear();
    m_imageBytes.reset();

    // The image as the window's file lists would name it, so that the run reports the whole path.
    RunChoice choice;
    choice.fileNameText = textFromPath(m_task.image.filename());
    choice.filesPath = textFromPath(m_task.image.parent_path());
    choice.filesFileName = choice.fileNameText;
    choice.commPort = m_task.target.comNumber;
    choice.executableDirectory = m_task.bootLoader.programDirectory;
    choice.bootLoaderPath = m_task.bootLoader.named.value_or(std::filesystem::path());
    PreparedRun prepared = prepareRun(choice);
    if (!prepared.inputs) {
        m_session->refuse(prepared.refusal);
        return;
    }
    m_sha256 = sha256Hex(prepared.inputs->image).toStdString();
    m_imageBytes = prepared.inputs->image.size();
    m_session->start(std::move(*prepared.inputs));
}

void PortUpdate::told(const RunEvent& event) {
    const UpdateResult& run = m_session->result();
    // The verdict is the run's last stage, done.
    if (m_call.trace != nullptr &&
        (event.kind == RunEvent::Kind::StageEntered || event.kind == RunEvent::Kind::Verdict)) {
        m_call.trace->stage(m_task.target.label, m_call.events.monotonicTime(), nameOf(run.stage));
    }
    const std::vector<std::string> statuses = wordsOf(event, run, m_network).statuses;
    if (!statuses.empty()) {
        m_lastStatus = statuses.back();
    }
    // The machine gives its account of a failure just before the box that ends the run.
    const bool account = event.kind == RunEvent::Kind::Diagnostic &&
                         run.cause != UpdateResult::Cause::None && !m_endingTold;
    m_endingTold = m_endingTold || isEnding(event.kind);
    tell(event, account);
    // Nobody is there to close a box: the run goes on as if the operator had.
    if (event.awaitsAcknowledgement) {
        m_session->acknowledge();
    }
}

void PortUpdate::tell(const RunEvent& event, bool account) {
    PortEvent told;
    told.port = m_index;
    told.runId = m_runId;
    told.event = event;
    told.run = m_session != nullptr ? m_session->result() : UpdateResult{};
    told.account = account;
    told.network = m_network;
    m_call.renderer.show(told);
    if (event.kind == RunEvent::Kind::Diagnostic) {
        m_call.log.diagnostic(m_runId, m_task.target.given, event.text);
    }
}

PortResult PortUpdate::resultFor(int attempt) const {
    PortResult result;
    result.port = m_index;
    result.attempt = attempt;
    result.attempts = m_attempts;
    return result;
}

void PortUpdate::ended() {
    if (m_call.trace != nullptr) {
        m_call.trace->endRun(m_task.target.label);
    }
    const UpdateResult& run = m_session->result();
    if (run.portError == PortErrorKind::Missing) {
        tell(RunEvent{RunEvent::Kind::Diagnostic,
                      "flashupdate-cli --list-ports shows the serial devices present"});
    }
    PortResult result = resultFor(m_attempt);
    result.runId = m_runId;
    result.started = m_started;
    result.result = run;
    applyVerdict(result);
    result.text = resultText(run, verdictOf(run), m_lastStatus);
    result.sha256 = m_sha256;
    result.imageBytes = m_imageBytes;
    result.last = m_attempt == m_attempts || !anotherAttemptMayCure(run) || m_call.signal != 0;
    const bool again = !result.last;
    m_call.attemptEnded(std::move(result));
    if (!again) {
        release();
        return;
    }
    tell(RunEvent{RunEvent::Kind::Diagnostic,
                  "trying again in " + std::to_string(kRetryPause.count()) + " s (attempt " +
                      std::to_string(m_attempt + 1) + " of " + std::to_string(m_attempts) + ")"});
    m_pausing = true;
    m_pause->setEnabled(true);
}

void PortUpdate::stop() {
    if (m_pausing) {
        stoppedInPause();
    } else if (m_session != nullptr) {
        m_session->stop();
    }
}

void PortUpdate::stoppedInPause() {
    m_pause->setEnabled(false);
    m_pausing = false;
    const UpdateResult before = m_session->result();
    PortResult stopped = resultFor(m_attempt + 1);
    stopped.runId = newRunId();
    stopped.ran = false;
    stopped.started = stopped.time = std::chrono::system_clock::now();
    // An attempt that never began has no stage and no reason of the last one's; what the
    // instrument was left with is what the last attempt left.
    UpdateResult& result = stopped.result;
    result.cause = UpdateResult::Cause::Stopped;
    result.reason = "stopped before attempt " + std::to_string(m_attempt + 1);
    result.imagePath = before.imagePath;
    result.bytesAnnounced = before.bytesAnnounced;
    result.erased = before.erased;
    result.recordOpen = before.recordOpen;
    result.sessionOpen = before.sessionOpen;
    result.loaderIncomplete = before.loaderIncomplete;
    applyVerdict(stopped);
    stopped.text =
        "Stopped before attempt " + std::to_string(m_attempt + 1) + "; " + recoveryText(before);
    m_call.attemptEnded(std::move(stopped));
    release();
}

void PortUpdate::release() {
    QTimer::singleShot(0, &m_context, [this] {
        m_pause.reset();
        m_session.reset();
        m_port.reset();
        m_call.portLetGo(m_index);
    });
}

RunRecord runRecordOf(const PortResult& result, const UpdateTask& task) {
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

// A port whose update never started: a stop came first, or the system had nothing left to run it
// with.
PortResult notStarted(std::size_t port, UpdateResult::Cause cause,
                      std::optional<PortErrorKind> kind, const std::string& text) {
    PortResult result;
    result.port = port;
    result.ran = false;
    result.started = result.time = std::chrono::system_clock::now();
    result.result.cause = cause;
    result.result.portError = kind;
    result.result.reason = text;
    applyVerdict(result);
    result.text = text;
    return result;
}

// What each run works with, as its result and its records name it; each boot loader's hash
// taken once.
std::vector<RunSubject> subjectsOf(const std::vector<UpdateTask>& tasks) {
    std::vector<RunSubject> subjects;
    std::map<std::filesystem::path, std::string> bootLoaderHashes;
    for (const UpdateTask& task : tasks) {
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
    return subjects;
}

}  // namespace

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

std::filesystem::path bootLoaderUsed(const BootLoaderChoice& choice) {
    return choice.named
               ? *choice.named
               : locateBootLoader(bootLoaderPlaces(choice.programDirectory), kBootLoaderName);
}

RunOutcome runUpdates(const std::vector<UpdateTask>& tasks, int retries, RunSettings settings,
                      Renderer& renderer, StopSignalPipe& stops) {
    QtEventLoop events;
    // The one loop of the call: every port's port, session and timers run on it.
    QEventLoop loop;
    // The same log of runs as the window's, each record naming the port as the command line did.
    RunLog log(runLogPath(), "flashupdate-cli");
    const std::vector<RunSubject> subjects = subjectsOf(tasks);
    RunOutcome outcome;
    outcome.ports.resize(tasks.size());
    Admission admission(tasks.size(), updatesAtOnce(settings.openFileLimit, settings.jobs));
    std::vector<int> codes(tasks.size(), kOtherFailure);
    std::vector<PortResult> results;
    bool anyStopped = false;
    // Ports done with: their last result told and their port let go, or never started.
    std::size_t done = 0;

    Call call{events, renderer, log, settings.trace, 0, {}, {}};
    // A result as the output, the log and the report take it.
    const auto settle = [&](PortResult result) {
        if (result.result.cause == UpdateResult::Cause::Stopped) {
            result.signal = call.signal;
            result.exitCode = stoppedStatus(result.signal);
        }
        result.subject = subjects.at(result.port);
        PortRecord& port = outcome.ports.at(result.port);
        if (port.attempts == 0) {
            port.started = result.started;
        }
        if (result.ran) {
            ++port.attempts;
        }
        // A port stopped before it began ran nothing to record; an attempt stopped in the pause
        // before it is the port's last word.
        if (result.ran || result.result.cause != UpdateResult::Cause::Stopped ||
            result.attempt > 1) {
            if (result.runId.empty()) {
                result.runId = newRunId();
            }
            log.record(runRecordOf(result, tasks.at(result.port)));
        }
        port.last = result;
        renderer.show(result);
        if (result.last) {
            codes.at(result.port) = result.exitCode;
            anyStopped = anyStopped || result.result.cause == UpdateResult::Cause::Stopped;
            results.push_back(std::move(result));
        }
    };

    std::vector<std::unique_ptr<PortUpdate>> ports(tasks.size());
    // Ports whose turn has come are started from the loop, a slice a pass: a pass that started
    // thousands would keep the loop from the connections already begun, whose time limits run
    // meanwhile, and from the lines already running.
    QTimer starter;
    starter.setSingleShot(true);
    starter.setInterval(0);
    const auto finished = [&] {
        ++done;
        admission.ended();
        starter.start();
        if (done == tasks.size()) {
            loop.quit();
        }
    };
    // Starts the ports whose turn has come. One that cannot be served (no descriptor to be had
    // while nothing runs that could free one) is reported on its own. A port refused at once is
    // settled from inside the loop below, which then goes on with the next port itself.
    bool starting = false;
    const auto startWaiting = [&] {
        if (starting) {
            return;
        }
        const ScopedFlag guard(starting);
        std::size_t slice = kStartsPerPass;
        // Counted once a pass and reckoned on from there: listing thousands of descriptors for
        // each of thousands of ports would cost more than their updates.
        std::optional<std::size_t> inUse;
        bool counted = false;
        while (!admission.closed()) {
            const std::optional<std::size_t> port = admission.next();
            if (!port) {
                return;
            }
            if (slice-- == 0) {
                starter.start();
                return;
            }
            if (!std::exchange(counted, true)) {
                inUse = openDescriptors();
            }
            const bool room = !inUse || roomForAnother(settings.openFileLimit, *inUse);
            if (!room && admission.running() > 0) {
                admission.hold();
                return;
            }
            admission.started();
            if (room) {
                ports[*port] = std::make_unique<PortUpdate>(*port, tasks[*port], 1 + retries, call);
                ports[*port]->begin();
                if (inUse) {
                    *inUse += kDescriptorsPerUpdate;
                }
                continue;
            }
            settle(notStarted(*port, UpdateResult::Cause::Port, PortErrorKind::TooManyFiles,
                              "Not updated: too many open files (the limit is " +
                                  std::to_string(settings.openFileLimit) +
                                  "); update fewer ports at once (--jobs) or raise the limit"));
            finished();
        }
    };
    call.attemptEnded = [&](PortResult result) {
        result.time = std::chrono::system_clock::now();
        settle(std::move(result));
    };
    QObject::connect(&starter, &QTimer::timeout, startWaiting);
    call.portLetGo = [&](std::size_t) { finished(); };
    const auto stopAll = [&](int signal) {
        if (call.signal != 0) {
            return;
        }
        call.signal = signal;
        admission.close();
        // The ports still waiting never start.
        while (const std::optional<std::size_t> port = admission.remaining()) {
            admission.started();
            settle(notStarted(*port, UpdateResult::Cause::Stopped, std::nullopt,
                              "Stopped before it started"));
            finished();
        }
        for (const std::unique_ptr<PortUpdate>& port : ports) {
            if (port != nullptr) {
                port->stop();
            }
        }
    };
    stops.onSignal = stopAll;
    QTimer redraw;
    QObject::connect(&redraw, &QTimer::timeout, [&renderer] { renderer.tick(); });
    redraw.start(kRedrawInterval);

    // A signal that came before the updates stops them before they begin.
    if (const int early = StopSignalPipe::first(); early != 0) {
        stopAll(early);
    }
    startWaiting();
    if (done < tasks.size()) {
        loop.exec();
    }
    stops.onSignal = {};
    if (tasks.size() > 1) {
        renderer.summary(results, admission.waited());
    }
    outcome.exitCode = combinedExitCode(
        codes, anyStopped ? std::optional<int>(stoppedStatus(call.signal)) : std::nullopt);
    return outcome;
}

}  // namespace flashupdate::cli
