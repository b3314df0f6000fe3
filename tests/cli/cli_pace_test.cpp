// flashupdate-cli against an instrument that takes bytes at the line's real pace, as one behind
// a slow line, a bridge or a virtual machine's serial port does.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <optional>

#include "cli/text_formats.h"
#include "processes.h"
#include "support/cpu_time.h"
#include "support/ser2net_process.h"
#include "support/tls_certificates.h"
#include "update/protocol.h"

namespace flashupdate::cli::testing {
namespace {

// On the instrument's own device, or through a serial device server (ser2net, RFC 2217) over
// TLS that wants a technician's certificate, verified against the CA given: the --tls options
// reach the line.
class CliPace : public CliFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(CliPace, OneRecordReachesAPacedInstrumentWithTruthfulProgress) {
    const bool served = GetParam();
    // Every other byte one that Telnet treats specially: IAC (0xFF), CR and NUL.
    std::string image = randomBytes(9000, 42);
    for (std::size_t i = 0; i < image.size(); i += 2) {
        image[i] = "\xFF\r\0"[i / 2 % 3];
    }
    writeImage(image);
    SimulatorProcess simulator({"--paced"});
    std::optional<flashupdate::testing::Ser2NetProcess> server;
    QStringList arguments{"--json"};
    if (served) {
        const auto& certificates = flashupdate::testing::TlsCertificates::shared();
        ASSERT_TRUE(certificates.ready()) << certificates.error();
        server.emplace(simulator.devicePath(), certificates.ser2netTls("server", true));
        ASSERT_TRUE(server->ready()) << server->error().toStdString();
        const auto path = [&](const char* file) {
            return QString::fromStdString(certificates.path(file));
        };
        arguments << "--tls-ca" << path("ca.pem") << "--tls-cert" << path("client.pem")
                  << "--tls-key" << path("client.key");
    }

    const double cpuBefore = flashupdate::testing::cpuSeconds(RUSAGE_CHILDREN);
    const CliResult result =
        runCli(arguments + update(served ? server->portName() : simulator.device()));
    const double cpu = flashupdate::testing::cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;

    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    // The line's own time and the procedure's waits, and hardly more.
    const double floor =
        static_cast<double>(timeLeft(UpdateResult::Stage::BootLoader, UpdateResult::Erased::No, 0,
                                     protocol::kRecordBytes)
                                .count()) /
        1000.0;
    EXPECT_GE(result.seconds, floor);
    EXPECT_LT(result.seconds, floor + 1.0);
    EXPECT_EQ(simulator.receivedAt(1200, 512), "\xFF" + m_bootLoader);
    const std::string expected =
        "EP\x40" + image + std::string(16384 - image.size(), '\xFF') + "CX";
    EXPECT_EQ(firstDifference(simulator.receivedAt(9600, expected.size()), expected), "")
        << result.err.toStdString() << simulator.stdoutText();
    // The program sleeps while the line works.
    EXPECT_LT(cpu / result.seconds, 0.05) << cpu << " s of CPU in " << result.seconds << " s";

    // Progress follows the line: the last 14336 bytes take 14.9 s at 960 bytes/s, of which at
    // most 1 KiB may be announced ahead of the line.
    QDateTime first;
    QDateTime last;
    for (const QJsonObject& event : jsonEvents(result, "progress")) {
        const QDateTime at = QDateTime::fromString(event["time"].toString(), Qt::ISODateWithMs);
        (first.isValid() ? last : first) = at;
    }
    ASSERT_TRUE(first.isValid() && last.isValid()) << result.out.toStdString();
    EXPECT_GE(first.msecsTo(last), 13'500);
}

INSTANTIATE_TEST_SUITE_P(Transport, CliPace, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThroughASerialDeviceServerOverTls"
                                               : "OnTheDevice";
                         });

}  // namespace
}  // namespace flashupdate::cli::testing
