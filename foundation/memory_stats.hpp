// How much of the collected heap is in use and how its frames are filled: the
// figures behind the `stats` native (and the answer of `recycle`).
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::memory {

// Mode 1: the bytes in use (4 per used node, the bytes carved so far in each
// series frame, the buffer of each big frame); block is not used.
// Mode 2: appends five items to the block and answers 0:
//   1. per node frame [free used total] nodes,
//   2. per series frame [free used total] bytes, in address order,
//   3. per big frame the bytes its buffer takes,
//   4. the bytes all frames take (headers included),
//   5. the bytes the tracked heap holds (each block's asked size + 16).
// Every inner block and big-frame integer starts a new line when molded.
// Collections are switched off while it runs, and switched back on however
// it ends (an error while building the block included).
double stats(Cell* block, int mode);

// Appends the amount as an integer!, or as a float! above 2,147,483,647.
void push_amount(double amount, Cell* block);
// The same choice as a value.
Cell amount_value(double amount);

}  // namespace kro::memory
