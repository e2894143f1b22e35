// The back-end's control of the terminal: the sequence written for each mode
// change, terminal mode taken and given back once, keys, cursor answers and
// size changes read from a live pty, and the screen modes put back on every
// way out of the process and around a stop.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "console/terminal.hpp"
#include "foundation/frame.hpp"
#include "gui/cell_grid.hpp"
#include "gui/terminal_control.hpp"
#include "gui/terminal_input.hpp"
#include "output_capture.hpp"
#include "pty_terminal.hpp"
#include "pty_ways_out.hpp"

using namespace kro;
using namespace kro::tui;

namespace {

const std::string E = "\x1b[";
const std::string MOUSE_ON = E + "?1000h" + E + "?1003h" + E + "?1015h" + E + "?1006h";
const std::string MOUSE_OFF = E + "?1000l" + E + "?1003l" + E + "?1015l" + E + "?1006l";
// What is written to put the screen back after the modes below were on.
const std::string DROPPED = E + "0m" + MOUSE_OFF + E + "?1049l" + E + "?25h";
const std::string REAPPLIED = E + "?1049h" + E + "2J" + MOUSE_ON + E + "?25l";

TEST(GuiTerminalControl, EachModeChangeWritesItsSequenceOnce) {
    test::CapturedOutput out;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    terminal::set_input_fd(fds[0]);  // input redirected
    reset_control_state();
    struct Step {
        const char* what;
        std::function<void()> act;
        std::string written;
    };
    const Step steps[] = {
        {"set a mode", [] { set_mode(1049); }, E + "?1049h"},
        {"reset a mode", [] { reset_mode(25); }, E + "?25l"},
        {"cursor down", [] { cursor_down(3); }, E + "3B"},
        {"cursor down by nothing", [] { cursor_down(0); }, ""},
        {"alternate screen", [] { enter_alt_screen(); }, E + "?1049h" + E + "2J"},
        {"alternate screen again", [] { enter_alt_screen(); }, ""},
        {"clear it", [] { clear_screen(); }, E + "2J"},
        {"leave it", [] { leave_alt_screen(); }, E + "?1049l"},
        {"leave it again", [] { leave_alt_screen(); }, ""},
        {"no clearing outside it", [] { clear_screen(); }, ""},
        {"mouse on", [] { mouse_on(); }, MOUSE_ON},
        {"mouse off", [] { mouse_off(); }, MOUSE_OFF},
        {"hide the cursor", [] { hide_cursor(); }, E + "?25l"},
        {"hide it again", [] { hide_cursor(); }, ""},
        {"show it", [] { show_cursor(); }, E + "?25h"},
        {"show it again", [] { show_cursor(); }, ""},
        // Nobody would read the answer: the terminal would hand it to the shell.
        {"cursor request with input redirected", [] { request_cursor(); }, ""},
        {"terminal mode with input redirected", [] { EXPECT_FALSE(enter_terminal()); }, ""},
        {"leaving a mode never entered", [] { leave_terminal(); }, ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.act();
        EXPECT_EQ(out.take(), s.written);
    }
    EXPECT_FALSE(alt_screen_active());
    EXPECT_FALSE(mouse_reporting());
    EXPECT_FALSE(cursor_hidden());
    EXPECT_FALSE(terminal_mode());
    EXPECT_EQ(cursor_requests_outstanding(), 0);
    EXPECT_EQ(read_size(), -1);  // neither side is a terminal
    EXPECT_EQ(columns(), 80);
    EXPECT_EQ(rows(), 24);
    terminal::set_input_fd(0);
    ::close(fds[0]);
    ::close(fds[1]);
}

// Whatever ends the program, what it says next goes on the line below an
// inline frame, not into it.
TEST(GuiTerminalControl, PuttingTheScreenBackLeavesTheCursorBelowAnInlineFrame) {
    test::CapturedOutput out;
    struct Case {
        const char* what;
        int rows_below;
        bool alternate;
        std::string written;
    } cases[] = {
        {"cursor two rows above the frame's end", 2, false, E + "0m" + E + "?25h\r" + E + "2B\r\n"},
        {"cursor on the frame's last row", 0, false, E + "0m" + E + "?25h\r\r\n"},
        {"no frame shown", -1, false, E + "0m" + E + "?25h"},
        {"frame on the alternate screen", 2, true, E + "0m" + E + "?1049l" + E + "?25h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_control_state();
        hide_cursor();
        if (c.alternate) enter_alt_screen();
        set_frame_rows_below_cursor(c.rows_below);
        out.take();
        drop_screen_modes();
        EXPECT_EQ(out.take(), c.written);
        drop_screen_modes();
        EXPECT_EQ(out.take(), "") << "once";
    }
    reset_control_state();
}

class Recorder : public InputSink {
public:
    void key(const KeyAction& k) override {
        got.push_back("key " + std::to_string(k.code) + (k.special ? " special" : ""));
    }
    void mouse(const MouseAction& m) override { got.push_back("mouse " + std::to_string(int(m.kind))); }
    void cursor_report(int row, int column) override {
        got.push_back("cursor " + std::to_string(row) + "," + std::to_string(column));
    }
    std::vector<std::string> got;
};

// Reads and decodes until n actions came (or the pty's patience ran out).
std::vector<std::string> read_actions(size_t n) {
    Recorder r;
    auto deadline = std::chrono::steady_clock::now() + test::PtySession::PATIENCE;
    while (r.got.size() < n && std::chrono::steady_clock::now() < deadline) {
        wait_for_input(10);
        read_console_input(true);
        input().decode(r);
    }
    return r.got;
}

// What the program wrote, once n bytes came (or the pty's patience ran out).
// The terminal answers at once, so the pty is not quiet until the answer is read.
std::string output_of_length(test::PtySession& pty, size_t n) {
    std::string s;
    auto deadline = std::chrono::steady_clock::now() + test::PtySession::PATIENCE;
    for (;;) {
        s += pty.take_output();
        if (s.size() >= n || std::chrono::steady_clock::now() > deadline) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int resizes = 0, resized_columns = 0, resized_rows = 0;
void on_resize(int c, int r) {
    resizes++;
    resized_columns = c;
    resized_rows = r;
}

TEST(GuiTerminalControl, TerminalModeOnAPty) {
    test::PtySession pty(80, 24);
    ASSERT_TRUE(pty.ok());
    pty.attach();
    reset_control_state();
    clear_input();
    termios before = pty.modes();

    ASSERT_TRUE(enter_terminal());
    termios raw = pty.modes();
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(output_of_length(pty, 4), E + "6n");
    EXPECT_TRUE(enter_terminal());  // again: the modes are left as they are, the cursor asked again
    EXPECT_TRUE(test::same_modes(pty.modes(), raw));
    EXPECT_EQ(cursor_requests_outstanding(), 2);

    // The answers arrive as input and tell where the frame starts.
    tui::frame().first_row = 7;
    EXPECT_EQ(read_actions(2), (std::vector<std::string>{"cursor 0,0", "cursor 0,0"}));
    EXPECT_EQ(cursor_requests_outstanding(), 0);
    EXPECT_EQ(tui::frame().first_row, 0);

    pty.type_now("a\x1b[A\xC3\xA9");
    EXPECT_EQ(read_actions(3), (std::vector<std::string>{"key 97", "key -20 special", "key 233"}));

    // A size change is read on the next pass and handed on.
    set_resize_handler(&on_resize);
    resizes = 0;
    pty.resize(100, 30);
    bool seen = false;
    auto deadline = std::chrono::steady_clock::now() + test::PtySession::PATIENCE;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        wait_for_input(10);
        seen = read_console_input(true) > 0 && resizes > 0;
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(resized_columns, 100);
    EXPECT_EQ(resized_rows, 30);
    EXPECT_EQ(columns(), 100);
    EXPECT_EQ(rows(), 30);

    // Nothing pending: the wait lasts its time.
    wait_for_input(0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_for_input(40));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(35));

    leave_terminal();
    EXPECT_FALSE(terminal_mode());
    EXPECT_TRUE(test::same_modes(pty.modes(), before));
    leave_terminal();
    EXPECT_TRUE(test::same_modes(pty.modes(), before));

    // With fullscreen wanted the frame's row is not asked for.
    set_fullscreen_wanted(true);
    pty.take_output();
    ASSERT_TRUE(enter_terminal());
    pty.settle();
    EXPECT_EQ(pty.take_output(), "");
    leave_terminal();
    reset_control_state();
    clear_input();
    pty.detach();
}

// ---- ways out ---------------------------------------------------------------------------------

// In a child: the GUI's modes on the pty; answers the byte that tells the parent.
char take_the_screen(int slave) {
    int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, 1);
    terminal::set_input_fd(slave);
    console::set_output_fd(slave);
    reset_control_state();
    if (!enter_terminal()) ::_exit(80);
    enter_alt_screen();
    mouse_on();
    hide_cursor();
    return 'y';
}

TEST(GuiTerminalControl, TheScreenIsPutBackOnEveryWayOut) {
    test::leave_every_way({
        &take_the_screen,
        [](test::PtyPair& p, char) {
            std::string on = p.output();
            EXPECT_NE(on.find(E + "?1049h" + E + "2J" + MOUSE_ON + E + "?25l"), std::string::npos);
            EXPECT_EQ(p.modes().c_lflag & ICANON, 0u);
        },
        [](test::PtyPair& p) {
            std::string off = p.output();
            EXPECT_EQ(off.find(DROPPED), off.rfind(DROPPED)) << "written once";
            EXPECT_NE(off.find(DROPPED), std::string::npos) << off;
            EXPECT_TRUE(test::same_modes(p.modes(), p.cooked));
        },
    });
}

TEST(GuiTerminalControl, AStopPutsTheScreenBackAndContinuingTakesItAgain) {
    test::StoppableChild child;
    test::PtyPair& p = child.pty;
    ASSERT_TRUE(child.start(&take_the_screen, [](int ready) {
        for (;;) {
            wait_for_input(100);
            read_console_input(true);
            if (take_screen_reset() && ::write(ready, "r", 1) != 1) ::_exit(91);
        }
    }));
    char b = 0;
    ASSERT_TRUE(child.next(b));
    p.output();
    int status = 0;
    ASSERT_TRUE(child.signal(SIGTSTP, WUNTRACED, status));
    EXPECT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(p.output(), DROPPED);
    EXPECT_TRUE(test::same_modes(p.modes(), p.cooked));

    child.resume();
    ASSERT_TRUE(child.next(b));
    EXPECT_EQ(b, 'r');
    EXPECT_EQ(p.output(), REAPPLIED);
    EXPECT_EQ(p.modes().c_lflag & ICANON, 0u);

    ASSERT_TRUE(child.signal(SIGTERM, 0, status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(p.output(), DROPPED);
    EXPECT_TRUE(test::same_modes(p.modes(), p.cooked));
}

}  // namespace
