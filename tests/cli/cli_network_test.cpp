// flashupdate-cli on instruments behind a serial device server (ser2net) when the network fails.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "processes.h"
#include "support/ser2net_process.h"

namespace flashupdate::cli::testing {
namespace {

using flashupdate::testing::Ser2NetProcess;

// The fixture's files, the update asked for in --json.
class CliNetwork : public CliFixture {
protected:
    QStringList json(const QString& port) const { return QStringList{"--json"} + update(port); }
};

QJsonObject resultOf(const CliResult& run) {
    const QList<QJsonObject> results = jsonEvents(run, "result");
    return results.isEmpty() ? QJsonObject() : results.front();
}

TEST_F(CliNetwork, AServerGoneInTheMiddleOfARecordIsAPortErrorWithoutAHang) {
    writeImage(3 * 16384);
    SimulatorProcess instrument({"--paced"});
    Ser2NetProcess server(instrument.devicePath());
    ASSERT_TRUE(server.ready()) << server.error().toStdString();
    CliProcess run(json(server.portName()));
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

}  // namespace
}  // namespace flashupdate::cli::testing
