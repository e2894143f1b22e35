// Test helpers for a child process that takes a pseudo-terminal and leaves it:
// the pty with the modes it had before, every way a process may end, a run of
// one child per way out, and a child that job control stops and continues.
// The tests give what the child does on the pty and what the parent checks.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "foundation/frame.hpp"

namespace kro::test {

// A pty of 80x24 whose master side does not block.
struct PtyPair {
    int master = -1, slave = -1;
    termios cooked{};  // the modes before anyone changed them
    PtyPair() {
        winsize ws{};
        ws.ws_col = 80;
        ws.ws_row = 24;
        if (::openpty(&master, &slave, nullptr, nullptr, &ws) != 0) master = slave = -1;
        ::tcgetattr(slave, &cooked);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~PtyPair() {
        ::close(master);
        ::close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    termios modes() const {
        termios t{};
        ::tcgetattr(slave, &t);
        return t;
    }
    bool raw() const { return (modes().c_lflag & ICANON) == 0; }
    // Everything written to the terminal so far.
    std::string output() {
        std::string s;
        char buf[4096];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) break;
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            s.append(buf, size_t(n));
        }
        return s;
    }
};

// A way out of the process and how the process ends by it.
struct WayOut {
    const char* what;
    void (*leave)();
    bool signalled;
    int code;  // exit status or signal
};

inline const WayOut WAYS_OUT[] = {
    {"end of the process (quit)", [] { rt_error::end_process(3); }, false, 3},
    {"fatal runtime error", [] { rt_error::fatal(94, 0); }, false, 94},
    {"hardware fault",
     [] {
         rt_error::install_signal_handlers();
         ::raise(SIGSEGV);
     },
     false, 1},
    {"exit from other code", [] { std::exit(5); }, false, 5},
    {"SIGTERM", [] { ::raise(SIGTERM); }, true, SIGTERM},
    {"SIGHUP", [] { ::raise(SIGHUP); }, true, SIGHUP},
    {"SIGINT", [] { ::raise(SIGINT); }, true, SIGINT},
};

// What a child does on the slave side before it leaves (answering a byte for
// the parent), what the parent checks while the child holds the terminal (given
// that byte), and what it checks once the child has ended.
struct WayOutChecks {
    std::function<char(int slave)> take;
    std::function<void(PtyPair&, char)> held;
    std::function<void(PtyPair&)> put_back;
};

// One child on a fresh pty, leaving by `way`.
inline void leave_one_way(const WayOut& way, const WayOutChecks& checks) {
    PtyPair p;
    ASSERT_GE(p.slave, 0);
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char b = checks.take(p.slave);
        if (::write(ready[1], &b, 1) != 1) ::_exit(90);
        if (::read(go[0], &b, 1) != 1) ::_exit(91);
        way.leave();
        ::_exit(92);
    }
    char b = 0;
    ASSERT_EQ(::read(ready[0], &b, 1), 1);
    checks.held(p, b);
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (way.signalled) {
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), way.code);
    } else {
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), way.code);
    }
    checks.put_back(p);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

// A child for each way out in turn; the first fatal failure ends the run.
inline void leave_every_way(const WayOutChecks& checks) {
    for (const WayOut& way : WAYS_OUT) {
        SCOPED_TRACE(way.what);
        leave_one_way(way, checks);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// A child on a pty of its own, in a process group of its own, which job
// control may stop. It runs take(slave), sends the parent the byte answered,
// and then hold(ready), which may tell the parent more through the pipe end
// `ready` and never returns. The child is killed if it is still there at the end.
class StoppableChild {
public:
    StoppableChild() = default;
    StoppableChild(const StoppableChild&) = delete;
    StoppableChild& operator=(const StoppableChild&) = delete;
    ~StoppableChild() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        for (int fd : ready_)
            if (fd >= 0) ::close(fd);
    }

    // False when the pty, the pipe or the fork failed.
    bool start(const std::function<char(int slave)>& take, const std::function<void(int ready)>& hold) {
        if (pty.slave < 0 || ::pipe(ready_) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            char b = take(pty.slave);
            if (::write(ready_[1], &b, 1) != 1) ::_exit(90);
            hold(ready_[1]);
            ::_exit(93);
        }
        return pid_ > 0;
    }
    // The next byte the child sent; false when none came.
    bool next(char& b) { return ::read(ready_[0], &b, 1) == 1; }
    // Sends sig and waits (with the waitpid options) for the child to change;
    // false when the wait failed.
    bool signal(int sig, int options, int& status) {
        if (pid_ <= 0) return false;  // never signal a whole process group by mistake
        ::kill(pid_, sig);
        if (::waitpid(pid_, &status, options) != pid_) return false;
        if (!WIFSTOPPED(status)) ended_ = true;
        return true;
    }
    void resume() {
        if (pid_ > 0) ::kill(pid_, SIGCONT);
    }

    PtyPair pty;

private:
    pid_t pid_ = -1;
    int ready_[2] = {-1, -1};
    bool ended_ = false;
};

}  // namespace kro::test
