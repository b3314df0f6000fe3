// Text that quotes names (of files, ports, devices) made safe to show and to log: nothing in it
// acts on a terminal, and every byte of the name can be read back. Line feed, carriage return and
// tab are written \\n, \\r and \\t; other C0 controls, DEL and the C1 controls (U+0080 to U+009F,
// which a terminal takes as ESC sequences) \\xNN; a byte that does not belong to well-formed UTF-8
// \\xNN, so the text names the real file, not a replacement character.
#pragma once

#include <string>
#include <string_view>

namespace flashupdate {

// Escaped: blanks and backslashes too, so a name is one word that splits back unambiguously.
enum class Blanks { Kept, Escaped };

std::string escapedText(std::string_view text, Blanks blanks = Blanks::Kept);

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), 0 when the byte starts none: no
// overlong forms, no surrogates, nothing beyond U+10FFFF.
std::size_t wellFormedUtf8Length(std::string_view text, std::size_t i);

}  // namespace flashupdate
