// Ending updates from outside: Ctrl-C, and the instrument's line going away mid-transfer.
#include <gtest/gtest.h>
#include <signal.h>

#include <QThread>

#include "processes.h"

namespace flashupdate::cli::testing {
namespace {

class CliStop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        writeFile(m_dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 21));
    }

    QStringList arguments(const QString& device, std::size_t imageBytes) {
        writeFile(m_dir.filePath("PROG.IMG"), randomBytes(imageBytes, 22));
        return {"--bootloader", m_dir.filePath("BOOTLOAD.IMG"), "--port", device,
                m_dir.filePath("PROG.IMG")};
    }

    QTemporaryDir m_dir;
};

TEST_F(CliStop, CtrlCAfterTheEraseStopsAndSaysTheInstrumentIsErased) {
    SimulatorProcess simulator;
    CliProcess cli(arguments(simulator.devicePath(), 20000));
    // The tool counts the memory erased once it has read the instrument's answer.
    ASSERT_TRUE(simulator.waitForLine("erased", 20'000));
    ASSERT_TRUE(cli.waitForOutput("] Memory Erased", 10'000));
    ::kill(static_cast<pid_t>(cli.pid()), SIGINT);
    const CliResult result = cli.finish(20'000);

    ASSERT_FALSE(result.crashed) << "still running or killed by the signal";
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_TRUE(result.out.contains("Stopped at \"Memory Erased\"")) << result.out.toStdString();
    EXPECT_TRUE(result.out.contains("left erased")) << result.out.toStdString();
    // Nothing was sent after the stop: the instrument never saw a record or a checksum request.
    QThread::msleep(500);
    for (const QString& line : simulator.lines()) {
        EXPECT_FALSE(line.startsWith("record")) << line.toStdString();
        EXPECT_FALSE(line.startsWith("checksum")) << line.toStdString();
    }
}

TEST_F(CliStop, CtrlCBeforeTheEraseSaysTheInstrumentIsNotErased) {
    SimulatorProcess simulator;
    CliProcess cli(arguments(simulator.devicePath(), 20000));
    ASSERT_TRUE(simulator.waitForLine("boot loader sync", 20'000));
    ::kill(static_cast<pid_t>(cli.pid()), SIGTERM);
    const CliResult result = cli.finish(20'000);

    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_TRUE(
        result.out.contains("Stopped at \"Sending Boot Loader\"; the instrument is not "
                            "erased"))
        << result.out.toStdString();
    QThread::msleep(500);
    for (const QString& line : simulator.lines()) {
        EXPECT_FALSE(line.startsWith("erase")) << line.toStdString();
    }
}

TEST_F(CliStop, InstrumentGoneMidTransferEndsThatUpdateWithoutHanging) {
    SimulatorProcess simulator;
    const QStringList args = arguments(simulator.devicePath(), 24 * 16384);
    CliProcess cli(args);
    // Gone a few seconds into the first record.
    ASSERT_TRUE(simulator.waitForLine("erased", 20'000));
    QThread::msleep(4000);
    simulator.killNow();
    const CliResult result = cli.finish(40'000);

    ASSERT_FALSE(result.crashed) << "hung or crashed";
    EXPECT_EQ(result.exitCode, 4) << result.out.toStdString();
    EXPECT_TRUE(result.out.contains("[" + simulator.devicePath() + "] Can't open " + args.last()))
        << result.out.toStdString();
    EXPECT_TRUE(result.out.contains("left erased")) << result.out.toStdString();
}

}  // namespace
}  // namespace flashupdate::cli::testing
