// The line settings text: baud rate, parity letter, data bits, stop bits, as "9600,N,8,1".
#pragma once

#include <string>

namespace flashupdate {

struct LineSettings {
    int baudRate = 9600;
    char parity = 'N';  // N, E, O, M or S
    int dataBits = 8;   // 5 to 8
    int stopBits = 1;   // 1, 2, or 15 for one and a half

    // Throws SerialError for a malformed text.
    static LineSettings parse(const std::string& text);
    // Seconds the line needs for one byte: start bit, data bits, parity, stop bits.
    double secondsPerByte() const;

    bool operator==(const LineSettings&) const = default;
};

}  // namespace flashupdate
