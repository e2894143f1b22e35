// float!: the 64-bit IEEE-754 number (type 12), its double in data2 (low half)
// and data3 (high half). percent! and time! keep their double the same way and
// go through the math dispatcher, the comparison and the rounding here.
//
// Arithmetic keeps IEEE results (infinities, NaN); equality allows ten units
// in the last place; form writes at most 16 significant digits and tidies
// near-misses, mold writes the shortest text that reads back to the same double.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/float_text.hpp"

namespace kro::floatx {

constexpr double MAX_FINITE = 1.7976931348623157e308;
constexpr double BELOW_HALF = 0.49999999999999994;  // the largest double below 0.5
constexpr double EPSILON = 2.220446049250313e-16;

// system/options/float: pretty? (true at start) steers form; full? is kept for
// the options object and changes nothing.
extern bool pretty_print;
extern bool full_support;

inline double get(const Cell* c) { return c->get_float(); }
inline Cell make(double d) {
    Cell c{uint32_t(TYPE_FLOAT), 0, 0, 0};
    c.set_float(d);
    return c;
}
inline double from_bits(uint32_t high, uint32_t low) {
    return std::bit_cast<double>((uint64_t(high) << 32) | low);
}
// The double of two halves with its sign bit cleared.
inline double abs(uint32_t low, uint32_t high) { return from_bits(high & 0x7FFFFFFF, low); }
// Writes a fresh float! into the current call's result slot.
Cell* set_last(double d);
// Writes a fresh float! header and the double into the cell.
Cell* make_at(Cell* c, double d);
// Appends a float! with the two halves to a block.
Cell* make_in(Cell* block, uint32_t low, uint32_t high);
Cell* push(double d);
Cell* push_bits(uint32_t high, uint32_t low);

inline bool is_nan(uint32_t low, uint32_t high) {
    return (high & 0x7FF00000) == 0x7FF00000 && ((high & 0x000FFFFF) | low) != 0;
}
inline bool is_nan(double d) { return d != d; }
inline bool is_nan32(float f) { return f != f; }
inline bool not_finite(double d) { return (std::bit_cast<uint64_t>(d) & 0x7FF0000000000000ull) == 0x7FF0000000000000ull; }

// Equality of the language: exact, or closer than EPSILON, or at most ten
// representable doubles apart. NaN equals nothing.
bool almost_equal(double a, double b);
// The same rule for the 32-bit floats of the point types.
bool almost_equal32(float a, float b);

// The truncation of the x86 conversion: the whole part of d when it fits in 32
// bits, else INT32_MIN (also for NaN). Callers that must not hand such an
// answer on check the range first.
int32_t truncate_x86(double d);
// d + BELOW_HALF truncated as above.
int32_t round_half(double d);

// Kinds of form text.
enum TextKind : int32_t {
    KIND_FLOAT32 = 0,
    KIND_FLOAT = 1,
    KIND_PERCENT32 = 2,
    KIND_PERCENT = 3,
    KIND_TIME_SECONDS = 4,
    KIND_POINT = 5,
};
// The form text of a value of that kind, in a buffer of this module valid until
// the next call.
const char* to_text(double x, int32_t kind);

// Plain IEEE arithmetic for ops 0-4 (remainder as fmod, with a finite dividend
// kept when the divisor is infinite); any other op raises script/cannot-use.
double do_math_op(double x, double y, int32_t op);
// The math of float! (and percent!, time!, and integer! handed over) on the
// current call's two arguments; the result replaces the first.
Cell* do_math(int32_t op);

// Compares a double of a given type (the left operand's, which may be an
// integer! turned into a double) with a value: the compare slot's answer.
int32_t compare_double(double left, Type left_type, const Cell* right, int32_t op);

// round with its refinements on the float-like value in n (scale null without
// /to); the result replaces n. Also serves integer! round with a non-integer
// scale.
Cell* round(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling);
// power on the current call's arguments (a float-like base).
Cell* power();

// Registers float! (type 12, no parent).
void init();

}  // namespace kro::floatx
