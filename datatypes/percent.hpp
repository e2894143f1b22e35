// percent!: a float! shown as a percentage (type 38, parent float!). The
// double in data2 (low half) and data3 (high half) is the fraction itself:
// 1.0 is 100%, 0.125 is 12.5%. Construction, comparison and all arithmetic are
// float!'s (its math keeps percent! as the result type where it should); this
// module owns the cell constructors and the text.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::percent {

inline Cell make(double fraction) {
    Cell c{uint32_t(TYPE_PERCENT), 0, 0, 0};
    c.set_float(fraction);
    return c;
}
inline double get(const Cell* c) { return c->get_float(); }

// The current call's result slot becomes the percent.
Cell* set_result(double fraction);
Cell* make_at(Cell* c, double fraction);
// From the two halves of the double as the binary loaders read them.
Cell* make_at_words(Cell* c, uint32_t high, uint32_t low);
Cell* make_in(Cell* block, uint32_t high, uint32_t low);
Cell* push_words(uint32_t high, uint32_t low);
Cell* push(double fraction);

// The literal maker: a number in float syntax ("'" separators allowed)
// followed by "%" (the "%" may also be left off). The value is a hundredth of
// the number, read with correct rounding (0.1% is the double nearest 0.001).
// Fills out and answers true, or answers false for text that is no percent.
bool from_text(const uint8_t* text, size_t length, Cell* out);

// The text: the value times 100 to 13 significant digits, then "%" ("0%" for
// zero); 12.5%, 100%. Answers limit minus the characters written.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);

// Registers percent! (type 38, parent float!).
void init();

}  // namespace kro::percent
