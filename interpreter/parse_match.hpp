// The matching primitives of the parse engine: a rule value matched at one
// position of the input, searched forward (to/thru), repeated in place
// (repetitions of a literal), and datatype rules. None of them evaluates or
// allocates in the collected heap, so they may read the buffers directly; each
// answers positions, never addresses.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::parse::detail {

enum class InputKind : uint8_t { BLOCK, TEXT, BINARY };

// The kind of input a series type gives (any-block, any-string, binary!).
InputKind kind_of(uint32_t type);

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

// A datatype! or typeset! rule at s.index: the units the matched value takes,
// or -1. Text input raises script/parse-unsupported.
int32_t match_type(const Span& s, const Cell* rule);

}  // namespace kro::parse::detail
