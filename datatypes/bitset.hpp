// bitset!: a set of non-negative integers (most often code points) as a bit
// array that grows on demand (type 30). data2 is the node of a byte series
// (unit 1); data1 and data3 carry nothing. Bit n is the mask 0x80 >> (n & 7)
// of byte n >> 3, so the most significant bit of byte 0 is bit 0.
//
// A complemented set (flag 0x00080000 of the buffer) holds every integer
// beyond its stored bytes; inside them the stored bit is the membership
// itself, whatever the flag. "Every character but these" therefore costs no
// more than the characters named, and nothing is ever materialised beyond the
// highest bit named.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::bitset {

inline Cell make(uint32_t node) { return Cell{uint32_t(TYPE_BITSET), 0, node, 0}; }

// Whether the set is complemented.
bool complemented(const Cell* bs);
// The stored bytes and their number.
uint8_t* ks_head(const Cell* bs);
uint32_t byte_count(const Cell* bs);
// length?: stored bytes times 8.
int32_t length_q(Cell* bs);
// Membership of an index: the stored bit, or the complement flag for an index
// beyond the stored bytes (a negative index included).
bool test_bit(const Cell* bs, int64_t index);

// A new set of n bytes all equal to fill, complemented or not, written into out.
Cell* make_at(Cell* out, uint32_t bytes, uint8_t fill, bool complement);
// Pushes a copy of the set (its own byte series, flags included).
Cell* push(const Cell* bs);
// Inverts n stored bytes from the first.
void invert_bytes(Cell* bs, uint32_t n);

// How a spec is applied (what make, to, the member actions and the parser use).
enum SpecOp : int32_t { MEASURE = 0, SET = 1, TEST = 2, CLEAR = 3 };
// Who asks: it decides the error for a spec of an unusable datatype
// (script/bad-make-arg, script/bad-to-arg or script/invalid-arg).
enum Caller : int32_t { BY_MAKE = 0, BY_TO = 1, BY_ACTION = 2 };
// Applies a spec (char!, integer!, float!, string!, or a block! of those and
// of ranges `start - end`) to the set: MEASURE answers the byte count the spec
// needs (highest index / 8 + 1, at least 1) and does not touch bs (which may
// be null); TEST answers 1 when every index named is a member, else 0; SET and
// CLEAR change the set, growing it as needed, and answer 0.
int64_t process_spec(const Cell* spec, Cell* bs, SpecOp op, Caller caller);

// make (BY_MAKE) and to (BY_TO) of a spec, written into out.
Cell* make_from_spec(Cell* out, const Cell* spec, Caller caller);

// The bitwise actions and set operations on the current call's two arguments:
// op 5 or~, 6 and~, 7 xor~, 8 unique (the first answered unchanged), 9 union,
// 10 intersect, 11 exclude, 12 difference. A second argument that is not a
// bitset raises script/invalid-type. The result, a new set, replaces the first.
Cell* do_bitwise(int32_t op);

// Registers bitset! (type 30, no parent).
void init();

}  // namespace kro::bitset
