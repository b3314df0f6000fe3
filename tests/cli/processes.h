// The processes the tests drive: instrument simulators and flashupdate-cli itself.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <string>
#include <vector>

namespace flashupdate::cli::testing {

class SimulatorProcess {
public:
    explicit SimulatorProcess(const QStringList& options = {});
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    QString devicePath() const { return m_devicePath; }
    // Reads event lines until one starts with prefix; false after timeoutMs without it.
    bool waitForLine(const QString& prefix, int timeoutMs);
    // Every event line so far, the device line excepted.
    QStringList lines();
    // The bytes received at the given speed, from the transcript.
    std::string receivedAt(int baud) const;
    void killNow();

private:
    void readLines();

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_devicePath;
    QStringList m_lines;
    int m_consumed = 0;
};

struct CliResult {
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;
    double seconds = 0;
};

class CliProcess {
public:
    explicit CliProcess(const QStringList& arguments, const QString& workingDirectory = {});
    ~CliProcess();
    qint64 pid() const { return m_process.processId(); }
    // Reads standard output until it holds text; false after timeoutMs without it.
    bool waitForOutput(const QString& text, int timeoutMs);
    // Waits for the end; a run still going after timeoutMs is killed and reported crashed.
    CliResult finish(int timeoutMs = 120'000);

private:
    QProcess m_process;
    qint64 m_startedMs = 0;
    QByteArray m_out;
};

CliResult runCli(const QStringList& arguments, const QString& workingDirectory = {});

// Random bytes, the same for the same pattern.
std::string randomBytes(std::size_t count, unsigned pattern);
void writeFile(const QString& path, const std::string& bytes);

}  // namespace flashupdate::cli::testing
