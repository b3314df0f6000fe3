// flashupdate-cli against an instrument that takes bytes at the line's real pace, as one behind
// a slow line, a bridge or a virtual machine's serial port does.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include "processes.h"
#include "support/cpu_time.h"

namespace flashupdate::cli::testing {
namespace {

TEST(CliPace, OneRecordReachesAPacedInstrumentWithTruthfulProgress) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string loader = randomBytes(511, 41);
    const std::string image = randomBytes(9000, 42);
    writeFile(dir.filePath("BOOTLOAD.IMG"), loader);
    writeFile(dir.filePath("PROG.IMG"), image);
    SimulatorProcess simulator({"--paced"});

    const double cpuBefore = flashupdate::testing::cpuSeconds(RUSAGE_CHILDREN);
    const CliResult result = runCli({"--json", "--bootloader", dir.filePath("BOOTLOAD.IMG"),
                                     "--port", simulator.device(), dir.filePath("PROG.IMG")});
    const double cpu = flashupdate::testing::cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;

    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    EXPECT_EQ(simulator.receivedAt(1200, 512), "\xFF" + loader);
    const std::string expected =
        "EP\x40" + image + std::string(16384 - image.size(), '\xFF') + "CX";
    EXPECT_TRUE(simulator.receivedAt(9600, expected.size()) == expected);
    // The program sleeps while the line works.
    EXPECT_LT(cpu / result.seconds, 0.05) << cpu << " s of CPU in " << result.seconds << " s";

    // Progress follows the line: the last 14336 bytes take 14.9 s at 960 bytes/s, of which at
    // most 1 KiB may be announced ahead of the line.
    QDateTime first;
    QDateTime last;
    for (const QString& line : result.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event["event"].toString() == "progress") {
            const QDateTime at = QDateTime::fromString(event["time"].toString(), Qt::ISODateWithMs);
            (first.isValid() ? last : first) = at;
        }
    }
    ASSERT_TRUE(first.isValid() && last.isValid()) << result.out.toStdString();
    EXPECT_GE(first.msecsTo(last), 13'500);
}

}  // namespace
}  // namespace flashupdate::cli::testing
