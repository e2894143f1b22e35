#include "io/random.hpp"

#include <sys/random.h>

#include <random>

namespace kro::random {

namespace {
std::mt19937 gen(19650218u);
}

void init() { gen.seed(19650218u); }

void seed(uint32_t s) { gen.seed(s); }

int32_t next() { return int32_t(gen() >> 1); }

int32_t secure_next() {
    uint32_t v = 0;
    size_t got = 0;
    while (got < sizeof v) {
        ssize_t n = ::getrandom(reinterpret_cast<uint8_t*>(&v) + got, sizeof v - got, 0);
        if (n > 0) got += size_t(n);
    }
    return int32_t(v & 0x7FFFFFFF);
}

int32_t range(bool secure, int32_t n) {
    if (n == 0) return 0;
    int64_t span = n > 0 ? int64_t(n) : -int64_t(n);
    // Rejection sampling keeps every value equally likely.
    int64_t limit = (int64_t(0x80000000) / span) * span;
    int64_t r;
    do r = secure ? secure_next() : next(); while (r >= limit);
    int64_t v = r % span + 1;
    return int32_t(n > 0 ? v : -v);
}

}  // namespace kro::random
