#include "interpreter/ops.hpp"

#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"

namespace kro::ops {

namespace {

inline Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
inline Cell floating(double d) {
    Cell c{uint32_t(TYPE_FLOAT), 0, 0, 0};
    c.set_float(d);
    return c;
}

// The action behind an arithmetic op code, and the name of its global word
// (whose spec the arguments are checked against, as the evaluator does).
struct ActionOf {
    int slot;
    const char* name;
};

ActionOf arith_action(int32_t op) {
    switch (op) {
        case ADD: return {A_ADD, "add"};
        case SUBTRACT: return {A_SUBTRACT, "subtract"};
        case MULTIPLY: return {A_MULTIPLY, "multiply"};
        case OR_T: return {A_OR_T, "or~"};
        case AND_T: return {A_AND_T, "and~"};
        case XOR_T: return {A_XOR_T, "xor~"};
        default: rt_error::no_switch_match();
    }
}

ActionOf series_action(int32_t op) {
    switch (op) {
        case LENGTH_Q: return {A_LENGTH_Q, "length?"};
        case INDEX_Q: return {A_INDEX_Q, "index?"};
        case HEAD_Q: return {A_HEAD_Q, "head?"};
        case TAIL_Q: return {A_TAIL_Q, "tail?"};
        case NEXT: return {A_NEXT, "next"};
        case BACK: return {A_BACK, "back"};
        case HEAD: return {A_HEAD, "head"};
        case TAIL: return {A_TAIL, "tail"};
        default: rt_error::no_switch_match();
    }
}

// Two integer!s done in 32 bits; a sum, difference or product that does not
// fit is the float! of the exact result.
Cell integer_arith(int32_t op, int32_t a, int32_t b) {
    int32_t r;
    switch (op) {
        case ADD:
            return __builtin_add_overflow(a, b, &r) ? floating(double(a) + double(b)) : integer(r);
        case SUBTRACT:
            return __builtin_sub_overflow(a, b, &r) ? floating(double(a) - double(b)) : integer(r);
        case MULTIPLY:
            return __builtin_mul_overflow(a, b, &r) ? floating(double(a) * double(b)) : integer(r);
        case OR_T: return integer(a | b);
        case AND_T: return integer(a & b);
        case XOR_T: return integer(a ^ b);
        default: rt_error::no_switch_match();
    }
}

bool integer_compare(int32_t op, int32_t a, int32_t b) {
    switch (op) {
        case actions::EQUAL:
        case actions::STRICT_EQUAL: return a == b;
        case actions::NOT_EQUAL: return a != b;
        case actions::LESSER: return a < b;
        case actions::LESSER_OR_EQUAL: return !(b < a);
        case actions::GREATER: return b < a;
        case actions::GREATER_OR_EQUAL: return !(a < b);
        default: rt_error::no_switch_match();
    }
}

// Calls an action's stack form on the operands, in a native frame named by
// the operator word; the result is left as the new top.
void call_action(const ActionOf& action, const Cell* word, const Cell* first, const Cell* second) {
    Cell name = *word;  // the operands may be stack cells: copied before anything is pushed
    Cell a = *first, b = second ? *second : Cell{};
    stack::mark_native(&name);
    stack::push(&a);
    if (second) stack::push(&b);
    int32_t refs[interp::MAX_REFINEMENTS];
    for (int32_t& r : refs) r = -1;
    // the arguments are checked against the action's spec, as a call met in code has them
    const Cell* fn = context::get_global(symbol::make(action.name));
    if (fn && fn->is(TYPE_ACTION) && int32_t(fn->data1) == action.slot) interp::check_args(fn, refs);
    flow::raise_if(actions::entry(action.slot)(refs));
    stack::unwind();
}

// The generic comparison, in a native frame named by the operator word: the
// logic! is left as the new top.
void call_compare(int32_t op, const Cell* word, const Cell* left, const Cell* right) {
    Cell name = *word, a = *left, b = *right;
    stack::mark_native(&name);
    stack::push(&a);
    stack::push(&b);
    actions::compare_to_logic(op);
    stack::unwind();
}

void arith_cells(int32_t op, const Cell* word, const Cell* left, const Cell* right) {
    if (left->is(TYPE_INTEGER) && right->is(TYPE_INTEGER)) {
        Cell r = integer_arith(op, int32_t(left->data2), int32_t(right->data2));
        stack::push(&r);
        return;
    }
    if (left->is(TYPE_FLOAT) && right->is(TYPE_FLOAT) && (op == ADD || op == SUBTRACT || op == MULTIPLY)) {
        double a = left->get_float(), b = right->get_float();
        Cell r = floating(op == ADD ? a + b : op == SUBTRACT ? a - b : a * b);
        stack::push(&r);
        return;
    }
    call_action(arith_action(op), word, left, right);
}

// Takes the logic! on top off the stack.
bool pop_truth() {
    bool t = stack::top()->data1 != 0;
    stack::pop(1);
    return t;
}

void compare_cells(int32_t op, const Cell* word, const Cell* left, const Cell* right) {
    if (op < actions::EQUAL || op > actions::GREATER_OR_EQUAL) rt_error::no_switch_match();
    if (left->is(TYPE_INTEGER) && right->is(TYPE_INTEGER)) {
        Cell r = logic::make(integer_compare(op, int32_t(left->data2), int32_t(right->data2)));
        stack::push(&r);
        return;
    }
    call_compare(op, word, left, right);
}

// Replaces the cell below the top with the top.
void drop_under() {
    Cell r = *stack::top();
    stack::pop(1);
    *stack::top() = r;
}

}  // namespace

void arith(int32_t op, const Cell* word, const Cell* left, const Cell* right) { arith_cells(op, word, left, right); }

void arith_int(int32_t op, const Cell* word, const Cell* left, int32_t right) {
    Cell r = integer(right);
    arith_cells(op, word, left, &r);
}

void arith_top(int32_t op, const Cell* word, const Cell* right) {
    Cell left = *stack::top(), r = *right;
    arith_cells(op, word, &left, &r);
    drop_under();
}

void arith_top_int(int32_t op, const Cell* word, int32_t right) {
    Cell left = *stack::top(), r = integer(right);
    arith_cells(op, word, &left, &r);
    drop_under();
}

void compare(int32_t op, const Cell* word, const Cell* left, const Cell* right) {
    compare_cells(op, word, left, right);
}

void compare_int(int32_t op, const Cell* word, const Cell* left, int32_t right) {
    Cell r = integer(right);
    compare_cells(op, word, left, &r);
}

bool compare_jump(int32_t op, const Cell* word, const Cell* left, const Cell* right, bool negate) {
    compare_cells(op, word, left, right);
    return pop_truth() != negate;
}

bool compare_int_jump(int32_t op, const Cell* word, const Cell* left, int32_t right, bool negate) {
    Cell r = integer(right);
    compare_cells(op, word, left, &r);
    return pop_truth() != negate;
}

bool compare_last(int32_t op, const Cell* word, const Cell* left, const Cell* right) {
    compare_cells(op, word, left, right);
    bool t = stack::top()->data1 != 0;
    Cell r = *stack::top();
    stack::pop(1);
    *stack::arguments = r;
    return t;
}

bool compare_int_last(int32_t op, const Cell* word, const Cell* left, int32_t right) {
    Cell r = integer(right);
    return compare_last(op, word, left, &r);
}

void compare_top(int32_t op, const Cell* word, const Cell* right) {
    Cell left = *stack::top(), r = *right;
    compare_cells(op, word, &left, &r);
    drop_under();
}

void compare_top_int(int32_t op, const Cell* word, int32_t right) {
    Cell left = *stack::top(), r = integer(right);
    compare_cells(op, word, &left, &r);
    drop_under();
}

void path_pick(const Cell* word, const Cell* value, int32_t n) {
    if (value->is(TYPE_BLOCK)) {
        memory::Buffer* b = memory::buffer_of(value->data2);
        int64_t index = int64_t(value->data1);
        int64_t left = int64_t(b->used_bytes() / sizeof(Cell)) - index;
        if (n >= 1 && n <= left) {
            Cell v = b->cells()[index + n - 1];
            stack::push(&v);
        } else {
            stack::push(&none::value);
        }
        return;
    }
    Cell name = *word, v = *value, k = integer(n);
    stack::mark_native(&name);
    stack::push(&v);
    stack::push(&k);
    int32_t refs[interp::MAX_REFINEMENTS];
    for (int32_t& r : refs) r = -1;
    flow::raise_if(actions::entry(A_EVAL_PATH)(refs));
    stack::unwind();
}

void series_op(int32_t op, const Cell* word, const Cell* value) {
    ActionOf action = series_action(op);  // a bad op code stops here, whatever the value
    if (!value->is(TYPE_BLOCK)) {
        call_action(action, word, value, nullptr);
        return;
    }
    int32_t index = int32_t(value->data1);
    int32_t length = int32_t(memory::buffer_of(value->data2)->used_bytes() / sizeof(Cell)) - index;
    if (length < 0) length = 0;
    Cell r = *value;
    switch (op) {
        case LENGTH_Q: r = integer(length); break;
        case INDEX_Q: r = integer(index + 1); break;
        case HEAD_Q: r = logic::make(index == 0); break;
        case TAIL_Q: r = logic::make(length < 1); break;
        case NEXT:
            if (length >= 1) r.data1 = uint32_t(index + 1);
            break;
        case BACK: r.data1 = uint32_t(index > 0 ? index - 1 : 0); break;
        case HEAD: r.data1 = 0; break;
        case TAIL: r.data1 = uint32_t(index + length); break;
    }
    stack::push(&r);
}

}  // namespace kro::ops
