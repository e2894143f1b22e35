// Fast paths for library code compiled ahead of time: integer arithmetic,
// comparisons, picking from a block by a constant index and the block
// navigation actions. Each routine does the common case (two integer!s, a
// block!) inline and otherwise calls the generic action exactly as the
// evaluator would: in a native frame named by the operator word, with the
// operands pushed on the data stack. Compiled code therefore behaves like
// interpreted code in every case.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::ops {

// Arithmetic op codes (3 and 4 are not used).
enum Arith : int32_t { ADD = 0, SUBTRACT = 1, MULTIPLY = 2, OR_T = 5, AND_T = 6, XOR_T = 7 };
// Comparison op codes: those of the actions' compare (actions::Op 0-6).
// Series op codes.
enum SeriesOp : int32_t { LENGTH_Q = 1, INDEX_Q, HEAD_Q, TAIL_Q, NEXT, BACK, HEAD, TAIL };

// Arithmetic: the result is pushed as the new top.
void arith(int32_t op, const Cell* word, const Cell* left, const Cell* right);
void arith_int(int32_t op, const Cell* word, const Cell* left, int32_t right);
// The same with the left operand at the top of the stack, whose cell takes the result.
void arith_top(int32_t op, const Cell* word, const Cell* right);
void arith_top_int(int32_t op, const Cell* word, int32_t right);

// Comparison: a logic! pushed as the new top.
void compare(int32_t op, const Cell* word, const Cell* left, const Cell* right);
void compare_int(int32_t op, const Cell* word, const Cell* left, int32_t right);
// For conditional jumps: the truth XOR negate; nothing is left on the stack.
bool compare_jump(int32_t op, const Cell* word, const Cell* left, const Cell* right, bool negate);
bool compare_int_jump(int32_t op, const Cell* word, const Cell* left, int32_t right, bool negate);
// The truth, also left as a logic! in slot 0 of the current call.
bool compare_last(int32_t op, const Cell* word, const Cell* left, const Cell* right);
bool compare_int_last(int32_t op, const Cell* word, const Cell* left, int32_t right);
// The left operand at the top of the stack, replaced by the logic!.
void compare_top(int32_t op, const Cell* word, const Cell* right);
void compare_top_int(int32_t op, const Cell* word, int32_t right);

// value/N with a constant N: pushed as the new top (none past either end of a block).
void path_pick(const Cell* word, const Cell* value, int32_t n);
// length? index? head? tail? next back head tail of the value, pushed as the new top.
void series_op(int32_t op, const Cell* word, const Cell* value);

}  // namespace kro::ops
