#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/context.hpp"
#include "datatypes/word.hpp"
#include "foundation/support.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

// A type id that no datatype registers: a value with no action at all.
constexpr Type NO_ACTIONS = Type(55);

// A typeset! holding the given type ids, laid out as the argument checks read it.
Cell typeset_of(std::initializer_list<uint32_t> types) {
    uint8_t bytes[12] = {};
    for (uint32_t t : types) bytes[t >> 3] |= uint8_t(0x80u >> (t & 7));
    Cell c{uint32_t(TYPE_TYPESET), 0, 0, 0};
    std::memcpy(&c.data1, bytes, 12);
    return c;
}

// The interpreter's names of the running call and its arguments, as a fixture.
struct CallNames {
    decltype(args::call_name) saved_name = args::call_name;
    decltype(args::argument_word) saved_arg = args::argument_word;
    CallNames() {
        args::call_name = [] { return w("the-call"); };
        args::argument_word = [](int32_t i) { return w(i == 0 ? "first-arg" : i == 1 ? "second-arg" : "other-arg"); };
    }
    ~CallNames() {
        args::call_name = saved_name;
        args::argument_word = saved_arg;
    }
};

std::string symbol_name(const Cell& c) { return std::string(symbol::name(int32_t(c.data2))); }

// Checks the arguments of the script/expect-arg just raised.
void expect_expect_arg(Type type, const char* argument) {
    const RaisedError& e = last_raised();
    ASSERT_EQ(e.nargs, 3);
    EXPECT_EQ(symbol_name(e.args[0]), "the-call");
    EXPECT_TRUE(e.args[1].is(TYPE_DATATYPE));
    EXPECT_EQ(e.args[1].data1, uint32_t(type));
    EXPECT_EQ(symbol_name(e.args[2]), argument);
}

}  // namespace

TEST(Support, TypesetMembershipFollowsTheBitmapLayout) {
    Cell ts = typeset_of({TYPE_BLOCK, TYPE_WORD, TYPE_EVENT});
    EXPECT_EQ(ts.data1 & 0xFFFF, 0x0104u) << "byte 0 bit 0x04 (id 5), byte 1 bit 0x01 (id 15)";
    for (uint32_t t = 0; t < 96; t++) {
        bool in = t == TYPE_BLOCK || t == TYPE_WORD || t == TYPE_EVENT;
        EXPECT_EQ(args::in_typeset(&ts, t), in) << t;
    }
    EXPECT_FALSE(args::in_typeset(&ts, 200)) << "ids past the bitmap are never members";
}

TEST(Support, ArgumentChecksRaiseExpectArgWithTheNames) {
    CallNames names;
    Cell ts = typeset_of({TYPE_BLOCK, TYPE_NONE});
    Cell blk = block_of({});
    Cell word = w("x");
    EXPECT_EQ(args::check_type(&ts, 0, &blk), &blk);
    EXPECT_EQ(raised([&] { args::check_type(&ts, 1, &word); }), "script/expect-arg");
    expect_expect_arg(TYPE_WORD, "second-arg");

    Cell used = logic::make(true), unused = logic::make(false);
    EXPECT_EQ(raised([&] { args::check_type_ref(&unused, &ts, 2, &word); }), "") << "refinement not used";
    EXPECT_EQ(raised([&] { args::check_type_ref(&used, &ts, 2, &word); }), "script/expect-arg");
    expect_expect_arg(TYPE_WORD, "other-arg");

    EXPECT_EQ(raised([&] { args::check_set(0, &unset::value); }), "script/expect-arg");
    expect_expect_arg(TYPE_UNSET, "first-arg");
    EXPECT_EQ(args::check_set(0, &word), &word);

    // positions count from the current call's first argument
    call_on_stack(
        [&] {
            EXPECT_EQ(raised([&] { args::check_type_opt(-1, &ts, 0); }), "") << "an absent refinement's argument";
            EXPECT_EQ(raised([&] { args::check_type_opt(0, &ts, 0); }), "");
            EXPECT_EQ(raised([&] { args::check_type_opt(1, &ts, 1); }), "script/expect-arg");
        },
        {blk, word});
}

TEST(Support, WordsAreSetAndReadWithTheUnsetChecks) {
    Cell word = word::load("support-checked");
    Cell one = w("one"), two = w("two");
    int32_t depth = stack::depth();
    stack::push(&one);
    word::set_checked(&word);
    EXPECT_EQ(word::value_cell(&word)->data2, one.data2);
    stack::push(&unset::value);
    EXPECT_EQ(raised([&] { word::set_checked(&word); }), "script/need-value");
    EXPECT_EQ(last_raised().args[0].data2, word.data2) << "the word is the argument";
    EXPECT_EQ(word::value_cell(&word)->data2, one.data2) << "the old value stays";

    // set_value drops the call's cells afterwards
    call_on_stack(
        [&] {
            stack::push(&two);
            word::set_value(&word);
            EXPECT_EQ(stack::top_ptr, stack::arguments);
        },
        {});
    EXPECT_EQ(word::get_checked(&word)->data2, two.data2);
    stack::top_ptr = stack::bottom + depth;

    Cell fresh = word::load("support-never-set");
    EXPECT_EQ(raised([&] { word::get_checked(&fresh); }), "script/no-value");
    EXPECT_EQ(last_raised().args[0].data2, fresh.data2);
}

TEST(Support, ContextSlotsAndObjectSlots) {
    Cell a = w("slot-a"), b = w("slot-b"), value = w("slot-value");
    uint32_t obj = context::create(2, false, false, 0, context::OBJECT);
    context::add(obj, &a);
    context::add(obj, &b);
    call_on_stack(
        [&] {
            stack::push(&value);
            context::set_checked(obj, 1);
            EXPECT_EQ(context::values(obj)[1].data2, value.data2);
            EXPECT_FALSE(context::word_at(obj, 1)->header & context::WORD_SLOT_SET) << "no assignment mark here";
            stack::push(&unset::value);
            EXPECT_EQ(raised([&] { context::set_checked(obj, 0); }), "script/need-value");
            EXPECT_EQ(last_raised().args[0].data2, a.data2) << "the word at that index";
            EXPECT_TRUE(context::values(obj)[0].is(TYPE_UNSET)) << "nothing stored";
            stack::push(&b);
            context::set_checked_reset(obj, 0);
            EXPECT_EQ(context::values(obj)[0].data2, b.data2);
            EXPECT_EQ(stack::top_ptr, stack::arguments);
        },
        {});

    call_on_stack(
        [&] {
            stack::push(&unset::value);
            object::set_slot(obj, 0);  // no unset check here
            EXPECT_TRUE(context::values(obj)[0].is(TYPE_UNSET));
            EXPECT_TRUE(context::word_at(obj, 0)->header & context::WORD_SLOT_SET);
            EXPECT_EQ(stack::top_ptr, stack::arguments);
        },
        {});

    uint32_t fn = context::create(1, false, false, 0, context::FUNCTION);
    context::add(fn, &a);
    call_on_stack(
        [&] {
            stack::push(&value);
            object::set_slot(fn, 0);
        },
        {});
    EXPECT_FALSE(context::word_at(fn, 0)->header & context::WORD_SLOT_SET) << "only objects mark assignments";
    EXPECT_EQ(context::value_at(fn, 0)->data2, value.data2);

    uint32_t frame = context::create(1, true, false, 0, context::FUNCTION);  // no call running: no values
    context::add(frame, &b);
    EXPECT_EQ(raised([&] { context::value_at(frame, 0); }), "script/not-defined");
    EXPECT_EQ(last_raised().args[0].data2, b.data2);
}

TEST(Support, SelectNextFindsTheBranchOfASwitch) {
    Cell a = w("a"), b = w("b"), c = w("c"), d = w("d"), x = w("x");
    Cell body_c = block_of({w("c-body")}), body_e = block_of({w("e-body")});
    Cell pairs = block_of({a, w("va"), b, w("vb"), c});
    Cell cases = block_of({a, b, body_c, d, body_e});
    struct Case {
        const char* name;
        Cell key, blk;
        int32_t mode;
        bool to_block;
        const char* expected;  // molded
    } table[] = {
        {"pairs: the value after the key", b, pairs, 0, false, "vb"},
        {"pairs: a key that is the last cell answers itself", c, pairs, 0, false, "c"},
        {"pairs: values are not keys", w("vb"), pairs, 0, false, "none"},
        {"a missing key", x, pairs, 0, false, "none"},
        {"another word type does not match", w("b", TYPE_SET_WORD), pairs, 0, false, "none"},
        {"to-block: the first block after the match", a, cases, 1, true, "[c-body]"},
        {"to-block from a later key", d, cases, 1, true, "[e-body]"},
        {"to-block with no block after", x, cases, 1, true, "none"},
        {"a block value selects none", block_of({a}), cases, 1, true, "none"},
        {"step 1 without to-block", b, cases, 1, false, "[c-body]"},
    };
    for (const auto& t : table) {
        SCOPED_TRACE(t.name);
        Cell* base = stack::top_ptr;
        Cell result = call_on_stack(
            [&] {
                block::select_next(t.mode, t.to_block);
                if (t.mode == 1) {
                    EXPECT_EQ(stack::top_ptr, base + 3) << "mode 1 pushes";
                    *stack::arguments = *stack::top();
                } else {
                    EXPECT_EQ(stack::top_ptr, base + 2) << "mode 0 stores";
                }
            },
            {t.key, t.blk});
        EXPECT_EQ(mold_text(result), t.expected);
    }
}

TEST(Support, SeriesCellsAndRanges) {
    Cell blk;
    block::make_at(&blk, 0);
    for (int i = 0; i < 40; i++) {
        Cell* c = series::add_cell(blk.data2);
        EXPECT_TRUE(c->is(TYPE_UNSET)) << "a new cell is unset";
        *c = w(i % 2 ? "odd" : "even");
    }
    EXPECT_EQ(block::length(&blk), 40);
    EXPECT_EQ(mold_text(*block::at(&blk, 39)), "odd");

    Cell s = text("abcdef");
    memory::buffer_of(s.data2)->flags |= 0x00020000u;
    uint32_t node = series::copy_range(&s, 2, 3);
    memory::Buffer* b = memory::buffer_of(node);
    EXPECT_EQ(b->unit(), 1);
    EXPECT_EQ(b->flags & 0x00020000u, 0u);
    Cell part{uint32_t(TYPE_STRING), 0, node, 0};
    EXPECT_EQ(utf8(part), "cde");
    Cell wide = text("a\xE2\x82\xAC" "bc");
    Cell copied{uint32_t(TYPE_STRING), 0, series::copy_range(&wide, 1, 2), 0};
    EXPECT_EQ(memory::buffer_of(copied.data2)->unit(), 2);
    EXPECT_EQ(utf8(copied), "\xE2\x82\xAC" "b");

    Cell cell = nl(w("x"));
    cell::clear_newline(&cell);
    EXPECT_EQ(cell.header, uint32_t(TYPE_WORD));
    cell::set_type(&cell, TYPE_SET_WORD);
    EXPECT_TRUE(cell.is(TYPE_SET_WORD));
}

TEST(Actions, AnEmptyEntryRaisesExpectArg) {
    CallNames names;
    Cell t{uint32_t(NO_ACTIONS), 0, 0, 0};
    ASSERT_FALSE(datatype::registered(NO_ACTIONS));
    EXPECT_EQ(raised([&] { actions::get_action_ptr(&t, A_MOLD); }), "script/expect-arg");
    expect_expect_arg(NO_ACTIONS, "first-arg");
    Cell blk = block_of({w("a")});
    EXPECT_EQ(raised([&] { actions::get_action_ptr(&blk, A_ADD); }), "script/expect-arg") << "block! has no add";
    EXPECT_EQ(actions::get<A_MOLD>(&blk), datatype::action<A_MOLD>(TYPE_BLOCK));
    Cell buf = text("");
    EXPECT_EQ(raised([&] { actions::form(&t, &buf, nullptr, 10); }), "script/expect-arg");
    EXPECT_EQ(raised([&] { actions::poke(&t, 1, &blk); }), "script/expect-arg");
}

TEST(Actions, CompareTurnsTheOrderIntoATruthValue) {
    Cell a = w("a"), b = w("b"), a2 = w("a");
    struct Case {
        int32_t op;
        bool a_b, a_a;  // compare(a, b, op), compare(a, a2, op)
    } cases[] = {
        {actions::EQUAL, false, true},          {actions::NOT_EQUAL, true, false},
        {actions::STRICT_EQUAL, false, true},   {actions::LESSER, true, false},
        {actions::LESSER_OR_EQUAL, true, true}, {actions::GREATER, false, false},
        {actions::GREATER_OR_EQUAL, false, true}, {actions::FIND, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.op);
        EXPECT_EQ(actions::compare(&a, &b, c.op), c.a_b);
        EXPECT_EQ(actions::compare(&a, &a2, c.op), c.a_a);
    }
    // values that do not compare: unequal, and no order
    Cell yes = logic::make(true);
    EXPECT_FALSE(actions::compare(&yes, &a, actions::EQUAL));
    EXPECT_TRUE(actions::compare(&yes, &a, actions::NOT_EQUAL));
    EXPECT_EQ(raised([&] { actions::compare(&yes, &a, actions::LESSER); }), "script/invalid-compare");
    EXPECT_EQ(last_raised().nargs, 2);
    Cell t{uint32_t(NO_ACTIONS), 0, 0, 0};
    EXPECT_FALSE(actions::compare(&t, &t, actions::EQUAL)) << "a type without a compare slot";
}

TEST(Actions, CompareValuesByKind) {
    Cell yes = logic::make(true), no = logic::make(false);
    EXPECT_EQ(actions::compare_values(&yes, &no, actions::LESSER), 1);
    EXPECT_EQ(actions::compare_values(&no, &yes, actions::LESSER), -1);
    Cell n3{uint32_t(TYPE_NATIVE), 3, 0, 0}, n7{uint32_t(TYPE_NATIVE), 7, 0, 0}, act3{uint32_t(TYPE_ACTION), 3, 0, 0};
    EXPECT_EQ(actions::compare_values(&n3, &n7, actions::EQUAL), -1);
    EXPECT_EQ(actions::compare_values(&n7, &n3, actions::EQUAL), 1);
    EXPECT_EQ(actions::compare_values(&n3, &n3, actions::EQUAL), 0);
    EXPECT_EQ(actions::compare_values(&n3, &act3, actions::EQUAL), -2);
    Cell a = w("a"), b = w("b");
    EXPECT_EQ(actions::compare_values(&a, &b, actions::LESSER), -1) << "other kinds go to their compare slot";
}

TEST(ActionsDeathTest, AnUnknownCompareOpIsRuntimeError101) {
    Cell a = w("a");
    EXPECT_EXIT(actions::compare(&a, &a, 13), ::testing::ExitedWithCode(101), "");
    EXPECT_EXIT(actions::compare(&a, &a, actions::SORT), ::testing::ExitedWithCode(101), "");
}

TEST(Support, BadMakeArg) {
    Cell type{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_NATIVE), 0, 0};
    Cell spec = w("spec");
    EXPECT_EQ(raised([&] { error::bad_make_arg(&type, &spec); }), "script/bad-make-arg");
    EXPECT_EQ(last_raised().nargs, 2);
}
