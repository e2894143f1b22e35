// print and prin: what reaches the print hooks, and the line-end record that
// last-lf? reads. The rest of the value, word and block natives is covered by
// the tables in tests/kro/value_natives*.kro.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "foundation/print.hpp"
#include "interp_fixtures.hpp"
#include "interpreter/natives_value.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

std::vector<std::pair<std::string, bool>>& lines() {
    static std::vector<std::pair<std::string, bool>> l;
    return l;
}

void capture(const Cell* str, bool line_end) { lines().emplace_back(string::to_utf8(str), line_end); }

// Sends the hooks' output to the capture instead of the console for one test.
class PrintNatives : public ::testing::Test {
protected:
    void SetUp() override {
        setup();
        lines().clear();
        print::remove_hooks(&print::default_value_hook, nullptr);
        print::add_hooks(&capture, nullptr);
    }
    void TearDown() override {
        print::remove_hooks(&capture, nullptr);
        print::add_hooks(&print::default_value_hook, nullptr);
    }
    using Out = std::vector<std::pair<std::string, bool>>;
};

TEST_F(PrintNatives, WritesTextWithOrWithoutLineEnd) {
    struct Case {
        const char* code;
        const char* text;
    };
    const Case cases[] = {
        {"print \"abc\"", "abc"},
        {"print next \"abc\"", "bc"},
        {"s: \"abc\" t: skip s 2 clear s print t", ""},  // a head past the tail prints nothing
        {"print 12", "12"},
        {"print %a/b", "a/b"},
        {"print [1 + 1 \"x\" [y z]]", "2 x y z"},
        {"x: 3 print [x 'x]", "3 x"},
        {"print []", ""},
        {"print 'word", "word"},
    };
    for (const Case& c : cases) {
        lines().clear();
        EXPECT_EQ(run(c.code), "unset") << c.code;
        EXPECT_EQ(lines(), (Out{{c.text, true}})) << c.code;
        EXPECT_TRUE(natives::last_lf()) << c.code;
    }
    lines().clear();
    EXPECT_EQ(run("prin [1 2] prin \"|\""), "unset");
    EXPECT_EQ(lines(), (Out{{"1 2", false}, {"|", false}}));
    EXPECT_FALSE(natives::last_lf());
    EXPECT_EQ(run("print \"\""), "unset");
    EXPECT_TRUE(natives::last_lf());
}

// A print run while the block of another print is being reduced keeps its
// own output and leaves the outer line's values alone.
TEST_F(PrintNatives, NestedPrintKeepsBothLines) {
    EXPECT_EQ(run("print [\"a\" do [print [\"b\" 1 + 1] \"c\"] \"d\"]"), "unset");
    EXPECT_EQ(lines(), (Out{{"b 2", true}, {"a c d", true}}));
    lines().clear();
    EXPECT_EQ(run("f: func [n] [either n > 0 [prin [n \"\"] n - 1] [0]] print [f 3 f 2 f 1]"), "unset");
    EXPECT_EQ(lines(), (Out{{"3 ", false}, {"2 ", false}, {"1 ", false}, {"2 1 0", true}}));
}

// A block whose reduction stops (an error, a break) prints nothing, and the
// next print starts clean.
TEST_F(PrintNatives, StoppedReductionPrintsNothing) {
    EXPECT_EQ(run("print [\"a\" 1 / 0]"), "error math/zero-divide");
    EXPECT_EQ(run("loop 1 [print [\"a\" break \"b\"]] 7"), "7");
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(run("print [\"c\"]"), "unset");
    EXPECT_EQ(lines(), (Out{{"c", true}}));
}

}  // namespace
