#include "datatypes/path.hpp"

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::path {

namespace {

// Writes the elements from the head with one "/" between two of them; each
// element goes through write(cell, budget), which answers the budget left.
template <class Write>
int32_t each_element(Cell* value, Cell* buffer, Cell* part, int32_t limit, Write write) {
    machine_stack::check();
    uint32_t node = value->data2;
    int32_t first = series::head_of(value);
    mold::CycleEntry walking(node);
    for (int32_t i = first; i < series::ks_full_length(value); i++) {
        if (i > first) {
            string::concatenate_ascii(buffer, "/", 1);
            limit--;
        }
        Cell c = memory::buffer_of(node)->cells()[i];
        limit = write(&c, limit);
        if (part && limit < 1) break;
    }
    return limit;
}

}  // namespace

Cell* make_at(Cell* c, int32_t n) {
    block::make_at(c, n < 1 ? 1 : n);
    c->set_type(TYPE_PATH);
    return c;
}

Cell* push(const Cell* value) {
    Cell* c = stack::push(value);
    c->set_type(TYPE_PATH);
    return c;
}

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    Type t = spec->type();
    if (series::is_block_kind(t)) return block::make(proto, spec, type);
    if (t != TYPE_INTEGER && t != TYPE_FLOAT && t != TYPE_PERCENT) {
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0};
        error::bad_make_arg(&dt, spec);
    }
    Cell result;
    make_at(&result, convert::int_of_number(spec));
    result.header = uint32_t(type);
    *proto = result;
    return proto;
}

Cell* to(Cell* proto, Cell* spec, int32_t type) {
    Type t = spec->type();
    if (t != TYPE_OBJECT && t != TYPE_TYPESET && t != TYPE_MAP) return block::to(proto, spec, type);
    // the value itself, not its body
    Cell v = *spec;
    Cell result;
    block::make_at(&result, 1);
    block::ks_append(&result, &v);
    result.header = uint32_t(type);
    *proto = result;
    return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    if (mold::cycle_mark(value, buffer, &limit, false)) return limit;
    return each_element(value, buffer, part, limit,
                        [&](Cell* c, int32_t left) { return actions::form(c, buffer, part, left); });
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t) {
    if (mold::cycle_mark(value, buffer, &limit, true)) return limit;
    return each_element(value, buffer, part, limit, [&](Cell* c, int32_t left) {
        return actions::mold(c, buffer, only, all, flat, part, left, 0);
    });
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    return block::copy(value, result, part, deep, types);
}

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_MAKE>(&make).set<A_TO>(&to).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COPY>(&copy);
    a.unsupported(A_RANDOM).unsupported(A_SORT);
    datatype::register_type(TYPE_PATH, TYPE_BLOCK, "path!", a);
}

}  // namespace kro::path

namespace kro {

namespace {

// The sigil and the path text of a path child.
int32_t mold_with(const char* before, const char* after, Cell* value, Cell* buffer, bool only, bool all, bool flat,
                  Cell* part, int32_t limit, int32_t indent) {
    if (*before) {
        string::concatenate_ascii(buffer, before, 1);
        limit--;
    }
    limit = path::mold(value, buffer, only, all, flat, part, limit, indent);
    if (*after) {
        string::concatenate_ascii(buffer, after, 1);
        limit--;
    }
    return limit;
}

template <SlotFn<A_MOLD> Mold>
void register_child(Type t, const char* name) {
    ActionList a;
    a.inherit_all();
    a.set<A_MOLD>(Mold);
    datatype::register_type(t, TYPE_PATH, name, a);
}

Cell* push_retyped(const Cell* value, Type t) {
    Cell* c = stack::push(value);
    c->set_type(t);
    return c;
}

}  // namespace

namespace lit_path {
Cell* push(const Cell* value) { return push_retyped(value, TYPE_LIT_PATH); }
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    return mold_with("'", "", value, buffer, only, all, flat, part, limit, indent);
}
void init() { register_child<&mold>(TYPE_LIT_PATH, "lit-path!"); }
}  // namespace lit_path

namespace set_path {
Cell* push(const Cell* value) { return push_retyped(value, TYPE_SET_PATH); }
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    return mold_with("", ":", value, buffer, only, all, flat, part, limit, indent);
}
void init() { register_child<&mold>(TYPE_SET_PATH, "set-path!"); }
}  // namespace set_path

namespace get_path {
Cell* push(const Cell* value) { return push_retyped(value, TYPE_GET_PATH); }
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    return mold_with(":", "", value, buffer, only, all, flat, part, limit, indent);
}
void init() { register_child<&mold>(TYPE_GET_PATH, "get-path!"); }
}  // namespace get_path

}  // namespace kro
