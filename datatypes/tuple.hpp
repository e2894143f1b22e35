// tuple!: 3 to 12 unsigned bytes inside the cell (type 39), for versions,
// network addresses and colours. The header holds the length in bits 19-22;
// byte 1 is the lowest byte of data1, byte 5 the lowest of data2, and so on;
// bytes past the length are 0. The length never drops below 3.
//
// Arithmetic is byte by byte and saturates to 0-255.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::tuple {

constexpr int32_t MIN_LENGTH = 3;
constexpr int32_t MAX_LENGTH = 12;
constexpr uint32_t LENGTH_SHIFT = 19;
constexpr uint32_t LENGTH_MASK = 0xFu << LENGTH_SHIFT;

inline int32_t length(const Cell* c) { return int32_t((c->header & LENGTH_MASK) >> LENGTH_SHIFT); }
// Byte i (0-based) of the payload.
inline uint8_t byte_at(const Cell* c, int32_t i) {
    uint32_t w = i < 4 ? c->data1 : i < 8 ? c->data2 : c->data3;
    return uint8_t(w >> (8 * (i & 3)));
}
void set_byte(Cell* c, int32_t i, uint8_t b);
// Sets the length field (the bytes are not touched).
void set_length(Cell* c, int32_t n);

// An empty (all zero) tuple of n bytes, n clamped to 3..12.
Cell make_empty(int32_t n);

// A tuple of max(count, 3) bytes (at most 12) from the low 8 bits of each value.
Cell* make_at_ints(Cell* c, int32_t count, const int32_t* values);
// Pushes a tuple of that length with those payload words.
Cell* push(int32_t length, uint32_t w1, uint32_t w2, uint32_t w3);
// R.G.B, or R.G.B.A when a is not -1.
Cell* make_rgba(Cell* c, int32_t r, int32_t g, int32_t b, int32_t a);
// The first bytes of a binary! from its head, at most 12, zero-padded to 3.
Cell* from_binary(const Cell* bin, Cell* c);
// An issue! of 3 hexadecimal digits (each doubled: #F0A is 255.0.170), 6 or 8
// digits; any other length or character raises script/invalid-data.
Cell* from_issue(const Cell* issue, Cell* c);
// Every byte up to the length is 0.
bool zero_q(const Cell* c);

// The arithmetic and bitwise actions on the current call's two arguments (op
// codes of integer.hpp). A first argument that is not a tuple is swapped with
// the second, except for subtract and divide (script/not-related). The
// result replaces the first argument.
void do_math(int32_t op);

// The tokenizer's maker for a tuple literal and the reader of `to tuple!` on
// text: 3 to 12 decimal components of 0-255 separated by single dots. Answers
// 0 with the tuple written into out, or tuple! (the datatype id of the syntax
// error) when the text is not a tuple; out is then untouched.
int32_t from_text(const uint8_t* text, size_t length, Cell* out);

// make and to (one function).
Cell* make(Cell* proto, Cell* spec, int32_t type);

// Registers tuple! (type 39, no parent) and installs its math hook.
void init();

}  // namespace kro::tuple
