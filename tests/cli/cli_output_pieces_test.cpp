// The arithmetic and escaping behind the live line and the JSON stream.
#include <gtest/gtest.h>

#include "cli/json_text.h"
#include "cli/time_left.h"

namespace flashupdate::cli {
namespace {

using std::chrono::milliseconds;

TEST(TimeLeft, AfterTheLastRecordOnlyTheClosingWaitsRemain) {
    EXPECT_EQ(timeLeft("Sending Program", 49152, 49152), milliseconds(3000));
}

TEST(TimeLeft, RecordsLeftGoAtNineHundredSixtyBytesASecond) {
    // One record left: its command, block number and 16384 data bytes.
    EXPECT_EQ(timeLeft("Sending Program", 32768, 49152), milliseconds(16386 * 1000 / 960 + 3000));
}

TEST(TimeLeft, EarlierStagesCountEveryWaitAhead) {
    const auto erasing = timeLeft("Erase Command Sent", 0, 16384);
    const auto erased = timeLeft("Memory Erased", 0, 16384);
    const auto booting = timeLeft("Sending Boot Loader", 0, 16384);
    EXPECT_EQ(erasing - erased, milliseconds(1000 + 100));
    // 512 boot bytes at 120 bytes a second, then 2 s to start and 1 s after the reopening.
    EXPECT_EQ(booting - erasing, milliseconds(512 * 1000 / 120 + 3000));
    EXPECT_EQ(timeLeft("FLASH updated successfully  ", 16384, 16384), milliseconds(0));
}

TEST(TimeLeft, RecordBytesAreWholeRecords) {
    EXPECT_EQ(recordBytesFor(1), 16384u);
    EXPECT_EQ(recordBytesFor(16384), 16384u);
    EXPECT_EQ(recordBytesFor(16385), 32768u);
    EXPECT_EQ(recordBytesFor(0), 0u);
}

TEST(JsonText, MessageTextsSurviveEscaping) {
    EXPECT_EQ(jsonString(" Programming Error\r\nFLASH not Updated"),
              "\" Programming Error\\r\\nFLASH not Updated\"");
    EXPECT_EQ(jsonString("a\"b\\c\x01"), "\"a\\\"b\\\\c\\u0001\"");
}

}  // namespace
}  // namespace flashupdate::cli
