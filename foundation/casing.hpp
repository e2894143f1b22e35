// Case mapping of code points: simple (one-to-one) upper and lower case from
// the Unicode Character Database. Mappings that change a text's length do not
// exist here. Case-insensitive comparison, hashing and searching fold to upper
// case through convert(cp, true).
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::casing {

// The mapped code point, or cp itself when it has no mapping in that direction.
uint32_t convert(uint32_t cp, bool upper);

// The upper-case form when there is one, else the lower-case form.
uint32_t swap(uint32_t cp);

// convert(cp, true) with the direct table inlined for the Basic Multilingual Plane.
uint32_t to_upper_fast(uint32_t cp);

// Changes a char! or a text value (string!, file!, url!, tag!, email!, ref!) in
// place, from its head. part: null (or none!) for all characters up to the tail;
// an integer! count; or a value of the same type on the same buffer, whose head
// ends the range. Counts are limited to 0..length. A character whose new case
// does not fit the string's unit widens the string. Another kind of /part value
// raises script/invalid-refine-arg; another kind of value script/invalid-arg.
void change_case(Cell* value, const Cell* part, bool upper);

}  // namespace kro::casing
