// The executable on a pseudo-terminal: lines typed (with Tab completion) are
// kept in the configuration file when the console is left, and the next run
// walks them with the arrow keys.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "console_process.hpp"

using namespace kro::test;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool same_modes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag;
}

TEST(LineEditorRestart, HistorySurvivesARestartThroughTheConfigurationFile) {
    ScratchDir home;
    std::string cfg = home.path + "/.kro/Kro-Console/console-cfg.kro";
    {
        PtySession s({}, home.path);
        ASSERT_TRUE(s.wait_for(">> ")) << s.screen();
        s.type("zqr-one: 1\r");
        ASSERT_TRUE(s.wait_for("== 1")) << s.screen();
        s.type("zqr-two: 2\r");
        ASSERT_TRUE(s.wait_for("== 2")) << s.screen();
        // Several candidates: listed, then the common part starts the next line.
        s.type("print zqr-\t");
        ASSERT_TRUE(s.wait_for("zqr-one zqr-two")) << s.screen();
        ASSERT_TRUE(s.wait_for(">> print zqr-")) << s.screen();
        // One candidate: completed in place.
        s.type("t\t");
        ASSERT_TRUE(s.wait_for("print zqr-two")) << s.screen();
        s.type("\r");
        ASSERT_TRUE(s.wait_for("\r\n2\r\n")) << s.screen();
        ASSERT_TRUE(s.wait_for(">> "));
        // Ctrl-D on an empty line leaves as quit does: the file is written.
        s.type("\x04");
        EXPECT_EQ(s.wait_exit(), 0);
        EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
    }
    std::string text = read_file(cfg);
    EXPECT_NE(text.find("buffer-lines: 10000\n"), std::string::npos) << text;
    EXPECT_NE(text.find("history: [\n    \"print zqr-two\"\n    \"zqr-two: 2\"\n    \"zqr-one: 1\"\n]"),
              std::string::npos)
        << text;

    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> ")) << s.screen();
    s.type("\x1b[A");
    ASSERT_TRUE(s.wait_for("print zqr-two")) << s.screen();
    s.type("\x1b[A");
    ASSERT_TRUE(s.wait_for("zqr-two: 2")) << s.screen();
    s.type("\x1b[A");
    ASSERT_TRUE(s.wait_for("zqr-one: 1")) << s.screen();
    s.type("\x1b[B");
    ASSERT_TRUE(s.wait_for("zqr-two: 2")) << s.screen();
    s.type("\r");
    ASSERT_TRUE(s.wait_for("== 2")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit\r");
    EXPECT_EQ(s.wait_exit(), 0);
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
    text = read_file(cfg);
    EXPECT_NE(text.find("history: [\n    \"quit\"\n    \"zqr-two: 2\"\n    \"print zqr-two\"\n"), std::string::npos)
        << text;
}

}  // namespace
