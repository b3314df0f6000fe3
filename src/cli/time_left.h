// How long an update still takes: the line time of what is left to send plus the fixed waits
// of the procedure still ahead, from the stage it is in.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace flashupdate::cli {

// stage: the last status text; sent and total: data bytes of the records. The estimate holds
// from the moment the stage or the count was last reported.
std::chrono::milliseconds timeLeft(const std::string& stage, std::uint64_t sent,
                                   std::uint64_t total);

}  // namespace flashupdate::cli
