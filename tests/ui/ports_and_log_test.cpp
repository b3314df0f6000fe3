// How the window finds its ports and keeps its log: the settings file names devices and the
// environment overrides it, resting on a port button asks afresh what is there, and a run appends
// its reason and outcome to the log while the message box stays as it is.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <thread>
#include <vector>

#include "message_box_answerer.h"
#include "runlog/run_log.h"
#include "serial/qt/port_settings.h"
#include "ui/port_tooltip.h"
#include "update/protocol.h"
#include "window_rig.h"

namespace flashupdate::testing {
namespace {

TEST(PortSettings, environmentOverridesTheSettingsFileWhichOverridesTheDefault) {
    QTemporaryDir config;
    QFile file(config.filePath(QStringLiteral("flashupdate.conf")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // Com4's NUL would have the system open /dev/ttyUSB2 while /dev/ttyUSB2\x00... is shown.
    file.write(
        "[General]\nCom1=/dev/serial/by-id/usb-adapter\nCom2=/dev/ttyUSB1\n"
        "Com4=/dev/ttyUSB2\\0/dev/ttyUSB3\n");
    file.close();
    qunsetenv("FLASHUPDATE_COM1");
    qunsetenv("FLASHUPDATE_COM4");
    qputenv("FLASHUPDATE_COM2", "/dev/pts/7");
    qputenv("FLASHUPDATE_COM3", "");  // names nothing: the default stands
    const PortMap map = PortMap::fromSettingsAndEnvironment(readPortSettings(file.fileName()));
    qunsetenv("FLASHUPDATE_COM2");
    qunsetenv("FLASHUPDATE_COM3");

    EXPECT_EQ(map.devicePath(1), "/dev/serial/by-id/usb-adapter");
    EXPECT_EQ(map.source(1), PortSource::SettingsFile);
    EXPECT_EQ(map.devicePath(2), "/dev/pts/7");
    EXPECT_EQ(map.source(2), PortSource::Environment);
    EXPECT_EQ(map.devicePath(3), PortMap().devicePath(3));
    EXPECT_EQ(map.source(3), PortSource::Default);
    EXPECT_EQ(map.devicePath(4), "/dev/ttyUSB2\\x00/dev/ttyUSB3");
    EXPECT_EQ(map.source(4), PortSource::SettingsFile);
}

TEST(PortToolTip, saysTheDeviceWhereItsNameComesFromAndWhetherItIsThere) {
    PortMap map;
    map.setDevicePath(2, "/dev/ttyUSB0", PortSource::SettingsFile);
    map.setDevicePath(3, "/dev/pts/7", PortSource::Environment);
    const QString settings = QDir::homePath() + QStringLiteral("/.config/Quenlid/flashupdate.conf");
    EXPECT_EQ(portToolTip(2, map, settings, {"/dev/ttyUSB0: FT232R USB UART", true}),
              QStringLiteral("/dev/ttyUSB0: FT232R USB UART\n"
                             "From the settings file ~/.config/Quenlid/flashupdate.conf\nPresent"));
    EXPECT_EQ(portToolTip(3, map, settings, {"/dev/pts/7", false}),
              QStringLiteral("/dev/pts/7\nFrom the environment variable FLASHUPDATE_COM3\n"
                             "Not present now"));
    EXPECT_EQ(portToolTip(1, map, QStringLiteral("/etc/flashupdate.conf"), {"/dev/ttyS0", false}),
              QStringLiteral("/dev/ttyS0\nThe default (not named in /etc/flashupdate.conf)\n"
                             "Not present now"));
}

TEST(PortToolTip, restingOnAButton_asksAgainWhetherTheDeviceIsThere) {
    QTemporaryDir devices;
    const QString device = devices.filePath(QStringLiteral("ttyUSB9"));
    PortMap map = nowherePorts();
    map.setDevicePath(2, device.toStdString(), PortSource::SettingsFile);
    WindowRig rig({}, {}, "/nonexistent/flashupdate-test", map);
    auto* const com2 = rig.control<QRadioButton>("optCom2");
    const auto rest = [com2] {
        QHelpEvent event(QEvent::ToolTip, QPoint(2, 2), com2->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(com2, &event);
        QToolTip::hideText();
        return com2->toolTip();
    };

    EXPECT_TRUE(rest().endsWith(QStringLiteral("\nNot present now")));
    QFile plugged(device);
    ASSERT_TRUE(plugged.open(QIODevice::WriteOnly));
    EXPECT_EQ(rest(), device + QStringLiteral("\nFrom the settings file ") +
                          homeRelative(portSettingsPath()) + QStringLiteral("\nPresent"));
}

TEST(RunLogPath, underXdgStateHomeWhenAbsoluteOtherwiseUnderHome) {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("HOME"), QStringLiteral("/home/tech"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), QStringLiteral("relative/state"));
    EXPECT_EQ(runLogPath(environment),
              QStringLiteral("/home/tech/.local/state/flashupdate/flashupdate.log"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), QStringLiteral("/var/lib/tech/"));
    EXPECT_EQ(runLogPath(environment), QStringLiteral("/var/lib/tech/flashupdate/flashupdate.log"));
}

// The log's lines, each checked for its time stamp and cut after it.
QStringList loggedEvents(const QString& path) {
    static const QRegularExpression stamp(
        QStringLiteral(R"(^time=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d )"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text)) << path.toStdString();
    QStringList events;
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
        events << line.section(QLatin1Char(' '), 1);
    }
    return events;
}

// A line's value for key, as a logfmt reader takes it: quotes and backslash escapes undone.
QString logfmtValue(const QString& line, const QString& key) {
    const QRegularExpression pair(QStringLiteral(R"re((?:^| )%1=("((?:[^"\\]|\\.)*)"|\S*))re")
                                      .arg(QRegularExpression::escape(key)));
    const QRegularExpressionMatch match = pair.match(line);
    if (!match.hasMatch()) {
        return QStringLiteral("<none>");
    }
    if (!match.captured(1).startsWith('"')) {
        return match.captured(1);
    }
    QString value = match.captured(2);
    value.replace(QRegularExpression(QStringLiteral(R"re(\\(["\\]))re")), QStringLiteral("\\1"));
    return value;
}

TEST(RunLog, diagnosticsCarryTheirRunAndPortWithTheRemedyFoldedIn) {
    QTemporaryDir state;
    const QString path = state.filePath(QStringLiteral("flashupdate/flashupdate.log"));
    RunLog(path, "flashupdate").diagnostic({}, {}, "first");
    RunLog(path, "flashupdate-cli")
        .diagnostic("20261209T014512Z-3fa9c1d2e4b7", "./com2",
                    "cannot open /dev/ttyUSB0: Permission denied\n  Join.");
    EXPECT_EQ(loggedEvents(path),
              QStringList({QStringLiteral("event=diagnostic program=flashupdate text=first"),
                           QStringLiteral("run=20261209T014512Z-3fa9c1d2e4b7 event=diagnostic "
                                          "program=flashupdate-cli port=./com2 text=\"cannot open "
                                          "/dev/ttyUSB0: Permission denied; Join.\"")}));
}

// Many writers at once (the ports of a large call, a window beside it): every line stays whole,
// also one longer than a write buffer. (All of them below the size at which the log rotates.)
TEST(RunLog, linesWrittenAtOnceStayWhole) {
    QTemporaryDir state;
    const QString path = state.filePath(QStringLiteral("flashupdate/flashupdate.log"));
    constexpr int kWriters = 8;
    constexpr int kLines = 3;
    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        writers.emplace_back([&path, writer] {
            RunLog log(path, "flashupdate");
            const std::string line(40'000, static_cast<char>('a' + writer));
            for (int i = 0; i < kLines; ++i) {
                log.diagnostic({}, {}, line);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    const QStringList lines = loggedEvents(path);
    ASSERT_EQ(lines.size(), kWriters * kLines);
    for (const QString& line : lines) {
        const QString text = logfmtValue(line, QStringLiteral("text"));
        ASSERT_EQ(text.size(), 40'000);
        ASSERT_EQ(text.count(text.front()), 40'000) << "lines interleaved";
    }
}

// Past 1 MiB the log moves to .1, the older ones one place on, and only three old ones stay.
TEST(RunLog, pastOneMebibyteTheLogRotatesKeepingThreeOldOnes) {
    QTemporaryDir state;
    const QString path = state.filePath(QStringLiteral("flashupdate.log"));
    RunLog log(path, "flashupdate");
    const std::string filler(64 * 1024, 'x');
    for (int generation = 1; generation <= 5; ++generation) {
        log.diagnostic({}, {}, "generation " + std::to_string(generation));
        while (QFileInfo(path).size() < static_cast<qint64>(RunLog::kRotateBytes)) {
            log.diagnostic({}, {}, filler);
        }
    }
    log.diagnostic({}, {}, "generation 6");
    EXPECT_FALSE(log.failed());
    // The newest first; generations 1 and 2 are gone.
    const QStringList expected{QStringLiteral("generation 6"), QStringLiteral("generation 5"),
                               QStringLiteral("generation 4"), QStringLiteral("generation 3")};
    QStringList found;
    for (const QString& name : {path, path + ".1", path + ".2", path + ".3"}) {
        const QStringList events = loggedEvents(name);
        ASSERT_FALSE(events.isEmpty()) << name.toStdString();
        found << logfmtValue(events.front(), QStringLiteral("text"));
        EXPECT_LE(QFileInfo(name).size(),
                  static_cast<qint64>(RunLog::kRotateBytes + filler.size() + 200));
    }
    EXPECT_EQ(found, expected);
    EXPECT_FALSE(QFileInfo::exists(path + ".4"));
}

// Every field of the record, from the run's own account and what the front end knows; a value
// with a blank, a quote or a byte that is not UTF-8 is quoted and escaped.
TEST(RunLog, recordHoldsEveryFieldOfTheRun) {
    RunRecord run;
    run.runId = "20261209T014512Z-3fa9c1d2e4b7";
    run.frontEnd = "cli";
    run.port = "./com2";
    run.device = "/dev/ttyUSB0";
    run.adapterSerial = "A9XK3LQD";
    run.label = "Rack \"A\" 3";
    run.imagePath = "/srv/P\xff.IMG";
    run.imageBytes = 1000;
    run.imageSha256 = "ab12";
    run.bootLoaderPath = "/usr/share/flashupdate/BOOTLOAD.IMG";
    run.bootLoaderSha256 = "cd34";
    run.attempt = 2;
    run.attempts = 3;
    run.seconds = 29.5;
    run.result.stage = UpdateResult::Stage::Done;
    run.result.cause = UpdateResult::Cause::BadChecksum;
    run.result.erased = UpdateResult::Erased::Yes;
    run.result.reason = "FLASH not updated successfully : BAD CHECKSUM";
    run.result.bytesAnnounced = run.result.bytesSent = 16384;
    run.result.fileCheckSum = 0x3FC000;
    run.result.deviceCheckSum = 0xA;
    const std::string line = runLine(run, "flashupdate-cli");
    EXPECT_TRUE(
        line.starts_with("run=20261209T014512Z-3fa9c1d2e4b7 event=run "
                         "program=flashupdate-cli version=2.03 host=" +
                         QSysInfo::machineHostName().toStdString() + " user="))
        << line;
    const std::string rest =
        " frontend=cli port=./com2 device=/dev/ttyUSB0 adapter_serial=A9XK3LQD "
        "label=\"Rack \\\"A\\\" 3\" image=\"/srv/P\\xff.IMG\" image_bytes=1000 image_sha256=ab12 "
        "bootloader=/usr/share/flashupdate/BOOTLOAD.IMG bootloader_sha256=cd34 attempt=2 "
        "attempts=3 seconds=29.500 outcome=bad-checksum stage=done erased=yes bytes_sent=16384 "
        "bytes_announced=16384 file_checksum=3FC000 instrument_checksum=A power_cycle=false "
        "ended_by=\"\" reason=\"FLASH not updated successfully : BAD CHECKSUM; the instrument is "
        "left erased: update it again before use\" failure=bad-checksum";
    EXPECT_TRUE(line.ends_with(rest)) << line;
}

// A run from "DIRECTORY/program.img,1" whose port will not open.
class LoggedRun : public ::testing::Test {
protected:
    void SetUp() override {
        WindowRig::writeUpdateFiles(m_directory.path(), 100);
        m_rig = std::make_unique<WindowRig>(m_directory.filePath("program.img") + ",1",
                                            m_directory.path(), m_directory.path().toStdString());
        m_rig->port.failOpenings();
    }

    QTemporaryDir m_directory;
    std::unique_ptr<WindowRig> m_rig;
};

// The box says only "Error opening Com Port" and waits for OK as long as the operator takes: the
// reason and the run's line are in the log while it is up, named by the port as the command line
// names its ports.
TEST_F(LoggedRun, portThatWillNotOpen_logsTheReasonAndTheOutcomeBeforeTheBoxWaits) {
    const QString logPath = m_directory.filePath("state/flashupdate/flashupdate.log");
    m_rig->window().setLogPath(logPath);
    QStringList whileTheBoxIsUp;
    QTimer answerer;
    answerer.setInterval(0);
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (QMessageBox* const box = m_rig->boxUp()) {
            whileTheBoxIsUp = loggedEvents(logPath);
            box->button(QMessageBox::Ok)->click();
        }
    });
    answerer.start();
    m_rig->startAndAwaitEnd();

    const QString reason =
        QStringLiteral("Error opening Com Port (cannot open fake:1: injected failure of Open)");
    const QByteArray sha256 =
        QCryptographicHash::hash(QByteArray(100, '\x01'), QCryptographicHash::Sha256).toHex();
    const QStringList logged = loggedEvents(logPath);
    EXPECT_EQ(whileTheBoxIsUp, logged);
    ASSERT_EQ(logged.size(), 2) << logged.join('\n').toStdString();
    const QString run = logfmtValue(logged[1], "run");
    EXPECT_EQ(logfmtValue(logged[0], "run"), run);
    EXPECT_EQ(logfmtValue(logged[0], "event"), "diagnostic");
    EXPECT_EQ(logfmtValue(logged[0], "text"), reason);
    // The window's own part of the record; the rest is the record's, tested above.
    for (const auto& [key, value] : std::vector<std::pair<const char*, QString>>{
             {"frontend", "window"},
             {"port", "Com1"},
             {"device", "/nonexistent/flashupdate-test/com1"},
             {"image_sha256", QString::fromLatin1(sha256)},
             {"bootloader", m_directory.filePath("BOOTLOAD.IMG")},
             {"outcome", "port-error"}}) {
        EXPECT_EQ(logfmtValue(logged[1], key).toStdString(), value.toStdString()) << key;
    }
    EXPECT_EQ(logfmtValue(logged[1], "bootloader_sha256").size(), 64);
}

TEST_F(LoggedRun, logThatCannotBeWritten_isNotedOnceAndTheRunEndsAsBefore) {
    // A file where the log's directory would go: no directory, whoever runs the test.
    QFile blocker(m_directory.filePath("state"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    m_rig->window().setLogPath(m_directory.filePath("state/flashupdate/flashupdate.log"));

    MessageBoxAnswerer answerer;
    ::testing::internal::CaptureStderr();
    m_rig->startAndAwaitEnd();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].text, QStringLiteral("Error opening Com Port"));
    const auto noted = errors.find("cannot write the log");
    EXPECT_NE(noted, std::string::npos) << errors;
    EXPECT_EQ(errors.find("cannot write the log", noted + 1), std::string::npos) << errors;
}

}  // namespace
}  // namespace flashupdate::testing
