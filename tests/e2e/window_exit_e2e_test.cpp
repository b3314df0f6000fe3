// Exit pressed in the real window while a record is on its way to an instrument that takes
// bytes at the line's real pace: the program stops the run, lets the port go and ends at once,
// and nothing reaches the instrument after that beyond what the line already held.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "support/simulator_process.h"

namespace flashupdate::testing {
namespace {

std::size_t bytesAt9600(const SimulatorProcess& simulator) {
    return simulator.receivedSoFar(9600).size();
}

TEST(WindowExitE2E, ExitDuringAPacedTransferEndsPromptlyAndSendsNothingMore) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 31));
    writeFile(dir.filePath("PROG.IMG"), randomBytes(16384, 32));
    SimulatorProcess simulator({"--paced"});

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(
        WINDOW_EXIT_DRIVER_PATH,
        {dir.path(), QString::fromStdString(simulator.devicePath()), dir.filePath("PROG.IMG")});
    ASSERT_TRUE(program.waitForReadyRead(20'000));

    // Well inside the first record: about three seconds of data on the line.
    QElapsedTimer waited;
    waited.start();
    while (bytesAt9600(simulator) < 3000) {
        ASSERT_LT(waited.elapsed(), 60'000) << "the transfer never started";
        ASSERT_EQ(program.state(), QProcess::Running);
        QThread::msleep(20);
    }
    const std::size_t atClick = bytesAt9600(simulator);
    QElapsedTimer sinceClick;
    sinceClick.start();
    program.write("exit\n");
    ASSERT_TRUE(program.waitForFinished(10'000));
    const double endedAfter = static_cast<double>(sinceClick.elapsed()) / 1000.0;
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << "3: the update ended without Exit";
    // The port was given up: no lock file of it is left for other programs to trip over.
    QString lockName = simulator.device();
    lockName.remove(0, QStringLiteral("/dev/").size()).replace('/', '_');
    EXPECT_FALSE(QFile::exists("/var/lock/LCK.." + lockName)) << lockName.toStdString();
    // The rest of the record would take 14 s, and the end waits at most 3 s for the port. The
    // bound leaves room for a busy machine.
    EXPECT_LT(endedAfter, 6.0);

    // What the instrument still gets is what the line carried until the end, plus what was
    // already handed over then: at most about 1 KiB, and half a second of line for a simulator
    // that was behind with its reading when the click was counted.
    QThread::msleep(2500);
    const std::size_t afterEnd = bytesAt9600(simulator);
    EXPECT_LE(afterEnd - atClick, static_cast<std::size_t>(960 * endedAfter) + 1024 + 480);
    QThread::msleep(1000);
    EXPECT_EQ(bytesAt9600(simulator), afterEnd) << "bytes still arriving long after the end";
    EXPECT_LT(afterEnd, 3u + 16384u) << "the record was finished after all";
}

// A session that ends sends the window SIGTERM in the middle of a record: the run gets its line
// in the log, as the command line's does, and the program ends as Exit ends it, with the status a
// shell gives a program that SIGTERM ended.
TEST(WindowExitE2E, SigtermDuringATransferIsLoggedAndEndsTheProgram) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 33));
    writeFile(dir.filePath("PROG.IMG"), randomBytes(16384, 34));
    SimulatorProcess simulator({"--paced"});
    const QString log = dir.filePath("flashupdate.log");

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(WINDOW_EXIT_DRIVER_PATH,
                  {dir.path(), QString::fromStdString(simulator.devicePath()),
                   dir.filePath("PROG.IMG"), log});
    // No Exit to press: the driver's reader of standard input ends, and holds no lock on it that
    // the end of the program would wait for.
    program.closeWriteChannel();
    ASSERT_TRUE(program.waitForReadyRead(20'000));
    QElapsedTimer waited;
    waited.start();
    while (bytesAt9600(simulator) < 1000) {
        ASSERT_LT(waited.elapsed(), 60'000) << "the transfer never started";
        ASSERT_EQ(program.state(), QProcess::Running);
        QThread::msleep(20);
    }
    ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);
    ASSERT_TRUE(program.waitForFinished(20'000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 128 + SIGTERM) << "3: the update ended without the signal";

    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_EQ(text.count("ended_by=SIGTERM"), 1) << text.toStdString();
    // Ended in the middle of a record: the instrument waits for the rest of it.
    EXPECT_TRUE(text.contains("stage=program") && text.contains("power_cycle=true"))
        << text.toStdString();
}

}  // namespace
}  // namespace flashupdate::testing
