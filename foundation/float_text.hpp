// Decimal text of doubles, both ways: the shortest digits that read back to the
// same double (or a fixed count of significant digits), the language's float
// layout of those digits, and correctly rounded reading of decimal text.
// Nothing here depends on the locale or on the floating-point environment.
#pragma once
#include <cstdint>
#include <string_view>

namespace kro::floatx {

// Decimal exponents that mark the texts of the special values.
constexpr int32_t EXPONENT_SPECIAL = 9999;  // NaN and the infinities
constexpr int32_t EXPONENT_ZERO = 9998;     // 0.0 and -0.0
// Most significant digits a fixed-precision request gives.
constexpr int32_t MAX_DIGITS = 30;
// Longest float text that from_text accepts, in units.
constexpr int32_t MAX_FLOAT_TEXT = 312;

struct Digits {
    char text[40];     // NUL-ended; a "-" in front for a negative value
    int32_t length;    // characters in text
    int32_t count;     // characters after the sign: the digit count of a finite non-zero value
    int32_t exponent;  // the value is 0.d1d2... x 10^exponent, or one of the markers above
    bool negative;     // the sign shown in text (never set for NaN)

    const char* digits() const { return text + (negative ? 1 : 0); }
};

// The decimal digits of x, trailing zeros removed. precision <= 0 gives the
// shortest digits that read back to x; n > 0 gives x rounded to n significant
// digits (at most MAX_DIGITS), ties to even. NaN is "1.#NaN", the infinities
// "1.#INF" and "-1.#INF"; zero is "0"/"-0", or "0.0"/"-0.0" with zero_with_point.
Digits format(double x, int32_t precision, bool zero_with_point);

struct Text {
    char text[48];  // NUL-ended
    int32_t length;

    std::string_view view() const { return {text, size_t(length)}; }
};

// The language's float text of x: plain decimals for 10^-7 <= |x| < 10^17
// (0.0000001, 10000000000000000.0), else one digit, the fraction and "e" with the
// exponent (1.0e17, 1.5e-8). A point without fraction digits becomes ".0" when
// add_point_zero is set and is dropped otherwise. Mold uses (x, 0, true).
Text to_decimal_text(double x, int32_t precision, bool add_point_zero);

// Reads the longest prefix of [start, end) that is a decimal number: optional
// sign, digits, optional "." and digits, optional e/E exponent with optional
// sign; or "1.#INF", "1.#NaN" (any letter case, optional sign). The decimal
// exponent is shifted by adjust (12.5 with -2 reads as 0.125). Out of range
// gives an infinity or a zero of the text's sign. *rest receives the count of
// characters not consumed; nothing is consumed when no digit is found.
double parse(const char* start, const char* end, int32_t adjust, int32_t* rest);

// The conversion behind `to float!` of a string: the whole text of length units
// of unit bytes each (1, 2 or 4) must be float text: "," serves as the decimal
// point, "'" separates digits, and the special texts read back. On success
// *error is 0; on bad text, or text longer than MAX_FLOAT_TEXT, *error is -1 and
// the answer is NaN. Any other unit size is a fatal runtime error (101).
double from_text(const void* text, int32_t length, int32_t unit, int32_t* error);

}  // namespace kro::floatx
