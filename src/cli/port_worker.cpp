#include "cli/port_worker.h"

#include <chrono>
#include <exception>
#include <iostream>

#include "cli/cli_view.h"
#include "cli/exit_codes.h"
#include "cli/stopping_event_loop.h"
#include "serial/qt_event_loop.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_link.h"
#include "serial/timers.h"
#include "update/texts.h"
#include "update/update_procedure.h"

namespace flashupdate::cli {

namespace {

// After a stop nothing queued may reach the instrument, and the port is let go.
void releasePort(QtSerialPort& port) {
    try {
        port.setOutBufferCount(0);
        port.setPortOpen(false);
    } catch (const std::exception& error) {
        std::cerr << "flashupdate-cli: closing " << port.devicePath() << ": " << error.what()
                  << std::endl;
    }
}

std::string stopText(const CliView& view, bool erased) {
    const std::string stage =
        view.lastStatus().empty() ? "before the first stage" : "at \"" + view.lastStatus() + "\"";
    if (erased) {
        return "Stopped " + stage + "; the instrument is left erased: update it again before use";
    }
    // The instrument may have finished erasing before its answer was read.
    if (view.lastStatus() == texts::kEraseCommandSent) {
        return "Stopped " + stage + "; the instrument may be erased: update it again before use";
    }
    return "Stopped " + stage + "; the instrument is not erased";
}

std::string resultText(const Verdict& verdict, bool erased) {
    if (verdict.exitCode == kUpdated) {
        return "Updated";
    }
    return "Not updated (" + verdict.outcome + ")" +
           (erased ? "; the instrument is left erased: update it again before use" : "");
}

}  // namespace

PortWorker::PortWorker(std::size_t index, PortTarget target, std::filesystem::path image,
                       std::filesystem::path bootLoaderDirectory, EventQueue& events,
                       const std::atomic<bool>& stop)
    : m_index(index),
      m_target(std::move(target)),
      m_image(std::move(image)),
      m_bootLoaderDirectory(std::move(bootLoaderDirectory)),
      m_events(events),
      m_stop(stop) {}

void PortWorker::run() {
    QtEventLoop threadEvents;
    StoppingEventLoop events(threadEvents, m_stop);
    QtSerialPort port(m_target.map);
    SerialLink link(port);
    Timers timers(events);
    CliView view(m_index, m_target.comNumber, m_image, m_events);
    UpdateProcedure procedure(view, link, timers, m_bootLoaderDirectory);

    UpdateEvent result;
    result.port = m_index;
    result.kind = EventKind::Result;
    try {
        procedure.cmdStart_Click();
        const bool succeeded = view.lastStatus() == texts::kUpdatedSuccessfully;
        const Verdict verdict = judge(view.messages(), view.lastStatus(), m_image);
        result.erased = view.eraseReached() && !succeeded;
        result.exitCode = verdict.exitCode;
        result.outcome = verdict.outcome;
        result.text = resultText(verdict, result.erased);
    } catch (const StopRequested&) {
        releasePort(port);
        result.stopped = true;
        result.erased = view.eraseReached();
        result.exitCode = kStopped;
        result.outcome = "stopped";
        result.text = stopText(view, result.erased);
    } catch (const std::exception& error) {
        releasePort(port);
        result.erased = view.eraseReached();
        result.exitCode = kOtherFailure;
        result.outcome = "failed";
        result.text = std::string("Failed: ") + error.what();
    }
    result.stage = view.lastStatus();
    result.time = std::chrono::system_clock::now();
    m_events.push(std::move(result));
}

}  // namespace flashupdate::cli
