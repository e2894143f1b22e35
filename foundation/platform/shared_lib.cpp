#include "foundation/platform/shared_lib.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kro::platform::shared_lib {

void (*on_missing)(const char* file) = nullptr;

bool open(const char* file, const Symbol* symbols, size_t count) {
    // RTLD_LOCAL: the library's names never answer another library's
    // lookups; RTLD_NOW: a library whose own dependencies are broken fails
    // here, not in the middle of a call.
    void* lib = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    for (size_t i = 0; i < count; i++) {
        void* address = ::dlsym(lib, symbols[i].name);
        if (!address) return false;
        // a data pointer turned into a function pointer by its bytes, as POSIX allows
        std::memcpy(symbols[i].slot, &address, sizeof address);
    }
    return true;
}

void missing(const char* file) {
    if (on_missing) on_missing(file);
    // before the runtime is up there is no language error to raise
    std::fprintf(stderr, "cannot load %s\n", file);
    std::_Exit(1);
}

}  // namespace kro::platform::shared_lib
