// The tokenizer's value handlers: what the text of each kind of token means.
// A handler checks a token that the scan loop (lexer_scan.hpp) delimited and,
// when it is given a cell, writes the value there. Words and their kinds,
// integers, floats, strings (quoted, braced, raw), chars, issues, files, urls
// and constructions are read here; the literals of datatypes that live in their
// own modules (pairs, tuples, dates, binaries...) go through the maker that
// module registers, and are invalid while it has registered none.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"
#include "io/lexer_scan.hpp"

namespace kro::lexer {

// Checks the text of a value token (terminal states 76 and 79-101, the closing
// token of a braced string, and a path's head word) and, when out is given,
// writes the value there (header without flags). Answers 0, or the error code to
// report (a datatype id or a negative code of lexer_scan.hpp). t.type becomes the
// type of the value the text makes (an integer too long for 32 bits reads as a
// float!, a construction as its constant's type).
int load_value(Token& t, Cell* out);

// The escape after a "^" (p points just past it): "^(" hex ")" (1 to 6 digits,
// at most 10FFFF), "^(" name ")" (null back tab line page esc del, any letter
// case), the named ones (^" ^- ^/ ^@ ^^ ^{ ^} ^~), a control letter (^a-^z and
// ^@-^_), or any other character standing for itself. Answers the bytes read
// after the caret and stores the code point; 0 for a malformed escape. hex_digits
// (may be null) receives the digit count of a "^(" hex form, else 0.
int decode_escape(const uint8_t* p, const uint8_t* end, uint32_t* cp, int* hex_digits = nullptr);

// ---- registration points for the literals of other modules ---------------------

// Reads the text of a token of one terminal state (T_BINARY, T_PERCENT, T_TUPLE,
// T_DATE, T_PAIR, T_POINT, T_TIME, T_MONEY, T_TAG, T_EMAIL, T_REF) the way
// load_value does: checks only when out is null, answers 0 or an error code, and
// may refine t.type. Tokens that swallow their closing delimiter (binary, percent,
// tag, point) end on it: [t.start, t.end) excludes it. Until a module registers
// its maker, such a literal is invalid (of the token's datatype).
using Maker = int (*)(Token& t, Cell* out);
void set_maker(int terminal_state, Maker maker);
Maker maker_of(int terminal_state);

// Makes the map! of a "#[" ... "]" literal from its items (count cells, even
// count not yet checked) into out; answers 0 or an error code. Until one is
// registered, a map literal is invalid map!.
using MapMaker = int (*)(const Cell* items, uint32_t count, Cell* out);
void set_map_maker(MapMaker maker);
MapMaker map_maker();

}  // namespace kro::lexer
