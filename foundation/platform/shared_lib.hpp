// Libraries that only some programs need (HTTP, image codecs, digests) are
// opened on first use rather than linked: a process that never asks for them
// pays nothing for them at start. Each wrapper lists the entry points it calls
// and reaches them through a table of pointers:
//
//   #define PNG_CALLS(X) X(png_image_free) X(png_image_finish_read)
//   KRO_SHARED_LIB(PngCalls, png, "libpng16.so.16", PNG_CALLS)
//   ... png().png_image_free(&image);
//
// defines `const PngCalls& png()`, which opens the library the first time it
// is called and, when the library or one of its names is missing, then and
// at every later call reports it through `missing` (a language error).
#pragma once
#include <cstddef>
#include <iterator>

namespace kro::platform::shared_lib {

struct Symbol {
    const char* name;
    void* slot;  // a function pointer's storage; the address is copied into it
};

// Opens the library (the name the system's loader searches for) and resolves
// every symbol into its slot. false when the library cannot be opened or a
// name is missing; the library stays open for the life of the process.
bool open(const char* file, const Symbol* symbols, size_t count);

// Set by the layer that raises language errors (file::init): reports a
// missing library and does not return.
extern void (*on_missing)(const char* file);
[[noreturn]] void missing(const char* file);

}  // namespace kro::platform::shared_lib

#define KRO_SHARED_LIB_SLOT(name) decltype(&::name) name = nullptr;
#define KRO_SHARED_LIB_ENTRY(name) {#name, &calls.name},
#define KRO_SHARED_LIB(Api, getter, file, CALLS)                                                 \
    struct Api {                                                                                 \
        CALLS(KRO_SHARED_LIB_SLOT)                                                               \
    };                                                                                           \
    const Api& getter() {                                                                        \
        static Api calls;                                                                        \
        static const bool opened = [] {                                                          \
            const ::kro::platform::shared_lib::Symbol symbols[] = {CALLS(KRO_SHARED_LIB_ENTRY)}; \
            return ::kro::platform::shared_lib::open(file, symbols, std::size(symbols));         \
        }();                                                                                     \
        if (!opened) ::kro::platform::shared_lib::missing(file);                                 \
        return calls;                                                                            \
    }
