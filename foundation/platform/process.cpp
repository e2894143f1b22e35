#include "foundation/platform/process.hpp"
#include "foundation/platform/sandbox.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

extern char** environ;

namespace kro::platform::call {

namespace {

constexpr size_t OUTPUT_BUFFER_SIZE = 102400;
std::vector<uint8_t> scratch;

std::vector<pid_t> unwaited;  // children started without waiting, not yet collected

// Descriptors the launcher opened for one call, closed on every path out.
class Fds {
public:
    ~Fds() {
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    // Keeps fd, moved above the standard three so that dup2 onto 0, 1 or 2
    // never has to copy a descriptor onto itself.
    int keep(int fd) {
        if (fd < 0) return -1;
        if (fd <= 2) {
            int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            ::close(fd);
            fd = moved;
            if (fd < 0) return -1;
        }
        fds_.push_back(fd);
        return fd;
    }
    void close_all() {
        for (int& fd : fds_)
            if (fd >= 0) ::close(fd), fd = -1;
    }
    void close(int& fd) {
        if (fd < 0) return;
        auto it = std::find(fds_.begin(), fds_.end(), fd);
        if (it != fds_.end()) *it = -1;
        ::close(fd);
        fd = -1;
    }

private:
    std::vector<int> fds_;
};

struct FileActions {
    posix_spawn_file_actions_t fa;
    FileActions() { ::posix_spawn_file_actions_init(&fa); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&fa); }
};

struct SpawnAttr {
    posix_spawnattr_t attr;
    SpawnAttr() {
        ::posix_spawnattr_init(&attr);
        // The child starts with default signal handling and nothing blocked:
        // this process ignores SIGPIPE, and exec would pass that on.
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        ::posix_spawnattr_setsigdefault(&attr, &all);
        ::posix_spawnattr_setsigmask(&attr, &none);
        ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttr() { ::posix_spawnattr_destroy(&attr); }
};

// SIGPIPE held back while the launcher writes to a child that may have gone:
// the write then fails with EPIPE instead of ending the process.
class PipeSignalBlock {
public:
    PipeSignalBlock() {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_);
    }
    ~PipeSignalBlock() {
        if (raised_ && !was_pending_) {
            // Take the SIGPIPE that our own write raised before unblocking.
            sigset_t pipe_only;
            sigemptyset(&pipe_only);
            sigaddset(&pipe_only, SIGPIPE);
            timespec zero{0, 0};
            while (::sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    void raised() { raised_ = true; }

private:
    sigset_t old_;
    bool was_pending_ = false;
    bool raised_ = false;
};

int open_cloexec(const char* path, int flags) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool set_nonblocking(int fd) {
    int fl = ::fcntl(fd, F_GETFL);
    return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

// The descriptor that becomes the child's stream `target` (kept in child_fds),
// and for BYTES the launcher's end of the pipe (kept in fds). Answers false
// when it cannot be had.
bool prepare(Stream& s, int target, bool console, Fds& child_fds, Fds& fds, FileActions& fa, int& parent_end) {
    parent_end = -1;
    bool input = target == 0;
    int child_end = -1;
    switch (s.kind) {
    case Stream::INHERIT:
        if (target == 2 && !console) {
            child_end = child_fds.keep(open_cloexec("/dev/null", O_WRONLY));
            if (child_end < 0) return false;
            break;
        }
        return true;
    case Stream::FD:
        if (s.fd < 0) return false;
        child_end = child_fds.keep(::fcntl(s.fd, F_DUPFD_CLOEXEC, 3));
        if (child_end < 0) return false;
        break;
    case Stream::PATH:
        if (s.path.find('\0') != std::string::npos) return false;
        child_end = child_fds.keep(open_cloexec(s.path.c_str(), input ? O_RDONLY : O_WRONLY | O_CREAT | O_APPEND));
        if (child_end < 0) return false;
        break;
    case Stream::BYTES: {
        if (!input && !s.sink) return false;
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return false;
        child_end = child_fds.keep(input ? p[0] : p[1]);
        parent_end = fds.keep(input ? p[1] : p[0]);
        if (child_end < 0 || parent_end < 0) return false;
        if (!set_nonblocking(parent_end)) return false;
        break;
    }
    }
    return ::posix_spawn_file_actions_adddup2(&fa.fa, child_end, target) == 0;
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> v;
    for (auto& a : args) v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

// posix_spawnp's error number (exec failures included), 0 on success.
int spawn(pid_t& pid, std::vector<std::string> args, FileActions& fa) {
    if (args.empty()) return ENOENT;
    for (const auto& a : args)
        if (a.find('\0') != std::string::npos) return EINVAL;
    SpawnAttr attr;
    auto argv = argv_of(args);
    return ::posix_spawnp(&pid, argv[0], &fa.fa, &attr.attr, argv.data(), environ);
}

void append_bounded(Stream& s, const uint8_t* p, size_t n, size_t limit) {
    std::vector<uint8_t>& v = *s.sink;
    size_t room = v.size() < limit ? limit - v.size() : 0;
    if (n > room) {
        s.truncated = true;
        n = room;
    }
    if (v.capacity() - v.size() < n && v.capacity() < 4096) v.reserve(4096);
    v.insert(v.end(), p, p + n);
}

// Feeds the input pipe and drains the output pipes until all are closed.
void pump(Options& o, int in_w, int out_r, int err_r, Fds& fds) {
    PipeSignalBlock block;
    size_t sent = 0;
    if (in_w >= 0 && o.input.size == 0) fds.close(in_w);
    uint8_t buf[65536];
    while (in_w >= 0 || out_r >= 0 || err_r >= 0) {
        pollfd p[3];
        int n = 0;
        int in_at = -1, out_at = -1, err_at = -1;
        if (in_w >= 0) in_at = n, p[n++] = {in_w, POLLOUT, 0};
        if (out_r >= 0) out_at = n, p[n++] = {out_r, POLLIN, 0};
        if (err_r >= 0) err_at = n, p[n++] = {err_r, POLLIN, 0};
        int r = ::poll(p, nfds_t(n), -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (in_at >= 0 && p[in_at].revents) {
            size_t want = std::min(o.input.size - sent, sizeof buf);
            ssize_t w = ::write(in_w, o.input.data + sent, want);
            if (w > 0) {
                sent += size_t(w);
                if (sent == o.input.size) fds.close(in_w);
            } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
                // The child stopped reading (EPIPE): the rest of the input is not wanted.
                if (errno == EPIPE) block.raised();
                fds.close(in_w);
            }
        }
        auto drain = [&](int at, int& fd, Stream& s) {
            if (at < 0 || !p[at].revents) return;
            ssize_t got = ::read(fd, buf, sizeof buf);
            if (got > 0) append_bounded(s, buf, size_t(got), o.capture_limit);
            else if (got == 0 || (errno != EINTR && errno != EAGAIN)) fds.close(fd);
        };
        drain(out_at, out_r, o.output);
        drain(err_at, err_r, o.error);
    }
    // Leaving early (poll refused): close our ends before waiting, so that a
    // child blocked on a full pipe gets EPIPE instead of waiting for us forever.
    fds.close(in_w);
    fds.close(out_r);
    fds.close(err_r);
}

int32_t wait_for(pid_t pid) {
    int status;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, 0);
        if (r == pid) break;
        if (r < 0 && errno == EINTR) continue;
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

void reap() {
    auto it = unwaited.begin();
    while (it != unwaited.end()) {
        int status;
        pid_t r = ::waitpid(*it, &status, WNOHANG);
        if (r == *it || (r < 0 && errno == ECHILD)) it = unwaited.erase(it);
        else ++it;
    }
}

std::vector<std::string> split_command_line(std::string_view text) {
    std::vector<std::string> pieces;
    auto finish = [&](size_t start, size_t end) {
        if (start >= end) return;
        std::string_view piece = text.substr(start, end - start);
        if (piece.front() == '"') piece.remove_prefix(1);
        if (!piece.empty() && piece.back() == '"' && end - start > 1) piece.remove_suffix(1);
        pieces.emplace_back(piece);
    };
    bool split = true;
    size_t start = 0, i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            split = !split;
            ++i;
        } else if (split && (c == ' ' || c == '\t')) {
            finish(start, i);
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
            start = i;
        } else {
            ++i;
        }
    }
    finish(start, text.size());
    return pieces;
}

void init_buffer() {
    if (scratch.capacity() < OUTPUT_BUFFER_SIZE) scratch.reserve(OUTPUT_BUFFER_SIZE);
}

std::vector<uint8_t>& output_buffer() {
    init_buffer();
    scratch.clear();
    return scratch;
}

int32_t run(Options& o) {
    KRO_SANDBOX_DENY(-1);
    reap();
    o.input.truncated = o.output.truncated = o.error.truncated = false;
    if (o.input.kind == Stream::BYTES && o.input.size && !o.input.data) return -1;
    Fds child_fds, fds;
    FileActions fa;
    int in_w, out_r, err_r;
    if (!prepare(o.input, 0, o.console, child_fds, fds, fa, in_w) ||
        !prepare(o.output, 1, o.console, child_fds, fds, fa, out_r) ||
        !prepare(o.error, 2, o.console, child_fds, fds, fa, err_r))
        return -1;

    pid_t pid = -1;
    int err;
    if (!o.argv.empty()) {
        err = spawn(pid, o.argv, fa);
    } else if (o.shell) {
        err = spawn(pid, {"/bin/sh", "-c", o.command}, fa);
    } else {
        auto args = split_command_line(o.command);
        if (args.empty()) return -1;
        err = spawn(pid, std::move(args), fa);
        // Not a program on PATH: perhaps a shell built-in or a shell construct.
        if (err == ENOENT) err = spawn(pid, {"/bin/sh", "-c", o.command}, fa);
    }
    if (err != 0) return -1;

    bool redirected = o.input.kind != Stream::INHERIT || o.output.kind != Stream::INHERIT ||
                      o.error.kind != Stream::INHERIT;
    if (!(o.wait || o.console || redirected)) {
        unwaited.push_back(pid);
        return int32_t(pid);
    }
    // The child holds its own copies now; ours must go, or the pipes never end.
    child_fds.close_all();
    pump(o, in_w, out_r, err_r, fds);
    return wait_for(pid);
}

std::vector<std::string> browse_argv(const std::string& target) {
    return {"xdg-open", !target.empty() && target[0] == '-' ? "./" + target : target};
}

pid_t browse(const std::string& target) {
    KRO_SANDBOX_DENY(-1);
    reap();
    Fds fds;
    FileActions fa;
    int null_in = fds.keep(open_cloexec("/dev/null", O_RDONLY));
    int null_out = fds.keep(open_cloexec("/dev/null", O_WRONLY));
    if (null_in < 0 || null_out < 0) return -1;
    ::posix_spawn_file_actions_adddup2(&fa.fa, null_in, 0);
    ::posix_spawn_file_actions_adddup2(&fa.fa, null_out, 1);
    ::posix_spawn_file_actions_adddup2(&fa.fa, null_out, 2);
    pid_t pid;
    if (spawn(pid, browse_argv(target), fa) != 0) return -1;
    unwaited.push_back(pid);
    return pid;
}

}  // namespace kro::platform::call
