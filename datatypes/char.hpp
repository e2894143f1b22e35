// char!: one Unicode code point (type 10, parent integer!), held in data2
// (0 to 0x10FFFF); data1 and data3 carry nothing. It shares the integer
// arithmetic core but stays a char! through arithmetic, and every result must
// be a code point.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::charx {

constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;

inline Cell make(uint32_t cp) { return Cell{uint32_t(TYPE_CHAR), 0, cp, 0}; }
Cell* push(uint32_t cp);
// Appends a char! to a block.
Cell* make_in(Cell* block, uint32_t cp);

// The math of char! on the current call's two arguments (op codes 0-7 of
// integer!); the result replaces the first, which stays a char!. A result that
// is not a code point raises math/overflow.
Cell* do_math(int32_t op);

// Registers char! (type 10, parent integer!).
void init();

}  // namespace kro::charx
