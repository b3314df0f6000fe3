// The arithmetic and escaping behind the live line and the JSON stream.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "cli/event_words.h"
#include "cli/renderers.h"
#include "cli/text_formats.h"
#include "update/texts.h"

namespace flashupdate::cli {
namespace {

using Stage = UpdateResult::Stage;

TEST(JsonText, EveryLineIsValidJsonWhateverTheBytesOfANameAre) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    // A message with its line break, quotes and a control character, and a file name with a
    // Latin-1 byte and a well-formed UTF-8 letter.
    writeJsonLine(QJsonObject{{"text", jsonText(" Programming Error\r\nFLASH \"not\" \\\x01")},
                              {"image", jsonText("/srv/M\xFCller-\xC3\xA9.img")},
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
    EXPECT_EQ(object["image"].toString(), QString("/srv/M") + QChar(0xDCFC) + "ller-\xC3\xA9.img");
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
// half a second apart, and its result.
struct Events {
    Events& add(RunEvent::Kind kind, std::string text = {}, bool account = false) {
        PortEvent event;
        event.event = RunEvent{kind, std::move(text)};
        event.run = run;
        event.account = account;
        event.time = next();
        list.emplace_back(std::move(event));
        return *this;
    }
    Events& stage(Stage stage) {
        run.stage = stage;
        return add(RunEvent::Kind::StageEntered);
    }
    Events& result(std::string text) {
        PortResult result;
        result.text = std::move(text);
        result.result = run;
        result.started = start;
        result.time = next();
        list.emplace_back(std::move(result));
        return *this;
    }
    std::vector<std::string> shownBy(Verbosity verbosity, bool terminal = false) const {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        PlainRenderer plain({"p"}, out, verbosity, err);
        TerminalRenderer screen({"p"}, out, verbosity, false);
        Renderer& renderer = terminal ? static_cast<Renderer&>(screen) : plain;
        for (const auto& told : list) {
            std::visit([&](const auto& each) { renderer.show(each); }, told);
        }
        std::vector<std::string> lines = linesIn(out);
        for (const std::string& line : linesIn(err)) {
            lines.push_back("err: " + line);
        }
        return lines;
    }
    std::chrono::system_clock::time_point next() const {
        return start + std::chrono::milliseconds(500) * list.size();
    }

    std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
    UpdateResult run;
    std::vector<std::variant<PortEvent, PortResult>> list;
};

TEST(Verbosity, EachTextOnceQuietOnlyResultsVerboseTimed) {
    // An instrument that never answers the erase: the window's status, and the box's first line
    // (its second is that status).
    Events silent;
    silent.stage(Stage::BootLoader).add(RunEvent::Kind::SendingBootLoader);
    silent.stage(Stage::Erase).add(RunEvent::Kind::EraseFailed, texts::kProgrammingError);
    silent.result("Not updated (no-answer)");
    const std::string result = "Not updated (no-answer); 2.0 s (exit status 0)";
    EXPECT_EQ(silent.shownBy(Verbosity::Normal),
              std::vector<std::string>({"[p] Sending Boot Loader", "[p] Erase Command Sent",
                                        "[p] FLASH not Updated", "[p] Programming Error",
                                        "[p] " + result}));
    EXPECT_EQ(silent.shownBy(Verbosity::Quiet), std::vector<std::string>{"[p] " + result});
    EXPECT_EQ(silent.shownBy(Verbosity::Verbose),
              std::vector<std::string>(
                  {"[p] +0.000s boot-loader begins", "[p] +0.500s Sending Boot Loader",
                   "[p] +1.000s boot-loader took 1.000 s; erase begins",
                   "[p] +1.000s Erase Command Sent", "[p] +1.500s FLASH not Updated",
                   "[p] +1.500s Programming Error", "[p] +2.000s " + result}));
}

// A port that will not open: the line gives the reason with its remedy, and the run's account,
// which repeats it, is left out before the message.
TEST(Verbosity, AReasonIsGivenOnceOnEachStream) {
    const std::string reason = "cannot open /dev/ttyX: No such file or directory";
    Events port;
    port.stage(Stage::BootLoader).add(RunEvent::Kind::Diagnostic, reason + "\n  Check the cable.");
    port.run.cause = UpdateResult::Cause::Port;
    port.run.reason = std::string(texts::kErrorOpeningComPort) + " (" + reason + ")";
    port.add(RunEvent::Kind::Diagnostic, port.run.reason, true)
        .add(RunEvent::Kind::Failed, texts::kErrorOpeningComPort);
    EXPECT_EQ(port.shownBy(Verbosity::Normal),
              std::vector<std::string>({"[p] Error opening Com Port",
                                        "err: flashupdate-cli: [p] " + reason,
                                        "err:   Check the cable."}));

    // A file it cannot read: the run's account is the only reason, and on one screen the message
    // it leads with adds nothing.
    Events file;
    file.run.cause = UpdateResult::Cause::File;
    file.run.reason = "Can't find size of /x/A.IMG (/x/A.IMG: No such file or directory)";
    file.add(RunEvent::Kind::Diagnostic, file.run.reason, true)
        .add(RunEvent::Kind::Failed, "Can't find size of /x/A.IMG");
    std::vector<std::string> logged;
    for (const std::string& line : file.shownBy(Verbosity::Normal, true)) {
        // The live line drawn below the log has no port in brackets.
        if (line.starts_with("[p] ")) {
            logged.push_back(line);
        }
    }
    EXPECT_EQ(logged, std::vector<std::string>{"[p] " + file.run.reason});
}

// The window's words where they are right, the command line's own where the window's box names
// the wrong thing.
TEST(EventWords, StatusesBoxesAndPortFailuresInTheCommandLinesWords) {
    using Kind = RunEvent::Kind;
    UpdateResult lostInRecord;
    lostInRecord.stage = Stage::Program;
    lostInRecord.cause = UpdateResult::Cause::Port;
    lostInRecord.portError = PortErrorKind::Gone;
    lostInRecord.bytesAnnounced = 3 * 16384;
    lostInRecord.bytesSent = 2048;
    lostInRecord.recordOpen = true;
    UpdateResult betweenRecords = lostInRecord;
    betweenRecords.bytesSent = 16384;
    betweenRecords.recordOpen = false;
    betweenRecords.portError = PortErrorKind::Stalled;
    UpdateResult neverOpened;
    neverOpened.stage = Stage::BootLoader;
    neverOpened.cause = UpdateResult::Cause::Port;
    neverOpened.portError = PortErrorKind::Missing;
    UpdateResult equal;
    equal.stage = Stage::Done;
    UpdateResult differ = equal;
    differ.cause = UpdateResult::Cause::BadChecksum;
    // The texts as the cases name them.
    const std::string image = "Can't open /x/A.IMG";
    const std::string reset = "the connection was reset during record 1 of 3";
    const std::string hungUp = "the device hung up during record 1 of 3";
    const std::string stalled = "the device took nothing for too long before record 2 of 3";
    const std::string port = texts::kErrorOpeningComPort;
    const std::string erase = texts::kEndOfEraseNotDetected;
    const std::string sum = texts::kCheckSumNotReceivedBox;
    const std::string bad = texts::kBadChecksum;
    const std::string notUpdated = "FLASH not updated successfully";
    const std::string updated = "FLASH updated successfully";
    const std::string notErased = "FLASH not Updated";
    const std::string eraseLine = "End Of Erase Not Detected";
    const std::string noSum = "Check Sum not Received";
    const std::string asking = "Requesting Check Sum";
    const struct {
        Kind kind;
        std::string text;
        UpdateResult run;
        bool network;
        std::vector<std::string> statuses;
        std::string message;
        std::vector<std::string> lines;
    } cases[] = {
        {Kind::Failed, image, lostInRecord, true, {}, reset, {reset}},
        {Kind::Failed, image, lostInRecord, false, {}, hungUp, {hungUp}},
        {Kind::Failed, image, betweenRecords, false, {}, stalled, {stalled}},
        {Kind::Failed, port, neverOpened, false, {}, port, {port}},
        {Kind::EraseFailed, erase, {}, false, {notErased}, erase, {notErased, eraseLine}},
        {Kind::ChecksumMissing, sum, {}, false, {noSum}, sum, {noSum}},
        {Kind::Verdict, "", equal, false, {"DONE", updated}, "", {"DONE", updated}},
        // The window's "DONE" stands only for the moment before a bad verdict replaces it.
        {Kind::Verdict, bad, differ, false, {notUpdated}, bad, {notUpdated, bad}},
        {Kind::RequestingCheckSum, "", {}, false, {asking}, "", {asking}},
    };
    for (const auto& c : cases) {
        const EventWords words = wordsOf(RunEvent{c.kind, c.text}, c.run, c.network);
        EXPECT_EQ(words.statuses, c.statuses) << c.text;
        EXPECT_EQ(words.message, c.message) << c.text;
        EXPECT_EQ(words.lines, c.lines) << c.text;
    }
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
