// Tokenizer tables: the class of every byte, the transitions of the token
// machine, the token type of each state and the float text automaton.
//
// The machine works on bytes. A token starts in a start state (0, or the state a
// previous token's handler left: 4 inside a braced string, 35 inside a point
// literal, 59 at a path element) and runs through the running states 0-64 until
// a transition enters a terminal state 66-101, which names the kind of token.
// State 65 is never entered. The tables are constant data built at compile time
// from the row texts in lexer_tables.cpp, and checked there while they are built.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::lexer {

// Byte classes.
enum Class : uint8_t {
    C_BLANK = 0,          // TAB, CR, space
    C_LINE = 1,           // LF
    C_DIGIT = 2,          // 1-9
    C_ZERO = 3,           // 0
    C_BLOCK_OPEN = 4,     // [
    C_BLOCK_CLOSE = 5,    // ]
    C_PAREN_OPEN = 6,     // (
    C_PAREN_CLOSE = 7,    // )
    C_BRACE_OPEN = 8,     // {
    C_BRACE_CLOSE = 9,    // }
    C_DOUBLE_QUOTE = 10,  // "
    C_SHARP = 11,         // #
    C_QUOTE = 12,         // '
    C_COLON = 13,         // :
    C_X = 14,             // x X
    C_T = 15,             // T
    C_H = 16,             // h
    C_E_LOWER = 17,       // e
    C_E_UPPER = 18,       // E
    C_HEX_LOWER = 19,     // a b c d f
    C_HEX_UPPER = 20,     // A B C D F
    C_SLASH = 21,         // /
    C_BACKSLASH = 22,     // backslash
    C_LESS = 23,          // <
    C_GREATER = 24,       // >
    C_EQUAL = 25,         // =
    C_PERCENT = 26,       // %
    C_COMMA = 27,         // ,
    C_SEMICOLON = 28,     // ;
    C_AT = 29,            // @
    C_DOT = 30,           // .
    C_DOLLAR = 31,        // $
    C_PLUS = 32,          // +
    C_MINUS = 33,         // -
    C_CARET = 34,         // ^
    C_CONTROL = 35,       // 01-08, 0B, 0C, 0E-1F
    C_CONTINUATION = 36,  // 7F, 80-BF
    C_LETTER = 37,        // other letters and symbols, UTF-8 lead bytes C2-F7
    C_ILLEGAL = 38,       // C0, C1, F8-FF: never in UTF-8
    C_NUL = 39,           // 00; the end of input acts as this class
};
constexpr int CLASS_COUNT = 40;

// Machine states: running states below 65, terminal states above it.
enum State : uint8_t {
    S_START = 0,
    S_COMMENT = 1,
    S_STRING = 2,
    S_STRING_CARET = 3,
    S_BRACED = 4,
    S_BRACED_CARET = 5,
    S_PERCENT = 6,
    S_FILE = 7,
    S_FILE_QUOTED = 8,
    S_RAW_OPEN = 9,
    S_RAW_BODY = 10,
    S_RAW_BRACE = 11,
    S_RAW_CLOSE = 12,
    S_SLASH = 13,
    S_REFINEMENT = 14,
    S_SLASH_WORD = 15,
    S_SHARP = 16,
    S_BINARY = 17,
    S_BINARY_COMMENT = 18,
    S_CHAR = 19,
    S_CHAR_CARET = 20,
    S_CONSTRUCT = 21,
    S_ISSUE = 22,
    S_INTEGER = 23,
    S_DIGITS_DOT = 24,
    S_DECIMAL = 25,
    S_EXPONENT = 26,
    S_DIGITS_UPPER = 27,
    S_FLOAT_SHARP = 28,
    S_TUPLE = 29,
    S_DATE = 30,
    S_DIGITS_COLON = 31,
    S_TIME = 32,
    S_DIGITS_X = 33,
    S_PAIR = 34,
    S_POINT = 35,
    S_DOLLAR = 36,
    S_MONEY = 37,
    S_MONEY_FRACTION = 38,
    S_HEX_DIGITS = 39,
    S_UPPER_WORD = 40,
    S_HEX_H = 41,
    S_DIGITS_H = 42,
    S_LESS = 43,
    S_TAG = 44,
    S_TAG_DOUBLE = 45,
    S_TAG_SINGLE = 46,
    S_SIGN = 47,
    S_PREFIX_SIGN = 48,
    S_DOT = 49,
    S_DOT_DECIMAL = 50,
    S_PREFIX = 51,
    S_WORD = 52,
    S_WORD_COLON = 53,
    S_PERCENT_WORD = 54,
    S_URL = 55,
    S_EMAIL = 56,
    S_REF = 57,
    S_EQUAL = 58,
    S_PATH = 59,
    S_PATH_DIGITS = 60,
    S_PATH_PREFIX = 61,
    S_PATH_WORD = 62,
    S_PATH_SHARP = 63,
    S_PATH_SIGN = 64,
    S_NEVER = 65,

    T_EOF = 66,
    T_ERROR = 67,
    T_BLOCK_OPEN = 68,
    T_BLOCK_CLOSE = 69,
    T_PAREN_OPEN = 70,
    T_PAREN_CLOSE = 71,
    T_BRACE_OPEN = 72,
    T_BRACE_CLOSE = 73,
    T_MAP_OPEN = 74,
    T_PATH_HEAD = 75,
    T_CONSTRUCT = 76,
    T_COMMENT = 77,
    T_COMMA = 78,
    T_STRING = 79,
    T_WORD = 80,
    T_ISSUE = 81,
    T_INTEGER = 82,
    T_REFINEMENT = 83,
    T_CHAR = 84,
    T_FILE = 85,
    T_BINARY = 86,
    T_PERCENT = 87,
    T_FLOAT = 88,
    T_FLOAT_SHARP = 89,
    T_TUPLE = 90,
    T_DATE = 91,
    T_PAIR = 92,
    T_POINT = 93,
    T_TIME = 94,
    T_MONEY = 95,
    T_TAG = 96,
    T_URL = 97,
    T_EMAIL = 98,
    T_HEX = 99,
    T_RAW_STRING = 100,
    T_REF = 101,
};
constexpr int RUNNING_STATES = 65;  // rows of the transition table: states 0-64
constexpr int STATE_COUNT = 102;
constexpr int FIRST_TERMINAL = 66;
constexpr int TERMINAL_COUNT = STATE_COUNT - FIRST_TERMINAL;

inline constexpr bool is_terminal(int state) { return state > S_NEVER; }

// Token flags: bits 18-31 come from the bytes the machine consumed for a token
// (the byte that ended it included); bit 17 is set by the braced-string handler.
enum TokenFlag : uint32_t {
    F_MULTILINE = 1u << 17,   // a braced string spans lines
    F_PERCENT = 1u << 18,     // %
    F_GREATER = 1u << 19,     // >
    F_LESS = 1u << 20,        // <
    F_SIGN = 1u << 21,        // + or -
    F_NUL = 1u << 22,         // NUL
    F_SHARP = 1u << 23,       // #
    F_EXPONENT = 1u << 24,    // e or E
    F_QUOTE = 1u << 25,       // ' (digit separators)
    F_COLON = 1u << 26,       // :
    F_COMMA = 1u << 27,       // ,
    F_DOT = 1u << 28,         // .
    F_CARET = 1u << 29,       // ^ (escapes)
    F_UTF8_2_3 = 1u << 30,    // a lead byte C2-EF
    F_UTF8_4 = 1u << 31,      // a lead byte F0-F7
};
constexpr uint32_t CLASS_MASK = 0xFF;

struct Tables {
    uint32_t byte[256];                       // class in the low 8 bits, flags above
    uint8_t next[RUNNING_STATES][CLASS_COUNT];
    uint8_t type[STATE_COUNT];                // datatype id of a token ending here; 0 for none
    uint8_t exit_entry[STATE_COUNT];          // 1-based entry of exit_states for a terminal state; 0 for none
};
extern const Tables tables;

inline Class byte_class(uint8_t b) { return Class(tables.byte[b] & CLASS_MASK); }
inline uint32_t byte_flags(uint8_t b) { return tables.byte[b] & ~CLASS_MASK; }
inline int transition(int state, int cls) { return tables.next[state][cls]; }
inline Type token_type(int state) { return Type(tables.type[state]); }
// Only state 0 drops the bytes it consumes from the token.
inline constexpr bool skips(int state) { return state == S_START; }
// Only LF counts lines.
inline constexpr int line_increment(int cls) { return cls == C_LINE; }

// The kinds of tokens as callbacks name them: words stay words, the rest are datatypes.
struct ExitState {
    const char* name;  // "eof", "block!", ...
    Type type;         // TYPE_NONE_ID for the four that stay words
};
constexpr int EXIT_STATE_COUNT = 34;
extern const ExitState exit_states[EXIT_STATE_COUNT];
inline int exit_entry(int state) { return tables.exit_entry[state]; }

// Classes that end a path after one of its elements.
bool is_path_delimiter(int cls);

// Float text automaton: whether text is a decimal number with an optional sign,
// "'" digit separators, a fraction and an exponent. Texts over 312 bytes fail.
constexpr size_t FLOAT_TEXT_MAX = 312;
bool float_syntax(const uint8_t* text, size_t length);
// One step of the automaton, for the tests: states 0-8 run, 9 accepts, 10 rejects;
// group 0 other, 1 sign, 2 digit, 3 exponent letter, 4 ".", 5 "'", 6 end of text.
int float_step(int state, int group);
int float_group(uint8_t b);

// The 21 code points that count as blanks although the machine reads their bytes as letters.
constexpr int UNICODE_BLANK_COUNT = 21;
extern const uint32_t unicode_blanks[UNICODE_BLANK_COUNT];
bool is_unicode_blank(uint32_t cp);

}  // namespace kro::lexer
