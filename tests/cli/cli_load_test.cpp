// flashupdate-cli under hard conditions, in real time: an instrument that stops reading for
// longer than the pseudo-terminal can buffer, sixteen paced instruments while both cores are
// kept busy, and a hundred instruments on the threads of one. Slow, so the sanitizer build
// leaves them out.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <memory>
#include <vector>

#include "processes.h"

namespace flashupdate::cli::testing {
namespace {

using CliLoad = CliFixture;

TEST_F(CliLoad, StallLongerThanTheLineBufferLosesNoByteAndIsNoLostDevice) {
    // Stopped early in the first record for 20 s: the rest of the two records is more than the
    // pseudo-terminal holds, so writes meet a full buffer and wait.
    SimulatorProcess simulator({"--paced", "--stall-after", "2000", "--stall-ms", "20000"});
    writeImage(20000);
    const CliResult result = runCli(update(simulator.device()));

    ASSERT_FALSE(result.crashed);
    EXPECT_FALSE(result.out.contains("Can't open")) << result.out.toStdString();
    EXPECT_FALSE(result.err.contains("gone away")) << result.err.toStdString();
    // The instrument was behind the line time by the stall, so its answer may miss the window.
    EXPECT_TRUE(result.exitCode == 0 || result.out.contains("Check Sum not Received"))
        << result.out.toStdString();
    const std::string padded = m_image + std::string(2 * 16384 - m_image.size(), '\xFF');
    const std::string expected =
        "EP\x40" + padded.substr(0, 16384) + "P\x48" + padded.substr(16384) + "C";
    const std::string sent = simulator.receivedAt(9600, expected.size(), 60'000);
    EXPECT_TRUE(sent.starts_with(expected)) << sent.size() << " bytes arrived";
}

TEST_F(CliLoad, SixteenPacedInstrumentsOnBusyCoresAreAllUpdated) {
    std::vector<std::unique_ptr<QProcess>> burners;
    for (int core = 0; core < 2; ++core) {
        burners.push_back(std::make_unique<QProcess>());
        burners.back()->start("sh", {"-c", "while :; do :; done"});
    }
    std::vector<std::unique_ptr<SimulatorProcess>> simulators;
    writeImage(5000);
    QStringList arguments{"--bootloader", bootLoaderPath()};
    for (int i = 0; i < 16; ++i) {
        simulators.push_back(
            std::make_unique<SimulatorProcess>(std::vector<std::string>{"--paced"}));
        arguments << "--port" << simulators.back()->device();
    }
    arguments << imagePath();
    const CliResult result = runCli(arguments);
    for (auto& burner : burners) {
        burner->kill();
        burner->waitForFinished(5000);
    }

    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    EXPECT_EQ(result.out.count(QRegularExpression("Updated; checksum .* \\(exit status 0\\)")), 16)
        << result.out.toStdString();
    EXPECT_FALSE(result.err.contains("gone away")) << result.err.toStdString();
}

// The threads a process has now (its "Threads:" in /proc), 0 once it has gone.
int threadsOf(qint64 pid) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QRegularExpressionMatch match =
        QRegularExpression("\\nThreads:\\s+(\\d+)\\n").match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

TEST_F(CliLoad, AHundredInstrumentsRunOnAsManyThreadsAsOne) {
    SimulatorProcess fleet({"--instruments", "101"});
    const std::vector<std::string> devices = fleet.waitForDevices(101);
    ASSERT_EQ(devices.size(), 101u) << fleet.stderrText();
    const QStringList common{"--json", "--allow-empty", "--bootloader", bootLoaderPath(),
                             writeImage(std::string())};
    QStringList all = common;
    for (std::size_t i = 1; i < devices.size(); ++i) {
        all << "--port" << QString::fromStdString(devices[i]);
    }
    // Side by side, each looked at every 100 ms until its first result.
    CliProcess single(common + QStringList{"--port", QString::fromStdString(devices.front())});
    CliProcess hundred(all);
    int one = 0;
    int most = 0;
    bool singleSeen = false;
    bool hundredSeen = false;
    const QDeadlineTimer deadline(120'000);
    while (!(singleSeen && hundredSeen) && !deadline.hasExpired()) {
        one = std::max(one, threadsOf(single.pid()));
        most = std::max(most, threadsOf(hundred.pid()));
        singleSeen = singleSeen || single.waitForOutput("\"event\":\"result\"", 50);
        hundredSeen = hundredSeen || hundred.waitForOutput("\"event\":\"result\"", 50);
    }

    EXPECT_EQ(single.finish().exitCode, 0);
    EXPECT_EQ(hundred.finish().exitCode, 0);
    EXPECT_GT(one, 0);
    EXPECT_EQ(most, one);
}

}  // namespace
}  // namespace flashupdate::cli::testing
