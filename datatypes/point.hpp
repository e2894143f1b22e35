// point2D! (type 51) and point3D! (type 52): coordinates as IEEE single
// precision floats inside the cell, x in data1, y in data2 and, for point3D!,
// z in data3. Every operation computes in double precision and stores its
// result rounded to single precision. Literals look like (1.5, 2) and (1, 2, 3).
//
// Equality allows ten units in the last place of a 32-bit float (NaN equals
// nothing); strict equality is exact; ordering looks at x, then y, then z, each
// taken as equal when almost equal.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::point {

// Coordinate i (0 = x, 1 = y, 2 = z) of a point cell.
inline float coord(const Cell* c, int i) {
    const uint32_t bits = i == 0 ? c->data1 : i == 1 ? c->data2 : c->data3;
    return std::bit_cast<float>(bits);
}
inline void set_coord(Cell* c, int i, float f) {
    uint32_t bits = std::bit_cast<uint32_t>(f);
    if (i == 0) c->data1 = bits;
    else if (i == 1) c->data2 = bits;
    else c->data3 = bits;
}

// A double rounded to single precision as the FPU rounds it (a finite value
// beyond the float range becomes an infinity or the largest float), without
// the undefined behaviour of an out-of-range cast.
float to_f32(double d);

// The tokenizer's maker for a point literal: the bytes from "(" up to and
// optionally including ")", two or three numbers separated by ",", blanks and
// TABs around each number. A number is float text (with "'" separators) or
// 1.#INF / 1.#NaN with an optional sign. Answers 0 with a point2D! or
// point3D! written into out, or the datatype id of the syntax error to report:
// point2D! or point3D! for a missing or empty part, float! for a number that
// does not read or is 313 bytes or longer. out is untouched on failure.
int32_t from_text(const uint8_t* text, size_t length, Cell* out);

}  // namespace kro::point

namespace kro::point2d {

inline Cell make(float x, float y) {
    return Cell{uint32_t(TYPE_POINT2D), std::bit_cast<uint32_t>(x), std::bit_cast<uint32_t>(y), 0};
}
// Writes a point into the cell (its new-line flag kept); answers it.
Cell* make_at(Cell* c, float x, float y);
Cell* make_in(Cell* block, float x, float y);
Cell* push(float x, float y);

// 1 for the word x, 2 for y (any letter case), 0 for anything else.
int32_t axis_index(const Cell* word);

// The arithmetic of the current call's two arguments, the point first (add,
// subtract, multiply, divide, remainder); the result replaces the first.
void do_math(int32_t op);
// Negates the point in the current call's first argument in place.
void negate_last();
int32_t compare(Cell* value, Cell* other, int32_t op);

// The `as-point2D` conversion: two integer! or float! values, stored as
// 32-bit floats without a check; anything else raises script/invalid-arg.
Cell* from_numbers(const Cell* x, const Cell* y, Cell* out);

Cell* make(Cell* proto, Cell* spec, int32_t type);

// Registers point2D! (type 51, no parent) and installs its math hooks.
void init();

}  // namespace kro::point2d

namespace kro::point3d {

inline Cell make(float x, float y, float z) {
    return Cell{uint32_t(TYPE_POINT3D), std::bit_cast<uint32_t>(x), std::bit_cast<uint32_t>(y),
                std::bit_cast<uint32_t>(z)};
}
Cell* make_at(Cell* c, float x, float y, float z);
Cell* make_in(Cell* block, float x, float y, float z);
Cell* push(float x, float y, float z);

// 1, 2 or 3 for the words x, y and z (any letter case), else 0.
int32_t axis_index(const Cell* word);

void do_math(int32_t op);
void negate_last();
int32_t compare(Cell* value, Cell* other, int32_t op);

// The `as-point3D` conversion.
Cell* from_numbers(const Cell* x, const Cell* y, const Cell* z, Cell* out);

Cell* make(Cell* proto, Cell* spec, int32_t type);

// Registers point3D! (type 52, no parent) and installs its math hooks.
void init();

}  // namespace kro::point3d
