// Reads the number at the start of a text the way BASIC's Val does. The command line's port part
// goes through it ("C:\PROG\NEW.IMG,2" gives the port part "2"), so an operator's habits from the
// old tool keep working: " 2", "2.0", "&H2" and "2,9" all choose the same port.
//
// The text is read as if every blank, tab and line feed had first been removed from it, so they may
// stand anywhere, even between digits ("1 2" reads 12, "& H 1 0" reads 16). No other character is
// skipped: a carriage return ends the number like any other character. Then one of two forms is
// read, up to the first character that cannot continue it; the rest of the text is ignored.
//
// Decimal: an optional sign, digits with an optional decimal point ("5", "5.", ".5", "-1.25"), and
// an optional exponent: E, e, D or d (BASIC's double-precision letter), an optional sign and
// digits. The decimal point is always '.', whatever the locale. The value is the nearest double.
//   - A sign or a point with no digit after it is not a number: "+", "-", ".", "-.", "+-1" read 0.
//   - An exponent letter without digits is ignored: "1e", "1e+", "1e-x" read 1.
//   - Digits beyond what a double can tell apart are still read, and rounded correctly, so a long
//     string of digits has the value it names; "000...0001" reads 1.
//   - A value too large for a double reads as an infinity of its sign ("1e999" is +inf); a value
//     too small reads 0. Neither stops the reading with an error as classic BASIC's overflow does.
//   - Zero has no sign: "-0" reads +0.
//
// Hexadecimal and octal: &H or &O (either letter case) followed by digits of that base ("&HFF",
// "&o17"). No sign may come before the '&': "-&H1" reads 0, and so do "&H", "&HZ", "&O8" and
// "&17". The digits make an unsigned value v, which is then given BASIC's integer types:
//   - v up to &HFFFF is a 16-bit integer, so &H8000 to &HFFFF read -32768 to -1;
//   - v up to &HFFFFFFFF is a 32-bit integer, so &H10000 reads 65536 and &HFFFFFFFF reads -1;
//   - larger values, which classic BASIC rejects with an overflow, read as v itself (rounded to a
//     double beyond 2^53, +inf when it exceeds the largest double).
//
// A text that does not start with a number in one of these forms reads 0. Any input is accepted:
// no exception, no allocation, never NaN.
#pragma once

#include <string_view>

namespace flashupdate {

double Val(std::string_view text) noexcept;

}  // namespace flashupdate
