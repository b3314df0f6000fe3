// The arithmetic and escaping behind the live line and the JSON stream.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstring>
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
    // The stray byte as the escape "\udcfc", which a script turns back into it (in Python:
    // text.encode("utf-8", "surrogateescape")); the line itself stays valid UTF-8.
    EXPECT_NE(line.find("M\\udcfcller"), std::string::npos) << line;
    EXPECT_EQ(QString::fromUtf8(line).toUtf8().toStdString(), line);
    EXPECT_EQ(object["image"].toString(), QString("/srv/M") + QChar(0xDCFC) + "ller.img");
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

// What a renderer wrote to file, a line each, without the clock.
std::vector<std::string> linesIn(std::FILE* file) {
    std::rewind(file);
    std::vector<std::string> lines;
    for (char line[1024]; std::fgets(line, sizeof line, file) != nullptr;) {
        const std::string text(line, std::strlen(line) - 1);
        lines.push_back(text.size() > 13 && text[2] == ':' ? text.substr(13) : text);
    }
    std::fclose(file);
    return lines;
}

// The events of one port's run as the engine reports them, each with the run's account then,
// half a second apart.
struct Events {
    Events& add(EventKind kind, std::string text = {}) {
        UpdateEvent event;
        event.kind = kind;
        event.text = std::move(text);
        event.result = run;
        event.started = start;
        event.time = start + std::chrono::milliseconds(500) * list.size();
        list.push_back(event);
        return *this;
    }
    Events& stage(Stage stage) {
        run.stage = stage;
        return add(EventKind::Progress);
    }
    std::vector<std::string> shownBy(Verbosity verbosity, bool terminal = false) const {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        PlainRenderer plain({"p"}, out, verbosity, err);
        TerminalRenderer screen({"p"}, out, verbosity, false);
        for (const UpdateEvent& event : list) {
            terminal ? screen.show(event) : plain.show(event);
        }
        std::vector<std::string> lines = linesIn(out);
        for (const std::string& line : linesIn(err)) {
            lines.push_back("err: " + line);
        }
        return lines;
    }

    std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
    UpdateResult run;
    std::vector<UpdateEvent> list;
};

TEST(Verbosity, EachTextOncePerStageQuietOnlyResultsVerboseTimed) {
    // An instrument that never answers the erase: the window sets its status, shows a message
    // box that repeats it, and sets the status again.
    Events silent;
    silent.stage(Stage::BootLoader).add(EventKind::Status, texts::kSendingBootLoader);
    silent.stage(Stage::Erase).add(EventKind::Status, texts::kEraseCommandSent);
    silent.add(EventKind::Status, texts::kFlashNotUpdated)
        .add(EventKind::Message, texts::kProgrammingError)
        .add(EventKind::Status, texts::kFlashNotUpdated)
        .add(EventKind::Result, "Not updated (no-answer)");
    const std::string result = "Not updated (no-answer); 3.5 s (exit status 0)";
    EXPECT_EQ(silent.shownBy(Verbosity::Normal),
              std::vector<std::string>({"[p] Sending Boot Loader", "[p] Erase Command Sent",
                                        "[p] FLASH not Updated", "[p] Programming Error",
                                        "[p] " + result}));
    EXPECT_EQ(silent.shownBy(Verbosity::Quiet), std::vector<std::string>{"[p] " + result});
    EXPECT_EQ(silent.shownBy(Verbosity::Verbose),
              std::vector<std::string>(
                  {"[p] +0.000s boot-loader begins", "[p] +0.500s Sending Boot Loader",
                   "[p] +1.000s boot-loader took 1.000 s; erase begins",
                   "[p] +1.500s Erase Command Sent", "[p] +2.000s FLASH not Updated",
                   "[p] +2.500s Programming Error", "[p] +3.500s " + result}));
}

TEST(Verbosity, DoneIsLeftOutWhenTheSumsAlreadyDisagree) {
    for (const std::uint32_t device : {0x2C5549u, 0x2C554Au}) {
        Events run;
        run.run.fileCheckSum = 0x2C5549;
        run.run.deviceCheckSum = device;
        run.stage(Stage::Checksum).add(EventKind::Status, texts::kDone).stage(Stage::Done);
        EXPECT_EQ(run.shownBy(Verbosity::Normal).size(), device == 0x2C5549u ? 1u : 0u);
    }
}

// A port that will not open: the line gives the reason with its remedy, then the run's account
// repeats it with the message, before the message itself.
TEST(Verbosity, AReasonIsGivenOnceOnEachStream) {
    const std::string reason = "cannot open /dev/ttyX: No such file or directory";
    Events port;
    port.stage(Stage::BootLoader).add(EventKind::Diagnostic, reason + "\n  Check the cable.");
    port.run.cause = UpdateResult::Cause::Port;
    port.run.reason = std::string(texts::kErrorOpeningComPort) + " (" + reason + ")";
    port.add(EventKind::Diagnostic, port.run.reason)
        .add(EventKind::Message, texts::kErrorOpeningComPort);
    EXPECT_EQ(port.shownBy(Verbosity::Normal),
              std::vector<std::string>({"[p] Error opening Com Port",
                                        "err: flashupdate-cli: [p] " + reason,
                                        "err:   Check the cable."}));

    // A file it cannot read: the run's account is the only reason, and on one screen the message
    // it leads with adds nothing.
    Events file;
    file.run.cause = UpdateResult::Cause::File;
    file.run.reason = "Can't find size of /x/A.IMG (/x/A.IMG: No such file or directory)";
    file.add(EventKind::Diagnostic, file.run.reason)
        .add(EventKind::Message, "Can't find size of /x/A.IMG");
    std::vector<std::string> said;
    for (const std::string& line : file.shownBy(Verbosity::Normal, true)) {
        if (line.find("Can't find") != std::string::npos) {
            said.push_back(line.substr(line.find("[p] ")));
        }
    }
    EXPECT_EQ(said, std::vector<std::string>{"[p] " + file.run.reason});
}

TEST(Colour, OnlyOnATerminalThatCanShowItAndNotWhenNoColorIsSet) {
    EXPECT_TRUE(colourAllowed(true, "xterm-256color", nullptr));
    // no-color.org: set to anything but nothing.
    EXPECT_TRUE(colourAllowed(true, "xterm", ""));
    EXPECT_FALSE(colourAllowed(true, "xterm", "1"));
    EXPECT_FALSE(colourAllowed(true, "dumb", nullptr));
    EXPECT_FALSE(colourAllowed(true, nullptr, nullptr));
    EXPECT_FALSE(colourAllowed(false, "xterm", nullptr));
}

const LiveLine kByIdLine{"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XK3LQD-if00-port0",
                         "Sending Program",
                         "[####................]",
                         "2048/10000 bytes",
                         "20%",
                         "0:12 left"};

TEST(LiveLine, TheNameIsShortenedBeforeThePercentageOrTheTimeLeftGo) {
    const struct {
        LiveLine line;
        std::size_t width;
        std::string fitted;
    } cases[] = {
        {{"/dev/ttyUSB0", "waiting", "", "", "", ""}, 79, "/dev/ttyUSB0  waiting"},
        {kByIdLine, 200,
         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XK3LQD-if00-port0  Sending Program  "
         "[####................] 2048/10000 bytes  20%  0:12 left"},
        // 70 columns: the name gives way first, down to its end, and the figures stay.
        {kByIdLine, 69, "...f00-port0  Sending Program  [####................]  20%  0:12 left"},
        {{"/dev/ttyUSB0", "Sending Program", "[####................]", "2048/10000 bytes", "20%",
          "0:12 left"},
         69,
         "/dev/ttyUSB0  Sending Program  [####................]  20%  0:12 left"},
        {kByIdLine, 40, "...f00-port0  Sending Pr  20%  0:12 left"},
        {kByIdLine, 30, "...f00-port0    20%  0:12 left"},
        {kByIdLine, 10, "...0    20"},
    };
    for (const auto& [line, width, fitted] : cases) {
        EXPECT_EQ(fittedLiveLine(line, width), fitted) << width;
        EXPECT_LE(fittedLiveLine(line, width).size(), width);
    }
}

TEST(LiveLine, ATerminalMadeNarrowerWrapsTheOldLinesOverMoreRows) {
    const struct {
        std::vector<std::size_t> lengths;
        std::size_t columns;
        std::size_t rows;
    } cases[] = {
        {{}, 80, 0}, {{79, 20}, 80, 2}, {{79, 20}, 40, 3}, {{119, 119}, 40, 6}, {{40}, 40, 1},
    };
    for (const auto& [lengths, columns, rows] : cases) {
        EXPECT_EQ(rowsTaken(lengths, columns), rows) << columns;
    }
}

}  // namespace
}  // namespace flashupdate::cli
