// The simulator's transcript: one line per byte the instrument received,
// "<seconds, 3 decimals> <baud> <2 upper-case hex digits>", written as the bytes cross the line.
// A test that checks what the instrument received waits until the transcript holds what it
// expects, because the simulator records a byte a little after the tool has sent it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace flashupdate::testing {

// Long enough for a loaded machine or a sanitizer build; waits end as soon as what they wait
// for has happened, so a generous bound costs nothing when all is well.
inline constexpr int kPatienceMs = 30'000;
inline constexpr std::chrono::milliseconds kPatience{kPatienceMs};
// What a check that nothing arrived waits first: a byte sent before it reaches the transcript
// within this, even on a busy machine.
inline constexpr int kStragglersMs = 1500;

struct TranscriptLine {
    double seconds = 0;
    int baud = 0;
    int byte = 0;      // 0 to 255
    std::string text;  // the line as written
};

// The complete lines of a transcript; a line still being written is left for later. The parse
// is strict, for people's scripts read the transcript too: a line of another form comes back
// with baud and byte set to -1, so a test can point at it.
std::vector<TranscriptLine> readTranscript(const std::string& path);

// Reads the transcript until done says it holds enough, or timeout has passed; returns what it
// holds then.
std::vector<TranscriptLine> waitForTranscript(
    const std::string& path, const std::function<bool(const std::vector<TranscriptLine>&)>& done,
    std::chrono::milliseconds timeout = kPatience);
// ... until it holds at least count lines.
std::vector<TranscriptLine> waitForTranscript(const std::string& path, std::size_t count,
                                              std::chrono::milliseconds timeout = kPatience);

// The bytes received at the given speed, in order.
std::string bytesAt(const std::vector<TranscriptLine>& lines, int baud);

// "" when received is expected; otherwise where the two part and a few bytes of each from
// there, in hex, so that a failure tells a byte lost from a byte changed.
std::string firstDifference(const std::string& received, const std::string& expected);

}  // namespace flashupdate::testing
