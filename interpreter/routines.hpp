// Routines: library functions whose bodies are C++ code. Each body is an entry
// of a registry, keyed by name; the boot program binds an entry to a routine!
// value with `make-routine spec [name]`, so the library's Kro source states
// every routine's spec (what `help` shows) and names its body.
//
// An entry reads its arguments from stack::arguments + i (in spec order, the
// evaluator has checked their types) and leaves its result in slot 0 (unset
// for a routine that returns nothing).
//
// Groups of routines plug in as the natives do:
//
//     namespace { void install() { routines::add("as-color", &as_color); ... } }
//     KRO_ROUTINE_GROUP(install);
#pragma once
#include <cstdint>
#include <string_view>

#include "datatypes/function.hpp"
#include "datatypes/simple.hpp"
#include "interpreter/stack.hpp"

namespace kro::routines {

using Entry = function::CodeFn;
using InstallFn = void (*)();

struct Group {
    explicit Group(InstallFn install);
};

#define KRO_ROUTINE_GROUP(install) \
    static const ::kro::routines::Group kro_routine_group_##install { &install }

// What an entry's body reads and leaves: its i-th argument, and its result in slot 0.
namespace entry {
inline Cell* arg(int32_t i) { return stack::arguments + i; }
inline void result(const Cell* v) { stack::set_last(v); }
inline void no_result() { stack::set_last(&unset::value); }
inline void none_result() { stack::set_last(&none::value); }
inline void logic_result(bool b) {
    Cell c = logic::make(b);
    stack::set_last(&c);
}
inline void integer_result(int32_t v) {
    Cell c{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0};
    stack::set_last(&c);
}
}  // namespace entry

// Registers an entry under a name (install functions only). A name given
// twice is a build fault (fatal runtime error 98).
void add(const char* name, Entry fn);

// The code-table index of the entry of that name (entered in the function
// code table on first use), or 0 when no entry has that name.
int32_t code_of(std::string_view name);

// The name of the entry of a code-table index, empty when no entry has it.
std::string_view name_of(int32_t code);

// Runs every group's install function (once; runtime initialisation) and
// gives every entry its code, in the order of their names.
void init();

// Whether a function! or routine! belongs to the library: every routine does
// (only the library makes them), and a function! does when its body was made
// by the boot program (its body buffer carries memory::FLAG_LIBRARY).
bool library_q(const Cell* fn);

// Installs the runtime's readers of the system object (the money digits, the
// month names, the callback bits, the error catalog and state fields, the port
// prototypes), once the boot program has built `system`.
void install_system_hooks();

// The process's whole command line as a string! (the arguments rebuilt from argv).
void command_line(Cell* out);

}  // namespace kro::routines
