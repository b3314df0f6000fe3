#include "ui/number_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

namespace flashupdate {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct ValCase {
    std::string text;
    double expected;
};

void PrintTo(const ValCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.text.substr(0, 60)) << (c.text.size() > 60 ? "..." : "")
        << " reads " << c.expected;
}

class ValReads : public ::testing::TestWithParam<ValCase> {};

TEST_P(ValReads, TheNumberAtTheStartOfTheText) {
    const double value = Val(GetParam().text);
    EXPECT_EQ(value, GetParam().expected);
    // A zero result never carries a sign, so it prints and compares as plain 0.
    if (value == 0.0) {
        EXPECT_FALSE(std::signbit(value));
    }
}

// The port parts that the command line table hands over: everything after the first comma.
INSTANTIATE_TEST_SUITE_P(CommandLinePortParts, ValReads,
                         ::testing::Values(ValCase{"2", 2}, ValCase{"5", 5}, ValCase{"", 0},
                                           ValCase{"x", 0}, ValCase{"1.0", 1}, ValCase{" 1", 1},
                                           ValCase{"3,9", 3}, ValCase{"3", 3},
                                           ValCase{"B\\NEW.IMG,2", 0}, ValCase{"1 ", 1},
                                           ValCase{"2\r\n", 2}, ValCase{"\"2\"", 0}));

INSTANTIATE_TEST_SUITE_P(
    BlanksTabsAndLineFeedsAnywhere, ValReads,
    ::testing::Values(ValCase{"1 2", 12}, ValCase{"\t1\n2 ", 12}, ValCase{"- 1", -1},
                      ValCase{"1 . 5", 1.5}, ValCase{"1 e 2", 100}, ValCase{"1e - 2", 0.01},
                      ValCase{"& H 1 0", 16}, ValCase{"&\tO\n1 7", 15}, ValCase{"   ", 0},
                      // Only those three: a carriage return, form feed or NUL ends the number.
                      ValCase{"\r1", 0}, ValCase{"1\r2", 1}, ValCase{"1\f2", 1},
                      ValCase{std::string("1\0"
                                          "2",
                                          3),
                              1},
                      ValCase{"\v1", 0}));

INSTANTIATE_TEST_SUITE_P(DecimalForms, ValReads,
                         ::testing::Values(ValCase{"0", 0}, ValCase{"42", 42}, ValCase{"+7", 7},
                                           ValCase{"-7", -7}, ValCase{"0012", 12}, ValCase{"5.", 5},
                                           ValCase{".5", 0.5}, ValCase{"-.5", -0.5},
                                           ValCase{"-1.25", -1.25}, ValCase{"1e3", 1000},
                                           ValCase{"1E3", 1000}, ValCase{"1d2", 100},
                                           ValCase{"1D-2", 0.01}, ValCase{"2.5e+1", 25},
                                           ValCase{".5e1", 5}, ValCase{"0.1", 0.1},
                                           ValCase{"1e0", 1}, ValCase{"1e007", 1e7}));

INSTANTIATE_TEST_SUITE_P(ReadingStopsAtTheFirstCharacterThatCannotContinue, ValReads,
                         ::testing::Values(ValCase{"12abc", 12}, ValCase{"1,5", 1},
                                           ValCase{"1..2", 1}, ValCase{"1.2.3", 1.2},
                                           ValCase{"1e2e3", 100}, ValCase{"1e2.5", 100},
                                           ValCase{"1+2", 1}, ValCase{"1-2", 1},
                                           ValCase{"7&H10", 7}, ValCase{"1ee2", 1},
                                           ValCase{"1\xC2\xB2", 1}));

INSTANTIATE_TEST_SUITE_P(NotANumberReadsZero, ValReads,
                         ::testing::Values(ValCase{"+", 0}, ValCase{"-", 0}, ValCase{".", 0},
                                           ValCase{"-.", 0}, ValCase{"+.e5", 0}, ValCase{"+-1", 0},
                                           ValCase{"--1", 0}, ValCase{"e5", 0}, ValCase{"E", 0},
                                           ValCase{"abc", 0}, ValCase{"$1", 0}, ValCase{"Com2", 0},
                                           ValCase{"-0", 0}, ValCase{"-0.0e5", 0},
                                           ValCase{"\xEF\xBC\x92", 0}));

INSTANTIATE_TEST_SUITE_P(ExponentLetterWithoutDigitsIsIgnored, ValReads,
                         ::testing::Values(ValCase{"1e", 1}, ValCase{"1e+", 1}, ValCase{"1e-", 1},
                                           ValCase{"1ex", 1}, ValCase{"1e-x", 1},
                                           ValCase{"2.5D", 2.5}, ValCase{"3,9e", 3}));

INSTANTIATE_TEST_SUITE_P(
    HexadecimalAndOctal, ValReads,
    ::testing::Values(
        ValCase{"&H10", 16}, ValCase{"&h1f", 31}, ValCase{"&HaBc", 2748}, ValCase{"&O17", 15},
        ValCase{"&o777", 511}, ValCase{"&H1G", 1}, ValCase{"&O78", 7}, ValCase{"&H10.5", 16},
        ValCase{"&H2,9", 2}, ValCase{"&H0", 0}, ValCase{"&H000000000000000000003", 3},
        // Each is read as BASIC's narrowest integer type that holds it.
        ValCase{"&H7FFF", 32767}, ValCase{"&H8000", -32768}, ValCase{"&HFFFF", -1},
        ValCase{"&H0000FFFF", -1}, ValCase{"&H10000", 65536}, ValCase{"&H7FFFFFFF", 2147483647},
        ValCase{"&H80000000", -2147483648.0}, ValCase{"&HFFFFFFFF", -1}, ValCase{"&O177777", -1},
        ValCase{"&O200000", 65536}, ValCase{"&O37777777777", -1},
        // Beyond 32 bits, where BASIC overflows, the plain unsigned value.
        ValCase{"&H100000000", 4294967296.0}, ValCase{"&HFFFFFFFFFFFFFFFF", 18446744073709551615.0},
        ValCase{"&H10000000000000000", 18446744073709551616.0},
        ValCase{"&H" + std::string(300, 'F'), kInf}));

INSTANTIATE_TEST_SUITE_P(PrefixWithoutItsDigitsReadsZero, ValReads,
                         ::testing::Values(ValCase{"&H", 0}, ValCase{"&HZ", 0}, ValCase{"&HG1", 0},
                                           ValCase{"&O8", 0}, ValCase{"&O", 0}, ValCase{"&", 0},
                                           ValCase{"&17", 0}, ValCase{"&B101", 0},
                                           ValCase{"-&H1", 0}, ValCase{"+&H1", 0},
                                           ValCase{"&&H1", 0}));

INSTANTIATE_TEST_SUITE_P(
    ValuesAtTheEdgesOfADouble, ValReads,
    ::testing::Values(ValCase{"1e308", 1e308},
                      ValCase{"1.7976931348623157e308", 1.7976931348623157e308},
                      ValCase{"1.8e308", kInf}, ValCase{"1e309", kInf}, ValCase{"-1e999", -kInf},
                      ValCase{"1e99999999999999999999999999", kInf},
                      ValCase{"4.9e-324", std::numeric_limits<double>::denorm_min()},
                      ValCase{"2.2250738585072014e-308", std::numeric_limits<double>::min()},
                      ValCase{"1e-400", 0}, ValCase{"-1e-400", 0},
                      ValCase{"1e-99999999999999999999999999", 0}, ValCase{"0e999999", 0}));

INSTANTIATE_TEST_SUITE_P(
    LongDigitStrings, ValReads,
    ::testing::Values(ValCase{std::string(10000, '0') + "1", 1},
                      ValCase{"1" + std::string(400, '0'), kInf},
                      ValCase{"1" + std::string(300, '0'), 1e300},
                      ValCase{"0." + std::string(400, '0') + "1e401", 1},
                      ValCase{"0." + std::string(200000, '0') + "1e200001", 1},
                      ValCase{"1" + std::string(200000, '0') + "e-200000", 1},
                      ValCase{"11111111111111111111", 11111111111111111111.0},
                      // 2^53 + 1 lies halfway between two doubles and rounds to the even one; a
                      // non-zero digit far beyond the kept ones still tips it upwards.
                      ValCase{"9007199254740993", 9007199254740992.0},
                      ValCase{"9007199254740993." + std::string(1000, '0'), 9007199254740992.0},
                      ValCase{"9007199254740993." + std::string(1000, '0') + "1",
                              9007199254740994.0},
                      ValCase{"1e" + std::string(5000, '0') + "2", 100}));

}  // namespace
}  // namespace flashupdate
