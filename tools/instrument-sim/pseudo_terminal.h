#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace instrument_sim {

// How the tool has set up the line: what decides how fast it carries bytes and at
// which speed the instrument hears them.
struct LineFormat {
    int baud = 0;  // 0 when it cannot be told
    int bits_per_character = 10;
};

// The instrument's end of the serial line: the master side of a pty, whose slave
// the tool opens as if it were a serial port.
//
// The simulator holds its own descriptor on the slave for its whole life. Without
// it, every time the tool closes the port (it does so to change speed and at the
// end) reads on the master would fail with EIO and poll would report POLLHUP. The
// same descriptor is how the line speed the tool chose is seen: termios belongs to
// the slave, not to the master.
class PseudoTerminal {
public:
    // Throws std::system_error when the pty cannot be set up.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& device_path() const { return device_path_; }
    int master_fd() const { return master_fd_; }

    // As the tool has set the slave right now.
    LineFormat line_format() const;

    // Bytes the tool has written that are ready to be read.
    std::size_t waiting() const;

    // Never blocks: returns 0 when nothing is waiting, -1 with errno on error.
    ssize_t read(std::span<std::uint8_t> buffer);

    // One write for the whole chunk, so an answer leaves in one piece as the
    // instrument's UART would send it. Returns bytes written or -1 with errno.
    ssize_t write(std::span<const std::uint8_t> bytes);

private:
    int master_fd_ = -1;
    int slave_fd_ = -1;
    std::string device_path_;
};

}  // namespace instrument_sim
