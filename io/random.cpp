#include "io/random.hpp"

#include <array>

#include "foundation/frame.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/platform/entropy.hpp"

namespace kro::random {

namespace {
constexpr int N = 624;
constexpr int M = 397;

struct State {
    std::array<int32_t, N> words;
    int index;
};

constexpr State seeded(uint32_t s) {
    State st{};
    st.words[0] = int32_t(s);
    for (int i = 1; i < N; i++) {
        int32_t prev = st.words[i - 1];
        st.words[i] = int32_t(1812433253u * uint32_t(prev ^ (prev >> 30)) + uint32_t(i));
    }
    // Draws start at the first word itself, not at a regenerated state.
    st.index = 0;
    return st;
}

// Ready before init() runs, so an early draw still sees the start-up sequence.
constinit State state = seeded(START_SEED);

// The last seed given; its address also seeds the string hashes of the run.
constinit uint32_t last_seed = START_SEED;

void regenerate() {
    auto& w = state.words;
    for (int i = 0; i < N; i++) {
        int32_t y = int32_t((uint32_t(w[i]) & 0x80000000u) | (uint32_t(w[(i + 1) % N]) & 0x7FFFFFFFu));
        int32_t v = w[(i + M) % N] ^ (y >> 1);
        if (y & 1) v ^= int32_t(0x9908B0DFu);
        w[i] = v;
    }
    state.index = 0;
}
}  // namespace

void init() {
    seed(START_SEED);
    // Hashes of text stay stable within one run only: the seed changes with the
    // address the module is loaded at. It is set once: a later change would
    // leave every table hashed with the old seed unable to find its keys.
    if (!hash::seed) hash::seed = uint32_t(reinterpret_cast<uintptr_t>(&last_seed));
}

void seed(uint32_t s) {
    last_seed = s;
    state = seeded(s);
}

int32_t next() {
    if (state.index >= N) regenerate();
    int32_t y = state.words[state.index++];
    y ^= y >> 11;
    y ^= int32_t((uint32_t(y) << 7) & 0x9D2C5680u);
    y ^= int32_t((uint32_t(y) << 15) & 0xEFC60000u);
    // The sign-copying shift makes this last step clear the sign bit.
    return y ^ (y >> 18);
}

int32_t secure_next() {
    uint32_t v = 0;
    // A /secure draw must never quietly fall back to predictable numbers.
    if (!platform::secure_bytes(&v, sizeof v)) rt_error::fatal(98, KRO_CAPTURE_SITE());
    return int32_t(v & 0x7FFFFFFFu);
}

int32_t range(bool secure, int32_t n) {
    if (n == 0) return 0;
    int32_t draw;
    // -n does not exist for the smallest integer; every draw maps to one value.
    if (n == INT32_MIN) {
        draw = secure ? secure_next() : next();
        return -1 - draw;
    }
    int32_t m = n < 0 ? -n : n;
    // The largest multiple of m not above 2147483647: accepting only draws below
    // it gives every result the same chance.
    int32_t limit = m * (INT32_MAX / m);
    do draw = secure ? secure_next() : next();
    while (draw >= limit);
    int32_t r = draw % m + 1;
    return n < 0 ? -r : r;
}

}  // namespace kro::random
