// typeset!: a set of datatypes held in the cell itself (type 33). data1..data3
// are one 96-bit array of 12 bytes in memory order; datatype id t is bit
// 0x80 >> (t & 7) of byte t >> 3. Id 0 is never a type, and ids above the
// highest registered one are not members even when their bits are set.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::typeset {

inline Cell make_empty() { return Cell{uint32_t(TYPE_TYPESET), 0, 0, 0}; }
void clear(Cell* ts);
bool has(const Cell* ts, uint32_t type);
void set(Cell* ts, uint32_t type);
// Member ids from 1 to the highest registered id.
int32_t count(const Cell* ts);

// Appends a typeset with these three payload words to a block.
Cell* make_at(Cell* block, uint32_t w1, uint32_t w2, uint32_t w3);
// Appends the typeset of every type but unset!.
Cell* make_any(Cell* block);
// Appends a typeset built from a function spec's type block: words stand for
// their values, datatypes and typesets add their members, a word whose value is
// a word adds object!, blocks are skipped; anything else raises
// script/invalid-type-spec.
Cell* make_in(Cell* block, const Cell* spec);
// Adds a datatype, a typeset, or the value of a word holding one; anything else
// raises script/invalid-arg.
void add_type(Cell* ts, const Cell* value);

// The set operation of the current call's two arguments (or~ 5, and~ 6, xor~ 7,
// and the set natives' codes 8 unique, 9 union, 10 intersect, 11 exclude,
// 12 difference); the result replaces the first.
Cell* do_bitwise(int32_t op);

// A block! of the member datatypes in id order, written into target.
Cell* to_block(const Cell* ts, Cell* target);

// Registers typeset! (type 33, no parent).
void init();

}  // namespace kro::typeset
