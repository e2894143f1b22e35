// The tokenizer's constant tables. Each transition row is written as its default
// target and a list of exceptions ("classes -> state"), exactly as the rows are
// read when they are checked by hand; a constexpr builder expands them and stops
// the compilation on a malformed row, a class listed twice in a row, a target
// that is not a state, or a byte that has no class or two.
#include "io/lexer_tables.hpp"

#include <string_view>

namespace kro::lexer {
namespace {

// ---- datatype names used by the rows --------------------------------------------

struct TypeName {
    std::string_view name;
    Type type;
};
constexpr TypeName type_names[] = {
    {"-", TYPE_NONE_ID},          {"block!", TYPE_BLOCK},       {"paren!", TYPE_PAREN},
    {"string!", TYPE_STRING},     {"file!", TYPE_FILE},         {"url!", TYPE_URL},
    {"char!", TYPE_CHAR},         {"integer!", TYPE_INTEGER},   {"float!", TYPE_FLOAT},
    {"word!", TYPE_WORD},         {"set-word!", TYPE_SET_WORD}, {"refinement!", TYPE_REFINEMENT},
    {"issue!", TYPE_ISSUE},       {"path!", TYPE_PATH},         {"error!", TYPE_ERROR},
    {"pair!", TYPE_PAIR},         {"percent!", TYPE_PERCENT},   {"tuple!", TYPE_TUPLE},
    {"map!", TYPE_MAP},           {"binary!", TYPE_BINARY},     {"time!", TYPE_TIME},
    {"tag!", TYPE_TAG},           {"email!", TYPE_EMAIL},       {"date!", TYPE_DATE},
    {"money!", TYPE_MONEY},       {"ref!", TYPE_REF},           {"point2D!", TYPE_POINT2D},
    {"datatype!", TYPE_DATATYPE},
};

constexpr Type type_named(std::string_view name) {
    for (const TypeName& t : type_names)
        if (t.name == name) return t.type;
    throw "unknown datatype name in a lexer table";
}

// ---- byte classes ---------------------------------------------------------------

struct ClassBuilder {
    int cls[256] = {};
    bool set[256] = {};

    constexpr void one(Class c, unsigned b) {
        if (set[b]) throw "a byte is given two classes";
        set[b] = true;
        cls[b] = c;
    }
    constexpr void bytes(Class c, std::string_view s) {
        for (char ch : s) one(c, uint8_t(ch));
    }
    constexpr void range(Class c, unsigned lo, unsigned hi) {
        for (unsigned b = lo; b <= hi; ++b) one(c, b);
    }
};

constexpr uint32_t flags_of(unsigned b) {
    uint32_t f = 0;
    switch (b) {
        case '%': f |= F_PERCENT; break;
        case '>': f |= F_GREATER; break;
        case '<': f |= F_LESS; break;
        case '+': case '-': f |= F_SIGN; break;
        case 0: f |= F_NUL; break;
        case '#': f |= F_SHARP; break;
        case 'e': case 'E': f |= F_EXPONENT; break;
        case '\'': f |= F_QUOTE; break;
        case ':': f |= F_COLON; break;
        case ',': f |= F_COMMA; break;
        case '.': f |= F_DOT; break;
        case '^': f |= F_CARET; break;
        default: break;
    }
    if (b >= 0xC2 && b <= 0xEF) f |= F_UTF8_2_3;
    if (b >= 0xF0 && b <= 0xF7) f |= F_UTF8_4;
    return f;
}

constexpr void build_classes(uint32_t (&out)[256]) {
    ClassBuilder b;
    b.bytes(C_BLANK, "\t\r ");
    b.bytes(C_LINE, "\n");
    b.range(C_DIGIT, '1', '9');
    b.bytes(C_ZERO, "0");
    b.bytes(C_BLOCK_OPEN, "[");
    b.bytes(C_BLOCK_CLOSE, "]");
    b.bytes(C_PAREN_OPEN, "(");
    b.bytes(C_PAREN_CLOSE, ")");
    b.bytes(C_BRACE_OPEN, "{");
    b.bytes(C_BRACE_CLOSE, "}");
    b.bytes(C_DOUBLE_QUOTE, "\"");
    b.bytes(C_SHARP, "#");
    b.bytes(C_QUOTE, "'");
    b.bytes(C_COLON, ":");
    b.bytes(C_X, "xX");
    b.bytes(C_T, "T");
    b.bytes(C_H, "h");
    b.bytes(C_E_LOWER, "e");
    b.bytes(C_E_UPPER, "E");
    b.bytes(C_HEX_LOWER, "abcdf");
    b.bytes(C_HEX_UPPER, "ABCDF");
    b.bytes(C_SLASH, "/");
    b.bytes(C_BACKSLASH, "\\");
    b.bytes(C_LESS, "<");
    b.bytes(C_GREATER, ">");
    b.bytes(C_EQUAL, "=");
    b.bytes(C_PERCENT, "%");
    b.bytes(C_COMMA, ",");
    b.bytes(C_SEMICOLON, ";");
    b.bytes(C_AT, "@");
    b.bytes(C_DOT, ".");
    b.bytes(C_DOLLAR, "$");
    b.bytes(C_PLUS, "+");
    b.bytes(C_MINUS, "-");
    b.bytes(C_CARET, "^");
    b.range(C_CONTROL, 0x01, 0x08);
    b.range(C_CONTROL, 0x0B, 0x0C);
    b.range(C_CONTROL, 0x0E, 0x1F);
    b.one(C_CONTINUATION, 0x7F);
    b.range(C_CONTINUATION, 0x80, 0xBF);
    b.bytes(C_LETTER, "!&*?_`|~YZgyz");
    b.range(C_LETTER, 'G', 'S');
    b.range(C_LETTER, 'U', 'W');
    b.range(C_LETTER, 'i', 'w');
    b.range(C_LETTER, 0xC2, 0xF7);
    b.range(C_ILLEGAL, 0xC0, 0xC1);
    b.range(C_ILLEGAL, 0xF8, 0xFF);
    b.one(C_NUL, 0x00);
    for (unsigned i = 0; i < 256; ++i) {
        if (!b.set[i]) throw "a byte has no class";
        out[i] = uint32_t(b.cls[i]) | flags_of(i);
    }
}

// ---- transition rows ------------------------------------------------------------

struct Row {
    int state;
    std::string_view role;
    std::string_view type;
    int fallback;                // the default target
    std::string_view exceptions; // "classes -> state; ..."
};

// One row per running state: state, role, token type, default, exceptions.
constexpr Row rows[] = {
    {0, "start, between tokens", "-", 52, "0 1 35 -> 0; 28 -> 1; 10 -> 2; 26 -> 6; 21 -> 13; 11 -> 16; 2 3 -> 23; 31 -> 36; 18 20 -> 40; 23 -> 43; 32 33 -> 47; 30 -> 49; 12 13 -> 51; 29 -> 57; 25 -> 58; 39 -> 66; 9 22 36 38 -> 67; 4 -> 68; 5 -> 69; 6 -> 70; 7 -> 71; 8 -> 72; 27 -> 78"},
    {1, "comment after \";\"", "-", 1, "38 -> 67; 1 39 -> 77"},
    {2, "inside a double-quoted string", "string!", 2, "34 -> 3; 1 38 39 -> 67; 10 -> 79"},
    {3, "after \"^\" in a double-quoted string", "string!", 2, "38 39 -> 67"},
    {4, "inside a braced string (resumed)", "string!", 4, "34 -> 5; 38 39 -> 67; 8 -> 72; 9 -> 73"},
    {5, "after \"^\" in a braced string", "string!", 4, "38 39 -> 67"},
    {6, "after \"%\"", "file!", 7, "10 -> 8; 26 -> 9; 8 -> 10; 13 -> 54; 38 -> 67; 0 1 4 5 6 7 9 28 29 35 39 -> 80"},
    {7, "unquoted file", "file!", 7, "10 38 -> 67; 0 1 4 5 6 7 8 9 13 28 29 39 -> 85"},
    {8, "quoted file (percent sign and double quote)", "file!", 8, "1 38 39 -> 67; 10 -> 85"},
    {9, "run of \"%\" at a raw-string opener", "file!", 7, "26 -> 9; 8 -> 10; 38 -> 67; 0 1 4 5 6 7 9 10 22 28 35 39 -> 80"},
    {10, "raw-string body", "string!", 10, "9 -> 11; 38 39 -> 67"},
    {11, "raw string after \"}\"", "string!", 10, "9 -> 11; 26 -> 12; 38 39 -> 67"},
    {12, "raw string closing \"%\" run", "string!", 67, "26 -> 12; 0 1 4 5 6 7 8 10 23 28 35 39 -> 100"},
    {13, "after a leading \"/\"", "word!", 14, "21 -> 15; 13 -> 53; 27 38 -> 67; 0 1 4 5 6 7 8 9 10 11 28 29 35 39 -> 80"},
    {14, "refinement body", "refinement!", 14, "13 27 38 -> 67; 0 1 4 5 6 7 8 9 10 21 28 29 35 39 -> 83"},
    {15, "word made of \"/\"", "word!", 52, "21 -> 15; 26 27 31 38 -> 67; 0 1 4 5 6 7 8 9 10 11 28 29 35 39 -> 80"},
    {16, "after \"#\"", "issue!", 22, "8 -> 17; 10 -> 19; 6 -> 21; 0 1 5 7 9 13 23 24 27 38 -> 67; 4 -> 74; 28 29 35 39 -> 81"},
    {17, "binary body \"#{\"", "binary!", 67, "0 1 2 3 14 15 16 17 18 19 20 21 25 32 37 -> 17; 28 -> 18; 9 -> 86"},
    {18, "comment inside a binary", "-", 18, "1 -> 17; 38 39 -> 67"},
    {19, "char (number sign and double quote)", "char!", 19, "34 -> 20; 38 39 -> 67; 10 -> 84"},
    {20, "after \"^\" in a char", "char!", 19, "38 39 -> 67"},
    {21, "construction \"#(\"", "-", 21, "38 39 -> 67; 7 -> 76"},
    {22, "issue body", "issue!", 22, "13 21 38 -> 67; 0 1 4 5 6 7 8 9 10 28 29 35 39 -> 81"},
    {23, "integer digits", "integer!", 82, "11 -> 16; 2 3 12 -> 23; 30 -> 24; 17 -> 26; 18 -> 27; 15 21 33 -> 30; 13 -> 31; 14 -> 33; 20 -> 39; 16 -> 42; 29 -> 56; 19 22 24 25 31 32 34 36 37 38 -> 67; 26 -> 87"},
    {24, "digits then \".\"", "float!", 67, "2 3 12 -> 25; 17 18 -> 26; 11 -> 28; 14 -> 33; 26 -> 87; 0 1 4 5 6 7 8 9 10 21 23 27 28 35 39 -> 88"},
    {25, "decimal fraction", "float!", 88, "2 3 12 -> 25; 17 18 -> 26; 30 -> 29; 14 -> 33; 29 -> 56; 11 15 16 19 20 22 24 25 31 32 33 34 36 37 38 -> 67; 26 -> 87"},
    {26, "exponent", "float!", 67, "2 3 32 33 -> 26; 29 -> 56; 0 1 4 5 6 7 8 9 10 13 21 23 27 28 35 39 -> 88"},
    {27, "digits then \"E\" or upper hex letter", "float!", 88, "32 33 -> 26; 2 3 -> 27; 30 -> 29; 18 20 -> 40; 16 -> 42; 29 -> 56; 11 12 14 15 17 19 22 24 25 28 31 34 36 37 38 -> 67; 26 -> 87"},
    {28, "after \".#\"", "float!", 89, "14 15 16 17 18 19 20 24 25 30 32 33 36 37 -> 28; 11 12 13 26 29 31 34 38 -> 67; 2 -> 88"},
    {29, "tuple (second \".\")", "tuple!", 67, "2 3 30 -> 29; 0 1 4 5 6 7 8 9 10 13 21 23 28 35 39 -> 90"},
    {30, "date", "date!", 30, "26 27 29 34 36 38 -> 67; 0 1 4 5 6 7 8 9 10 23 28 31 35 39 -> 91"},
    {31, "digits then \":\"", "time!", 67, "2 3 -> 32"},
    {32, "time", "time!", 67, "2 3 13 30 -> 32; 0 1 4 5 6 7 8 9 10 21 23 28 35 39 -> 94"},
    {33, "digits then \"x\"", "pair!", 67, "2 3 32 33 -> 34; 29 -> 56"},
    {34, "pair, second part", "pair!", 67, "2 3 17 18 30 -> 34; 29 -> 56; 0 1 4 5 6 7 8 9 10 13 21 23 28 35 39 -> 92"},
    {35, "point literal inside \"(\"", "point2D!", 67, "0 2 3 5 11 17 18 19 20 27 30 32 33 37 -> 35; 7 -> 93"},
    {36, "after \"$\"", "money!", 67, "2 3 -> 37"},
    // a "/" after money makes it a path's head: USD$3/code
    {37, "money digits", "money!", 67, "2 3 12 -> 37; 30 -> 38; 21 -> 75; 0 1 4 5 6 7 8 9 10 11 13 23 28 35 39 -> 95"},
    {38, "money fraction", "money!", 67, "2 3 12 -> 38; 21 -> 75; 0 1 4 5 6 7 8 9 10 11 13 23 28 35 39 -> 95"},
    {39, "digits then hex letters", "-", 67, "2 3 18 20 -> 39; 16 -> 41; 29 -> 56"},
    {40, "word starting with \"E\" or upper hex letter", "integer!", 80, "31 -> 37; 2 3 18 20 -> 40; 16 -> 41; 12 14 15 17 19 23 24 25 30 32 33 34 36 37 -> 52; 13 -> 53; 29 -> 56; 26 27 38 -> 67; 21 -> 75"},
    {41, "hex digits then \"h\"", "word!", 52, "31 -> 37; 13 -> 53; 29 -> 56; 11 26 27 38 -> 67; 21 -> 75; 0 1 4 5 6 7 8 9 10 22 28 35 39 -> 99"},
    {42, "digits then \"h\"", "integer!", 67, "31 -> 37; 29 -> 56; 21 -> 75; 0 1 4 5 6 7 8 9 10 22 23 28 35 39 -> 99"},
    {43, "after \"<\"", "tag!", 44, "23 -> 43; 12 -> 46; 24 25 33 -> 52; 13 -> 53; 38 -> 67; 0 1 4 5 6 7 8 9 10 28 35 39 -> 80"},
    {44, "tag body", "tag!", 44, "10 -> 45; 12 -> 46; 38 39 -> 67; 24 -> 96"},
    {45, "tag body inside double quotes", "tag!", 45, "10 -> 44; 38 39 -> 67"},
    {46, "tag body inside single quotes", "tag!", 46, "12 -> 44; 38 39 -> 67"},
    {47, "after a leading sign", "word!", 52, "2 3 -> 23; 31 -> 37; 30 -> 49; 12 26 34 38 -> 67; 21 -> 75; 0 1 4 5 6 7 8 9 10 11 22 28 35 39 -> 80"},
    {48, "sign after a leading quote or colon", "word!", 52, "12 26 31 34 38 -> 67; 21 -> 75; 0 1 4 5 6 7 8 9 10 11 22 28 35 39 -> 80"},
    {49, "after a leading \".\"", "word!", 52, "2 3 32 33 -> 50; 13 -> 53; 29 -> 56; 26 27 31 38 -> 67; 21 -> 75; 0 1 4 5 6 7 8 9 10 11 22 28 35 39 -> 80"},
    {50, "decimal after a leading \".\"", "float!", 67, "14 -> 33; 2 3 17 18 32 33 -> 50; 29 -> 56; 26 -> 87; 0 1 4 5 6 7 8 9 10 13 21 23 35 39 -> 88"},
    {51, "after a leading quote or colon", "word!", 67, "21 -> 13; 23 -> 43; 32 33 -> 48; 14 15 16 17 18 19 20 24 30 34 36 37 -> 52; 26 -> 54; 25 -> 58"},
    {52, "word body", "word!", 52, "31 -> 36; 13 -> 53; 29 -> 56; 26 27 38 -> 67; 21 -> 75; 0 1 4 5 6 7 8 9 10 11 22 23 28 35 39 -> 80"},
    {53, "word then \":\"", "set-word!", 55, "23 38 -> 67; 0 1 4 5 6 7 8 9 10 22 28 35 39 -> 80"},
    {54, "percent-sign word after a leading quote, colon or percent sign", "word!", 67, "26 -> 54; 0 1 4 5 6 7 8 9 22 28 35 39 -> 80"},
    {55, "url body", "url!", 55, "24 34 38 -> 67; 0 1 4 5 6 7 8 9 10 22 23 28 35 39 -> 97"},
    {56, "email after \"@\"", "email!", 98, "2 3 14 15 16 17 18 19 20 26 30 32 33 36 37 -> 56; 11 12 13 24 25 27 29 31 34 38 -> 67"},
    {57, "ref after \"@\"", "ref!", 57, "11 12 22 24 25 27 29 31 34 38 -> 67; 0 1 4 5 6 7 8 9 10 23 28 35 39 -> 101"},
    {58, "after a leading \"=\"", "word!", 52, "11 26 27 29 31 38 -> 67; 21 -> 75; 0 1 4 5 6 7 8 9 10 13 22 28 35 39 -> 80"},
    {59, "path element start (resumed)", "path!", 67, "10 -> 2; 31 -> 36; 23 -> 43; 29 -> 57; 2 3 -> 60; 12 13 -> 61; 14 15 16 17 18 19 20 24 25 30 36 37 -> 62; 11 -> 63; 32 33 -> 64; 6 -> 70; 7 -> 71"},
    {60, "path element: digits", "integer!", 67, "30 -> 24; 17 18 -> 26; 14 -> 33; 29 -> 56; 2 3 12 -> 60; 0 1 4 5 6 7 8 9 10 13 21 23 28 35 39 -> 82; 26 -> 87"},
    {61, "path element: after a quote or colon", "word!", 67, "14 15 16 17 18 19 20 23 24 25 30 32 33 36 37 -> 62"},
    {62, "path element: word", "word!", 62, "31 -> 36; 29 -> 56; 11 26 27 38 -> 67; 0 1 4 5 6 7 8 9 10 13 21 22 28 35 39 -> 80"},
    {63, "path element: after \"#\"", "issue!", 22, "10 -> 19; 4 -> 21; 0 1 5 6 7 8 9 13 21 23 24 25 27 28 29 35 38 39 -> 67"},
    {64, "path element: after a sign", "word!", 80, "31 -> 36; 29 -> 56; 2 3 -> 60; 14 15 16 17 18 19 20 24 25 30 36 37 -> 62; 32 33 -> 64; 11 12 23 26 27 34 38 -> 67"},
};

struct Terminal {
    int state;
    std::string_view token;
    std::string_view type;
    std::string_view exit;  // its entry in exit_states, "(none)" for no entry
};

// Terminal states: state, token, token type, exit-states entry.
constexpr Terminal terminals[] = {
    {66, "end of input", "-", "eof"},
    {67, "invalid token", "error!", "error!"},
    {68, "\"[\"", "-", "block!"},
    {69, "\"]\"", "-", "block!"},
    {70, "\"(\"", "-", "paren!"},
    {71, "\")\"", "-", "paren!"},
    {72, "\"{\"", "-", "string!"},
    {73, "\"}\"", "string!", "string!"},
    {74, "\"#[\"", "-", "map!"},
    {75, "\"/\" after a path head", "-", "path!"},
    {76, "\"#(\" ... \")\"", "-", "datatype!"},
    {77, "end of a comment", "-", "comment"},
    {78, "\",\"", "-", "(none)"},
    {79, "closing double quote", "string!", "string!"},
    {80, "end of a word", "word!", "word!"},
    {81, "end of an issue", "issue!", "issue!"},
    {82, "integer", "integer!", "integer!"},
    {83, "\"/\"-word or refinement", "refinement!", "refinement!"},
    {84, "char", "char!", "char!"},
    {85, "file", "file!", "file!"},
    {86, "binary", "binary!", "binary!"},
    {87, "percent", "percent!", "percent!"},
    {88, "float", "float!", "float!"},
    {89, "float with \"#\" (infinity, NaN)", "float!", "float!"},
    {90, "tuple", "tuple!", "tuple!"},
    {91, "date", "date!", "date!"},
    {92, "pair", "pair!", "pair!"},
    {93, "point (two or three numbers in parentheses, comma-separated)", "point2D!", "(none)"},
    {94, "time", "time!", "time!"},
    {95, "money", "money!", "money!"},
    {96, "tag", "tag!", "tag!"},
    {97, "url", "url!", "url!"},
    {98, "email", "email!", "email!"},
    {99, "hex integer (digits with a trailing \"h\")", "integer!", "hex"},
    {100, "raw string (percent signs around braces)", "string!", "rawstring"},
    {101, "ref (leading \"@\")", "ref!", "ref!"},
};

constexpr std::string_view exit_state_names[EXIT_STATE_COUNT] = {
    "eof",     "error!",   "block!",   "block!",  "paren!",  "paren!",      "string!",
    "string!", "map!",     "path!",    "datatype!", "comment", "string!",   "word!",
    "issue!",  "integer!", "refinement!", "char!", "file!",   "binary!",    "percent!",
    "float!",  "float!",   "tuple!",   "date!",   "pair!",   "time!",       "money!",
    "tag!",    "url!",     "email!",   "hex",     "rawstring", "ref!",
};

constexpr bool is_space(char c) { return c == ' '; }

constexpr int check_target(int t) {
    if (t < 0 || t >= STATE_COUNT || t == S_NEVER) throw "a transition leads to no state";
    return t;
}

// Expands "a b -> n; c -> m" over a row already filled with its default.
constexpr void expand(uint8_t (&row)[CLASS_COUNT], std::string_view text) {
    bool listed[CLASS_COUNT] = {};
    int pending[CLASS_COUNT] = {};
    int count = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (is_space(text[i])) { ++i; continue; }
        if (text[i] == ';') {
            if (count != 0) throw "classes without a target";
            ++i;
            continue;
        }
        if (text[i] == '-' && i + 1 < text.size() && text[i + 1] == '>') {
            i += 2;
            while (i < text.size() && is_space(text[i])) ++i;
            int target = 0;
            bool digits = false;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
                target = target * 10 + (text[i] - '0');
                ++i;
                digits = true;
            }
            if (!digits || count == 0) throw "a malformed exception list";
            check_target(target);
            for (int k = 0; k < count; ++k) row[pending[k]] = uint8_t(target);
            count = 0;
            continue;
        }
        if (text[i] < '0' || text[i] > '9') throw "an unexpected character in an exception list";
        int cls = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            cls = cls * 10 + (text[i] - '0');
            ++i;
        }
        if (cls >= CLASS_COUNT) throw "a class out of range";
        if (listed[cls]) throw "a class listed twice in one row";
        listed[cls] = true;
        pending[count++] = cls;
    }
    if (count != 0) throw "classes without a target";
}

constexpr Tables build() {
    Tables t{};
    build_classes(t.byte);

    int expected = 0;
    for (const Row& r : rows) {
        if (r.state != expected++) throw "running states out of order";
        for (int c = 0; c < CLASS_COUNT; ++c) t.next[r.state][c] = uint8_t(check_target(r.fallback));
        expand(t.next[r.state], r.exceptions);
        t.type[r.state] = type_named(r.type);
    }
    if (expected != RUNNING_STATES) throw "a running state has no row";

    expected = FIRST_TERMINAL;
    int entry = 0;
    for (const Terminal& term : terminals) {
        if (term.state != expected++) throw "terminal states out of order";
        t.type[term.state] = type_named(term.type);
        if (term.exit != "(none)") {
            if (entry >= EXIT_STATE_COUNT || exit_state_names[entry] != term.exit)
                throw "a terminal state does not match its exit-states entry";
            t.exit_entry[term.state] = uint8_t(++entry);
        }
    }
    if (expected != STATE_COUNT || entry != EXIT_STATE_COUNT) throw "terminal states missing";
    return t;
}

constexpr Tables built = build();

constexpr Type exit_type(std::string_view name) {
    return name == "eof" || name == "comment" || name == "hex" || name == "rawstring" ? TYPE_NONE_ID
                                                                                      : type_named(name);
}

// Float automaton rows for states 0-8; columns: other, sign, digit, exponent, ".", "'", end.
constexpr uint8_t float_rows[9][7] = {
    {10, 0, 1, 10, 4, 10, 10},   // 0
    {10, 10, 1, 6, 5, 2, 9},     // 1
    {10, 10, 1, 10, 10, 10, 9},  // 2
    {10, 10, 3, 6, 10, 4, 9},    // 3
    {10, 10, 3, 10, 10, 10, 9},  // 4
    {10, 10, 3, 10, 10, 10, 9},  // 5
    {10, 7, 8, 10, 10, 10, 10},  // 6
    {10, 10, 8, 10, 10, 10, 10}, // 7
    {10, 10, 8, 10, 10, 10, 9},  // 8
};

constexpr int FLOAT_ACCEPT = 9;
constexpr int FLOAT_REJECT = 10;

}  // namespace

const Tables tables = built;

#define KRO_EXIT(i) {exit_state_names[i].data(), exit_type(exit_state_names[i])}
const ExitState exit_states[EXIT_STATE_COUNT] = {
    KRO_EXIT(0),  KRO_EXIT(1),  KRO_EXIT(2),  KRO_EXIT(3),  KRO_EXIT(4),  KRO_EXIT(5),  KRO_EXIT(6),
    KRO_EXIT(7),  KRO_EXIT(8),  KRO_EXIT(9),  KRO_EXIT(10), KRO_EXIT(11), KRO_EXIT(12), KRO_EXIT(13),
    KRO_EXIT(14), KRO_EXIT(15), KRO_EXIT(16), KRO_EXIT(17), KRO_EXIT(18), KRO_EXIT(19), KRO_EXIT(20),
    KRO_EXIT(21), KRO_EXIT(22), KRO_EXIT(23), KRO_EXIT(24), KRO_EXIT(25), KRO_EXIT(26), KRO_EXIT(27),
    KRO_EXIT(28), KRO_EXIT(29), KRO_EXIT(30), KRO_EXIT(31), KRO_EXIT(32), KRO_EXIT(33),
};
#undef KRO_EXIT

bool is_path_delimiter(int cls) {
    switch (cls) {
        case C_BLANK: case C_LINE: case C_BLOCK_OPEN: case C_BLOCK_CLOSE: case C_PAREN_OPEN:
        case C_PAREN_CLOSE: case C_BRACE_OPEN: case C_DOUBLE_QUOTE: case C_COLON: case C_LESS:
        case C_SEMICOLON: case C_LETTER: case C_ILLEGAL: case C_NUL:
            return true;
        default:
            return false;
    }
}

int float_group(uint8_t b) {
    switch (b) {
        case '+': case '-': return 1;
        case 'e': case 'E': return 3;
        case '.': return 4;
        case '\'': return 5;
        default: return b >= '0' && b <= '9' ? 2 : 0;
    }
}

int float_step(int state, int group) {
    if (state >= FLOAT_ACCEPT) return state;
    return float_rows[state][group];
}

bool float_syntax(const uint8_t* text, size_t length) {
    if (length > FLOAT_TEXT_MAX) return false;
    int state = 0;
    for (size_t i = 0; i < length && state < FLOAT_ACCEPT; ++i) state = float_rows[state][float_group(text[i])];
    return float_step(state, 6) != FLOAT_REJECT;
}

const uint32_t unicode_blanks[UNICODE_BLANK_COUNT] = {
    0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007,
    0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000, 0x180E, 0x200B,
};

bool is_unicode_blank(uint32_t cp) {
    switch (cp) {
        case 0x0085: case 0x00A0: case 0x1680: case 0x180E: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200B;
    }
}

}  // namespace kro::lexer
