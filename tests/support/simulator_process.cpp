#include "support/simulator_process.h"

#include <signal.h>

#include <QDeadlineTimer>
#include <QTimer>
#include <algorithm>
#include <stdexcept>

namespace flashupdate::testing {

SimulatorProcess::SimulatorProcess(const QStringList& options) {
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(INSTRUMENT_SIM_PATH, QStringList(options)
                                             << "--transcript"
                                             << QString::fromStdString(transcriptPath()));
    if (!m_process.waitForStarted(10'000)) {
        throw std::runtime_error("instrument-sim does not start");
    }
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10'000)) {
            throw std::runtime_error("instrument-sim names no device");
        }
    }
    m_devicePath = QString::fromUtf8(m_process.readLine()).trimmed().toStdString();
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { readLines(); });
}

SimulatorProcess::~SimulatorProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

void SimulatorProcess::readLines() {
    while (m_process.canReadLine()) {
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        m_lines << line;
        if (!m_killOn.isEmpty() && line.startsWith(m_killOn)) {
            m_killOn.clear();
            QTimer::singleShot(m_killAfterMs, &m_process, [this] { m_process.kill(); });
        }
    }
}

bool SimulatorProcess::waitForLine(const QString& prefix, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        readLines();
        while (m_consumed < m_lines.size()) {
            if (m_lines[m_consumed++].startsWith(prefix)) {
                return true;
            }
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return false;
        }
        m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
}

QStringList SimulatorProcess::lines() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.waitForReadyRead(100);
    }
    readLines();
    return m_lines;
}

std::string SimulatorProcess::transcriptPath() const {
    return m_dir.filePath("transcript.txt").toStdString();
}

std::vector<TranscriptLine> SimulatorProcess::transcript() const {
    return readTranscript(transcriptPath());
}

std::string SimulatorProcess::receivedAt(int baud, std::size_t count, int timeoutMs) const {
    return bytesAt(waitForTranscript(
                       transcriptPath(),
                       [&](const auto& lines) { return bytesAt(lines, baud).size() >= count; },
                       std::chrono::milliseconds(timeoutMs)),
                   baud);
}

std::vector<double> SimulatorProcess::arrivals(int baud, unsigned char value,
                                               std::size_t count) const {
    const auto matching = [&](const std::vector<TranscriptLine>& lines) {
        std::vector<double> times;
        for (const auto& line : lines) {
            if (line.baud == baud && line.byte == value) {
                times.push_back(line.seconds);
            }
        }
        return times;
    };
    return matching(waitForTranscript(
        transcriptPath(), [&](const auto& lines) { return matching(lines).size() >= count; }));
}

bool SimulatorProcess::powerCycle() {
    ::kill(static_cast<pid_t>(m_process.processId()), SIGUSR1);
    return waitForLine("power cycle", kPatienceMs);
}

void SimulatorProcess::killNow() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

void SimulatorProcess::killOn(const QString& text, int afterMs) {
    m_killOn = text;
    m_killAfterMs = afterMs;
}

}  // namespace flashupdate::testing
