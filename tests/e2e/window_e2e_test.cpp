// The real window, started with a command line as a technician would, Start pressed, against the
// instrument simulator: what the operator sees at the end. Whatever else the instrument answers
// is judged on virtual time by the update's own tests; here only what a real line adds to it.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <optional>

#include "serial/qt/port_settings.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "support/cpu_time.h"
#include "support/ser2net_process.h"
#include "support/simulator_process.h"
#include "support/tls_certificates.h"
#include "ui/frm_main.h"
#include "ui/message_box_answerer.h"

namespace flashupdate::testing {
namespace {

QString labelText(frmMain& window, const char* name) {
    auto* label = window.findChild<QLabel*>(name);
    return label != nullptr ? label->text() : QString("<no %1>").arg(name);
}

bool labelShown(frmMain& window, const char* name) {
    auto* label = window.findChild<QLabel*>(name);
    return label != nullptr && !label->isHidden();
}

// Presses Start and runs Qt's loop as the program runs it until the run has ended; false when it
// has not ended within limit.
bool startAndAwaitEnd(frmMain& window, std::chrono::milliseconds limit) {
    QEventLoop loop;
    bool ended = false;
    QObject::connect(&window, &frmMain::runEnded, &loop, [&] {
        ended = true;
        loop.quit();
    });
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    window.findChild<QPushButton*>("cmdStart")->click();
    if (!ended) {
        loop.exec();
    }
    return ended;
}

// The instrument on Com2's own device, or behind a serial device server named in the settings
// file, in plain or over TLS with the settings file's CA and technician's certificate.
enum class Where { OnTheDevice, ThroughASerialDeviceServer, OverTls };

class WindowE2E : public ::testing::TestWithParam<Where> {};

TEST_P(WindowE2E, StartFlashesTheImageNamedOnTheCommandLine) {
    const bool served = GetParam() != Where::OnTheDevice;
    const bool tls = GetParam() == Where::OverTls;
    QTemporaryDir dir;
    writeFile(dir.filePath("BOOTLOAD.IMG"), std::string(511, '\x5A'));
    // One record of erased flash: both sums are 3FC000. Through a server every byte is IAC.
    writeFile(dir.filePath("ERASED.IMG"), std::string(16384, '\xFF'));
    // An instrument that takes bytes at the real pace of the line, delivers its checksum answer in
    // two parts 16 ms apart as a USB adapter may (one burst cut up by the transport is one receive
    // event), and restarts once its session is over, dropping the line: verified it stays.
    SimulatorProcess simulator({"--paced", "--once", "--fault", "checksum-packets"});
    std::optional<Ser2NetProcess> server;
    PortMap map;
    TlsSettings tlsSettings;
    if (served) {
        const TlsCertificates& certificates = TlsCertificates::shared();
        ASSERT_TRUE(!tls || certificates.ready()) << certificates.error();
        server.emplace(simulator.devicePath(),
                       tls ? certificates.ser2netTls("server", true) : Ser2NetProcess::Tls());
        ASSERT_TRUE(server->ready()) << server->error().toStdString();
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        QDir().mkpath(QFileInfo(portSettingsPath()).absolutePath());
        std::string settings = "[General]\nCom2=";
        settings += server->portName().toStdString();
        if (tls) {
            settings += "\nTlsCa=" + certificates.path("ca.pem") +
                        "\nTlsCert=" + certificates.path("client.pem") +
                        "\nTlsKey=" + certificates.path("client.key") + "\n";
        }
        writeFile(portSettingsPath(), settings);
        map = loadPortMap();
        tlsSettings = loadTlsSettings();
        qunsetenv("XDG_CONFIG_HOME");
        ASSERT_EQ(map.source(2), PortSource::SettingsFile);
    } else {
        map.setDevicePath(2, simulator.devicePath());
    }
    QtEventLoop events;
    SerialControl port(map, events, systemTransports(tlsSettings));
    frmMain window(events, port, map, dir.path().toStdString(), dir.filePath("ERASED.IMG") + ",2");
    int ends = 0;
    window.setEndProgram([&] { ++ends; });
    window.show();

    MessageBoxAnswerer answerer;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    ASSERT_TRUE(startAndAwaitEnd(window, std::chrono::seconds(240)));
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    const double cpu = cpuSeconds() - cpuBefore;

    EXPECT_TRUE(answerer.seen().empty());
    // Appended, not concatenated: GCC 12 warns falsely (-Wrestrict) on the sum of temporaries.
    std::string boot(1, '\xFF');
    boot.append(511, '\x5A');
    EXPECT_EQ(simulator.receivedAt(1200, 512), boot);
    const std::string expected = "EP\x40" + std::string(16384, '\xFF') + "CX";
    EXPECT_EQ(firstDifference(simulator.receivedAt(9600, expected.size()), expected), "");
    // The window sleeps while the line works.
    EXPECT_LT(cpu / seconds, 0.05) << cpu << " s of CPU in " << seconds << " s";
    EXPECT_EQ(labelText(window, "lblStatus"), "FLASH updated successfully  ");
    EXPECT_EQ(labelText(window, "lblCheckSum3"), "3FC000");
    EXPECT_EQ(labelText(window, "lblCheckSum4"), "3FC000");
    EXPECT_EQ(labelText(window, "lblBytesT"), " 16384");
    EXPECT_EQ(labelText(window, "lblFileB"), " 16384");
    for (const char* name : {"lblCheckSum1", "lblCheckSum2", "lblCheckSum3", "lblCheckSum4",
                             "lblBytesTransmitted", "lblFileSize", "lblBytesT", "lblFileB"}) {
        EXPECT_TRUE(labelShown(window, name)) << name;
    }
    EXPECT_FALSE(port.portOpen());
    EXPECT_EQ(ends, 0);
}

std::string whereName(const ::testing::TestParamInfo<Where>& info) {
    const char* const names[] = {"OnTheDevice", "ThroughASerialDeviceServer", "OverTls"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Transport, WindowE2E,
                         ::testing::Values(Where::OnTheDevice, Where::ThroughASerialDeviceServer,
                                           Where::OverTls),
                         whereName);

// The answer's two halves 400 ms apart on a local line stay two receive events, each replacing the
// last: the window's rule finds no sum.
TEST(WindowE2EFault, AChecksumAnswerInTwoDeliveriesIsNotReceived) {
    QTemporaryDir dir;
    writeFile(dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 1));
    writeFile(dir.filePath("PROG.IMG"), randomBytes(10000, 9));
    SimulatorProcess simulator({"--fault", "checksum-split", "--erase-ms", "50"});
    PortMap map;
    map.setDevicePath(1, simulator.devicePath());
    QtEventLoop events;
    SerialControl port(map, events, systemTransports());
    frmMain window(events, port, map, dir.path().toStdString(), dir.filePath("PROG.IMG") + ",1");
    window.show();

    MessageBoxAnswerer answerer;
    ASSERT_TRUE(startAndAwaitEnd(window, std::chrono::seconds(240)));
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].text, " Check Sum not Received");
    EXPECT_EQ(labelText(window, "lblStatus"), "Check Sum not Received");
    EXPECT_FALSE(port.portOpen());
}

}  // namespace
}  // namespace flashupdate::testing
