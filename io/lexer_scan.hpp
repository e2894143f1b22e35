// The token loop: runs the byte machine of lexer_tables.hpp over UTF-8 input,
// one token at a time, and applies the structural effect of each token (opening
// and closing blocks, parens, maps and paths, braced and raw strings, point
// literals, the cursor steps past closing delimiters). What a token's text means
// is left to a Sink: the classifier's default sink accepts every value token,
// a loading sink checks the text and builds the value.
//
// Input is untrusted: the loop never reads outside [begin, end), treats a NUL
// byte as the end of input, reports invalid UTF-8 in words, bounds the nesting
// of series, takes linear time and allocates only when the nesting deepens.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"
#include "io/lexer_tables.hpp"

namespace kro::lexer {

// One token. For values that swallow their closing delimiter (strings, chars,
// tags, percent signs...), `end` is where the machine stopped (on the delimiter)
// and `next` is past it; for the others both are equal. A braced string comes as
// one token from its opening brace (end on the closing one), a point literal from
// its "(", a raw string with both runs of percent signs (end past the closing run),
// and a path's head word as a T_PATH_HEAD token of type word! without its prefix.
struct Token {
    const uint8_t* start = nullptr;  // first byte (blanks before it are not part of it)
    const uint8_t* end = nullptr;    // where the machine stopped
    const uint8_t* next = nullptr;   // where the next token starts
    uint32_t flags = 0;              // TokenFlag bits of the bytes read
    uint32_t line = 1;               // line of the first byte
    uint32_t lines = 0;              // line breaks between the previous token and this one
    uint32_t inner = 0;              // line breaks inside the token
    uint8_t state = 0;               // terminal state
    uint8_t prev_state = 0;          // last running state
    uint8_t start_state = 0;         // S_START, S_BRACED, S_POINT or S_PATH
    Type type = TYPE_NONE_ID;        // token type; for words and refinements the kind of word
};

// The machine over one input: runs a single token from the cursor and leaves the
// cursor on the byte that ended it.
struct Machine {
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
    const uint8_t* cursor = nullptr;
    uint32_t line = 1;
    uint8_t start_state = S_START;

    void next(Token& t);
};

// Error codes: a positive code is the datatype of an invalid token.
enum ErrorCode : int {
    E_BAD_CHAR = -1,          // invalid character
    E_MALCONSTRUCT = -2,      // invalid construction spec
    E_MISSING = -3,           // a closer that matches no opener
    E_MISSING_AT_END = -4,    // the input ended with a series open
    E_TOO_DEEP = -5,          // series nested deeper than the scan allows
};

struct Error {
    int code = 0;                       // 0: no error
    Type type = TYPE_NONE_ID;           // the datatype the error names to callbacks
    Type missing_type = TYPE_NONE_ID;   // for missing: the series left without its closer
    char missing = 0;                   // for missing: the character reported as missing
    const uint8_t* start = nullptr;     // where the text shown with the error begins
    const uint8_t* at = nullptr;        // the cursor when the error was found
    uint32_t line = 0;                  // the line `start` is on
    bool at_end = false;                // found because the input ended
    bool incomplete = false;            // a block, paren, map, point or string is left open at the end
};

// One open series; a paren that met a comma becomes a point under construction.
struct OpenSeries {
    Type type;
    uint16_t commas;
    const uint8_t* opener;  // its first byte ("[", "(", "#[", or the path's head)
    uint32_t line;
};

enum class Status : uint8_t {
    COMPLETE,    // every series and string closed (or the scan stopped after one value)
    INCOMPLETE,  // the input ended inside a series or a braced or raw string
    INVALID,     // a syntax error
};

struct Result {
    Status status = Status::COMPLETE;
    Type type = TYPE_NONE_ID;     // type of the last value read (the only one when stopping after one);
                                  // TYPE_ERROR after an error; none when nothing was read
    const uint8_t* stop = nullptr;  // where the scan stopped
    uint32_t line = 1;
    Error error;                  // error.code != 0 after a syntax error
    std::vector<Type> open;       // series and strings still open, innermost last (string! for a string)
};

struct Options {
    bool prescan = false;         // structure only: words are not sorted into their kinds
    bool stop_after_one = false;  // stop once one complete top-level value has been read
    uint32_t max_depth = 10000;   // series nested deeper are an error
};

// Answer of Sink::token for a token that was accepted but produced no value.
constexpr int NO_VALUE = -1000;

class Scanner;

// What the loop tells its user. Positions are byte pointers into the input.
class Sink {
public:
    virtual ~Sink() = default;
    // A block, paren, map, path, or a braced or raw string opens; `opener` is the
    // token that opens it (for a path, its head word with the "/"). False opens
    // nothing (a string opens regardless). A braced string opens at its first
    // brace; a raw string only once its end is found, just before its token.
    virtual bool open(Scanner&, Type type, const Token& opener) { return true; }
    // A closer was met for the innermost series (or a string ended), before the
    // closer is matched. False leaves the series open (ignored for strings).
    virtual bool close(Scanner&, Type type, const uint8_t* opener, const uint8_t* end) { return true; }
    // The innermost series closed with this type. Answers 0, or an error code
    // (reported at the series' opener) when its items make no value of that type.
    virtual int closed(Scanner&, Type type) { return 0; }
    // A value token. Answers 0 when it stands for a value (the sink may refine
    // t.type), NO_VALUE when it produced nothing, or an error code.
    virtual int token(Scanner&, Token& t) { return 0; }
    virtual void comment(Scanner&, const Token& t) {}
    // Every token before its handling (outside braced strings). False skips the
    // token: the scan goes on from the cursor when the sink moved it, else from
    // just past the token.
    virtual bool before(Scanner&, const Token& t) { return true; }
    // A syntax error. True skips the failed token and goes on from the cursor
    // (which the sink may have moved); false ends the scan.
    virtual bool error(Scanner&, const Error& e) { return false; }
};

class Scanner {
public:
    Scanner(const uint8_t* input, size_t length, const Options& options = {});

    Result run(Sink& sink);

    const uint8_t* begin() const { return m_.begin; }
    const uint8_t* end() const { return m_.end; }
    const uint8_t* cursor() const { return m_.cursor; }
    // Moves the cursor, kept inside the input.
    void move_cursor(const uint8_t* p);
    uint32_t line() const { return m_.line; }
    uint8_t start_state() const { return m_.start_state; }
    size_t depth() const { return open_.size(); }
    const OpenSeries* innermost() const { return open_.empty() ? nullptr : &open_.back(); }
    const Options& options() const { return options_; }

private:
    bool handle(Token& t);
    void skip(const Token& t, const uint8_t* at);
    bool cut_word(Token& t);
    void take_rest(Token& t);
    void value(Token& t);
    bool open_series(Type type, const Token& opener);
    bool close_series(Type closer, const uint8_t* at, const uint8_t* after);
    void path_step();
    void brace_open(Token& t);
    void brace_close(Token& t);
    void raw_string(Token& t);
    void comma(Token& t);
    void report(int code, const uint8_t* start, bool at_end, Type missing_type = TYPE_NONE_ID,
                const uint8_t* closer = nullptr, bool string_open = false);
    void finish();
    uint32_t line_at(const uint8_t* p) const;

    Machine m_;
    Options options_;
    Sink* sink_ = nullptr;
    std::vector<OpenSeries> open_;
    OpenSeries closed_{TYPE_NONE_ID, 0, nullptr, 0};  // the series closed last

    // braced string being read
    const uint8_t* brace_start_ = nullptr;
    uint32_t brace_line_ = 0;
    uint32_t brace_lines_ = 0;
    uint32_t brace_depth_ = 0;
    uint32_t brace_flags_ = 0;
    // point literal being read
    const uint8_t* point_start_ = nullptr;
    uint32_t point_line_ = 0;
    uint32_t point_lines_ = 0;

    // the rest of a word run after a cut at a Unicode blank
    const uint8_t* rest_start_ = nullptr;
    const uint8_t* rest_end_ = nullptr;
    uint8_t rest_prev_ = 0;
    bool rest_taken_ = false;

    uint32_t pending_lines_ = 0;  // line breaks of a dropped token, given to the next one
    Type prev_type_ = TYPE_NONE_ID;
    Type last_type_ = TYPE_NONE_ID;
    Type cur_type_ = TYPE_NONE_ID;
    const uint8_t* token_start_ = nullptr;
    bool produced_ = false;     // the current token completed a value or a series
    bool failed_ = false;       // the current token failed
    bool stopped_ = false;
    bool stopped_after_one_ = false;
    bool string_open_ = false;  // the input ended inside a raw string
    Error error_;
};

// Runs a scan with the given sink (or none: structure only) and answers where it ended.
Result classify(const uint8_t* input, size_t length, Sink* sink = nullptr, const Options& options = {});

// ---- pieces the value handlers share --------------------------------------------

// Whether the text after a "(" starts a point literal: a run of number characters
// and blanks ended by a comma or by the end of input, at least 4 bytes available.
bool point_ahead(const uint8_t* after_paren, const uint8_t* end);

// The kind of a word (terminal states 80 and 83) from its prefix and suffix:
// word!, set-word!, get-word!, lit-word! or refinement!. Answers TYPE_NONE_ID and
// sets *error to the code to report for a malformed one.
Type word_kind(const uint8_t* start, const uint8_t* end, int state, int* error);

// Strict UTF-8 decoding of one character: answers its length and stores the code
// point, or answers 0 for a malformed, overlong, surrogate or truncated sequence.
int decode_utf8(const uint8_t* p, const uint8_t* end, uint32_t* cp);

// The first character at or after `from` that is not a Unicode blank (or `to`);
// the first one that is (or `to`). Both answer nullptr on invalid UTF-8.
const uint8_t* skip_unicode_blanks(const uint8_t* from, const uint8_t* to);
const uint8_t* find_unicode_blank(const uint8_t* from, const uint8_t* to);

// The character a missing-closer error names for a series type.
char missing_closer(Type series);

}  // namespace kro::lexer
