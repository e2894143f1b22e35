#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "block_reader.hpp"
#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/vector.hpp"
#include "foundation/memory.hpp"
#include "interpreter/actions.hpp"
#include "number_fixtures.hpp"

using namespace kro;
using namespace kro::testing_blocks;
using kro::testing_numbers::call_slot;
using kro::testing_numbers::percent;
using kro::testing_numbers::slot_outcome;

namespace {

Cell vec_of(Cell spec) {
    Cell v;
    vector::make(&v, &spec, TYPE_VECTOR);
    return v;
}

Cell ints(const std::vector<int32_t>& xs) {
    std::vector<Cell> cells;
    for (int32_t x : xs) cells.push_back(integer(x));
    return block_of(cells);
}
Cell floats(const std::vector<double>& xs) {
    std::vector<Cell> cells;
    for (double x : xs) cells.push_back(real(x));
    return block_of(cells);
}
// [type bits [values]]
Cell typed(const char* type, int32_t bits, Cell values) { return block_of({w(type), integer(bits), values}); }

Cell int_vector(const std::vector<int32_t>& xs, int32_t bits = 32) { return vec_of(typed("integer!", bits, ints(xs))); }
Cell float_vector(const std::vector<double>& xs, int32_t bits = 64) { return vec_of(typed("float!", bits, floats(xs))); }

std::string elements(const Cell& v) { return form_text(v); }
int unit_of(const Cell& v) { return memory::buffer_of(v.data2)->unit(); }

std::string outcome_of(Cell spec) {
    std::string text;
    std::string err = raised([&] { text = mold_text(vec_of(spec)); });
    return err.empty() ? text : "error " + err;
}

}  // namespace

TEST(Vector, MakeFromEachKindOfSpec) {
    struct Case {
        const char* what;
        Cell spec;
        const char* expected;  // the mold, or the error
    } cases[] = {
        {"a count", integer(3), "make vector! [0 0 0]"},
        {"a float count", real(2.9), "make vector! [0 0]"},
        {"a negative count", integer(-1), "error script/out-of-range"},
        {"an empty block", read(""), "make vector! [integer! 32 []]"},
        {"untyped integers", ints({1, -2}), "make vector! [1 -2]"},
        {"untyped floats", floats({1.5, 2.0}), "make vector! [1.5 2.0]"},
        {"untyped chars", block_of({chr('a'), chr('\n'), chr('"')}), "make vector! [#\"a\" #\"^/\" #\"^\"\"]"},
        {"untyped percents", block_of({percent(0.5), percent(1.25)}), "make vector! [50% 125%]"},
        {"8-bit integers", typed("integer!", 8, ints({127, -1})), "make vector! [integer! 8 [127 -1]]"},
        {"16-bit count", block_of({w("integer!"), integer(16), integer(2)}), "make vector! [integer! 16 [0 0]]"},
        {"count then values", block_of({w("integer!"), integer(32), integer(3), ints({5})}), "make vector! [5 0 0]"},
        {"more values than the count", block_of({w("integer!"), integer(32), integer(1), ints({5, 6})}),
         "make vector! [5 6]"},
        {"32-bit floats", typed("float!", 32, floats({0.5})), "make vector! [float! 32 [0.5]]"},
        {"8-bit chars", typed("char!", 8, block_of({chr('z')})), "make vector! [char! 8 [#\"z\"]]"},
        {"percent without a width", block_of({w("percent!"), block_of({percent(0.1)})}), "make vector! [10%]"},
        {"percent takes 64 bits whatever", typed("percent!", 16, block_of({percent(0.1)})), "make vector! [10%]"},
        {"type word in any case", typed("Integer!", 32, ints({1})), "make vector! [1]"},
        {"a value of another type", block_of({integer(1), real(2.0)}), "error script/invalid-arg"},
        {"typed value of another type", typed("float!", 64, ints({1})), "error script/invalid-arg"},
        {"a float width of 16", typed("float!", 16, floats({1.0})), "error script/bad-make-arg"},
        {"an integer width of 64", typed("integer!", 64, ints({1})), "error script/bad-make-arg"},
        {"a type word alone", block_of({w("integer!")}), "error script/bad-make-arg"},
        {"an unknown type word", typed("string!", 8, ints({1})), "error script/bad-make-arg"},
        {"no width", block_of({w("integer!"), ints({1})}), "error script/invalid-spec-field"},
        {"nothing after the width", block_of({w("integer!"), integer(8)}), "error script/invalid-spec-field"},
        {"a text after the width", block_of({w("integer!"), integer(8), text("x")}), "error script/invalid-spec-field"},
        {"an untyped text", block_of({text("x")}), "error script/invalid-type"},
        {"a text spec", text("1 2"), "error internal/not-done"},
    };
    for (Case& c : cases) EXPECT_EQ(outcome_of(c.spec), c.expected) << c.what;

    Cell v = int_vector({1, 2}, 16);
    EXPECT_EQ(v.data3, uint32_t(TYPE_INTEGER));
    EXPECT_EQ(unit_of(v), 2);
    EXPECT_EQ(unit_of(vec_of(block_of({percent(0.1)}))), 8);
    EXPECT_EQ(unit_of(vec_of(block_of({chr('a')}))), 4);
}

TEST(Vector, ElementsKeepTheirWidth) {
    struct Case {
        int32_t bits;
        int32_t stored;
        int32_t read;
    } cases[] = {
        {8, 200, -56}, {8, -129, 127}, {8, 255, -1}, {16, 40000, -25536}, {16, -32768, -32768},
        {32, INT32_MIN, INT32_MIN},
    };
    for (const Case& c : cases) {
        Cell v = int_vector({0}, c.bits);
        Cell value = integer(c.stored);
        actions::poke(&v, 1, &value);
        Cell picked = v;
        EXPECT_EQ(int32_t(series::pick(&picked, 1, nullptr)->data2), c.read) << c.bits << " " << c.stored;
    }
    // poke stores what set_value stores: a char in an integer vector, no float
    Cell iv = int_vector({0, 0});
    Cell letter = chr('a'), half = real(2.5);
    actions::poke(&iv, 2, &letter);
    Cell second = iv;
    EXPECT_EQ(series::pick(&second, 2, nullptr)->data2, uint32_t('a'));
    EXPECT_EQ(raised([&] { actions::poke(&iv, 1, &half); }), "script/invalid-type");
    // the raw element helpers: a char is a code point, read without sign
    uint8_t bytes[8] = {0xFF, 0x7F, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(vector::get_value(bytes, 1, TYPE_CHAR).data2, 0xFFu);
    EXPECT_EQ(int32_t(vector::get_value(bytes, 1, TYPE_INTEGER).data2), -1);
    EXPECT_EQ(int32_t(vector::get_value(bytes, 2, TYPE_INTEGER).data2), 0x7FFF);
    Cell c = chr(0x1F600);
    vector::set_value(&c, bytes, 4, TYPE_INTEGER);
    EXPECT_EQ(vector::get_value(bytes, 4, TYPE_INTEGER).data2, 0x1F600u) << "a char fits an integer vector";
    Cell third = real(1.0 / 3.0);
    vector::set_value(&third, bytes, 4, TYPE_FLOAT);
    EXPECT_EQ(vector::get_value(bytes, 4, TYPE_FLOAT).get_float(), double(float(1.0 / 3.0)));
    Cell p = percent(0.25);
    vector::set_value(&p, bytes, 8, TYPE_FLOAT);
    EXPECT_EQ(vector::get_value(bytes, 8, TYPE_PERCENT).get_float(), 0.25);
    Cell one = integer(1), s = text("x");
    EXPECT_EQ(raised([&] { vector::set_value(&one, bytes, 8, TYPE_FLOAT); }), "script/invalid-type");
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_INTEGER));
    EXPECT_EQ(raised([&] { vector::set_value(&s, bytes, 4, TYPE_CHAR); }), "script/invalid-type");
}

TEST(Vector, FormAndMold) {
    Cell f32 = float_vector({0.1, -2.5}, 32);
    EXPECT_EQ(elements(f32), "0.1 -2.5") << "single precision text for 32-bit elements";
    EXPECT_EQ(elements(float_vector({0.1, 1e20})), "0.1 1.0e20");
    EXPECT_EQ(elements(vec_of(block_of({chr('a'), chr('\t')}))), "a ^-");
    EXPECT_EQ(elements(vec_of(block_of({percent(0.125)}))), "12.5%");
    EXPECT_EQ(elements(vec_of(read(""))), "");

    Cell v = int_vector({1, 2, 3});
    EXPECT_EQ(mold_text(v, true), "make vector! [1 2 3");
    EXPECT_EQ(mold_text(int_vector({1}, 8), true), "make vector! [integer! 8 [1");
    Cell from2 = v;
    from2.data1 = 1;
    EXPECT_EQ(mold_text(from2), "make vector! [2 3]");
    from2.data1 = 3;
    EXPECT_EQ(mold_text(from2), "make vector! [integer! 32 []]") << "nothing from the head";
    int32_t budget = 0;
    std::string cut = mold_text(int_vector({10, 20, 30, 40}), false, false, 17, &budget);
    EXPECT_EQ(cut.substr(0, 17), "make vector! [10 ");
    EXPECT_EQ(cut.find("40"), std::string::npos) << "writing stopped";
    EXPECT_LE(budget, 0);
}

TEST(Vector, ArithmeticWithAScalarWorksInPlace) {
    struct Case {
        int slot;
        Cell vec;
        Cell scalar;
        const char* expected;  // the elements after, or the error
    } cases[] = {
        {A_ADD, int_vector({1, 2}), integer(1), "2 3"},
        {A_SUBTRACT, int_vector({1, 2}), integer(0), "1 2"},
        {A_MULTIPLY, int_vector({1, 2}), real(2.9), "2 4"},
        {A_DIVIDE, int_vector({7, -7}), integer(2), "3 -3"},
        {A_REMAINDER, int_vector({7, -7}), integer(3), "1 -1"},
        {A_DIVIDE, int_vector({7}), integer(0), "error math/zero-divide"},
        {A_AND_T, int_vector({6, 5}), integer(3), "2 1"},
        {A_OR_T, int_vector({4}), integer(1), "5"},
        {A_XOR_T, int_vector({6}), integer(3), "5"},
        {A_ADD, int_vector({INT32_MAX}), integer(1), "-2147483648"},
        {A_MULTIPLY, int_vector({65536}), integer(65536), "0"},
        {A_ADD, int_vector({127}, 8), integer(1), "-128"},
        {A_ADD, int_vector({1}), chr(2), "3"},
        {A_ADD, float_vector({0.5}), integer(1), "1.5"},
        {A_DIVIDE, float_vector({1.0}), percent(0.5), "2.0"},
        {A_DIVIDE, float_vector({1.0}), real(0.0), "1.#INF"},
        {A_AND_T, float_vector({1.0}), integer(1), "error script/cannot-use"},
        {A_ADD, float_vector({1.0}), chr('a'), "error internal/not-done"},
        {A_ADD, int_vector({1}), text("1"), "error internal/not-done"},
        {A_ADD, int_vector({1}), real(1e10), "error script/out-of-range"},
    };
    for (Case& c : cases) {
        std::string got;
        std::string err = raised([&] {
            Cell r = call_slot(c.slot, {c.vec, c.scalar});
            EXPECT_EQ(r.data2, c.vec.data2) << "the vector itself is the result";
            got = elements(c.vec);
        });
        EXPECT_EQ(err.empty() ? got : "error " + err, c.expected) << "slot " << c.slot << " " << elements(c.vec);
    }
    // from the head on only
    Cell v = int_vector({1, 2, 3});
    v.data1 = 1;
    call_slot(A_ADD, {v, integer(10)});
    v.data1 = 0;
    EXPECT_EQ(elements(v), "1 12 13");
}

TEST(Vector, NumbersOnTheLeftHandTheirMathOver) {
    Cell v = int_vector({1, 2, 4});
    Cell r = call_slot(A_SUBTRACT, {integer(10), v});
    EXPECT_TRUE(r.is(TYPE_VECTOR));
    EXPECT_EQ(r.data2, v.data2);
    EXPECT_EQ(elements(v), "9 8 6") << "the number is the left operand of each subtraction";
    call_slot(A_DIVIDE, {integer(8), v});
    EXPECT_EQ(elements(v), "0 1 1");
    call_slot(A_MULTIPLY, {chr(3), v});
    EXPECT_EQ(elements(v), "0 3 3");
    Cell f = float_vector({2.0, 4.0});
    call_slot(A_DIVIDE, {real(1.0), f});
    EXPECT_EQ(elements(f), "0.5 0.25");
}

TEST(Vector, ArithmeticBetweenVectors) {
    Cell four = int_vector({1, 2, 3, 4}, 8), six = int_vector({10, 20, 30, 40, 50, 60});
    Cell r = call_slot(A_ADD, {four, six});
    EXPECT_NE(r.data2, four.data2) << "a new vector";
    EXPECT_EQ(elements(r), "11 22 33 44") << "as long as the shorter";
    EXPECT_EQ(unit_of(r), 4) << "as wide as the wider";
    EXPECT_EQ(elements(four), "1 2 3 4");
    Cell back = call_slot(A_SUBTRACT, {six, four});
    EXPECT_EQ(elements(back), "9 18 27 36");
    EXPECT_EQ(elements(call_slot(A_MULTIPLY, {float_vector({1.5}, 32), float_vector({2.0, 3.0})})), "3.0");
    EXPECT_EQ(slot_outcome(A_ADD, {four, float_vector({1.0})}), "error script/not-same-type");
    EXPECT_EQ(slot_outcome(A_DIVIDE, {four, int_vector({1, 0})}), "error math/zero-divide");
}

TEST(Vector, Comparison) {
    Cell a = int_vector({1, 2, 3});
    struct Case {
        const char* what;
        Cell other;
        int32_t op;
        bool expected;
    } cases[] = {
        {"equal elements of another width", int_vector({1, 2, 3}, 8), actions::EQUAL, true},
        {"one element differs", int_vector({1, 2, 4}), actions::EQUAL, false},
        {"shorter", int_vector({1, 2}), actions::EQUAL, false},
        {"shorter is smaller", int_vector({1, 2}), actions::GREATER, true},
        {"first difference decides", int_vector({1, 3}), actions::LESSER, true},
        {"signed elements", int_vector({-1, 9, 9}), actions::GREATER, true},
        {"a copy is not the same", int_vector({1, 2, 3}), actions::SAME, false},
        {"itself is the same", a, actions::SAME, true},
    };
    for (Case& c : cases) EXPECT_EQ(actions::compare(&a, &c.other, c.op), c.expected) << c.what;
    Cell f = float_vector({1.0});
    EXPECT_EQ(raised([&] { actions::compare(&a, &f, actions::EQUAL); }), "script/not-same-type");
    EXPECT_EQ(raised([&] { actions::compare(&a, &f, actions::LESSER); }), "script/not-same-type");
    EXPECT_FALSE(actions::compare(&a, &f, actions::SAME)) << "identity needs no common element type";
    Cell one = integer(1);
    EXPECT_EQ(vector::compare(&a, &one, actions::EQUAL), -2);
    // NaN equals nothing, not even at the same place in a copy
    double nan = std::numeric_limits<double>::quiet_NaN();
    Cell n1 = float_vector({nan, 5.0}), n2 = float_vector({1.0, 6.0}), n3 = float_vector({nan, 5.0});
    EXPECT_FALSE(actions::compare(&n1, &n2, actions::EQUAL));
    EXPECT_FALSE(actions::compare(&n1, &n3, actions::EQUAL));
    EXPECT_TRUE(actions::compare(&n1, &n3, actions::NOT_EQUAL));
}

TEST(Vector, InsertAndAppend) {
    struct Case {
        const char* what;
        std::vector<int32_t> start;
        int32_t head;
        Cell value;
        int32_t part;
        int32_t dup;
        bool append;
        const char* after;
        int32_t head_after;
    } cases[] = {
        {"append one", {1, 2}, 0, integer(3), -1, 1, true, "1 2 3", 0},
        {"append a block", {1}, 0, ints({2, 3}), -1, 1, true, "1 2 3", 0},
        {"append part of a block", {1}, 0, ints({2, 3, 4}), 2, 1, true, "1 2 3", 0},
        {"append dup", {1}, 0, ints({2, 3}), -1, 3, true, "1 2 3 2 3 2 3", 0},
        {"append an empty block", {1}, 0, read(""), -1, 1, true, "1", 0},
        {"insert at the head", {1, 2}, 0, integer(9), -1, 1, false, "9 1 2", 1},
        {"insert inside", {1, 2}, 1, ints({8, 9}), -1, 1, false, "1 8 9 2", 3},
        {"insert dup", {1}, 0, integer(0), -1, 2, false, "0 0 1", 2},
        {"insert a char", {1}, 1, chr('A'), -1, 1, false, "1 65", 2},
        {"insert dup 0", {1}, 0, integer(5), -1, 0, false, "1", 0},
        {"a head past the tail", {1}, 5, integer(2), -1, 1, false, "1 2", 2},
    };
    for (Case& c : cases) {
        Cell v = int_vector(c.start);
        v.data1 = uint32_t(c.head);
        Cell* r = vector::insert(&v, &c.value, c.part, false, c.dup, c.append);
        EXPECT_EQ(r, &v);
        EXPECT_EQ(int32_t(v.data1), c.head_after) << c.what;
        v.data1 = 0;
        EXPECT_EQ(elements(v), c.after) << c.what;
    }
    Cell v = int_vector({1, 2});
    Cell bad = block_of({integer(3), text("x")});
    EXPECT_EQ(raised([&] { vector::insert(&v, &bad, -1, false, 1, true); }), "script/invalid-type");
    EXPECT_EQ(elements(v), "1 2") << "nothing stored when a value does not fit";
    Cell f = float_vector({1.0});
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { vector::insert(&f, &one, -1, false, 1, true); }), "script/invalid-type");
    Cell many = ints({1, 2, 3, 4});
    EXPECT_EQ(raised([&] { vector::insert(&v, &many, -1, false, 0x40000000, true); }), "internal/no-memory");
    // the slots
    EXPECT_EQ(datatype::entry(TYPE_VECTOR, A_APPEND), reinterpret_cast<ActionFn>(&vector::insert));
    EXPECT_EQ(datatype::entry(TYPE_VECTOR, A_INSERT), reinterpret_cast<ActionFn>(&vector::insert));
}

TEST(Vector, Change) {
    struct Case {
        const char* what;
        Cell vec;
        int32_t head;
        Cell value;
        int32_t part;
        int32_t dup;
        const char* after;
        int32_t head_after;
    } cases[] = {
        {"one value", int_vector({1, 2, 3}), 0, integer(9), -1, 1, "9 2 3", 1},
        {"a block over as many", int_vector({1, 2, 3}), 1, ints({8, 9}), -1, 1, "1 8 9", 3},
        {"a block longer than the rest", int_vector({1, 2}), 1, ints({7, 8, 9}), -1, 1, "1 7 8 9", 4},
        {"part shorter than the values", int_vector({1, 2, 3}), 0, ints({7, 8}), 1, 1, "7 8 2 3", 2},
        {"part longer than the values", int_vector({1, 2, 3}), 0, integer(7), 2, 1, "7 3", 1},
        {"part 0 inserts", int_vector({1, 2}), 1, integer(5), 0, 1, "1 5 2", 2},
        {"dup", int_vector({1, 2, 3, 4}), 0, integer(0), -1, 3, "0 0 0 4", 3},
        {"an empty block with part removes", int_vector({1, 2, 3}), 0, read(""), 2, 1, "3", 0},
        {"another vector's elements", int_vector({1, 2, 3}), 0, int_vector({-5, 300}, 16), -1, 1, "-5 300 3", 2},
        {"narrowed into 8 bits", int_vector({1, 2}, 8), 0, int_vector({300}), -1, 1, "44 2", 1},
        {"a head past the tail", int_vector({1}), 4, integer(2), -1, 1, "1 2", 2},
    };
    for (Case& c : cases) {
        c.vec.data1 = uint32_t(c.head);
        vector::change(&c.vec, &c.value, c.part, false, c.dup);
        EXPECT_EQ(int32_t(c.vec.data1), c.head_after) << c.what;
        c.vec.data1 = 0;
        EXPECT_EQ(elements(c.vec), c.after) << c.what;
    }
    Cell v = int_vector({1, 2});
    Cell f = float_vector({1.5});
    EXPECT_EQ(raised([&] { vector::change(&v, &f, -1, false, 1); }), "script/invalid-type");
    EXPECT_EQ(elements(v), "1 2");
}

TEST(Vector, InheritedSeriesActions) {
    Cell v = int_vector({5, -3, 9}, 16);
    Cell s = v;
    EXPECT_EQ(int32_t(series::pick(&s, 2, nullptr)->data2), -3);
    Cell nine = integer(9);
    Cell found = v;
    actions::find(&found, &nine, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    EXPECT_EQ(series::head_of(&found), 2);
    Cell sorted = v;
    actions::get<A_SORT>(&sorted)(&sorted, false, nullptr, nullptr, nullptr, false, false, false);
    EXPECT_EQ(elements(v), "-3 5 9");
    Cell copy;
    actions::copy(&v, &copy, nullptr, false, nullptr);
    EXPECT_EQ(copy.data3, uint32_t(TYPE_INTEGER));
    EXPECT_EQ(unit_of(copy), 2);
    EXPECT_EQ(actions::get<A_LENGTH_Q>(&v)(&v), 3);
    for (int slot : {A_TO, A_NEGATE, A_POWER, A_ROUND, A_PUT, A_SWAP, A_TRIM, A_ABSOLUTE, A_COMPLEMENT})
        EXPECT_EQ(datatype::entry(TYPE_VECTOR, slot), nullptr) << slot;
    for (int slot : {A_PICK, A_POKE, A_FIND, A_SELECT, A_SORT, A_TAKE, A_REVERSE, A_CLEAR, A_COPY, A_EVAL_PATH})
        EXPECT_EQ(datatype::entry(TYPE_VECTOR, slot), datatype::entry(TYPE_STRING, slot)) << slot;
    // block! of a vector is its elements
    Cell blk;
    Cell spec = int_vector({1, 2});
    block::make(&blk, &spec, TYPE_BLOCK);
    EXPECT_EQ(cells(blk), "1 2");
}

TEST(Vector, EntryPoints) {
    Cell v;
    vector::make_at(&v, 4, TYPE_FLOAT, 4);
    EXPECT_EQ(series::ks_full_length(&v), 0);
    EXPECT_GE(memory::buffer_of(v.data2)->size, 16u);
    Cell half = real(0.5);
    vector::append_value(&v, &half);
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { vector::append_value(&v, &one); }), "script/invalid-arg");
    Cell more = floats({1.0, 2.0});
    vector::append_block(&v, &more);
    EXPECT_EQ(elements(v), "0.5 1.0 2.0");
    Cell mixed = block_of({real(3.0), integer(4)});
    EXPECT_EQ(raised([&] { vector::append_block(&v, &mixed); }), "script/invalid-arg");

    Cell i = int_vector({1, 2});
    vector::poke_value(&i, 4, &one);
    EXPECT_EQ(elements(i), "1 2 0 0 1") << "the elements between are zeros";
    Cell seven = integer(7);
    vector::insert_value(&i, 1, &seven);
    vector::insert_value(&i, 99, &seven);
    EXPECT_EQ(elements(i), "1 7 2 0 0 1 7");
    i.data1 = 5;
    Cell blk;
    vector::to_block(&i, &blk);
    EXPECT_EQ(cells(blk), "1 7");
    EXPECT_TRUE(block::ks_abs_at(&blk, 0)->is(TYPE_INTEGER));
    Cell* pushed = vector::push(&i);
    EXPECT_EQ(pushed->data2, i.data2);
    stack::pop(1);
    EXPECT_EQ(raised([&] { vector::make_at(&v, 0x7FFFFFFF, TYPE_FLOAT, 8); }), "internal/no-memory");
}
