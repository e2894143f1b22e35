// The interpreter's test bench: Kro text loaded by the tokenizer, a handful of
// test natives standing in for the natives table (if, either, loop, while,
// func, do, apply, comparisons, a recorder and a traced do) in the table's
// spare slots 108-120, action words and infix operators made from the actions'
// stack forms, the control natives in their own slots, and a runner that
// evaluates code the way the console does (inside a region that receives
// errors) and checks that the stacks come back as they were.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/native.hpp"
#include "datatypes/typeset.hpp"
#include "foundation/gc.hpp"
#include "interpreter/control.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"
#include "io/lexer.hpp"

namespace kro::testing_interp {

using namespace kro::testing_blocks;

// Kro text as a block (words bound to the global context, as load binds them).
inline Cell load(const std::string& text) {
    Cell out;
    lexer::ScanArgs args;
    lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(text.data()), text.size(), args, nullptr);
    return out;
}

// The one value a text holds (a spec block written with its brackets).
inline Cell load_one(const std::string& text) {
    Cell blk = load(text);
    return *block::at(&blk, 0);
}

inline Cell global(const char* name) {
    const Cell* v = context::get_global(symbol::make(name));
    return v ? *v : unset::value;
}
inline void set_global(const char* name, const Cell& value) { context::set_global(symbol::make(name), &value); }

// ---- the test natives -----------------------------------------------------------------------------

inline std::vector<std::string>& recorded() {
    static std::vector<std::string> r;
    return r;
}

namespace natives_detail {

inline Cell* arg(int i) { return stack::arguments + i; }

inline Flow if_native(const int32_t*) {
    if (!logic::is_true(arg(0))) {
        stack::set_last_reset(&none::value);
        return Flow::NORMAL;
    }
    Flow f = interp::eval_block(arg(1), true);
    stack::keep();
    return f;
}

inline Flow either_native(const int32_t*) {
    if (arg(0)->is(TYPE_UNSET)) fire("script", "no-return");
    Flow f = interp::eval_block(arg(logic::is_true(arg(0)) ? 1 : 2), true);
    stack::keep();
    return f;
}

// The loop protocol of interpreter/control.hpp.
inline Flow loop_native(const int32_t*) {
    int32_t n = int32_t(arg(0)->data2);
    Cell* body = arg(1);
    if (n < 1) {
        stack::set_last_reset(&none::value);
        return Flow::NORMAL;
    }
    stack::mark_loop(stack::body_word());
    stack::push(&unset::value);
    for (int32_t i = 0; i < n; i++) {
        Flow f = interp::eval_block(body, true);
        stack::keep();  // each round's value replaces the last one
        if (f == Flow::BREAK) break;
        if (f == Flow::CONTINUE) continue;
        if (f != Flow::NORMAL) return f;
    }
    stack::unwind_last();
    stack::keep();
    return Flow::NORMAL;
}

inline Flow while_native(const int32_t*) {
    Cell* cond = arg(0);
    Cell* body = arg(1);
    stack::mark_loop(stack::body_word());
    stack::push(&unset::value);
    for (;;) {
        Flow f = interp::eval_block(cond, true);
        stack::keep();
        if (f == Flow::BREAK || f == Flow::CONTINUE) fire("throw", "while-cond");
        if (f != Flow::NORMAL) return f;
        if (stack::arguments->is(TYPE_UNSET)) fire("script", "no-return");
        if (!logic::is_true(stack::arguments)) break;
        f = interp::eval_block(body, true);
        stack::keep();
        if (f == Flow::BREAK) break;
        if (f == Flow::CONTINUE) continue;
        if (f != Flow::NORMAL) return f;
    }
    stack::unwind();
    stack::set_last_reset(&unset::value);
    return Flow::NORMAL;
}

inline Flow func_native(const int32_t*) {
    uint32_t flags = function::validate_spec(arg(0));
    function::make_value(arg(0), arg(1), 0, 0, 0, flags);
    stack::set_last_reset(stack::top());
    return Flow::NORMAL;
}

inline Flow record_native(const int32_t*) {
    recorded().push_back(arg(0)->is(TYPE_UNSET) ? "unset" : mold_text(*arg(0), false, true));
    stack::keep();
    return Flow::NORMAL;
}

inline Flow do_native(const int32_t*) {
    Flow f = arg(0)->is(TYPE_BLOCK) ? interp::eval_block(arg(0), true) : interp::eval_value(arg(0), true);
    if (f != Flow::NORMAL) return f;
    if (!arg(0)->is(TYPE_BLOCK)) stack::set_last(stack::top());
    stack::keep();
    return Flow::NORMAL;
}

inline Flow trace_do_native(const int32_t*) {
    Cell* code = arg(1);
    Flow f = trace::traced(arg(0), [&] { return interp::eval_block(code, true); });
    if (f != Flow::NORMAL) return f;
    stack::keep();
    return Flow::NORMAL;
}

inline Flow apply_native(const int32_t* refs) {
    int mode = (refs[0] >= 0 ? interp::APPLY_ALL : interp::APPLY_SOME) | (refs[1] >= 0 ? interp::APPLY_SAFER : 0);
    Flow f = interp::apply(arg(0), arg(1), mode, stack::anon_word());
    if (f != Flow::NORMAL) return f;
    stack::set_last_reset(stack::top());
    return Flow::NORMAL;
}

template <int Op>
inline Flow compare_native(const int32_t*) {
    actions::compare_to_logic(Op);
    return Flow::NORMAL;
}

// The name of the running call and the call names a stack trace would list.
inline Flow calls_native(const int32_t*) {
    Cell out;
    block::make_at(&out, 8);
    stack::set_last(&out);
    stack::collect_call_names(2, stack::arguments, stack::frame_count());
    stack::keep();
    return Flow::NORMAL;
}

}  // namespace natives_detail

// Defines a word as a native! of a slot with a spec written in Kro.
inline void define_native(const char* name, int32_t slot, interp::NativeFn fn, const char* spec) {
    gc::Rooted s(load_one(spec));
    if (!native::native_entry(slot)) interp::register_native(slot, fn, s.get());
    Cell pair = block_of({*native::native_spec(slot), integer(slot)});
    Cell value{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_NATIVE), 0, 0};
    native::make(&value, &pair, TYPE_NATIVE);
    set_global(name, value);
}

inline void define_action(const char* name, int32_t slot, const char* spec) {
    gc::Rooted s(load_one(spec));
    if (!native::action_entry(slot)) interp::register_action(slot, s.get());
    Cell pair = block_of({*native::action_spec(slot), integer(slot)});
    Cell value{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_ACTION), 0, 0};
    native::make(&value, &pair, TYPE_ACTION);
    set_global(name, value);
}

inline void define_op(const char* name, const char* of) {
    Cell fn = global(of);
    Cell value{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OP), 0, 0};
    native::make(&value, &fn, TYPE_OP);
    set_global(name, value);
}

// The words every interpreter test uses, made once.
inline void setup_words();
inline void setup() {
    static bool done = false;
    if (done) return;
    done = true;
    try {
        setup_words();
    } catch (const Thrown&) {
        ADD_FAILURE() << "setting up the interpreter's words raised " << last_raised().category << "/"
                      << last_raised().id;
    }
}

inline void setup_words() {
    // the datatype words hold their datatypes, as the boot data leaves them
    for (int32_t id = 1; id <= datatype::highest_id(); id++) {
        if (!datatype::registered(id)) continue;
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(id), 0, 0};
        set_global(datatype::row(id).name, dt);
    }
    set_global("none", none::value);
    set_global("true", logic::true_value);
    set_global("false", logic::false_value);
    if (global("any-type!").is(TYPE_UNSET)) {
        Cell all;
        block::make_at(&all, 1);
        set_global("any-type!", *typeset::make_at(&all, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF));
    }
    using namespace natives_detail;
    define_native("try", natives::TRY, &natives::try_native, "[block [block!] /all /keep]");
    define_native("break", natives::BREAK, &natives::break_native, "[/return value [any-type!]]");
    define_native("continue", natives::CONTINUE, &natives::continue_native, "[]");
    define_native("exit", natives::EXIT, &natives::exit_native, "[]");
    define_native("return", natives::RETURN, &natives::return_native, "[value [any-type!]]");
    define_native("throw", natives::THROW, &natives::throw_native, "[value [any-type!] /name word [word!]]");
    define_native("catch", natives::CATCH, &natives::catch_native, "[block [block!] /name word [word! block!]]");
    define_native("if", 108, &if_native, "[cond [any-type!] then-blk [block!]]");
    define_native("either", 109, &either_native, "[cond [any-type!] true-blk [block!] false-blk [block!]]");
    define_native("loop", 110, &loop_native, "[count [integer!] body [block!]]");
    define_native("while", 111, &while_native, "[cond [block!] body [block!]]");
    define_native("func", 112, &func_native, "[spec [block!] body [block!]]");
    define_native("record", 113, &record_native, "[value [any-type!]]");
    define_native("do", 114, &do_native, "[value [any-type!]]");
    define_native("trace-do", 115, &trace_do_native, "[tracer [function!] code [block!]]");
    define_native("apply", 116, &apply_native, "[fn [any-type!] args [block!] /all /safer]");
    define_native("equal?", 117, &compare_native<actions::EQUAL>, "[value1 [any-type!] value2 [any-type!]]");
    define_native("lesser?", 118, &compare_native<actions::LESSER>, "[value1 [any-type!] value2 [any-type!]]");
    define_native("greater?", 119, &compare_native<actions::GREATER>, "[value1 [any-type!] value2 [any-type!]]");
    define_native("calls", 120, &calls_native, "[]");
    define_action("make", A_MAKE, "[type [any-type!] spec [any-type!]]");
    define_action("to", A_TO, "[type [any-type!] spec [any-type!]]");
    define_action("form", A_FORM, "[value [any-type!] /part limit [integer!]]");
    define_action("mold", A_MOLD, "[value [any-type!] /only /all /flat /part limit [integer!]]");
    define_action("add", A_ADD, "[value1 value2]");
    define_action("subtract", A_SUBTRACT, "[value1 value2]");
    define_action("multiply", A_MULTIPLY, "[value1 value2]");
    define_action("divide", A_DIVIDE, "[value1 value2]");
    define_action("append", A_APPEND, "[series value [any-type!] /part length /only /dup count [integer!]]");
    define_action("insert", A_INSERT, "[series value [any-type!] /part length /only /dup count [integer!]]");
    define_action("change", A_CHANGE, "[series value [any-type!] /part range /only /dup count [integer!]]");
    define_action("pick", A_PICK, "[series index]");
    define_action("poke", A_POKE, "[series index value [any-type!]]");
    define_action("length?", A_LENGTH_Q, "[series]");
    define_action("copy", A_COPY, "[value /part length /deep /types kind]");
    define_action("head", A_HEAD, "[series]");
    define_action("next", A_NEXT, "[series]");
    define_action("clear", A_CLEAR, "[series]");
    define_action("find", A_FIND,
                  "[series value [any-type!] /part length /only /case /same /any /with wild /skip size /last "
                  "/reverse /tail /match]");
    define_op("+", "add");
    define_op("-", "subtract");
    define_op("*", "multiply");
    define_op("/", "divide");
    define_op("=", "equal?");
    define_op("<", "lesser?");
    define_op(">", "greater?");
}

// ---- running code ----------------------------------------------------------------------------------

// Evaluates Kro text as the console would: inside a region that receives
// errors. Answers the molded result, or "error category/id". Checks that the
// frames, `arguments` and the top come back as they were.
inline std::string run(const std::string& code, std::string* formed_error = nullptr) {
    setup();
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    int32_t frames = stack::frame_count();
    gc::Rooted blk(load(code));
    Flow f = Flow::NORMAL;
    uint32_t caught = frame::catch_region(code::ERROR, [&] { f = interp::eval_block(blk.get(), false); });
    std::string out;
    EXPECT_EQ(stack::frame_count(), frames) << "frames left open by: " << code;
    EXPECT_EQ(stack::arguments, args) << "arguments not restored by: " << code;
    if (caught) {
        EXPECT_EQ(caught, code::ERROR);
        EXPECT_EQ(stack::top_ptr, top) << "data stack not restored by: " << code;
        out = "error " + last_raised().category + "/" + last_raised().id;
        if (formed_error) *formed_error = form_text(*raised_error());
    } else {
        EXPECT_EQ(f, Flow::NORMAL) << code;
        EXPECT_EQ(stack::top_ptr, top + 1) << "one result expected from: " << code;
        Cell* r = stack::top_ptr - 1;
        out = r->is(TYPE_UNSET) ? "unset" : mold_text(*r, false, true);
    }
    stack::top_ptr = top;
    stack::arguments = args;
    return out;
}

struct Case {
    const char* code;
    const char* expected;
};

}  // namespace kro::testing_interp
