// hash!: a block whose cells are also indexed by a hash table (type 36,
// parent block!), so that find and select need not scan. The cell is a block
// cell whose data3 holds the node of a table of the hash kind over the whole
// buffer (from its first cell, whatever the head). Every series action is
// block!'s, which keeps the table current as cells come, go and move; this
// module makes hash values, copies them and writes their mold.
//
// (The value hashing itself, hash::murmur3 and hash::value, lives with the
// tables in foundation/hashtable.hpp.)
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::hash {

// Turns a block value that no one else holds into a hash over its buffer:
// the type becomes hash! and a table indexing every cell is made. Answers it.
Cell* index_in_place(Cell* blk);

// ---- actions -------------------------------------------------------------------------------
// Results go to the first argument's cell, which is answered.

// A number gives an empty hash with room for that many cells (at least 1), a
// block! a copy of its cells from the head, a hash! its copy; anything else
// goes through `to`.
Cell* make(Cell* proto, Cell* spec, int32_t type);
// A hash! is copied; anything else is converted as `to block!` converts it and
// the new block is indexed.
Cell* to(Cell* proto, Cell* spec, int32_t type);
// "make hash! " (unless only), then the block mold.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// The block copy; a copy of the whole buffer without refinements clones the
// table, any other copy gets a table built over its cells.
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
// The block sort and trim; the table is indexed again afterwards.
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable);
Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);

// Registers hash! (type 36, parent block!).
void init();

}  // namespace kro::hash
