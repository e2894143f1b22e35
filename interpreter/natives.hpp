// The natives table: 120 slots, of which 107 hold the built-in functions of the
// language, and the start-up that makes every native!, action!, op! and
// standard typeset from their specs in library/natives.kro.
//
// Each native has the shape of interp::NativeFn (eval.hpp): arguments from
// stack::arguments + i, one position per refinement (-1: not used), the result
// in slot 0 with the top just after it, a Flow answered.
//
// Groups of natives plug in without touching any shared list. A group is a
// source file of the runtime library (e.g. interpreter/natives_math.cpp) that
// defines its natives and one install function calling set_fn for each of
// its slots, registered with
//
//     namespace { void install() { natives::set_fn(55, &sine); ... } }
//     KRO_NATIVE_GROUP(install);
//
// natives::init runs every group's install function, then reads the specs and
// makes the values; a slot that no group fills stands in the table with a
// function that raises internal/not-done. The executables link the whole
// runtime library, so a group's file is linked although nothing names it.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"

namespace kro::natives {

constexpr int32_t SLOTS = 120;
constexpr int32_t FILLED = 107;  // slots 1-107 hold natives; 108-120 stay empty

// ---- groups ----------------------------------------------------------------------------------

using InstallFn = void (*)();

// Registers a group's install function (at static initialisation).
struct Group {
    explicit Group(InstallFn install);
};

#define KRO_NATIVE_GROUP(install) \
    static const ::kro::natives::Group kro_native_group_##install { &install }

// Puts a native's function in its slot (1-107). Called by install functions;
// after start-up it replaces the function a slot calls, keeping its spec. A
// slot filled twice by the groups, or outside 1-107, is a build fault (fatal
// runtime error 98).
void set_fn(int32_t slot, interp::NativeFn fn);

// Whether a group filled the slot (false for the not-done stand-ins).
bool implemented(int32_t slot);

// The stand-in of every slot no group fills: raises internal/not-done.
Flow not_done(const int32_t* refs);

// ---- helpers for natives ---------------------------------------------------------------------

inline Cell* arg(int32_t i) { return stack::arguments + i; }
// A refinement's first argument, or null when the refinement is not used.
inline Cell* ref_arg(const int32_t* refs, int32_t i) { return refs[i] >= 0 ? stack::arguments + refs[i] : nullptr; }
inline bool used(const int32_t* refs, int32_t i) { return refs[i] >= 0; }
// The value becomes the call's result.
inline Flow result(const Cell* value) {
    stack::set_last_reset(value);
    return Flow::NORMAL;
}

// An integer! or float! as a 32-bit count: an integer as it is; a float
// truncated toward zero, NaN or outside -2147483648.0 .. 2147483647.0
// raising script/type-limit with integer!.
int32_t float_to_int(const Cell* value);

// ---- start-up --------------------------------------------------------------------------------

// Runtime initialisation, once the tokenizer is ready: the datatype words get
// their datatypes, every group installs its natives, and library/natives.kro
// is read: each typeset, native, action and operator is made and its word
// bound in the global context. A malformed entry is a build fault (fatal
// runtime error 98, with the entry on standard error).
void init();

}  // namespace kro::natives
