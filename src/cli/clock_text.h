// Local times as the output writes them.
#pragma once

#include <chrono>
#include <string>

namespace flashupdate::cli {

// "14:03:27.045"
std::string clockText(std::chrono::system_clock::time_point time);
// "2024-05-17T14:03:27.045+0200"
std::string isoText(std::chrono::system_clock::time_point time);
// "1:05" for a duration left; hours run on as minutes.
std::string minutesSecondsText(std::chrono::milliseconds duration);

}  // namespace flashupdate::cli
