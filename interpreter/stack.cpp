#include "interpreter/stack.hpp"

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/arena.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/print.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"

namespace kro::stack {

Cell* bottom = nullptr;
Cell* arguments = nullptr;
Cell* top_ptr = nullptr;
Cell* limit = nullptr;

namespace detail {

Frame frames[CALL_FRAMES + RESERVE_FRAMES];
int32_t frame_top = 0;
uint8_t opener = 0;
int32_t frame_limit = CALL_FRAMES;

void overflow_frames() {
    // the reserve lets the error's own handling open what it needs
    frame_limit = CALL_FRAMES + RESERVE_FRAMES;
    mold::cycle_reset();
    fire("internal", "stack-overflow");
}

}  // namespace detail

using detail::frame_limit;
using detail::frame_top;
using detail::frames;
using detail::restore_context;

namespace {

Cell* hard_limit = nullptr;  // the reserve ends here
Cell* soft_limit = nullptr;  // where pushes stop normally

// The first throw of a value not caught yet: its call name and the expression
// it was made in. They name the error when no catch receives the value, also
// after a catch/name that did not want it has closed the thrower's frames.
struct ThrowOrigin {
    bool set = false;
    Cell name;
    Cell near;
};
ThrowOrigin throw_origin;

Cell body{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
Cell anon{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
Cell not_found{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};

// Back to the normal limits once an error's receiver, whose data-stack cells
// start at `base`, lies within them (one opened right at a limit does).
void restore_limits(Cell* base) {
    if (frame_top <= CALL_FRAMES) frame_limit = CALL_FRAMES;
    if (base <= soft_limit) limit = soft_limit;
}

// Closes every frame above frame `target` (which stays open), putting back
// the contexts on the way.
inline void close_above(int32_t target) {
    for (int32_t i = frame_top - 1; i > target; i--) restore_context(frames[i]);
    frame_top = target + 1;
}

// Unnamed frames, and the calls of library functions: errors and stack traces
// name the user's calls only.
bool anonymous(const Frame& f) {
    return f.symbol == 0 || f.symbol == int32_t(body.data2) || f.symbol == int32_t(anon.data2) ||
           (f.kind() == FUNCTION && (f.flags & LIBRARY));
}

// Whether a frame receives break/continue (loop) or return/exit thrown by the
// user's code or the library's (library).
inline bool receives(const Frame& f, bool loop, bool library) {
    if (loop) return f.kind() == LOOP && ((f.flags & LIBRARY) != 0) == library;
    return (f.flags & RETURN_TARGET) && (library || !(f.flags & LIBRARY));
}

Cell name_word(const Frame& f) {
    return Cell{uint32_t(TYPE_WORD), f.name_ctx, uint32_t(f.symbol), uint32_t(f.name_slot)};
}

// The value of a frame's name word, or null when its context cannot give one
// now (no values, a slot outside them, values of a call that has ended).
const Cell* name_value(const Frame& f) {
    if (!f.name_ctx || f.name_slot < 0) return nullptr;
    Cell* ctx = context::cell_of(f.name_ctx);
    if (!ctx->data2) return nullptr;
    if (ctx->header & context::FLAG_ON_STACK) {
        Cell* v = arena::ptr<Cell>(ctx->data2) + f.name_slot;
        return v >= bottom && v < top_ptr ? v : nullptr;
    }
    memory::Buffer* b = memory::buffer_of(ctx->data2);
    if (uint32_t(f.name_slot) >= b->used_bytes() / sizeof(Cell)) return nullptr;
    return b->cells() + f.name_slot;
}

// A frame the library's own statements opened, other than a function's call
// (a function of the user's that the library calls is the user's).
inline bool library_step(const Frame& f) { return (f.flags & BY_LIBRARY) && f.kind() != FUNCTION; }

bool listed(const Frame& f, int32_t level) {
    if (anonymous(f) || library_step(f)) return false;
    if (level > 1) return true;
    const Cell* v = name_value(f);
    return v && v->is(TYPE_FUNCTION);
}

Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }

// The collector's roots in the frames: the contexts of names and calls.
void mark_frames() {
    if (throw_origin.set) {
        collector::mark_value(&throw_origin.name);
        collector::mark_value(&throw_origin.near);
    }
    for (int32_t i = 0; i < frame_top; i++) {
        Frame& f = frames[i];
        if (f.name_ctx) collector::mark_context_node(&f.name_ctx);
        if (f.fn_ctx) {
            collector::mark_context_node(&f.fn_ctx);
            if (f.saved_values && !context::on_stack(f.fn_ctx)) collector::mark_block(&f.saved_values);
        }
    }
}

// An error no try frame receives: printed, then the process ends.
[[noreturn]] void uncaught(Cell* error) {
    Cell err = *error;
    while (frame_top > 0) restore_context(frames[--frame_top]);
    arguments = top_ptr = bottom;
    *push_cell() = err;
    Cell* buffer = push_cell();
    string::make_at(buffer, 64, 1);
    actions::form(bottom, buffer, nullptr, mold::NO_LIMIT);
    print::call_value_hooks(buffer, true);
    rt_error::end_process(-2);
}

}  // namespace

// ---- frames ----------------------------------------------------------------------------------------------

Frame* frame_at(int32_t index) { return index >= 0 && index < frame_top ? &frames[index] : nullptr; }

void mark_region() {
    Cell* args = arguments;
    Frame& f = detail::open(TRY, &anon);
    f.flags = REGION;
    arguments = args;
}

bool flag_caller() {
    if (frame_top < 2) return false;
    Frame& f = frames[frame_top - 2];
    if (f.flags & RETURN_TARGET) return false;
    f.flags |= RETURN_TARGET;
    return true;
}

void mark_interp() {
    if (frame_top > 0) frames[frame_top - 1].type |= EVALUATED;
}

bool eval_q(int32_t frame, bool only_top) {
    if (frame < 0 || frame >= frame_top) frame = frame_top - 1;
    for (int32_t i = frame; i >= 0; i--) {
        if (frames[i].type & EVALUATED) return true;
        if (only_top) return false;
    }
    return false;
}

void unwind_func_reset() {
    Frame& f = frames[--frame_top];
    restore_context(f);
    arguments = top_ptr = bottom + f.caller_args;
}

void unroll_frame() { unwind_func_reset(); }

void unwind_discard() {
    Frame& f = frames[--frame_top];
    restore_context(f);
    top_ptr = arguments;
    arguments = bottom + f.caller_args;
    if (frame_top == 0) arguments = top_ptr = bottom;
}

void unwind_to(int32_t depth) {
    while (frame_top > depth && frame_top > 0) restore_context(frames[--frame_top]);
}

void close_region() {
    Frame& f = frames[--frame_top];
    arguments = bottom + f.caller_args;
}

// ---- cells ------------------------------------------------------------------------------------------------

void detail::overflow_cells() {
    // The reserve gives the error's handling its room. The top stays where it
    // is: the cells below it may belong to the call that catches the error.
    if (limit < hard_limit) {
        limit = hard_limit;
        mold::cycle_reset();
        fire("internal", "stack-overflow");
    }
    // the reserve is exhausted too: nothing can be raised any more
    rt_error::fatal(19, KRO_CAPTURE_SITE());
}

void pop(int32_t n) {
    top_ptr -= n;
    if (top_ptr < bottom) top_ptr = bottom;
}

void set_last(const Cell* value) { copy_cell(value, arguments); }

void set_last_reset(const Cell* value) {
    copy_cell(value, arguments);
    top_ptr = arguments + 1;
}

Cell* reset() {
    top_ptr = arguments;
    return arguments;
}

void keep_error() {
    if (top_ptr > arguments && top()->is(TYPE_ERROR)) copy_cell(top(), arguments);
    top_ptr = arguments + 1;
}

// ---- names --------------------------------------------------------------------------------------------------

const Cell* body_word() { return &body; }
const Cell* anon_word() { return &anon; }
const Cell* not_found_word() { return &not_found; }

namespace {

// While the user's code runs, the library's own steps around it are passed
// by; an error the library's code raises itself names the step that raised it.
Cell innermost_name() {
    bool user = !(detail::opener & BY_LIBRARY);
    for (int32_t i = frame_top - 1; i >= 0; i--)
        if (!anonymous(frames[i]) && !(user && library_step(frames[i]))) return name_word(frames[i]);
    return not_found;
}

// An error's Where. While the library's code runs for a call of the user's
// code, the library function that call made, as if it were compiled: the
// first library function frame above those open when the user's statement
// began. Otherwise the call name (the innermost named call, or the first
// throw's).
Cell where_name() {
    int32_t from = throw_origin.set ? -1 : interp::library_call_frames();
    for (int32_t i = from < 0 ? frame_top : from; i < frame_top; i++) {
        const Frame& f = frames[i];
        if (f.kind() == FUNCTION && (f.flags & LIBRARY) && f.symbol != 0 && f.symbol != int32_t(body.data2) &&
            f.symbol != int32_t(anon.data2))
            return name_word(f);
    }
    return args::call_name();
}

}  // namespace

Cell get_call_name() {
    if (throw_origin.set) {
        throw_origin.set = false;
        return throw_origin.name;
    }
    return innermost_name();
}

void forget_throw_position() { throw_origin.set = false; }

void collect_calls(Cell* blk) {
    for (int32_t i = frame_top - 1; i > 0; i--) {
        const Frame& f = frames[i];
        if (anonymous(f)) continue;
        Cell w{uint32_t(TYPE_WORD), f.fn_ctx ? f.fn_ctx : context::global, uint32_t(f.symbol), uint32_t(-1)};
        int32_t slot = context::find_symbol(w.data1, f.symbol, true);
        w.data3 = uint32_t(slot);
        block::ks_append(blk, &w);
        Cell at = integer(int32_t(f.caller_args));
        block::ks_append(blk, &at);
    }
}

void collect_call_names(int32_t level, Cell* blk, int32_t end) {
    if (end > frame_top) end = frame_top;
    for (int32_t i = 0; i < end; i++) {
        if (!listed(frames[i], level)) continue;
        Cell w = name_word(frames[i]);
        block::ks_append(blk, &w);
    }
}

int32_t form_call_names(int32_t level, Cell* buffer, int32_t end, int32_t limit_left) {
    if (end > frame_top) end = frame_top;
    bool first = true;
    for (int32_t i = 0; i < end; i++) {
        if (!listed(frames[i], level)) continue;
        if (!first) {
            string::concatenate_ascii(buffer, " ", 1);
            limit_left--;
        }
        first = false;
        limit_left -= word::append_spelling(buffer, frames[i].symbol);
    }
    return limit_left;
}

// ---- throwing ------------------------------------------------------------------------------------------------

void throw_error(Cell* error) {
    if (frame_top > 0) {
        Cell name = where_name();
        if (word::any_word_type(name.type()) && name.data2 != not_found.data2) error::get_where(error, &name);
        Cell* st = error::field(error, error::STACK);
        if (!st->is(TYPE_BLOCK)) {
            // The names are taken now: the frames above the receiver close
            // below, and later calls write over them.
            *st = integer(frame_top);
            error::capture_stack(error);
        }
        int32_t i = frame_top - 1;
        while (i >= 0 && frames[i].kind() != TRY && frames[i].kind() != TRY_ALL) i--;
        if (i < 0) uncaught(error);
        Cell err = *error;
        close_above(i);
        const Frame& f = frames[i];
        frame_top = i;
        arguments = bottom + f.caller_args;
        top_ptr = bottom + f.inner;
        // A try native finds the error on top (it keeps it in its own slot 0
        // at once); a C++ region keeps its stack as it was. The cell is there
        // even for a receiver opened right at the limit: the reserve lies above.
        if (!(f.flags & REGION)) *top_ptr++ = err;
        restore_limits(bottom + f.inner);
    }
    frame::throw_code(code::ERROR);
}

// The side of the code that threw the last break, continue, return or exit:
// `do/trace` throws a return on from its caller's frame for that code.
bool last_exit_library = false;

Flow throw_break(bool continue_, const Cell* value) {
    Cell v = value ? *value : unset::value;
    bool library = last_exit_library = interp::library_code();
    int32_t i = frame_top - 2;  // the native's own frame is not a target
    for (; i >= 0; i--) {
        int k = frames[i].kind();
        if (k == TRY_ALL) break;
        if (receives(frames[i], true, library)) {
            close_above(i);
            arguments = bottom + frames[i].inner;
            *arguments = v;
            top_ptr = arguments + 1;
            return continue_ ? Flow::CONTINUE : Flow::BREAK;
        }
    }
    fire("throw", continue_ ? "continue" : "break");
}

Flow throw_return(bool from_do, const Cell* value) {
    Cell v = value ? *value : unset::value;
    bool library = from_do ? last_exit_library : interp::library_code();
    last_exit_library = library;
    int32_t i = from_do ? frame_top - 1 : frame_top - 2;
    for (; i >= 0; i--) {
        if (frames[i].kind() == TRY_ALL) break;
        if (receives(frames[i], false, library)) {
            close_above(i);
            arguments = bottom + frames[i].inner;
            *arguments = v;
            top_ptr = arguments + 1;
            return value ? Flow::RETURN : Flow::EXIT;
        }
    }
    fire("throw", "return");
}

Flow leave_frameless(bool loop, bool continue_, const Cell* value) {
    bool library = last_exit_library = interp::library_code();
    for (int32_t i = frame_top - 1; i >= 0; i--) {
        const Frame& f = frames[i];
        if (f.kind() == TRY_ALL) break;
        if (receives(f, loop, library)) {
            Cell v = value ? *value : unset::value;
            close_above(i);
            arguments = bottom + f.inner;
            *arguments = v;
            top_ptr = arguments + 1;
            return loop ? (continue_ ? Flow::CONTINUE : Flow::BREAK) : value ? Flow::RETURN : Flow::EXIT;
        }
    }
    return Flow::NORMAL;
}

Flow throw_value(const Cell* value, const Cell* name) {
    Cell v = *value;
    Cell n = name ? *name : none::value;
    if (!throw_origin.set) {
        throw_origin.name = where_name();
        throw_origin.near = error::current_expression();
        throw_origin.set = true;
    }
    int32_t i = frame_top - 2;
    for (; i >= 0; i--) {
        int k = frames[i].kind();
        if (k == TRY_ALL) break;
        if (k == CATCH) {
            close_above(i);
            arguments = bottom + frames[i].inner;
            arguments[0] = v;
            arguments[1] = n;
            top_ptr = arguments + 2;
            return Flow::THROW;
        }
    }
    gc::Rooted near(throw_origin.near);
    fire_near(near.get(), "throw", "throw", &v);
}

// ---- life ------------------------------------------------------------------------------------------------------

void init(uint32_t node) {
    memory::Buffer* b = memory::buffer_of(node);
    bottom = reinterpret_cast<Cell*>(b->head_ptr());
    hard_limit = bottom + b->size / sizeof(Cell);
    soft_limit = hard_limit - RESERVE_CELLS;
    body.data2 = uint32_t(symbol::make("<body>"));
    anon.data2 = uint32_t(symbol::make("<anon>"));
    not_found.data2 = uint32_t(symbol::make("<not-found>"));
    collector::mark_call_stack = &mark_frames;
    reset_all();
}

void reset_all() {
    while (frame_top > 0) restore_context(frames[--frame_top]);
    arguments = top_ptr = bottom;
    limit = soft_limit;
    frame_limit = CALL_FRAMES;
    throw_origin.set = false;
}

}  // namespace kro::stack
