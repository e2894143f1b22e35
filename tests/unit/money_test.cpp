#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/money.hpp"
#include "foundation/collector.hpp"
#include "io/lexer.hpp"
#include "io/random.hpp"
#include "number_fixtures.hpp"

using namespace kro;
using namespace kro::testing_numbers;
using testing_blocks::block_of;
using testing_blocks::raised;
using testing_blocks::text;
using testing_blocks::w;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

// A money value from literal text; a literal the reader refuses fails the test.
Cell M(const char* literal) {
    Cell c{};
    bool ok = money::load_literal(reinterpret_cast<const uint8_t*>(literal), std::strlen(literal), &c);
    EXPECT_TRUE(ok) << literal;
    return c;
}

// mold/all of a money value (every fraction digit), or a short description
// of any other result.
std::string show(const Cell& c) {
    char buf[64];
    switch (c.type()) {
        case TYPE_MONEY: return money::text(&c, false, 5);
        case TYPE_FLOAT: std::snprintf(buf, sizeof buf, "float %.17g", c.get_float()); return buf;
        case TYPE_INTEGER: return "integer " + std::to_string(int32_t(c.data2));
        case TYPE_WORD: return "word " + std::string(symbol::name(int32_t(c.data2)));
        case TYPE_NONE: return "none";
        case TYPE_UNSET: return "unset";
        case TYPE_LOGIC: return c.data1 ? "true" : "false";
        default: return "type " + std::to_string(int(c.type()));
    }
}

template <class F>
std::string result_of(F f) {
    Cell r{};
    std::string err = raised([&] { r = f(); });
    return err.empty() ? show(r) : "error " + err;
}

std::string math(int slot, Cell a, Cell b) {
    return result_of([&] { return call_slot(slot, {a, b}); });
}

// make or to money! through the type's slot.
Cell call_to(int slot, Cell spec) {
    Cell proto = datatype_cell(TYPE_MONEY);
    auto fn = reinterpret_cast<SlotFn<A_TO>>(datatype::entry(TYPE_MONEY, slot));
    return *fn(&proto, &spec, TYPE_MONEY);
}

int32_t index_of(const char* code) {
    Cell word = w(code);
    return money::currency_index(&word);
}

int32_t compare(Cell a, Cell b, int32_t op) { return datatype::action<A_COMPARE>(TYPE_MONEY)(&a, &b, op); }

// Sets system/options/money-digits for a scope.
class MoneyDigits {
public:
    explicit MoneyDigits(Cell option) {
        current = option;
        money::digits_option = [] { return static_cast<const Cell*>(&current); };
    }
    ~MoneyDigits() { money::digits_option = nullptr; }

private:
    static inline Cell current{};
};

// Keeps the currency list as it was when the scope began.
class ListGuard {
public:
    ListGuard() : length_(block::length(money::currency_list())) {}
    ~ListGuard() { block::ks_clear_from(money::currency_list(), length_); }

private:
    int32_t length_;
};

std::string molded(const Cell& v, bool all = false) { return testing_blocks::mold_text(v, false, false, -1, nullptr, all); }
std::string formed(const Cell& v) { return testing_blocks::form_text(v); }

}  // namespace

// ---- the cell ----------------------------------------------------------------------------------

TEST(Money, CellLayoutAndDigitHelpers) {
    Cell v = M("-USD$1234.5");
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&v);
    EXPECT_EQ(v.type(), TYPE_MONEY);
    EXPECT_EQ(v.header & money::SIGN_FLAG, money::SIGN_FLAG);
    EXPECT_EQ(bytes[4], index_of("USD"));
    // 1234.5: positions 14-18 hold 1 2 3 4 5, two digits a byte from byte 5, high nibble first
    const uint8_t expected[11] = {0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x45, 0, 0};
    EXPECT_EQ(std::memcmp(bytes + 5, expected, 11), 0);
    EXPECT_EQ(money::significant_digits(money::digits(&v)), 9);
    EXPECT_EQ(money::get_digit(money::digits(&v), 17), 4);
    EXPECT_EQ(money::get_digit(money::digits(&v), 18), 5);

    uint8_t buf[4] = {0x12, 0x34, 0x56, 0x78};
    money::set_digit(buf, 3, 9);
    money::set_digit(buf, 8, 0);
    EXPECT_EQ(buf[1], 0x94);
    EXPECT_EQ(buf[3], 0x70);
    money::shift_right(buf, 4, 3);
    const uint8_t right[4] = {0x00, 0x01, 0x29, 0x45};
    EXPECT_EQ(std::memcmp(buf, right, 4), 0);
    money::shift_left(buf, 4, 5);
    const uint8_t left[4] = {0x94, 0x50, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(buf, left, 4), 0);
    money::shift_left(buf, 4, 100);
    EXPECT_TRUE(buf[0] == 0 && buf[1] == 0);

    Cell zero = M("$0");
    EXPECT_EQ(money::significant_digits(money::digits(&zero)), 1);
    EXPECT_EQ(money::sign_pair(-1, 0), 1);
    EXPECT_EQ(money::sign_pair(1, 1), 34);
}

TEST(Money, ZeroWithASignBitIsZero) {
    Cell z = M("$0");
    z.header |= money::SIGN_FLAG;
    EXPECT_EQ(money::sign_of(&z), 0);
    EXPECT_EQ(compare(z, M("$0"), 0), 0);
    EXPECT_EQ(compare(z, M("-$0.00001"), 5), 1);
    EXPECT_EQ(molded(z), "$0.00");
    EXPECT_EQ(molded(M("-$0.000")), "$0.00");
    // and no result of this module carries such a bit
    Cell neg_zero = M("-$0");
    EXPECT_EQ(neg_zero.header & money::SIGN_FLAG, 0u);
    EXPECT_EQ(show(call_slot(A_SUBTRACT, {M("-$1"), M("-$1")})), "$0.00000");
    EXPECT_EQ((call_slot(A_SUBTRACT, {M("-$1"), M("-$1")}).header & money::SIGN_FLAG), 0u);
}

// ---- currencies --------------------------------------------------------------------------------

TEST(Money, CurrencyListAndLookup) {
    const Cell* list = money::currency_list();
    EXPECT_EQ(block::length(list), 170);
    struct Case {
        const char* code;
        int32_t index;
    } cases[] = {{"AED", 1}, {"KRO", 123}, {"usd", 155}, {"Eur", 47}, {"ZMW", 170}, {"XYZ", -1}, {"US", -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(index_of(c.code), c.index) << c.code;
        EXPECT_EQ(money::currency_index_of(c.code, std::strlen(c.code)), c.index) << c.code;
    }
    // the list survives collections, moved or not
    collector::collect();
    EXPECT_EQ(collector::check_heap(), "");
    EXPECT_EQ(index_of("KRO"), 123);
    EXPECT_EQ(show(money::currency_at(123)), "word KRO");
    EXPECT_EQ(show(money::currency_at(171)), "none");
    EXPECT_EQ(show(money::currency_at(0)), "none");
    Cell five = int_cell(5);
    EXPECT_EQ(money::currency_index(&five), -1);
}

TEST(Money, AppendedCurrenciesAreUsableUpToTheByte) {
    ListGuard guard;
    Cell* list = money::currency_list();
    word::make_global_from_name("ABC", list);
    EXPECT_EQ(index_of("abc"), 171);
    EXPECT_EQ(molded(M("abc$2")), "ABC$2.00");
    // position 256 and beyond cannot be recorded in the cell's byte
    for (int i = 172; i <= 256; i++) {
        char name[8];
        std::snprintf(name, sizeof name, "Q%d", i);
        word::make_global_from_name(name, list);
    }
    EXPECT_EQ(index_of("Q255"), 255);
    EXPECT_EQ(index_of("Q256"), -1);
    Cell q256 = w("Q256");
    EXPECT_EQ(result_of([&] { return money::from_word(&q256); }), "error script/bad-make-arg");
}

// ---- literals and text -------------------------------------------------------------------------

TEST(Money, Literals) {
    struct Case {
        const char* literal;
        const char* all;  // mold/all, or "invalid"
    } cases[] = {
        {"$12.50", "$12.50000"},
        {"-$3", "-$3.00000"},
        {"+$3", "$3.00000"},
        {"USD$1'000.25", "USD$1000.25000"},
        {"-EUR$0.00001", "-EUR$0.00001"},
        {"usd$1", "USD$1.00000"},
        {"$1,5", "$1.50000"},
        {"$1.", "$1.00000"},
        {"$0007", "$7.00000"},
        {"$12345678901234567.12345", "$12345678901234567.12345"},
        {"$00000000012345678901234567", "$12345678901234567.00000"},
        {"$99'999'999'999'999'999.99999", "$99999999999999999.99999"},
        {"$123456789012345678", "invalid"},
        {"$1.123456", "invalid"},
        {"$1,123456", "invalid"},
        {"US$1", "invalid"},
        {"USDX$1", "invalid"},
        {"XYZ$1", "invalid"},
        {"$1''000", "invalid"},
        {"$1000'", "invalid"},
        {"$1'.5", "invalid"},
        {"$1.2'5", "invalid"},
        {"$'1", "invalid"},
        {"$", "invalid"},
        {"$.5", "invalid"},
        {"12", "invalid"},
        {"$-1", "invalid"},
        {"$1x", "invalid"},
        {"USD1", "invalid"},
        {"", "invalid"},
    };
    for (const Case& c : cases) {
        Cell v{};
        bool ok = money::load_literal(reinterpret_cast<const uint8_t*>(c.literal), std::strlen(c.literal), &v);
        EXPECT_EQ(ok ? show(v) : "invalid", c.all) << c.literal;
    }
}

// Literals in source text reach the same reader through the tokenizer.
TEST(Money, LiteralsLoadThroughTheTokenizer) {
    struct Case {
        const char* source;
        const char* result;
    } cases[] = {
        {"$12.50", "$12.50000"},
        {"-USD$1'000.25", "-USD$1000.25000"},
        {"eur$0.5", "EUR$0.50000"},
        {"$1.123456", "error syntax/invalid"},
        {"XYZ$1", "error syntax/invalid"},
        {"$123456789012345678", "error syntax/invalid"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(result_of([&] {
                      Cell v{};
                      lexer::scan_one(reinterpret_cast<const uint8_t*>(c.source), std::strlen(c.source), &v);
                      return v;
                  }),
                  c.result)
            << c.source;
    }
}

// Any text: the readers never misbehave, and what they accept molds to text
// that reads back to the very same cell.
TEST(Money, ReadersAcceptOnlyWhatRoundTrips) {
    std::mt19937_64 gen(99);
    const char alphabet[] = "0000123456789$$''..,,-+UuSsDdEeRrXx \x80";
    int accepted = 0;
    for (int i = 0; i < 40000; i++) {
        std::string t;
        size_t n = gen() % 14;
        for (size_t k = 0; k < n; k++) t += alphabet[gen() % (sizeof alphabet - 1)];
        for (bool literal : {true, false}) {
            Cell v{};
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(t.data());
            bool ok = literal ? money::load_literal(bytes, t.size(), &v) : money::scan_text(bytes, t.size(), &v);
            if (!ok) continue;
            accepted++;
            std::string all = money::text(&v, false, 5);
            Cell again{};
            ASSERT_TRUE(money::load_literal(reinterpret_cast<const uint8_t*>(all.data()), all.size(), &again)) << t;
            ASSERT_EQ(std::memcmp(&v, &again, sizeof v), 0) << t << " -> " << all;
            for (int32_t p = 1; p <= money::SIZE_DIGITS; p++) ASSERT_LE(money::get_digit(money::digits(&v), p), 9);
        }
    }
    EXPECT_GT(accepted, 1000);
}

TEST(Money, ToFromText) {
    struct Case {
        const char* what;
        Cell spec;
        const char* all;
    } cases[] = {
        {"plain digits", text("12"), "$12.00000"},
        {"dollar", text("$12"), "$12.00000"},
        {"code", text("usd$12.5"), "USD$12.50000"},
        {"sign", text("-1'000.5"), "-$1000.50000"},
        {"six decimals are cut", text("1.123456"), "$1.12345"},
        {"point only before", text(".5"), "$0.50000"},
        {"point last", text("1."), "$1.00000"},
        {"wide string", text("€", 2), "error script/bad-to-arg"},
        {"wide digits", text("7.25", 4), "$7.25000"},
        {"code needs the dollar", text("USD12"), "error script/bad-to-arg"},
        {"two letters", text("US$1"), "error script/bad-to-arg"},
        {"unknown code", text("XYZ$1"), "error script/bad-to-arg"},
        {"comma", text("1,5"), "error script/bad-to-arg"},
        {"separator first", text("'1"), "error script/bad-to-arg"},
        {"separator before point", text("1'.5"), "error script/bad-to-arg"},
        {"two points", text("1.2.3"), "error script/bad-to-arg"},
        {"eighteen digits", text("123456789012345678"), "error script/bad-to-arg"},
        {"blank", text(" 1"), "error script/bad-to-arg"},
        {"empty", text(""), "error script/bad-to-arg"},
        {"point alone", text("."), "error script/bad-to-arg"},
        {"integer", int_cell(-7), "-$7.00000"},
        {"float", real(2.675), "$2.67500"},
        {"float, six decimals", real(1.123456), "error script/bad-make-arg"},
        {"money", M("EUR$4"), "EUR$4.00000"},
        {"percent", percent(0.5), "error script/bad-to-arg"},
        {"logic", logic::make(true), "error script/bad-to-arg"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(result_of([&] { return call_to(A_TO, c.spec); }), c.all) << c.what;
    }
}

TEST(Money, MoldAndForm) {
    struct Case {
        const char* literal;
        Cell digits;  // system/options/money-digits
        const char* mold;
        const char* form;
    } cases[] = {
        {"-USD$1234.5", int_cell(2), "-USD$1234.50", "-USD$1'234.50"},
        {"$0", int_cell(2), "$0.00", "$0.00"},
        {"$0.5", int_cell(2), "$0.50", "$0.50"},
        {"$1234567.891", int_cell(2), "$1234567.89", "$1'234'567.89"},
        {"$1234567.891", int_cell(0), "$1234567", "$1'234'567"},
        {"$1234567.891", int_cell(-3), "$1234567", "$1'234'567"},
        {"$1234567.891", int_cell(3), "$1234567.891", "$1'234'567.891"},
        {"$1234567.891", int_cell(9), "$1234567.89100", "$1'234'567.89100"},
        {"$1234567.891", real(4.0), "$1234567.89", "$1'234'567.89"},
        {"$0.99999", int_cell(2), "$0.99", "$0.99"},
        {"$123", int_cell(2), "$123.00", "$123.00"},
        {"$1234", int_cell(2), "$1234.00", "$1'234.00"},
        {"$12345678901234567", int_cell(1), "$12345678901234567.0", "$12'345'678'901'234'567.0"},
        {"-KRO$0.00001", int_cell(2), "-KRO$0.00", "-KRO$0.00"},
    };
    for (const Case& c : cases) {
        MoneyDigits option(c.digits);
        Cell v = M(c.literal);
        EXPECT_EQ(molded(v), c.mold) << c.literal;
        EXPECT_EQ(formed(v), c.form) << c.literal;
    }
    // mold/all shows every fraction digit whatever the option
    MoneyDigits option(int_cell(0));
    EXPECT_EQ(molded(M("-USD$1234.5"), true), "-USD$1234.50000");
    // the budget falls by the characters written
    int32_t left = 0;
    testing_blocks::form_text(M("USD$1234"), 20, &left);
    EXPECT_EQ(left, 20 - int32_t(std::strlen("USD$1'234")));
}

// ---- conversions ---------------------------------------------------------------------------------

TEST(Money, IntegerConversions) {
    struct From {
        int32_t i;
        const char* all;
    } from[] = {{0, "$0.00000"},
                {1, "$1.00000"},
                {-1, "-$1.00000"},
                {INT32_MAX, "$2147483647.00000"},
                {INT32_MIN, "-$2147483648.00000"}};
    for (const From& c : from) EXPECT_EQ(show(money::of_integer(c.i)), c.all) << c.i;
    int32_t depth = stack::depth();
    Cell* pushed = money::from_integer(-5);
    EXPECT_EQ(stack::depth(), depth + 1);
    EXPECT_EQ(show(*pushed), "-$5.00000");
    stack::pop(1);

    struct To {
        const char* literal;
        const char* result;
    } to[] = {
        {"$0", "integer 0"},
        {"$2147483647.99", "integer 2147483647"},
        {"-$2147483648.5", "integer -2147483648"},
        {"-$2.7", "integer -2"},
        {"$0.99999", "integer 0"},
        {"$2147483648", "error script/type-limit"},
        {"-$2147483649", "error script/type-limit"},
        {"$12345678901", "error script/type-limit"},
    };
    for (const To& c : to) {
        Cell v = M(c.literal);
        EXPECT_EQ(result_of([&] { return integer::make(money::to_integer(&v)); }), c.result) << c.literal;
    }
    // the error names integer!
    Cell big = M("$2147483648");
    raised([&] { money::to_integer(&big); });
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_INTEGER));
}

TEST(Money, FloatConversions) {
    struct From {
        double x;
        const char* strict;
        const char* loose;
    } from[] = {
        {0.0, "$0.00000", "$0.00000"},
        {-0.0, "$0.00000", "$0.00000"},
        {0.1, "$0.10000", "$0.10000"},
        {0.3, "$0.30000", "$0.30000"},
        {-2.5, "-$2.50000", "-$2.50000"},
        {1.123456, "error script/bad-make-arg", "$1.12345"},
        {2.0 / 3.0, "error script/bad-make-arg", "$0.66666"},
        {0.00001, "$0.00001", "$0.00001"},
        {0.000015, "error script/bad-make-arg", "$0.00001"},
        {0.0000099, "error script/bad-make-arg", "error script/bad-make-arg"},
        // the shortest digits of this double are 9999999999999998 x 10^1
        {99999999999999984.0, "$99999999999999980.00000", "$99999999999999980.00000"},
        {1e17, "error script/bad-make-arg", "error script/bad-make-arg"},
        {-1e17, "error script/bad-make-arg", "error script/bad-make-arg"},
        {1234567.25, "$1234567.25000", "$1234567.25000"},
        {INF, "error script/bad-make-arg", "error script/bad-make-arg"},
        {NaN, "error script/bad-make-arg", "error script/bad-make-arg"},
    };
    for (const From& c : from) {
        EXPECT_EQ(result_of([&] { return money::of_float(c.x, true); }), c.strict) << c.x;
        EXPECT_EQ(result_of([&] { return money::of_float(c.x, false); }), c.loose) << c.x;
    }
    EXPECT_TRUE(money::float_overflow(1e17) && money::float_overflow(-INF) && money::float_overflow(NaN));
    EXPECT_FALSE(money::float_overflow(99999999999999984.0));
    EXPECT_TRUE(money::float_underflow(-9.9e-6));
    EXPECT_FALSE(money::float_underflow(0.0) || money::float_underflow(1e-5));

    struct To {
        const char* literal;
        double x;
    } to[] = {{"$0", 0.0},
              {"$0.1", 0.1},
              {"-$3", -3.0},
              {"$0.00001", 1e-5},
              {"$1234567.891", 1234567.891},
              {"$99999999999999999.99999", 1e17},
              {"-$12345678901234567.12345", -12345678901234567.12345}};
    for (const To& c : to) {
        Cell v = M(c.literal);
        EXPECT_EQ(money::to_float(&v), c.x) << c.literal;
    }
}

// Floats from a spread of magnitudes against their shortest fixed text, cut
// at five fraction digits.
TEST(Money, FloatsAgreeWithTheirShortestText) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> exponent(-5.0, 17.0);
    for (int i = 0; i < 3000; i++) {
        double x = std::pow(10.0, exponent(gen)) * (i % 2 ? -1 : 1);
        if (money::float_overflow(x) || money::float_underflow(x)) continue;
        // the shortest digits d1.d2... x 10^e, laid out in plain decimals
        char buf[64];
        auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
        std::string t(buf, res.ptr);
        bool neg = t[0] == '-';
        if (neg) t.erase(0, 1);
        size_t e = t.find('e');
        int integer_digits = std::stoi(t.substr(e + 1)) + 1;
        std::string mant = t.substr(0, e);
        mant.erase(std::remove(mant.begin(), mant.end(), '.'), mant.end());
        int n = int(mant.size());
        std::string whole, frac;
        if (integer_digits <= 0) {
            whole = "0";
            frac = std::string(size_t(-integer_digits), '0') + mant;
        } else if (integer_digits >= n) {
            whole = mant + std::string(size_t(integer_digits - n), '0');
        } else {
            whole = mant.substr(0, size_t(integer_digits));
            frac = mant.substr(size_t(integer_digits));
        }
        frac = (frac + "00000").substr(0, 5);
        std::string expected = whole + frac;
        bool zero = expected.find_first_not_of('0') == std::string::npos;
        std::string want = std::string(neg && !zero ? "-" : "") + "$" + whole + "." + frac;
        Cell v = money::of_float(x, false);
        ASSERT_EQ(show(v), want) << t;
        // and back: the nearest double of the amount's text
        double back = std::strtod(show(v).substr(neg && !zero ? 2 : 1).c_str(), nullptr);
        ASSERT_EQ(money::to_float(&v), neg ? -back : back) << t;
    }
}

// ---- arithmetic ------------------------------------------------------------------------------------

TEST(Money, MixedArithmetic) {
    struct Case {
        int slot;
        Cell a, b;
        const char* result;
    } cases[] = {
        {A_ADD, M("$0.1"), M("$0.2"), "$0.30000"},
        {A_DIVIDE, M("$1"), int_cell(3), "$0.33333"},
        {A_DIVIDE, M("$2"), int_cell(3), "$0.66666"},
        {A_DIVIDE, M("-$2"), int_cell(3), "-$0.66666"},
        {A_MULTIPLY, M("$0.00001"), real(0.5), "error script/type-limit"},
        {A_DIVIDE, M("$0.00001"), int_cell(3), "error script/type-limit"},
        {A_ADD, M("$99999999999999999.99999"), M("$0.00001"), "error script/type-limit"},
        {A_SUBTRACT, M("-$99999999999999999.99999"), M("$0.00001"), "error script/type-limit"},
        {A_SUBTRACT, M("$99999999999999999.99999"), M("$0.00001"), "$99999999999999999.99998"},
        {A_SUBTRACT, M("-$99999999999999999.99999"), M("-$99999999999999999.99999"), "$0.00000"},
        {A_ADD, M("$1"), real(1.123456), "$2.12345"},
        {A_ADD, M("$1"), real(0.3), "$1.30000"},
        {A_ADD, M("USD$1"), M("$2"), "USD$3.00000"},
        {A_ADD, M("$1"), M("EUR$2"), "EUR$3.00000"},
        {A_ADD, M("USD$1"), M("EUR$1"), "error script/wrong-denom"},
        {A_SUBTRACT, M("USD$1"), M("USD$3"), "-USD$2.00000"},
        {A_SUBTRACT, M("-$1"), M("$3"), "-$4.00000"},
        {A_SUBTRACT, M("$1"), M("-$3"), "$4.00000"},
        {A_SUBTRACT, M("-$5"), M("-$3"), "-$2.00000"},
        {A_SUBTRACT, M("$0"), M("$3"), "-$3.00000"},
        {A_ADD, M("$5"), M("-$8"), "-$3.00000"},
        {A_ADD, M("-$5"), M("$8"), "$3.00000"},
        {A_DIVIDE, M("USD$10"), M("USD$4"), "float 2.5"},
        {A_DIVIDE, M("$1"), M("$3"), "float 0.33333000000000002"},
        {A_DIVIDE, M("USD$1"), M("EUR$3"), "error script/wrong-denom"},
        {A_MULTIPLY, M("$10"), M("$2"), "error script/invalid-type"},
        {A_DIVIDE, int_cell(10), M("$2"), "error script/invalid-type"},
        {A_REMAINDER, real(10.0), M("$2"), "error script/invalid-type"},
        {A_MULTIPLY, M("$10"), percent(0.5), "$5.00000"},
        {A_MULTIPLY, M("-USD$1.5"), int_cell(-3), "USD$4.50000"},
        {A_MULTIPLY, M("$0"), int_cell(3), "$0.00000"},
        {A_MULTIPLY, M("$3"), int_cell(0), "$0.00000"},
        {A_MULTIPLY, M("$12345678.9"), int_cell(1000000000), "$12345678900000000.00000"},
        {A_MULTIPLY, M("$12345678.9"), real(1e10), "error script/type-limit"},
        {A_MULTIPLY, M("$0.00003"), real(0.5), "$0.00001"},
        {A_MULTIPLY, M("$1.11111"), real(1.11111), "$1.23456"},
        {A_DIVIDE, M("$10000000000000000"), real(0.5), "$20000000000000000.00000"},
        {A_DIVIDE, M("$50000000000000000"), real(0.5), "error script/type-limit"},
        {A_DIVIDE, M("$99999999999999999.99999"), real(0.99999), "error script/type-limit"},
        {A_DIVIDE, M("$5"), int_cell(0), "error math/zero-divide"},
        {A_DIVIDE, M("$0"), int_cell(0), "error math/zero-divide"},
        {A_DIVIDE, M("$0"), int_cell(7), "$0.00000"},
        {A_DIVIDE, M("$0"), M("$7"), "float 0"},
        {A_REMAINDER, M("$7"), M("$2"), "$1.00000"},
        {A_REMAINDER, M("-$7"), M("$2"), "-$1.00000"},
        {A_REMAINDER, M("$7"), M("-$2"), "$1.00000"},
        {A_REMAINDER, M("$7.5"), real(0.7), "$0.50000"},
        {A_REMAINDER, M("$6"), int_cell(2), "$0.00000"},
        {A_REMAINDER, M("$12345678901234567"), real(0.001), "$0.00000"},
        {A_REMAINDER, M("$1"), int_cell(0), "error math/zero-divide"},
        {A_ADD, M("$1"), text("2"), "error script/invalid-type"},
        {A_ADD, M("$1"), time_of(60.0), "error script/invalid-type"},
        {A_ADD, M("$1"), real(NaN), "error script/bad-make-arg"},
        {A_ADD, M("$1"), real(2e17), "error script/bad-make-arg"},
        // integer! and float! math hand a money! operand over
        {A_ADD, int_cell(1), M("USD$2"), "USD$3.00000"},
        {A_SUBTRACT, int_cell(1), M("$2.5"), "-$1.50000"},
        {A_MULTIPLY, int_cell(3), M("$2.5"), "$7.50000"},
        {A_DIVIDE, int_cell(3), M("$2.5"), "error script/invalid-type"},
        {A_ADD, real(1.5), M("$1"), "$2.50000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(math(c.slot, c.a, c.b), c.result) << show(c.a) << " slot " << c.slot << " " << show(c.b);
    }
    // the errors name what they refuse
    raised([] { call_slot(A_MULTIPLY, {M("$10"), M("$2")}); });
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_MONEY));
    raised([] { call_slot(A_DIVIDE, {int_cell(10), M("$2")}); });
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_INTEGER));
    raised([] { call_slot(A_ADD, {M("USD$1"), M("EUR$1")}); });
    EXPECT_EQ(show(last_raised().args[0]) + " " + show(last_raised().args[1]), "USD$1.00000 EUR$1.00000");
    raised([] { call_slot(A_ADD, {M("$1"), real(0.000001)}); });
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_MONEY));
}

namespace {

// An independent model of the amounts: a sign and the magnitude in units of
// 10^-5, in 128-bit integers.
using u128 = unsigned __int128;
const u128 LIMIT = [] {
    u128 v = 1;
    for (int i = 0; i < 22; i++) v *= 10;
    return v;
}();

std::string decimal(u128 v) {
    std::string s;
    do {
        s.insert(s.begin(), char('0' + int(v % 10)));
        v /= 10;
    } while (v);
    return s;
}

std::string model_text(bool neg, u128 mag) {
    std::string d = decimal(mag);
    if (d.size() < 6) d.insert(0, 6 - d.size(), '0');
    return std::string(neg && mag ? "-" : "") + "$" + d.substr(0, d.size() - 5) + "." + d.substr(d.size() - 5);
}

struct Model {
    bool neg;
    u128 mag;
};

Model random_model(std::mt19937_64& gen) {
    int length = int(gen() % 22) + 1;
    u128 v = 0;
    for (int i = 0; i < length; i++) v = v * 10 + gen() % 10;
    return {gen() % 2 == 0, v};
}

std::string expected(int op, Model a, Model b) {
    const u128 P5 = 100000;
    switch (op) {
        case 0:
        case 1: {
            bool bn = op == 1 ? !b.neg : b.neg;
            if (a.neg == bn) {
                u128 s = a.mag + b.mag;
                return s >= LIMIT ? "error script/type-limit" : model_text(a.neg, s);
            }
            return a.mag >= b.mag ? model_text(a.neg, a.mag - b.mag) : model_text(bn, b.mag - a.mag);
        }
        case 2: {
            if (a.mag == 0 || b.mag == 0) return "$0.00000";
            if (a.mag > (LIMIT * P5 - 1) / b.mag) return "error script/type-limit";
            u128 q = a.mag * b.mag / P5;
            return q == 0 || q >= LIMIT ? "error script/type-limit" : model_text(a.neg != b.neg, q);
        }
        case 3: {
            if (b.mag == 0) return "error math/zero-divide";
            if (a.mag == 0) return "$0.00000";
            u128 q = a.mag * P5 / b.mag;
            return q == 0 || q >= LIMIT ? "error script/type-limit" : model_text(a.neg != b.neg, q);
        }
        default:
            if (b.mag == 0) return "error math/zero-divide";
            return model_text(a.neg, a.mag % b.mag);
    }
}

}  // namespace

// The decimal operations against the 128-bit model, over operands of every
// length, so that carries, borrows, overflows and cut-off products all occur.
TEST(Money, ArithmeticAgreesWithAnIndependentModel) {
    std::mt19937_64 gen(2024);
    int errors_seen = 0;
    for (int i = 0; i < 20000; i++) {
        Model a = random_model(gen), b = random_model(gen);
        if (i % 7 == 0) b.mag %= 1000;  // small divisors and factors too
        int op = i % 5;
        Cell x = M(model_text(a.neg, a.mag).c_str()), y = M(model_text(b.neg, b.mag).c_str());
        std::string got = result_of([&] {
            switch (op) {
                case 0: return *money::add_values(&x, &y);
                case 1: return *money::subtract_values(&x, &y);
                case 2: return *money::multiply_values(&x, &y);
                case 3: return *money::divide_values(&x, &y, false);
                default: return *money::divide_values(&x, &y, true);
            }
        });
        std::string want = expected(op, a, b);
        if (want.rfind("error", 0) == 0) errors_seen++;
        ASSERT_EQ(got, want) << model_text(a.neg, a.mag) << " op " << op << " " << model_text(b.neg, b.mag);
    }
    EXPECT_GT(errors_seen, 100);
}

TEST(Money, AbsoluteNegateEvenOdd) {
    EXPECT_EQ(show(call_slot(A_ABSOLUTE, {M("-USD$2.5")})), "USD$2.50000");
    auto negate = datatype::action<A_NEGATE>(TYPE_MONEY);
    Cell v = M("EUR$2.5");
    EXPECT_EQ(show(*negate(&v)), "-EUR$2.50000");
    EXPECT_EQ(show(*negate(&v)), "EUR$2.50000");
    Cell z = M("$0");
    EXPECT_EQ(negate(&z)->header & money::SIGN_FLAG, 0u);
    struct Case {
        const char* literal;
        bool even;
    } cases[] = {{"$3.99", false}, {"$4.5", true}, {"-$7", false}, {"$0.5", true}, {"$10", true}};
    for (const Case& c : cases) {
        Cell m = M(c.literal);
        EXPECT_EQ(datatype::action<A_EVEN_Q>(TYPE_MONEY)(&m), c.even) << c.literal;
        EXPECT_EQ(datatype::action<A_ODD_Q>(TYPE_MONEY)(&m), !c.even) << c.literal;
    }
}

// ---- comparison ----------------------------------------------------------------------------------

TEST(Money, Comparison) {
    struct Case {
        Cell a, b;
        int32_t op;
        const char* result;
    } cases[] = {
        {M("$1"), M("USD$1"), 0, "0"},
        {M("$1"), M("USD$1"), 2, "1"},
        {M("USD$1"), M("EUR$1"), 0, "1"},
        {M("USD$1"), M("EUR$1"), 1, "1"},
        {M("USD$1"), M("EUR$2"), 3, "error script/wrong-denom"},
        {M("USD$1"), M("$2"), 3, "-1"},
        {M("USD$1"), M("USD$1"), 9, "0"},
        {M("USD$1"), M("$1"), 9, "1"},
        {M("USD$1"), M("$1"), 12, "0"},
        {M("$1"), M("USD$1"), 12, "1"},
        {M("-$2"), M("-$1"), 3, "-1"},
        {M("-$1"), M("$0"), 5, "-1"},
        {M("$2"), M("$10"), 3, "-1"},
        {M("$1"), int_cell(1), 0, "0"},
        {M("$1"), int_cell(1), 2, "1"},
        {M("$1.5"), int_cell(1), 5, "1"},
        {M("$0.3"), real(0.3), 0, "0"},
        {M("$0.3"), real(0.3), 9, "1"},
        // a float no amount holds is unequal, and ordered by its true value
        {M("$1"), real(1.123456), 0, "-1"},
        {M("$1.12345"), real(1.123456), 0, "-1"},
        {M("$1.12345"), real(1.123456), 5, "-1"},
        {M("-$1.12345"), real(-1.123456), 3, "1"},
        {M("$1.12346"), real(1.123456), 5, "1"},
        {M("$1"), real(1e17), 3, "-1"},
        {M("$1"), real(-INF), 3, "1"},
        {M("$1"), real(1e-6), 5, "1"},
        {M("-$1"), real(1e-6), 3, "-1"},
        {M("$0"), real(1e-6), 3, "-1"},
        {M("$0"), real(-1e-6), 5, "1"},
        {M("$1"), real(NaN), 0, "1"},
        {M("$1"), real(NaN), 3, "1"},
        {M("$1"), real(NaN), 5, "-1"},
        {M("$1"), real(NaN), 7, "-1"},
        {M("$0.5"), percent(0.5), 0, "0"},
        {M("$1"), percent(0.5), 5, "1"},
        {M("$1"), text("1"), 3, "-2"},
    };
    for (const Case& c : cases) {
        std::string got;
        std::string err = raised([&] { got = std::to_string(compare(c.a, c.b, c.op)); });
        EXPECT_EQ(err.empty() ? got : "error " + err, c.result) << show(c.a) << " op " << c.op << " " << show(c.b);
    }
}

TEST(Money, SortOrderPutsBareAmountsFirstThenCodesBySpelling) {
    std::vector<Cell> values = {M("USD$1"), M("EUR$5"), M("$3"), M("EUR$2"), M("-$1"), M("AED$9")};
    std::sort(values.begin(), values.end(), [](Cell a, Cell b) { return compare(a, b, 7) < 0; });
    std::string order;
    for (const Cell& v : values) order += show(v) + " ";
    EXPECT_EQ(order, "-$1.00000 $3.00000 AED$9.00000 EUR$2.00000 EUR$5.00000 USD$1.00000 ");
}

TEST(Money, IntegerAndFloatComparisonsHandOver) {
    Cell one = int_cell(1), m = M("$1");
    EXPECT_TRUE(actions::compare(&one, &m, 0));
    Cell two = M("USD$2");
    EXPECT_TRUE(actions::compare(&one, &two, 3));
    Cell f = real(0.3), p3 = M("$0.3");
    EXPECT_TRUE(actions::compare(&f, &p3, 0));
    int32_t depth = stack::depth();
    EXPECT_FALSE(actions::compare(&one, &two, 5));
    EXPECT_EQ(stack::depth(), depth);
    // to integer! and to float! of an amount
    EXPECT_EQ(converted(A_TO, TYPE_INTEGER, M("-$2147483648.5")), "integer -2147483648");
    EXPECT_EQ(converted(A_TO, TYPE_INTEGER, M("$2147483648")), "error script/type-limit");
    EXPECT_EQ(converted(A_TO, TYPE_FLOAT, M("$0.1")), "float 0.10000000000000001");
}

// ---- round ------------------------------------------------------------------------------------------

TEST(Money, Round) {
    enum Mode { NONE, EVEN, DOWN, HALF_DOWN, FLOOR, CEILING, HALF_CEILING };
    struct Case {
        const char* n;
        Cell* scale;
        Mode mode;
        const char* result;
    };
    Cell cents = M("$0.05"), ten = int_cell(10), tenth = real(0.1), zero_scale = int_cell(0), neg_scale = M("-$2"),
         euro_scale = M("EUR$0.5"), pct = percent(0.5), fine = real(0.001), fine6 = real(0.000001);
    Case cases[] = {
        {"$2.5", nullptr, NONE, "$3.00000"},
        {"-$2.5", nullptr, NONE, "-$3.00000"},
        {"$2.4", nullptr, NONE, "$2.00000"},
        {"$2.5", nullptr, EVEN, "$2.00000"},
        {"$3.5", nullptr, EVEN, "$4.00000"},
        {"$3.4", nullptr, EVEN, "$3.00000"},
        {"-$2.5", nullptr, EVEN, "-$2.00000"},
        {"-$2.7", nullptr, DOWN, "-$2.00000"},
        {"$2.7", nullptr, DOWN, "$2.00000"},
        {"-$2.1", nullptr, FLOOR, "-$3.00000"},
        {"$2.9", nullptr, FLOOR, "$2.00000"},
        {"$2.1", nullptr, CEILING, "$3.00000"},
        {"-$2.9", nullptr, CEILING, "-$2.00000"},
        {"$5", nullptr, CEILING, "$5.00000"},
        {"$2.5", nullptr, HALF_DOWN, "$2.00000"},
        {"$2.51", nullptr, HALF_DOWN, "$3.00000"},
        {"$2.5", nullptr, HALF_CEILING, "$3.00000"},
        {"-$2.5", nullptr, HALF_CEILING, "-$2.00000"},
        {"-$2.6", nullptr, HALF_CEILING, "-$3.00000"},
        {"$0.4", nullptr, NONE, "$0.00000"},
        {"-$0.4", nullptr, NONE, "$0.00000"},
        {"$0", nullptr, CEILING, "$0.00000"},
        {"$1.234", &cents, NONE, "$1.25000"},
        {"$1.224", &cents, NONE, "$1.20000"},
        {"$1.225", &cents, EVEN, "$1.20000"},
        {"USD$123", &ten, NONE, "USD$120.00000"},
        {"$125", &ten, EVEN, "$120.00000"},
        {"$135", &ten, EVEN, "$140.00000"},
        {"$1.25", &tenth, NONE, "$1.30000"},
        {"$7", &neg_scale, NONE, "$8.00000"},
        {"USD$1.3", &euro_scale, NONE, "USD$1.50000"},
        {"$7.3", &zero_scale, NONE, "$7.30000"},
        {"$12345678901234567.1235", &fine, NONE, "$12345678901234567.12400"},
        {"$1", &pct, NONE, "error script/not-related"},
        {"$1", &fine6, NONE, "error script/bad-make-arg"},
        {"$99999999999999999.5", nullptr, DOWN, "$99999999999999999.00000"},
        {"$99999999999999999.5", nullptr, NONE, "error script/type-limit"},
        {"-$99999999999999999.5", nullptr, CEILING, "-$99999999999999999.00000"},
    };
    auto round = datatype::action<A_ROUND>(TYPE_MONEY);
    for (const Case& c : cases) {
        Cell n = M(c.n);
        std::string got = result_of([&] {
            return *round(&n, c.scale, c.mode == EVEN, c.mode == DOWN, c.mode == HALF_DOWN, c.mode == FLOOR,
                          c.mode == CEILING, c.mode == HALF_CEILING);
        });
        EXPECT_EQ(got, c.result) << c.n << " mode " << c.mode;
    }
    // /down comes first among the modes
    Cell n = M("-$2.5");
    EXPECT_EQ(show(*round(&n, nullptr, true, true, false, true, false, false)), "-$2.00000");
}

// ---- make --------------------------------------------------------------------------------------------

TEST(Money, MakeFromWordsAndBlocks) {
    struct Case {
        const char* what;
        Cell spec;
        const char* result;
    } cases[] = {
        {"word", w("usd"), "USD$0.00000"},
        {"lit-word", w("EUR", TYPE_LIT_WORD), "EUR$0.00000"},
        {"unknown word", w("XYZ"), "error script/bad-make-arg"},
        {"code, integer, fraction", block_of({w("USD"), int_cell(12), int_cell(50)}), "USD$12.00050"},
        {"whole fraction", block_of({w("USD"), int_cell(12), int_cell(50000)}), "USD$12.50000"},
        {"negative amount", block_of({int_cell(-12), int_cell(5)}), "-$12.00005"},
        {"largest fraction", block_of({int_cell(0), int_cell(99999)}), "$0.99999"},
        {"fraction too large", block_of({int_cell(1), int_cell(100000)}), "error script/bad-make-arg"},
        {"negative fraction", block_of({int_cell(1), int_cell(-1)}), "error script/bad-make-arg"},
        {"float fraction", block_of({int_cell(1), real(5.0)}), "error script/bad-make-arg"},
        {"code and float", block_of({w("EUR"), real(1.5)}), "EUR$1.50000"},
        {"float then more", block_of({w("USD"), real(1.5), int_cell(2)}), "error script/bad-make-arg"},
        {"float, six decimals", block_of({real(1.123456)}), "error script/bad-make-arg"},
        {"amount only", block_of({int_cell(7)}), "$7.00000"},
        {"code alone", block_of({w("USD")}), "error script/bad-make-arg"},
        {"unknown code", block_of({w("XYZ"), int_cell(1)}), "error script/bad-make-arg"},
        {"empty", block_of({}), "error script/bad-make-arg"},
        {"four values", block_of({w("USD"), int_cell(1), int_cell(2), int_cell(3)}), "error script/bad-make-arg"},
        {"text amount", block_of({text("1")}), "error script/bad-make-arg"},
        {"money amount", block_of({M("$1")}), "error script/bad-make-arg"},
        {"integer", int_cell(5), "$5.00000"},
        {"text", text("USD$1.5"), "USD$1.50000"},
        {"float", real(1.123456), "error script/bad-make-arg"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(result_of([&] { return call_to(A_MAKE, c.spec); }), c.result) << c.what;
    }
    // a refused spec is named in the error
    Cell spec = block_of({w("USD")});
    raised([&] { call_to(A_MAKE, spec); });
    EXPECT_TRUE(last_raised().args[1].is(TYPE_BLOCK));
}

TEST(Money, AsMoney) {
    Cell usd = w("usd"), kro_code = w("KRO"), xyz = w("XYZ"), five = int_cell(5), amount = real(-0.25);
    EXPECT_EQ(result_of([&] { return money::as_money(&usd, &five); }), "USD$5.00000");
    EXPECT_EQ(result_of([&] { return money::as_money(&kro_code, &amount); }), "-KRO$0.25000");
    EXPECT_EQ(result_of([&] { return money::as_money(&xyz, &five); }), "error script/bad-denom");
}

// ---- paths and pick ---------------------------------------------------------------------------------

TEST(Money, PathsAndPick) {
    auto eval_path = datatype::action<A_EVAL_PATH>(TYPE_MONEY);
    auto path = [&](Cell v, Cell element, Cell* set = nullptr) {
        return result_of([&] {
            Cell p = none::value;
            return *eval_path(&v, &element, set, &p, nullptr, nullptr, 0, false, false, false, false);
        });
    };
    EXPECT_EQ(path(M("USD$3"), w("code")), "word USD");
    EXPECT_EQ(path(M("USD$3"), w("CODE")), "word USD");
    EXPECT_EQ(path(M("$3"), w("code")), "none");
    EXPECT_EQ(path(M("-USD$3"), w("amount")), "-$3.00000");
    EXPECT_EQ(path(M("USD$3"), int_cell(1)), "word USD");
    EXPECT_EQ(path(M("USD$3"), int_cell(2)), "$3.00000");
    EXPECT_EQ(path(M("USD$3"), w("cents")), "error script/invalid-path");
    EXPECT_EQ(path(M("USD$3"), int_cell(3)), "error script/invalid-path");
    Cell v = M("EUR$1");
    EXPECT_EQ(path(M("USD$3"), w("code"), &v), "error script/bad-path-set");

    auto pick = datatype::action<A_PICK>(TYPE_MONEY);
    auto picked = [&](Cell v, int32_t i) { return result_of([&] { return *pick(&v, i, nullptr); }); };
    EXPECT_EQ(picked(M("USD$3"), 1), "word USD");
    EXPECT_EQ(picked(M("USD$3"), 2), "$3.00000");
    EXPECT_EQ(picked(M("USD$3"), 3), "error script/out-of-range");
    EXPECT_EQ(picked(M("USD$3"), 0), "error script/out-of-range");
    EXPECT_EQ(last_raised().args[0].data2, 0u);
}

// ---- random ----------------------------------------------------------------------------------------

TEST(Money, RandomStaysWithinTheAmountAndFollowsTheSeed) {
    auto rnd = datatype::action<A_RANDOM>(TYPE_MONEY);
    Cell seed = M("$42");
    EXPECT_EQ(show(*rnd(&seed, true, false, false)), "unset");
    std::vector<std::string> first;
    for (int i = 0; i < 5; i++) {
        Cell v = M("-USD$123.45");
        first.push_back(show(*rnd(&v, false, false, false)));
    }
    seed = M("$42");
    rnd(&seed, true, false, false);
    for (int i = 0; i < 5; i++) {
        Cell v = M("-USD$123.45");
        EXPECT_EQ(show(*rnd(&v, false, false, false)), first[size_t(i)]);
    }
    std::set<std::string> seen;
    Cell limit = M("$0.03"), top = M("$123.45");
    for (int i = 0; i < 400; i++) {
        Cell v = M("-USD$123.45");
        Cell r = *rnd(&v, false, false, false);
        EXPECT_EQ(money::get_currency(&r), money::get_currency(&v));
        Cell mag = r;
        money::clear_sign(&mag);
        EXPECT_LE(money::compare_digits(money::digits(&mag), money::digits(&top)), 0) << show(r);
        EXPECT_TRUE(money::negative(&r) || money::zero(&r));
        Cell s = limit;
        seen.insert(show(*rnd(&s, false, false, false)));
    }
    // every hundred-thousandth up to 3 cents is possible: many distinct amounts come out, none above
    EXPECT_GT(seen.size(), 100u);
    EXPECT_LE(*seen.rbegin(), std::string("$0.03000"));
    Cell z = M("$0");
    EXPECT_EQ(show(*rnd(&z, false, false, false)), "$0.00000");
}
