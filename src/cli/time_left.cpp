#include "cli/time_left.h"

#include <algorithm>

#include "update/protocol.h"
#include "update/texts.h"

namespace flashupdate::cli {

namespace {

using std::chrono::milliseconds;
namespace protocol = flashupdate::protocol;

// 10 bits a byte on the line: start, 8 data, stop.
constexpr std::uint64_t kCommandBytesPerSecond = 9600 / 10;
constexpr std::uint64_t kBootBytesPerSecond = 1200 / 10;

milliseconds lineTime(std::uint64_t bytes, std::uint64_t bytesPerSecond) {
    return milliseconds(bytes * 1000 / bytesPerSecond);
}

// The records still to send, each with its command and block number.
milliseconds transferTime(std::uint64_t sent, std::uint64_t total) {
    const std::uint64_t left = total > sent ? total - sent : 0;
    const std::uint64_t records = (left + protocol::kRecordBytes - 1) / protocol::kRecordBytes;
    return lineTime(left + 2 * records, kCommandBytesPerSecond);
}

const milliseconds kAfterTransfer(protocol::kAfterProgramMs + protocol::kAfterCommandMs);
const milliseconds kEraseWaits(protocol::kAfterCommandMs + protocol::kReplyPollMs +
                               protocol::kAfterEraseMs);

}  // namespace

std::chrono::milliseconds timeLeft(const std::string& stage, std::uint64_t sent,
                                   std::uint64_t total) {
    if (stage == texts::kSendingBootLoader) {
        // The second half is queued while the first is still on the line, so the line time
        // covers the wait between them.
        const milliseconds boot =
            std::max(lineTime(1 + protocol::kBootLoaderBytes, kBootBytesPerSecond),
                     milliseconds(protocol::kBetweenBootHalvesMs));
        return boot + milliseconds(protocol::kBootSettleMs + protocol::kAfterReopenMs) +
               kEraseWaits + transferTime(0, total) + kAfterTransfer;
    }
    if (stage == texts::kEraseCommandSent) {
        return kEraseWaits + transferTime(0, total) + kAfterTransfer;
    }
    if (stage == texts::kMemoryErased) {
        return milliseconds(protocol::kAfterEraseMs) + transferTime(0, total) + kAfterTransfer;
    }
    if (stage == texts::kSendingProgram) {
        return transferTime(sent, total) + kAfterTransfer;
    }
    if (stage == texts::kRequestingCheckSum) {
        return milliseconds(protocol::kAfterCommandMs);
    }
    return milliseconds(0);
}

std::uint64_t recordBytesFor(std::uint64_t imageLength) {
    return (imageLength + protocol::kRecordBytes - 1) / protocol::kRecordBytes *
           protocol::kRecordBytes;
}

}  // namespace flashupdate::cli
