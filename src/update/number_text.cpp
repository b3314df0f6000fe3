#include "update/number_text.h"

#include <cstdio>

namespace flashupdate {

std::string numberText(std::uintmax_t value) {
    return " " + std::to_string(value);
}

std::string hexText(std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%X", static_cast<unsigned>(value));
    return buffer;
}

}  // namespace flashupdate
