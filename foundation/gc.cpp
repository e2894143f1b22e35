#include "foundation/gc.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "foundation/arena.hpp"
#include "foundation/collector.hpp"
#include "foundation/frame.hpp"

namespace kro::gc {

bool active = false;
bool wanted = false;
bool stress = false;
bool sampled = false;
bool node_compaction = true;
bool collecting = false;
RootLink* root_top = nullptr;

namespace {
MarkCallback callbacks[MAX_MARK_CALLBACKS];
int callback_count = 0;

// Sampled stress mode. A place of the code is collected at on its first
// visit, so code that runs once (most of a table of cases) is collected at
// everywhere; code that repeats (loops, recursion, library code called again
// and again) gets collections at random gaps of mean `stride`, drawn from a
// seeded generator so that a failing run repeats with the same settings.
constexpr uint32_t DEFAULT_STRIDE = 64;
uint64_t seed_used = 1;
uint32_t stride = DEFAULT_STRIDE;
uint64_t rng = 1;
uint32_t countdown = 1;
std::unordered_set<uint64_t>& sites() {
    static std::unordered_set<uint64_t> s;
    return s;
}
char settings[96] = "";

uint64_t next_random() {  // splitmix64
    uint64_t z = (rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t next_gap() { return 1 + uint32_t(next_random() % (2 * uint64_t(stride) - 1)); }
}  // namespace

void add_mark_callback(MarkCallback cb) {
    // The table is fixed; writing past it would corrupt the collector.
    if (callback_count >= MAX_MARK_CALLBACKS) rt_error::fatal(98, KRO_CAPTURE_SITE());
    callbacks[callback_count++] = cb;
}

int mark_callback_count() { return callback_count; }
MarkCallback mark_callback(int i) { return callbacks[i]; }

#ifdef KRO_FUZZ_SANDBOX
void (*budget_check)() = nullptr;
#endif

bool sample(uint64_t site) {
    // both are consulted every time: the gap counts every safe point and
    // every site is remembered
    bool due = --countdown == 0;
    if (due) countdown = next_gap();
    bool fresh = sites().insert(site).second;
    return due || fresh;
}

void safe_point() { safe_point_at(0); }

void safe_point_at(uint64_t site) {
#ifdef KRO_FUZZ_SANDBOX
    if (budget_check) budget_check();
#endif
    if (!active || collecting) return;
    if (wanted || (stress && (!sampled || sample(site)))) collector::collect();
}

void set_stress(StressMode mode, uint64_t seed, uint32_t mean_stride) {
    stress = mode != StressMode::OFF;
    sampled = mode == StressMode::SAMPLED;
    arena::keep_released_pages = stress;
    seed_used = seed;
    stride = mean_stride ? mean_stride : DEFAULT_STRIDE;
    rng = seed;
    countdown = next_gap();
    sites().clear();
    if (sampled)
        std::snprintf(settings, sizeof settings, "KRO_GC_STRESS=sampled KRO_GC_STRESS_SEED=%llu KRO_GC_STRESS_STRIDE=%u",
                      (unsigned long long)seed_used, stride);
    else
        settings[0] = 0;
}

StressMode stress_mode() { return !stress ? StressMode::OFF : sampled ? StressMode::SAMPLED : StressMode::EVERY; }

const char* stress_settings() { return settings; }

void init_from_environment() {
    const char* v = std::getenv("KRO_GC_STRESS");
    if (!v || !*v || std::strcmp(v, "0") == 0) return set_stress(StressMode::OFF);
    if (std::strcmp(v, "sampled") != 0) return set_stress(StressMode::EVERY);
    auto number = [](const char* name, uint64_t fallback) {
        const char* t = std::getenv(name);
        char* end = nullptr;
        unsigned long long n = t && *t ? std::strtoull(t, &end, 10) : 0;
        return end && !*end && n ? uint64_t(n) : fallback;
    };
    uint64_t s = number("KRO_GC_STRESS_SEED", 1);
    uint64_t k = number("KRO_GC_STRESS_STRIDE", DEFAULT_STRIDE);
    set_stress(StressMode::SAMPLED, s, uint32_t(k > 1000000 ? 1000000 : k));
}

}  // namespace kro::gc
