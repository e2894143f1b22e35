#include "foundation/float_text.hpp"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#include "foundation/frame.hpp"

namespace kro::floatx {

namespace {

constexpr uint64_t SIGN_BIT = 0x8000000000000000ull;
constexpr uint64_t EXPONENT_BITS = 0x7FF0000000000000ull;
constexpr uint64_t MANTISSA_BITS = 0x000FFFFFFFFFFFFFull;

void set_text(Digits& d, const char* s) {
    size_t n = std::strlen(s);
    std::memcpy(d.text, s, n + 1);
    d.length = int32_t(n);
    d.count = d.length - (d.negative ? 1 : 0);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

// "1.#INF" or "1.#NAN" in any letter case at s (sign already taken). Answers 1
// for infinity, 2 for NaN, 0 for anything else.
int special_at(const char* s, const char* end) {
    if (end - s < 6 || s[0] != '1' || s[1] != '.' || s[2] != '#') return 0;
    char a = upper(s[3]), b = upper(s[4]), c = upper(s[5]);
    if (a == 'I' && b == 'N' && c == 'F') return 1;
    if (a == 'N' && b == 'A' && c == 'N') return 2;
    return 0;
}

// Significant digits of a decimal text, value = digits x 10^exponent. Past
// KEPT digits only whether anything non-zero follows matters: every midpoint
// between two doubles has fewer significant digits than that, so a trailing
// "1" in place of the dropped tail rounds the same way as the tail itself.
struct DecimalDigits {
    static constexpr int32_t KEPT = 780;
    char buf[KEPT + 1];
    int32_t n = 0;
    int64_t exponent = 0;
    bool dropped_nonzero = false;

    void integer_digit(char c) {
        if (n == 0 && c == '0') return;
        if (n < KEPT) {
            buf[n++] = c;
        } else {
            exponent++;
            dropped_nonzero |= c != '0';
        }
    }
    void fraction_digit(char c) {
        if (n == 0 && c == '0') {
            exponent--;
            return;
        }
        if (n < KEPT) {
            buf[n++] = c;
            exponent--;
        } else {
            dropped_nonzero |= c != '0';
        }
    }
};

// Saturates far beyond any exponent that still matters, so that the sum with
// the digits' own exponent and the adjustment cannot overflow.
constexpr int64_t EXPONENT_CEILING = 1000000000000000ll;

double to_double(DecimalDigits& d, int64_t exponent) {
    if (d.dropped_nonzero) {
        d.buf[d.n++] = '1';
        exponent--;
    } else {
        while (d.n > 0 && d.buf[d.n - 1] == '0') {
            d.n--;
            exponent++;
        }
    }
    if (d.n == 0) return 0.0;
    // The decimal magnitude: the value lies in [10^(m-1), 10^m).
    int64_t magnitude = d.n + exponent;
    if (magnitude > 400) return std::numeric_limits<double>::infinity();
    if (magnitude < -400) return 0.0;
    char text[DecimalDigits::KEPT + 16];
    std::memcpy(text, d.buf, size_t(d.n));
    char* p = text + d.n;
    *p++ = 'e';
    auto written = std::to_chars(p, text + sizeof text, exponent);
    double value = 0.0;
    auto r = std::from_chars(text, written.ptr, value, std::chars_format::scientific);
    if (r.ec == std::errc::result_out_of_range)
        return magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return value;
}

}  // namespace

Digits format(double x, int32_t precision, bool zero_with_point) {
    Digits d{};
    uint64_t bits = std::bit_cast<uint64_t>(x);
    d.negative = (bits & SIGN_BIT) != 0;

    if ((bits & EXPONENT_BITS) == EXPONENT_BITS) {
        d.exponent = EXPONENT_SPECIAL;
        if (bits & MANTISSA_BITS) {
            d.negative = false;  // NaN shows no sign
            set_text(d, "1.#NaN");
        } else {
            set_text(d, d.negative ? "-1.#INF" : "1.#INF");
        }
        return d;
    }
    if ((bits & ~SIGN_BIT) == 0) {
        d.exponent = EXPONENT_ZERO;
        if (zero_with_point)
            set_text(d, d.negative ? "-0.0" : "0.0");
        else
            set_text(d, d.negative ? "-0" : "0");
        return d;
    }

    double magnitude = std::bit_cast<double>(bits & ~SIGN_BIT);
    char sci[64];
    std::to_chars_result r;
    if (precision <= 0) {
        r = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
    } else {
        int32_t n = precision > MAX_DIGITS ? MAX_DIGITS : precision;
        r = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific, n - 1);
    }
    // The scientific text is d[.ddd]e(+|-)xx.
    char* out = d.text;
    if (d.negative) *out++ = '-';
    char* first = out;
    const char* s = sci;
    for (; s < r.ptr && *s != 'e'; s++)
        if (*s != '.') *out++ = *s;
    while (out > first + 1 && out[-1] == '0') out--;
    *out = 0;
    int32_t e10 = 0;
    std::from_chars(s + 1 + (s[1] == '+' ? 1 : 0), r.ptr, e10);
    d.length = int32_t(out - d.text);
    d.count = int32_t(out - first);
    d.exponent = e10 + 1;
    return d;
}

Text to_decimal_text(double x, int32_t precision, bool add_point_zero) {
    Digits d = format(x, precision, add_point_zero);
    Text t{};
    if (d.exponent >= EXPONENT_ZERO) {
        std::memcpy(t.text, d.text, size_t(d.length) + 1);
        t.length = d.length;
        return t;
    }
    const char* digits = d.digits();
    int32_t c = d.count;
    int32_t p = d.exponent;
    char* out = t.text;
    if (d.negative) *out++ = '-';

    // A point with nothing after it: ".0" or nothing.
    auto close_point = [&] {
        if (out[-1] != '.') return;
        if (add_point_zero)
            *out++ = '0';
        else
            out--;
    };

    if (p >= 18 || p < -6) {
        *out++ = digits[0];
        *out++ = '.';
        std::memcpy(out, digits + 1, size_t(c - 1));
        out += c - 1;
        close_point();
        *out++ = 'e';
        out = std::to_chars(out, t.text + sizeof t.text, p - 1).ptr;
    } else if (p < 1) {
        *out++ = '0';
        *out++ = '.';
        for (int32_t i = 0; i < -p; i++) *out++ = '0';
        std::memcpy(out, digits, size_t(c));
        out += c;
    } else {
        for (int32_t i = 0; i < p; i++) *out++ = i < c ? digits[i] : '0';
        *out++ = '.';
        if (c > p) {
            std::memcpy(out, digits + p, size_t(c - p));
            out += c - p;
        }
        close_point();
    }
    *out = 0;
    t.length = int32_t(out - t.text);
    return t;
}

double parse(const char* start, const char* end, int32_t adjust, int32_t* rest) {
    const char* s = start;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-')) {
        negative = *s == '-';
        s++;
    }
    if (int special = special_at(s, end)) {
        *rest = int32_t(end - (s + 6));
        if (special == 2) return std::bit_cast<double>(0x7FF8000000000000ull);
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }

    DecimalDigits d;
    bool any_digit = false;
    for (; s < end && is_digit(*s); s++) {
        d.integer_digit(*s);
        any_digit = true;
    }
    if (s < end && *s == '.') {
        const char* p = s + 1;
        for (; p < end && is_digit(*p); p++) {
            d.fraction_digit(*p);
            any_digit = true;
        }
        if (any_digit) s = p;  // a lone point is not a number
    }
    if (!any_digit) {
        *rest = int32_t(end - start);
        return 0.0;
    }

    int64_t written = 0;
    if (s < end && (*s == 'e' || *s == 'E')) {
        const char* p = s + 1;
        bool exponent_negative = false;
        if (p < end && (*p == '+' || *p == '-')) {
            exponent_negative = *p == '-';
            p++;
        }
        if (p < end && is_digit(*p)) {
            for (; p < end && is_digit(*p); p++)
                if (written < EXPONENT_CEILING) written = written * 10 + (*p - '0');
            if (exponent_negative) written = -written;
            s = p;
        }
    }
    *rest = int32_t(end - s);
    double value = to_double(d, d.exponent + written + adjust);
    return negative ? -value : value;
}

double from_text(const void* text, int32_t length, int32_t unit, int32_t* error) {
    if (unit != 1 && unit != 2 && unit != 4) rt_error::no_switch_match();
    const double nan = std::bit_cast<double>(0x7FF8000000000000ull);
    *error = -1;
    if (length < 0 || length > MAX_FLOAT_TEXT) return nan;

    // ASCII copy with "," as the decimal point; anything beyond ASCII is simply
    // not float text and must not alias an ASCII byte by truncation.
    char raw[MAX_FLOAT_TEXT];
    auto bytes = static_cast<const uint8_t*>(text);
    for (int32_t i = 0; i < length; i++) {
        uint32_t c;
        if (unit == 1) {
            c = bytes[i];
        } else if (unit == 2) {
            uint16_t u;
            std::memcpy(&u, bytes + 2 * i, 2);
            c = u;
        } else {
            std::memcpy(&c, bytes + 4 * i, 4);
        }
        raw[i] = c == ',' ? '.' : (c < 0x80 ? char(c) : '\x01');
    }

    const char* end = raw + length;
    const char* body = raw + ((length > 0 && (raw[0] == '+' || raw[0] == '-')) ? 1 : 0);
    if (special_at(body, end) && end - body == 6) {
        int32_t rest = 0;
        double v = parse(raw, end, 0, &rest);
        *error = 0;
        return v;
    }

    // Column: 0 other, 1 sign, 2 digit, 3 exponent letter, 4 point, 5 "'", 6 end.
    // State 11 follows a leading sign: one sign only.
    static constexpr uint8_t next[12][7] = {
        {10, 11, 1, 10, 4, 10, 10},    // 0 start
        {10, 10, 1, 6, 5, 2, 9},       // 1 integer digits
        {10, 10, 1, 10, 10, 10, 9},    // 2 separator in the integer part
        {10, 10, 3, 6, 10, 4, 9},      // 3 fraction digits
        {10, 10, 3, 10, 10, 10, 9},    // 4 leading point, or separator in the fraction
        {10, 10, 3, 10, 10, 10, 9},    // 5 point after integer digits
        {10, 7, 8, 10, 10, 10, 10},    // 6 exponent letter
        {10, 10, 8, 10, 10, 10, 10},   // 7 exponent sign
        {10, 10, 8, 10, 10, 10, 9},    // 8 exponent digits
        {9, 9, 9, 9, 9, 9, 9},         // 9 accept
        {10, 10, 10, 10, 10, 10, 10},  // 10 reject
        {10, 10, 1, 10, 4, 10, 10},    // 11 after the sign
    };
    char clean[MAX_FLOAT_TEXT];
    int32_t n = 0;
    int state = 0;
    bool any_digit = false;
    for (const char* s = raw; s < end && state != 10; s++) {
        char c = *s;
        int column = 0;
        if (c == '+' || c == '-')
            column = 1;
        else if (is_digit(c))
            column = 2;
        else if (c == 'e' || c == 'E')
            column = 3;
        else if (c == '.')
            column = 4;
        else if (c == '\'')
            column = 5;
        // Every digit before an exponent letter is a digit of the number.
        if (column == 2 && state != 6 && state != 7 && state != 8) any_digit = true;
        state = next[state][column];
        if (column != 5) clean[n++] = c;
    }
    if (next[state][6] == 10 || !any_digit) return nan;

    int32_t rest = 0;
    double v = parse(clean, clean + n, 0, &rest);
    if (rest != 0) return nan;
    *error = 0;
    return v;
}

}  // namespace kro::floatx
