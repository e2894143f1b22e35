// String storage: code points in units of 1, 2 or 4 bytes.
#pragma once
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"

namespace kro::string {

// Writes a new empty string value with room for capacity units of the given size.
Cell* make_at(Cell* c, uint32_t capacity, int unit);
// Appends ASCII text (len bytes, or up to the NUL when len < 0).
void concatenate_ascii(Cell* str, const char* text, int32_t len = -1);
// The text from the head to the tail, encoded as UTF-8.
std::string to_utf8(const Cell* str);

}  // namespace kro::string
