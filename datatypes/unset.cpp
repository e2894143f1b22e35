#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

namespace kro::unset {

const Cell value{uint32_t(TYPE_UNSET), 0, 0, 0};

Cell* set_last() {
    stack::set_last(&value);
    return stack::arguments;
}
Cell* push() { return stack::push(&value); }
Cell* make_in(Cell* blk) {
    Cell* c = block::add_cell(blk);
    copy_cell(&value, c);
    return c;
}

namespace {

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    copy_cell(&value, proto);
    return proto;
}

int32_t form(Cell*, Cell*, Cell*, int32_t limit) { return limit; }

int32_t mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
    const char* t = all ? "#(unset)" : "unset";
    string::concatenate_ascii(buffer, t);
    return limit - (all ? 8 : 5);
}

int32_t compare(Cell*, Cell* b, int32_t op) {
    if (!b->is(TYPE_UNSET)) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12: return 0;
        default: return -2;
    }
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_TO>(&make).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_UNSET, 0, "unset!", a);
}

}  // namespace kro::unset
