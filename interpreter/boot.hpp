// The boot program: the library's Kro sources, embedded in the executable, are
// evaluated in their boot order once the natives exist. While it runs, objects
// take class ids from the boot counter, every function made is marked as the
// library's own code, and `make-routine` binds routine! values to the C++
// entries of the routine registry (interpreter/routines.hpp).
#pragma once

namespace kro::boot {

// Evaluates every embedded source after the natives' specs, in order. An error
// while booting is a fault of the build: it is reported with the source's name
// and the process ends with status 254 (-2).
void run();

// Whether the boot program is running.
bool running();

}  // namespace kro::boot
