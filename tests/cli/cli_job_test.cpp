// A rack from a job file, as a technician runs it: each instrument updated with its own image, a
// report that Python's csv module reads back whole, --only-failed running exactly the rows that
// failed, and one record per run in the log.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <memory>

#include "processes.h"

namespace flashupdate::cli::testing {
namespace {

using CliJob = CliFixture;

// The report's rows as Python's csv module reads them, each a JSON object.
QJsonArray reportRows(const QString& path) {
    QProcess python;
    python.start("python3", {"-c",
                             "import csv, json, sys\n"
                             "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                             "    print(json.dumps(list(csv.DictReader(f))))\n",
                             path});
    EXPECT_TRUE(python.waitForFinished(30'000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(python.readAllStandardOutput()).array();
}

QString sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex();
}

// How many runs the log records (its fields are the log's own tests' to check).
qsizetype runRecords() {
    QFile log(qEnvironmentVariable("XDG_STATE_HOME") + "/flashupdate/flashupdate.log");
    EXPECT_TRUE(log.open(QIODevice::ReadOnly));
    return QString::fromUtf8(log.readAll()).count(" event=run ");
}

TEST_F(CliJob, EachInstrumentGetsItsOwnImageAndOnlyTheFailedRowsRunAgain) {
    std::vector<std::unique_ptr<SimulatorProcess>> rack;
    std::vector<std::string> images;
    QDir(m_dir.path()).mkdir("images");
    for (int i = 0; i < 3; ++i) {
        rack.push_back(std::make_unique<SimulatorProcess>());
        images.push_back(randomBytes(1000 * (i + 1), 20 + i));
        writeFile(m_dir.filePath(QString("images/FW%1.IMG").arg(i)), images.back());
    }
    const QString late = m_dir.filePath("late-tty");
    const QString job = m_dir.filePath("rack.csv");
    const auto row = [&](int i, const QString& extra) {
        return rack[i]->device() + QString(",images/FW%1.IMG,slot %1,").arg(i) + extra + "\r\n";
    };

    // Checked before any port is touched: the same device twice and an image that is not there.
    writeFile(job, ("port,image,label,serial\r\n" + row(0, "A") + rack[0]->device() +
                    ",images/NONE.IMG,again,B\r\n")
                       .toStdString());
    const CliResult refused = runCli({"--job", job, "-b", bootLoaderPath()});
    EXPECT_EQ(refused.exitCode, 2) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains("rack.csv: row 3, column A (port): the device of row 2 again"))
        << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains("rack.csv: row 3, column B (image): cannot read "))
        << refused.err.toStdString();

    // Three instruments and a fourth whose port is not there yet. Its image is empty, so that its
    // update later takes a few seconds of the line rather than half a minute.
    writeFile(m_dir.filePath("images/EMPTY.IMG"), "");
    writeFile(job, ("port,image,label,serial\r\n" + row(0, "\"SN 1, rev A\"") + row(1, "SN2") +
                    row(2, "SN3") + late + ",images/EMPTY.IMG,late,SN4\r\n")
                       .toStdString());
    const QString report = m_dir.filePath("report.csv");
    const CliResult first =
        runCli({"--job", job, "--allow-empty", "-b", bootLoaderPath(), "--report", report});
    EXPECT_EQ(first.exitCode, 4) << first.out.toStdString() << first.err.toStdString();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        // "E", then "P" and the block number before the record.
        const std::string received = rack[i]->receivedAt(9600, 3 + 16384 + 2);
        ASSERT_GE(received.size(), 3 + images[i].size());
        EXPECT_EQ(firstDifference(received.substr(3, images[i].size()), images[i]), "");
    }

    const QJsonArray rows = reportRows(report);
    ASSERT_EQ(rows.size(), 4);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject found = rows[i].toObject();
        EXPECT_EQ(found["port"].toString(), rack[i]->device());
        EXPECT_EQ(found["image"].toString(), m_dir.filePath(QString("images/FW%1.IMG").arg(i)));
        EXPECT_EQ(found["outcome"].toString(), "updated");
        EXPECT_EQ(found["exit_status"].toString(), "0");
        EXPECT_EQ(found["image_sha256"].toString(), sha256(images[i]));
    }
    EXPECT_EQ(rows[0].toObject()["serial"].toString(), "SN 1, rev A");
    EXPECT_EQ(rows[3].toObject()["outcome"].toString(), "port-error");
    EXPECT_EQ(runRecords(), 4);

    // The fourth instrument is connected; only its row runs again, with its own image.
    SimulatorProcess connected({"--link", late.toStdString()});
    const QString again = m_dir.filePath("again.csv");
    const CliResult second = runCli(
        {"--only-failed", report, "--allow-empty", "-b", bootLoaderPath(), "--report", again});
    EXPECT_EQ(second.exitCode, 0) << second.out.toStdString() << second.err.toStdString();
    ASSERT_TRUE(connected.waitForSessionEnd());
    const QJsonArray rerun = reportRows(again);
    ASSERT_EQ(rerun.size(), 1);
    EXPECT_EQ(rerun[0].toObject()["image"].toString(), m_dir.filePath("images/EMPTY.IMG"));
    EXPECT_EQ(rerun[0].toObject()["image_sha256"].toString(), sha256(""));
    EXPECT_EQ(rerun[0].toObject()["label"].toString(), "late");
    EXPECT_EQ(rerun[0].toObject()["serial"].toString(), "SN4");
    EXPECT_EQ(rerun[0].toObject()["outcome"].toString(), "updated");
    QThread::msleep(flashupdate::testing::kStragglersMs);
    for (const auto& instrument : rack) {
        EXPECT_EQ(instrument->receivedSoFar(1200).size(), 512u) << "one boot loader, one session";
    }

    EXPECT_EQ(runRecords(), 5);
}

}  // namespace
}  // namespace flashupdate::cli::testing
