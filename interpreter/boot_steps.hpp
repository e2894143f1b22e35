// The steps of the boot program that its two ways share (interpreter/boot.cpp)
// with the first build stage's writer of the boot data (boot_data.cpp).
#pragma once
#include <vector>

#include "foundation/cell.hpp"

namespace kro::boot::steps {

// Before the environment is built: the routine registry, boot class ids,
// library bodies, and `make-routine` in the global context.
void begin();

// The embedded sources in boot order, but for the natives' specs (data of the
// runtime's initialisation) and the start-up's (run by start_up).
void run_sources();

// Once the sources have run: binds the library's calls of global functions
// to the values they hold now (library_calls.cpp, boot::library_calls()).
void bind_library_calls();
// The object of those values, as the boot data gives it back.
void set_library_calls(const Cell& obj);

// What the runtime made before the environment that the environment holds:
// the values of the global context (in slot order), the error catalog and
// the object of the global context (system/words). Both ways make the same
// cells at the same point, so the boot data reaches them by reference.
std::vector<Cell> prelude();

// The kept values of the boot data after the prelude, in order.
enum Kept : uint32_t {
    GLOBAL_WORDS = 0,
    GLOBAL_VALUES = 1,
    OWNERSHIP = 2,
    STATE = 3,
    LIBRARY_CALLS = 4,
    KEPT_COUNT = 5
};
// The state block: the last class id the boot counter gave.
enum State : uint32_t { BOOT_COUNTER = 0, STATE_COUNT = 1 };

}  // namespace kro::boot::steps
