#include "processes.h"

#include <QJsonDocument>

#include <QDateTime>
#include <QDeadlineTimer>
#include <algorithm>
#include <stdexcept>
#include <utility>

namespace flashupdate::cli::testing {

CliProcess::CliProcess(const QStringList& arguments, const QString& workingDirectory) {
    if (!workingDirectory.isEmpty()) {
        m_process.setWorkingDirectory(workingDirectory);
    }
    m_startedMs = QDateTime::currentMSecsSinceEpoch();
    m_process.start(FLASHUPDATE_CLI_PATH, arguments);
    if (!m_process.waitForStarted(10'000)) {
        throw std::runtime_error("flashupdate-cli does not start");
    }
}

CliProcess::~CliProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool CliProcess::waitForOutput(const QString& text, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        m_out += m_process.readAllStandardOutput();
        if (QString::fromUtf8(m_out).contains(text)) {
            return true;
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return false;
        }
        m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
}

CliResult CliProcess::finish(int timeoutMs) {
    CliResult result;
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        result.crashed = true;
    }
    result.seconds =
        static_cast<double>(QDateTime::currentMSecsSinceEpoch() - m_startedMs) / 1000.0;
    result.crashed = result.crashed || m_process.exitStatus() != QProcess::NormalExit;
    result.exitCode = m_process.exitCode();
    m_out += m_process.readAllStandardOutput();
    result.out = QString::fromUtf8(m_out);
    result.err = QString::fromUtf8(m_process.readAllStandardError());
    return result;
}

CliResult runCli(const QStringList& arguments, const QString& workingDirectory) {
    CliProcess process(arguments, workingDirectory);
    return process.finish();
}

QList<QJsonObject> jsonEvents(const CliResult& run, const QString& kind) {
    QList<QJsonObject> events;
    for (const QString& line : run.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event["event"].toString() == kind) {
            events << event;
        }
    }
    return events;
}

void CliFixture::SetUp() {
    ASSERT_TRUE(m_dir.isValid());
    m_bootLoader = randomBytes(511, 11);
    writeFile(bootLoaderPath(), m_bootLoader);
    writeImage(10000);
}

QString CliFixture::writeImage(std::string bytes) {
    m_image = std::move(bytes);
    writeFile(imagePath(), m_image);
    return imagePath();
}

}  // namespace flashupdate::cli::testing
