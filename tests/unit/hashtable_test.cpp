#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

using namespace kro;
namespace ht = kro::hashtable;

using testing_blocks::block_of;
using testing_blocks::integer;
using testing_blocks::w;

namespace {

Cell string_of(const char* text, int unit) {
    Cell s;
    string::make_at(&s, 16, unit);
    string::concatenate_ascii(&s, text);
    return s;
}

Cell* at(const Cell& blk, int32_t i) { return block::at(&blk, i); }
int32_t position(const Cell& blk, const Cell* c) { return c ? int32_t(c - at(blk, 0)) : -1; }

// Every cell of a hash! block is found at its own position when searching from there.
void expect_indexed(uint32_t t, const Cell& blk) {
    for (int32_t p = 0; p < block::length(&blk); p++) {
        SCOPED_TRACE(p);
        EXPECT_EQ(position(blk, ht::find(t, at(blk, p), p)), p);
    }
}

// Moves count cells of a block at from in front of the cell at old position target.
void move_cells(Cell& blk, int32_t target, int32_t from, int32_t count) {
    std::vector<Cell> all;
    for (int32_t i = 0; i < block::length(&blk); i++) all.push_back(*at(blk, i));
    std::vector<Cell> moved(all.begin() + from, all.begin() + from + count);
    std::vector<Cell> rest;
    int32_t insert_at = 0;
    for (int32_t i = 0; i < int32_t(all.size()); i++) {
        if (i == target) insert_at = int32_t(rest.size());
        if (i < from || i >= from + count) rest.push_back(all[size_t(i)]);
    }
    if (target >= int32_t(all.size())) insert_at = int32_t(rest.size());
    rest.insert(rest.begin() + insert_at, moved.begin(), moved.end());
    for (size_t i = 0; i < rest.size(); i++) *at(blk, int32_t(i)) = rest[i];
}

}  // namespace

// ---- hashing ---------------------------------------------------------------------

TEST(Murmur3, KnownVectors) {
    struct Case {
        std::string text;
        uint32_t seed;
        uint32_t expected;
    } cases[] = {
        {"", 0, 0},
        {"", 1, 0x514E28B7},
        {"", 0xFFFFFFFF, 0x81F16F39},
        {std::string(4, '\0'), 0, 0x2362F9DE},
        {"a", 0x9747B28C, 0x7FA09EA6},
        {"aa", 0x9747B28C, 0x5D211726},
        {"aaa", 0x9747B28C, 0x283E0130},
        {"aaaa", 0x9747B28C, 0x5A97808A},
        {"abc", 0, 0xB3DD93FA},
        {"abcd", 0x9747B28C, 0xF0478627},
        {"hello", 0, 0x248BFA47},
        {"Hello, world!", 0x9747B28C, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(hash::murmur3(c.text.data(), uint32_t(c.text.size()), c.seed), c.expected);
    }
    // the final mix alone is what an empty input reduces to
    EXPECT_EQ(hash::mix(1), 0x514E28B7u);
    EXPECT_EQ(hash::mix(0), 0u);
}

TEST(HashValue, FixedAnswersByType) {
    Cell none = none::value, unset = unset::value;
    EXPECT_EQ(hash::value(&none), 0xFFFFFFFFu);
    EXPECT_EQ(hash::value(&unset), 0xFFFFFFFEu);
    for (Type t : {TYPE_BITSET, TYPE_VECTOR, TYPE_CONTEXT}) {
        Cell c{uint32_t(t), 1, 2, 3};
        EXPECT_EQ(hash::value(&c), 0u) << int(t);
    }
    Cell i = integer(42);
    EXPECT_EQ(hash::value(&i), hash::mix(42));
}

TEST(HashValue, WordsHashByTheirFamilyAndNativesByTheirIndex) {
    Cell a = w("HashFamily"), b = w("hashfamily", TYPE_SET_WORD), c = w("HASHFAMILY", TYPE_ISSUE);
    EXPECT_EQ(hash::value(&a), hash::value(&b));
    EXPECT_EQ(hash::value(&a), hash::value(&c));
    Cell other = w("hashfamily2");
    EXPECT_NE(hash::value(&a), hash::value(&other));
    // equal natives made separately differ in their other payload words
    Cell n1{uint32_t(TYPE_NATIVE), 7, 0x1000, 0x2000}, n2{uint32_t(TYPE_NATIVE), 7, 0x3000, 0x4000};
    EXPECT_EQ(hash::value(&n1), hash::value(&n2));
}

TEST(HashValue, StringsFoldCaseAndIgnoreTheUnitWidth) {
    Cell lower = string_of("abc", 1), upper = string_of("ABC", 1), wide = string_of("abc", 2), wider = string_of("ABC", 4);
    EXPECT_EQ(hash::value(&lower), hash::value(&upper));
    EXPECT_NE(hash::value(&lower, true), hash::value(&upper, true));
    EXPECT_EQ(hash::value(&lower), hash::value(&wide));
    EXPECT_EQ(hash::value(&lower), hash::value(&wider));
    EXPECT_EQ(hash::value(&lower, true), hash::value(&wide, true));
    // the head counts: "xabc" from index 1 is "abc"
    Cell shifted = string_of("xabc", 1);
    shifted.data1 = 1;
    EXPECT_EQ(hash::value(&lower), hash::value(&shifted));
    // a text slice hashes only its count of characters
    Cell slice = string_of("abcdef", 1);
    slice.header = hash::TEXT_SLICE;
    slice.data3 = 3;
    EXPECT_EQ(hash::value(&slice), hash::value(&lower));
}

// A search finds values equal to the key under its equality; they can only be
// found when they hash alike.
TEST(HashValue, ValuesThatFindOneAnotherHashAlike) {
    auto value_of = [](const char* text) {
        Cell out;
        lexer::ScanArgs args;
        lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(text), std::strlen(text), args, nullptr);
        return *block::at(&out, 0);
    };
    const char* pairs[][2] = {
        {"0.0", "-0.0"},          {"0%", "-0%"},           {"$1", "USD$1"},
        {"$0", "-$0"},            {"1.2.3", "1.2.3.0.0"},  {"1x2", "(1, 2)"},
        {"1-Jan-2000/2:00+02:00", "1-Jan-2000/0:00"},      {"a", "/A"},
    };
    for (const auto& p : pairs) {
        Cell a = value_of(p[0]), b = value_of(p[1]);
        EXPECT_EQ(hash::value(&a), hash::value(&b)) << p[0] << " " << p[1];
    }
    Cell n1{uint32_t(TYPE_FLOAT), 0, 0, 0}, n2 = n1;
    n1.set_float(std::numeric_limits<double>::quiet_NaN());
    n2.set_float(-std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(hash::value(&n1), hash::value(&n2));
}

// ---- sizing ----------------------------------------------------------------------

TEST(HashTable, SizingFollowsTheLoadFactor) {
    struct Case {
        int32_t size;
        ht::Kind kind;
        uint32_t buckets, bound;
    } cases[] = {
        {0, ht::MAP, 8, 6},          // 4 / 0.77 rounds up to 8
        {10, ht::MAP, 16, 12},
        {4000, ht::NAMES, 16384, 12615},  // name tables double a size of 4,000 or more
        {4000, ht::MAP, 8192, 6307},
        {100, ht::IDENTITY, 256, 197},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        uint32_t t = ht::make(c.size, nullptr, c.kind, 1);
        EXPECT_EQ(ht::record(t)->buckets, c.buckets);
        EXPECT_EQ(ht::record(t)->bound, c.bound);
        EXPECT_EQ(ht::record(t)->live, 0);
        for (uint32_t b = 0; b < c.buckets; b++) ASSERT_EQ(ht::bucket_state(t, b), ht::STATE_EMPTY);
    }
    EXPECT_EQ(ht::record(symbol::table)->kind, uint32_t(ht::NAMES));
}

// ---- hash! -------------------------------------------------------------------------

TEST(HashKind, EqualValuesShareOneBucketThroughADuplicateList) {
    Cell x = w("dup-x");
    Cell blk = block_of({x, integer(7), x, integer(8), x, integer(9)});
    uint32_t t = ht::make(6, &blk, ht::HASH);
    EXPECT_EQ(ht::record(t)->live, 4);  // x, 7, 8 and 9
    int32_t lists = 0;
    for (uint32_t b = 0; b < ht::record(t)->buckets; b++)
        if (ht::bucket_state(t, b) == ht::STATE_LIVE && ht::bucket_slot(t, b) < 0) lists++;
    EXPECT_EQ(lists, 1);

    // the answers of a linear scan by records of skip cells
    struct Case {
        int32_t head, skip;
        bool last, reverse;
        int32_t expected;
    } cases[] = {
        {0, 1, false, false, 0}, {1, 1, false, false, 2}, {3, 1, false, false, 4}, {5, 1, false, false, -1},
        {0, 2, false, false, 0}, {1, 2, false, false, -1}, {0, 4, false, false, 0}, {1, 3, false, false, 4},
        {0, 1, true, false, 4}, {5, 1, true, false, 4}, {0, 2, true, false, -1}, {0, 3, true, false, 2},
        {4, 1, false, true, 2}, {1, 1, false, true, 0}, {0, 1, false, true, -1}, {6, 1, false, true, 4},
        {5, 2, false, true, 4}, {6, 2, false, true, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "head " << c.head << " skip " << c.skip << " last " << c.last
                                        << " reverse " << c.reverse);
        EXPECT_EQ(position(blk, ht::find(t, &x, c.head, c.skip, 0, c.last, c.reverse)), c.expected);
    }
    Cell missing = w("dup-missing");
    EXPECT_EQ(ht::find(t, &missing), nullptr);
}

// Groups hold strictly equal values only, so that one member speaks for all;
// a search still finds case variants across the groups of its probe chain.
TEST(HashKind, CaseVariantsKeepGroupsOfTheirOwnAndStrictFindPicksTheSpelling) {
    Cell lower = w("casekey"), upper = w("CASEKEY");
    Cell blk = block_of({lower, upper});
    uint32_t t = ht::make(2, &blk, ht::HASH);
    EXPECT_EQ(ht::record(t)->live, 2);
    EXPECT_EQ(position(blk, ht::find(t, &upper, 0, 1, 0)), 0);
    EXPECT_EQ(position(blk, ht::find(t, &upper, 0, 1, 2)), 1);
    EXPECT_EQ(position(blk, ht::find(t, &lower, 0, 1, 2)), 0);
}

TEST(HashKind, RemovingOneOfEqualValuesKeepsTheBucket) {
    Cell blk = block_of({integer(5), integer(5), integer(6)});
    uint32_t t = ht::make(3, &blk, ht::HASH);
    Cell five = integer(5), six = integer(6);
    ht::remove(t, at(blk, 0));
    EXPECT_EQ(ht::record(t)->live, 2);
    EXPECT_EQ(position(blk, ht::find(t, &five)), 1);
    ht::remove(t, at(blk, 1));
    EXPECT_EQ(ht::record(t)->live, 1);
    EXPECT_EQ(ht::find(t, &five), nullptr);
    EXPECT_EQ(position(blk, ht::find(t, &six)), 2);
    // a deleted bucket is taken again
    uint32_t used = ht::record(t)->used;
    *at(blk, 0) = integer(5);
    ht::put(t, at(blk, 0));
    EXPECT_EQ(ht::record(t)->used, used);
    EXPECT_EQ(position(blk, ht::find(t, &five)), 0);
}

TEST(HashKind, GrowthRebuildsFromTheBlock) {
    Cell blk;
    block::make_at(&blk, 4);
    uint32_t t = ht::make(0, &blk, ht::HASH);
    uint32_t first_buckets = ht::record(t)->buckets;
    int rebuilds = 0;
    for (int32_t i = 0; i < 2000; i++) {
        Cell v = integer(i % 1500);  // 500 values twice
        Cell* c = block::add_cell(&blk);
        copy_cell(&v, c);
        int32_t status;
        ht::put_with_status(t, c, &status);
        if (status == 2) rebuilds++;
    }
    EXPECT_GT(rebuilds, 0);
    EXPECT_GT(ht::record(t)->buckets, first_buckets);
    EXPECT_EQ(ht::record(t)->live, 1500);
    expect_indexed(t, blk);
    Cell dup = integer(10);
    EXPECT_EQ(position(blk, ht::find(t, &dup, 0, 1, 0, true)), 1510);
}

TEST(HashKind, RenumberFollowsInsertionAndRemoval) {
    Cell a = w("rn-a"), b = w("rn-b"), c = w("rn-c"), d = w("rn-d");
    Cell blk = block_of({a, b, c, a});
    uint32_t t = ht::make(4, &blk, ht::HASH);

    // insert two cells at 1: [a d d b c a]
    block::add_cell(&blk);
    block::add_cell(&blk);
    std::memmove(at(blk, 3), at(blk, 1), 3 * sizeof(Cell));
    *at(blk, 1) = d;
    *at(blk, 2) = d;
    EXPECT_EQ(ht::renumber(t, 2, 1, 3, true), 0);
    ht::put(t, at(blk, 1));
    ht::put(t, at(blk, 2));
    expect_indexed(t, blk);
    EXPECT_EQ(position(blk, ht::find(t, &a, 0, 1, 0, true)), 5);
    EXPECT_EQ(ht::record(t)->live, 4);

    // remove the cells at 1 and 2 again: [a b c a]
    std::memmove(at(blk, 1), at(blk, 3), 3 * sizeof(Cell));
    memory::buffer_of(blk.data2)->tail -= 2 * sizeof(Cell);
    EXPECT_EQ(ht::renumber(t, -2, 3, 3, true), 0);
    expect_indexed(t, blk);
    EXPECT_EQ(ht::find(t, &d), nullptr);
    EXPECT_EQ(ht::record(t)->live, 3);
    EXPECT_EQ(position(blk, ht::find(t, &a, 0, 1, 0, true)), 3);
    // removing a moved cell goes through its updated entry
    ht::remove(t, at(blk, 3));
    EXPECT_EQ(position(blk, ht::find(t, &a, 0, 1, 0, true)), 0);

    EXPECT_EQ(ht::renumber(t, 1, 0, 30001, true), 1) << "large renumberings are left to a rebuild";
}

TEST(HashKind, MoveRenumbersBothRanges) {
    struct Case {
        int32_t target, from, count;
    } cases[] = {{1, 3, 2}, {0, 4, 1}, {5, 0, 2}, {4, 1, 2}, {2, 1, 1}, {3, 0, 3}};
    for (const auto& mv : cases) {
        SCOPED_TRACE(testing::Message() << "target " << mv.target << " from " << mv.from << " count " << mv.count);
        Cell v = w("mv-v");
        Cell blk = block_of({v, w("mv-a"), v, w("mv-b"), w("mv-c")});
        uint32_t t = ht::make(5, &blk, ht::HASH);
        move_cells(blk, mv.target, mv.from, mv.count);
        ht::move(t, mv.target, mv.from, mv.count);
        expect_indexed(t, blk);
        EXPECT_EQ(ht::record(t)->live, 4);
    }
}

TEST(HashKind, RemoveRangeAndClear) {
    Cell blk = block_of({integer(1), integer(2), integer(2), integer(3)});
    uint32_t t = ht::make(4, &blk, ht::HASH);
    ht::remove_range(t, 1, 2);
    EXPECT_EQ(ht::record(t)->live, 2);
    Cell two = integer(2), one = integer(1);
    EXPECT_EQ(ht::find(t, &two), nullptr);
    ht::remove_range(t, 0, 100);  // clamped: the whole block
    EXPECT_EQ(ht::record(t)->live, 0);
    EXPECT_EQ(ht::record(t)->used, 0u);
    EXPECT_EQ(ht::find(t, &one), nullptr);
    ht::index_block(t, 0, 1);
    expect_indexed(t, blk);
}

TEST(HashKind, CloneIsNotDisturbedBySource) {
    Cell x = integer(9);
    Cell blk = block_of({x, x});
    uint32_t t = ht::make(2, &blk, ht::HASH);
    uint32_t copy_node = memory::copy_series(memory::buffer_of(blk.data2));
    Cell copy{uint32_t(TYPE_BLOCK), 0, copy_node, 0};
    uint32_t c = ht::clone(t, copy_node);
    copy_cell(&x, block::add_cell(&blk));
    ht::put(t, at(blk, 2));
    EXPECT_EQ(position(blk, ht::find(t, &x, 0, 1, 0, true)), 2);
    EXPECT_EQ(position(copy, ht::find(c, &x, 0, 1, 0, true)), 1);
    ht::remove(t, at(blk, 0));
    EXPECT_EQ(position(copy, ht::find(c, &x)), 0);
}

TEST(HashKind, StaleStampRebuildsBeforeFind) {
    Cell inner1, inner2;
    block::make_at(&inner1, 1);
    block::make_at(&inner2, 1);
    Cell blk = block_of({inner1, inner2});
    uint32_t t = ht::make(2, &blk, ht::HASH);
    uint32_t stamp = ht::record(t)->stamp;
    EXPECT_NE(stamp, 0u) << "block keys hash by node address";
    memory::cycles += 3;  // as if the collector had moved nodes
    // two empty blocks are equal under op 0: ask for this very block (op 9, same)
    EXPECT_EQ(position(blk, ht::find(t, &inner2, 0, 1, 9)), 1);
    EXPECT_EQ(ht::record(t)->stamp, memory::cycles + 1);
    memory::cycles -= 3;
}

// ---- map! ----------------------------------------------------------------------------

TEST(MapKind, RepeatedKeysMergeIntoTheFirstPair) {
    Cell k1 = w("mk-one", TYPE_SET_WORD), k2 = w("mk-two", TYPE_SET_WORD);
    Cell blk = block_of({k1, integer(1), k2, integer(2), k1, integer(3)});
    uint32_t t = ht::make(3, &blk, ht::MAP);
    EXPECT_EQ(block::length(&blk), 4);
    EXPECT_EQ(ht::record(t)->live, 2);
    // a word! key finds the pair stored under the set-word
    Cell probe = w("MK-ONE");
    Cell* key = ht::find(t, &probe, 0, 1, 0);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(position(blk, key), 0);
    EXPECT_EQ(key[1].data2, 3u);
    EXPECT_EQ(ht::find(t, &probe, 0, 1, 2), nullptr) << "strict find keeps the spelling";
}

TEST(MapKind, StrictlyDifferentKeysAreWalkedTogether) {
    Cell a = w("fk", TYPE_SET_WORD), b = w("FK", TYPE_SET_WORD), c = w("fk-other", TYPE_SET_WORD);
    Cell blk = block_of({a, integer(1), c, integer(3), b, integer(2)});
    uint32_t t = ht::make(3, &blk, ht::MAP);
    EXPECT_EQ(ht::record(t)->live, 3);
    std::set<int32_t> seen;
    int32_t state = -1, stop = 0, steps = 0;
    while (Cell* k = ht::find_from(t, &a, &state, &stop, &steps)) seen.insert(position(blk, k));
    EXPECT_EQ(seen, (std::set<int32_t>{0, 4}));
}

TEST(MapKind, RemovalMarksThePairAndGrowthKeepsKeys) {
    static int prepared = 0;
    auto saved = ht::prepare_key;
    ht::prepare_key = [](Cell*) { prepared++; };
    Cell blk;
    block::make_at(&blk, 2);
    uint32_t t = ht::make(0, &blk, ht::MAP);
    for (int32_t i = 0; i < 300; i++) {
        Cell k = integer(i * 7), v = integer(i);
        copy_cell(&k, block::add_cell(&blk));
        copy_cell(&v, block::add_cell(&blk));
    }
    ht::index_block(t, 0, 2);
    ht::prepare_key = saved;
    EXPECT_EQ(prepared, 300);
    EXPECT_EQ(ht::record(t)->live, 300);
    EXPECT_GE(ht::record(t)->buckets, 512u);
    for (int32_t i = 0; i < 300; i++) {
        Cell k = integer(i * 7);
        Cell* found = ht::find(t, &k);
        ASSERT_NE(found, nullptr) << i;
        EXPECT_EQ(found[1].data2, uint32_t(i));
    }
    Cell k = integer(14);
    ht::remove(t, ht::find(t, &k));
    EXPECT_EQ(ht::record(t)->live, 299);
    Cell* found = ht::find(t, &k);
    ASSERT_NE(found, nullptr) << "the key stays, its pair reads as removed";
    EXPECT_EQ(found[1].header, 0u);
    ht::remove(t, found);
    EXPECT_EQ(ht::record(t)->live, 299) << "removing twice counts once";
}

// ---- identity tables ------------------------------------------------------------------

TEST(IdentityKind, PutGetRemoveAndReuse) {
    uint32_t t = ht::make(4, nullptr, ht::IDENTITY, 1);
    Cell* v = ht::put_key(t, 0x12340);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->is(TYPE_UNSET));
    *v = integer(77);
    EXPECT_EQ(ht::get_key(t, 0x12340)->data2, 77u);
    EXPECT_EQ(ht::put_key(t, 0x12340)->data2, 77u) << "an existing key keeps its record";
    EXPECT_EQ(ht::get_key(t, 0x99990), nullptr);
    Cell* removed = ht::remove_key(t, 0x12340);
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(ht::get_key(t, 0x12340), nullptr);
    EXPECT_EQ(ht::remove_key(t, 0x12340), nullptr);
    EXPECT_EQ(ht::record(t)->live, 0);
    uint32_t records = memory::buffer_of(ht::record(t)->data)->used_bytes();
    ht::put_key(t, 0x12340);
    EXPECT_EQ(memory::buffer_of(ht::record(t)->data)->used_bytes(), records) << "the removed record is reused";
    EXPECT_EQ(ht::record(t)->live, 1);
}

TEST(IdentityKind, GrowthAndStaleStampKeepEveryRecord) {
    uint32_t t = ht::make(0, nullptr, ht::IDENTITY, 2);
    for (uint32_t i = 0; i < 500; i++) {
        Cell* v = ht::put_key(t, 0x10000 + i * 4);
        v[0] = integer(int32_t(i));
        v[1] = integer(int32_t(i * 2));
    }
    for (uint32_t i = 0; i < 500; i += 2) ht::remove_key(t, 0x10000 + i * 4);
    EXPECT_EQ(ht::record(t)->live, 250);
    memory::cycles += 1;
    for (uint32_t i = 1; i < 500; i += 2) {
        Cell* v = ht::get_key(t, 0x10000 + i * 4);
        ASSERT_NE(v, nullptr) << i;
        EXPECT_EQ(v[0].data2, i);
        EXPECT_EQ(v[1].data2, i * 2);
    }
    EXPECT_EQ(ht::record(t)->stamp, memory::cycles + 1);
    EXPECT_EQ(ht::record(t)->used, 250u) << "the rehash dropped the deleted buckets";
    memory::cycles -= 1;
    ht::rebuild(t, 8);  // too small a request still holds every record
    for (uint32_t i = 1; i < 500; i += 2) ASSERT_NE(ht::get_key(t, 0x10000 + i * 4), nullptr) << i;
}

TEST(IdentityKind, SweepDropsDeadKeysAndDeadOwners) {
    uint32_t set = ht::make(8, nullptr, ht::IDENTITY, 0);
    for (uint32_t k = 0x20000; k < 0x20000 + 10 * 16; k += 16) ht::put_key(set, k);
    ht::sweep_keys(set, [](uint32_t node) { return (node / 16) % 2 == 0; });
    EXPECT_EQ(ht::record(set)->live, 5);
    EXPECT_NE(ht::get_key(set, 0x20000), nullptr);
    EXPECT_EQ(ht::get_key(set, 0x20010), nullptr);

    uint32_t owners = ht::make(8, nullptr, ht::OWNERSHIP, 3);
    Cell* a = ht::put_key(owners, 0x30000);
    a[1] = Cell{uint32_t(TYPE_OBJECT), 0x40000, 0, 0};  // owner whose context lives
    Cell* b = ht::put_key(owners, 0x30010);
    b[1] = Cell{uint32_t(TYPE_OBJECT), 0x50000, 0, 0};  // owner whose context died
    ht::sweep_keys(owners, [](uint32_t node) { return node != 0x50000; });
    EXPECT_NE(ht::get_key(owners, 0x30000), nullptr);
    EXPECT_EQ(ht::get_key(owners, 0x30010), nullptr);
}

TEST(HashTable, MarkVisitsEveryPart) {
    static std::set<uint32_t> series, blocks;
    series.clear();
    blocks.clear();
    ht::Marker m{[](uint32_t n) { series.insert(n); }, [](uint32_t n) { blocks.insert(n); }};

    uint32_t key_bytes = memory::new_bytes(8);
    uint32_t key_cells = memory::new_cells(2);
    uint32_t t = ht::make(4, nullptr, ht::IDENTITY, 1);
    ht::put_key(t, key_bytes);
    ht::put_key(t, key_cells);
    ht::mark(t, m);
    ht::Table* r = ht::record(t);
    for (uint32_t n : {t, r->states, r->slots, key_bytes}) EXPECT_TRUE(series.count(n)) << n;
    EXPECT_TRUE(blocks.count(key_cells));
    EXPECT_TRUE(blocks.count(r->data));

    series.clear();
    blocks.clear();
    Cell blk = block_of({integer(1), integer(1)});
    uint32_t h = ht::make(2, &blk, ht::HASH);
    ht::mark(h, m);
    r = ht::record(h);
    for (uint32_t n : {h, r->states, r->slots, r->cell_buckets, r->dup_lists}) EXPECT_TRUE(series.count(n)) << n;
    uint32_t list = *reinterpret_cast<uint32_t*>(memory::buffer_of(r->dup_lists)->head_ptr());
    EXPECT_TRUE(series.count(list)) << "the duplicate lists too";
    EXPECT_TRUE(blocks.count(blk.data2));
}
