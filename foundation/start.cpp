#include <cfenv>
#include <cstring>
#include <limits>
#include <new>

#include "console/console.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/heap.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"

static_assert(std::numeric_limits<double>::is_iec559, "IEEE doubles are required");

namespace kro::start {

namespace {

struct Args {
    int argc;
    char** argv;
};

// The argument list in the tracked heap, as UTF-8 (argv already is).
void utf8_args(int argc, char** argv) {
    auto** list = static_cast<char**>(heap::alloc(sizeof(char*) * size_t(argc + 1)));
    for (int i = 0; i < argc; i++) {
        size_t n = std::strlen(argv[i]) + 1;
        list[i] = static_cast<char*>(heap::alloc(n));
        std::memcpy(list[i], argv[i], n);
    }
    list[argc] = nullptr;
    runtime_context.argc = argc;
    runtime_context.argv = list;
    runtime_context.envp = nullptr;
}

void boot(void*) {
    gc::init_from_environment();
    runtime::init();
    gc::active = true;
    runtime::root_copy = false;
    // The console runs a script or its loop; it ends the process.
    cli_console::launch();
}

void life(void* p) {
    auto* a = static_cast<Args*>(p);
    // Round to nearest with every exception masked: the defaults of SSE2 doubles.
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
    utf8_args(a->argc, a->argv);
    in_outermost_frame(&boot, nullptr);
    rt_error::fatal(0, 0);
}

}  // namespace

void in_outermost_frame(void (*body)(void*), void* arg) {
    try {
        body(arg);
    } catch (const Thrown&) {
        rt_error::outermost_handler();
    } catch (const QuitRequest& q) {
        rt_error::end_process(q.status);
    } catch (const std::bad_alloc&) {
        rt_error::fatal(94, KRO_CAPTURE_SITE());
    }
}

void main(int argc, char** argv) {
    Args a{argc, argv};
    machine_stack::run_on_big_stack(&life, &a);
    rt_error::fatal(0, 0);
}

}  // namespace kro::start
