// Tracer events: their order, the mask a tracer asks for, the references and
// offsets they carry, and the tracer's relation to the code it watches (nested
// tracers, errors inside the tracer, trace and no-trace functions, callbacks).
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

// The recorded values joined by blanks, after running code.
std::string events_of(const std::string& code) {
    recorded().clear();
    std::string result = run(code);
    std::string out;
    for (const std::string& r : recorded()) out += (out.empty() ? "" : " ") + r;
    return out + " => " + result;
}

const char* const EVENT_TRACER = "t: func [event code offset value ref frame][record event] ";

}  // namespace

TEST(InterpTrace, EventsInOrder) {
    // a call of a function, every event
    EXPECT_EQ(events_of(std::string(EVENT_TRACER) + "f: func [x][x] trace-do :t [f 1]"),
              "init enter fetch open fetch push call prolog enter fetch push expr exit epilog return expr exit end => 1");
    // an operator, a set-word, a path set: a statement's first value and an
    // assignment's are fetched too
    EXPECT_EQ(events_of(std::string(EVENT_TRACER) + "trace-do :t [x: 1 + 2]"),
              "init enter fetch fetch push fetch open fetch push call return set expr exit end => 3");
    EXPECT_EQ(events_of(std::string(EVENT_TRACER) + "b: [1] trace-do :t [b/1: 2]"),
              "init enter fetch fetch push set enter fetch fetch exit expr exit end => 2");
}

TEST(InterpTrace, TheMaskComesFromTheBlockTheBodyBeginsWith) {
    // only fetch and push; each with its offset in the code
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[fetch push] record event record offset] "
                        "trace-do :t [1 + 2]"),
              "fetch 0 push 0 fetch 1 fetch 2 push 2 => 3");
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[set] record :ref record :value] "
                        "trace-do :t [x: 5 y: 6]"),
              "x: 5 y: 6 => 6");
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[throw catch] record event record :value] "
                        "trace-do :t [catch [throw 5]]"),
              "throw 5 catch 5 => 5");
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[error] record value/id] "
                        "trace-do :t [try [1 / 0] 7]"),
              "zero-divide => 7");
    // an empty block, or none, leaves the default mask
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[] record event] trace-do :t [1]"),
              "init enter fetch push expr exit end => 1");
}

TEST(InterpTrace, ReferencesAndFrame) {
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[call prolog epilog return] record :ref] "
                        "f: func [x][x] trace-do :t [f 2]"),
              "f f f f => 2");
    // the frame of init: the indexes of the arguments and of the top of the traced call
    recorded().clear();
    run("t: func [event code offset value ref frame][[init] record frame/1 record frame/2] trace-do :t [1]");
    ASSERT_EQ(recorded().size(), 2u);
    EXPECT_EQ(std::stoi(recorded()[1]) - std::stoi(recorded()[0]), 2) << "trace-do has two arguments";
}

TEST(InterpTrace, TheTracerAndTheCodeItWatches) {
    // nested: the outer tracer stays and sees the inner code
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[expr] record value] "
                        "u: func [event code offset value ref frame][record 'inner] "
                        "trace-do :t [trace-do :u [1] 2]"),
              "1 1 2 => 2");
    // an error raised inside the tracer is passed on to the traced code
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[expr] 1 / 0] "
                        "e: try [trace-do :t [1 2]] e/id"),
              " => zero-divide");
    EXPECT_FALSE(trace::installed) << "the tracer is removed however the evaluation ends";
    EXPECT_FALSE(trace::tracing);
    // a no-trace function's body is not reported; a trace function inside it is
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][[prolog] record :ref] "
                        "g: func [[trace] y][y] f: func [[no-trace] x][g x] trace-do :t [f 1]"),
              "g => 1");
    // outside do/trace nothing is reported, whatever the function says
    EXPECT_EQ(events_of("t: func [event code offset value ref frame][record event] g: func [[trace] y][y] g 1"),
              " => 1");
}

TEST(InterpTrace, CallbacksAreTracedOnlyWhenTheirClassIsOn) {
    const char* code =
        "t: func [event code offset value ref frame][[prolog call return] record event] "
        "less: func [a b][a < b] trace-do :t [sort/compare [2 1] :less]";
    EXPECT_EQ(events_of(code), "call return => [1 2]") << "the sort call itself, not the comparator";
    auto saved = trace::callback_bits;
    trace::callback_bits = [] { return int32_t(trace::SORT); };
    EXPECT_EQ(events_of(code), "call call prolog call return return return => [1 2]")
        << "sort, the comparator (its body between call and return, with its own call of <)";
    trace::callback_bits = saved;
}
