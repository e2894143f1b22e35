// The natives that leave or receive a non-local exit: break, continue, exit,
// return, throw, catch and try. Each has the native shape of eval.hpp; the
// natives table puts them in their slots (try 70, break 77, continue 78, exit
// 79, return 80, throw 81, catch 82).
//
// The loop protocol, for the loop natives: open a loop frame
// (stack::mark_loop, named <body>) and push unset as its slot 0; evaluate the
// body with interp::eval_block(body, true) so that each round's value lands in
// that slot, then stack::keep() (only that slot stays); on Flow::BREAK leave
// the loop, on Flow::CONTINUE go on with the next round, on any other
// non-normal Flow return it at once (its thrower has closed the loop frame); at
// the end close the frame with stack::unwind_last and keep slot 0: the loop's
// result is the last round's value, the value of break/return, or unset after
// a plain break. Loop state the native keeps across rounds lives in its own
// argument cells (below the loop frame) or in gc::Rooted locals.
#pragma once
#include <cstdint>

#include "interpreter/flow.hpp"

namespace kro::natives {

constexpr int32_t TRY = 70, BREAK = 77, CONTINUE = 78, EXIT = 79, RETURN = 80, THROW = 81, CATCH = 82;

// break /return value: leaves the nearest loop (its result: the value, or unset).
Flow break_native(const int32_t* refs);
// continue: the nearest loop goes on with its next round.
Flow continue_native(const int32_t* refs);
// exit: the nearest function returns unset.
Flow exit_native(const int32_t* refs);
// return value: the nearest function returns the value.
Flow return_native(const int32_t* refs);
// throw value /name word: to the nearest catch (the throw event fires first).
Flow throw_native(const int32_t* refs);
// catch block /name word: the value of a throw that reaches it (a named catch
// takes only throws of its name, or of a name in its block of words), else the
// block's value.
Flow catch_native(const int32_t* refs);
// try block /all /keep: an error becomes the result; /all is a barrier
// (break, continue, return, exit and throw never cross it); /keep keeps the
// call trace in the error.
Flow try_native(const int32_t* refs);

}  // namespace kro::natives
