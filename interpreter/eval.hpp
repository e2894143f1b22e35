// The evaluator: runs blocks one expression at a time, looks words up in their
// contexts, fetches the arguments of natives, actions, operators, functions and
// routines from the code after them, evaluates infix operators left to right
// (no precedence: a op1 b op2 c is (a op1 b) op2 c) and paths, and calls every
// function through a call frame.
//
// Positions are (block, index) pairs: the block is held where the collector
// keeps it current and the tail is read again at each step, so code that grows,
// shrinks or moves the block it runs in never makes the evaluator read freed
// or stale cells. Collections happen only between expressions (safe points);
// a native that keeps a series across an evaluation holds it in its argument
// cells or in a gc::Rooted.
//
// Results: an evaluation either pushes its result as a new cell ("push" mode)
// or writes it into slot 0 of the current call and keeps only that cell
// ("last" mode). Every function here answers a Flow (see flow.hpp); errors
// travel as the Thrown exception after stack::throw_error.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "interpreter/flow.hpp"

namespace kro::interp {

// ---- natives -------------------------------------------------------------------------------------

// The shape of every native and of every action's stack form: arguments from
// stack::arguments + i (argument 0 first), then one position per refinement of
// the spec, in spec order: the index (from stack::arguments) of the
// refinement's first argument cell, or -1 when the refinement is not used (a
// refinement without arguments is used when its position is not -1). The
// result goes into slot 0 and the top to just after it. The evaluator has
// checked every argument's type against the spec before the call.
using NativeFn = Flow (*)(const int32_t* refs);
constexpr int32_t MAX_REFINEMENTS = 16;

// Natives table slots (1-120) and the action entry table (1-62), kept by
// datatypes/native.hpp with the spec each was registered with.
void register_native(int32_t index, NativeFn fn, const Cell* spec);
void register_action(int32_t index, const Cell* spec);  // the entry is the action's stack form
NativeFn native_fn(int32_t index);

// Checks the arguments of the current call against a native's, action's or
// routine's spec (for C++ callers that did not fetch them through the
// evaluator); raises script/expect-arg like the evaluator. refs as above.
void check_args(const Cell* fn, const int32_t* refs);

// ---- evaluation ----------------------------------------------------------------------------------

// What errors take as `near`: the block being evaluated, its index at the
// start of the current statement; unset while nothing is evaluated.
Cell near_value();
// Whether the code being evaluated is the library's own (its block carries
// memory::FLAG_LIBRARY): the exits it throws go to the library's frames.
bool library_code();
// While the library's code runs on behalf of the user's code: the number of
// call frames that were open when the user's statement that called into it
// began (the user's call is the first library function's frame above them);
// -1 when the user's own code is running or none lies below.
int32_t library_call_frames();

// Evaluates a block from its index to its tail (with no call frame of its
// own: its values go to a slot above the caller's cells). An empty block
// gives unset. last: the result goes into the caller's slot 0 and
// the top is left just after the callee's base (callers that evaluate again
// reset it: stack::keep()); else the result stays pushed. A native must not
// evaluate into a slot 0 that holds something it still needs.
Flow eval_block(const Cell* block, bool last);
// One expression from absolute index *index of the block (infix operators
// included); *index receives the position after it.
// Nothing is evaluated at the tail (unset). push or last mode as above.
Flow eval_one(const Cell* block, int32_t* index, bool push);
// `do/next`: one expression from the block's index; *block's index is moved
// past it (left at the tail, with unset as the result, when nothing is left).
// The result is pushed.
Flow eval_next(Cell* block);
// A value evaluated as a one-value expression: a word is looked up (a function
// found through it is called, with no arguments available), a paren or path
// evaluated; with keep_functions a function value given directly is the
// result, not called. The result is pushed.
Flow eval_value(const Cell* value, bool keep_functions);

// Calls a value of any function kind with n argument values and no refinements
// (the spec's other cells are laid out as unused), in a frame named `name`.
// cb_class is the tracer's callback class (0 when not a callback). The result
// is pushed. Natives, actions and routines have their arguments checked.
Flow call_value(const Cell* fn, const Cell* args, int32_t n, const Cell* name, int32_t cb_class);

// The value cell of a word bound to a global or function context, where a
// plain store sets the word (no change handler can run); null for any other
// word. Valid until something evaluates.
Cell* plain_slot(const Cell* word);

// `get` and `set` of a path value (any of the four path types): walked as a
// get-path (no function is called) or, with new_value, as a set-path storing
// that value; case_ makes the selectors match case-sensitively. The result
// (the value reached, or the value set) is pushed.
Flow eval_path_value(const Cell* path, const Cell* new_value, bool case_);

// `apply`: the arguments come from the block (mode 1: every spec entry in
// order, refinements as logic! values; mode 2: the arguments, then refinement
// settings; + 4: each argument evaluated on its own, unused refinements'
// arguments skipped unevaluated). The result is pushed.
enum ApplyMode : int { APPLY_ALL = 1, APPLY_SOME = 2, APPLY_SAFER = 4 };
Flow apply(const Cell* fn, const Cell* block, int mode, const Cell* name);

// Runs a function! whose arguments (refinement and local cells included) are
// on the data stack from stack::arguments on, inside a frame already opened by
// the caller (type 1, with the function's context). The result goes into slot
// 0. `return` and `exit` end here. obj_ctx: the object of a method call or 0.
// cb_class: the tracer's callback class of a call back from C++ code, or 0.
// fn must stay where the collector keeps it (the data stack, a Rooted).
Flow call_function(const Cell* fn, uint32_t obj_ctx, int32_t cb_class);
// Runs a routine! whose arguments are on the data stack (as call_function).
Flow call_routine(const Cell* routine);

// The argument list cached in a function value's record (built at its first
// call): one typeset! per argument (header bits 20-21 the kind: 0 normal, 1
// literal, 2 quoted, 3 the return: declaration; data3 the argument's symbol),
// one refinement! per refinement but /local (data3: its ordinal from 1 for
// natives and actions, its context slot for functions and routines), and an
// integer! at the end: the refinement count (natives, actions) or the cells
// of the /local part (functions, routines), in its data3 the number of
// entries from the start that are arguments of the normal kind, in its data1
// 1 when no entry after those takes an argument from the code before the
// first refinement. Answers the list block.
Cell arg_list(const Cell* fn);
constexpr uint32_t KIND_SHIFT = 20;

// ---- the C++ boundary ------------------------------------------------------------------------------
// For C++ code that runs language code and has no status path: the Flow
// continues as Thrown (flow::raise); the evaluator turns it back into a Flow
// where it called that C++ code.

// A block evaluated in full (its last result pushed); a non-normal Flow is raised.
void do_block(const Cell* block);
// call_value, then a non-normal Flow is raised. The result is pushed.
void call_back(const Cell* fn, const Cell* args, int32_t n, const Cell* name, int32_t cb_class);

// Installs the interpreter's hooks in the other modules and makes its cells.
void init();

}  // namespace kro::interp
