// The instrument simulator as a child process, for every test that talks to it: the tests of the
// simulator itself and the tests that drive the real tool against it. It keeps the event lines
// the simulator writes (the first names its pseudo-terminal), what it says on standard error,
// and the transcript of every byte it received with the time and the line speed. A thread of its
// own reads the simulator's output, so waits need no event loop and a test may block in the
// tool's code meanwhile. Whatever happens, the simulator does not outlive this object.
#pragma once

#include <sys/types.h>

#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/test_files.h"
#include "support/transcript.h"

namespace flashupdate::testing {

// writeFile for the paths Qt hands out.
inline void writeFile(const QString& path, std::string_view bytes) {
    writeFile(std::filesystem::path(path.toStdString()), bytes);
}

// A fresh directory, removed with everything in it when this goes.
class TempDir {
public:
    TempDir() {
        if (!m_dir.isValid()) {
            throw std::runtime_error("no temporary directory: " +
                                     m_dir.errorString().toStdString());
        }
    }
    std::string path(std::string_view name) const {
        return m_dir.filePath(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())))
            .toStdString();
    }

private:
    QTemporaryDir m_dir{QDir::tempPath() + "/instrument-sim-test-XXXXXX"};
};

class SimulatorProcess {
public:
    enum class Launch {
        // With a transcript in a directory of its own; the device is named before the
        // constructor returns, or it throws.
        WithTranscript,
        // The arguments exactly as given, for tests of the simulator's command line: it may
        // refuse them and name no device.
        AsGiven,
    };

    explicit SimulatorProcess(std::vector<std::string> options = {},
                              Launch launch = Launch::WithTranscript);
    // Asks the simulator to stop (SIGTERM) and fails the test unless it does so cleanly; a
    // simulator that will not go is killed.
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // The pseudo-terminal the instrument listens on.
    const std::string& devicePath() const { return m_devicePath; }
    QString device() const { return QString::fromStdString(m_devicePath); }
    // The first line of standard output, once it has come; empty if none came within timeout.
    std::string waitForDevice(std::chrono::milliseconds timeout = kPatience) {
        const std::vector<std::string> first = waitForDevices(1, timeout);
        return first.empty() ? std::string() : first.front();
    }

    // A fleet's first count lines: the devices of its instruments, in order; fewer when they
    // did not all come within timeout.
    std::vector<std::string> waitForDevices(std::size_t count,
                                            std::chrono::milliseconds timeout = kPatience);
    // Waits until some event line starts with prefix, wherever it stands and whatever earlier
    // waits took: a fleet's instruments report in any order.
    bool waitForAnyLine(std::string_view prefix, std::chrono::milliseconds timeout = kPatience);

    // Waits for an event line not yet consumed by an earlier wait, so that consecutive waits
    // check the order of events: one that starts with prefix, or one that is line exactly.
    // Both are false once timeout has passed or the simulator has ended without it.
    bool waitForLine(std::string_view prefix, int timeoutMs = kPatienceMs);
    bool waitForEvent(std::string_view line, std::chrono::milliseconds timeout = kPatience);
    // Waits until the instrument has ended a session ("X" received); every byte before it is
    // in the transcript by then.
    bool waitForSessionEnd(int timeoutMs = kPatienceMs) {
        return waitForLine("session end", timeoutMs);
    }
    // Whether any event line so far starts with prefix.
    bool sawEventStarting(std::string_view prefix) const;
    // Every event line so far, the device line excepted.
    std::vector<std::string> events() const;
    // Waits until lines "ignored N bytes <reason>: ..." add up to count bytes; returns the total
    // seen by then.
    std::size_t waitForIgnored(std::string_view reason, std::size_t count,
                               std::chrono::milliseconds timeout = kPatience);
    std::string stdoutText() const;
    std::string stderrText() const;

    const std::string& transcriptPath() const { return m_transcriptPath; }
    // What the transcript holds now, for a test that watches it grow or checks that nothing came.
    std::vector<TranscriptLine> transcript() const { return readTranscript(m_transcriptPath); }
    // The bytes received at the given speed once at least count of them are recorded, or what
    // is recorded when timeoutMs has passed without that.
    std::string receivedAt(int baud, std::size_t count, int timeoutMs = kPatienceMs) const;
    std::string receivedSoFar(int baud) const { return bytesAt(transcript(), baud); }

    void sendSignal(int signal);
    // The exit status once the simulator has ended (128 + the signal if one ended it), or
    // nullopt when timeout has passed first.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = kPatience);
    bool running() const;
    // Switches the instrument off and on again; true once it says so.
    bool powerCycle();

private:
    void collectOutput(int fd);
    std::size_t ignoredBytesLocked(std::string_view reason) const;
    // The next event line not yet consumed for which wanted holds.
    bool waitForNext(const std::function<bool(const std::string&)>& wanted,
                     std::chrono::milliseconds timeout);
    void stop();

    TempDir m_dir;
    std::string m_transcriptPath;
    std::string m_stderrPath;
    std::string m_devicePath;
    pid_t m_pid = -1;
    std::optional<int> m_exitStatus;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_outLines;  // line 0 names the device
    std::size_t m_nextEvent = 1;
    bool m_outputClosed = false;
};

}  // namespace flashupdate::testing
