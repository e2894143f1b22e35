// The function makers (func, function, does, has: slots 14-17) and `do`
// (slot 20): a block, a paren, a string of code, a file or URL (through the
// library's do-file), a path, an error (raised), or any other value evaluated
// as a one-value expression; /next one expression at a time, /expand through
// the preprocessor, /trace under a tracer function.
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"
#include "io/lexer.hpp"

namespace kro::natives {

namespace {

constexpr int32_t FUNC = 14, FUNCTION = 15, DOES = 16, HAS = 17, DO = 20;

Cell local_refinement{uint32_t(TYPE_REFINEMENT), 0, 0, uint32_t(-1)};
Cell do_file_word{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
Cell expand_word{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
int32_t preprocessor_symbol = 0;

// A head past the tail (the block was cut through another value) reads as the tail.
inline void clamp(Cell* series) {
    int32_t full = series::ks_full_length(series);
    if (int32_t(series->data1) > full) series->data1 = uint32_t(full);
}

// The function value made from spec and body becomes the result.
Flow make_function(Cell* spec, Cell* body) {
    clamp(spec);
    clamp(body);
    uint32_t flags = function::validate_spec(spec);
    function::make_value(spec, body, 0, 0, 0, flags);
    return result(stack::top());
}

Flow func_native(const int32_t*) { return make_function(arg(0), arg(1)); }

Flow function_native(const int32_t*) {
    Cell* body = arg(1);
    clamp(arg(0));
    Cell* spec = block::clone(arg(0), false, false);  // one level: the locals are added to the copy
    function::collect_locals(spec, body);
    return make_function(spec, body);
}

Flow does_native(const int32_t*) {
    Cell* spec = block::push_only(0);
    return make_function(spec, arg(0));
}

Flow has_native(const int32_t*) {
    clamp(arg(0));
    Cell* spec = block::clone(arg(0), false, false);
    block::ks_insert_value(spec, &local_refinement, false, false);
    return make_function(spec, arg(1));
}

// ---- do ----------------------------------------------------------------------------------------

// A function of the library (or of an object of it) called with these values;
// internal/not-done while the library does not define it.
Flow call_library(const Cell* fn, const Cell* name, const Cell* values, int32_t n) {
    if (!fn || !(fn->is(TYPE_FUNCTION) || fn->is(TYPE_ROUTINE) || fn->is(TYPE_NATIVE))) fire("internal", "not-done");
    Cell f = *fn;
    return interp::call_value(&f, values, n, name, 0);
}

// The preprocessor's expansion of a block (pushed).
Flow expand(const Cell* block) {
    const Cell* pre = context::get_global(preprocessor_symbol);
    const Cell* fn = nullptr;
    if (pre && pre->is(TYPE_OBJECT)) {
        int32_t slot = context::find_symbol(pre->data1, int32_t(expand_word.data2), true);
        if (slot >= 0) fn = context::values(pre->data1) + slot;
    }
    Cell values[2] = {*block, none::value};
    return call_library(fn, &expand_word, values, 2);
}

// Raises an error value as fire raises the ones it makes: it becomes the error
// raised last, the tracer hears of it, and it unwinds to the nearest try.
[[noreturn]] void raise_value(const Cell* err) {
    Cell* slot = error::raised_slot();
    *slot = *err;
    if (raise::trace_error) {
        uint32_t pending = runtime_context.thrown_code;
        runtime_context.thrown_code = 0;
        raise::trace_error(slot);
        runtime_context.thrown_code = pending;
    }
    raise::throw_error(slot);
    frame::throw_code(code::ERROR);
}

// Evaluates the block in slot 0 (already clamped) as `do` does; the result
// into slot 0.
Flow do_block(const int32_t* refs) {
    Cell* a = stack::arguments;
    if (used(refs, 0)) {
        Flow f = expand(a);
        if (f != Flow::NORMAL) return f;
        *a = *stack::top();
        stack::keep();
    }
    if (Cell* position = ref_arg(refs, 2)) {
        word::value_cell(position);  // an unbound word raises here, before anything runs
        Flow f = interp::eval_next(a);  // moves a's index past the expression
        if (f != Flow::NORMAL) return f;
        Cell value = *stack::top();
        Cell at = *a;
        word::set(position, &at);
        return result(&value);
    }
    Flow f = interp::eval_block(a, true);
    if (f != Flow::NORMAL) return f;
    stack::keep();
    return Flow::NORMAL;
}

Flow do_value(const int32_t* refs) {
    Cell* a = stack::arguments;
    switch (a->type()) {
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            clamp(a);
            return do_block(refs);
        case TYPE_STRING: {
            gc::Rooted code;
            lexer::ScanArgs scan;
            lexer::scan_string(code.get(), a, -1, scan, nullptr);
            *a = code.cell;
            return do_block(refs);
        }
        case TYPE_FILE:
        case TYPE_URL: {
            Cell* args = ref_arg(refs, 1);
            Cell values[3] = {*a, none::value, args ? *args : none::value};
            Flow f = call_library(context::get_global(int32_t(do_file_word.data2)), &do_file_word, values, 3);
            if (f != Flow::NORMAL) return f;
            return result(stack::top());
        }
        case TYPE_ERROR:
            raise_value(a);
        default: {
            Cell v = *a;
            Flow f = interp::eval_value(&v, true);
            if (f != Flow::NORMAL) return f;
            return result(stack::top());
        }
    }
}

Flow do_native(const int32_t* refs) {
    Cell* tracer = ref_arg(refs, 3);
    if (!tracer) return do_value(refs);
    // return inside the traced code stops at the caller's frame, so that the
    // tracer's end event comes first; it goes on from there afterwards
    int32_t caller = stack::frame_count() - 2;
    bool flagged = stack::flag_caller();
    struct Unflag {
        bool on;
        int32_t frame;
        ~Unflag() {
            if (on && stack::frame_count() > frame) stack::clear_return_flag(frame);
        }
    } unflag{flagged, caller};
    Flow f = trace::traced(tracer, [&] { return do_value(refs); });
    if (flagged) {
        stack::clear_return_flag(caller);
        unflag.on = false;
        // (a return of the user's code may have passed the caller by, a library call)
        if ((f == Flow::RETURN || f == Flow::EXIT) && stack::frame_count() - 1 == caller)
            return stack::throw_return(true, f == Flow::RETURN ? stack::arguments : nullptr);
    }
    if (f != Flow::NORMAL) return f;
    stack::keep();
    return Flow::NORMAL;
}

void install() {
    local_refinement.data2 = uint32_t(symbol::make("local"));
    do_file_word.data2 = uint32_t(symbol::make("do-file"));
    expand_word.data2 = uint32_t(symbol::make("expand"));
    preprocessor_symbol = symbol::make("preprocessor");
    set_fn(FUNC, &func_native);
    set_fn(FUNCTION, &function_native);
    set_fn(DOES, &does_native);
    set_fn(HAS, &has_native);
    set_fn(DO, &do_native);
}

}  // namespace

KRO_NATIVE_GROUP(install);

}  // namespace kro::natives
