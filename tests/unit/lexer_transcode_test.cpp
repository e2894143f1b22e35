// transcode: its refinements, and the callback of /trace with its six events,
// positions, answers and input moves, including callbacks that throw, scan
// again, or collect while values are being built.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "datatypes/function.hpp"
#include "foundation/collector.hpp"
#include "lexer_fixtures.hpp"

using namespace kro;
using namespace kro::testing_lexer;

namespace {

Cell type_cell(const char* text) {
    Cell v = transcode_value(text_of(text)).value;
    return *block::at(&v, 0);
}

lexer::Refinements with(bool lexer::Refinements::*flag) {
    lexer::Refinements r;
    r.*flag = true;
    return r;
}

std::string result(const std::string& text, const lexer::Refinements& r) {
    Transcoded t = transcode_value(text_of(text), r);
    return t.error.empty() ? mold_text(t.value) : "!" + t.error;
}

// ---- a callback run by a C++ stand-in for the interpreter ---------------------------

struct Event {
    std::string name;     // event word
    std::string type;     // molded type argument
    int line;
    std::string token;    // "s-e" for a position pair, else the value molded
    int32_t input;        // index of the input argument
};

struct Tracer {
    std::vector<Event> events;
    // Decides the answer and may move args[1]; answers true when unset.
    std::function<bool(const Event&, Cell* args)> answer;
    std::string text(bool with_input = true) const {
        std::string s;
        for (const Event& e : events) {
            if (!s.empty()) s += " | ";
            s += e.name + " " + e.type + " " + e.token;
            if (with_input) s += " @" + std::to_string(e.input);
        }
        return s;
    }
};
Tracer* tracer = nullptr;

int32_t last_count = 0;

void stand_in(const Cell*, Cell* args, int32_t count, Cell* result) {
    last_count = count;
    Event e;
    e.name = std::string(symbol::name(int32_t(args[0].data2)));
    e.type = args[2].is(TYPE_NONE) ? "none" : mold_text(args[2]);
    e.line = int32_t(args[3].data2);
    e.token = args[4].is(TYPE_PAIR) ? std::to_string(int32_t(args[4].data2)) + "-" + std::to_string(int32_t(args[4].data3))
                                    : mold_text(args[4]);
    e.input = int32_t(args[1].data1);
    tracer->events.push_back(e);
    bool ok = tracer->answer ? tracer->answer(tracer->events.back(), args) : true;
    *result = logic::make(ok);
}

class LexerTrace : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = lexer::call_callback;
        lexer::call_callback = &stand_in;
        tracer = &log;
    }
    void TearDown() override {
        lexer::call_callback = saved_;
        tracer = nullptr;
        EXPECT_EQ(lexer::value_stack_top(), 0u);
        EXPECT_EQ(lexer::active_scans(), 0);
    }
    // A function! with the callback's spec and the body given.
    Cell callback(const char* body, const char* spec_text = "[event input type line token]") {
        gc::Rooted spec(type_cell(spec_text));
        gc::Rooted b(type_cell(body));
        function::make_value(spec.get(), b.get(), 0, 0, 0, 0);
        Cell f = *stack::top();
        stack::pop(1);
        return f;
    }
    Transcoded trace(const Cell& source, const char* body, lexer::Refinements r = {}) {
        gc::Rooted fn(callback(body));
        r.trace = fn.get();
        return transcode_value(source, r);
    }
    std::string traced(const std::string& text, const char* body, lexer::Refinements r = {}) {
        Transcoded t = trace(text_of(text), body, r);
        return t.error.empty() ? mold_text(t.value) : "!" + t.error;
    }

    Tracer log;
    void (*saved_)(const Cell*, Cell*, int32_t, Cell*) = nullptr;
};

}  // namespace

// ---- refinements ---------------------------------------------------------------------

TEST(LexerTranscode, Refinements) {
    EXPECT_EQ(result("1 [2] 3", {}), "[1 [2] 3]");
    EXPECT_EQ(result("1 [2] 3", with(&lexer::Refinements::next)), "[1 \" [2] 3\"]");
    EXPECT_EQ(result("[2] 3", with(&lexer::Refinements::next)), "[[2] \" 3\"]");
    EXPECT_EQ(result("", with(&lexer::Refinements::next)), "[[] \"\"]");
    EXPECT_EQ(result("[a b] c", with(&lexer::Refinements::one)), "[a b]");
    EXPECT_EQ(result("a/b c", with(&lexer::Refinements::one)), "a/b");
    EXPECT_EQ(result("", with(&lexer::Refinements::one)), "[]");

    struct Kind {
        const char* text;
        const char* scan;     // transcode/scan
        const char* prescan;  // transcode/prescan
    };
    const Kind kinds[] = {
        {"1", "integer!", "integer!"},           {"a: 1", "set-word!", "word!"},
        {"1a", "error!", "error!"},              {"", "none", "none"},
        {"  ; only a comment", "none", "none"}, {"[1 2", "error!", "error!"},
        {"[1 2] x", "block!", "block!"},         {"a/b c", "path!", "path!"},
        {"a/", "error!", "path!"},               {"12345678901", "float!", "integer!"},
        {"#(true)", "logic!", "datatype!"},      {"\"x", "error!", "error!"},
        {"1''2", "error!", "integer!"},          {"{a} b", "string!", "string!"},
        {"'a", "lit-word!", "word!"},            {"%\"a b\"", "file!", "file!"},
    };
    for (const Kind& k : kinds) {
        EXPECT_EQ(result(k.text, with(&lexer::Refinements::scan)), k.scan) << k.text;
        EXPECT_EQ(result(k.text, with(&lexer::Refinements::prescan)), k.prescan) << k.text;
    }
    lexer::Refinements scan_next;
    scan_next.scan = scan_next.next = true;
    EXPECT_EQ(result("1 2", scan_next), "[integer! \" 2\"]");
    lexer::Refinements prescan_next;
    prescan_next.prescan = prescan_next.next = true;
    EXPECT_EQ(result("a: 1", prescan_next), "[word! \" 1\"]");
}

TEST(LexerTranscode, PartIntoAndBinaries) {
    lexer::Refinements r;
    Cell three = integer(3);
    r.part = &three;
    EXPECT_EQ(result("123 456", r), "[123]");
    Cell huge = integer(1000);
    r.part = &huge;
    EXPECT_EQ(result("123 456", r), "[123 456]");
    Cell negative = integer(-5);
    r.part = &negative;
    EXPECT_EQ(result("123 456", r), "[]");

    // A position in the same series ends the text there; another datatype's does not.
    gc::Rooted src(text_of("ab cd ef"));
    gc::Rooted pos(src.cell);
    pos->data1 = 5;
    r.part = pos.get();
    EXPECT_EQ(mold_text(transcode_value(src.cell, r).value), "[ab cd]");
    gc::Rooted other(binary_of("ab"));
    r.part = other.get();
    EXPECT_EQ(transcode_value(src.cell, r).error, "script/not-same-type");
    // From the source's position, and /next answers the source after the value.
    src->data1 = 3;
    r = with(&lexer::Refinements::next);
    Transcoded t = transcode_value(src.cell, r);
    ASSERT_EQ(t.error, "");
    EXPECT_EQ(mold_text(*block::at(&t.value, 0)), "cd");
    EXPECT_EQ(block::at(&t.value, 1)->data1, 5u);

    // /into appends to the block given and answers it.
    gc::Rooted into(block_of({w("x")}));
    r = {};
    r.into = into.get();
    t = transcode_value(text_of("1 [2]"), r);
    EXPECT_EQ(t.value.data2, into->data2);
    EXPECT_EQ(mold_text(into.cell), "[x 1 [2]]");
    r.into = &three;
    EXPECT_EQ(transcode_value(text_of("1"), r).error, "script/invalid-arg 3");

    // Binaries are UTF-8, a leading byte-order mark skipped; positions are bytes.
    EXPECT_EQ(mold_text(transcode_value(binary_of("\xEF\xBB\xBF" "1")).value), "[1]");
    EXPECT_EQ(transcode_value(binary_of("\xEF\xBB")).error.substr(0, 22), "syntax/invalid (line 1") << "too short for a mark";
    t = transcode_value(binary_of("\xEF\xBB\xBF" "\"\xE2\x82\xAC\" 2"), with(&lexer::Refinements::next));
    ASSERT_EQ(t.error, "");
    EXPECT_EQ(utf8(*block::at(&t.value, 0)), "\xE2\x82\xAC");
    EXPECT_EQ(block::at(&t.value, 1)->data1, 8u) << "3 bytes of mark, 5 of string";
    // Text positions count characters.
    t = transcode_value(text_of("\"\xE2\x82\xAC\" 2"), with(&lexer::Refinements::next));
    EXPECT_EQ(block::at(&t.value, 1)->data1, 3u);
    // Strings of every unit width read the same.
    for (int unit : {1, 2, 4}) {
        gc::Rooted s;
        string::make_at(s.get(), 8, unit);
        string::append_utf8(s.get(), "[a \"b\" 3]");
        EXPECT_EQ(mold_text(transcode_value(s.cell).value), "[[a \"b\" 3]]") << unit;
    }
}

// ---- callbacks -----------------------------------------------------------------------

TEST_F(LexerTrace, OpenAndCloseAsTheConsoleSeesThem) {
    EXPECT_EQ(traced("[1 (2)] {s}", "[[open close] true]"), "[[1 (2)] \"s\"]");
    EXPECT_EQ(log.text(),
              "open block! 1-2 @0 | open paren! 4-5 @3 | close paren! 4-7 @6 | close block! 1-8 @7 | "
              "open string! 9-10 @8 | close string! 9-12 @11");

    // Input left open: the error names the series (or string) and points past the text.
    struct Case {
        const char* text;
        const char* events;
    };
    const Case cases[] = {
        {"[1 2\n", "open block! 1-2 @0 | error block! 1-6 @5"},
        {"f [a (b\n", "open block! 3-4 @2 | open paren! 6-7 @5 | error paren! 6-9 @8"},
        {"{abc\n", "open string! 1-2 @0 | error string! 1-6 @5"},
        {"1 2]\n", "close block! 4-5 @4 | error block! 4-5 @4"},  // a closer announces itself first
        {"%%{a\n", "error string! 1-6 @5"},
        {"x }", "error error! 3-3 @2"},
    };
    for (const Case& c : cases) {
        log.events.clear();
        EXPECT_EQ(traced(c.text, "[[open close error] true]").substr(0, 8), "!syntax/") << c.text;
        EXPECT_EQ(log.text(), c.events) << c.text;
    }
    log.events.clear();
    traced("<a\n", "[[open close error] true]");  // tags may span lines
    EXPECT_EQ(log.text(), "error " + mold_text(Cell{uint32_t(TYPE_DATATYPE), TYPE_TAG, 0, 0}) + " 1-4 @3");
}

TEST_F(LexerTrace, EveryEventWhenTheBodyNamesNone) {
    EXPECT_EQ(traced("1 a\n[\"b\"] ;c\n", "[true]"), "[1 a\n[\"b\"]]");
    EXPECT_EQ(log.text(false),
              "prescan integer! 1-2 | scan integer! 1-2 | load integer! 1 | "
              "prescan word! 3-4 | scan word! 3-4 | load word! a | "
              "prescan block! 5-5 | open block! 5-6 | prescan string! 6-8 | scan string! 6-8 | load string! \"b\" | "
              "prescan block! 9-9 | close block! 5-10 | prescan comment 11-13 | scan comment 11-13 | prescan eof 14-14");
    // The line of each event.
    std::string lines;
    for (const Event& e : log.events) lines += std::to_string(e.line);
    EXPECT_EQ(lines, "111111" "222222222" "3");

    // The mask comes from the words of the block that opens the body.
    log.events.clear();
    traced("1 (2)", "[[load close] true]");
    EXPECT_EQ(log.text(false), "load integer! 1 | load integer! 2 | close paren! 3-6");
    log.events.clear();
    traced("1 2", "[[] true]");
    EXPECT_EQ(log.text(), "");

    // A comma has no exit-state entry of its own: its prescan names no type.
    log.events.clear();
    traced("(x , y", "[[prescan] true]");
    EXPECT_EQ(log.text(false), "prescan paren! 1-1 | prescan word! 2-3 | prescan none 4-4 | prescan word! 6-7");

    // A point's prescan covers both its parentheses; its scan starts at the "(".
    log.events.clear();
    traced("x (1, 2) y", "[[prescan scan] true]");
    EXPECT_EQ(log.text(false), "prescan word! 1-2 | scan word! 1-2 | prescan point2D! 3-9 | scan point2D! 3-8 | "
                               "prescan word! 10-11 | scan word! 10-11");
}

TEST_F(LexerTrace, AnswersDecide) {
    // A false answer to load removes the value.
    log.answer = [](const Event& e, Cell*) { return !(e.name == "load" && e.type == "integer!"); };
    EXPECT_EQ(traced("1 a 2 [3 b/4]", "[[load] true]"), "[a [b]]");
    // to scan: the value is not loaded; to prescan: the token is skipped whole.
    log.answer = [](const Event& e, Cell*) { return !(e.name == "scan" && e.type == "word!"); };
    EXPECT_EQ(traced("1 a 2", "[[scan] true]"), "[1 2]");
    log.answer = [](const Event& e, Cell*) { return !(e.name == "prescan" && e.type == "block!"); };
    EXPECT_EQ(traced("1 [2] 3", "[[prescan] true]"), "[1 2 3]");
    log.answer = [](const Event& e, Cell*) { return !(e.name == "prescan" && e.type == "string!"); };
    EXPECT_EQ(traced("a \"b\" c", "[[prescan] true]"), "[a c]");
    // to open: nothing opens, and the items stay where they are.
    log.answer = [](const Event& e, Cell*) { return e.name != "open" || e.type != "block!"; };
    EXPECT_EQ(traced("(1 [2) 3", "[[open] true]"), "[(1 2) 3]");
    // to error: the failed token is dropped and the scan goes on from the cursor.
    log.answer = [](const Event& e, Cell*) { return e.name != "error"; };
    EXPECT_EQ(traced("a 1a b } c", "[[error] true]"), "[a a b c]");
    // The values read before an error that is not refused are delivered first.
    log.answer = nullptr;
    gc::Rooted into(block_of({}));
    lexer::Refinements r;
    r.into = into.get();
    EXPECT_EQ(traced("a [b 1a", "[[error] true]", r), "!syntax/invalid (line 1)|integer|1a");
    EXPECT_EQ(mold_text(into.cell), "[a [b]]");
}

// The trapper of load/trap moves the input one character past the failed token
// and refuses the error: the scan skips it.
TEST_F(LexerTrace, MovingTheInput) {
    auto trapper = [](const Event& e, Cell* args) {
        if (e.name != "error") return true;
        args[1].data1 += 1;
        return false;
    };
    log.answer = trapper;
    EXPECT_EQ(traced("1 } 2 1a 3", "[[error] true]"), "[1 2 3]");
    // An open block left at the end is closed with its items.
    EXPECT_EQ(traced("x [1 (2", "[[error] true]"), "[x [1 (2)]]");

    // Positions in characters for text, bytes for binaries.
    log.events.clear();
    log.answer = nullptr;
    traced("\xE2\x82\xAC [\xC3\xA9 1a", "[[error] false]");
    EXPECT_EQ(log.text(), "error integer! 6-7 @6");
    log.events.clear();
    trace(binary_of("\xE2\x82\xAC [\xC3\xA9 1a"), "[[error] false]");
    EXPECT_EQ(log.text(), "error integer! 9-10 @9");

    // A move anywhere is kept inside the input: past the end ends the scan, and
    // before the start goes back to the start.
    log.answer = [](const Event& e, Cell* args) {
        if (e.name == "error") args[1].data1 = 1000000;
        return e.name != "error";
    };
    EXPECT_EQ(traced("1 } 2", "[[error] true]"), "[1]");
    int errors = 0;
    log.answer = [&errors](const Event& e, Cell* args) {
        if (e.name != "error") return true;
        args[1].data1 = ++errors == 1 ? 0 : args[1].data1 + 1;
        return false;
    };
    gc::Rooted src(text_of("xx1 } 2"));
    src->data1 = 2;
    Transcoded t = trace(src.cell, "[[error] true]");
    EXPECT_EQ(mold_text(t.value), "[1 1 2]");
    // A move of a load's input takes the scan there too.
    log.answer = [](const Event& e, Cell* args) {
        if (e.name == "load" && e.token == "skip") args[1].data1 += 2;
        return true;
    };
    EXPECT_EQ(traced("skip 1 2 3", "[[load] true]"), "[skip 2 3]");
}

TEST_F(LexerTrace, ThrowsPassThroughWithTheValuesRead) {
    log.answer = [](const Event& e, Cell* args) {
        if (e.name == "load" && e.token == "b") fire("script", "invalid-arg", &args[4]);
        return true;
    };
    gc::Rooted into(block_of({}));
    lexer::Refinements r;
    r.into = into.get();
    EXPECT_EQ(traced("1 [a b c] d", "[[load] true]", r), "!script/invalid-arg b");
    EXPECT_EQ(mold_text(into.cell), "[1 [a b]]");
}

// A callback may scan again: the nested scan uses the value stack above its parent's part.
TEST_F(LexerTrace, NestedScans) {
    std::vector<std::string> inner;
    log.answer = [&inner](const Event& e, Cell*) {
        if (e.name == "load" && e.token == "x") {
            lexer::Refinements none_;
            inner.push_back(result("[9 8] \"s\"", none_));
            EXPECT_EQ(lexer::active_scans(), 1);
        }
        return true;
    };
    EXPECT_EQ(traced("1 [x 2] x", "[[load] true]"), "[1 [x 2] x]");
    EXPECT_EQ(inner, (std::vector<std::string>{"[[9 8] \"s\"]", "[[9 8] \"s\"]"}));
}

// A callback may collect: everything the scan has built stays alive and current,
// even when the collector moves every buffer.
TEST_F(LexerTrace, CollectionsDuringCallbacks) {
    bool stress = gc::stress;
    gc::stress = true;
    log.answer = [](const Event&, Cell*) {
        for (int i = 0; i < 50; i++) {
            Cell garbage;
            string::make_at(&garbage, 200, 1);
        }
        collector::collect();
        return true;
    };
    gc::Rooted src(text_of("\"abc\" [\"def\" x/y (1.5 #\"c\") %f] {ghi} http://u a: [[[z]]]"));
    gc::Rooted into(block_of({text_of("kept")}));
    lexer::Refinements r;
    r.into = into.get();
    Transcoded t = trace(src.cell, "[true]", r);
    gc::stress = stress;
    EXPECT_EQ(t.error, "");
    EXPECT_EQ(mold_text(into.cell), "[\"kept\" \"abc\" [\"def\" x/y (1.5 #\"c\") %f] \"ghi\" http://u a: [[[z]]]]");
    EXPECT_EQ(collector::check_heap(), "");
}

// The callback gets as many arguments as its spec names before its refinements.
TEST_F(LexerTrace, Arity) {
    struct Case {
        const char* spec;
        int32_t arity;
        int32_t count;  // at most the five the tokenizer has
    };
    const Case cases[] = {
        {"[event input type line token]", 5, 5},
        {"[\"doc\" event [word!] 'input :type /local x]", 3, 3},
        {"[e i t l tk extra]", 6, 5},
        {"[e return: [logic!]]", 1, 1},
    };
    for (const Case& c : cases) {
        gc::Rooted fn(callback("[[load] true]", c.spec));
        EXPECT_EQ(lexer::callback_arity(fn.get()), c.arity) << c.spec;
        lexer::Refinements r;
        r.trace = fn.get();
        last_count = -1;
        transcode_value(text_of("1"), r);
        EXPECT_EQ(last_count, c.count) << c.spec;
    }
    gc::Rooted some(callback("[[open error foo] true]"));
    EXPECT_EQ(lexer::event_mask(some.get()), uint32_t(lexer::EV_OPEN | lexer::EV_ERROR));
    gc::Rooted all(callback("[print 1]"));
    EXPECT_EQ(lexer::event_mask(all.get()), uint32_t(lexer::EV_ALL));
}

TEST(LexerTranscode, ExitStates) {
    gc::Rooted states;
    lexer::make_exit_states(states.get());
    ASSERT_EQ(block::length(&states.cell), 34);
    struct Entry {
        int n;  // 1-based, as a callback's negative type names it
        const char* word;
        Type type;
    };
    const Entry entries[] = {
        {1, "eof", TYPE_NONE_ID},       {2, nullptr, TYPE_ERROR},   {3, nullptr, TYPE_BLOCK},
        {10, nullptr, TYPE_PATH},       {11, nullptr, TYPE_DATATYPE}, {12, "comment", TYPE_NONE_ID},
        {13, nullptr, TYPE_STRING},     {16, nullptr, TYPE_INTEGER}, {23, nullptr, TYPE_FLOAT},
        {32, "hex", TYPE_NONE_ID},      {33, "rawstring", TYPE_NONE_ID}, {34, nullptr, TYPE_REF},
    };
    for (const Entry& e : entries) {
        const Cell* c = block::at(&states.cell, e.n - 1);
        if (e.word) {
            EXPECT_TRUE(c->is(TYPE_WORD)) << e.n;
            EXPECT_EQ(symbol::name(int32_t(c->data2)), e.word);
        } else {
            EXPECT_TRUE(c->is(TYPE_DATATYPE)) << e.n;
            EXPECT_EQ(c->data1, uint32_t(e.type)) << e.n;
        }
    }
}

TEST_F(LexerTrace, WithoutAnInterpreterTraceIsNotAvailable) {
    lexer::call_callback = nullptr;
    EXPECT_EQ(traced("1", "[true]"), "!internal/feature-na");
    lexer::call_callback = &stand_in;
    lexer::Refinements r;
    Cell not_a_function = integer(1);
    r.trace = &not_a_function;
    EXPECT_EQ(result("1", r), "!script/invalid-arg 1");
}
