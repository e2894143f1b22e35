// Runtime initialisation: brings the process from nothing to a runtime in which
// every datatype is registered and the collected heap, the stacks and the root
// block exist. Steps run in a fixed order; each relies on the ones before it.
#pragma once
#include "foundation/cell.hpp"

namespace kro::runtime {

constexpr uint32_t ROOT_CAPACITY = 8697;
constexpr uint32_t CALL_STACK_CELLS = 15000;
constexpr uint32_t SYMBOL_BLOCK_CELLS = 4000;

extern Cell root;             // the root block: everything reachable from it stays alive
extern bool root_copy;        // words made while set are also appended to the root block
extern Cell data_stack_block;
extern Cell call_stack_block;
extern Cell symbol_block;

// Every step of the runtime's initialisation in its fixed order, then the
// start-up's own steps: the collector is switched on, the root-block copy flag
// off, and the boot program builds the language environment. Runs once.
void init();
bool initialised();
// Every step of init but the start-up's own: the runtime before its boot
// program has run (what the first build stage snapshots). Runs once.
void prepare();

// The end of the process: status 0 is the normal end (the tracked heap is
// released, nothing is printed); any other status ends it as `quit` does.
[[noreturn]] void shutdown(int32_t status);

// The symbol id of the n-th (from 0) of the runtime's own symbols, in the
// order they are made (spec, body, words, class, ...); 0 outside the list.
int32_t runtime_symbol(int32_t index);

// Module inits that later parts of the runtime add, run at their place in init.
// Datatype inits run in registration order; each is skipped until it exists.
using InitFn = void (*)();

}  // namespace kro::runtime

namespace kro::start {

// The process entry: the whole life of the process, on the big-stack thread.
// Never returns.
[[noreturn]] void main(int argc, char** argv);

// The first build stage's entry. `--write <file>` builds the environment from
// the embedded sources and writes it as boot data to the file; `--describe
// <file> [<boot data>]` boots the whole way (from the sources, or by decoding
// the boot data given) and writes boot::describe() to the file, for the test
// that compares the two ways. Status 0 when done, 1 with a message on
// standard error when not, 2 for a wrong call.
int first_stage(int argc, char** argv);

// The outermost frame: runs body and answers when it completes. A throw that
// nothing caught ends the process (quit request: status 0; any other code:
// runtime error 95); `quit` ends it with its status; a refused C++ allocation
// is runtime error 94.
void in_outermost_frame(void (*body)(void*), void* arg);

}  // namespace kro::start
