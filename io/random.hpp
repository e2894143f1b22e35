// The language's random numbers: a Mersenne Twister for `random` and
// `random/seed`, the system's cryptographic source for /secure, and the uniform
// choice of an integer in a range.
//
// The generator keeps the MT19937 constants but works on signed 32-bit words:
// every shift to the right copies the sign bit, and seeding restarts the draws
// at the first state word. Its sequences are part of what scripts observe (a
// seeded script must draw the same numbers everywhere), so both stay as they are.
#pragma once
#include <cstdint>

namespace kro::random {

constexpr uint32_t START_SEED = 19650218;

// Start-up: seeds the generator with START_SEED and derives the per-run hash
// seed from an address of this module.
void init();
// Restarts the generator from a 32-bit seed.
void seed(uint32_t s);
// The generator's next number, 0 to 2147483647.
int32_t next();
// 0 to 2147483647 from the cryptographic source (4 bytes masked with 0x7FFFFFFF).
int32_t secure_next();
// 0 for n = 0; a uniform integer in 1 .. n for n > 0 and in n .. -1 for n < 0,
// drawn by rejection from next() or, when secure, from secure_next().
int32_t range(bool secure, int32_t n);

}  // namespace kro::random
