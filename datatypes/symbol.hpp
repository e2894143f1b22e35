// The symbol table: every spelling the system sees is interned once and known
// from then on by a positive id. Spellings that differ only in ASCII letter case
// are distinct symbols; each later one has the first-interned spelling of its
// family as its alias, so comparing words without regard to case is comparing
// resolve() of both ids.
//
// symbol! cell (type 13): data1 alias (-1 for the first of a family), data2 node
// of the cached string! of the name (0 until first needed), data3 node of the
// UTF-8 name (followed by a NUL byte outside the series' tail).
#pragma once
#include <cstdint>
#include <string_view>

#include "foundation/cell.hpp"

namespace kro::symbol {

// The name index over the symbol block (a name table of the hash table module).
extern uint32_t table;

void init();        // registers symbol!
void init_table();  // makes the index over runtime::symbol_block

// Interns a spelling: its id, new or not.
int32_t make(const char* name);
int32_t make_from_utf8(const uint8_t* text, uint32_t length);
// A string! value of any unit, from its head.
int32_t make_from_string(const Cell* str);
// The first-interned spelling of the case family when there is one, else a new
// canonical symbol.
int32_t make_caseless(const char* name);

// Number of symbols interned so far.
int32_t count();
// The symbol cell (no cache made); ids are 1 .. count().
Cell* cell(int32_t id);
// The symbol cell with its cached string made.
Cell* get(int32_t id);
// Makes the cached string! of a symbol cell when it has none.
void cache_utf8(Cell* sym);

// The alias when above 0, else the id itself.
int32_t resolve(int32_t id);
inline bool same_word(int32_t a, int32_t b) { return resolve(a) == resolve(b); }
// The raw alias field (-1 for the first of a family).
int32_t alias_of(int32_t id);

// The UTF-8 spelling; valid until the next allocation.
std::string_view name(int32_t id);

// Compares two spellings as text: -1, 0 or 1. Letter case counts only for the
// strict (2) and case-sensitive sort (8) ops.
int32_t compare_names(int32_t a, int32_t b, int32_t op);

}  // namespace kro::symbol
