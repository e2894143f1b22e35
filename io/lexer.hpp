// The tokenizer's scan driver: turns text into values. Each scan runs the token
// loop of lexer_scan.hpp with a loader that builds values on the lexer's value
// stack (a block is built from its items when it closes), calls the user's
// callback with the six events of transcode/trace, and reports syntax errors
// with their line and the text near them.
//
// Scans nest: a callback may start another scan, which uses the value stack above
// its parent's part. Everything a scan has built lives on that stack, and the
// collector marks it, so a callback (which may collect) never strands a value.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::lexer {

// Runtime initialisation: the value stack, the collector's hook over it, the event
// words, and the hooks through which the datatypes load text.
void init();

// ---- callbacks -------------------------------------------------------------------

// The event bits of a callback's mask (a callback whose body starts with a block
// of event words receives only those; any other receives all six).
enum Event : uint32_t {
    EV_PRESCAN = 1,
    EV_SCAN = 2,
    EV_LOAD = 4,
    EV_OPEN = 8,
    EV_CLOSE = 16,
    EV_ERROR = 32,
    EV_ALL = 63,
};
constexpr int32_t CALLBACK_CLASS = 1;  // the lexer's bit among the tracer's callback classes

// Calls a function! or routine! as a lexer callback with the first count cells
// of args (event, input, type, line, token; the interpreter supplies none for any
// further argument of a callback that takes more) and stores its result in
// *result. On return args[1] holds the final value of the callback's input
// argument, which the callback may have moved. args and result are marked by the
// collector while the call runs; the call may evaluate, collect and throw.
// Installed by the interpreter; until then /trace raises internal/feature-na.
extern void (*call_callback)(const Cell* callback, Cell* args, int32_t count, Cell* result);

// The mask and the number of arguments a callback takes (from its body and spec).
uint32_t event_mask(const Cell* callback);
int32_t callback_arity(const Cell* callback);

// ---- scanning --------------------------------------------------------------------

struct ScanArgs {
    bool stop_after_one = false;  // return once one complete value has been read
    bool prescan = false;         // structure only: kinds are guessed, nothing is built
    bool scan_only = false;       // check the text, build nothing
    const Cell* callback = nullptr;  // function! or routine!, or null
    const Cell* source = nullptr;    // the series the callback sees as its input
    const Cell* into = nullptr;      // a block the values are appended to, or null
    uint32_t source_offset = 0;      // source position of the first byte (a skipped byte-order mark)
};

// Scans UTF-8 text. Unless scan_only, out receives the first value when stopping
// after one value and one was read, else the block of the values read (the into
// block with them appended). A syntax error is raised after the values read before
// it were delivered (with the blocks and parens left open closed); in the scan
// modes it answers error! instead. consumed (may be null) receives the bytes read.
// Answers the type of the last value read (none when there was none).
Type scan_utf8(Cell* out, const uint8_t* text, size_t length, const ScanArgs& args, uint32_t* consumed);

// The same over a text value from its head: length characters, or all of them
// when negative; consumed receives characters, and callbacks see positions in
// characters.
Type scan_string(Cell* out, const Cell* text, int32_t length, const ScanArgs& args, uint32_t* consumed);

// One value from text, as conversions read it: out receives the value, none when
// the text holds more than one, unset when it holds none. Blanks after the value
// are part of it. Syntax errors are raised.
void scan_one(const uint8_t* text, size_t length, Cell* out);

// ---- transcode -------------------------------------------------------------------

struct Refinements {
    bool next = false;
    bool one = false;
    bool prescan = false;
    bool scan = false;
    const Cell* part = nullptr;   // integer! count, or a position in the source series
    const Cell* into = nullptr;   // block
    const Cell* trace = nullptr;  // callback
};

// transcode src: a binary! (UTF-8, a leading byte-order mark skipped) or a text
// value. The result in out: the block of values (or the into block); with /next a
// block of the next value and the source after it; with /one that value; with
// /scan the datatype of the first value and with /prescan its guessed datatype
// (none on empty input, error! for invalid text; with /next in a block with the
// source after the value). Answers out.
Cell* transcode(const Cell* src, const Refinements& r, Cell* out);

// system/lexer/exit-states: the 34 token kinds that callbacks name, as words
// (eof, comment, hex, rawstring) and datatypes, in a new block in out.
void make_exit_states(Cell* out);

// Scans running now (for tests of the collector's view).
int active_scans();
uint32_t value_stack_top();

}  // namespace kro::lexer
