#include "processes.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace flashupdate::cli::testing {

SimulatorProcess::SimulatorProcess(const QStringList& options) {
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(INSTRUMENT_SIM_PATH, QStringList(options)
                                             << "--transcript" << m_dir.filePath("transcript.txt"));
    if (!m_process.waitForStarted(10'000)) {
        throw std::runtime_error("instrument-sim does not start");
    }
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10'000)) {
            throw std::runtime_error("instrument-sim names no device");
        }
    }
    m_devicePath = QString::fromUtf8(m_process.readLine()).trimmed();
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
        m_lines << QString::fromUtf8(m_process.readLine()).trimmed();
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

std::string SimulatorProcess::receivedAt(int baud) const {
    std::string bytes;
    std::ifstream in(m_dir.filePath("transcript.txt").toStdString());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double seconds = 0;
        int lineBaud = 0;
        unsigned value = 0;
        fields >> seconds >> lineBaud >> std::hex >> value;
        if (fields && lineBaud == baud) {
            bytes += static_cast<char>(value);
        }
    }
    return bytes;
}

void SimulatorProcess::killNow() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

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

std::string randomBytes(std::size_t count, unsigned pattern) {
    std::mt19937 random(pattern);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

void writeFile(const QString& path, const std::string& bytes) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace flashupdate::cli::testing
