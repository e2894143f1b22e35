#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/random.hpp"

namespace kro::logic {

const Cell true_value{uint32_t(TYPE_LOGIC), 1, 0, 0};
const Cell false_value{uint32_t(TYPE_LOGIC), 0, 0, 0};

Cell* box(bool b) {
    Cell v = make(b);
    stack::set_last(&v);
    return stack::arguments;
}

Cell* push(bool b) {
    Cell v = make(b);
    return stack::push(&v);
}

Cell* make_in(Cell* blk, bool b) {
    Cell* c = block::add_cell(blk);
    *c = make(b);
    return c;
}

bool value_true(const Cell* v, bool check, const Cell* name) {
    if (check && v->is(TYPE_UNSET)) fire("script", "no-value", name);
    return is_true(v);
}

bool true_last() { return is_true(stack::arguments); }

bool true_checked() {
    if (stack::arguments->is(TYPE_UNSET)) fire("script", "no-return");
    return is_true(stack::arguments);
}

// The top value of the current call: the arguments base when nothing was pushed above it.
static const Cell* call_top() { return stack::top_ptr > stack::arguments ? stack::top_ptr - 1 : stack::arguments; }

bool top_true() { return is_true(call_top()); }
bool top_false() { return !is_true(call_top()); }

namespace {

Cell* to(Cell* proto, Cell* spec, int32_t) {
    if (spec->is(TYPE_LOGIC)) {
        copy_cell(spec, proto);
        return proto;
    }
    *proto = make(!spec->is(TYPE_NONE));
    return proto;
}

Cell* make_logic(Cell* proto, Cell* spec, int32_t type) {
    switch (spec->type()) {
        case TYPE_INTEGER:
            *proto = make(spec->data2 != 0);
            return proto;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            *proto = make(!(spec->get_float() == 0.0));  // NaN is true
            return proto;
        default:
            return to(proto, spec, type);
    }
}

Cell* random_logic(Cell* value, bool seed, bool secure, bool only) {
    if (seed) {
        random::seed(value->data1 ? 1u : 0u);
        copy_cell(&unset::value, value);
        return value;
    }
    int32_t r = secure ? random::secure_next() : random::next();
    *value = make(r > 0x3FFFFFFF);
    return value;
}

int32_t form(Cell* v, Cell* buffer, Cell*, int32_t limit) {
    bool b = v->data1 != 0;
    string::concatenate_ascii(buffer, b ? "true" : "false");
    return limit - (b ? 4 : 5);
}

int32_t mold(Cell* v, Cell* buffer, bool, bool all, bool, Cell* part, int32_t limit, int32_t) {
    if (!all) return form(v, buffer, part, limit);
    bool b = v->data1 != 0;
    string::concatenate_ascii(buffer, b ? "#(true)" : "#(false)");
    return limit - (b ? 7 : 8);
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_LOGIC)) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12:
            return int32_t(a->data1) - int32_t(b->data1);
        default:
            return -2;
    }
}

Cell* complement(Cell* v) {
    v->data1 = v->data1 ? 0 : 1;
    return v;
}

Cell* do_bitwise(int op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (!right->is(TYPE_LOGIC)) args::expect_arg(right->type(), 1);
    uint32_t a = left->data1, b = right->data1;
    left->data1 = op == 0 ? (a & b) : op == 1 ? (a | b) : (a ^ b);
    return left;
}
Cell* and_t() { return do_bitwise(0); }
Cell* or_t() { return do_bitwise(1); }
Cell* xor_t() { return do_bitwise(2); }

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make_logic).set<A_RANDOM>(&random_logic).set<A_TO>(&to).set<A_FORM>(&form);
    a.set<A_MOLD>(&mold).set<A_COMPARE>(&compare).set<A_AND_T>(&and_t).set<A_COMPLEMENT>(&complement);
    a.set<A_OR_T>(&or_t).set<A_XOR_T>(&xor_t);
    datatype::register_type(TYPE_LOGIC, 0, "logic!", a);
}

}  // namespace kro::logic
