#include "interpreter/actions.hpp"

#include "datatypes/port.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"

namespace kro::actions {

void (*call_comparator)(const Cell* function, const Cell* arg1, const Cell* arg2, Cell* result) = nullptr;

void unsupported(const Cell* value) {
    Cell name = args::call_name();
    Cell type{uint32_t(TYPE_DATATYPE), uint32_t(value->type()), 0, 0};
    Cell arg = args::argument_word(0);
    fire("script", "expect-arg", &name, &type, &arg);
}

ActionFn get_action_ptr(const Cell* value, int slot) {
    // a port with a native actor takes slots 25-62 from the actor's own table
    if (slot >= port::FIRST_NATIVE_SLOT && value->type() == TYPE_PORT) [[unlikely]] {
        if (ActionFn native = port::native_action(value, slot)) return native;
    }
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

// ---- the stack forms ------------------------------------------------------------------------------------

namespace kro::actions {

namespace {

// A refinement's argument cell, or null when the refinement is not used.
inline Cell* ref_arg(const int32_t* refs, int i) { return refs[i] >= 0 ? stack::arguments + refs[i] : nullptr; }
inline bool ref_on(const int32_t* refs, int i) { return refs[i] >= 0; }

// The implementation's answer becomes the result (copied before anything else
// happens: it may be a cell inside a series).
inline Flow result(const Cell* r) {
    if (r && r != stack::arguments) copy_cell(r, stack::arguments);
    stack::keep();
    return Flow::NORMAL;
}

inline Flow boxed(bool b) {
    *stack::arguments = logic::make(b);
    stack::keep();
    return Flow::NORMAL;
}

template <int S>
Flow stack_only(const int32_t*) {
    return result(get<S>(stack::arguments)());
}

template <int S>
Flow unary(const int32_t*) {
    return result(get<S>(stack::arguments)(stack::arguments));
}

// make and to: a datatype! first argument names the type whose implementation runs.
template <int S>
Flow make_to(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t type = a->is(TYPE_DATATYPE) ? int32_t(a->data1) : int32_t(a->type());
    auto fn = datatype::action<S>(type);
    if (!fn) {
        Cell name = args::call_name();
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0};
        Cell arg = args::argument_word(0);
        fire("script", "expect-arg", &name, &dt, &arg);
    }
    return result(fn(a, a + 1, type));
}

Flow random_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_RANDOM>(a)(a, ref_on(refs, 0), ref_on(refs, 1), ref_on(refs, 2)));
}

Flow reflect_form(const int32_t*) {
    Cell* a = stack::arguments;
    return result(get<A_REFLECT>(a)(a, int32_t(a[1].data2)));
}

// form and mold: a new string at slot 1, cut to the /part limit.
Flow text_of(bool mold_it, const int32_t* refs, bool only, bool all, bool flat, Cell* part) {
    Cell* a = stack::arguments;
    int32_t limit = mold::NO_LIMIT;
    if (part) {
        limit = convert::int_of_number(part);
        if (limit < 1) {
            string::make_at(a, 1, 1);
            stack::keep();
            return Flow::NORMAL;
        }
    }
    // above the arguments: the /part cell stays readable for the implementation
    Cell* buffer = stack::push_cell();
    string::make_at(buffer, 16, 1);
    if (mold_it) get<A_MOLD>(a)(a, buffer, only, all, flat, part, limit, 0);
    else get<A_FORM>(a)(a, buffer, part, limit);
    if (part) string::ks_truncate(memory::buffer_of(buffer->data2), uint32_t(limit));
    copy_cell(buffer, a);
    stack::keep();
    return Flow::NORMAL;
}

Flow form_form(const int32_t* refs) { return text_of(false, refs, false, false, false, ref_arg(refs, 0)); }

Flow mold_form(const int32_t* refs) {
    return text_of(true, refs, ref_on(refs, 0), ref_on(refs, 1), ref_on(refs, 2), ref_arg(refs, 3));
}

// Slot 7: parent, selector and, when given, the value to set.
Flow eval_path_form(const int32_t*) {
    Cell* a = stack::arguments;
    auto fn = datatype::action<A_EVAL_PATH>(a->type());
    if (!fn) {
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(a->type()), 0, 0};
        fire("script", "bad-path-type2", a + 1, &dt);
    }
    Cell* value = stack::top_ptr > a + 2 ? a + 2 : nullptr;
    Cell none_cell = none::value;
    return result(fn(a, a + 1, value, &none_cell, &none_cell, a + 1, 1, false, false, true, false));
}

// Slot 9: the op code in slot 2.
Flow compare_form(const int32_t*) {
    compare_to_logic(int32_t(stack::arguments[2].data2));
    return Flow::NORMAL;
}

Flow round_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_ROUND>(a)(a, ref_arg(refs, 0), ref_on(refs, 1), ref_on(refs, 2), ref_on(refs, 3),
                                  ref_on(refs, 4), ref_on(refs, 5), ref_on(refs, 6)));
}

Flow even_form(const int32_t*) { return boxed(get<A_EVEN_Q>(stack::arguments)(stack::arguments)); }
Flow odd_form(const int32_t*) { return boxed(get<A_ODD_Q>(stack::arguments)(stack::arguments)); }

// The values that carry a buffer a /part position can be measured in.
bool has_buffer(Type t) { return series::is_series_value(t) || t == TYPE_MAP; }

// /part and /dup of append, insert and change. Answers false when nothing is
// to be inserted (the series is then the result); else the length (-1: all)
// and the count.
bool normalise(bool change_it, const int32_t* refs, int32_t* length, int32_t* count) {
    Cell* a = stack::arguments;
    *length = -1;
    *count = 1;
    if (Cell* part = ref_arg(refs, 0)) {
        // the value measured: what is inserted, or for change the series changed
        Cell* measured = change_it ? a : a + 1;
        if (!has_buffer(measured->type())) fire("script", "invalid-part", part);
        int32_t full = series::ks_full_length(measured);
        if (int32_t(measured->data1) > full) measured->data1 = uint32_t(full);
        int32_t n;
        if (part->is(TYPE_INTEGER) || part->is(TYPE_FLOAT) || part->is(TYPE_PERCENT)) {
            n = convert::int_of_number(part);
        } else if (part->type() == measured->type() && part->data2 == measured->data2 && !part->is(TYPE_PORT)) {
            n = series::head_of(part) - int32_t(measured->data1);
        } else {
            series::bad_refine("part", part);
        }
        if (n == 0 && !change_it) return false;
        if (n < 0) {
            int32_t at = int32_t(measured->data1);
            if (at == 0) return change_it ? (*length = 0, true) : false;
            int32_t back = -int64_t(n) > int64_t(at) ? at : -n;
            measured->data1 = uint32_t(at - back);
            n = back;
        }
        *length = n;
    }
    if (Cell* dup = ref_arg(refs, 2)) {
        int32_t c = convert::int_of_number(dup);
        if (c < 1) return false;
        *count = c;
    }
    return true;
}

template <int S>
Flow insert_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    int32_t length, count;
    if (!normalise(false, refs, &length, &count)) return result(a);
    return result(get<S>(a)(a, a + 1, length, ref_on(refs, 1), count, S == A_APPEND));
}

Flow change_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    int32_t length, count;
    if (!normalise(true, refs, &length, &count)) return result(a);
    return result(get<A_CHANGE>(a)(a, a + 1, length, ref_on(refs, 1), count));
}

Flow copy_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    Cell* types = ref_arg(refs, 2);
    if (types && !types->is(TYPE_DATATYPE) && !types->is(TYPE_TYPESET)) {
        Cell name = args::call_name();
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(types->type()), 0, 0};
        Cell arg{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make("types")), uint32_t(-1)};
        fire("script", "expect-arg", &name, &dt, &arg);
    }
    auto fn = get<A_COPY>(a);
    stack::top_ptr = stack::top_ptr < a + 1 ? a + 1 : stack::top_ptr;
    Cell* out = stack::push(&none::value);
    return result(fn(a, out, ref_arg(refs, 0), ref_on(refs, 1), types));
}

Flow find_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_FIND>(a)(a, a + 1, ref_arg(refs, 0), ref_on(refs, 1), ref_on(refs, 2), ref_on(refs, 3),
                                 ref_on(refs, 4), ref_arg(refs, 5), ref_arg(refs, 6), ref_on(refs, 7),
                                 ref_on(refs, 8), ref_on(refs, 9), ref_on(refs, 10)));
}

Flow select_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_SELECT>(a)(a, a + 1, ref_arg(refs, 0), ref_on(refs, 1), ref_on(refs, 2), ref_on(refs, 3),
                                   ref_on(refs, 4), ref_arg(refs, 5), ref_arg(refs, 6), ref_on(refs, 7),
                                   ref_on(refs, 8)));
}

Flow length_form(const int32_t*) {
    int32_t n = get<A_LENGTH_Q>(stack::arguments)(stack::arguments);
    *stack::arguments = n < 0 ? none::value : Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(n), 0};
    stack::keep();
    return Flow::NORMAL;
}

Flow move_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_MOVE>(a)(a, a + 1, ref_arg(refs, 0)));
}

// The index number of pick and poke: true 1, false 2, a char or an integer
// its value, anything else 0 (the implementation reads the index cell).
int32_t index_number(const Cell* index) {
    switch (index->type()) {
        case TYPE_LOGIC: return index->data1 ? 1 : 2;
        case TYPE_CHAR:
        case TYPE_INTEGER: return int32_t(index->data2);
        default: return 0;
    }
}

Flow pick_form(const int32_t*) {
    Cell* a = stack::arguments;
    return result(get<A_PICK>(a)(a, index_number(a + 1), a + 1));
}

Flow poke_form(const int32_t*) {
    Cell* a = stack::arguments;
    return result(get<A_POKE>(a)(a, index_number(a + 1), a + 2, a + 1));
}

Flow put_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_PUT>(a)(a, a + 1, a + 2, ref_on(refs, 0)));
}

Flow remove_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_REMOVE>(a)(a, ref_arg(refs, 0), ref_arg(refs, 1)));
}

Flow reverse_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_REVERSE>(a)(a, ref_arg(refs, 0), ref_arg(refs, 1)));
}

Flow sort_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_SORT>(a)(a, ref_on(refs, 0), ref_arg(refs, 1), ref_arg(refs, 2), ref_arg(refs, 3),
                                 ref_on(refs, 4), ref_on(refs, 5), ref_on(refs, 6)));
}

Flow swap_form(const int32_t*) {
    Cell* a = stack::arguments;
    return result(get<A_SWAP>(a)(a, a + 1));
}

Flow take_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_TAKE>(a)(a, ref_arg(refs, 0), ref_on(refs, 1), ref_on(refs, 2)));
}

Flow trim_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_TRIM>(a)(a, ref_on(refs, 0), ref_on(refs, 1), ref_on(refs, 2), ref_on(refs, 3),
                                 ref_on(refs, 4), ref_arg(refs, 5)));
}

Flow modify_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    get<A_MODIFY>(a)(a, a + 1, a + 2, ref_on(refs, 0));
    return result(a);  // the target
}

Flow open_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_OPEN>(a)(a, ref_on(refs, 0), ref_on(refs, 1), ref_on(refs, 2), ref_on(refs, 3),
                                 ref_arg(refs, 4)));
}

Flow read_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_READ>(a)(a, ref_arg(refs, 0), ref_arg(refs, 1), ref_on(refs, 2), ref_on(refs, 3),
                                 ref_on(refs, 4), ref_arg(refs, 5)));
}

Flow rename_form(const int32_t*) {
    Cell* a = stack::arguments;
    return result(get<A_RENAME>(a)(a, a + 1));
}

Flow write_form(const int32_t* refs) {
    Cell* a = stack::arguments;
    return result(get<A_WRITE>(a)(a, a + 1, ref_on(refs, 0), ref_on(refs, 1), ref_on(refs, 2), ref_on(refs, 3),
                                  ref_arg(refs, 4), ref_arg(refs, 5), ref_arg(refs, 6), ref_arg(refs, 7)));
}

StackForm table[ACTION_COUNT] = {};

}  // namespace

void compare_to_logic(int32_t op) {
    Cell* a = stack::arguments;
    *a = logic::make(compare(a, a + 1, op));
    stack::keep();
}

StackForm entry(int32_t slot) { return slot >= 1 && slot <= ACTION_COUNT ? table[slot - 1] : nullptr; }

void init() {
    // filled in slot order
    constexpr StackForm forms[ACTION_COUNT] = {
        &make_to<A_MAKE>,          &random_form,               &reflect_form,           &make_to<A_TO>,
        &form_form,                &mold_form,                 &eval_path_form,         nullptr,
        &compare_form,             &stack_only<A_ABSOLUTE>,    &stack_only<A_ADD>,      &stack_only<A_DIVIDE>,
        &stack_only<A_MULTIPLY>,   &unary<A_NEGATE>,           &stack_only<A_POWER>,    &stack_only<A_REMAINDER>,
        &round_form,               &stack_only<A_SUBTRACT>,    &even_form,              &odd_form,
        &stack_only<A_AND_T>,      &unary<A_COMPLEMENT>,       &stack_only<A_OR_T>,     &stack_only<A_XOR_T>,
        &insert_form<A_APPEND>,    &stack_only<A_AT>,          &stack_only<A_BACK>,     &change_form,
        &unary<A_CLEAR>,           &copy_form,                 &find_form,              &stack_only<A_HEAD>,
        &stack_only<A_HEAD_Q>,     &stack_only<A_INDEX_Q>,     &insert_form<A_INSERT>,  &length_form,
        &move_form,                &stack_only<A_NEXT>,        &pick_form,              &poke_form,
        &put_form,                 &remove_form,               &reverse_form,           &select_form,
        &sort_form,                &stack_only<A_SKIP>,        &swap_form,              &stack_only<A_TAIL>,
        &stack_only<A_TAIL_Q>,     &take_form,                 &trim_form,              &unary<A_CREATE>,
        &unary<A_CLOSE>,           &unary<A_DELETE>,           &modify_form,            &open_form,
        &unary<A_OPEN_Q>,          &unary<A_QUERY>,            &read_form,              &rename_form,
        &unary<A_UPDATE>,          &write_form,
    };
    for (int i = 0; i < ACTION_COUNT; i++) table[i] = forms[i];
}

}  // namespace kro::actions
