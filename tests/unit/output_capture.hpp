// Test helpers: capture what the runtime writes to standard output, and run a
// death-test statement with standard output sent to stderr (where the death
// test can match it).
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "foundation/platform/console_out.hpp"

namespace kro::test {

// Console output goes into a pipe for the object's lifetime.
class CapturedOutput {
public:
    CapturedOutput() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        console::set_output_fd(fds_[1]);
    }
    ~CapturedOutput() {
        console::set_output_fd(1);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Everything written since the last take.
    std::string take() {
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fds_[0], buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, size_t(n));
        }
        return out;
    }

private:
    int fds_[2];
};

}  // namespace kro::test

// Inside EXPECT_EXIT: the runtime's reports (written to stdout) reach stderr.
#define KRO_STDOUT_TO_STDERR()          \
    do {                                \
        std::fflush(stdout);            \
        ::dup2(2, 1);                   \
        ::kro::console::set_output_fd(1); \
    } while (0)
