// The boot program: builds the language environment once the natives exist.
//
// It has two ways. A first-stage executable (the build's boot data writer)
// evaluates the library's Kro sources, embedded in it, in their boot order;
// while they run, objects take class ids from the boot counter, every
// function made is marked as the library's own code, and `make-routine`
// binds routine! values to the C++ entries of the routine registry
// (interpreter/routines.hpp). It then writes the environment it built as
// KROBIN boot data (io/krobin.hpp), which the build links into the final
// executable. That executable decodes the boot data instead of evaluating
// the sources.
//
// Either way, the start-up then computes what depends on the running process
// (the current directory, the command line, the cache folder, the terminal):
// library/start-up.kro, never part of the boot data.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"

namespace kro::boot {

// Builds the environment: from the boot data linked into the executable when
// there is one, else from the embedded sources; then the start-up values. An
// error while booting is a fault of the build: it is reported with the
// source's name and the process ends with status 254 (-2).
void run();

// Whether the boot program is running.
bool running();

// The boot data linked into the executable; empty in a first-stage
// executable, which boots from the sources.
struct Data {
    const uint8_t* bytes;
    size_t size;
};
Data data();
// Boot data for run() to decode in place of what the executable links (the
// first stage's check of data it wrote); the bytes must outlive the process.
void set_data(const uint8_t* bytes, size_t size);

// The object whose values the library's own code calls in place of the
// global words of the same names (what those words held when the environment
// was built); none before the environment is built.
const Cell* library_calls();

// The whole global environment as text, for comparing two ways of booting:
// every set global word with its type and its molded value (mold/all/flat),
// the boot counter's last class id, then the class id of every object the
// global values reach, named by the path the walk met it on.
std::string describe();

// The first build stage (runtime::prepare has run, nothing else): builds the
// environment from the sources, as run() does but for the start-up values,
// and writes it as boot data to the file. Answers false, with a message on
// standard error, when the environment holds what boot data cannot carry or
// the file cannot be written.
bool write_data(const char* path);

}  // namespace kro::boot
