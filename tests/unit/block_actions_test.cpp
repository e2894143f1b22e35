#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "block_reader.hpp"
#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "interpreter/actions.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

// A block whose buffer has no room left, so that any insertion grows it.
Cell tight(const char* text) {
    Cell loose = read(text);
    int32_t n = block::length(&loose);
    std::vector<Cell> v(block::ks_abs_at(&loose, 0), block::ks_abs_at(&loose, 0) + n);
    return block_of(v, uint32_t(n ? n : 1));
}

uint32_t capacity(const Cell& b) { return memory::buffer_of(b.data2)->size / sizeof(Cell); }

// hash! with block!'s actions, registered only while the real datatype is not
// there yet, so that actions dispatched on a hash! (poke) reach the block code.
class ScratchHash {
public:
    ScratchHash() {
        if (datatype::registered(TYPE_HASH)) return;
        ActionList a;
        a.inherit_all();
        datatype::register_type(TYPE_HASH, TYPE_BLOCK, "hash!", a);
        own_ = true;
    }
    ~ScratchHash() {
        if (own_) datatype::forget(TYPE_HASH);
    }

private:
    bool own_ = false;
};

}  // namespace

TEST(BlockActions, TheRowOfBlock) {
    struct Own {
        int slot;
        ActionFn fn;
    } own[] = {
        {A_MAKE, reinterpret_cast<ActionFn>(&block::make)},
        {A_TO, reinterpret_cast<ActionFn>(&block::to)},
        {A_FORM, reinterpret_cast<ActionFn>(&block::form)},
        {A_MOLD, reinterpret_cast<ActionFn>(&block::mold)},
        {A_EVAL_PATH, reinterpret_cast<ActionFn>(&block::eval_path)},
        {A_COMPARE, reinterpret_cast<ActionFn>(&block::compare)},
        {A_APPEND, reinterpret_cast<ActionFn>(&block::insert)},
        {A_INSERT, reinterpret_cast<ActionFn>(&block::insert)},
        {A_CHANGE, reinterpret_cast<ActionFn>(&block::change)},
        {A_COPY, reinterpret_cast<ActionFn>(&block::copy)},
        {A_FIND, reinterpret_cast<ActionFn>(&block::find)},
        {A_PUT, reinterpret_cast<ActionFn>(&block::put)},
        {A_SELECT, reinterpret_cast<ActionFn>(&block::select)},
        {A_SORT, reinterpret_cast<ActionFn>(&block::sort)},
        {A_SWAP, reinterpret_cast<ActionFn>(&block::swap)},
        {A_TAKE, reinterpret_cast<ActionFn>(&block::take)},
        {A_TRIM, reinterpret_cast<ActionFn>(&block::trim)},
    };
    for (const auto& o : own) EXPECT_EQ(datatype::entry(TYPE_BLOCK, o.slot), o.fn) << o.slot;
    for (int slot : {A_SET_PATH, A_ABSOLUTE, A_ADD, A_XOR_T, A_CREATE, A_CLOSE, A_DELETE, A_OPEN, A_WRITE})
        EXPECT_EQ(datatype::entry(TYPE_BLOCK, slot), nullptr) << slot;
    for (int slot : {A_RANDOM, A_REFLECT, A_AT, A_CLEAR, A_PICK, A_POKE, A_REMOVE, A_REVERSE, A_MODIFY})
        EXPECT_EQ(datatype::entry(TYPE_BLOCK, slot), datatype::entry(TYPE_SERIES, slot)) << slot;
}

TEST(BlockActions, InsertAndAppend) {
    ScratchNumbers numbers;
    struct Case {
        const char* series;
        int32_t head;
        const char* value;
        int32_t part;  // -1: all
        bool only;
        int32_t dup;
        bool append;
        const char* after;
        int32_t head_after;
    } cases[] = {
        {"a b c", 0, "x", -1, false, 1, false, "x a b c", 1},
        {"a b c", 1, "[x y]", -1, false, 1, false, "a x y b c", 3},
        {"a b c", 1, "[x y]", -1, true, 1, false, "a [x y] b c", 2},
        {"a b c", 1, "[x y z]", 2, false, 1, false, "a x y b c", 3},
        {"a b c", 1, "[x y]", 5, false, 1, false, "a x y b c", 3},
        {"a b c", 1, "[x y]", -1, false, 3, false, "a x y x y x y b c", 7},
        {"a b c", 1, "x", -1, false, 6, false, "a x x x x x x b c", 7},
        {"a b c", 1, "[x y]", 0, false, 1, false, "a b c", 1},
        {"a b c", 1, "x", -1, false, 0, false, "a b c", 1},
        {"a b c", 1, "[]", -1, false, 1, false, "a b c", 1},
        {"a b c", 3, "x", -1, false, 1, false, "a b c x", 4},
        {"a b c", 7, "x", -1, false, 1, false, "a b c x", 4},  // a head past the tail inserts at the tail
        {"a b c", 1, "x/y", -1, false, 1, false, "a x y b c", 3},  // a path gives its cells
        {"a b c", 1, "x/y", -1, true, 1, false, "a x/y b c", 2},
        {"a b c", 1, "(x y)", -1, false, 1, false, "a x y b c", 3},
        {"a b c", 1, "[x y]", -1, false, 1, true, "a b c x y", 0},  // append: at the tail, answered at the head
        {"a b c", 2, "[x]", -1, true, 1, true, "a b c [x]", 0},
        {"a b c", 1, "x", -1, false, 6, true, "a b c x x x x x x", 0},
        {"a b c", 1, "[x y z]", 1, false, 2, true, "a b c x x", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.series << " @" << c.head << " " << c.value << " part " << c.part
                                        << " dup " << c.dup << (c.only ? " only" : "") << (c.append ? " append" : ""));
        for (int variant = 0; variant < 3; variant++) {  // roomy, tight, hash!
            Cell b = at_index(variant == 1 ? tight(c.series) : read(c.series), c.head);
            if (variant == 2) b = as_hash(b);
            Cell v = one(c.value);
            Cell r = b;
            Cell* answer = block::insert(&r, &v, c.part, c.only, c.dup, c.append);
            EXPECT_EQ(answer, &r);
            EXPECT_EQ(all_cells(b), c.after);
            EXPECT_EQ(int32_t(r.data1), c.head_after);
            EXPECT_EQ(r.data2, b.data2);
            if (variant == 2) expect_indexed(b);
        }
    }
    // a large /dup grows the buffer to the size needed, a small one to twice that
    Cell small = tight("a");
    Cell x = w("x");
    block::insert(&small, &x, -1, false, 4, true);
    EXPECT_EQ(capacity(small), 10u);
    Cell large = tight("a");
    block::insert(&large, &x, -1, false, 5, true);
    EXPECT_EQ(capacity(large), 6u);
}

TEST(BlockActions, InsertingABlockIntoItself) {
    ScratchNumbers numbers;
    struct Case {
        const char* name;
        int32_t series_head, value_head;
        bool append;
        int32_t dup;
        const char* after;
        int32_t head_after;
    } cases[] = {
        {"insert b next b", 0, 1, false, 1, "2 3 1 2 3", 2},
        {"insert next b b", 1, 0, false, 1, "1 1 2 3 2 3", 4},
        {"insert b b", 0, 0, false, 1, "1 2 3 1 2 3", 3},
        {"append b b", 0, 0, true, 1, "1 2 3 1 2 3", 0},
        {"append next b next b", 1, 1, true, 1, "1 2 3 2 3", 0},
        {"insert/dup next b b 2", 1, 0, false, 2, "1 1 2 3 1 2 3 2 3", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool grow : {false, true}) {
            Cell b = grow ? tight("1 2 3") : read("1 2 3");
            Cell s = at_index(b, c.series_head), v = at_index(b, c.value_head);
            Cell* r = datatype::action<A_INSERT>(TYPE_BLOCK)(&s, &v, -1, false, c.dup, c.append);
            EXPECT_EQ(all_cells(b), c.after);
            EXPECT_EQ(int32_t(r->data1), c.head_after);
        }
    }
    struct Change {
        const char* name;
        int32_t series_head, value_head;
        const char* after;
    } changes[] = {
        {"change b next b", 0, 1, "2 3 3"},
        {"change next b b", 1, 0, "1 1 2 3"},
        {"change b b", 0, 0, "1 2 3"},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        Cell b = tight("1 2 3");
        Cell s = at_index(b, c.series_head), v = at_index(b, c.value_head);
        datatype::action<A_CHANGE>(TYPE_BLOCK)(&s, &v, -1, false, 1);
        EXPECT_EQ(all_cells(b), c.after);
    }
}

TEST(BlockActions, SizesPast32BitsAreRefused) {
    Cell b = read("a b");
    Cell two = read("x y"), x = w("x");
    struct Case {
        const char* name;
        Cell* value;
        int32_t dup;
    } cases[] = {
        {"count x dup past 32 bits", &two, 0x40000000},
        {"bytes past the arena", &x, 0x7FFFFFFF},
        {"bytes past the arena, two cells", &two, 0x20000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell s = b;
        EXPECT_EQ(raised([&] { block::insert(&s, c.value, -1, false, c.dup, false); }), "internal/no-memory");
        EXPECT_EQ(raised([&] { block::change(&s, c.value, -1, false, c.dup); }), "internal/no-memory");
        EXPECT_EQ(all_cells(b), "a b");
    }
}

TEST(BlockActions, Change) {
    ScratchNumbers numbers;
    struct Case {
        const char* series;
        int32_t head;
        const char* value;
        int32_t part;  // -1: absent
        bool only;
        int32_t dup;
        const char* after;
        int32_t head_after;
    } cases[] = {
        {"a b c d", 1, "x", -1, false, 1, "a x c d", 2},
        {"a b c d", 1, "[x y]", -1, false, 1, "a x y d", 3},
        {"a b c d", 1, "[x y]", 1, false, 1, "a x y c d", 3},
        {"a b c d", 1, "x", 0, false, 1, "a x b c d", 2},  // /part 0 inserts in front
        {"a b c d", 1, "x", 9, false, 1, "a x", 2},
        {"a b c d", 1, "[x y]", -1, true, 1, "a [x y] c d", 2},
        {"a b c d", 1, "x", -1, false, 3, "a x x x", 4},
        {"a b c d", 1, "[x y]", 1, false, 2, "a x y x y c d", 5},
        {"a b c d", 4, "x", -1, false, 1, "a b c d x", 5},
        {"a b c d", 2, "[w x y z]", -1, false, 1, "a b w x y z", 6},
        {"a b c d", 1, "[]", -1, false, 1, "a b c d", 1},
        {"a b c d", 1, "[]", 2, false, 1, "a d", 1},
        {"a b c d", 1, "x/y", -1, false, 1, "a x y d", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.series << " @" << c.head << " " << c.value << " part " << c.part
                                        << " dup " << c.dup << (c.only ? " only" : ""));
        for (int variant = 0; variant < 3; variant++) {  // roomy, tight, hash!
            Cell b = at_index(variant == 1 ? tight(c.series) : read(c.series), c.head);
            if (variant == 2) b = as_hash(b);
            Cell v = one(c.value);
            Cell r = b;
            Cell* answer = block::change(&r, &v, c.part, c.only, c.dup);
            EXPECT_EQ(answer, &r);
            EXPECT_EQ(all_cells(b), c.after);
            EXPECT_EQ(int32_t(r.data1), c.head_after);
            if (variant == 2) expect_indexed(b);
        }
    }
}

TEST(BlockActions, Put) {
    ScratchNumbers numbers;
    struct Case {
        const char* series;
        int32_t head;
        const char* key;
        const char* value;
        bool case_;
        const char* after;
    } cases[] = {
        {"a 1 b 2", 0, "b", "3", false, "a 1 b 3"},
        {"a 1 b 2", 0, "c", "3", false, "a 1 b 2 c 3"},
        {"a 1 b 2", 0, "B", "3", false, "a 1 b 3"},
        {"a 1 b 2", 0, "B", "3", true, "a 1 b 2 B 3"},
        {"a 1 b", 0, "b", "2", false, "a 1 b 2"},  // the key is the last cell
        {"a 1 b 2", 2, "a", "9", false, "a 1 b 2 a 9"},  // looked for from the head
        // equal ignoring case is not the same value: it is written
        {"k abc", 0, "k", "ABC", false, "k ABC"},
        {"k abc", 0, "k", "abc", false, "k abc"},
        {"k 1", 0, "k", "k:", false, "k k:"},
        // a block key is one value, found again by the next put
        {"[x] 1", 0, "[x]", "2", false, "[x] 2"},
        {"x 1", 0, "[x]", "2", false, "x 1 [x] 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.series << " put " << c.key << " " << c.value << (c.case_ ? " case" : ""));
        for (bool hashed : {false, true}) {
            Cell b = at_index(read(c.series), c.head);
            if (hashed) b = as_hash(b);
            Cell k = one(c.key), v = one(c.value);
            Cell* answer = block::put(&b, &k, &v, c.case_);
            EXPECT_EQ(answer, &v);
            EXPECT_EQ(all_cells(b), c.after);
            EXPECT_EQ(int32_t(b.data1), c.head);
            if (hashed) expect_indexed(b);
        }
    }
    // the same value twice: the block is left as it is
    Cell b = read("k v");
    Cell k = w("k"), v = *block::ks_abs_at(&b, 1);
    Cell* before = block::ks_abs_at(&b, 1);
    datatype::action<A_PUT>(TYPE_BLOCK)(&b, &k, &v, false);
    EXPECT_EQ(block::ks_abs_at(&b, 1), before);
    EXPECT_EQ(all_cells(b), "k v");
}

TEST(BlockActions, Swap) {
    ScratchNumbers numbers;
    struct Case {
        const char* name;
        const char* first;
        int32_t h1;
        const char* second;  // nullptr: the same block
        int32_t h2;
        const char* first_after;
        const char* second_after;
    } cases[] = {
        {"two blocks", "a b c", 0, "x y", 1, "y b c", "x a"},
        {"one block", "a b c", 0, nullptr, 2, "c b a", "c b a"},
        {"one cell with itself", "a b c", 1, nullptr, 1, "a b c", "a b c"},
        {"first at its tail", "a b c", 3, "x y", 0, "a b c", "x y"},
        {"second at its tail", "a b c", 0, "x y", 2, "a b c", "x y"},
        {"with a paren", "a b c", 1, "(p q)", 0, "a p c", "(b q)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool hashed : {false, true}) {
            Cell a = at_index(read(c.first), c.h1);
            if (hashed) a = as_hash(a);
            Cell b = c.second ? at_index(one(c.second).is(TYPE_PAREN) ? one(c.second) : read(c.second), c.h2)
                              : at_index(a, c.h2);
            Cell* answer = datatype::action<A_SWAP>(TYPE_BLOCK)(&a, &b);
            EXPECT_EQ(answer, &a);
            EXPECT_EQ(all_cells(a), c.first_after);
            EXPECT_EQ(b.is(TYPE_PAREN) ? mold_text(at_index(b, 0)) : all_cells(b), c.second_after);
            if (hashed) expect_indexed(a);
        }
    }
    Cell a = read("a b"), n = integer(1), t = text("ab");
    EXPECT_EQ(raised([&] { block::swap(&a, &n); }), "script/invalid-arg");
    EXPECT_EQ(raised([&] { block::swap(&a, &t); }), "script/invalid-arg");
    EXPECT_EQ(all_cells(a), "a b");
}

TEST(BlockActions, TakeAndTrim) {
    ScratchNumbers numbers;
    struct Case {
        const char* series;
        int32_t head;
        int32_t part;  // 0: absent
        bool last;
        const char* taken;
        const char* left;
    } cases[] = {
        {"a b c", 0, 0, false, "a", "b c"},
        {"a b c", 0, 0, true, "c", "a b"},
        {"a b c", 1, 2, false, "[b c]", "a"},
        {"a b c", 0, 2, true, "[b c]", "a"},
        {"a b c", 0, 1, false, "[a]", "b c"},  // with /part always a block
        {"[x y] b", 0, 0, false, "[x y]", "b"},  // the value itself
        {"a b c", 3, 0, false, "none", "a b c"},
        {"", 0, 2, false, "none", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.series << " @" << c.head << " part " << c.part << (c.last ? " last" : ""));
        for (bool hashed : {false, true}) {
            Cell b = at_index(read(c.series), c.head);
            if (hashed) b = as_hash(b);
            Cell part = integer(c.part);
            Cell r = b;
            datatype::action<A_TAKE>(TYPE_BLOCK)(&r, c.part ? &part : nullptr, false, c.last);
            EXPECT_EQ(r.is(TYPE_HASH) ? mold_text(Cell{uint32_t(TYPE_BLOCK), 0, r.data2, 0}) : mold_text(r), c.taken);
            EXPECT_EQ(all_cells(b), c.left);
            if (hashed) expect_indexed(b);
        }
    }
    // /deep copies every taken series; without it they stay shared
    Cell inner = read("x");
    for (bool deep : {false, true}) {
        for (bool part : {false, true}) {
            SCOPED_TRACE(testing::Message() << "deep " << deep << " part " << part);
            Cell b = block_of({nl(inner), w("y")});
            Cell one_cell = integer(1);
            Cell r = b;
            block::take(&r, part ? &one_cell : nullptr, deep, false);
            Cell got = part ? *block::ks_abs_at(&r, 0) : r;
            EXPECT_EQ(mold_text(got), "[x]");
            EXPECT_EQ(got.data2 != inner.data2, deep);
            EXPECT_TRUE(got.header & FLAG_NEW_LINE) << "the cell comes with its flags";
        }
    }

    struct Trim {
        const char* series;
        int32_t head;
        const char* after;
    } trims[] = {
        {"a #none b #none #none c", 0, "a b c"},
        {"#none a #none b", 2, "#none a b"},
        {"#none #none", 0, ""},
        {"a b", 0, "a b"},
        {"a [#none] #false", 0, "a [none] false"},  // only none! cells, not nested ones
    };
    for (const auto& t : trims) {
        SCOPED_TRACE(t.series);
        for (bool hashed : {false, true}) {
            Cell b = at_index(read(t.series), t.head);
            if (hashed) b = as_hash(b);
            Cell r = b;
            Cell* answer = datatype::action<A_TRIM>(TYPE_BLOCK)(&r, true, true, true, true, true, nullptr);
            EXPECT_EQ(answer, &r);
            EXPECT_EQ(r.data1, uint32_t(t.head));
            std::string expected = t.after;
            for (size_t p; (p = expected.find("#none")) != std::string::npos;) expected.replace(p, 5, "none");
            EXPECT_EQ(all_cells(b), expected);
            if (hashed) expect_indexed(b);
        }
    }
}

TEST(BlockActions, Copy) {
    ScratchNumbers numbers;
    Cell inner = nl(read("x y"));
    Cell paren = one("(p)");
    Cell src = block_of({w("a"), inner, paren, integer(1)});
    Cell block_type{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_BLOCK), 0, 0};
    uint8_t bytes[12] = {};
    bytes[TYPE_PAREN >> 3] |= uint8_t(0x80u >> (TYPE_PAREN & 7));
    Cell parens{uint32_t(TYPE_TYPESET), 0, 0, 0};
    std::memcpy(&parens.data1, bytes, 12);
    Cell two = integer(2);
    struct Case {
        const char* name;
        Cell* part;
        bool deep;
        Cell* types;
        const char* text;
        bool inner_new, paren_new;
    } cases[] = {
        {"shallow", nullptr, false, nullptr, "[a\n[x y] (p) 1]", false, false},
        {"part", &two, false, nullptr, "[a\n[x y]]", false, false},
        {"deep", nullptr, true, nullptr, "[a\n[x y] (p) 1]", true, true},
        {"types block!", nullptr, false, &block_type, "[a\n[x y] (p) 1]", true, false},
        {"types paren!", nullptr, false, &parens, "[a\n[x y] (p) 1]", false, true},
        {"deep types paren!", nullptr, true, &parens, "[a\n[x y] (p) 1]", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell r;
        Cell* answer = datatype::action<A_COPY>(TYPE_BLOCK)(&src, &r, c.part, c.deep, c.types);
        EXPECT_EQ(answer, &r);
        EXPECT_TRUE(r.is(TYPE_BLOCK));
        EXPECT_NE(r.data2, src.data2);
        EXPECT_EQ(mold_text(r), c.text);
        Cell* copied = block::ks_abs_at(&r, 0);
        EXPECT_EQ(copied[1].data2 != inner.data2, c.inner_new);
        EXPECT_TRUE(copied[1].header & FLAG_NEW_LINE) << "a nested copy keeps its flags";
        if (!c.part) {
            EXPECT_EQ(copied[2].data2 != paren.data2, c.paren_new);
        }
    }
    // nested twice: deep goes all the way down
    Cell deepest = read("z");
    Cell nested = block_of({block_of({deepest})});
    Cell r;
    block::copy(&nested, &r, nullptr, true, nullptr);
    Cell* level1 = block::ks_abs_at(&r, 0);
    EXPECT_NE(block::ks_abs_at(level1, 0)->data2, deepest.data2);

    Cell loop = read("a");
    block::ks_append(&loop, &loop);
    EXPECT_EQ(raised([&] { block::copy(&loop, &r, nullptr, true, nullptr); }), "internal/no-cycle");
    EXPECT_EQ(mold::cycle_depth(), 0);
    Cell shallow;
    block::copy(&loop, &shallow, nullptr, false, nullptr);
    EXPECT_EQ(mold_text(shallow), "[a [a [...]]]") << "a shallow copy keeps the reference";

    Cell h = as_hash(read("a [b]"));
    Cell hr;
    block::copy(&h, &hr, nullptr, true, nullptr);
    EXPECT_TRUE(hr.is(TYPE_BLOCK)) << "a deep copy of a hash! is a block! here";
    EXPECT_EQ(hr.data3, 0u);
    EXPECT_EQ(mold_text(hr), "[a [b]]");
}

TEST(BlockActions, MakeAndTo) {
    ScratchNumbers numbers;
    Cell src = at_index(read("a [b] c"), 1);
    struct Case {
        const char* name;
        bool to;
        Cell spec;
        Type type;
        const char* text;
        uint32_t room;  // at least
    } cases[] = {
        {"make 0", false, integer(0), TYPE_BLOCK, "[]", 1},
        {"make -5", false, integer(-5), TYPE_BLOCK, "[]", 1},
        {"make 7", false, integer(7), TYPE_BLOCK, "[]", 7},
        {"make 2.7", false, real(2.7), TYPE_BLOCK, "[]", 2},
        {"make from a block", false, src, TYPE_BLOCK, "[[b] c]", 2},
        {"make from a path", false, one("a/b"), TYPE_BLOCK, "[a b]", 2},
        {"make a paren", false, src, TYPE_PAREN, "([b] c)", 2},
        {"to from a word", true, w("x"), TYPE_BLOCK, "[x]", 1},
        {"to from an integer", true, integer(3), TYPE_BLOCK, "[3]", 1},
        {"to from a block", true, src, TYPE_BLOCK, "[[b] c]", 2},
        {"to from a paren", true, one("(p q)"), TYPE_BLOCK, "[p q]", 2},
        {"to a paren", true, w("x"), TYPE_PAREN, "(x)", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell proto = none::value;
        Cell spec = c.spec;
        auto fn = c.to ? datatype::action<A_TO>(TYPE_BLOCK) : datatype::action<A_MAKE>(TYPE_BLOCK);
        Cell* r = fn(&proto, &spec, c.type);
        EXPECT_EQ(r, &proto);
        EXPECT_EQ(proto.header, uint32_t(c.type)) << "the requested type, no flags";
        EXPECT_EQ(proto.data1, 0u);
        EXPECT_EQ(mold_text(proto), c.text);
        EXPECT_GE(capacity(proto), c.room);
        if (series::is_block_kind(c.spec.type())) {
            EXPECT_NE(proto.data2, c.spec.data2) << "a copy";
        }
    }
    Cell proto, word = w("x"), t = text("a b");
    EXPECT_EQ(raised([&] { block::make(&proto, &word, TYPE_BLOCK); }), "script/bad-make-arg");
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_BLOCK));
    EXPECT_EQ(raised([&] { block::make(&proto, &t, TYPE_BLOCK); }), "script/bad-make-arg");

    // a vector! gives one cell per element from its head
    Cell vec{uint32_t(TYPE_VECTOR), 1, memory::new_series(3, 4, 0), uint32_t(TYPE_INTEGER)};
    memory::Buffer* vb = memory::buffer_of(vec.data2);
    int32_t values[3] = {10, -20, 30};
    std::memcpy(vb->head_ptr(), values, sizeof values);
    vb->tail = vb->offset + sizeof values;
    block::make(&proto, &vec, TYPE_BLOCK);
    EXPECT_EQ(mold_text(proto), "[-20 30]");

    // a typeset! gives its datatypes
    uint8_t bytes[12] = {};
    for (Type ty : {TYPE_INTEGER, TYPE_WORD, TYPE_BLOCK}) bytes[ty >> 3] |= uint8_t(0x80u >> (ty & 7));
    Cell ts{uint32_t(TYPE_TYPESET), 0, 0, 0};
    std::memcpy(&ts.data1, bytes, 12);
    block::to(&proto, &ts, TYPE_BLOCK);
    EXPECT_EQ(mold_text(proto), "[block! integer! word!]");

    // text is loaded by the tokenizer's hook
    auto saved = block::load_text;
    block::load_text = nullptr;
    EXPECT_EQ(raised([&] { block::to(&proto, &t, TYPE_BLOCK); }), "internal/feature-na");
    block::load_text = [](const Cell* text, Cell* out) {
        block::make_at(out, 2);
        std::string s = string::to_utf8(text);
        for (size_t i = 0; i < s.size(); i += 2) {
            Cell v = w(s.substr(i, 1).c_str());
            block::ks_append(out, &v);
        }
    };
    block::to(&proto, &t, TYPE_PAREN);
    EXPECT_EQ(mold_text(proto), "(a b)");
    block::load_text = saved;
}

TEST(BlockActions, EvalPathReadsAndWrites) {
    ScratchNumbers numbers;
    ScratchHash hashes;
    struct Get {
        const char* parent;
        int32_t head;
        const char* element;
        bool case_;
        const char* expected;
    } gets[] = {
        {"a b c", 0, "2", false, "b"},
        {"a b c", 1, "2", false, "c"},
        {"a b c", 1, "-1", false, "a"},
        {"a b c", 0, "0", false, "none"},
        {"a b c", 0, "9", false, "none"},
        {"x 1 y 2", 0, "y", false, "2"},
        {"x 1 y 2", 0, "Y", false, "2"},
        {"x 1 y 2", 0, "Y", true, "none"},
        {"x 1 y 2", 0, "z", false, "none"},
        {"x: 1 y: 2", 0, "y", false, "2"},   // any word kind matches
        {"/y 1 x 2", 0, "y", false, "none"}, // but not a refinement
        {"x 1 y", 0, "y", false, "none"},    // the last cell
        {"x 1 y 2", 2, "x", false, "none"},  // from the head
        {"a [x] 9", 0, "[x]", false, "9"},   // other values: select/only
        {"a 1 2 3", 0, "[1 2]", false, "none"},
        {"x 1 y 2", 0, "/y", false, "2"},
    };
    for (const auto& g : gets) {
        SCOPED_TRACE(testing::Message() << g.parent << " / " << g.element << (g.case_ ? " case" : ""));
        Cell p = at_index(read(g.parent), g.head);
        Cell e = one(g.element);
        Cell* r = datatype::action<A_EVAL_PATH>(TYPE_BLOCK)(&p, &e, nullptr, nullptr, nullptr, nullptr, 1, g.case_,
                                                             false, true, false);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(mold_text(*r), g.expected);
    }
    // a hash! selects a word through its table
    Cell h = as_hash(read("x 1 y 2"));
    Cell y = w("Y");
    EXPECT_EQ(mold_text(*block::eval_path(&h, &y, nullptr, nullptr, nullptr, nullptr, 1, false, false, true, false)),
              "2");
    // so does a path value walked as a parent
    Cell path = one("x/1/y/2");
    EXPECT_EQ(mold_text(*block::eval_path(&path, &y, nullptr, nullptr, nullptr, nullptr, 1, false, false, true, false)),
              "2");

    struct Set {
        const char* parent;
        const char* element;
        bool case_;
        const char* after;  // nullptr: raises
        const char* error;
    } sets[] = {
        {"a b c", "2", false, "a v c", ""},
        {"a b c", "-1", false, nullptr, "script/out-of-range"},
        {"a b c", "4", false, nullptr, "script/out-of-range"},
        {"x 1 y 2", "y", false, "x 1 y v", ""},
        {"x 1 y 2", "Y", false, "x 1 y v", ""},
        {"x 1 y 2", "Y", true, nullptr, "script/bad-path-set"},
        {"x 1 y 2", "z", false, nullptr, "script/bad-path-set"},
        {"x 1 y", "y", false, nullptr, "script/out-of-range"},
        {"a [x] 9", "[x]", false, "a [x] v", ""},
    };
    for (const auto& s : sets) {
        SCOPED_TRACE(testing::Message() << s.parent << " / " << s.element << (s.case_ ? " case" : ""));
        for (bool hashed : {false, true}) {
            Cell p = read(s.parent);
            if (hashed) p = as_hash(p);
            Cell e = one(s.element), v = w("v");
            Cell* r = nullptr;
            std::string err = raised([&] {
                r = block::eval_path(&p, &e, &v, nullptr, nullptr, nullptr, 1, s.case_, false, true, false);
            });
            if (!s.after) {
                EXPECT_EQ(err, s.error);
                EXPECT_EQ(all_cells(p), s.parent);
                continue;
            }
            EXPECT_EQ(err, "");
            EXPECT_EQ(r, &v);
            EXPECT_EQ(all_cells(p), s.after);
            if (hashed) expect_indexed(p);
        }
    }
}

TEST(BlockActions, SetOperations) {
    ScratchNumbers numbers;
    struct Case {
        int32_t op;
        const char* set1;
        int32_t head1;
        const char* set2;
        bool case_;
        int32_t skip;
        const char* result;
    } cases[] = {
        {block::UNIQUE, "a b a c b", 0, "", false, 0, "a b c"},
        {block::UNIQUE, "a A b", 0, "", false, 0, "a b"},
        {block::UNIQUE, "a A b", 0, "", true, 0, "a A b"},
        {block::UNIQUE, "x a b a", 1, "", false, 0, "a b"},  // from the head
        {block::UNIQUE, "a 1 b 2 a 3", 0, "", false, 2, "a 1 b 2"},
        {block::UNIQUE, "a 1 b 2 1 3", 0, "", false, 2, "a 1 b 2 1 3"},  // only first cells count
        {block::UNIQUE, "[x] [x] y [y]", 0, "", false, 0, "[x] y [y]"},
        {block::UNION, "a b", 0, "b c a d", false, 0, "a b c d"},
        {block::UNION, "a b", 0, "B", true, 0, "a b B"},
        {block::INTERSECT, "a b c a", 0, "c a x", false, 0, "a c"},
        {block::INTERSECT, "a b", 0, "A", true, 0, ""},
        {block::INTERSECT, "[x] y", 0, "[x]", false, 0, "[x]"},
        {block::EXCLUDE, "a b c b", 0, "c", false, 0, "a b"},
        {block::EXCLUDE, "a 1 b 2", 0, "b", false, 2, "a 1"},
        {block::DIFFERENCE, "a b c", 0, "c d a", false, 0, "b d"},
        {block::DIFFERENCE, "a b", 0, "a b", false, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.op << " " << c.set1 << " / " << c.set2 << " skip " << c.skip
                                        << (c.case_ ? " case" : ""));
        for (int hashed = 0; hashed < 3; hashed++) {  // none, set1, set2
            Cell a = at_index(read(c.set1), c.head1);
            Cell b = read(c.set2);
            if (hashed == 1) a = as_hash(a);
            if (hashed == 2) b = as_hash(b);
            Cell keep_a = a;
            Cell skip = integer(c.skip);
            Cell* r = block::set_operation(&a, &b, c.case_, c.skip ? &skip : nullptr, c.op);
            EXPECT_EQ(r, &a);
            EXPECT_EQ(r->data1, 0u);
            EXPECT_NE(r->data2, keep_a.data2) << "a new series";
            EXPECT_EQ(all_cells(*r), c.result);
            bool hash_result = hashed == 1 || (hashed == 2 && c.op != block::UNIQUE);
            EXPECT_EQ(r->is(TYPE_HASH), hash_result);
            if (hash_result) {
                expect_indexed(*r);
            } else {
                EXPECT_TRUE(r->is(TYPE_BLOCK));
            }
            EXPECT_EQ(all_cells(keep_a), c.set1) << "the sets are left as they were";
        }
    }
    Cell a = read("a b"), b = read("a"), zero = integer(0);
    EXPECT_EQ(raised([&] { block::set_operation(&a, &b, false, &zero, block::UNION); }), "script/invalid-refine-arg");
    EXPECT_EQ(all_cells(a), "a b");
}
