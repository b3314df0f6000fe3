// The instrument simulator as a child process, for the tests that drive the real tool against
// it: its pseudo-terminal, its event lines, and the transcript of every byte it received with
// the time and the line speed.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <string>
#include <vector>

namespace flashupdate::testing {

struct ReceivedByte {
    double seconds;
    int baud;
    unsigned char value;
};

class SimulatorProcess {
public:
    explicit SimulatorProcess(const QStringList& options = {});
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    const std::string& devicePath() const { return m_devicePath; }
    QString device() const { return QString::fromStdString(m_devicePath); }

    // Reads event lines until one starts with prefix; false after timeoutMs without it.
    bool waitForLine(const QString& prefix, int timeoutMs);
    // Every event line so far, the device line excepted.
    QStringList lines();

    std::vector<ReceivedByte> transcript() const;
    // The bytes received at the given speed.
    std::string receivedAt(int baud) const;
    // Times at which the given byte arrived at the given speed.
    std::vector<double> arrivals(int baud, unsigned char value) const;

    // Ends the simulator at once, as a cable pulled now would.
    void killNow();
    // Ends it afterMs after it reports an event line starting with text, while the caller's
    // event loop runs.
    void killOn(const QString& text, int afterMs = 0);

private:
    void readLines();

    QTemporaryDir m_dir;
    QProcess m_process;
    std::string m_devicePath;
    QStringList m_lines;
    int m_consumed = 0;
    QString m_killOn;
    int m_killAfterMs = 0;
};

}  // namespace flashupdate::testing
