#include "cli/port_worker.h"

#include <QCryptographicHash>
#include <chrono>
#include <exception>

#include "cli/cli_view.h"
#include "cli/exit_codes.h"
#include "cli/stopping_event_loop.h"
#include "serial/qt_event_loop.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_link.h"
#include "serial/timers.h"
#include "update/update_procedure.h"

namespace flashupdate::cli {

namespace {

// After a stop nothing queued may reach the instrument, and the port is let go.
void releasePort(QtSerialPort& port, CliView& view) {
    try {
        port.setOutBufferCount(0);
        port.setPortOpen(false);
    } catch (const std::exception& error) {
        view.diagnostic("closing " + port.devicePath() + ": " + error.what());
    }
}

// What the operator must know of the instrument's memory after a run that did not update it.
std::string memoryText(UpdateResult::Erased erased) {
    switch (erased) {
        case UpdateResult::Erased::Yes:
            return "the instrument is left erased: update it again before use";
        case UpdateResult::Erased::Maybe:
            // The erase command went out; its answer was never read.
            return "the instrument may be erased: update it again before use";
        case UpdateResult::Erased::No:
            break;
    }
    return "the instrument is not erased";
}

std::string resultText(const UpdateResult& outcome, const Verdict& verdict,
                       const std::string& lastStatus) {
    if (verdict.exitCode == kUpdated) {
        return "Updated";
    }
    if (outcome.cause == UpdateResult::Cause::Stopped) {
        const std::string stage =
            lastStatus.empty() ? "before the first stage" : "at \"" + lastStatus + "\"";
        return "Stopped " + stage + "; " + memoryText(outcome.erased);
    }
    const std::string memory =
        outcome.erased == UpdateResult::Erased::No ? "" : "; " + memoryText(outcome.erased);
    return "Not updated (" + verdict.outcome + ")" + memory;
}

std::string sha256Of(const std::vector<unsigned char>& bytes) {
    return QCryptographicHash::hash(
               QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
               QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

}  // namespace

PortWorker::PortWorker(std::size_t index, PortTarget target, std::filesystem::path image,
                       std::filesystem::path bootLoader, EventQueue& events,
                       const std::atomic<bool>& stop)
    : m_index(index),
      m_target(std::move(target)),
      m_image(std::move(image)),
      m_bootLoader(std::move(bootLoader)),
      m_events(events),
      m_stop(stop) {}

void PortWorker::run() {
    QtEventLoop threadEvents;
    StoppingEventLoop events(threadEvents, m_stop);
    QtSerialPort port(m_target.map);
    SerialLink link(port);
    Timers timers(events);
    CliView view(m_index, m_target.comNumber, m_image, m_events);
    port.setDiagnostics([&view](const std::string& text) { view.diagnostic(text); });
    UpdateProcedure procedure(view, link, timers, m_bootLoader.parent_path());
    procedure.setBootLoaderPath(m_bootLoader);
    view.follow(procedure.result());

    UpdateEvent result;
    result.port = m_index;
    result.kind = EventKind::Result;
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
    result.result = procedure.result();
    if (!failure.empty()) {
        result.result.reason = "Failed: " + failure;
    }
    const Verdict verdict = verdictOf(result.result);
    result.exitCode = verdict.exitCode;
    result.outcome = verdict.outcome;
    result.text = failure.empty() ? resultText(result.result, verdict, view.lastStatus())
                                  : result.result.reason;
    if (!procedure.image().empty() || result.result.stage != UpdateResult::Stage::Checks) {
        result.sha256 = sha256Of(procedure.image());
    }
    result.time = std::chrono::system_clock::now();
    m_events.push(std::move(result));
}

}  // namespace flashupdate::cli
