// Syntax errors as the console prints them, typed and in scripts: the first
// line names the line and the bad text, and the Near line shows the source
// line it is on (not the loader's own code); bytes of a file that are no UTF-8
// show as U+FFFD; a NUL ends a script's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_process.hpp"

using namespace kro::test;

namespace {

// The printed error from its "*** Syntax Error" line through its Near line.
std::string syntax_report(const std::string& out) {
    size_t at = out.find("*** Syntax Error: ");
    if (at == std::string::npos) return "(none) " + out;
    size_t near = out.find("*** Near : ", at);
    if (near == std::string::npos) return out.substr(at);
    size_t end = out.find('\n', near);
    return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

TEST(LoaderConsole, TypedTextWithASyntaxError) {
    struct Case {
        const char* what;
        std::string input;
        std::string report;
    };
    const std::vector<Case> cases = {
        {"a block left open at the end of the input", "print 1\na: [1 2\n",
         "*** Syntax Error: (line 1) missing ] at [1 2\n*** Where: transcode\n*** Near : \"a: [1 2\""},
        {"an invalid value", "x: 1 + #{zz}\n",
         "*** Syntax Error: (line 1) invalid binary at #{zz}\n*** Where: transcode\n*** Near : \"x: 1 + #{zz}\""},
        {"load called by the user: named as the call", "load \"1 ]\"\n",
         "*** Syntax Error: (line 1) missing [ at ]\n*** Where: load\n*** Near : \"1 ]\""},
        // (typed text reaches the loader as characters: only a file's bytes may be no UTF-8)
        {"a file with a Latin-1 byte", "load %latin1.txt\n",
         "*** Syntax Error: (line 2) invalid string at \"caf\xEF\xBF\xBD\"\n*** Where: load\n"
         "*** Near : {x: \"caf\xEF\xBF\xBD\"}"},
    };
    ScratchDir dir;
    dir.file("latin1.txt", "1\nx: \"caf\xE9\"\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir home;
        Outcome o = run_piped({}, c.input, home.path, dir.path, LIGHT);
        ASSERT_FALSE(o.timed_out);
        EXPECT_EQ(syntax_report(o.out), c.report) << o.out;
        EXPECT_EQ(o.status, 0);
    }
}

TEST(LoaderConsole, ScriptsWithASyntaxError) {
    struct Case {
        const char* what;
        std::string text;
        std::string out;  // the whole output
        int status;
    };
    const std::vector<Case> cases = {
        {"a paren left open names its own line, not the last one",
         "Kro []\nprint 1\nx: (1 2\ny: 3\n\n",
         "*** Syntax Error: (line 3) missing ) at (1 2\n*** Where: transcode\n*** Near : \"x: (1 2\"\n", 1},
        {"a NUL ends the text", std::string("Kro []\nprint 1\n\0print 2\n[", 24), "1\n", 0},
        {"a NUL inside a string", std::string("Kro []\nprint \"a\0b\"\nprint 2\n", 26),
         "*** Syntax Error: (line 2) invalid string at \"a\n*** Where: transcode\n*** Near : {print \"a}\n", 1},
    };
    ScratchDir home, dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.file("f.kro", c.text);
        Outcome o = run_piped({"f.kro"}, "", home.path, dir.path, LIGHT);
        ASSERT_FALSE(o.timed_out);
        std::string out = o.out.substr(0, o.out.find("*** Stack: "));
        EXPECT_EQ(out, c.out) << o.out;
        EXPECT_EQ(o.status, c.status);
    }
}
