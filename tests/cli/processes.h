// flashupdate-cli as a process the tests drive; the simulators come from the shared support.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <string>
#include <vector>
#include "support/simulator_process.h"

namespace flashupdate::cli::testing {

using flashupdate::testing::firstDifference;
using flashupdate::testing::randomBytes;
using flashupdate::testing::SimulatorProcess;
using flashupdate::testing::writeFile;

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

// The --json events of a run's output of the given kind ("result", "progress", ...).
QList<QJsonObject> jsonEvents(const CliResult& run, const QString& kind);

}  // namespace flashupdate::cli::testing
