// Block storage: a series of 16-byte cells.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::block {

// Writes a new empty block value with room for capacity cells into c.
Cell* make_at(Cell* c, uint32_t capacity);
// The same in a fixed (never moved) buffer, for the runtime's long-lived blocks.
Cell* make_fixed_at(Cell* c, uint32_t capacity);
// Appends one cell at the block's tail (growing the buffer when full) and answers
// it, contents not set. The pointer is valid until the block grows again.
Cell* add_cell(Cell* blk);
// Number of cells from the head to the tail.
int32_t length(const Cell* blk);
// The cell at a 0-based index from the head (no bounds check).
Cell* at(const Cell* blk, int32_t index);

}  // namespace kro::block
