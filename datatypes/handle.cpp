#include "datatypes/handle.hpp"

#include <string>

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::handle {

namespace {
constexpr const char* CLASS_NAMES[CLASS_COUNT] = {"null",  "fd",        "monitor", "window",
                                                   "font", "rich-text", "actor"};
}

const char* class_name(uint32_t cls) { return cls < CLASS_COUNT ? CLASS_NAMES[cls] : nullptr; }

Cell* box(uint32_t value, uint32_t cls) { return make_at(stack::arguments, value, cls); }

Cell* make_at(Cell* c, uint32_t value, uint32_t cls) {
    *c = make(value, cls);
    return c;
}

Cell* make_in(Cell* block, uint32_t value, uint32_t cls) { return make_at(block::add_cell(block), value, cls); }

Cell* push(uint32_t value, uint32_t cls) { return make_at(stack::push_cell(), value, cls); }

Cell* push_null() { return push(0, CLASS_NULL); }

Cell* make_resource_at(Cell* c, uintptr_t resource, uint32_t cls, uint32_t kind) {
    int32_t index = ext_res::register_resource(resource, kind);
    *c = Cell{uint32_t(TYPE_HANDLE), cls, uint32_t(index), uint32_t(index)};
    return c;
}

uintptr_t resource_of(const Cell* h) {
    int32_t index = int32_t(h->data3);
    if (index < 0 || !ext_res::registry().in_use(index)) return 0;
    return ext_res::registry().value(index);
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    std::string text = string::int_to_hex(int32_t(value->data2), false) + "h";
    string::concatenate_ascii(buffer, text.data(), int32_t(text.size()));
    return limit - 9;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell* part, int32_t limit, int32_t) {
    if (!all) {
        string::concatenate_ascii(buffer, "handle!", 7);
        return limit - 7;
    }
    string::concatenate_ascii(buffer, "#[handle! ", 10);
    limit = form(value, buffer, part, limit - 10);
    const char* name = class_name(value->data1);
    if (value->data1 > CLASS_NULL && name) {
        std::string text = std::string(" ") + name;
        string::concatenate_ascii(buffer, text.data(), int32_t(text.size()));
        limit -= int32_t(text.size());
    }
    string::concatenate_ascii(buffer, "]", 1);
    return limit - 1;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_HANDLE)) {
        // "different" holds for every equality; an ordering against another
        // type has no answer, rather than a made-up one
        return actions::is_equality_op(op) || op == actions::SAME ? 1 : -2;
    }
    int32_t a = int32_t(value1->data2), b = int32_t(value2->data2);
    return a < b ? -1 : a > b ? 1 : 0;
}

void init() {
    ActionList a;
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_HANDLE, TYPE_INTEGER, "handle!", a);
}

}  // namespace kro::handle
