// Unicode text conversion: UTF-8 and UTF-16 decoding and encoding, and loading
// external text into string buffers of the narrowest unit that holds it.
//
// Strings keep one code point per unit of 1, 2 or 4 bytes (little-endian).
// Everything that enters or leaves the system is UTF-8 (files, the tokenizer,
// symbols, serialization, the operating system) or, for text that arrives in
// that form, UTF-16LE.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/cell.hpp"

namespace kro::unicode {

// ---- UTF-8 decoding -------------------------------------------------------------

// Decodes one sequence of trusted text (symbol names, the tokenizer's buffer)
// with a byte-class automaton. Answers the address after the sequence and
// stores the code point, or -1 for an invalid sequence (the address then stands
// after the bytes consumed so far). The text must end on a complete sequence or
// a NUL: the decoder has no length bound.
const uint8_t* fast_decode_utf8_char(const uint8_t* p, int32_t* cp);

// Validating decoder for input. `remaining` holds on entry the bytes available
// from p; on a decoded sequence it receives the sequence's length in bytes.
// Answers the code point, or -1 (nothing consumed) when fewer bytes remain than
// the lead byte announces. A refused sequence raises access/invalid-utf8 with
// the bytes at its start (at most 4, never past the end) as argument.
// Overlong two-byte forms from C0/C1 are accepted, as are three-byte forms of
// surrogates except DC00-DCFF; stored text relies on both.
int32_t decode_utf8_char(const uint8_t* p, uint32_t* remaining);

// Number of sequences between start and end (bytes that are not continuation bytes).
uint32_t count_utf8_chars(const uint8_t* start, const uint8_t* end);
// Advances p by n sequences, never past limit.
const uint8_t* skip_utf8_chars(const uint8_t* p, const uint8_t* limit, uint32_t n);
// 4, 3 or 2 for a lead byte with its top four, three or two bits set; else 0
// (ASCII and continuation bytes).
int utf8_char_size(uint8_t lead);

// ---- UTF-8 from and to outside -------------------------------------------------
// Keys, history files and file names are decoded by the strict rules (no
// overlong form, nothing past U+10FFFF) and a bad sequence becomes U+FFFD
// instead of an error. Surrogate halves (ED A0-BF) are each caller's choice:
// the console takes them, since its text may carry them, the GUI refuses them.

// 1 for ASCII; 2, 3 or 4 for a lead byte C2-DF, E0-EF or F0-F4; 0 for a byte
// that cannot start a sequence.
inline int utf8_lead_length(uint8_t b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

inline bool utf8_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Whether b may stand at position k (1 to 3) of the sequence lead starts: the
// second byte is where overlong forms, surrogates and values past U+10FFFF show.
inline bool utf8_follows(uint8_t lead, int k, uint8_t b, bool surrogates) {
    if (k == 1) {
        switch (lead) {
            case 0xE0: return b >= 0xA0 && b <= 0xBF;
            case 0xED: return surrogates ? utf8_continuation(b) : b >= 0x80 && b <= 0x9F;
            case 0xF0: return b >= 0x90 && b <= 0xBF;
            case 0xF4: return b >= 0x80 && b <= 0x8F;
            default: break;
        }
    }
    return utf8_continuation(b);
}

// The bits a lead byte gives to the code point of a sequence of that length.
inline int32_t utf8_lead_bits(uint8_t lead, int length) { return length == 1 ? lead : lead & (0x7F >> length); }

constexpr int32_t UTF8_REFUSED = -1;  // the bytes are no sequence
constexpr int32_t UTF8_CUT = -2;      // the bytes end inside a sequence

// Decodes the sequence at the start of the n > 0 bytes at p by those rules and
// answers its code point, with its length in *used. A refused sequence answers
// UTF8_REFUSED and leaves in *used the bytes before the refused one (1 for a
// byte that cannot lead); a cut one answers UTF8_CUT with *used = n.
inline int32_t decode_utf8_checked(const uint8_t* p, size_t n, size_t* used, bool surrogates) {
    int length = utf8_lead_length(p[0]);
    *used = 1;
    if (length == 0) return UTF8_REFUSED;
    int32_t cp = utf8_lead_bits(p[0], length);
    for (int k = 1; k < length; k++) {
        *used = size_t(k);
        if (size_t(k) >= n) return UTF8_CUT;
        if (!utf8_follows(p[0], k, p[k], surrogates)) return UTF8_REFUSED;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    *used = size_t(length);
    return cp;
}

// The code points of such text; each refused or cut sequence is one U+FFFD.
std::u32string decode_utf8_text(std::string_view text, bool surrogates);

// The way back: appends the UTF-8 of a code point, U+FFFD for one past
// U+10FFFF and, unless surrogates is set, for a surrogate half. Never raises.
void append_utf8(std::string& out, uint32_t cp, bool surrogates);
// The UTF-8 of such code points.
std::string encode_utf8_text(std::u32string_view text, bool surrogates);

// ---- UTF-8 encoding -------------------------------------------------------------
// Every routine here raises script/invalid-char with the code point as an
// integer! for a code point above 0x10FFFF.

int cp_utf8_size(uint32_t cp);
// UTF-8 byte count of the units between start and end of a buffer of that unit.
uint32_t utf8_size(const uint8_t* start, const uint8_t* end, int unit);
// Writes the sequence (1 to 4 bytes) and answers its length.
int cp_to_utf8(uint32_t cp, uint8_t* dst);
// Writes only the leading bytes of the sequence that fit in room; answers the
// number written (a character that does not fit is cut).
int cp_to_utf8_limited(uint32_t cp, uint8_t* dst, uint32_t room);

// ---- loading UTF-8 into strings -------------------------------------------------

// Loads UTF-8 bytes into a string buffer and answers its node. node 0 makes a
// new buffer (unit 1, widened as the text needs); otherwise that buffer's
// content is replaced, its unit kept or widened. A leading byte-order mark is
// skipped. With cr set, CR LF becomes LF and a lone CR becomes LF. When the input
// ends inside a sequence, loading stops there and *remaining (when given)
// receives the bytes not consumed; otherwise it receives 0.
uint32_t load_utf8(const uint8_t* bytes, uint32_t length, uint32_t node, uint32_t* remaining, bool cr);

// load_utf8 into the buffer of a string value, CR handling off.
uint32_t load_utf8_buffer(const uint8_t* bytes, uint32_t length, Cell* str, uint32_t* remaining);

// Makes a new string buffer from UTF-8 bytes (no CR handling) and answers its
// node; the buffer uses the narrowest unit (1, 2 or 4 bytes) that holds every
// code point of the text.
uint32_t load_utf8_plain(const uint8_t* bytes, uint32_t length);

// ---- UTF-16LE -------------------------------------------------------------------

// 4 if any of the count units is a surrogate, else 2 if any is above 0xFF, else 1.
int utf16_unit_width(const uint8_t* text, uint32_t count);

// Loads count UTF-16LE units into a string buffer and answers its node. text
// null takes the text from the conversion buffer of str. str null makes a new
// buffer; otherwise str's buffer is replaced by the text. With cr set, CR units
// are dropped. A lead surrogate that is not followed by a trail surrogate raises
// script/invalid-char with the lead unit as integer!; a lone trail surrogate is
// stored as it is.
uint32_t load_utf16(const uint8_t* text, uint32_t count, Cell* str, bool cr);

// Extra bytes that the UTF-16 form of the units between start and end needs
// beyond 2 per code point: 2 for each LF (written as CR LF) and 2 for each code
// point above 0xFFFF.
uint32_t utf16_extra_bytes(const uint8_t* start, const uint8_t* end, int unit);

// Writes the code point as UTF-16 and answers the units written: 1, 2 (a
// surrogate pair), or 0 above 0x10FFFF.
int cp_to_utf16(uint32_t cp, uint16_t* dst);

// Widens each byte of a NUL-terminated text to a 16-bit unit, NUL-terminated;
// answers dst.
uint16_t* ascii_to_utf16(const char* text, uint16_t* dst);

// ---- code page ------------------------------------------------------------------

// Loads Windows-1251 bytes into a string buffer and answers its node. bytes null
// takes the bytes from the conversion buffer of str; str null makes a new unit-1
// buffer, otherwise str's buffer is replaced and its unit kept (widened when a
// character needs it). With cr set, CR LF becomes LF and a lone CR becomes LF.
uint32_t load_cp1251(const uint8_t* bytes, uint32_t length, Cell* str, bool cr);

}  // namespace kro::unicode
