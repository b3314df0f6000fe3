// The arithmetic and escaping behind the live line and the JSON stream.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

#include "cli/text_formats.h"
#include "update/protocol.h"

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

}  // namespace
}  // namespace flashupdate::cli
