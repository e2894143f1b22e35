// The data stack: arguments and results of natives, actions and functions.
// It lives in a fixed series (it never moves), so Cell pointers into it are
// stable; the collector marks the cells from the bottom to the top.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::stack {

constexpr uint32_t DATA_STACK_CELLS = 20000;

extern Cell* bottom;     // first cell
extern Cell* arguments;  // the current call's first argument, also its result slot
extern Cell* top_ptr;    // one past the last pushed cell
extern Cell* limit;      // one past the last usable cell

// Derives the pointers from the data-stack block's node.
void init(uint32_t node);

// Reserves a new cell on top (contents not cleared). Past the end it drops five
// cells and raises internal/stack-overflow.
Cell* push_cell();
Cell* push(const Cell* value);
void pop(int32_t n);
// The top cell (the bottom cell when the stack is empty).
inline Cell* top() { return top_ptr > bottom ? top_ptr - 1 : bottom; }
void set_last(const Cell* value);
// Drops the current call's cells and answers the arguments base.
Cell* reset();
inline int32_t depth() { return int32_t(top_ptr - bottom); }

}  // namespace kro::stack
