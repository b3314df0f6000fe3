#include "common/escaped_text.h"

#include <cstdio>

namespace flashupdate {

namespace {

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), 0 when the byte starts none:
// no overlong forms, no surrogates, nothing beyond U+10FFFF, as a reader decoding the log takes
// them.
std::size_t wellFormedLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
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
    if (i + length > text.size() || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::size_t wellFormedUtf8Length(std::string_view text, std::size_t i) {
    return wellFormedLength(text, i);
}

namespace {

void appendEscaped(std::string& out, unsigned code) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", code);
    out += escaped;
}

}  // namespace

std::string escapedText(std::string_view text, Blanks blanks) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = wellFormedLength(text, i);
        if (blanks == Blanks::Escaped && (byte == ' ' || byte == '\\')) {
            appendEscaped(shown, byte);
        } else if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\r') {
            shown += "\\r";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7F || length == 0) {
            appendEscaped(shown, byte);
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080 to U+009F: CSI, OSC and the rest of C1 act in a terminal as ESC sequences do.
            appendEscaped(shown, static_cast<unsigned char>(text[i + 1]));
        } else {
            shown.append(text.substr(i, length));
        }
        i += length == 0 ? 1 : length;
    }
    return shown;
}

}  // namespace flashupdate
