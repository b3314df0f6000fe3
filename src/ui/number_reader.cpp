#include "ui/number_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <system_error>

namespace flashupdate {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// 769 significant digits are enough to round any decimal text to the right double; a few more are
// kept. When a dropped digit is not zero, one '1' after the kept ones stands for all of them, so
// that a text just above a halfway point between two doubles still rounds up.
constexpr std::size_t kKeptDigits = 780;

// A written exponent is held at this bound: any larger one already takes every value to an infinity
// or to zero, unless the text has more digits than memory could hold, and the sums with the digit
// counts stay far from overflowing.
constexpr std::int64_t kExponentCap = 1'000'000'000'000'000;

constexpr bool isSkipped(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}
constexpr bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Walks the text with the skipped characters taken out, one character of lookahead.
class Cursor {
public:
    explicit Cursor(std::string_view text) noexcept : m_text(text) {}

    // The next character that counts, or '\0' at the end (a NUL ends a number just as well).
    char peek() noexcept {
        while (m_pos < m_text.size() && isSkipped(m_text[m_pos])) {
            ++m_pos;
        }
        return m_pos < m_text.size() ? m_text[m_pos] : '\0';
    }
    void advance() noexcept { ++m_pos; }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// The significant digits of a decimal number and the power of ten that scales them: the value is
// the digits read as an integer, times 10^exponent.
class DecimalValue {
public:
    void addIntegerDigit(char digit) noexcept {
        if (m_count == 0 && digit == '0') {
            return;
        }
        if (m_count < kKeptDigits) {
            m_digits[m_count++] = digit;
        } else {
            ++m_exponent;
            m_dropped = m_dropped || digit != '0';
        }
    }

    void addFractionDigit(char digit) noexcept {
        if (m_count == 0 && digit == '0') {
            --m_exponent;
            return;
        }
        if (m_count < kKeptDigits) {
            m_digits[m_count++] = digit;
            --m_exponent;
        } else {
            m_dropped = m_dropped || digit != '0';
        }
    }

    void scale(std::int64_t powerOfTen) noexcept { m_exponent += powerOfTen; }

    double toDouble() noexcept {
        if (m_count == 0) {
            return 0.0;
        }
        if (m_dropped) {
            m_digits[m_count++] = '1';
            --m_exponent;
        }
        // The value lies in [10^(order - 1), 10^order); a finite non-zero double lies between
        // about 4.9e-324 and 1.8e308.
        const std::int64_t order = static_cast<std::int64_t>(m_count) + m_exponent;
        if (order > 309) {
            return kInfinity;
        }
        if (order < -330) {
            return 0.0;
        }
        std::array<char, kKeptDigits + 1 + 24> text{};
        std::copy_n(m_digits.begin(), m_count, text.begin());
        char* end = text.data() + m_count;
        *end++ = 'e';
        end = std::to_chars(end, text.data() + text.size(), m_exponent).ptr;

        double value = 0.0;
        const auto result = std::from_chars(text.data(), end, value);
        if (result.ec != std::errc{}) {
            return order > 0 ? kInfinity : 0.0;
        }
        return value;
    }

private:
    std::array<char, kKeptDigits + 1> m_digits{};
    std::size_t m_count = 0;
    std::int64_t m_exponent = 0;
    bool m_dropped = false;
};

double readDecimal(Cursor& cursor) noexcept {
    char c = cursor.peek();
    const bool negative = c == '-';
    if (c == '+' || c == '-') {
        cursor.advance();
        c = cursor.peek();
    }

    DecimalValue value;
    bool anyDigit = false;
    for (; isDecimalDigit(c); c = cursor.peek()) {
        value.addIntegerDigit(c);
        anyDigit = true;
        cursor.advance();
    }
    if (c == '.') {
        cursor.advance();
        for (c = cursor.peek(); isDecimalDigit(c); c = cursor.peek()) {
            value.addFractionDigit(c);
            anyDigit = true;
            cursor.advance();
        }
    }
    if (!anyDigit) {
        return 0.0;
    }

    if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
        cursor.advance();
        c = cursor.peek();
        const bool negativeExponent = c == '-';
        if (c == '+' || c == '-') {
            cursor.advance();
            c = cursor.peek();
        }
        std::int64_t exponent = 0;
        for (; isDecimalDigit(c); c = cursor.peek()) {
            exponent = std::min(exponent * 10 + (c - '0'), kExponentCap);
            cursor.advance();
        }
        value.scale(negativeExponent ? -exponent : exponent);
    }

    const double magnitude = value.toDouble();
    if (magnitude == 0.0) {
        return 0.0;
    }
    return negative ? -magnitude : magnitude;
}

// Not below any base read here, so the digit loops stop at it.
constexpr int kNotADigit = 16;

int digitValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return kNotADigit;
}

double readInBase(Cursor& cursor, int base) noexcept {
    std::uint64_t exact = 0;
    bool beyond64Bits = false;
    double rounded = 0.0;
    for (int digit = digitValue(cursor.peek()); digit < base; digit = digitValue(cursor.peek())) {
        const auto d = static_cast<std::uint64_t>(digit);
        if (!beyond64Bits && exact <= (std::numeric_limits<std::uint64_t>::max() - d) / base) {
            exact = exact * base + d;
        } else {
            if (!beyond64Bits) {
                beyond64Bits = true;
                rounded = static_cast<double>(exact);
            }
            rounded = rounded * base + digit;
        }
        cursor.advance();
    }

    if (beyond64Bits) {
        return rounded;
    }
    // BASIC keeps such a number in the narrowest of its integer types that holds the digits, as
    // a two's complement bit pattern, so &HFFFF is -1 and &H10000 is 65536.
    if (exact <= 0xFFFF) {
        return static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>(exact)));
    }
    if (exact <= 0xFFFF'FFFF) {
        return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(exact)));
    }
    return static_cast<double>(exact);
}

}  // namespace

double Val(std::string_view text) noexcept {
    Cursor cursor(text);
    if (cursor.peek() != '&') {
        return readDecimal(cursor);
    }
    cursor.advance();
    const char prefix = cursor.peek();
    cursor.advance();
    if (prefix == 'H' || prefix == 'h') {
        return readInBase(cursor, 16);
    }
    if (prefix == 'O' || prefix == 'o') {
        return readInBase(cursor, 8);
    }
    return 0.0;
}

}  // namespace flashupdate
