// flashupdate-cli: the window's update procedure from the command line, on one or more ports.
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
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
#include "runlog/run_log.h"
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

// The window pads a short boot loader with zero bytes and sends it without a word, as it always
// has; a script's log should say that what went to the instrument was not the file as it stands.
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
              << " zero bytes after it" << std::endl;
}

int usageError(const std::string& error) {
    std::cerr << "flashupdate-cli: " << printable(error) << "\nTry 'flashupdate-cli --help'."
              << std::endl;
    return kUsageError;
}

std::unique_ptr<Renderer> makeRenderer(bool json, Verbosity verbosity,
                                       std::vector<std::string> labels) {
    // A program reading the stream gets every event, whatever a person asked to see.
    if (json) {
        return std::make_unique<JsonRenderer>(std::move(labels), stdout);
    }
    // Live lines need a terminal that can move the cursor; a dumb one gets the plain lines.
    const bool terminal = isatty(fileno(stdout)) != 0;
    const char* term = std::getenv("TERM");
    if (liveOutputPossible(terminal, term)) {
        return std::make_unique<TerminalRenderer>(
            std::move(labels), stdout, verbosity,
            colourAllowed(terminal, term, std::getenv("NO_COLOR")));
    }
    return std::make_unique<PlainRenderer>(std::move(labels), stdout, verbosity);
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
    const auto renderer = makeRenderer(options.json, options.verbosity, std::move(labels));
    std::unique_ptr<TraceFile> trace;
    if (options.trace) {
        trace = std::make_unique<TraceFile>(
            *options.trace, TraceFile::Start{std::string("flashupdate-cli ") + programVersion()});
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
    const RunSettings settings{raiseOpenFileLimit(), options.jobs, trace.get()};
    const RunOutcome outcome = runUpdates(tasks, options.retries, settings, *renderer, stops);
    int status = outcome.exitCode;
    // The manual's promise: a trace with a gap is not a success, whatever the updates did.
    if (trace != nullptr && !trace->finish()) {
        std::cerr << "flashupdate-cli: writing the trace " << printable(*options.trace)
                  << " failed: " << trace->error() << "; the trace is incomplete" << std::endl;
        status = status == kUpdated ? kOtherFailure : status;
    }
    // A record that cannot be written, like a closed or full output, never stops an update,
    // but it is not a success either.
    if (report) {
        if (!report->write(jobColumns, tasks, outcome.ports)) {
            std::cerr << "flashupdate-cli: cannot write the report " << printable(*reportPath)
                      << ": " << report->error() << std::endl;
            status = status == kUpdated ? kOtherFailure : status;
        } else if (!options.report) {
            std::cerr << "flashupdate-cli: the report is " << printable(*reportPath) << std::endl;
        }
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::cerr << "flashupdate-cli: writing the output failed" << std::endl;
        return status == kUpdated ? kOtherFailure : status;
    }
    return status;
}
