// Recursive runtime code (evaluator, mold, compare, copy, bind, load, parse,
// decoders) checks the machine stack and raises a language error well before
// the runtime thread's stack ends.
#pragma once
#include <cstdint>

namespace kro::machine_stack {

extern uintptr_t limit;  // lowest safe frame address; 0 = unchecked

inline bool low() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < limit; }

// Raises internal/stack-overflow when the stack is nearly exhausted.
void check();

// Runs fn on a thread with a large stack, with the guard set for it and the
// fault handlers installed there; answers when fn returns.
void run_on_big_stack(void (*fn)(void*), void* arg);

constexpr uint64_t RUNTIME_STACK = 256ull << 20;
constexpr uint64_t GUARD_MARGIN = 4ull << 20;

// The bounds of the runtime thread's stack (for fault classification).
extern uintptr_t stack_low;
extern uintptr_t stack_high;

}  // namespace kro::machine_stack
