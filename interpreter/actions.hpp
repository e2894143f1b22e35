// The direct forms of the generic actions: runtime and datatype code calls an
// action on a value with typed arguments, and the per-type action table picks
// the implementation by the value's type id. The stack forms (arguments taken
// from the data stack, /part and /dup normalised, the form and mold buffers
// made) belong to the evaluator and come with it.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/registry.hpp"
#include "interpreter/flow.hpp"

namespace kro::actions {

// Compare op codes.
enum Op : int32_t {
    EQUAL = 0,
    NOT_EQUAL = 1,
    STRICT_EQUAL = 2,
    LESSER = 3,
    LESSER_OR_EQUAL = 4,
    GREATER = 5,
    GREATER_OR_EQUAL = 6,
    SORT = 7,
    CASE_SORT = 8,
    SAME = 9,
    FIND = 12,  // the equality of find, select and put
};

// True for the ops that only ask whether two values are equal (0-2, 10-12).
inline bool is_equality_op(int32_t op) { return (op >= 0 && op <= 2) || (op >= 10 && op <= 12); }

// The implementation of a slot for the value's type. An empty entry raises
// script/expect-arg with the current call's name, the value's datatype and the
// name of the call's first argument: the error of every unsupported action.
ActionFn get_action_ptr(const Cell* value, int slot);

template <int S>
inline SlotFn<S> get(const Cell* value) {
    return reinterpret_cast<SlotFn<S>>(get_action_ptr(value, S));
}

// Raises the error of an unsupported action for the value.
[[noreturn]] void unsupported(const Cell* value);

// Compares through value1's compare slot and turns the answer into a truth
// value for the op: 0, 2, 9, 10, 11, 12 hold on 0; 1 on non-zero; 3 below 0;
// 4 below 1; 5 at least 1; 6 at least 0. Values that cannot be compared (the
// slot answers -2, or the type has no compare slot) are unequal, and raise
// script/invalid-compare under the ordering ops 3-6. Any other op is runtime
// error 101.
bool compare(Cell* value1, Cell* value2, int32_t op);

// The ordering of two values: -1, 0 or 1, or -2 when not comparable. logic!
// by its flag, native!/action!/op! by table index, function!/routine! by
// their records; every other type through its compare slot with the op.
int32_t compare_values(Cell* value1, Cell* value2, int32_t op);

// Form and mold through slots 5 and 6; part is the /part argument (null when
// absent). Answer the budget left.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);

// Copy through slot 30: the copy replaces the result cell, which is answered.
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);

// Find through slot 31: leaves the series at the match, or none, and answers it.
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);

// Poke through slot 40 at a 1-based index number; answers the value.
Cell* poke(Cell* series, int32_t index, Cell* value);

// compare through slots 0 and 1 of the current call with an op code, leaving
// a logic! in slot 0.
void compare_to_logic(int32_t op);

// ---- the stack forms --------------------------------------------------------------------------
// The action entry table: for each of the 62 slots the stack form that an
// action! value calls (the native shape of interpreter/eval.hpp: arguments on
// the data stack, refinement positions). They dispatch on the type of slot 0
// (on the type it names for make and to with a datatype!), normalise /part and
// /dup for append, insert and change, make the string of form and mold, box
// the answers of even?, odd? and length?, and leave the result in slot 0.
// Slot 8 (set-path) is empty.
using StackForm = Flow (*)(const int32_t* refs);
StackForm entry(int32_t slot);
void init();

// The call behind sort/compare with a function: runs the function (any
// function kind) with two arguments and leaves its result in `result`. The
// arguments and the result are rooted cells; the call may collect. The
// interpreter installs it; until then such a sort raises internal/feature-na.
extern void (*call_comparator)(const Cell* function, const Cell* arg1, const Cell* arg2, Cell* result);

}  // namespace kro::actions
