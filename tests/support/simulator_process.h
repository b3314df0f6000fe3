// The instrument simulator as a child process, for the tests that drive the real tool against
// it: its pseudo-terminal, its event lines, and the transcript of every byte it received with
// the time and the line speed.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_files.h"
#include "support/transcript.h"

namespace flashupdate::testing {

// writeFile for the paths Qt hands out.
inline void writeFile(const QString& path, std::string_view bytes) {
    writeFile(std::filesystem::path(path.toStdString()), bytes);
}

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

    // Waits until the instrument has ended a session ("X" received); every byte before it is
    // in the transcript by then.
    bool waitForSessionEnd(int timeoutMs = kPatienceMs) {
        return waitForLine("session end", timeoutMs);
    }

    // What the transcript holds now, for a test that watches it grow or checks that nothing came.
    std::vector<TranscriptLine> transcript() const;
    // The bytes received at the given speed once at least count of them are recorded, or what
    // is recorded when timeoutMs has passed without that.
    std::string receivedAt(int baud, std::size_t count, int timeoutMs = kPatienceMs) const;
    std::string receivedSoFar(int baud) const { return bytesAt(transcript(), baud); }
    // Times at which the given byte arrived at the given speed, once count of them have.
    std::vector<double> arrivals(int baud, unsigned char value, std::size_t count) const;

    // Switches the instrument off and on again; true once it says so.
    bool powerCycle();
    // Ends the simulator at once, as a cable pulled now would.
    void killNow();
    // Ends it afterMs after it reports an event line starting with text, while the caller's
    // event loop runs.
    void killOn(const QString& text, int afterMs = 0);

private:
    void readLines();
    std::string transcriptPath() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    std::string m_devicePath;
    QStringList m_lines;
    int m_consumed = 0;
    QString m_killOn;
    int m_killAfterMs = 0;
};

}  // namespace flashupdate::testing
