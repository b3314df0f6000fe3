// flashupdate-cli: the window's update procedure from the command line, on one or more ports.
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>

#include "cli/descriptors.h"
#include "cli/dry_run.h"
#include "cli/job.h"
#include "cli/options.h"
#include "cli/outcome.h"
#include "cli/renderers.h"
#include "cli/report.h"
#include "cli/running.h"
#include "cli/text_formats.h"
#include "runlog/output_sink.h"
#include "runlog/run_log.h"
#include "runlog/sink_watcher.h"
#include "serial/qt/port_settings.h"
#include "serial/qt/serial_devices.h"
#include "update/boot_loader_places.h"
#include "update/image_file.h"
#include "update/program_version.h"
#include "update/protocol.h"
#include "update/run_files.h"
#include "update/run_preparation.h"
#include "update/texts.h"

using namespace flashupdate;
using namespace flashupdate::cli;

namespace {

constexpr const char* kEmptyImageRefusal =
    "the image is empty: an update would erase the instrument and program nothing";

// The window reports an empty image as updated; a run from a script must not erase a fleet for
// nothing. An image too large is refused with its size and the limit, which the window's text
// leaves out. Other problems with the image are the update's to report, in its own words.
int refusedImage(const std::filesystem::path& image, bool allowEmpty) {
    const ImageCheck check = readImage(image);
    if (check.problem == ImageCheck::Problem::TooLarge) {
        std::error_code error;
        std::cerr << "flashupdate-cli: " << texts::kFileTooLarge << printable(textFromPath(image))
                  << " (" << tooLargeText(std::filesystem::file_size(image, error)) << ")"
                  << std::endl;
        return kFileError;
    }
    if (!allowEmpty && check.problem == ImageCheck::Problem::None && check.bytes.empty()) {
        std::cerr << "flashupdate-cli: " << kEmptyImageRefusal << std::endl;
        return kFileError;
    }
    return kUpdated;
}

// Beside the report it re-runs: "rack-rerun-20261209-014512.csv".
std::string rerunReportPath(const std::filesystem::path& report) {
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString();
    std::filesystem::path path = report;
    path.replace_filename(textFromPath(report.stem()) + "-rerun-" + stamp + ".csv");
    return textFromPath(path);
}

// The header names the image as every port reads it at its start.
void traceImage(TraceFile& trace, const std::filesystem::path& image) {
    const ImageCheck check = readImage(image);
    trace.image(image.string(), check.problem == ImageCheck::Problem::None
                                    ? sha256Hex(check.bytes).toStdString()
                                    : std::string());
}

// The window pads a short boot loader as erased flash reads (0xFF) and sends it without a word, as
// it always has; a script's log should say that what went to the instrument was not the file as it
// stands.
void warnOfShortBootLoader(const BootLoaderChoice& choice) {
    const std::filesystem::path path =
        choice.named ? *choice.named
                     : locateBootLoader(bootLoaderPlaces(choice.programDirectory), kBootLoaderName);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    // Missing, unreadable and empty files are the update's to report.
    if (error || size == 0 || size >= protocol::kBootLoaderBytes) {
        return;
    }
    std::cerr << "flashupdate-cli: warning: the boot loader " << printable(textFromPath(path))
              << " is " << size << " bytes, shorter than the " << protocol::kBootLoaderBytes
              << " the instrument takes; it is sent with " << protocol::kBootLoaderBytes - size
              << " bytes of 0xFF after it" << std::endl;
}

int usageError(const std::string& error) {
    std::cerr << "flashupdate-cli: " << printable(error) << "\nTry 'flashupdate-cli --help'."
              << std::endl;
    return kUsageError;
}

// out and err: streams into the sinks of standard output and standard error.
std::unique_ptr<Renderer> makeRenderer(bool json, Verbosity verbosity,
                                       std::vector<std::string> labels, std::FILE* out,
                                       std::FILE* err) {
    // A program reading the stream gets every event, whatever a person asked to see.
    if (json) {
        return std::make_unique<JsonRenderer>(std::move(labels), out);
    }
    // Live lines need a terminal that can move the cursor; a dumb one gets the plain lines.
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const char* term = std::getenv("TERM");
    if (liveOutputPossible(terminal, term)) {
        return std::make_unique<TerminalRenderer>(
            std::move(labels), out, verbosity,
            colourAllowed(terminal, term, std::getenv("NO_COLOR")), STDOUT_FILENO);
    }
    return std::make_unique<PlainRenderer>(std::move(labels), out, verbosity, err);
}

// How long what the output still holds at the end may take to leave: a reader that is merely
// slow gets it all; one that has stopped costs a stopped call no more than a moment.
constexpr std::chrono::seconds kDrainTime(3);
constexpr std::chrono::milliseconds kDrainTimeAfterStop(250);

// Until the drain's time is up: kDrainTime from its start, or kDrainTimeAfterStop from the
// moment a stop is first seen, whichever comes first.
class DrainDeadline {
public:
    std::chrono::steady_clock::time_point operator()() {
        if (StopSignalPipe::first() != 0 && !m_stopSeen) {
            m_stopSeen = true;
            m_deadline =
                std::min(m_deadline, std::chrono::steady_clock::now() + kDrainTimeAfterStop);
        }
        return m_deadline;
    }

private:
    std::chrono::steady_clock::time_point m_deadline =
        std::chrono::steady_clock::now() + kDrainTime;
    bool m_stopSeen = false;
};

// The account of output given up: what, how much, and the exit status it makes.
int accountDropped(std::uint64_t bytes, const char* what, int status, std::FILE* err) {
    if (bytes == 0) {
        return status;
    }
    std::fprintf(err,
                 "flashupdate-cli: %llu bytes of %s were dropped: its reader did not keep up\n",
                 static_cast<unsigned long long>(bytes), what);
    std::fflush(err);
    return status == kUpdated ? kOtherFailure : status;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);

    const ParsedOptions parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        return usageError(parsed.error);
    }
    const CliOptions& options = parsed.options;
    if (options.help) {
        std::cout << usageText();
        return kUpdated;
    }
    if (options.version) {
        std::cout << versionText("flashupdate-cli");
        return kUpdated;
    }
    const PortMap map = loadPortMap();
    const std::vector<SerialDeviceInfo> devices = listSerialDevices();
    if (options.listPorts) {
        listPorts(map, devices, portSettingsPath().toStdString(), options.json, stdout);
        return kUpdated;
    }

    // Without a choice, the boot loader is looked for as the window looks for it.
    BootLoaderChoice bootLoader;
    bootLoader.programDirectory = QCoreApplication::applicationDirPath().toStdString();
    if (options.bootLoader) {
        bootLoader.named = std::filesystem::absolute(*options.bootLoader);
    }
    std::vector<UpdateTask> tasks;
    std::vector<std::string> jobColumns;
    std::optional<std::string> reportPath = options.report;
    if (options.job || options.onlyFailed) {
        const std::string& given = options.job ? *options.job : *options.onlyFailed;
        const std::filesystem::path file = std::filesystem::absolute(pathFromText(given));
        const JobRead read = readJobFile(file);
        if (!read.error.empty()) {
            return usageError(read.error);
        }
        JobTable table = read.table;
        if (options.onlyFailed) {
            if (!table.isReport) {
                return usageError(*options.onlyFailed + ": not a report (no column outcome)");
            }
            table = rowsNotUpdated(std::move(table));
            if (!reportPath) {
                reportPath = rerunReportPath(file);
            }
        }
        const JobPlan plan = planJob(table, given, map, devices, bootLoader, options.allowEmpty);
        if (!plan.problems.empty()) {
            for (const std::string& problem : plan.problems) {
                std::cerr << "flashupdate-cli: " << printable(problem) << '\n';
            }
            std::cerr << "flashupdate-cli: nothing was sent" << std::endl;
            return kUsageError;
        }
        tasks = plan.tasks;
        jobColumns = table.columns;
    } else {
        const ResolvedTargets resolved = resolveTargets(options.ports, map, devices);
        if (!resolved.error.empty()) {
            if (resolved.absent) {
                std::cerr << "flashupdate-cli: " << printable(resolved.error) << std::endl;
                return kPortError;
            }
            return usageError(resolved.error);
        }
        const std::filesystem::path image = std::filesystem::absolute(options.image);
        if (const int refusal = refusedImage(image, options.allowEmpty); refusal != kUpdated) {
            return refusal;
        }
        // A call without a job file is reported as a job of these columns.
        jobColumns = {"port", "image", "label", "bootloader"};
        for (const PortTarget& target : resolved.targets) {
            tasks.push_back(
                UpdateTask{target,
                           image,
                           bootLoader,
                           {},
                           {target.given,
                            textFromPath(image),
                            {},
                            bootLoader.named ? textFromPath(*bootLoader.named) : std::string()}});
        }
    }
    // Every line over TLS is verified alike: the settings file's choices, each overridden by the
    // command line's.
    const TlsSettings tls = loadTlsSettings().overriddenBy(options.tls);
    std::vector<std::string> labels;
    std::set<std::filesystem::path> bootLoaders;
    for (UpdateTask& task : tasks) {
        task.target.tls = tls;
        labels.push_back(task.target.label);
        const BootLoaderChoice& choice = task.bootLoader;
        if (bootLoaders.insert(choice.named.value_or(std::filesystem::path())).second) {
            warnOfShortBootLoader(choice);
        }
    }

    // The first signal stops the updates from the loop; a second ends the program the usual way.
    StopSignalPipe stops(StopSignalPipe::Second::EndsProgram);
    if (options.dryRun) {
        return dryRun(tasks, options.json, stdout, stops);
    }
    // Opened before any port, so that a report that cannot be written is known at once.
    std::unique_ptr<ReportFile> report;
    if (reportPath) {
        report = std::make_unique<ReportFile>(*reportPath);
        if (!report->error().empty()) {
            std::cerr << "flashupdate-cli: cannot write the report " << printable(*reportPath)
                      << ": " << report->error() << std::endl;
            return kOtherFailure;
        }
    }
    if (tasks.empty()) {
        std::cerr << "flashupdate-cli: no instrument to update" << std::endl;
    }
    // From here on the output never holds an update: whatever reads it may stop reading.
    std::fflush(stdout);
    const auto standardOutput =
        std::make_shared<OutputSink>(STDOUT_FILENO, OutputSink::Ownership::Shared);
    const auto standardError =
        std::make_shared<OutputSink>(STDERR_FILENO, OutputSink::Ownership::Shared);
    const auto out = sinkStream(standardOutput);
    const auto err = sinkStream(standardError);
    if (out == nullptr || err == nullptr) {
        std::cerr << "flashupdate-cli: cannot set up the output" << std::endl;
        return kOtherFailure;
    }
    const auto renderer =
        makeRenderer(options.json, options.verbosity, std::move(labels), out.get(), err.get());
    std::unique_ptr<TraceFile> trace;
    if (options.trace) {
        trace = std::make_unique<TraceFile>(
            *options.trace, TraceFile::Start{std::string("flashupdate-cli ") + programVersion()},
            standardOutput);
        if (!trace->ok()) {
            std::cerr << "flashupdate-cli: cannot write the trace " << printable(*options.trace)
                      << ": " << trace->error() << std::endl;
            return kOtherFailure;
        }
        std::set<std::filesystem::path> images;
        for (const UpdateTask& task : tasks) {
            if (images.insert(task.image).second) {
                traceImage(*trace, task.image);
            }
        }
    }
    // Whenever this thread's event loop runs, it gives out what waits as the readers take it.
    std::vector<std::unique_ptr<SinkWatcher>> watchers;
    for (const auto& sink : {standardOutput, standardError}) {
        watchers.push_back(std::make_unique<SinkWatcher>(sink));
    }
    if (trace != nullptr && trace->sink() != standardOutput) {
        watchers.push_back(std::make_unique<SinkWatcher>(trace->sink()));
    }
    const RunSettings settings{raiseOpenFileLimit(), options.jobs, trace.get()};
    const RunOutcome outcome = runUpdates(tasks, options.retries, settings, *renderer, stops);
    int status = outcome.exitCode;
    // The manual's promise: a trace with a gap is not a success, whatever the updates did.
    if (trace != nullptr && !trace->finish() && trace->failed()) {
        std::fprintf(err.get(),
                     "flashupdate-cli: writing the trace %s failed: %s; the trace is "
                     "incomplete\n",
                     printable(*options.trace).c_str(), trace->error().c_str());
        status = status == kUpdated ? kOtherFailure : status;
    }
    // A record that cannot be written, like a closed or full output, never stops an update,
    // but it is not a success either.
    if (report) {
        if (!report->write(jobColumns, tasks, outcome.ports)) {
            std::fprintf(err.get(), "flashupdate-cli: cannot write the report %s: %s\n",
                         printable(*reportPath).c_str(), report->error().c_str());
            status = status == kUpdated ? kOtherFailure : status;
        } else if (!options.report) {
            std::fprintf(err.get(), "flashupdate-cli: the report is %s\n",
                         printable(*reportPath).c_str());
        }
    }
    std::fflush(out.get());
    std::fflush(err.get());
    DrainDeadline deadline;
    OutputSink* const sinks[] = {standardOutput.get(), trace ? trace->sink().get() : nullptr,
                                 standardError.get()};
    drainSinks(sinks, std::ref(deadline));
    for (OutputSink* sink : sinks) {
        if (sink != nullptr) {
            sink->abandon();
        }
    }
    if (trace != nullptr) {
        status = accountDropped(trace->droppedBytes(), "the trace", status, err.get());
    }
    status = accountDropped(standardOutput->dropped(), "the output", status, err.get());
    if (standardOutput->failed()) {
        std::fprintf(err.get(), "flashupdate-cli: writing the output failed: %s\n",
                     standardOutput->error().c_str());
        status = status == kUpdated ? kOtherFailure : status;
    }
    // The account itself gets what is left of the drain's time, or a moment where none is.
    const auto accountDeadline =
        std::max(deadline(), std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    OutputSink* const errors[] = {standardError.get()};
    drainSinks(errors, [accountDeadline] { return accountDeadline; });
    return status;
}
