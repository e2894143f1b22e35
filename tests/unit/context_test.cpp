#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/arena.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "interpreter/stack.hpp"

using namespace kro;

using testing_blocks::block_of;
using testing_blocks::integer;
using testing_blocks::raised;
using testing_blocks::w;

namespace {

int32_t values_length(uint32_t ctx) {
    return int32_t(memory::buffer_of(context::cell_of(ctx)->data2)->used_bytes() / sizeof(Cell));
}

}  // namespace

TEST(Context, CreateSetsKindFlagsAndEmptyValues) {
    struct Case {
        int32_t size;
        bool on_stack, built;
        context::Kind kind;
    } cases[] = {{0, false, false, context::OBJECT}, {10, true, false, context::FUNCTION}, {3, false, true, context::OBJECT}};
    for (const auto& c : cases) {
        uint32_t ctx = context::create(c.size, c.on_stack, c.built, 0, c.kind);
        Cell* cc = context::cell_of(ctx);
        EXPECT_TRUE(cc->is(TYPE_CONTEXT));
        EXPECT_EQ(context::kind_of(ctx), c.kind);
        EXPECT_EQ(context::on_stack(ctx), c.on_stack);
        EXPECT_EQ((cc->header & context::FLAG_BUILT) != 0, c.built);
        EXPECT_TRUE(context::owner(ctx)->is(TYPE_UNSET));
        EXPECT_EQ(context::word_count(ctx), 0);
        if (c.on_stack) {
            EXPECT_EQ(cc->data2, 0u);
            EXPECT_EQ(context::values(ctx), nullptr);
        } else {
            EXPECT_EQ(values_length(ctx), 0);
            EXPECT_GE(memory::buffer_of(cc->data2)->size / 16, uint32_t(c.size ? c.size : 1));
        }
    }
    EXPECT_EQ(context::kind_of(context::global), context::GLOBAL);
}

TEST(Context, SpecWordsInOrderWithOneSlotEach) {
    Cell doc;
    string::make_at(&doc, 4, 1);
    string::concatenate_ascii(&doc, "doc");
    Cell types = block_of({w("integer!")});
    Cell spec = block_of({doc, w("sp-a"), w("sp-b", TYPE_SET_WORD), w("sp-c", TYPE_REFINEMENT), types,
                          w("sp-d", TYPE_GET_WORD), w("sp-e", TYPE_LIT_WORD), w("SP-A")});
    uint32_t ctx = context::make_from_spec(&spec, false, false, context::OBJECT);
    const char* expected[] = {"sp-a", "sp-c", "sp-d", "sp-e"};
    ASSERT_EQ(context::word_count(ctx), 4) << "a repeated word is added once";
    for (int32_t i = 0; i < 4; i++) {
        Cell* w = context::word_at(ctx, i);
        EXPECT_EQ(symbol::name(int32_t(w->data2)), expected[i]);
        EXPECT_EQ(w->data1, ctx);
        EXPECT_EQ(int32_t(w->data3), i);
    }
    EXPECT_EQ(values_length(ctx), 5) << "but it still counts a value slot";
    uint32_t fn = context::make_from_spec(&spec, true, false, context::FUNCTION);
    EXPECT_EQ(context::values(fn), nullptr);
    EXPECT_EQ(context::word_count(fn), 4);
}

TEST(Context, LookupsIgnoreCaseOnlyWhenAsked) {
    uint32_t ctx = context::create(2, false, false, 0, context::OBJECT);
    Cell foo = w("LookFoo");
    int32_t slot = context::add(ctx, &foo);
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(context::find_symbol(ctx, symbol::make("lookfoo"), true), 0);
    EXPECT_EQ(context::find_symbol(ctx, symbol::make("lookfoo"), false), -1);
    EXPECT_EQ(context::find_symbol(ctx, symbol::make("LookFoo"), false), 0);
    Cell foo2 = w("LOOKFOO");
    EXPECT_EQ(context::add(ctx, &foo2), 0) << "add looks up without case";
    EXPECT_EQ(context::word_count(ctx), 1);
    Cell dst = integer(1);
    EXPECT_EQ(context::add_word(ctx, &foo, &dst), 0);
    Cell bar = w("LookBar");
    EXPECT_EQ(context::add_word(ctx, &bar, &dst), 1);
    EXPECT_TRUE(dst.is(TYPE_UNSET));
    EXPECT_EQ(values_length(ctx), 2);
}

TEST(Context, GrowsWellPastItsSize) {
    uint32_t ctx = context::create(1, false, false, 0, context::OBJECT);
    uint32_t buckets = hashtable::record(context::table_of(ctx))->buckets;
    for (int32_t i = 0; i < 300; i++) {
        Cell word = w(("grow-word-" + std::to_string(i)).c_str());
        EXPECT_EQ(context::add(ctx, &word), i);
        Cell v = integer(i * 3);
        word.data1 = ctx;
        word.data3 = uint32_t(i);
        context::set_in(&word, &v, ctx, false);
    }
    EXPECT_GT(hashtable::record(context::table_of(ctx))->buckets, buckets);
    EXPECT_EQ(values_length(ctx), 300);
    for (int32_t i = 0; i < 300; i++) {
        int32_t sym = symbol::make(("grow-word-" + std::to_string(i)).c_str());
        int32_t slot = context::find_symbol(ctx, sym, true);
        ASSERT_EQ(slot, i);
        EXPECT_EQ(context::values(ctx)[slot].data2, uint32_t(i * 3));
    }
}

TEST(Context, CloneCopiesTheWordsIntoTheNewContext) {
    uint32_t src = context::create(4, false, true, 0, context::OBJECT);
    Cell a = w("cl-a"), b = w("cl-b");
    context::add(src, &a);
    context::add(src, &b);
    Cell obj{uint32_t(TYPE_OBJECT), src, 0, 0};
    uint32_t copy = context::clone(&obj, context::OBJECT);
    EXPECT_NE(copy, src);
    EXPECT_EQ(obj.data1, copy);
    EXPECT_TRUE(context::cell_of(copy)->header & context::FLAG_BUILT);
    ASSERT_EQ(context::word_count(copy), 2);
    for (int32_t i = 0; i < 2; i++) {
        EXPECT_EQ(context::word_at(copy, i)->data1, copy);
        EXPECT_EQ(context::word_at(copy, i)->data2, context::word_at(src, i)->data2);
    }
    Cell c = w("cl-c");
    context::add(copy, &c);
    EXPECT_EQ(context::word_count(copy), 3);
    EXPECT_EQ(context::word_count(src), 2);
    EXPECT_EQ(context::find_symbol(src, int32_t(c.data2), true), -1);
    EXPECT_EQ(context::word_at(src, 0)->data1, src);
}

TEST(Context, CollectSetWords) {
    uint32_t ctx = context::create(4, false, false, 0, context::OBJECT);
    Cell body = block_of(
        {w("cs-a", TYPE_SET_WORD), integer(1), w("cs-b", TYPE_SET_WORD), w("cs-x"), w("CS-A", TYPE_SET_WORD)});
    EXPECT_TRUE(context::collect_set_words(ctx, &body));
    EXPECT_EQ(context::word_count(ctx), 2);
    EXPECT_FALSE(context::collect_set_words(ctx, &body));
    body.data1 = 99;  // past the tail: read as the tail
    EXPECT_FALSE(context::collect_set_words(ctx, &body));
    EXPECT_EQ(body.data1, 5u);
}

TEST(Context, BindReachesEveryNestedWordKind) {
    uint32_t ctx = context::create(4, false, false, 0, context::OBJECT);
    Cell x = w("bind-x"), y = w("bind-y");
    context::add(ctx, &x);
    context::add(ctx, &y);
    Cell paren = block_of({w("BIND-X")});
    paren.set_type(TYPE_PAREN);
    Cell path = block_of({w("bind-z"), w("bind-x")});
    path.set_type(TYPE_PATH);
    Cell inner = block_of({w("bind-y"), paren, path});
    Cell outer = block_of({w("bind-x"), inner, w("bind-x", TYPE_LIT_WORD),
                           w("bind-x", TYPE_GET_WORD), w("bind-x", TYPE_SET_WORD),
                           w("bind-x", TYPE_REFINEMENT), w("bind-x", TYPE_ISSUE)});
    copy_cell(&outer, block::add_cell(&inner));  // the outer block inside itself
    context::bind(&outer, ctx, false);

    auto expect_bound = [&](Cell* w, int32_t slot) {
        EXPECT_EQ(w->data1, ctx) << symbol::name(int32_t(w->data2));
        EXPECT_EQ(int32_t(w->data3), slot);
    };
    for (int32_t i : {0, 2, 3, 4, 5}) expect_bound(block::at(&outer, i), 0);
    EXPECT_EQ(block::at(&outer, 6)->data1, 0u) << "issues are not bound";
    expect_bound(block::at(&inner, 0), 1);
    expect_bound(block::at(&paren, 0), 0);
    expect_bound(block::at(&path, 1), 0);
    EXPECT_EQ(block::at(&path, 0)->data1, 0u) << "a word the context lacks keeps its binding";
}

TEST(Context, BindSelfAndTooDeepNesting) {
    uint32_t ctx = context::create(2, false, false, 0, context::OBJECT);
    Cell obj{uint32_t(TYPE_OBJECT), ctx, 0, 0};
    copy_cell(&obj, context::owner(ctx));
    Cell body = block_of({w("self"), w("SELF", TYPE_SET_WORD)});
    context::bind(&body, ctx, true);
    Cell* self = block::at(&body, 0);
    EXPECT_EQ(self->data1, ctx);
    EXPECT_EQ(int32_t(self->data3), -1);
    EXPECT_EQ(word::value_cell(self), context::owner(ctx));
    EXPECT_EQ(block::at(&body, 1)->data1, 0u) << "only a word! stands for the owner";

    Cell deep = block_of({w("deep-w")});
    for (int i = 0; i < 1000; i++) deep = block_of({deep});
    EXPECT_EQ(raised([&] { context::bind(&deep, ctx, false); }), "internal/too-deep");
    Cell shallow = block_of({w("self")});
    EXPECT_EQ(raised([&] { context::bind(&shallow, ctx, true); }), "");
    EXPECT_EQ(block::at(&shallow, 0)->data1, ctx);
}

TEST(Context, ValueErrorsAndStackValues) {
    uint32_t fn = context::create(2, true, false, 0, context::FUNCTION);
    Cell a = w("sv-a"), b = w("sv-b");
    context::add(fn, &a);
    context::add(fn, &b);
    Cell bound{uint32_t(TYPE_WORD), fn, b.data2, 1};
    Cell v = integer(5);
    EXPECT_EQ(raised([&] { context::value_cell(&bound, fn); }), "script/not-in-context");
    EXPECT_EQ(raised([&] { context::set_in(&bound, &v, fn, false); }), "script/not-defined");

    // a running call: its values are data-stack cells
    Cell* frame = stack::push(&unset::value);
    stack::push(&unset::value);
    context::cell_of(fn)->data2 = arena::off(frame);
    context::set_in(&bound, &v, fn, false);
    EXPECT_EQ(frame[1].data2, 5u);
    EXPECT_EQ(context::value_cell(&bound, fn), frame + 1);
    context::cell_of(fn)->data2 = 0;
    stack::pop(2);

    Cell slotless{uint32_t(TYPE_WORD), context::global, b.data2, uint32_t(-1)};
    EXPECT_EQ(raised([&] { context::value_cell(&slotless, context::global); }), "script/no-value");
}

TEST(Context, SettingAnObjectFieldMarksItAndCallsTheHandler) {
    static std::vector<int32_t> seen;
    seen.clear();
    auto saved = context::on_change;
    context::on_change = [](const Cell*, const Cell* w, const Cell* old_v, const Cell* new_v) {
        seen = {int32_t(w->data2), old_v->is(TYPE_UNSET) ? -1 : int32_t(old_v->data2), int32_t(new_v->data2)};
    };
    uint32_t ctx = context::create(2, false, false, 0, context::OBJECT);
    Cell f = w("field-f");
    int32_t slot = context::add(ctx, &f);
    Cell w{uint32_t(TYPE_WORD), ctx, f.data2, uint32_t(slot)};
    Cell one = integer(1), two = integer(2);
    int32_t depth = stack::depth();

    context::set_in(&w, &one, ctx, true);
    EXPECT_TRUE(seen.empty()) << "an owner without handlers fires nothing";
    EXPECT_TRUE(context::word_at(ctx, slot)->header & context::WORD_SLOT_SET);

    *context::owner(ctx) = Cell{uint32_t(TYPE_OBJECT), ctx, 0, 0x1234};  // has an on-set record
    context::set_in(&w, &two, ctx, true);
    EXPECT_EQ(seen, (std::vector<int32_t>{int32_t(f.data2), 1, 2}));
    EXPECT_EQ(stack::depth(), depth);
    seen.clear();
    context::set_in(&w, &one, ctx, false);
    EXPECT_TRUE(seen.empty()) << "quiet stores fire nothing";
    EXPECT_EQ(context::values(ctx)[slot].data2, 1u);
    context::on_change = saved;

    // a word without slot takes its symbol's slot, added when absent
    Cell loose{uint32_t(TYPE_WORD), ctx, uint32_t(symbol::make("field-new")), uint32_t(-1)};
    context::set_in(&loose, &two, ctx, false);
    EXPECT_EQ(int32_t(loose.data3), 1);
    EXPECT_EQ(context::values(ctx)[1].data2, 2u);
}

TEST(Context, GlobalWordsOfEverySpellingShareOneValue) {
    Cell first = word::load("GlobMixed");
    Cell second = word::load("globmixed");
    EXPECT_EQ(first.data1, context::global);
    EXPECT_NE(first.data2, second.data2) << "each keeps its spelling";
    EXPECT_EQ(first.data3, second.data3);
    Cell v = integer(41);
    word::set(&second, &v);
    EXPECT_EQ(word::value_cell(&first)->data2, 41u);

    // an exact lookup adds the variant as its own word sharing the family's slot
    Cell third = context::add_global_word(symbol::make("GLOBMIXED"));
    EXPECT_EQ(third.data3, first.data3);
    EXPECT_EQ(word::value_cell(&third)->data2, 41u);
    EXPECT_NE(context::find_symbol(context::global, int32_t(third.data2), false), -1);

    context::set_global(symbol::make("glob-set"), &v);
    ASSERT_NE(context::get_global(symbol::make("GLOB-SET")), nullptr);
    EXPECT_EQ(context::get_global(symbol::make("GLOB-SET"))->data2, 41u);
    EXPECT_EQ(context::get_global(symbol::make("glob-never-made")), nullptr);
}
