#include <cstring>

#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/registry.hpp"

namespace kro::datatype {

namespace {

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    if (!registered(int32_t(value->data1))) return limit;  // no name to write
    const Row& r = row(int32_t(value->data1));
    int32_t n = r.name_length + 1;
    if (all) {
        string::concatenate_ascii(buffer, "#(", 2);
        string::concatenate_ascii(buffer, r.name, n);
        string::concatenate_ascii(buffer, ")", 1);
        return limit - n - 3;
    }
    string::concatenate_ascii(buffer, r.name, n);
    return limit - n;
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    switch (op) {
        case 0: case 1: case 2: case 9: case 12:
            return (b->is(TYPE_DATATYPE) && b->data1 == a->data1) ? 0 : 1;
        default:
            return -2;
    }
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    register_type(TYPE_DATATYPE, 0, "datatype!", a);
}

}  // namespace kro::datatype
