#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "datatypes/date.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/time.hpp"
#include "io/lexer.hpp"
#include "number_fixtures.hpp"
#include "object_fixtures.hpp"

using namespace kro;
using namespace kro::testing_numbers;
using testing_blocks::block_of;
using testing_blocks::raised;
using testing_blocks::text;
using testing_blocks::w;

namespace {

std::string mold_of(double s, int32_t* budget = nullptr) {
    return testing_blocks::mold_text(time_of(s), false, false, -1, budget);
}
std::string form_of(double s) { return testing_blocks::form_text(time_of(s)); }

// A time literal read by the maker ("invalid" when it refuses the text).
std::string literal(const char* t) {
    Cell c;
    if (!time::from_text(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &c)) return "invalid";
    return describe(c);
}

// A path step on a time held in `slot`; a read answers the field, a write
// the changed time.
std::string path(Cell& slot, Cell element, const Cell* value = nullptr) {
    return outcome([&] {
        Cell p = block_of({w("t"), element});
        Cell v = value ? *value : none::value;
        Cell* r = time::eval_path(&slot, &element, value ? &v : nullptr, &p, nullptr, nullptr, 1, false, false,
                                  true, false);
        return value ? slot : *r;
    });
}

std::string picked(Cell t, int32_t index, Cell* boxed = nullptr) {
    return outcome([&] { return *time::pick(&t, index, boxed); });
}

Cell date_of(const char* text) {
    Cell d;
    EXPECT_TRUE(date::from_text(reinterpret_cast<const uint8_t*>(text), std::strlen(text), &d)) << text;
    return d;
}

}  // namespace

TEST(Time, Registration) {
    EXPECT_STREQ(datatype::row(TYPE_TIME).name, "time!");
    // comparison, absolute, negate, remainder and random are float!'s own
    for (int slot : {A_COMPARE, A_ABSOLUTE, A_NEGATE, A_REMAINDER, A_RANDOM}) {
        SCOPED_TRACE(slot);
        EXPECT_NE(datatype::entry(TYPE_TIME, slot), nullptr);
        EXPECT_EQ(datatype::entry(TYPE_TIME, slot), datatype::entry(TYPE_FLOAT, slot));
    }
    for (int slot : {A_REFLECT, A_SET_PATH, A_POWER, A_AND_T, A_APPEND, A_LENGTH_Q, A_QUERY})
        EXPECT_EQ(datatype::entry(TYPE_TIME, slot), nullptr) << slot;
    EXPECT_EQ(datatype::action<A_MOLD>(TYPE_TIME), &time::mold);
    EXPECT_EQ(datatype::action<A_PICK>(TYPE_TIME), &time::pick);
}

TEST(Time, MoldAndFormTexts) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {3723.0, "1:02:03"},
        {0.0, "0:00:00"},
        {-0.0, "0:00:00"},
        {-1.5, "-0:00:01.5"},
        {5.0, "0:00:05"},
        {5.5, "0:00:05.5"},
        {0.5, "0:00:00.5"},
        {59.0, "0:00:59"},
        {60.0, "0:01:00"},
        {3599.0, "0:59:59"},
        {360000.0, "100:00:00"},
        {-5400.0, "-1:30:00"},
        {0.0000001, "0:00:00"},  // below a microsecond
        {0.000001, "0:00:00.000001"},
        {3600.123456789, "1:00:00.123457"},  // six significant digits of seconds
        {45296.25, "12:34:56.25"},
        {1e13, "2777777777:46:40"},  // beyond 32-bit hours
        {std::numeric_limits<double>::infinity(), "1.#INF"},
        {-std::numeric_limits<double>::infinity(), "-1.#INF"},
        {std::numeric_limits<double>::quiet_NaN(), "1.#NaN"},
    };
    // the largest time writes all the digits of its hours
    std::string largest = mold_of(-1.7976931348623157e308);
    EXPECT_EQ(largest.rfind("-4993592041284209", 0), 0u) << largest;
    EXPECT_EQ(largest.find(':'), 306u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t budget = 0;
        EXPECT_EQ(mold_of(c.seconds, &budget), c.text);
        EXPECT_EQ(budget, mold::NO_LIMIT - int32_t(std::strlen(c.text)));
        EXPECT_EQ(form_of(c.seconds), c.text);
        EXPECT_STREQ(time::to_text(c.seconds), c.text);
    }
}

TEST(Time, LiteralMaker) {
    struct Case {
        const char* text;
        const char* value;
    } cases[] = {
        {"1:02:03", "time 3723"},
        {"0:00", "time 0"},
        {"-0:00:01.5", "time -1.5"},
        {"+1:00", "time 3600"},
        {"1:30.5", "time 90.5"},  // minutes and seconds
        {"1:30,5", "time 90.5"},
        {"1:75", "time 8100"},  // minutes have no upper bound
        {"0:0:75", "time 75"},
        {"100:00:00", "time 360000"},
        {"1'000:00", "time 3600000"},
        {"12:34:56.25", "time 45296.25"},
        {"1:02:03.", "time 3723"},
        {"1:30:", "invalid"},
        {"1:", "invalid"},
        {":30", "invalid"},
        {"1:-30", "invalid"},
        {"1:30:-5", "invalid"},
        {"1e2:00", "invalid"},
        {"1:00:1e2", "invalid"},
        {"1:2:3:4", "invalid"},
        {"1:30.5:10", "invalid"},
        {"1:30x", "invalid"},
        {"2147483648:00", "invalid"},  // past 32 bits
        {"1:2147483648", "invalid"},
        {"--1:00", "invalid"},
    };
    for (const Case& c : cases) EXPECT_EQ(literal(c.text), c.value) << c.text;
}

TEST(Time, MakeAndTo) {
    Cell shifted = text("xx1:30");
    shifted.data1 = 2;
    struct Case {
        const char* what;
        Cell spec;
        const char* expected;
    } cases[] = {
        {"time", time_of(61.5), "time 61.5"},
        {"integer", int_cell(3723), "time 3723"},
        {"negative integer", int_cell(-90), "time -90"},
        {"float", real(-1.5), "time -1.5"},
        {"percent", percent(0.5), "time 0.5"},
        {"[h m s]", block_of({int_cell(1), int_cell(2), int_cell(3)}), "time 3723"},
        {"[h m float]", block_of({int_cell(1), int_cell(2), real(3.5)}), "time 3723.5"},
        {"[h]", block_of({int_cell(2)}), "time 7200"},
        {"[]", block_of({}), "time 0"},
        {"negative hour negates all", block_of({int_cell(-1), int_cell(30)}), "time -5400"},
        {"negative minute", block_of({int_cell(1), int_cell(-30)}), "error script/bad-to-arg"},
        {"negative second", block_of({int_cell(1), int_cell(0), real(-1.0)}), "error script/bad-to-arg"},
        {"four values", block_of({int_cell(1), int_cell(2), int_cell(3), int_cell(4)}), "error script/bad-to-arg"},
        {"float hour", block_of({real(1.5)}), "error script/bad-to-arg"},
        {"float minute", block_of({int_cell(1), real(1.5)}), "error script/bad-to-arg"},
        {"word inside", block_of({w("a")}), "error script/bad-to-arg"},
        {"text", text("1:30:00"), "time 5400"},
        {"text with blanks", text(" -0:00:01.5 "), "time -1.5"},
        {"text from its head", shifted, "time 5400"},
        {"wide text", text("1:30", 2), "time 5400"},
        {"text of another value", text("90"), "error script/bad-to-arg"},
        {"two times", text("1:00 2:00"), "error script/bad-to-arg"},
        {"empty text", text(""), "error script/bad-to-arg"},
        {"none", none::value, "error script/bad-to-arg"},
        {"char", chr('a'), "error script/bad-to-arg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(converted(A_TO, TYPE_TIME, c.spec), c.expected);
        EXPECT_EQ(converted(A_MAKE, TYPE_TIME, c.spec), c.expected);
    }
    converted(A_TO, TYPE_TIME, block_of({int_cell(1), int_cell(-30)}));
    const RaisedError& e = last_raised();
    ASSERT_EQ(e.nargs, 2);
    EXPECT_EQ(e.args[0].data1, uint32_t(TYPE_TIME)) << "the error names time! and the spec";
    EXPECT_TRUE(e.args[1].is(TYPE_BLOCK));
}

TEST(Time, FieldsThroughPathsAndPick) {
    Cell t = time_of(3723.5);
    EXPECT_EQ(path(t, w("hour")), "integer 1");
    EXPECT_EQ(path(t, w("MINUTE")), "integer 2") << "field words in any letter case";
    EXPECT_EQ(path(t, w("second")), "float 3.5");
    EXPECT_EQ(path(t, int_cell(1)), "integer 1");
    EXPECT_EQ(path(t, int_cell(3)), "float 3.5");
    Cell negative = time_of(-5405.0);  // -1:30:05
    EXPECT_EQ(path(negative, w("hour")), "integer -1");
    EXPECT_EQ(path(negative, w("minute")), "integer 30") << "never negative";
    EXPECT_EQ(path(negative, w("second")), "float -5") << "keeps the sign";
    EXPECT_EQ(path(t, int_cell(0)), "error script/invalid-path");
    EXPECT_EQ(path(t, int_cell(4)), "error script/invalid-path");
    EXPECT_EQ(path(t, w("day")), "error script/invalid-path");
    EXPECT_EQ(path(t, text("hour")), "error script/invalid-path");
    EXPECT_EQ(last_raised().nargs, 2);
    EXPECT_TRUE(last_raised().args[0].is(TYPE_BLOCK)) << "the path, then the element";
    Cell huge = time_of(1e13);
    EXPECT_EQ(path(huge, w("hour")), "error script/type-limit") << "no 32-bit answer";

    EXPECT_EQ(picked(t, 1), "integer 1");
    EXPECT_EQ(picked(t, 2), "integer 2");
    EXPECT_EQ(picked(t, 3), "float 3.5");
    Cell word = w("second");
    EXPECT_EQ(picked(t, 0, &word), "float 3.5");
    EXPECT_EQ(picked(t, 4), "error script/out-of-range");
    EXPECT_EQ(picked(t, 0), "error script/out-of-range");
    Cell other = w("day");
    EXPECT_EQ(picked(t, 0, &other), "error script/cannot-use");
}

TEST(Time, PathWritesChangeOneField) {
    struct Case {
        double start;
        const char* field;
        Cell value;
        const char* result;
    } cases[] = {
        {3723.0, "minute", int_cell(5), "1:05:03"},
        {3723.0, "second", real(7.5), "1:02:07.5"},
        {3723.0, "second", int_cell(7), "1:02:07"},
        {3723.0, "hour", int_cell(10), "10:02:03"},
        {3723.0, "minute", int_cell(75), "2:15:03"},  // carries into the hours
        {3723.0, "hour", int_cell(-2), "-2:02:03"},
        // a negative time keeps its sign and reads back what was set
        {-5400.0, "hour", int_cell(-2), "-2:30:00"},
        {-5400.0, "minute", int_cell(15), "-1:15:00"},
        {-5400.0, "second", real(1.5), "-1:30:01.5"},
        {-5400.0, "hour", int_cell(2), "2:30:00"},
        {-5400.0, "hour", int_cell(0), "-0:30:00"},
        {-1800.0, "hour", int_cell(-1), "-1:30:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " " + time::to_text(c.start));
        Cell slot = time_of(c.start);
        Cell v = c.value;
        std::string r = path(slot, w(c.field), &v);
        ASSERT_EQ(r.rfind("time", 0), 0u) << r;
        EXPECT_EQ(mold_of(slot.get_float()), c.result);
        // the getter reads back the field set (minutes within the hour excepted)
        if (std::strcmp(c.field, "hour") == 0) {
            Cell back = time::get_field(&slot, 1);
            EXPECT_EQ(integer::get(&back), integer::get(&v));
        }
    }
    Cell slot = time_of(3723.0);
    Cell bad = real(1.5);
    EXPECT_EQ(path(slot, w("hour"), &bad), "error script/invalid-arg");
    EXPECT_EQ(path(slot, w("minute"), &bad), "error script/invalid-arg");
    Cell word = w("x");
    EXPECT_EQ(path(slot, w("second"), &word), "error script/invalid-arg");
    EXPECT_EQ(slot.get_float(), 3723.0) << "a refused write changes nothing";
}

TEST(Time, PathWritesNotifyTheContainer) {
    using namespace testing_objects;
    HandlerRecorder recorder;
    // an object field: on-change* with the field word, the old and the new time
    Cell obj = make_object({set_word("t"), time_of(3723.0), set_word("on-change*"), handler({"word", "old", "new"})});
    HandlerRecorder::calls().clear();
    Cell field_word = w("t");
    Cell* slot = const_cast<Cell*>(object::select_word(&obj, &field_word));
    Cell element = w("minute"), item = w("t"), five = int_cell(5);
    Cell* r = time::eval_path(slot, &element, &five, nullptr, &obj, &item, 2, false, false, true, true);
    EXPECT_EQ(r, &five) << "the value is the result";
    EXPECT_EQ(field(obj, "t").get_float(), 3903.0) << "the field itself changed";
    ASSERT_EQ(HandlerRecorder::calls().size(), 1u);
    const HandlerCall& call = HandlerRecorder::calls()[0];
    EXPECT_EQ(call.name, "on-change*");
    ASSERT_GE(call.args.size(), 3u);
    EXPECT_EQ(spelling(call.args[0]), "t");
    EXPECT_EQ(call.args[1].get_float(), 3723.0);
    EXPECT_EQ(call.args[2].get_float(), 3903.0);
    // without the event flag nobody is told
    HandlerRecorder::calls().clear();
    time::eval_path(slot, &element, &five, nullptr, &obj, &item, 2, false, false, true, false);
    EXPECT_TRUE(HandlerRecorder::calls().empty());

    // a block owned by an object: on-deep-change* with set-path, the new time and the field number
    Cell list = block_of({time_of(60.0)});
    make_object({set_word("list"), list, set_word("on-deep-change*"),
                 handler({"owner", "word", "target", "action", "new", "index", "part"})});
    HandlerRecorder::calls().clear();
    Cell second = w("second"), seven = int_cell(7), one = int_cell(1);
    time::eval_path(block::at(&list, 0), &second, &seven, nullptr, &list, &one, 2, false, false, true, true);
    EXPECT_EQ(block::at(&list, 0)->get_float(), 67.0);
    ASSERT_EQ(HandlerRecorder::calls().size(), 1u);
    const HandlerCall& deep = HandlerRecorder::calls()[0];
    EXPECT_EQ(deep.name, "on-deep-change*");
    ASSERT_EQ(deep.args.size(), 7u);
    EXPECT_EQ(spelling(deep.args[3]), "set-path");
    EXPECT_EQ(deep.args[4].get_float(), 67.0);
    EXPECT_EQ(integer::get(&deep.args[5]), 3);
}

TEST(Time, Arithmetic) {
    struct Case {
        int slot;
        Cell left, right;
        const char* expected;
    } cases[] = {
        {A_ADD, time_of(3600.0), time_of(1800.0), "time 5400"},
        {A_ADD, time_of(3600.0), int_cell(1), "time 3601"},
        {A_ADD, time_of(3600.0), real(0.5), "time 3600.5"},
        {A_SUBTRACT, time_of(3600.0), time_of(5400.0), "time -1800"},
        {A_MULTIPLY, time_of(3600.0), int_cell(2), "time 7200"},
        {A_MULTIPLY, time_of(3600.0), percent(0.5), "time 1800"},
        {A_MULTIPLY, time_of(3600.0), time_of(1800.0), "error script/not-related"},
        {A_DIVIDE, time_of(3600.0), time_of(1800.0), "float 2"},  // a ratio
        {A_DIVIDE, time_of(3600.0), int_cell(4), "time 900"},
        {A_DIVIDE, time_of(3600.0), real(0.0), "time inf"},
        {A_REMAINDER, time_of(3700.0), time_of(3600.0), "time 100"},
        {A_ADD, time_of(1.0), chr('a'), "error script/invalid-type"},
        {A_ADD, time_of(1.0), text("1"), "error script/invalid-type"},
        {A_SUBTRACT, time_of(1.0), date_of("1-Jan-2020"), "error script/not-related"},
        // numbers on the left keep the time
        {A_MULTIPLY, int_cell(2), time_of(1800.0), "time 3600"},
        {A_ADD, real(0.5), time_of(1.0), "time 1.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.left) + " slot " + std::to_string(c.slot) + " " + describe(c.right));
        EXPECT_EQ(slot_outcome(c.slot, {c.left, c.right}), c.expected);
    }
    slot_outcome(A_MULTIPLY, {time_of(1.0), time_of(1.0)});
    ASSERT_EQ(last_raised().nargs, 2);
    EXPECT_EQ(testing_objects::spelling(last_raised().args[0]), "multiply");
    EXPECT_EQ(last_raised().args[1].data1, uint32_t(TYPE_TIME));

    // a time plus a date is the date moved by the time
    Cell sum = call_slot(A_ADD, {time_of(3600.0), date_of("31-Dec-2020/23:30")});
    EXPECT_EQ(testing_blocks::mold_text(sum), "1-Jan-2021/0:30:00");
}

TEST(Time, ParityRoundingAndInheritedActions) {
    struct Parity {
        double seconds;
        bool even;
    } parity[] = {
        {2.0, true}, {63.0, false}, {0.0, true}, {120.0, true}, {2.9999999, false}, {-3.0, false}, {-4.5, true},
    };
    for (const Parity& p : parity) {
        Cell t = time_of(p.seconds);
        EXPECT_EQ(datatype::action<A_EVEN_Q>(TYPE_TIME)(&t), p.even) << p.seconds;
        EXPECT_EQ(datatype::action<A_ODD_Q>(TYPE_TIME)(&t), !p.even) << p.seconds;
    }

    auto rounded = [](double s, Cell* scale, bool down = false) {
        return outcome([&] {
            Cell t = time_of(s);
            return *time::round(&t, scale, false, down, false, false, false, false);
        });
    };
    EXPECT_EQ(rounded(3723.7, nullptr), "time 3724");
    EXPECT_EQ(rounded(3723.7, nullptr, true), "time 3723");
    Cell five = time_of(5.0), one = int_cell(1), half = real(0.5), money = header_only(TYPE_MONEY);
    EXPECT_EQ(rounded(3723.7, &five), "time 3725");
    EXPECT_EQ(rounded(3723.7, &one), "time 3724") << "an integer scale still answers a time";
    EXPECT_EQ(rounded(3723.7, &half), "time 3723.5");
    EXPECT_EQ(rounded(3723.7, &money), "error script/not-related");

    // float!'s own actions serve the rest
    Cell a = time_of(3600.0), b = int_cell(3600), c = time_of(60.0);
    EXPECT_TRUE(actions::compare(&a, &b, actions::EQUAL));
    EXPECT_TRUE(actions::compare(&c, &a, actions::LESSER));
    EXPECT_FALSE(actions::compare(&a, &b, actions::STRICT_EQUAL)) << "strict equality wants the same type";
    Cell n = time_of(-90.0);
    EXPECT_EQ(describe(*datatype::action<A_NEGATE>(TYPE_TIME)(&n)), "time 90");
    EXPECT_EQ(describe(testing_blocks::call_on_stack(datatype::action<A_ABSOLUTE>(TYPE_TIME), {time_of(-90.0)})),
              "time 90");
}

TEST(Time, CellConstructors) {
    Cell blk = block_of({});
    time::make_in(&blk, 1.5);
    uint64_t bits = std::bit_cast<uint64_t>(-2.25);
    time::make_in_words(&blk, uint32_t(bits >> 32), uint32_t(bits));
    EXPECT_EQ(testing_blocks::cells(blk), "0:00:01.5 -0:00:02.25");
    Cell* top = stack::top_ptr;
    Cell* p = time::push(90.0);
    EXPECT_EQ(describe(*p), "time 90");
    stack::top_ptr = top;
    Cell c{uint32_t(TYPE_INTEGER) | FLAG_NEW_LINE, 1, 2, 3};
    time::make_at(&c, 3.0);
    EXPECT_EQ(c.header, uint32_t(TYPE_TIME));
    EXPECT_EQ(c.data1, 0u);
}

TEST(Time, LoadingThroughTheTokenizer) {
    auto loaded = [](const char* src) {
        Cell out{};
        std::string err = raised([&] {
            lexer::ScanArgs args;
            lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(src), std::strlen(src), args, nullptr);
        });
        return err.empty() ? testing_blocks::cells(out) : "error " + err;
    };
    EXPECT_EQ(loaded("1:02:03 [-0:00:01.5 1:30.5] 1:75 100:00"), "1:02:03 [-0:00:01.5 0:01:30.5] 2:15:00 100:00:00");
    EXPECT_EQ(loaded("1:-30"), "error syntax/invalid");
    // conversions read their text through the same maker
    EXPECT_EQ(converted(A_TO, TYPE_TIME, text("1:30")), "time 5400");
    EXPECT_EQ(converted(A_TO, TYPE_TIME, text("1:00 2:00")), "error script/bad-to-arg");
    // what mold writes loads back as the same time
    for (double s : {3723.0, -1.5, 0.25, 360000.0, 45296.125}) EXPECT_EQ(loaded(time::to_text(s)), time::to_text(s));
}
