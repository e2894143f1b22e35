// The boot program: the library's Kro sources, embedded in the executable, are
// evaluated in their boot order once the natives exist.
#pragma once

namespace kro::boot {

// Evaluates every embedded source after the natives' specs, in order. An error
// while booting is a fault of the build: it is reported with the source's name
// and the process ends.
void run();

}  // namespace kro::boot
