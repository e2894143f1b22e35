#include "datatypes/native.hpp"

#include <cstring>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"

namespace kro::native {

namespace detail {
Entry natives[NATIVE_SLOTS] = {};
uint32_t specs = 0;  // fixed block: the natives' specs, then the actions'
}  // namespace detail

namespace {

using detail::natives;
using detail::specs;
Entry action_entries[ACTION_SLOTS] = {};

Cell* spec_slot(int32_t n) { return memory::buffer_of(specs)->cells() + n; }

void check_index(int32_t index, int32_t slots) {
    if (index < 1 || index > slots || !specs) rt_error::fatal(98, KRO_CAPTURE_SITE());
}

Cell datatype_cell(int32_t type) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0}; }
Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
Cell spec_block(const Cell* value) { return Cell{uint32_t(TYPE_BLOCK), 0, value->data2, 0}; }

bool is_word_kind(Type t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT; }

// The arguments and refinements of a spec, in order: type and resolved symbol.
std::vector<std::pair<Type, int32_t>> interface_of(const Cell* spec) {
    std::vector<std::pair<Type, int32_t>> out;
    for (int32_t i = 0; i < block::length(spec); i++) {
        const Cell* c = block::at(spec, i);
        if (is_word_kind(c->type())) out.emplace_back(c->type(), symbol::resolve(int32_t(c->data2)));
    }
    return out;
}

// The index a `make native!`/`make action!` spec names, or a raised
// script/bad-make-arg: a block of exactly a spec block and an integer of a
// filled slot whose registered spec has the same arguments and refinements.
int32_t checked_make_index(const Cell* spec, int32_t type, int32_t slots, Entry (*entry)(int32_t),
                           const Cell* (*registered)(int32_t)) {
    Cell dt = datatype_cell(type);
    if (!spec->is(TYPE_BLOCK) || block::length(spec) != 2) error::bad_make_arg(&dt, spec);
    const Cell* s = block::at(spec, 0);
    const Cell* n = block::at(spec, 1);
    if (!s->is(TYPE_BLOCK) || !n->is(TYPE_INTEGER)) error::bad_make_arg(&dt, spec);
    int32_t index = int32_t(n->data2);
    if (index < 1 || index > slots) error::bad_make_arg(&dt, spec);
    // an empty slot has no code to call, and a different spec would read
    // argument cells that no call pushes
    if (!entry(index) || !same_interface(s, registered(index))) error::bad_make_arg(&dt, spec);
    return index;
}

Cell* make_coded(Cell* proto, Cell* spec, Type type, int32_t slots, Entry (*entry)(int32_t),
                 const Cell* (*registered)(int32_t)) {
    int32_t index = checked_make_index(spec, type, slots, entry, registered);
    Cell s = *block::at(spec, 0);
    uint32_t ctx = context::make_from_spec(&s, true, false, context::FUNCTION);
    uint32_t record = memory::new_cells(2);
    memory::Buffer* b = memory::buffer_of(record);
    b->tail = b->offset + 2 * sizeof(Cell);
    b->cells()[0] = *context::cell_of(ctx);
    b->cells()[1] = none::value;
    *proto = Cell{uint32_t(type), uint32_t(index), s.data2, record};
    return proto;
}

Cell* make_native(Cell* proto, Cell* spec, int32_t) {
    return make_coded(proto, spec, TYPE_NATIVE, NATIVE_SLOTS, &native_entry, &native_spec);
}

Cell* make_action(Cell* proto, Cell* spec, int32_t) {
    return make_coded(proto, spec, TYPE_ACTION, ACTION_SLOTS, &action_entry, &action_spec);
}

// Whether the spec has exactly two arguments and a plain word on the left.
bool op_spec_ok(const Cell* spec) {
    int32_t count = 0;
    bool plain_seen = false;
    for (int32_t i = 0; i < block::length(spec); i++) {
        const Cell* c = block::at(spec, i);
        switch (c->type()) {
            case TYPE_WORD:
                plain_seen = true;
                count++;
                break;
            case TYPE_LIT_WORD:
            case TYPE_GET_WORD:
                if (!plain_seen) return false;
                count++;
                break;
            case TYPE_REFINEMENT: {
                int32_t sym = int32_t(c->data2);
                if (symbol::same_word(sym, symbol::make("local")) || symbol::same_word(sym, symbol::make("extern")))
                    return count == 2;
                return false;
            }
            case TYPE_SET_WORD:
                return count == 2;
            default:
                break;  // doc strings and type blocks
        }
    }
    return count == 2;
}

Cell* make_op(Cell* proto, Cell* spec, int32_t) {
    Type t = spec->type();
    if (t != TYPE_ACTION && t != TYPE_NATIVE && t != TYPE_FUNCTION && t != TYPE_ROUTINE) {
        Cell dt = datatype_cell(t);
        fire("script", "invalid-type", &dt);
    }
    Cell wrapped = *spec;
    Cell s = spec_block(&wrapped);
    if (!op_spec_ok(&s)) fire("script", "bad-op-spec");
    if (t == TYPE_FUNCTION || t == TYPE_ROUTINE)
        memory::buffer_of(wrapped.data3)->cells()[function::WRAPPED] = wrapped;
    *proto = Cell{uint32_t(TYPE_OP) | (uint32_t(t) << WRAPPED_SHIFT), wrapped.data1, wrapped.data2, wrapped.data3};
    return proto;
}

int32_t append(Cell* buffer, const char* text, int32_t limit) {
    int32_t n = int32_t(std::strlen(text));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

}  // namespace

// ---- the tables ------------------------------------------------------------------------

void init_tables() {
    if (specs) return;
    Cell* c = block::make_in(&runtime::root, NATIVE_SLOTS + ACTION_SLOTS);
    specs = c->data2;
    // the collector rewrites this holder when it moves the block's node
    gc::add_mark_callback([] { collector::mark_block(&specs); });
    for (int32_t i = 0; i < NATIVE_SLOTS + ACTION_SLOTS; i++) *series::add_cell(specs) = none::value;
}

void register_native(int32_t index, Entry fn, const Cell* spec) {
    check_index(index, NATIVE_SLOTS);
    natives[index - 1] = fn;
    *spec_slot(index - 1) = *spec;
}

void register_action(int32_t index, Entry fn, const Cell* spec) {
    check_index(index, ACTION_SLOTS);
    action_entries[index - 1] = fn;
    *spec_slot(NATIVE_SLOTS + index - 1) = *spec;
}

Entry action_entry(int32_t index) { return index >= 1 && index <= ACTION_SLOTS ? action_entries[index - 1] : nullptr; }

const Cell* native_spec(int32_t index) {
    if (!specs || !native_entry(index)) return nullptr;
    return spec_slot(index - 1);
}

const Cell* action_spec(int32_t index) {
    if (!specs || !action_entry(index)) return nullptr;
    return spec_slot(NATIVE_SLOTS + index - 1);
}

void forget_native(int32_t index) {
    if (index < 1 || index > NATIVE_SLOTS) return;
    natives[index - 1] = nullptr;
    if (specs) *spec_slot(index - 1) = none::value;
}

void forget_action(int32_t index) {
    if (index < 1 || index > ACTION_SLOTS) return;
    action_entries[index - 1] = nullptr;
    if (specs) *spec_slot(NATIVE_SLOTS + index - 1) = none::value;
}

bool same_interface(const Cell* spec1, const Cell* spec2) {
    if (!spec1 || !spec2 || !spec1->is(TYPE_BLOCK) || !spec2->is(TYPE_BLOCK)) return false;
    return interface_of(spec1) == interface_of(spec2);
}

// ---- actions ---------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    switch (type) {
        case TYPE_ACTION: return make_action(proto, spec, type);
        case TYPE_OP: return make_op(proto, spec, type);
        default: return make_native(proto, spec, type);
    }
}

Cell* reflect(Cell* value, int32_t field) {
    Cell v = *value;
    if (symbol::same_word(field, symbol::make("spec"))) {
        *value = spec_block(&v);
        return value;
    }
    if (symbol::same_word(field, symbol::make("body"))) {
        uint32_t wrapped = v.is(TYPE_OP) ? wrapped_type(&v) : uint32_t(v.type());
        if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) {
            *value = memory::buffer_of(v.data3)->cells()[function::BODY];
        } else {
            *value = integer(int32_t(v.data1));  // natives and actions hold their table index
        }
        return value;
    }
    fire("internal", "not-done");
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    switch (value->type()) {
        case TYPE_ACTION: return append(buffer, "?action?", limit);
        case TYPE_OP: return append(buffer, "?op?", limit);
        default: return append(buffer, "?native?", limit);
    }
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    Cell v = *value;
    Cell s = spec_block(&v);
    if (v.is(TYPE_OP)) {
        limit = append(buffer, "make op! ", limit);
        if (wrapped_type(&v) == TYPE_FUNCTION) {
            limit = append(buffer, "func ", limit);
            limit = actions::mold(&s, buffer, false, all, flat, part, limit, indent);
            Cell body = memory::buffer_of(v.data3)->cells()[function::BODY];
            if (body.is(TYPE_BLOCK)) limit = actions::mold(&body, buffer, false, all, flat, part, limit, indent);
            return limit;
        }
        limit = append(buffer, "[", limit);
        limit = actions::mold(&s, buffer, false, all, flat, part, limit, indent);
        return append(buffer, "]", limit);
    }
    limit = append(buffer, v.is(TYPE_ACTION) ? "make action! [" : "make native! [", limit);
    limit = actions::mold(&s, buffer, only, all, flat, part, limit, indent);
    return append(buffer, "]", limit);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (value2->type() != value1->type()) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12:
            return value1->data1 < value2->data1 ? -1 : value1->data1 > value2->data1 ? 1 : 0;
        default:
            return -2;
    }
}

void init() {
    ActionList a;
    a.set<A_MAKE>(&make_native).set<A_REFLECT>(&reflect).set<A_FORM>(&form).set<A_MOLD>(&mold);
    a.set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_NATIVE, 0, "native!", a);
}

void init_action() {
    ActionList a;
    a.set<A_MAKE>(&make_action).inherit(A_REFLECT).set<A_FORM>(&form).set<A_MOLD>(&mold);
    a.set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_ACTION, TYPE_NATIVE, "action!", a);
}

void init_op() {
    ActionList a;
    a.set<A_MAKE>(&make_op).inherit(A_REFLECT).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_OP, TYPE_NATIVE, "op!", a);
}

}  // namespace kro::native
