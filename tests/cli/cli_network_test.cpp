// flashupdate-cli on instruments behind a serial device server (ser2net) when the network fails.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "processes.h"
#include "support/ser2net_process.h"
#include "support/tls_certificates.h"

namespace flashupdate::cli::testing {
namespace {

using flashupdate::testing::Ser2NetProcess;
using flashupdate::testing::TlsCertificates;

class CliNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        writeFile(m_dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 51));
        writeFile(m_dir.filePath("PROG.IMG"), randomBytes(3 * 16384, 52));
    }
    QStringList update(const QString& port) const {
        return {"--json", "-b", m_dir.filePath("BOOTLOAD.IMG"),
                "-p",     port, m_dir.filePath("PROG.IMG")};
    }

    QTemporaryDir m_dir;
};

QJsonObject resultOf(const CliResult& run) {
    const QList<QJsonObject> results = jsonEvents(run, "result");
    return results.isEmpty() ? QJsonObject() : results.front();
}

TEST_F(CliNetwork, AServerGoneInTheMiddleOfARecordIsAPortErrorWithoutAHang) {
    SimulatorProcess instrument({"--paced"});
    Ser2NetProcess server(instrument.devicePath());
    ASSERT_TRUE(server.ready()) << server.error().toStdString();
    CliProcess run(update(server.portName()));
    ASSERT_TRUE(run.waitForOutput("\"sent\":4096", 60'000));
    server.stop();
    const CliResult result = run.finish();

    EXPECT_EQ(result.exitCode, 4) << result.out.toStdString() << result.err.toStdString();
    const QJsonObject outcome = resultOf(result);
    EXPECT_EQ(outcome["cause"].toString(), "port");
    EXPECT_EQ(outcome["erased"].toString(), "yes");
    // The diagnostics are in the JSON stream.
    EXPECT_TRUE(result.out.contains("Is the server running")) << result.out.toStdString();
    // What happened where, in the command line's words, not the window's "Can't open" the image.
    QStringList messages;
    for (const QJsonObject& message : jsonEvents(result, "message")) {
        messages << message["text"].toString();
    }
    EXPECT_EQ(messages, QStringList{"the connection was reset during record 1 of 3"});
    // 4096 bytes of the first record were on their way; the rest of three records is 45 s.
    EXPECT_LT(result.seconds, 45.0);
}

// The network's buffers take what a stalled instrument does not: the tool cannot know how much of
// the record reached it, so it asks for a power cycle and does not try again.
TEST_F(CliNetwork, AnInstrumentStalledBehindTheServerIsLeftForAPowerCycleNotRetried) {
    writeFile(m_dir.filePath("ONE.IMG"), randomBytes(16384, 53));
    SimulatorProcess instrument({"--paced", "--stall-after", "4000", "--stall-ms", "600000"});
    Ser2NetProcess server(instrument.devicePath());
    ASSERT_TRUE(server.ready()) << server.error().toStdString();
    const CliResult result =
        runCli({"--json", "--retries", "1", "-b", m_dir.filePath("BOOTLOAD.IMG"), "-p",
                server.portName(), m_dir.filePath("ONE.IMG")});

    EXPECT_TRUE(result.exitCode == 4 || result.exitCode == 5)
        << result.out.toStdString() << result.err.toStdString();
    const QList<QJsonObject> results = jsonEvents(result, "result");
    ASSERT_EQ(results.size(), 1) << result.out.toStdString();
    EXPECT_TRUE(results.front()["power_cycle"].toBool()) << result.out.toStdString();
    // One record on the line (17 s) and the waits around it; never a retry's 3 s and more.
    EXPECT_LT(result.seconds, 60.0);
}

// The --tls options reach the line: a server that wants a technician's certificate, verified
// against the CA given, takes every byte of the update unchanged.
TEST_F(CliNetwork, AnUpdateOverTlsWithAClientCertificateArrivesExact) {
    const TlsCertificates& certificates = TlsCertificates::shared();
    ASSERT_TRUE(certificates.ready()) << certificates.error();
    const std::string image = randomBytes(100, 54);
    writeFile(m_dir.filePath("SHORT.IMG"), image);
    SimulatorProcess instrument;
    Ser2NetProcess server(instrument.devicePath(), certificates.ser2netTls("server", true));
    ASSERT_TRUE(server.ready()) << server.error().toStdString();
    const auto path = [&](const char* file) {
        return QString::fromStdString(certificates.path(file));
    };
    const CliResult result =
        runCli({"--json", "--tls-ca", path("ca.pem"), "--tls-cert", path("client.pem"), "--tls-key",
                path("client.key"), "-b", m_dir.filePath("BOOTLOAD.IMG"), "-p", server.portName(),
                m_dir.filePath("SHORT.IMG")});

    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    EXPECT_EQ(instrument.receivedAt(1200, 512), "\xFF" + randomBytes(511, 51));
    const std::string expected =
        "EP\x40" + image + std::string(16384 - image.size(), '\xFF') + "CX";
    EXPECT_EQ(firstDifference(instrument.receivedAt(9600, expected.size()), expected), "");
}

TEST_F(CliNetwork, NoServerOrNoSuchHostIsAPortErrorWithinSeconds) {
    const QString nobody =
        QString("rfc2217://127.0.0.1:%1").arg(flashupdate::testing::freeLoopbackPort());
    for (const QString& port : {nobody, QString("rfc2217://no-such-host.invalid:4001")}) {
        SCOPED_TRACE(port.toStdString());
        const CliResult result = runCli(update(port));
        EXPECT_EQ(result.exitCode, 4) << result.out.toStdString();
        EXPECT_EQ(resultOf(result)["erased"].toString(), "no");
        EXPECT_TRUE(result.out.contains("cannot open " + port)) << result.out.toStdString();
        EXPECT_LT(result.seconds, 10.0);
    }
}

}  // namespace
}  // namespace flashupdate::cli::testing
