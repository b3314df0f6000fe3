// The arithmetic and escaping behind the live line and the JSON stream.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/renderers.h"
#include "cli/text_formats.h"
#include "update/protocol.h"
#include "update/texts.h"

namespace flashupdate::cli {
namespace {

using std::chrono::milliseconds;
using Stage = UpdateResult::Stage;
using Erased = UpdateResult::Erased;

TEST(TimeLeft, AfterTheLastRecordOnlyTheClosingWaitsRemain) {
    EXPECT_EQ(timeLeft(Stage::Program, Erased::Yes, 49152, 49152), milliseconds(3000));
    EXPECT_EQ(timeLeft(Stage::Checksum, Erased::Yes, 49152, 49152), milliseconds(3000));
}

TEST(TimeLeft, RecordsLeftGoAtNineHundredSixtyBytesASecond) {
    // One record left: its command, block number and 16384 data bytes.
    EXPECT_EQ(timeLeft(Stage::Program, Erased::Yes, 32768, 49152),
              milliseconds(16386 * 1000 / 960 + 3000));
}

TEST(TimeLeft, EarlierStagesCountEveryWaitAhead) {
    const auto erasing = timeLeft(Stage::Erase, Erased::Maybe, 0, 16384);
    const auto erased = timeLeft(Stage::Erase, Erased::Yes, 0, 16384);
    const auto booting = timeLeft(Stage::BootLoader, Erased::No, 0, 16384);
    EXPECT_EQ(erasing - erased, milliseconds(1000 + 100));
    // 512 boot bytes at 120 bytes a second, then 2 s to start and 1 s after the reopening.
    EXPECT_EQ(booting - erasing, milliseconds(512 * 1000 / 120 + 3000));
    EXPECT_EQ(timeLeft(Stage::Done, Erased::Yes, 16384, 16384), milliseconds(0));
}

TEST(Records, AnImageMakesWholeRecords) {
    EXPECT_EQ(protocol::recordsFor(1), 1u);
    EXPECT_EQ(protocol::recordsFor(16384), 1u);
    EXPECT_EQ(protocol::recordsFor(16385), 2u);
    EXPECT_EQ(protocol::recordsFor(0), 0u);
}

TEST(JsonText, EveryLineIsValidJsonWhateverTheBytesOfANameAre) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    // A message with its line break, quotes and a control character, and a Latin-1 file name.
    writeJsonLine(QJsonObject{{"text", jsonText(" Programming Error\r\nFLASH \"not\" \\\x01")},
                              {"image", jsonText("/srv/M\xFCller.img")},
                              {"sha256", jsonTextOrNull("")}},
                  out);
    std::rewind(out);
    char buffer[512] = {};
    const std::size_t read = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    const std::string line(buffer, read);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one object, one line";
    QJsonParseError error{};
    const QJsonObject object =
        QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
    EXPECT_EQ(object["text"].toString(), QString(" Programming Error\r\nFLASH \"not\" \\\x01"));
    EXPECT_EQ(object["image"].toString(), QString::fromUtf8("/srv/M\uFFFDller.img"));
    EXPECT_TRUE(object["sha256"].isNull());
}

TEST(PrintableText, ControlCharactersInNamesCannotSteerTheTerminal) {
    // An escape sequence, a bell, a line feed, DEL and a C1 control (CSI) in a file name;
    // UTF-8 letters and backslashes stay as they are.
    EXPECT_EQ(printable("/tmp/\x1b[2J\a\nM\xC3\xBCller\x7F\xC2\x9B\\x.img"),
              "/tmp/\\x1b[2J\\x07\\nM\xC3\xBCller\\x7f\\x9b\\x.img");
    EXPECT_EQ(printableLines("cannot open /dev/tty\x1b:\n  Remedy."),
              "cannot open /dev/tty\\x1b:\n  Remedy.");
}

// What a renderer wrote, a line each, without the clock and the port: "[PORT] " and what follows.
class Written {
public:
    Written() : m_file(std::tmpfile()) {}
    ~Written() { std::fclose(m_file); }
    Written(const Written&) = delete;
    Written& operator=(const Written&) = delete;
    std::FILE* file() const { return m_file; }
    std::vector<std::string> lines() const {
        std::rewind(m_file);
        std::vector<std::string> lines;
        char buffer[1024];
        while (std::fgets(buffer, sizeof buffer, m_file) != nullptr) {
            std::string line(buffer);
            line.pop_back();
            // "14:03:27.045 " before the port; diagnostics on their own stream have none.
            if (line.size() > 13 && line[2] == ':' && line[12] == ' ') {
                line.erase(0, 13);
            }
            lines.push_back(line);
        }
        return lines;
    }

private:
    std::FILE* m_file;
};

// The events of one port's run as the engine reports them, each with the run's account then.
class Events {
public:
    Events& stage(Stage stage) {
        m_run.stage = stage;
        return add(EventKind::Progress, "");
    }
    Events& status(const char* text) { return add(EventKind::Status, text); }
    Events& message(const char* text) { return add(EventKind::Message, text); }
    Events& diagnostic(const std::string& text) { return add(EventKind::Diagnostic, text); }
    Events& fails(UpdateResult::Cause cause, const std::string& reason) {
        m_run.cause = cause;
        m_run.reason = reason;
        return *this;
    }
    Events& sums(std::uint32_t file, std::uint32_t device) {
        m_run.fileCheckSum = file;
        m_run.deviceCheckSum = device;
        return *this;
    }
    Events& result(int exitCode, const char* text) {
        add(EventKind::Result, text);
        m_events.back().exitCode = exitCode;
        m_events.back().started = m_start;
        return *this;
    }
    void showTo(Renderer& renderer) const {
        for (const UpdateEvent& event : m_events) {
            renderer.show(event);
        }
    }

private:
    Events& add(EventKind kind, std::string text) {
        UpdateEvent event;
        event.kind = kind;
        event.text = std::move(text);
        event.result = m_run;
        // Half a second between events, so the verbose times are known.
        event.time = m_start + std::chrono::milliseconds(500) * m_events.size();
        m_events.push_back(event);
        return *this;
    }

    std::chrono::system_clock::time_point m_start = std::chrono::system_clock::now();
    UpdateResult m_run;
    std::vector<UpdateEvent> m_events;
};

// An instrument that never answers the erase: the window sets its status, shows a message box
// that repeats it, and sets the status again.
Events silentInstrument() {
    Events run;
    run.stage(Stage::BootLoader)
        .status(texts::kSendingBootLoader)
        .stage(Stage::Erase)
        .status(texts::kEraseCommandSent)
        .status(texts::kFlashNotUpdated)
        .fails(UpdateResult::Cause::NoAnswer, texts::kProgrammingError)
        .message(texts::kProgrammingError)
        .status(texts::kFlashNotUpdated)
        .result(5, "Not updated (no-answer)");
    return run;
}

TEST(Verbosity, EachTextOncePerStageQuietOnlyResultsVerboseTimed) {
    Written normal;
    PlainRenderer normalOutput({"p"}, normal.file());
    silentInstrument().showTo(normalOutput);
    EXPECT_EQ(normal.lines(),
              std::vector<std::string>({"[p] Sending Boot Loader", "[p] Erase Command Sent",
                                        "[p] FLASH not Updated", "[p] Programming Error",
                                        "[p] Not updated (no-answer); 3.5 s "
                                        "(exit status 5)"}));

    Written quiet;
    PlainRenderer quietOutput({"p"}, quiet.file(), Verbosity::Quiet);
    silentInstrument().showTo(quietOutput);
    quietOutput.summary({}, 0);
    ASSERT_EQ(quiet.lines().size(), 2u);
    EXPECT_EQ(quiet.lines()[0], "[p] Not updated (no-answer); 3.5 s (exit status 5)");
    EXPECT_EQ(quiet.lines()[1].substr(0, 6), "[all] ");

    Written verbose;
    PlainRenderer verboseOutput({"p"}, verbose.file(), Verbosity::Verbose);
    silentInstrument().showTo(verboseOutput);
    EXPECT_EQ(
        verbose.lines(),
        std::vector<std::string>(
            {"[p] +0.000s boot-loader begins", "[p] +0.500s Sending Boot Loader",
             "[p] +1.000s boot-loader took 1.000 s; erase begins", "[p] +1.500s Erase Command Sent",
             "[p] +2.000s FLASH not Updated", "[p] +2.500s Programming Error",
             "[p] +3.500s Not updated (no-answer); 3.5 s "
             "(exit status 5)"}));
}

TEST(Verbosity, DoneIsLeftOutWhenTheSumsAlreadyDisagree) {
    for (const std::uint32_t device : {0x2C5549u, 0x2C554Au}) {
        Events run;
        run.stage(Stage::Checksum)
            .status(texts::kRequestingCheckSum)
            .sums(0x2C5549, device)
            .status(texts::kDone)
            .stage(Stage::Done);
        Written out;
        PlainRenderer output({"p"}, out.file());
        run.showTo(output);
        const std::vector<std::string> said = out.lines();
        EXPECT_EQ(said.back() == "[p] DONE", device == 0x2C5549u) << said.back();
    }
}

// A port that will not open: the line gives the reason with its remedy, then the run's account
// repeats it with the message before the message itself.
TEST(Verbosity, AReasonIsGivenOnceOnEachStream) {
    const std::string reason = "cannot open /dev/ttyX: No such file or directory";
    const std::string account = std::string(texts::kErrorOpeningComPort) + " (" + reason + ")";
    Events portFails;
    portFails.stage(Stage::BootLoader)
        .diagnostic(reason + "\n  Check the cable.")
        .fails(UpdateResult::Cause::Port, account)
        .diagnostic(account)
        .message(texts::kErrorOpeningComPort)
        .result(4, "Not updated (port-error)");
    Written out;
    Written err;
    PlainRenderer plain({"p"}, out.file(), Verbosity::Normal, err.file());
    portFails.showTo(plain);
    EXPECT_EQ(out.lines(), std::vector<std::string>({"[p] Error opening Com Port",
                                                     "[p] Not updated (port-error); 2.0 s "
                                                     "(exit status 4)"}));
    EXPECT_EQ(err.lines(),
              std::vector<std::string>({"flashupdate-cli: [p] " + reason, "  Check the cable."}));

    // A file the run cannot read: its account is the only reason, and on one screen the message
    // it leads with adds nothing.
    const std::string missing = "Can't find size of /x/A.IMG (/x/A.IMG: No such file or directory)";
    Events fileFails;
    fileFails.fails(UpdateResult::Cause::File, missing)
        .diagnostic(missing)
        .message("Can't find size of /x/A.IMG")
        .result(3, "Not updated (file-error)");
    Written screen;
    TerminalRenderer terminal({"p"}, screen.file(), Verbosity::Normal, false);
    fileFails.showTo(terminal);
    std::string shown;
    for (const std::string& line : screen.lines()) {
        shown += line + "\n";
    }
    EXPECT_NE(shown.find("[p] " + missing + "\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("[p] Can't find size of /x/A.IMG\n"), std::string::npos) << shown;
}

TEST(Colour, OnlyOnATerminalThatCanShowItAndNotWhenNoColorIsSet) {
    EXPECT_TRUE(colourAllowed(true, "xterm-256color", nullptr));
    // no-color.org: set to anything but nothing.
    EXPECT_TRUE(colourAllowed(true, "xterm", ""));
    EXPECT_FALSE(colourAllowed(true, "xterm", "1"));
    EXPECT_FALSE(colourAllowed(true, "xterm", "false"));
    EXPECT_FALSE(colourAllowed(true, "dumb", nullptr));
    EXPECT_FALSE(colourAllowed(true, nullptr, nullptr));
    EXPECT_FALSE(colourAllowed(false, "xterm", nullptr));
    EXPECT_TRUE(liveOutputPossible(true, "xterm"));
    EXPECT_FALSE(liveOutputPossible(true, "dumb"));
    EXPECT_FALSE(liveOutputPossible(false, "xterm"));
}

}  // namespace
}  // namespace flashupdate::cli
