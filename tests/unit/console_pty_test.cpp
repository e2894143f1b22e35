// The console on a terminal, as a person types at it: the prompt and the
// continuation prompt, Ctrl-C and Ctrl-D at the prompt, Esc, the window size
// and the cut width that follows it, Ctrl-C while code runs, and the terminal's
// modes put back whichever way the console ends; Ctrl-C and Ctrl-D inside a
// command and at an ask of running code, pasted code, split key sequences, the
// history file when it is damaged or cannot be written, and a dumb terminal.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

TEST(ConsoleTerminal, CtrlCAndCtrlDInsideAMultiLineCommand) {
    // Ctrl-C quits there too; it does not add a "q" to the open command
    {
        ScratchDir home;
        PtySession s({}, home.path);
        ASSERT_TRUE(s.wait_for(">> "));
        s.type("[1 2\r");
        ASSERT_TRUE(s.wait_for("[    ")) << s.screen();
        s.type("\x03");
        EXPECT_EQ(s.wait_exit(60000), 0) << s.screen();
        EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
    }
    // Ctrl-D on the empty continuation line ends the input: what the command
    // lacks is reported, then the console ends
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("[1 2\r");
    ASSERT_TRUE(s.wait_for("[    ")) << s.screen();
    s.type("\x04");
    ASSERT_TRUE(s.wait_for("*** Syntax Error: ", 60000)) << s.screen();
    ASSERT_TRUE(s.wait_for("missing ] at [1 2")) << s.screen();
    EXPECT_EQ(s.wait_exit(60000), 0);
    EXPECT_EQ(s.screen().find("== [1 2"), std::string::npos) << s.screen();
}

TEST(ConsoleTerminal, QuitEndsTheConsoleEvenWhenTheHistoryCannotBeSaved) {
    ScratchDir home;
    // a folder where the configuration file should be
    std::string mk = "mkdir -p '" + home.path + "/.kro/Kro-Console/console-cfg.kro'";
    ASSERT_EQ(std::system(mk.c_str()), 0);
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("1 + 1\r");
    ASSERT_TRUE(s.wait_for("== 2"));
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit/return 4\r");
    EXPECT_EQ(s.wait_exit(60000), 4) << s.screen();
    EXPECT_NE(s.screen().find("*** Access Error: cannot open: %" + home.path + "/.kro/Kro-Console/console-cfg.kro"),
              std::string::npos)
        << s.screen();
    EXPECT_NE(s.screen().find("The console history was not saved."), std::string::npos) << s.screen();
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
}

TEST(ConsoleTerminal, PastedCodeKeepsItsTabs) {
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    // The terminal marks a paste when the program has asked for that, as a
    // real one does; the pasted lines are indented with tabs, and a tab after
    // "pr" must not be taken for completion (which would list pr... words and
    // glue "pr" to "1").
    auto asked = [&] {
        size_t on = s.screen().rfind("\x1b[?2004h"), off = s.screen().rfind("\x1b[?2004l");
        return on != std::string::npos && (off == std::string::npos || off < on);
    };
    std::string text = "blk: [\r\tappend\t\"x\"\r\tpr\t1\r]\r";
    s.type(asked() ? "\x1b[200~" + text + "\x1b[201~" : text);
    ASSERT_TRUE(s.wait_for(">> ", 60000)) << s.screen();
    s.type("print [\"n:\" length? blk mold blk/3]\r");
    EXPECT_EQ(s.line_after("n: "), "4 pr") << s.screen();
    // after the paste Tab completes again
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("qui\t");
    ASSERT_TRUE(s.wait_for("quit")) << s.screen();
    s.type("\r");
    EXPECT_EQ(s.wait_exit(60000), 0);
    // the terminal is left as it was found: paste marks off
    EXPECT_FALSE(asked());
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
}

namespace {

std::string read_file(const std::string& path) {
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "(missing)";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

// The console's configuration file under a home folder, with these history lines.
std::string write_history(const ScratchDir& home, const std::vector<std::string>& lines) {
    std::string mk = "mkdir -p '" + home.path + "/.kro/Kro-Console'";
    if (std::system(mk.c_str()) != 0) return "";
    std::string text = "Kro [\n    Purpose: \"Kro Console Configuration File\"\n]\n\nbuffer-lines: 10000\nhistory: [\n";
    for (const std::string& l : lines) text += "    \"" + l + "\"\n";
    text += "]\n";
    return home.file(".kro/Kro-Console/console-cfg.kro", text);
}

}  // namespace

TEST(ConsoleTerminal, AStrayByteInTheHistoryFileLosesNothingElse) {
    ScratchDir home;
    std::string cfg = write_history(home, {"newest entry", "bad \xFF byte", "oldest entry"});
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("\x1b[A");
    ASSERT_TRUE(s.wait_for("newest entry", 60000)) << s.screen();
    s.type("\x1b[A");
    ASSERT_TRUE(s.wait_for("bad \xEF\xBF\xBD byte")) << s.screen();
    s.type("\x1b[A");
    ASSERT_TRUE(s.wait_for("oldest entry")) << s.screen();
    s.type("\x1b[B\x1b[B\x1b[B");
    s.type("quit\r");
    EXPECT_EQ(s.wait_exit(60000), 0);
    std::string text = read_file(cfg);
    EXPECT_NE(text.find("history: [\n    \"quit\"\n    \"newest entry\"\n    \"bad \xEF\xBF\xBD byte\"\n"
                        "    \"oldest entry\"\n]"),
              std::string::npos)
        << text;
}

TEST(ConsoleTerminal, ASaveThatFailsHalfWayLeavesTheHistoryFileWhole) {
    ScratchDir home;
    std::vector<std::string> lines;
    for (int i = 0; i < 100; i++) lines.push_back("line " + std::to_string(i) + " " + std::string(100, 'x'));
    std::string cfg = write_history(home, lines);
    std::string before = read_file(cfg);
    ASSERT_GT(before.size(), 10000u);
    // The console may write no file longer than 4 KB (as on a disk that
    // fills up): the write fails part of the way through.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 4096;
    struct sigaction ignore{}, old_xfsz{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old_xfsz);
    setrlimit(RLIMIT_FSIZE, &small);
    PtySession s({}, home.path);
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &old_xfsz, nullptr);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("1 + 1\r");
    ASSERT_TRUE(s.wait_for("== 2"));
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit\r");
    EXPECT_EQ(s.wait_exit(60000), 0);
    EXPECT_NE(s.screen().find("The console history was not saved."), std::string::npos) << s.screen();
    EXPECT_TRUE(read_file(cfg) == before);
    // nothing is left beside it
    std::string ls = "ls -A '" + home.path + "/.kro/Kro-Console' | grep -v '^console-cfg.kro$' | grep -q .";
    EXPECT_NE(std::system(ls.c_str()), 0);
}

TEST(ConsoleTerminal, CtrlCAndCtrlDAtAnAskOfRunningCode) {
    // At the console's own prompt Ctrl-C and Ctrl-D quit; at an ask that code
    // makes they must not answer a "q" that nobody typed: Ctrl-C stops the
    // code, Ctrl-D on an empty line ends the input (ask answers none).
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    // (the prompt's text shows first in the command's own echo)
    s.type("a: ask \"name? \" print [\"got\" mold a]\r");
    ASSERT_TRUE(s.wait_for("mold a]")) << s.screen();
    ASSERT_TRUE(s.wait_for("name? ")) << s.screen();
    s.type("xy\x03");
    ASSERT_TRUE(s.wait_for("(halted)", 60000)) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("b: ask \"more? \" print [\"got\" mold b]\r");
    ASSERT_TRUE(s.wait_for("mold b]")) << s.screen();
    ASSERT_TRUE(s.wait_for("more? ")) << s.screen();
    s.type("\x04");
    EXPECT_EQ(s.line_after("got "), "none") << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("value? 'a\r");
    EXPECT_EQ(s.line_after("== "), "false") << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("\x03");
    EXPECT_EQ(s.wait_exit(60000), 0);
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));

    // a script that asks is stopped by Ctrl-C; what follows the ask does not run
    ScratchDir dir;
    dir.file("s.kro", "Kro []\nname: ask \"name? \"\nprint [\"hello\" name]\n");
    PtySession t({"s.kro"}, home.path, 24, 80, dir.path);
    ASSERT_TRUE(t.wait_for("name? ")) << t.screen();
    t.type("\x03");
    EXPECT_EQ(t.wait_exit(60000), 0);
    EXPECT_NE(t.screen().find("(halted)"), std::string::npos) << t.screen();
    EXPECT_EQ(t.screen().find("hello"), std::string::npos) << t.screen();
    EXPECT_TRUE(same_modes(t.modes(), t.initial_modes()));
}

TEST(ConsoleTerminal, ADumbTerminalGetsPlainLines) {
    // TERM=dumb (an editor's shell buffer): no escape sequences, which such a
    // terminal would show as garbage; the prompt is plain text, the terminal's
    // line mode edits, hidden input is not echoed, and lines join the history.
    ScratchDir home;
    PtySession s({}, home.path, 24, 80, "", {"TERM=dumb"});
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("1 + 2\n");
    ASSERT_TRUE(s.wait_for("== 3\r\n>> ", 60000)) << s.screen();
    s.type("p: ask/hide \"pw: \"\n");
    ASSERT_TRUE(s.wait_for("\r\npw: ")) << s.screen();
    s.type("secret\n");
    ASSERT_TRUE(s.wait_for("== \"secret\"")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("[1\n");
    ASSERT_TRUE(s.wait_for("[    ")) << s.screen();
    s.type("2]\n");
    ASSERT_TRUE(s.wait_for("== [1\r\n2]")) << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit/return 3\n");
    EXPECT_EQ(s.wait_exit(60000), 3);
    EXPECT_EQ(s.screen().find('\x1b'), std::string::npos) << s.screen();
    EXPECT_EQ(s.screen().find("secret\r\n"), std::string::npos) << s.screen();
    EXPECT_TRUE(same_modes(s.modes(), s.initial_modes()));
    std::string cfg = read_file(home.path + "/.kro/Kro-Console/console-cfg.kro");
    EXPECT_NE(cfg.find("\"1 + 2\""), std::string::npos) << cfg;
    EXPECT_EQ(cfg.find("secret"), std::string::npos) << cfg;
}

TEST(ConsoleTerminal, AKeySequenceSplitByASlowLinkIsStillAKey) {
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("\"abc\"");
    ASSERT_TRUE(s.wait_for("\"abc\"")) << s.screen();
    // Left arrives in two parts, 150 ms apart (a slow link): its tail must
    // not be typed as the text "[D"
    s.type("\x1b[");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    s.type("DX\r");
    EXPECT_EQ(s.line_after("== "), "\"abcX\"") << s.screen();
    ASSERT_TRUE(s.wait_for(">> "));
    s.type("quit\r");
    EXPECT_EQ(s.wait_exit(60000), 0);
}
