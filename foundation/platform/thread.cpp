#include <pthread.h>
#include <signal.h>

#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/stack_guard.hpp"

namespace kro::machine_stack {

uintptr_t limit = 0;
uintptr_t guard_low = 0;
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
    size_t guard = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_getguardsize(&attr, &guard);
        pthread_attr_destroy(&attr);
        stack_low = reinterpret_cast<uintptr_t>(addr);
        stack_high = stack_low + size;
        guard_low = stack_low - guard;
        limit = stack_low + GUARD_MARGIN;
    }
    rt_error::install_signal_handlers();
    job->fn(job->arg);
    rt_error::release_signal_stack();
    return nullptr;
}

struct Bounds {
    uintptr_t limit, guard_low, stack_low, stack_high;
};
}  // namespace

void run_on_big_stack(void (*fn)(void*), void* arg) {
    Job job{fn, arg};
    Bounds saved{limit, guard_low, stack_low, stack_high};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, RUNTIME_STACK);
    // A wide no-access zone: a frame larger than one page cannot step over it.
    pthread_attr_setguardsize(&attr, GUARD_PAGES);
    pthread_t t;
    if (pthread_create(&t, &attr, &trampoline, &job) != 0) {
        // No thread: run here, unguarded, rather than not at all.
        pthread_attr_destroy(&attr);
        rt_error::install_signal_handlers();
        fn(arg);
        return;
    }
    pthread_attr_destroy(&attr);
    // The signals that end the process (Ctrl-C, a hang-up, a kill) are taken
    // by the thread that runs the code, not this one: taken here, their
    // handler could run late, while the code goes on (a child killed by the
    // same Ctrl-C would have its status shown as a result first).
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, sig);
    pthread_sigmask(SIG_BLOCK, &ending, &before);
    pthread_join(t, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    // The thread's stack is gone: checks and fault classification must not use it.
    limit = saved.limit;
    guard_low = saved.guard_low;
    stack_low = saved.stack_low;
    stack_high = saved.stack_high;
}

}  // namespace kro::machine_stack
