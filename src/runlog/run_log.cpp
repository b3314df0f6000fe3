#include "runlog/run_log.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "common/escaped_text.h"
#include "update/image_file.h"
#include "update/number_text.h"

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
            line += (line.empty() ? "" : "; ") + escapedText(part);
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

std::string runLine(const RunRecord& run) {
    const UpdateResult& result = run.result;
    // Names exactly as the run had them; the reason is a message that quotes names (loggedLine).
    std::string line =
        (run.portName.empty() ? "Com" + std::to_string(run.port) : escapedText(run.portName)) +
        " " + escapedText(run.devicePath) + " update " +
        (run.imagePath.empty() ? "(no file)" : escapedText(run.imagePath));
    if (!run.imageSha256.isEmpty()) {
        line += " sha256 " + run.imageSha256.toStdString();
    }
    line += ": ";
    if (!run.endedBy.empty()) {
        line += "ended by " + escapedText(run.endedBy) + " during " + nameOf(result.stage);
    } else if (result.updated()) {
        line += "updated";
    } else {
        line += "failed";
        // A wrong sum is found once every stage is done; "at done" would say nothing.
        if (result.stage != UpdateResult::Stage::Done) {
            line += std::string(" at ") + nameOf(result.stage);
        }
        line += std::string(" (") + nameOf(result.cause) + ")";
        if (!result.reason.empty()) {
            line += ": " + loggedLine(result.reason);
        }
    }
    if (result.bytesAnnounced > 0 || result.bytesSent > 0) {
        line += ", " + std::to_string(result.bytesSent) + " of " +
                std::to_string(result.bytesAnnounced) + " bytes sent";
    }
    // In hexadecimal, as the window shows them.
    if (result.fileCheckSum) {
        line += ", checksum " + hexText(*result.fileCheckSum);
        if (result.deviceCheckSum) {
            line += " (instrument " + hexText(*result.deviceCheckSum) + ")";
        }
    }
    if (!result.updated()) {
        line += std::string("; ") + recoveryText(result);
    }
    return line;
}

void RunLog::append(std::string_view text) {
    if (m_path.isEmpty()) {
        return;
    }
    const QByteArray line = (localTimeStamp() + QLatin1Char(' ')).toUtf8() +
                            QByteArray::fromStdString(loggedLine(text)) + '\n';
    QFile file(m_path);
    QString failure;
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) {
        failure = QStringLiteral("cannot create its directory");
    } else if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text) ||
               file.write(line) != line.size() || !file.flush()) {
        failure = file.errorString();
    }
    // Once is enough: the same reason on every diagnostic would bury the diagnostics.
    if (!failure.isEmpty() && !m_failureNoted) {
        m_failureNoted = true;
        std::cerr << "flashupdate: cannot write the log " << QFile::encodeName(m_path).toStdString()
                  << ": " << failure.toStdString() << std::endl;
    }
}

}  // namespace flashupdate
