// libFuzzer target for the number reader: any bytes at all must read without a crash, an
// exception or undefined behaviour, and the result must obey the rules that do not depend on which
// number was read. Built by CMakeLists.txt and run by run.sh next to it.
#include "ui/number_reader.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using flashupdate::Val;

namespace {

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

bool isSkipped(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// The C library's reading of the same decimal text, as a second opinion. It accepts forms the
// reader must not ("0x1p3", "inf", "nan"), so it is only asked about texts made of the characters
// both agree on; the fuzzer never calls setlocale, so the point is '.'.
bool agreesWithStrtod(std::string_view text, double value) {
    std::string decimal;
    for (const char c : text) {
        if (isSkipped(c)) {
            continue;
        }
        if (std::string_view("0123456789.+-eEdD").find(c) == std::string_view::npos) {
            return true;
        }
        decimal += (c == 'd' || c == 'D') ? 'e' : c;
    }
    const double expected = std::strtod(decimal.c_str(), nullptr);
    return value == expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const double value = Val(text);

    check(!std::isnan(value));
    check(value != 0.0 || !std::signbit(value));

    // Blanks, tabs and line feeds count nowhere: in front, or taken out everywhere.
    check(Val(" \t\n" + std::string(text)) == value);
    std::string squeezed;
    for (const char c : text) {
        if (!isSkipped(c)) {
            squeezed += c;
        }
    }
    check(Val(squeezed) == value);

    // A comma never continues a number, so what follows it is never read: the command line's
    // "3,9" is port 3.
    check(Val(std::string(text) + ",9") == value);

    // A minus sign in front of a text that starts with a digit or a point negates it.
    if (!squeezed.empty() && ((squeezed[0] >= '0' && squeezed[0] <= '9') || squeezed[0] == '.')) {
        check(Val("-" + std::string(text)) == -value);
    }

    check(agreesWithStrtod(text, value));
    return 0;
}
