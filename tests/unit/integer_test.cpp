#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/word_variants.hpp"
#include "io/random.hpp"
#include "number_fixtures.hpp"

using namespace kro;
using namespace kro::testing_numbers;
using testing_blocks::raised;
using testing_blocks::text;

namespace {

constexpr int32_t MIN = INT32_MIN;
constexpr int32_t MAX = INT32_MAX;

struct MathCase {
    int slot;
    Cell left, right;
    const char* expected;
};

void run_math(const std::vector<MathCase>& cases) {
    for (const MathCase& c : cases) {
        SCOPED_TRACE(describe(c.left) + " slot " + std::to_string(c.slot) + " " + describe(c.right));
        EXPECT_EQ(slot_outcome(c.slot, {c.left, c.right}), c.expected);
    }
}

Cell issue_cell(const char* name) {
    Cell c;
    issue::make_at(&c, name);
    return c;
}

}  // namespace

TEST(Integer, ArithmeticAtThe32BitLimitsGoesToFloat) {
    run_math({
        {A_ADD, int_cell(1), int_cell(2), "integer 3"},
        {A_ADD, int_cell(MAX - 1), int_cell(1), "integer 2147483647"},
        {A_ADD, int_cell(MAX), int_cell(1), "float 2147483648"},
        {A_ADD, int_cell(MIN), int_cell(-1), "float -2147483649"},
        {A_ADD, int_cell(MAX), int_cell(MAX), "float 4294967294"},
        {A_SUBTRACT, int_cell(MIN), int_cell(1), "float -2147483649"},
        {A_SUBTRACT, int_cell(0), int_cell(MIN), "float 2147483648"},
        {A_SUBTRACT, int_cell(-1), int_cell(MIN), "integer 2147483647"},
        {A_MULTIPLY, int_cell(65536), int_cell(65536), "float 4294967296"},
        {A_MULTIPLY, int_cell(MIN), int_cell(-1), "float 2147483648"},
        {A_MULTIPLY, int_cell(MIN), int_cell(1), "integer -2147483648"},
        {A_MULTIPLY, int_cell(46341), int_cell(-46341), "float -2147488281"},
        {A_MULTIPLY, int_cell(MAX), int_cell(MAX), "float 4.6116860141324206e+18"},
    });
}

TEST(Integer, DivisionRemainderAndTheirErrors) {
    run_math({
        {A_DIVIDE, int_cell(7), int_cell(2), "float 3.5"},
        {A_DIVIDE, int_cell(-7), int_cell(2), "float -3.5"},
        {A_DIVIDE, int_cell(6), int_cell(3), "integer 2"},
        {A_DIVIDE, int_cell(MIN), int_cell(2), "integer -1073741824"},
        {A_DIVIDE, int_cell(MIN), int_cell(1), "integer -2147483648"},
        {A_DIVIDE, int_cell(1), int_cell(3), "float 0.33333333333333331"},
        {A_DIVIDE, int_cell(5), int_cell(0), "error math/zero-divide"},
        {A_DIVIDE, int_cell(0), int_cell(0), "error math/zero-divide"},
        {A_DIVIDE, int_cell(MIN), int_cell(-1), "error math/overflow"},
        {A_REMAINDER, int_cell(-7), int_cell(2), "integer -1"},
        {A_REMAINDER, int_cell(7), int_cell(-2), "integer 1"},
        {A_REMAINDER, int_cell(MIN), int_cell(2), "integer 0"},
        {A_REMAINDER, int_cell(MIN), int_cell(MAX), "integer -1"},
        {A_REMAINDER, int_cell(5), int_cell(0), "error math/zero-divide"},
        {A_REMAINDER, int_cell(MIN), int_cell(-1), "error math/overflow"},
    });
}

TEST(Integer, BitwiseOpsAndMixedOperands) {
    run_math({
        {A_AND_T, int_cell(12), int_cell(10), "integer 8"},
        {A_OR_T, int_cell(12), int_cell(3), "integer 15"},
        {A_XOR_T, int_cell(-1), int_cell(5), "integer -6"},
        {A_AND_T, int_cell(MIN), int_cell(-1), "integer -2147483648"},
        // integer! op char! stays integer!
        {A_ADD, int_cell(1), chr('a'), "integer 98"},
        {A_DIVIDE, int_cell(9), chr(3), "integer 3"},
        // floats take over, whichever side
        {A_ADD, int_cell(2), real(1.5), "float 3.5"},
        {A_DIVIDE, int_cell(1), real(0.0), "float inf"},
        {A_MULTIPLY, int_cell(3), percent(0.5), "float 1.5"},
        {A_ADD, int_cell(1), time_of(60.0), "time 61"},
        {A_AND_T, int_cell(1), real(1.0), "error script/cannot-use"},
        {A_ADD, int_cell(1), text("2"), "error script/invalid-type"},
        {A_ADD, int_cell(1), header_only(TYPE_NONE), "error script/invalid-type"},
        // the types that do their own math refuse what they cannot express
        {A_DIVIDE, int_cell(1), header_only(TYPE_PAIR), "error script/not-related"},
        {A_DIVIDE, int_cell(1), header_only(TYPE_POINT3D), "error script/not-related"},
        {A_SUBTRACT, int_cell(1), header_only(TYPE_TUPLE), "error script/not-related"},
        {A_DIVIDE, int_cell(1), header_only(TYPE_TUPLE), "error script/not-related"},
        {A_MULTIPLY, int_cell(1), header_only(TYPE_DATE), "error script/not-related"},
        {A_DIVIDE, int_cell(1), header_only(TYPE_MONEY), "error script/invalid-type"},
        // and what they can goes to them (pair_test.cpp checks the values)
        {A_ADD, int_cell(1), header_only(TYPE_PAIR), "type 37"},
    });
}

namespace {
// A stand-in pair! math: records what it received in the first two slots.
std::string seen;
void fake_pair_math(int32_t op) {
    seen = std::to_string(op) + ":" + std::to_string(stack::arguments[0].type()) + "," +
           std::to_string(int32_t(stack::arguments[0].data2)) + ":" + describe(stack::arguments[1]);
}
void fake_pair_negate() { stack::arguments[0].data2 = uint32_t(-int32_t(stack::arguments[0].data2)); }
}  // namespace

TEST(Integer, PairOperandsAreSwappedAndSubtractionBecomesAddition) {
    auto saved_math = extended::pair_do_math;
    auto saved_negate = extended::pair_negate;
    extended::pair_do_math = &fake_pair_math;
    extended::pair_negate = &fake_pair_negate;
    Cell pair{uint32_t(TYPE_PAIR), 0, 10, 20};
    call_slot(A_SUBTRACT, {int_cell(3), pair});
    EXPECT_EQ(seen, "0:37,-10:integer 3");  // 3 - p runs as -p + 3
    call_slot(A_MULTIPLY, {int_cell(3), pair});
    EXPECT_EQ(seen, "2:37,10:integer 3");
    extended::pair_do_math = saved_math;
    extended::pair_negate = saved_negate;
}

TEST(Integer, CoreWithoutAResultCell) {
    // divide truncates toward zero when no cell can take a float
    EXPECT_EQ(integer::do_math_op(7, 2, integer::OP_DIVIDE, nullptr), 3);
    EXPECT_EQ(integer::do_math_op(-7, 2, integer::OP_DIVIDE, nullptr), -3);
    // an overflow with nowhere to put the float answer is refused, not wrapped
    EXPECT_EQ(raised([] { integer::do_math_op(MAX, 1, integer::OP_ADD, nullptr); }), "math/overflow");
    EXPECT_EQ(raised([] { integer::do_math_op(MIN, MIN, integer::OP_MULTIPLY, nullptr); }), "math/overflow");
    // the header of the result cell is not touched
    Cell c = chr('a');
    integer::do_math_op(2, 3, integer::OP_MULTIPLY, &c);
    EXPECT_EQ(describe(c), "char 6");
}

TEST(IntegerDeathTest, UnknownOpCodeIsFatal) {
    EXPECT_EXIT(integer::do_math_op(1, 1, 8, nullptr), ::testing::ExitedWithCode(101), "");
}

TEST(Integer, AbsoluteNegateComplement) {
    struct Case {
        const char* what;
        std::string got, expected;
    } cases[] = {
        {"abs -5", slot_outcome(A_ABSOLUTE, {int_cell(-5)}), "integer 5"},
        {"abs max", slot_outcome(A_ABSOLUTE, {int_cell(MAX)}), "integer 2147483647"},
        {"abs min", slot_outcome(A_ABSOLUTE, {int_cell(MIN)}), "error math/overflow"},
        {"negate 5", outcome([] { Cell v = int_cell(5); return *actions::get<A_NEGATE>(&v)(&v); }), "integer -5"},
        {"negate -max", outcome([] { Cell v = int_cell(-MAX); return *actions::get<A_NEGATE>(&v)(&v); }),
         "integer 2147483647"},
        {"negate min", outcome([] { Cell v = int_cell(MIN); return *actions::get<A_NEGATE>(&v)(&v); }),
         "error math/overflow"},
        {"complement 0", outcome([] { Cell v = int_cell(0); return *actions::get<A_COMPLEMENT>(&v)(&v); }),
         "integer -1"},
        {"complement max", outcome([] { Cell v = int_cell(MAX); return *actions::get<A_COMPLEMENT>(&v)(&v); }),
         "integer -2147483648"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
}

TEST(Integer, Power) {
    run_math({
        {A_POWER, int_cell(2), int_cell(10), "integer 1024"},
        {A_POWER, int_cell(2), int_cell(30), "integer 1073741824"},
        {A_POWER, int_cell(2), int_cell(31), "float 2147483648"},
        {A_POWER, int_cell(-2), int_cell(31), "integer -2147483648"},
        {A_POWER, int_cell(-2), int_cell(32), "float 4294967296"},
        {A_POWER, int_cell(3), int_cell(20), "float 3486784401"},
        {A_POWER, int_cell(46340), int_cell(2), "integer 2147395600"},
        {A_POWER, int_cell(46341), int_cell(2), "float 2147488281"},
        // the last squaring is never used, so it may overflow freely
        {A_POWER, int_cell(65536), int_cell(1), "integer 65536"},
        {A_POWER, int_cell(-1), int_cell(MAX), "integer -1"},
        {A_POWER, int_cell(0), int_cell(0), "integer 1"},
        {A_POWER, int_cell(7), int_cell(0), "integer 1"},
        {A_POWER, int_cell(2), int_cell(-1), "float 0.5"},
        {A_POWER, int_cell(0), int_cell(-1), "float inf"},
        {A_POWER, int_cell(4), real(0.5), "float 2"},
        {A_POWER, int_cell(1), real(0.0), "float 1"},
        {A_POWER, int_cell(2), text("3"), "error script/expect-arg"},
        {A_POWER, int_cell(2), chr(3), "error script/expect-arg"},
    });
}

TEST(Integer, RoundWithEveryRefinement) {
    enum : unsigned { EVEN = 1, DOWN = 2, HALF_DOWN = 4, FLOOR = 8, CEILING = 16, HALF_CEILING = 32 };
    struct Case {
        int32_t n;
        const Cell* scale;
        unsigned flags;
        const char* expected;
    };
    Cell ten = int_cell(10), minus_ten = int_cell(-10), zero = int_cell(0), five = int_cell(5), min = int_cell(MIN);
    Cell quarter_scale = real(2.5), money = header_only(TYPE_MONEY);
    const Case cases[] = {
        {15, &ten, 0, "integer 20"},
        {-15, &ten, 0, "integer -20"},
        {14, &ten, 0, "integer 10"},
        {16, &ten, 0, "integer 20"},
        {-16, &minus_ten, 0, "integer -20"},  // the scale's sign does not count
        {25, &ten, EVEN, "integer 20"},
        {35, &ten, EVEN, "integer 40"},
        {-25, &ten, EVEN, "integer -20"},
        {26, &ten, EVEN, "integer 30"},
        {15, &ten, HALF_DOWN, "integer 10"},
        {-15, &ten, HALF_DOWN, "integer -10"},
        {16, &ten, HALF_DOWN, "integer 20"},
        {15, &ten, HALF_CEILING, "integer 20"},
        {-15, &ten, HALF_CEILING, "integer -10"},
        {-19, &ten, DOWN, "integer -10"},
        {19, &ten, DOWN | CEILING, "integer 10"},  // the first refinement in order decides
        {-11, &ten, FLOOR, "integer -20"},
        {11, &ten, FLOOR, "integer 10"},
        {-11, &ten, CEILING, "integer -10"},
        {11, &ten, CEILING, "integer 20"},
        {7, &zero, 0, "integer 7"},
        {20, &ten, CEILING, "integer 20"},
        {7, nullptr, 0, "integer 7"},
        {MIN, nullptr, 0, "integer -2147483648"},
        // -2147483648 rounds like any other value; only a result beyond 32 bits fails
        {MIN, &ten, CEILING, "integer -2147483640"},
        {MIN, &ten, DOWN, "integer -2147483640"},
        {MIN, &ten, 0, "error math/overflow"},
        {MIN, &min, 0, "integer -2147483648"},
        // the next multiple beyond 32 bits, when it is the one chosen
        {MAX, &ten, 0, "error math/overflow"},
        {MAX - 5, &ten, 0, "integer 2147483640"},
        {MAX - 5, &ten, FLOOR, "integer 2147483640"},
        {MAX - 5, &ten, HALF_CEILING, "integer 2147483640"},
        {MAX - 5, &ten, CEILING, "error math/overflow"},
        {MAX - 2, &ten, HALF_CEILING, "error math/overflow"},
        {MAX, &ten, DOWN, "integer 2147483640"},
        {MAX, &ten, DOWN | FLOOR, "integer 2147483640"},
        {-MAX, &ten, CEILING, "integer -2147483640"},
        {-MAX, &ten, FLOOR, "error math/overflow"},
        {MAX, &five, 0, "integer 2147483645"},
        {7, &min, 0, "integer 0"},
        {-7, &min, CEILING, "integer 0"},
        // other scales: the float round answers with the scale's type
        {7, &quarter_scale, 0, "float 7.5"},
        {6, &quarter_scale, DOWN, "float 5"},
        {7, &money, 0, "error script/not-related"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " flags " + std::to_string(c.flags) +
                     (c.scale ? " scale " + describe(*c.scale) : ""));
        std::string got = outcome([&] {
            Cell n = int_cell(c.n);
            Cell scale = c.scale ? *c.scale : Cell{};
            return *actions::get<A_ROUND>(&n)(&n, c.scale ? &scale : nullptr, c.flags & EVEN, c.flags & DOWN,
                                              c.flags & HALF_DOWN, c.flags & FLOOR, c.flags & CEILING,
                                              c.flags & HALF_CEILING);
        });
        EXPECT_EQ(got, c.expected);
    }
}

TEST(Integer, Compare) {
    struct Case {
        Cell a, b;
        std::vector<int> ops;
        std::vector<int> answers;
    };
    const Case cases[] = {
        {int_cell(1), int_cell(2), {0, 1, 2, 3, 5, 7, 9, 12}, {-1, -1, -1, -1, -1, -1, -1, -1}},
        {int_cell(MIN), int_cell(MAX), {3}, {-1}},
        // sameness wants the same type, as strictness does
        {int_cell(65), chr('A'), {0, 2, 9, 12}, {0, 1, 1, 1}},
        {int_cell(1), real(1.0), {0, 1, 2, 9, 12, 4}, {0, 0, 1, 1, 1, 0}},
        {int_cell(1), real(1.5), {3, 5}, {-1, -1}},
        {int_cell(2), percent(1.5), {0, 5}, {1, 1}},
        {int_cell(1), text("1"), {0, 3}, {-2, -2}},
        {int_cell(1), text("1"), {2, 12}, {1, 1}},
    };
    for (const Case& c : cases) {
        for (size_t i = 0; i < c.ops.size(); i++) {
            Cell a = c.a, b = c.b;
            EXPECT_EQ(datatype::action<A_COMPARE>(TYPE_INTEGER)(&a, &b, c.ops[i]), c.answers[i])
                << describe(c.a) << " vs " << describe(c.b) << " op " << c.ops[i];
            EXPECT_EQ(a.data2, c.a.data2) << "the first value is put back";
            EXPECT_TRUE(a.is(TYPE_INTEGER));
        }
    }
    Cell a = int_cell(1), s = text("1");
    EXPECT_EQ(raised([&] { actions::compare(&a, &s, 3); }), "script/invalid-compare");
}

TEST(Integer, FormAndMoldText) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "0"}, {-5, "-5"}, {7, "7"}, {100, "100"}, {MAX, "2147483647"}, {MIN, "-2147483648"}, {-10, "-10"},
    };
    for (auto [v, expected] : cases) {
        int32_t budget = 0;
        EXPECT_EQ(testing_blocks::form_text(int_cell(v), -1, &budget), expected);
        EXPECT_EQ(int64_t(budget), int64_t(mold::NO_LIMIT) - int64_t(std::strlen(expected)));
        EXPECT_EQ(testing_blocks::mold_text(int_cell(v)), expected);
        EXPECT_STREQ(integer::to_text(v), expected);
    }
}

TEST(Integer, EvenAndOdd) {
    const std::pair<int32_t, bool> cases[] = {{0, true}, {1, false}, {-1, false}, {-2, true}, {MIN, true}, {MAX, false}};
    for (auto [v, even] : cases) {
        Cell c = int_cell(v);
        EXPECT_EQ(actions::get<A_EVEN_Q>(&c)(&c), even) << v;
        EXPECT_EQ(actions::get<A_ODD_Q>(&c)(&c), !even) << v;
    }
}

TEST(Integer, ToAndMake) {
    Cell shifted = text("x42");
    shifted.data1 = 1;  // from the head on
    struct Case {
        const char* what;
        Cell spec;
        const char* expected;
    } cases[] = {
        {"integer", int_cell(-3), "integer -3"},
        {"char", chr(0x20AC), "integer 8364"},
        {"float", real(2.7), "integer 2"},
        {"negative float", real(-2.9), "integer -2"},
        {"smallest float", real(-2147483648.0), "integer -2147483648"},
        {"float past max", real(2147483648.0), "error script/type-limit"},
        {"float just past max", real(2147483647.5), "error script/type-limit"},
        {"float below min", real(-2147483649.0), "error script/type-limit"},
        {"NaN", real(std::numeric_limits<double>::quiet_NaN()), "error script/type-limit"},
        {"infinity", real(std::numeric_limits<double>::infinity()), "error script/type-limit"},
        {"percent", percent(12.9), "integer 12"},
        {"time", time_of(3600.6), "integer 3601"},
        {"negative time", time_of(-1.6), "integer -1"},
        {"time past the range", time_of(3e9), "error script/type-limit"},
        {"time just past", time_of(2147483647.0), "error script/type-limit"},
        {"binary", binary({0x01, 0x02}), "integer 258"},
        {"binary of 5", binary({0x01, 0x02, 0x03, 0x04, 0x05}), "integer 16909060"},
        {"binary high bit", binary({0xFF, 0xFF, 0xFF, 0xFE}), "integer -2"},
        {"empty binary", binary({}), "integer 0"},
        {"issue", issue_cell("FF"), "integer 255"},
        {"issue lower case", issue_cell("ffffffff"), "integer -1"},
        {"issue too long", issue_cell("123456789"), "error script/invalid-data"},
        {"issue not hex", issue_cell("FG"), "error script/invalid-data"},
        {"text", text("123"), "integer 123"},
        {"text min", text("-2147483648"), "integer -2147483648"},
        {"text plus", text("+7"), "integer 7"},
        {"text separators", text("1'000'000"), "integer 1000000"},
        {"wide text", text("\xE2\x82\xAC", 2), "error script/bad-to-arg"},
        {"wide digits", text("42", 2), "integer 42"},
        {"text from its head", shifted, "integer 42"},
        {"text past max", text("2147483648"), "error script/bad-to-arg"},
        {"text not a number", text("abc"), "error script/bad-to-arg"},
        {"text decimal", text("1.5"), "error script/bad-to-arg"},
        {"empty text", text(""), "error script/bad-to-arg"},
        {"sign alone", text("-"), "error script/bad-to-arg"},
        {"block", testing_blocks::block_of({}), "error script/bad-to-arg"},
        {"logic", logic::make(true), "error script/bad-to-arg"},
        {"date: seconds since 1970", [] {
             Cell d{uint32_t(TYPE_DATE), (1970u << 17) | 0x10000u | (1u << 12) | (1u << 7), 0, 0};
             d.set_float(10.0);
             return d;
         }(), "integer 10"},
    };
    for (const Case& c : cases) EXPECT_EQ(converted(A_TO, TYPE_INTEGER, c.spec), c.expected) << c.what;
    // make takes a logic! as 1 or 0 and everything else as to does
    EXPECT_EQ(converted(A_MAKE, TYPE_INTEGER, logic::make(true)), "integer 1");
    EXPECT_EQ(converted(A_MAKE, TYPE_INTEGER, logic::make(false)), "integer 0");
    EXPECT_EQ(converted(A_MAKE, TYPE_INTEGER, real(-2.9)), "integer -2");
}

TEST(Integer, DecimalTextReading) {
    struct Case {
        const char* text;
        int32_t value, error;
    } cases[] = {
        {"0", 0, 0},
        {"-0", 0, 0},
        {"2147483647", MAX, 0},
        {"-2147483648", MIN, 0},
        {"'1'2'", 12, 0},
        {"2147483648", 0, -2},
        {"-2147483649", 0, -2},
        {"99999999999999999999", 0, -2},
        {"12a", 0, -1},
        {" 1", 0, -1},
        {"", 0, -1},
        {"+", 0, -1},
        {"1-", 0, -1},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            std::vector<uint8_t> units;
            for (const char* p = c.text; *p; p++) {
                units.push_back(uint8_t(*p));
                for (int i = 1; i < unit; i++) units.push_back(0);
            }
            int32_t error = 7;
            int32_t v = integer::from_text(units.data(), int32_t(std::strlen(c.text)), unit, &error);
            EXPECT_EQ(error, c.error) << c.text << " unit " << unit;
            if (!c.error) {
                EXPECT_EQ(v, c.value) << c.text;
            }
        }
    }
}

TEST(Integer, RandomRangesAndSeeds) {
    auto draw = [](int32_t n, bool secure = false) {
        Cell v = int_cell(n);
        return integer::get(actions::get<A_RANDOM>(&v)(&v, false, secure, false));
    };
    EXPECT_EQ(draw(0), 0);
    std::set<int32_t> seen_negative, seen_positive;
    for (int i = 0; i < 300; i++) {
        seen_negative.insert(draw(-3));
        seen_positive.insert(draw(4, i % 2 == 1));
    }
    EXPECT_EQ(seen_negative, (std::set<int32_t>{-3, -2, -1}));
    EXPECT_EQ(seen_positive, (std::set<int32_t>{1, 2, 3, 4}));
    int32_t extreme = draw(MIN);
    EXPECT_TRUE(extreme < 0);

    // /seed restarts the sequence and answers unset
    auto seeded = [&](int32_t seed) {
        Cell s = int_cell(seed);
        Cell* r = actions::get<A_RANDOM>(&s)(&s, true, false, false);
        EXPECT_TRUE(r->is(TYPE_UNSET));
        std::vector<int32_t> out;
        for (int i = 0; i < 8; i++) out.push_back(draw(1000000));
        return out;
    };
    std::vector<int32_t> first = seeded(42);
    EXPECT_EQ(seeded(42), first);
    EXPECT_NE(seeded(43), first);
}
