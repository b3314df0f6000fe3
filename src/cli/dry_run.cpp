#include "cli/dry_run.h"

#include <QEventLoop>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

#include <functional>
#include <string>

#include "cli/job.h"
#include "cli/outcome.h"
#include "cli/running.h"
#include "cli/text_formats.h"
#include "runlog/run_log.h"
#include "serial/line_port.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/stop_signal_pipe.h"
#include "serial/qt/system_transports.h"
#include "serial/serial_control.h"
#include "update/boot_loader_places.h"
#include "update/protocol.h"
#include "update/run_files.h"
#include "update/run_preparation.h"
#include "update/texts.h"

namespace flashupdate::cli {

namespace {

struct FileCheck {
    std::vector<unsigned char> image;
    std::string error;  // empty when an update could start with these files
};

// The system's words behind a file problem, after the window's text that already names the file:
// " (No such file or directory)" rather than the path a second time.
std::string reasonAbout(const std::filesystem::path& file, const std::string& reason) {
    const std::string named = textFromPath(file) + ": ";
    return " (" + (reason.starts_with(named) ? reason.substr(named.size()) : reason) + ")";
}

// The update's own checks, in the words its messages use.
FileCheck checkFiles(const std::filesystem::path& imagePath,
                     const std::filesystem::path& bootLoaderPath, const std::string& notFound) {
    FileCheck check;
    ImageCheck image = readImage(imagePath);
    switch (image.problem) {
        case ImageCheck::Problem::None:
            check.image = std::move(image.bytes);
            break;
        case ImageCheck::Problem::NoLength:
            check.error = texts::kCantFindSizeOf + textFromPath(imagePath) +
                          reasonAbout(imagePath, image.reason);
            return check;
        case ImageCheck::Problem::Unreadable:
            check.error =
                texts::kCantOpen + textFromPath(imagePath) + reasonAbout(imagePath, image.reason);
            return check;
        case ImageCheck::Problem::TooLarge: {
            std::error_code error;
            check.error = texts::kFileTooLarge + textFromPath(imagePath) + " (" +
                          tooLargeText(std::filesystem::file_size(imagePath, error)) + ")";
            return check;
        }
    }
    const BootLoaderCheck bootLoader = openBootLoader(bootLoaderPath);
    switch (bootLoader.problem) {
        case BootLoaderCheck::Problem::None:
            break;
        case BootLoaderCheck::Problem::Missing:
            check.error = notFound.empty() ? "no boot loader at " + textFromPath(bootLoaderPath)
                                           : "no boot loader: " + notFound;
            break;
        case BootLoaderCheck::Problem::Empty:
            check.error = "the boot loader " + textFromPath(bootLoaderPath) + " is empty";
            break;
        case BootLoaderCheck::Problem::Unreadable:
            check.error = "cannot open the boot loader " + textFromPath(bootLoaderPath) + " (" +
                          bootLoader.reason + ")";
            break;
    }
    return check;
}

// Opens a port the way an update does and lets it go at once; what failed, or nothing.
class PortTrial final : private LinePort::Listener {
public:
    explicit PortTrial(LinePort& port) : m_port(port) { m_port.setListener(this); }
    ~PortTrial() override { m_port.setListener(nullptr); }
    PortTrial(const PortTrial&) = delete;
    PortTrial& operator=(const PortTrial&) = delete;

    // Told once the port has been let go.
    std::function<void()> onDone;

    void begin(int comNumber) {
        try {
            m_port.setCommPort(comNumber);
            m_port.beginOpen();
        } catch (const SerialError& error) {
            m_failure = error.what();
            finish();
        }
    }
    // A stopping signal: the port is let go, opened or not.
    void stop() {
        if (!m_done) {
            m_failure = "stopped";
            m_port.beginClose();
        }
    }
    bool done() const { return m_done; }
    const std::string& failure() const { return m_failure; }

private:
    void portOpened() override { m_port.beginClose(); }
    void portOpenFailed(const SerialError& error) override {
        m_failure = error.what();
        finish();
    }
    void portReceived(const ByteText&) override {}
    void portWritable() override {}
    void portDrained() override {}
    void portLost(const SerialError& error) override {
        m_failure = error.what();
        m_port.beginClose();
    }
    void portClosed() override { finish(); }

    void finish() {
        if (!m_done) {
            m_done = true;
            if (onDone) {
                onDone();
            }
        }
    }

    LinePort& m_port;
    std::string m_failure;
    bool m_done = false;
};

// One port's trial on a loop of its own, which ends once the port has been let go. Empty when
// the port opened.
std::string tryPort(const PortTarget& target, std::string& diagnostics, StopSignalPipe& stops) {
    if (StopSignalPipe::first() != 0) {
        return "stopped";
    }
    QtEventLoop events;
    SerialControl port(target.map, events, systemTransports(target.tls));
    port.setDiagnostics([&](const std::string& text) { diagnostics += text; });
    PortTrial trial(port);
    QEventLoop loop;
    trial.onDone = [&loop] { loop.quit(); };
    stops.onSignal = [&trial](int) { trial.stop(); };
    trial.begin(target.comNumber);
    if (!trial.done()) {
        loop.exec();
    }
    stops.onSignal = {};
    return trial.failure();
}

}  // namespace

int dryRun(const std::vector<UpdateTask>& tasks, bool json, std::FILE* out, StopSignalPipe& stops) {
    // Each image and boot loader pair is read and told once, however many ports take it.
    struct Files {
        std::filesystem::path image;
        std::filesystem::path bootLoader;
        FileCheck check;
    };
    std::vector<Files> files;
    std::vector<std::size_t> filesOf;
    for (const UpdateTask& task : tasks) {
        const BootLoaderChoice& choice = task.bootLoader;
        const std::filesystem::path bootLoader = bootLoaderUsed(choice);
        const auto known = std::find_if(files.begin(), files.end(), [&](const Files& each) {
            return each.image == task.image && each.bootLoader == bootLoader;
        });
        if (known != files.end()) {
            filesOf.push_back(static_cast<std::size_t>(known - files.begin()));
            continue;
        }
        filesOf.push_back(files.size());
        const auto places = bootLoaderPlaces(choice.programDirectory);
        files.push_back(Files{
            task.image, bootLoader,
            checkFiles(task.image, bootLoader,
                       choice.named ? std::string() : notFoundText(places, kBootLoaderName))});
    }
    bool fileFailed = false;
    for (const Files& each : files) {
        const FileCheck& check = each.check;
        fileFailed = fileFailed || !check.error.empty();
        const std::string sha256 =
            check.error.empty() ? sha256Hex(check.image).toStdString() : std::string();
        if (json) {
            writeJsonLine(QJsonObject{{"event", "dry-run-files"},
                                      {"image", jsonText(textFromPath(each.image))},
                                      {"boot_loader", jsonText(textFromPath(each.bootLoader))},
                                      {"ok", check.error.empty()},
                                      {"error", jsonTextOrNull(check.error)},
                                      {"image_bytes",
                                       check.error.empty()
                                           ? QJsonValue(static_cast<qint64>(check.image.size()))
                                           : QJsonValue(QJsonValue::Null)},
                                      {"sha256", jsonTextOrNull(sha256)}},
                          out);
        } else if (check.error.empty()) {
            std::fprintf(out, "Image %s: %zu bytes, sha256 %s\nBoot loader %s: readable\n",
                         printable(textFromPath(each.image)).c_str(), check.image.size(),
                         sha256.c_str(), printable(textFromPath(each.bootLoader)).c_str());
        } else {
            std::fprintf(out, "%s\n", printable(check.error).c_str());
        }
    }

    bool portFailed = false;
    const QJsonValue null(QJsonValue::Null);
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const PortTarget& target = tasks[i].target;
        const FileCheck& check = files.at(filesOf[i]).check;
        const bool ready = check.error.empty();
        const std::uint64_t records = protocol::recordsFor(check.image.size());
        const std::uint64_t bytes = records * protocol::kRecordBytes;
        const auto duration =
            timeLeft(UpdateResult::Stage::BootLoader, UpdateResult::Erased::No, 0, bytes);
        std::string diagnostics;
        const std::string failure = tryPort(target, diagnostics, stops);
        portFailed = portFailed || !failure.empty();
        if (json) {
            writeJsonLine(
                QJsonObject{
                    {"event", "dry-run-port"},
                    {"port", jsonText(target.label)},
                    {"device", jsonText(target.devicePath)},
                    {"image", jsonText(textFromPath(tasks[i].image))},
                    {"opened", failure.empty()},
                    {"error", jsonTextOrNull(diagnostics.empty() ? failure : diagnostics)},
                    {"records", ready ? QJsonValue(static_cast<qint64>(records)) : null},
                    {"bytes", ready ? QJsonValue(static_cast<qint64>(bytes)) : null},
                    {"seconds",
                     ready ? QJsonValue(std::round(static_cast<double>(duration.count()) / 100.0) /
                                        10.0)
                           : null}},
                out);
        } else if (!failure.empty()) {
            std::fprintf(out, "[%s] %s\n", printable(target.label).c_str(),
                         printableLines(diagnostics.empty() ? failure : diagnostics).c_str());
        } else if (!ready) {
            // Without the files there is no update to tell of.
            std::fprintf(out, "[%s] %s opens\n", printable(target.label).c_str(),
                         printable(target.devicePath).c_str());
        } else {
            std::fprintf(out,
                         "[%s] %s opens; an update would send %llu record%s (%llu bytes), "
                         "about %s on the line\n",
                         printable(target.label).c_str(), printable(target.devicePath).c_str(),
                         static_cast<unsigned long long>(records), records == 1 ? "" : "s",
                         static_cast<unsigned long long>(bytes),
                         minutesSecondsText(duration).c_str());
        }
    }
    // An update checks its files before it opens a port.
    const int status = fileFailed ? kFileError : portFailed ? kPortError : kUpdated;
    if (json) {
        writeJsonLine(QJsonObject{{"event", "dry-run-result"}, {"exit_code", status}}, out);
    }
    return status;
}

}  // namespace flashupdate::cli
