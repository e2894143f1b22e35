#include "interpreter/control.hpp"

#include "datatypes/block.hpp"
#include "datatypes/error.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"

namespace kro::natives {

namespace {

// Whether a throw's name matches a catch's /name argument (a word, or a block
// of words; a block item that is not a word raises when reached).
bool name_matches(const Cell& thrown, const Cell* wanted) {
    if (wanted->is(TYPE_BLOCK)) {
        Cell list = *wanted;
        for (int32_t i = 0; i < block::length(&list); i++) {
            Cell item = *block::at(&list, i);
            if (!item.is(TYPE_WORD)) {
                Cell refinement{uint32_t(TYPE_REFINEMENT), 0, uint32_t(symbol::make("name")), uint32_t(-1)};
                fire("script", "invalid-refine-arg", &refinement, &list);
            }
            if (thrown.is(TYPE_WORD) && symbol::same_word(int32_t(item.data2), int32_t(thrown.data2))) return true;
        }
        return false;
    }
    return thrown.is(TYPE_WORD) && symbol::same_word(int32_t(wanted->data2), int32_t(thrown.data2));
}

}  // namespace

Flow break_native(const int32_t* refs) { return stack::throw_break(false, ref_arg(refs, 0)); }

Flow continue_native(const int32_t*) { return stack::throw_break(true, nullptr); }

Flow exit_native(const int32_t*) { return stack::throw_return(false, nullptr); }

Flow return_native(const int32_t*) { return stack::throw_return(false, stack::arguments); }

Flow throw_native(const int32_t* refs) {
    Cell* a = stack::arguments;
    if (trace::tracing) {
        Flow f = trace::fire(trace::THROW, nullptr, -1, nullptr, a);
        if (f != Flow::NORMAL) return f;
    }
    Cell* name = ref_arg(refs, 0);
    return stack::throw_value(a, name ? name : &none::value);
}

Flow catch_native(const int32_t* refs) {
    Cell* a = stack::arguments;
    int32_t depth = stack::frame_count();
    stack::mark_catch(stack::body_word());
    Flow f = interp::eval_block(a, true);
    if (f == Flow::NORMAL) {
        stack::unwind_last();
        stack::keep();
        return Flow::NORMAL;
    }
    if (f != Flow::THROW) return f;
    // the thrower left the catch frame open with the value and its name in it
    gc::Rooted value(stack::arguments[0]), name(stack::arguments[1]);
    stack::unwind_to(depth);
    stack::arguments = a;
    stack::top_ptr = a + 2 > stack::top_ptr ? a + 2 : stack::top_ptr;
    if (Cell* wanted = ref_arg(refs, 0)) {
        if (!name_matches(name.cell, wanted)) return stack::throw_value(value.get(), name.get());
    }
    stack::forget_throw_position();
    if (trace::tracing) {
        Flow t = trace::fire(trace::CATCH, nullptr, -1, nullptr, value.get());
        if (t != Flow::NORMAL) return t;
    }
    stack::set_last_reset(value.get());
    return Flow::NORMAL;
}

Flow try_native(const int32_t* refs) {
    Cell* a = stack::arguments;
    bool all = refs[0] >= 0, keep = refs[1] >= 0;
    int32_t depth = stack::frame_count();
    // Opened outside the handler: a stack overflow raised by the opening
    // itself belongs to an outer receiver, which has closed this call's frames.
    if (all) stack::mark_try_all(stack::body_word());
    else stack::mark_try(stack::body_word());
    Flow f;
    try {
        f = interp::eval_block(a, true);
    } catch (const Thrown&) {
        if (flow::is_status(runtime_context.thrown_code)) return flow::caught();
        if (runtime_context.thrown_code != code::ERROR) throw;
        runtime_context.thrown_code = 0;
        // the error's thrower closed the frames down to this one and pushed the
        // error; anything thrown another way is closed here
        if (stack::frame_count() > depth) stack::unwind_to(depth);
        stack::arguments = a;
        if (stack::top_ptr <= a || !stack::top()->is(TYPE_ERROR)) {
            if (stack::top_ptr <= a) stack::top_ptr = a + 1;
            stack::push(raised_error());
        }
        stack::keep_error();
        if (keep) error::capture_stack(a);
        return Flow::NORMAL;
    }
    if (f != Flow::NORMAL) return f;
    stack::unwind_last();
    stack::keep();
    return Flow::NORMAL;
}

}  // namespace kro::natives

namespace kro::natives {
namespace {
void install_control() {
    set_fn(TRY, &try_native);
    set_fn(BREAK, &break_native);
    set_fn(CONTINUE, &continue_native);
    set_fn(EXIT, &exit_native);
    set_fn(RETURN, &return_native);
    set_fn(THROW, &throw_native);
    set_fn(CATCH, &catch_native);
}
}  // namespace
KRO_NATIVE_GROUP(install_control);
}  // namespace kro::natives
