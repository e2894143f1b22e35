#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/stack_guard.hpp"

namespace kro::machine_stack {

uintptr_t limit = 0;
uintptr_t stack_low = 0;
uintptr_t stack_high = 0;

void check() {
    if (low()) fire("internal", "stack-overflow");
}

namespace {
struct Job {
    void (*fn)(void*);
    void* arg;
};

void* trampoline(void* p) {
    auto* job = static_cast<Job*>(p);
    pthread_attr_t attr;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
        stack_low = reinterpret_cast<uintptr_t>(addr);
        stack_high = stack_low + size;
        limit = stack_low + GUARD_MARGIN;
    }
    rt_error::install_signal_handlers();
    job->fn(job->arg);
    return nullptr;
}
}  // namespace

void run_on_big_stack(void (*fn)(void*), void* arg) {
    Job job{fn, arg};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, RUNTIME_STACK);
    pthread_t t;
    if (pthread_create(&t, &attr, &trampoline, &job) != 0) {
        // No thread: run here, unguarded, rather than not at all.
        pthread_attr_destroy(&attr);
        rt_error::install_signal_handlers();
        fn(arg);
        return;
    }
    pthread_attr_destroy(&attr);
    pthread_join(t, nullptr);
}

}  // namespace kro::machine_stack
