#include "runlog/run_log.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QSysInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "common/escaped_text.h"
#include "runlog/output_sink.h"
#include "update/image_file.h"
#include "update/number_text.h"
#include "update/program_version.h"

#include <fcntl.h>
#include <sys/stat.h>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace flashupdate {

namespace {

// With the offset spelt out even at UTC, so every line's stamp has the same width.
QString localTimeStamp() {
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return now.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) +
           QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

// Where a message's own line ends: the "\r\n" of a window text, or a line feed before the
// indented remedy of a diagnostic or at the very end. Any other line feed belongs to a name.
std::size_t lineBreakLength(std::string_view text, std::size_t i) {
    if (text.substr(i, 2) == "\r\n") {
        return 2;
    }
    if (text[i] == '\n' && (i + 1 == text.size() || text[i + 1] == ' ' || text[i + 1] == '\t')) {
        return 1;
    }
    return 0;
}

std::string_view trimmedBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

}  // namespace

QString runLogPath(const QProcessEnvironment& environment) {
#ifdef _WIN32
    (void)environment;
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Quenlid/flashupdate/flashupdate.log"));
#else
    QString stateHome = environment.value(QStringLiteral("XDG_STATE_HOME"));
    if (!QDir::isAbsolutePath(stateHome)) {
        QString home = environment.value(QStringLiteral("HOME"));
        if (!QDir::isAbsolutePath(home)) {
            home = QDir::homePath();
        }
        stateHome = home + QStringLiteral("/.local/state");
    }
    return QDir::cleanPath(stateHome + QStringLiteral("/flashupdate/flashupdate.log"));
#endif
}

QString runLogPath() {
    return runLogPath(QProcessEnvironment::systemEnvironment());
}

QByteArray sha256Hex(std::span<const unsigned char> bytes) {
    return QCryptographicHash::hash(
               QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
               QCryptographicHash::Sha256)
        .toHex();
}

std::string loggedImagePath(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    // On the path's own bytes: a name that is not UTF-8 would not survive a trip through QString.
    std::filesystem::path image = pathFromText(path);
    std::error_code error;
    if (const std::filesystem::path absolute = std::filesystem::absolute(image, error); !error) {
        image = absolute;
    }
    return textFromPath(image.lexically_normal().make_preferred());
}

std::string loggedLine(std::string_view text) {
    std::string line;
    const auto addPart = [&line](std::string_view part) {
        if (part = trimmedBlanks(part); !part.empty()) {
            line += (line.empty() ? "" : "; ") + std::string(part);
        }
    };
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const std::size_t length = lineBreakLength(text, i); length > 0) {
            addPart(text.substr(start, i - start));
            i += length - 1;
            start = i + 1;
        }
    }
    addPart(text.substr(start));
    return line;
}

std::string logfmtPair(std::string_view key, std::string_view value) {
    std::string raw;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            raw += '\\';
        }
        raw += c;
    }
    const std::string escaped = escapedText(raw);
    const bool quoted =
        value.empty() || escaped != value || value.find_first_of(" =") != std::string_view::npos;
    return std::string(key) + "=" + (quoted ? "\"" + escaped + "\"" : escaped);
}

QByteArray fileSha256Hex(const std::string& path) {
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (path.empty() || !file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        return {};
    }
    return hash.result().toHex();
}

std::string newRunId() {
    const quint64 random = QRandomGenerator::system()->generate64() & 0xFFFFFFFFFFFFull;
    return QDateTime::currentDateTimeUtc()
               .toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z-'"))
               .toStdString() +
           QString::asprintf("%012llx", static_cast<unsigned long long>(random)).toStdString();
}

const char* outcomeName(const UpdateResult& result) {
    return outcomeNameOf(result.failure());
}

namespace {

std::string hostName() {
    return QSysInfo::machineHostName().toStdString();
}

std::string userName() {
#ifndef _WIN32
    if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    return qEnvironmentVariable("USER").toStdString();
#else
    return qEnvironmentVariable("USERNAME").toStdString();
#endif
}

std::string sumText(const std::optional<std::uint32_t>& sum) {
    return sum ? hexText(*sum) : std::string();
}

}  // namespace

std::string runLine(const RunRecord& run, std::string_view program) {
    const UpdateResult& result = run.result;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", run.seconds);
    std::string reason = loggedLine(result.reason);
    // What the operator must know before the next update, where the run did not update it.
    if (!result.updated()) {
        reason += (reason.empty() ? "" : "; ") + std::string(recoveryText(result));
    }
    const std::pair<const char*, std::string> fields[] = {
        {"run", run.runId},
        {"event", "run"},
        {"program", std::string(program)},
        {"version", programVersion()},
        {"host", hostName()},
        {"user", userName()},
        {"frontend", run.frontEnd},
        {"port", run.port},
        {"device", run.device},
        {"adapter_serial", run.adapterSerial},
        {"label", run.label},
        {"image", run.imagePath},
        {"image_bytes", run.imageBytes ? std::to_string(*run.imageBytes) : std::string()},
        {"image_sha256", run.imageSha256.toStdString()},
        {"bootloader", run.bootLoaderPath},
        {"bootloader_sha256", run.bootLoaderSha256.toStdString()},
        {"attempt", std::to_string(run.attempt)},
        {"attempts", std::to_string(run.attempts)},
        {"seconds", seconds},
        {"outcome", outcomeName(result)},
        {"stage", nameOf(result.stage)},
        {"erased", nameOf(result.erased)},
        {"bytes_sent", std::to_string(result.bytesSent)},
        {"bytes_announced", std::to_string(result.bytesAnnounced)},
        // In hexadecimal, as the window shows them.
        {"file_checksum", sumText(result.fileCheckSum)},
        {"instrument_checksum", sumText(result.deviceCheckSum)},
        {"power_cycle", result.powerCycleNeeded() ? "true" : "false"},
        {"ended_by", run.endedBy},
        {"reason", reason},
        // Added last, after the fields that scripts already match in their order.
        {"failure", result.failure() ? nameOf(*result.failure()) : ""},
    };
    std::string line;
    for (const auto& [key, value] : fields) {
        line += (line.empty() ? "" : " ") + logfmtPair(key, value);
    }
    return line;
}

// The file the lines go to, kept open between them: opened again when another program has
// rotated it away, or when it failed.
struct RunLog::Output {
    std::mutex mutex;
    std::unique_ptr<OutputSink> sink;
    dev_t device = 0;
    ino_t inode = 0;
    bool failureNoted = false;

    QString write(const QString& path, const std::string& line);
};

RunLog::RunLog() : m_output(std::make_unique<Output>()) {}

RunLog::RunLog(QString path, std::string program)
    : m_path(std::move(path)),
      m_program(std::move(program)),
      m_output(std::make_unique<Output>()) {}

RunLog::~RunLog() = default;
RunLog::RunLog(RunLog&&) noexcept = default;
RunLog& RunLog::operator=(RunLog&&) noexcept = default;

bool RunLog::failed() const {
    if (m_output == nullptr) {
        return false;
    }
    const std::lock_guard lock(m_output->mutex);
    return m_output->failureNoted;
}

void RunLog::record(const RunRecord& run) {
    appendFields(runLine(run, m_program));
}

void RunLog::diagnostic(std::string_view runId, std::string_view port, std::string_view text) {
    std::string fields;
    if (!runId.empty()) {
        fields += logfmtPair("run", runId) + " ";
    }
    fields += "event=diagnostic " + logfmtPair("program", m_program);
    if (!port.empty()) {
        fields += " " + logfmtPair("port", port);
    }
    appendFields(fields + " " + logfmtPair("text", loggedLine(text)));
}

namespace {

std::filesystem::path oldLog(const std::filesystem::path& log, int number) {
    std::filesystem::path old = log;
    old += "." + std::to_string(number);
    return old;
}

// Renames the log flashupdate.log.1 once it has grown past the limit, the older ones one place
// on, the oldest dropped. Several programs may write the log at once: one of them rotates, under
// a lock, and the others find the new log small again.
QString rotated(const QString& path) {
    if (static_cast<std::uint64_t>(QFileInfo(path).size()) < RunLog::kRotateBytes) {
        return {};
    }
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(10'000);
    // Never waited for: the other program is rotating it now, or the next line will.
    if (!lock.tryLock(0)) {
        return {};
    }
    if (static_cast<std::uint64_t>(QFileInfo(path).size()) < RunLog::kRotateBytes) {
        return {};
    }
    const std::filesystem::path log(QFile::encodeName(path).toStdString());
    std::error_code error;
    for (int number = RunLog::kOldLogs - 1; number >= 1 && !error; --number) {
        if (std::filesystem::exists(oldLog(log, number))) {
            std::filesystem::rename(oldLog(log, number), oldLog(log, number + 1), error);
        }
    }
    if (!error) {
        std::filesystem::rename(log, oldLog(log, 1), error);
    }
    return error ? QStringLiteral("cannot rotate it: ") + QString::fromStdString(error.message())
                 : QString();
}

}  // namespace

// With the output locked: hands the line to the log file's sink, opening the file where it is not
// open yet or is no longer the one at the path; empty when it went, why not otherwise.
QString RunLog::Output::write(const QString& path, const std::string& line) {
    const QByteArray name = QFile::encodeName(path);
    struct stat named {};
    const bool exists = ::stat(name.constData(), &named) == 0;
    if (sink == nullptr || sink->failed() || !exists || named.st_dev != device ||
        named.st_ino != inode) {
        sink = nullptr;
        // O_NONBLOCK: a log that is a FIFO holds no writer.
        const int fd =
            ::open(name.constData(),
                   O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        struct stat opened {};
        if (fd < 0 || ::fstat(fd, &opened) != 0) {
            const QString why = QString::fromLocal8Bit(std::strerror(errno));
            if (fd >= 0) {
                ::close(fd);
            }
            return why;
        }
        sink = std::make_unique<OutputSink>(fd, OutputSink::Ownership::Owned);
        device = opened.st_dev;
        inode = opened.st_ino;
    }
    switch (sink->write(line)) {
        case OutputSink::Written::Whole:
            return {};
        case OutputSink::Written::Dropped:
            return QStringLiteral("its reader does not keep up; lines were dropped");
        case OutputSink::Written::Failed:
            break;
    }
    return QString::fromStdString(sink->error());
}

void RunLog::appendFields(const std::string& fields) {
    if (m_path.isEmpty() || m_output == nullptr) {
        return;
    }
    const std::string line = "time=" + localTimeStamp().toStdString() + ' ' + fields + '\n';
    const std::lock_guard lock(m_output->mutex);
    QString failure;
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) {
        failure = QStringLiteral("cannot create its directory");
    } else if (failure = rotated(m_path); !failure.isEmpty()) {
    } else {
        failure = m_output->write(m_path, line);
    }
    // Once is enough: the same reason on every diagnostic would bury the diagnostics.
    if (!failure.isEmpty() && !m_output->failureNoted) {
        m_output->failureNoted = true;
        // Standard error may be a pipe nobody reads as well: what it does not take at once is
        // not waited for.
        OutputSink(STDERR_FILENO, OutputSink::Ownership::Shared)
            .write(m_program + ": cannot write the log " +
                   escapedText(QFile::encodeName(m_path).toStdString()) + ": " +
                   failure.toStdString() + "\n");
    }
}

}  // namespace flashupdate
