// money!: the cell, the currency list, conversions, the four decimal
// operations and the text both ways. The actions are in money_actions.cpp.
#include "datatypes/money.hpp"

#include <cmath>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/float_text.hpp"
#include "interpreter/stack.hpp"

namespace kro::money {

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

[[noreturn]] void type_limit(Type t) {
    Cell dt = datatype_of(t);
    fire("script", "type-limit", &dt);
}

// An unpacked magnitude: d[p - 1] is the digit at position p (d[16] the units,
// d[21] the hundred-thousandths). The arithmetic works on these and packs the
// answer back into a cell only once it is known to fit.
struct Amount {
    uint8_t d[SIZE_DIGITS];
};

Amount unpack(const Cell* c) {
    Amount a;
    for (int32_t p = 1; p <= SIZE_DIGITS; p++) a.d[p - 1] = uint8_t(get_digit(digits(c), p));
    return a;
}

bool amount_zero(const Amount& a) {
    for (uint8_t v : a.d)
        if (v) return false;
    return true;
}

int32_t amount_compare(const Amount& a, const Amount& b) {
    for (int32_t i = 0; i < SIZE_DIGITS; i++)
        if (a.d[i] != b.d[i]) return a.d[i] < b.d[i] ? -1 : 1;
    return 0;
}

// The digits and the sign into c; currency and other header bits stay. A zero
// amount never keeps a sign.
void store(Cell* c, bool negative_sign, const Amount& a) {
    uint8_t bytes[DIGIT_BYTES] = {};
    for (int32_t i = 0; i < SIZE_DIGITS; i++) bytes[i / 2] |= uint8_t((i % 2 == 0) ? a.d[i] << 4 : a.d[i]);
    set_digits(c, bytes);
    set_sign(c, negative_sign && !amount_zero(a) ? 1 : 0);
}

// x + y; false when the sum needs an 18th integer digit.
bool add_magnitudes(const Amount& x, const Amount& y, Amount* out) {
    int32_t carry = 0;
    for (int32_t i = SIZE_DIGITS - 1; i >= 0; i--) {
        int32_t s = x.d[i] + y.d[i] + carry;
        out->d[i] = uint8_t(s % 10);
        carry = s / 10;
    }
    return carry == 0;
}

// big - small, with big >= small.
void subtract_magnitudes(const Amount& big, const Amount& small, Amount* out) {
    int32_t borrow = 0;
    for (int32_t i = SIZE_DIGITS - 1; i >= 0; i--) {
        int32_t d = big.d[i] - small.d[i] - borrow;
        borrow = d < 0 ? 1 : 0;
        out->d[i] = uint8_t(d + 10 * borrow);
    }
}

// a + (b or -b) into a: same signs add the magnitudes, different signs take the
// smaller magnitude from the larger and keep the larger one's sign.
Cell* combine(Cell* a, Cell* b, bool negate_b) {
    int32_t sa = sign_of(a), sb = sign_of(b);
    if (negate_b) sb = -sb;
    if (sb == 0) return a;
    Amount x = unpack(a), y = unpack(b), r;
    if (sa == 0) {
        store(a, sb < 0, y);
        return a;
    }
    if (sa == sb) {
        if (!add_magnitudes(x, y, &r)) type_limit(TYPE_MONEY);
        store(a, sa < 0, r);
        return a;
    }
    if (amount_compare(x, y) >= 0) {
        subtract_magnitudes(x, y, &r);
        store(a, sa < 0, r);
    } else {
        subtract_magnitudes(y, x, &r);
        store(a, sb < 0, r);
    }
    return a;
}

// Long division of magnitudes by repeated subtraction. The dividend is a's
// digits, followed by five zeros when scaled (a quotient with five fraction
// digits); quotient receives its digits most significant first (22, or 27 when
// scaled: the count is answered), remainder what is left (below b, so it fits).
// b is not zero.
int32_t long_divide(const Amount& a, const Amount& b, bool scaled, uint8_t quotient[WORK_DIGITS], Amount* remainder) {
    // The running remainder, least significant digit first: it stays below
    // 10 x b, so 23 digits hold it.
    constexpr int32_t R = SIZE_DIGITS + 1;
    uint8_t rem[R] = {};
    uint8_t div[R] = {};
    for (int32_t i = 0; i < SIZE_DIGITS; i++) div[i] = b.d[SIZE_DIGITS - 1 - i];
    int32_t total = scaled ? WORK_DIGITS : SIZE_DIGITS;
    std::memset(quotient, 0, WORK_DIGITS);
    // leading zeros of the dividend leave the remainder and the quotient at zero
    int32_t start = 0;
    while (start < SIZE_DIGITS && a.d[start] == 0) start++;
    for (int32_t t = start; t < total; t++) {
        for (int32_t k = R - 1; k > 0; k--) rem[k] = rem[k - 1];
        rem[0] = t < SIZE_DIGITS ? a.d[t] : 0;
        int32_t q = 0;
        for (;;) {
            int32_t order = 0;
            for (int32_t k = R - 1; k >= 0 && order == 0; k--)
                if (rem[k] != div[k]) order = rem[k] < div[k] ? -1 : 1;
            if (order < 0) break;
            int32_t borrow = 0;
            for (int32_t k = 0; k < R; k++) {
                int32_t d = rem[k] - div[k] - borrow;
                borrow = d < 0 ? 1 : 0;
                rem[k] = uint8_t(d + 10 * borrow);
            }
            q++;
        }
        quotient[t] = uint8_t(q);
    }
    for (int32_t i = 0; i < SIZE_DIGITS; i++) remainder->d[i] = rem[SIZE_DIGITS - 1 - i];
    return total;
}

}  // namespace

// ---- the cell ----------------------------------------------------------------------------

void set_digits(Cell* c, const uint8_t* bytes) { std::memcpy(digits(c), bytes, DIGIT_BYTES); }

void clear(Cell* c) { c->data1 = c->data2 = c->data3 = 0; }

int32_t get_digit(const uint8_t* buffer, int32_t position) {
    uint8_t byte = buffer[(position - 1) / 2];
    return (position % 2 == 1) ? byte >> 4 : byte & 0x0F;
}

void set_digit(uint8_t* buffer, int32_t position, int32_t value) {
    uint8_t* byte = buffer + (position - 1) / 2;
    uint8_t v = uint8_t(value) & 0x0F;
    *byte = (position % 2 == 1) ? uint8_t((*byte & 0x0F) | (v << 4)) : uint8_t((*byte & 0xF0) | v);
}

bool digits_zero(const uint8_t* d) {
    for (int32_t i = 0; i < DIGIT_BYTES; i++)
        if (d[i]) return false;
    return true;
}

int32_t sign_of(const Cell* c) {
    if (digits_zero(digits(c))) return 0;
    return get_sign(c) ? -1 : 1;
}

int32_t significant_digits(const uint8_t* d) {
    for (int32_t i = 0; i < DIGIT_BYTES; i++)
        if (d[i]) return SIZE_DIGITS - 2 * i - ((d[i] >> 4) == 0 ? 1 : 0);
    return 1;
}

int32_t compare_digits(const uint8_t* a, const uint8_t* b) {
    int r = std::memcmp(a, b, DIGIT_BYTES);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

void shift_left(uint8_t* buffer, int32_t bytes, int32_t n) {
    int32_t count = 2 * bytes;
    if (n <= 0) return;
    if (n > count) n = count;
    for (int32_t p = 1; p <= count; p++) set_digit(buffer, p, p + n <= count ? get_digit(buffer, p + n) : 0);
}

void shift_right(uint8_t* buffer, int32_t bytes, int32_t n) {
    int32_t count = 2 * bytes;
    if (n <= 0) return;
    if (n > count) n = count;
    for (int32_t p = count; p >= 1; p--) set_digit(buffer, p, p - n >= 1 ? get_digit(buffer, p - n) : 0);
}

int32_t compare_values(const Cell* a, const Cell* b) {
    int32_t sa = sign_of(a), sb = sign_of(b);
    if (sa > 0 && sb > 0) return compare_digits(digits(a), digits(b));
    if (sa < 0 && sb < 0) return compare_digits(digits(b), digits(a));
    int32_t d = sa - sb;
    return d < 0 ? -1 : d > 0 ? 1 : 0;
}


// ---- currencies ----------------------------------------------------------------------------

namespace {

const char* const STANDARD_CODES[] = {
    "AED", "AFN", "ALL", "AMD", "ANG", "AOA", "ARS", "AUD", "AWG", "AZN", "BAM", "BBD", "BDT", "BTC", "BGN",
    "BHD", "BIF", "BMD", "BND", "BOB", "BRL", "BSD", "BTN", "BWP", "BYN", "BZD", "CAD", "CDF", "CHF", "CKD",
    "CLP", "CNY", "COP", "CRC", "CUC", "CUP", "CVE", "CZK", "DJF", "DKK", "DOP", "DZD", "EGP", "ERN", "ETB",
    "ETH", "EUR", "FJD", "FKP", "FOK", "GBP", "GEL", "GGP", "GHS", "GIP", "GMD", "GNF", "GTQ", "GYD", "HKD",
    "HNL", "HRK", "HTG", "HUF", "IDR", "ILS", "IMP", "INR", "IQD", "IRR", "ISK", "JEP", "JMD", "JOD", "JPY",
    "KES", "KGS", "KHR", "KID", "KMF", "KPW", "KRW", "KWD", "KYD", "KZT", "LAK", "LBP", "LKR", "LRD", "LSL",
    "LYD", "MAD", "MDL", "MGA", "MKD", "MMK", "MNT", "MOP", "MRU", "MUR", "MVR", "MWK", "MXN", "MYR", "MZN",
    "NAD", "NGN", "NIO", "NOK", "NPR", "NZD", "OMR", "PAB", "PEN", "PGK", "PHP", "PKR", "PLN", "PND", "PRB",
    "PYG", "QAR", "KRO", "RON", "RSD", "RUB", "RWF", "SAR", "SBD", "SCR", "SDG", "SEK", "SGD", "SHP", "SLL",
    "SLS", "SOS", "SRD", "SSP", "STN", "SYP", "SZL", "THB", "TJS", "TMT", "TND", "TOP", "TRY", "TTD", "TVD",
    "TWD", "TZS", "UAH", "UGX", "USD", "UYU", "UZS", "VES", "VND", "VUV", "WST", "CFA", "XAF", "XCD", "XOF",
    "CFP", "XPF", "YER", "ZAR", "ZMW",
};
static_assert(sizeof STANDARD_CODES / sizeof STANDARD_CODES[0] == 170);

char fold(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool word_cell(const Cell* c) { return word::any_word_type(c->type()); }

}  // namespace

namespace {
// The list block; the collector reaches it through mark_currency_list.
Cell currencies{uint32_t(TYPE_NONE), 0, 0, 0};
}  // namespace

void mark_currency_list() { collector::mark_value(&currencies); }

Cell* currency_list() {
    if (!currencies.is(TYPE_BLOCK)) {
        Cell list;
        block::make_at(&list, int32_t(sizeof STANDARD_CODES / sizeof STANDARD_CODES[0]));
        for (const char* code : STANDARD_CODES) word::make_global_from_name(code, &list);
        currencies = list;
    }
    return &currencies;
}

void set_currency_list(const Cell* list) { currencies = *list; }

int32_t currency_index(const Cell* w) {
    if (!word_cell(w)) return -1;
    int32_t wanted = symbol::resolve(int32_t(w->data2));
    const Cell* list = currency_list();
    int32_t n = block::length(list);
    for (int32_t i = 0; i < n; i++) {
        const Cell* entry = block::at(list, i);
        if (word_cell(entry) && symbol::resolve(int32_t(entry->data2)) == wanted)
            return i < MAX_CURRENCY ? i + 1 : -1;
    }
    return -1;
}

int32_t currency_index_of(const char* text, size_t length) {
    const Cell* list = currency_list();
    int32_t n = block::length(list);
    for (int32_t i = 0; i < n; i++) {
        const Cell* entry = block::at(list, i);
        if (!word_cell(entry)) continue;
        std::string_view name = symbol::name(int32_t(entry->data2));
        if (name.size() != length) continue;
        size_t k = 0;
        while (k < length && fold(name[k]) == fold(text[k])) k++;
        if (k == length) return i < MAX_CURRENCY ? i + 1 : -1;
    }
    return -1;
}

Cell currency_at(int32_t index) {
    const Cell* list = currency_list();
    if (index < 1 || index > block::length(list)) return none::value;
    const Cell* entry = block::at(list, index - 1);
    return word_cell(entry) ? *entry : none::value;
}

Cell currency_word(const Cell* value) {
    int32_t index = get_currency(value);
    return index ? currency_at(index) : none::value;
}

bool compatible(const Cell* a, const Cell* b, bool strict) {
    int32_t ca = get_currency(a), cb = get_currency(b);
    return ca == cb || (!strict && (ca == 0 || cb == 0));
}

// ---- making and converting ------------------------------------------------------------------

Cell* make_at(Cell* c, int32_t sign, int32_t currency, const uint8_t* digit_bytes) {
    c->header = uint32_t(TYPE_MONEY);
    clear(c);
    set_currency(c, currency);
    set_digits(c, digit_bytes);
    set_sign(c, sign && !digits_zero(digit_bytes) ? 1 : 0);
    return c;
}

Cell* push(int32_t sign, int32_t currency, const uint8_t* digit_bytes) {
    return make_at(stack::push_cell(), sign, currency, digit_bytes);
}

Cell* from_text(Cell* c, int32_t sign, const char* currency, size_t currency_length, const char* integer,
                size_t integer_length, const char* fraction, size_t fraction_length) {
    int32_t index = 0;
    if (currency) {
        index = currency_index_of(currency, currency_length);
        if (index < 0) return nullptr;
    }
    Amount a{};
    // integer digits from the units backwards; only zeros may fall off the front
    int32_t p = INTEGER_DIGITS;
    for (size_t i = integer_length; i-- > 0;) {
        char ch = integer[i];
        if (ch == '\'') continue;
        if (ch < '0' || ch > '9') return nullptr;
        if (p < 1) {
            if (ch != '0') return nullptr;
            continue;
        }
        a.d[p - 1] = uint8_t(ch - '0');
        p--;
    }
    // fraction digits forwards; those past the fifth are cut
    p = INTEGER_DIGITS + 1;
    for (size_t i = 0; fraction && i < fraction_length; i++) {
        char ch = fraction[i];
        if (ch == '\'') continue;
        if (ch < '0' || ch > '9') return nullptr;
        if (p <= SIZE_DIGITS) a.d[p - 1] = uint8_t(ch - '0');
        p++;
    }
    c->header = uint32_t(TYPE_MONEY);
    clear(c);
    set_currency(c, index);
    store(c, sign != 0, a);
    return c;
}

Cell of_integer(int32_t i) {
    Amount a{};
    int64_t v = i;
    uint64_t m = uint64_t(v < 0 ? -v : v);
    for (int32_t p = INTEGER_DIGITS; m != 0; p--) {
        a.d[p - 1] = uint8_t(m % 10);
        m /= 10;
    }
    Cell c{uint32_t(TYPE_MONEY), 0, 0, 0};
    store(&c, i < 0, a);
    return c;
}

Cell* from_integer(int32_t i) {
    Cell* c = stack::push_cell();
    *c = of_integer(i);
    return c;
}

int32_t to_integer(const Cell* c) {
    if (zero(c)) return 0;
    // only the integer part counts: -$2147483648.5 is still in range
    if (significant_digits(digits(c)) - FRACTION_DIGITS > 10) type_limit(TYPE_INTEGER);
    int64_t v = 0;
    for (int32_t p = INTEGER_DIGITS - 9; p <= INTEGER_DIGITS; p++) v = v * 10 + get_digit(digits(c), p);
    bool neg = negative(c);
    if (v > (neg ? int64_t(2147483648) : int64_t(2147483647))) type_limit(TYPE_INTEGER);
    return int32_t(neg ? -v : v);
}

bool float_overflow(double x) { return !(std::fabs(x) < 1e17); }

bool float_underflow(double x) { return x != 0.0 && std::fabs(x) < 1e-5; }

namespace {

[[noreturn]] void bad_float(double x) {
    Cell dt = datatype_of(TYPE_MONEY);
    Cell f{uint32_t(TYPE_FLOAT), 0, 0, 0};
    f.set_float(x);
    fire("script", "bad-make-arg", &dt, &f);
}

}  // namespace

bool fits_fraction(double x) {
    if (x == 0.0) return true;
    floatx::Digits dg = floatx::format(x, 0, false);
    return dg.count - dg.exponent <= FRACTION_DIGITS;
}

Cell of_float(double x, bool strict) {
    if (std::isnan(x) || float_overflow(x) || float_underflow(x)) bad_float(x);
    Cell c{uint32_t(TYPE_MONEY), 0, 0, 0};
    if (x == 0.0) return c;
    // The shortest digits that read back to x: 0.3 is three tenths here, not
    // the 0.29999... of its exact binary value. The value is 0.d1d2... x 10^e,
    // with e between -4 and 17 in money's range.
    floatx::Digits dg = floatx::format(x, 0, false);
    const char* ds = dg.digits();
    int32_t n = dg.count, e = dg.exponent;
    if (strict && n - e > FRACTION_DIGITS) bad_float(x);
    char integer[INTEGER_DIGITS + 1], fraction[48];
    int32_t il = 0, fl = 0;
    for (int32_t i = 0; i < e; i++) integer[il++] = i < n ? ds[i] : '0';
    for (int32_t i = e; i < 0; i++) fraction[fl++] = '0';
    for (int32_t i = e > 0 ? e : 0; i < n; i++) fraction[fl++] = ds[i];
    from_text(&c, x < 0 ? 1 : 0, nullptr, 0, integer, size_t(il), fraction, size_t(fl));
    return c;
}

Cell* from_float(double x, bool strict) {
    Cell v = of_float(x, strict);
    Cell* c = stack::push_cell();
    *c = v;
    return c;
}

double to_float(const Cell* c) {
    if (zero(c)) return 0.0;
    // the decimal text of the magnitude, read back correctly rounded
    char text[SIZE_DIGITS + 2];
    int32_t n = 0;
    for (int32_t p = SIZE_DIGITS + 1 - significant_digits(digits(c)); p <= INTEGER_DIGITS; p++)
        text[n++] = char('0' + get_digit(digits(c), p));
    if (n == 0) text[n++] = '0';
    text[n++] = '.';
    for (int32_t p = INTEGER_DIGITS + 1; p <= SIZE_DIGITS; p++) text[n++] = char('0' + get_digit(digits(c), p));
    int32_t rest = 0;
    double v = floatx::parse(text, text + n, 0, &rest);
    return negative(c) ? -v : v;
}

// ---- arithmetic ----------------------------------------------------------------------------

Cell* add_values(Cell* a, Cell* b) { return combine(a, b, false); }

Cell* subtract_values(Cell* a, Cell* b) { return combine(a, b, true); }

Cell* multiply_values(Cell* a, Cell* b) {
    int32_t sa = sign_of(a), sb = sign_of(b);
    if (sa == 0) return a;
    if (sb == 0) {
        store(a, false, Amount{});
        return a;
    }
    int32_t ha = significant_digits(digits(a)), hb = significant_digits(digits(b));
    // a product of ha + hb digits with ten fraction digits: 29 or more leave
    // at least 18 integer digits
    if (ha + hb > SIZE_DIGITS + 6) type_limit(TYPE_MONEY);
    Amount x = unpack(a), y = unpack(b);
    // acc[k] is the product's digit worth 10^(k - 10)
    constexpr int32_t K = 2 * SIZE_DIGITS + 2;
    uint32_t acc[K] = {};
    for (int32_t j = SIZE_DIGITS; j > SIZE_DIGITS - hb; j--) {
        uint32_t db = y.d[j - 1];
        if (!db) continue;
        for (int32_t i = SIZE_DIGITS; i > SIZE_DIGITS - ha; i--)
            acc[(INTEGER_DIGITS - i) + (INTEGER_DIGITS - j) + 10] += db * x.d[i - 1];
    }
    for (int32_t k = 0; k + 1 < K; k++) {
        acc[k + 1] += acc[k] / 10;
        acc[k] %= 10;
    }
    for (int32_t k = 27; k < K; k++)
        if (acc[k]) type_limit(TYPE_MONEY);
    // positions 1-22 are the digits worth 10^16 .. 10^-5; the five below are cut
    Amount r;
    for (int32_t p = 1; p <= SIZE_DIGITS; p++) r.d[p - 1] = uint8_t(acc[27 - p]);
    if (amount_zero(r)) type_limit(TYPE_MONEY);
    store(a, sa != sb, r);
    return a;
}

Cell* divide_values(Cell* a, Cell* b, bool remainder) {
    int32_t sa = sign_of(a), sb = sign_of(b);
    if (sb == 0) fire("math", "zero-divide");
    if (sa == 0) return a;
    uint8_t q[WORK_DIGITS];
    Amount rest;
    int32_t total = long_divide(unpack(a), unpack(b), !remainder, q, &rest);
    if (remainder) {
        store(a, sa < 0, rest);
        return a;
    }
    // the last 22 quotient digits hold the amount; any digit before them is an 18th integer digit
    for (int32_t i = 0; i < total - SIZE_DIGITS; i++)
        if (q[i]) type_limit(TYPE_MONEY);
    Amount r;
    std::memcpy(r.d, q + total - SIZE_DIGITS, SIZE_DIGITS);
    if (amount_zero(r)) type_limit(TYPE_MONEY);
    store(a, sa != sb, r);
    return a;
}

Cell magnitude_remainder(const Cell* a, const Cell* b, bool* odd_quotient) {
    uint8_t q[WORK_DIGITS];
    Amount rest;
    int32_t total = long_divide(unpack(a), unpack(b), false, q, &rest);
    *odd_quotient = (q[total - 1] & 1) != 0;
    Cell c{uint32_t(TYPE_MONEY), 0, 0, 0};
    store(&c, false, rest);
    return c;
}

// ---- text ----------------------------------------------------------------------------------

const Cell* (*digits_option)() = nullptr;

int32_t shown_digits() {
    const Cell* option = digits_option ? digits_option() : nullptr;
    int32_t d = option && option->is(TYPE_INTEGER) ? int32_t(option->data2) : 2;
    return d > FRACTION_DIGITS ? FRACTION_DIGITS : d < 0 ? 0 : d;
}

std::string text(const Cell* value, bool grouped, int32_t fraction) {
    std::string out;
    if (negative(value)) out += '-';
    Cell code = currency_word(value);
    if (!code.is(TYPE_NONE)) out += symbol::name(int32_t(code.data2));
    out += '$';
    const uint8_t* d = digits(value);
    int32_t first = SIZE_DIGITS + 1 - significant_digits(d);
    if (first > INTEGER_DIGITS) out += '0';
    for (int32_t p = first; p <= INTEGER_DIGITS; p++) {
        out += char('0' + get_digit(d, p));
        if (grouped && p < INTEGER_DIGITS && (p + 1) % 3 == 0) out += '\'';
    }
    if (fraction > FRACTION_DIGITS) fraction = FRACTION_DIGITS;
    if (fraction >= 1) {
        out += '.';
        for (int32_t p = INTEGER_DIGITS + 1; p <= INTEGER_DIGITS + fraction; p++) out += char('0' + get_digit(d, p));
    }
    return out;
}

namespace {

bool ascii_letter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool ascii_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// The shared reading of money text; literal selects the rules of source text.
bool parse(const uint8_t* t, size_t n, bool literal, Cell* out) {
    size_t i = 0;
    int32_t sign = 0;
    if (i < n && (t[i] == '+' || t[i] == '-')) sign = t[i++] == '-' ? 1 : 0;
    const char* code = nullptr;
    size_t letters = 0;
    while (i + letters < n && ascii_letter(t[i + letters])) letters++;
    if (letters > 0) {
        // a code is exactly three letters and stands right before the "$"
        if (letters != 3 || i + 3 >= n || t[i + 3] != '$') return false;
        code = reinterpret_cast<const char*>(t + i);
        i += 4;
    } else if (i < n && t[i] == '$') {
        i++;
    } else if (literal) {
        return false;
    }
    size_t int_start = i;
    int32_t int_digits = 0, significant = 0;
    bool after_separator = false;
    while (i < n && (ascii_digit(t[i]) || t[i] == '\'')) {
        if (t[i] == '\'') {
            if (i == int_start || after_separator) return false;
            after_separator = true;
        } else {
            after_separator = false;
            int_digits++;
            if (significant || t[i] != '0') significant++;
        }
        i++;
    }
    if (after_separator || significant > INTEGER_DIGITS) return false;
    size_t int_end = i, frac_start = i, frac_end = i;
    if (i < n && (t[i] == '.' || (literal && t[i] == ','))) {
        frac_start = ++i;
        while (i < n && ascii_digit(t[i])) i++;
        frac_end = i;
        if (literal && frac_end - frac_start > size_t(FRACTION_DIGITS)) return false;
    }
    if (i != n) return false;
    if (int_digits == 0 && (literal || frac_end == frac_start)) return false;
    Cell c;
    if (!from_text(&c, sign, code, code ? 3 : 0, reinterpret_cast<const char*>(t + int_start), int_end - int_start,
                   reinterpret_cast<const char*>(t + frac_start), frac_end - frac_start))
        return false;
    *out = c;
    return true;
}

}  // namespace

bool load_literal(const uint8_t* text, size_t length, Cell* out) { return parse(text, length, true, out); }

bool scan_text(const uint8_t* text, size_t length, Cell* out) { return parse(text, length, false, out); }

}  // namespace kro::money
