// The actions' stack forms: dispatch on the first argument (on the datatype it
// names for make and to), /part and /dup of append, insert and change, the
// string of form and mold, the index numbers of pick and poke, and the errors
// of unsupported actions and bad refinement arguments.
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

void check_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(run(c.code), c.expected) << c.code;
}

std::string first_line(const char* code) {
    std::string text;
    run(code, &text);
    return text.substr(0, text.find('\n'));
}

}  // namespace

TEST(InterpActions, PartAndDupAreNormalised) {
    check_cases({
        {"append/part [1] [2 3] 0", "[1]"},  // nothing inserted, the series is the result
        {"append/part [1] [2 3 4] 2", "[1 2 3]"},
        {"append/part [1] [2 3] 100", "[1 2 3]"},
        {"append/part [1] [2 3] 1.5", "[1 2]"},
        // a negative length takes the values before the position
        {"append/part [1] next next [2 3 4] -1", "[1 3]"},
        {"append/part [1] next next [2 3 4] -5", "[1 2 3]"},
        {"append/part [1] [2 3 4] -1", "[1]"},
        // a position in the same series measures the length
        {"b: [5 6 7 8] append/part [1] b next next b", "[1 5 6]"},
        {"b: [5 6 7 8] append/part [1] next next b b", "[1 5 6]"},
        {"append/part [1] 5 1", "error script/invalid-part"},
        {"append/part [1] [2 3] \"x\"", "error script/invalid-refine-arg"},
        {"append/part [1] [2 3] [2 3]", "error script/invalid-refine-arg"},  // another buffer
        {"append/dup [1] 2 0", "[1]"},
        {"append/dup [1] 2 -1", "[1]"},
        {"append/dup [1] 2 3", "[1 2 2 2]"},
        {"append/only/dup [1] [2] 2", "[1 [2] [2]]"},
        {"head insert/part [1] [2 3] 1", "[2 1]"},
        {"insert/part [1] [2 3] 0", "[1]"},
        {"head insert/dup [1] 0 2", "[0 0 1]"},
        // change measures /part in the series it changes; a length of 0 still inserts
        {"head change/part [1 2 3] [9] 2", "[9 3]"},
        {"head change/part [1 2 3] 9 0", "[9 1 2 3]"},
        {"head change/dup [1 2 3] 9 2", "[9 9 3]"},
        {"change/dup [1 2 3] 9 0", "[1 2 3]"},
        {"append/part \"ab\" \"cde\" 2", "\"abcd\""},
    });
    EXPECT_EQ(first_line("append/part [1] 5 1"), "*** Script Error: invalid /part count: 1");
    EXPECT_EQ(first_line("append/part [1] [2 3] \"x\""), "*** Script Error: invalid part argument: \"x\"");
}

TEST(InterpActions, FormAndMold) {
    check_cases({
        {"form 12", "\"12\""},
        {"form [1 [2] 3]", "\"1 2 3\""},
        {"form/part [1 2 3] 3", "\"1 2\""},
        {"form/part [1 2 3] 0", "\"\""},
        {"form/part \"abcdef\" -5", "\"\""},
        {"mold \"a\"", "{\"a\"}"},
        {"mold/part [1 2 3] 3", "\"[1 \""},
        {"mold/only [1 2]", "\"1 2\""},
        {"mold/flat [1\n2]", "\"[1 2]\""},
        {"mold/all ()", "\"#(unset)\""},
    });
}

TEST(InterpActions, PickAndPokeIndexNumbers) {
    check_cases({
        {"pick [a b] true", "a"},
        {"pick [a b] false", "b"},
        {"pick [a b] 2", "b"},
        {"pick [a b] 3", "none"},
        {"pick \"abc\" 2", "#\"b\""},
        {"poke [a b] 1 'x", "x"},  // the poked value is the result
        {"b: [a b] poke b false 'z b", "[a z]"},
        {"poke [a b] 5 'x", "error script/out-of-range"},
    });
}

TEST(InterpActions, MakeAndToDispatchOnTheTypeNamed) {
    check_cases({
        {"make block! 2", "[]"},
        {"to block! 5", "[5]"},
        {"make [1 2] 3", "[]"},  // a prototype value dispatches on its own type
        {"make integer! 1.5", "1"},
        {"to integer! 3.7", "3"},
        {"o: make object! [a: 1 + 1] o/a", "2"},
        {"to native! 1", "error script/expect-arg"},
    });
    EXPECT_EQ(first_line("to native! 1"), "*** Script Error: to does not allow native! for its type argument");
}

TEST(InterpActions, UnsupportedAndRefused) {
    check_cases({
        {"length? 5", "error script/expect-arg"},
        {"copy/types [1] 5", "error script/expect-arg"},
        {"copy/types [1 a 2] integer!", "[1 a 2]"},
    });
    EXPECT_EQ(first_line("length? 5"), "*** Script Error: length? does not allow integer! for its series argument");
    EXPECT_EQ(first_line("copy/types [1] 5"), "*** Script Error: copy does not allow integer! for its kind argument");
}

TEST(InterpActions, RefinementsReachTheImplementation) {
    check_cases({
        {"copy/part [1 2 3] 2", "[1 2]"},
        {"x: [1 [2]] y: copy/deep x append y/2 3 x", "[1 [2]]"},
        {"x: [1 [2]] y: copy x append y/2 3 x", "[1 [2 3]]"},
        {"find/tail [a b c] 'b", "[c]"},
        {"find/last [a b a c] 'a", "[a c]"},
        {"find/skip [a b a c] 'c 2", "none"},
        {"find/reverse tail [a b c] 'b", "[b c]"},
        {"find/match [a b c] 'a", "[a b c]"},
        {"find/match [a b c] 'b", "none"},
        {"head next [1 2]", "[1 2]"},
        {"length? [1 2 3]", "3"},
    });
}
