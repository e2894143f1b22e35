// The interpreter's test bench: Kro text loaded by the tokenizer, the natives,
// actions and operators the runtime made from their specs, a few test natives
// in the table's spare slots 118-120 (a recorder, a traced evaluation, the
// call names), and a runner that evaluates code the way the console does
// (inside a region that receives errors) and checks that the stacks come back
// as they were.
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
#include "interpreter/natives.hpp"
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

inline Flow record_native(const int32_t*) {
    recorded().push_back(arg(0)->is(TYPE_UNSET) ? "unset" : mold_text(*arg(0), false, true));
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

// `apply` stands in its slot until its native is built.
inline Flow apply_native(const int32_t* refs) {
    int mode = (refs[0] >= 0 ? interp::APPLY_ALL : interp::APPLY_SOME) | (refs[1] >= 0 ? interp::APPLY_SAFER : 0);
    Flow f = interp::apply(arg(0), arg(1), mode, stack::anon_word());
    if (f != Flow::NORMAL) return f;
    stack::set_last_reset(stack::top());
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
    // the natives, actions and operators are made at runtime initialisation;
    // the logic words and none come from the boot program, which is not run here
    set_global("none", none::value);
    set_global("true", logic::true_value);
    set_global("false", logic::false_value);
    using namespace natives_detail;
    define_native("record", 118, &record_native, "[value [any-type!]]");
    define_native("trace-do", 119, &trace_do_native, "[tracer [function!] code [block!]]");
    define_native("calls", 120, &calls_native, "[]");
    if (!natives::implemented(107)) natives::set_fn(107, &apply_native);
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
