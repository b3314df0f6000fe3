#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace instrument_sim {

// Every byte the instrument received, one line each:
//   <seconds since start, 3 decimals> <baud in force when it crossed the line> <byte, 2 hex digits>
// Appended, so several runs can share one file, and flushed in batches so a test
// can read it while the simulator is still running.
class Transcript {
public:
    // An empty path keeps no transcript. Throws std::system_error if the file
    // cannot be opened.
    explicit Transcript(const std::string& path);
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    void record(double seconds, int baud, std::uint8_t byte);
    void flush();

private:
    std::FILE* file_ = nullptr;
};

}  // namespace instrument_sim
