// The parse dialect: a block of rules matched against a series (any block
// type, any string type, or binary!), with rules that copy, set, collect,
// insert, remove and change parts of the input while they match.
//
// The matcher is one non-recursive state machine. Nested rule blocks,
// repetitions and commands are entries on an explicit rule stack (a block of
// cells that trace callbacks see), so the depth of a grammar is bounded by that
// stack's limit, never by the machine stack. Runs nest (a paren inside the
// rules may call parse again): both runs share the rule and input stacks, the
// inner one working above the outer one's part.
//
// Rule actions and trace callbacks are evaluations, so they may collect: the
// matcher keeps its registers in rooted cells and keeps positions as indexes,
// re-deriving every address after each evaluation.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "interpreter/flow.hpp"

namespace kro::parse {

// The natives table slot of `parse`.
constexpr int32_t NATIVE_SLOT = 40;

// The stack limit: a push onto a stack already holding this many cells or
// more raises script/parse-stack.
constexpr int32_t STACK_LIMIT = 10001;

// Runs the rules over the input. case_: case-sensitive comparison. part: the
// /part length (an integer! or float! count from the input's head, or a
// position in the input series itself), or null. callback: the /trace
// function, or null. On Flow::NORMAL the result (a logic!, or the block of an
// outermost collect) is pushed on the data stack; any other Flow comes from a
// paren or the callback and is passed on. Errors raise. Both stacks are back
// as they were on every way out.
Flow run(const Cell* input, const Cell* rules, bool case_, const Cell* part, const Cell* callback);

// The native: parse input rules /case /part length /trace callback.
Flow native(const int32_t* refs);

// The two stacks (made on first use), as block values at their current heads:
// for tests and for the trace callback's `stack` argument.
Cell rule_stack();
Cell input_stack();

}  // namespace kro::parse
