#include "simulator.h"

#include <QTimer>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace flashupdate::testing {

Simulator::Simulator(const QStringList& options) {
    QStringList arguments = options;
    arguments << "--transcript" << m_dir.filePath("transcript.txt");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(INSTRUMENT_SIM_PATH, arguments);
    if (!m_process.waitForStarted(10'000)) {
        throw std::runtime_error("instrument-sim does not start");
    }
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10'000)) {
            throw std::runtime_error("instrument-sim names no device");
        }
    }
    m_devicePath = m_process.readLine().trimmed().toStdString();
}

Simulator::~Simulator() {
    kill();
}

void Simulator::kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

void Simulator::killOn(const QString& text, int afterMs) {
    QObject::connect(
        &m_process, &QProcess::readyReadStandardOutput, &m_process, [this, text, afterMs] {
            while (m_process.canReadLine()) {
                if (QString::fromUtf8(m_process.readLine()).startsWith(text)) {
                    QTimer::singleShot(afterMs, &m_process, [this] { m_process.kill(); });
                    return;
                }
            }
        });
}

std::vector<ReceivedByte> Simulator::transcript() const {
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

std::string Simulator::receivedAt(int baud) const {
    std::string bytes;
    for (const auto& byte : transcript()) {
        if (byte.baud == baud) {
            bytes += static_cast<char>(byte.value);
        }
    }
    return bytes;
}

std::vector<double> Simulator::arrivals(int baud, unsigned char value) const {
    std::vector<double> times;
    for (const auto& byte : transcript()) {
        if (byte.baud == baud && byte.value == value) {
            times.push_back(byte.seconds);
        }
    }
    return times;
}

}  // namespace flashupdate::testing
