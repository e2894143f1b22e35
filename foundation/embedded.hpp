// The Kro sources carried inside the executable (the library, the console's and
// the GUI's own code), embedded at build time in the order the boot runs them.
#pragma once
#include <cstddef>
#include <string_view>

namespace kro::embedded {

struct Source {
    const char* name;  // path relative to the source tree, e.g. "library/core.kro"
    const char* text;  // UTF-8, NUL-terminated
    size_t size;       // bytes, without the NUL
};

// Every embedded source, ended by an entry whose name is null.
const Source* all();

// The source of that name, or null.
inline const Source* find(std::string_view name) {
    for (const Source* s = all(); s->name; s++)
        if (name == s->name) return s;
    return nullptr;
}

}  // namespace kro::embedded
