// The natives that build blocks by evaluation (reduce, compose), print, bind
// words, make objects from unevaluated specs and set line breaks.
//
// Blocks under construction live on the data stack, which never moves and
// which the collector keeps current, so they survive every evaluation in
// between; the values a block is built from are read again after each one.
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/mold.hpp"
#include "foundation/print.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/natives_value.hpp"
#include "interpreter/stack.hpp"

namespace kro::natives {

namespace {

constexpr int32_t PRINT = 23, PRIN = 24, REDUCE = 35, COMPOSE = 36, BIND = 38, CONSTRUCT = 68, NEW_LINE = 89,
                  NEW_LINE_Q = 90;

// Nesting that compose/deep follows before it gives up (a block may hold itself).
constexpr int32_t MAX_DEPTH = 1000;

bool last_line_end = true;

inline Cell* new_block_on_stack(int32_t capacity) {
    Cell* out = stack::push(&none::value);
    block::make_at(out, capacity < 1 ? 1 : capacity);
    return out;
}

inline int32_t length_from_head(const Cell* blk) {
    int32_t n = series::ks_full_length(blk) - series::head_of(blk);
    return n > 0 ? n : 0;
}

// ---- reduce -----------------------------------------------------------------------------------

// The values of a block's expressions appended to out, one expression at a
// time; the block's tail is read again after each one.
Flow reduce_block(const Cell* source, Cell* out) {
    int32_t i = series::head_of(source);
    while (i < series::ks_full_length(source)) {
        Flow f = interp::eval_one(source, &i, true);
        if (f != Flow::NORMAL) return f;
        block::ks_append(out, stack::top());
        stack::pop(1);
    }
    return Flow::NORMAL;
}

// The value's reduction in a new block on the data stack: the values of a
// block's expressions, or any other value's value (functions kept as they are).
Flow reduce_value(Cell* value, Cell** out) {
    if (value->is(TYPE_BLOCK)) {
        *out = new_block_on_stack(length_from_head(value));
        return reduce_block(value, *out);
    }
    *out = new_block_on_stack(1);
    Type t = value->type();
    if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
        block::ks_append(*out, value);
        return Flow::NORMAL;
    }
    Flow f = interp::eval_value(value, true);
    if (f != Flow::NORMAL) return f;
    block::ks_append(*out, stack::top());
    stack::pop(1);
    return Flow::NORMAL;
}

// /into: the built cells go in at out's position, each as one value, and out
// (past them) is the result. The insert action indexes a hash! and tells the
// owner of out about the change.
Flow insert_into(Cell* into, Cell* built) {
    block::insert(into, built, -1, false, 1, false);
    return result(into);
}

Flow reduce_native(const int32_t* refs) {
    Cell* out = nullptr;
    Flow f = reduce_value(arg(0), &out);
    if (f != Flow::NORMAL) return f;
    if (Cell* into = ref_arg(refs, 0)) return insert_into(into, out);
    if (!arg(0)->is(TYPE_BLOCK)) return result(block::at(out, 0));
    return result(out);
}

// ---- compose ----------------------------------------------------------------------------------

Flow compose_block(const Cell* source_in, Cell* out, bool deep, bool only, int32_t depth) {
    if (depth > MAX_DEPTH) fire("internal", "too-deep");
    Cell* source = stack::push(source_in);
    for (int32_t i = series::head_of(source); i < series::ks_full_length(source); i++) {
        Cell item = *block::ks_abs_at(source, i);
        if (item.is(TYPE_PAREN)) {
            if (length_from_head(&item) == 0) continue;
            Flow f = interp::eval_block(&item, false);
            if (f != Flow::NORMAL) return f;
            Cell* r = stack::top();
            if (r->is(TYPE_BLOCK) && !only) block::ks_append_block(out, r);
            else if (!r->is(TYPE_UNSET)) block::ks_append(out, r);
            stack::pop(1);
        } else if (deep && item.is(TYPE_BLOCK)) {
            Cell* inner = new_block_on_stack(length_from_head(&item));
            Flow f = compose_block(&item, inner, deep, only, depth + 1);
            if (f != Flow::NORMAL) return f;
            inner->header = item.header;  // the nested block keeps its line break
            block::ks_append(out, inner);
            stack::pop(1);
        } else {
            block::ks_append(out, &item);
        }
    }
    stack::pop(1);
    return Flow::NORMAL;
}

Flow compose_native(const int32_t* refs) {
    Cell* value = arg(0);
    if (!value->is(TYPE_BLOCK)) {
        Cell expected{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_BLOCK), 0, 0};
        Cell got{uint32_t(TYPE_DATATYPE), uint32_t(value->type()), 0, 0};
        fire("script", "expect-val", &expected, &got);
    }
    Cell* out = new_block_on_stack(length_from_head(value));
    Flow f = compose_block(value, out, used(refs, 0), used(refs, 1), 0);
    if (f != Flow::NORMAL) return f;
    if (Cell* into = ref_arg(refs, 2)) return insert_into(into, out);
    return result(out);
}

// ---- print and prin ---------------------------------------------------------------------------

// Each call reduces a block into a buffer of its own on the data stack, so a
// print run while the block is reduced keeps its output and leaves the outer
// line's values alone; a throw drops the buffer with the call's cells.
Flow print_value(bool line_end) {
    Cell* value = arg(0);
    Cell* text;
    if (value->is(TYPE_STRING)) {
        text = stack::push(value);
        int32_t full = series::ks_full_length(text);
        if (int32_t(text->data1) > full) text->data1 = uint32_t(full);
    } else {
        if (value->is(TYPE_BLOCK)) {
            Cell* reduced = nullptr;
            Flow f = reduce_value(value, &reduced);
            if (f != Flow::NORMAL) return f;
            value = reduced;
        }
        text = stack::push(&none::value);
        string::make_at(text, 64, 1);
        actions::form(value, text, nullptr, mold::NO_LIMIT);
    }
    print::call_value_hooks(text, line_end);
    last_line_end = line_end;
    return result(&unset::value);
}

Flow print_native(const int32_t*) { return print_value(true); }
Flow prin_native(const int32_t*) { return print_value(false); }

// ---- bind and construct -------------------------------------------------------------------------

Flow bind_native(const int32_t* refs) {
    Cell* target = arg(0);
    Cell* source = arg(1);
    uint32_t ctx = source->data1;
    if (!ctx) fire("script", "not-defined", source);  // a word bound to no context
    if (!target->is(TYPE_BLOCK)) {
        Cell w = *target;
        context::bind_word(ctx, &w);
        return result(&w);
    }
    bool self = context::kind_of(ctx) == context::OBJECT;
    if (used(refs, 0)) target = block::clone(target, true, true);
    context::bind(target, ctx, self);
    return result(target);
}

Flow construct_native(const int32_t* refs) {
    object::derive(arg(0), ref_arg(refs, 0), used(refs, 1));
    return result(stack::top());
}

// ---- line breaks --------------------------------------------------------------------------------

inline void mark_line(Cell* c, bool on) {
    if (on) c->header |= FLAG_NEW_LINE;
    else c->header &= ~FLAG_NEW_LINE;
}

Flow new_line_native(const int32_t* refs) {
    Cell* position = arg(0);
    bool on = logic::get(arg(1));
    int32_t head = series::head_of(position);
    int32_t full = series::ks_full_length(position);
    Cell* skip = ref_arg(refs, 1);
    if (!used(refs, 0) && !skip) {
        if (head < full) mark_line(block::ks_abs_at(position, head), on);
        return result(position);
    }
    int32_t size = 1;
    if (skip) {
        size = int32_t(skip->data2);
        if (size <= 0) fire("script", "out-of-range", skip);
    }
    for (int32_t i = head; i < full; i++) {
        bool boundary = size == 1 || (i - head) % size == 0;
        mark_line(block::ks_abs_at(position, i), boundary == on);
    }
    return result(position);
}

Flow new_line_q_native(const int32_t*) {
    Cell* position = arg(0);
    int32_t head = series::head_of(position);
    bool marked = head < series::ks_full_length(position) &&
                  (block::ks_abs_at(position, head)->header & FLAG_NEW_LINE) != 0;
    Cell v = logic::make(marked);
    return result(&v);
}

void install() {
    set_fn(PRINT, &print_native);
    set_fn(PRIN, &prin_native);
    set_fn(REDUCE, &reduce_native);
    set_fn(COMPOSE, &compose_native);
    set_fn(BIND, &bind_native);
    set_fn(CONSTRUCT, &construct_native);
    set_fn(NEW_LINE, &new_line_native);
    set_fn(NEW_LINE_Q, &new_line_q_native);
}

}  // namespace

KRO_NATIVE_GROUP(install);

bool last_lf() { return last_line_end; }

}  // namespace kro::natives
