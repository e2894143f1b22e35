// Raising a language error: names a catalog entry (category/id) with up to three
// argument values and throws it to the nearest try region. Never returns.
#pragma once
#include <string>

#include "foundation/cell.hpp"

namespace kro {

[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// The last error raised, as the runtime records it until error! values exist.
struct RaisedError {
    std::string category;
    std::string id;
    Cell args[3];
    int nargs;
};
const RaisedError& last_raised();

}  // namespace kro
