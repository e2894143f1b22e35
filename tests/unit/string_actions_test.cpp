// The actions of string!: making, converting, path access, append, insert,
// change, find, select, sort, swap, take, trim and the set operations, over
// strings of every unit size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/series.hpp"
#include "foundation/casing.hpp"
#include "foundation/collector.hpp"
#include "foundation/gc.hpp"
#include "foundation/registry.hpp"
#include "string_fixtures.hpp"

using namespace kro;
using namespace kro::testing_strings;
using testing_blocks::block_of;
using testing_blocks::chr;
using testing_blocks::raised;
using testing_blocks::real;
using testing_blocks::ScratchNumbers;
using testing_blocks::w;

namespace {

Cell none_cell() { return none::value; }

std::string shown(const Cell& v) {
    if (v.is(TYPE_NONE)) return "none";
    if (v.is(TYPE_CHAR)) {
        Cell s;
        string::make_at(&s, 1, 1);
        string::append_code_point(&s, v.data2);
        return std::string("#").append(utf8(s));
    }
    return utf8(v);
}

// The whole buffer of a string, whatever its head.
std::string whole(const Cell& s) { return utf8(at_head(s, 0)); }

const char* const UNIT_TEXTS[] = {"1-byte", "2-byte", "4-byte"};

// The unit a test string gets: ASCII text made 1, 2 or 4 bytes wide.
int unit_number(int i) { return i == 0 ? 1 : i == 1 ? 2 : 4; }

}  // namespace

// ---- append, insert, change -----------------------------------------------------------------

TEST(StringAppend, ValuesPartsAndDups) {
    ScratchNumbers numbers;
    struct Case {
        const char* name;
        Cell value;
        int32_t part, dup;
        const char* expected;
    };
    std::vector<Case> cases = {
        {"text", text("cd"), -1, 1, "abcd"},
        {"text part", text("cdef"), 2, 1, "abcd"},
        {"text part 0", text("cdef"), 0, 1, "ab"},
        {"text dup", text("xy"), -1, 3, "abxyxyxy"},
        {"dup 0", text("xy"), -1, 0, "ab"},
        {"wide text", text_of(U"\u20AC\U0001F600"), -1, 1, "ab\u20AC\U0001F600"},
        {"char", chr('z'), -1, 2, "abzz"},
        {"tag", text("t", 1, TYPE_TAG), -1, 1, "ab<t>"},
        {"tag part 2", text("t", 1, TYPE_TAG), 2, 1, "ab<t"},
        {"file", text("x/y", 1, TYPE_FILE), -1, 1, "abx/y"},
        {"block", block_of({w("c"), integer(1), text("d")}), -1, 1, "abc1d"},
        {"block part", block_of({w("cde"), integer(12), text("f")}), 4, 1, "abcde1"},
        {"block dup", block_of({w("c"), integer(1)}), -1, 2, "abc1c1"},
        {"integer", integer(42), -1, 1, "ab42"},
        {"none", none_cell(), -1, 1, "abnone"},
    };
    for (int u = 0; u < 3; u++) {
        for (Case& c : cases) {
            SCOPED_TRACE(testing::Message() << UNIT_TEXTS[u] << " " << c.name);
            Cell s = at_head(text("ab", unit_number(u)), 1);
            Cell v = c.value;
            string::append(&s, &v, c.part, false, c.dup, true);
            EXPECT_EQ(s.data1, 0u) << "append answers the string at its first index";
            EXPECT_EQ(utf8(s), c.expected);
        }
    }
}

TEST(StringAppend, UnitsFollowTheAppendedText) {
    struct Case {
        int unit;
        Cell value;
        int expected;
    } cases[] = {
        {1, chr('a'), 1},        {1, chr(0xE9), 2},  // appending 128-255 widens a 1-byte string
        {1, chr(0x20AC), 2},     {1, chr(0x1F600), 4}, {2, chr(0x1F600), 4},
        {1, text_of(U"\u00e9", 1), 1},  // a 1-byte text keeps the target 1 byte wide
        {1, text_of(U"x", 4), 4},        {4, text("x"), 4},
    };
    for (Case& c : cases) {
        Cell s = text("ab", c.unit);
        string::append(&s, &c.value, -1, false, 1, true);
        EXPECT_EQ(unit_of(s), c.expected);
    }
}

TEST(StringAppend, ItselfAndOversizedDups) {
    Cell s = at_head(text("abc"), 1);
    Cell same = s;
    string::append(&s, &same, -1, false, 2, true);
    EXPECT_EQ(utf8(s), "abcbcbc");
    Cell t = text("ab");
    Cell v = text("xy");
    EXPECT_EQ(raised([&] { string::append(&t, &v, -1, false, 0x7FFFFFFF, true); }), "internal/no-memory");
    EXPECT_EQ(utf8(t), "ab") << "a refused append changes nothing";
    Cell big = text("x");
    EXPECT_EQ(raised([&] { string::insert(&t, &big, -1, false, 0x7FFFFFFF, false); }), "internal/no-memory");
}

namespace {

// An insert or change at a head of a string: the value, /part and /dup, the
// string's whole text after it and the head answered.
struct EditCase {
    const char* name;
    uint32_t head;
    Cell value;
    int32_t part, dup;
    const char* expected;
    uint32_t head_after;
};

// Each edit made on the original text 1, 2 and 4 bytes wide.
template <class Edit>
void expect_edits(const char* original, const std::vector<EditCase>& cases, Edit edit) {
    for (int u = 0; u < 3; u++) {
        for (const EditCase& c : cases) {
            SCOPED_TRACE(testing::Message() << UNIT_TEXTS[u] << " " << c.name);
            Cell s = at_head(text(original, unit_number(u)), c.head);
            Cell v = c.value;
            edit(&s, &v, c);
            EXPECT_EQ(whole(s), c.expected);
            EXPECT_EQ(s.data1, c.head_after);
        }
    }
}

}  // namespace

TEST(StringInsert, PositionsAndWidths) {
    std::vector<EditCase> cases = {
        {"middle", 2, text("XY"), -1, 1, "abXYcd", 4},
        {"front", 0, text("XY"), -1, 1, "XYabcd", 2},
        {"tail", 4, text("XY"), -1, 1, "abcdXY", 6},
        {"past the tail", 9, text("XY"), -1, 1, "abcdXY", 6},
        {"part", 2, text("XYZ"), 1, 1, "abXcd", 3},
        {"dup", 1, text("XY"), -1, 3, "aXYXYXYbcd", 7},
        {"char", 3, chr(0x20AC), -1, 1, "abc\u20ACd", 4},
        {"wide text", 1, text_of(U"\U0001F600"), -1, 1, "a\U0001F600bcd", 2},
        {"block", 2, block_of({w("x"), text("y")}), -1, 1, "abxycd", 4},
        {"tag", 1, text("i", 1, TYPE_TAG), -1, 1, "a<i>bcd", 4},
    };
    expect_edits("abcd", cases, [](Cell* s, Cell* v, const EditCase& c) {
        string::insert(s, v, c.part, false, c.dup, false);
    });
    // Inserting a string into itself before its tail inserts its text as it was.
    Cell s = at_head(text("abc"), 1);
    Cell same = s;
    string::insert(&s, &same, -1, false, 1, false);
    EXPECT_EQ(whole(s), "abcbc");
    EXPECT_EQ(s.data1, 3u);
    Cell t = text("abcdef");
    Cell later = at_head(t, 4);
    string::insert(&t, &later, -1, false, 1, false);
    EXPECT_EQ(whole(t), "efabcdef");
}

TEST(StringChange, ReplacedCounts) {
    std::vector<EditCase> cases = {
        {"as many as inserted", 0, text("XY"), -1, 1, "XYcdef", 2},
        {"part", 0, text("XY"), 4, 1, "XYef", 2},
        {"part 0 inserts", 1, text("XY"), 0, 1, "aXYbcdef", 3},
        {"part past the tail", 4, text("XY"), 10, 1, "abcdXY", 6},
        {"longer than what remains", 4, text("XYZW"), -1, 1, "abcdXYZW", 8},
        {"at the tail", 6, text("XY"), -1, 1, "abcdefXY", 8},
        {"dup", 1, text("XY"), -1, 2, "aXYXYf", 5},
        {"char", 2, chr(0x1F600), -1, 1, "ab\U0001F600def", 3},
        {"block", 0, block_of({w("x"), integer(7)}), -1, 1, "x7cdef", 2},
        {"shorter with part", 1, text("Z"), 3, 1, "aZef", 2},
    };
    ScratchNumbers numbers;
    expect_edits("abcdef", cases,
                 [](Cell* s, Cell* v, const EditCase& c) { string::change(s, v, c.part, false, c.dup); });
    Cell s = at_head(text("abcdef"), 2);
    Cell same = s;
    string::change(&s, &same, -1, false, 1);
    EXPECT_EQ(whole(s), "abcdef") << "a string changed by its own text from the same head";
}

// ---- find and select ------------------------------------------------------------------------

namespace {

struct FindArgs {
    Cell value;
    uint32_t head = 0;
    int32_t part = -1;
    bool case_ = false, last = false, reverse = false, tail = false, match = false;
    int32_t skip = 0;
};

// The index found (-1: none).
int64_t found(const Cell& series, FindArgs a) {
    Cell s = at_head(series, a.head);
    Cell part = integer(a.part), skip = integer(a.skip);
    string::find(&s, &a.value, a.part >= 0 ? &part : nullptr, false, a.case_, false, false, nullptr,
                 a.skip ? &skip : nullptr, a.last, a.reverse, a.tail, a.match);
    return s.is(TYPE_NONE) ? -1 : int64_t(s.data1);
}

}  // namespace

TEST(StringFind, RefinementsAcrossWidths) {
    struct Case {
        const char* name;
        FindArgs args;
        int64_t expected;
    };
    auto t = [](const char* s) { return text(s); };
    FindArgs a;
    std::vector<Case> cases;
    auto add = [&](const char* name, FindArgs args, int64_t expected) { cases.push_back({name, args, expected}); };
    // "abcABCabc"
    a = {}; a.value = t("bc"); add("plain", a, 1);
    a = {}; a.value = t("BC"); add("folded", a, 1);
    a = {}; a.value = t("BC"); a.case_ = true; add("case", a, 4);
    a = {}; a.value = t("bc"); a.tail = true; add("tail", a, 3);
    a = {}; a.value = chr('b'); a.tail = true; add("tail of a char", a, 2);
    a = {}; a.value = t("bc"); a.last = true; add("last", a, 7);
    a = {}; a.value = t("BC"); a.last = true; a.case_ = true; add("last case", a, 4);
    a = {}; a.value = t("bc"); a.last = true; a.head = 5; add("last stops at the head", a, 7);
    a = {}; a.value = t("ab"); a.last = true; a.head = 7; add("last before the head: none", a, -1);
    a = {}; a.value = t("ab"); a.match = true; add("match", a, 0);
    a = {}; a.value = t("bc"); a.match = true; add("match only at the head", a, -1);
    a = {}; a.value = t("ab"); a.match = true; a.tail = true; add("match tail", a, 2);
    a = {}; a.value = t("A"); a.skip = 3; a.case_ = true; add("skip", a, 3);
    a = {}; a.value = t("b"); a.skip = 3; add("skip tests record heads only", a, -1);
    a = {}; a.value = t("C"); a.part = 3; add("part", a, 2);
    a = {}; a.value = t("bc"); a.part = 2; add("match past the part", a, -1);
    a = {}; a.value = t("b"); a.part = 0; add("part 0", a, -1);
    a = {}; a.value = t("b"); a.reverse = true; a.head = 6; add("reverse", a, 4);
    a = {}; a.value = t("b"); a.reverse = true; a.head = 6; a.case_ = true; add("reverse case", a, 1);
    a = {}; a.value = t("ab"); a.reverse = true; a.head = 9; add("reverse from the tail", a, 6);
    a = {}; a.value = t("a"); a.reverse = true; a.head = 0; add("reverse at the head", a, -1);
    a = {}; a.value = t("b"); a.reverse = true; a.head = 6; a.part = 1; add("reverse part", a, -1);
    a = {}; a.value = t("B"); a.reverse = true; a.head = 6; a.part = 2; add("reverse part 2", a, 4);
    a = {}; a.value = t("c"); a.reverse = true; a.head = 6; a.match = true; add("reverse match", a, -1);
    a = {}; a.value = chr('C'); add("char", a, 2);
    a = {}; a.value = chr('C'); a.case_ = true; add("char case", a, 5);
    a = {}; a.value = w("cab"); add("word", a, 2);
    a = {}; a.value = t("bc"); a.head = 9; add("at the tail", a, -1);
    a = {}; a.value = t(""); add("empty text", a, -1);
    a = {}; a.value = t("abcABCabcX"); add("longer than the string", a, -1);
    for (int u = 0; u < 3; u++) {
        Cell s = text("abcABCabc", unit_number(u));
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << UNIT_TEXTS[u] << " " << c.name);
            EXPECT_EQ(found(s, c.args), c.expected);
        }
    }
    // Wide characters on either side, folded or not.
    Cell wide = text_of(U"x\u00e9\U0001F600\u00c9z", 4);
    a = {}; a.value = text_of(U"\u00c9\U0001F600", 2);
    EXPECT_EQ(found(wide, a), 1);
    a.case_ = true;
    EXPECT_EQ(found(wide, a), -1);
    a = {}; a.value = text_of(U"\U0001F600\u00e9", 4);
    EXPECT_EQ(found(wide, a), 2) << "\u00e9 folds to \u00c9";
    a.case_ = true;
    EXPECT_EQ(found(wide, a), -1);
    a = {}; a.value = chr(0xC9); a.case_ = true;
    EXPECT_EQ(found(wide, a), 3);
}

// Texts that repeat their own beginnings make a search that restarts after a
// partial match skip or miss matches; every head, part, direction and case mode
// must give the position a character-by-character scan gives, for runs of text
// and for single characters.
TEST(StringFind, SelfOverlappingPatternsAgreeWithAScan) {
    const std::u32string texts[] = {U"aaaab", U"abababcababc", U"aAbAaBaabaab", U"xyxyxyz\u00ffy\u0178",
                                    U"\u20ac\u20aca\u20acab\U0001F600ab"};
    const std::u32string patterns[] = {U"aab", U"abab", U"ababc", U"AAB", U"aa", U"b", U"xyxyz", U"\u0178y",
                                       U"\u0178", U"\u20aca\u20ac", U"ab\U0001F600", U"\u00ff", U"ba"};
    const char32_t chars[] = {U'a', U'A', U'b', U'\u00ff', U'\u0178', U'\u20ac', U'\U0001F600', U'q'};
    auto f = [](char32_t c, bool fold) { return fold ? casing::convert(uint32_t(c), true) : uint32_t(c); };
    // the first start in [lo, hi) (backward: the last one) where the pattern lies wholly inside
    auto scan = [&](const std::u32string& t, const std::u32string& p, int64_t lo, int64_t hi, bool fold,
                    bool backward) -> int64_t {
        int64_t k = int64_t(p.size());
        for (int64_t n = 0; n <= hi - lo - k; n++) {
            int64_t i = backward ? hi - k - n : lo + n;
            int64_t j = 0;
            while (j < k && f(t[size_t(i + j)], fold) == f(p[size_t(j)], fold)) j++;
            if (j == k) return i;
        }
        return -1;
    };
    auto widest = [](const std::u32string& t) {
        char32_t m = 0;
        for (char32_t c : t) m = std::max(m, c);
        return m <= 0xFF ? 1 : m <= 0xFFFF ? 2 : 4;
    };
    std::vector<std::pair<Cell, std::u32string>> wanted;
    for (const auto& pat : patterns) wanted.push_back({text_of(pat, widest(pat)), pat});
    for (char32_t c : chars) wanted.push_back({chr(uint32_t(c)), std::u32string(1, c)});
    for (const auto& t : texts) {
        int64_t size = int64_t(t.size());
        for (int unit : {1, 2, 4}) {
            if (unit < widest(t)) continue;
            Cell s = text_of(t, unit);
            for (size_t w = 0; w < wanted.size(); w++) {
                for (int mode = 0; mode < 6; mode++) {
                    bool case_ = mode & 1;
                    int direction = mode / 2;  // forward, /last, /reverse
                    for (int64_t head = 0; head <= size; head++) {
                        for (int32_t part : {-1, 1, 3, 6}) {
                            SCOPED_TRACE(testing::Message() << "unit " << unit << " text " << utf8(s) << " pattern #"
                                                            << w << " head " << head << " part " << part
                                                            << (case_ ? " case" : "") << " direction " << direction);
                            FindArgs a;
                            a.value = wanted[w].first;
                            a.head = uint32_t(head);
                            a.part = part;
                            a.case_ = case_;
                            a.last = direction == 1;
                            a.reverse = direction == 2;
                            int64_t expected;
                            if (direction == 2) {
                                int64_t lo = part < 0 ? 0 : std::max<int64_t>(0, head - part);
                                expected = head == 0 ? -1 : scan(t, wanted[w].second, lo, head, !case_, true);
                            } else {
                                int64_t hi = part < 0 ? size : std::min(size, head + part);
                                expected = head >= size ? -1 : scan(t, wanted[w].second, head, hi, !case_, direction == 1);
                            }
                            EXPECT_EQ(found(s, a), expected);
                        }
                    }
                }
            }
        }
    }
}

TEST(StringFind, FormedValuesAndBitsets) {
    ScratchNumbers numbers;
    FindArgs a;
    a.value = integer(1);
    EXPECT_EQ(found(text("ab1c"), a), 2) << "the integer 1 is searched as the digit";
    a.value = text("i", 1, TYPE_TAG);
    EXPECT_EQ(found(text("x<i>y"), a), 1) << "a tag with its brackets";
    a.value = text("b/c", 1, TYPE_FILE);
    EXPECT_EQ(found(text("ab/cd"), a), 1);
    a.value = block_of({w("b"), integer(2)});
    EXPECT_EQ(found(text("ab2 b 2"), a), 4) << "a block is searched as its form, blanks between";
    uint32_t node = memory::new_bytes(16);
    memory::Buffer* b = memory::buffer_of(node);
    std::memset(b->head_ptr(), 0, 16);
    b->head_ptr()['3' >> 3] |= 0x80 >> ('3' & 7);
    b->tail = b->offset + 16;
    a.value = Cell{uint32_t(TYPE_BITSET), 0, node, 0};
    EXPECT_EQ(found(text("ab3"), a), 2);
    EXPECT_EQ(found(text_of(U"a\u20AC3", 2), a), 2);
}

TEST(StringFind, RefusedArguments) {
    Cell s = text("abc");
    Cell v = text("b"), two = integer(0), other = text("abc"), bits = text("x");
    auto find_with = [&](bool any, Cell* with, Cell* skip, Cell* part) {
        Cell r = s;
        string::find(&r, &v, part, false, false, false, any, with, skip, false, false, false, false);
    };
    EXPECT_EQ(raised([&] { find_with(true, nullptr, nullptr, nullptr); }), "internal/not-done");
    EXPECT_EQ(raised([&] { find_with(false, &bits, nullptr, nullptr); }), "internal/not-done");
    EXPECT_EQ(raised([&] { find_with(false, nullptr, &two, nullptr); }), "script/out-of-range");
    EXPECT_EQ(raised([&] { find_with(false, nullptr, nullptr, &other); }), "script/invalid-refine-arg");
    Cell binary{uint32_t(TYPE_BINARY), 0, memory::new_bytes(4), 0};
    Cell r = s;
    EXPECT_EQ(raised([&] {
                  string::find(&r, &binary, nullptr, false, false, false, false, nullptr, nullptr, false, false,
                               false, false);
              }),
              "script/invalid-arg")
        << "a binary! is searched only in a binary!";
    // An empty buffer finds nothing, even before looking at the refinements.
    Cell empty = text("");
    EXPECT_EQ(raised([&] {
                  string::find(&empty, &v, nullptr, false, false, false, true, nullptr, nullptr, false, false,
                               false, false);
              }),
              "");
    EXPECT_TRUE(empty.is(TYPE_NONE));
}

TEST(StringFind, BinaryAndVectorSeries) {
    uint32_t node = memory::new_bytes(8);
    memory::Buffer* b = memory::buffer_of(node);
    const uint8_t bytes[] = {0x10, 'a', 'B', 0xC3, 0xA9, 0xFF};
    std::memcpy(b->head_ptr(), bytes, sizeof bytes);
    b->tail = b->offset + sizeof bytes;
    Cell bin{uint32_t(TYPE_BINARY), 0, node, 0};
    FindArgs a;
    a.value = integer(0xFF);
    EXPECT_EQ(found(bin, a), 5);
    a.value = text("b");
    EXPECT_EQ(found(bin, a), -1) << "bytes have no letter case";
    a.value = text_of(U"\u00e9");
    EXPECT_EQ(found(bin, a), 3) << "text is searched as its UTF-8 bytes";
    a.value = at_head(bin, 1);
    a.value.data1 = 3;
    EXPECT_EQ(found(bin, a), 3) << "a binary! in a binary!";

    uint32_t vnode = memory::new_series(4, 2, 0);
    memory::Buffer* vb = memory::buffer_of(vnode);
    const int16_t values[] = {5, -3, 7, 9};
    std::memcpy(vb->head_ptr(), values, sizeof values);
    vb->tail = vb->offset + sizeof values;
    Cell vec{uint32_t(TYPE_VECTOR), 0, vnode, uint32_t(TYPE_INTEGER)};
    a = {};
    a.value = integer(-3);
    EXPECT_EQ(found(vec, a), 1);
    a.value = real(7.0);
    EXPECT_EQ(found(vec, a), 2) << "numbers compare as floats";
    Cell sel = vec;
    Cell key = integer(7);
    string::select(&sel, &key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
    ASSERT_TRUE(sel.is(TYPE_INTEGER));
    EXPECT_EQ(int32_t(sel.data2), 9);
}

TEST(StringSelect, TheCharacterAfterTheMatch) {
    struct Case {
        std::u32string text;
        Cell value;
        bool case_, last;
        const char* expected;
    } cases[] = {
        {U"a=1,b=2", text("B="), false, false, "#2"},
        {U"a=1,b=2", text("B="), true, false, "none"},
        {U"a=1,a=2", text("a="), false, true, "#2"},
        {U"a=1,b=2", chr('2'), false, false, "none"},  // the last character has nothing after it
        {U"x\u20AC\U0001F600", chr(0x20AC), false, false, "#\U0001F600"},
        {U"<i>x", text("i", 1, TYPE_TAG), false, false, "#x"},
        {U"abc", text("zz"), false, false, "none"},
    };
    for (Case& c : cases) {
        for (int unit : {1, 4}) {
            SCOPED_TRACE(c.expected);
            Cell s = text_of(c.text, unit);
            string::select(&s, &c.value, nullptr, false, c.case_, false, false, nullptr, nullptr, c.last, false);
            EXPECT_EQ(shown(s), c.expected);
        }
    }
}

// ---- sort ------------------------------------------------------------------------------------------

namespace {

struct SortArgs {
    uint32_t head = 0;
    bool case_ = false, all = false, reverse = false, stable = false;
    int32_t skip = 0;
    Cell* comparator = nullptr;
    Cell* part = nullptr;
};

// Sort arguments with what `set` changes in them.
template <class F>
SortArgs sort_args(F set) {
    SortArgs a;
    set(a);
    return a;
}

Cell sorted(Cell s, SortArgs a) {
    s.data1 = a.head;
    Cell skip = integer(a.skip);
    string::sort(&s, a.case_, a.skip ? &skip : nullptr, a.comparator, a.part, a.all, a.reverse, a.stable);
    return s;
}

}  // namespace

TEST(StringSort, OrdersAndRecords) {
    Cell two = integer(2), minus2 = integer(-2), minus5 = integer(-5);
    struct Case {
        const char* name;
        const char* text;
        SortArgs args;
        const char* expected;
        uint32_t head_after;
    };
    std::vector<Case> cases = {
        {"plain", "dcBa", {}, "aBcd", 0},
        {"case", "dcBa", sort_args([](SortArgs& a) { a.case_ = true; }), "Bacd", 0},
        {"reverse", "adcB", sort_args([](SortArgs& a) { a.reverse = true; }), "dcBa", 0},
        {"from the head", "zydcba", sort_args([](SortArgs& a) { a.head = 2; }), "zyabcd", 2},
        {"skip", "b2a1c3", sort_args([](SortArgs& a) { a.skip = 2; }), "a1b2c3", 0},
        {"skip all", "b2a1a0", sort_args([](SortArgs& a) {
             a.skip = 2;
             a.all = true;
         }), "a0a1b2", 0},
        {"skip reverse", "b2a1c3", sort_args([](SortArgs& a) {
             a.skip = 2;
             a.reverse = true;
         }), "c3b2a1", 0},
        {"compare offset", "x3y1z2", sort_args([&](SortArgs& a) {
             a.skip = 2;
             a.comparator = &two;
         }), "y1z2x3", 0},
        {"part", "dcba", sort_args([&](SortArgs& a) { a.part = &two; }), "cdba", 0},
        {"part before the head", "dcba", sort_args([&](SortArgs& a) {
             a.head = 4;
             a.part = &minus2;
         }), "dcab", 2},
        {"part beyond the start", "dcba", sort_args([&](SortArgs& a) {
             a.head = 2;
             a.part = &minus5;
         }), "dcba", 0},
    };
    for (int u = 0; u < 3; u++) {
        for (Case& c : cases) {
            SCOPED_TRACE(testing::Message() << UNIT_TEXTS[u] << " " << c.name);
            for (bool stable : {false, true}) {
                SortArgs a = c.args;
                a.stable = stable;
                Cell s = sorted(text(c.text, unit_number(u)), a);
                EXPECT_EQ(whole(s), c.expected);
                EXPECT_EQ(s.data1, c.head_after);
            }
        }
    }
    // Wide characters fold through the case tables.
    Cell s = sorted(text_of(U"\u00e9z\u00c0a\U0001F600", 4), {});
    EXPECT_EQ(points(s), std::u32string(U"az\u00c0\u00e9\U0001F600"));
}

TEST(StringSort, RefusedArguments) {
    Cell two = integer(2), three = integer(3), word_arg = text("x"), other = text("abcd");
    struct Case {
        SortArgs args;
        const char* error;
    };
    Case cases[] = {
        {sort_args([](SortArgs& a) { a.skip = 3; }), "script/invalid-refine-arg"},
        {sort_args([](SortArgs& a) { a.skip = 5; }), "script/invalid-refine-arg"},
        {sort_args([](SortArgs& a) { a.skip = -1; }), "script/invalid-refine-arg"},
        {sort_args([](SortArgs& a) { a.all = true; }), "script/bad-refines"},
        {sort_args([&](SortArgs& a) { a.comparator = &two; }), "script/bad-refines"},
        {sort_args([&](SortArgs& a) {
             a.comparator = &two;
             a.skip = 2;
             a.all = true;
         }), "script/bad-refines"},
        {sort_args([&](SortArgs& a) {
             a.comparator = &three;
             a.skip = 2;
         }), "script/out-of-range"},
        {sort_args([&](SortArgs& a) { a.comparator = &word_arg; }), "script/invalid-refine-arg"},
        {sort_args([&](SortArgs& a) { a.part = &other; }), "script/invalid-refine-arg"},
    };
    for (Case& c : cases) {
        Cell s = text("dcba");
        EXPECT_EQ(raised([&] { sorted(s, c.args); }), c.error);
        EXPECT_EQ(whole(s), "dcba");
    }
}

TEST(StringSort, StableAlwaysKeepsTheOrderOfEqualRecords) {
    // Records of a key and a running number; sorting on the key with /stable
    // must keep the numbers of equal keys ascending, with /case too.
    std::u32string records;
    const char32_t keys[] = {U'b', U'a', U'B', U'c', U'A'};
    for (uint32_t i = 0; i < 300; i++) {
        records += keys[(i * 7 + i / 3) % 5];
        records += char32_t(0x100 + i);
    }
    Cell one = integer(1);
    for (bool case_ : {false, true}) {
        SCOPED_TRACE(case_ ? "case" : "no case");
        SortArgs a;
        a.case_ = case_;
        a.stable = true;
        a.skip = 2;
        a.comparator = &one;
        Cell s = sorted(text_of(records, 2), a);
        std::u32string out = points(s);
        ASSERT_EQ(out.size(), records.size());
        for (size_t i = 2; i < out.size(); i += 2) {
            char32_t k1 = out[i - 2], k2 = out[i];
            if (!case_) k1 = casing::convert(k1, true), k2 = casing::convert(k2, true);
            ASSERT_LE(k1, k2) << i;
            if (k1 == k2) {
                ASSERT_LT(out[i - 1], out[i + 1]) << "equal keys out of order at " << i;
            }
        }
    }
}

namespace {

// A comparator function as the interpreter would run it: answers what the
// mode asks for from the two arguments it is given.
enum class Answer { LESSER, DIFFERENCE, RECORDS, NONE_ } answer_mode;
std::vector<std::string> seen;
bool collect_in_comparator = false;

void test_comparator(const Cell* fn, const Cell* a, const Cell* b, Cell* result) {
    EXPECT_TRUE(fn->is(TYPE_FUNCTION));
    switch (answer_mode) {
        case Answer::LESSER:
            *result = logic::make(a->data2 < b->data2);
            break;
        case Answer::DIFFERENCE:
            *result = integer(int32_t(a->data2) - int32_t(b->data2));
            break;
        case Answer::RECORDS:
            seen.push_back(utf8(*a));
            *result = logic::make(string::compare_text(a, b, actions::CASE_SORT, false) < 0);
            break;
        case Answer::NONE_:
            *result = none::value;
            break;
    }
    // The comparator may allocate and collect, which moves the buffers.
    Cell scratch;
    string::make_at(&scratch, 4096, 1);
    static int calls = 0;
    if (collect_in_comparator && ++calls % 3 == 0) collector::collect();
}

struct ComparatorHook {
    decltype(actions::call_comparator) saved = actions::call_comparator;
    ComparatorHook() { actions::call_comparator = &test_comparator; }
    ~ComparatorHook() { actions::call_comparator = saved; }
};

}  // namespace

TEST(StringSort, WithAFunction) {
    Cell fn{uint32_t(TYPE_FUNCTION), 0, 0, 0};
    {
        // without a comparator hook (the interpreter installs one)
        auto installed = actions::call_comparator;
        actions::call_comparator = nullptr;
        Cell s = text("dcba");
        EXPECT_EQ(raised([&] {
                      SortArgs a;
                      a.comparator = &fn;
                      sorted(s, a);
                  }),
                  "internal/feature-na");
        actions::call_comparator = installed;
    }
    ComparatorHook hook;
    struct Case {
        Answer mode;
        bool reverse, stable;
        const char* expected;
    } cases[] = {
        {Answer::LESSER, false, false, "abcdz"},  {Answer::LESSER, false, true, "abcdz"},
        {Answer::LESSER, true, false, "zdcba"},   {Answer::DIFFERENCE, false, true, "abcdz"},
        {Answer::DIFFERENCE, true, false, "zdcba"},
    };
    for (const Case& c : cases) {
        for (int u = 0; u < 3; u++) {
            answer_mode = c.mode;
            SortArgs a;
            a.comparator = &fn;
            a.reverse = c.reverse;
            a.stable = c.stable;
            Cell s = sorted(text("dzcab", unit_number(u)), a);
            EXPECT_EQ(whole(s), c.expected) << UNIT_TEXTS[u];
        }
    }
    // With /all and /skip the function sees whole records as strings.
    answer_mode = Answer::RECORDS;
    seen.clear();
    SortArgs a;
    a.comparator = &fn;
    a.skip = 2;
    a.all = true;
    Cell s = sorted(text("b2a1a0"), a);
    EXPECT_EQ(whole(s), "a0a1b2");
    ASSERT_FALSE(seen.empty());
    for (const std::string& r : seen) EXPECT_EQ(r.size(), 2u) << r;
    // Buffers moved by collections during the comparisons are found again.
    answer_mode = Answer::LESSER;
    collect_in_comparator = true;
    bool stress = gc::stress, node_moves = gc::node_compaction;
    gc::stress = true;  // every collection moves every live buffer
    gc::node_compaction = false;  // buffers move here; moving nodes is the collector tests' business
    for (bool stable : {false, true}) {
        // The series is a rooted cell, as the call's argument on the data stack would be.
        gc::Rooted moving(text_of(U"q\u20ACwertyuiopasdfghjklzxcvbnm", 2));
        uint32_t before = memory::node_slot(moving->data2);
        string::sort(moving.get(), false, nullptr, &fn, nullptr, false, false, stable);
        EXPECT_NE(memory::node_slot(moving->data2), before) << "the buffer did move";
        EXPECT_EQ(points(moving.cell), std::u32string(U"abcdefghijklmnopqrstuvwxyz\u20AC"));
    }
    gc::stress = stress;
    gc::node_compaction = node_moves;
    collect_in_comparator = false;
    // none answers "before", which leaves a sorted input as it is.
    answer_mode = Answer::NONE_;
    a = {};
    a.comparator = &fn;
    a.stable = true;
    EXPECT_EQ(whole(sorted(text("abc"), a)), "abc");
}

// ---- inherited from series! --------------------------------------------------------------------------

TEST(StringInherited, ReverseRemoveAndPokeAtEveryWidth) {
    struct Case {
        const char* name;
        std::u32string text;
        int32_t part, skip;  // 0: absent
        std::u32string reversed;
    } cases[] = {
        {"all", U"ab\u20ACd", 0, 0, U"d\u20ACba"},
        {"part", U"ab\u20ACd", 3, 0, U"\u20ACbad"},
        {"skip", U"a1b2\U0001F6003", 0, 2, U"\U0001F6003b2a1"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << c.name << " unit " << unit);
            Cell s = text_of(c.text, unit);
            Cell part = integer(c.part), skip = integer(c.skip);
            actions::get<A_REVERSE>(&s)(&s, c.part ? &part : nullptr, c.skip ? &skip : nullptr);
            EXPECT_EQ(points(s), c.reversed);
        }
    }
    for (int unit : {1, 2, 4}) {
        Cell s = at_head(text_of(U"ab\u00e9\u20ACz", unit), 1);
        Cell two = integer(2);
        actions::get<A_REMOVE>(&s)(&s, &two, nullptr);
        EXPECT_EQ(points(at_head(s, 0)), std::u32string(U"a\u20ACz"));
        Cell grin = chr(0x1F600);
        actions::poke(&s, 2, &grin);
        EXPECT_EQ(points(at_head(s, 0)), std::u32string(U"a\u20AC\U0001F600"));
        EXPECT_EQ(unit_of(s), 4);
        Cell* picked = actions::get<A_PICK>(&s)(&s, 1, nullptr);
        ASSERT_TRUE(picked->is(TYPE_CHAR));
        EXPECT_EQ(picked->data2, 0x20ACu);
    }
}

// ---- swap, take ---------------------------------------------------------------------------------------

TEST(StringSwap, ExchangesHeadCharacters) {
    Cell a = text("abc"), b = at_head(text_of(U"x\U0001F600z", 4), 1);
    string::swap(&a, &b);
    EXPECT_EQ(points(a), std::u32string(U"\U0001F600bc"));
    EXPECT_EQ(unit_of(a), 4);
    EXPECT_EQ(points(at_head(b, 0)), std::u32string(U"xaz"));
    Cell t = at_head(text("ab"), 2), c = text("cd");
    string::swap(&t, &c);
    EXPECT_EQ(whole(t), "ab") << "nothing at a tail";
    EXPECT_EQ(utf8(c), "cd");
    Cell blk = block_of({integer(1)});
    EXPECT_EQ(raised([&] { string::swap(&a, &blk); }), "script/invalid-arg");
}

TEST(StringTake, OneCharacterIsAChar) {
    struct Case {
        std::u32string text;
        int32_t part;  // 0: no /part
        bool last;
        const char* taken;
        const char* left;
    } cases[] = {
        {U"abc", 0, false, "#a", "bc"},         {U"abc", 0, true, "#c", "ab"},
        {U"abc", 2, false, "ab", "c"},          {U"abc", 1, false, "a", "bc"},
        {U"abc", 2, true, "bc", "a"},           {U"", 0, false, "none", ""},
        {U"\U0001F600x", 0, false, "#\U0001F600", "x"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            SCOPED_TRACE(c.taken);
            Cell s = text_of(c.text, unit);
            Cell r = s;
            Cell part = integer(c.part);
            string::take(&r, c.part ? &part : nullptr, false, c.last);
            EXPECT_EQ(shown(r), c.taken);
            if (c.part) {
                EXPECT_TRUE(r.is(TYPE_STRING));
            }
            EXPECT_EQ(utf8(s), c.left);
        }
    }
}

// ---- trim ----------------------------------------------------------------------------------------------

TEST(StringTrim, EveryRefinement) {
    struct Case {
        const char* name;
        std::u32string text;
        bool head, tail, lines, all;
        const char* with;
        std::u32string expected;
    } cases[] = {
        {"ends", U"  a  b  ", false, false, false, false, nullptr, U"a  b"},
        {"line feeds at the end keep one", U"a  \n \n", false, false, false, false, nullptr, U"a\n"},
        {"tail keeps none", U"a  \n \n", false, true, false, false, nullptr, U"a"},
        {"head", U"  a  ", true, false, false, false, nullptr, U"a  "},
        {"tail", U"  a  ", false, true, false, false, nullptr, U"  a"},
        {"head and tail", U" \n a \n ", true, true, false, false, nullptr, U"a"},
        {"line ends", U"  x  \n   y  \n", false, false, false, false, nullptr, U"x\ny\n"},
        {"inner blank lines stay", U"x \n\n y", false, false, false, false, nullptr, U"x\n\ny"},
        {"unicode spaces", U"\u3000a\u00a0b\u2009", false, false, false, false, nullptr, U"a\u00a0b"},
        {"lines", U" a \n\t b  c ", false, false, true, false, nullptr, U"a b c"},
        {"all", U" a b\tc\n\rd", false, false, false, true, nullptr, U"abcd"},
        {"with", U"a-b_c-", false, false, false, false, "-_", U"abc"},
        {"with wide", U"\u20ACx\u20ACy", false, false, false, false, "\u20AC", U"xy"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << c.name << " unit " << unit);
            Cell s = text_of(c.text, unit);
            Cell with = text(c.with ? c.with : "");
            string::trim(&s, c.head, c.tail, false, c.lines, c.all, c.with ? &with : nullptr);
            EXPECT_EQ(points(s), c.expected);
        }
    }
}

TEST(StringTrim, FromTheHeadWithCharsAndErrors) {
    Cell s = at_head(text("xx  a  "), 2);
    string::trim(&s, false, false, false, false, false, nullptr);
    EXPECT_EQ(whole(s), "xxa") << "only the text from the head is trimmed";
    Cell banana = text("banana"), a = chr('a');
    string::trim(&banana, false, false, false, false, false, &a);
    EXPECT_EQ(utf8(banana), "bnn");
    Cell abc = text("abc"), b = integer('b');
    string::trim(&abc, false, false, false, false, false, &b);
    EXPECT_EQ(utf8(abc), "ac");
    EXPECT_EQ(raised([&] { string::trim(&abc, false, false, true, false, false, nullptr); }), "internal/not-done");
    Cell blk = block_of({});
    EXPECT_EQ(raised([&] { string::trim(&abc, false, false, false, false, false, &blk); }), "script/invalid-arg");
}

// ---- set operations -------------------------------------------------------------------------------------

TEST(StringSetOperations, RecordsJudgedByTheirFirstCharacter) {
    struct Case {
        int32_t op;
        const char *a, *b;
        bool case_;
        int32_t skip;
        const char* expected;
    } cases[] = {
        {8, "abcab", nullptr, false, 0, "abc"},
        {8, "aAb", nullptr, false, 0, "ab"},
        {8, "aAb", nullptr, true, 0, "aAb"},
        {9, "ab", "bcA", false, 0, "abc"},
        {10, "abcd", "dbx", false, 0, "bd"},
        {11, "abcd", "Bx", false, 0, "acd"},
        {11, "abcd", "Bx", true, 0, "abcd"},
        {12, "abc", "bcd", false, 0, "ad"},
        {8, "a1b2a3", nullptr, false, 2, "a1b2"},
        {10, "a1b2c3", "c9a8", false, 2, "a1c3"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 4}) {
            SCOPED_TRACE(testing::Message() << "op " << c.op << " " << c.a);
            Cell a = text(c.a, unit), b = text(c.b ? c.b : "", unit), skip = integer(c.skip);
            Cell original = a;
            string::set_operation(&a, c.b ? &b : nullptr, c.op, c.case_, c.skip ? &skip : nullptr);
            EXPECT_EQ(utf8(a), c.expected);
            EXPECT_TRUE(a.is(TYPE_STRING));
            EXPECT_EQ(utf8(original), c.a) << "the first argument's text stays";
        }
    }
    Cell f = text("aab", 1, TYPE_FILE), zero = integer(0);
    string::set_operation(&f, nullptr, 8, false, nullptr);
    EXPECT_TRUE(f.is(TYPE_FILE));
    EXPECT_EQ(raised([&] { string::set_operation(&f, nullptr, 8, false, &zero); }), "script/invalid-refine-arg");
}

// ---- make, to, paths ----------------------------------------------------------------------------------

TEST(StringMakeTo, Conversions) {
    ScratchNumbers numbers;
    Cell out;
    Cell ten = integer(10);
    string::make(&out, &ten, TYPE_STRING);
    EXPECT_TRUE(out.is(TYPE_STRING));
    EXPECT_EQ(utf8(out), "");
    EXPECT_GE(memory::buffer_of(out.data2)->size, 10u);
    Cell minus = integer(-1), half = real(2.5);
    EXPECT_EQ(raised([&] { string::make(&out, &minus, TYPE_STRING); }), "script/out-of-range");
    string::make(&out, &half, TYPE_FILE);
    EXPECT_TRUE(out.is(TYPE_FILE));
    Cell n = none_cell();
    EXPECT_EQ(raised([&] { string::to(&out, &n, TYPE_STRING); }), "script/bad-to-arg");

    struct Case {
        Cell spec;
        Type type;
        const char* expected;
    } cases[] = {
        {block_of({w("a"), integer(1), text("b")}), TYPE_STRING, "a1b"},
        {text("xy", 1, TYPE_FILE), TYPE_STRING, "xy"},
        {at_head(text("hello"), 2), TYPE_FILE, "llo"},
        {w("ref", TYPE_REFINEMENT), TYPE_STRING, "ref"},
        {w("ref", TYPE_REFINEMENT), TYPE_FILE, "/ref"},
        {w("word"), TYPE_STRING, "word"},
        {integer(12), TYPE_STRING, "12"},
    };
    for (Case& c : cases) {
        string::to(&out, &c.spec, c.type);
        EXPECT_EQ(out.type(), c.type);
        EXPECT_EQ(out.data1, 0u);
        EXPECT_EQ(utf8(out), c.expected);
    }
    Cell copied = text("abc");
    string::to(&out, &copied, TYPE_STRING);
    EXPECT_NE(out.data2, copied.data2) << "a copy";
    uint32_t node = memory::new_bytes(8);
    memory::Buffer* b = memory::buffer_of(node);
    const uint8_t bytes[] = {'x', 0xC3, 0xA9, 0xFF};
    std::memcpy(b->head_ptr(), bytes, 4);
    b->tail = b->offset + 3;
    Cell bin{uint32_t(TYPE_BINARY), 0, node, 0};
    string::to(&out, &bin, TYPE_STRING);
    EXPECT_EQ(points(out), std::u32string(U"x\u00e9"));
    b->tail = b->offset + 4;
    EXPECT_EQ(raised([&] { string::to(&out, &bin, TYPE_STRING); }), "access/invalid-utf8");
}

TEST(StringPaths, PickPokeAndSelect) {
    Cell path = block_of({});
    auto step = [&](Cell s, Cell element, Cell* value) {
        string::eval_path(&s, &element, value, &path, nullptr, nullptr, 0, false, false, true, false);
        return s;
    };
    Cell s = text("abc");
    EXPECT_EQ(shown(step(s, integer(2), nullptr)), "#b");
    EXPECT_EQ(shown(step(s, integer(5), nullptr)), "none");
    EXPECT_EQ(shown(step(s, text("B"), nullptr)), "#c");
    Cell x = chr(0x20AC);
    EXPECT_EQ(shown(step(s, integer(2), &x)), "#\u20AC") << "setting answers the value";
    EXPECT_EQ(points(s), std::u32string(U"a\u20ACc"));
    Cell y = chr('Y');
    step(s, chr('a'), &y);
    EXPECT_EQ(points(s), std::u32string(U"aYc")) << "set after the element found";
    EXPECT_EQ(raised([&] { step(s, text("q"), &y); }), "script/bad-path-set");
    EXPECT_EQ(raised([&] { step(s, w("a"), nullptr); }), "script/invalid-path");
    EXPECT_EQ(raised([&] { step(s, integer(9), &y); }), "script/out-of-range");
}

TEST(StringCase, UppercaseAndLowercaseThroughCasing) {
    struct Case {
        std::u32string text;
        int32_t part;  // -1: all
        bool upper;
        std::u32string expected;
        int unit_after;
    } cases[] = {
        {U"hello", 2, true, U"HEllo", 1},
        {U"HELLO", -1, false, U"hello", 1},
        {U"\u00e9t\u00e9", -1, true, U"\u00c9T\u00c9", 1},
        {U"\u00ff", -1, true, U"\u0178", 2},  // its capital needs 2 bytes
        {U"\u0101\U00010428", -1, true, U"\u0100\U00010400", 4},
    };
    for (const Case& c : cases) {
        Cell s = text_of(c.text, 1);
        Cell part = integer(c.part);
        casing::change_case(&s, c.part >= 0 ? &part : nullptr, c.upper);
        EXPECT_EQ(points(s), c.expected);
        EXPECT_EQ(unit_of(s), c.unit_after);
    }
}

TEST(StringRow, OwnInheritedAndUnsupportedSlots) {
    EXPECT_EQ(datatype::action<A_APPEND>(TYPE_STRING), &string::append);
    EXPECT_EQ(datatype::action<A_TRIM>(TYPE_STRING), &string::trim);
    EXPECT_EQ(datatype::action<A_TAKE>(TYPE_STRING), &string::take);
    EXPECT_EQ(datatype::action<A_LENGTH_Q>(TYPE_STRING), &series::length_q);
    EXPECT_EQ(datatype::action<A_REMOVE>(TYPE_STRING), &series::remove);
    for (int slot : {A_SET_PATH, A_ADD, A_PUT, A_OPEN, A_READ, A_WRITE, A_DELETE})
        EXPECT_EQ(datatype::entry(TYPE_STRING, slot), nullptr) << slot;
    Cell s = text("ab");
    EXPECT_EQ(raised([&] { actions::get<A_PUT>(&s); }), "script/expect-arg");
}
