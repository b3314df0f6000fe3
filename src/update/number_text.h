// How numbers are shown in the window's labels.
#pragma once

#include <cstdint>
#include <string>

namespace flashupdate {

// A non-negative number after one blank, the sign position: " 512".
std::string numberText(std::uintmax_t value);

// Upper-case hexadecimal without prefix or leading zeros: "3FC000", "0".
std::string hexText(std::uint32_t value);

}  // namespace flashupdate
