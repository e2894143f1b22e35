// Until error! values and the catalog exist, a raised error is recorded here by
// name and carried by the thrown code 0x7FFFFFFF.
#include "foundation/fire.hpp"

#include "foundation/frame.hpp"

namespace kro {

namespace {
RaisedError last;
}

void fire(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    last.category = category;
    last.id = id;
    last.nargs = 0;
    for (const Cell* a : {arg1, arg2, arg3}) {
        if (!a) break;
        copy_cell(a, &last.args[last.nargs++]);
    }
    frame::throw_code(code::ERROR);
}

const RaisedError& last_raised() { return last; }

}  // namespace kro
