// The runtime context record, the one throw mechanism with its catch levels,
// and the fatal runtime errors that end the process.
//
// A throw carries an unsigned 32-bit code kept in runtime_context.thrown_code;
// it travels as one C++ exception type (Thrown) and is received by the nearest
// region whose catch level is not below the code. Quit is a separate exception
// that only the entry point catches.
#pragma once
#include <cstdint>
#include <utility>

namespace kro {

struct RuntimeContext {
    int32_t argc = 0;
    char** argv = nullptr;   // NULL-ended, UTF-8, in the tracked heap
    char** envp = nullptr;   // kept null
    uint32_t thrown_code = 0;
    const uint8_t* boot_data = nullptr;
    uintptr_t exception_site[2] = {0, 0};  // {stack pointer, frame pointer} of the last fault
};
extern RuntimeContext runtime_context;

namespace code {
constexpr uint32_t QUIT_REQUEST = 0x0BADCAFE;
constexpr uint32_t PAGE_FREE_FAILED = 0x7FFFFFF6;
constexpr uint32_t PAGE_ALLOC_FAILED = 0x7FFFFFF7;
constexpr uint32_t PAGE_LEVEL = 0x7FFFFFF8;
constexpr uint32_t THROW = 0x7FFFFFFA;
constexpr uint32_t EXIT = 0x7FFFFFFB;
constexpr uint32_t RETURN = 0x7FFFFFFC;
constexpr uint32_t CONTINUE = 0x7FFFFFFD;
constexpr uint32_t BREAK = 0x7FFFFFFE;
constexpr uint32_t ERROR = 0x7FFFFFFF;
constexpr uint32_t CATCH_ALL = 0xFFFFFFFF;
}  // namespace code

// The exception that carries a thrown code across C++ frames.
struct Thrown {};

// `quit`: ends the process with a status; only the entry point catches it.
struct QuitRequest {
    int status;
};

namespace frame {

// Stores the code and unwinds to the nearest region that catches it.
[[noreturn]] void throw_code(uint32_t code);

// A re-throw with the code left in place in the runtime context.
[[noreturn]] void rethrow();

// The interpreter's hooks (null until it installs them): a region that
// catches errors is also a try frame of the language's call stack, so an error
// closes the language's call frames only down to the region that receives it.
// The frame is closed on the way out (by the thrower when something is thrown).
extern void (*region_open)();
extern void (*region_close)();

// Runs body inside a protected region of the given catch level. Answers 0 when
// the body completed (the runtime context's code is then 0 too), else the code
// it caught (left in the runtime context). A code above the level passes on to
// an outer region; the enclosing region's level holds again once this one ends.
template <class F>
uint32_t catch_region(uint32_t level, F&& body) {
    bool framed = level >= code::ERROR && region_open;
    if (framed) region_open();
    try {
        std::forward<F>(body)();
        if (framed) region_close();
        runtime_context.thrown_code = 0;
        return 0;
    } catch (const Thrown&) {
        if (runtime_context.thrown_code > level) throw;
        return runtime_context.thrown_code;
    }
}

}  // namespace frame

namespace rt_error {

// Prints the report of a runtime error (nothing for 0) and ends the process
// with the number as its status, after releasing the tracked heap.
[[noreturn]] void fatal(int32_t number, uint32_t address);

// Ends the process with a status and no report (the end of `quit`, and of
// fatal): flushes stdio, releases the tracked heap. Statuses are 8-bit.
[[noreturn]] void end_process(int32_t status);

// Actions that must run however the process ends (putting the terminal's modes
// back): end_process and the fault handler call them, latest first, before
// anything is written. They must be async-signal-safe. At most 8 (checked).
using ExitHook = void (*)();
void add_exit_hook(ExitHook hook);
void run_exit_hooks();

// The message of a runtime error number; "unknown error code!" outside the table.
const char* message(int32_t number);

// Address to report for a fault at a code address: its offset in our own
// executable's text when it lies there, else its low 32 bits.
uint32_t code_address(uintptr_t pc);

// The caller's code address, recorded as the exception site.
#define KRO_CAPTURE_SITE() \
    ::kro::rt_error::code_address(reinterpret_cast<uintptr_t>(__builtin_return_address(0)))

// Outermost handler: quit request ends normally, any other code is error 95.
[[noreturn]] void outermost_handler();

// Installs the signal handlers that map hardware faults to runtime errors.
// Must run on the thread that will fault (installs its alternate stack too).
void install_signal_handlers();
// Gives back the alternate stack of this thread (before the thread ends).
void release_signal_stack();

// An unmatched case (100) or switch (101) dispatch in runtime code.
[[noreturn]] void no_case_match();
[[noreturn]] void no_switch_match();

}  // namespace rt_error
}  // namespace kro
