// The evaluator on Kro text: evaluation order, infix operators, words and their
// kin, parens, paths on blocks and objects, calls with their argument kinds and
// refinements, apply, and the errors of each with their near and where.
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

void check_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(run(c.code), c.expected) << c.code;
}

// The first lines of the formed error a piece of code raises.
std::string formed(const char* code) {
    std::string text;
    run(code, &text);
    return text;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

TEST(InterpEval, ExpressionsAndInfixOperators) {
    check_cases({
        {"1 + 2 * 3", "9"},  // left to right, no precedence
        {"2 * 3 + 1", "7"},
        {"1 + (2 * 3)", "7"},
        {"10 - 2 - 3", "5"},
        {"add 1 2 * 3", "7"},  // an argument takes the infix expression after it
        {"(1 + 2) * (3 + 4)", "21"},
        {"1 2 3", "3"},
        {"", "unset"},
        {"()", "unset"},
        {"[1 + 2]", "[1 + 2]"},
        {"2147483647 + 1", "2147483648.0"},
        {"1 < 2", "true"},
        {"1 + 1 = 2", "true"},
        {"2 = 1 + 1", "error script/expect-arg"},  // (2 = 1) + 1: false + 1
    });
}

TEST(InterpEval, WordsAndTheirKin) {
    check_cases({
        {"x: 5 x", "5"},
        {"x: y: 2 x + y", "4"},
        {"x: 5 x: x + 1 x", "6"},
        {"x: 5 :x", "5"},
        {"'abc", "abc"},
        {"x: 'abc x", "abc"},
        {"x: first-undefined", "error script/no-value"},
        {"no-such-word-xyz", "error script/no-value"},
        {"x:", "error script/need-value"},
        {"x: ()", "error script/need-value"},
        {"f: :add f 2 3", "5"},
        {"+ 1", "error script/no-op-arg"},
        {"#system [a]", "error internal/kro-system"},
        {"#system-global [a]", "error internal/kro-system"},
        {"#system", "#system"},
        {"'a/b", "a/b"},
    });
}

TEST(InterpEval, Functions) {
    check_cases({
        {"f: func [a b][a - b] f 10 3", "7"},
        {"f: func [a b][a] f 1", "error script/no-arg"},
        {"f: func [a [integer!]][a] f \"x\"", "error script/expect-arg"},
        {"f: func [a][a] f ()", "error script/expect-arg"},
        {"f: func [][1] f", "1"},
        {"f: func [x][x * 2] f f 3", "12"},
        {"f: func [/a x /b y][append append copy [] x y] f/b/a 1 2", "[2 1]"},  // path order: /b's first
        {"f: func [/a x /b y][append append copy [] x y] f/a/b 1 2", "[1 2]"},
        {"f: func [/a x /b y][append append copy [] x y] f/a 1", "[1 none]"},
        {"f: func [/a x][a] f", "false"},
        {"f: func [/a x][a] f/a 1", "true"},
        {"f: func [/a x][x] f/a/a 1 2", "error script/dup-refine"},
        {"f: func [/a x][x] f/c 1", "error script/no-refine"},
        {"f: func [/a x][x] f/1 1", "error script/bad-refine"},
        {"f: func [/a x][x] f/a", "error script/no-arg"},
        {"a: true f: func [/a x][x] f/:a 5", "5"},  // a get-word names the refinement, its value uses it
        {"a: false f: func [/a x][x] f/:a 5", "none"},  // the argument is fetched all the same
        {"f: func [/a x][x] f/:never-set-q 5", "error script/no-value"},
        {"f: func [a /local b][b: a b] f 4", "4"},
        {"f: func [a /local b][b] f 4", "none"},
        {"f: func [n][either n = 0 [0][n + f n - 1]] f 10", "55"},
        {"f: func [n][if n > 0 [f n - 1] n] f 3", "3"},  // each call sees its own n again
        {"f: func [a b][a] 1 f", "error script/no-arg"},
    });
}

TEST(InterpEval, ArgumentKinds) {
    check_cases({
        {"f: func ['a][a] f (1 + 2)", "3"},
        {"f: func ['a][a] f x", "x"},
        {"f: func ['a][a] x: 7 f :x", "7"},
        {"f: func ['a][a] b: [1 2] f :b/2", "2"},
        {"f: func ['a [any-type!]][:a] f", "unset"},  // a quoted argument that admits unset! may be missing
        {"f: func ['a][a] f", "error script/no-arg"},
        {"g: func [:a][a] g (1 + 2)", "(1 + 2)"},
        {"g: func [:a][a] g x", "x"},
        {"g: func [:a][a] g :x", ":x"},
        {"h: func [a b][b] h 1 + 2 3", "3"},
    });
}

TEST(InterpEval, Operators) {
    check_cases({
        {"f: func [a b][a * 10 + b] o: make op! :f 1 o 2", "12"},
        {"f: func [a b][a * 10 + b] o: make op! :f 1 o 2 o 3", "123"},  // left to right
        {"f: func [a b][a * 10 + b] o: make op! :f 1 o 2 + 1", "13"},  // the right operand has no infix
        {"o: make op! :add 2 o 3", "5"},
        {"1 + ()", "error script/expect-arg"},
        {"1 +", "error script/no-arg"},
    });
}

TEST(InterpEval, LiteralFunctionValuesAndDo) {
    check_cases({
        // a function value met in code (not through a word) is called with the values after it
        {"b: copy [] append b :add append b 1 append b 2 do b", "3"},
        {"do [1 + 2]", "3"},
        {"do [] ", "unset"},
        {"f: func [][7] do :f", "func [][7]"},  // given alone to do, a function is returned uncalled
        {"f: func [][7] do 'f", "7"},            // through a word it is called
    });
}

TEST(InterpEval, PathsOnBlocksAndObjects) {
    check_cases({
        {"b: [1 2 3] b/2", "2"},
        {"b: [1 2 3] b/4", "none"},
        {"b: [1 2 3] b/2: 9 b", "[1 9 3]"},
        {"b: [1 2 3] i: 3 b/:i", "3"},
        {"b: [1 2 3] b/(1 + 1)", "2"},
        {"b: [a 1 c 3] b/c", "3"},
        {"b: [a [x 5]] b/a/x", "5"},
        {"b: [a [x 5]] b/a/x: 6 b", "[a [x 6]]"},
        {"b: [1 2 3] b/5: 0", "error script/out-of-range"},
        {"o: make object! [a: 1 b: 2] o/b", "2"},
        {"o: make object! [a: 1 b: 2] o/b: 5 o/b", "5"},
        {"o: make object! [a: 1] o/z", "error script/invalid-path"},
        {"o: make object! [a: make object! [c: 3]] o/a/c", "3"},
        {"o: make object! [f: func [x][x + 1]] o/f 2", "3"},
        {"o: make object! [f: func [x /twice][either twice [x + x][x]]] o/f/twice 4", "8"},
        {"o: make object! [a: 1] :o/a", "1"},
        {"x: 1 x/a", "error script/bad-path-type2"},
        {"x: 1 x/a: 2", "error script/bad-path-type"},
        {"u/a", "error script/unset-path"},
        {"f: func [][1] f/x: 2", "error script/invalid-path-set"},
        {"f: func [][1] :f/x", "error script/invalid-path-get"},
        {"b: [1 2] b/(): 3", "error script/invalid-path"},
        {"b: [1 2] b/a:", "error script/need-value"},
    });
}

TEST(InterpEval, PathErrorsNameWhatFailed) {
    EXPECT_EQ(first_line(formed("x: 1 x/a: 2")),
              "*** Script Error: x returned a integer! value, so x/a could not be accessed");
    EXPECT_EQ(first_line(formed("x: 1 x/a")), "*** Script Error: path element > a < does not apply to integer! type");
    EXPECT_EQ(first_line(formed("u/a")), "*** Script Error: u is unset in path u/a");
    EXPECT_EQ(first_line(formed("b: [1 2] b/(): 3")), "*** Script Error: cannot access () in path b/():");
}

TEST(InterpEval, Apply) {
    check_cases({
        {"f: func [x][x * 2] apply :f [4]", "8"},
        {"f: func [a b][append append copy [] a b] apply :f [1]", "[1 none]"},
        {"f: func [a /r b][append append copy [] a b] apply :f [1 /r true 2]", "[1 2]"},
        {"f: func [a /r b][append append copy [] a r] apply :f [1 /r false 2]", "[1 false]"},
        {"f: func [a /r b][append append copy [] a b] apply/all :f [1 true 2]", "[1 2]"},
        {"f: func [a /r b][append append copy [] a b] apply/all :f [1 false 2]", "[1 none]"},
        {"f: func [a /r b][a] apply/all :f [1 2 3]", "error script/expect-arg"},
        {"f: func [a /r b][a] apply :f [1 2]", "error script/bad-refine"},
        {"f: func [a][a] apply :f [1 2]", "1"},  // left over for a function without refinements
        {"f: func [a /r b][a] apply :f [1 /q true]", "error script/no-refine"},
        {"f: func [a b][b] g: func [x][x] apply/safer :f [g 5]", "error script/no-arg"},
        {"f: func [a /r b][b] apply/safer :f [1 /r false (1 / 0)]", "none"},  // skipped, not evaluated
        {"f: func [a /r b][b] apply :f [1 /r false (1 / 0)]", "error math/zero-divide"},
        {"apply :append [[1] 2 /dup true 3]", "[1 2 2 2]"},
    });
}

TEST(InterpEval, CodeThatChangesTheBlockItRuns) {
    // the tail is read again at each step: appended code runs, cleared code stops
    check_cases({
        {"b: [append b [7] 5] do b", "7"},
        {"b: [clear b 1 2 3] do b", "[]"},
        {"b: [x: 1 clear next b 2 3] do b x", "1"},
    });
}

TEST(InterpEval, ErrorsCarryNearAndWhere) {
    EXPECT_EQ(formed("f: func [a b][a] f 1"),
              "*** Script Error: f is missing its b argument\n*** Where: f\n*** Near : f 1\n*** Stack: f");
    EXPECT_EQ(formed("x:"), "*** Script Error: x: needs a value\n*** Where: x\n*** Near : x:\n*** Stack: ");
    EXPECT_EQ(formed("1 + 2 no-such-word-xyz"),
              "*** Script Error: no-such-word-xyz has no value\n*** Where: ???\n*** Near : no-such-word-xyz\n*** "
              "Stack: ");
    // near is the statement being evaluated, in the innermost block; where the innermost named call
    EXPECT_EQ(formed("g: func [x][1 + 2 x / 0] f: func [][g 5] 10 f"),
              "*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : x / 0\n*** Stack: f g");
    EXPECT_EQ(formed("f: func [a [integer!]][a] f \"x\""),
              "*** Script Error: f does not allow string! for its a argument\n*** Where: f\n*** Near : f "
              "\"x\"\n*** Stack: f");
    EXPECT_EQ(formed("append 1 2"),
              "*** Script Error: append does not allow integer! for its series argument\n*** Where: append\n*** "
              "Near : append 1 2\n*** Stack: ");
    EXPECT_EQ(first_line(formed("f: func [/a x][x] f/c 1")), "*** Script Error: f has no refinement called c");
    EXPECT_EQ(first_line(formed("f: func [/a x][x] f/a/a 1 2")),
              "*** Script Error: duplicate refinement usage in: f/a/a");
}

// One expression at a time (do/next, any, all): the position moves past the
// expression; at the tail nothing is evaluated and the result is unset.
TEST(InterpEval, OneExpressionAtATime) {
    setup();
    gc::Rooted code(load("1 + 2 add 3 4"));
    Cell* top = stack::top_ptr;
    std::vector<std::string> seen;
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(interp::eval_next(code.get()), Flow::NORMAL);
            seen.push_back(mold_text(*stack::top()) + "@" + std::to_string(code->data1));
            stack::pop(1);
        }
        int32_t at = 0;
        EXPECT_EQ(interp::eval_one(code.get(), &at, true), Flow::NORMAL);
        seen.push_back(mold_text(*stack::top()) + "@" + std::to_string(at));
        stack::pop(1);
    });
    EXPECT_EQ(caught, 0u);
    EXPECT_EQ(stack::top_ptr, top);
    EXPECT_EQ(seen, (std::vector<std::string>{"3@3", "7@6", "unset@6", "3@3"}));
}
