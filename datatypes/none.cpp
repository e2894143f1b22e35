#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

namespace kro::none {

const Cell value{uint32_t(TYPE_NONE), 0, 0, 0};

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

Cell* make(Cell* proto, Cell*, int32_t) {
    copy_cell(&value, proto);
    return proto;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
    string::concatenate_ascii(buffer, "none", 4);
    return limit - 4;
}

int32_t mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
    const char* t = all ? "#(none)" : "none";
    string::concatenate_ascii(buffer, t);
    return limit - (all ? 7 : 4);
}

int32_t compare(Cell*, Cell* b, int32_t op) {
    if (!b->is(TYPE_NONE)) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12: return 0;
        default: return -2;
    }
}

// clear, remove, select, take and find of none give none.
Cell* give_none(Cell* series) {
    copy_cell(&value, series);
    return series;
}
Cell* clear(Cell* s) { return give_none(s); }
Cell* find(Cell* s, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) { return give_none(s); }
Cell* select(Cell* s, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) { return give_none(s); }
Cell* remove(Cell* s, Cell*, Cell*) { return give_none(s); }
Cell* take(Cell* s, Cell*, bool, bool) { return give_none(s); }
int32_t length(Cell*) { return -1; }

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_TO>(&make).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    a.set<A_CLEAR>(&clear).set<A_FIND>(&find).set<A_LENGTH_Q>(&length).set<A_REMOVE>(&remove);
    a.set<A_SELECT>(&select).set<A_TAKE>(&take);
    datatype::register_type(TYPE_NONE, 0, "none!", a);
}

}  // namespace kro::none
