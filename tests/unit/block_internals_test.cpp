#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/series.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/support.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

Cell words(const char* spaced, uint32_t room = 0) {
    std::vector<Cell> v;
    std::string s(spaced);
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find(' ', i);
        if (j == std::string::npos) j = s.size();
        v.push_back(w(s.substr(i, j - i).c_str()));
        i = j + 1;
    }
    return block_of(v, room);
}

Cell at_head(Cell b, int32_t h) {
    b.data1 = uint32_t(h);
    return b;
}

// All cells of the buffer, whatever the head (a hash! shown as a block).
std::string whole(Cell b) {
    b.set_type(TYPE_BLOCK);
    return cells(at_head(b, 0));
}

Cell hashed(const char* spaced) {
    Cell b = words(spaced);
    b.set_type(TYPE_HASH);
    b.data3 = hashtable::make(8, &b, hashtable::HASH);
    return b;
}

// Every cell of a hash! is found through its table at its own position.
void expect_indexed(const Cell& h) {
    Cell b = at_head(h, 0);
    for (int32_t i = 0; i < block::length(&b); i++) {
        Cell* c = block::ks_abs_at(&b, i);
        Cell* found = hashtable::find(h.data3, c, i);
        ASSERT_EQ(found, c) << "cell " << i << " " << mold_text(*c);
    }
}

}  // namespace

TEST(BlockInternals, Accessors) {
    Cell b = words("a b c d e");
    struct Case {
        int32_t head;
        int32_t length;
        bool block_tail, series_tail;
        int32_t after_next;
        bool next_answer;
    } cases[] = {
        {0, 5, false, false, 1, false},
        {4, 1, false, false, 5, true},
        {5, 0, true, true, 5, true},
        {7, -2, false, true, 7, false},  // a head past the tail
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head);
        Cell v = at_head(b, c.head);
        EXPECT_EQ(block::ks_length_q(&v), c.length);
        EXPECT_EQ(block::length(&v), std::max(c.length, 0));
        EXPECT_EQ(block::ks_tail_q(&v), c.block_tail);
        EXPECT_EQ(series::ks_tail_q(&v), c.series_tail);
        EXPECT_EQ(block::ks_next(&v), c.next_answer);
        EXPECT_EQ(int32_t(v.data1), c.after_next);
    }
    Cell past = at_head(b, 7);
    EXPECT_EQ(block::ks_head(&past), block::ks_tail(&b));
    EXPECT_EQ(past.data1, 5u) << "written back";
    Cell later = at_head(b, 3);
    EXPECT_EQ(mold_text(*block::ks_abs_at(&later, 1)), "b") << "absolute, whatever the head";
    EXPECT_EQ(mold_text(*block::at(&later, 1)), "e");

    Cell cut = at_head(words("a b c d e"), 2);
    block::ks_clear(&cut);
    EXPECT_EQ(whole(cut), "a b");
    Cell from = words("a b c d e");
    block::ks_clear_from(&from, 3);
    EXPECT_EQ(whole(from), "a b c");
    Cell last = at_head(words("a b c"), 3);
    block::ks_remove_last(&last);
    EXPECT_EQ(whole(last), "a b");
    EXPECT_EQ(last.data1, 2u);
    Cell empty = words("");
    block::ks_clear(&empty);
    block::ks_remove_last(&empty);
    EXPECT_EQ(block::length(&empty), 0);
}

TEST(BlockInternals, InsertAndAppendValues) {
    Cell x = w("x");
    struct Case {
        int32_t head;
        bool advance, at_start;
        const char* result;
        int32_t head_after;
    } cases[] = {
        {1, true, false, "a x b c", 2},
        {1, false, false, "a x b c", 1},
        {2, true, true, "x a b c", 1},
        {3, true, false, "a b c x", 4},
        {9, true, false, "a b c x", 4},  // a head past the tail inserts at the tail
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.head << c.advance << c.at_start);
        Cell b = at_head(words("a b c", 3), c.head);
        Cell* added = block::ks_insert_value(&b, &x, c.advance, c.at_start);
        EXPECT_EQ(mold_text(*added), "x");
        EXPECT_EQ(whole(b), c.result);
        EXPECT_EQ(int32_t(b.data1), c.head_after);
    }
    // the value lies in the very buffer that grows
    Cell full = words("a b c", 3);
    block::ks_insert_value(&full, block::ks_abs_at(&full, 2), false, false);
    EXPECT_EQ(whole(full), "c a b c");
    Cell grow = words("a b", 2);
    for (int i = 0; i < 20; i++) block::ks_append(&grow, block::ks_abs_at(&grow, i % 2));
    EXPECT_EQ(block::length(&grow), 22);
    std::string expected = "a b";
    for (int i = 0; i < 10; i++) expected += " a b";
    EXPECT_EQ(whole(grow), expected);
}

TEST(BlockInternals, InsertingABlockIntoItselfKeepsItsCells) {
    struct Case {
        const char* name;
        int32_t target_head, source_head;
        const char* result;
        int32_t head_after;
    } cases[] = {
        {"insert b next b", 0, 1, "b c a b c", 2},
        {"insert next b b", 1, 0, "a a b c b c", 4},
        {"insert b b", 0, 0, "a b c a b c", 3},
        {"insert tail b b", 3, 0, "a b c a b c", 6},
        {"insert at b 3 next b", 2, 1, "a b b c c", 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell b = words("a b c", 3);  // no spare room: the insertion grows the buffer too
        Cell target = at_head(b, c.target_head);
        Cell source = at_head(b, c.source_head);
        block::ks_insert_block(&target, &source);
        EXPECT_EQ(whole(b), c.result);
        EXPECT_EQ(int32_t(target.data1), c.head_after);
    }
    Cell b = words("a b", 2);
    block::ks_append_block(&b, &b);
    EXPECT_EQ(whole(b), "a b a b");
    Cell other = words("x y");
    Cell into = at_head(words("p q"), 1);
    block::ks_insert_block(&into, &other);
    EXPECT_EQ(whole(into), "p x y q");
    block::ks_append_block(&into, &other);
    EXPECT_EQ(whole(into), "p x y q x y");
}

TEST(BlockInternals, HashTablesFollowInsertionsAndAppends) {
    Cell h = hashed("a b c d");
    Cell x = w("x");
    Cell at1 = at_head(h, 1);
    block::ks_insert_value(&at1, &x, true, false);
    expect_indexed(h);
    Cell other = words("y z");
    block::ks_insert_block(&at1, &other);
    EXPECT_EQ(whole(h), "a x y z b c d");
    expect_indexed(h);
    Cell d = w("d");
    EXPECT_EQ(mold_text(*hashtable::find(h.data3, &d)), "d");
    Cell q = w("q");
    call_on_stack(&block::append_second, {h, q});
    expect_indexed(h);
    EXPECT_EQ(whole(h), "a x y z b c d q");
    EXPECT_FALSE(block::ks_remove_value(&h, &x, true)) << "removed after the head";
    EXPECT_EQ(whole(h), "a y z b c d q");
    expect_indexed(h);
    EXPECT_EQ(hashtable::find(h.data3, &x), nullptr);
}

TEST(BlockInternals, StackFormsOfInsertAndAppend) {
    Cell b = at_head(words("a c"), 1);
    Cell v = w("b");
    Cell* base = stack::top_ptr;
    stack::push(&b);
    call_on_stack(&block::insert_last, {v});
    EXPECT_EQ(whole(*base), "a b c");
    EXPECT_EQ(base->data1, 2u) << "advanced past the insertion";
    stack::top_ptr = base;

    Cell d = w("d");
    call_on_stack(&block::append_second, {b, d});
    EXPECT_EQ(whole(b), "a b c d");
    Cell e = w("e");
    call_on_stack(
        [&] {
            stack::push(&b);
            stack::push(&e);
            block::append_last();
        },
        {});
    EXPECT_EQ(whole(b), "a b c d e");
}

TEST(BlockInternals, SelectAndRemoveValue) {
    Cell kv = words("k1 v1 k2 v2");
    struct Case {
        const char* key;
        const char* selected;
    } cases[] = {{"k1", "v1"}, {"K2", "v2"}, {"v2", "none"}, {"x", "none"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        Cell key = w(c.key);
        EXPECT_EQ(mold_text(*block::ks_select(&kv, &key)), c.selected);
    }
    Cell from2 = at_head(kv, 2);
    Cell k1 = w("k1");
    EXPECT_EQ(mold_text(*block::ks_select(&from2, &k1)), "none") << "the walk starts at the head";
    Cell yes = logic::make(true);
    EXPECT_EQ(mold_text(*block::ks_select(&kv, &yes)), "none") << "values that do not compare never match";

    struct RemoveCase {
        int32_t head;
        bool from_start;
        const char* value;
        bool answer;
        const char* left;
    } removes[] = {
        {2, false, "b", false, "a b c"},  // the b after the head: removed, index 3 > head
        {2, true, "b", true, "a c b"},
        {2, false, "x", false, "a b c b"},
        {0, false, "a", true, "b c b"},
    };
    for (const auto& r : removes) {
        SCOPED_TRACE(testing::Message() << r.head << r.from_start << r.value);
        Cell b = at_head(words("a b c b"), r.head);
        Cell v = w(r.value);
        EXPECT_EQ(block::ks_remove_value(&b, &v, r.from_start), r.answer);
        EXPECT_EQ(whole(b), r.left);
    }
}

TEST(BlockInternals, SelectWordMatchesWordKindsOnly) {
    Cell b = block_of({w("x", TYPE_SET_WORD), w("v1"), w("y", TYPE_LIT_WORD), w("v2"), w("z", TYPE_GET_WORD),
                       w("v3"), w("r", TYPE_REFINEMENT), w("v4"), w("i", TYPE_ISSUE), w("v5"), w("z"), w("v6"),
                       w("End")});
    struct Case {
        const char* word;
        bool exact;
        const char* selected;
    } cases[] = {
        {"x", true, "v1"},  {"y", true, "v2"},   {"z", true, "v3"},    {"r", true, "none"},
        {"i", true, "none"}, {"X", false, "v1"}, {"X", true, "none"},  {"end", false, "none"},
        {"v6", true, "End"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.word << c.exact);
        Cell word = w(c.word);
        EXPECT_EQ(mold_text(*block::select_word(&b, &word, c.exact)), c.selected);
    }
}

TEST(BlockInternals, CloneShallowDeepAndAny) {
    Cell inner = nl(words("i"));
    Cell paren = words("p");
    paren.set_type(TYPE_PAREN);
    Cell path = words("q r");
    path.set_type(TYPE_PATH);
    Cell src = nl(at_head(block_of({w("skip"), inner, paren, path}), 1));
    struct Case {
        bool deep, any;
        bool inner_new, paren_new, path_new;
    } cases[] = {
        {false, false, false, false, false}, {true, false, true, false, false}, {true, true, true, true, true}};
    int32_t depth = stack::depth();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.deep << c.any);
        Cell* out = block::clone(&src, c.deep, c.any);
        EXPECT_EQ(stack::depth(), depth + 1) << "one pushed cell, nested ones dropped";
        EXPECT_EQ(out->header, uint32_t(TYPE_BLOCK)) << "the type id only";
        EXPECT_EQ(out->data1, 0u);
        EXPECT_NE(out->data2, src.data2);
        ASSERT_EQ(block::length(out), 3) << "from the head";
        Cell* cloned = block::ks_abs_at(out, 0);
        EXPECT_EQ(cells(cloned[0]), "i");
        EXPECT_TRUE(cloned[1].is(TYPE_PAREN));
        EXPECT_TRUE(cloned[2].is(TYPE_PATH));
        EXPECT_EQ(block::length(&cloned[2]), 2);
        EXPECT_EQ(cloned[0].data2 != inner.data2, c.inner_new);
        EXPECT_EQ(cloned[0].header, inner.header) << "the nested cell keeps its header and flags";
        EXPECT_EQ(cloned[1].data2 != paren.data2, c.paren_new);
        EXPECT_EQ(cloned[2].data2 != path.data2, c.path_new);
        stack::pop(1);
    }
    Cell loop = words("a");
    block::ks_append(&loop, &loop);
    EXPECT_EQ(raised([&] { block::clone(&loop, true, false); }), "internal/no-cycle");
    EXPECT_EQ(mold::cycle_depth(), 0);
    EXPECT_EQ(stack::depth(), depth);
}

TEST(BlockInternals, CopyTypedValuesReplacesTheChosenKinds) {
    Cell a = words("a"), b = words("b"), c = words("c");
    Cell blk = block_of({a, w("x"), b, c});
    Cell kind{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_BLOCK), 0, 0};
    block::copy_typed_values(&blk, 1, 4, 2, false, &kind);
    Cell* cell = block::ks_abs_at(&blk, 0);
    EXPECT_EQ(cell[0].data2, a.data2) << "before the range";
    EXPECT_EQ(cell[2].data2, b.data2) << "not a step position";
    EXPECT_NE(cell[3].data2, c.data2) << "a block at a step position is copied";
    EXPECT_EQ(cells(blk), "[a] x [b] [c]");
    Cell c_copy = cell[3];

    uint8_t bytes[12] = {};
    bytes[TYPE_WORD >> 3] |= uint8_t(0x80u >> (TYPE_WORD & 7));
    bytes[TYPE_BLOCK >> 3] |= uint8_t(0x80u >> (TYPE_BLOCK & 7));
    Cell ts{uint32_t(TYPE_TYPESET), 0, 0, 0};
    std::memcpy(&ts.data1, bytes, 12);
    Cell word_before = cell[1];
    block::copy_typed_values(&blk, 1, 3, 1, true, &ts);
    cell = block::ks_abs_at(&blk, 0);
    EXPECT_EQ(cell[1].data2, word_before.data2) << "a word is not a series: kept";
    EXPECT_NE(cell[2].data2, b.data2);
    EXPECT_EQ(cell[3].data2, c_copy.data2) << "past the range";
    EXPECT_EQ(cell[0].data2, a.data2);
}

TEST(BlockInternals, MakingBlocks) {
    Cell c;
    block::make_unset_at(&c, 3, false);
    memory::Buffer* b = memory::buffer_of(c.data2);
    EXPECT_EQ(block::length(&c), 0);
    ASSERT_GE(b->size / sizeof(Cell), 3u);
    for (uint32_t i = 0; i < b->size / sizeof(Cell); i++) EXPECT_TRUE(b->cells()[i].is(TYPE_UNSET)) << i;
    block::make_unset_at(&c, -4, true);
    b = memory::buffer_of(c.data2);
    EXPECT_TRUE(b->flags & memory::FLAG_FIXED);
    EXPECT_GE(b->size, sizeof(Cell));

    Cell parent = words("p");
    Cell* made = block::make_in(&parent, 2);
    EXPECT_TRUE(made->is(TYPE_BLOCK));
    EXPECT_EQ(block::length(&parent), 2) << "made in a new cell of the parent";
    EXPECT_TRUE(memory::buffer_of(made->data2)->flags & memory::FLAG_FIXED);
    Cell* typed = block::push_typed(&parent, 2);
    EXPECT_FALSE(memory::buffer_of(typed->data2)->flags & memory::FLAG_FIXED);
    EXPECT_EQ(block::length(&parent), 3);
    Cell* lone = block::make_in(nullptr, -1);
    EXPECT_NE(lone, nullptr);
    EXPECT_EQ(block::make_in(nullptr, 1), lone) << "the runtime's one fixed cell";

    int32_t depth = stack::depth();
    Cell* pushed = block::push_only(0);
    EXPECT_EQ(stack::top(), pushed);
    EXPECT_GE(memory::buffer_of(pushed->data2)->size, sizeof(Cell));
    Cell v = w("v");
    EXPECT_EQ(block::push(&v)->data2, v.data2);
    stack::top_ptr = stack::bottom + depth;
}

TEST(BlockInternals, MoldEachStartsAtTheGivenIndentation) {
    Cell b = block_of({nl(w("a")), w("b")});
    Cell buf = text("");
    int32_t left = block::mold_each(&b, &buf, false, false, false, nullptr, 100, 1);
    EXPECT_EQ(utf8(buf), "\n        a b\n    ");
    EXPECT_EQ(left, 100 - 17);
    EXPECT_EQ(mold::depth, 0) << "the depth counter is back";
}
