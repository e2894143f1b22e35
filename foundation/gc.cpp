#include "foundation/gc.hpp"

#include <cstdlib>
#include <cstring>

#include "foundation/arena.hpp"
#include "foundation/collector.hpp"
#include "foundation/frame.hpp"

namespace kro::gc {

bool active = false;
bool wanted = false;
bool stress = false;
bool node_compaction = true;
bool collecting = false;
RootLink* root_top = nullptr;

namespace {
MarkCallback callbacks[MAX_MARK_CALLBACKS];
int callback_count = 0;
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

void safe_point() {
#ifdef KRO_FUZZ_SANDBOX
    if (budget_check) budget_check();
#endif
    if (active && !collecting && (wanted || stress)) collector::collect();
}

void init_from_environment() {
    const char* v = std::getenv("KRO_GC_STRESS");
    stress = v && *v && std::strcmp(v, "0") != 0;
    arena::keep_released_pages = stress;
}

}  // namespace kro::gc
