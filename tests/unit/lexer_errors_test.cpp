// Syntax errors: which error each kind of invalid text raises, with its line,
// the datatype or missing character, and the text near it; what is delivered
// before an error; and the error as the console prints it.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/error.hpp"
#include "lexer_fixtures.hpp"

using namespace kro;
using namespace kro::testing_lexer;

namespace {

std::string loaded_bytes(const std::string& bytes) {
    Transcoded t = transcode_value(binary_of(bytes));
    return t.error.empty() ? mold_text(t.value, true) : "!" + t.error;
}

}  // namespace

TEST(LexerErrors, EachKindOfInvalidText) {
    struct Case {
        const char* text;
        const char* error;  // id, then the arguments formed: line text | datatype or missing char | near text
    };
    const Case cases[] = {
        // Series left open or closed by the wrong closer. The closer reported is
        // the one missing, or its opener when the closer met is that very closer.
        {"[1 2", "missing (line 1)|]|[1 2"},
        {"1 2]", "missing (line 1)|[|]"},
        {"[1 2)", "missing (line 1)|]|[1 2)"},
        {"(1 2]", "missing (line 1)|)|(1 2]"},
        {"#[a 1)", "missing (line 1)|]|#[a 1)"},
        {"[1\n2", "missing (line 1)|]|[1"},  // the line of the text shown, not the input's last
        {"x\n\n\n  ]", "missing (line 4)|[|]"},
        {"(x , y)", "missing (line 1)|(|(x , y)"},  // a comma makes the paren a point, which ")" does not close
        // Invalid tokens name their datatype.
        {"1a", "invalid (line 1)|integer|1a"},
        {"a,b", "invalid (line 1)|word|a,b"},
        {"x 'a:", "invalid (line 1)|lit-word|'a:"},
        {":a:", "invalid (line 1)|get-word|:a:"},
        {"\"abc", "invalid (line 1)|string|\"abc"},
        {"\"a\nb\"", "invalid (line 1)|string|\"a"},
        {"{abc", "invalid (line 1)|string|{abc"},
        {"x {a{b}", "invalid (line 1)|string|{a{b}"},
        {"%%{abc\n", "invalid (line 1)|string|%%{abc"},
        {"%%{a}%b}%%", "invalid (line 1)|string|%%{a}%b}%%"},
        {"%{a}%% ", "invalid (line 1)|string|%{a}%% "},
        {"x: \"^(110000)\"", "invalid (line 1)|string|\"^(110000)\""},
        {"#\"ab\"", "invalid (line 1)|char|#\"ab\""},
        {"#\"\"", "invalid (line 1)|char|#\"\""},
        {"#\"^(110000)\"", "invalid (line 1)|char|#\"^(110000)\""},
        {"1''2", "invalid (line 1)|integer|1''2"},
        {"1h", "invalid (line 1)|integer|1h"},
        {"123456789h", "invalid (line 1)|integer|123456789h"},
        {"-1Fh", "invalid (line 1)|integer|-1Fh"},
        {"Fh", "invalid (line 1)|word|Fh"},
        {"1e", "invalid (line 1)|float|1e"},
        {"2.#INF", "invalid (line 1)|float|2.#INF"},
        {"1.#INFX", "invalid (line 1)|float|1.#INFX"},
        {"#", "invalid (line 1)|issue|#"},
        {"#a:", "invalid (line 1)|issue|#a:"},
        {"a/b/", "invalid (line 1)|path|a/b/"},
        {"x a/b:/c", "invalid (line 1)|path|a/b:/c"},
        {"a/b}", "invalid (line 1)|path|a/b}"},
        {"a%b", "invalid (line 1)|word|a%b"},
        {":a:b", "invalid (line 1)|get-word|:a:b"},  // a url may not start with a sigil
        {"'a:b", "invalid (line 1)|lit-word|'a:b"},
        {"%\"a\nb\"", "invalid (line 1)|file|%\"a"},
        // A path left open, or a lit-path made a set-path: an invalid character.
        {"a/", "bad-char (line 1)|a/"},
        {"'a/b:", "bad-char (line 1)|'a/b:"},
        {"x\n  }", "bad-char (line 2)|}"},
        {"\\", "bad-char (line 1)|\\"},
        {"#(foo)", "malconstruct (line 1)|#(foo)"},
        {"#()", "malconstruct (line 1)|#()"},
    };
    for (const Case& c : cases) EXPECT_EQ(loaded(c.text), std::string("!syntax/") + c.error) << c.text;
    // A comma outside a paren, or a series opened inside a point, is an invalid point.
    const std::string point = "!syntax/invalid (line 1)|" + type_name(TYPE_POINT2D) + "|";
    EXPECT_EQ(loaded(","), point + ",");
    EXPECT_EQ(loaded("[a , b]"), point + ", b]");
    EXPECT_EQ(loaded("(x , [y])"), point + "[y])");

    // Bytes that are no UTF-8 never reach a string, so they come in a binary.
    // The text shown has U+FFFD for each byte that starts no character (never
    // the Latin-1 letter of its value) and control characters in caret escapes.
    struct Bytes {
        std::string bytes;
        const char* error;
    };
    const Bytes bytes[] = {
        {"\xC0", "bad-char (line 1)|\xEF\xBF\xBD"},
        {"\x7F", "bad-char (line 1)|^~"},
        {"a\xC0", "invalid (line 1)|word|a\xEF\xBF\xBD"},
        {"\"a\xF8\"", "invalid (line 1)|string|\"a\xEF\xBF\xBD\""},
        {"ab\xE2\x80", "invalid (line 1)|word|ab\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "invalid (line 1)|word|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"%a\xC0", "invalid (line 1)|file|%a\xEF\xBF\xBD"},
        {"#\xC2", "invalid (line 1)|issue|#\xEF\xBF\xBD"},
        // a valid character beside an invalid byte of the same value stays itself
        {"\"\xC3\xA9\xE9\"", "invalid (line 1)|string|\"\xC3\xA9\xEF\xBF\xBD\""},
        // control characters cannot reach the terminal raw
        {"\"a\x1B[31m\rb", "invalid (line 1)|string|\"a^[[31m^Mb"},
        {"\"a\xC2\x9B", "invalid (line 1)|string|\"a^(9B)"},
    };
    for (const Bytes& b : bytes) EXPECT_EQ(loaded_bytes(b.bytes), std::string("!syntax/") + b.error) << b.bytes;
}

TEST(LexerErrors, NearText) {
    // At most 30 bytes of whole characters, never past a line feed.
    std::string line = "x [" + std::string(40, 'a') + "\nb";
    EXPECT_EQ(loaded(line), "!syntax/missing (line 1)|]|[" + std::string(29, 'a'));
    std::string wide = "\"";
    for (int i = 0; i < 10; i++) wide += "\xF0\x9F\x98\x80";
    EXPECT_EQ(loaded(wide + "\n"), "!syntax/invalid (line 1)|string|\"" + wide.substr(1, 28));
    EXPECT_EQ(loaded("1a" + std::string(40, 'b')), "!syntax/invalid (line 1)|integer|1a" + std::string(28, 'b'));
    // A NUL ends the input, so nothing after it is shown; a CR before the line
    // feed is no part of the line.
    EXPECT_EQ(loaded(std::string("[1\0 2]", 7)), "!syntax/missing (line 1)|]|[1");
    EXPECT_EQ(loaded("x: \"ab\r\n"), "!syntax/invalid (line 1)|string|\"ab");
}

// With none of the person's code being evaluated (here none at all; in use the
// loader's or the console's), the error's near is the source line the bad text
// is on: from the line's first non-blank, or from 20 bytes before the bad text
// on a long line, to the line's end.
TEST(LexerErrors, NearIsTheSourceLine) {
    struct Case {
        std::string text;
        const char* near;  // molded
    };
    const std::string long_head = "print [" + std::string(30, 'a') + " ";
    const Case cases[] = {
        {"x: 1\n  a: [1 2\n", "\"a: [1 2\""},                 // a series left open: its opener's line
        {"x: 1 + #{zz}\ny: 2", "\"x: 1 + #{zz}\""},
        {"a\n1 2]\r\nb", "\"1 2]\""},
        {long_head + "1a]", "\"aaaaaaaaaaaaaaaaaaa 1a]\""},
        {"ok \xE9\x01 [", "\"ok \xEF\xBF\xBD^^A [\""},  // shown as the arguments are
    };
    for (const Case& c : cases) {
        EXPECT_EQ(loaded_bytes(c.text).substr(0, 8), "!syntax/") << c.text;
        EXPECT_EQ(mold_text(*error::field(raised_error(), error::NEAR)), c.near) << c.text;
    }
}

// The values read before an error are delivered (to the /into block), with the
// blocks and parens left open closed; then the error leaves.
TEST(LexerErrors, ValuesBeforeAnErrorAreDelivered) {
    gc::Rooted into(block_of({w("x")}));
    lexer::Refinements r;
    r.into = into.get();
    Transcoded t = transcode_value(text_of("1 [2 (3 a/b 4"), r);
    EXPECT_EQ(t.error, "syntax/missing (line 1)|)|(3 a/b 4");
    EXPECT_EQ(mold_text(into.cell), "[x 1 [2 (3 a/b 4)]]");

    gc::Rooted into2(block_of({}));
    r.into = into2.get();
    t = transcode_value(text_of("a \"b\" 1a c"), r);
    EXPECT_EQ(t.error, "syntax/invalid (line 1)|integer|1a c");
    EXPECT_EQ(mold_text(into2.cell), "[a \"b\"]");

    // An open path or map is dropped; its items stay.
    gc::Rooted into3(block_of({}));
    r.into = into3.get();
    t = transcode_value(text_of("[a/b/"), r);
    EXPECT_EQ(t.error, "syntax/invalid (line 1)|path|a/b/");
    EXPECT_EQ(mold_text(into3.cell), "[[a b]]");
    EXPECT_EQ(lexer::value_stack_top(), 0u);
    EXPECT_EQ(lexer::active_scans(), 0);
}

TEST(LexerErrors, AsTheConsolePrintsThem) {
    struct Case {
        const char* text;
        const char* printed;
    };
    const Case cases[] = {
        {"[1 2", "*** Syntax Error: (line 1) missing ] at [1 2"},
        {"x\n1a", "*** Syntax Error: (line 2) invalid integer at 1a"},
        {"#(foo)", "*** Syntax Error: (line 1) invalid construction spec at #(foo)"},
        {"}", "*** Syntax Error: (line 1) invalid character at }"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(loaded(c.text).substr(0, 1), "") << c.text;
        std::string printed = form_text(*raised_error());
        EXPECT_EQ(printed.substr(0, printed.find('\n')), c.printed) << c.text;
    }
}
