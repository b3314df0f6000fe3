#include "support/simulator_process.h"

#include <QDeadlineTimer>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace flashupdate::testing {

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

std::vector<ReceivedByte> SimulatorProcess::transcript() const {
    std::vector<ReceivedByte> bytes;
    std::ifstream in(m_dir.filePath("transcript.txt").toStdString());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ReceivedByte byte{};
        unsigned value = 0;
        fields >> byte.seconds >> byte.baud >> std::hex >> value;
        if (fields) {
            byte.value = static_cast<unsigned char>(value);
            bytes.push_back(byte);
        }
    }
    return bytes;
}

std::string SimulatorProcess::receivedAt(int baud) const {
    std::string bytes;
    for (const auto& byte : transcript()) {
        if (byte.baud == baud) {
            bytes += static_cast<char>(byte.value);
        }
    }
    return bytes;
}

std::vector<double> SimulatorProcess::arrivals(int baud, unsigned char value) const {
    std::vector<double> times;
    for (const auto& byte : transcript()) {
        if (byte.baud == baud && byte.value == value) {
            times.push_back(byte.seconds);
        }
    }
    return times;
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
