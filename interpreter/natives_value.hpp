// What the value, word and block natives share with the rest of the runtime.
#pragma once
#include "foundation/cell.hpp"

namespace kro::natives {

// Whether the last text that print or prin wrote ended with a line end (true
// after print, false after prin; true before any output). The `last-lf?`
// routine reads it.
bool last_lf();

// Identity as `same?` decides it: false for values of different datatypes;
// series are the same when they share their buffer and their index, numbers
// and the like when their payloads are equal.
bool same_values(const Cell* a, const Cell* b);

}  // namespace kro::natives
