#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace sim_test {

struct TranscriptLine {
    double seconds = 0;
    int baud = 0;
    int byte = 0;
    std::string text;  // the line as written
};

// The complete lines of a transcript. A line that does not have the form
// "<seconds with 3 decimals> <baud> <2 upper-case hex digits>" comes back with
// baud and byte set to -1, so a test can point at it.
std::vector<TranscriptLine> read_transcript(const std::string& path);

// Waits until the transcript holds at least `count` lines; returns what it holds.
std::vector<TranscriptLine> wait_for_transcript(const std::string& path, std::size_t count,
                                                std::chrono::milliseconds timeout);

}  // namespace sim_test
