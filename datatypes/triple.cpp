#include "datatypes/triple.hpp"

#include <cstdio>

#include "datatypes/string.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

namespace kro::triple {

Cell* make_at(Cell* c, int32_t first, int32_t second, int32_t third) {
    *c = make(first, second, third);
    return c;
}

Cell* push(int32_t first, int32_t second, int32_t third) { return make_at(stack::push_cell(), first, second, third); }

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "make triple! [%d %d %d]", int32_t(value->data1), int32_t(value->data2),
                          int32_t(value->data3));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

void init() {
    ActionList a;
    a.set<A_FORM>(&form).set<A_MOLD>(&mold);
    datatype::register_type(TYPE_TRIPLE, 0, "triple!", a);
}

}  // namespace kro::triple
