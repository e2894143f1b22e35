#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "foundation/support.hpp"
#include "number_fixtures.hpp"

using namespace kro;
using namespace kro::testing_numbers;
using testing_blocks::block_of;
using testing_blocks::raised;
using testing_blocks::text;

namespace {

Cell dt(Type t) { return datatype_cell(t); }

// make typeset! spec: the result, or the error as "error category/id".
Cell made(Cell spec) {
    Cell proto = dt(TYPE_TYPESET);
    return *datatype::action<A_MAKE>(TYPE_TYPESET)(&proto, &spec, TYPE_TYPESET);
}
Cell of(std::vector<Type> types) {
    std::vector<Cell> cells;
    for (Type t : types) cells.push_back(dt(t));
    return made(block_of(cells));
}

// The payload as the 12 bytes it is in memory.
std::vector<uint8_t> bytes_of(const Cell& ts) {
    std::vector<uint8_t> out(12);
    std::memcpy(out.data(), &ts.data1, 4);
    std::memcpy(out.data() + 4, &ts.data2, 4);
    std::memcpy(out.data() + 8, &ts.data3, 4);
    return out;
}

std::string mold_of(Cell ts, bool only = false, int32_t part = -1, int32_t* budget = nullptr) {
    return testing_blocks::mold_text(ts, only, false, part, budget);
}

// A global word holding a value.
Cell word_holding(const char* name, Cell value) {
    Cell w = word::load(name);
    word::set(&w, &value);
    return w;
}

}  // namespace

TEST(Typeset, MakeFromABlockOfDatatypes) {
    Cell ts = of({TYPE_INTEGER, TYPE_FLOAT});
    ASSERT_TRUE(ts.is(TYPE_TYPESET));
    // ids 11 and 12: byte 1, bits 0x10 and 0x08
    EXPECT_EQ(bytes_of(ts), (std::vector<uint8_t>{0x00, 0x18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // the layout the argument checks read
    EXPECT_TRUE(args::in_typeset(&ts, TYPE_INTEGER));
    EXPECT_TRUE(args::in_typeset(&ts, TYPE_FLOAT));
    EXPECT_FALSE(args::in_typeset(&ts, TYPE_CHAR));
    EXPECT_EQ(typeset::count(&ts), 2);

    Cell any = of({TYPE_DATATYPE, TYPE_TYPESET, TYPE_EVENT});
    EXPECT_EQ(bytes_of(any), (std::vector<uint8_t>{0x40, 0, 0, 0, 0x40, 0, 0x02, 0, 0, 0, 0, 0}));

    // words stand for their values; typesets add their members; make of a typeset is itself
    Cell numbers = word_holding("typeset-test-numbers", ts);
    Cell logic_type = word_holding("typeset-test-logic", dt(TYPE_LOGIC));
    Cell wider = made(block_of({numbers, logic_type, dt(TYPE_CHAR)}));
    EXPECT_EQ(mold_of(wider), "make typeset! [logic! char! integer! float!]");
    EXPECT_EQ(bytes_of(made(wider)), bytes_of(wider));

    struct Bad {
        const char* what;
        Cell spec;
        const char* error;
    } bad[] = {
        {"an integer in the block", block_of({dt(TYPE_INTEGER), int_cell(1)}), "script/invalid-arg"},
        {"a word holding an integer", block_of({word_holding("typeset-test-one", int_cell(1))}),
         "script/invalid-arg"},
        {"a word without value", block_of({word::load("typeset-test-unset")}), "script/no-value"},
        {"an integer spec", int_cell(1), "script/bad-to-arg"},
        {"a datatype spec", dt(TYPE_INTEGER), "script/bad-to-arg"},
    };
    for (const Bad& b : bad) EXPECT_EQ(raised([&] { made(b.spec); }), b.error) << b.what;
}

TEST(Typeset, FunctionSpecTypesAndTheFixedKinds) {
    Cell blk = block_of({});
    Cell holder = word_holding("typeset-test-holder", word::load("typeset-test-other"));
    Cell spec = block_of({dt(TYPE_INTEGER), holder, block_of({dt(TYPE_FLOAT)}), of({TYPE_NONE, TYPE_WORD})});
    typeset::make_in(&blk, &spec);
    // a word naming a word: object!; the nested block is skipped
    EXPECT_EQ(bytes_of(*block::at(&blk, 0)), bytes_of(of({TYPE_NONE, TYPE_INTEGER, TYPE_WORD, TYPE_OBJECT})));

    Cell refused = block_of({text("x")});
    EXPECT_EQ(raised([&] { typeset::make_in(&blk, &refused); }), "script/invalid-type-spec");
    EXPECT_EQ(block::length(&blk), 1) << "nothing appended for a refused spec";

    typeset::make_any(&blk);
    const Cell* any = block::at(&blk, 1);
    for (uint32_t t = 1; t <= uint32_t(datatype::highest_id()); t++) EXPECT_EQ(typeset::has(any, t), t != TYPE_UNSET) << t;

    typeset::make_at(&blk, 0x1800, 0, 0);
    EXPECT_EQ(mold_of(*block::at(&blk, 2)), "make typeset! [integer! float!]");
}

TEST(Typeset, SetOperations) {
    Cell numbers = of({TYPE_INTEGER, TYPE_FLOAT});
    Cell others = of({TYPE_FLOAT, TYPE_CHAR});
    struct Case {
        const char* what;
        int32_t op;
        Cell right;
        const char* expected;
    } cases[] = {
        {"union with a datatype", 9, dt(TYPE_NONE), "make typeset! [none! integer! float!]"},
        {"or~", 5, others, "make typeset! [char! integer! float!]"},
        {"and~", 6, others, "make typeset! [float!]"},
        {"intersect", 10, others, "make typeset! [float!]"},
        {"xor~", 7, others, "make typeset! [char! integer!]"},
        {"difference", 12, others, "make typeset! [char! integer!]"},
        {"exclude", 11, others, "make typeset! [integer!]"},
        {"exclude itself", 11, numbers, "make typeset! []"},
        {"exclude a datatype", 11, dt(TYPE_FLOAT), "make typeset! [integer!]"},
        {"unique", 8, int_cell(1), "make typeset! [integer! float!]"},
    };
    for (const Case& c : cases) {
        Cell result = testing_blocks::call_on_stack([op = c.op] { typeset::do_bitwise(op); }, {numbers, c.right});
        EXPECT_EQ(mold_of(result), c.expected) << c.what;
    }
    // the action slots pass their own op codes
    Cell via_slot = call_slot(A_XOR_T, {numbers, others});
    EXPECT_EQ(mold_of(via_slot), "make typeset! [char! integer!]");
    EXPECT_EQ(raised([&] { call_slot(A_OR_T, {numbers, int_cell(1)}); }), "script/invalid-arg");
}

TEST(TypesetDeathTest, UnknownSetOperationIsFatal) {
    Cell numbers = of({TYPE_INTEGER});
    auto unknown = [&] { testing_blocks::call_on_stack([] { typeset::do_bitwise(13); }, {numbers, numbers}); };
    EXPECT_EXIT(unknown(), ::testing::ExitedWithCode(101), "");
}

TEST(Typeset, ComplementAndFind) {
    auto find = [](Cell ts, Cell value) {
        return *actions::find(&ts, &value, nullptr, false, false, false, false, nullptr, nullptr, false, false,
                              false, false);
    };
    Cell numbers = of({TYPE_INTEGER, TYPE_FLOAT});
    EXPECT_EQ(describe(find(numbers, dt(TYPE_FLOAT))), "logic true");
    EXPECT_EQ(describe(find(numbers, dt(TYPE_CHAR))), "logic false");
    EXPECT_EQ(raised([&] { find(numbers, int_cell(11)); }), "script/invalid-arg");

    Cell all = typeset::make_empty();
    actions::get<A_COMPLEMENT>(&all)(&all);
    // every one of the 96 bits, those of no type included
    EXPECT_EQ(bytes_of(all), std::vector<uint8_t>(12, 0xFF));
    int32_t registered = 0;
    for (int32_t t = 1; t <= datatype::highest_id(); t++) {
        if (!datatype::registered(t)) continue;
        registered++;
        EXPECT_EQ(describe(find(all, dt(Type(t)))), "logic true") << t;
    }
    // ids past the highest registered one are no members
    EXPECT_EQ(typeset::count(&all), registered);
    Cell listed;
    typeset::to_block(&all, &listed);
    EXPECT_EQ(block::length(&listed), registered);
    EXPECT_EQ(block::at(&listed, 0)->data1, uint32_t(TYPE_DATATYPE));
}

TEST(Typeset, Compare) {
    Cell a = of({TYPE_INTEGER, TYPE_FLOAT});
    Cell same_other_order = of({TYPE_FLOAT, TYPE_INTEGER});
    Cell bigger = of({TYPE_INTEGER, TYPE_FLOAT, TYPE_CHAR});
    auto cmp = [](Cell x, Cell y, int op) { return datatype::action<A_COMPARE>(TYPE_TYPESET)(&x, &y, op); };
    for (int op : {0, 2, 9, 12}) {
        EXPECT_EQ(cmp(a, same_other_order, op), 0) << op;
        EXPECT_EQ(cmp(a, bigger, op), 1) << op;
    }
    EXPECT_EQ(cmp(a, bigger, 1), 1);
    EXPECT_EQ(cmp(a, bigger, 7), -1);
    EXPECT_EQ(cmp(bigger, a, 8), 1);
    EXPECT_EQ(cmp(a, same_other_order, 7), 0);
    for (int op : {3, 4, 5, 6}) EXPECT_EQ(cmp(a, bigger, op), -2) << op;
    EXPECT_EQ(cmp(a, dt(TYPE_INTEGER), 0), -2);
    EXPECT_EQ(raised([&] { actions::compare(&a, &bigger, 3); }), "script/invalid-compare");
    EXPECT_TRUE(actions::compare(&a, &same_other_order, 0));
}

TEST(Typeset, FormAndMold) {
    Cell numbers = of({TYPE_INTEGER, TYPE_FLOAT});
    Cell empty = typeset::make_empty();
    int32_t budget = 0;
    EXPECT_EQ(mold_of(numbers, false, -1, &budget), "make typeset! [integer! float!]");
    EXPECT_EQ(budget, mold::NO_LIMIT - 31);
    EXPECT_EQ(testing_blocks::form_text(numbers), "make typeset! [integer! float!]");
    EXPECT_EQ(mold_of(empty, false, -1, &budget), "make typeset! []");
    EXPECT_EQ(budget, mold::NO_LIMIT - 15) << "the closing bracket of an empty set is not counted";
    EXPECT_EQ(mold_of(numbers, true, -1, &budget), "integer! float!");
    EXPECT_EQ(budget, mold::NO_LIMIT - 15);

    // /only of the empty set writes nothing and removes nothing
    Cell buf = text("x");
    actions::mold(&empty, &buf, true, false, false, nullptr, 100, 0);
    EXPECT_EQ(testing_blocks::utf8(buf), "x");

    // /part: the walk stops at the first name once the budget is spent
    Cell limit = int_cell(20);
    Cell out = text("");
    Cell bigger = of({TYPE_INTEGER, TYPE_FLOAT, TYPE_CHAR});
    int32_t left = actions::mold(&bigger, &out, false, false, false, &limit, 20, 0);
    EXPECT_EQ(testing_blocks::utf8(out), "make typeset! [char! ");
    EXPECT_EQ(left, 20 - 15 - 6);
}
