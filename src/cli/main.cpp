// flashupdate-cli: the window's update procedure from the command line, on one or more ports.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli/descriptors.h"
#include "cli/dry_run.h"
#include "cli/options.h"
#include "cli/outcome.h"
#include "cli/renderers.h"
#include "cli/running.h"
#include "cli/text_formats.h"
#include "serial/qt/port_settings.h"
#include "serial/qt/serial_devices.h"
#include "update/program_version.h"
#include "update/run_files.h"
#include "update/update_procedure.h"

using namespace flashupdate;
using namespace flashupdate::cli;

namespace {

constexpr const char* kEmptyImageRefusal =
    "the image is empty: an update would erase the instrument and program nothing";

// Other problems with the image are the update's to report, in its own words.
bool imageIsEmpty(const std::filesystem::path& image) {
    const ImageCheck check = readImage(image);
    return check.problem == ImageCheck::Problem::None && check.bytes.empty();
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

    ResolvedTargets resolved = resolveTargets(options.ports, map, devices);
    if (!resolved.error.empty()) {
        if (resolved.absent) {
            std::cerr << "flashupdate-cli: " << printable(resolved.error) << std::endl;
            return kPortError;
        }
        return usageError(resolved.error);
    }
    const TlsSettings tls = loadTlsSettings().overriddenBy(options.tls);
    std::vector<std::string> labels;
    for (PortTarget& target : resolved.targets) {
        target.tls = tls;
        labels.push_back(target.label);
    }

    installStopHandlers();
    // Without a choice, the boot loader is looked for as the window looks for it.
    BootLoaderChoice bootLoader;
    bootLoader.programDirectory = QCoreApplication::applicationDirPath().toStdString();
    if (options.bootLoader) {
        bootLoader.named = std::filesystem::absolute(*options.bootLoader);
    }
    // The window reports an empty image as updated; a run from a script must not erase a fleet
    // for nothing.
    if (!options.allowEmpty && imageIsEmpty(std::filesystem::absolute(options.image))) {
        std::cerr << "flashupdate-cli: " << kEmptyImageRefusal << std::endl;
        return kFileError;
    }
    if (options.dryRun) {
        return dryRun(resolved.targets, std::filesystem::absolute(options.image), bootLoader,
                      options.json, stdout);
    }
    const auto renderer = makeRenderer(options.json, options.verbosity, std::move(labels));
    std::unique_ptr<TraceFile> trace;
    if (options.trace) {
        trace = std::make_unique<TraceFile>(*options.trace);
        if (!trace->ok()) {
            std::cerr << "flashupdate-cli: cannot write the trace " << printable(*options.trace)
                      << ": " << trace->error() << std::endl;
            return kOtherFailure;
        }
    }
    const RunSettings settings{raiseOpenFileLimit(), options.jobs, trace.get()};
    const int status = runUpdates(resolved.targets, std::filesystem::absolute(options.image),
                                  bootLoader, options.retries, settings, *renderer, stopFlag());
    // A closed or full output never stops an update, but it is not a success either.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::cerr << "flashupdate-cli: writing the output failed" << std::endl;
        return status == kUpdated ? kOtherFailure : status;
    }
    return status;
}
