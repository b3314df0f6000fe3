// flashupdate-cli as a process the tests drive, and the files every run of it needs; the
// simulators come from the shared support.
#pragma once

#include <gtest/gtest.h>

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

// A directory of its own holding a boot loader and a one-record image (17 s on the line).
class CliFixture : public ::testing::Test {
protected:
    void SetUp() override;

    // Not named BOOTLOAD.IMG, so the tool has to place a copy where the procedure looks.
    QString bootLoaderPath() const { return m_dir.filePath("loader-v2.bin"); }
    QString imagePath() const { return m_dir.filePath("PROG.IMG"); }
    // Replaces the image; returns its path.
    QString writeImage(std::string bytes);
    QString writeImage(std::size_t size) { return writeImage(randomBytes(size, 12)); }
    // The arguments of an update of one port with the files above.
    QStringList update(const QString& port) const {
        return {"--bootloader", bootLoaderPath(), "--port", port, imagePath()};
    }

    QTemporaryDir m_dir;
    std::string m_bootLoader;
    std::string m_image;
};

}  // namespace flashupdate::cli::testing
