#include <gtest/gtest.h>

#include <cfloat>
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

const float FINF = std::numeric_limits<float>::infinity();
const float FNaN = std::numeric_limits<float>::quiet_NaN();

Cell p2(float x, float y) { return point2d::make(x, y); }
Cell p3(float x, float y, float z) { return point3d::make(x, y, z); }

std::string from_text(const char* t) { return scanned(&point::from_text, t); }

// n representable floats away from x.
float ulps(float x, int n) {
    for (; n > 0; n--) x = std::nextafter(x, FINF);
    return x;
}

}  // namespace

TEST(Point, SinglePrecisionRounding) {
    EXPECT_EQ(point::to_f32(0.1), 0.1f);
    EXPECT_EQ(point::to_f32(1e300), FINF);
    EXPECT_EQ(point::to_f32(-1e300), -FINF);
    // just past the largest float: rounds back to it until half a unit in the last place
    EXPECT_EQ(point::to_f32(double(FLT_MAX) + 0x1p102), FLT_MAX);
    EXPECT_EQ(point::to_f32(-(double(FLT_MAX) + 0x1p102)), -FLT_MAX);
    EXPECT_EQ(point::to_f32(double(FLT_MAX) + 0x1p103), FINF);
    EXPECT_TRUE(std::isnan(point::to_f32(NaN)));
}

TEST(Point, LiteralText) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"(1, 2)", "(1, 2)"},
        {"(1.5,2)", "(1.5, 2)"},
        {"(  -1.5 ,\t2e3 )", "(-1.5, 2000)"},
        {"(1, 2, 3)", "(1, 2, 3)"},
        {"(0.1, 0.2", "(0.1, 0.2)"},  // the scanner stops on ")": the text may end before it
        {"(1'000, .5)", "(1000, 0.5)"},
        {"(1.#INF, -1.#inf)", "(1.#INF, -1.#INF)"},
        {"(1.#NaN, 0)", "(1.#NaN, 0)"},
        {"(1e40, 1)", "(1.#INF, 1)"},
        // invalid point2D! (51), point3D! (52) or float! (12)
        {"(1)", "invalid 51"},
        {"(1 2)", "invalid 51"},
        {"(, 2)", "invalid 51"},
        {"(1, )", "invalid 51"},
        {"(1, 2, 3, 4)", "invalid 52"},
        {"(1, 2, 3 4)", "invalid 52"},
        {"(1, 2) 3", "invalid 51"},
        {"(1, abc)", "invalid 12"},
        {"(2.#INF, 1)", "invalid 12"},
        {"(1..2, 1)", "invalid 12"},
        {"(1e, 1)", "invalid 12"},
    };
    for (const Case& c : cases) EXPECT_EQ(from_text(c.text), c.expected) << c.text;
    Cell big;
    ASSERT_EQ(point::from_text(reinterpret_cast<const uint8_t*>("(16777217, 0)"), 13, &big), 0);
    EXPECT_EQ(point::coord(&big, 0), 16777216.0f) << "a 32-bit float keeps 24 bits";
    std::string long_number = joined("(", std::string(313, '1'));
    long_number += ", 1)";
    EXPECT_EQ(from_text(long_number.c_str()), "invalid 12");
}

TEST(Point, LoadsThroughTheTokenizer) {
    EXPECT_EQ(load_outcome("(1.5, 2)"), "(1.5, 2)");
    EXPECT_EQ(load_outcome("(1, 2, 3)"), "(1, 2, 3)");
    EXPECT_EQ(load_outcome("[(1, 2) (3, 4, 5)]"), "[(1, 2) (3, 4, 5)]");
    EXPECT_EQ(loaded("(1, 2, 3)").type(), TYPE_POINT3D);
    EXPECT_EQ(load_outcome("(1..2, 3)"), "error syntax/invalid 12");
    EXPECT_EQ(load_outcome("(1e, 3)"), "error syntax/invalid 12");
    EXPECT_EQ(load_outcome("(2.#INF, 3)"), "error syntax/invalid 12");
    EXPECT_EQ(load_outcome("(1, 2, 3, 4)"), "error syntax/invalid 52");
}

TEST(Point, MakeAndTo) {
    struct Case {
        Type type;
        Cell spec;
        const char* expected;
    } cases[] = {
        {TYPE_POINT2D, block_of({integer(1), real(2.5), integer(9)}), "(1, 2.5)"},
        {TYPE_POINT3D, block_of({integer(1), real(2.5), integer(9)}), "(1, 2.5, 9)"},
        {TYPE_POINT2D, text("(1, 2)"), "(1, 2)"},
        {TYPE_POINT3D, text("(1, 2, 3)"), "(1, 2, 3)"},
        {TYPE_POINT2D, p2(1, 2), "(1, 2)"},
        {TYPE_POINT3D, p2(1, 2), "(1, 2, 0)"},
        {TYPE_POINT3D, p3(1, 2, 3), "(1, 2, 3)"},
        {TYPE_POINT2D, integer(3), "(3, 3)"},
        {TYPE_POINT3D, real(-1.5), "(-1.5, -1.5, -1.5)"},
        {TYPE_POINT2D, pair::make(3, 4), "(3, 4)"},
        {TYPE_POINT3D, pair::make(3, 4), "(3, 4, 0)"},
        {TYPE_POINT3D, block_of({integer(1), integer(2)}), "error syntax/malconstruct"},
        {TYPE_POINT2D, block_of({integer(1), text("2")}), "error syntax/malconstruct"},
        {TYPE_POINT2D, p3(1, 2, 3), "error script/bad-to-arg"},
        {TYPE_POINT2D, text("1x2"), "error script/bad-to-arg"},
        {TYPE_POINT2D, text("(1, 2, 3)"), "error script/bad-to-arg"},
        {TYPE_POINT3D, none::value, "error script/bad-to-arg"},
    };
    for (const Case& c : cases) expect_made(c.type, c.spec, c.expected);
}

TEST(Point, FormAndMold) {
    struct Case {
        Cell value;
        const char* expected;
    } cases[] = {
        {p2(1, 2), "(1, 2)"},
        {p2(0.1f, -0.25f), "(0.1, -0.25)"},
        {p2(0, -0.0f), "(0, 0)"},
        {p2(1e20f, 1.5e-10f), "(1e20, 1.5e-10)"},
        {p2(FINF, FNaN), "(1.#INF, 1.#NaN)"},
        {p3(1, 2.5f, 123456.7f), "(1, 2.5, 123456.7)"},
    };
    for (const Case& c : cases) {
        int32_t budget = 0;
        EXPECT_EQ(testing_blocks::mold_text(c.value, false, false, -1, &budget), c.expected);
        EXPECT_EQ(budget, mold::NO_LIMIT - int32_t(std::strlen(c.expected)));
        EXPECT_EQ(testing_blocks::form_text(c.value), c.expected);
    }
}

TEST(Point, Arithmetic) {
    expect_ops({
        {A_ADD, p2(1, 2), integer(1), "(2, 3)"},
        {A_MULTIPLY, p2(1, 2), real(2.5), "(2.5, 5)"},
        {A_MULTIPLY, p2(1, 2), typed_float(TYPE_PERCENT, 0.5), "(0.5, 1)"},
        {A_ADD, p2(1, 2), pair::make(3, 4), "(4, 6)"},
        {A_SUBTRACT, p2(1, 2), p2(0.5f, 0.5f), "(0.5, 1.5)"},
        {A_DIVIDE, p2(1, 2), integer(4), "(0.25, 0.5)"},
        {A_DIVIDE, p2(1, -2), integer(0), "(1.#INF, -1.#INF)"},
        {A_REMAINDER, p2(7, -7), integer(3), "(1, -1)"},
        {A_MULTIPLY, p2(1e38f, 1), integer(10), "(1.#INF, 10)"},
        {A_ADD, p3(1, 2, 3), p3(1, 1, 1), "(2, 3, 4)"},
        {A_MULTIPLY, p3(1, 2, 3), real(0.5), "(0.5, 1, 1.5)"},
        {A_ADD, p3(1, 2, 3), pair::make(3, 4), "error script/invalid-type"},
        {A_ADD, p2(1, 2), p3(1, 2, 3), "error script/invalid-type"},
        {A_ADD, p2(1, 2), text("1"), "error script/invalid-type"},
        // numbers on the left hand the operation over
        {A_ADD, integer(1), p2(1, 2), "(2, 3)"},
        {A_SUBTRACT, integer(10), p3(1, 2, 3), "(9, 8, 7)"},
        {A_MULTIPLY, real(0.5), p2(1, 2), "(0.5, 1)"},
        {A_DIVIDE, integer(1), p2(1, 2), "error script/not-related"},
    });
}

TEST(Point, UnaryActionsAndRound) {
    EXPECT_EQ(unary(A_NEGATE, p2(1, 0)), "(-1, 0)");
    EXPECT_EQ(unary(A_NEGATE, p3(1, -2, 3)), "(-1, 2, -3)");
    EXPECT_EQ(unary(A_ABSOLUTE, p3(-1, 2, -3.5f)), "(1, 2, 3.5)");
    EXPECT_EQ(unary(A_REVERSE, p2(1, 2)), "(2, 1)");
    EXPECT_EQ(unary(A_REVERSE, p3(1, 2, 3)), "(3, 2, 1)");

    Cell half = real(0.5), ten_by_two = pair::make(10, 2), by_point = p2(0.25f, 4),
         money{uint32_t(TYPE_MONEY), 0, 0, 0};
    EXPECT_EQ(rounded(p2(1.5f, -2.5f), nullptr), "(2, -3)");
    EXPECT_EQ(rounded(p2(1.5f, -2.5f), nullptr, false, true), "(1, -2)");
    EXPECT_EQ(rounded(p2(1.3f, 2.8f), &half), "(1.5, 3)");
    EXPECT_EQ(rounded(p2(14, 2.8f), &ten_by_two), "(10, 2)");
    EXPECT_EQ(rounded(p3(14, 2.8f, 7.4f), &ten_by_two), "(10, 2, 7)");
    EXPECT_EQ(rounded(p2(1.1f, 5), &by_point), "(1, 4)");
    EXPECT_EQ(rounded(p2(1, 2), &money), "error script/not-related");
}

TEST(Point, ComparisonWithinTenUnitsInTheLastPlace) {
    struct Case {
        Cell a, b;
        int32_t op;
        int32_t expected;
    } cases[] = {
        {p2(0.1f, 0.2f), p2(0.1f, 0.2000001f), actions::EQUAL, 0},
        {p2(0.1f, 0.2f), p2(0.1f, 0.2000001f), actions::STRICT_EQUAL, 1},
        {p2(1, 1), p2(1, ulps(1, 10)), actions::EQUAL, 0},
        {p2(1, 1), p2(1, ulps(1, 11)), actions::EQUAL, 1},
        {p2(1, 1), p2(1, ulps(1, 11)), actions::NOT_EQUAL, 1},
        {p2(FNaN, 1), p2(FNaN, 1), actions::EQUAL, 1},
        {p2(FNaN, 1), p2(FNaN, 1), actions::STRICT_EQUAL, 1},
        {p2(FNaN, 1), p2(FNaN, 1), actions::SAME, 0},
        {p2(0, 1), p2(-0.0f, 1), actions::SAME, 1},
        {p2(0, 1), p2(-0.0f, 1), actions::STRICT_EQUAL, 0},
        {p2(3, 4), pair::make(3, 4), actions::EQUAL, 0},
        // ordering: x first, y when x is almost equal
        {p2(1, 5), p2(2, 0), actions::LESSER, -1},
        {p2(2, 1), p2(2, 0), actions::LESSER, 1},
        {p2(1, 1), p2(ulps(1, 3), 0), actions::LESSER, 1},
        {p3(1, 2, 3), p3(1, 2, 4), actions::LESSER, -1},
        {p3(1, 2, 3), p3(1, 2, 3), actions::GREATER, 0},
        {p2(FNaN, 0), p2(1, 0), actions::LESSER, 1},
        {p2(FNaN, 0), p2(1, 0), actions::GREATER, -1},
        {p2(1, 2), integer(1), actions::EQUAL, -2},
        {p3(1, 2, 0), p2(1, 2), actions::EQUAL, -2},
        {p3(1, 2, 0), pair::make(1, 2), actions::EQUAL, -2},
    };
    for (Case& c : cases)
        EXPECT_EQ(datatype::action<A_COMPARE>(c.a.type())(&c.a, &c.b, c.op), c.expected)
            << shown(c.a) << " op " << c.op << " " << shown(c.b);
    // an ordering test with a NaN is false both ways
    Cell nan = p2(FNaN, 0), one = p2(1, 0);
    EXPECT_FALSE(actions::compare(&nan, &one, actions::LESSER));
    EXPECT_FALSE(actions::compare(&nan, &one, actions::GREATER_OR_EQUAL));
}

TEST(Point, PickAndPaths) {
    EXPECT_EQ(picked(p2(1.5f, 2), integer(1)), "1.5");
    EXPECT_EQ(picked(p2(1.5f, 2), w("Y")), "2.0");
    EXPECT_EQ(picked(p3(1, 2, 3), w("z")), "3.0");
    EXPECT_EQ(picked(p3(1, 2, 3), integer(3)), "3.0");
    EXPECT_EQ(picked(p2(1, 2), integer(3)), "error script/out-of-range");
    EXPECT_EQ(picked(p2(1, 2), w("z")), "error script/cannot-use");
    EXPECT_EQ(picked(p3(1, 2, 3), w("w")), "error script/cannot-use");

    EXPECT_EQ(path_got(p2(1.5f, 2), w("x")), "1.5");
    EXPECT_EQ(path_got(p3(1, 2, 3), integer(3)), "3.0");
    EXPECT_EQ(path_got(p2(1, 2), integer(3)), "error script/invalid-path");
    EXPECT_EQ(path_got(p2(1, 2), w("z")), "error script/invalid-path");

    Cell v = p3(1, 2, 3);
    EXPECT_EQ(path_set(v, w("z"), real(0.1)), "");
    EXPECT_EQ(path_set(v, integer(1), integer(7)), "");
    EXPECT_EQ(shown(v), "(7, 2, 0.1)");
    EXPECT_EQ(path_set(v, w("y"), text("1")), "script/invalid-type");
    EXPECT_EQ(shown(v), "(7, 2, 0.1)");
}

TEST(Point, PathSetInAnObjectFieldCallsItsChangeHandler) {
    expect_field_set_told("p", p2(1, 2), "(7, 2)");
}

TEST(Point, PathSetInAnOwnedBlockTellsTheOwner) {
    using namespace testing_objects;
    HandlerRecorder recorder;
    Cell list = block_of({integer(0), p3(1, 2, 3)});
    make_object({set_word("list"), list, set_word("on-deep-change*"),
                 handler({"owner", "word", "target", "action", "new", "index", "part"})});
    recorder.calls().clear();
    Cell* slot = block::at(&list, 1);
    Cell element = w("z"), nine = integer(9), none_path = none::value, index = integer(2);
    datatype::action<A_EVAL_PATH>(TYPE_POINT3D)(slot, &element, &nine, &none_path, &list, &index, 2, false, false,
                                                false, true);
    EXPECT_EQ(shown(*block::at(&list, 1)), "(1, 2, 9)");
    ASSERT_EQ(recorder.calls().size(), 1u);
    const HandlerCall& call = recorder.calls()[0];
    EXPECT_EQ(call.name, "on-deep-change*");
    EXPECT_EQ(spelling(call.args[1]), "list");
    EXPECT_EQ(spelling(call.args[3]), "poked");
    EXPECT_EQ(shown(call.args[4]), "(1, 2, 9)");
    EXPECT_EQ(call.args[5].data2, 1u) << "the index of the changed slot";
}

TEST(Point, RandomAndSeed) {
    auto random = datatype::action<A_RANDOM>(TYPE_POINT2D);
    for (int i = 0; i < 50; i++) {
        Cell v = p2(0, 5);
        random(&v, false, false, false);
        EXPECT_EQ(point::coord(&v, 0), 0.0f);
        EXPECT_GE(point::coord(&v, 1), 0.0f);
        EXPECT_LE(point::coord(&v, 1), 5.0f);
    }
    auto draw = [] { return seeded_draw(p2(1, 2), p3(1000, 1000, 1000)); };
    EXPECT_EQ(draw(), draw()) << "a seeded generator repeats its draws";
}

TEST(Point, AsPoint) {
    Cell out;
    Cell one = integer(1), half = real(0.5), big = real(1e300), name = text("x");
    EXPECT_EQ(shown(*point2d::from_numbers(&one, &half, &out)), "(1, 0.5)");
    EXPECT_EQ(shown(*point3d::from_numbers(&one, &half, &big, &out)), "(1, 0.5, 1.#INF)");
    EXPECT_EQ(raised([&] { point2d::from_numbers(&one, &name, &out); }), "script/invalid-arg");
}
