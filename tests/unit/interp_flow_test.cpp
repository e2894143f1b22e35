// Non-local exits: break, continue, return, exit and throw through nested
// frames and the barrier rules, errors unwinding to try frames with the stacks
// and the function contexts restored, statuses crossing C++ code that calls
// the language back, and the overflow of the stacks.
#include <cstring>

#include "datatypes/context.hpp"
#include "foundation/stack_guard.hpp"
#include "interp_fixtures.hpp"
#include "output_capture.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

void check_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(run(c.code), c.expected) << c.code;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

TEST(InterpFlow, BreakAndContinue) {
    check_cases({
        {"loop 3 [break]", "unset"},
        {"loop 3 [break/return 7]", "7"},
        {"n: 0 loop 5 [n: n + 1 if n = 2 [break] 1] n", "2"},
        {"loop 3 [4]", "4"},
        {"loop 3 [if true [continue] 5]", "unset"},  // the last round ended by continue
        {"n: 0 loop 5 [n: n + 1 if n > 2 [continue] 5]", "unset"},
        {"n: 0 m: 0 loop 5 [n: n + 1 if n > 2 [continue] m: m + 1] m * 10 + n", "25"},
        // the inner loop only
        {"n: 0 loop 3 [loop 5 [break] n: n + 1] n", "3"},
        {"n: 0 loop 3 [n: n + 1 loop 2 [if n = 2 [break]]] n", "3"},
        // break in a function called inside a loop leaves that loop
        {"n: 0 f: func [][break] loop 3 [n: n + 1 f] n", "1"},
        {"n: 0 loop 3 [n: n + 1 do [if true [break/return n]]]", "1"},
        {"x: 0 while [x < 3] [x: x + 1] x", "3"},
        {"while [true] [break/return 5]", "unset"},
        {"x: 0 while [x < 10] [x: x + 1 if x = 4 [break]] x", "4"},
        {"while [break] [1]", "error throw/while-cond"},
        {"while [continue] [1]", "error throw/while-cond"},
        {"break", "error throw/break"},
        {"continue", "error throw/continue"},
        {"f: func [][break] f", "error throw/break"},
    });
}

TEST(InterpFlow, ReturnAndExit) {
    check_cases({
        {"f: func [][return 5 6] f", "5"},
        {"f: func [][exit 6] f", "unset"},
        {"f: func [x][loop 3 [if true [return x * 2]] 9] f 4", "8"},
        {"f: func [][while [true] [return 3]] f", "3"},
        // return from a function called inside do returns from that function, not from do
        {"g: func [][return 2 3] f: func [][do [g] 4] f", "4"},
        {"f: func [][do [return 1] 2] f", "1"},
        {"f: func [n][if n > 0 [return f n - 1] n] f 5", "0"},
        {"g: func [][return 1] f: func [][g + 10] f", "11"},
        {"return 1", "error throw/return"},
        {"exit", "error throw/return"},
        {"loop 2 [return 1]", "error throw/return"},
    });
}

TEST(InterpFlow, BarriersStopEveryExit) {
    check_cases({
        {"n: 0 loop 3 [n: n + 1 try [break]] n", "1"},  // try is no barrier
        {"n: 0 loop 3 [n: n + 1 try/all [break]] n", "3"},
        {"loop 1 [x: try/all [break]] x/id", "break"},
        {"loop 1 [x: try/all [continue]] x/id", "continue"},
        {"f: func [][try/all [return 1] 2] f", "2"},
        {"f: func [][x: try/all [exit] x/id] f", "return"},
        {"catch [try/all [throw 1] 2]", "2"},
        {"catch [x: try/all [throw 1] x/id]", "throw"},
        {"try/all [1 / 0]", "make error! [code: 400 type: 'math id: 'zero-divide arg1: none arg2: none arg3: "
                            "none near: [1 / 0] where: '/ stack: [] files: none]"},
        {"try/all [1 + 1]", "2"},
    });
}

TEST(InterpFlow, ThrowAndCatch) {
    check_cases({
        {"catch [throw 1]", "1"},
        {"catch [1 + 1]", "2"},
        {"catch [loop 3 [throw 7]]", "7"},
        {"f: func [][throw 5] catch [f 1]", "5"},
        {"f: func [][loop 2 [g]] g: func [][throw 8] catch [f]", "8"},
        {"catch/name [throw/name 1 'a] 'a", "1"},
        {"catch/name [throw/name 1 'A] [b a]", "1"},  // names compare ignoring case
        {"catch/name [throw/name 1 'a] [a 1]", "1"},  // items checked in order until one matches
        {"catch/name [throw/name 1 'a] [1 a]", "error script/invalid-refine-arg"},
        {"catch/name [throw 1] 'a", "error throw/throw"},
        {"catch [catch/name [throw 1] 'a]", "1"},  // an unnamed throw passes a named catch
        {"catch/name [catch/name [throw/name 1 'b] 'a] 'b", "1"},
        {"catch [catch/name [throw/name 3 'b] 'a 4]", "3"},
        {"throw 1", "error throw/throw"},
        {"catch [1 / 0]", "error math/zero-divide"},  // errors pass through catch
        {"f: func [][throw 1] f", "error throw/throw"},
    });
}

TEST(InterpFlow, TryReceivesErrors) {
    check_cases({
        {"try [1 + 1]", "2"},
        {"e: try [1 / 0] e/id", "zero-divide"},
        {"e: try [no-such-thing-q] e/id", "no-value"},
        {"f: func [x][x / 0] e: try [f 5] e/where", "/"},
        {"n: 0 loop 3 [try [n: n + 1 1 / 0]] n", "3"},
        {"try [try [1 / 0] 5]", "5"},
        {"e: try [catch [1 / 0]] e/id", "zero-divide"},
        {"f: func [][try [return 4] 5] f", "4"},
        {"n: 0 loop 3 [n: n + 1 try [continue] n: 9] n", "3"},
        // a function context switched for a call is put back when an error leaves it
        {"f: func [n][if n = 3 [w: 'n 1 / 0] f n + 1] try [f 0] do w", "error script/not-in-context"},
        {"f: func [n][if n = 3 [1 / 0] f n + 1] try [f 0] f: func [a][a] f 7", "7"},
    });
}

// A caught throw leaves no remembered position: a later error names its own call.
TEST(InterpFlow, CaughtThrowLeavesNoStalePosition) {
    std::string text;
    run("catch [throw 1] g: func [][h] h: func [][1 / 0] g", &text);
    EXPECT_EQ(text.substr(0, text.find("*** Near")), "*** Math Error: attempt to divide by zero\n*** Where: /\n");
    run("f: func [][catch/name [catch/name [throw/name 1 'b] 'a] 'b] f 1 / 0", &text);
    EXPECT_EQ(text.substr(0, text.find("*** Near")), "*** Math Error: attempt to divide by zero\n*** Where: /\n");
    // an uncaught throw names the call where it was thrown
    run("f: func [][throw 1] f", &text);
    EXPECT_EQ(first_line(text.substr(text.find("*** Where"))), "*** Where: throw");
}

// The language called back from C++ code (a sort comparator, a change handler)
// ends its exits there as exceptions, which become statuses again where the
// evaluator called that code.
TEST(InterpFlow, ExitsCrossCodeThatCallsBack) {
    check_cases({
        {"sort/compare [3 1 2] func [a b][a < b]", "[1 2 3]"},
        {"sort/compare [3 1 2] func [a b][a > b]", "[3 2 1]"},
        {"n: 0 loop 3 [n: n + 1 sort/compare [3 1 2] func [a b][break]] n", "1"},
        {"n: 0 loop 3 [n: n + 1 sort/compare [3 1 2] func [a b][continue] n: 9] n", "3"},
        {"catch [sort/compare [3 1 2] func [a b][throw 7]]", "7"},
        {"f: func [][sort/compare [3 1 2] func [a b][return true] 6] f", "6"},  // returns from the comparator
        {"e: try [sort/compare [2 1] func [a b][1 / 0]] e/id", "zero-divide"},
        {"log: copy [] o: make object! [a: 1 on-change*: func [w old new][append log new]] o/a: 5 log", "[5]"},
        {"log: copy [] o: make object! [a: 1 on-change*: func [w old new][append log old]] o/a: 5 o/a: 6 log",
         "[1 5]"},
        {"o: make object! [a: 1 on-change*: func [w old new][break]] n: 0 loop 3 [n: n + 1 o/a: 5] n", "1"},
        {"o: make object! [a: 1 on-change*: func [w old new][throw new]] catch [o/a: 8 9]", "8"},
        {"o: make object! [a: 1 on-change*: func [w old new][1 / 0]] e: try [o/a: 2] e/id", "zero-divide"},
    });
}

namespace {

struct Deep {
    const char* code;
    std::string result;
    std::string formed;
};

void run_deep(void* p) {
    auto* d = static_cast<Deep*>(p);
    d->result = run(d->code, &d->formed);
}

// Runs code on a thread with the runtime's big stack and its guard, as the process does.
Deep deep(const char* code) {
    Deep d{code, "", ""};
    machine_stack::run_on_big_stack(&run_deep, &d);
    return d;
}

}  // namespace

TEST(InterpFlow, RecursionEndsInStackOverflowWithoutACrash) {
    setup();
    // call frames run out first
    Deep frames = deep("f: func [n][f n + 1] f 1");
    EXPECT_EQ(frames.result, "error internal/stack-overflow");
    EXPECT_EQ(first_line(frames.formed), "*** Internal Error: stack overflow") << "the error can still be formed";
    // data-stack cells run out first
    Deep cells = deep("g: func [n /local a b c d e f h i j k l m o p q r s t u v w x y z][g n + 1] g 1");
    EXPECT_EQ(cells.result, "error internal/stack-overflow");
    // the stacks are usable again afterwards, the limits back where they were
    EXPECT_EQ(run("f: func [n][either n = 0 [0][1 + f n - 1]] f 100"), "100");
    EXPECT_EQ(deep("f: func [n][f n + 1] f 1").result, "error internal/stack-overflow");
    // with a tracer watching errors, raising the overflow does not overflow again
    recorded().clear();
    Deep traced = deep("t: func [e c o v r f][[error] record v/id] f: func [n][f n + 1] trace-do :t [f 1]");
    EXPECT_EQ(traced.result, "error internal/stack-overflow");
    EXPECT_TRUE(recorded().empty()) << "the overflow is not reported to the tracer";
    EXPECT_FALSE(trace::installed);
}

TEST(InterpFlow, AnErrorNothingReceivesEndsTheProcess) {
    setup();
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            gc::Rooted code(load("f: func [][1 / 0] f"));
            Flow f = interp::eval_block(code.get(), false);
            (void)f;
        },
        testing::ExitedWithCode(254), "\\*\\*\\* Math Error: attempt to divide by zero\n\\*\\*\\* Where: /");
}

// The frames and their names, as error reports and the debugging tools see them.
TEST(InterpFlow, CallNames) {
    check_cases({
        {"f: func [][calls] f", "[f calls]"},
        {"g: func [][calls] f: func [][loop 1 [g]] f", "[f loop g calls]"},
        {"f: func [][try [calls]] f", "[f try calls]"},
    });
    std::string text;
    run("h: func [][1 / 0] g: func [][h] f: func [][loop 1 [g]] f", &text);
    EXPECT_EQ(text.substr(text.find("*** Stack")), "*** Stack: f g h") << "only functions at trace level 1";
}

TEST(InterpFlow, FramesAndReturnTargets) {
    setup();
    int32_t base = stack::frame_count();
    stack::mark_native(stack::anon_word());
    stack::mark_interp_native(stack::anon_word());
    EXPECT_TRUE(stack::eval_q(-1, true));
    stack::mark_native(stack::anon_word());
    EXPECT_FALSE(stack::eval_q(-1, true));
    EXPECT_TRUE(stack::eval_q(-1, false)) << "a frame below was opened by the evaluator";
    EXPECT_TRUE(stack::flag_caller());
    EXPECT_FALSE(stack::flag_caller()) << "already flagged";
    EXPECT_TRUE(stack::frame_at(stack::frame_count() - 2)->flags & stack::RETURN_TARGET);
    stack::unwind_to(base);
    EXPECT_EQ(stack::frame_count(), base);

    // the calls a debugger lists: name words bound for lookup, and where each call's caller had its arguments
    stack::mark_interp_native(stack::anon_word());
    Cell named = context::add_global(symbol::make("outer-call"), true, false);
    stack::mark_native(&named);
    gc::Rooted listed;
    block::make_at(listed.get(), 4);
    stack::collect_calls(listed.get());
    EXPECT_EQ(mold_text(listed.cell),
              "[outer-call " + std::to_string(stack::frame_at(stack::frame_count() - 1)->caller_args) + "]");
    stack::unwind_to(base);

    // closing forms: where the top ends and whose slot 0 receives the result
    Cell* outer_args = stack::arguments;
    Cell* outer_top = stack::top_ptr;
    stack::mark_native(stack::anon_word());
    Cell* args = stack::arguments;
    Cell* top = stack::top_ptr;
    stack::push(&none::value);
    stack::mark_native(stack::anon_word());
    Cell* callee = stack::arguments;
    EXPECT_EQ(callee, top + 1);
    stack::push(&logic::true_value);
    stack::push(&logic::false_value);
    stack::unwind();
    EXPECT_EQ(stack::arguments, args);
    EXPECT_EQ(stack::top_ptr, callee + 1) << "the callee's result stays pushed";
    stack::mark_native(stack::anon_word());
    stack::push(&logic::true_value);
    stack::unwind_last();
    EXPECT_TRUE(args->is(TYPE_LOGIC)) << "slot 0 of the caller receives the result";
    stack::mark_native(stack::anon_word());
    Cell* discarded = stack::arguments;
    stack::push(&logic::true_value);
    stack::unwind_discard();
    EXPECT_EQ(stack::top_ptr, discarded) << "the callee's cells are dropped";
    EXPECT_EQ(stack::arguments, args);
    stack::unwind_discard();
    EXPECT_EQ(stack::frame_count(), base);
    if (base == 0) {
        EXPECT_EQ(stack::top_ptr, stack::bottom) << "an empty call stack empties the data stack";
    }
    stack::arguments = outer_args;
    stack::top_ptr = outer_top;
}

// The tokenizer calls the language back with its events; the callback's
// statuses and its moves of the input come back through the same boundary.
TEST(InterpFlow, TokenizerCallbacks) {
    run("lcb: func [event input type line token][[load] record token true] "
        "stop: func [event input type line token][[load] if token = 2 [break] true]");
    auto scan = [](const char* callback, const char* text) {
        gc::Rooted cb(global(callback)), out;
        lexer::ScanArgs a;
        a.callback = cb.get();
        lexer::scan_utf8(out.get(), reinterpret_cast<const uint8_t*>(text), std::strlen(text), a, nullptr);
        return mold_text(out.cell);
    };
    recorded().clear();
    EXPECT_EQ(scan("lcb", "1 x"), "[1 x]");
    EXPECT_EQ(recorded(), (std::vector<std::string>{"1", "x"}));
    // break in the callback leaves the loop around the scan
    setup();
    Cell stop = global("stop");
    Cell* top = stack::top_ptr;
    stack::mark_loop(stack::body_word());
    stack::push(&unset::value);
    Flow f = flow::shield([&] {
        gc::Rooted cb(stop), out;
        lexer::ScanArgs a;
        a.callback = cb.get();
        lexer::scan_utf8(out.get(), reinterpret_cast<const uint8_t*>("1 2 3"), 5, a, nullptr);
    });
    EXPECT_EQ(f, Flow::BREAK);
    stack::unwind();
    stack::top_ptr = top;
}
