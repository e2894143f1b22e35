// Display width of code points in terminal columns, for the line editor and
// the text-mode GUI: 0 for combining marks and other zero-width code points,
// 2 for East Asian wide and fullwidth characters and wide emoji, 1 otherwise.
#pragma once
#include <cstdint>

namespace kro::unicode {

// True when cp lies inside one of the inclusive ranges of table, given as
// count numbers (first, last, first, last...) in ascending order.
bool in_ranges(uint32_t cp, const uint32_t* table, uint32_t count);

int char_width(uint32_t cp);

// As char_width, but East Asian ambiguous code points that are not zero-width
// take 2 columns (the convention of CJK terminals).
int char_width_cjk(uint32_t cp);

}  // namespace kro::unicode
