// String storage, the internal text routines, molding, forming and comparison.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/series.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/unicode.hpp"
#include "string_fixtures.hpp"

using namespace kro;
using namespace kro::testing_strings;
using testing_blocks::block_of;
using testing_blocks::chr;
using testing_blocks::form_text;
using testing_blocks::mold_text;
using testing_blocks::raised;

namespace {

constexpr char32_t E_ACUTE = 0xE9, EURO = 0x20AC, GRIN = 0x1F600;

memory::Buffer* buf(const Cell& s) { return memory::buffer_of(s.data2); }

}  // namespace

// ---- storage ------------------------------------------------------------------------------

TEST(StringStorage, WideningThresholdsOfEachWriter) {
    enum Writer { APPEND, POKE, INSERT, OVERWRITE };
    struct Case {
        Writer writer;
        int unit;
        char32_t cp;
        int expected_unit;
    } cases[] = {
        {APPEND, 1, 'A', 1},      {APPEND, 1, 127, 1},      {APPEND, 1, 128, 2},  {APPEND, 1, E_ACUTE, 2},
        {APPEND, 1, EURO, 2},     {APPEND, 1, GRIN, 4},     {APPEND, 2, GRIN, 4}, {APPEND, 2, EURO, 2},
        {POKE, 1, E_ACUTE, 1},    {POKE, 1, 255, 1},        {POKE, 1, 256, 2},    {POKE, 1, EURO, 2},
        {POKE, 1, GRIN, 4},       {POKE, 2, GRIN, 4},       {POKE, 4, 'x', 4},
        {INSERT, 1, E_ACUTE, 1},  {INSERT, 1, EURO, 2},     {INSERT, 1, GRIN, 4}, {INSERT, 2, GRIN, 4},
        {OVERWRITE, 1, E_ACUTE, 1}, {OVERWRITE, 1, EURO, 2}, {OVERWRITE, 1, GRIN, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "writer " << c.writer << " unit " << c.unit << " cp " << uint32_t(c.cp));
        Cell s = text_of(U"abc", c.unit);
        std::u32string expected;
        switch (c.writer) {
            case APPEND: string::append_char(buf(s), c.cp); expected = std::u32string(U"abc") + c.cp; break;
            case POKE: string::poke_char(buf(s), 1, c.cp); expected = std::u32string(U"a") + c.cp + U"c"; break;
            case INSERT: string::insert_char(buf(s), 1, c.cp); expected = std::u32string(U"a") + c.cp + U"bc"; break;
            case OVERWRITE: string::overwrite_char(buf(s), 3, c.cp); expected = std::u32string(U"abc") + c.cp; break;
        }
        EXPECT_EQ(unit_of(s), c.expected_unit);
        EXPECT_EQ(points(s), expected);
    }
}

TEST(StringStorage, OverwriteFarPastTheTailGrowsUntilItFits) {
    // Writing far beyond what two growths reach used to write past the buffer.
    Cell s = text_of(U"ab", 1);
    string::overwrite_char(buf(s), 5000, EURO);
    ASSERT_EQ(string::ks_full_length(&s), 5001u);
    EXPECT_EQ(unit_of(s), 2);
    EXPECT_EQ(string::char_at(&s, 0), uint32_t('a'));
    EXPECT_EQ(string::char_at(&s, 1), uint32_t('b'));
    EXPECT_EQ(string::char_at(&s, 2), 0u) << "the units skipped over are zeros";
    EXPECT_EQ(string::char_at(&s, 4999), 0u);
    EXPECT_EQ(string::char_at(&s, 5000), uint32_t(EURO));
    EXPECT_LE(buf(s)->tail, buf(s)->size);
}

TEST(StringStorage, NavigationResetAndRemoval) {
    Cell s = text_of(U"h\u00e9llo w\U0001F600rld", 4);
    EXPECT_EQ(string::ks_length(&s), 11u);
    EXPECT_FALSE(string::ks_skip(&s, 3));
    EXPECT_EQ(s.data1, 3u);
    EXPECT_FALSE(string::ks_skip(&s, 20)) << "a skip past the tail does not move";
    EXPECT_EQ(s.data1, 3u);
    EXPECT_TRUE(string::ks_skip(&s, 8));
    EXPECT_EQ(string::ks_find_char(&s, 'r'), -1) << "nothing from a head at the tail";
    s.data1 = 40;
    EXPECT_EQ(string::ks_head(&s), string::ks_tail(&s));
    EXPECT_EQ(s.data1, 11u) << "ks_head writes the clamped head back";
    s.data1 = 2;
    EXPECT_EQ(string::ks_find_char(&s, GRIN), 5);
    EXPECT_TRUE(string::ks_has_char(&s, 'L', 1, false));
    EXPECT_FALSE(string::ks_has_char(&s, 'L', 1, true));
    EXPECT_FALSE(string::ks_has_char(&s, 'o', 3, true)) << "every third from the head: l, blank, r";
    EXPECT_TRUE(string::ks_has_char(&s, 'r', 3, true));

    string::ks_remove(&s, 1, 3);
    EXPECT_EQ(points(at_head(s, 0)), std::u32string(U"ho w\U0001F600rld"));
    string::ks_remove(&s, 7, 99);  // cut to what lies there
    EXPECT_EQ(points(at_head(s, 0)), std::u32string(U"ho w\U0001F600rl"));
    string::ks_remove_char(&s, 40);  // past the tail: nothing
    EXPECT_EQ(string::ks_full_length(&s), 7u);

    string::ks_reset(&s);
    EXPECT_EQ(unit_of(s), 1) << "clearing a 4-byte string makes it 1 byte wide again";
    EXPECT_EQ(s.data1, 0u);
    EXPECT_EQ(string::ks_full_length(&s), 0u);
}

TEST(StringStorage, StartsWith) {
    Cell s = text("abcdef");
    EXPECT_TRUE(string::ks_starts_with(&s, "abc"));
    EXPECT_TRUE(string::ks_starts_with(&s, ""));
    EXPECT_FALSE(string::ks_starts_with(&s, "abd"));
    EXPECT_FALSE(string::ks_starts_with(&s, "ABC")) << "case counts";
    Cell shorter = text("ab");
    EXPECT_FALSE(string::ks_starts_with(&shorter, "abc")) << "every character matches but the string is shorter";
    Cell wide = text_of(U"\u0161abc", 2);
    EXPECT_FALSE(string::ks_starts_with(&wide, "a"));
}

TEST(StringStorage, HexadecimalText) {
    struct Case {
        int32_t value;
        bool trim;
        const char* text;
    } cases[] = {
        {0, true, "00"},        {255, true, "FF"},          {255, false, "000000FF"}, {-2, false, "FFFFFFFE"},
        {0x1E, true, "1E"},     {0x20AC, true, "20AC"},     {0x1F600, true, "1F600"}, {0x100, true, "100"},
        {0, false, "00000000"}, {-1, false, "FFFFFFFF"},    {0x7FFFFFFF, true, "7FFFFFFF"},
        {int32_t(0x80000000), false, "80000000"},
    };
    for (const Case& c : cases) EXPECT_EQ(string::int_to_hex(c.value, c.trim), c.text) << c.value;
    EXPECT_EQ(string::byte_to_hex(0), "00");
    EXPECT_EQ(string::byte_to_hex(0xA7), "A7");
}

TEST(StringStorage, SwapRunsLeavesAGapBetween) {
    struct Case {
        std::string run1, run2;
        uint32_t gap;
    } cases[] = {{"ab", "XYZW", 0}, {"abcd", "XY", 0}, {"abc", "XY", 2}, {"a", "XYZ", 3}, {"", "XY", 1}};
    for (const Case& c : cases) {
        std::string area = c.run1 + c.run2 + std::string(c.gap, '.');
        string::swap_runs(reinterpret_cast<uint8_t*>(area.data()), uint32_t(c.run1.size()),
                          reinterpret_cast<uint8_t*>(area.data()) + c.run1.size(), uint32_t(c.run2.size()), c.gap);
        EXPECT_EQ(area.substr(0, c.run2.size()), c.run2);
        EXPECT_EQ(area.substr(c.run2.size() + c.gap), c.run1);
    }
    // Runs larger than the scratch area still come out whole.
    std::vector<uint8_t> area(200000 + 150000);
    for (size_t i = 0; i < area.size(); i++) area[i] = uint8_t(i * 7 + (i < 200000 ? 1 : 3));
    std::vector<uint8_t> original = area;
    string::swap_runs(area.data(), 200000, area.data() + 200000, 150000, 0);
    EXPECT_TRUE(std::equal(area.begin(), area.begin() + 150000, original.begin() + 200000));
    EXPECT_TRUE(std::equal(area.begin() + 150000, area.end(), original.begin()));
}

TEST(StringStorage, ConcatenateInEachModeAcrossWidths) {
    struct Case {
        int mode;
        std::u32string target, source;
        int target_unit, source_unit;
        uint32_t head, offset;
        int32_t part;
        std::u32string expected;
    } cases[] = {
        {string::APPEND, U"ab", U"cd", 1, 1, 0, 0, -1, U"abcd"},
        {string::APPEND, U"ab", U"c\u20ACd", 1, 2, 1, 0, -1, U"abc\u20ACd"},
        {string::APPEND, U"a\U0001F600", U"xyz", 4, 1, 0, 0, 2, U"a\U0001F600xy"},
        {string::INSERT, U"abcd", U"XY", 1, 1, 1, 1, -1, U"abXYcd"},
        {string::INSERT, U"abcd", U"\u20AC", 1, 2, 0, 4, -1, U"abcd\u20AC"},
        {string::OVERWRITE, U"abcd", U"XY", 1, 1, 0, 1, -1, U"aXYd"},
        {string::OVERWRITE, U"abcd", U"XYZ", 2, 1, 2, 0, -1, U"abXYZ"},
        {string::OVERWRITE, U"abcd", U"XYZ", 1, 4, 0, 3, 1, U"abcX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " expected size " << c.expected.size());
        Cell t = at_head(text_of(c.target, c.target_unit), c.head);
        Cell s = text_of(c.source, c.source_unit);
        string::concatenate(&t, &s, c.part, c.offset, true, c.mode);
        EXPECT_EQ(points(at_head(t, 0)), c.expected);
        EXPECT_EQ(points(s), c.source) << "the source keeps its text";
        EXPECT_EQ(unit_of(s), c.source_unit) << "with keep_source the source keeps its unit";
    }
    // Without keep_source a narrower source is widened in place (same text).
    Cell t = text_of(U"\u20AC", 2), s = text_of(U"ab", 1);
    string::concatenate(&t, &s, -1, 0, false, string::APPEND);
    EXPECT_EQ(unit_of(s), 2);
    EXPECT_EQ(points(s), std::u32string(U"ab"));
    // A symbol's spelling serves as a source, and the string itself as well.
    Cell sym = *symbol::get(symbol::make("word"));
    Cell u = text("x");
    string::concatenate(&u, &sym, -1, 0, true, string::APPEND);
    EXPECT_EQ(utf8(u), "xword");
    Cell self = at_head(text("abc"), 1);
    string::concatenate(&self, &self, -1, 0, true, string::INSERT);
    EXPECT_EQ(utf8(at_head(self, 0)), "abcbc") << "text taken from the gap's own buffer keeps its order";
}

TEST(StringStorage, WidenCopy) {
    Cell src = text_of(U"ab\u00e9d", 1);
    Cell dst = text_of(U"XYZ", 4);
    memory::Buffer* out = string::widen_copy(buf(src), buf(dst), 0, 4, 1, 1, 3, false);
    EXPECT_EQ(out, buf(dst));
    EXPECT_EQ(points(dst), std::u32string(U"Xb\u00e9")) << "source units 1 and 2 at unit 1 of the destination";
    // No destination: the source buffer itself is rebuilt at the new unit.
    Cell whole = text_of(U"h\u00e9llo", 1);
    string::widen_copy(buf(whole), nullptr, 64, 2, 0, 0, 0, false);
    EXPECT_EQ(unit_of(whole), 2);
    EXPECT_EQ(points(whole), std::u32string(U"h\u00e9llo"));
}

TEST(StringStorage, LoadingExternalText) {
    const char* bytes = "a\xC3\xA9\xE2\x82\xAC";
    Cell* s = string::load(reinterpret_cast<const uint8_t*>(bytes), uint32_t(std::strlen(bytes)), string::ENCODING_UTF8);
    EXPECT_EQ(points(*s), std::u32string(U"a\u00e9\u20AC"));
    stack::pop(1);
    const uint8_t utf16[] = {'h', 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE};
    Cell t;
    string::load_at(utf16, sizeof utf16, &t, string::ENCODING_UTF16LE);
    EXPECT_EQ(points(t), std::u32string(U"h\u20AC\U0001F600"));

    // An encoding the loaders do not know is an error, not the end of the process.
    EXPECT_EQ(raised([&] { string::load_at(utf16, 2, &t, 7); }), "script/invalid-arg");
    ASSERT_EQ(last_raised().nargs, 1);
    EXPECT_EQ(int32_t(last_raised().args[0].data2), 7);

    Cell blk = block_of({});
    string::load_in(reinterpret_cast<const uint8_t*>("xy"), 2, &blk, string::ENCODING_UTF8);
    ASSERT_EQ(block::length(&blk), 1);
    EXPECT_EQ(utf8(*block::at(&blk, 0)), "xy");
}

TEST(StringStorage, CheckedUtf8NamesTheBytesFromTheFirstBadOne) {
    const uint8_t good[] = {'o', 'k', 0xC3, 0xA9};
    Cell* s = string::load_utf8_checked(good, sizeof good);
    EXPECT_EQ(points(*s), std::u32string(U"ok\u00e9"));
    stack::pop(1);
    struct Case {
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> named;
    } cases[] = {
        {{'a', 'b', 0xFF, 'c', 'd'}, {0xFF, 'c', 'd'}},
        {{'a', 0xED, 0xB0, 0x80, 'z'}, {0xED, 0xB0, 0x80, 'z'}},  // a trail surrogate
        {{'a', 'b', 0xE2, 0x82}, {0xE2, 0x82}},                     // cut inside a sequence
    };
    for (const Case& c : cases) {
        EXPECT_EQ(raised([&] { string::load_utf8_checked(c.bytes.data(), uint32_t(c.bytes.size())); }),
                  "access/invalid-utf8");
        const Cell& bin = last_raised().args[0];
        ASSERT_TRUE(bin.is(TYPE_BINARY));
        memory::Buffer* b = memory::buffer_of(bin.data2);
        EXPECT_EQ(std::vector<uint8_t>(b->head_ptr(), b->tail_ptr()), c.named);
    }
}

TEST(StringStorage, ScanFloat) {
    EXPECT_EQ(string::scan_float("12.5", 4), 12.5);
    EXPECT_EQ(string::scan_float("-1e3xyz", 4), -1000.0);
    EXPECT_EQ(string::scan_float("3.25", 3), 3.2) << "only the span counts";
}

// ---- mold and form ---------------------------------------------------------------------------

TEST(StringMold, QuotesBracesAndEscapes) {
    struct Case {
        std::u32string text;
        const char* molded;
        bool all;
    } cases[] = {
        {U"abc", "\"abc\"", false},
        {U"", "\"\"", false},
        {U"say \"hi\"", "{say \"hi\"}", false},
        {U"a\nb\nc", "\"a^/b^/c\"", false},
        {U"a\nb\nc\nd", "{a^/b^/c^/d}", false},
        {U"a{b", "\"a{b\"", false},
        {U"a}b", "\"a}b\"", false},
        {U"\"x{y}z", "{\"x{y}z}", false},
        {U"\"a{b", "{\"a^{b}", false},
        {U"\"a}b", "{\"a^}b}", false},
        {U"\"{a{b}", "{\"^{a^{b^}}", false},  // after one unmatched brace every later one is escaped
        {U"\"{a}{b}", "{\"{a}{b}}", false},
        {U"\"^\t", "{\"^^^-}", false},
        {U"\x1E", "\"^(1E)\"", false},
        {U"\x85", "\"^(85)\"", false},
        {U"\x9F\x80", "\"^(9F)^(80)\"", false},
        {U"\x7F", "\"^~\"", false},
        {U"\u00e9", "\"\u00e9\"", false},
        {U"\u00e9", "\"^(E9)\"", true},
        {U"\u00a0x", "\"\u00a0x\"", false},
        {U"\u20AC\U0001F600", "\"\u20AC\U0001F600\"", false},
        {U"\u20AC\U0001F600", "\"^(20AC)^(1F600)\"", true},
        {U"a\tb^c\"", "{a^-b^^c\"}", false},
        {std::u32string{0x00, 0x01, 0x08, 0x1B, 0x1C, 0x1D, 0x1F}, "\"^@^A^H^[^\\^]^_\"", false},
        {U"^", "\"^^\"", false},
        {U"\x7F", "\"^~\"", true},
        {U"\"", "{\"}", false},
    };
    for (int unit : {1, 2, 4}) {
        for (const Case& c : cases) {
            if (unit == 1 && c.text.find_first_of(U"\u20AC\U0001F600") != std::u32string::npos) continue;
            SCOPED_TRACE(testing::Message() << "unit " << unit << ": " << c.molded);
            EXPECT_EQ(mold_text(text_of(c.text, unit), false, false, -1, nullptr, c.all), c.molded);
        }
    }
}

TEST(StringMold, EveryControlCharacter) {
    std::u32string controls;
    for (char32_t c = 0; c < 0x20; c++) controls += c;
    EXPECT_EQ(mold_text(text_of(controls)),
              "\"^@^A^B^C^D^E^F^G^H^-^/^K^L^M^N^O^P^Q^R^S^T^U^V^W^X^Y^Z^[^\\^]^(1E)^_\"");
    std::u32string high;
    for (char32_t c = 0x7E; c < 0xA2; c++) high += c;
    std::string expected = "\"~^~";
    for (int c = 0x80; c < 0xA0; c++) expected += "^(" + string::int_to_hex(c, true) + ")";
    expected += "\u00a0\u00a1\"";
    EXPECT_EQ(mold_text(text_of(high, 1)), expected);
    EXPECT_EQ(mold_text(text_of(high, 2)), expected);
}

TEST(StringMold, LengthDecidesBraces) {
    // 49 characters mold in quotes, 50 in braces; what counts is the length
    // from the head, not the span molded.
    auto around = [](char open, size_t n, char close) { return std::string(1, open).append(n, 'x').append(1, close); };
    EXPECT_EQ(mold_text(text(std::string(49, 'x'))), around('"', 49, '"'));
    EXPECT_EQ(mold_text(text(std::string(50, 'x'))), around('{', 50, '}'));
    EXPECT_EQ(mold_text(at_head(text(std::string(52, 'x')), 3)), around('"', 49, '"'));
    int32_t left = 0;
    EXPECT_EQ(mold_text(text(std::string(60, 'x')), false, false, 5, &left), "{xxxxx}");
    EXPECT_EQ(left, 5 - 5 - 2);
    EXPECT_EQ(mold_text(text("a\nb\nc\nd"), false, false, 3, &left), "\"a^/b\"")
        << "the line feeds counted are those of the span";
    EXPECT_EQ(left, 3 - 3 - 2);
}

TEST(StringMold, FormIsTheTextItself) {
    int32_t left = 0;
    EXPECT_EQ(form_text(text_of(U"a\"b\n\u00e9", 1)), "a\"b\n\u00e9");
    EXPECT_EQ(form_text(at_head(text_of(U"abcdef\U0001F600", 4), 2), 3, &left), "cde");
    EXPECT_EQ(left, 3 - 5) << "the budget loses the whole length from the head";
    // Forming converts widths without widening the string formed.
    Cell narrow = text_of(U"ab", 1);
    Cell out = text_of(U"\u20AC", 2);
    string::form(&narrow, &out, nullptr, mold::NO_LIMIT);
    EXPECT_EQ(points(out), std::u32string(U"\u20ACab"));
    EXPECT_EQ(unit_of(narrow), 1);
}

// ---- comparison ----------------------------------------------------------------------------

TEST(StringCompare, OrderAndEqualityAcrossWidthsAndCase) {
    struct Case {
        std::u32string a, b;
        int32_t op, expected;
    } cases[] = {
        {U"abc", U"ABC", actions::EQUAL, 0},
        {U"abc", U"ABC", actions::STRICT_EQUAL, 1},
        {U"abc", U"abc", actions::STRICT_EQUAL, 0},
        {U"abc", U"ABC", actions::NOT_EQUAL, 0},
        {U"a", U"_", actions::LESSER, -1},  // 'a' compares as 'A'
        {U"abc", U"abd", actions::LESSER, -1},
        {U"abd", U"abc", actions::GREATER, 1},
        {U"ab", U"abc", actions::EQUAL, 1},
        {U"ab", U"abc", actions::LESSER, -1},
        {U"abc", U"ab", actions::GREATER, 1},
        {U"b", U"abc", actions::GREATER, 1},
        {U"a", U"", actions::LESSER, 1},
        {U"", U"a", actions::LESSER, -1},
        {U"", U"", actions::EQUAL, 0},
        {U"a", U"B", actions::SORT, -1},
        {U"a", U"B", actions::CASE_SORT, 1},
        {U"\u00e9t\u00e9", U"\u00c9T\u00c9", actions::EQUAL, 0},
        {U"\u00e9t\u00e9", U"\u00c9T\u00c9", actions::STRICT_EQUAL, 1},
        {U"\u0101", U"\u00e9", actions::GREATER, 1},
        {U"x\U0001F600", U"X\U0001F600", actions::FIND, 0},
        {U"abc", U"abc", actions::SAME, -1},  // equal text in another buffer is not the same
    };
    for (const Case& c : cases) {
        for (int ua : {1, 2, 4}) {
            for (int ub : {1, 4}) {
                SCOPED_TRACE(testing::Message() << "op " << c.op << " units " << ua << "/" << ub);
                Cell a = text_of(c.a, ua), b = text_of(c.b, ub);
                EXPECT_EQ(string::compare(&a, &b, c.op), c.expected);
            }
        }
    }
    Cell s = text("abc");
    Cell same = s;
    EXPECT_EQ(string::compare(&s, &same, actions::SAME), 0);
    Cell later = at_head(s, 1);
    EXPECT_EQ(string::compare(&s, &later, actions::SAME), -1);
    EXPECT_EQ(string::compare(&later, &s, actions::LESSER), 1) << "\"bc\" after \"abc\"";
}

TEST(StringCompare, TextTypesMeetOnlyForEquality) {
    Cell f = text("a", 1, TYPE_FILE), s = text("A"), u = text("a", 1, TYPE_URL);
    EXPECT_EQ(string::compare(&f, &s, actions::EQUAL), 0);
    EXPECT_EQ(string::compare(&f, &s, actions::NOT_EQUAL), 0);
    EXPECT_EQ(string::compare(&f, &s, actions::LESSER), -2);
    EXPECT_EQ(string::compare(&f, &u, actions::STRICT_EQUAL), -2);
    Cell n = integer(1);
    EXPECT_EQ(string::compare(&s, &n, actions::EQUAL), -2);
    EXPECT_TRUE(actions::compare(&f, &s, actions::EQUAL));
    EXPECT_EQ(raised([&] { actions::compare(&f, &s, actions::LESSER); }), "script/invalid-compare");
    Cell b = text("b");
    EXPECT_EQ(raised([&] { actions::compare(&s, &n, actions::LESSER); }), "script/invalid-compare");
    EXPECT_TRUE(actions::compare(&s, &b, actions::LESSER));
}

TEST(StringCompare, MatchSymbolsAndSlices) {
    Cell s = text("Hello world");
    Cell he = text("hEL");
    EXPECT_EQ(string::compare_text(&s, &he, actions::EQUAL, true), 0) << "a prefix matches";
    EXPECT_EQ(string::compare_text(&s, &he, actions::STRICT_EQUAL, true), -1) << "'H' before 'h'";
    Cell empty = text("");
    EXPECT_EQ(string::compare_text(&s, &empty, actions::FIND, true), 1);
    EXPECT_EQ(string::compare_text(&s, &empty, actions::EQUAL, true), 0);
    EXPECT_EQ(string::compare_text(&he, &s, actions::EQUAL, true), 1) << "the first is shorter";

    Cell sym = *symbol::get(symbol::make("hello"));
    Cell word = text("HELLO");
    EXPECT_EQ(string::compare_text(&word, &sym, actions::EQUAL, false), 0);
    EXPECT_EQ(string::compare_text(&sym, &word, actions::STRICT_EQUAL, false), 1);

    // A text slice is its data3 characters long.
    Cell slice = s;
    slice.header = hash::TEXT_SLICE;
    slice.data3 = 5;
    Cell hello = text("HELLO");
    EXPECT_EQ(string::compare_text(&hello, &slice, actions::EQUAL, false), 0);
    slice.data3 = uint32_t(-1);
    EXPECT_EQ(string::compare_text(&hello, &slice, actions::EQUAL, false), 1);
}

TEST(StringCompare, SortComparators) {
    struct Case {
        std::u32string a, b;
        intptr_t exact;
        uint32_t flags;
        int sign;
    } cases[] = {
        {U"a", U"B", 0, 0, -1},   {U"a", U"B", 1, 0, 1},    {U"a", U"B", 0, 1, 1},     {U"A", U"a", 0, 0, 0},
        {U"_", U"a", 0, 0, -1},   // the 1-byte order folds to lower case
        {U"xa", U"yb", 0, 1 << 2, -1},      // the character at offset 1
        {U"ab", U"ac", 0, 2 | (1 << 2), 0},  // a record of one character
        {U"ab", U"ac", 0, 2 | (2 << 2), -1}, // a record of two
        {U"ab", U"ac", 0, 3 | (2 << 2), 1},  // reversed
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << "unit " << unit << " flags " << c.flags);
            Cell a = text_of(c.a, unit), b = text_of(c.b, unit);
            auto cmp = unit == 1 ? &string::sort_compare_1 : unit == 2 ? &string::sort_compare_2 : &string::sort_compare_4;
            int r = cmp(string::ks_head(&a), string::ks_head(&b), c.exact, c.flags);
            int expected = c.sign;
            if (unit > 1 && c.a == U"_") expected = 1;  // wider units fold to upper case: '_' after 'A'
            EXPECT_EQ((r > 0) - (r < 0), expected);
        }
    }
    Cell e1 = text_of(U"\u00e9", 2), e2 = text_of(U"\u00c9", 2);
    EXPECT_EQ(string::sort_compare_2(string::ks_head(&e1), string::ks_head(&e2), 0, 0), 0);
}

// ---- parse helpers ----------------------------------------------------------------------------

TEST(StringParseHelpers, BitsetTagAndHeadMatches) {
    // A bitset over the bytes 0-15: bits for 'A' (65) and 'a' (97).
    uint32_t node = memory::new_bytes(16);
    memory::Buffer* b = memory::buffer_of(node);
    std::memset(b->head_ptr(), 0, 16);
    b->head_ptr()[65 >> 3] |= 0x80 >> (65 & 7);
    b->head_ptr()[97 >> 3] |= 0x80 >> (97 & 7);
    b->tail = b->offset + 16;
    Cell bits{uint32_t(TYPE_BITSET), 0, node, 0};
    Cell a = text("abc"), z = text("zz"), wide = text_of(U"\u20AC", 2);
    EXPECT_TRUE(string::head_in_bitset(&a, &bits));
    EXPECT_FALSE(string::head_in_bitset(&z, &bits));
    EXPECT_FALSE(string::head_in_bitset(&wide, &bits)) << "beyond the bits: the complement flag, off";
    b->flags |= memory::FLAG_COMPLEMENT;
    EXPECT_TRUE(string::head_in_bitset(&wide, &bits));

    Cell tagged = text("<b>rest");
    Cell tag = text("b", 1, TYPE_TAG), longer = text("bb", 1, TYPE_TAG);
    EXPECT_TRUE(string::tag_around(&tagged, &tag));
    EXPECT_FALSE(string::tag_around(&tagged, &longer));
    EXPECT_TRUE(string::match_head(&tagged, &tag, actions::EQUAL));
    Cell other = text("c", 1, TYPE_TAG);
    EXPECT_FALSE(string::match_head(&tagged, &other, actions::EQUAL));

    Cell upper = chr('H'), hello = text("hello");
    EXPECT_TRUE(string::match_head(&hello, &upper, actions::EQUAL));
    EXPECT_FALSE(string::match_head(&hello, &upper, actions::STRICT_EQUAL));
    Cell prefix = text("HEL");
    EXPECT_TRUE(string::match_head(&hello, &prefix, actions::EQUAL));
    EXPECT_FALSE(string::match_head(&hello, &prefix, actions::STRICT_EQUAL));
}

TEST(StringHash, TextHashesIgnoreWidthAndCase) {
    Cell a = text_of(U"Stra\u00dfe", 1), b = text_of(U"STRA\u00dfE", 4);
    EXPECT_EQ(hash::value(&a), hash::value(&b));
    EXPECT_NE(hash::value(&a, true), hash::value(&b, true));
}
