// Process launching: output and error captured, input fed while output is
// drained (far more than a pipe holds, both ways), exit statuses and signals,
// the shell and its retry, redirect files, children left running, and the
// argument vector of browse.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/platform/os.hpp"
#include "foundation/platform/process.hpp"
#include "interp_fixtures.hpp"
#include "interpreter/natives_system.hpp"
#include "temp_dir.hpp"

using namespace kro;
using kro::test::file_text;
using kro::test::put_file;
using kro::test::TempDir;
namespace call = kro::platform::call;

namespace {

std::string str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

struct Captured {
    int32_t status;
    std::string out, err;
};

// Runs a command and waits, capturing output and error.
Captured capture(const std::string& command, bool shell = false, const std::string* input = nullptr) {
    std::vector<uint8_t> out, err;
    call::Options o;
    o.command = command;
    o.shell = shell;
    o.wait = true;
    o.output = call::Stream::bytes_out(out);
    o.error = call::Stream::bytes_out(err);
    if (input) o.input = call::Stream::bytes_in(reinterpret_cast<const uint8_t*>(input->data()), input->size());
    int32_t status = call::run(o);
    return {status, str(out), str(err)};
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 13 + i / 509) & 0xFF);
    return s;
}

// Our own standard error sent into a pipe for the object's lifetime.
class CapturedStderr {
public:
    CapturedStderr() {
        saved_ = ::dup(2);
        if (::pipe2(p_, O_CLOEXEC) != 0) return;
        ::fcntl(p_[0], F_SETFL, O_NONBLOCK);
        ::dup2(p_[1], 2);
    }
    ~CapturedStderr() {
        ::dup2(saved_, 2);
        ::close(saved_);
        ::close(p_[0]);
        ::close(p_[1]);
    }
    std::string take() {
        std::string s;
        char buf[256];
        ssize_t n;
        while ((n = ::read(p_[0], buf, sizeof buf)) > 0) s.append(buf, size_t(n));
        return s;
    }

private:
    int saved_ = -1;
    int p_[2] = {-1, -1};
};

}  // namespace

TEST(Call, OutputAndErrorAreCaptured) {
    Captured c = capture("printf \"%s|\" \"a b\" c");
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "a b|c|");  // the quoted piece is one argument

    c = capture("sh -c \"printf out; printf err >&2; exit 5\"");
    EXPECT_EQ(c.status, 5);
    EXPECT_EQ(c.out, "out");
    EXPECT_EQ(c.err, "err");

    // Output is appended to what the target already holds.
    std::vector<uint8_t> out = {'>', ' '};
    call::Options o;
    o.command = "printf more";
    o.output = call::Stream::bytes_out(out);
    EXPECT_EQ(call::run(o), 0);  // a redirect makes the call wait
    EXPECT_EQ(str(out), "> more");

    // Output far beyond the first buffer arrives whole.
    c = capture("head -c 3000000 /dev/zero");
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, std::string(3000000, '\0'));
}

TEST(Call, InputAndOutputLargerThanPipesDoNotDeadlock) {
    ::alarm(120);  // a deadlock ends the test instead of hanging the suite
    // cat gives back its input while we are still writing it: both directions
    // hold far more than a pipe's buffer.
    const std::string data = pattern(4 << 20);
    Captured c = capture("cat", false, &data);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out.size(), data.size());
    EXPECT_TRUE(c.out == data);

    // The child floods its error output before it reads any input.
    c = capture("head -c 1000000 /dev/zero >&2; cat", true, &data);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.err.size(), 1000000u);
    EXPECT_TRUE(c.out == data);

    // A child that never reads its input: the rest is dropped, and the broken
    // pipe neither hangs nor ends this process.
    c = capture("true", false, &data);
    EXPECT_EQ(c.status, 0);
    c = capture("head -c 5", false, &data);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, data.substr(0, 5));

    const std::string empty;
    c = capture("wc -c", false, &empty);  // empty input: the child sees its end at once
    EXPECT_EQ(c.out.substr(c.out.find_first_not_of(' ')), "0\n");
    ::alarm(0);
}

TEST(Call, ExitStatusesAndSignals) {
    struct Case {
        const char* command;
        bool shell;
        int32_t status;
    };
    const Case cases[] = {
        {"true", false, 0},
        {"false", false, 1},
        {"exit 3", true, 3},
        {"exit 255", true, 255},
        {"kill -TERM $$", true, 128 + SIGTERM},
        {"kill -KILL $$", true, 128 + SIGKILL},
        // This process ignores SIGPIPE; the child must get the default back.
        {"kill -PIPE $$", true, 128 + SIGPIPE},
        // A shell built-in is not a program: the call is retried through the shell.
        {"exit 7", false, 7},
        {"no-such-program-kro-test", false, 127},
    };
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);
    for (const Case& c : cases) {
        call::Options o;
        o.command = c.command;
        o.shell = c.shell;
        o.wait = true;
        EXPECT_EQ(call::run(o), c.status) << c.command;
    }
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(Call, Shell) {
    Captured c = capture("printf abc | tr a-z A-Z; echo $((6 * 7))", true);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "ABC42\n");
    // Without shell the same text is split into arguments and never interpreted.
    c = capture("echo $((6*7)) ; x");
    EXPECT_EQ(c.out, "$((6*7)) ; x\n");

    ASSERT_TRUE(platform::set_env("KRO_CALL_TEST", "from the parent"));
    c = capture("printf %s \"$KRO_CALL_TEST\"", true);
    EXPECT_EQ(c.out, "from the parent");
    platform::set_env("KRO_CALL_TEST", nullptr);
}

TEST(Call, RedirectFilesAndDescriptors) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string in = dir / "in", out = dir / "out", err = dir / "err";
    put_file(in, "line one\nline two\n");
    put_file(out, "kept\n");  // appended to, never truncated or overwritten

    call::Options o;
    o.command = "sh -c \"cat; echo oops >&2\"";
    o.input = call::Stream::file(in);
    o.output = call::Stream::file(out);
    o.error = call::Stream::file(err);
    EXPECT_EQ(call::run(o), 0);
    EXPECT_EQ(file_text(out), "kept\nline one\nline two\n");
    EXPECT_EQ(file_text(err), "oops\n");

    int fd = ::open(out.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    call::Options d;
    d.command = "printf fd";
    d.output = call::Stream::descriptor(fd);
    EXPECT_EQ(call::run(d), 0);
    EXPECT_EQ(::write(fd, "!", 1), 1);  // still ours
    ::close(fd);
    EXPECT_EQ(file_text(out), "kept\nline one\nline two\nfd!");

    // What cannot be had answers -1 and starts nothing.
    call::Options bad;
    bad.command = "true";
    bad.input = call::Stream::file(dir / "missing");
    EXPECT_EQ(call::run(bad), -1);
    bad.input = call::Stream::inherit();
    bad.output = call::Stream::file(dir / "no/such/dir");
    EXPECT_EQ(call::run(bad), -1);
    call::Options empty;
    empty.command = "   ";
    empty.wait = true;
    EXPECT_EQ(call::run(empty), -1);
}

TEST(Call, CaptureIsBoundedWithoutBlockingTheChild) {
    std::vector<uint8_t> out;
    call::Options o;
    o.command = "head -c 500000 /dev/zero";
    o.output = call::Stream::bytes_out(out);
    o.capture_limit = 1000;
    EXPECT_EQ(call::run(o), 0);
    EXPECT_EQ(out.size(), 1000u);
    EXPECT_TRUE(o.output.truncated);
}

TEST(Call, ACaptureCutAtTheLimitRaisesInsteadOfPassingForTheWhole) {
    // the limit lowered to 10 bytes stands for the real one (1 GiB)
    size_t saved = natives::system_hooks::call_capture_limit;
    natives::system_hooks::call_capture_limit = 10;
    struct Case {
        const char* code;
        const char* expected;
    } cases[] = {
        {"o: copy {} call/wait/output {printf 0123456789} o o", "\"0123456789\""},  // exactly the limit: all of it
        {"o: copy {} call/wait/output {printf 0123456789A} o", "error script/too-long"},
        {"o: copy {x} try [call/wait/output {printf 0123456789A} o] o", "\"x\""},  // nothing of the cut part
        {"o: copy #{} call/wait/output {head -c 100000 /dev/zero} o", "error script/too-long"},
        {"e: copy {} call/wait/shell/error {printf 0123456789A >&2} e", "error script/too-long"},
        // a file target is not a capture: nothing is cut there
        {"call/wait/output {printf 0123456789A} %/dev/null", "0"},
    };
    for (const Case& c : cases) EXPECT_EQ(testing_interp::run(c.code), c.expected) << c.code;
    natives::system_hooks::call_capture_limit = saved;
}

TEST(Call, ErrorOutputGoesToTheConsoleOnlyWhenAsked) {
    CapturedStderr err;
    std::vector<uint8_t> out;
    call::Options o;
    o.command = "sh -c \"echo hidden >&2; echo shown\"";
    o.output = call::Stream::bytes_out(out);
    EXPECT_EQ(call::run(o), 0);
    EXPECT_EQ(str(out), "shown\n");
    o.command = "sh -c \"echo visible >&2\"";
    o.console = true;  // console also makes the call wait
    o.output = call::Stream::inherit();
    EXPECT_EQ(call::run(o), 0);
    EXPECT_EQ(err.take(), "visible\n");
}

TEST(Call, WithoutWaitingAnswersTheChildsId) {
    call::Options o;
    o.command = "sh -c \"exit 9\"";
    int32_t pid = call::run(o);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);  // it is our child, and it ran the command
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 9);
    call::reap();  // a child collected elsewhere is forgotten without harm

    // Children left running are collected on later calls: none stays a zombie.
    o.command = "true";
    pid = call::run(o);
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i) {
        ::usleep(10000);
        call::reap();
    }
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST(Call, CommandLineSplitting) {
    struct Case {
        const char* text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"a b", {"a", "b"}},
        {"  a \t  b  ", {"a", "b"}},
        {"prog  \"my file.kro\" -v", {"prog", "my file.kro", "-v"}},
        {"\"C:\\Program Files\\x.exe\" \"\"", {"C:\\Program Files\\x.exe", ""}},
        {"a\"b c\"d", {"a\"b c\"d"}},  // quotes inside a piece stay
        {"\"", {""}},                  // a lone quote is an empty piece
        {"\"open", {"open"}},
        {"", {}},
        {"   ", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(call::split_command_line(c.text), c.pieces) << c.text;
}

TEST(Call, OutputBufferIsMadeOnceAndReused) {
    call::init_buffer();
    std::vector<uint8_t>& b = call::output_buffer();
    EXPECT_GE(b.capacity(), 102400u);
    b.assign(10, 'x');
    const uint8_t* data = b.data();
    std::vector<uint8_t>& again = call::output_buffer();
    EXPECT_EQ(&again, &b);
    EXPECT_TRUE(again.empty());
    EXPECT_EQ(again.data(), data);
}

TEST(Browse, OpenerGetsTheTargetAsOneArgument) {
    using V = std::vector<std::string>;
    EXPECT_EQ(call::browse_argv("http://example.test/a?b=c&d"), (V{"xdg-open", "http://example.test/a?b=c&d"}));
    EXPECT_EQ(call::browse_argv("/tmp/a b; rm -rf x"), (V{"xdg-open", "/tmp/a b; rm -rf x"}));
    EXPECT_EQ(call::browse_argv("--help"), (V{"xdg-open", "./--help"}));

    // A stand-in opener on PATH records what it was given.
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string opener = dir / "xdg-open";
    put_file(opener, "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > \"" + dir.path() + "/args\"\n");
    ASSERT_EQ(::chmod(opener.c_str(), 0700), 0);
    const char* old = std::getenv("PATH");
    std::string saved = old ? old : "";
    ASSERT_TRUE(platform::set_env("PATH", (dir.path() + ":" + saved).c_str()));
    const std::string target = "page $(touch " + dir.path() + "/x) \"q\".html";
    pid_t pid = call::browse(target);
    platform::set_env("PATH", saved.c_str());
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(file_text(dir / "args"), "1|" + target + "|");
    EXPECT_NE(::access((dir / "x").c_str(), F_OK), 0);  // no shell ever saw the text
}
