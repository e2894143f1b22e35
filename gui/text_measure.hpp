// Text measured in terminal cells: a character is 0, 1 or 2 columns wide and a
// line is one row high. The size of a text, of a text wrapped to a width, and
// the text-box queries of rich-text faces (caret to point, point to caret or
// character, line height, line count, size).
//
// Wrapping is the same everywhere: a character that does not fit on what is
// left of a row starts the next one (a double-width character in the last
// column goes over whole); a character wider than the whole row stays alone
// on a row of its own.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::tui {

// Characters of a text in units of 1, 2 or 4 bytes. Valid until the text's
// buffer moves: measure, do not allocate in between.
struct TextSpan {
    const uint8_t* data = nullptr;
    uint32_t length = 0;  // characters
    int unit = 1;
    uint32_t at(uint32_t i) const;
};
// A string! value from its head to its tail.
TextSpan text_of(const Cell* str);
// Code points in memory (tests and internal texts).
TextSpan text_of(const char32_t* chars, uint32_t length);

constexpr int UNLIMITED = 0x7FFFFFFF;

struct TextSize {
    int width;  // columns of the widest line
    int lines;
    int taken;  // characters other than newlines walked (measure_text only)
};

// The text walked while lines stay narrower than limit (UNLIMITED for none):
// widest line, lines, and the characters taken; a character that makes the
// widest line pass the limit is given back.
TextSize measure_text(const TextSpan& text, int limit);
// Widest line and line count when wrapped at max_width (0: no wrapping). The
// walk stops at a character wider than max_width.
TextSize wrapped_text_size(const TextSpan& text, int max_width);

// Column and row (0-based) where the character at the 1-based caret index
// starts, in a box box_width columns wide (UNLIMITED for none). An index past
// the last character is the end of the text; below 1 is the start. lower:
// the column where the character ends, on the row below.
struct TextPoint {
    int column, row;
};
TextPoint caret_to_offset(const TextSpan& text, int caret, int box_width, bool lower);
// The caret index (1-based) at a point: before the first character of row y
// that starts at or right of x; past the end of row y, before the newline that
// ends it (or the end of the text); past the last row, the end.
int offset_to_caret(const TextSpan& text, int x, int y, int box_width);
// The index of the character whose columns hold x on row y; past the end of a
// row its last character (the newline that ends it); past the end of the
// text the last character (0 for an empty text).
int offset_to_char(const TextSpan& text, int x, int y, int box_width);

// Ranges counted in UTF-16 units and ranges counted in characters. Only a text
// of 4-byte characters can hold characters above 0xFFFF (two UTF-16 units
// each); for any other text the length comes back unchanged. For the range of
// `length` from character `index`, every character above 0xFFFF adds `step` to
// the length, and with a negative step also ends the range one character
// sooner: step 1 turns a character count into UTF-16 units, step -1 a count of
// UTF-16 units into characters.
// A start given in UTF-16 units is the length of the range from index 0.
int32_t utf16_length_adjust(const TextSpan& text, int32_t index, int32_t length, int32_t step);

}  // namespace kro::tui

namespace kro::gui {

// The size of a string! in cells: a point2D! of the widest line's columns
// and the line count, written into point.
void get_text_size(const Cell* text, Cell* point);

// Text-box query of a rich-text face's string! text, in a box of the face's
// size (a pair! or point2D!; anything else is no limit). query: 0 caret index
// to point2D! (6: the character's end, a row lower), 1 point to caret index,
// 5 point to character index, 2 line height (float! 1.0), 3 wrapped size
// (point2D!), 4 line count. Writes none into result for an argument of the
// wrong type or an unknown query.
void text_box_metrics(const Cell* text, const Cell* box_size, const Cell* argument, int query, Cell* result);

}  // namespace kro::gui
