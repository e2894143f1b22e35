// What the core library functions print (?? and probe) and how quit ends the
// process; everything else of the core library, the conversions, load and save
// and the type predicates is covered by the tables in tests/kro/.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "foundation/print.hpp"
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

std::vector<std::string>& lines() {
    static std::vector<std::string> l;
    return l;
}

// print writes its text and then the line end in a second call
void capture(const Cell* str, bool line_end) {
    if (lines().empty() || lines().back().back() == '\n') lines().emplace_back();
    lines().back() += string::to_utf8(str);
    if (line_end) lines().back() += '\n';
}

class CorePrinting : public ::testing::Test {
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
    using Out = std::vector<std::string>;
};

TEST_F(CorePrinting, QuestionMarksPrintTheWordAndItsMoldedValue) {
    struct Case {
        const char* code;
        const char* printed;
    };
    const Case cases[] = {
        {"cl-x: 42 ?? cl-x", "cl-x: 42\n"},
        {"cl-s: \"a b\" ?? cl-s", "cl-s: \"a b\"\n"},
        {"cl-b: [1 [2]] ?? cl-b", "cl-b: [1 [2]]\n"},
        {"?? cl-never-set", "cl-never-set: unset!\n"},
        {"cl-o: make object! [a: [k 5]] ?? cl-o/a/k", "cl-o/a/k: 5\n"},
        {"cl-o: make object! [a: none] ?? cl-o/a", "cl-o/a: none\n"},
        {"cl-f: func [] [print \"called\"] ?? cl-f", "cl-f: func [][print \"called\"]\n"},  // not called
    };
    for (const Case& c : cases) {
        lines().clear();
        EXPECT_EQ(run(c.code), "unset") << c.code;
        EXPECT_EQ(lines(), (Out{c.printed})) << c.code;
    }
    EXPECT_EQ(run("?? 12"), "error script/expect-arg");
    lines().clear();
    EXPECT_EQ(run("cl-o: make object! [] ?? cl-o/nothing"), "unset");  // a path is read with get/any
    EXPECT_EQ(lines(), (Out{"cl-o/nothing: unset\n"}));
    lines().clear();
    EXPECT_EQ(run("?? cl-never-set/x"), "error script/unset-path");  // nothing half printed
    EXPECT_TRUE(lines().empty());
}

TEST_F(CorePrinting, ProbePrintsTheMoldedValueAndReturnsIt) {
    EXPECT_EQ(run("probe [1 \"a\" b]"), "[1 \"a\" b]");
    EXPECT_EQ(lines(), (Out{"[1 \"a\" b]\n"}));
    lines().clear();
    EXPECT_EQ(run("probe ()"), "unset");
    EXPECT_EQ(lines(), (Out{"unset\n"}));
    lines().clear();
    EXPECT_EQ(run("same? :print probe :print"), "true");
    lines().clear();
    EXPECT_EQ(run("also 1 print \"x\""), "1");
    EXPECT_EQ(lines(), (Out{"x\n"}));
}

// quit saves the console's configuration, then ends with the status asked
// (0 without /return); quit-return alone saves nothing.
TEST(CoreQuit, EndsTheProcessWithItsStatusAfterSavingTheConfiguration) {
    const char* exe = std::getenv("KRO_EXE");
    if (!exe) GTEST_SKIP() << "KRO_EXE is not set";
    struct Case {
        const char* input;
        int status;
        bool saved;
    };
    const Case cases[] = {
        {"quit/return 7\nprint \"not reached\"\n", 7, true},
        {"quit\nprint \"not reached\"\n", 0, true},
        {"quit/return 300\n", 300 & 0xFF, true},
        {"quit-return 4\n", 4, false},
    };
    for (const Case& c : cases) {
        char dir[] = "/tmp/kro-quit-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        std::string cmd = std::string("printf '%s' '") + c.input + "' | HOME=" + dir + " '" + exe + "' 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
        int ws = pclose(p);
        ASSERT_TRUE(WIFEXITED(ws)) << c.input;
        EXPECT_EQ(WEXITSTATUS(ws), c.status) << c.input;
        EXPECT_EQ(out.find("not reached"), std::string::npos) << c.input;
        struct stat st;
        std::string cfg = std::string(dir) + "/.kro/Kro-Console/console-cfg.kro";
        EXPECT_EQ(stat(cfg.c_str(), &st) == 0, c.saved) << c.input;
        std::string rm = std::string("rm -rf '") + dir + "'";
        EXPECT_EQ(std::system(rm.c_str()), 0);
    }
}

}  // namespace
