#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_reader.hpp"
#include "datatypes/block.hpp"
#include "datatypes/paren.hpp"
#include "datatypes/path.hpp"
#include "datatypes/series.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "interpreter/actions.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

Cell retyped(Cell c, Type t) {
    c.set_type(t);
    return c;
}

}  // namespace

TEST(PathAndParen, RegistrationRows) {
    EXPECT_STREQ(datatype::row(TYPE_PAREN).name, "paren!");
    EXPECT_STREQ(datatype::row(TYPE_PATH).name, "path!");
    EXPECT_STREQ(datatype::row(TYPE_LIT_PATH).name, "lit-path!");
    EXPECT_STREQ(datatype::row(TYPE_SET_PATH).name, "set-path!");
    EXPECT_STREQ(datatype::row(TYPE_GET_PATH).name, "get-path!");
    for (int slot = 1; slot <= ACTION_COUNT; slot++) {
        SCOPED_TRACE(slot);
        ActionFn b = datatype::entry(TYPE_BLOCK, slot);
        if (slot == A_MOLD) {
            EXPECT_EQ(datatype::entry(TYPE_PAREN, slot), reinterpret_cast<ActionFn>(&paren::mold));
        } else {
            EXPECT_EQ(datatype::entry(TYPE_PAREN, slot), b) << "paren! inherits the rest";
        }
        ActionFn p = datatype::entry(TYPE_PATH, slot);
        switch (slot) {
            case A_MAKE: EXPECT_EQ(p, reinterpret_cast<ActionFn>(&path::make)); break;
            case A_TO: EXPECT_EQ(p, reinterpret_cast<ActionFn>(&path::to)); break;
            case A_FORM: EXPECT_EQ(p, reinterpret_cast<ActionFn>(&path::form)); break;
            case A_MOLD: EXPECT_EQ(p, reinterpret_cast<ActionFn>(&path::mold)); break;
            case A_COPY: EXPECT_EQ(p, reinterpret_cast<ActionFn>(&path::copy)); break;
            case A_RANDOM:
            case A_SORT: EXPECT_EQ(p, nullptr); break;
            default: EXPECT_EQ(p, b) << "path! inherits the rest";
        }
        for (Type child : {TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}) {
            if (slot == A_MOLD) {
                EXPECT_NE(datatype::entry(child, slot), p);
            } else {
                EXPECT_EQ(datatype::entry(child, slot), p) << int(child) << " inherits from path!";
            }
        }
    }
    EXPECT_EQ(datatype::entry(TYPE_LIT_PATH, A_MOLD), reinterpret_cast<ActionFn>(&lit_path::mold));
    EXPECT_EQ(datatype::entry(TYPE_SET_PATH, A_MOLD), reinterpret_cast<ActionFn>(&set_path::mold));
    EXPECT_EQ(datatype::entry(TYPE_GET_PATH, A_MOLD), reinterpret_cast<ActionFn>(&get_path::mold));
}

TEST(PathAndParen, MoldAndForm) {
    ScratchNumbers numbers;
    Cell with_paren = block_of({w("a"), one("(b c)"), one("[x]"), integer(3)});
    with_paren.set_type(TYPE_PATH);
    Cell empty_set = block_of({});
    empty_set.set_type(TYPE_SET_PATH);
    Cell flagged = one("a/b");
    block::ks_abs_at(&flagged, 1)->header |= FLAG_NEW_LINE;
    struct Case {
        const char* name;
        Cell value;
        bool only, flat;
        const char* mold;
        const char* form;
    } cases[] = {
        {"path", one("a/b"), false, false, "a/b", "a/b"},
        {"set-path", one("a/b:"), false, false, "a/b:", "a/b"},
        {"get-path", one(":a/b"), false, false, ":a/b", "a/b"},
        {"lit-path", one("'a/b"), false, false, "'a/b", "a/b"},
        {"integer element", one("a/1/b"), false, false, "a/1/b", "a/1/b"},
        {"paren, block and integer elements", with_paren, false, false, "a/(b c)/[x]/3", "a/b c/x/3"},
        {"from the head", at_index(one("a/b/c"), 1), false, false, "b/c", "b/c"},
        {"one element", retyped(read("a"), TYPE_GET_PATH), false, false, ":a", "a"},
        {"empty set-path", empty_set, false, false, ":", ""},
        {"element flags write no breaks", flagged, false, false, "a/b", "a/b"},
        {"paths in a block", read("a/b c: 'd/e :f/g h/i:"), false, false, "[a/b c: 'd/e :f/g h/i:]",
         "a/b c d/e f/g h/i"},
        {"paren", one("(1 2)"), false, false, "(1 2)", "1 2"},
        {"paren only", one("(1 2)"), true, false, "1 2", "1 2"},
        {"nested parens", read("(a) [b (c)]"), false, false, "[(a) [b (c)]]", "a b c"},
        {"paren line breaks", one("(^a ^b)"), false, false, "(\n    a\n    b\n)", "a b"},
        {"paren flat", one("(^a ^b)"), false, true, "(a b)", "a b"},
        {"paren only with breaks", one("(^a ^b)"), true, false, "a\nb", "a b"},
        {"paths on their own lines", read("^a/b ^c (d ^e/f)"), false, false, "[\n    a/b\n    c (d\n    e/f)\n]",
         "a/b c d e/f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t budget = 0;
        std::string text = mold_text(c.value, c.only, c.flat, -1, &budget);
        EXPECT_EQ(text, c.mold);
        EXPECT_EQ(int64_t(budget), int64_t(mold::NO_LIMIT) - int64_t(text.size())) << "one per character";
        EXPECT_EQ(form_text(c.value), c.form);
    }
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(PathAndParen, PartBudgets) {
    struct Case {
        Cell value;
        int32_t part;
        bool form;
        const char* text;
        int32_t left;
    } cases[] = {
        // after each element the walk stops once the budget is below 1
        {one("aa/bb/cc"), 4, false, "aa/bb", -1},
        {one("aa/bb/cc"), 2, false, "aa", 0},
        {one("aa/bb/cc"), 3, false, "aa/bb", -2},
        {one("aa/bb/cc"), 100, false, "aa/bb/cc", 92},
        {one("aa/bb/cc:"), 2, false, "aa:", -1},
        {one(":aa/bb/cc"), 3, false, ":aa", 0},
        {one("'aa/bb/cc"), 4, false, "'aa/bb", -2},
        {one("aa/bb/cc:"), 4, true, "aa/bb", -1},
        {one("(a b c d)"), 5, false, "(a b c)", -2},
        {one("(a b c d)"), 1, false, "()", -1},
        {read("x/y z"), 4, false, "[x/y]", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << mold_text(c.value) << " part " << c.part << (c.form ? " form" : ""));
        int32_t left = 0;
        std::string text = c.form ? form_text(c.value, c.part, &left) : mold_text(c.value, false, false, c.part, &left);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(left, c.left);
    }
}

TEST(PathAndParen, ValuesInsideThemselvesMoldTheirMark) {
    Cell p = one("a/b");
    block::ks_append(&p, &p);
    EXPECT_EQ(mold_text(p), "a/b/...");
    EXPECT_EQ(form_text(p), "a/b/...");
    Cell lit = retyped(read("a"), TYPE_LIT_PATH);
    block::ks_append(&lit, &lit);
    EXPECT_EQ(mold_text(lit), "'a/'...");
    Cell par = one("(a)");
    block::ks_append(&par, &par);
    EXPECT_EQ(mold_text(par), "(a (...))");
    EXPECT_EQ(form_text(par), "a ...");
    // a path holding the block that holds it
    Cell b = read("x");
    Cell inner = block_of({w("y"), b});
    inner.set_type(TYPE_PATH);
    block::ks_append(&b, &inner);
    EXPECT_EQ(mold_text(b), "[x y/[...]]");
    EXPECT_EQ(form_text(b), "x y/...");
    EXPECT_EQ(mold_text(inner), "y/[x ...]");
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(PathAndParen, MakeAndTo) {
    ScratchNumbers numbers;
    Cell pct{uint32_t(TYPE_PERCENT), 0, 0, 0};
    pct.set_float(2.0);
    struct Case {
        const char* name;
        bool to;
        Cell spec;
        Type type;
        const char* text;
        int32_t length;
        uint32_t room;
    } cases[] = {
        {"make path! 0", false, integer(0), TYPE_PATH, "", 0, 1},
        {"make path! 3", false, integer(3), TYPE_PATH, "", 0, 3},
        {"make path! 2.9", false, real(2.9), TYPE_PATH, "", 0, 2},
        {"make path! percent", false, pct, TYPE_PATH, "", 0, 2},
        {"make path! block", false, at_index(read("a b c"), 1), TYPE_PATH, "b/c", 2, 2},
        {"make set-path! block", false, read("a b"), TYPE_SET_PATH, "a/b:", 2, 2},
        {"make path! from a paren", false, one("(x y)"), TYPE_PATH, "x/y", 2, 2},
        {"to path! word", true, w("x"), TYPE_PATH, "x", 1, 1},
        {"to set-path! block", true, read("a b"), TYPE_SET_PATH, "a/b:", 2, 2},
        {"to get-path! block", true, read("a b"), TYPE_GET_PATH, ":a/b", 2, 2},
        {"to lit-path! block", true, read("a b"), TYPE_LIT_PATH, "'a/b", 2, 2},
        {"to path! set-path", true, one("a/b:"), TYPE_PATH, "a/b", 2, 2},
        {"to path! integer", true, integer(4), TYPE_PATH, "4", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell proto = none::value, spec = c.spec;
        auto fn = c.to ? datatype::action<A_TO>(TYPE_PATH) : datatype::action<A_MAKE>(TYPE_PATH);
        EXPECT_EQ(fn(&proto, &spec, c.type), &proto);
        EXPECT_EQ(proto.header, uint32_t(c.type));
        EXPECT_EQ(proto.data1, 0u);
        EXPECT_EQ(mold_text(proto), c.text);
        EXPECT_EQ(block::length(&proto), c.length);
        EXPECT_GE(memory::buffer_of(proto.data2)->size / sizeof(Cell), c.room);
    }
    // an object!, typeset! or map! is held as the one element, not turned into its body
    for (Type t : {TYPE_TYPESET, TYPE_OBJECT, TYPE_MAP}) {
        SCOPED_TRACE(int(t));
        Cell proto, spec{uint32_t(t), 1, 2, 3};
        path::to(&proto, &spec, TYPE_PATH);
        ASSERT_EQ(block::length(&proto), 1);
        Cell* held = block::ks_abs_at(&proto, 0);
        EXPECT_EQ(held->type(), t);
        EXPECT_EQ(held->data2, 2u);
    }
    Cell proto, s = text("x"), word = w("x");
    EXPECT_EQ(raised([&] { path::make(&proto, &s, TYPE_PATH); }), "script/bad-make-arg");
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_PATH));
    EXPECT_EQ(raised([&] { path::make(&proto, &word, TYPE_PATH); }), "script/bad-make-arg");

    Cell made;
    path::make_at(&made, 0);
    EXPECT_TRUE(made.is(TYPE_PATH));
    EXPECT_EQ(block::length(&made), 0);
    EXPECT_GE(memory::buffer_of(made.data2)->size, sizeof(Cell));
}

TEST(PathAndParen, ActionsInheritedAndRefused) {
    ScratchNumbers numbers;
    // sort and random are refused on every path type, kept on paren!
    for (Type t : {TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}) {
        SCOPED_TRACE(int(t));
        Cell p = retyped(read("b a"), t);
        EXPECT_EQ(raised([&] { actions::get_action_ptr(&p, A_SORT); }), "script/expect-arg");
        EXPECT_EQ(raised([&] { actions::get_action_ptr(&p, A_RANDOM); }), "script/expect-arg");
        EXPECT_EQ(last_raised().args[1].data1, uint32_t(t)) << "the datatype named";
    }
    Cell par = one("(3 1 2)");
    actions::get<A_SORT>(&par)(&par, false, nullptr, nullptr, nullptr, false, false, false);
    EXPECT_EQ(mold_text(par), "(1 2 3)");

    // find, select, insert and copy work on paths as on blocks, keeping the type
    Cell p = one("a/b/c");
    Cell b = w("b");
    Cell found = p;
    actions::find(&found, &b, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    EXPECT_TRUE(found.is(TYPE_PATH));
    EXPECT_EQ(mold_text(found), "b/c");
    Cell sel = p;
    actions::get<A_SELECT>(&sel)(&sel, &b, nullptr, false, false, false, false, nullptr, nullptr, false, false);
    EXPECT_EQ(mold_text(sel), "c");
    Cell x = w("x");
    Cell ins = at_index(p, 1);
    actions::get<A_INSERT>(&ins)(&ins, &x, -1, false, 1, false);
    EXPECT_EQ(mold_text(p), "a/x/b/c");
    for (Type t : {TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH, TYPE_PAREN}) {
        SCOPED_TRACE(int(t));
        Cell src = retyped(read("a [b] c"), t);
        Cell r, part = integer(2);
        actions::copy(&src, &r, &part, true, nullptr);
        EXPECT_TRUE(r.is(t));
        EXPECT_NE(r.data2, src.data2);
        EXPECT_EQ(block::length(&r), 2);
        EXPECT_NE(block::ks_abs_at(&r, 1)->data2, block::ks_abs_at(&src, 1)->data2) << "deep";
    }

    // a path value walked as the parent of a path step
    Cell walked = one("x/1/y/2");
    Cell y = w("y"), two = integer(2);
    auto step = datatype::action<A_EVAL_PATH>(TYPE_PATH);
    EXPECT_EQ(mold_text(*step(&walked, &y, nullptr, nullptr, nullptr, nullptr, 2, false, false, true, false)), "2");
    EXPECT_EQ(mold_text(*step(&walked, &two, nullptr, nullptr, nullptr, nullptr, 2, false, false, true, false)), "1");
    Cell v = w("v");
    Cell setp = retyped(walked, TYPE_SET_PATH);
    datatype::action<A_EVAL_PATH>(TYPE_SET_PATH)(&setp, &y, &v, nullptr, nullptr, nullptr, 2, false, false, true,
                                                  false);
    EXPECT_EQ(mold_text(walked), "x/1/y/v");
}

TEST(PathAndParen, Comparison) {
    struct Case {
        const char* a;
        const char* b;
        int32_t op;
        int32_t expected;
    } cases[] = {
        {"a/b", "a/b", 0, 0},
        {"a/b", "a/c", 0, 1},
        {"a/b", "'a/b", 0, -2},  // other path types do not compare
        {"a/b", "'a/b", 10, 0},  // except path! with lit-path! under 10 and 11
        {"'a/b", "a/b", 11, 0},
        {"a/b", "a/b:", 10, -2},
        {":a/b", ":A/b", 0, 0},
        {":a/b", ":A/b", 2, 1},
        {"(a b)", "[a b]", 0, -2},
        {"(a b)", "(a b)", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b << " op " << c.op);
        Cell x = one(c.a), y = one(c.b);
        EXPECT_EQ(datatype::action<A_COMPARE>(x.type())(&x, &y, c.op), c.expected);
    }
}

TEST(PathAndParen, PushHelpers) {
    Cell b = read("a b");
    int32_t depth = stack::depth();
    struct Case {
        Cell* (*push)(const Cell*);
        Type type;
    } cases[] = {
        {&paren::push, TYPE_PAREN},         {&path::push, TYPE_PATH},         {&lit_path::push, TYPE_LIT_PATH},
        {&set_path::push, TYPE_SET_PATH}, {&get_path::push, TYPE_GET_PATH},
    };
    for (const auto& c : cases) {
        Cell* pushed = c.push(&b);
        EXPECT_EQ(pushed, stack::top());
        EXPECT_TRUE(pushed->is(c.type));
        EXPECT_EQ(pushed->data2, b.data2);
    }
    EXPECT_TRUE(b.is(TYPE_BLOCK)) << "the original is left as it was";
    stack::top_ptr = stack::bottom + depth;
}
