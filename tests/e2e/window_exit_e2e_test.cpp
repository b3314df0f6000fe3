// Exit pressed in the real window, or SIGTERM sent to it as a session that ends sends it, while a
// record is on its way to an instrument that takes bytes at the line's real pace: the program
// stops the run, logs it, lets the port go and ends at once, and nothing reaches the instrument
// after that beyond what the line already held.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <functional>

#include "support/simulator_process.h"

namespace flashupdate::testing {
namespace {

std::size_t bytesAt9600(const SimulatorProcess& simulator) {
    return simulator.receivedSoFar(9600).size();
}

struct Hand {
    const char* name;
    std::function<void(QProcess&)> act;
    int exitCode;  // 3: the update ended without the hand
};

const Hand kHands[] = {
    {"Exit", [](QProcess& program) { program.write("exit\n"); }, 0},
    {"SIGTERM",
     [](QProcess& program) {
         // No Exit to press: the driver's reader of standard input ends, and holds no lock on it
         // that the end of the program would wait for.
         program.closeWriteChannel();
         ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);
     },
     128 + SIGTERM},
};

TEST(WindowExitE2E, ExitOrSigtermDuringAPacedTransferIsLoggedEndsPromptlyAndSendsNothingMore) {
    for (const Hand& hand : kHands) {
        SCOPED_TRACE(hand.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        writeFile(dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 31));
        writeFile(dir.filePath("PROG.IMG"), randomBytes(16384, 32));
        SimulatorProcess simulator({"--paced"});
        const QString log = dir.filePath("flashupdate.log");

        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(WINDOW_EXIT_DRIVER_PATH,
                      {dir.path(), simulator.device(), dir.filePath("PROG.IMG"), log});
        ASSERT_TRUE(program.waitForReadyRead(20'000));

        // Well inside the first record: about three seconds of data on the line.
        QElapsedTimer waited;
        waited.start();
        while (bytesAt9600(simulator) < 3000) {
            ASSERT_LT(waited.elapsed(), 60'000) << "the transfer never started";
            ASSERT_EQ(program.state(), QProcess::Running);
            QThread::msleep(20);
        }
        const std::size_t atHand = bytesAt9600(simulator);
        QElapsedTimer sinceHand;
        sinceHand.start();
        hand.act(program);
        ASSERT_TRUE(program.waitForFinished(20'000));
        const double endedAfter = static_cast<double>(sinceHand.elapsed()) / 1000.0;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), hand.exitCode);
        // The port was given up: no lock file of it is left for other programs to trip over.
        QString lockName = simulator.device();
        lockName.remove(0, QStringLiteral("/dev/").size()).replace('/', '_');
        EXPECT_FALSE(QFile::exists("/var/lock/LCK.." + lockName)) << lockName.toStdString();
        // The rest of the record would take 14 s, and the end waits at most 3 s for the port.
        // The bound leaves room for a busy machine.
        EXPECT_LT(endedAfter, 6.0);

        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        EXPECT_EQ(text.count(QString("ended_by=") + hand.name), 1) << text.toStdString();
        // Ended in the middle of a record: the instrument waits for the rest of it.
        EXPECT_TRUE(text.contains("stage=program") && text.contains("power_cycle=true"))
            << text.toStdString();

        // What the instrument still gets is what the line carried until the end, plus what was
        // already handed over then: at most about 1 KiB, and half a second of line for a
        // simulator that was behind with its reading when the hand was counted.
        QThread::msleep(2500);
        const std::size_t afterEnd = bytesAt9600(simulator);
        EXPECT_LE(afterEnd - atHand, static_cast<std::size_t>(960 * endedAfter) + 1024 + 480);
        QThread::msleep(1000);
        EXPECT_EQ(bytesAt9600(simulator), afterEnd) << "bytes still arriving long after the end";
        EXPECT_LT(afterEnd, 3u + 16384u) << "the record was finished after all";
    }
}

}  // namespace
}  // namespace flashupdate::testing
