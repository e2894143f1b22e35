// time!: a signed duration or time of day (type 43, parent float!), held as a
// number of seconds in a double in data2 (low half) and data3 (high half), the
// place where float! keeps its value: the float dispatcher serves its
// comparison, absolute, negate, remainder and random. There is no day limit:
// 100 hours is a time.
//
// Fields of seconds s: hour = s / 3600 truncated toward zero (an integer!),
// minute = floor(fmod(|s|, 3600) / 60) (never negative), second = fmod(s, 60)
// (a float!, keeping the sign of s and the fraction). Index 1, 2, 3 or the
// words hour, minute, second name them in paths and pick.
#pragma once
#include <cstdint>
#include <cstddef>

#include "foundation/cell.hpp"

namespace kro::time {

inline Cell make(double seconds) {
    Cell c{uint32_t(TYPE_TIME), 0, 0, 0};
    c.set_float(seconds);
    return c;
}
inline double get(const Cell* c) { return c->get_float(); }

// Fills a cell (header flags cleared).
Cell* make_at(Cell* c, double seconds);
// Appends a time at the block's tail; the second form takes the two halves of
// the double as the binary loaders read them.
Cell* make_in(Cell* block, double seconds);
Cell* make_in_words(Cell* block, uint32_t high, uint32_t low);
// A new time on the data stack.
Cell* push(double seconds);

// The fields of seconds. hours raises script/type-limit (integer!) when the
// hour count does not fit in 32 bits (or s is not finite).
int32_t get_hours(double s);
int32_t get_minutes(double s);
double get_seconds(double s);

// 1..3 for the words hour, minute, second (any letter case), -1 for any other
// value.
int32_t field_index(const Cell* word);
// The field 1..3 of a time as an integer! or float! value.
Cell get_field(const Cell* t, int32_t field);
// The seconds after one field is replaced by the value: hour and minute need
// an integer!, second an integer! or float! (else script/invalid-arg). The
// change works on the magnitude so that a negative time keeps its sign and the
// getters read back what was set: setting the hour of -1:30:00 to -2 gives
// -2:30:00, its minute to 15 gives -1:15:00; a hour given with a sign decides
// the sign of the result.
double set_field(double s, int32_t field, const Cell* value);

// The seconds as the text shows them: s itself, or the next whole minute when
// the seconds' digits round up to 60 (the text never shows a 60th second).
double shown(double s);

// The text of a time into a mold buffer: "-" for a negative time, the hours
// in decimal, ":", two-digit minutes, ":", the seconds (two digits at least,
// "00" below a microsecond, the fraction to six significant digits). A time
// that is not finite writes the float's special text. Answers limit minus the
// characters written.
int32_t form_seconds(double s, Cell* buffer, int32_t limit);
// The same text as a C++ string (for messages and tests).
const char* to_text(double s);

// The literal maker: a time token as UTF-8 bytes (optional sign, hours ":"
// minutes [":" seconds], or minutes ":" seconds with a fraction, "'" digit
// separators in the whole numbers). Fills out and answers true, or answers
// false for text that is not a time literal.
bool from_text(const uint8_t* text, size_t length, Cell* out);

// After a path write into a scalar held in a container: the old value is kept
// on the data stack while an object! grandparent's on-change* runs (with the
// path item that selected the scalar as the word), any other container's
// owner is told through the ownership table (action set-path, the new value
// and the field number). Nothing happens without a grandparent.
void notify_path_write(Cell* grandparent, Cell* path_item, const Cell* old_value, const Cell* new_value,
                       int32_t field);

// ---- actions ----------------------------------------------------------------------------

// make and to: a time, an integer! or a float!/percent! of seconds, a block of
// [hours minutes seconds] (at most three; a negative hour negates the whole
// time), or text holding one time literal; else script/bad-to-arg.
Cell* to(Cell* proto, Cell* spec, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
// A read pushes the field on the data stack and answers it; a write changes
// the time in the parent cell in place, notifies (when event is set) and
// answers the value.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
// The field in the first argument's cell (boxed: the index value given,
// which may be a word).
Cell* pick(Cell* t, int32_t index, Cell* boxed);
Cell* round(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling);

// Registers time! (type 43, parent float!).
void init();

}  // namespace kro::time
