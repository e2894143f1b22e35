#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "datatypes/float.hpp"
#include "datatypes/percent.hpp"
#include "io/lexer.hpp"
#include "number_fixtures.hpp"

using namespace kro;
using namespace kro::testing_numbers;
using testing_blocks::block_of;
using testing_blocks::text;

namespace {

Cell pct(double d) { return testing_numbers::percent(d); }

std::string literal(const char* t) {
    Cell c;
    if (!percent::from_text(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &c)) return "invalid";
    return describe(c);
}

}  // namespace

TEST(Percent, Registration) {
    EXPECT_STREQ(datatype::row(TYPE_PERCENT).name, "percent!");
    EXPECT_EQ(datatype::action<A_FORM>(TYPE_PERCENT), &percent::form);
    EXPECT_EQ(datatype::action<A_MOLD>(TYPE_PERCENT), &percent::mold);
    // everything a number does is float!'s
    for (int slot : {A_MAKE, A_RANDOM, A_TO, A_COMPARE, A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER,
                     A_REMAINDER, A_ROUND, A_SUBTRACT, A_EVEN_Q, A_ODD_Q}) {
        EXPECT_NE(datatype::entry(TYPE_PERCENT, slot), nullptr) << slot;
        EXPECT_EQ(datatype::entry(TYPE_PERCENT, slot), datatype::entry(TYPE_FLOAT, slot)) << slot;
    }
    for (int slot : {A_REFLECT, A_EVAL_PATH, A_SET_PATH, A_AND_T, A_PICK, A_APPEND, A_WRITE})
        EXPECT_EQ(datatype::entry(TYPE_PERCENT, slot), nullptr) << slot;
}

TEST(Percent, MoldAndFormTexts) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {0.125, "12.5%"},
        {1.0, "100%"},
        {0.0, "0%"},
        {-0.5, "-50%"},
        {0.001, "0.1%"},
        {1.0 / 3.0, "33.33333333333%"},  // 13 significant digits
        {0.1 + 0.7, "80%"},
        {1e-20, "0%"},
        {1e20, "1e22%"},
        {-2.5e-9, "-2.5e-7%"},
        {std::numeric_limits<double>::infinity(), "1.#INF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t budget = 0;
        EXPECT_EQ(testing_blocks::mold_text(pct(c.value), false, false, -1, &budget), c.text);
        EXPECT_EQ(budget, mold::NO_LIMIT - int32_t(std::strlen(c.text)));
        EXPECT_EQ(testing_blocks::form_text(pct(c.value)), c.text);
    }
}

TEST(Percent, LiteralMaker) {
    struct Case {
        const char* text;
        const char* value;
    } cases[] = {
        {"12.5%", "percent 0.125"},
        {"100%", "percent 1"},
        {"0%", "percent 0"},
        {"-5%", "percent -0.050000000000000003"},
        {"+5%", "percent 0.050000000000000003"},
        {"0.1%", "percent 0.001"},  // rounded once: the double nearest 0.001
        {"1'000%", "percent 10"},
        {"1e2%", "percent 1"},
        {"1.5E-1%", "percent 0.0015"},
        {".5%", "percent 0.0050000000000000001"},
        {"12.5", "percent 0.125"},  // the token may come without its "%"
        {"%", "invalid"},
        {"", "invalid"},
        {"abc%", "invalid"},
        {"1.2.3%", "invalid"},
        {"1e%", "invalid"},
        {"1%%", "invalid"},
        {"--5%", "invalid"},
    };
    for (const Case& c : cases) EXPECT_EQ(literal(c.text), c.value) << c.text;
}

TEST(Percent, FloatActionsKeepThePercent) {
    struct Case {
        int slot;
        Cell left, right;
        const char* expected;
    } cases[] = {
        {A_ADD, pct(0.1), real(1.5), "percent 1.6000000000000001"},
        {A_ADD, real(1.5), pct(0.1), "float 1.6000000000000001"},
        {A_MULTIPLY, pct(0.5), int_cell(3), "percent 1.5"},
        {A_MULTIPLY, pct(0.5), pct(0.5), "percent 0.25"},
        {A_DIVIDE, pct(0.5), int_cell(2), "percent 0.25"},
        {A_ADD, pct(0.5), time_of(1.0), "time 1.5"},
        {A_ADD, pct(0.5), chr('a'), "error script/invalid-type"},
    };
    for (const Case& c : cases) EXPECT_EQ(slot_outcome(c.slot, {c.left, c.right}), c.expected) << c.slot;
    EXPECT_EQ(converted(A_MAKE, TYPE_PERCENT, real(0.25)), "percent 0.25");
    EXPECT_EQ(converted(A_TO, TYPE_PERCENT, int_cell(2)), "percent 2");
    Cell half = pct(0.5), also_half = real(0.5);
    EXPECT_TRUE(actions::compare(&half, &also_half, actions::EQUAL));
    // round goes to whole percents unless told otherwise
    Cell p = pct(0.12345);
    floatx::round(&p, nullptr, false, false, false, false, false, false);
    EXPECT_EQ(testing_blocks::mold_text(p), "12%");
}

TEST(Percent, CellConstructors) {
    uint64_t bits = std::bit_cast<uint64_t>(0.125);
    uint32_t high = uint32_t(bits >> 32), low = uint32_t(bits);
    Cell blk = block_of({});
    percent::make_in(&blk, high, low);
    Cell c{uint32_t(TYPE_INTEGER) | FLAG_NEW_LINE, 9, 9, 9};
    percent::make_at_words(&c, high, low);
    EXPECT_EQ(c.header, uint32_t(TYPE_PERCENT));
    EXPECT_EQ(c.data1, 0u);
    copy_cell(&c, block::add_cell(&blk));
    percent::make_at(&c, -1.0);
    copy_cell(&c, block::add_cell(&blk));
    EXPECT_EQ(testing_blocks::cells(blk), "12.5% 12.5% -100%");

    Cell* top = stack::top_ptr;
    EXPECT_EQ(describe(*percent::push(0.5)), "percent 0.5");
    EXPECT_EQ(describe(*percent::push_words(high, low)), "percent 0.125");
    stack::top_ptr = top;
    Cell result = testing_blocks::call_on_stack([] { percent::set_result(0.75); }, {int_cell(1)});
    EXPECT_EQ(describe(result), "percent 0.75");
}

TEST(Percent, LoadingThroughTheTokenizer) {
    auto loaded = [](const char* src) {
        Cell out{};
        std::string err = testing_blocks::raised([&] {
            lexer::ScanArgs args;
            lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(src), std::strlen(src), args, nullptr);
        });
        return err.empty() ? testing_blocks::cells(out) : "error " + err;
    };
    EXPECT_EQ(loaded("12.5% [100% -0.5%] 1'000%"), "12.5% [100% -0.5%] 1000%");
    EXPECT_EQ(loaded("1.2.3%"), "error syntax/invalid");
    EXPECT_EQ(converted(A_TO, TYPE_PERCENT, text("12.5%")), "percent 0.125");
}
