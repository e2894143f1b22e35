// Test helpers for the console on a pseudo-terminal: a small model of a
// terminal screen (what a person would see) fed with the bytes written to the
// pty, and a session that types keys as a person would, answers cursor
// position queries, resizes the window and reads back screen and bytes.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <wchar.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console/terminal.hpp"
#include "foundation/platform/console_out.hpp"

namespace kro::test {
// Inline: names as kro::test::..., but linked apart from other test headers'
// helpers of the same names (the console's process harness has a PtySession).
inline namespace terminal_model {

// Widths as the C library's UTF-8 locale gives them: the terminal model does
// not share the editor's width tables.
inline int terminal_width(char32_t c) {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (!utf8) return 1;
    locale_t old = uselocale(utf8);
    int w = wcwidth(wchar_t(c));
    uselocale(old);
    return w < 0 ? 1 : w;
}

inline std::string utf8_of(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | (c >> 18));
        s += char(0x80 | ((c >> 12) & 0x3F));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
    return s;
}

inline std::string utf8_of(std::u32string_view s) {
    std::string out;
    for (char32_t c : s) out += utf8_of(c);
    return out;
}

// A screen of cells with a cursor, the auto-wrap of a VT-class terminal
// (pending wrap in the last column, a wide character that does not fit moves
// to the next row) and the sequences a line editor uses: CR, LF, BS, cursor
// up/down/forward/back, column, position, erase in display and line, and the
// cursor position report. Rows are kept in place on a resize (no reflow).
class ScreenModel {
public:
    ScreenModel(int cols, int rows) { resize(cols, rows); }

    void resize(int cols, int rows) {
        std::vector<std::vector<Cell>> g(size_t(rows), std::vector<Cell>(size_t(cols), Cell{}));
        for (int r = 0; r < rows && r < rows_; r++)
            for (int c = 0; c < cols && c < cols_; c++) g[size_t(r)][size_t(c)] = grid_[size_t(r)][size_t(c)];
        grid_ = std::move(g);
        cols_ = cols;
        rows_ = rows;
        if (row >= rows) row = rows - 1;
        if (col >= cols) col = cols - 1;
        pending_wrap = false;
    }

    // Feeds output bytes; answers to queries are appended to replies.
    void feed(std::string_view bytes) {
        for (char ch : bytes) byte(uint8_t(ch));
    }

    // The text of a row, continuation cells of wide characters left out and
    // trailing blanks trimmed.
    std::string row_text(int r) const {
        std::string s;
        for (const Cell& c : grid_[size_t(r)]) {
            if (c.width == 0) continue;
            s += c.text.empty() ? std::string(" ") : c.text;
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    }

    int cols() const { return cols_; }
    int rows() const { return rows_; }

    int row = 0, col = 0;
    bool pending_wrap = false;
    int scrolled = 0;
    std::string replies;

private:
    struct Cell {
        std::string text;  // empty: blank
        int width = 1;     // 0: right half of a wide character
    };

    void clear_cell(int r, int c) {
        Cell& cell = grid_[size_t(r)][size_t(c)];
        // Breaking a wide character blanks its other half.
        if (cell.width == 0 && c > 0) grid_[size_t(r)][size_t(c - 1)] = Cell{};
        if (cell.width == 2 && c + 1 < cols_) grid_[size_t(r)][size_t(c + 1)] = Cell{};
        cell = Cell{};
    }

    void line_feed() {
        if (row == rows_ - 1) {
            grid_.erase(grid_.begin());
            grid_.emplace_back(size_t(cols_));
            scrolled++;
        } else {
            row++;
        }
    }

    void put(char32_t c) {
        int w = terminal_width(c);
        if (w == 0) {
            int c0 = pending_wrap ? col : col - 1;
            if (c0 >= 0) {
                Cell* cell = &grid_[size_t(row)][size_t(c0)];
                if (cell->width == 0 && c0 > 0) cell = &grid_[size_t(row)][size_t(c0 - 1)];
                cell->text += utf8_of(c);
            }
            return;
        }
        if (pending_wrap) {
            col = 0;
            line_feed();
            pending_wrap = false;
        }
        if (w == 2 && col == cols_ - 1) {
            clear_cell(row, col);
            col = 0;
            line_feed();
        }
        clear_cell(row, col);
        if (w == 2) clear_cell(row, col + 1);
        grid_[size_t(row)][size_t(col)] = Cell{utf8_of(c), w};
        if (w == 2) grid_[size_t(row)][size_t(col + 1)] = Cell{"", 0};
        col += w;
        if (col >= cols_) {
            col = cols_ - 1;
            pending_wrap = true;
        }
    }

    void erase_display(int mode) {
        if (mode == 0) {
            for (int c = col; c < cols_; c++) clear_cell(row, c);
            for (int r = row + 1; r < rows_; r++)
                for (int c = 0; c < cols_; c++) clear_cell(r, c);
        } else if (mode == 2) {
            for (int r = 0; r < rows_; r++)
                for (int c = 0; c < cols_; c++) clear_cell(r, c);
        }
    }

    void csi(char final) {
        int n = params_.empty() || params_[0] == 0 ? 1 : params_[0];
        int p0 = params_.empty() ? 0 : params_[0];
        switch (final) {
            case 'A': row = std::max(0, row - n); break;
            case 'B': row = std::min(rows_ - 1, row + n); break;
            case 'C': col = std::min(cols_ - 1, col + n); break;
            case 'D': col = std::max(0, col - n); break;
            case 'G': col = std::min(cols_ - 1, n - 1); break;
            case 'H': {
                int r = params_.size() > 0 && params_[0] > 0 ? params_[0] : 1;
                int c = params_.size() > 1 && params_[1] > 0 ? params_[1] : 1;
                row = std::min(rows_ - 1, r - 1);
                col = std::min(cols_ - 1, c - 1);
                break;
            }
            case 'J': erase_display(p0); break;
            case 'K':
                for (int c = col; c < cols_; c++) clear_cell(row, c);
                break;
            case 'n':
                if (p0 == 6) replies += "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(col + 1) + "R";
                return;
            default: return;  // colours and modes: no effect on the cells
        }
        pending_wrap = false;
    }

    void byte(uint8_t b) {
        switch (state_) {
            case State::escape:
                if (b == '[') {
                    state_ = State::csi;
                    params_.clear();
                    params_.push_back(0);
                } else if (b == ']') {
                    state_ = State::osc;
                } else if (b == '(' || b == ')') {
                    state_ = State::charset;
                } else {
                    state_ = State::ground;
                }
                return;
            case State::charset: state_ = State::ground; return;
            case State::osc:
                if (b == 7 || b == 0x9C) state_ = State::ground;
                if (b == 0x1B) state_ = State::ground;  // ST: Esc backslash
                return;
            case State::csi:
                if (b >= '0' && b <= '9') {
                    params_.back() = params_.back() * 10 + (b - '0');
                } else if (b == ';') {
                    params_.push_back(0);
                } else if (b >= 0x40 && b <= 0x7E) {
                    state_ = State::ground;
                    csi(char(b));
                }
                return;
            case State::ground: break;
        }
        if (utf8_left_ > 0) {
            cp_ = (cp_ << 6) | (b & 0x3F);
            if (--utf8_left_ == 0) put(cp_);
            return;
        }
        if (b >= 0xF0) {
            cp_ = b & 0x07;
            utf8_left_ = 3;
        } else if (b >= 0xE0) {
            cp_ = b & 0x0F;
            utf8_left_ = 2;
        } else if (b >= 0xC0) {
            cp_ = b & 0x1F;
            utf8_left_ = 1;
        } else if (b == 0x1B) {
            state_ = State::escape;
        } else if (b == '\r') {
            col = 0;
            pending_wrap = false;
        } else if (b == '\n') {
            line_feed();
            pending_wrap = false;
        } else if (b == 8) {
            if (col > 0) col--;
            pending_wrap = false;
        } else if (b == 7) {
        } else if (b >= 0x20) {
            put(b);
        }
    }

    enum class State { ground, escape, csi, osc, charset };
    State state_ = State::ground;
    std::vector<int> params_;
    char32_t cp_ = 0;
    int utf8_left_ = 0;
    int cols_ = 0, rows_ = 0;
    std::vector<std::vector<Cell>> grid_;
};

// A pseudo-terminal whose slave side the console uses, watched by a person
// at the master side.
//
// Nothing here waits a fixed time. Two facts make the waits exact:
// - bytes written to one side of a pty reach the other side's read queue
//   through a kernel work item, so a byte count read at once may miss bytes
//   still on their way; polling a side first pushes them into its queue;
// - output is followed by a sync marker written to the slave: when the
//   reader meets it, everything written before it is on the screen.
class PtySession {
public:
    // Every wait gives up after this long (and the test fails).
    static constexpr std::chrono::seconds PATIENCE{30};

    PtySession(int cols, int rows) : screen_(cols, rows) {
        winsize ws{};
        ws.ws_col = uint16_t(cols);
        ws.ws_row = uint16_t(rows);
        if (::openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) master_ = slave_ = -1;
        ::tcgetattr(slave_, &initial_modes_);
        reader_ = std::thread([this] { read_loop(); });
    }

    ~PtySession() {
        detach();
        stop_reader();
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }

    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    bool ok() const { return master_ >= 0; }
    int slave() const { return slave_; }
    const termios& initial_modes() const { return initial_modes_; }
    termios modes() const {
        termios t{};
        ::tcgetattr(slave_, &t);
        return t;
    }

    // Console input and output (the editor's) go through the slave.
    void attach() {
        terminal::set_input_fd(slave_);
        terminal::discard_typed_ahead();
        console::set_output_fd(slave_);
        attached_ = true;
    }
    void detach() {
        if (!attached_) return;
        terminal::set_input_fd(0);
        terminal::discard_typed_ahead();
        console::set_output_fd(1);
        attached_ = false;
    }

    void answer_cursor_queries(bool on) { answer_queries_ = on; }

    // Output written by the program (before a prompt, say).
    void program_writes(std::string_view bytes) {
        write_all(slave_, bytes);
        settle();
    }

    // Keys as a person types them; waits until the program has taken them and
    // has stopped writing.
    void type(std::string_view keys) {
        long before = program_sleeps();
        write_all(master_, keys);
        settle(before);
    }
    void type(std::u32string_view text) { type(utf8_of(text)); }
    // Keys written at once, without waiting for the program.
    void type_now(std::string_view keys) { write_all(master_, keys); }

    // The thread that reads the keys, when the test knows it (0: none): settling
    // then also waits for that thread to take every key and wait for input again.
    void set_program_thread(pid_t tid) { program_tid_ = tid; }

    // Typed bytes (and wake-ups from signal handlers) the program has not
    // taken yet, those still on their way included.
    int unread_input() const {
        int wake = 0, fd = terminal::wake_fd();
        if (fd >= 0) ::ioctl(fd, FIONREAD, &wake);
        return queued(slave_) + wake;
    }

    // Whether the program's thread has taken every typed byte and sleeps
    // waiting for more.
    bool program_waits() const { return unread_input() == 0 && program_waits_for_input() == 1; }

    // Waits until at least n typed bytes wait in the program's input queue.
    bool wait_typed_ahead(int n) {
        return wait_until([&] { return unread_input() >= n; });
    }

    // Waits until the program has taken every key, written what it had to
    // write and waits for input again, and the screen shows it all. With the
    // count of the program thread's sleeps from before keys were typed (or a
    // signal sent), the thread must also have slept again since: it woke for
    // them. Without a known program thread, only the output is waited for.
    void settle(long sleeps_before = -1) {
        auto deadline = std::chrono::steady_clock::now() + PATIENCE;
        for (;;) {
            uint64_t replies = replies_sent_;
            if (program_tid_ > 0 && !wait_program_idle(sleeps_before, deadline)) break;
            if (!sync_output(deadline)) break;
            // An answer to a cursor query went out meanwhile: the program has
            // more to read and perhaps to draw.
            if (replies_sent_ == replies) return;
        }
        ADD_FAILURE() << "the terminal did not settle within " << PATIENCE.count() << " s";
    }

    // Waits until pred holds on the screen.
    bool wait_for(const std::function<bool(const ScreenModel&)>& pred) {
        return wait_until([&] {
            std::lock_guard<std::mutex> g(mutex_);
            return pred(screen_);
        });
    }

    std::string row(int r) {
        std::lock_guard<std::mutex> g(mutex_);
        return screen_.row_text(r);
    }
    std::pair<int, int> cursor() {
        std::lock_guard<std::mutex> g(mutex_);
        return {screen_.row, screen_.col};
    }
    int scrolled() {
        std::lock_guard<std::mutex> g(mutex_);
        return screen_.scrolled;
    }
    // Bytes written since the last call.
    std::string take_output() {
        std::lock_guard<std::mutex> g(mutex_);
        std::string s;
        s.swap(output_);
        return s;
    }

    // The window changes size: the terminal model keeps its rows in place, the
    // pty reports the new size and the program is told with SIGWINCH (the pty is
    // not this process's controlling terminal, so it is sent by hand).
    void resize(int cols, int rows) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            screen_.resize(cols, rows);
        }
        winsize ws{};
        ws.ws_col = uint16_t(cols);
        ws.ws_row = uint16_t(rows);
        long before = program_sleeps();
        ::ioctl(master_, TIOCSWINSZ, &ws);
        ::kill(::getpid(), SIGWINCH);
        settle(before);
    }

    // The person's side goes away: reads of the slave fail.
    void hang_up() {
        stop_reader();
        ::close(master_);
        master_ = -1;
    }

private:
    static void write_all(int fd, std::string_view bytes) {
        while (fd >= 0 && !bytes.empty()) {
            ssize_t w = ::write(fd, bytes.data(), bytes.size());
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            bytes.remove_prefix(size_t(w));
        }
    }

    // Checks pred until it holds, a millisecond apart, for PATIENCE at most.
    static bool wait_until(const std::function<bool()>& pred) {
        auto deadline = std::chrono::steady_clock::now() + PATIENCE;
        for (;;) {
            if (pred()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Bytes of a pty side's read queue, those still on their way included.
    static int queued(int fd) {
        if (fd < 0) return 0;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 0);  // delivers the bytes in transit to the queue
        int n = 0;
        ::ioctl(fd, FIONREAD, &n);
        return n;
    }

    // The program's thread has taken everything and waits for input, twice in
    // a row; after keys or a signal, it has also slept again since.
    bool wait_program_idle(long sleeps_before, std::chrono::steady_clock::time_point deadline) {
        int idle = 0;
        for (;;) {
            bool now_idle = program_waits();
            if (now_idle && sleeps_before >= 0) {
                long s = program_sleeps();
                if (s >= 0 && s <= sleeps_before) now_idle = false;
            }
            idle = now_idle ? idle + 1 : 0;
            if (idle >= 2) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Writes a marker behind all output so far and waits until the reader met it.
    bool sync_output(std::chrono::steady_clock::time_point deadline) {
        if (master_ < 0 || slave_ < 0 || stop_) return true;
        uint64_t n = ++syncs_sent_;
        write_all(slave_, SYNC_PREFIX + std::to_string(n) + "\x07");
        std::unique_lock<std::mutex> g(mutex_);
        return synced_cv_.wait_until(g, deadline, [&] { return synced_ >= n; });
    }

    // 1 when the program's thread sleeps in poll, 0 when not, -1 when unknown.
    int program_waits_for_input() const {
        if (program_tid_ <= 0) return -1;
        std::string path = "/proc/self/task/" + std::to_string(program_tid_) + "/wchan";
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return errno == ENOENT ? 1 : -1;  // the thread has ended
        char buf[128];
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0) return -1;
        std::string_view w(buf, size_t(n));
        if (w == "0") return 0;  // running, or about to run
        return w.find("poll") != std::string_view::npos || w.find("select") != std::string_view::npos ? 1 : 0;
    }

    // How often the program's thread went to sleep so far (-1: unknown).
    long program_sleeps() const {
        if (program_tid_ <= 0) return -1;
        std::string path = "/proc/self/task/" + std::to_string(program_tid_) + "/status";
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return -1;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0) return -1;
        buf[n] = 0;
        std::string_view st(buf, size_t(n));
        const std::string_view key = "voluntary_ctxt_switches:";
        size_t at = st.find(key);
        if (at == std::string_view::npos) return -1;
        return std::strtol(buf + at + key.size(), nullptr, 10);
    }

    void stop_reader() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
    }

    // Splits what came into screen bytes and sync markers; a tail that may be
    // the start of a marker waits in held_ for the next read.
    std::string take_markers(uint64_t* synced) {
        std::string shown;
        size_t i = 0;
        for (;;) {
            size_t m = held_.find(SYNC_PREFIX, i);
            if (m == std::string::npos) {
                size_t keep = 0;
                for (size_t k = std::min(SYNC_PREFIX.size() - 1, held_.size() - i); k > 0; k--) {
                    if (SYNC_PREFIX.compare(0, k, held_, held_.size() - k, k) == 0) {
                        keep = k;
                        break;
                    }
                }
                shown.append(held_, i, held_.size() - i - keep);
                held_.erase(0, held_.size() - keep);
                return shown;
            }
            size_t end = held_.find('\x07', m + SYNC_PREFIX.size());
            shown.append(held_, i, m - i);
            if (end == std::string::npos) {
                held_.erase(0, m);
                return shown;
            }
            *synced = std::strtoull(held_.c_str() + m + SYNC_PREFIX.size(), nullptr, 10);
            i = end + 1;
        }
    }

    void read_loop() {
        char buf[4096];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno != EINTR && errno != EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            held_.append(buf, size_t(n));
            uint64_t synced = 0;
            std::string shown = take_markers(&synced);
            std::string replies;
            {
                std::lock_guard<std::mutex> g(mutex_);
                output_ += shown;
                screen_.feed(shown);
                replies.swap(screen_.replies);
            }
            if (answer_queries_ && !replies.empty()) {
                write_all(master_, replies);
                replies_sent_++;
            }
            // after the answers: a settle that sees its marker also sees them
            if (synced) {
                std::lock_guard<std::mutex> g(mutex_);
                synced_ = std::max(synced_, synced);
                synced_cv_.notify_all();
            }
        }
    }

    // An operating-system command no terminal acts on, never written by the program.
    inline static const std::string SYNC_PREFIX = "\x1b]kro-pty-sync;";

    int master_ = -1, slave_ = -1;
    termios initial_modes_{};
    bool attached_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> answer_queries_{true};
    std::atomic<pid_t> program_tid_{0};
    std::atomic<uint64_t> replies_sent_{0};
    uint64_t syncs_sent_ = 0;
    uint64_t synced_ = 0;  // under mutex_
    std::condition_variable synced_cv_;
    std::string held_;     // reader thread only
    std::mutex mutex_;
    ScreenModel screen_;
    std::string output_;
    std::thread reader_;
};

// True when two sets of terminal modes are the same.
inline bool same_modes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

}  // namespace terminal_model
}  // namespace kro::test
