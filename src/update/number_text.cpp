#include "update/number_text.h"

#include <cstdio>

namespace flashupdate {

std::string numberText(std::uintmax_t value) {
    // Appending the digits to the blank, rather than inserting the blank in front of the digits,
    // keeps GCC 12's -Wrestrict from seeing an overlapping copy in an optimised build.
    std::string text(" ");
    text += std::to_string(value);
    return text;
}

std::string hexText(std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%X", static_cast<unsigned>(value));
    return buffer;
}

}  // namespace flashupdate
