// Fatal runtime errors: the exact report on standard output and the exit
// status, from each path that ends the process (uncaught throw, hardware faults,
// allocation failure, unmatched dispatch, quit), and the machine-stack guard.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/heap.hpp"
#include "foundation/print.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "output_capture.hpp"

extern char** environ;

using namespace kro;
using testing::ExitedWithCode;
using testing::MatchesRegex;
using testing::StrEq;

namespace {

// The report of runtime error `n`, with the address as a regex or literally.
std::string report_regex(int n, const char* message) {
    return "\n\\*\\*\\* Runtime Error " + std::to_string(n) + ": " + message + "\n\\*\\*\\* at: [0-9A-F]{8}h\n";
}
std::string report(int n, const char* message, uint32_t address) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", address);
    return "\n*** Runtime Error " + std::to_string(n) + ": " + message + "\n*** at: " + hex + "h\n";
}

void on_big_stack(void (*fn)()) {
    machine_stack::run_on_big_stack([](void* f) { reinterpret_cast<void (*)()>(f)(); },
                                    reinterpret_cast<void*>(fn));
}

volatile int zero = 0;
volatile int dividend = 7;
volatile bool stop_recursion = false;

// Division in runtime code that the sanitizers leave to the processor.
__attribute__((no_sanitize("integer-divide-by-zero"), noinline)) int divide(int a, int b) { return a / b; }

// A store to a null pointer, left for the processor to refuse.
__attribute__((no_sanitize("undefined"), noinline)) void store_to_null() {
    volatile int* volatile p = nullptr;
    *p = 1;
}

__attribute__((noinline)) int unchecked_recursion(int n) {
    volatile char pad[512];
    pad[0] = char(n);
    if (stop_recursion) return 0;
    return unchecked_recursion(n + 1) + pad[0];
}

uintptr_t deepest_frame = 0;
__attribute__((noinline)) int checked_recursion(int n) {
    volatile char pad[512];
    pad[0] = char(n);
    deepest_frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    machine_stack::check();
    if (stop_recursion || n == -1) return 0;
    return checked_recursion(n + 1) + pad[0];
}

}  // namespace

// The thread that handled the last signal, and the one that ran the code.
volatile sig_atomic_t handled_on = 0;
volatile pid_t code_thread = 0;

TEST(BigStack, SignalsThatEndTheProcessGoToTheThreadRunningTheCode) {
    // Taken by the waiting thread instead, their handler could run late,
    // while the code goes on. Checked in a child process: no other thread of
    // the test program may be there to take them.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            struct sigaction sa{};
            sa.sa_handler = [](int) { handled_on = ::gettid(); };
            sigemptyset(&sa.sa_mask);
            if (sigaction(sig, &sa, nullptr) != 0) ::_exit(100);
            handled_on = 0;
            static int sent;
            sent = sig;
            on_big_stack([] {
                code_thread = ::gettid();
                ::kill(::getpid(), sent);  // to the process, not to a thread
                for (int i = 0; i < 2000 && !handled_on; i++) ::usleep(1000);
            });
            if (handled_on != code_thread) ::_exit(sig);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a signal taken by another thread: " << WEXITSTATUS(status);
}

TEST(FatalDeathTest, ReportAndStatusForEachNumber) {
    struct Case {
        int32_t number;
        const char* message;
    };
    const Case cases[] = {
        {1, "access violation"},
        {6, "float denormal operan"},
        {19, "stack error or overflow"},
        {34, "Bus error"},
        {94, "out of memory"},
        {95, "no CATCH for THROW"},
        {98, "assertion failed"},
        {99, "unknown error"},
        {100, "no value matched in CASE"},
        {101, "no value matched in SWITCH"},
        {35, "unknown error code!"},
        {200, "unknown error code!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EXIT(
            {
                KRO_STDOUT_TO_STDERR();
                rt_error::fatal(c.number, 0x0041A0DB);
            },
            ExitedWithCode(c.number), StrEq(report(c.number, c.message, 0x0041A0DB)));
    }
}

TEST(FatalDeathTest, NumberZeroEndsQuietlyWithStatusZero) {
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            rt_error::fatal(0, 0x1234);
        },
        ExitedWithCode(0), StrEq(""));
}

TEST(FatalDeathTest, ThrowWithNoRegionIsError95AtTheOutermostHandler) {
    // The address is the handler's offset in the executable, the same in the child.
    uint32_t at = rt_error::code_address(reinterpret_cast<uintptr_t>(&rt_error::outermost_handler));
    EXPECT_LT(at, 0x10000000u);
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            on_big_stack([] {
                start::in_outermost_frame([](void*) { frame::throw_code(code::BREAK); }, nullptr);
            });
        },
        ExitedWithCode(95), StrEq(report(95, "no CATCH for THROW", at)));
    // A code that an inner region does not take still reaches the outermost frame.
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            start::in_outermost_frame(
                [](void*) { frame::catch_region(code::BREAK, [] { fire("script", "no-value"); }); }, nullptr);
        },
        ExitedWithCode(95), StrEq(report(95, "no CATCH for THROW", at)));
}

TEST(FatalDeathTest, QuitEndsWithItsStatusAndNoReport) {
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            start::in_outermost_frame([](void*) { frame::throw_code(code::QUIT_REQUEST); }, nullptr);
        },
        ExitedWithCode(0), StrEq(""));
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            start::in_outermost_frame([](void*) { throw QuitRequest{3}; }, nullptr);
        },
        ExitedWithCode(3), StrEq(""));
    // Statuses are 8-bit: -2 is seen as 254.
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            start::in_outermost_frame([](void*) { throw QuitRequest{-2}; }, nullptr);
        },
        ExitedWithCode(254), StrEq(""));
}

TEST(FatalDeathTest, OuterFrameReturnsWhenTheBodyCompletes) {
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            start::in_outermost_frame([](void*) { frame::catch_region(code::ERROR, [] { fire("a", "b"); }); },
                                      nullptr);
            rt_error::fatal(0, 0);
        },
        ExitedWithCode(0), StrEq(""));
}

TEST(FatalDeathTest, RefusedAllocationIsError94) {
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            heap::alloc(size_t(1) << 33);
        },
        ExitedWithCode(94), MatchesRegex(report_regex(94, "out of memory")));
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            start::in_outermost_frame([](void*) { throw std::bad_alloc(); }, nullptr);
        },
        ExitedWithCode(94), MatchesRegex(report_regex(94, "out of memory")));
}

TEST(FatalDeathTest, UnmatchedDispatchIsError100Or101) {
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            print::char_literal(256);
        },
        ExitedWithCode(100), MatchesRegex(report_regex(100, "no value matched in CASE")));
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            console::write_text("abc", 3, 3, false);
        },
        ExitedWithCode(101), MatchesRegex(report_regex(101, "no value matched in SWITCH")));
}

TEST(FatalDeathTest, HardwareFaultsMapToRuntimeErrors) {
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            on_big_stack([] { std::printf("%d", divide(dividend, zero)); });
        },
        ExitedWithCode(13), MatchesRegex(report_regex(13, "integer divide by zero")));
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            on_big_stack(&store_to_null);
        },
        ExitedWithCode(1), MatchesRegex(report_regex(1, "access violation")));
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            on_big_stack([] { std::printf("%d", unchecked_recursion(0)); });
        },
        ExitedWithCode(19), MatchesRegex(report_regex(19, "stack error or overflow")));
    // A signal the map does not name (here abort) is "unknown error".
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            on_big_stack([] { std::abort(); });
        },
        ExitedWithCode(99), MatchesRegex(report_regex(99, "unknown error")));
}

TEST(FatalDeathTest, StackCheckRaisesStackOverflowBeforeTheStackEnds) {
    // Runs in a child so that the fault handlers it installs stay there; the
    // child reports what it saw and the parent compares the whole text.
    EXPECT_EXIT(
        {
            std::string seen;
            seen += machine_stack::limit == 0 ? "main thread unchecked\n" : "main thread checked\n";
            on_big_stack([] {
                std::string out;
                uint64_t size = machine_stack::stack_high - machine_stack::stack_low;
                out += size >= machine_stack::RUNTIME_STACK ? "stack as asked\n" : "stack too small\n";
                out += frame::catch_region(code::ERROR, [] { checked_recursion(-1); }) == 0 ? "shallow ok\n"
                                                                                            : "shallow raised\n";
                uint32_t got = frame::catch_region(code::ERROR, [] { checked_recursion(0); });
                out += got == code::ERROR && last_raised().category == "internal" &&
                               last_raised().id == "stack-overflow"
                           ? "raised internal/stack-overflow\n"
                           : "not raised\n";
                // It fired at the margin, not early: the deepest frame is within
                // a few KiB of the limit.
                uintptr_t room = deepest_frame - machine_stack::stack_low;
                out += room + 8192 > machine_stack::GUARD_MARGIN && room < machine_stack::GUARD_MARGIN + 8192
                           ? "stopped at the margin\n"
                           : "stopped " + std::to_string(room) + " bytes above the stack's end\n";
                std::fputs(out.c_str(), stderr);
            });
            seen += machine_stack::limit == 0 && machine_stack::stack_low == 0 ? "bounds restored\n"
                                                                               : "bounds kept\n";
            std::fputs(seen.c_str(), stderr);
            std::fflush(stderr);
            std::_Exit(0);
        },
        ExitedWithCode(0),
        StrEq("stack as asked\nshallow ok\nraised internal/stack-overflow\nstopped at the margin\n"
              "main thread unchecked\nbounds restored\n"));
}

TEST(Executable, StartsAndEndsQuietlyWithStatusZero) {
    std::string exe;
    if (const char* e = std::getenv("KRO_EXE")) {
        exe = e;
    } else {
        char self[4096];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        self[n] = 0;
        exe = std::string(self);
        exe = exe.substr(0, exe.rfind('/')) + "/../kro";
    }
    // The argument names a script (the console runs it): an empty one, with a
    // UTF-8 name.
    char dir[] = "/tmp/kro-start-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string script = std::string(dir) + "/caf\xC3\xA9";
    FILE* f = std::fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("Kro []\n", f);
    std::fclose(f);
    for (const char* stress : {"0", "1"}) {
        SCOPED_TRACE(stress);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        std::string env_stress = std::string("KRO_GC_STRESS=") + stress;
        char* argv[] = {exe.data(), script.data(), nullptr};
        char* envp[] = {env_stress.data(), nullptr};
        pid_t pid;
        ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, envp), 0) << exe;
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        std::string out;
        char buf[512];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        ::close(fds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(out, "");
    }
    std::remove(script.c_str());
    ::rmdir(dir);
}
