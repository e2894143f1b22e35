// String storage: code points in units of 1, 2 or 4 bytes.
#pragma once
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"

namespace kro::string {

// Writes a new empty string value with room for capacity units of the given size.
Cell* make_at(Cell* c, uint32_t capacity, int unit);
// Appends ASCII text (len bytes, or up to the NUL when len < 0).
void concatenate_ascii(Cell* str, const char* text, int32_t len = -1);
// The text from the head to the tail, encoded as UTF-8.
std::string to_utf8(const Cell* str);

// ---- units ----------------------------------------------------------------------

// The code point stored at p in a buffer of that unit (little-endian).
inline uint32_t get_char(const uint8_t* p, int unit) {
    switch (unit) {
        case 1: return p[0];
        case 2: return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
        case 4: return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        default: rt_error::no_switch_match();
    }
}

// Stores a code point that fits the unit.
inline void put_char(uint8_t* p, int unit, uint32_t cp) {
    p[0] = uint8_t(cp);
    if (unit >= 2) p[1] = uint8_t(cp >> 8);
    if (unit == 4) {
        p[2] = uint8_t(cp >> 16);
        p[3] = uint8_t(cp >> 24);
    }
}

// Characters from the head to the tail (0 when the head lies past the tail).
uint32_t length_of(const Cell* str);

// ---- appending (mold buffers and the like) ----------------------------------------

// Appends one character, widening the buffer first when the character does not
// fit: a 1-byte string keeps 0-127 here (128 and up make it 2 bytes wide, above
// 0xFFFF 4 bytes), a 2-byte string 0-0xFFFF. Answers the buffer to use afterwards.
memory::Buffer* append_char(memory::Buffer* b, uint32_t cp);
// The same on a string value.
void append_code_point(Cell* str, uint32_t cp);
// Appends UTF-8 text (len bytes, or up to the NUL when len < 0), one character
// per code point, widening as append_char does. A byte that starts no valid
// sequence stands for itself.
void append_utf8(Cell* str, const char* text, int32_t len = -1);
// Appends the characters of a text value from its head (at most part of them;
// negative: all), converting widths: the target widens to the source's unit
// when narrower, the source is never changed. The source may be the target
// itself. Answers the number of characters appended.
int32_t append_string(Cell* str, const Cell* source, int32_t part = -1);
// The last character in the buffer (whatever the head), or -1 when it is empty.
int32_t last_char(const Cell* str);

// ---- widening -------------------------------------------------------------------
// A string only ever widens: the units are rewritten from the last to the first
// at the new width. Each routine answers the buffer to use afterwards, which
// differs from the one passed in when the buffer had to grow.

memory::Buffer* widen_1_to_2(memory::Buffer* b);
memory::Buffer* widen_1_to_4(memory::Buffer* b);
memory::Buffer* widen_2_to_4(memory::Buffer* b);
memory::Buffer* widen(memory::Buffer* b, int unit, int new_unit);

// ---- conversions for the outside world -------------------------------------------
// The conversions below that answer an address write into the string's
// conversion buffer (a byte series whose node the cell keeps in data3, made on
// the first conversion and reused); the text stays valid until the next
// conversion of the same string. part: characters to convert from the head,
// -1 (or any negative) for all of them; larger counts stop at the tail.

// UTF-8 of the string into its conversion buffer, NUL-terminated; with crlf set
// every LF is written as CR LF. *part (in/out) receives the bytes written
// without the NUL. Answers the conversion buffer's node.
uint32_t encode_utf8(Cell* str, int32_t* part, bool crlf);
// Address of the UTF-8 text (no CR LF).
const char* to_utf8(Cell* str, int32_t* part);
const char* to_utf8_part(Cell* str, int32_t* part, bool crlf);

// UTF-8 of the string written at dst, which the caller sized (utf8_size + 1);
// with nul set a NUL follows. Answers the bytes of text written (without the NUL).
uint32_t to_utf8_into(const Cell* str, uint8_t* dst, int32_t part, bool nul);
// The same within room bytes: a character that does not fit is cut; with nul
// set a NUL follows when room is left for it. Answers the bytes of text written.
uint32_t to_utf8_limited(const Cell* str, uint8_t* dst, uint32_t room, int32_t part, bool nul);

// The NUL-terminated UTF-8 text that POSIX calls take. *part (in/out, may be
// null) receives the bytes written. Answers null when the text cannot be given
// to the system: a code point above 0x10FFFF, or a NUL inside the text (which a
// system call would silently cut there).
const char* to_os(Cell* str, int32_t* part);
const char* to_os_full(Cell* str);

// The NUL-terminated UTF-16LE form (surrogate pairs above 0xFFFF); with crlf set
// every LF becomes CR LF. *part (in/out) receives the units written without the
// NUL. Answers null for a code point above 0x10FFFF.
const uint16_t* to_utf16(Cell* str, int32_t* part, bool crlf);

}  // namespace kro::string
