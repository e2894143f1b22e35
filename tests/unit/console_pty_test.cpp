// The console on a terminal, as a person types at it: the prompt and the
// continuation prompt, Ctrl-C and Ctrl-D at the prompt, Esc, the window size
// and the cut width that follows it, Ctrl-C while code runs, and the terminal's
// modes put back whichever way the console ends.
#include <gtest/gtest.h>

#include <string>

#include "console_process.hpp"

using namespace kro::test;

namespace {

bool same_modes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

}  // namespace

TEST(ConsoleTerminal, PromptResultAndContinuation) {
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.wait_for("Type HELP for starting information."));
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("1 + 2\r");
    ASSERT_TRUE(s.wait_for("== 3")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    // a block left open: the continuation prompt shows the open delimiter
    s.type("[1 2\r");
    ASSERT_TRUE(s.wait_for("[    ")) << s.screen();
    s.type("{x\r");
    ASSERT_TRUE(s.wait_for("{    ")) << s.screen();
    s.type("}]\r");
    ASSERT_TRUE(s.wait_for("== [1 2")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit/return 5\r");
    EXPECT_EQ(s.wait_exit(), 5);
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
}

TEST(ConsoleTerminal, EscapeDropsTheCommand) {
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("[1 2\r");
    ASSERT_TRUE(s.wait_for("[    "));
    s.type("3");
    s.type("\x1b");
    ASSERT_TRUE(s.wait_for("(escape)")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("7\r");
    ASSERT_TRUE(s.wait_for("== 7")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("\x03");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(ConsoleTerminal, CtrlCAndCtrlDAtThePromptQuit) {
    for (const char* key : {"\x03", "\x04"}) {
        SCOPED_TRACE(int(key[0]));
        ScratchDir home;
        PtySession s({}, home.path);
        ASSERT_TRUE(s.wait_for(">> "));
        s.type("1\r");
        ASSERT_TRUE(s.wait_for("== 1"));
        ASSERT_TRUE(s.wait_for(">> "));
        s.type(key);
        EXPECT_EQ(s.wait_exit(), 0);
        EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
    }
    // Ctrl-D on a line with text deletes; it does not quit
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("12\x01\x04\r");
    ASSERT_TRUE(s.wait_for("== 2")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit\r");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(ConsoleTerminal, WindowSizeAndCutWidth) {
    ScratchDir home;
    PtySession s({}, home.path, 20, 40);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("system/console/size\r");
    ASSERT_TRUE(s.wait_for("== 40x20")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    // 40 columns: limit 37, "..." at the 34th character of the result
    s.type("append/dup copy \"\" \"y\" 50\r");
    ASSERT_TRUE(s.wait_for("== {" + std::string(32, 'y') + "...\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    // The size follows the window once the change has reached the console: the
    // signal that tells it may be handled after keys typed at the same time.
    s.resize(30, 100);
    std::string size;
    for (int i = 0; i < 100 && size != "100x30"; i++) {
        if (i > 0) {
            ASSERT_TRUE(s.wait_for(">> "));
        }
        s.type("system/console/size\r");
        size = s.line_after("== ");
        ASSERT_TRUE(size == "40x20" || size == "100x30") << size;
    }
    EXPECT_EQ(size, "100x30");
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit\r");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(ConsoleTerminal, AskOnTheTerminalAndTheHistory) {
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("a: ask \"name? \"\r");
    ASSERT_TRUE(s.wait_for("name? ")) << s.screen();
    s.type("Kro\r");
    ASSERT_TRUE(s.wait_for("== \"Kro\"")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    // the line entered is the very string in the history; a hidden one is not kept
    s.type("p: ask/hide \"pw: \"\r");
    ASSERT_TRUE(s.wait_for("pw: "));
    s.type("secret\r");
    ASSERT_TRUE(s.wait_for("******")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("h: system/console/history reduce [same? a h/3 find h \"secret\" h/2]\r");
    ASSERT_TRUE(s.wait_for("== [true none {p: ask/hide \"pw: \"}]")) << s.screen();
    // the same line twice in a row is kept once; another block can take the lines
    s.type("2\r");
    ASSERT_TRUE(s.wait_for("== 2"));
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("2\r");
    ASSERT_TRUE(s.wait_for("== 2"));
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("b: copy [] x: ask/history \"? \" b\r");
    ASSERT_TRUE(s.wait_for("? "));
    s.type("in b\r");
    ASSERT_TRUE(s.wait_for("== \"in b\""));
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("h: system/console/history reduce [same? x b/1 find h \"in b\" h/3 h/4]\r");
    ASSERT_TRUE(s.wait_for("== [true none \"2\" {h: system/console/history reduce [same? a h/3")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit\r");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(ConsoleTerminal, CtrlCWhileCodeRunsEndsAsAnInterruptedProgram) {
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("print \"looping\" forever []\r");
    ASSERT_TRUE(s.wait_for("looping\r\n")) << s.screen();
    s.type("\x03");
    EXPECT_EQ(s.wait_exit(), 128 + SIGINT);
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
}

TEST(ConsoleTerminal, ScriptOnTheTerminal) {
    ScratchDir dir, home;
    dir.file("s.kro", "Kro []\nprint [\"args\" mold system/options/args]\n");
    PtySession s({"--catch", "s.kro", "one"}, home.path, 24, 80, dir.path);
    ASSERT_TRUE(s.wait_for("args [\"one\"]")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    EXPECT_EQ(s.screen().find("Type HELP"), std::string::npos);
    s.type("\x04");
    EXPECT_EQ(s.wait_exit(), 0);
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
}
