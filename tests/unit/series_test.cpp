#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/series.hpp"
#include "foundation/hashtable.hpp"
#include "io/random.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

// [a b c d e ...] of n words, with its head at h.
Cell letters(int n = 5, int32_t h = 0) {
    std::vector<Cell> v;
    for (int i = 0; i < n; i++) {
        char name[2] = {char('a' + i), 0};
        v.push_back(w(name));
    }
    Cell b = block_of(v);
    b.data1 = uint32_t(h);
    return b;
}

Cell at_head(Cell s, int32_t h) {
    s.data1 = uint32_t(h);
    return s;
}

// All cells of the block's buffer, whatever its head.
std::string whole(Cell b) { return cells(at_head(b, 0)); }

Cell nav(Cell* (*fn)(), Cell s, std::vector<Cell> more = {}) {
    more.insert(more.begin(), s);
    return call_on_stack(fn, more);
}

Cell binary_of(std::vector<uint8_t> bytes) {
    uint32_t node = memory::new_bytes(uint32_t(bytes.size()));
    memory::Buffer* b = memory::buffer_of(node);
    std::memcpy(b->data(), bytes.data(), bytes.size());
    b->tail = uint32_t(bytes.size());
    return Cell{uint32_t(TYPE_BINARY), 0, node, 0};
}

Cell int16_vector(std::vector<int16_t> values) {
    uint32_t node = memory::new_series(uint32_t(values.size()), 2, 0);
    memory::Buffer* b = memory::buffer_of(node);
    std::memcpy(b->data(), values.data(), values.size() * 2);
    b->tail = uint32_t(values.size() * 2);
    return Cell{uint32_t(TYPE_VECTOR), 0, node, uint32_t(TYPE_INTEGER)};
}

int unit_of(const Cell& s) { return memory::buffer_of(s.data2)->unit(); }

// What a take or copy answered, as text.
std::string shown(const Cell& v) {
    if (v.is(TYPE_NONE)) return "none";
    bool quoted = series::is_text_kind(v.type());
    std::string out(1, quoted ? '"' : '[');
    out += quoted ? utf8(v) : cells(v);
    out += quoted ? '"' : ']';
    return out;
}

}  // namespace

TEST(Series, AtAndSkipClampToTheWholeBuffer) {
    struct Case {
        bool at;
        int32_t head, n, expected;
    } cases[] = {
        {true, 0, 1, 0},   {true, 0, 0, 0},   {true, 2, 1, 2},  {true, 2, 0, 2},   {true, 2, -1, 1},
        {true, 2, -5, 0},  {true, 0, 9, 5},   {true, 3, 2147483647, 5},            {true, 1, 3, 3},
        {false, 2, 2, 4},  {false, 2, -3, 0}, {false, 0, 99, 5}, {false, 2, 0, 2},
        {false, 9, -1, 4},  // a head past the tail reads as the tail
        {false, 4, -2147483647 - 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.at ? "at " : "skip ") << c.head << " " << c.n);
        Cell r = nav(c.at ? &series::at : &series::skip, letters(5, c.head), {integer(c.n)});
        EXPECT_EQ(int32_t(r.data1), c.expected);
        Cell s = nav(c.at ? &series::at : &series::skip, at_head(text("hello"), c.head), {integer(c.n)});
        EXPECT_EQ(int32_t(s.data1), c.expected) << "the same on text";
    }
    EXPECT_EQ(raised([] { nav(&series::at, letters(), {w("x")}); }), "script/invalid-arg");
    EXPECT_EQ(last_raised().args[0].type(), TYPE_WORD);
    EXPECT_EQ(raised([] { nav(&series::skip, letters(), {real(1.0)}); }), "script/invalid-arg");
}

TEST(Series, NavigationAndLength) {
    struct Case {
        int32_t head;
        int32_t next, back, index, length;
        bool head_q, tail_q;
    } cases[] = {
        {0, 1, 0, 1, 5, true, false},
        {2, 3, 1, 3, 3, false, false},
        {5, 5, 4, 6, 0, false, true},
        {9, 9, 4, 6, 0, false, true},  // past the tail: reads as the tail
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head);
        Cell s = letters(5, c.head);
        EXPECT_EQ(int32_t(nav(&series::next, s).data1), c.next);
        EXPECT_EQ(int32_t(nav(&series::back, s).data1), c.back);
        Cell index = nav(&series::index_q, s);
        EXPECT_TRUE(index.is(TYPE_INTEGER));
        EXPECT_EQ(int32_t(index.data2), c.index);
        EXPECT_EQ(nav(&series::head_q, s).data1, uint32_t(c.head_q));
        EXPECT_EQ(nav(&series::tail_q, s).data1, uint32_t(c.tail_q));
        EXPECT_EQ(nav(&series::head, s).data1, 0u);
        EXPECT_EQ(nav(&series::tail, s).data1, 5u);
        Cell counted = s;
        EXPECT_EQ(series::length_q(&counted), c.length);
        EXPECT_EQ(int32_t(counted.data1), std::min(c.head, 5)) << "length? writes a head past the tail back";
    }
    // a head past a tail shortened through another value
    Cell b = letters(5, 4);
    Cell other = letters(5, 0);
    other.data2 = b.data2;
    memory::buffer_of(b.data2)->tail = 2 * sizeof(Cell);
    EXPECT_TRUE(series::ks_tail_q(&b));
    EXPECT_TRUE(series::ks_skip(&b, 1)) << "no move past the tail";
    EXPECT_EQ(b.data1, 4u);
    EXPECT_EQ(series::ks_length(&other, false), 2);
    EXPECT_EQ(series::ks_length(&b, true), 0);
    EXPECT_EQ(b.data1, 2u);
}

TEST(Series, PickByIndexFromTheHead) {
    struct Case {
        int32_t index;
        const char* block_element;
        int32_t text_char;  // -1: none
    } cases[] = {{1, "c", 'l'}, {-1, "b", 'e'}, {-2, "a", 'h'}, {-3, "none", -1}, {0, "none", -1},
                 {3, "e", 'o'}, {4, "none", -1}, {-2147483647 - 1, "none", -1}, {2147483647, "none", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        Cell b = letters(5, 2);
        EXPECT_EQ(mold_text(*series::pick(&b, c.index, nullptr)), c.block_element);
        EXPECT_TRUE(b.is(TYPE_BLOCK)) << "a cell element is answered in place";
        Cell s = at_head(text("hello"), 2);
        Cell* e = series::pick(&s, c.index, nullptr);
        if (c.text_char < 0) {
            EXPECT_TRUE(e->is(TYPE_NONE));
        } else {
            EXPECT_EQ(e, &s) << "a char is left in the result slot";
            EXPECT_TRUE(e->is(TYPE_CHAR));
            EXPECT_EQ(int32_t(e->data2), c.text_char);
        }
    }
    Cell wide = text("a\xF0\x9F\x98\x80");
    EXPECT_EQ(series::pick(&wide, 2, nullptr)->data2, 0x1F600u);
    Cell bin = binary_of({0x01, 0xFF});
    Cell* byte = series::pick(&bin, 2, nullptr);
    EXPECT_TRUE(byte->is(TYPE_INTEGER));
    EXPECT_EQ(byte->data2, 255u);
    Cell vec = int16_vector({7, -3});
    Cell* elem = series::pick(&vec, 2, nullptr);
    EXPECT_TRUE(elem->is(TYPE_INTEGER));
    EXPECT_EQ(int32_t(elem->data2), -3) << "sign-extended";
}

TEST(Series, PokeStoresOrRaises) {
    Cell b = letters(5, 1);
    Cell z = w("z");
    EXPECT_EQ(series::poke(&b, 2, &z, nullptr), &z);
    EXPECT_EQ(whole(b), "a b z d e");
    series::poke(&b, -1, &z, nullptr);
    EXPECT_EQ(whole(b), "z b z d e");
    for (int32_t bad : {0, 5, -2}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(raised([&] { series::poke(&b, bad, &z, nullptr); }), "script/out-of-range");
        EXPECT_TRUE(last_raised().args[0].is(TYPE_INTEGER));
        EXPECT_EQ(int32_t(last_raised().args[0].data2), bad);
    }

    struct TextCase {
        uint32_t cp;
        int unit;
        const char* result;
    } texts[] = {{'X', 1, "aXc"}, {233, 1, "a\xC3\xA9" "c"}, {0x20AC, 2, "a\xE2\x82\xAC" "c"},
                 {0x1F600, 4, "a\xF0\x9F\x98\x80" "c"}};
    for (const auto& t : texts) {
        SCOPED_TRACE(t.cp);
        Cell s = text("abc");
        Cell ch = chr(t.cp);
        series::poke(&s, 2, &ch, nullptr);
        EXPECT_EQ(unit_of(s), t.unit);
        EXPECT_EQ(utf8(s), t.result);
    }
    Cell s = text("abc");
    EXPECT_EQ(raised([&] { series::poke(&s, 1, &z, nullptr); }), "script/invalid-arg");
    EXPECT_EQ(utf8(s), "abc");

    Cell bin = binary_of({1, 2});
    Cell big = integer(0x1FF);
    series::poke(&bin, 1, &big, nullptr);
    EXPECT_EQ(memory::buffer_of(bin.data2)->data()[0], 0xFF) << "the low 8 bits";
    EXPECT_EQ(raised([&] { series::poke(&bin, 1, &z, nullptr); }), "script/invalid-arg");

    Cell vec = int16_vector({1, 2});
    Cell minus = integer(-9);
    series::poke(&vec, 1, &minus, nullptr);
    Cell probe = vec;  // pick leaves a vector element in the cell it is given
    EXPECT_EQ(int32_t(series::pick(&probe, 1, nullptr)->data2), -9);
    Cell f = real(1.5);  // a value the element type cannot hold
    EXPECT_EQ(raised([&] { series::poke(&vec, 1, &f, nullptr); }), "script/invalid-type");
}

TEST(Series, ClearAndRemove) {
    Cell b = letters(5, 2);
    series::clear(&b);
    EXPECT_EQ(whole(b), "a b");
    series::clear(&b);
    EXPECT_EQ(whole(b), "a b") << "nothing after the head: nothing happens";

    struct Case {
        int32_t head;
        int32_t part;        // -100: no /part; -200: a position 2 further in the same series
        const char* result;  // the whole buffer afterwards
    } cases[] = {
        {1, -100, "a c d e"}, {1, 2, "a d e"}, {1, 0, "a b c d e"}, {1, -2, "a b c d e"},
        {3, 10, "a b c"},     {5, -100, "a b c d e"}, {1, -200, "a d e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.head << " " << c.part);
        Cell s = letters(5, c.head);
        Cell part = c.part == -200 ? at_head(s, c.head + 2) : integer(c.part);
        Cell* r = series::remove(&s, c.part == -100 ? nullptr : &part, nullptr);
        EXPECT_EQ(r, &s);
        EXPECT_EQ(int32_t(s.data1), c.head) << "the same index";
        EXPECT_EQ(whole(s), c.result);
    }
    Cell s = letters();
    Cell other = letters();
    EXPECT_EQ(raised([&] { series::remove(&s, &other, nullptr); }), "script/invalid-refine-arg");
    EXPECT_EQ(symbol::name(int32_t(last_raised().args[0].data2)), "part");
    Cell word = w("x");
    EXPECT_EQ(raised([&] { series::remove(&s, &word, nullptr); }), "script/invalid-refine-arg");
    EXPECT_EQ(whole(s), "a b c d e") << "a refused argument changes nothing";

    Cell str = at_head(text("hello"), 1);
    Cell two = integer(2);
    series::remove(&str, &two, nullptr);
    EXPECT_EQ(utf8(at_head(str, 0)), "hlo");
}

namespace {

// A series type whose find is a plain scan of word cells, standing in for the
// find of the block types in remove/key.
constexpr int32_t SCRATCH_SERIES = 55;

Cell* scan_find(Cell* s, Cell* value, Cell*, bool, bool case_, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
    Cell b = *s;
    for (int32_t i = series::head_of(s); i < series::ks_full_length(s); i++) {
        Cell c = *block::ks_abs_at(&b, i);
        if (actions::compare(&c, value, case_ ? actions::STRICT_EQUAL : actions::EQUAL)) {
            s->data1 = uint32_t(i);
            return s;
        }
    }
    *s = none::value;
    return s;
}

struct ScratchSeries {
    ScratchSeries() {
        ActionList a;
        a.inherit_all().set<A_FIND>(&scan_find);
        datatype::register_type(SCRATCH_SERIES, TYPE_SERIES, "scratch-series!", a);
    }
    ~ScratchSeries() { datatype::forget(SCRATCH_SERIES); }
};

}  // namespace

TEST(Series, RemoveKeyTakesTheKeyAndTheValueAfterIt) {
    ScratchSeries type;
    struct Case {
        const char* key;
        int32_t part;  // 0: no /part
        const char* left;
    } cases[] = {{"c", 0, "a b e"}, {"b", 2, "a e"}, {"e", 0, "a b c d"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        Cell s = letters();
        s.set_type(Type(SCRATCH_SERIES));
        Cell keep = s;
        Cell key = w(c.key), part = integer(c.part);
        Cell* r = series::remove(&s, c.part ? &part : nullptr, &key);
        EXPECT_EQ(r, &s);
        EXPECT_EQ(s.data1, 0u) << "the series at the same index";
        keep.set_type(TYPE_BLOCK);
        EXPECT_EQ(whole(keep), c.left);
    }
    for (const char* missing : {"x", "C"}) {  // the key is searched with /case
        SCOPED_TRACE(missing);
        Cell s = letters();
        s.set_type(Type(SCRATCH_SERIES));
        Cell keep = s;
        Cell key = w(missing);
        series::remove(&s, nullptr, &key);
        EXPECT_TRUE(s.is(TYPE_NONE)) << "a key not found";
        keep.set_type(TYPE_BLOCK);
        EXPECT_EQ(whole(keep), "a b c d e");
    }
}

TEST(Series, RemoveKeepsAHashTableCurrent) {
    Cell b = letters(6);
    b.set_type(TYPE_HASH);
    b.data3 = hashtable::make(6, &b, hashtable::HASH);
    Cell s = at_head(b, 1);
    Cell two = integer(2);
    series::remove(&s, &two, nullptr);
    Cell* base = memory::buffer_of(b.data2)->cells();
    for (const char* name : {"a", "d", "e", "f"}) {
        Cell key = w(name);
        Cell* found = hashtable::find(b.data3, &key);
        ASSERT_NE(found, nullptr) << name;
        EXPECT_EQ(mold_text(*found), name);
        EXPECT_LT(found - base, 4) << "positions follow the cells";
    }
    Cell gone = w("b");
    EXPECT_EQ(hashtable::find(b.data3, &gone), nullptr);
    series::clear(&s);
    Cell e = w("e");
    EXPECT_EQ(hashtable::find(b.data3, &e), nullptr);
}

TEST(Series, ReverseWithPartAndSkip) {
    struct Case {
        int32_t head, part, skip;  // 0: refinement absent
        const char* result;        // or the error
    } cases[] = {
        {0, 0, 0, "f e d c b a"},  {1, 3, 0, "a d c b e f"},  {0, 0, 2, "e f c d a b"},
        {0, 0, 3, "d e f a b c"},  {0, 0, 6, "a b c d e f"},  {0, -1, 0, "a b c d e f"},
        {4, 99, 0, "a b c d f e"}, {6, 0, 0, "a b c d e f"},  {0, 4, 2, "c d a b e f"},
        {0, 0, 4, "script/invalid-refine-arg"}, {0, 0, 7, "script/invalid-refine-arg"},
        {0, 0, -1, "script/out-of-range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.head << " " << c.part << " " << c.skip);
        Cell s = letters(6, c.head);
        Cell part = integer(c.part), skip = integer(c.skip);
        std::string err = raised([&] { series::reverse(&s, c.part ? &part : nullptr, c.skip ? &skip : nullptr); });
        EXPECT_EQ(err.empty() ? whole(s) : err, c.result);
    }
    Cell s = letters(6);
    Cell zero = integer(0);
    EXPECT_EQ(raised([&] { series::reverse(&s, nullptr, &zero); }), "script/out-of-range");
    Cell text_skip = w("x");
    EXPECT_EQ(raised([&] { series::reverse(&s, nullptr, &text_skip); }), "script/invalid-refine-arg");
    Cell str = text("ab\xE2\x82\xAC");
    series::reverse(&str, nullptr, nullptr);
    EXPECT_EQ(utf8(str), "\xE2\x82\xAC" "ba");
}

TEST(Series, TakeVariants) {
    struct Case {
        const char* name;
        int32_t head;
        int32_t part;  // -100: no /part; -200/-201/-202: a position 3, 0 or 1 of the same series
        bool last;
        const char* taken;
        const char* left;
    } cases[] = {
        {"one from the head", 0, -100, false, "[a]", "b c d e"},
        {"one from the tail", 0, -100, true, "[e]", "a b c d"},
        {"a count", 0, 2, false, "[a b]", "c d e"},
        {"a count from the tail", 0, 2, true, "[d e]", "a b c"},
        {"a count past what remains", 3, 10, false, "[d e]", "a b c"},
        {"before the head", 3, -2, false, "[b c]", "a d e"},
        {"before the head, clamped", 2, -5, false, "[a b]", "c d e"},
        {"nothing before the head", 0, -1, false, "[]", "a b c d e"},
        {"negative with last", 2, -1, true, "[]", "a b c d e"},
        {"zero takes nothing", 2, 0, false, "[]", "a b c d e"},
        {"up to a position", 1, -200, false, "[b c]", "a d e"},
        {"from a position to the tail", 1, -200, true, "[d e]", "a b c"},
        {"a position before the head", 2, -201, false, "[]", "a b c d e"},
        {"at the tail", 5, -100, false, "none", "a b c d e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell s = letters(5, c.head);
        Cell keep = s;
        Cell part = c.part == -200 ? at_head(s, 3) : c.part == -201 ? at_head(s, 0) : integer(c.part);
        Cell* r = series::take(&s, c.part == -100 ? nullptr : &part, false, c.last);
        EXPECT_EQ(r, &s);
        EXPECT_EQ(shown(s), c.taken);
        if (!s.is(TYPE_NONE)) {
            EXPECT_TRUE(s.is(TYPE_BLOCK));
            EXPECT_EQ(s.data1, 0u);
            EXPECT_NE(s.data2, keep.data2) << "a buffer of its own";
        }
        EXPECT_EQ(whole(keep), c.left);
    }
    Cell s = letters();
    Cell other = letters();
    EXPECT_EQ(raised([&] { series::take(&s, &other, false, false); }), "script/invalid-refine-arg");
    Cell str = text("h\xC3\xA9llo");
    Cell two = integer(2);
    series::take(&str, &two, false, false);
    EXPECT_EQ(shown(str), "\"h\xC3\xA9\"");
}

TEST(Series, CopyWithPart) {
    struct Case {
        const char* name;
        Cell part;  // none: no /part
        const char* copied;
    };
    Cell s = letters(5, 1);
    std::vector<Case> cases = {
        {"whole rest", none::value, "[b c d e]"},
        {"a count", integer(2), "[b c]"},
        {"a count past the tail", integer(99), "[b c d e]"},
        {"a negative count copies backwards", integer(-1), "[a]"},
        {"backwards no further than index 0", integer(-5), "[a]"},
        {"up to a position", at_head(s, 3), "[b c]"},
        {"back to a position", at_head(s, 0), "[a]"},
        {"a pair: elements x to y - 1", pair(2, 4), "[c d]"},
        {"a pair with a negative x", pair(-1, 1), "[a b]"},
        {"an empty pair range", pair(3, 2), "[]"},
        {"a pair past the tail", pair(3, 99), "[d e]"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell result;
        series::copy(&s, &result, c.part.is(TYPE_NONE) ? nullptr : &c.part, false, nullptr);
        EXPECT_EQ(shown(result), c.copied);
        EXPECT_NE(result.data2, s.data2);
    }
    EXPECT_EQ(whole(s), "a b c d e");

    Cell p = nl(letters(3));
    p.set_type(TYPE_PAREN);
    memory::buffer_of(p.data2)->flags |= 0x00020000u;
    Cell copy;
    series::copy(&p, &copy, nullptr, false, nullptr);
    EXPECT_TRUE(copy.is(TYPE_PAREN));
    EXPECT_TRUE(copy.header & FLAG_NEW_LINE) << "type and new-line flag kept";
    EXPECT_EQ(memory::buffer_of(copy.data2)->flags & 0x00020000u, 0u);
    EXPECT_EQ(memory::buffer_of(copy.data2)->unit(), 16);

    Cell word = w("x");
    EXPECT_EQ(raised([&] { series::copy(&s, &copy, &word, false, nullptr); }), "script/invalid-refine-arg");
    Cell str = at_head(text("ab\xE2\x82\xAC" "d"), 1);
    series::copy(&str, &str, nullptr, false, nullptr);  // the result may replace the value itself
    EXPECT_EQ(utf8(str), "b\xE2\x82\xAC" "d");
    EXPECT_EQ(unit_of(str), 2);
}

TEST(Series, MoveWithinOneBuffer) {
    struct Case {
        const char* name;
        int32_t origin, part, target;
        const char* result;
        bool answers_origin;
    } cases[] = {
        {"forward: after the target's unit", 0, 1, 3, "b c d a e", false},
        {"to the tail", 0, 2, 5, "c d e a b", false},
        {"backward", 3, 2, 1, "a d e b c", false},
        {"onto itself", 2, 1, 2, "a b c d e", false},
        {"into its own range", 0, 3, 1, "a b c d e", false},
        {"to the range's last unit", 0, 2, 1, "a b c d e", false},
        {"few units after a target inside the range", 1, 3, 3, "a b c d e", true},
        {"too few units after the target", 0, 2, 4, "a b c d e", true},
        {"a target past the tail is the tail", 1, 1, 9, "a c d e b", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell origin = letters(5, c.origin);
        Cell target = at_head(origin, c.target);
        Cell part = integer(c.part);
        Cell* r = series::move(&origin, &target, &part);
        EXPECT_EQ(r, c.answers_origin ? &origin : &target);
        EXPECT_EQ(whole(origin), c.result);
    }
    Cell origin = letters(5, 5);
    Cell target = letters(2);
    EXPECT_EQ(series::move(&origin, &target, nullptr), &target) << "nothing to move";
    Cell zero = integer(0), word = w("x");
    origin = letters();
    EXPECT_EQ(series::move(&origin, &target, &zero), &target);
    EXPECT_EQ(whole(origin), "a b c d e");
    EXPECT_EQ(raised([&] { series::move(&origin, &target, &word); }), "script/invalid-refine-arg");
    EXPECT_EQ(raised([&] { series::move(&origin, &word, nullptr); }), "script/expect-arg");
}

TEST(Series, MoveBetweenSeries) {
    Cell origin = letters(3, 1);
    Cell target = at_head(block_of({w("x"), w("y")}, 2), 1);
    Cell two = integer(2);
    series::move(&origin, &target, &two);
    EXPECT_EQ(whole(target), "x b c y") << "grown for the new cells";
    EXPECT_EQ(whole(origin), "a");

    Cell narrow = text("ab");
    Cell wide = text("\xE2\x82\xAC");
    series::move(&narrow, &wide, &two);
    EXPECT_EQ(utf8(wide), "ab\xE2\x82\xAC");
    EXPECT_EQ(utf8(narrow), "");
    Cell from_wide = text("\xE2\x82\xAC" "z");
    Cell into_narrow = text("q");
    series::move(&from_wide, &into_narrow, &two);
    EXPECT_EQ(utf8(into_narrow), "\xE2\x82\xAC" "zq");
    EXPECT_EQ(unit_of(into_narrow), 2) << "the narrower target widened";

    Cell blk = letters();
    Cell str = text("abc");
    EXPECT_EQ(raised([&] { series::move(&blk, &str, nullptr); }), "script/move-bad");
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_BLOCK));
    EXPECT_EQ(last_raised().args[1].data1, uint32_t(TYPE_STRING));
    Cell bin = binary_of({1, 2});
    EXPECT_EQ(raised([&] { series::move(&bin, &wide, nullptr); }), "script/move-bad");
    EXPECT_EQ(whole(blk), "a b c d e");
}

TEST(Series, RandomShuffleIsSeededAndStaysAPermutation) {
    auto shuffled = [](int32_t head) {
        random::seed(4242);
        Cell b = letters(10, head);
        series::random(&b, false, false, false);
        return whole(b);
    };
    std::string first = shuffled(0);
    EXPECT_EQ(shuffled(0), first) << "the same seed gives the same order";
    EXPECT_NE(first, "a b c d e f g h i j");
    std::string sorted = first;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, std::string(9, ' ') + "abcdefghij");
    EXPECT_EQ(shuffled(4).substr(0, 8), "a b c d ") << "cells before the head stay";

    random::seed(7);
    Cell b = letters(5, 2);
    series::random(&b, false, false, true);
    std::string picked = mold_text(b);
    EXPECT_TRUE(picked == "c" || picked == "d" || picked == "e") << picked;
    random::seed(7);
    Cell again = letters(5, 2);
    series::random(&again, false, false, true);
    EXPECT_EQ(mold_text(again), picked);
    Cell empty = letters(5, 5);
    series::random(&empty, false, false, true);
    EXPECT_TRUE(empty.is(TYPE_NONE));

    Cell seed_text = text("seed me");
    series::random(&seed_text, true, false, false);
    EXPECT_TRUE(seed_text.is(TYPE_UNSET));
    int32_t n1 = random::next();
    Cell seed_again = text("seed me");
    series::random(&seed_again, true, false, false);
    EXPECT_EQ(random::next(), n1);
}

TEST(Series, ReflectAndModify) {
    Cell b = letters();
    Cell r = b;
    series::reflect(&r, symbol::make("owned"));
    EXPECT_TRUE(r.is(TYPE_NONE)) << "no owner";
    EXPECT_EQ(raised([&] { series::reflect(&b, symbol::make("spec")); }), "internal/not-done");
    Cell field = w("owned"), value = none::value;
    EXPECT_EQ(series::modify(&b, &field, &value, false), &value);
}

TEST(Series, BlockInheritsTheSeriesRow) {
    for (int slot : {A_RANDOM, A_REFLECT, A_AT, A_BACK, A_CLEAR, A_HEAD, A_HEAD_Q, A_INDEX_Q, A_LENGTH_Q, A_MOVE,
                     A_NEXT, A_PICK, A_POKE, A_REMOVE, A_REVERSE, A_SKIP, A_TAIL, A_TAIL_Q, A_MODIFY}) {
        SCOPED_TRACE(slot);
        EXPECT_NE(datatype::entry(TYPE_SERIES, slot), nullptr);
        EXPECT_EQ(datatype::entry(TYPE_BLOCK, slot), datatype::entry(TYPE_SERIES, slot));
    }
    for (int slot : {A_MAKE, A_TO, A_FORM, A_MOLD, A_COMPARE, A_ADD, A_APPEND, A_FIND, A_INSERT, A_SORT, A_OPEN})
        EXPECT_EQ(datatype::entry(TYPE_SERIES, slot), nullptr) << slot;
    EXPECT_EQ(datatype::row(TYPE_SERIES).name_length, 6);
    Cell b = letters(5, 1);
    EXPECT_EQ(mold_text(nav(datatype::action<A_NEXT>(TYPE_BLOCK), b)), "[c d e]");
}
