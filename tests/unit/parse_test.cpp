// The parse engine from C++: runs started through parse::run with rules loaded
// by the tokenizer, the stack limit on both sides of its boundary, the two
// stacks back as they were after every way out of a run (errors, statuses,
// callbacks that stop it, runs nested in parens and callbacks), the trace
// events and the rule-stack entries callbacks see, callbacks that damage that
// stack, and collections (with nodes moved) in the middle of a run. The
// dialect's behaviour, keyword by keyword, is in tests/kro/parse.kro.
#include <string>

#include "foundation/collector.hpp"
#include "interp_fixtures.hpp"
#include "interpreter/parse.hpp"
#include "output_capture.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

Flow collect_now(const int32_t*) {
    collector::collect();
    stack::set_last_reset(&unset::value);
    return Flow::NORMAL;
}

void parse_setup() {
    setup();
    if (global("collect-now").is(TYPE_UNSET)) define_native("collect-now", 117, &collect_now, "[]");
}

// Both stacks are empty from index 0 once every run is over.
void expect_stacks_clean(const std::string& after) {
    Cell r = parse::rule_stack(), i = parse::input_stack();
    EXPECT_EQ(r.data1, 0u) << after;
    EXPECT_EQ(i.data1, 0u) << after;
    EXPECT_EQ(block::length(&r), 0) << after;
    EXPECT_EQ(block::length(&i), 0) << after;
}

std::string checked_run(const std::string& code) {
    parse_setup();
    std::string got = run(code);
    expect_stacks_clean(code);
    return got;
}

// parse::run on values made from Kro text, as a C++ caller uses it.
struct Direct {
    Flow flow = Flow::NORMAL;
    std::string result;
};
Direct direct(const char* input, const char* rules, bool case_ = false, const char* part = nullptr) {
    parse_setup();
    gc::Rooted in(load_one(input)), r(load_one(rules)), p(part ? load_one(part) : none::value);
    Cell* top = stack::top_ptr;
    Direct d;
    d.flow = parse::run(in.get(), r.get(), case_, part ? p.get() : nullptr, nullptr);
    if (d.flow == Flow::NORMAL) {
        EXPECT_EQ(stack::top_ptr, top + 1) << "one result pushed";
        d.result = mold_text(*stack::top(), false, true);
    }
    stack::top_ptr = top;
    expect_stacks_clean(rules);
    return d;
}

}  // namespace

TEST(Parse, RunFromCpp) {
    EXPECT_EQ(direct("\"abc\"", "[\"a\" to end]").result, "true");
    EXPECT_EQ(direct("\"ABC\"", "[\"abc\"]").result, "true");
    EXPECT_EQ(direct("\"ABC\"", "[\"abc\"]", true).result, "false");
    EXPECT_EQ(direct("\"abc\"", "[\"ab\"]", false, "2").result, "true");
    EXPECT_EQ(direct("\"abc\"", "[]", false, "0").result, "false");  // an empty part: nothing looked at
    EXPECT_EQ(direct("[1 2]", "[collect [some [keep integer!]]]").result, "[1 2]");
    EXPECT_EQ(direct("#{0102}", "[#{01} skip]").result, "true");
    // a status out of a paren is answered, the stacks reset
    Cell* top = stack::top_ptr;
    stack::mark_loop(stack::body_word());
    Direct d = direct("\"a\"", "[(break)]");
    EXPECT_EQ(d.flow, Flow::BREAK);
    stack::top_ptr = top;
    stack::unwind_to(stack::frame_count() - 1);
    stack::top_ptr = top;
}

TEST(Parse, StackLimit) {
    // each nested block is one entry of three cells: 3,334 entries pass, one more does not
    auto nested = [](int depth) {
        return "parse \"\" " + std::string(size_t(depth), '[') + std::string(size_t(depth), ']');
    };
    EXPECT_EQ(checked_run(nested(3334)), "true");
    EXPECT_EQ(checked_run(nested(3335)), "error script/parse-stack");
    // recursion through a word is bounded the same way, whatever the input
    EXPECT_EQ(checked_run("r: [\"a\" r | none] s: make string! 5000 loop 5000 [append s \"a\"] parse s r"),
              "error script/parse-stack");
    EXPECT_EQ(checked_run("r: [opt [\"a\" r]] parse \"aaa\" r"), "true");
    EXPECT_EQ(checked_run("r: [into r] parse [[[[[]]]]] r"), "false");
    EXPECT_EQ(checked_run("b: copy [] c: b loop 2000 [d: copy [] append/only c d c: d] r: [into r | end] parse b r"),
              "error script/parse-stack");
    // rules matched in place without a callback count the entries they would
    // push: the limit falls at the same depth as through the machine
    struct Deep {
        const char* rule;
        int depth;  // the deepest nesting that passes
        const char* result;
    };
    const Deep deep[] = {
        {"parse \"aa\" [collect %s any [keep some \"a\"] %s]", 3328, "[\"aa\"]"},
        {"parse \"ab\" [collect %s keep to \"b\" skip %s]", 3330, "[#\"a\"]"},
    };
    for (const Deep& d : deep) {
        for (int depth = d.depth; depth <= d.depth + 1; depth++) {
            std::string code = d.rule;
            code.replace(code.find("%s"), 2, std::string(size_t(depth), '['));
            code.replace(code.find("%s"), 2, std::string(size_t(depth), ']'));
            EXPECT_EQ(checked_run(code), depth == d.depth ? d.result : "error script/parse-stack") << code.substr(0, 60);
        }
    }
}

TEST(Parse, StacksAreBackAfterEveryWayOut) {
    const Case cases[] = {
        {"parse \"a\" [(1 / 0)]", "error math/zero-divide"},
        {"parse \"a\" [\"a\" x/y]", "error script/parse-rule"},
        {"f: func [][parse \"a\" [some [(return 5)]] 6] f", "5"},
        {"loop 3 [parse [1 [2]] [skip into [(break)]] 7]", "unset"},
        {"catch [parse \"ab\" [collect [keep skip (throw 9)]]]", "9"},
        {"parse/trace \"a\" [some \"a\"] func [e m r i s][e <> 'fetch]", "true"},
        {"parse/trace \"a\" [\"a\"] func [e m r i s][1 / 0]", "error math/zero-divide"},
        // runs nested in a paren and in a callback work on their own part of the stacks
        {"parse \"ab\" [\"a\" (inner: parse \"xy\" [\"x\" some \"y\"]) \"b\"] inner", "true"},
        {"parse \"ab\" [\"a\" (parse \"x\" [(1 / 0)]) \"b\"]", "error math/zero-divide"},
        {"try [parse \"ab\" [\"a\" (parse \"x\" [(1 / 0)]) \"b\"]] parse [1] [into [1]]", "false"},
        {"parse/trace \"ab\" [\"a\" \"b\"] func [e m r i s][parse \"x\" [some \"x\"]]", "true"},
        {"parse/trace \"ab\" [\"a\" \"b\"] func [e m r i s][parse \"x\" [(1 / 0)]]", "error math/zero-divide"},
    };
    for (const Case& c : cases) EXPECT_EQ(checked_run(c.code), c.expected) << c.code;
}

TEST(Parse, TraceEvents) {
    parse_setup();
    recorded().clear();
    EXPECT_EQ(checked_run("parse/trace \"aa\" [some [\"a\"]] func [e m r i s][record e true]"), "true");
    std::vector<std::string> expected = {
        "push",  "fetch",                                            // the rules
        "push",  "push", "fetch", "match", "pop", "iterate",         // some, its block, "a"
        "fetch", "push", "fetch", "match", "pop", "iterate",         // again
        "fetch", "push", "fetch", "match", "pop", "pop", "pop", "end"  // a third try fails
    };
    EXPECT_EQ(recorded(), expected);

    // to over a rule: a pop and an iterate for each position tried
    recorded().clear();
    EXPECT_EQ(checked_run("parse/trace \"ab\" [to [\"b\"] skip] func [e m r i s][record e true]"), "true");
    expected = {"push", "fetch", "push", "push", "fetch", "match", "pop", "pop", "iterate",
                "fetch", "push", "fetch", "match", "pop", "pop", "fetch", "match", "pop", "end"};
    EXPECT_EQ(recorded(), expected);

    // the arguments: match?, the rules at the rule, the input at the cursor, the stack
    recorded().clear();
    EXPECT_EQ(checked_run("parse/trace \"ab\" [\"a\" (1) \"b\"] func [e m r i s][if e = 'paren [record m "
                          "record r record i record length? s] true]"),
              "true");
    expected = {"true", "[(1) \"b\"]", "\"b\"", "3"};
    EXPECT_EQ(recorded(), expected);

    // the entries: none, position, enclosing rules; then count, position, command
    recorded().clear();
    EXPECT_EQ(checked_run("parse/trace \"a\" [opt \"x\" \"a\"] func [e m r i s][if e = 'push [record mold s] true]"),
              "true");
    ASSERT_EQ(recorded().size(), 2u);
    EXPECT_EQ(recorded()[1],
              "{[none make triple! [-1 0 1] [opt \"x\" \"a\"] make triple! [0 1 1] make triple! [0 0 1] -1x0]}");

    // a command completed above an entry leaves its code in that entry's position
    recorded().clear();
    EXPECT_EQ(checked_run("parse/trace \"ab\" [copy x skip skip] func [e m r i s][if e = 'fetch [record copy/part next s 1] "
                          "true]"),
              "true");
    expected = {"[make triple! [-1 0 2]]", "[make triple! [-1 0 -4]]"};
    EXPECT_EQ(recorded(), expected);
}

TEST(Parse, TraceCallbacksCannotCorruptTheMatcher) {
    parse_setup();
    const char* damaging[] = {
        "clear s",
        "append s 1",
        "remove back tail s",
        "change back tail s 5",
        "poke s 2 none",
        "poke s 3 1",
        "clear head s",
        "insert s [1 2 3]",
        "change s [none none none]",
    };
    for (const char* change : damaging) {
        std::string code = std::string("parse/trace \"ab\" [some [\"a\" | \"b\"]] func [e m r i s][if e = 'fetch [") +
                           change + "] true]";
        EXPECT_EQ(checked_run(code), "error script/invalid-arg") << code;
    }
    // a callback that moves its own copy of the stack's position changes nothing
    EXPECT_EQ(checked_run("parse/trace \"ab\" [some [\"a\" | \"b\"]] func [e m r i s][s: tail s true]"), "true");
}

TEST(Parse, CollectionsDuringARun) {
    parse_setup();
    // the input, the rules, collect targets and kept values survive collections
    // that move buffers, run in parens and in a trace callback
    std::string code =
        "s: copy \"\" loop 300 [append s \"ab,\"] "
        "out: parse s [collect [some [keep copy w to #\",\" (collect-now) skip]]] "
        "n: 0 foreach w out [if w = \"ab\" [n: n + 1]] n";
    EXPECT_EQ(checked_run(code), "300");
    EXPECT_EQ(checked_run("b: copy [] parse [1 [2 3] 4] [collect into b [some [keep integer! (collect-now) | into "
                          "[collect [some [keep integer!]]]]]] b"),
              "[1 [2 3] 4]");
    EXPECT_EQ(checked_run("parse/trace \"abc\" [some [\"a\" | \"b\" | \"c\"]] func [e m r i s][collect-now true]"),
              "true");
}

TEST(Parse, RunsThatEvaluateNothingStillCollect) {
    // every try copies the rest of the input and fails: megabytes of garbage
    // from a run that never reaches the evaluator
    std::string input = "\"" + std::string(8000, 'a') + "\"";
    parse_setup();
    uint32_t before = collector::cycles();
    Direct d = direct(input.c_str(), "[any [copy x to end fail | skip]]");
    EXPECT_EQ(d.result, "true");
    EXPECT_GT(collector::cycles(), before) << "no collection during the run";
}

namespace {

// parse-trace: the log of a run, as printed.
std::string traced(const std::string& code, std::string* result = nullptr) {
    parse_setup();
    test::CapturedOutput out;
    std::string r = run(code);
    if (result) *result = r;
    expect_stacks_clean(code);
    return out.take();
}

}  // namespace

TEST(ParseTrace, PrintsAnIndentedLogOfTheRun) {
    std::string result;
    // a push opens a level two spaces deeper, its pop closes it at the same
    // depth; each fetch shows the input and the rules at the cursor
    EXPECT_EQ(traced("parse-trace \"ab\" [\"a\" [\"x\" | \"b\"]]", &result),
              " -->\n"
              "   input: \"ab\" \n"
              "   match: [\"a\" [\"x\" | \"b\"]]   \n"
              "   ==> matched\n"
              "   input: \"b\" \n"
              "   match: [[\"x\" | \"b\"]]   \n"
              "   -->\n"
              "     input: \"b\" \n"
              "     match: [\"x\" | \"b\"]     \n"
              "     ==> not matched\n"
              "     input: \"b\" \n"
              "     match: [\"b\"]     \n"
              "     ==> matched\n"
              "   <--\n"
              " <--\n"
              "return: true\n");
    EXPECT_EQ(result, "true");

    // /case and /part go through; so does a collected block as the result
    EXPECT_EQ(traced("parse-trace/case \"A\" [\"a\"]", &result),
              " -->\n   input: \"A\" \n   match: [\"a\"]   \n   ==> not matched\n <--\nreturn: false\n");
    EXPECT_EQ(result, "false");
    traced("parse-trace/part \"abc\" [\"ab\"] 2", &result);
    EXPECT_EQ(result, "true");
    traced("parse-trace [1 2] [collect [some [keep integer!]]]", &result);
    EXPECT_EQ(result, "[1 2]");
}

TEST(ParseTrace, CutsLongTextsAndStartsAgainAfterAnError) {
    // input and rules are molded on one line and cut to 50 characters
    std::string log = traced("parse-trace \"" + std::string(60, 'a') + "\" [\"a\" to end]");
    EXPECT_NE(log.find("   input: {" + std::string(49, 'a') + " \n"), std::string::npos) << log;
    log = traced("parse-trace \"a\" [\"a\" (\n\"b\"\n)]");  // rules with line breaks
    EXPECT_NE(log.find("   match: [\"a\" (\"b\")]   \n"), std::string::npos) << log;

    // an error leaves the indentation of the levels it was in; the next trace
    // starts again at none
    std::string result;
    traced("parse-trace \"ab\" [[[\"a\" (1 / 0)]]]", &result);
    EXPECT_EQ(result, "error math/zero-divide");
    EXPECT_EQ(traced("parse-trace \"\" []"), " -->\n <--\nreturn: true\n");
}
