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
// fault handlers installed there; answers when fn returns (the bounds below
// are then those of the caller again).
void run_on_big_stack(void (*fn)(void*), void* arg);

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer cannot clean the stack of a thread above 64 MiB when a
// C++ exception unwinds it (it would report false errors afterwards).
constexpr uint64_t RUNTIME_STACK = 60ull << 20;
#else
constexpr uint64_t RUNTIME_STACK = 256ull << 20;
#endif
constexpr uint64_t GUARD_MARGIN = 4ull << 20;  // room left when check() fires
constexpr uint64_t GUARD_PAGES = 1ull << 20;   // no-access zone below the stack

// The bounds of the runtime thread's stack (for fault classification):
// [guard_low, stack_low) is the no-access zone, [stack_low, stack_high) the stack.
extern uintptr_t guard_low;
extern uintptr_t stack_low;
extern uintptr_t stack_high;

}  // namespace kro::machine_stack
