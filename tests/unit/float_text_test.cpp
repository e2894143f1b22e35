#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "foundation/float_text.hpp"

using namespace kro;
using namespace kro::floatx;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

double parse_all(const std::string& s, int32_t adjust, int32_t* rest) {
    return parse(s.data(), s.data() + s.size(), adjust, rest);
}

double from_bytes(const std::string& s, int32_t* error) {
    return from_text(s.data(), int32_t(s.size()), 1, error);
}

}  // namespace

TEST(FloatText, MoldLayout) {
    struct Case {
        double x;
        const char* text;
    };
    const Case cases[] = {
        {0.1, "0.1"},
        {1.0 / 3.0, "0.3333333333333333"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e17, "1.0e17"},
        {1e16, "10000000000000000.0"},
        {123456789012345678.0, "1.2345678901234568e17"},
        {1e-7, "0.0000001"},
        {1e-8, "1.0e-8"},
        {1.5e-8, "1.5e-8"},
        {1.5e-6, "0.0000015"},
        {1e-6, "0.000001"},
        {123.0, "123.0"},
        {100.0, "100.0"},
        {-1.5, "-1.5"},
        {-250.0, "-250.0"},
        {1e20, "1.0e20"},
        {-1e-100, "-1.0e-100"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {DBL_MAX, "1.7976931348623157e308"},
        {DBL_MIN, "2.2250738585072014e-308"},
        {std::bit_cast<double>(uint64_t(1)), "5.0e-324"},
        {std::bit_cast<double>(uint64_t(0x000FFFFFFFFFFFFF)), "2.225073858507201e-308"},
        {INF, "1.#INF"},
        {-INF, "-1.#INF"},
        {std::bit_cast<double>(0x7FF8000000000000ull), "1.#NaN"},
        {std::bit_cast<double>(0xFFF8000000000001ull), "1.#NaN"},
    };
    for (const Case& c : cases) {
        Text t = to_decimal_text(c.x, 0, true);
        EXPECT_EQ(t.view(), c.text) << std::hexfloat << c.x;
        EXPECT_EQ(t.length, int32_t(std::strlen(c.text)));
    }
}

TEST(FloatText, LayoutWithoutPointZero) {
    struct Case {
        double x;
        int32_t precision;
        const char* text;
    };
    const Case cases[] = {
        {1e20, 0, "1e20"},
        {1e-8, 0, "1e-8"},
        {100.0, 0, "100"},
        {0.0, 0, "0"},
        {-0.0, 0, "-0"},
        {1.5, 6, "1.5"},
        {30.0, 6, "30"},
        {59.99999999, 6, "60"},
        {12.3456789, 6, "12.3457"},
        {0.0000012345678, 6, "0.00000123457"},
        {1234567.0, 6, "1234570"},
        {-0.5, 6, "-0.5"},
    };
    for (const Case& c : cases) EXPECT_EQ(to_decimal_text(c.x, c.precision, false).view(), c.text) << c.x;
}

TEST(FloatText, FormatFieldsAndSpecialMarkers) {
    Digits d = format(-2.5, 0, true);
    EXPECT_STREQ(d.text, "-25");
    EXPECT_STREQ(d.digits(), "25");
    EXPECT_TRUE(d.negative);
    EXPECT_EQ(d.count, 2);
    EXPECT_EQ(d.length, 3);
    EXPECT_EQ(d.exponent, 1);

    d = format(0.001, 0, true);
    EXPECT_STREQ(d.text, "1");
    EXPECT_EQ(d.exponent, -2);

    d = format(std::bit_cast<double>(0xFFF8000000000000ull), 0, true);
    EXPECT_STREQ(d.text, "1.#NaN");
    EXPECT_FALSE(d.negative);
    EXPECT_EQ(d.exponent, EXPONENT_SPECIAL);
    d = format(-INF, 0, true);
    EXPECT_STREQ(d.text, "-1.#INF");
    EXPECT_STREQ(d.digits(), "1.#INF");
    EXPECT_EQ(d.exponent, EXPONENT_SPECIAL);
    d = format(-0.0, 5, true);
    EXPECT_STREQ(d.text, "-0.0");
    EXPECT_EQ(d.exponent, EXPONENT_ZERO);
    d = format(0.0, 0, false);
    EXPECT_STREQ(d.text, "0");
    EXPECT_EQ(d.exponent, EXPONENT_ZERO);
}

// n significant digits, rounded to nearest with exact ties to even.
TEST(FloatText, FixedDigits) {
    struct Case {
        double x;
        int32_t n;
        const char* digits;
        int32_t exponent;
    };
    const Case cases[] = {
        {0.125, 2, "12", 0},      // exact tie, 2 is even
        {0.375, 2, "38", 0},      // exact tie, 7 is odd
        {2.5, 1, "2", 1},
        {3.5, 1, "4", 1},
        {1234565.0, 6, "123456", 7},  // ties on integers too
        {1234575.0, 6, "123458", 7},
        {0.15, 1, "1", 0},        // 0.1499999999999999944...: below the tie
        {9.5, 1, "1", 2},         // carry out of the first digit
        {99999.99, 3, "1", 6},
        {0.1, 3, "1", 0},         // trailing zeros removed
        {1.0 / 3.0, 6, "333333", 0},
        {0.1, 25, "1000000000000000055511151", 0},       // exact binary value shows
        {1e23, 30, "99999999999999991611392", 23},
        {2.0 / 3.0, 40, "666666666666666629659232512495", 0},  // capped at MAX_DIGITS
    };
    for (const Case& c : cases) {
        Digits d = format(c.x, c.n, true);
        EXPECT_STREQ(d.digits(), c.digits) << c.x << " at " << c.n;
        EXPECT_EQ(d.count, int32_t(std::strlen(c.digits)));
        EXPECT_EQ(d.exponent, c.exponent) << c.x << " at " << c.n;
    }
}

TEST(FloatText, ParseValues) {
    struct Case {
        const char* text;
        int32_t adjust;
        uint64_t bits;
    };
    const Case cases[] = {
        {"0.1", 0, bits(0.1)},
        {"1.5", 0, bits(1.5)},
        {"-1.5", 0, bits(-1.5)},
        {"+.5", 0, bits(0.5)},
        {"1.", 0, bits(1.0)},
        {"00012", 0, bits(12.0)},
        {"1E3", 0, bits(1000.0)},
        {"0.30000000000000004", 0, bits(0.1 + 0.2)},
        {"12.5", -2, bits(0.125)},
        {"125", -3, bits(0.125)},
        {"1.25e1", -2, bits(0.125)},
        {"1", 400, bits(INF)},
        {"-0", 0, 0x8000000000000000ull},
        {"-0.000", 0, 0x8000000000000000ull},
        {"0e999", 0, 0},
        {"1e400", 0, bits(INF)},
        {"-1e400", 0, bits(-INF)},
        {"1e-400", 0, 0},
        {"-1e-400", 0, 0x8000000000000000ull},
        {"1e99999999999999999999999", 0, bits(INF)},
        {"1e-99999999999999999999999", 0, 0},
        {"1.7976931348623157e308", 0, bits(DBL_MAX)},
        {"1.7976931348623159e308", 0, bits(INF)},  // past the midpoint to the next binade
        {"2.2250738585072011e-308", 0, 0x000FFFFFFFFFFFFFull},
        {"2.2250738585072014e-308", 0, bits(DBL_MIN)},
        {"4.9e-324", 0, 1},
        {"5e-324", 0, 1},
        {"2.4703282292062327e-324", 0, 0},  // just below half the smallest denormal
        {"2.4703282292062328e-324", 0, 1},  // just above
        {"9007199254740993", 0, 0x4340000000000000ull},  // 2^53 + 1: tie goes to even 2^53
        {"9007199254740993.00000000000000000000000000000000000000001", 0, 0x4340000000000001ull},
        {"0.1000000000000000055511151231257827021181583404541015625", 0, bits(0.1)},
        {"1.#INF", 0, bits(INF)},
        {"-1.#INF", 0, bits(-INF)},
        {"1.#NaN", 0, 0x7FF8000000000000ull},
        {"-1.#nan", 0, 0x7FF8000000000000ull},
        {"1.#inf", 0, bits(INF)},
    };
    for (const Case& c : cases) {
        int32_t rest = -5;
        double v = parse_all(c.text, c.adjust, &rest);
        EXPECT_EQ(bits(v), c.bits) << c.text << " gave " << std::hexfloat << v;
        EXPECT_EQ(rest, 0) << c.text;
    }
}

// Digits far past what any rounding decision needs still decide a tie.
TEST(FloatText, ParseVeryLongDigitStrings) {
    int32_t rest = 0;
    std::string tie = std::string("9007199254740993.") + std::string(900, '0');
    EXPECT_EQ(bits(parse_all(tie, 0, &rest)), 0x4340000000000000ull);
    EXPECT_EQ(bits(parse_all(tie + "1", 0, &rest)), 0x4340000000000001ull);
    EXPECT_EQ(rest, 0);
    std::string long_integer = std::string("9007199254740993") + std::string(900, '0');
    EXPECT_EQ(bits(parse_all(long_integer + "e-900", 0, &rest)), 0x4340000000000000ull);
    EXPECT_EQ(bits(parse_all(long_integer + "1e-901", 0, &rest)), 0x4340000000000001ull);
    EXPECT_EQ(parse_all(std::string("1") + std::string(1000, '0'), 0, &rest), INF);
    EXPECT_EQ(parse_all(std::string("1") + std::string(400, '0') + "e-400", 0, &rest), 1.0);
    EXPECT_EQ(parse_all(std::string("0.") + std::string(1000, '0') + "1e1000", 0, &rest), 0.1);
    EXPECT_EQ(bits(parse_all(std::string("-0.") + std::string(1000, '0') + "1", 0, &rest)), 0x8000000000000000ull);
}

TEST(FloatText, ParseStopsAtTheFirstCharacterNotPartOfTheNumber) {
    struct Case {
        const char* text;
        double value;
        int32_t rest;
    };
    const Case cases[] = {
        {"1.5abc", 1.5, 3}, {"1e", 1.0, 1},   {"1e+", 1.0, 2}, {"2.5e3x", 2500.0, 1},
        {"3'000", 3.0, 4},  {"1.#X", 1.0, 2}, {"1,5", 1.0, 2}, {"7..", 7.0, 1},
        {".", 0.0, 1},      {"abc", 0.0, 3},  {"", 0.0, 0},    {"-", 0.0, 1},
    };
    for (const Case& c : cases) {
        int32_t rest = -5;
        EXPECT_EQ(parse_all(c.text, 0, &rest), c.value) << c.text;
        EXPECT_EQ(rest, c.rest) << c.text;
    }
}

TEST(FloatText, FromTextAcceptsSeparatorsCommaAndSpecials) {
    struct Case {
        const char* text;
        uint64_t bits;
    };
    const Case cases[] = {
        {"1,5", bits(1.5)},
        {"1'000'000.5", bits(1000000.5)},
        {"-2'500,25", bits(-2500.25)},
        {"12'", bits(12.0)},
        {"1.5'", bits(1.5)},
        {"0.000'001", bits(0.000001)},
        {".5", bits(0.5)},
        {"1.", bits(1.0)},
        {"+1e3", bits(1000.0)},
        {"1.5E-3", bits(0.0015)},
        {"1e400", bits(INF)},
        {"-0", 0x8000000000000000ull},
        {"1.#INF", bits(INF)},
        {"-1.#inf", bits(-INF)},
        {"1.#NaN", 0x7FF8000000000000ull},
    };
    for (const Case& c : cases) {
        int32_t error = 7;
        double v = from_bytes(c.text, &error);
        EXPECT_EQ(error, 0) << c.text;
        EXPECT_EQ(bits(v), c.bits) << c.text;
    }
}

TEST(FloatText, FromTextRejectsBadText) {
    const char* bad[] = {
        "",      "+",     "--1",  "+-1",   ".",     "-.",    "1''0",   "'1",    "1.e5", "1e",
        "1e+",   "1e5'",  "1'e5", "1'.5",  "1.'5",  "1.5.6", "1,2.3",  " 1",    "1 ",   "abc",
        "1.#IN", "2.#INF", "1.#INFX", "1x", "0x10", "e5",    "1e5.0",  "1e--5", "inf",  "nan",
    };
    for (const char* s : bad) {
        int32_t error = 0;
        double v = from_bytes(s, &error);
        EXPECT_EQ(error, -1) << '"' << s << '"';
        EXPECT_TRUE(std::isnan(v)) << s;
    }
}

TEST(FloatText, FromTextLengthLimit) {
    int32_t error = 0;
    std::string longest = std::string("0.") + std::string(MAX_FLOAT_TEXT - 3, '0') + "5";
    ASSERT_EQ(int32_t(longest.size()), MAX_FLOAT_TEXT);
    EXPECT_EQ(from_bytes(longest, &error), 5e-310);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(std::isnan(from_bytes(longest + "0", &error)));
    EXPECT_EQ(error, -1);
}

TEST(FloatText, FromTextOnWideUnits) {
    int32_t error = 7;
    const char16_t narrow16[] = u"-2'500,25e-2";
    EXPECT_EQ(from_text(narrow16, 12, 2, &error), -25.0025);
    EXPECT_EQ(error, 0);
    const char32_t narrow32[] = U"1.#INF";
    EXPECT_EQ(from_text(narrow32, 6, 4, &error), INF);
    EXPECT_EQ(error, 0);
    // Units whose low byte is an ASCII digit or point are still not digits.
    const char16_t wide16[] = {u'1', char16_t(0x0132), u'5'};
    EXPECT_TRUE(std::isnan(from_text(wide16, 3, 2, &error)));
    EXPECT_EQ(error, -1);
    const char32_t wide32[] = {U'1', char32_t(0x1002E), U'5'};
    EXPECT_TRUE(std::isnan(from_text(wide32, 3, 4, &error)));
    EXPECT_EQ(error, -1);
    const unsigned char latin1[] = {'1', 0xB7, '5'};  // middle dot
    EXPECT_TRUE(std::isnan(from_text(latin1, 3, 1, &error)));
    EXPECT_EQ(error, -1);
}

TEST(FloatTextDeathTest, UnknownUnitSizeIsFatal) {
    EXPECT_EXIT(
        {
            int32_t error = 0;
            from_text("1", 1, 3, &error);
        },
        testing::ExitedWithCode(101), "");
}

// Mold text reads back to the very same bits, for random bit patterns over the
// whole range (denormals and infinities included).
TEST(FloatText, RoundTripOfRandomDoubles) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
    constexpr int COUNT = 100000;
#else
    constexpr int COUNT = 1000000;
#endif
    std::mt19937_64 gen(20240611);
    int checked = 0;
    for (int i = 0; i < COUNT; i++) {
        uint64_t b = gen();
        if ((b & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (b & 0x000FFFFFFFFFFFFFull)) continue;
        double x = std::bit_cast<double>(b);
        Text t = to_decimal_text(x, 0, true);
        int32_t rest = -1;
        double back = parse(t.text, t.text + t.length, 0, &rest);
        ASSERT_EQ(bits(back), b) << t.text;
        ASSERT_EQ(rest, 0) << t.text;
        if ((i & 15) == 0) {
            int32_t error = -1;
            ASSERT_EQ(bits(from_text(t.text, t.length, 1, &error)), b) << t.text;
            ASSERT_EQ(error, 0);
        }
        checked++;
    }
    EXPECT_GT(checked, COUNT - COUNT / 100);
}

// Shortest digits: small and boundary values keep no more digits than they need.
TEST(FloatText, RoundTripOfBoundaryValues) {
    const double values[] = {DBL_MAX, -DBL_MAX, DBL_MIN, std::bit_cast<double>(uint64_t(1)),
                             std::bit_cast<double>(0x000FFFFFFFFFFFFFull), 0x1p-1074, 0x1p-1022, 0x1p1023,
                             9007199254740992.0, 9007199254740994.0, 1e23, 5e-324, 0.1, -0.0, INF, -INF};
    for (double x : values) {
        Text t = to_decimal_text(x, 0, true);
        int32_t rest = -1;
        EXPECT_EQ(bits(parse(t.text, t.text + t.length, 0, &rest)), bits(x)) << t.text;
        EXPECT_EQ(rest, 0);
    }
    EXPECT_EQ(to_decimal_text(1e23, 0, true).view(), "1.0e23");
    EXPECT_EQ(to_decimal_text(9007199254740992.0, 0, true).view(), "9007199254740992.0");
}
