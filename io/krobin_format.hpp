// The bytes of KROBIN that the writers and the reader share: header bits of
// the standard layout, lead bytes of the compact layout, varints and zigzag.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::krobin::format {

constexpr uint8_t MAGIC[6] = {'K', 'R', 'O', 'B', 'I', 'N'};
constexpr uint32_t FILE_HEADER = 8;  // magic, version, flags

// ---- standard layout: the record header word ------------------------------------------------

constexpr uint32_t UNIT_SHIFT = 8;        // unit size of text, binary and vector; tuple length
constexpr uint32_t WRAPPED_SHIFT = 16;    // op!: the wrapped type
constexpr uint32_t REFERENCE = 1u << 19;  // a path record replaces the contents
constexpr uint32_t MONEY_NEGATIVE = 1u << 22;
constexpr uint32_t COMPLEMENT = 1u << 23;  // bitset!
constexpr uint32_t ON_CHANGE = 1u << 24;   // object!: handler positions follow the class id
constexpr uint32_t GLOBAL = 1u << 25;      // words: bound to the global context (boot data: a global set)
constexpr uint32_t NEW_LINE = 1u << 31;
constexpr uint32_t PATH_RECORD = 255;

// Context records (type 14) use bits 26-30 instead.
constexpr uint32_t CTX_KIND_SHIFT = 26;
constexpr uint32_t CTX_BUILT = 1u << 28;
constexpr uint32_t CTX_ON_STACK = 1u << 29;
constexpr uint32_t CTX_VALUES = 1u << 30;

// ---- compact layout -------------------------------------------------------------------------------

constexpr uint8_t CP_NEW_LINE = 0xC0;
constexpr uint8_t CP_REFERENCE = 0xC1;
constexpr uint8_t CP_TRUE = 0xC2;
constexpr uint8_t CP_FALSE = 0xC3;
constexpr uint8_t CP_GLOBAL_SET = 0xC4;
constexpr uint8_t CP_PATH = 0xFF;
// Boot data of a built environment (flag FLAG_ENVIRONMENT) only: the series
// the record makes is the library's own code (memory::FLAG_LIBRARY).
constexpr uint8_t CP_LIBRARY = 0xC5;
constexpr uint8_t CP_SMALL_INT = 0x80;  // 0x80-0xBF: the integers 0-63
constexpr uint8_t CP_FLAG = 0x40;
constexpr uint8_t CP_TYPE_MASK = 0x3F;
constexpr uint8_t CP_TYPE_ESCAPE = 63;  // the type code follows as a varint

// The flags byte of a compact context record.
constexpr uint8_t CPX_KIND_MASK = 3;
constexpr uint8_t CPX_ON_STACK = 4;
constexpr uint8_t CPX_BUILT = 8;
constexpr uint8_t CPX_VALUES = 16;
// Boot data of a built environment only: the object owns series (ownership).
constexpr uint8_t CPX_OWNER = 32;

constexpr uint32_t MAX_PATH = 65536;

inline uint32_t zigzag(int32_t n) { return (uint32_t(n) << 1) ^ uint32_t(n >> 31); }
inline int32_t unzigzag(uint32_t v) { return int32_t((v >> 1) ^ (0u - (v & 1))); }

// Types that have no encoding: writing one raises access/no-codec with the
// value, reading one with its datatype.
inline bool without_encoding(uint32_t t) {
    return t == TYPE_ROUTINE || t == TYPE_TRIPLE || t == TYPE_HANDLE || t == TYPE_PORT || t == TYPE_EVENT;
}

// Whether a reference record of type t may stand for a series first met as a
// value of type first: the reader refuses any other pairing, since the value
// would misread the buffer (a hash! needs its table, a vector! its element
// type, a text its units).
inline bool reference_fits(uint32_t t, uint32_t first) {
    auto block_kind = [](uint32_t x) {
        return x == TYPE_BLOCK || x == TYPE_PAREN || (x >= TYPE_PATH && x <= TYPE_GET_PATH) || x == TYPE_HASH;
    };
    auto text_kind = [](uint32_t x) {
        return (x >= TYPE_STRING && x <= TYPE_URL) || x == TYPE_TAG || x == TYPE_EMAIL || x == TYPE_REF;
    };
    if (t == TYPE_HASH || t == TYPE_VECTOR || t == TYPE_MAP || t == TYPE_IMAGE) return first == t;
    if (block_kind(t)) return block_kind(first) || first == TYPE_NATIVE || first == TYPE_ACTION;
    if (text_kind(t)) return text_kind(first);
    return first == t;
}

// The mode flag shared by the writers and the reader (krobin/codec?).
void set_codec(bool on);

}  // namespace kro::krobin::format
