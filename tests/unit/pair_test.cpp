#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "pair_point_fixtures.hpp"

using namespace kro;
using namespace kro::testing_compound;

namespace {

Cell p(int32_t x, int32_t y) { return pair::make(x, y); }
Cell pt(float x, float y) { return point2d::make(x, y); }

std::string from_text(const char* t) { return scanned(&pair::from_text, t); }

}  // namespace

TEST(Pair, LiteralText) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"3x4", "3x4"},
        {"10x-20", "10x-20"},
        {"-1X+2", "-1x2"},
        {"1'000x2", "1000x2"},
        {"2147483647x-2147483648", "2147483647x-2147483648"},
        {"0x0", "0x0"},
        // invalid pair! (37): a dot, an empty side, a side beyond 32 bits, a second x
        {"1.5x2", "invalid 37"},
        {"3x", "invalid 37"},
        {"x4", "invalid 37"},
        {"-x4", "invalid 37"},
        {"3x4x5", "invalid 37"},
        {"2147483648x1", "invalid 37"},
        {"3xa", "invalid 37"},
        {"", "invalid 37"},
    };
    for (const Case& c : cases) EXPECT_EQ(from_text(c.text), c.expected) << c.text;
}

TEST(Pair, LoadsThroughTheTokenizer) {
    EXPECT_EQ(load_outcome("3x4"), "3x4");
    EXPECT_EQ(load_outcome("-10X+20"), "-10x20");
    EXPECT_EQ(load_outcome("[1x2 3x4]"), "[1x2 3x4]");
    EXPECT_EQ(load_outcome("1x2x3"), "error syntax/invalid 37");
    EXPECT_EQ(load_outcome("99999999999x1"), "error syntax/invalid 37");
}

TEST(Pair, MakeAndTo) {
    struct Case {
        Cell spec;
        const char* expected;
    } cases[] = {
        {p(3, 4), "3x4"},
        {integer(5), "5x5"},
        {real(2.7), "2x2"},
        {real(-2.7), "-2x-2"},
        {block_of({integer(1), integer(2), integer(9)}), "1x2"},
        {block_of({real(1.9), real(-2.9)}), "1x-2"},
        {pt(1.5f, -2.5f), "1x-2"},
        {text("5x6"), "5x6"},
        {text(" 5x6 "), "5x6"},
        {block_of({integer(1)}), "error syntax/malconstruct"},
        {block_of({integer(1), text("2")}), "error syntax/malconstruct"},
        {pt(float(INF), 1.0f), "error script/invalid-arg"},
        {pt(float(NaN), 1.0f), "error script/invalid-arg"},
        {real(NaN), "error script/invalid-arg"},
        {real(1e10), "error script/out-of-range"},
        {text("abc"), "error script/bad-to-arg"},
        {text("(1, 2)"), "error script/bad-to-arg"},
        {typed_float(TYPE_PERCENT, 0.5), "error script/bad-to-arg"},
        {none::value, "error script/bad-to-arg"},
    };
    for (const Case& c : cases) expect_made(TYPE_PAIR, c.spec, c.expected);
}

TEST(Pair, FormMoldAndTheBudget) {
    int32_t budget = 0;
    EXPECT_EQ(testing_blocks::form_text(p(10, -20), -1, &budget), "10x-20");
    EXPECT_EQ(budget, mold::NO_LIMIT - 6);
    EXPECT_EQ(testing_blocks::mold_text(p(INT32_MIN, INT32_MAX), false, false, -1, &budget),
              "-2147483648x2147483647");
    EXPECT_EQ(budget, mold::NO_LIMIT - 22);
}

TEST(Pair, ArithmeticStaysWholeOrGivesPoints) {
    expect_ops({
        {A_MULTIPLY, p(3, 4), integer(2), "6x8"},
        {A_ADD, p(5, 6), p(-1, 1), "4x7"},
        {A_SUBTRACT, p(5, 6), p(1, 1), "4x5"},
        {A_DIVIDE, p(6, 8), integer(2), "3x4"},
        {A_REMAINDER, p(7, 9), integer(2), "1x1"},
        {A_REMAINDER, p(INT32_MIN, 5), integer(-1), "0x0"},
        {A_AND_T, p(3, 4), p(1, 1), "1x0"},
        {A_OR_T, p(3, 4), integer(1), "3x5"},
        {A_XOR_T, p(3, 4), p(3, 4), "0x0"},
        // a float factor or divisor always gives a point, whole or not
        {A_MULTIPLY, p(3, 4), real(2.0), "(6, 8)"},
        {A_MULTIPLY, p(3, 4), real(0.5), "(1.5, 2)"},
        {A_MULTIPLY, p(3, 4), typed_float(TYPE_PERCENT, 0.5), "(1.5, 2)"},
        {A_DIVIDE, p(3, 4), real(2.0), "(1.5, 2)"},
        {A_DIVIDE, p(3, 4), real(0.0), "(1.#INF, 1.#INF)"},
        {A_DIVIDE, p(3, 4), real(INF), "(0, 0)"},
        // other ops truncate the float
        {A_ADD, p(3, 4), real(1.7), "4x5"},
        {A_SUBTRACT, p(3, 4), real(-1.7), "4x5"},
        // a division with a remainder and every overflow give points
        {A_DIVIDE, p(3, 4), integer(2), "(1.5, 2)"},
        {A_ADD, p(INT32_MAX, 0), p(1, 0), "(2.147484e9, 0)"},
        {A_MULTIPLY, p(65536, 1), integer(65536), "(4.294967e9, 65536)"},
        {A_SUBTRACT, p(INT32_MIN, 0), integer(1), "(-2.147484e9, -1)"},
        {A_DIVIDE, p(INT32_MIN, 2), integer(-1), "(2.147484e9, -2)"},
        {A_ADD, p(3, 4), real(1e10), "(1e10, 1e10)"},
        // a point operand makes a point
        {A_ADD, p(3, 4), pt(0.5f, 0.25f), "(3.5, 4.25)"},
        // errors
        {A_DIVIDE, p(3, 4), integer(0), "error math/zero-divide"},
        {A_DIVIDE, p(3, 4), p(2, 0), "error math/zero-divide"},
        {A_REMAINDER, p(3, 4), real(0.5), "error math/zero-divide"},
        {A_MULTIPLY, p(3, 4), real(INF), "error script/invalid-arg"},
        {A_MULTIPLY, p(3, 4), real(NaN), "error script/invalid-arg"},
        {A_DIVIDE, p(3, 4), real(NaN), "error script/invalid-arg"},
        {A_ADD, p(3, 4), real(-INF), "error script/invalid-arg"},
        {A_ADD, p(3, 4), text("1"), "error script/invalid-type"},
        {A_ADD, p(3, 4), point3d::make(1, 2, 3), "error script/invalid-type"},
    });
}

TEST(Pair, NumbersOnTheLeftHandOver) {
    expect_ops({
        {A_MULTIPLY, integer(2), p(3, 4), "6x8"},
        {A_ADD, integer(1), p(3, 4), "4x5"},
        {A_SUBTRACT, integer(10), p(3, 4), "7x6"},
        {A_ADD, integer(INT32_MAX), p(1, 0), "(2.147484e9, 2.147484e9)"},
        {A_MULTIPLY, real(1.5), p(2, 2), "(3, 3)"},
        {A_ADD, real(1.9), p(2, 2), "3x3"},
        {A_DIVIDE, integer(2), p(3, 4), "error script/not-related"},
        {A_SUBTRACT, real(2.0), p(3, 4), "error script/not-related"},
    });
}

TEST(Pair, UnaryActions) {
    EXPECT_EQ(unary(A_ABSOLUTE, p(-3, 4)), "3x4");
    EXPECT_EQ(unary(A_ABSOLUTE, p(INT32_MIN, 0)), "error math/overflow");
    EXPECT_EQ(unary(A_NEGATE, p(3, -4)), "-3x4");
    EXPECT_EQ(unary(A_NEGATE, p(INT32_MIN, 1)), "-2147483648x-1");  // wraps around
    EXPECT_EQ(unary(A_REVERSE, p(3, 4)), "4x3");
}

TEST(Pair, Round) {
    Cell ten = integer(10), by_axis = p(10, 4), money{uint32_t(TYPE_MONEY), 0, 0, 0}, half = real(0.5);
    EXPECT_EQ(rounded(p(17, -25), &ten), "20x-30");
    EXPECT_EQ(rounded(p(17, -25), &ten, false, true), "10x-20");
    EXPECT_EQ(rounded(p(17, -25), &ten, false, false, true), "10x-30");
    EXPECT_EQ(rounded(p(17, 23), &by_axis), "20x24");
    EXPECT_EQ(rounded(p(17, 23), nullptr), "17x23");
    // a fractional scale rounds to fractions: the answer is a point
    EXPECT_EQ(rounded(p(3, 4), &half), "(3, 4)");
    EXPECT_EQ(rounded(p(3, 4), &money), "error script/not-related");
}

TEST(Pair, Comparison) {
    struct Case {
        Cell a, b;
        int32_t expected;
    } cases[] = {
        {p(1, 100), p(2, 0), -1},  {p(2, 1), p(2, 3), -1},       {p(2, 3), p(2, 1), 1},
        {p(3, 4), p(3, 4), 0},     {p(-1, 0), p(1, 0), -1},      {p(3, 4), pt(3.0f, 4.0f), 0},
        {p(3, 4), pt(3.5f, 0), -1}, {p(3, 4), integer(3), -2},   {p(3, 4), none::value, -2},
    };
    auto cmp = datatype::action<A_COMPARE>(TYPE_PAIR);
    // the order of pairs is the same under every op; against a point it is the point's order
    for (Case& c : cases) EXPECT_EQ(cmp(&c.a, &c.b, actions::LESSER), c.expected) << shown(c.a) << " " << shown(c.b);
    Cell a1 = p(3, 4), near = pt(3.0f, 4.0000005f);
    EXPECT_EQ(cmp(&a1, &near, actions::EQUAL), 0) << "equal to a point within ten units in the last place";
    EXPECT_EQ(cmp(&a1, &near, actions::STRICT_EQUAL), 1);
    Cell a = p(1, 2), b = integer(1);
    EXPECT_EQ(raised([&] { actions::compare(&a, &b, actions::LESSER); }), "script/invalid-compare");
    EXPECT_FALSE(actions::compare(&a, &b, actions::EQUAL));
}

TEST(Pair, PickAndPaths) {
    EXPECT_EQ(picked(p(3, 4), integer(1)), "3");
    EXPECT_EQ(picked(p(3, 4), w("y")), "4");
    EXPECT_EQ(picked(p(3, 4), w("X")), "3");
    EXPECT_EQ(picked(p(3, 4), integer(3)), "error script/out-of-range");
    EXPECT_EQ(picked(p(3, 4), integer(0)), "error script/out-of-range");
    EXPECT_EQ(picked(p(3, 4), w("z")), "error script/cannot-use");

    EXPECT_EQ(path_got(p(3, 4), w("x")), "3");
    EXPECT_EQ(path_got(p(3, 4), integer(2)), "4");
    EXPECT_EQ(path_got(p(3, 4), integer(3)), "error script/invalid-path");
    EXPECT_EQ(path_got(p(3, 4), w("z")), "error script/invalid-path");
    EXPECT_EQ(path_got(p(3, 4), real(1.0)), "error script/invalid-path");

    Cell v = p(3, 4), element = w("y"), seven = integer(7), none_path = none::value;
    Cell* answer = datatype::action<A_EVAL_PATH>(TYPE_PAIR)(&v, &element, &seven, &none_path, nullptr, nullptr, 0,
                                                            false, false, false, false);
    EXPECT_EQ(answer, &seven);
    EXPECT_EQ(shown(v), "3x7");
    EXPECT_EQ(path_set(v, element, real(7.0)), "script/invalid-type");
    EXPECT_EQ(shown(v), "3x7");
}

TEST(Pair, PathSetInAnObjectFieldCallsItsChangeHandler) {
    expect_field_set_told("size", p(3, 4), "7x4");
}

TEST(Pair, RandomAndSeed) {
    auto random = datatype::action<A_RANDOM>(TYPE_PAIR);
    for (int i = 0; i < 50; i++) {
        Cell v = p(0, 10);
        random(&v, false, false, false);
        EXPECT_EQ(pair::x_of(&v), 0);
        EXPECT_GE(pair::y_of(&v), 1);
        EXPECT_LE(pair::y_of(&v), 10);
        Cell n = p(-5, 1);
        random(&n, false, true, false);
        EXPECT_GE(pair::x_of(&n), -5);
        EXPECT_LE(pair::x_of(&n), -1);
        EXPECT_EQ(pair::y_of(&n), 1);
    }
    auto draw = [] { return seeded_draw(p(12, 34), p(1000000, 1000000)); };
    EXPECT_EQ(draw(), draw()) << "a seeded generator repeats its draws";
}

TEST(Pair, AsPair) {
    auto as_pair = [](Cell x, Cell y) {
        return outcome([&] {
            Cell out;
            return *pair::from_numbers(&x, &y, &out);
        });
    };
    EXPECT_EQ(as_pair(integer(1), real(2.9)), "1x2");
    EXPECT_EQ(as_pair(real(-2.9), integer(-1)), "-2x-1");
    EXPECT_EQ(as_pair(real(NaN), integer(1)), "error script/invalid-arg");
    EXPECT_EQ(as_pair(integer(1), real(INF)), "error script/invalid-arg");
}
