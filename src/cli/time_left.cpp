#include "cli/time_left.h"

#include <algorithm>

#include "serial/line_settings.h"
#include "update/protocol.h"
#include "update/texts.h"

namespace flashupdate::cli {

namespace {

using std::chrono::milliseconds;
namespace protocol = flashupdate::protocol;

milliseconds lineTime(std::uint64_t bytes, const char* settings) {
    const double seconds =
        static_cast<double>(bytes) * LineSettings::parse(settings).secondsPerByte();
    return milliseconds(static_cast<milliseconds::rep>(seconds * 1000));
}

// The records still to send, each with its command and block number.
milliseconds transferTime(std::uint64_t sent, std::uint64_t total) {
    const std::uint64_t left = total > sent ? total - sent : 0;
    return lineTime(left + 2 * protocol::recordsFor(left), protocol::kCommandSettings);
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
            std::max(lineTime(1 + protocol::kBootLoaderBytes, protocol::kBootLoaderSettings),
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

}  // namespace flashupdate::cli
