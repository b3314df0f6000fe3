#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace instrument_sim {

// How the tool has set up the line: what decides how fast it carries bytes and at
// which speed the instrument hears them.
struct LineFormat {
    int baud = 0;  // 0 when it cannot be told
    int bits_per_character = 10;
};

// The tool's end of the line as the instrument's side holds it: a pseudo-terminal's
// master, or a serial device server's connection. The line reads from it at its own
// pace and the instrument answers through it.
class LineEnd {
public:
    virtual ~LineEnd() = default;

    // As the tool has set the line right now.
    virtual LineFormat line_format() const = 0;

    // Bytes the tool has sent that are ready to be read.
    virtual std::size_t waiting() const = 0;

    // Never blocks: returns 0 when nothing is waiting, -1 with errno on error.
    virtual ssize_t read(std::span<std::uint8_t> buffer) = 0;

    // One write for the whole chunk, so an answer leaves in one piece as the
    // instrument's UART would send it. Returns bytes written or -1 with errno.
    virtual ssize_t write(std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace instrument_sim
