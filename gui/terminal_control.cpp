#include "gui/terminal_control.hpp"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

void leave_terminal() {
    if (!terminal_on) return;
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
    dropped = 1;
    errno = saved;
}

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
    fullscreen = false;
    cursor_requests = 0;
    known_columns = 80;
    known_rows = 24;
    resize_handler = nullptr;
}

}  // namespace kro::tui
