// vector!: a packed series of numbers or characters of one element type and
// one width (type 35, parent string!). The cell is a series view: data1 the
// head (an element index), data2 the node of a buffer whose unit size is the
// element width, data3 the element type: char! or integer! (1, 2 or 4 bytes,
// signed, little-endian) or float! or percent! (4 or 8 bytes, IEEE; a percent
// element holds the fraction, 1.0 being 100%).
//
// The series actions come from string!, which reads and writes elements
// through get_value and set_value; this module owns making, the text forms,
// comparison, element-wise arithmetic, insert, append and change.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::vector {

// ---- elements ---------------------------------------------------------------------------

// The element stored at p as a cell of the element type: 1- and 2-byte
// integer elements are sign-extended, char! ones zero-extended (a code point
// is never negative), 4-byte floats widened.
Cell get_value(const uint8_t* p, int unit, uint32_t elem);
// Whether a value can be stored in a vector of that element type: integer! or
// char! in char! and integer! vectors, float! or percent! in the others.
bool fits(const Cell* value, uint32_t elem);
// Stores a value at p: integers and chars keep their low 8, 16 or 32 bits,
// floats are rounded to single precision in 4-byte elements. A value that
// does not fit raises script/invalid-type with its datatype.
void set_value(const Cell* value, uint8_t* p, int unit, uint32_t elem);

// ---- entry points --------------------------------------------------------------------------

// An empty vector in the cell with room for count elements of that type and
// width in bytes (a byte count beyond 32 bits raises internal/no-memory).
Cell* make_at(Cell* out, int32_t count, uint32_t elem, int unit);
Cell* push(const Cell* vec);
// A new block in out with one cell per element from the head.
Cell* to_block(const Cell* vec, Cell* out);
// Appends a value whose datatype is exactly the element type (else
// script/invalid-arg with the value).
void append_value(Cell* vec, const Cell* value);
// append_value for every cell of a block from its head.
void append_block(Cell* vec, const Cell* block);
// Stores a value at an element index counted from the first element: over an
// element, or past the tail (the elements between become zeros).
void poke_value(Cell* vec, int32_t index, const Cell* value);
// Inserts a value at an element index counted from the first element (an
// index past the tail appends).
void insert_value(Cell* vec, int32_t index, const Cell* value);

// Element-wise arithmetic, op codes of integer.hpp (0 add ... 7 xor).
// With a scalar the vector changes in place and is the result; with
// scalar_first the scalar is the left operand of each element's operation.
// Adding or subtracting 0 and multiplying or dividing by 1 (as the right
// operand) leave the vector untouched.
Cell* do_math_scalar(int32_t op, Cell* vec, const Cell* scalar, bool scalar_first);
// A new vector of the common element type, the wider width and the shorter
// length; different element types raise script/not-same-type.
Cell* do_math_vectors(int32_t op, const Cell* left, const Cell* right, Cell* out);
// The current call's two arguments, a vector first; the result replaces it.
Cell* do_math(int32_t op);
// What integer, char and float math hand over when their right operand is a
// vector: answers the result cell, which the caller copies into its result slot.
Cell* do_math_vector(int32_t op, Cell* right, Cell* left);

// ---- actions ----------------------------------------------------------------------------------
// Results go to the first argument's cell, which is answered.

Cell* make(Cell* proto, Cell* spec, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// -2 for a value that is not a vector; vectors of different element types
// raise script/not-same-type.
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* add();
Cell* subtract();
Cell* multiply();
Cell* divide();
Cell* remainder();
Cell* and_t();
Cell* or_t();
Cell* xor_t();
// append (append set) and insert: one value, or the cells of a block!, paren!
// or hash! (at most part of them when part >= 0), dup times.
Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append);
// Replaces elements at the head (part of them when part >= 0, else as many as
// are written) by the value's elements, dup times.
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);

// Registers vector! (type 35, parent string!) and installs its math hook.
void init();

}  // namespace kro::vector
