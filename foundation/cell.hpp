// The value cell: a 32-bit header and three 32-bit payload words. Every value of
// the language is one of these; no payload word ever holds a native pointer
// (references are 32-bit arena offsets, see arena.hpp).
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>

namespace kro {

enum Type : uint8_t {
    TYPE_NONE_ID = 0,  // never a valid value type; an empty header
    TYPE_DATATYPE = 1,
    TYPE_UNSET = 2,
    TYPE_NONE = 3,
    TYPE_LOGIC = 4,
    TYPE_BLOCK = 5,
    TYPE_PAREN = 6,
    TYPE_STRING = 7,
    TYPE_FILE = 8,
    TYPE_URL = 9,
    TYPE_CHAR = 10,
    TYPE_INTEGER = 11,
    TYPE_FLOAT = 12,
    TYPE_SYMBOL = 13,
    TYPE_CONTEXT = 14,
    TYPE_WORD = 15,
    TYPE_SET_WORD = 16,
    TYPE_LIT_WORD = 17,
    TYPE_GET_WORD = 18,
    TYPE_REFINEMENT = 19,
    TYPE_ISSUE = 20,
    TYPE_NATIVE = 21,
    TYPE_ACTION = 22,
    TYPE_OP = 23,
    TYPE_FUNCTION = 24,
    TYPE_PATH = 25,
    TYPE_LIT_PATH = 26,
    TYPE_SET_PATH = 27,
    TYPE_GET_PATH = 28,
    TYPE_ROUTINE = 29,
    TYPE_BITSET = 30,
    TYPE_TRIPLE = 31,
    TYPE_OBJECT = 32,
    TYPE_TYPESET = 33,
    TYPE_ERROR = 34,
    TYPE_VECTOR = 35,
    TYPE_HASH = 36,
    TYPE_PAIR = 37,
    TYPE_PERCENT = 38,
    TYPE_TUPLE = 39,
    TYPE_MAP = 40,
    TYPE_BINARY = 41,
    TYPE_SERIES = 42,
    TYPE_TIME = 43,
    TYPE_TAG = 44,
    TYPE_EMAIL = 45,
    TYPE_HANDLE = 46,
    TYPE_DATE = 47,
    TYPE_PORT = 48,
    TYPE_MONEY = 49,
    TYPE_REF = 50,
    TYPE_POINT2D = 51,
    TYPE_POINT3D = 52,
    TYPE_IMAGE = 53,
    TYPE_EVENT = 54,
};

constexpr int TYPE_ID_ROOM = 57;  // registry rows: ids 0 to 56

// Header flags above the type byte.
constexpr uint32_t FLAG_NEW_LINE = 0x40000000;  // a line break precedes this value
constexpr uint32_t TYPE_MASK = 0xFF;

struct Cell {
    uint32_t header;
    uint32_t data1;
    uint32_t data2;
    uint32_t data3;

    Type type() const { return static_cast<Type>(header & TYPE_MASK); }
    void set_type(Type t) { header = (header & ~TYPE_MASK) | t; }
    bool is(Type t) const { return type() == t; }

    // Doubles live in data2 (low half) and data3 (high half); cells are only
    // 4-byte aligned, so go through memcpy, never through double*.
    double get_float() const {
        uint64_t bits = uint64_t(data2) | (uint64_t(data3) << 32);
        return std::bit_cast<double>(bits);
    }
    void set_float(double d) {
        uint64_t bits = std::bit_cast<uint64_t>(d);
        data2 = uint32_t(bits);
        data3 = uint32_t(bits >> 32);
    }
};
static_assert(sizeof(Cell) == 16, "a cell is 16 bytes");

inline void copy_cell(const Cell* from, Cell* to) { std::memcpy(to, from, sizeof(Cell)); }

inline Cell make_header_cell(Type t) { return Cell{uint32_t(t), 0, 0, 0}; }

}  // namespace kro
