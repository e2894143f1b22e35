// paren! (6): a block that the evaluator evaluates in place. As data it is a
// block in every respect but its text, which uses parentheses.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::paren {

// Pushes a copy of the value retyped as paren!.
Cell* push(const Cell* value);
// "(" cells ")" (no parentheses with only); "(...)" when already being molded.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
void init();  // registers paren! (parent block!)

}  // namespace kro::paren
