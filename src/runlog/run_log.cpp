#include "runlog/run_log.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <cstdlib>
#include <iostream>

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

// Diagnostics carry a remedy on a line of its own and some reasons are two-line message texts;
// one event must stay one line for grep.
QString foldLines(const QString& text) {
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]+"));
    QStringList lines;
    for (const QString& part : text.split(lineBreaks)) {
        if (const QString trimmed = part.trimmed(); !trimmed.isEmpty()) {
            lines << trimmed;
        }
    }
    return lines.join(QStringLiteral("; "));
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

QString loggedImagePath(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    return QDir::toNativeSeparators(QFileInfo(QString::fromStdString(path)).absoluteFilePath());
}

QString runLine(const RunRecord& run) {
    const UpdateResult& result = run.result;
    const QString port = run.portName.empty() ? QStringLiteral("Com%1").arg(run.port)
                                              : QString::fromStdString(run.portName);
    QString line = QStringLiteral("%1 %2 update %3")
                       .arg(port, QString::fromStdString(run.devicePath),
                            run.imagePath.isEmpty() ? QStringLiteral("(no file)") : run.imagePath);
    if (!run.imageSha256.isEmpty()) {
        line += QStringLiteral(" sha256 ") + QString::fromLatin1(run.imageSha256);
    }
    line += QStringLiteral(": ");
    if (!run.endedBy.isEmpty()) {
        line += QStringLiteral("ended by %1 during %2")
                    .arg(run.endedBy, QLatin1String(nameOf(result.stage)));
    } else if (result.updated()) {
        line += QStringLiteral("updated");
    } else {
        line += QStringLiteral("failed");
        // A wrong sum is found once every stage is done; "at done" would say nothing.
        if (result.stage != UpdateResult::Stage::Done) {
            line += QStringLiteral(" at ") + nameOf(result.stage);
        }
        line += QStringLiteral(" (%1)").arg(QLatin1String(nameOf(result.cause)));
        if (!result.reason.empty()) {
            line += QStringLiteral(": ") + QString::fromStdString(result.reason);
        }
    }
    if (result.bytesAnnounced > 0 || result.bytesSent > 0) {
        line += QStringLiteral(", %1 of %2 bytes sent")
                    .arg(result.bytesSent)
                    .arg(result.bytesAnnounced);
    }
    // In hexadecimal, as the window shows them.
    if (result.fileCheckSum) {
        line +=
            QStringLiteral(", checksum ") + QString::fromStdString(hexText(*result.fileCheckSum));
        if (result.deviceCheckSum) {
            line += QStringLiteral(" (instrument %1)")
                        .arg(QString::fromStdString(hexText(*result.deviceCheckSum)));
        }
    }
    if (!result.updated()) {
        line += QStringLiteral("; ") + recoveryText(result);
    }
    return line;
}

void RunLog::append(const QString& text) {
    if (m_path.isEmpty()) {
        return;
    }
    const QByteArray line = (localTimeStamp() + QLatin1Char(' ') + foldLines(text)).toUtf8() + '\n';
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
