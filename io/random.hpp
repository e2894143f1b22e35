// The language's random generators: a Mersenne Twister for `random`, and the
// system's cryptographic source for /secure.
#pragma once
#include <cstdint>

namespace kro::random {

void init();
void seed(uint32_t s);
// 0 to 2147483647.
int32_t next();
int32_t secure_next();
// 0 for n = 0; 1 .. n for n > 0; n .. -1 for n < 0.
int32_t range(bool secure, int32_t n);

}  // namespace kro::random
