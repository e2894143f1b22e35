// The console as a person uses it through pipes and from a shell: the banner,
// results cut to the width, errors, multi-line commands, escape and halt, the
// end of the input, exit statuses, and scripts named on the command line
// (header search, arguments, "--catch", failures).
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console_process.hpp"

using namespace kro::test;

namespace {

const std::string BANNER_END = "Type HELP for starting information. \n\n";

// The output after the banner (the whole output when there is no banner).
std::string after_banner(const std::string& out) {
    size_t at = out.find(BANNER_END);
    return at == std::string::npos ? out : out.substr(at + BANNER_END.size());
}

std::string repeat(char c, size_t n) { return std::string(n, c); }

// The console fed this input through pipes, in a home folder of its own.
Outcome piped(const std::string& input, const std::vector<std::string>& env = {}) {
    ScratchDir home;
    return run_piped({}, input, home.path, "", env);
}

struct PipeCase {
    const char* what;
    std::string input;
    std::string output;  // after the banner, exactly
};

}  // namespace

TEST(ConsolePipe, BannerThenResults) {
    Outcome o = piped("1 + 2\n");
    ASSERT_FALSE(o.timed_out);
    EXPECT_EQ(o.out.rfind("--== Kro ", 0), 0u) << o.out;
    EXPECT_NE(o.out.find(" ==-- \nType HELP for starting information. \n\n== 3\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.status, 0);
}

TEST(ConsolePipe, CommandsAndTheirOutput) {
    const std::string x72 = repeat('x', 72);
    const std::vector<PipeCase> cases = {
        {"an empty line does nothing", "x: 1\n\nx + 1\n", "== 1\n== 2\n"},
        {"a block left open continues on the next line, evaluated once",
         "do [print 1\nprint 2 [a\n] 3]\n", "1\n2\n== 3\n"},
        {"an open string continues", "{abc\ndef}\n", "== \"abc^/def\"\n"},
        {"an open paren continues", "(1 +\n2)\n", "== 3\n"},
        {"an empty line inside a command is part of it", "[a\n\nb]\n", "== [a\nb]\n"},
        {"escape drops the whole command", "[1 2\n3\x1b\n4\n", "(escape)\n== 4\n"},
        {"a float is formed", "1.5 * 2\n", "== 3.0\n"},
        {"output that is no terminal is 80 wide", "system/console/size\n", "== 80x50\n"},
        {"unset prints nothing", "print \"hi\"\n", "hi\n"},
        {"halt returns to the prompt", "halt\n5\n", "(halted)\n== 5\n"},
        {"a result of exactly the limit is whole", "append/dup copy \"\" \"x\" 75\n",
         "== {" + repeat('x', 75) + "}\n"},
        {"one character more is cut to 79 in all", "append/dup copy \"\" \"x\" 76\n",
         "== {" + x72 + "...\n"},
        {"a non-string result prefix prints as none", "system/console/result: 5\n1\n", "none 5\nnone 1\n"},
        {"a function prompt: the cut follows its text",
         "system/console/prompt: does [\"$ \"]\nappend/dup copy \"\" \"x\" 76\n",
         "== func [][\"$ \"]\n== {" + repeat('x', 73) + "...\n"},
        {"ask reads the next line", "print mold ask \"?\"\nhello\n", "\"hello\"\n"},
        {"ask at the end of the input answers none", "print mold ask \"?\"\n", "none\n"},
        {"input-stdin reads a line", "s: input-stdin print mold s\nhello there\n", "\"hello there\"\n"},
        {"read-stdin grows its binary",
         "b: make binary! 1 n: read-stdin b 10 print [n length? b mold to string! b]\nABCDEFGHIJ\n",
         "10 10 \"ABCDEFGHIJ\"\n"},
        {"lines ending in CR LF", "1 + 2\r\n[a\r\nb]\r\n", "== 3\n== [a\nb]\n"},
        {"a last line without a line feed", "1 + 1", "== 2\n"},
        {"a CR before the line feed stays in what ask answers", "print mold ask \"\"\r\nab\r\n", "\"ab^M\"\n"},
        {"UTF-8 input arrives as characters", "length? \"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"\n", "== 3\n"},
    };
    for (const PipeCase& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome o = piped(c.input, LIGHT);
        ASSERT_FALSE(o.timed_out);
        EXPECT_EQ(after_banner(o.out), c.output);
        EXPECT_EQ(o.status, 0);
    }
}

TEST(ConsolePipe, ErrorsAreFormedAndTheLoopGoesOn) {
    Outcome o = piped("1 / 0\n)\n2\n");
    std::string out = after_banner(o.out);
    // an evaluation error, then an empty line
    EXPECT_EQ(out.rfind("*** Math Error: attempt to divide by zero\n*** Where: /\n", 0), 0u) << out;
    size_t syntax = out.find("\n\n*** Syntax Error: ");
    EXPECT_NE(syntax, std::string::npos) << out;
    EXPECT_NE(out.find("missing ( at )"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 5), "== 2\n") << out;
    EXPECT_EQ(o.status, 0);
    // too deep for the tokenizer, closed or left open: an error like the others
    const std::string deep = "*** Internal Error: block or paren series is too deep to process\n";
    o = piped(repeat('[', 10001) + repeat(']', 10001) + "\n3\n" + repeat('(', 10001) + "\n4\n", LIGHT);
    out = after_banner(o.out);
    EXPECT_EQ(out.rfind(deep, 0), 0u) << out.substr(0, 300);
    size_t second = out.find("== 3\n" + deep);
    EXPECT_NE(second, std::string::npos) << out.substr(0, 600);
    EXPECT_EQ(out.substr(out.size() - 5), "== 4\n") << out.substr(0, 600);
    EXPECT_EQ(o.status, 0);
}

TEST(ConsolePipe, AnUncaughtThrowIsReportedWhereItWasThrown) {
    // the console's own catch passes the value on; the report names the throw, not the console's code
    Outcome o = piped("throw 1\nf: does [1 + 1 catch/name [throw 2] 'a] f\n");
    std::string out = after_banner(o.out);
    EXPECT_EQ(out.rfind("*** Throw Error: no catch for throw: 1\n*** Where: throw\n*** Near : throw 1\n", 0), 0u)
        << out;
    EXPECT_NE(out.find("*** Throw Error: no catch for throw: 2\n*** Where: throw\n*** Near : throw 2\n"),
              std::string::npos)
        << out;
}

TEST(ConsolePipe, ABrokenPromptIsReportedAndReplaced) {
    Outcome o = piped("system/console/prompt: does [1 / 0]\n2\n3\n");
    std::string out = after_banner(o.out);
    EXPECT_NE(out.find("*** Math Error: attempt to divide by zero\n*** Where: system/console/prompt\n"),
              std::string::npos)
        << out;
    // replaced for good: reported once
    EXPECT_EQ(out.find("system/console/prompt", out.find("system/console/prompt") + 1), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 10), "== 2\n== 3\n") << out;
}

TEST(ConsolePipe, ABrokenResultPrefixIsBypassedOnce) {
    Outcome o = piped("system/console/result: does [1 / 0]\n7\n");
    std::string out = after_banner(o.out);
    EXPECT_NE(out.find("*** Where: system/console/result\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 5), "== 7\n") << out;
}

TEST(ConsolePipe, ExitStatuses) {
    struct Case {
        const char* input;
        int status;
    };
    const Case cases[] = {
        {"quit/return 3\nprint 1\n", 3},
        {"quit\nprint 1\n", 0},
        {"quit/return -2\n", 254},
        {"1 / 0\n", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Outcome o = piped(c.input, LIGHT);
        ASSERT_FALSE(o.timed_out);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out.find("\n1\n"), std::string::npos) << o.out;
    }
}

// ---- scripts -----------------------------------------------------------------------------------------

TEST(ConsoleScript, RunsWithItsArgumentsInItsFolder) {
    ScratchDir dir, home;
    std::string mk = "mkdir -p '" + dir.path + "/sub'";
    ASSERT_EQ(std::system(mk.c_str()), 0);
    dir.file("sub/s.kro",
             "; text before the header is skipped\nKro [Title: \"t\"]\n"
             "print mold system/options/args\nprint mold system/script/args\n"
             "print what-dir = clean-path %./\nprint mold system/options/script\n");
    Outcome o = run_piped({"sub/s.kro", "a", "b c"}, "", home.path, dir.path);
    EXPECT_EQ(o.out, "[\"a\" \"b c\"]\n{a \"b c\"}\ntrue\n%sub/s.kro\n");
    EXPECT_EQ(o.status, 0);
}

TEST(ConsoleScript, OptionsBeforeTheScript) {
    ScratchDir dir, home;
    dir.file("s.kro", "Kro []\nprint mold system/options/args\nprint mold system/script/args\n");
    dir.file("--odd.kro", "Kro []\nprint \"odd\"\n");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string out;
    };
    const std::vector<Case> cases = {
        // another switch is ignored; --catch keeps the loop after the script, without banner
        {{"--foo", "--catch", "s.kro", "x", "y z"}, "1 + 1\n", "[\"x\" \"y z\"]\n{x \"y z\"}\n== 2\n"},
        {{"--CATCH", "s.kro"}, "3\n", "[]\n\"\"\n== 3\n"},
        // after "--" the next argument is the script even when it starts with "--"
        {{"--", "--odd.kro"}, "", "odd\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Outcome o = run_piped(c.args, c.input, home.path, dir.path, LIGHT);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.status, 0);
    }
    // --catch alone: the loop with its banner
    Outcome o = run_piped({"--catch"}, "4\n", home.path, dir.path);
    EXPECT_NE(o.out.find(BANNER_END + "== 4\n"), std::string::npos) << o.out;
}

TEST(ConsoleScript, FailuresEndWithStatusOne) {
    ScratchDir dir, home;
    struct Case {
        const char* what;
        const char* text;
        std::string out;  // the start of the output
        int status;
    };
    const std::vector<Case> cases = {
        {"no header", "print 1\n", "*** Error: Kro header not found!\n", 1},
        {"a header word in lower case", "kro []\nprint 1\n", "*** Error: Kro header not found!\n", 1},
        {"a Kro/System header", "Kro/System []\nprint 1\n",
         "*** Error: contains Kro/System code which requires compilation!\n", 1},
        {"an error while running", "Kro []\nprint \"a\"\n1 / 0\nprint \"b\"\n",
         "a\n*** Math Error: attempt to divide by zero\n", 1},
        {"a syntax error", "Kro []\n[1 2\n", "*** Syntax Error: ", 1},
        {"an uncaught throw", "Kro []\nthrow 1\n",
         "*** Throw Error: no catch for throw: 1\n*** Where: throw\n*** Near : throw 1\n", 1},
        {"quit with a status", "Kro []\nquit/return 7\nprint 1\n", "", 7},
        {"halt", "Kro []\nprint \"a\"\nthrow/name 'halt-request 'console\nprint \"b\"\n", "a\n(halted)\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.file("f.kro", c.text);
        Outcome o = run_piped({"f.kro"}, "", home.path, dir.path, LIGHT);
        EXPECT_EQ(o.out.substr(0, c.out.size()), c.out) << o.out;
        if (c.out.empty() || c.status == 0) {
            EXPECT_EQ(o.out, c.out);
        }
        EXPECT_EQ(o.status, c.status);
    }
    // a script that cannot be read
    Outcome o = run_piped({"missing.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out.rfind("*** Access Error: cannot open: %missing.kro\n", 0), 0u) << o.out;
    EXPECT_EQ(o.status, 1);
    // nor can its folder be entered: the one error about the script is enough
    o = run_piped({"no-such-folder/s.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out.rfind("*** Access Error: cannot open: %no-such-folder/s.kro\n", 0), 0u) << o.out;
    size_t reports = 0;
    for (size_t at = o.out.find(" Error: "); at != std::string::npos; at = o.out.find(" Error: ", at + 1)) reports++;
    EXPECT_EQ(reports, 1u) << o.out;
    EXPECT_EQ(o.status, 1);
    // under --catch a failed script leaves the loop running
    dir.file("f.kro", "Kro []\n1 / 0\n");
    o = run_piped({"--catch", "f.kro"}, "5\n", home.path, dir.path);
    EXPECT_EQ(o.out.rfind("*** Math Error", 0), 0u) << o.out;
    EXPECT_EQ(o.out.substr(o.out.size() - 5), "== 5\n");
    EXPECT_EQ(o.status, 0);
}

TEST(ConsoleStackOverflow, CodeThatCatchesItGoesOn) {
    // Each form catches the overflow deep inside and goes on: typed at the
    // console and run as a script, what follows runs as after any caught error
    // (these once ended in runtime errors 1 and 19, or in a broken console).
    ScratchDir dir, home;
    struct Case {
        const char* code;
        const char* shown;  // the start of what the console shows for the line
        bool as_script;     // also run as a script (which prints only "after")
    };
    const std::vector<Case> cases = {
        {"f: func [][attempt [mold f]] f", "== {^{^{", true},
        {"f: func [][try [f]] f f", "*** Internal Error: stack overflow\n", true},
        {"f: func [][error? try [f]] f", "== false\n", true},
        // a script that includes itself: the console's own try receives the
        // overflow (seconds of work: typed at the console only)
        {"write %inc.kro {Kro [] #include %inc.kro} do %inc.kro", "*** Internal Error: stack overflow\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        Outcome o = run_piped({}, std::string(c.code) + "\nprint \"after\"\n", home.path, dir.path, LIGHT);
        std::string shown = after_banner(o.out);
        EXPECT_EQ(shown.substr(0, std::strlen(c.shown)), c.shown) << shown.substr(0, 300);
        ASSERT_GE(shown.size(), 6u);
        EXPECT_EQ(shown.substr(shown.size() - 6), "after\n");
        EXPECT_EQ(o.status, 0);

        if (!c.as_script) continue;
        dir.file("s.kro", std::string("Kro []\n") + c.code + "\nprint \"after\"\n");
        o = run_piped({"s.kro"}, "", home.path, dir.path, LIGHT);
        EXPECT_EQ(o.out, "after\n") << o.out.substr(0, 300);
        EXPECT_EQ(o.status, 0);
    }
}

TEST(ConsoleScript, DoFileKeepsTheStateBalanced) {
    ScratchDir dir, home;
    std::string mk = "mkdir -p '" + dir.path + "/lib'";
    ASSERT_EQ(std::system(mk.c_str()), 0);
    dir.file("lib/inner.kro",
             "Kro [Title: \"inner\"]\n"
             "print [\"inner in\" second split-path what-dir system/script/header/title mold system/script/args]\n"
             "either value? 'fail-now [1 / 0][42]\n");
    dir.file("lib/system.kro", "Kro/System []\n1\n");
    dir.file("lib/none.kro", "1\n");
    dir.file("lib/value.kro", "Kro []\ntry [1 / 0]\n");
    dir.file("main.kro",
             "Kro []\n"
             "start: what-dir depth: length? system/state/source-files me: system/script\n"
             "print [\"got\" do/args %lib/inner.kro [x]]\n"
             "print [\"back\" what-dir = start depth = length? system/state/source-files]\n"
             "fail-now: true\n"
             "e: try [do %lib/inner.kro]\n"
             "print [\"error\" e/id what-dir = start same? system/script me]\n"
             "print [\"kro/system\" get in try [do %lib/system.kro] 'id]\n"
             "print [\"no header\" get in try [do %lib/none.kro] 'id]\n"
             "print [\"value\" error? do %lib/value.kro]\n");
    Outcome o = run_piped({"main.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out,
              "inner in lib/ inner [x]\ngot 42\nback true true\n"
              "inner in lib/ inner none\nerror zero-divide true true\n"
              "kro/system kro-system\nno header no-header\nvalue true\n");
    EXPECT_EQ(o.status, 0);
}

TEST(ConsoleScript, MakeDirAndFlipExeFlag) {
    ScratchDir dir, home;
    std::string long_name(300, 'x');
    dir.file("m.kro",
             "Kro []\n"
             "print [make-dir %one exists? %one/]\n"
             "print [make-dir %one/ make-dir/deep %a/b/c/ exists? %a/b/c/]\n"
             "e: try [make-dir %p/q/]\n"
             "print [e/id e/arg1]\n"
             // a segment that cannot be made: the folders made by the call go again
             "e: try [make-dir/deep %n/m/" + long_name + "/]\n"
             "print [e/id exists? %n/]\n"
             // the subsystem byte of a portable executable header flips between 2 and 3: the
             // header sits where the DOS header's offset at 60 says (here 80), past an earlier "PE"
             "b: append/dup copy #{4D5A} 0 200 change at b 20 \"PE\" poke b 61 80\n"
             "change at b 81 #{50450000} poke b 173 2 write/binary %k.exe b\n"
             "flip-exe-flag %k.exe print [pick read/binary %k.exe 173 pick read/binary %k.exe 113]\n"
             "flip-exe-flag %k.exe print equal? b read/binary %k.exe\n"
             // a file that is no executable is refused and left as it was, "PE" in it or not
             "foreach t [#{} #{4D5A} \"MZ text with PE in it, long enough to hold the field...\"][\n"
             "  write/binary %t.txt t: append/dup to binary! t 0 100\n"
             "  e: try [flip-exe-flag %t.txt] print [e/id equal? t read/binary %t.txt]]\n");
    Outcome o = run_piped({"m.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out, "one/ true\none/ a/b/c/ true\nno-create p/q/\ncannot-open false\n3 0\ntrue\n"
                     "invalid-data true\ninvalid-data true\ninvalid-data true\n");
    EXPECT_EQ(o.status, 0);
}

// ---- the end of the input and the output's reader ------------------------------------------------

TEST(ConsolePipe, InputEndingInsideACommandReportsWhatIsMissing) {
    struct Case {
        const char* what;
        std::string input;
        std::string error;  // the syntax error that must show after the earlier output
    };
    const std::vector<Case> cases = {
        {"an open block", "print 1\n[1 2\nprint 3\n", "missing ] at [1 2"},
        {"an open string, no line feed at the end", "print 1\nx: {abc", "invalid string at {abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome o = piped(c.input, LIGHT);
        ASSERT_FALSE(o.timed_out);
        std::string out = after_banner(o.out);
        EXPECT_EQ(out.rfind("1\n*** Syntax Error: ", 0), 0u) << out;
        EXPECT_NE(out.find(c.error), std::string::npos) << out;
        EXPECT_EQ(o.status, 0);
    }
}

namespace {

// Starts kro with its standard output (and error) going into a new pipe whose
// reading end is answered; the input is /dev/null. With nonblocking set, the
// pipe is non-blocking for the writer, as when a parent shares such a pipe.
pid_t start_into_pipe(const std::vector<std::string>& args, const std::string& home, const std::string& dir,
                      bool nonblocking, int& read_end) {
    int p[2];
    if (pipe(p) != 0) return -1;
    if (nonblocking) fcntl(p[1], F_SETFL, fcntl(p[1], F_GETFL) | O_NONBLOCK);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(p[1], 1);
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        child_env(home, LIGHT);
        exec_kro(args, dir);
    }
    close(p[1]);
    read_end = p[0];
    return pid;
}

// Waits for the process to end; 1000 (and the process killed) past the deadline.
int wait_status(pid_t pid, long long deadline) {
    for (;;) {
        int ws = 0;
        if (waitpid(pid, &ws, WNOHANG) == pid) return decode_status(ws);
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &ws, 0);
            return 1000;
        }
        poll(nullptr, 0, 5);
    }
}

// Whether a thread of the process sleeps in poll (the runtime runs on a
// thread of its own).
bool waits_in_poll(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    if (!d) return false;
    bool polling = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        FILE* f = fopen((tasks + "/" + e->d_name + "/wchan").c_str(), "r");
        if (!f) continue;
        char buf[128] = {0};
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        if (std::string(buf, n).find("poll") != std::string::npos) polling = true;
    }
    closedir(d);
    return polling;
}

}  // namespace

TEST(ConsolePipe, AReaderThatGoesAwayEndsTheProgram) {
    // `kro s.kro | head -n 3`: once the reader has gone, printing cannot go
    // on, so the process must end instead of printing for ever into nothing.
    ScratchDir dir, home;
    dir.file("s.kro", "Kro []\nforever [print \"line of text\"]\n");
    int fd = -1;
    pid_t pid = start_into_pipe({"s.kro"}, home.path, dir.path, false, fd);
    ASSERT_GT(pid, 0);
    std::string got;
    long long deadline = now_ms() + DEADLINE_MS;
    while (got.size() < 1000 && now_ms() < deadline) {
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    close(fd);
    EXPECT_EQ(wait_status(pid, now_ms() + 60000), 128 + SIGPIPE);
    // what did arrive is whole lines in order
    ASSERT_GE(got.size(), 1000u);
    const std::string line = "line of text\n";
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i], line[i % line.size()]) << "at byte " << i;
}

namespace {

// Runs kro with its standard output on `output` (a path; null: closed) and
// its standard error into a pipe: answers what standard error received.
Outcome run_with_output(const std::vector<std::string>& args, const std::string& input, const char* output,
                        const std::string& home, const std::string& dir) {
    Outcome o;
    int in[2], err[2];
    if (pipe(in) != 0 || pipe(err) != 0) return o;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(err[1], 2);
        close(1);
        if (output) open(output, O_WRONLY);  // takes descriptor 1, the lowest free
        close(in[0]); close(in[1]); close(err[0]); close(err[1]);
        child_env(home, LIGHT);
        exec_kro(args, dir);
    }
    close(in[0]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
    }
    close(in[1]);
    for (;;) {
        char buf[512];
        ssize_t n = read(err[0], buf, sizeof buf);
        if (n <= 0) break;
        o.out.append(buf, size_t(n));
    }
    close(err[0]);
    o.status = wait_status(pid, now_ms() + DEADLINE_MS);
    return o;
}

}  // namespace

TEST(ConsolePipe, OutputThatCannotBeWrittenEndsWithAFailure) {
    // A full device or a closed descriptor: the output is lost, which the
    // process says on standard error, ending with status 1 (not 0).
    ScratchDir dir, home;
    dir.file("p.kro", "Kro []\nprint \"hello\"\nwrite %after.txt \"ran on\"\n");
    dir.file("w.kro", "Kro []\nwrite-stdout \"hello\"\nwrite %after.txt \"ran on\"\n");
    const std::string full = "*** cannot write the standard output: No space left on device\n";
    const std::string closed = "*** cannot write the standard output: Bad file descriptor\n";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        const char* output;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"print in a script, a full device", {"p.kro"}, "", "/dev/full", full},
        {"write-stdout in a script", {"w.kro"}, "", "/dev/full", full},
        {"the console's results", {}, "1 + 2\n", "/dev/full", full},
        {"print in a script, output closed", {"p.kro"}, "", nullptr, closed},
        {"the console, output closed", {}, "1 + 2\n", nullptr, closed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome o = run_with_output(c.args, c.input, c.output, home.path, dir.path);
        EXPECT_EQ(o.out, c.error);
        EXPECT_EQ(o.status, 1);
        // it ended there: nothing after the failed print ran
        EXPECT_NE(access((dir.path + "/after.txt").c_str(), F_OK), 0);
    }
}

TEST(ConsolePipe, ASlowReaderOfANonBlockingPipeLosesNothing) {
    // The pipe is full before the reader starts: every byte printed after that
    // must still come, once there is room.
    ScratchDir dir, home;
    dir.file("s.kro", "Kro []\nprint append/dup copy \"\" \"abcdefghij\" 100000\nprint \"end\"\n");
    int fd = -1;
    pid_t pid = start_into_pipe({"s.kro"}, home.path, dir.path, true, fd);
    ASSERT_GT(pid, 0);
    int capacity = fcntl(fd, F_GETPIPE_SZ);
    long long deadline = now_ms() + DEADLINE_MS;
    for (;;) {
        int queued = 0;
        ioctl(fd, FIONREAD, &queued);
        if (now_ms() > deadline) break;
        // full up to a last chunk that does not fit, the writer asleep waiting for room
        if (queued > capacity - 4096 && waits_in_poll(pid)) break;
        siginfo_t info{};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            break;  // ended (having dropped bytes)
        poll(nullptr, 0, 2);
    }
    std::string got;
    for (;;) {
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    close(fd);
    EXPECT_EQ(wait_status(pid, now_ms() + 60000), 0);
    std::string expected;
    for (int i = 0; i < 100000; i++) expected += "abcdefghij";
    expected += "\nend\n";
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// A line whose value is of any kind is printed (or reported) and the loop goes
// on: the console reads every result through get-words, so an operator value
// is never called, and nothing it prints names its own functions.
namespace {

// The lines that make a value of each kind, with what the console prints for
// it (the setup line's own output is not checked).
struct ValueLine {
    const char* setup;
    const char* line;
    const char* shows;
};

const std::vector<ValueLine> VALUE_LINES = {
    {"", ":+", "== make op! [["},
    {"", "x: :+", "== make op! [["},
    {"", "()", ""},
    {"", "make error! \"boom\"", "*** User Error: boom\n"},
    {"", "func [] [1]", "== func [][1]\n"},
    {"", ":print", "== make native! [["},
    {"", ":append", "== make action! [["},
    {"", "'a", "== a\n"},
    {"", ":a-word-without-value", ""},
    {"", "/ref", "== /ref\n"},
    {"", "null-handle", "== handle!\n"},
    {"", "make event! []", "== event\n"},
    {"", "make image! 1x1", "== make image! [1x1 #{FFFFFF}]\n"},
    {"", "b: [1] append/only b b", "== [1 [...]]\n"},
    {"register-scheme make object! [name: 'k-mem title: \"m\" info: none awake: none "
     "actor: make object! [open: func [p /new /read /write /seek /allow a][p] close: func [p][p]]]",
     "close open make port! [scheme: 'k-mem]", "== make port! ["},
};

}  // namespace

TEST(ConsolePipe, ALineOfEveryKindOfValueKeepsTheLoopGoing) {
    for (const ValueLine& c : VALUE_LINES) {
        SCOPED_TRACE(c.line);
        std::string input = std::string(c.setup) + "\nprint \"<<\"\n" + c.line + "\nprint \">>\"\n";
        Outcome o = piped(input, LIGHT);
        ASSERT_FALSE(o.timed_out);
        std::string out = after_banner(o.out);
        size_t from = out.find("<<\n"), to = out.find(">>\n");
        ASSERT_NE(from, std::string::npos) << out;
        ASSERT_NE(to, std::string::npos) << out;
        std::string shown = out.substr(from + 3, to - from - 3);
        EXPECT_EQ(shown.rfind(c.shows, 0), 0u) << shown;
        if (!*c.shows) EXPECT_EQ(shown, "");
        EXPECT_EQ(shown.find("*** Stack:"), std::string::npos) << shown;
        EXPECT_EQ(o.status, 0);
    }
}

TEST(ConsolePipe, TheConfigurationObjectIsLoadedAtStartUp) {
    ScratchDir home;
    Outcome o = run_piped({},
                          "s: cli-console-ctx/settings\n"
                          "s/cfg-path\n"
                          "select s/cfg 'buffer-lines\n"
                          "same? system/console/history select s/cfg 'history\n"
                          "append s/cfg [theme: \"dark\"] quit\n",
                          home.path, "", LIGHT);
    ASSERT_FALSE(o.timed_out);
    std::string dir = "%" + home.path + "/.kro/Kro-Console/";
    EXPECT_NE(after_banner(o.out).find("== " + dir + "console-cfg.kro\n== 10000\n== true\n"), std::string::npos)
        << o.out;
    // quit saved the configuration with the key added at language level
    Outcome again = run_piped({}, "select cli-console-ctx/settings/cfg 'theme\n", home.path, "", LIGHT);
    EXPECT_EQ(after_banner(again.out), "== \"dark\"\n");
}

TEST(ConsolePipe, ErrorLinesNameTheUsersCallsOnly) {
    // the console's own functions, and the library functions a call passes through, stay out of the lines
    const std::string code = "g: does [1 / 0]\nh: does [collect [attempt/safer [1] g]]\n";
    const std::string lines = "*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : 1 / 0\n";
    Outcome o = piped(code + "g\nh\n");
    std::string out = after_banner(o.out);
    EXPECT_EQ(out.rfind("== func [][1 / 0]\n== func [][collect [attempt/safer [1] g]]\n" + lines + "*** Stack: g \n\n" +
                            lines + "*** Stack: h g \n",
                        0),
              0u)
        << out;
    ScratchDir dir, home;
    dir.file("s.kro", "Kro []\n" + code + "h\n");
    o = run_piped({"s.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out.rfind(lines + "*** Stack: h g\n*** Files: ", 0), 0u) << o.out;
    EXPECT_EQ(o.status, 1);
    // the console's own try, catch and loops around a typed line are not named either,
    // also when every call is listed
    o = piped(code + "no-such-word\nsystem/state/stack-trace: 2\ne: try [g]\ne/stack\n");
    out = after_banner(o.out);
    EXPECT_NE(out.find("*** Script Error: no-such-word has no value\n*** Where: ???\n"), std::string::npos) << out;
    EXPECT_NE(out.find("== [e try g /]\n"), std::string::npos) << out;
    dir.file("t.kro", "Kro []\nno-such-word\n");
    o = run_piped({"t.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out.rfind("*** Script Error: no-such-word has no value\n*** Where: ???\n", 0), 0u) << o.out;

    // an error the library's code raises names the library function the user called, at the user's call
    const std::string lib = "k: does [x: 1 + to-integer \"x\"]\n";
    const std::string lib_lines =
        "*** Script Error: cannot MAKE/TO integer! from: \"x\"\n*** Where: to-integer\n*** Near : x: 1 + to-integer "
        "\"x\"\n";
    o = piped(lib + "k\ne: try [k] print [e/where mold e/near]\n");
    out = after_banner(o.out);
    EXPECT_EQ(out.rfind("== func [][x: 1 + to-integer \"x\"]\n" + lib_lines + "*** Stack: k \n\nto-integer [x: 1 + to-integer \"x\"]\n", 0), 0u)
        << out;
    dir.file("l.kro", "Kro []\n" + lib + "k\n");
    o = run_piped({"l.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out.rfind(lib_lines + "*** Stack: k\n*** Files: ", 0), 0u) << o.out;
    EXPECT_EQ(o.status, 1);
}

TEST(ConsolePipe, TheUsersRedefinitionsLeaveTheConsoleWorking) {
    // the words the console and the library call, set or unset by the user:
    // results, errors, help and library functions still show; the user's own
    // code sees the user's values
    Outcome o = piped(
        "either: 1\nunset [print]\nprint: 1\nif: 3\nappend: none\ncollect: 5\nprobe: 6\n"
        "1 / 0\n"
        "split-path %a/b.txt\nattempt [1 / 0]\nload \"1 2\"\nexpand [x]\n"
        "help print\nsource pad\n"
        "collect\n");
    ASSERT_FALSE(o.timed_out);
    EXPECT_EQ(o.status, 0);
    std::string out = after_banner(o.out);
    EXPECT_EQ(out.rfind("== 1\n== 1\n== 3\n== none\n== 5\n== 6\n"
                        "*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : 1 / 0\n*** Stack:  \n\n"
                        "== [%a/ %b.txt]\n== none\n== [1 2]\n[x]\n== [x]\n"
                        "PRINT is an integer! value: 1\n\n"
                        "pad: func [\n",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("]\n== 5\n"), std::string::npos) << out;  // the user's collect
}
