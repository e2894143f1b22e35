// Raising a language error: names a catalog entry (category/id) with up to
// three argument values, builds the error! value and throws it (code
// 0x7FFFFFFF) to the nearest region that catches errors. Never returns.
#pragma once
#include <string>

#include "foundation/cell.hpp"

namespace kro {

[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// The same with the error's `near` given in place of the interpreter's current
// expression: a syntax error shows the source text, not the code that loads it.
[[noreturn]] void fire_near(const Cell* near, const char* category, const char* id, const Cell* arg1 = nullptr,
                            const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// Raises internal/no-memory without allocating: the error made at start,
// its near and where rewritten (the heap cannot hold a new one).
[[noreturn]] void fire_spare_no_memory();

// The error value raised last (none before the first), kept rooted until the
// next one.
const Cell* raised_error();

// The last error raised, by name: category and id are the spellings of its
// type and id words, args its arg1-arg3 fields, nargs the number of
// arguments the raise gave.
struct RaisedError {
    std::string category;
    std::string id;
    Cell args[3];
    int nargs;
};
const RaisedError& last_raised();

namespace raise {

// The interpreter's throw (stack/throw-error): fills `where` and `stack` and
// unwinds to the nearest try frame. Until the interpreter installs its own,
// `where` takes the running call's name while it is none, `stack` the
// position 0 (no call frames), and the code is thrown.
extern void (*throw_error)(Cell* error);
// Called with the error before the throw while a tracer is active (null: none).
extern void (*trace_error)(const Cell* error);

}  // namespace raise
}  // namespace kro
