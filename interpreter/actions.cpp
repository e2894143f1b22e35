#include "interpreter/actions.hpp"

#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/support.hpp"

namespace kro::actions {

void (*call_comparator)(const Cell* function, const Cell* arg1, const Cell* arg2, Cell* result) = nullptr;

void unsupported(const Cell* value) {
    Cell name = args::call_name();
    Cell type{uint32_t(TYPE_DATATYPE), uint32_t(value->type()), 0, 0};
    Cell arg = args::argument_word(0);
    fire("script", "expect-arg", &name, &type, &arg);
}

ActionFn get_action_ptr(const Cell* value, int slot) {
    ActionFn fn = datatype::entry(value->type(), slot);
    if (!fn) unsupported(value);
    return fn;
}

namespace {

// The compare slot's answer; -2 when the type has none.
int32_t compare_slot(Cell* value1, Cell* value2, int32_t op) {
    auto fn = datatype::action<A_COMPARE>(value1->type());
    return fn ? fn(value1, value2, op) : -2;
}

int32_t order(uint32_t a, uint32_t b) { return a < b ? -1 : a > b ? 1 : 0; }

}  // namespace

bool compare(Cell* value1, Cell* value2, int32_t op) {
    if (op < 0 || op > 12 || op == SORT || op == CASE_SORT) rt_error::no_switch_match();
    int32_t r = compare_slot(value1, value2, op);
    if (r == -2) {
        if (op >= LESSER && op <= GREATER_OR_EQUAL) fire("script", "invalid-compare", value1, value2);
        return op == NOT_EQUAL;
    }
    switch (op) {
        case NOT_EQUAL: return r != 0;
        case LESSER: return r < 0;
        case LESSER_OR_EQUAL: return r < 1;
        case GREATER: return r >= 1;
        case GREATER_OR_EQUAL: return r >= 0;
        default: return r == 0;
    }
}

int32_t compare_values(Cell* value1, Cell* value2, int32_t op) {
    switch (value1->type()) {
        case TYPE_LOGIC:
            if (!value2->is(TYPE_LOGIC)) return -2;
            return int32_t(value1->data1 != 0) - int32_t(value2->data1 != 0);
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_OP:
            if (value2->type() != value1->type()) return -2;
            return order(value1->data1, value2->data1);
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
            if (value2->type() != value1->type()) return -2;
            return order(value1->data3, value2->data3);
        default:
            return compare_slot(value1, value2, op);
    }
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    return get<A_FORM>(value)(value, buffer, part, limit);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
    return get<A_MOLD>(value)(value, buffer, only, all, flat, part, limit, indent);
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    return get<A_COPY>(value)(value, result, part, deep, types);
}

Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match) {
    return get<A_FIND>(series)(series, value, part, only, case_, same, any, with, skip, last, reverse, tail,
                               match);
}

Cell* poke(Cell* series, int32_t index, Cell* value) {
    Cell index_cell{uint32_t(TYPE_INTEGER), 0, uint32_t(index), 0};
    return get<A_POKE>(series)(series, index, value, &index_cell);
}

}  // namespace kro::actions
