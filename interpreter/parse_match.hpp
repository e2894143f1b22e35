// The matching primitives of the parse engine: a rule value matched at one
// position of the input, searched forward (to/thru), repeated in place
// (repetitions of a literal), and datatype rules. None of them evaluates or
// allocates in the collected heap, so they may read the buffers directly; each
// answers positions, never addresses.
#pragma once
#include <cstdint>

#include "datatypes/series.hpp"
#include "foundation/cell.hpp"

namespace kro::parse::detail {

enum class InputKind : uint8_t { BLOCK, TEXT, BINARY };

// The kind of input a series type gives (any-block, any-string, binary!).
inline InputKind kind_of(uint32_t type) {
    if (series::is_block_kind(type)) return InputKind::BLOCK;
    if (type == TYPE_BINARY) return InputKind::BINARY;
    return InputKind::TEXT;
}

// The input at one level: the series and the part of it that may be matched,
// [index, end), where end is the tail or a nearer /part limit.
struct Span {
    uint32_t type;
    uint32_t node;
    int32_t index;
    int32_t end;
};

// Comparison modes: 0 ignores letter case, 2 does not.
constexpr int32_t MODE_EQUAL = 0;
constexpr int32_t MODE_STRICT = 2;

// A literal rule value at s.index: the units it consumes, or -1.
int32_t match_literal(const Span& s, const Cell* value, int32_t mode);

// to/thru with a literal: the first position from s.index whose text or item
// matches the value; answers the index where it starts (thru: the index after
// it), or -1. A value that cannot be searched for in this input raises
// script/parse-rule.
int32_t find_value(const Span& s, const Cell* value, int32_t mode, bool thru);

// A repetition of a literal from s.index, at most max times (-1: no bound):
// the number of matches made (a value that matches without consuming counts
// as matching as often as asked), the index after them in *after.
int32_t loop_value(const Span& s, const Cell* value, int32_t mode, int32_t min, int32_t max, int32_t* after);

// A char! over 1-byte text, or a bitset! over 1-byte text or a binary,
// prepared once for many runs over one input: which byte values match is
// copied into a table, so nothing refers to the value's buffer.
struct ByteRun {
    uint8_t in[256];   // 1 for each byte value that matches
    uint8_t count;     // how many byte values match: 0, 1, 2, or 3 for more
    uint8_t first[2];  // the first two of them, for a byte search

    // Prepares for the value over the input s; answers whether it applies.
    bool prepare(const Span& s, const Cell* value, int32_t mode);
    // The index after the run of matching bytes of p from i, before end.
    int32_t scan(const uint8_t* p, int32_t i, int32_t end) const {
        for (; end - i >= 4; i += 4) {
            if (!in[p[i]]) return i;
            if (!in[p[i + 1]]) return i + 1;
            if (!in[p[i + 2]]) return i + 2;
            if (!in[p[i + 3]]) return i + 3;
        }
        while (i < end && in[p[i]]) i++;
        return i;
    }
    // The first index from i, before end, of a matching byte, or -1.
    int32_t find(const uint8_t* p, int32_t i, int32_t end) const;
};

// A datatype! or typeset! rule at s.index: the units the matched value takes,
// or -1. Text input raises script/parse-unsupported.
int32_t match_type(const Span& s, const Cell* rule);

}  // namespace kro::parse::detail
