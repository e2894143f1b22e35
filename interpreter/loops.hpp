// The conditionals (if, unless, either, any, all, switch, case) and the loops
// (while, until, loop, repeat, forever, foreach, forall, remove-each), in the
// natives table's slots 1-13, 18 and 19, with the step functions the loops
// share.
//
// Every loop keeps one loop frame (named <body>) open for its whole run, with
// its slot 0 holding the last round's value: break and continue find it there
// (stack::throw_break), and the loop's result is what that slot holds at the
// end: the last body value, the value of break/return, or unset after a plain
// break. The loop state (the series being walked, the start position kept for
// the result) lives in the native's own argument cells below the loop frame,
// where the collector sees it; positions are held as (series, index) and read
// again after each round, since the body may change the series.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "interpreter/flow.hpp"

namespace kro::natives {

// Slots.
constexpr int32_t IF = 1, UNLESS = 2, EITHER = 3, ANY = 4, ALL = 5, WHILE = 6, UNTIL = 7, LOOP = 8, REPEAT = 9,
                  FOREVER = 10, FOREACH = 11, FORALL = 12, REMOVE_EACH = 13, SWITCH = 18, CASE = 19;

// The conditionals' natives (the evaluator takes them in place when their
// blocks are literal, and checks that these are the ones in their slots).
Flow if_native(const int32_t* refs);
Flow unless_native(const int32_t* refs);
Flow either_native(const int32_t* refs);

// ---- step functions ------------------------------------------------------------------------------

// Whether items remain from the series' index: for cell series and map! the
// head lies before the tail, for the other series its head unit does.
bool series_more(const Cell* series);

// One loop word over a series: when items remain, sets the word to the item at
// the head (for text, binary and vector series the item picked there: a char!,
// an integer! byte, an element) and moves the head on by one. Answers whether
// an item was taken.
bool foreach_next(const Cell* word, Cell* series);

// A block of n loop words: when items remain, sets the words from the next n
// items (none for items past the tail) and moves the head on by n; a map!
// gives key and value to exactly two words (any other count raises
// script/invalid-arg with the words). Answers the number of items visited
// (0: none remained).
int32_t foreach_next_multi(const Cell* words, int32_t n, Cell* series);

// After a round of remove-each: unless the verdict (the body's value) is none or false, the
// `visited` items just before the series' head are removed, and the series
// continues where they were.
void remove_each_step(Cell* series, int32_t visited, const Cell* verdict);

}  // namespace kro::natives
