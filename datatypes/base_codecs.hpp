// Bytes to text and back in base 2, 16, 58 and 64: the routines behind the
// enbase and debase natives and the conversion of an issue! to a binary!.
//
// Encoders write ASCII into room the caller sized. Decoders read the code
// points of a text of any unit size (1, 2 or 4 bytes) and answer a new
// binary!, or none when the text is not valid in that base. In every decoder
// ";" comments out the text up to the next line feed.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::binary {

// Each answers the address just past the last character written.
// Base 2: eight "0"/"1" per byte, most significant bit first.
uint8_t* encode_2(uint8_t* out, const uint8_t* in, uint32_t n);
// Base 16: two upper-case digits per byte.
uint8_t* encode_16(uint8_t* out, const uint8_t* in, uint32_t n);
// Base 58 (the alphabet without 0, O, I and l): one "1" per leading zero
// byte, then the digits of the number the bytes form. Needs 2n bytes of room.
uint8_t* encode_58(uint8_t* out, const uint8_t* in, uint32_t n);
// Base 64 with the standard alphabet and "=" padding, no line breaks.
uint8_t* encode_64(uint8_t* out, const uint8_t* in, uint32_t n);

// text: count code points of `unit` bytes each. The answer is written into
// out (a new binary! or none) and out is answered.
// Base 2: blanks and control characters skipped; anything but "0" and "1",
// or bits left over at the end, answer none.
Cell* decode_2(const uint8_t* text, uint32_t count, int unit, Cell* out);
// Base 16: blanks and control characters skipped; an odd last digit is
// dropped; anything else that is not a hexadecimal digit answers none (code
// points above 127 included).
Cell* decode_16(const uint8_t* text, uint32_t count, int unit, Cell* out);
// Base 58: blanks, tabs, line breaks, backspace, form feed and "'" skipped;
// a code point above 127 ends the text; any other character outside the
// alphabet answers none.
Cell* decode_58(const uint8_t* text, uint32_t count, int unit, Cell* out);
// Base 64: the skipped characters of base 58; "=" ends the data (valid after
// 2 or 3 characters of a group); characters pending at the end without "="
// are dropped; any other character outside the alphabet (code points above
// 127 included) answers none.
Cell* decode_64(const uint8_t* text, uint32_t count, int unit, Cell* out);

// The work of the enbase native: a binary! (from its head) or a text value
// (the UTF-8 of its characters from the head) as a new string! in out.
// A base other than 2, 16, 58 and 64 raises script/invalid-arg with the base;
// another value type raises script/invalid-arg with the value; a text too
// long for one string raises internal/no-memory before anything is written.
Cell* enbase(const Cell* value, int32_t base, Cell* out);
// The work of the debase native: the text value from its head decoded into a
// new binary! in out, or none when the decoder refuses it.
Cell* debase(const Cell* text, int32_t base, Cell* out);

}  // namespace kro::binary
