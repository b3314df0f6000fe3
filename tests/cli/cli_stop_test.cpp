// Ending updates from outside: Ctrl-C, and the instrument's line going away mid-transfer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QThread>

#include <algorithm>

#include "processes.h"

namespace flashupdate::cli::testing {
namespace {

class CliStop : public CliFixture {
protected:
    QStringList arguments(const QString& device, std::size_t imageBytes) {
        writeImage(imageBytes);
        return update(device);
    }
};

TEST_F(CliStop, AStopInTheMiddleOfARecordAsksForAPowerCycleWhichRecoversTheInstrument) {
    SimulatorProcess simulator;
    const QStringList update = arguments(simulator.device(), 10000);
    CliProcess stopped(update + QStringList{"--json"});
    ASSERT_TRUE(stopped.waitForOutput("\"sent\":4096", 30'000));
    ::kill(static_cast<pid_t>(stopped.pid()), SIGINT);
    const CliResult first = stopped.finish(20'000);
    EXPECT_EQ(first.exitCode, 130);
    EXPECT_TRUE(first.out.contains("\"power_cycle\":true")) << first.out.toStdString();
    EXPECT_TRUE(first.out.contains("\"signal\":\"SIGINT\"")) << first.out.toStdString();
    EXPECT_TRUE(first.out.contains("in the middle of a record: switch it off and on again"))
        << first.out.toStdString();

    // Still waiting for the rest of its record, the instrument takes no boot loader ...
    const CliResult ignored = runCli(update);
    EXPECT_EQ(ignored.exitCode, 5) << ignored.out.toStdString();
    // ... until it has been switched off and on: then it takes one and answers the erase, which
    // is all a recovery needs to show; the rest of that update is not waited for.
    ASSERT_TRUE(simulator.powerCycle());
    CliProcess recovered(update);
    EXPECT_TRUE(recovered.waitForOutput("] Memory Erased", 30'000));
}

// A hang-up ends a job with the status a shell would show for it, 128 + its number (SIGINT and
// SIGTERM are the other tests' here). Part of the boot loader has gone out, and the instrument
// waits for the rest of it. A stopped job still reports every instrument: the one it stopped, and
// the one whose turn had not come.
TEST_F(CliStop, AHangUpInTheBootLoaderEndsWithItsOwnStatusAndAReportOfEveryRow) {
    writeImage(20000);
    const QString job = m_dir.filePath("job.csv");
    const QString report = m_dir.filePath("report.csv");
    const QString next = m_dir.filePath("next-tty");
    SimulatorProcess simulator;
    writeFile(
        job,
        ("port,image\n" + simulator.device() + ",PROG.IMG\n" + next + ",PROG.IMG\n").toStdString());
    CliProcess cli({"--job", job, "-J", "1", "-b", bootLoaderPath(), "--report", report});
    ASSERT_TRUE(simulator.waitForLine("boot loader sync", 20'000));
    ::kill(static_cast<pid_t>(cli.pid()), SIGHUP);
    const CliResult result = cli.finish(20'000);

    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(result.exitCode, 128 + SIGHUP) << result.err.toStdString();
    EXPECT_TRUE(
        result.out.contains("Stopped at \"Sending Boot Loader\"; the instrument is left "
                            "with part of a boot loader: switch it off and on again"))
        << result.out.toStdString();
    QFile file(report);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    const QString status = QString::number(128 + SIGHUP);
    EXPECT_TRUE(
        lines[1].startsWith(simulator.device() + "," + imagePath() + ",stopped," + status + ",1,"))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(next + "," + imagePath() + ",not started," + status + ",0,"))
        << lines[2].toStdString();
    QThread::msleep(flashupdate::testing::kStragglersMs);
    for (const std::string& line : simulator.events()) {
        EXPECT_FALSE(line.starts_with("erase")) << line;
    }
}

// A port that did not open is tried again after a pause; a stop in the pause ends the port there,
// with its own log line and an account of the attempt that never began, not of the one before.
TEST_F(CliStop, AStopInThePauseBeforeAnotherAttemptIsLoggedAsThatAttempt) {
    const QString missing = m_dir.filePath("no-such-tty");
    CliProcess cli(QStringList{"--json", "--retries", "2"} + arguments(missing, 10000));
    ASSERT_TRUE(cli.waitForOutput("\"event\":\"result\"", 30'000));
    ::kill(static_cast<pid_t>(cli.pid()), SIGINT);
    const CliResult result = cli.finish(20'000);

    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(result.exitCode, 130) << result.out.toStdString();
    const QList<QJsonObject> results = jsonEvents(result, "result");
    ASSERT_EQ(results.size(), 2) << result.out.toStdString();
    EXPECT_EQ(results[0]["stage"].toString(), "boot-loader");
    EXPECT_EQ(results[1]["attempt"].toInt(), 2);
    EXPECT_EQ(results[1]["stage"].toString(), "checks");
    EXPECT_EQ(results[1]["reason"].toString(), "stopped before attempt 2");
    EXPECT_NE(results[1]["run"].toString(), results[0]["run"].toString());
    QFile log(qEnvironmentVariable("XDG_STATE_HOME") + "/flashupdate/flashupdate.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString stopped = "run=" + results[1]["run"].toString() + " event=run ";
    const QString logged = QString::fromUtf8(log.readAll());
    ASSERT_TRUE(logged.contains(stopped)) << logged.toStdString();
    const QString line = logged.mid(logged.indexOf(stopped)).section('\n', 0, 0);
    EXPECT_TRUE(line.contains(" attempt=2 attempts=3 ")) << line.toStdString();
    EXPECT_TRUE(line.contains(" outcome=stopped stage=checks ")) << line.toStdString();
    EXPECT_TRUE(line.contains(" ended_by=SIGINT ")) << line.toStdString();
}

// A reader that stops reading (a pager, a terminal paused with Ctrl-S) with the trace on standard
// output: the instrument still gets its bytes at the line's pace, and a signal still ends the call
// at once, with its run in the log.
TEST_F(CliStop, AReaderThatStopsReadingHoldsNeitherTheLineNorAStop) {
    // Taking bytes at the line's pace, so that its transcript shows any pause in the sending.
    SimulatorProcess simulator({"--paced"});
    const QString fifo = m_dir.filePath("output.fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    // Held open and never read until the end; small, so that the output fills it within a second.
    const int reader = ::open(fifo.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const int pipeSize = ::fcntl(reader, F_SETPIPE_SZ, 4096);
    QProcess cli;
    cli.setStandardOutputFile(fifo);
    cli.start(FLASHUPDATE_CLI_PATH, QStringList{"--json", "--trace", "/dev/stdout"} +
                                        arguments(simulator.device(), 10000));
    ASSERT_TRUE(cli.waitForStarted(10'000));

    // Erase, record header and 3000 bytes of the record: about 3 s of the line.
    constexpr std::size_t kHeader = 3;
    const std::string received = simulator.receivedAt(9600, kHeader + 3000);
    int unread = 0;
    ::ioctl(reader, FIONREAD, &unread);
    // Full, to within the room a line needs.
    EXPECT_GT(unread, pipeSize - 512) << "the output was read after all";
    ::kill(static_cast<pid_t>(cli.processId()), SIGTERM);
    QElapsedTimer ending;
    ending.start();
    const bool ended = cli.waitForFinished(20'000);
    const qint64 endedMs = ending.elapsed();
    ::close(reader);

    ASSERT_GE(received.size(), kHeader + 3000);
    double longestGap = 0;
    double previous = -1;
    std::size_t at9600 = 0;
    for (const auto& line : simulator.transcript()) {
        if (line.baud != 9600 || ++at9600 <= kHeader) {
            continue;
        }
        if (previous >= 0) {
            longestGap = std::max(longestGap, line.seconds - previous);
        }
        previous = line.seconds;
    }
    EXPECT_LE(longestGap, 0.5) << "seconds without a byte in the record";
    ASSERT_TRUE(ended);
    // Half a second on an idle machine; more than that only on a busy one.
    EXPECT_LT(endedMs, 2000);
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 128 + SIGTERM) << cli.readAllStandardError().toStdString();
    QFile log(qEnvironmentVariable("XDG_STATE_HOME") + "/flashupdate/flashupdate.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString device = "device=" + simulator.device() + " ";
    bool logged = false;
    for (const QString& line : QString::fromUtf8(log.readAll()).split('\n')) {
        logged = logged || (line.contains(device) && line.contains("event=run") &&
                            line.contains("outcome=stopped") && line.contains("ended_by=SIGTERM"));
    }
    EXPECT_TRUE(logged) << "no run line for " << device.toStdString();
}

}  // namespace
}  // namespace flashupdate::cli::testing
