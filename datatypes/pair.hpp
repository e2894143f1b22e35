// pair!: a two-dimensional integer coordinate or size, written 10x20 (type 37).
// data2 holds x and data3 y, both signed 32-bit; data1 carries nothing.
//
// Arithmetic stays in integers while it can. A result that needs a fraction
// (a float factor or divisor, a division with a remainder) or that leaves the
// 32-bit range gives a point2D! instead, computed from the pair taken as
// 32-bit floats; an integer operand never makes an error of overflow.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::pair {

inline Cell make(int32_t x, int32_t y) { return Cell{uint32_t(TYPE_PAIR), 0, uint32_t(x), uint32_t(y)}; }
inline int32_t x_of(const Cell* c) { return int32_t(c->data2); }
inline int32_t y_of(const Cell* c) { return int32_t(c->data3); }

// Writes a pair into the cell (its new-line flag kept); answers it.
Cell* make_at(Cell* c, int32_t x, int32_t y);
// Appends a pair at the block's tail.
Cell* make_in(Cell* block, int32_t x, int32_t y);
// A new pair on the data stack.
Cell* push(int32_t x, int32_t y);

// 1 for the word x, 2 for y (any letter case), 0 for anything else.
int32_t field_index(const Cell* word);

// Rewrites the pair in the cell as the point2D! of its coordinates.
Cell* to_point2d(Cell* c);

// The arithmetic of the current call's two arguments, the pair first (op codes
// of integer.hpp: add, subtract, multiply, divide, remainder, or, and, xor);
// the result replaces the first argument.
void do_math(int32_t op);
// Negates the pair in the current call's first argument (32-bit wrap-around).
void negate_last();

// The `as-pair` conversion: two integer! or float! values (floats truncated
// toward zero; a NaN, an infinity or a value beyond 32 bits raises
// script/invalid-arg with it) written as a pair into out.
Cell* from_numbers(const Cell* x, const Cell* y, Cell* out);

// The tokenizer's maker for a pair literal: the bytes of the token, an integer
// on each side of one "x" or "X" (optional sign, digits, "'" separators).
// Answers 0 with the pair written into out, or pair! (the datatype id of the
// syntax error to report) when the text is not a pair; out is then untouched.
int32_t from_text(const uint8_t* text, size_t length, Cell* out);

// make and to (one function): pair!, integer!, float!, a block of two numbers,
// a point2D!, or a string holding a pair literal.
Cell* make(Cell* proto, Cell* spec, int32_t type);

// Registers pair! (type 37, no parent) and installs its math hooks.
void init();

}  // namespace kro::pair
