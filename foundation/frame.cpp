#include "foundation/frame.hpp"

#include "foundation/heap.hpp"
#include "foundation/print.hpp"
#include "foundation/platform/console_out.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" char __executable_start;
extern "C" char etext;

namespace kro {

RuntimeContext runtime_context;

namespace frame {

void throw_code(uint32_t code) {
    runtime_context.thrown_code = code;
    throw Thrown{};
}

void rethrow() { throw Thrown{}; }

void (*region_open)() = nullptr;
void (*region_close)() = nullptr;

}  // namespace frame

namespace rt_error {

namespace {
struct Entry {
    int32_t number;
    const char* text;
};
constexpr Entry messages[] = {
    {1, "access violation"},
    {2, "invalid alignment"},
    {3, "breakpoint"},
    {4, "single step"},
    {5, "bounds exceeded"},
    {6, "float denormal operan"},
    {7, "float divide by zero"},
    {8, "float inexact result"},
    {9, "float invalid operation"},
    {10, "float overflow"},
    {11, "float stack check"},
    {12, "float underflow"},
    {13, "integer divide by zero"},
    {14, "integer overflow"},
    {15, "privileged instruction"},
    {16, "invalid virtual address"},
    {17, "illegal instruction"},
    {18, "non-continuable exception"},
    {19, "stack error or overflow"},
    {20, "invalid disposition"},
    {21, "guard page"},
    {22, "invalid handle"},
    {23, "illegal operand"},
    {24, "illegal addressing mode"},
    {25, "illegal trap"},
    {26, "coprocessor error"},
    {27, "non-existent physical address"},
    {28, "object specific hardware error"},
    {29, "hardware memory error consumed AR"},
    {30, "hardware memory error consumed AO"},
    {31, "privileged register"},
    {32, "segmentation fault"},
    {33, "FPU error"},
    {34, "Bus error"},
    {94, "out of memory"},
    {95, "no CATCH for THROW"},
    {98, "assertion failed"},
    {99, "unknown error"},
    {100, "no value matched in CASE"},
    {101, "no value matched in SWITCH"},
};
}  // namespace

const char* message(int32_t number) {
    for (const auto& e : messages)
        if (e.number == number) return e.text;
    return "unknown error code!";
}

uint32_t code_address(uintptr_t pc) {
    auto start = reinterpret_cast<uintptr_t>(&__executable_start);
    auto end = reinterpret_cast<uintptr_t>(&etext);
    if (pc >= start && pc < end) return uint32_t(pc - start);
    return uint32_t(pc);
}

void fatal(int32_t number, uint32_t address) {
    if (number != 0) {
        using namespace print;
        print_line({byte_rec('\n'), text("*** Runtime Error "), integer(number), text(": "), text(message(number))});
        print_line({text("*** at: "), hex8(address), text("h")});
    }
    end_process(number);
}

namespace {
constexpr int MAX_EXIT_HOOKS = 8;
ExitHook exit_hooks[MAX_EXIT_HOOKS];
volatile int exit_hook_count = 0;
}  // namespace

void add_exit_hook(ExitHook hook) {
    for (int i = 0; i < exit_hook_count; i++)
        if (exit_hooks[i] == hook) return;
    if (exit_hook_count >= MAX_EXIT_HOOKS) fatal(98, KRO_CAPTURE_SITE());
    exit_hooks[exit_hook_count] = hook;
    exit_hook_count = exit_hook_count + 1;
}

void run_exit_hooks() {
    for (int i = exit_hook_count; i > 0; i--) exit_hooks[i - 1]();
}

void end_process(int32_t status) {
#ifdef KRO_FUZZ_SANDBOX
    // Nothing a fuzzed program does may end the process: the fuzzer must see it.
    std::fflush(nullptr);
    std::abort();
#endif
    run_exit_hooks();
    console::flush();
    std::fflush(nullptr);  // anything written through stdio by other code
    heap::free_all();
    std::_Exit(status);
}

void outermost_handler() {
    if (runtime_context.thrown_code == code::QUIT_REQUEST) fatal(0, 0);
    fatal(95, code_address(reinterpret_cast<uintptr_t>(&outermost_handler)));
}

void no_case_match() { fatal(100, KRO_CAPTURE_SITE()); }
void no_switch_match() { fatal(101, KRO_CAPTURE_SITE()); }

}  // namespace rt_error
}  // namespace kro
