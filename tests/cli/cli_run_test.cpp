// Whole updates through flashupdate-cli: output, exit status and the bytes on the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <cstdio>
#include <map>
#include <memory>

#include "processes.h"
#include "serial/pty_pair.h"
#include "support/ser2net_process.h"

namespace flashupdate::cli::testing {
namespace {

class CliRun : public CliFixture {
protected:
    // {loader}, {image}, {port} and {dir} in text: the fixture's files, port and directory.
    QString expand(QString text, const QString& port) const {
        return text.replace("{loader}", bootLoaderPath())
            .replace("{image}", imagePath())
            .replace("{port}", port)
            .replace("{dir}", m_dir.path());
    }
};

QStringList linesOf(const QString& text) {
    QStringList lines = text.split('\n');
    lines.removeAll(QString());
    return lines;
}

// What a port's log lines say, without the clock, the port and a verbose run's "+1.234s".
QStringList textsOf(const QString& out, const QString& port) {
    const QRegularExpression line("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[" +
                                  QRegularExpression::escape(port) +
                                  "\\] (\\+\\d+\\.\\d{3}s )?(.*)$");
    QStringList texts;
    for (const QString& each : linesOf(out)) {
        const QRegularExpressionMatch match = line.match(each);
        if (match.hasMatch()) {
            texts << match.captured(2);
        }
    }
    return texts;
}

bool hasLine(const QString& out, const QString& port, const QString& text) {
    return textsOf(out, port).contains(text);
}

// An open-file limit that allows two updates at once: four instruments are all updated, the last
// two after waiting their turn, and nothing aborts.
TEST_F(CliRun, MorePortsThanTheOpenFileLimitAllowsAreAllUpdatedInTurn) {
    std::vector<std::unique_ptr<SimulatorProcess>> instruments;
    QStringList arguments{"-c",
                          "ulimit -n 40 && exec \"$0\" \"$@\"",
                          FLASHUPDATE_CLI_PATH,
                          "--json",
                          "--allow-empty",
                          "--bootloader",
                          bootLoaderPath()};
    for (int i = 0; i < 4; ++i) {
        instruments.push_back(std::make_unique<SimulatorProcess>());
        arguments << "--port" << instruments.back()->device();
    }
    arguments << writeImage(std::string());
    QProcess shell;
    shell.start("sh", arguments);
    ASSERT_TRUE(shell.waitForFinished(180'000));
    CliResult run;
    run.exitCode = shell.exitCode();
    run.out = QString::fromUtf8(shell.readAllStandardOutput());
    run.err = QString::fromUtf8(shell.readAllStandardError());

    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    const QList<QJsonObject> results = jsonEvents(run, "result");
    ASSERT_EQ(results.size(), 4) << run.out.toStdString();
    for (const QJsonObject& result : results) {
        EXPECT_EQ(result["outcome"].toString(), "updated") << run.out.toStdString();
    }
    const QList<QJsonObject> summary = jsonEvents(run, "summary");
    ASSERT_EQ(summary.size(), 1);
    EXPECT_EQ(summary.front()["waited"].toInt(), 2);
}

// "--trace /dev/stdout > run.json", or the trace in the very file the output goes to: both
// share it, each line whole, and neither empties what the other wrote.
TEST_F(CliRun, TraceNamingStandardOutputSharesIt) {
    const QString out = m_dir.filePath("run.json");
    for (const QString& trace : {QString("/dev/stdout"), out}) {
        SCOPED_TRACE(trace.toStdString());
        QProcess process;
        process.setStandardOutputFile(out);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(FLASHUPDATE_CLI_PATH, QStringList{"--json", "--trace", trace} +
                                                update(m_dir.filePath("no-such-tty")));
        ASSERT_TRUE(process.waitForFinished(60'000));
        EXPECT_EQ(process.exitCode(), 4) << process.readAllStandardError().toStdString();
        QFile file(out);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines.front(), "# flashupdate trace 2: seconds port direction baud bytes");
        int results = 0;
        for (const QString& line : lines) {
            if (line.startsWith('#')) {
                continue;
            }
            const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
            EXPECT_FALSE(event.isEmpty()) << line.toStdString();
            results += event["event"].toString() == "result" ? 1 : 0;
        }
        EXPECT_EQ(results, 1);
    }
}

// flashupdate-cli with its standard output on a pseudo-terminal 160 columns wide; the process
// goes with this object.
struct TerminalRun {
    TerminalRun(const QStringList& arguments, const QString& term, bool noColor) {
        winsize size{};
        size.ws_col = 160;
        ::ioctl(terminal.master(), TIOCSWINSZ, &size);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TERM", term);
        environment.remove("NO_COLOR");
        if (noColor) {
            environment.insert("NO_COLOR", "1");
        }
        process.setProcessEnvironment(environment);
        const int screen = ::open(terminal.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        process.setChildProcessModifier([screen] { ::dup2(screen, STDOUT_FILENO); });
        process.start(FLASHUPDATE_CLI_PATH, arguments);
        ::close(screen);
    }
    // Reads the terminal up to the end of the result, which is the last thing written.
    int finish() {
        for (;;) {
            const auto result = output.rfind("(exit status ");
            if (result != std::string::npos && output.find('\n', result) != std::string::npos) {
                break;
            }
            const std::string more = terminal.receive(1, 120'000);
            if (more.empty()) {
                return -1;
            }
            output += more;
        }
        process.waitForFinished(30'000);
        output += terminal.receive(1 << 20, 200);
        return process.exitCode();
    }
    std::size_t count(const std::string& part) const {
        std::size_t found = 0;
        for (auto at = output.find(part); at != std::string::npos; at = output.find(part, at + 1)) {
            ++found;
        }
        return found;
    }

    flashupdate::testing::PtyPair terminal;
    QProcess process;
    std::string output;
};

// A whole update takes half a minute of the line, so these calls run side by side: --json with a
// trace over two instruments (the boot loader found where it lies, the image named relative to
// the working directory), the plain log over two more, one whose reader closes its end, one
// writing to a full disk, one tried again and three on terminals. Another name of the first
// device is refused.
TEST_F(CliRun, CallsSideBySideUpdateEveryInstrumentAndTellItInEachForm) {
    writeFile(m_dir.filePath("BOOTLOAD.IMG"), m_bootLoader);
    SimulatorProcess jsonFirst, jsonSecond, plainFirst, plainSecond, closedReader, fullDisk, held,
        coloured, noColour;
    // Its own image, so that the log's counts below do not depend on how many attempts it took.
    const QString heldImage = m_dir.filePath("HELD.IMG");
    writeFile(heldImage, m_image);
    const int holder = ::open(held.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    CliProcess retried(
        {"--json", "--retries", "3", "-b", bootLoaderPath(), "-p", held.device(), heldImage});
    const bool failed = retried.waitForOutput("\"event\":\"result\"", 30'000);
    ::close(holder);
    ASSERT_TRUE(failed);
    const QString trace = m_dir.filePath("wire.trace");
    CliProcess json({"--json", "--trace", trace, "--bootloader", m_dir.filePath("BOOTLOAD.IMG"),
                     "--port", jsonFirst.device(), "--port", jsonSecond.device(), "PROG.IMG"},
                    m_dir.path());
    CliProcess plain({"--bootloader", bootLoaderPath(), "--port", plainFirst.device(), "--port",
                      plainSecond.device(), imagePath()});
    // The shell's own pipe into "head -1", whose end closes after the first line.
    QProcess headed;
    headed.start("bash",
                 QStringList{"-c", "\"$0\" \"$@\" | head -1 >/dev/null; exit ${PIPESTATUS[0]}",
                             FLASHUPDATE_CLI_PATH}
                     << update(closedReader.device()));
    QProcess full;
    full.setStandardOutputFile("/dev/full");
    full.start(FLASHUPDATE_CLI_PATH, update(fullDisk.device()));
    // In colour, plain for NO_COLOR, and plain lines alone on a dumb terminal.
    TerminalRun colourTerminal(update(coloured.device()), "xterm-256color", false);
    TerminalRun noColourTerminal(update(noColour.device()), "xterm-256color", true);
    TerminalRun dumbTerminal(update(m_dir.filePath("no-such-tty")), "dumb", false);

    const QString alias = m_dir.filePath("instrument-link");
    ASSERT_TRUE(QFile::link(jsonFirst.device(), alias));
    ASSERT_TRUE(jsonFirst.waitForLine("boot loader sync", 30'000));
    // Refused even for root, whom the system's exclusive mode lets through.
    const CliResult refused = runCli({"-b", bootLoaderPath(), "-p", alias, imagePath()});
    EXPECT_EQ(refused.exitCode, 4) << refused.out.toStdString();
    EXPECT_TRUE(refused.err.contains("another program holds the port"))
        << refused.err.toStdString();

    const CliResult jsonRun = json.finish();
    const CliResult plainRun = plain.finish();
    for (QProcess* process : {&headed, &full}) {
        ASSERT_TRUE(process->waitForFinished(120'000));
        EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
        // The update ran to its end; only the output failed (a SIGPIPE would show as 141).
        EXPECT_EQ(process->exitCode(), 1) << process->readAllStandardError().toStdString();
    }
    for (SimulatorProcess* simulator : {&closedReader, &fullDisk}) {
        const std::string received = simulator->receivedAt(9600, 3 + 16384 + 2);
        EXPECT_EQ(received.size(), 3u + 16384u + 2u);
        EXPECT_TRUE(received.ends_with("CX"));
    }
    // The chosen boot loader, not another, went to every instrument, and one session each.
    for (SimulatorProcess* simulator : {&jsonFirst, &jsonSecond, &plainFirst, &plainSecond}) {
        ASSERT_TRUE(simulator->waitForSessionEnd());
        EXPECT_EQ(simulator->receivedSoFar(1200), "\xFF" + m_bootLoader);
        const std::string commands = simulator->receivedSoFar(9600);
        EXPECT_EQ(commands.size(), 1u + 2u + 16384u + 2u);
        EXPECT_EQ(commands.substr(0, 2), "EP");
    }
    const QByteArray sha256 =
        QCryptographicHash::hash(QByteArray::fromStdString(m_image), QCryptographicHash::Sha256)
            .toHex();

    // --json: every line an event of its port, in RFC 3339 time as jq's fromdateiso8601 and
    // Python's fromisoformat read it; the statuses in order, progress rising to the end, and the
    // result last.
    ASSERT_FALSE(jsonRun.crashed);
    EXPECT_EQ(jsonRun.exitCode, 0) << jsonRun.out.toStdString() << jsonRun.err.toStdString();
    std::map<QString, QStringList> statuses;
    std::map<QString, qint64> lastSent;
    std::map<QString, QJsonObject> results;
    for (const QString& line : linesOf(jsonRun.out)) {
        QJsonParseError error{};
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8(), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)")
                        .match(event["time"].toString())
                        .hasMatch())
            << line.toStdString();
        const QString kind = event["event"].toString();
        const QString port = event["port"].toString();
        if (kind == "summary") {
            continue;
        }
        EXPECT_TRUE(port == jsonFirst.device() || port == jsonSecond.device())
            << line.toStdString();
        EXPECT_FALSE(results.contains(port)) << "after the result: " << line.toStdString();
        if (kind == "status") {
            statuses[port] << event["text"].toString();
        } else if (kind == "progress") {
            EXPECT_GT(event["sent"].toInteger(), lastSent[port]);
            EXPECT_EQ(event["total"].toInteger(), 16384);
            lastSent[port] = event["sent"].toInteger();
        } else {
            EXPECT_EQ(kind, "result") << line.toStdString();
            results[port] = event;
        }
    }
    for (SimulatorProcess* simulator : {&jsonFirst, &jsonSecond}) {
        const QString port = simulator->device();
        SCOPED_TRACE(port.toStdString());
        EXPECT_EQ(statuses[port],
                  QStringList({"Sending Boot Loader", "Erase Command Sent", "Memory Erased",
                               "Sending Program", "Requesting Check Sum", "DONE",
                               "FLASH updated successfully"}));
        EXPECT_EQ(lastSent[port], 16384);
        const QJsonObject& last = results[port];
        EXPECT_EQ(last["exit_code"].toInt(), 0);
        EXPECT_EQ(last["outcome"].toString(), "updated");
        // The run's own account: erased and then programmed, every announced byte sent, and the
        // image it read named by its hash.
        EXPECT_EQ(last["stage"].toString(), "done");
        EXPECT_EQ(last["cause"].toString(), "none");
        EXPECT_EQ(last["erased"].toString(), "yes");
        EXPECT_EQ(last["bytes_announced"].toInteger(), 16384);
        EXPECT_EQ(last["bytes_sent"].toInteger(), 16384);
        EXPECT_EQ(last["reason"].toString(), "FLASH updated successfully");
        EXPECT_EQ(last["file_checksum"].toString(), last["device_checksum"].toString());
        EXPECT_FALSE(last["file_checksum"].toString().isEmpty());
        EXPECT_GT(last["seconds"].toDouble(), 20.0);
        EXPECT_EQ(last["sha256"].toString(), sha256);
        // What the run worked with, as the log and a report name it.
        EXPECT_EQ(last["image"].toString(), imagePath());
        EXPECT_EQ(last["image_bytes"].toInteger(), 10000);
        EXPECT_EQ(last["device"].toString(), port);
        EXPECT_TRUE(last["adapter_serial"].isNull());
        EXPECT_TRUE(last["label"].isNull());
        EXPECT_EQ(last["version"].toString(), "2.03");
        EXPECT_EQ(last["boot_loader"].toString(), m_dir.filePath("BOOTLOAD.IMG"));
        EXPECT_EQ(last["run"].toString().size(), 29);
        EXPECT_LE(QDateTime::fromString(last["started"].toString(), Qt::ISODateWithMs),
                  QDateTime::fromString(last["ended"].toString(), Qt::ISODateWithMs));
    }

    // The trace holds exactly what each instrument received, at the speeds it received it, in
    // time order, and what it answered. A person reads it: a few hundred lines for a record,
    // under a header that says what was sent.
    QFile file(trace);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    EXPECT_LT(lines.size(), 2000);
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith("# date ") && lines[1].contains(" program flashupdate-cli "))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("# image ") && lines[2].endsWith("PROG.IMG sha256 " + sha256))
        << lines[2].toStdString();
    std::map<QString, QStringList> stages;
    std::map<std::pair<QString, int>, std::string> sent;
    std::map<QString, std::string> received;
    std::map<QString, double> lastAt;
    for (const QString& line : lines) {
        const QStringList words = line.split(' ');
        if (line.startsWith('#')) {
            if (words.size() == 5 && words[3] == "stage") {
                stages[words[2]] << words[4];
            }
            continue;
        }
        ASSERT_GE(words.size(), 5) << line.toStdString();
        EXPECT_GE(words[0].toDouble(), lastAt[words[1]]) << line.toStdString();
        lastAt[words[1]] = words[0].toDouble();
        std::string bytes;
        for (const QString& hex : words.mid(4)) {
            bytes += static_cast<char>(hex.toInt(nullptr, 16));
        }
        if (words[2] == "sent") {
            sent[{words[1], words[3].toInt()}] += bytes;
        } else {
            EXPECT_EQ(words[2], "received");
            received[words[1]] += bytes;
        }
    }
    EXPECT_EQ(sent.size(), 4u);
    for (SimulatorProcess* simulator : {&jsonFirst, &jsonSecond}) {
        const QString port = simulator->device();
        SCOPED_TRACE(port.toStdString());
        for (const int baud : {1200, 9600}) {
            EXPECT_EQ(firstDifference(simulator->receivedSoFar(baud), sent[{port, baud}]), "");
        }
        // The erase's answer and the four bytes of the checksum.
        EXPECT_EQ(received[port].size(), 5u);
        EXPECT_EQ(received[port].front(), 'E');
        EXPECT_EQ(stages[port],
                  QStringList({"boot-loader", "erase", "program", "checksum", "done"}));
    }

    // The plain log: the window's texts, trimmed; the result with both sums and the time.
    ASSERT_FALSE(plainRun.crashed) << plainRun.err.toStdString();
    EXPECT_EQ(plainRun.exitCode, 0) << plainRun.out.toStdString() << plainRun.err.toStdString();
    for (const QString& port : {plainFirst.device(), plainSecond.device()}) {
        EXPECT_TRUE(hasLine(plainRun.out, port, "Sending Boot Loader"))
            << plainRun.out.toStdString();
        EXPECT_TRUE(hasLine(plainRun.out, port, "16384 of 16384 bytes sent"));
        EXPECT_TRUE(hasLine(plainRun.out, port, "FLASH updated successfully"));
        EXPECT_TRUE(QRegularExpression("\\[" + QRegularExpression::escape(port) +
                                       "\\] Updated; checksum ([0-9A-F]+) \\(instrument \\1\\), "
                                       "\\d+\\.\\d s \\(exit status 0\\)\n")
                        .match(plainRun.out)
                        .hasMatch())
            << plainRun.out.toStdString();
    }
    EXPECT_TRUE(hasLine(plainRun.out, "all", "2 of 2 updated")) << plainRun.out.toStdString();
    // Every line is a log line: nothing for a terminal leaks into a pipe.
    for (const QString& line : linesOf(plainRun.out)) {
        EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[[^]]+\\] \\S")
                        .match(line)
                        .hasMatch())
            << line.toStdString();
    }
    // One update takes the procedure's waits and the line time, about 26 s; one after the other
    // would take 52. The bound leaves room for a busy machine.
    EXPECT_LT(plainRun.seconds, 48.0);

    // A terminal shows the live line with its bar at each count the run reports, with the time
    // still to go, and the result once, not again as a live line.
    EXPECT_EQ(dumbTerminal.finish(), 4);
    // Only the plain log lines: nothing that moves the cursor, nothing in colour.
    EXPECT_EQ(dumbTerminal.output.find('\x1b'), std::string::npos) << dumbTerminal.output;
    for (TerminalRun* run : {&colourTerminal, &noColourTerminal}) {
        const bool colour = run == &colourTerminal;
        SCOPED_TRACE(colour ? "coloured" : "NO_COLOR=1");
        ASSERT_EQ(run->finish(), 0) << run->output;
        EXPECT_GT(run->count("  [##########..........] 8192/16384 bytes  50%  0:"), 0u)
            << run->output;
        EXPECT_GT(run->count("  [####################] 16384/16384 bytes  100%  0:"), 0u);
        EXPECT_EQ(run->count("Updated; checksum "), 1u) << run->output;
        EXPECT_EQ(run->count("\x1b[32mUpdated; checksum "), colour ? 1u : 0u);
        EXPECT_EQ(run->count("\x1b[0m"), colour ? 1u : 0u);
    }

    // Another program holds the port until the first attempt has ended; the last is an update.
    const CliResult retriedRun = retried.finish();
    EXPECT_EQ(retriedRun.exitCode, 0) << retriedRun.out.toStdString();
    QStringList attempts;
    for (const QJsonObject& event : jsonEvents(retriedRun, "result")) {
        attempts << QString("%1 %2").arg(event["outcome"].toString(),
                                         event["last"].toBool() ? "last" : "again");
    }
    // The lock is let go within the 3 s pause, unless the machine is very busy.
    ASSERT_GE(attempts.size(), 2) << retriedRun.out.toStdString();
    EXPECT_EQ(attempts.front(), "port-error again");
    EXPECT_EQ(attempts.back(), "updated last");
    EXPECT_EQ(jsonEvents(retriedRun, "result").back()["attempt"].toInt(), attempts.size());
    // A file error is never tried again.
    const CliResult fileError = runCli({"--retries", "3", "-b", bootLoaderPath(), "-p",
                                        held.device(), m_dir.filePath("NONE.IMG")});
    EXPECT_EQ(fileError.exitCode, 3);
    EXPECT_EQ(fileError.out.count("exit status"), 1) << fileError.out.toStdString();
    EXPECT_TRUE(fileError.out.contains("(attempt 1 of 4, exit status 3)"))
        << fileError.out.toStdString();

    // Every run in the log of runs, as the window writes it, each with its port's name.
    QFile log(qEnvironmentVariable("XDG_STATE_HOME") + "/flashupdate/flashupdate.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    for (const QString& port : {plainFirst.device(), plainSecond.device()}) {
        EXPECT_TRUE(logged.contains(" port=" + port + " device=" + port + " "))
            << logged.toStdString();
    }
    // The terminals' three runs are of the fixture's image too.
    EXPECT_EQ(logged.count(" image=" + imagePath() + " image_bytes=10000 image_sha256="), 10);
    EXPECT_EQ(logged.count(" outcome=updated stage=done erased=yes bytes_sent=16384 "), 9);
}

// Each way a run can end, with its own exit status and the texts that say why; the arguments and
// texts as CliRun::expand reads them.
struct Ending {
    const char* name;
    const char* fault;  // the instrument's; nullptr: no instrument, the port names no device
    const char* arguments;
    int exitCode;
    QString message;     // logged for the port, or a --json run's only message event
    QString diagnostic;  // on standard error, unless empty
};

const Ending kEndings[] = {
    {"SilentInstrumentIsNoAnswer", "erase-silent", "--json -b {loader} -p {port} {image}", 5,
     "Programming Error\r\nFLASH not Updated", ""},
    {"MissingImageIsAFileError", nullptr, "-b {loader} -p {port} {dir}/NONE.IMG", 3,
     "Can't find size of {dir}/NONE.IMG", ""},
    {"MissingBootLoaderIsAFileError", nullptr, "-b {dir}/gone.bin -p {port} {image}", 3,
     "Can't find Boot Loaders", "{dir}/gone.bin"},
    {"QuietBadChecksumTellsOnlyTheResult", "bad-checksum", "-q -b {loader} -p {port} {image}", 6,
     "Not updated (bad-checksum)", ""},
    {"VerboseMissingDeviceTimesEveryLine", nullptr, "-v -b {loader} -p {port} {image}", 4,
     "Error opening Com Port", "cannot open {port}"},
};

// The rows with an instrument take up to half a minute of the line each: all run at once.
TEST_F(CliRun, EachEndingExitsWithItsStatusAndSaysWhy) {
    struct Run {
        std::unique_ptr<SimulatorProcess> simulator;
        QString port;
        QStringList arguments;
        std::unique_ptr<CliProcess> cli;
    };
    std::vector<Run> runs;
    for (const Ending& ending : kEndings) {
        Run& run = runs.emplace_back();
        run.port = m_dir.filePath("no-such-tty");
        if (ending.fault != nullptr) {
            run.simulator = std::make_unique<SimulatorProcess>(
                std::vector<std::string>{"--fault", ending.fault});
            run.port = run.simulator->device();
        }
        for (const QString& argument : QString(ending.arguments).split(' ')) {
            run.arguments << expand(argument, run.port);
        }
        run.cli = std::make_unique<CliProcess>(run.arguments);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Ending& ending = kEndings[i];
        const Run& run = runs[i];
        SCOPED_TRACE(ending.name);
        const CliResult result = run.cli->finish();
        const QString message = expand(ending.message, run.port);
        EXPECT_FALSE(result.crashed) << result.err.toStdString();
        EXPECT_EQ(result.exitCode, ending.exitCode) << result.out.toStdString();
        const bool verbose = run.arguments.contains("-v");
        const bool json = run.arguments.contains("--json");
        if (!json) {
            const QStringList texts = textsOf(result.out, run.port);
            // Every line is the port's, each text said once, and no "DONE" before a failure.
            EXPECT_EQ(texts.size(), linesOf(result.out).size()) << result.out.toStdString();
            EXPECT_EQ(texts.size(), QSet<QString>(texts.begin(), texts.end()).size())
                << result.out.toStdString();
            EXPECT_FALSE(texts.contains("DONE")) << result.out.toStdString();
            if (verbose) {
                EXPECT_EQ(result.out.count(QRegularExpression("\\] \\+\\d+\\.\\d{3}s ")),
                          texts.size())
                    << result.out.toStdString();
            }
        }
        if (run.arguments.contains("-q")) {
            // The result alone.
            EXPECT_EQ(linesOf(result.out).size(), 1) << result.out.toStdString();
            EXPECT_TRUE(result.out.contains("] " + message + ";")) << result.out.toStdString();
            EXPECT_TRUE(result.err.isEmpty()) << result.err.toStdString();
            continue;
        }
        if (json) {
            // The message intact, line break and all.
            QStringList messages;
            for (const QJsonObject& event : jsonEvents(result, "message")) {
                messages << event["text"].toString();
            }
            EXPECT_EQ(messages, QStringList{message}) << result.out.toStdString();
        } else {
            EXPECT_TRUE(hasLine(result.out, run.port, message)) << result.out.toStdString();
        }
        // A verbose log tells the whole run, diagnostics and all, on one stream.
        EXPECT_TRUE(
            (verbose ? result.out : result.err).contains(expand(ending.diagnostic, run.port)))
            << result.out.toStdString() << result.err.toStdString();
    }
}

// Calls that end before any line time, each with its status and what it says on each stream;
// the arguments and texts as CliRun::expand reads them, {port} an instrument that must receive
// nothing and {free} a loopback port where no server listens.
struct Call {
    const char* arguments;
    int exitCode;
    std::vector<const char*> out;  // each on standard output
    const char* err = "";          // on standard error
    bool whole = false;            // out's one text is all of standard output
};

const Call kCalls[] = {
    // The manual's promise: a trace that cannot be written is never a success, and it says why.
    {"--trace /dev/full -b {loader} -p {dir}/no-such-tty {image}",
     1,
     {},
     "cannot write the trace /dev/full: No space left on device"},
    // The window pads a short boot loader silently; the command line says what it sends instead.
    {"--dry-run -b {dir}/short.bin -p {dir}/no-such-tty {image}",
     4,
     {},
     "flashupdate-cli: warning: the boot loader {dir}/short.bin is 500 bytes, shorter than the "
     "511 the instrument takes; it is sent with 11 bytes of 0xFF after it"},
    // An empty boot loader would go out as 512 filler bytes for the instrument to run.
    {"-b {dir}/EMPTY.BIN -p {port} {image}",
     3,
     {"[{port}] Can't find Boot Loaders\n"},
     "the file is empty"},
    // An empty image would leave the instrument erased with nothing programmed.
    {"-b {loader} -p {port} {dir}/EMPTY.BIN",
     3,
     {},
     "the image is empty: an update would erase the instrument and program nothing"},
    {"--dry-run -b {loader} -p {port} {dir}/EMPTY.BIN",
     3,
     {},
     "the image is empty: an update would erase the instrument and program nothing"},
    // An image larger than the instrument takes: its size and the limit, and no port opened.
    {"-b {loader} -p {port} {dir}/HUGE.IMG",
     3,
     {""},
     "flashupdate-cli: File too large: {dir}/HUGE.IMG (393217 bytes, more than the 393216 the "
     "instrument takes: 24 records of 16384 bytes)",
     true},
    // A dry run opens every port; the one that does not open decides the status, as it would
    // stop that update.
    {"--dry-run -b {loader} -p {port} -p {dir}/no-such-tty {image}",
     4,
     {"[{port}] {port} opens; an update would send 1 record (16384 bytes), about 0:30 on the line",
      "[{dir}/no-such-tty] cannot open {dir}/no-such-tty"}},
    {"-n -b {dir}/gone.bin -p {port} {image}", 3, {}},
    // An image it cannot read: said once, the path named once, and nothing promised of an update.
    {"-n -b {loader} -p {port} {dir}/GONE.IMG",
     3,
     {"Can't find size of {dir}/GONE.IMG (No such file or directory)\n[{port}] {port} opens\n"},
     "",
     true},
    // Usage errors: nothing on standard output, and the way to --help on standard error.
    {"", 2, {""}, "--help", true},
    {"{image}", 2, {""}, "--help", true},
    {"--port 5 {image}", 2, {""}, "--help", true},
    {"--port 0 {image}", 2, {""}, "--help", true},
    {"--port", 2, {""}, "--help", true},
    {"--port 1 --colour {image}", 2, {""}, "--help", true},
    {"--port 1 {image} {image}", 2, {""}, "--help", true},
    {"--port 1 --port 1 {image}", 2, {""}, "--help", true},
    {"-p COM1 {image}", 2, {""}, "--help", true},
    {"--list-ports -p 1", 2, {""}, "--help", true},
    // Well formed, but no such adapter is plugged in: a port error that lists what is there.
    {"-p usb:0403:6001:NO-SUCH-SERIAL {image}",
     4,
     {},
     "no serial device matches usb:0403:6001:NO-SUCH-SERIAL; "},
    {"--help", 0, {"Exit status", "130"}},
    // Short options bundle as everywhere else.
    {"-nV", 0, {"flashupdate-cli 2."}},
    // No server, or no such host: a port error within seconds, and the instrument not erased.
    {"--json -b {loader} -p rfc2217://127.0.0.1:{free} {image}",
     4,
     {"cannot open rfc2217://127.0.0.1:{free}", "\"erased\":\"no\""}},
    {"--json -b {loader} -p rfc2217://no-such-host.invalid:4001 {image}",
     4,
     {"cannot open rfc2217://no-such-host.invalid:4001", "\"erased\":\"no\""}},
};

TEST_F(CliRun, CallsThatSendNothingExitWithTheirStatusAndSayWhy) {
    SimulatorProcess instrument;
    writeFile(m_dir.filePath("short.bin"), randomBytes(500, 13));
    writeFile(m_dir.filePath("EMPTY.BIN"), "");
    writeFile(m_dir.filePath("HUGE.IMG"), std::string(24 * 16384 + 1, '\xFF'));
    const QString free = QString::number(flashupdate::testing::freeLoopbackPort());
    const auto expanded = [&](const char* text) {
        return expand(text, instrument.device()).replace("{free}", free);
    };
    for (const Call& call : kCalls) {
        SCOPED_TRACE(call.arguments);
        const CliResult result = runCli(expanded(call.arguments).split(' ', Qt::SkipEmptyParts));
        ASSERT_FALSE(result.crashed) << result.err.toStdString();
        EXPECT_EQ(result.exitCode, call.exitCode) << result.out.toStdString();
        for (const char* out : call.out) {
            EXPECT_TRUE(call.whole ? result.out == expanded(out)
                                   : result.out.contains(expanded(out)))
                << result.out.toStdString();
        }
        EXPECT_TRUE(result.err.contains(expanded(call.err))) << result.err.toStdString();
        EXPECT_LT(result.seconds, 10.0);
    }
    // Anything sent would have reached the simulator by now.
    QThread::msleep(flashupdate::testing::kStragglersMs);
    EXPECT_TRUE(instrument.transcript().empty());
}

// The settings file names Com2 and Com3; the environment overrides Com2 with a device that is
// there; Com4 stays the platform's default. The listing says so, and a port number names the
// device the listing gives for it.
TEST_F(CliRun, ListPortsJsonTellsWhereEachComEntryComesFromAndAPortNumberUsesIt) {
    const QString configHome = m_dir.filePath("config");
    QDir().mkpath(configHome + "/Quenlid");
    writeFile(configHome + "/Quenlid/flashupdate.conf",
              "[General]\nCom2=/dev/nowhere-settings\nCom3=" +
                  m_dir.filePath("gone").toStdString() + "\n");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", configHome);
    environment.insert("FLASHUPDATE_COM2", imagePath());
    environment.remove("FLASHUPDATE_COM3");
    environment.remove("FLASHUPDATE_COM4");
    process.setProcessEnvironment(environment);
    process.start(FLASHUPDATE_CLI_PATH,
                  {"--bootloader", bootLoaderPath(), "--port", "3", imagePath()});
    ASSERT_TRUE(process.waitForFinished(30'000));
    EXPECT_EQ(process.exitCode(), 4);
    EXPECT_TRUE(hasLine(QString::fromUtf8(process.readAllStandardOutput()), "Com3",
                        "Error opening Com Port"));
    EXPECT_TRUE(QString::fromUtf8(process.readAllStandardError()).contains(m_dir.filePath("gone")));

    process.start(FLASHUPDATE_CLI_PATH, {"--list-ports", "-j"});
    ASSERT_TRUE(process.waitForFinished(30'000));
    EXPECT_EQ(process.exitCode(), 0);
    QJsonParseError error;
    const QJsonObject listing =
        QJsonDocument::fromJson(process.readAllStandardOutput(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_TRUE(listing["devices"].isArray());
    EXPECT_EQ(listing["settings_file"].toString(), configHome + "/Quenlid/flashupdate.conf");
    const QJsonArray ports = listing["ports"].toArray();
    ASSERT_EQ(ports.size(), 4);
    EXPECT_EQ(ports[1]["device"].toString(), imagePath());
    EXPECT_EQ(ports[1]["source"].toString(), "environment");
    EXPECT_TRUE(ports[1]["exists"].toBool());
    EXPECT_EQ(ports[2]["device"].toString(), m_dir.filePath("gone"));
    EXPECT_EQ(ports[2]["source"].toString(), "settings file");
    EXPECT_FALSE(ports[2]["exists"].toBool());
    EXPECT_EQ(ports[3]["name"].toString(), "Com4");
    EXPECT_EQ(ports[3]["source"].toString(), "default");
}

// Names are anybody's bytes: an image and a Com2 device whose names hold a colour sequence, a
// bell, an OSC title, a C1 control, a line feed and a byte that is not UTF-8. The log and
// --list-ports show them escaped, with nothing a terminal would obey, and the log names the file.
TEST_F(CliRun, HostileNamesAreEscapedInTheLogAndInTheListOfPorts) {
    const std::string hostile = "\x1b[31m\x07\x1b]0;owned\x07\xc2\x9b\n\xff";
    const std::string escaped = "\\x1b[31m\\x07\\x1b]0;owned\\x07\\x9b\\n";
    const std::string directory = m_dir.path().toStdString();
    const std::string image = directory + "/FW" + hostile + ".IMG";
    writeFile(image, m_image);
    // Through the environment: a QProcess argument is text, and 0xff is not UTF-8.
    qputenv("FLASHUPDATE_COM2", QByteArray::fromStdString(directory + "/tty" + hostile));
    qputenv("HOSTILE_IMAGE", QByteArray::fromStdString(image));
    struct Unset {
        const std::string& image;
        ~Unset() {
            qunsetenv("FLASHUPDATE_COM2");
            qunsetenv("HOSTILE_IMAGE");
            // The temporary directory cannot remove a file whose name is not UTF-8.
            std::remove(image.c_str());
        }
    } unset{image};
    QProcess update;
    update.start("sh", {"-c", "exec \"$0\" -b \"$1\" -p 2 \"$HOSTILE_IMAGE\"", FLASHUPDATE_CLI_PATH,
                        bootLoaderPath()});
    ASSERT_TRUE(update.waitForFinished(60'000));
    EXPECT_EQ(update.exitCode(), 4) << update.readAllStandardError().toStdString();
    QProcess list;
    list.start(FLASHUPDATE_CLI_PATH, {"--list-ports"});
    ASSERT_TRUE(list.waitForFinished(30'000));
    const QByteArray listing = list.readAllStandardOutput();

    const auto obeyed = [](const QByteArray& text) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
            if ((byte < 0x20 && byte != '\n') || byte == 0x7F ||
                (byte == 0xC2 && next >= 0x80 && next <= 0x9F)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_FALSE(obeyed(listing)) << listing.toStdString();
    EXPECT_TRUE(listing.contains(QByteArray::fromStdString(
        "\n  2  Com2  " + directory + "/tty" + escaped + "\\xff  (environment, missing)\n")))
        << listing.toStdString();

    const std::string device = directory + "/tty" + escaped + "\\xff";
    const std::string sha256 =
        QCryptographicHash::hash(QByteArray::fromStdString(m_image), QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    // The names quoted, for the line feed became "\n" and a quote or backslash would be doubled.
    const std::string runFields = " port=2 device=\"" + device +
                                  "\" adapter_serial=\"\" label=\"\" image=\"" + directory + "/FW" +
                                  escaped + "\\xff.IMG\" image_bytes=10000 image_sha256=" + sha256;
    const std::string reason = " reason=\"Error opening Com Port (cannot open " + device +
                               ": No such file or directory); the instrument is not erased\"";
    QFile log(qEnvironmentVariable("XDG_STATE_HOME") + "/flashupdate/flashupdate.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    QByteArrayList named;
    for (const QByteArray& line : log.readAll().split('\n')) {
        if (line.contains("owned")) {
            named << line;
            EXPECT_FALSE(obeyed(line)) << line.toStdString();
            EXPECT_EQ(QString::fromUtf8(line).toUtf8(), line)
                << "not UTF-8: " << line.toStdString();
        }
    }
    // The reason with its remedy, the failure, and the run.
    ASSERT_EQ(named.size(), 3) << named.join('\n').toStdString();
    EXPECT_TRUE(named[2].contains(QByteArray::fromStdString(runFields))) << named[2].toStdString();
    EXPECT_TRUE(named[2].endsWith(QByteArray::fromStdString(reason + " failure=missing")))
        << named[2].toStdString();
}

}  // namespace
}  // namespace flashupdate::cli::testing
