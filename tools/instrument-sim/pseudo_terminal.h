#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "line_end.h"

namespace instrument_sim {

// The instrument's end of the serial line: the master side of a pty, whose slave
// the tool opens as if it were a serial port.
//
// The simulator holds its own descriptor on the slave for its whole life. Without
// it, every time the tool closes the port (it does so to change speed and at the
// end) reads on the master would fail with EIO and poll would report POLLHUP. The
// same descriptor is how the line speed the tool chose is seen: termios belongs to
// the slave, not to the master.
class PseudoTerminal : public LineEnd {
public:
    // Throws std::system_error when the pty cannot be set up.
    PseudoTerminal();
    ~PseudoTerminal() override;
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& device_path() const { return device_path_; }
    int master_fd() const { return master_fd_; }

    // termios belongs to the slave: what the tool set there is the line's format.
    LineFormat line_format() const override;
    std::size_t waiting() const override;
    ssize_t read(std::span<std::uint8_t> buffer) override;
    ssize_t write(std::span<const std::uint8_t> bytes) override;

private:
    int master_fd_ = -1;
    int slave_fd_ = -1;
    std::string device_path_;
};

}  // namespace instrument_sim
