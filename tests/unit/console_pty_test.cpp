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

// How a console is started: its arguments, a prepared home folder (empty: a
// new empty one), its working folder, the window's size, more variables.
struct Start {
    std::vector<std::string> args{};
    std::string home{};
    std::string dir{};
    int rows = 24, cols = 80;
    std::vector<std::string> env{};
};

struct OwnHome {
    ScratchDir own;
};

// The console on a pseudo-terminal. Its checks wait for what it shows and,
// when that does not come, report the screen.
class Console : private OwnHome, public PtySession {
public:
    explicit Console(const Start& how = {})
        : PtySession(how.args, how.home.empty() ? own.path : how.home, how.rows, how.cols, how.dir, how.env),
          home_(how.home.empty() ? own.path : how.home) {}

    const std::string& home() const { return home_; }

    // The texts show, in this order.
    ::testing::AssertionResult shows(std::initializer_list<std::string> texts) {
        for (const std::string& text : texts)
            if (!wait_for(text)) return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << screen();
        return ::testing::AssertionSuccess();
    }

    // The keys typed, the texts show, in this order.
    ::testing::AssertionResult typed(const std::string& keys, std::initializer_list<std::string> texts) {
        type(keys);
        return shows(texts);
    }

    // The keys typed, the console ends with this status and the terminal's
    // modes put back.
    ::testing::AssertionResult ends(const std::string& keys, int status) {
        type(keys);
        int got = wait_exit();
        if (got != status)
            return ::testing::AssertionFailure() << "status " << got << ", not " << status << ":\n" << screen();
        if (!same_modes(modes(), initial_modes())) return ::testing::AssertionFailure() << "the modes were left changed";
        return ::testing::AssertionSuccess();
    }

private:
    std::string home_;
};

}  // namespace

TEST(ConsoleTerminal, PromptResultAndContinuation) {
    Console c;
    ASSERT_TRUE(c.started());
    ASSERT_TRUE(c.shows({"Type HELP for starting information.", ">> "}));
    ASSERT_TRUE(c.typed("1 + 2\r", {"== 3", ">> "}));
    // a block left open: the continuation prompt shows the open delimiter
    ASSERT_TRUE(c.typed("[1 2\r", {"[    "}));
    ASSERT_TRUE(c.typed("{x\r", {"{    "}));
    ASSERT_TRUE(c.typed("}]\r", {"== [1 2", ">> "}));
    EXPECT_TRUE(c.ends("quit/return 5\r", 5));
}

TEST(ConsoleTerminal, EscapeDropsTheCommand) {
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("[1 2\r", {"[    "}));
    c.type("3");
    ASSERT_TRUE(c.typed("\x1b", {"(escape)", ">> "}));
    ASSERT_TRUE(c.typed("7\r", {"== 7", ">> "}));
    EXPECT_TRUE(c.ends("\x03", 0));
}

TEST(ConsoleTerminal, CtrlCAndCtrlDAtThePromptQuit) {
    for (const char* key : {"\x03", "\x04"}) {
        SCOPED_TRACE(int(key[0]));
        Console c;
        ASSERT_TRUE(c.shows({">> "}));
        ASSERT_TRUE(c.typed("1\r", {"== 1", ">> "}));
        EXPECT_TRUE(c.ends(key, 0));
    }
    // Ctrl-D on a line with text deletes; it does not quit
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("12\x01\x04\r", {"== 2", ">> "}));
    EXPECT_TRUE(c.ends("quit\r", 0));
}

TEST(ConsoleTerminal, WindowSizeAndCutWidth) {
    Console c({.rows = 20, .cols = 40});
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("system/console/size\r", {"== 40x20", ">> "}));
    // 40 columns: limit 37, "..." at the 34th character of the result
    ASSERT_TRUE(c.typed("append/dup copy \"\" \"y\" 50\r", {"== {" + std::string(32, 'y') + "...\r\n", ">> "}));
    // The size follows the window once the change has reached the console: the
    // signal that tells it may be handled after keys typed at the same time.
    c.resize(30, 100);
    std::string size;
    for (int i = 0; i < 100 && size != "100x30"; i++) {
        if (i > 0) {
            ASSERT_TRUE(c.shows({">> "}));
        }
        c.type("system/console/size\r");
        size = c.line_after("== ");
        ASSERT_TRUE(size == "40x20" || size == "100x30") << size;
    }
    EXPECT_EQ(size, "100x30");
    ASSERT_TRUE(c.shows({">> "}));
    EXPECT_TRUE(c.ends("quit\r", 0));
}

TEST(ConsoleTerminal, AskOnTheTerminalAndTheHistory) {
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("a: ask \"name? \"\r", {"name? "}));
    ASSERT_TRUE(c.typed("Kro\r", {"== \"Kro\"", ">> "}));
    // the line entered is the very string in the history; a hidden one is not kept
    ASSERT_TRUE(c.typed("p: ask/hide \"pw: \"\r", {"pw: "}));
    ASSERT_TRUE(c.typed("secret\r", {"******", ">> "}));
    ASSERT_TRUE(c.typed("h: system/console/history reduce [same? a h/3 find h \"secret\" h/2]\r",
                        {"== [true none {p: ask/hide \"pw: \"}]"}));
    // the same line twice in a row is kept once; another block can take the lines
    ASSERT_TRUE(c.typed("2\r", {"== 2", ">> "}));
    ASSERT_TRUE(c.typed("2\r", {"== 2", ">> "}));
    ASSERT_TRUE(c.typed("b: copy [] x: ask/history \"? \" b\r", {"? "}));
    ASSERT_TRUE(c.typed("in b\r", {"== \"in b\"", ">> "}));
    ASSERT_TRUE(c.typed("h: system/console/history reduce [same? x b/1 find h \"in b\" h/3 h/4]\r",
                        {"== [true none \"2\" {h: system/console/history reduce [same? a h/3", ">> "}));
    EXPECT_TRUE(c.ends("quit\r", 0));
}

TEST(ConsoleTerminal, CtrlCWhileCodeRunsEndsAsAnInterruptedProgram) {
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("print \"looping\" forever []\r", {"looping\r\n"}));
    EXPECT_TRUE(c.ends("\x03", 128 + SIGINT));
}

TEST(ConsoleTerminal, CtrlCWhileACallWaitsEndsTheConsoleAtOnce) {
    // The child and the console hear the same Ctrl-C: the console ends as
    // an interrupted program, never first showing the child's status as a
    // result and a new prompt. Repeated: the fault was a race.
    for (int round = 0; round < 5; round++) {
        Console c;
        ASSERT_TRUE(c.shows({">> "}));
        c.type("call/wait {sleep 20}\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the child has started
        EXPECT_TRUE(c.ends("\x03", 128 + SIGINT));
        EXPECT_EQ(c.screen().find("== 130"), std::string::npos) << c.screen();
    }
}

TEST(ConsoleTerminal, ScriptOnTheTerminal) {
    ScratchDir dir;
    dir.file("s.kro", "Kro []\nprint [\"args\" mold system/options/args]\n");
    Console c({.args = {"--catch", "s.kro", "one"}, .dir = dir.path});
    ASSERT_TRUE(c.shows({"args [\"one\"]", ">> "}));
    EXPECT_EQ(c.screen().find("Type HELP"), std::string::npos);
    EXPECT_TRUE(c.ends("\x04", 0));
}

TEST(ConsoleTerminal, CtrlCAndCtrlDInsideAMultiLineCommand) {
    // Ctrl-C quits there too; it does not add a "q" to the open command
    {
        Console c;
        ASSERT_TRUE(c.shows({">> "}));
        ASSERT_TRUE(c.typed("[1 2\r", {"[    "}));
        EXPECT_TRUE(c.ends("\x03", 0));
    }
    // Ctrl-D on the empty continuation line ends the input: what the command
    // lacks is reported, then the console ends
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("[1 2\r", {"[    "}));
    ASSERT_TRUE(c.typed("\x04", {"*** Syntax Error: ", "missing ] at [1 2"}));
    EXPECT_TRUE(c.ends("", 0));
    EXPECT_EQ(c.screen().find("== [1 2"), std::string::npos) << c.screen();
}

TEST(ConsoleTerminal, QuitEndsTheConsoleEvenWhenTheHistoryCannotBeSaved) {
    ScratchDir home;
    // a folder where the configuration file should be
    std::string mk = "mkdir -p '" + home.path + "/.kro/Kro-Console/console-cfg.kro'";
    ASSERT_EQ(std::system(mk.c_str()), 0);
    Console c({.home = home.path});
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("1 + 1\r", {"== 2", ">> "}));
    EXPECT_TRUE(c.ends("quit/return 4\r", 4));
    EXPECT_NE(c.screen().find("*** Access Error: cannot open: %" + home.path + "/.kro/Kro-Console/console-cfg.kro"),
              std::string::npos)
        << c.screen();
    EXPECT_NE(c.screen().find("The console history was not saved."), std::string::npos) << c.screen();
}

TEST(ConsoleTerminal, PastedCodeKeepsItsTabs) {
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    // The terminal marks a paste when the program has asked for that, as a
    // real one does; the pasted lines are indented with tabs, and a tab after
    // "pr" must not be taken for completion (which would list pr... words and
    // glue "pr" to "1").
    auto asked = [&] {
        size_t on = c.screen().rfind("\x1b[?2004h"), off = c.screen().rfind("\x1b[?2004l");
        return on != std::string::npos && (off == std::string::npos || off < on);
    };
    std::string text = "blk: [\r\tappend\t\"x\"\r\tpr\t1\r]\r";
    ASSERT_TRUE(c.typed(asked() ? "\x1b[200~" + text + "\x1b[201~" : text, {">> "}));
    c.type("print [\"n:\" length? blk mold blk/3]\r");
    EXPECT_EQ(c.line_after("n: "), "4 pr") << c.screen();
    // after the paste Tab completes again
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("qui\t", {"quit"}));
    EXPECT_TRUE(c.ends("\r", 0));
    // the terminal is left as it was found: paste marks off
    EXPECT_FALSE(asked());
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
    Console c({.home = home.path});
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("\x1b[A", {"newest entry"}));
    ASSERT_TRUE(c.typed("\x1b[A", {"bad \xEF\xBF\xBD byte"}));
    ASSERT_TRUE(c.typed("\x1b[A", {"oldest entry"}));
    c.type("\x1b[B\x1b[B\x1b[B");
    EXPECT_TRUE(c.ends("quit\r", 0));
    std::string text = read_file(cfg);
    EXPECT_NE(text.find("history: [\n    \"quit\"\n    \"newest entry\"\n    \"bad \xEF\xBF\xBD byte\"\n"
                        "    \"oldest entry\"\n]"),
              std::string::npos)
        << text;
}

TEST(ConsoleTerminal, ATerminalClosedOrSigtermAtThePromptKeepsTheHistory) {
    // as a shell does: the session's lines are saved, then the process dies of the signal
    for (int how : {0, SIGHUP, SIGTERM}) {
        SCOPED_TRACE(how);
        Console c;
        ASSERT_TRUE(c.shows({">> "}));
        ASSERT_TRUE(c.typed("1 + 41\r", {"== 42", ">> "}));
        if (how == 0) {
            c.hang_up();
        } else {
            kill(c.pid(), how);
        }
        EXPECT_EQ(c.wait_exit(), 128 + (how ? how : SIGHUP));
        std::string cfg = read_file(c.home() + "/.kro/Kro-Console/console-cfg.kro");
        EXPECT_NE(cfg.find("history: [\n    \"1 + 41\"\n]"), std::string::npos) << cfg;
    }
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
    Console c({.home = home.path});
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &old_xfsz, nullptr);
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("1 + 1\r", {"== 2", ">> "}));
    EXPECT_TRUE(c.ends("quit\r", 0));
    EXPECT_NE(c.screen().find("The console history was not saved."), std::string::npos) << c.screen();
    EXPECT_TRUE(read_file(cfg) == before);
    // nothing is left beside it
    std::string ls = "ls -A '" + home.path + "/.kro/Kro-Console' | grep -v '^console-cfg.kro$' | grep -q .";
    EXPECT_NE(std::system(ls.c_str()), 0);
}

TEST(ConsoleTerminal, CtrlCAndCtrlDAtAnAskOfRunningCode) {
    // At the console's own prompt Ctrl-C and Ctrl-D quit; at an ask that code
    // makes they must not answer a "q" that nobody typed: Ctrl-C stops the
    // code, Ctrl-D on an empty line ends the input (ask answers none).
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    // (the prompt's text shows first in the command's own echo)
    ASSERT_TRUE(c.typed("a: ask \"name? \" print [\"got\" mold a]\r", {"mold a]", "name? "}));
    ASSERT_TRUE(c.typed("xy\x03", {"(halted)", ">> "}));
    ASSERT_TRUE(c.typed("b: ask \"more? \" print [\"got\" mold b]\r", {"mold b]", "more? "}));
    c.type("\x04");
    EXPECT_EQ(c.line_after("got "), "none") << c.screen();
    ASSERT_TRUE(c.shows({">> "}));
    c.type("value? 'a\r");
    EXPECT_EQ(c.line_after("== "), "false") << c.screen();
    ASSERT_TRUE(c.shows({">> "}));
    EXPECT_TRUE(c.ends("\x03", 0));

    // a script that asks is stopped by Ctrl-C; what follows the ask does not run
    ScratchDir dir;
    dir.file("s.kro", "Kro []\nname: ask \"name? \"\nprint [\"hello\" name]\n");
    Console t({.args = {"s.kro"}, .home = c.home(), .dir = dir.path});
    ASSERT_TRUE(t.shows({"name? "}));
    EXPECT_TRUE(t.ends("\x03", 0));
    EXPECT_NE(t.screen().find("(halted)"), std::string::npos) << t.screen();
    EXPECT_EQ(t.screen().find("hello"), std::string::npos) << t.screen();
}

TEST(ConsoleTerminal, ADumbTerminalGetsPlainLines) {
    // TERM=dumb (an editor's shell buffer): no escape sequences, which such a
    // terminal would show as garbage; the prompt is plain text, the terminal's
    // line mode edits, hidden input is not echoed, and lines join the history.
    Console c({.env = {"TERM=dumb"}});
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("1 + 2\n", {"== 3\r\n>> "}));
    ASSERT_TRUE(c.typed("p: ask/hide \"pw: \"\n", {"\r\npw: "}));
    ASSERT_TRUE(c.typed("secret\n", {"== \"secret\"", ">> "}));
    ASSERT_TRUE(c.typed("[1\n", {"[    "}));
    ASSERT_TRUE(c.typed("2]\n", {"== [1\r\n2]", ">> "}));
    EXPECT_TRUE(c.ends("quit/return 3\n", 3));
    EXPECT_EQ(c.screen().find('\x1b'), std::string::npos) << c.screen();
    EXPECT_EQ(c.screen().find("secret\r\n"), std::string::npos) << c.screen();
    std::string cfg = read_file(c.home() + "/.kro/Kro-Console/console-cfg.kro");
    EXPECT_NE(cfg.find("\"1 + 2\""), std::string::npos) << cfg;
    EXPECT_EQ(cfg.find("secret"), std::string::npos) << cfg;
}

TEST(ConsoleTerminal, AKeySequenceSplitByASlowLinkIsStillAKey) {
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("\"abc\"", {"\"abc\""}));
    // Left arrives in two parts, 150 ms apart (a slow link): its tail must
    // not be typed as the text "[D"
    c.type("\x1b[");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.type("DX\r");
    EXPECT_EQ(c.line_after("== "), "\"abcX\"") << c.screen();
    ASSERT_TRUE(c.shows({">> "}));
    EXPECT_TRUE(c.ends("quit\r", 0));
}

TEST(ConsoleTerminal, ALineOfEveryKindOfValueKeepsTheLoopGoing) {
    // each line's value is printed (or its error reported) without the
    // console's own functions, and the next line is read; 6 * 7 marks the end
    // of what a line printed (its echo shows the expression, not 42)
    struct Line {
        const char* keys;
        const char* shows;
    };
    const Line lines[] = {
        {":+", "== make op! [["},
        {"x: :+", "== make op! [["},
        {"()", ""},
        {"make error! \"boom\"", "*** User Error: boom"},
        {"func [] [1]", "== func [][1]"},
        {":print", "== make native! [["},
        {"'a", "== a"},
        {":a-word-without-value", ""},
        {"/ref", "== /ref"},
        {"null-handle", "== handle!"},
        {"make event! []", "== event"},
        {"make image! 1x1", "== make image! [1x1 #{FFFFFF}]"},
        {"b: [1] append/only b b", "== [1 [...]]"},
        {"register-scheme make object! [name: 'k-mem title: \"m\" info: none awake: none actor: make object! "
         "[open: func [p /new /read /write /seek /allow a][p] close: func [p][p]]]",
         ""},
        {"close open make port! [scheme: 'k-mem]", "== make port! ["},
    };
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    for (const Line& l : lines) {
        SCOPED_TRACE(l.keys);
        size_t from = c.screen().size();
        ASSERT_TRUE(c.typed(std::string(l.keys) + "\r", {l.shows}));
        ASSERT_TRUE(c.typed("6 * 7\r", {"== 42", ">> "}));
        EXPECT_EQ(c.screen().find("*** Stack:", from), std::string::npos) << c.screen().substr(from);
    }
    EXPECT_TRUE(c.ends("quit\r", 0));
}

TEST(ConsoleTerminal, TheUsersRedefinitionsLeaveTheConsoleWorking) {
    Console c;
    ASSERT_TRUE(c.shows({">> "}));
    ASSERT_TRUE(c.typed("either: 1\r", {"== 1", ">> "}));
    ASSERT_TRUE(c.typed("unset [print]\r", {">> "}));
    ASSERT_TRUE(c.typed("append: 2\r", {"== 2", ">> "}));
    ASSERT_TRUE(c.typed("1 / 0\r", {"*** Math Error: attempt to divide by zero", ">> "}));
    ASSERT_TRUE(c.typed("split-path %a/b.txt\r", {"== [%a/ %b.txt]", ">> "}));
    ASSERT_TRUE(c.typed("help either\r", {"EITHER is an integer! value: 1", ">> "}));
    EXPECT_TRUE(c.ends("quit/return 3\r", 3));
}
