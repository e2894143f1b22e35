// A script named on the command line that fails to load or to read: the
// report names the line of the file (counting the lines before its header)
// and the file itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_process.hpp"

using namespace kro::test;

namespace {

// The text of the report line that starts with this label ("" when absent).
std::string report_line(const std::string& out, const std::string& label) {
    size_t at = out.find(label);
    if (at == std::string::npos) return "";
    size_t end = out.find('\n', at);
    return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

TEST(ConsoleScriptReport, NamesTheLineOfTheFileAndTheFile) {
    ScratchDir dir, home;
    struct Case {
        const char* what;
        std::string text;
        std::string first;  // the report's first line
        std::string near;
    };
    const std::vector<Case> cases = {
        {"syntax error, lines before the header", "; a comment\n; another\n\nKro []\nprint 1\nx: [1 2\n",
         "*** Syntax Error: (line 6) missing ] at [1 2", "*** Near : \"x: [1 2\""},
        {"the header text's own line", "#!/bin/kro\nrem Kro [] 1 + 2\n)\n",
         "*** Syntax Error: (line 3) missing ( at )", "*** Near : \")\""},
        {"lines ending in CR LF", "rem\r\nrem\r\nKro []\r\n1 + {2\r\n",
         "*** Syntax Error: (line 4) invalid string at {2", "*** Near : \"1 + {2\""},
        {"no lines before the header", "Kro []\n\n\n(1 2]\n", "*** Syntax Error: (line 4) missing ) at (1 2]",
         "*** Near : \"(1 2]\""},
        {"an error while running", "\n\nKro []\n1 / 0\n", "*** Math Error: attempt to divide by zero",
         "*** Near : 1 / 0"},
        {"not UTF-8", "Kro []\nprint 1\n  x: \"caf\xE9\" y: 2\n",
         "*** Access Error: invalid UTF-8 encoding: #{E9222079}", "*** Near : {(line 3) x: \"caf\xEF\xBF\xBD\" y: 2}"},
        {"not UTF-8, far into a long line",
         "Kro []\n" + std::string(50, 'a') + " \xC3\xA9 " + std::string(25, 'b') + "\xFF\xFE ok\n",
         "*** Access Error: invalid UTF-8 encoding: #{FFFE206F}",
         "*** Near : \"(line 2) " + std::string(20, 'b') + "\xEF\xBF\xBD\xEF\xBF\xBD ok\""},
        {"not UTF-8 in the first line, before the header", "\xC3(\nKro []\n",
         "*** Access Error: invalid UTF-8 encoding: #{C3280A4B}", "*** Near : \"(line 1) \xEF\xBF\xBD(\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.file("f.kro", c.text);
        Outcome o = run_piped({"f.kro"}, "", home.path, dir.path, LIGHT);
        EXPECT_EQ(o.out.substr(0, o.out.find('\n')), c.first) << o.out;
        EXPECT_EQ(report_line(o.out, "*** Near : "), c.near) << o.out;
        EXPECT_EQ(report_line(o.out, "*** Files: "), "*** Files: %f.kro") << o.out;
        EXPECT_EQ(o.status, 1);
    }
}

TEST(ConsoleScriptReport, TheFileIsNamedOnlyWhileTheScriptRuns) {
    ScratchDir dir, home;
    dir.file("f.kro", "Kro []\nprint mold system/state/source-files\n");
    Outcome o = run_piped({"--catch", "f.kro"}, "mold system/state/source-files\n1 / 0\n", home.path, dir.path);
    EXPECT_EQ(o.out.rfind("[%f.kro]\n== \"[]\"\n*** Math Error", 0), 0u) << o.out;
    EXPECT_EQ(report_line(o.out, "*** Files: "), "") << o.out;
    EXPECT_EQ(o.status, 0);
}
