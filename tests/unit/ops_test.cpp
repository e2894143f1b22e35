// The compiled-code fast paths against the evaluator: every case is run both
// ways and must give the same molded result, or the same error with the same
// text, and leave the stacks as it found them.
#include "interp_fixtures.hpp"
#include "interpreter/ops.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

// Runs fn (which pushes one result, or none when pushes is false) inside a
// region that receives errors; answers the molded top, or "error cat/id"
// (the formed error in *text).
template <class F>
std::string run_op(F fn, bool pushes = true, std::string* text = nullptr) {
    setup();
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    int32_t frames = stack::frame_count();
    std::string out;
    uint32_t caught = frame::catch_region(code::ERROR, [&] { fn(); });
    EXPECT_EQ(stack::frame_count(), frames);
    EXPECT_EQ(stack::arguments, args);
    if (caught) {
        out = "error " + last_raised().category + "/" + last_raised().id;
        if (text) *text = form_text(*raised_error());
    } else {
        EXPECT_EQ(stack::top_ptr, top + (pushes ? 1 : 0));
        if (pushes) out = mold_text(*(stack::top_ptr - 1), false, true);
    }
    stack::top_ptr = top;
    return out;
}

Cell value(const char* text) { return load_one(text); }

// An error's text without its `near` line: the fast paths run outside any code.
std::string without_near(const std::string& text) {
    size_t at = text.find("*** Near");
    if (at == std::string::npos) return text;
    return text.substr(0, at) + text.substr(text.find('\n', at) + 1);
}
Cell op_word(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }

struct Arith {
    int32_t op;
    const char* word;
    const char* left;
    const char* right;
};

}  // namespace

TEST(Ops, ArithmeticAgreesWithTheEvaluator) {
    const Arith cases[] = {
        {ops::ADD, "+", "2147483647", "1"},         // promoted: 2147483648.0
        {ops::SUBTRACT, "-", "-2147483648", "1"},   // -2147483649.0
        {ops::MULTIPLY, "*", "65536", "65536"},     // 4294967296.0
        {ops::ADD, "+", "1", "2"},
        {ops::SUBTRACT, "-", "0", "-2147483648"},
        {ops::MULTIPLY, "*", "-3", "7"},
        {ops::OR_T, "or", "12", "3"},
        {ops::AND_T, "and", "12", "6"},
        {ops::XOR_T, "xor", "12", "6"},
        {ops::ADD, "+", "1", "1.5"},  // mixed: the action
        {ops::ADD, "+", "1.5", "1"},
        {ops::MULTIPLY, "*", "1.5", "2.0"},
        {ops::ADD, "+", "1x2", "3"},
        {ops::ADD, "+", "\"a\"", "1"},  // refused by the argument check, named by the operator
        {ops::ADD, "+", "1", "\"a\""},
        {ops::OR_T, "or", "1.5", "2.5"},  // bitwise on floats: the action's error
    };
    for (const Arith& c : cases) {
        std::string expr = std::string(c.left) + " " + c.word + " " + c.right, text1, text2;
        std::string expected = run(expr, &text1);
        Cell l = value(c.left), r = value(c.right), w = op_word(c.word);
        EXPECT_EQ(run_op([&] { ops::arith(c.op, &w, &l, &r); }, true, &text2), expected) << expr;
        EXPECT_EQ(without_near(text2), without_near(text1)) << expr;
        if (r.is(TYPE_INTEGER)) {
            EXPECT_EQ(run_op([&] { ops::arith_int(c.op, &w, &l, int32_t(r.data2)); }), expected) << expr;
        }
        // the top variants work over the left operand, which stays the only new cell
        auto top = [&](bool int_form) {
            stack::push(&l);
            if (int_form) ops::arith_top_int(c.op, &w, int32_t(r.data2));
            else ops::arith_top(c.op, &w, &r);
        };
        EXPECT_EQ(run_op([&] { top(false); }), expected) << expr;
        if (r.is(TYPE_INTEGER)) {
            EXPECT_EQ(run_op([&] { top(true); }), expected) << expr;
        }
    }
    EXPECT_EQ(run("2147483647 + 1"), "2147483648.0");
}

TEST(Ops, ComparisonsAgreeWithTheEvaluator) {
    struct C {
        int32_t op;
        const char* word;
        const char* left;
        const char* right;
    } const cases[] = {
        {actions::EQUAL, "=", "1", "1"},         {actions::EQUAL, "=", "1", "1.0"},
        {actions::STRICT_EQUAL, "==", "1", "1.0"}, {actions::NOT_EQUAL, "<>", "1", "2"},
        {actions::LESSER, "<", "1", "2"},        {actions::LESSER, "<", "2", "2"},
        {actions::LESSER_OR_EQUAL, "<=", "2", "2"}, {actions::GREATER, ">", "3", "2"},
        {actions::GREATER_OR_EQUAL, ">=", "1", "2"}, {actions::LESSER, "<", "1.5", "2"},
        {actions::EQUAL, "=", "\"a\"", "\"A\""}, {actions::LESSER, "<", "1", "\"a\""},
        {actions::GREATER, ">", "-2147483648", "2147483647"},
    };
    for (const C& c : cases) {
        std::string expr = std::string(c.left) + " " + c.word + " " + c.right, text1, text2;
        std::string expected = run(expr, &text1);
        Cell l = value(c.left), r = value(c.right), w = op_word(c.word);
        EXPECT_EQ(run_op([&] { ops::compare(c.op, &w, &l, &r); }, true, &text2), expected) << expr;
        EXPECT_EQ(without_near(text2), without_near(text1)) << expr;
        if (expected.rfind("error", 0) == 0) continue;
        bool truth = expected == "true";
        for (bool negate : {false, true}) {
            bool got = !truth;
            run_op([&] { got = ops::compare_jump(c.op, &w, &l, &r, negate); }, false);
            EXPECT_EQ(got, truth != negate) << expr;
        }
        if (r.is(TYPE_INTEGER)) {
            EXPECT_EQ(run_op([&] { ops::compare_int(c.op, &w, &l, int32_t(r.data2)); }), expected) << expr;
            bool got = !truth;
            run_op([&] { got = ops::compare_int_jump(c.op, &w, &l, int32_t(r.data2), false); }, false);
            EXPECT_EQ(got, truth) << expr;
        }
        EXPECT_EQ(run_op([&] {
                      stack::push(&l);
                      ops::compare_top(c.op, &w, &r);
                  }),
                  expected)
            << expr;
        // the last variant also leaves the logic! in the current call's slot 0
        std::string last = run_op([&] {
            Cell* slot = stack::push(&none::value);
            Cell* saved = stack::arguments;
            stack::arguments = slot;
            bool t = ops::compare_last(c.op, &w, &l, &r);
            stack::arguments = saved;
            EXPECT_EQ(t, truth) << expr;
        });
        EXPECT_EQ(last, expected) << expr;
    }
}

TEST(Ops, PathPickAndSeriesOps) {
    Cell w = op_word("pick");
    gc::Rooted blk(value("[a b c]")), at_tail(value("[a b c]")), str(value("\"abc\""));
    at_tail->data1 = 3;
    const struct {
        Cell* v;
        int32_t n;
        const char* expected;
    } picks[] = {
        {blk.get(), 1, "a"}, {blk.get(), 3, "c"}, {blk.get(), 4, "none"}, {blk.get(), 0, "none"},
        {blk.get(), -1, "none"}, {at_tail.get(), 1, "none"}, {str.get(), 2, "#\"b\""},
    };
    for (const auto& p : picks) EXPECT_EQ(run_op([&] { ops::path_pick(&w, p.v, p.n); }), p.expected) << p.n;

    Cell mid = blk.cell;
    mid.data1 = 1;
    const struct {
        int32_t op;
        const char* name;
        const Cell* v;
        const char* expected;
    } series[] = {
        {ops::LENGTH_Q, "length?", &blk.cell, "3"},   {ops::LENGTH_Q, "length?", &at_tail.cell, "0"},
        {ops::INDEX_Q, "index?", &mid, "2"},          {ops::HEAD_Q, "head?", &mid, "false"},
        {ops::TAIL_Q, "tail?", &at_tail.cell, "true"}, {ops::NEXT, "next", &mid, "[c]"},
        {ops::NEXT, "next", &at_tail.cell, "[]"},      {ops::BACK, "back", &blk.cell, "[a b c]"},
        {ops::BACK, "back", &mid, "[a b c]"},          {ops::HEAD, "head", &mid, "[a b c]"},
        {ops::TAIL, "tail", &mid, "[]"},               {ops::LENGTH_Q, "length?", &str.cell, "3"},
        {ops::NEXT, "next", &str.cell, "\"bc\""},
    };
    for (const auto& s : series) {
        Cell name = op_word(s.name);
        EXPECT_EQ(run_op([&] { ops::series_op(s.op, &name, s.v); }), s.expected) << s.name;
    }
    // at the tail, next leaves the position where it is
    Cell name = op_word("next");
    run_op([&] { ops::series_op(ops::NEXT, &name, &at_tail.cell); });
    EXPECT_EQ(stack::top_ptr[0].data1, 3u);
    // a type the action does not take: the action's error, named by the operator
    Cell n = value("5");
    Cell len = op_word("length?");
    EXPECT_EQ(run_op([&] { ops::series_op(ops::LENGTH_Q, &len, &n); }), run("length? 5"));
}
