// The tokenizer's tables and its token loop: byte classes, transition rows, the
// float text automaton, the tokens and series that inputs produce, open-input
// detection, syntax errors, and the loop's behaviour on hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "io/lexer_scan.hpp"
#include "io/lexer_tables.hpp"

using namespace kro;
using namespace kro::lexer;

namespace {

const char* type_name(Type t) {
    switch (t) {
        case TYPE_NONE_ID: return "none";
        case TYPE_DATATYPE: return "datatype!";
        case TYPE_BLOCK: return "block!";
        case TYPE_PAREN: return "paren!";
        case TYPE_STRING: return "string!";
        case TYPE_FILE: return "file!";
        case TYPE_URL: return "url!";
        case TYPE_CHAR: return "char!";
        case TYPE_INTEGER: return "integer!";
        case TYPE_FLOAT: return "float!";
        case TYPE_WORD: return "word!";
        case TYPE_SET_WORD: return "set-word!";
        case TYPE_LIT_WORD: return "lit-word!";
        case TYPE_GET_WORD: return "get-word!";
        case TYPE_REFINEMENT: return "refinement!";
        case TYPE_ISSUE: return "issue!";
        case TYPE_PATH: return "path!";
        case TYPE_LIT_PATH: return "lit-path!";
        case TYPE_SET_PATH: return "set-path!";
        case TYPE_GET_PATH: return "get-path!";
        case TYPE_ERROR: return "error!";
        case TYPE_PAIR: return "pair!";
        case TYPE_PERCENT: return "percent!";
        case TYPE_TUPLE: return "tuple!";
        case TYPE_MAP: return "map!";
        case TYPE_BINARY: return "binary!";
        case TYPE_TIME: return "time!";
        case TYPE_TAG: return "tag!";
        case TYPE_EMAIL: return "email!";
        case TYPE_DATE: return "date!";
        case TYPE_MONEY: return "money!";
        case TYPE_REF: return "ref!";
        case TYPE_POINT2D: return "point2D!";
        default: return "?";
    }
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

// Records everything the loop reports, as text: "state type {text}" for tokens,
// "open type", "close type" (as the closer saw it) and "= type" (as it closed).
struct Recorder : Sink {
    const uint8_t* base = nullptr;
    std::vector<std::string> events;
    std::vector<Token> tokens;
    bool resume = false;
    std::vector<Error> errors;

    bool open(Scanner&, Type type, const Token&) override {
        events.push_back(std::string("open ") + type_name(type));
        return true;
    }
    bool close(Scanner&, Type type, const uint8_t*, const uint8_t*) override {
        events.push_back(std::string("close ") + type_name(type));
        return true;
    }
    int closed(Scanner&, Type type) override {
        events.push_back(std::string("= ") + type_name(type));
        return 0;
    }
    int token(Scanner&, Token& t) override {
        tokens.push_back(t);
        events.push_back(std::to_string(t.state) + " " + type_name(t.type) + " {" +
                         std::string(reinterpret_cast<const char*>(t.start), size_t(t.next - t.start)) + "}");
        return 0;
    }
    void comment(Scanner&, const Token& t) override {
        events.push_back("comment {" + std::string(reinterpret_cast<const char*>(t.start), size_t(t.end - t.start)) +
                         "}");
    }
    bool error(Scanner&, const Error& e) override {
        errors.push_back(e);
        events.push_back(std::string("error ") + std::to_string(e.code));
        return resume;
    }
};

// Scans a copy of the text in a buffer of exactly its size.
struct Scan {
    std::vector<uint8_t> buffer;
    Recorder rec;
    Result result;

    explicit Scan(const std::string& text, Options options = {}, bool resume = false) : buffer(text.begin(), text.end()) {
        rec.base = buffer.data();
        rec.resume = resume;
        result = classify(buffer.data(), buffer.size(), &rec, options);
    }
    std::string events() const {
        std::string s;
        for (const std::string& e : rec.events) s += (s.empty() ? "" : " | ") + e;
        return s;
    }
    long offset(const uint8_t* p) const { return p || buffer.empty() ? long(p - buffer.data()) : -1; }
};

// Runs the bare machine from a start state and answers the terminal state and the text read.
std::pair<int, std::string> machine(const std::string& text, int start_state) {
    Machine m;
    m.begin = m.cursor = bytes(text);
    m.end = m.begin + text.size();
    m.start_state = uint8_t(start_state);
    Token t;
    m.next(t);
    return {t.state, std::string(reinterpret_cast<const char*>(t.start), size_t(t.end - t.start))};
}

std::set<int> reachable(std::initializer_list<int> starts) {
    std::set<int> seen(starts);
    std::vector<int> work(starts);
    while (!work.empty()) {
        int s = work.back();
        work.pop_back();
        for (int c = 0; c < CLASS_COUNT; ++c) {
            int t = transition(s, c);
            if (seen.insert(t).second && !is_terminal(t)) work.push_back(t);
        }
    }
    return seen;
}

}  // namespace

// ---- tables ---------------------------------------------------------------------

TEST(LexerTables, EveryByteHasTheClassOfItsGroup) {
    // The byte groups written out one by one (ranges spelled in full), in class order.
    std::vector<std::string> groups(CLASS_COUNT);
    auto span = [](int lo, int hi) {
        std::string s;
        for (int b = lo; b <= hi; ++b) s += char(b);
        return s;
    };
    groups[0] = "\t\r ";
    groups[1] = "\n";
    groups[2] = "123456789";
    groups[3] = "0";
    groups[4] = "[";
    groups[5] = "]";
    groups[6] = "(";
    groups[7] = ")";
    groups[8] = "{";
    groups[9] = "}";
    groups[10] = "\"";
    groups[11] = "#";
    groups[12] = "'";
    groups[13] = ":";
    groups[14] = "xX";
    groups[15] = "T";
    groups[16] = "h";
    groups[17] = "e";
    groups[18] = "E";
    groups[19] = "abcdf";
    groups[20] = "ABCDF";
    groups[21] = "/";
    groups[22] = "\\";
    groups[23] = "<";
    groups[24] = ">";
    groups[25] = "=";
    groups[26] = "%";
    groups[27] = ",";
    groups[28] = ";";
    groups[29] = "@";
    groups[30] = ".";
    groups[31] = "$";
    groups[32] = "+";
    groups[33] = "-";
    groups[34] = "^";
    groups[35] = span(0x01, 0x08) + "\x0B\x0C" + span(0x0E, 0x1F);
    groups[36] = "\x7F" + span(0x80, 0xBF);
    groups[37] = "!&*?GHIJKLMNOPQRSUVWYZ_`gijklmnopqrstuvwyz|~" + span(0xC2, 0xF7);
    groups[38] = "\xC0\xC1" + span(0xF8, 0xFF);
    groups[39] = std::string(1, '\0');

    int seen[256] = {};
    for (int c = 0; c < CLASS_COUNT; ++c) {
        ASSERT_FALSE(groups[c].empty()) << "class " << c;
        for (char ch : groups[c]) {
            uint8_t b = uint8_t(ch);
            ++seen[b];
            EXPECT_EQ(byte_class(b), c) << "byte " << int(b);
        }
    }
    for (int b = 0; b < 256; ++b) EXPECT_EQ(seen[b], 1) << "byte " << b << " is in " << seen[b] << " groups";
}

TEST(LexerTables, ByteFlags) {
    struct Case {
        uint8_t byte;
        uint32_t flags;
    };
    const Case cases[] = {
        {'%', F_PERCENT}, {'>', F_GREATER}, {'<', F_LESS},   {'+', F_SIGN},      {'-', F_SIGN},
        {0, F_NUL},       {'#', F_SHARP},   {'e', F_EXPONENT}, {'E', F_EXPONENT}, {'\'', F_QUOTE},
        {':', F_COLON},   {',', F_COMMA},   {'.', F_DOT},    {'^', F_CARET},     {0xC2, F_UTF8_2_3},
        {0xEF, F_UTF8_2_3}, {0xF0, F_UTF8_4}, {0xF7, F_UTF8_4}, {'a', 0},        {0x80, 0},
        {0xC1, 0},        {0xF8, 0},        {'1', 0},        {' ', 0},           {'\n', 0},
    };
    for (const Case& c : cases) EXPECT_EQ(byte_flags(c.byte), c.flags) << "byte " << int(c.byte);
}

TEST(LexerTables, TransitionsStayInsideTheMachine) {
    for (int s = 0; s < RUNNING_STATES; ++s) {
        for (int c = 0; c < CLASS_COUNT; ++c) {
            int t = transition(s, c);
            EXPECT_LT(t, STATE_COUNT) << s << "/" << c;
            EXPECT_NE(t, S_NEVER) << s << "/" << c;
        }
        // The end of input (read as NUL) ends every token, whatever its state.
        EXPECT_TRUE(is_terminal(transition(s, C_NUL))) << "state " << s;
        // Bytes that never occur in UTF-8 are invalid everywhere.
        EXPECT_EQ(transition(s, C_ILLEGAL), T_ERROR) << "state " << s;
    }
    // Only the start state drops bytes, and only blanks, LF and control bytes stay in it.
    for (int c = 0; c < CLASS_COUNT; ++c) {
        bool blank = c == C_BLANK || c == C_LINE || c == C_CONTROL;
        EXPECT_EQ(transition(S_START, c) == S_START, blank) << "class " << c;
    }
}

TEST(LexerTables, StartStates) {
    std::set<int> from_text = reachable({S_START, S_BRACED, S_PATH});
    // The point literal state is entered only as a start state, after a "(" that opens a point.
    EXPECT_EQ(from_text.count(S_POINT), 0u);
    EXPECT_EQ(from_text.count(T_POINT), 0u);
    std::set<int> all = reachable({S_START, S_BRACED, S_POINT, S_PATH});
    EXPECT_EQ(all.count(T_POINT), 1u);
    for (int s = 0; s < STATE_COUNT; ++s)
        if (s != S_NEVER) {
            EXPECT_EQ(all.count(s), 1u) << "state " << s << " is never reached";
        }

    struct Case {
        const char* text;
        int start;
        int terminal;
        const char* token;
    };
    const Case cases[] = {
        {"1, 2)", S_POINT, T_POINT, "1, 2"},
        {" 1.5 , -2e3, 4)", S_POINT, T_POINT, " 1.5 , -2e3, 4"},
        {"1, x)", S_POINT, T_ERROR, "1, "},
        {"abc} d", S_BRACED, T_BRACE_CLOSE, "abc"},
        {"a^}b}", S_BRACED, T_BRACE_CLOSE, "a^}b"},
        {"ab{c", S_BRACED, T_BRACE_OPEN, "ab"},
        {"ab", S_BRACED, T_ERROR, "ab"},
        {"b/c", S_PATH, T_WORD, "b"},
        {"12/c", S_PATH, T_INTEGER, "12"},
        {"(x)", S_PATH, T_PAREN_OPEN, ""},
        {"[x]", S_PATH, T_ERROR, ""},
        {"  a", S_START, T_WORD, "a"},
    };
    for (const Case& c : cases) {
        auto [state, text] = machine(c.text, c.start);
        EXPECT_EQ(state, c.terminal) << c.text;
        EXPECT_EQ(text, c.token) << c.text;
    }
}

TEST(LexerTables, ALeadByteInAWordAlwaysLeadsToTheWordBody) {
    // A word is cut at a Unicode blank and read again from there; the loop relies
    // on the machine being in the word body after the blank's first byte, whatever
    // state read it, so that the second reading ends where the first did.
    std::set<int> from_start = reachable({S_START});
    std::set<int> to_word;  // running states from which a word token can still end
    for (bool grew = true; grew;) {
        grew = false;
        for (int s = 0; s < RUNNING_STATES; ++s) {
            if (to_word.count(s)) continue;
            for (int c = 0; c < CLASS_COUNT; ++c) {
                int t = transition(s, c);
                if (t == T_WORD || (!is_terminal(t) && to_word.count(t))) {
                    to_word.insert(s);
                    grew = true;
                    break;
                }
            }
        }
    }
    EXPECT_EQ(transition(S_START, C_LETTER), S_WORD);
    for (int s : from_start) {
        if (is_terminal(s)) continue;
        int t = transition(s, C_LETTER);
        if (!is_terminal(t) && to_word.count(t)) {
            EXPECT_EQ(t, S_WORD) << "from state " << s;
        }
    }
    EXPECT_EQ(transition(S_WORD, C_CONTINUATION), S_WORD);
}

TEST(LexerTables, TokenTypesAndExitStates) {
    EXPECT_EQ(token_type(S_START), TYPE_NONE_ID);
    EXPECT_EQ(token_type(S_WORD_COLON), TYPE_SET_WORD);
    EXPECT_EQ(token_type(S_POINT), TYPE_POINT2D);
    EXPECT_EQ(token_type(S_PATH), TYPE_PATH);
    EXPECT_EQ(token_type(T_ERROR), TYPE_ERROR);
    EXPECT_EQ(token_type(T_BRACE_CLOSE), TYPE_STRING);
    EXPECT_EQ(token_type(T_HEX), TYPE_INTEGER);
    EXPECT_EQ(token_type(T_RAW_STRING), TYPE_STRING);
    for (int s = T_EOF; s <= T_COMMENT; ++s) {
        if (s == T_ERROR || s == T_BRACE_CLOSE) continue;
        EXPECT_EQ(token_type(s), TYPE_NONE_ID) << s;
    }

    // Callbacks name the kinds through the exit-states block: entries 1-12 follow
    // states 66-77, the comma and the point have none.
    for (int s = T_EOF; s <= T_COMMENT; ++s) EXPECT_EQ(exit_entry(s), s - 65) << s;
    EXPECT_EQ(exit_entry(T_COMMA), 0);
    EXPECT_EQ(exit_entry(T_POINT), 0);
    struct Case {
        int state;
        const char* name;
        Type type;
    };
    const Case cases[] = {
        {T_EOF, "eof", TYPE_NONE_ID},           {T_ERROR, "error!", TYPE_ERROR},
        {T_BLOCK_CLOSE, "block!", TYPE_BLOCK},  {T_MAP_OPEN, "map!", TYPE_MAP},
        {T_CONSTRUCT, "datatype!", TYPE_DATATYPE}, {T_COMMENT, "comment", TYPE_NONE_ID},
        {T_STRING, "string!", TYPE_STRING},     {T_WORD, "word!", TYPE_WORD},
        {T_FLOAT, "float!", TYPE_FLOAT},        {T_FLOAT_SHARP, "float!", TYPE_FLOAT},
        {T_TIME, "time!", TYPE_TIME},           {T_HEX, "hex", TYPE_NONE_ID},
        {T_RAW_STRING, "rawstring", TYPE_NONE_ID}, {T_REF, "ref!", TYPE_REF},
    };
    for (const Case& c : cases) {
        int entry = exit_entry(c.state);
        ASSERT_GE(entry, 1) << c.state;
        EXPECT_STREQ(exit_states[entry - 1].name, c.name) << c.state;
        EXPECT_EQ(exit_states[entry - 1].type, c.type) << c.state;
    }
    EXPECT_EQ(exit_entry(T_REF), EXIT_STATE_COUNT);
}

TEST(LexerTables, FloatTextAutomaton) {
    // The automaton's own rules: signs may repeat in front, a lone "." and a
    // trailing separator pass, an exponent right after the point does not.
    const char* accepted[] = {"1",   "12",    "1.5",     "1.",      ".5",   "-1.5",  "+.5",  "1e10",
                              "1E+5", "1.5e-3", "1'000",  "1'000.5", "1.5'0", "0.0",   "--1",  "007",
                              ".",    "1'"};
    const char* rejected[] = {"",     "+",    "e5",    "1e",  "1e+",  "1.5e",  "1''0", "'1",  "1.e5", "1.'5",
                              "1..2", "1.2.3", "1x",   "1e5.", "1e1'0", "1.5.", "1,5",  " 1",  "1 "};
    for (const char* t : accepted) EXPECT_TRUE(float_syntax(bytes(t), strlen(t))) << t;
    for (const char* t : rejected) EXPECT_FALSE(float_syntax(bytes(t), strlen(t))) << t;

    // Length bound: 312 bytes pass, 313 do not.
    std::string digits(FLOAT_TEXT_MAX, '1');
    EXPECT_TRUE(float_syntax(bytes(digits), digits.size()));
    digits += '1';
    EXPECT_FALSE(float_syntax(bytes(digits), digits.size()));

    // Accept and reject are final.
    for (int g = 0; g < 7; ++g) {
        EXPECT_EQ(float_step(9, g), 9);
        EXPECT_EQ(float_step(10, g), 10);
    }
}

TEST(LexerTables, UnicodeBlanks) {
    std::set<uint32_t> set(unicode_blanks, unicode_blanks + UNICODE_BLANK_COUNT);
    EXPECT_EQ(set.size(), size_t(UNICODE_BLANK_COUNT));
    for (uint32_t cp = 0; cp < 0x4000; ++cp) EXPECT_EQ(is_unicode_blank(cp), set.count(cp) == 1) << cp;
    EXPECT_TRUE(is_unicode_blank(0x3000));
    EXPECT_FALSE(is_unicode_blank(' '));  // ASCII blanks are the machine's business
}

// ---- tokens ---------------------------------------------------------------------

TEST(LexerScan, TokenKindsAndBoundaries) {
    struct Case {
        const char* text;
        const char* events;
    };
    const Case cases[] = {
        {"word", "80 word! {word}"},
        {"  set: :get 'lit", "80 set-word! {set:} | 80 get-word! {:get} | 80 lit-word! {'lit}"},
        {"/ref / //", "83 refinement! {/ref} | 80 word! {/} | 80 word! {//}"},
        {"#issue", "81 issue! {#issue}"},
        {"42 -7 1'000", "82 integer! {42} | 82 integer! {-7} | 82 integer! {1'000}"},
        {"1.5 1e10 .5 -1.5e-3", "88 float! {1.5} | 88 float! {1e10} | 88 float! {.5} | 88 float! {-1.5e-3}"},
        {"1.#INF -1.#nan", "89 float! {1.#INF} | 89 float! {-1.#nan}"},
        {"\"a^\"b\" x", "79 string! {\"a^\"b\"} | 80 word! {x}"},
        {"{a{b}^}c}", "open string! | 73 string! {{a{b}^}c}} | close string!"},
        {"%%{a}% b}%%", "open string! | 100 string! {%%{a}% b}%%} | close string!"},
        {"%{a}}%", "open string! | 100 string! {%{a}}%} | close string!"},
        {"#\"a\" #\"^\"\"", "84 char! {#\"a\"} | 84 char! {#\"^\"\"}"},
        {"#{0A 1b} 2#{01000001} 64#{QQ==}",
         "86 binary! {#{0A 1b}} | 86 binary! {2#{01000001}} | 86 binary! {64#{QQ==}}"},
        {"%dir/file.txt %\"a b\"", "85 file! {%dir/file.txt} | 85 file! {%\"a b\"}"},
        {"http://a.b/c?d=1 a@b.c", "97 url! {http://a.b/c?d=1} | 98 email! {a@b.c}"},
        {"<tag a=\"1\"> <a>", "96 tag! {<tag a=\"1\">} | 96 tag! {<a>}"},
        {"1x2 1.2.3 12:30 1:30.5", "92 pair! {1x2} | 90 tuple! {1.2.3} | 94 time! {12:30} | 94 time! {1:30.5}"},
        {"1-Jan-2000 1/2/2024 2024-01-31T10:00",
         "91 date! {1-Jan-2000} | 91 date! {1/2/2024} | 91 date! {2024-01-31T10:00}"},
        {"$1.50 USD$1 50% 1.5%", "95 money! {$1.50} | 95 money! {USD$1} | 87 percent! {50%} | 87 percent! {1.5%}"},
        {"FFh 12h @ref", "99 integer! {FFh} | 99 integer! {12h} | 101 ref! {@ref}"},
        {"#(true)", "76 none {#(true)}"},
        {"(1, 2) (1, 2, 3)", "93 point2D! {(1, 2)} | 93 point2D! {(1, 2, 3)}"},
        {"(1 + 2)", "open paren! | 82 integer! {1} | 80 word! {+} | 82 integer! {2} | close paren! | = paren!"},
        {"[a] #[k 1]",
         "open block! | 80 word! {a} | close block! | = block! | open map! | 80 word! {k} | 82 integer! {1} | "
         "close map! | = map!"},
        {"a/b/1", "open path! | 75 word! {a} | 80 word! {b} | 82 integer! {1} | close path! | = path!"},
        {"'a/b :a/b a/b: 1",
         "open lit-path! | 75 word! {a} | 80 word! {b} | close lit-path! | = lit-path! | open get-path! | "
         "75 word! {a} | 80 word! {b} | close get-path! | = get-path! | open path! | 75 word! {a} | "
         "80 word! {b} | close path! | = set-path! | 82 integer! {1}"},
        {"a/(b)/\"c\"",
         "open path! | 75 word! {a} | open paren! | 80 word! {b} | close paren! | = paren! | "
         "79 string! {\"c\"} | close path! | = path!"},
        {"[a/b]", "open block! | open path! | 75 word! {a} | 80 word! {b} | close path! | = path! | close block! | "
                  "= block!"},
        {"x ; note\ny", "80 word! {x} | comment {; note} | 80 word! {y}"},
        {"", ""},
        {"  \n\t ", ""},
    };
    for (const Case& c : cases) {
        Scan s(c.text);
        EXPECT_EQ(s.events(), c.events) << c.text;
        EXPECT_EQ(s.result.status, Status::COMPLETE) << c.text;
        EXPECT_EQ(s.result.stop, s.buffer.data() + s.buffer.size()) << c.text;
    }
}

TEST(LexerScan, WordsAreCutAtUnicodeBlanks) {
    const std::string nbsp = "\xC2\xA0", em = "\xE2\x80\x83", ideo = "\xE3\x80\x80";
    struct Case {
        std::string text;
        std::string events;
    };
    const Case cases[] = {
        {"a" + nbsp + "b", "80 word! {a} | 80 word! {b}"},
        {nbsp + em + "x" + ideo, "80 word! {x}"},
        {"a" + nbsp + "b" + em + "c:", "80 word! {a} | 80 word! {b} | 80 set-word! {c:}"},
        {"a/b" + nbsp + "c", "open path! | 75 word! {a} | 80 word! {b} | close path! | = path! | 80 word! {c}"},
        {"caf\xC3\xA9", "80 word! {caf\xC3\xA9}"},
        {nbsp, ""},
    };
    for (const Case& c : cases) {
        Scan s(c.text);
        EXPECT_EQ(s.events(), c.events) << c.text;
        EXPECT_EQ(s.result.status, Status::COMPLETE) << c.text;
    }
    // The flags of a cut word are those of the part kept.
    Scan s("a" + nbsp + "b");
    ASSERT_EQ(s.rec.tokens.size(), 2u);
    EXPECT_EQ(s.rec.tokens[1].flags, 0u);
}

TEST(LexerScan, LinesAndFlags) {
    Scan s("a\n\nb [\n  c\n] {x\ny} 'z");
    struct Expect {
        const char* text;
        uint32_t line;
        uint32_t lines;
    };
    const Expect expect[] = {{"a", 1, 0}, {"b", 3, 2}, {"c", 4, 1}, {"{x\ny}", 5, 0}, {"'z", 6, 0}};
    ASSERT_EQ(s.rec.tokens.size(), std::size(expect));
    for (size_t i = 0; i < std::size(expect); ++i) {
        const Token& t = s.rec.tokens[i];
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.start), size_t(t.next - t.start)), expect[i].text);
        EXPECT_EQ(t.line, expect[i].line) << expect[i].text;
        EXPECT_EQ(t.lines, expect[i].lines) << expect[i].text;
    }
    EXPECT_EQ(s.result.line, 6u);
    EXPECT_TRUE(s.rec.tokens[3].flags & F_MULTILINE);
    EXPECT_TRUE(s.rec.tokens[4].flags & F_QUOTE);

    Scan flat("{a{b}c} \"x^/\" 1.5e3 caf\xC3\xA9 \xF0\x9F\x98\x80");
    ASSERT_EQ(flat.rec.tokens.size(), 5u);
    EXPECT_FALSE(flat.rec.tokens[0].flags & F_MULTILINE);
    EXPECT_TRUE(flat.rec.tokens[1].flags & F_CARET);
    EXPECT_EQ(flat.rec.tokens[2].flags & (F_DOT | F_EXPONENT), F_DOT | F_EXPONENT);
    EXPECT_TRUE(flat.rec.tokens[3].flags & F_UTF8_2_3);
    EXPECT_TRUE(flat.rec.tokens[4].flags & F_UTF8_4);
}

// ---- open input and errors ------------------------------------------------------

TEST(LexerScan, OpenInputIsTold) {
    struct Case {
        const char* text;
        Status status;
        std::vector<Type> open;
    };
    const Case cases[] = {
        {"[1 2]", Status::COMPLETE, {}},
        {"print {done}", Status::COMPLETE, {}},
        {"[1 2", Status::INCOMPLETE, {TYPE_BLOCK}},
        {"f [a (b\n", Status::INCOMPLETE, {TYPE_BLOCK, TYPE_PAREN}},
        {"#[a 1", Status::INCOMPLETE, {TYPE_MAP}},
        {"(a ,", Status::INCOMPLETE, {TYPE_POINT2D}},
        {"{abc\n", Status::INCOMPLETE, {TYPE_STRING}},
        {"{", Status::INCOMPLETE, {TYPE_STRING}},
        {"{a{b}", Status::INCOMPLETE, {TYPE_STRING}},
        {"{a^", Status::INCOMPLETE, {TYPE_STRING}},
        {"[x {a\n", Status::INCOMPLETE, {TYPE_BLOCK, TYPE_STRING}},
        {"%%{abc\n", Status::INCOMPLETE, {TYPE_STRING}},
        {"%%{a}% b\nc", Status::INCOMPLETE, {TYPE_STRING}},
        {"\"abc", Status::INVALID, {}},        // quoted strings end on their line
        {"[\"abc", Status::INVALID, {TYPE_BLOCK}},
        {"[1 2)", Status::INVALID, {TYPE_BLOCK}},
        {"a/", Status::INVALID, {TYPE_PATH}},  // an unfinished path is an error
        {"#{01", Status::INVALID, {}},
        {"<a", Status::INVALID, {}},
    };
    for (const Case& c : cases) {
        Scan s(c.text);
        EXPECT_EQ(int(s.result.status), int(c.status)) << c.text;
        EXPECT_EQ(s.result.open, c.open) << c.text;
        if (c.status == Status::INCOMPLETE) {
            EXPECT_TRUE(s.result.error.at_end) << c.text;
        }
    }

    // Nothing past the given length is looked at.
    const std::string text = "{a} [b] \"c\" d:";
    for (size_t n = 0; n <= text.size(); ++n) {
        std::vector<uint8_t> exact(text.begin(), text.begin() + long(n));
        Result r = classify(exact.data(), exact.size());
        Result prefix = classify(bytes(text), n);
        EXPECT_EQ(int(r.status), int(prefix.status)) << n;
        EXPECT_EQ(r.open, prefix.open) << n;
        EXPECT_EQ(r.type, prefix.type) << n;
    }
    EXPECT_EQ(classify(bytes(text), 2).open, std::vector<Type>{TYPE_STRING});
    EXPECT_EQ(classify(bytes(text), text.size() - 1).type, TYPE_WORD);
}

TEST(LexerScan, SyntaxErrors) {
    struct Case {
        const char* text;
        int code;
        char missing;
        long start;  // where the error's text begins
        uint32_t line;
    };
    const Case cases[] = {
        {"1a", TYPE_INTEGER, 0, 0, 1},
        {"a,b", TYPE_WORD, 0, 0, 1},
        {"x 'a:", TYPE_LIT_WORD, 0, 2, 1},
        {":a:", TYPE_GET_WORD, 0, 0, 1},
        {"x\n  }", E_BAD_CHAR, 0, 4, 2},
        {"\\", E_BAD_CHAR, 0, 0, 1},
        {"\x7F", E_BAD_CHAR, 0, 0, 1},
        {"a\xC0", TYPE_WORD, 0, 0, 1},
        {"\"a\xF8\"", TYPE_STRING, 0, 0, 1},
        {"{a\xC1}", TYPE_STRING, 0, 0, 1},
        {"\"ab\ncd\"", TYPE_STRING, 0, 0, 1},
        {"[1\n2", E_MISSING_AT_END, ']', 0, 1},  // the opener's line
        {"x\n\n%%{a\nb", TYPE_STRING, 0, 3, 3},
        {"(1 2", E_MISSING_AT_END, ')', 0, 1},
        {"1 2]", E_MISSING, '[', 3, 1},
        {"[1 2)", E_MISSING, ']', 0, 1},
        {"(1 2]", E_MISSING, ')', 0, 1},
        {"#[a 1)", E_MISSING, ']', 0, 1},
        {"(x , y)", E_MISSING, '(', 0, 1},  // a comma makes a point: the paren no longer closes it
        {"(x , [y])", TYPE_POINT2D, 0, 5, 1},
        {"[a , b]", TYPE_POINT2D, 0, 3, 1},
        {"(  1, 2", TYPE_POINT2D, 0, 0, 1},
        {"(1, 2\n3)", TYPE_POINT2D, 0, 0, 1},
        {"a/b/", TYPE_PATH, 0, 0, 1},
        {"x a/b:/c", TYPE_PATH, 0, 2, 1},
        {"a/(b)c", TYPE_PATH, 0, 0, 1},  // only "/" separates path elements
        {"a/b}", TYPE_PATH, 0, 0, 1},
        {"'a/b:", E_BAD_CHAR, 0, 0, 1},  // a lit-path cannot become a set-path
        {"a/", E_BAD_CHAR, 0, 0, 1},
        {"%%{a}%b}%%", TYPE_STRING, 0, 0, 1},  // "}%" then a letter ends a raw string badly
        {"%{a}%% ", TYPE_STRING, 0, 0, 1},     // more percent signs behind than in front
        {"$", TYPE_MONEY, 0, 0, 1},
        {"#(", E_BAD_CHAR, 0, 0, 1},
    };
    for (const Case& c : cases) {
        Scan s(c.text);
        const Error& e = s.result.error;
        EXPECT_EQ(s.result.type, TYPE_ERROR) << c.text;
        EXPECT_EQ(e.code, c.code) << c.text;
        EXPECT_EQ(e.missing, c.missing) << c.text;
        EXPECT_EQ(s.offset(e.start), c.start) << c.text;
        EXPECT_EQ(e.line, c.line) << c.text;
        ASSERT_EQ(s.rec.errors.size(), 1u) << c.text;
    }
    // The error names its datatype to callbacks.
    EXPECT_EQ(Scan("[1").result.error.type, TYPE_BLOCK);
    EXPECT_EQ(Scan("a/").result.error.type, TYPE_PATH);
    EXPECT_EQ(Scan("}").result.error.type, TYPE_ERROR);
    EXPECT_EQ(Scan("1a").result.error.type, TYPE_INTEGER);
}

TEST(LexerScan, NulEndsTheInput) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
        const char* events;
        Status status;
    };
    const Case cases[] = {
        {"1 \0 2"s, "82 integer! {1}", Status::COMPLETE},
        {"ab\0cd"s, "80 word! {ab}", Status::COMPLETE},
        {"[a\0]"s, "open block! | 80 word! {a} | error -4", Status::INCOMPLETE},
        {"\"a\0b\""s, "error 7", Status::INVALID},
        {"{a\0}"s, "open string! | error 7", Status::INVALID},  // not the end of the text: an error
        {"%%{a}%\0}%%"s, "error 7", Status::INCOMPLETE},  // a raw string's closing run is not sought past it
    };
    for (const Case& c : cases) {
        Scan s(c.text);
        EXPECT_EQ(s.events(), c.events) << c.text.size();
        EXPECT_EQ(int(s.result.status), int(c.status)) << c.text.size();
    }
    Scan s("1 \0 2"s);
    EXPECT_EQ(s.result.stop, s.buffer.data() + s.buffer.size());
}

TEST(LexerScan, InvalidUtf8InWords) {
    const char* cases[] = {
        "a\x80",           // a continuation byte alone
        "a\xC2" "b",       // a lead byte without its continuation
        "\xE0\x80\x80",    // overlong
        "\xED\xA0\x80",    // a surrogate
        "\xF4\x90\x80\x80",  // above 10FFFF
        "\xF5\x80\x80\x80",  // a lead byte that no code point uses
        "ab\xE2\x80",      // cut short
    };
    for (const char* text : cases) {
        Scan s(text);
        EXPECT_EQ(s.result.status, Status::INVALID) << text;
        EXPECT_EQ(s.result.error.code, TYPE_WORD) << text;
    }
    uint32_t cp = 0;
    const uint8_t four[] = {0xF0, 0x9F, 0x98, 0x80};
    EXPECT_EQ(decode_utf8(four, four + 4, &cp), 4);
    EXPECT_EQ(cp, 0x1F600u);
    EXPECT_EQ(decode_utf8(four, four + 3, &cp), 0);
}

// ---- modes and the sink ----------------------------------------------------------

TEST(LexerScan, StopAfterOneValue) {
    struct Case {
        const char* text;
        bool prescan;
        Type type;
        long stop;
    };
    const Case cases[] = {
        {"1 2", false, TYPE_INTEGER, 1},
        {"  [1 [2]] 3", false, TYPE_BLOCK, 9},
        {"a/b c", false, TYPE_PATH, 3},
        {"a/b: c", false, TYPE_SET_PATH, 4},
        {"{x} y", false, TYPE_STRING, 3},
        {"; c\n 5 6", false, TYPE_INTEGER, 6},
        {"a: 1", false, TYPE_SET_WORD, 2},
        {"a: 1", true, TYPE_WORD, 2},  // prescan does not sort words by kind
        {"(1, 2) x", false, TYPE_POINT2D, 6},
        {"", false, TYPE_NONE_ID, 0},
    };
    for (const Case& c : cases) {
        Options o;
        o.stop_after_one = true;
        o.prescan = c.prescan;
        Scan s(c.text, o);
        EXPECT_EQ(s.result.status, Status::COMPLETE) << c.text;
        EXPECT_EQ(s.result.type, c.type) << c.text;
        EXPECT_EQ(s.offset(s.result.stop), c.stop) << c.text;
    }
    Options o;
    o.stop_after_one = true;
    EXPECT_EQ(Scan("[1", o).result.status, Status::INCOMPLETE);
    // A partial path in prescan mode is taken for its type.
    o.prescan = true;
    Scan partial("a/", o);
    EXPECT_EQ(partial.result.type, TYPE_PATH);
    EXPECT_EQ(partial.result.error.code, 0);
}

TEST(LexerScan, SinkDecisions) {
    // A sink that rejects a token's text makes it an error; one that resumes goes on.
    struct Picky : Recorder {
        int token(Scanner& s, Token& t) override {
            Recorder::token(s, t);
            return t.type == TYPE_INTEGER ? TYPE_INTEGER : 0;
        }
    };
    Picky p;
    p.resume = true;
    std::string text = "a 1 b }} c \xC0 d";
    Result r = classify(bytes(text), text.size(), &p);
    EXPECT_EQ(r.status, Status::COMPLETE);
    std::vector<int> codes;
    for (const Error& e : p.errors) codes.push_back(e.code);
    EXPECT_EQ(codes, (std::vector<int>{TYPE_INTEGER, E_BAD_CHAR, E_BAD_CHAR, E_BAD_CHAR}));
    ASSERT_EQ(p.tokens.size(), 5u);
    EXPECT_EQ(*p.tokens.back().start, 'd');

    // A sink that refuses to open a block leaves its items at the outer level.
    struct NoBlocks : Recorder {
        bool open(Scanner& s, Type type, const Token& t) override {
            Recorder::open(s, type, t);
            return type != TYPE_BLOCK;
        }
    };
    NoBlocks nb;
    text = "(a [b)";
    r = classify(bytes(text), text.size(), &nb);
    EXPECT_EQ(r.status, Status::COMPLETE);
    EXPECT_EQ(r.type, TYPE_PAREN);

    // A sink may move the cursor, but never out of the input.
    struct Jumper : Recorder {
        bool error(Scanner& s, const Error& e) override {
            Recorder::error(s, e);
            s.move_cursor(s.end() + 1000);
            return true;
        }
    };
    Jumper j;
    text = "} x";
    r = classify(bytes(text), text.size(), &j);
    EXPECT_EQ(r.stop, bytes(text) + text.size());
    EXPECT_TRUE(j.tokens.empty());
}

TEST(LexerScan, PointLiteralTest) {
    struct Case {
        const char* after;  // text after the "("
        bool point;
    };
    const Case cases[] = {
        {"1, 2)", true}, {"-1.5, 2e3)", true}, {" 1.#INF , 0)", true}, {"a, b)", true},
        {"1 + 2)", false}, {"1,)", false}, {"x, y)", false}, {"1  2", true},  // input ends in the run
    };
    for (const Case& c : cases) EXPECT_EQ(point_ahead(bytes(c.after), bytes(c.after) + strlen(c.after)), c.point) << c.after;
}

// ---- hostile input ---------------------------------------------------------------

TEST(LexerScan, NestingIsBounded) {
    Options o;
    o.max_depth = 3;
    EXPECT_EQ(Scan("[[[a]]]", o).result.status, Status::COMPLETE);
    Scan deep("[[[[a]]]]", o);
    EXPECT_EQ(deep.result.error.code, E_TOO_DEEP);
    EXPECT_EQ(deep.offset(deep.result.error.start), 3);

    std::string huge(1'000'000, '(');
    Result r = classify(bytes(huge), huge.size());
    EXPECT_EQ(r.error.code, E_TOO_DEEP);
    EXPECT_EQ(r.open.size(), size_t(Options().max_depth));
}

TEST(LexerScan, WorstCaseInputsTakeLinearTime) {
    // Each would take minutes if any step read the input again for every token.
    std::string nbsp_words;
    while (nbsp_words.size() < 3'000'000) nbsp_words += "a\xC2\xA0";
    Recorder rec;
    Result r = classify(bytes(nbsp_words), nbsp_words.size(), &rec);
    EXPECT_EQ(r.status, Status::COMPLETE);
    EXPECT_EQ(rec.tokens.size(), 1'000'000u);

    // Unterminated raw strings, each one resumed after its error.
    std::string raws;
    while (raws.size() < 2'000'000) raws += "%%{a}% ";
    Recorder resume;
    resume.resume = true;
    r = classify(bytes(raws), raws.size(), &resume);
    EXPECT_EQ(resume.errors.size(), 1u);
    EXPECT_EQ(r.stop, bytes(raws) + raws.size());

    std::string parens;
    while (parens.size() < 2'000'000) parens += "(1 1 1 1 1 1 1 1 1 x) ";
    r = classify(bytes(parens), parens.size());
    EXPECT_EQ(r.status, Status::COMPLETE);

    // Closers that match no opener, each reported from the opener far back.
    std::string closers = "[" + std::string(1'000'000, '\n') + std::string(1'000'000, ')');
    Recorder refused;
    refused.resume = true;
    r = classify(bytes(closers), closers.size(), &refused);
    ASSERT_FALSE(refused.errors.empty());
    EXPECT_EQ(refused.errors.front().line, 1u);

    std::string bad(2'000'000, '}');
    Recorder skip;
    skip.resume = true;
    r = classify(bytes(bad), bad.size(), &skip);
    EXPECT_EQ(skip.errors.size(), bad.size());
}

TEST(LexerScan, RandomInputKeepsItsBounds) {
    // Random texts over the bytes that matter; each is scanned from a buffer of its
    // exact size, and every token must lie inside it, in order.
    const std::string alphabet = std::string("[](){}\"#':xXThEeaAF/\\<>=%,;@.$+-^ \n\t19") + '\0' + "\x80\xC2\xA0\xC0\xF0";
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        size_t n = rng() % 24;
        std::string text;
        for (size_t i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
        for (bool resume : {false, true}) {
            Scan s(text, {}, resume);
            const uint8_t* lo = s.buffer.data();
            const uint8_t* hi = lo + s.buffer.size();
            const uint8_t* last = lo;
            for (const Token& t : s.rec.tokens) {
                ASSERT_LE(lo, t.start) << text;
                ASSERT_LE(t.start, t.end) << text;
                ASSERT_LE(t.end, t.next) << text;
                ASSERT_LE(t.next, hi) << text;
                ASSERT_LE(last, t.start) << text;
                last = t.next;
            }
            ASSERT_LE(s.result.stop, hi) << text;
            ASSERT_GE(s.result.stop, lo) << text;
            ASSERT_EQ(s.result.error.code != 0, s.result.type == TYPE_ERROR) << text;
            if (s.result.status == Status::COMPLETE && !resume) {
                ASSERT_TRUE(s.result.open.empty()) << text;
            }
        }
    }
}
