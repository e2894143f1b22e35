#include "datatypes/paren.hpp"

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

namespace kro::paren {

Cell* push(const Cell* value) {
    Cell* c = stack::push(value);
    c->set_type(TYPE_PAREN);
    return c;
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    if (mold::cycle_mark(value, buffer, &limit, true)) return limit;
    if (!only) {
        string::concatenate_ascii(buffer, "(", 1);
        limit--;
    }
    limit = block::mold_each(value, buffer, only, all, flat, part, limit, indent);
    if (!only) {
        string::concatenate_ascii(buffer, ")", 1);
        limit--;
    }
    return limit;
}

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_MOLD>(&mold);
    datatype::register_type(TYPE_PAREN, TYPE_BLOCK, "paren!", a);
}

}  // namespace kro::paren
