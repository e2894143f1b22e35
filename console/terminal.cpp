#include "console/terminal.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "foundation/frame.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/unicode.hpp"
#include "foundation/platform/sandbox.hpp"

namespace kro::terminal {

// ---- key decoding -------------------------------------------------------------------

namespace {

constexpr int32_t REPLACEMENT = 0xFFFD;
constexpr uint8_t ESC = 0x1B;

// Keys take surrogate halves through (a pair typed as two halves is joined by
// the editor); what cannot be UTF-8 is U+FFFD.
int32_t decode_utf8_key(const uint8_t* p, size_t n, size_t& used, bool more) {
    size_t taken = 0;
    int32_t cp = unicode::decode_utf8_checked(p, n, &taken, true);
    if (cp == unicode::UTF8_CUT && more) return KEY_INCOMPLETE;
    used = taken;
    return cp < 0 ? REPLACEMENT : cp;
}

// The cursor keys' final letters, alike after CSI and SS3; KEY_NONE for others.
int32_t cursor_letter_key(uint8_t final) {
    switch (final) {
        case 'A': return KEY_UP;
        case 'B': return KEY_DOWN;
        case 'C': return KEY_RIGHT;
        case 'D': return KEY_LEFT;
        case 'H': return KEY_HOME;
        case 'F': return KEY_END;
        default: return KEY_NONE;
    }
}

int32_t csi_key(char final, int first_param, bool has_param) {
    switch (final) {
        case 'Z': return 9;  // Shift-Tab: the Tab key
        case '~':
            if (!has_param) return KEY_NONE;
            switch (first_param) {
                case 1: case 7: return KEY_HOME;
                case 4: case 8: return KEY_END;
                case 2: return KEY_INSERT;
                case 3: return KEY_DELETE;
                case 5: return KEY_PAGE_UP;
                case 6: return KEY_PAGE_DOWN;
                case 200: return KEY_PASTE_START;
                case 201: return KEY_PASTE_END;
                default: return KEY_NONE;  // function keys
            }
        default: return cursor_letter_key(uint8_t(final));
    }
}

int32_t decode_csi(const uint8_t* p, size_t n, size_t& used, bool more) {
    // p[0] is Esc, p[1] '['.
    if (n == 2) {
        if (more) return KEY_INCOMPLETE;
        used = 2;
        return '[';  // Alt-[
    }
    size_t i = 2;
    bool private_param = p[i] >= 0x3C && p[i] <= 0x3F;  // < = > ?: mouse and other reports
    int first = 0;
    bool has_param = false, in_first = true;
    while (i < n && p[i] >= 0x30 && p[i] <= 0x3F) {
        if (p[i] >= '0' && p[i] <= '9' && in_first) {
            if (first < 100000) first = first * 10 + (p[i] - '0');
            has_param = true;
        } else {
            in_first = false;
        }
        i++;
    }
    while (i < n && p[i] >= 0x20 && p[i] <= 0x2F) i++;
    if (i >= n) {
        if (more) return KEY_INCOMPLETE;
        used = n;
        return KEY_NONE;
    }
    uint8_t final = p[i];
    if (final < 0x40 || final > 0x7E) {
        used = i;  // malformed: the stray byte is a key of its own
        return KEY_NONE;
    }
    if (final == '[' && i == 2) {
        // The Linux console's function keys: Esc [ [ letter.
        if (n < 4) {
            if (more) return KEY_INCOMPLETE;
            used = n;
            return KEY_NONE;
        }
        used = 4;
        return KEY_NONE;
    }
    used = i + 1;
    if (private_param) return KEY_NONE;
    return csi_key(char(final), first, has_param);
}

}  // namespace

int32_t decode_key(const uint8_t* p, size_t n, size_t& used, bool more) {
    used = 0;
    if (n == 0) return more ? KEY_INCOMPLETE : KEY_NONE;
    uint8_t b = p[0];
    if (b != ESC) {
        if (b == '\n') {
            used = 1;
            return 13;
        }
        return decode_utf8_key(p, n, used, more);
    }
    if (n == 1) {
        if (more) return KEY_INCOMPLETE;
        used = 1;
        return 27;
    }
    if (p[1] == '[') return decode_csi(p, n, used, more);
    if (p[1] == 'O') {
        if (n == 2) {
            if (more) return KEY_INCOMPLETE;
            used = 2;
            return 'O';  // Alt-O
        }
        if (p[2] < 0x40 || p[2] > 0x7E) {
            // No SS3 final (an Esc that starts the next key, say): Alt-O.
            used = 2;
            return 'O';
        }
        used = 3;
        return p[2] == 'M' ? 13 : cursor_letter_key(p[2]);  // M: keypad Enter
    }
    // Alt held: Esc before the key (which may itself be an escape sequence).
    size_t inner = 0;
    int32_t k = decode_key(p + 1, n - 1, inner, more);
    if (k == KEY_INCOMPLETE) return k;
    used = 1 + inner;
    return k;
}

// ---- descriptors and modes ------------------------------------------------------------

namespace {

int in_fd = 0;

volatile sig_atomic_t raw_active = 0;
volatile sig_atomic_t raw_fd = -1;
termios saved_modes;
termios raw_modes;
volatile sig_atomic_t stopped_in_raw = 0;

// Bracketed paste asked of the terminal (and the descriptor it was asked on);
// wanted survives a stop, on does not.
volatile sig_atomic_t paste_on = 0;
volatile sig_atomic_t paste_wanted = 0;
volatile sig_atomic_t paste_fd = -1;

void write_paste_mode(int fd, bool on) {
    const char* seq = on ? "\x1b[?2004h" : "\x1b[?2004l";
    ssize_t r = ::write(fd, seq, 8);
    (void)r;
}

// Echo turned off for hidden input on a terminal without raw mode.
volatile sig_atomic_t echo_off_fd = -1;

volatile sig_atomic_t winch_pending = 0;
volatile sig_atomic_t resumed_pending = 0;
// While the console waits at its prompt, SIGTERM and SIGHUP are held: the
// reader stops and the console saves the session's history before it dies.
volatile sig_atomic_t holding_termination = 0;
volatile sig_atomic_t held_signal = 0;
int wake_pipe[2] = {-1, -1};

bool handlers_installed = false;
ScreenRestoreHook screen_hook = nullptr;
constexpr int TERMINATING[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
struct sigaction previous[4];

void wake() {
    if (wake_pipe[1] < 0) return;
    int saved = errno;
    char c = 1;
    ssize_t r = ::write(wake_pipe[1], &c, 1);
    (void)r;
    errno = saved;
}

void on_winch(int) {
    winch_pending = 1;
    wake();
}

void on_terminate(int sig, siginfo_t* info, void* ctx) {
    for (int i = 0; i < 4; i++) {
        if (TERMINATING[i] != sig) continue;
        const struct sigaction& p = previous[i];
        bool fatal = !(p.sa_flags & SA_SIGINFO) && p.sa_handler == SIG_DFL;
        if (fatal && holding_termination && (sig == SIGTERM || sig == SIGHUP)) {
            if (!held_signal) held_signal = sig;
            wake();
            return;
        }
        restore_terminal();
        if (p.sa_flags & SA_SIGINFO) {
            if (p.sa_sigaction) p.sa_sigaction(sig, info, ctx);
            return;
        }
        if (p.sa_handler == SIG_IGN) return;
        if (p.sa_handler != SIG_DFL) {
            p.sa_handler(sig);
            return;
        }
        // Die of the signal as if no handler were there: it is blocked while
        // this runs, so it arrives with the default action on return.
        struct sigaction dfl;
        ::memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        ::sigaction(sig, &dfl, nullptr);
        ::raise(sig);
        return;
    }
    restore_terminal();
}

void install_tstp();

void on_tstp(int) {
    stopped_in_raw = raw_active;
    restore_terminal();
    struct sigaction dfl;
    ::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGTSTP, &dfl, nullptr);
    ::raise(SIGTSTP);  // pending until this returns: the process stops then
}

void on_cont(int) {
    int saved = errno;
    install_tstp();
    if (stopped_in_raw && raw_fd >= 0) {
        stopped_in_raw = 0;
        if (::tcsetattr(raw_fd, TCSANOW, &raw_modes) == 0) raw_active = 1;
        if (paste_wanted && paste_fd >= 0) {
            write_paste_mode(paste_fd, true);
            paste_on = 1;
        }
        resumed_pending = 1;
        wake();
    }
    errno = saved;
}

void install_tstp() {
    struct sigaction sa;
    ::memset(&sa, 0, sizeof sa);
    sa.sa_handler = &on_tstp;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTSTP, &sa, nullptr);
}

void restore_at_exit() { restore_terminal(); }

void install_handlers() {
    if (handlers_installed) return;
    handlers_installed = true;
    if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe[0] = wake_pipe[1] = -1;
    rt_error::add_exit_hook(&restore_terminal);
    std::atexit(&restore_at_exit);

    struct sigaction sa;
    ::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_sigaction = &on_terminate;
    sa.sa_flags = SA_SIGINFO;
    for (int i = 0; i < 4; i++) ::sigaction(TERMINATING[i], &sa, &previous[i]);

    install_tstp();
    struct sigaction cont;
    ::memset(&cont, 0, sizeof cont);
    cont.sa_handler = &on_cont;
    cont.sa_flags = SA_RESTART;
    sigemptyset(&cont.sa_mask);
    ::sigaction(SIGCONT, &cont, nullptr);

    struct sigaction winch;
    ::memset(&winch, 0, sizeof winch);
    winch.sa_handler = &on_winch;
    winch.sa_flags = SA_RESTART;
    sigemptyset(&winch.sa_mask);
    ::sigaction(SIGWINCH, &winch, nullptr);
}

}  // namespace

void set_input_fd(int fd) { in_fd = fd; }
int input_fd() { return in_fd; }

bool is_terminal(int fd) {
    KRO_SANDBOX_DENY(false);
    termios t;
    return ::isatty(fd) == 1 && ::tcgetattr(fd, &t) == 0;
}

bool interactive() { return is_terminal(in_fd) && is_terminal(console::output_fd()); }

bool enter_raw_mode() {
    if (raw_active) return true;
    int fd = in_fd;
    termios modes;
    if (!is_terminal(fd) || ::tcgetattr(fd, &modes) != 0) return false;
    install_handlers();
    termios raw = modes;
    raw.c_iflag &= ~tcflag_t(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON | INPCK);
    raw.c_lflag &= ~tcflag_t(ECHO | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    saved_modes = modes;
    raw_modes = raw;
    raw_fd = fd;
    // On before the change: a signal in between puts back modes that are still in force.
    raw_active = 1;
    if (::tcsetattr(fd, TCSADRAIN, &raw) != 0) {
        raw_active = 0;
        return false;
    }
    return true;
}

void leave_raw_mode() {
    if (!raw_active) return;
    ::tcsetattr(raw_fd, TCSADRAIN, &saved_modes);
    raw_active = 0;
}

bool raw_mode_active() { return raw_active != 0; }

void set_screen_restore_hook(ScreenRestoreHook hook) { screen_hook = hook; }

void guard_terminal() { install_handlers(); }

bool take_window_changed() {
    if (!winch_pending) return false;
    winch_pending = 0;
    return true;
}

bool take_resumed() {
    if (!resumed_pending) return false;
    resumed_pending = 0;
    return true;
}

int wake_fd() { return wake_pipe[0]; }

void hold_termination(bool on) {
    if (on && interactive()) install_handlers();
    holding_termination = on ? 1 : 0;
}

int held_termination() { return held_signal; }

void die_of(int sig) {
    restore_terminal();
    struct sigaction dfl;
    ::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    ::sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

bool set_echo(bool on) {
    termios t;
    if (!is_terminal(in_fd) || ::tcgetattr(in_fd, &t) != 0) return false;
    if (on) {
        t.c_lflag |= tcflag_t(ECHO);
        echo_off_fd = -1;
        return ::tcsetattr(in_fd, TCSADRAIN, &t) == 0;
    }
    install_handlers();
    t.c_lflag &= ~tcflag_t(ECHO);
    echo_off_fd = in_fd;  // before the change, as raw mode does
    if (::tcsetattr(in_fd, TCSADRAIN, &t) == 0) return true;
    echo_off_fd = -1;
    return false;
}

void set_paste_brackets(bool on) {
    if (!on) {
        paste_wanted = 0;
        if (paste_on) write_paste_mode(paste_fd, false);
        paste_on = 0;
        return;
    }
    paste_fd = console::output_fd();
    paste_wanted = 1;
    paste_on = 1;
    write_paste_mode(paste_fd, true);
}

void restore_terminal() {
    if (screen_hook) screen_hook();
    if (echo_off_fd >= 0) {
        int saved = errno;
        termios t;
        if (::tcgetattr(echo_off_fd, &t) == 0) {
            t.c_lflag |= tcflag_t(ECHO);
            ::tcsetattr(echo_off_fd, TCSANOW, &t);
        }
        echo_off_fd = -1;
        errno = saved;
    }
    if (paste_on) {
        int saved = errno;
        paste_on = 0;
        write_paste_mode(paste_fd, false);
        errno = saved;
    }
    if (!raw_active) return;
    int saved = errno;
    ::tcsetattr(raw_fd, TCSANOW, &saved_modes);
    raw_active = 0;
    errno = saved;
}

// ---- window size ---------------------------------------------------------------------

namespace {
int known_columns = 80;
int known_rows = 50;
ResizeHook resize_hook = nullptr;
}  // namespace

bool read_window_size(int& cols, int& rows) {
    for (int fd : {console::output_fd(), in_fd}) {
        winsize ws;
        if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
            cols = ws.ws_col;
            rows = ws.ws_row > 0 ? ws.ws_row : 50;
            return true;
        }
    }
    return false;
}

int columns() { return known_columns; }
int rows() { return known_rows; }

bool refresh_size() {
    if (!read_window_size(known_columns, known_rows)) return false;
    if (resize_hook) resize_hook(known_columns, known_rows);
    return true;
}

void set_resize_hook(ResizeHook hook) { resize_hook = hook; }

// ---- reading keys ------------------------------------------------------------------------

namespace {

std::string typed;  // bytes read but not yet decoded

constexpr int ESC_WAIT_MS = 50;
// Once Esc "[" or Esc "O" has come, the rest of the sequence is waited for
// longer: a slow link may split it, and its tail must not turn into typed
// text ("[D" for a cut Left).
constexpr int SEQUENCE_WAIT_MS = 500;

enum class Wait { input, timeout, woken, ended };

int64_t now_ms() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void drain_wake_pipe() {
    if (wake_pipe[0] < 0) return;
    char buf[64];
    while (::read(wake_pipe[0], buf, sizeof buf) > 0) {
    }
}

// Waits up to timeout_ms (-1: no limit) for input and appends what is there.
Wait wait_input(int timeout_ms) {
    KRO_SANDBOX_DENY(Wait::ended);
    int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        if (held_signal) return Wait::ended;
        if (winch_pending || resumed_pending) return Wait::woken;
        pollfd fds[2] = {{in_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        int left = -1;
        if (deadline >= 0) {
            int64_t l = deadline - now_ms();
            left = l < 0 ? 0 : int(l);
        }
        int r = ::poll(fds, wake_pipe[0] >= 0 ? 2 : 1, left);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Wait::ended;
        }
        if (r == 0) return Wait::timeout;
        if (fds[1].revents & POLLIN) {
            drain_wake_pipe();
            if (held_signal) return Wait::ended;
            if (winch_pending || resumed_pending) return Wait::woken;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            char buf[256];
            ssize_t n = ::read(in_fd, buf, sizeof buf);
            if (n > 0) {
                typed.append(buf, size_t(n));
                return Wait::input;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return Wait::ended;
        }
    }
}

int32_t take_key(bool more) {
    size_t used = 0;
    int32_t k = decode_key(reinterpret_cast<const uint8_t*>(typed.data()), typed.size(), used, more);
    if (k != KEY_INCOMPLETE) typed.erase(0, used);
    return k;
}

}  // namespace

int32_t read_key() {
    for (;;) {
        if (resumed_pending) {
            resumed_pending = 0;
            return KEY_RESUMED;
        }
        if (winch_pending) {
            winch_pending = 0;
            refresh_size();
            continue;
        }
        if (!typed.empty()) {
            int32_t k = take_key(true);
            if (k != KEY_INCOMPLETE) return k;
            bool in_sequence = typed.size() >= 2 && typed[0] == '\x1b' && (typed[1] == '[' || typed[1] == 'O');
            Wait w = wait_input(in_sequence ? SEQUENCE_WAIT_MS : ESC_WAIT_MS);
            if (w == Wait::timeout || w == Wait::ended) return take_key(false);
            continue;
        }
        if (wait_input(-1) == Wait::ended) return KEY_FAILED;
    }
}

bool key_waiting() {
    if (!typed.empty()) return true;
    pollfd p{in_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void discard_typed_ahead() { typed.clear(); }

bool query_cursor(int& column, int& row, int timeout_ms) {
    write_output("\x1b[6n", 4);
    int64_t deadline = now_ms() + timeout_ms;
    size_t searched = 0;
    for (;;) {
        // The answer: Esc [ row ; column R, somewhere among typed keys.
        for (size_t i = searched; i < typed.size(); i++) {
            if (typed[i] != '\x1b' || i + 1 >= typed.size() || typed[i + 1] != '[') continue;
            size_t j = i + 2;
            long r = 0, c = 0;
            bool semi = false, digits = false;
            for (; j < typed.size(); j++) {
                char ch = typed[j];
                if (ch >= '0' && ch <= '9') {
                    long& v = semi ? c : r;
                    if (v < 100000) v = v * 10 + (ch - '0');
                    digits = true;
                } else if (ch == ';' && !semi) {
                    semi = true;
                } else {
                    break;
                }
            }
            if (j < typed.size() && typed[j] == 'R' && semi && digits && r > 0 && c > 0) {
                typed.erase(i, j + 1 - i);
                column = int(c - 1);
                row = int(r - 1);
                return true;
            }
        }
        // An escape near the end may be an answer still arriving.
        size_t esc = typed.rfind('\x1b');
        searched = esc == std::string::npos ? typed.size() : esc;
        int64_t left = deadline - now_ms();
        if (left <= 0) return false;
        Wait w = wait_input(int(left));
        if (w == Wait::timeout || w == Wait::ended) return false;
    }
}

void write_output(const char* bytes, size_t n) {
    KRO_SANDBOX_DENY();
    int fd = console::output_fd();
    while (n > 0) {
        ssize_t w = ::write(fd, bytes, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return;
        }
        if (w == 0) return;
        bytes += w;
        n -= size_t(w);
    }
}

// ---- redirected input ----------------------------------------------------------------

namespace {

uint8_t in_buf[4096];
size_t in_pos = 0, in_len = 0;

// Makes at least one byte available; false at the end of input or on an error.
bool fill() {
    KRO_SANDBOX_DENY(false);
    if (in_pos < in_len) return true;
    for (;;) {
        if (held_signal) return false;  // the console ends: see hold_termination
        ssize_t n = ::read(in_fd, in_buf, sizeof in_buf);
        if (n > 0) {
            in_pos = 0;
            in_len = size_t(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace

int32_t stdin_read_char() {
    if (!fill()) return -1;
    uint8_t lead = in_buf[in_pos++];
    int len = unicode::utf8_lead_length(lead);
    if (len == 0) return REPLACEMENT;
    int32_t cp = unicode::utf8_lead_bits(lead, len);
    for (int j = 1; j < len; j++) {
        if (!fill()) return REPLACEMENT;
        uint8_t b = in_buf[in_pos];
        if (!unicode::utf8_follows(lead, j, b, true)) return REPLACEMENT;  // that byte starts the next character
        in_pos++;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) return REPLACEMENT;
    return cp;
}

ReadLine stdin_readline(std::u32string& line) {
    bool any = false;
    for (;;) {
        int32_t c = stdin_read_char();
        if (c < 0) return any ? ReadLine::partial : ReadLine::end;
        any = true;
        if (c == '\n') return ReadLine::line;
        line.push_back(char32_t(c));
    }
}

long read_stdin(uint8_t* buffer, size_t n) {
    KRO_SANDBOX_DENY(0);  // the end of input
    if (n == 0) return 0;
    if (in_pos < in_len) {
        size_t k = in_len - in_pos < n ? in_len - in_pos : n;
        std::memcpy(buffer, in_buf + in_pos, k);
        in_pos += k;
        return long(k);
    }
    for (;;) {
        ssize_t r = ::read(in_fd, buffer, n);
        if (r >= 0) return long(r);
        if (errno != EINTR) return -1;
    }
}

void reset_stdin_reader() { in_pos = in_len = 0; }

}  // namespace kro::terminal
