// Loading text into values: every literal form of the words, paths, numbers,
// strings, chars, issues, files, urls, blocks and parens, molded back; escapes;
// line breaks; deep nesting; the registration point of the other modules'
// literals; and the datatypes' hooks that load text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "datatypes/context.hpp"
#include "foundation/collector.hpp"
#include "io/lexer_values.hpp"
#include "lexer_fixtures.hpp"

using namespace kro;
using namespace kro::testing_lexer;

namespace {

struct Case {
    const char* text;
    const char* molded;
};

void expect_molds(const Case* cases, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const Case& c = cases[i];
        EXPECT_EQ(loaded(c.text), c.molded) << c.text;
        // What is molded loads back to the same values.
        EXPECT_EQ(loaded(c.molded), c.molded) << c.text;
    }
}

// The first value loaded from the text.
Cell first(const std::string& text) {
    Transcoded t = transcode_value(text_of(text));
    EXPECT_EQ(t.error, "") << text;
    return t.value.is(TYPE_BLOCK) && block::length(&t.value) > 0 ? *block::at(&t.value, 0) : none::value;
}

}  // namespace

TEST(LexerLoad, Words) {
    const Case cases[] = {
        {"a a-b a? a.b .a +a ... --> ! ? _ ~x", "a a-b a? a.b .a +a ... --> ! ? _ ~x"},
        {"+ - * ** < <= >= <> = == =? >", "+ - * ** < <= >= <> = == =? >"},
        {"a: :a 'a", "a: :a 'a"},
        {"/ // '/ :/ /: % %%", "/ // '/ :/ /: % %%"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80x", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80x"},
        {"/a /a-b /1 /a/b", "/a /a-b /1 /a /b"},
        {"#a #1 #a-b #a#b #caf\xC3\xA9", "#a #1 #a-b #a#b #caf\xC3\xA9"},
        // Unicode blanks part words: the machine reads their bytes as letters.
        {"a\xC2\xA0" "b\xE3\x80\x80" "c:", "a b c:"},
    };
    expect_molds(cases, std::size(cases));

    struct Kind {
        const char* text;
        Type type;
        const char* spelling;
    };
    const Kind kinds[] = {
        {"a", TYPE_WORD, "a"},          {"a:", TYPE_SET_WORD, "a"},  {":a", TYPE_GET_WORD, "a"},
        {"'a", TYPE_LIT_WORD, "a"},     {"/a", TYPE_REFINEMENT, "a"}, {"#a", TYPE_ISSUE, "a"},
        {"/", TYPE_WORD, "/"},          {"'/", TYPE_LIT_WORD, "/"},   {":/", TYPE_GET_WORD, "/"},
        {"/:", TYPE_SET_WORD, "/"},     {"//", TYPE_WORD, "//"},      {"%", TYPE_WORD, "%"},
    };
    for (const Kind& k : kinds) {
        Cell v = first(k.text);
        EXPECT_EQ(v.type(), k.type) << k.text;
        EXPECT_EQ(symbol::name(int32_t(v.data2)), k.spelling) << k.text;
    }
    // Words are bound to the global context, refinements to nothing.
    EXPECT_EQ(first("a").data1, context::global);
    EXPECT_EQ(first("a:").data1, context::global);
    EXPECT_EQ(first("/a").data1, 0u);
}

TEST(LexerLoad, Paths) {
    const Case cases[] = {
        {"a/b a/b/c a/1 a/1/2 x/-1 x/1.5", "a/b a/b/c a/1 a/1/2 x/-1 x/1.5"},
        {"a/(b) a/(b c)/d a/\"c\" a/b/(c)/d:", "a/(b) a/(b c)/d a/\"c\" a/b/(c)/d:"},
        {"a/:b a/'b a/#d :a/b 'a/b a/b: a/b/c:", "a/:b a/'b a/#d :a/b 'a/b a/b: a/b/c:"},
        {"a/b/:c a/:b/:c :a/b/:c 'a/b/:c a/b/:c: a/1/:i/'j", "a/b/:c a/:b/:c :a/b/:c 'a/b/:c a/b/:c: a/1/:i/'j"},
        {"[a/b] (a/b) [a/b/1]", "[a/b] (a/b) [a/b/1]"},
        {"a/b:c", "a/b: c"},  // a set-path, then a word
    };
    expect_molds(cases, std::size(cases));

    struct Shape {
        const char* text;
        Type type;
        const char* elements;
    };
    const Shape shapes[] = {
        {"a/b", TYPE_PATH, "a b"},          {"'a/b", TYPE_LIT_PATH, "a b"},   {":a/b", TYPE_GET_PATH, "a b"},
        {"a/b:", TYPE_SET_PATH, "a b"},     {"a/1/(x)", TYPE_PATH, "a 1 (x)"}, {"a/:b/'c", TYPE_PATH, "a :b 'c"},
    };
    for (const Shape& s : shapes) {
        Cell v = first(s.text);
        EXPECT_EQ(v.type(), s.type) << s.text;
        Cell items = v;
        items.set_type(TYPE_BLOCK);
        EXPECT_EQ(cells(items), s.elements) << s.text;
    }
    Cell p = first("a/1");
    EXPECT_TRUE(block::at(&p, 1)->is(TYPE_INTEGER));
}

TEST(LexerLoad, Integers) {
    const Case cases[] = {
        {"0 1 -1 +1 007 -0", "0 1 -1 1 7 0"},
        {"1'000 1'000'000 1'", "1000 1000000 1"},
        {"2147483647 -2147483648", "2147483647 -2147483648"},
        // Beyond 32 bits, or more than 10 digits: a float.
        {"2147483648 -2147483649 12345678901 00000000001", "2147483648.0 -2147483649.0 12345678901.0 1.0"},
        {"FFh FFFFFFFFh 12h 7FFFFFFFh 00h 80000000h", "255 -1 18 2147483647 0 -2147483648"},
    };
    expect_molds(cases, std::size(cases));
    EXPECT_TRUE(first("-2147483648").is(TYPE_INTEGER));
    EXPECT_TRUE(first("1234567890").is(TYPE_INTEGER));
    EXPECT_TRUE(first("12345678901").is(TYPE_FLOAT));
    EXPECT_TRUE(first("2147483648").is(TYPE_FLOAT));
}

TEST(LexerLoad, Floats) {
    const Case cases[] = {
        {"1.5 -1.5 +1.5 .5 -.5 +.5 1. 0.1 1.0 -0.0", "1.5 -1.5 1.5 0.5 -0.5 0.5 1.0 0.1 1.0 -0.0"},
        {"1e3 1E3 1.5e-3 1.5e+3 .5e3 1'000.5 1'5.2'5", "1000.0 1000.0 0.0015 1500.0 500.0 1000.5 15.25"},
        {"1e400 -1e400 1e-400", "1.#INF -1.#INF 0.0"},
        {"1.#INF -1.#INF +1.#inf 1.#NaN -1.#nan", "1.#INF -1.#INF 1.#INF 1.#NaN 1.#NaN"},
    };
    expect_molds(cases, std::size(cases));
    Cell nan = first("1.#NaN");
    EXPECT_EQ(nan.data3, 0x7FF80000u);
    EXPECT_EQ(nan.data2, 0u);
    EXPECT_EQ(first("-1.#INF").get_float(), -INFINITY);
    EXPECT_EQ(first("0.1").get_float(), 0.1);
    EXPECT_EQ(first("2.5e-3").get_float(), 2.5e-3);
    EXPECT_EQ(first("123456789012345678901234567890").get_float(), 1.2345678901234568e29);
}

TEST(LexerLoad, Strings) {
    const Case cases[] = {
        {"\"\" \"a\" \"a b\" \"a^\"b\"", "\"\" \"a\" \"a b\" {a\"b}"},
        {"\"^-^/^^^~\" \"^(41)^(back)\" \"a^(tab)b\"", "\"^-^/^^^~\" \"A^H\" \"a^-b\""},
        {"\"^(1F600)\" \"\xE2\x82\xAC\" \"caf\xC3\xA9\"", "\"\xF0\x9F\x98\x80\" \"\xE2\x82\xAC\" \"caf\xC3\xA9\""},
        {"{a} {} {a{b}c} {a{b{c}}d}", "\"a\" \"\" \"a{b}c\" \"a{b{c}}d\""},
        {"{a^{b} {a^}b} {a\"b} {^(line)x}", "\"a{b\" \"a}b\" {a\"b} \"^/x\""},
        {"{line1\nline2}", "\"line1^/line2\""},
        {"%{raw^/}% %%{a}% b}%% %%{}%%", "\"raw^^/\" \"a}% b\" \"\""},
        // Control letters: ^a-^z and ^@-^_ name codes 0-31.
        {"\"^a^Z^[^\\^]^_^@\"", "\"^A^Z^[^\\^]^_^@\""},
        // Any other character after a caret stands for itself.
        {"\"^1^ ^\xC3\xA9\"", "\"1 \xC3\xA9\""},
    };
    expect_molds(cases, std::size(cases));

    // The unit follows the token's bytes and its "^(" forms.
    struct Unit {
        const char* text;
        int unit;
    };
    const Unit units[] = {
        {"\"abc\"", 1}, {"\"^(E9)\"", 1}, {"\"^(0041)\"", 2}, {"\"\xC3\xA9\"", 2},
        {"\"^(1F600)\"", 4}, {"\"\xF0\x9F\x98\x80\"", 4}, {"{a^(10000)}", 4}, {"%{\xE2\x82\xAC}%", 2},
    };
    for (const Unit& u : units) {
        Cell s = first(u.text);
        ASSERT_TRUE(s.is(TYPE_STRING)) << u.text;
        EXPECT_EQ(memory::buffer_of(s.data2)->unit(), u.unit) << u.text;
    }
    EXPECT_EQ(utf8(first("\"^(E9)\"")), "\xC3\xA9");
    EXPECT_EQ(string::char_at(&(const Cell&)first("\"^(0)\""), 0), 0u);
}

TEST(LexerLoad, Chars) {
    const Case cases[] = {
        {"#\"a\" #\"^\"\" #\"^-\" #\"^/\" #\"^@\" #\"^^\" #\"^~\"", "#\"a\" #\"^\"\" #\"^-\" #\"^/\" #\"^@\" #\"^^\" #\"^~\""},
        {"#\"^A\" #\"^a\" #\"^[\" #\"^{\" #\"^}\" #\"^1\"", "#\"^A\" #\"^A\" #\"^[\" #\"{\" #\"}\" #\"1\""},
        {"#\"^(41)\" #\"^(0)\" #\"^(a)\" #\"^(0041)\"", "#\"A\" #\"^@\" #\"^/\" #\"A\""},
        {"#\"^(null)\" #\"^(back)\" #\"^(tab)\" #\"^(line)\" #\"^(page)\" #\"^(esc)\" #\"^(del)\" #\"^(LINE)\"",
         "#\"^@\" #\"^H\" #\"^-\" #\"^/\" #\"^L\" #\"^[\" #\"^~\" #\"^/\""},
        {"#\"\xE2\x82\xAC\" #\"\xF0\x9F\x98\x80\"", "#\"\xE2\x82\xAC\" #\"\xF0\x9F\x98\x80\""},
    };
    expect_molds(cases, std::size(cases));
    EXPECT_EQ(first("#\"^(10FFFF)\"").data2, 0x10FFFFu);
    EXPECT_EQ(first("#\"^(1F600)\"").data2, 0x1F600u);
    EXPECT_EQ(first("#\"\xF0\x9F\x98\x80\"").data2, 0x1F600u);
}

TEST(LexerLoad, FilesAndUrls) {
    const Case cases[] = {
        {"%a %a/b.txt %/ %../x %\"a b\" %\"\"", "%a %a/b.txt %/ %../x %\"a b\" %\"\""},
        // Plain names are percent-decoded; quoted ones take caret escapes instead.
        {"%a%20b %caf%C3%A9 %a% %a%2", "%\"a b\" %caf\xC3\xA9 %\"a%\" %\"a%2\""},
        {"%\"^(41)b\" %\"a%20b\"", "%Ab %\"a%20b\""},
        {"http://a.b/c http://a.b/c?d=1&e=2 ftp://x a:b mailto:x", "http://a.b/c http://a.b/c?d=1&e=2 ftp://x a:b mailto:x"},
        {"http://a%20b http://x/%41", "http://a%20b http://x/A"},
    };
    expect_molds(cases, std::size(cases));
    EXPECT_EQ(utf8(first("%a%20b")), "a b");
    EXPECT_EQ(utf8(first("http://a%20b")), "http://a b");
    EXPECT_EQ(utf8(first("%a^b")), "a^b") << "no escapes in plain names";
    EXPECT_TRUE(first("%a").is(TYPE_FILE));
    EXPECT_TRUE(first("a:b").is(TYPE_URL));
}

TEST(LexerLoad, BlocksParensCommentsAndLineBreaks) {
    const Case cases[] = {
        {"[] () [[]] [a [b (c)]] ((((1))))", "[] () [[]] [a [b (c)]] ((((1))))"},
        {"[\n  a\n  b\n]", "[\n    a\n    b\n]"},
        {"(\na)", "(\n    a\n)"},
        {"a ; comment\nb", "a\nb"},
        {"[a ;x\n]", "[a]"},
        {"x\n\n {a\nb} [\n1\n]", "x\n\"a^/b\" [\n    1\n]"},
        {"#(true) #(false) #(none) #(unset) #(TRUE) #(integer!) #(int) #(Str)",
         "true false none unset true integer! integer! string!"},
    };
    expect_molds(cases, std::size(cases));
    // The new-line flag is set on a value that follows a line break, and only then:
    // a line break inside a multi-line string does not count.
    Transcoded t = transcode_value(text_of("a {x\ny} b\n c [\nd]"));
    ASSERT_TRUE(t.value.is(TYPE_BLOCK));
    std::string flags;
    for (int32_t i = 0; i < block::length(&t.value); i++) flags += block::at(&t.value, i)->header & FLAG_NEW_LINE ? '1' : '0';
    EXPECT_EQ(flags, "00010");
    Cell inner = *block::at(&t.value, 4);
    EXPECT_TRUE(block::at(&inner, 0)->header & FLAG_NEW_LINE);
}

TEST(LexerLoad, Escapes) {
    struct Escape {
        const char* text;  // after the caret
        int read;          // bytes read after the caret, 0 for malformed
        uint32_t cp;
    };
    const Escape cases[] = {
        {"(41)", 4, 0x41},       {"(1)", 3, 1},           {"(10FFFF)", 8, 0x10FFFF}, {"(110000)", 0, 0},
        {"(1234567)", 0, 0},     {"()", 0, 0},            {"(xyz)", 0, 0},            {"(41", 0, 0},
        {"(tab)", 5, 9},         {"(Null)", 6, 0},        {"(del)", 5, 127},          {"(esc)", 5, 27},
        {"\"", 1, '"'},          {"-", 1, 9},             {"/", 1, 10},               {"@", 1, 0},
        {"^", 1, '^'},           {"{", 1, '{'},           {"}", 1, '}'},              {"~", 1, 127},
        {"a", 1, 1},             {"z", 1, 26},            {"A", 1, 1},                {"[", 1, 27},
        {"_", 1, 31},            {"!", 1, '!'},           {"\xC3\xA9", 2, 0xE9},      {"\xC3", 0, 0},
    };
    for (const Escape& e : cases) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(e.text);
        uint32_t cp = 0xDEAD;
        int n = lexer::decode_escape(p, p + std::strlen(e.text), &cp);
        EXPECT_EQ(n, e.read) << e.text;
        if (n) {
            EXPECT_EQ(cp, e.cp) << e.text;
        }
    }
}

// Nested blocks and parens load at any depth the scan allows, and deeper ones
// raise internal/too-deep; neither path recurses on the machine stack.
TEST(LexerLoad, DeepNesting) {
    std::string deep = std::string(5000, '[') + "x" + std::string(5000, ']');
    Transcoded t = transcode_value(text_of(deep));
    ASSERT_EQ(t.error, "");
    gc::Rooted keep(t.value);
    collector::collect();
    Cell v = *block::at(&keep.cell, 0);
    int depth = 1;
    while (v.is(TYPE_BLOCK) && block::length(&v) == 1) {
        v = *block::at(&v, 0);
        depth++;
    }
    EXPECT_EQ(depth, 5001);
    EXPECT_TRUE(v.is(TYPE_WORD));

    EXPECT_EQ(transcode_value(text_of(std::string(200000, '('))).error, "internal/too-deep");
    // Series left open are closed, or dropped with their items kept, in linear time.
    std::string open_maps = "[";
    for (int i = 0; i < 3000; i++) open_maps += "#[";
    for (int i = 0; i < 300000; i++) open_maps += "x ";
    gc::Rooted into(block_of({}));
    lexer::Refinements r;
    r.into = into.get();
    EXPECT_EQ(transcode_value(text_of(open_maps), r).error.substr(0, 14), "syntax/missing");
    ASSERT_EQ(block::length(&into.cell), 1);
    Cell inner = *block::at(&into.cell, 0);
    EXPECT_EQ(block::length(&inner), 300000);
    EXPECT_EQ(transcode_value(text_of(std::string(20000, '[') + std::string(20000, ']'))).error, "internal/too-deep");
    EXPECT_EQ(lexer::value_stack_top(), 0u);
}

// Literals of the datatypes of other modules go through the maker each module
// registers; without one they are invalid of their datatype.
TEST(LexerLoad, MakersOfOtherModules) {
    struct Saved {
        int state;
        lexer::Maker maker;
        ~Saved() { lexer::set_maker(state, maker); }
    };
    Saved saved{lexer::T_PAIR, lexer::maker_of(lexer::T_PAIR)};
    Saved saved_tag{lexer::T_TAG, lexer::maker_of(lexer::T_TAG)};
    lexer::MapMaker saved_map = lexer::map_maker();

    lexer::set_maker(lexer::T_PAIR, nullptr);
    lexer::set_maker(lexer::T_TAG, nullptr);
    lexer::set_map_maker(nullptr);
    EXPECT_EQ(loaded("x 1x2"), "!syntax/invalid (line 1)|" + type_name(TYPE_PAIR) + "|1x2");
    EXPECT_EQ(loaded("\n<a b>"), "!syntax/invalid (line 2)|" + type_name(TYPE_TAG) + "|<a b>");
    EXPECT_EQ(loaded("#[a 1]"), "!syntax/invalid (line 1)|" + type_name(TYPE_MAP) + "|#[a 1]");

    // A maker sees the token's text and may refine its type.
    static std::string seen;
    lexer::set_maker(lexer::T_PAIR, [](lexer::Token& t, Cell* out) -> int {
        seen = std::string(reinterpret_cast<const char*>(t.start), size_t(t.end - t.start));
        if (seen == "9x9") return TYPE_PAIR;
        t.type = TYPE_INTEGER;
        if (out) *out = integer(42);
        return 0;
    });
    EXPECT_EQ(loaded("[3x4]"), "[42]");
    EXPECT_EQ(seen, "3x4");
    EXPECT_EQ(loaded("9x9"), "!syntax/invalid (line 1)|" + type_name(TYPE_PAIR) + "|9x9");
    lexer::Refinements scan;
    scan.scan = true;
    EXPECT_EQ(form_text(transcode_value(text_of("3x4"), scan).value), "integer");

    lexer::set_map_maker([](const Cell* items, uint32_t count, Cell* out) -> int {
        if (count % 2) return TYPE_MAP;
        block::make_at(out, int32_t(count + 1));
        for (uint32_t i = 0; i < count; i++) copy_cell(items + i, block::add_cell(out));
        out->set_type(TYPE_PAREN);  // stands in for the map!
        return 0;
    });
    EXPECT_EQ(loaded("[#[a 1 b 2]]"), "[(a 1 b 2)]");
    EXPECT_EQ(loaded("#[a]"), "!syntax/invalid (line 1)|" + type_name(TYPE_MAP) + "|#[a]");
    lexer::set_map_maker(saved_map);
}

// The hooks through which the datatypes read text.
TEST(LexerLoad, ConversionHooks) {
    ASSERT_NE(word::scan_text, nullptr);
    ASSERT_NE(block::load_text, nullptr);
    struct One {
        const char* text;
        const char* molded;  // "none" for more than one value, "unset" for none
    };
    const One ones[] = {
        {"12", "12"}, {"  abc  \n", "abc"}, {"a:", "a:"}, {"[1 2]", "[1 2]"}, {"1 2", "none"}, {"", "unset"},
        {" \n ", "unset"},
    };
    for (const One& o : ones) {
        Cell out;
        word::scan_text(reinterpret_cast<const uint8_t*>(o.text), uint32_t(std::strlen(o.text)), &out);
        std::string m = out.is(TYPE_NONE) ? "none" : out.is(TYPE_UNSET) ? "unset" : mold_text(out);
        EXPECT_EQ(m, o.molded) << o.text;
    }
    EXPECT_EQ(raised([] {
                  Cell out;
                  word::scan_text(reinterpret_cast<const uint8_t*>("[1"), 2, &out);
              }),
              "syntax/missing");

    gc::Rooted text(text_of("a [b] \"c\""));
    gc::Rooted out;
    block::load_text(text.get(), out.get());
    EXPECT_EQ(mold_text(out.cell), "[a [b] \"c\"]");

    // convert::scan_string answers the first value of the block it loads into
    // the destination, none for more than one, and unset (in the destination) for none.
    gc::Rooted dest;
    gc::Rooted one(text_of("x/y"));
    Cell* v = convert::scan_string(one.get(), dest.get());
    EXPECT_EQ(mold_text(*v), "x/y");
    gc::Rooted two(text_of("1 2"));
    EXPECT_TRUE(convert::scan_string(two.get(), dest.get())->is(TYPE_NONE));
    gc::Rooted none_(text_of(""));
    EXPECT_TRUE(convert::scan_string(none_.get(), dest.get())->is(TYPE_UNSET));
}
