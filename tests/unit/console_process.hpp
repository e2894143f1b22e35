// Runs the kro executable as a person would: through pipes (standard input
// written and closed, the output read whole) or on a pseudo-terminal (keys
// typed, the screen's bytes read until an expected text shows). Every wait is
// for a condition with a generous deadline, never a fixed sleep: the tests run
// on loaded machines.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace kro::test {

// Start-up under the collector's stress mode takes seconds; a loaded machine
// multiplies that.
constexpr int DEADLINE_MS = 180000;

// Tables that start many processes run them without the collector's stress
// mode (KRO_GC_STRESS=0): the single-run tests keep it, and the suite's time
// stays bounded.
const std::vector<std::string> LIGHT = {"KRO_GC_STRESS=0"};

inline std::string kro_exe() {
    const char* exe = std::getenv("KRO_EXE");
    return exe ? exe : "kro";
}

inline long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct Outcome {
    std::string out;   // standard output (and, on a terminal, everything shown)
    int status = -1;   // exit status, or 128 + signal when killed
    bool timed_out = false;
};

inline int decode_status(int ws) {
    if (WIFEXITED(ws)) return WEXITSTATUS(ws);
    if (WIFSIGNALED(ws)) return 128 + WTERMSIG(ws);
    return -1;
}

// The child's environment: HOME points at a private folder (the console keeps
// its configuration there) and the variables given are added.
inline void child_env(const std::string& home, const std::vector<std::string>& env) {
    if (!home.empty()) setenv("HOME", home.c_str(), 1);
    for (const std::string& e : env) putenv(strdup(e.c_str()));
}

[[noreturn]] inline void exec_kro(const std::vector<std::string>& args, const std::string& dir) {
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    std::string exe = kro_exe();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
}

// A private folder for one test, removed with its content at the end.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/kro-console-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~ScratchDir() {
        if (path != "/tmp") {
            std::string cmd = "rm -rf '" + path + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        }
    }
    std::string file(const std::string& name, const std::string& content) const {
        std::string p = path + "/" + name;
        FILE* f = fopen(p.c_str(), "wb");
        if (f) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        return p;
    }
    std::string path;
};

// Through pipes: writes the input, closes it, reads until the process ends.
inline Outcome run_piped(const std::vector<std::string>& args, const std::string& input,
                         const std::string& home, const std::string& dir = "",
                         const std::vector<std::string>& env = {}) {
    int in[2], out[2];
    Outcome o;
    if (pipe(in) != 0 || pipe(out) != 0) return o;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(in[0]); close(in[1]); close(out[0]); close(out[1]);
        child_env(home, env);
        exec_kro(args, dir);
    }
    close(in[0]);
    close(out[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    if (in[1] >= 0) fcntl(in[1], F_SETFL, O_NONBLOCK);
    long long deadline = now_ms() + DEADLINE_MS;
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        int n = in[1] >= 0 ? 2 : 1;
        long long left = deadline - now_ms();
        if (left <= 0) {
            o.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, nfds_t(n), int(left)) < 0) continue;
        if (n == 2 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write(in[1], input.data() + written, input.size() - written);
            if (w > 0) written += size_t(w);
            if (w < 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            ssize_t r = read(out[0], buf, sizeof buf);
            if (r > 0) o.out.append(buf, size_t(r));
            else if (r == 0) break;
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    o.status = decode_status(ws);
    return o;
}

// On a pseudo-terminal of the given size.
class PtySession {
public:
    // env: variables set after TERM=xterm (which one of them may replace).
    PtySession(const std::vector<std::string>& args, const std::string& home, int rows = 24, int cols = 80,
               const std::string& dir = "", const std::vector<std::string>& env = {}) {
        winsize ws{};
        ws.ws_row = (unsigned short)rows;
        ws.ws_col = (unsigned short)cols;
        pid_ = forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            std::vector<std::string> vars = {"TERM=xterm"};
            vars.insert(vars.end(), env.begin(), env.end());
            child_env(home, vars);
            exec_kro(args, dir);
        }
        if (pid_ > 0) {
            fcntl(master_, F_SETFL, O_NONBLOCK);
            tcgetattr(master_, &initial_);
        }
    }
    ~PtySession() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            int ws;
            waitpid(pid_, &ws, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool started() const { return pid_ > 0 && master_ >= 0; }

    void type(const std::string& keys) {
        size_t done = 0;
        long long deadline = now_ms() + DEADLINE_MS;
        while (done < keys.size() && now_ms() < deadline) {
            ssize_t w = write(master_, keys.data() + done, keys.size() - done);
            if (w > 0) done += size_t(w);
            else pump(50);
        }
    }

    // Reads until `text` appears after the position `from` of the output (by
    // default, after what earlier waits consumed). True when it did.
    bool wait_for(const std::string& text, int timeout_ms = DEADLINE_MS) {
        long long deadline = now_ms() + timeout_ms;
        for (;;) {
            size_t at = screen_.find(text, seen_);
            if (at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            long long left = deadline - now_ms();
            if (left <= 0 || !pump(int(left))) {
                at = screen_.find(text, seen_);
                if (at != std::string::npos) {
                    seen_ = at + text.size();
                    return true;
                }
                return false;
            }
        }
    }

    // The rest of the line after the next `prefix` (up to its CR LF), or
    // "(none)" when it does not come.
    std::string line_after(const std::string& prefix) {
        if (!wait_for(prefix)) return "(none)";
        size_t start = seen_;
        if (!wait_for("\r\n")) return "(none)";
        return screen_.substr(start, seen_ - 2 - start);
    }

    // Waits for the process to end (reading what it still writes).
    int wait_exit(int timeout_ms = DEADLINE_MS) {
        long long deadline = now_ms() + timeout_ms;
        while (status_ < 0) {
            int ws;
            pid_t r = waitpid(pid_, &ws, WNOHANG);
            if (r == pid_) {
                status_ = decode_status(ws);
                pump(0);
                break;
            }
            if (now_ms() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &ws, 0);
                status_ = 1000;
                break;
            }
            pump(50);
        }
        return status_;
    }

    void resize(int rows, int cols) {
        winsize ws{};
        ws.ws_row = (unsigned short)rows;
        ws.ws_col = (unsigned short)cols;
        ioctl(master_, TIOCSWINSZ, &ws);
        kill(pid_, SIGWINCH);
    }

    // The terminal's modes now and when the session began.
    termios modes() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }
    const termios& initial_modes() const { return initial_; }
    const std::string& screen() const { return screen_; }
    pid_t pid() const { return pid_; }
    // Closes the terminal as a window that goes away does (the console hears SIGHUP).
    void hang_up() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

private:
    // Reads what is there, waiting up to timeout_ms for something; answers
    // cursor position queries (the editor asks where its prompt starts).
    bool pump(int timeout_ms) {
        if (master_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return false;
        }
        pollfd p{master_, POLLIN, 0};
        int r = poll(&p, 1, timeout_ms);
        if (r <= 0) return r == 0;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        screen_.append(buf, size_t(n));
        size_t q;
        while ((q = screen_.find("\x1b[6n", answered_)) != std::string::npos) {
            answered_ = q + 4;
            const char reply[] = "\x1b[1;1R";
            if (write(master_, reply, sizeof reply - 1) < 0) {
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    int status_ = -1;
    termios initial_{};
    std::string screen_;
    size_t seen_ = 0;
    size_t answered_ = 0;
};

}  // namespace kro::test
