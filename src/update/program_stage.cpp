#include <algorithm>
#include <array>
#include <stdexcept>

#include "update/number_text.h"
#include "update/protocol.h"
#include "update/stages.h"

namespace flashupdate {

namespace {

// The block number travels as one byte; past 0xF8 it does not fit, and wrapping to 0 would make
// the instrument overwrite its first block.
char blockNumberByte(int blockNumber) {
    if (blockNumber > 0xFF) {
        throw std::overflow_error("block number " + std::to_string(blockNumber) +
                                  " does not fit in one byte: image longer than 24 records");
    }
    return static_cast<char>(blockNumber);
}

}  // namespace

void sendProgram(StageContext& stage, std::span<const unsigned char> image,
                 const std::string& sizeText) {
    const std::uintmax_t records = protocol::recordsFor(image.size());

    for (const Label label :
         {Label::lblBytesTransmitted, Label::lblFileSize, Label::lblBytesT, Label::lblFileB}) {
        stage.view.setLabelVisible(label, true);
    }

    SerialPort& port = stage.port();
    int blockNumber = protocol::kFirstBlockNumber;
    std::array<unsigned char, protocol::kRecordBytes> record{};
    std::uintmax_t position = 0;  // data bytes sent so far
    for (std::uintmax_t k = 0; k < records; ++k) {
        port.output(ByteText(1, protocol::kProgramCommand));
        stage.result.recordOpen = true;
        port.output(ByteText(1, blockNumberByte(blockNumber)));
        blockNumber += protocol::kBlockNumberStep;

        // The last record is always full: past the end of the image it carries erased flash.
        const auto start = std::min<std::size_t>(k * protocol::kRecordBytes, image.size());
        const auto inImage = image.subspan(start).first(
            std::min<std::size_t>(protocol::kRecordBytes, image.size() - start));
        std::ranges::fill(std::ranges::copy(inImage, record.begin()).out, record.end(),
                          protocol::kErasedByte);
        for (const unsigned char byte : record) {
            port.output(ByteText(1, static_cast<char>(byte)));
            stage.fileCheckSum += byte;
            stage.result.bytesSent = ++position;
            if (position % protocol::kProgressStep == 0) {
                stage.pumpOnce();
                stage.view.setLabelCaption(Label::lblBytesT, numberText(position));
                stage.view.setLabelCaption(Label::lblFileB, sizeText);
                stage.view.progress(Progress::BytesSent, stage.result);
            }
        }
        stage.result.recordOpen = false;
    }
    stage.result.fileCheckSum = stage.fileCheckSum;
}

}  // namespace flashupdate
