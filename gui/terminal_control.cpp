#include "gui/terminal_control.hpp"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <cstdio>

#include "console/terminal.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/platform/sandbox.hpp"

namespace kro::tui {

namespace {

// Read by the signal-time restore: plain flags.
volatile sig_atomic_t terminal_on = 0;
volatile sig_atomic_t owns_raw = 0;  // raw input was taken here, not by the line editor
volatile sig_atomic_t alt_active = 0;
volatile sig_atomic_t mouse_active = 0;
volatile sig_atomic_t hidden = 0;
volatile sig_atomic_t dropped = 0;  // the modes above were turned off by drop_screen_modes
volatile sig_atomic_t interrupts = 0;  // the terminal's signals are on for running code
volatile sig_atomic_t interrupts_fd = -1;
volatile sig_atomic_t frame_rows_below = -1;  // rows of the inline frame below the cursor
// How long code runs before Ctrl-C stops being a key and interrupts it.
constexpr auto CODE_MOMENT = std::chrono::milliseconds(150);

bool fullscreen = false;
int cursor_requests = 0;
int known_columns = 80;
int known_rows = 24;
ResizeHandler resize_handler = nullptr;
bool hook_set = false;

// Decimal digits of n >= 0 into buf; answers the count.
size_t put_number(char* buf, int n) {
    char digits[12];
    size_t d = 0;
    unsigned v = n < 0 ? 0u : unsigned(n);
    do digits[d++] = char('0' + v % 10); while ((v /= 10) > 0);
    size_t k = 0;
    while (d) buf[k++] = digits[--d];
    return k;
}

void write_mode(int n, char final) {
    char buf[24] = {'\x1b', '[', '?'};
    size_t k = 3 + put_number(buf + 3, n);
    buf[k++] = final;
    write_out(buf, k);
}

constexpr int MOUSE_MODES[] = {1000, 1003, 1015, 1006};

// Whatever changes the screen's modes takes the process's exit paths with it.
void guard() {
    if (!hook_set) {
        terminal::set_screen_restore_hook(&drop_screen_modes);
        hook_set = true;
    }
    terminal::guard_terminal();
}

// Signal-time writer: write(2) only, errno kept.
void raw_write(const char* s, size_t n) {
    KRO_SANDBOX_DENY();
    int fd = console::output_fd();
    while (n > 0) {
        ssize_t w = ::write(fd, s, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        s += w;
        n -= size_t(w);
    }
}

// The terminal's signals on or off on fd, errno kept: also called from a
// signal handler.
bool set_signals(int fd, bool on) {
    int saved = errno;
    termios t;
    bool ok = ::tcgetattr(fd, &t) == 0;
    if (ok && bool(t.c_lflag & ISIG) != on) {
        if (on) t.c_lflag |= tcflag_t(ISIG);
        else t.c_lflag &= ~tcflag_t(ISIG);
        ok = ::tcsetattr(fd, TCSANOW, &t) == 0;
    }
    errno = saved;
    return ok;
}

// A continue after a stop gives the input its raw modes again, signals off:
// code that was running when it stopped can still be interrupted.
struct sigaction previous_cont;
bool cont_hooked = false;

void on_cont(int sig, siginfo_t* info, void* ctx) {
    const struct sigaction& p = previous_cont;
    if (p.sa_flags & SA_SIGINFO) {
        if (p.sa_sigaction) p.sa_sigaction(sig, info, ctx);
    } else if (p.sa_handler != SIG_DFL && p.sa_handler != SIG_IGN) {
        p.sa_handler(sig);
    }
    if (interrupts && interrupts_fd >= 0) set_signals(interrupts_fd, true);
}

void hook_cont() {
    if (cont_hooked) return;
    cont_hooked = true;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = &on_cont;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGCONT, &sa, &previous_cont);
}

}  // namespace

void write_out(const char* bytes, size_t n) {
    if (n) terminal::write_output(bytes, n);
}

void set_mode(int n) { write_mode(n, 'h'); }
void reset_mode(int n) { write_mode(n, 'l'); }

void cursor_down(int n) {
    if (n <= 0) return;
    char buf[24] = {'\x1b', '['};
    size_t k = 2 + put_number(buf + 2, n);
    buf[k++] = 'B';
    write_out(buf, k);
}

void request_cursor() {
    if (!terminal::is_terminal(terminal::input_fd())) return;
    write_out("\x1b[6n", 4);
    cursor_requests++;
}

bool take_cursor_request() {
    if (cursor_requests <= 0) return false;
    cursor_requests--;
    return true;
}

int cursor_requests_outstanding() { return cursor_requests; }

void enter_alt_screen() {
    if (alt_active) return;
    guard();
    alt_active = 1;
    set_mode(1049);
    write_out("\x1b[2J", 4);
}

void leave_alt_screen() {
    if (!alt_active) return;
    reset_mode(1049);
    alt_active = 0;
}

bool alt_screen_active() { return alt_active != 0; }

void set_fullscreen_wanted(bool on) { fullscreen = on; }
bool fullscreen_wanted() { return fullscreen; }

void clear_screen() {
    if (!alt_active) return;
    write_out("\x1b[2J", 4);
    console::flush();
    std::fflush(stdout);
}

void mouse_on() {
    guard();
    mouse_active = 1;
    for (int m : MOUSE_MODES) set_mode(m);
}

void mouse_off() {
    for (int m : MOUSE_MODES) reset_mode(m);
    mouse_active = 0;
}

bool mouse_reporting() { return mouse_active != 0; }

void hide_cursor() {
    if (hidden) return;
    guard();
    hidden = 1;
    reset_mode(25);
}

void show_cursor() {
    if (!hidden) return;
    set_mode(25);
    hidden = 0;
}

bool cursor_hidden() { return hidden != 0; }

bool enter_terminal() {
    if (!terminal_on && terminal::is_terminal(terminal::input_fd())) {
        guard();
        bool had_raw = terminal::raw_mode_active();
        if (terminal::enter_raw_mode()) {
            owns_raw = had_raw ? 0 : 1;
            update_screen_size();
            terminal_on = 1;
        }
    }
    if (!fullscreen) request_cursor();
    return terminal_on != 0;
}

namespace {

// The watcher: once code has run a moment, the terminal's signals are on. Its
// state lives as long as the process (its thread may still sleep at exit).
struct Watch {
    std::mutex mutex;
    std::condition_variable wake;
    bool running = false;  // the loop handed control to code
    uint64_t run = 0;      // which time it did
    std::chrono::steady_clock::time_point since;
    pid_t owner = 0;                 // the process whose thread watches (a forked child starts its own)
    std::vector<uint8_t> typed;      // keys the watcher took in, for the loop
};
Watch& watch() {
    static Watch* w = new Watch;
    return *w;
}

// Takes in what was typed while the code ran, and answers whether the
// interrupt key is among it.
bool take_typed(Watch& w, int fd) {
    termios t;
    if (::tcgetattr(fd, &t) != 0) return false;
    cc_t intr = t.c_cc[VINTR];
    uint8_t buf[4096];
    for (int rounds = 0; rounds < 16; rounds++) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        w.typed.insert(w.typed.end(), buf, buf + n);
    }
    return intr != _POSIX_VDISABLE && std::find(w.typed.begin(), w.typed.end(), intr) != w.typed.end();
}

void watch_code() {
    // Signals go to the program's own threads.
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Watch& w = watch();
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        if (!w.running || interrupts) {
            w.wake.wait(lock);
            continue;
        }
        uint64_t run = w.run;
        if (w.wake.wait_until(lock, w.since + CODE_MOMENT, [&] { return !w.running || w.run != run; })) continue;
        int fd = terminal::input_fd();
        if (!terminal_on) continue;
        // A Ctrl-C typed before the signals were on is seen here.
        bool interrupted = take_typed(w, fd);
        if (set_signals(fd, true)) {
            interrupts_fd = fd;
            interrupts = 1;
        }
        if (interrupted) ::kill(::getpid(), SIGINT);
    }
}

}  // namespace

void code_running(bool on) {
    if (!terminal_on) return;
    Watch& w = watch();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.running == on) return;
    w.running = on;
    if (on) {
        w.run++;
        w.since = std::chrono::steady_clock::now();
        if (w.owner != ::getpid()) {
            w.owner = ::getpid();
            w.typed.clear();
            hook_cont();
            try {
                std::thread(&watch_code).detach();
            } catch (const std::system_error&) {
                w.owner = 0;  // no thread now: Ctrl-C stays a key
            }
        }
    } else if (interrupts) {
        // Off first: a continue in between must not turn them on again.
        interrupts = 0;
        set_signals(interrupts_fd, false);
    }
    w.wake.notify_one();
}

void take_watched_input(std::vector<uint8_t>& into) {
    Watch& w = watch();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.typed.empty()) return;
    into.insert(into.end(), w.typed.begin(), w.typed.end());
    w.typed.clear();
}

void leave_terminal() {
    if (!terminal_on) return;
    code_running(false);
    if (owns_raw) terminal::leave_raw_mode();
    owns_raw = 0;
    terminal_on = 0;
    dropped = 0;
}

bool terminal_mode() { return terminal_on != 0; }

int read_size() {
    known_columns = 80;
    known_rows = 24;
    for (int fd : {console::output_fd(), terminal::input_fd()}) {
        winsize ws{};
        if (::ioctl(fd, TIOCGWINSZ, &ws) != 0) continue;
        if (ws.ws_col == 0 || ws.ws_row == 0) continue;
        known_columns = ws.ws_col;
        known_rows = ws.ws_row;
        return 0;
    }
    return -1;
}

int columns() { return known_columns; }
int rows() { return known_rows; }

void update_screen_size() {
    read_size();
    if (terminal_on && resize_handler) resize_handler(known_columns, known_rows);
}

void set_resize_handler(ResizeHandler handler) { resize_handler = handler; }

void drop_screen_modes() {
    if (dropped || !(terminal_on || alt_active || mouse_active || hidden)) return;
    int saved = errno;
    static const char colours_off[] = "\x1b[0m";
    raw_write(colours_off, sizeof colours_off - 1);
    if (mouse_active) {
        static const char off[] = "\x1b[?1000l\x1b[?1003l\x1b[?1015l\x1b[?1006l";
        raw_write(off, sizeof off - 1);
    }
    if (alt_active) {
        static const char leave[] = "\x1b[?1049l";
        raw_write(leave, sizeof leave - 1);
    }
    if (hidden) {
        static const char show[] = "\x1b[?25h";
        raw_write(show, sizeof show - 1);
    }
    int below = frame_rows_below;
    if (below >= 0 && !alt_active) {
        char buf[24] = {'\r', '\x1b', '['};
        size_t k = 1;
        if (below > 0) {
            k = 3 + put_number(buf + 3, below);
            buf[k++] = 'B';
        }
        buf[k++] = '\r';
        buf[k++] = '\n';
        raw_write(buf, k);
        frame_rows_below = -1;
    }
    dropped = 1;
    errno = saved;
}

void set_frame_rows_below_cursor(int rows) { frame_rows_below = rows < 0 ? -1 : rows; }

bool reapply_screen_modes() {
    if (!dropped) return false;
    dropped = 0;
    if (alt_active) {
        set_mode(1049);
        write_out("\x1b[2J", 4);
    }
    if (mouse_active)
        for (int m : MOUSE_MODES) set_mode(m);
    if (hidden) reset_mode(25);
    return true;
}

void reset_control_state() {
    terminal_on = 0;
    owns_raw = 0;
    alt_active = 0;
    mouse_active = 0;
    hidden = 0;
    dropped = 0;
    interrupts = 0;
    {
        Watch& w = watch();
        std::lock_guard<std::mutex> lock(w.mutex);
        w.running = false;
        w.typed.clear();
    }
    frame_rows_below = -1;
    fullscreen = false;
    cursor_requests = 0;
    known_columns = 80;
    known_rows = 24;
    resize_handler = nullptr;
}

}  // namespace kro::tui
