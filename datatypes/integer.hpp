// integer!: the 32-bit signed whole number (type 11). data2 holds the value;
// data1 and data3 carry nothing.
//
// Arithmetic never wraps: an addition, subtraction or multiplication that leaves
// the 32-bit range, and a division that leaves a remainder, give a float!
// instead; the few cases with no float answer (INT32_MIN / -1, negating
// INT32_MIN, dividing by zero) raise. The arithmetic core is shared with char!
// and the extended number-like datatypes.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::integer {

// Math op codes of the number types (and of the set operations above them).
constexpr int32_t OP_ADD = 0;
constexpr int32_t OP_SUBTRACT = 1;
constexpr int32_t OP_MULTIPLY = 2;
constexpr int32_t OP_DIVIDE = 3;
constexpr int32_t OP_REMAINDER = 4;
constexpr int32_t OP_OR = 5;
constexpr int32_t OP_AND = 6;
constexpr int32_t OP_XOR = 7;

inline Cell make(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
inline int32_t get(const Cell* c) { return int32_t(c->data2); }
// data2 of the current call's first argument.
int32_t get_arg();
// The first argument's value when it is an integer!, else 0.
int32_t get_last();
// Writes a fresh integer! (no flags) into the current call's result slot.
Cell* box(int32_t v);
Cell* push(int32_t v);
// Retypes the cell to integer! keeping its flags.
Cell* make_at(Cell* c, int32_t v);
// Appends an integer! to a block.
Cell* make_in(Cell* block, int32_t v);

inline int32_t sign(int32_t v) { return v > 0 ? 1 : v < 0 ? -1 : 0; }
// INT32_MIN has no positive counterpart: math/overflow.
int32_t abs(int32_t v);
// True for a double above 2147483647.0, below -2147483648.0, or NaN.
bool float_out_of_range(const Cell* f);

// The decimal text of v, in a buffer of this module valid until the next call.
const char* to_text(int32_t v);

// Reads decimal integer text (optional sign, digits, "'" separators) of length
// units of unit bytes (1, 2 or 4). *error becomes 0, -1 for bad text (nothing
// but a sign, or any other character) or -2 for a value beyond 32 bits.
int32_t from_text(const void* text, int32_t length, int32_t unit, int32_t* error);

// The arithmetic core. add, subtract and multiply that overflow rewrite result
// as a float! holding the exact-in-double answer (the answer returned is then
// meaningless: check the cell's type); divide with a remainder does the same
// when a cell is given, and truncates without one. Unless the result went to a
// float, it is stored in result's data2 (header untouched). Zero divisors raise
// math/zero-divide; INT32_MIN / -1 and its remainder raise math/overflow. An
// overflow with no cell to receive the float raises math/overflow too. Any
// other op code is runtime error 101.
int32_t do_math_op(int32_t left, int32_t right, int32_t op, Cell* result);

// The math of integer! on the current call's two arguments, dispatched on the
// second operand's type; the result replaces the first argument.
Cell* do_math(int32_t op);

// Registers integer! (type 11, no parent).
void init();

}  // namespace kro::integer

// The helpers of the extended datatypes that integer and float math hand their
// operands over to. Each is installed by its datatype's init; until then no
// value of that type can exist, and a call through an empty hook raises
// internal/feature-na.
namespace kro::extended {

// Math of the current call's two arguments with that type on the left; the
// result replaces the first argument.
using DoMathFn = void (*)(int32_t op);
extern DoMathFn money_do_math;
extern DoMathFn pair_do_math;
extern DoMathFn point2d_do_math;
extern DoMathFn point3d_do_math;
extern DoMathFn tuple_do_math;
extern DoMathFn date_do_math;
// Negate the value in the current call's first argument in place.
extern void (*pair_negate)();
extern void (*point2d_negate)();
extern void (*point3d_negate)();
// Element-wise math of a vector with a scalar or another vector; answers the
// result cell, which the caller copies into its result slot.
extern Cell* (*vector_do_math)(int32_t op, Cell* right, Cell* left);

// money!: compare (-1, 0, 1 or -2, currencies checked), conversions.
extern int32_t (*money_compare)(Cell* money, Cell* other, int32_t op);
extern Cell* (*money_from_integer)(int32_t v);          // pushes it
extern Cell* (*money_from_float)(double d, bool flag);  // pushes it; raises its own range errors
extern int32_t (*money_to_integer)(const Cell* money);  // raises its own range error
extern double (*money_to_float)(const Cell* money);
// date!: seconds since 1970-01-01.
extern int32_t (*date_to_epoch)(const Cell* date);

// Raises internal/feature-na: the type behind the hook is not built in.
[[noreturn]] void missing();

template <class F>
inline F need(F hook) {
    if (!hook) missing();
    return hook;
}

}  // namespace kro::extended
