#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "datatypes/char.hpp"
#include "datatypes/integer.hpp"
#include "number_fixtures.hpp"

using namespace kro;
using namespace kro::testing_numbers;
using testing_blocks::raised;
using testing_blocks::text;

TEST(Char, ArithmeticStaysWithinCodePoints) {
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        int slot;
        Cell left, right;
        const char* expected;
    } cases[] = {
        {A_ADD, chr('a'), int_cell(1), "char 98"},
        {A_ADD, chr('a'), chr(1), "char 98"},
        {A_ADD, chr('a'), int_cell(-97), "char 0"},
        {A_SUBTRACT, chr('a'), chr('b'), "error math/overflow"},
        {A_SUBTRACT, chr('a'), int_cell(98), "error math/overflow"},
        {A_ADD, chr(0x10FFFF), int_cell(1), "error math/overflow"},
        {A_ADD, chr(0x10FFFE), int_cell(1), "char 1114111"},
        {A_ADD, chr('a'), int_cell(INT32_MAX), "error math/overflow"},
        {A_ADD, chr(0), int_cell(INT32_MAX), "error math/overflow"},
        {A_MULTIPLY, chr('a'), int_cell(0x10000), "error math/overflow"},
        {A_MULTIPLY, chr(2), int_cell(INT32_MIN), "error math/overflow"},
        {A_MULTIPLY, chr(0x10), int_cell(0x10000), "char 1048576"},
        {A_DIVIDE, chr('d'), int_cell(2), "char 50"},
        {A_DIVIDE, chr('e'), int_cell(2), "char 50"},  // the quotient truncates
        {A_DIVIDE, chr('a'), int_cell(-1), "error math/overflow"},
        {A_DIVIDE, chr('a'), int_cell(0), "error math/zero-divide"},
        {A_REMAINDER, chr('a'), int_cell(10), "char 7"},
        {A_REMAINDER, chr('a'), chr(0), "error math/zero-divide"},
        {A_AND_T, chr('a'), int_cell(0x5F), "char 65"},
        {A_OR_T, chr('A'), int_cell(0x20), "char 97"},
        {A_XOR_T, chr('a'), chr(0x20), "char 65"},
        {A_XOR_T, chr('a'), int_cell(-1), "error math/overflow"},
        // a float operand counts by its whole part, and must have one that fits
        {A_ADD, chr('a'), real(1.9), "char 98"},
        {A_SUBTRACT, chr('b'), real(-0.9), "char 98"},
        {A_ADD, chr('a'), real(1e10), "error math/overflow"},
        {A_DIVIDE, chr('a'), real(1e10), "error math/overflow"},
        {A_DIVIDE, chr('a'), real(NaN), "error math/overflow"},
        {A_MULTIPLY, chr('a'), real(-std::numeric_limits<double>::infinity()), "error math/overflow"},
        {A_DIVIDE, chr('a'), real(0.5), "error math/zero-divide"},
        {A_ADD, chr('a'), percent(1.0), "error script/invalid-type"},
        {A_ADD, chr('a'), text("b"), "error script/invalid-type"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(slot_outcome(c.slot, {c.left, c.right}), c.expected)
            << describe(c.left) << " slot " << c.slot << " " << describe(c.right);
}

TEST(Char, MoldWritesEveryEscapeForm) {
    struct Case {
        uint32_t cp;
        const char* mold;
        const char* mold_all;
    } cases[] = {
        {0x00, "#\"^@\"", "#\"^@\""},
        {0x01, "#\"^A\"", "#\"^A\""},
        {0x08, "#\"^H\"", "#\"^H\""},
        {0x09, "#\"^-\"", "#\"^-\""},
        {0x0A, "#\"^/\"", "#\"^/\""},
        {0x0D, "#\"^M\"", "#\"^M\""},
        {0x1B, "#\"^[\"", "#\"^[\""},
        {0x1E, "#\"^(1E)\"", "#\"^(1E)\""},
        {0x1F, "#\"^_\"", "#\"^_\""},
        {0x20, "#\" \"", "#\" \""},
        {0x22, "#\"^\"\"", "#\"^\"\""},
        {0x41, "#\"A\"", "#\"A\""},
        {0x5C, "#\"\\\"", "#\"\\\""},
        {0x5E, "#\"^^\"", "#\"^^\""},
        {0x5F, "#\"_\"", "#\"_\""},
        {0x7B, "#\"{\"", "#\"{\""},
        {0x7F, "#\"^~\"", "#\"^~\""},
        {0x80, "#\"^(80)\"", "#\"^(80)\""},
        {0x85, "#\"^(85)\"", "#\"^(85)\""},
        {0x9F, "#\"^(9F)\"", "#\"^(9F)\""},
        {0xA0, "#\"\xC2\xA0\"", "#\"^(A0)\""},
        {0xE9, "#\"\xC3\xA9\"", "#\"^(E9)\""},
        {0x20AC, "#\"\xE2\x82\xAC\"", "#\"^(20AC)\""},
        {0x10FFFF, "#\"\xF4\x8F\xBF\xBF\"", "#\"^(10FFFF)\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cp);
        int32_t budget = 0, budget_all = 0;
        EXPECT_EQ(testing_blocks::mold_text(chr(c.cp), false, false, -1, &budget), c.mold);
        EXPECT_EQ(testing_blocks::mold_text(chr(c.cp), false, false, -1, &budget_all, true), c.mold_all);
        // four whatever the escape's length
        EXPECT_EQ(budget, mold::NO_LIMIT - 4);
        EXPECT_EQ(budget_all, mold::NO_LIMIT - 4);
    }
}

TEST(Char, FormWritesTheCharacterItself) {
    for (uint32_t cp : {0x09u, 0x41u, 0xE9u, 0x20ACu, 0x1F600u}) {
        int32_t budget = 0;
        std::string formed = testing_blocks::form_text(chr(cp), -1, &budget);
        Cell expected = text("");
        string::append_code_point(&expected, cp);
        EXPECT_EQ(formed, testing_blocks::utf8(expected)) << cp;
        EXPECT_EQ(budget, mold::NO_LIMIT - 1);
    }
    // a wide character widens what the buffer already holds
    Cell buf = text("ab");
    Cell euro = chr(0x20AC);
    actions::form(&euro, &buf, nullptr, 10);
    EXPECT_EQ(testing_blocks::utf8(buf), "ab\xE2\x82\xAC");
}

TEST(Char, Compare) {
    struct Case {
        Cell a, b;
        int op;
        int32_t answer;
    } cases[] = {
        {chr('A'), int_cell(65), 0, 0},   {chr('A'), int_cell(65), 2, 1},  {chr('A'), int_cell(65), 12, 1},
        {chr('A'), chr('A'), 2, 0},       {chr('A'), chr('B'), 3, -1},     {chr('b'), chr('B'), 0, 1},
        {chr('b'), int_cell(-1), 5, 1},   {chr('A'), real(65.0), 0, -2},   {chr('A'), text("A"), 0, -2},
        {chr('A'), real(65.0), 2, 1},
    };
    for (const Case& c : cases) {
        Cell a = c.a, b = c.b;
        EXPECT_EQ(datatype::action<A_COMPARE>(TYPE_CHAR)(&a, &b, c.op), c.answer)
            << describe(c.a) << " vs " << describe(c.b) << " op " << c.op;
    }
}

TEST(Char, ToAndMake) {
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    Cell at_tail = text("ab");
    at_tail.data1 = 2;
    Cell second = text("ab");
    second.data1 = 1;
    struct Case {
        const char* what;
        Cell spec;
        const char* expected;
    } cases[] = {
        {"integer", int_cell(65), "char 65"},
        {"largest", int_cell(0x10FFFF), "char 1114111"},
        {"negative", int_cell(-1), "error script/out-of-range"},
        {"past the largest", int_cell(0x110000), "error script/out-of-range"},
        {"char", chr(0xE9), "char 233"},
        {"float", real(65.9), "char 65"},
        {"small negative float", real(-0.5), "char 0"},
        {"negative float", real(-1.0), "error script/out-of-range"},
        {"huge float", real(1e10), "error script/out-of-range"},
        {"NaN", real(NaN), "error script/out-of-range"},
        {"percent", percent(66.5), "char 66"},
        {"text", text("abc"), "char 97"},
        {"text from its head", second, "char 98"},
        {"wide text", text("\xF0\x9F\x98\x80", 4), "char 128512"},
        {"empty text", text(""), "error script/bad-to-arg"},
        {"text at its tail", at_tail, "error script/bad-to-arg"},
        {"binary ascii", binary({'A', 'B'}), "char 65"},
        {"binary two bytes", binary({0xC3, 0xA9}), "char 233"},
        {"binary four bytes", binary({0xF0, 0x9F, 0x98, 0x80}), "char 128512"},
        {"binary cut short", binary({0xE2, 0x82}), "char 65534"},
        {"binary continuation first", binary({0x80}), "char 65534"},
        {"binary bad continuation", binary({0xC3, 0x41}), "char 65534"},
        {"empty binary", binary({}), "error script/bad-to-arg"},
        {"block", testing_blocks::block_of({}), "error script/bad-to-arg"},
        {"logic", logic::make(true), "error script/bad-to-arg"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(converted(A_TO, TYPE_CHAR, c.spec), c.expected) << c.what;
        EXPECT_EQ(converted(A_MAKE, TYPE_CHAR, c.spec), c.expected) << c.what << " (make)";
    }
}

TEST(Char, ActionsTakenFromIntegerAndThoseRefused) {
    for (int slot : {A_RANDOM, A_ABSOLUTE, A_EVEN_Q, A_ODD_Q})
        EXPECT_EQ(datatype::entry(TYPE_CHAR, slot), datatype::entry(TYPE_INTEGER, slot)) << slot;
    for (int slot : {A_NEGATE, A_POWER, A_ROUND, A_COMPLEMENT, A_REFLECT, A_APPEND})
        EXPECT_EQ(datatype::entry(TYPE_CHAR, slot), nullptr) << slot;
    // random of a char stays a char
    for (int i = 0; i < 50; i++) {
        Cell c = chr('z');
        Cell* r = actions::get<A_RANDOM>(&c)(&c, false, false, false);
        ASSERT_TRUE(r->is(TYPE_CHAR));
        EXPECT_GE(r->data2, 1u);
        EXPECT_LE(r->data2, uint32_t('z'));
    }
    Cell a = chr('a');
    EXPECT_TRUE(actions::get<A_ODD_Q>(&a)(&a));
    Cell n = chr('a');
    EXPECT_EQ(raised([&] { actions::get<A_NEGATE>(&n); }), "script/expect-arg");
}

TEST(Char, ServiceRoutines) {
    Cell* top = stack::top_ptr;
    Cell* pushed = charx::push(0x263A);
    EXPECT_EQ(describe(*pushed), "char 9786");
    EXPECT_EQ(stack::top_ptr, top + 1);
    stack::pop(1);
    Cell blk = testing_blocks::block_of({});
    charx::make_in(&blk, 'x');
    EXPECT_EQ(testing_blocks::cells(blk), "#\"x\"");
}
