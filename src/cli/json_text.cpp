#include "cli/json_text.h"

#include <cstdio>
#include <string_view>

namespace flashupdate::cli {

namespace {

// Length of the well-formed UTF-8 sequence at the start of text, or 0 when there is none (a stray
// continuation byte, an overlong form, a surrogate, a code point past U+10FFFF, a cut sequence).
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t length = utf8SequenceLength(rest);
        if (length == 0) {
            // File names need not be UTF-8; a JSON reader must still get valid text.
            quoted += "\\ufffd";
            rest.remove_prefix(1);
            continue;
        }
        if (length > 1) {
            quoted.append(rest.substr(0, length));
            rest.remove_prefix(length);
            continue;
        }
        const char c = rest.front();
        rest.remove_prefix(1);
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x",
                                  static_cast<unsigned>(static_cast<unsigned char>(c)));
                    quoted += escaped;
                } else {
                    quoted += c;
                }
        }
    }
    quoted += '"';
    return quoted;
}

}  // namespace flashupdate::cli
