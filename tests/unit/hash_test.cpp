#include <gtest/gtest.h>

#include <string>

#include "block_reader.hpp"
#include "datatypes/block.hpp"
#include "datatypes/hash.hpp"
#include "datatypes/series.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "interpreter/actions.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

Cell hash_of(Cell spec) {
    Cell h;
    hash::make(&h, &spec, TYPE_HASH);
    return h;
}
Cell hash_of(const char* spec) { return hash_of(read(spec)); }

// The 1-based index find answers through the series' find slot, 0 for none.
int32_t found_at(Cell h, Cell value) {
    actions::find(&h, &value, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    return h.is(TYPE_NONE) ? 0 : series::head_of(&h) + 1;
}

// Every cell of the buffer is found through the table at its own position.
::testing::AssertionResult indexed(const Cell& h) {
    if (!h.is(TYPE_HASH) || !h.data3) return ::testing::AssertionFailure() << "no hash! with a table";
    if (hashtable::record(h.data3)->data != h.data2) return ::testing::AssertionFailure() << "table over another block";
    Cell whole = at_index(h, 0);
    for (int32_t i = 0; i < block::length(&whole); i++) {
        Cell* c = block::ks_abs_at(&whole, i);
        if (hashtable::find(h.data3, c, i) != c) return ::testing::AssertionFailure() << "cell " << i << " not found";
    }
    return ::testing::AssertionSuccess();
}

std::string whole(Cell h) { return all_cells(h); }

}  // namespace

TEST(Hash, TheRowOfHash) {
    struct Own {
        int slot;
        ActionFn fn;
    } own[] = {
        {A_MAKE, reinterpret_cast<ActionFn>(&hash::make)}, {A_TO, reinterpret_cast<ActionFn>(&hash::to)},
        {A_MOLD, reinterpret_cast<ActionFn>(&hash::mold)}, {A_COPY, reinterpret_cast<ActionFn>(&hash::copy)},
        {A_SORT, reinterpret_cast<ActionFn>(&hash::sort)}, {A_TRIM, reinterpret_cast<ActionFn>(&hash::trim)},
    };
    for (const auto& o : own) EXPECT_EQ(datatype::entry(TYPE_HASH, o.slot), o.fn) << o.slot;
    for (int slot : {A_REFLECT, A_FORM, A_EVAL_PATH, A_COMPARE, A_APPEND, A_AT, A_CHANGE, A_CLEAR, A_FIND, A_INSERT,
                     A_PICK, A_POKE, A_PUT, A_REMOVE, A_SELECT, A_SWAP, A_TAKE, A_MODIFY})
        EXPECT_EQ(datatype::entry(TYPE_HASH, slot), datatype::entry(TYPE_BLOCK, slot)) << slot;
    for (int slot : {A_RANDOM, A_ADD, A_XOR_T, A_CREATE, A_WRITE}) EXPECT_EQ(datatype::entry(TYPE_HASH, slot), nullptr);
    EXPECT_STREQ(datatype::row(TYPE_HASH).name, "hash!");
}

TEST(Hash, MakeAndTo) {
    Cell empty = hash_of(integer(0));
    EXPECT_TRUE(indexed(empty));
    EXPECT_EQ(block::length(&empty), 0);
    EXPECT_GE(memory::buffer_of(empty.data2)->size / sizeof(Cell), 1u);
    Cell sized = hash_of(real(5.9));
    EXPECT_GE(memory::buffer_of(sized.data2)->size / sizeof(Cell), 5u);

    // a block spec is copied from its head, not shared
    Cell spec = at_index(read("skip a b c"), 1);
    Cell h = hash_of(spec);
    EXPECT_TRUE(indexed(h));
    EXPECT_EQ(whole(h), "a b c");
    *block::ks_abs_at(&spec, 1) = integer(1);
    EXPECT_EQ(whole(h), "a b c");
    EXPECT_EQ(found_at(h, w("c")), 3);

    // a hash spec gives a copy with a table of its own
    Cell again = hash_of(h);
    EXPECT_TRUE(indexed(again));
    EXPECT_NE(again.data2, h.data2);
    EXPECT_NE(again.data3, h.data3);

    // anything else goes through to: a word is one cell, a paren its cells
    Cell one = hash_of(w("x"));
    EXPECT_TRUE(indexed(one));
    EXPECT_EQ(whole(one), "x");
    Cell proto, holder = read("(p q)");
    Cell paren = *block::ks_abs_at(&holder, 0);
    hash::to(&proto, &paren, TYPE_HASH);
    EXPECT_TRUE(indexed(proto));
    EXPECT_EQ(whole(proto), "p q");
    Cell from_hash;
    hash::to(&from_hash, &h, TYPE_HASH);
    EXPECT_TRUE(indexed(from_hash));
    EXPECT_NE(from_hash.data2, h.data2);
}

TEST(Hash, MoldAndForm) {
    Cell h = hash_of("1 2 3");
    int32_t budget = 0;
    EXPECT_EQ(mold_text(h, false, false, -1, &budget), "make hash! [1 2 3]");
    EXPECT_EQ(budget, mold::NO_LIMIT - 18);
    EXPECT_EQ(mold_text(h, true), "1 2 3");
    EXPECT_EQ(form_text(h), "1 2 3");
    EXPECT_EQ(mold_text(hash_of("")), "make hash! []");
    Cell nested = read("x");
    *block::ks_abs_at(&nested, 0) = h;
    EXPECT_EQ(mold_text(nested), "[make hash! [1 2 3]]");
}

TEST(Hash, CopyKeepsOrBuildsATable) {
    Cell h = hash_of("a b c d");
    Cell all;
    hash::copy(&h, &all, nullptr, false, nullptr);
    EXPECT_TRUE(indexed(all));
    EXPECT_NE(all.data3, h.data3) << "a clone of the table, not the table";
    Cell e = w("e");
    block::insert(&all, &e, -1, false, 1, true);
    EXPECT_EQ(found_at(all, w("e")), 5);
    EXPECT_EQ(found_at(h, w("e")), 0) << "the source's table did not change";
    EXPECT_TRUE(indexed(h));

    // from the second cell: a table built over the copied cells
    Cell rest, from2 = at_index(h, 2);
    hash::copy(&from2, &rest, nullptr, false, nullptr);
    EXPECT_TRUE(indexed(rest));
    EXPECT_EQ(whole(rest), "c d");
    EXPECT_EQ(found_at(rest, w("d")), 2);
    EXPECT_EQ(found_at(rest, w("a")), 0);

    Cell part = integer(2), cut;
    hash::copy(&h, &cut, &part, false, nullptr);
    EXPECT_TRUE(indexed(cut));
    EXPECT_EQ(whole(cut), "a b");

    Cell deep, with_block = hash_of("x [1 2]");
    hash::copy(&with_block, &deep, nullptr, true, nullptr);
    EXPECT_TRUE(indexed(deep)) << "a deep copy is a hash! too";
    EXPECT_NE(block::ks_abs_at(&deep, 1)->data2, block::ks_abs_at(&with_block, 1)->data2);
}

TEST(Hash, SortAndTrimKeepFindCurrent) {
    Cell h = hash_of("d #none b #none c a");
    hash::sort(&h, false, nullptr, nullptr, nullptr, false, false, false);
    EXPECT_TRUE(indexed(h));
    EXPECT_EQ(found_at(h, w("a")), 3);
    EXPECT_EQ(found_at(h, w("d")), 6);
    hash::trim(&h, false, false, false, false, false, nullptr);
    EXPECT_EQ(whole(h), "a b c d");
    EXPECT_TRUE(indexed(h));
    EXPECT_EQ(found_at(h, w("d")), 4);
    EXPECT_EQ(found_at(h, none::value), 0);
}
