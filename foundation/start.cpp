#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "console/console.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/heap.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "interpreter/boot.hpp"

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

struct FirstStage {
    bool describe;             // else: write the boot data
    const char* out;
    std::vector<uint8_t> data;  // describe: boot data to decode (else the sources)
    char* argv0;
    bool ok;
};

void write_boot_data(void* p) {
    auto* f = static_cast<FirstStage*>(p);
    runtime::prepare();
    f->ok = boot::write_data(f->out);
}

// The whole boot, start-up values included, then the environment as text.
// The process's arguments are the program's name alone, so that two runs
// differ only in how they booted.
void describe_environment(void* p) {
    auto* f = static_cast<FirstStage*>(p);
    utf8_args(1, &f->argv0);
    gc::init_from_environment();
    if (!f->data.empty()) boot::set_data(f->data.data(), f->data.size());
    runtime::init();
    std::string text = boot::describe();
    FILE* out = std::fopen(f->out, "wb");
    f->ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out && std::fclose(out) != 0) f->ok = false;
    if (!f->ok) std::fprintf(stderr, "cannot write %s\n", f->out);
}

void first_stage_life(void* p) {
    auto* f = static_cast<FirstStage*>(p);
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
    in_outermost_frame(f->describe ? &describe_environment : &write_boot_data, p);
    std::exit(f->ok ? 0 : 1);
}

bool read_file(const char* path, std::vector<uint8_t>& bytes) {
    FILE* in = std::fopen(path, "rb");
    if (!in) return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
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

int first_stage(int argc, char** argv) {
    bool write = argc == 3 && std::strcmp(argv[1], "--write") == 0;
    bool describe = (argc == 3 || argc == 4) && std::strcmp(argv[1], "--describe") == 0;
    if (!write && !describe) {
        std::fprintf(stderr,
                     "usage: %s --write <boot data file>\n"
                     "       %s --describe <output file> [<boot data file>]\n",
                     argv[0], argv[0]);
        return 2;
    }
    FirstStage f{describe, argv[2], {}, argv[0], false};
    if (argc == 4 && (!read_file(argv[3], f.data) || f.data.empty())) {
        std::fprintf(stderr, "cannot read %s\n", argv[3]);
        return 1;
    }
    machine_stack::run_on_big_stack(&first_stage_life, &f);
    return f.ok ? 0 : 1;
}

}  // namespace kro::start
