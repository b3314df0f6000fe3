// Program records: layout on the wire, the running file checksum and the progress labels.
#include "support/transcript.h"
#include "test_rig.h"

namespace flashupdate::testing {
namespace {

constexpr std::size_t kRecord = 16384;

// The bytes sent at 9600 baud between "E" and "C".
ByteText programWire(const Rig& rig) {
    const ByteText wire = rig.wireAt(9600);
    const auto start = wire.find('E') + 1;
    return wire.substr(start, wire.size() - start - 2);  // less "C" and "X"
}

std::vector<std::string> captions(const Rig& rig, Label label) {
    std::vector<std::string> result;
    for (const auto& change : rig.view.changes()) {
        if (change.label == label) {
            result.push_back(change.caption);
        }
    }
    return result;
}

TEST(ProgramStage, RecordsFollowTheImageLength) {
    struct Case {
        std::size_t length;
        std::size_t records;
    };
    for (const auto& c :
         std::vector<Case>{{1, 1}, {kRecord, 1}, {kRecord + 1, 2}, {24 * kRecord, 24}}) {
        SCOPED_TRACE(c.length);
        Rig rig;
        const ByteText image = randomBytes(c.length, static_cast<unsigned>(c.length));
        rig.selectImage(image);
        rig.start();

        const ByteText padded = image + ByteText(c.records * kRecord - c.length, '\xFF');
        ByteText expected;
        for (std::size_t k = 0; k < c.records; ++k) {
            expected += 'P';
            expected += static_cast<char>(0x40 + 8 * k);
            expected += padded.substr(k * kRecord, kRecord);
        }
        EXPECT_EQ(firstDifference(programWire(rig), expected), "");
        EXPECT_EQ(rig.update.FileCheckSum, byteSum(padded));
        EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");

        // Progress every 2048 data bytes, counted over whole records, beside the file size.
        const auto counts = captions(rig, Label::lblBytesT);
        ASSERT_EQ(counts.size(), 1 + c.records * 8);  // the reset at Start comes first
        EXPECT_EQ(counts[1], " 2048");
        // Appended rather than " " + ...: inserting in front trips GCC 12's false -Wrestrict.
        EXPECT_EQ(counts.back(), std::string(" ").append(std::to_string(c.records * kRecord)));
        EXPECT_EQ(rig.view.label(Label::lblFileB).caption,
                  std::string(" ").append(std::to_string(c.length)));
    }
}

TEST(ProgramStage, OneRecordOfErasedFlashSumsWithoutWrapping) {
    Rig rig;
    rig.selectImage(ByteText(kRecord, '\xFF'));
    rig.start();
    EXPECT_EQ(rig.update.FileCheckSum, 4'177'920u);
    EXPECT_EQ(rig.view.label(Label::lblCheckSum3).caption, "3FC000");
    EXPECT_EQ(rig.view.label(Label::lblCheckSum4).caption, "3FC000");
}

TEST(ProgramStage, EmptyImageSendsNothingButShowsTheLabels) {
    Rig rig;
    rig.selectImage("");
    rig.start();
    EXPECT_EQ(programWire(rig), "");
    EXPECT_EQ(rig.update.FileCheckSum, 0u);
    for (const Label label :
         {Label::lblBytesTransmitted, Label::lblFileSize, Label::lblBytesT, Label::lblFileB}) {
        EXPECT_TRUE(rig.view.label(label).visible) << labelName(label);
    }
    EXPECT_EQ(rig.view.label(Label::lblBytesT).caption, "");
    EXPECT_EQ(rig.view.label(Label::lblFileB).caption, "");
    EXPECT_EQ(rig.view.label(Label::lblCheckSum3).caption, "0");
    EXPECT_EQ(rig.view.label(Label::lblCheckSum4).caption, "0");
    EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
}

TEST(ProgramStage, TransferTakesTheLineTimeAndKeepsTheWindowLive) {
    Rig rig;
    rig.selectImage(randomBytes(2 * kRecord));
    rig.start();
    const Micros start = rig.view.statusTime("Sending Program");
    const Micros requested = rig.view.statusTime("Requesting Check Sum");
    const double lineSeconds = 2 * 16386 * 10.0 / 9600;
    // Bound by the line (writes hold), then 2000 ms before the request.
    EXPECT_NEAR(static_cast<double>(requested - start) / 1e6, lineSeconds + 2.0, 1.2);
    // Progress shown stays within about a second of the line.
    for (const auto& change : rig.view.changes()) {
        if (change.label != Label::lblBytesT || change.caption.empty()) {
            continue;
        }
        const auto sent = std::stoul(change.caption);
        const auto& wire = rig.port.wire();
        const auto lastOnLine = std::count_if(wire.begin(), wire.end(),
                                              [&](const WireByte& b) { return b.at <= change.at; });
        const long bootAndCommands = 512 + 1 + 2 * static_cast<long>((sent - 1) / kRecord + 1);
        EXPECT_LE(static_cast<long>(sent) + bootAndCommands - lastOnLine, 1100) << sent;
    }
}

}  // namespace
}  // namespace flashupdate::testing
