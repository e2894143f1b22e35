// The back-end's event loop: timers in order on a clock the test drives, one
// wait per idle pass (counted, never timed), keys and mouse reports decoded
// into events for widgets and for the language's awake function, clicks,
// double clicks, capture, focus, errors that end a loop, and the real wait
// on a pseudo-terminal ended by typed input.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "console/terminal.hpp"
#include "foundation/fire.hpp"
#include "foundation/platform/console_out.hpp"
#include "gui/cell_grid.hpp"
#include "gui/event_loop.hpp"
#include "gui/terminal_control.hpp"
#include "gui/terminal_input.hpp"
#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "interp_fixtures.hpp"
#include "pty_terminal.hpp"

using namespace kro;
using namespace kro::tui;
using kro::testing_interp::global;
using kro::testing_interp::run;

namespace {

// Time moves only when the loop waits, by exactly what it asked for. Before
// each wait returns, the script's step for that wait runs (bytes for the
// decoder, a change of state).
class ScriptClock : public LoopClock {
public:
    int64_t now = 1000;
    std::vector<int> timeouts;
    std::function<void(int wait_index)> step;
    int64_t now_ms() override { return now; }
    bool wait(int timeout_ms) override {
        EXPECT_GT(timeout_ms, 0) << "an idle pass must sleep";
        timeouts.push_back(timeout_ms);
        now += timeout_ms;
        if (step) step(int(timeouts.size()));
        return false;
    }
};

void feed(const std::string& bytes) { input().append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); }

class GuiEventLoop : public ::testing::Test {
protected:
    void SetUp() override {
        testing_interp::setup();
        ASSERT_EQ(::pipe(in_), 0);
        terminal::set_input_fd(in_[0]);  // redirected: nothing read from a terminal
        null_ = ::open("/dev/null", O_WRONLY);
        console::set_output_fd(null_);
        reset_control_state();
        reset_loop_state();
        clear_input();
        reset_frame(tui::frame(), tui::grid());
        set_clock(&clock_);
    }
    void TearDown() override {
        reset_loop_state();
        clear_input();
        terminal::set_input_fd(0);
        console::set_output_fd(1);
        ::close(in_[0]);
        ::close(in_[1]);
        ::close(null_);
    }

    // A window 20x10 at the root.
    Widget* window() {
        Widget* w = make_widget(nullptr);
        w->right = 20;
        w->bottom = 10;
        add_window(w);
        return w;
    }
    static Widget* child(Widget* parent, float l, float t, float r, float b) {
        Widget* w = make_widget(parent);
        w->left = l, w->top = t, w->right = r, w->bottom = b;
        return w;
    }
    // A face for the widget: an object whose name the awake log shows.
    static void face(Widget* w, const char* name) {
        run(std::string("face-") + name + ": make object! [name: \"" + name + "\"]");
        w->face = global((std::string("face-") + name).c_str());
    }
    // The awake function: logs each event it sees, answers done for the
    // key-down of x and keeps the last event in `kept`.
    static void log_awake() {
        run("awake-log: copy [] "
            "test-awake: func [e /local entry] [kept: e "
            "  entry: reduce [e/face/name e/type] "
            "  if e/away? [append entry 'away] "
            "  either find [key key-down] e/type [append entry mold e/key append entry mold e/flags] "
            "    [append entry e/offset] "
            "  append awake-log form entry "
            "  either all [e/type = 'key-down e/key = #\"x\"] ['done] [none]]");
        set_awake(global("test-awake"));
    }
    // The log's entries joined by "|".
    static std::string awake_log() {
        Cell blk = global("awake-log");
        std::string s;
        for (int32_t i = 0; i < block::length(&blk); i++) {
            if (i) s += '|';
            s += string::to_utf8(block::at(&blk, i));
        }
        return s;
    }

    ScriptClock clock_;
    int in_[2] = {-1, -1};
    int null_ = -1;
};

TEST_F(GuiEventLoop, TimersFireInListOrderAndEveryIdlePassWaitsOnce) {
    Widget* w = window();
    std::vector<std::string> fired;
    auto timer_widget = [&](const char* name, int32_t interval, bool one_shot) {
        Widget* t = child(w, 0, 0, 0, 0);
        t->on_event = [&, name](Widget&, int32_t type, const event::Record&) {
            if (type == event::TIME) fired.push_back(std::to_string(loop_stats().passes) + name);
            if (type == event::TIME && std::string(name) == "Q") post_quit_msg();
        };
        add_timer(t, interval, one_shot);
    };
    timer_widget("A", 100, false);
    timer_widget("B", 250, false);
    timer_widget("C", 1000 / 3, false);  // rate 3: after 11 passes of 33 ms
    timer_widget("Q", 1000, true);
    do_events(false);
    const std::vector<std::string> expected = {"4A",  "8A",  "8B",  "11C", "12A", "16A", "16B",
                                               "20A", "22C", "24A", "24B", "28A", "31Q"};
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(loop_stats().passes, 31);
    EXPECT_EQ(loop_stats().waits, 31);
    EXPECT_EQ(clock_.timeouts, std::vector<int>(31, FRAME_MS));
    EXPECT_EQ(loop_level(), 0);
    EXPECT_EQ(window_count(), 0) << "the outermost loop frees every window";
}

TEST_F(GuiEventLoop, OneShotAndRemovedTimersStayQuiet) {
    Widget* w = window();
    int once = 0, removed = 0, self_removing = 0;
    Widget* a = child(w, 0, 0, 1, 1);
    Widget* b = child(w, 0, 0, 1, 1);
    Widget* c = child(w, 0, 0, 1, 1);
    a->on_event = [&](Widget&, int32_t type, const event::Record&) { once += type == event::TIME; };
    b->on_event = [&](Widget&, int32_t type, const event::Record&) { removed += type == event::TIME; };
    c->on_event = [&](Widget& self, int32_t type, const event::Record&) {
        if (type != event::TIME) return;
        if (++self_removing == 2) remove_timer(&self);
    };
    add_timer(a, 33, true);
    add_timer(b, 33, false);
    add_timer(b, 66, false);
    add_timer(c, 33, false);
    remove_timer(b);  // the last of b's: the 66 ms one
    clock_.step = [&](int i) {
        if (i == 3) remove_timer(b);
        if (i == 6) post_quit_msg();
    };
    do_events(false);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(removed, 2) << "passes 1 and 2 only";
    EXPECT_EQ(self_removing, 2);
}

TEST_F(GuiEventLoop, KeysReachAwakeThenTheWidgetUnlessDone) {
    Widget* w = window();
    face(w, "win");
    log_awake();
    std::vector<int32_t> built_in;
    w->on_event = [&](Widget&, int32_t type, const event::Record& r) {
        if (type == event::KEY) built_in.push_back(r.value);
    };
    clock_.step = [&](int i) {
        if (i == 1) feed("ax\x1b[A\x1b[Z\x08");
        if (i == 2) post_quit_msg();
    };
    do_events(false);
    EXPECT_EQ(awake_log(),
              "win key-down #\"a\" []|win key #\"a\" []|win key-down #\"x\" []|"
              "win key-down up []|win key up []|win key-down #\"^-\" [shift]|win key #\"^-\" [shift]|"
              "win key-down #\"^~\" []|win key #\"^~\" []");
    EXPECT_EQ(built_in, (std::vector<int32_t>{'a', -20, 9, 127})) << "x was done at key-down";
    // The event kept past its dispatch reads none for what its record held.
    EXPECT_EQ(run("reduce [kept/type kept/key kept/face kept/offset]"), "[key none none none]");
}

TEST_F(GuiEventLoop, ClicksDoubleClicksFocusAndCapture) {
    Widget* w = window();
    Widget* a = child(w, 1, 1, 6, 2);
    Widget* b = child(w, 8, 1, 13, 2);
    a->flags |= W_FOCUSABLE;
    face(w, "win");
    face(a, "a");
    face(b, "b");
    log_awake();
    std::vector<std::string> steps;
    auto mark = [&](int i, const std::string& bytes) {
        steps.push_back(awake_log());
        run("clear awake-log");
        feed(bytes);
    };
    const std::string click = "\x1b[<0;3;2M\x1b[<0;3;2m";  // press and release at 2x1: on a
    clock_.step = [&](int i) {
        switch (i) {
            case 1: case 2: case 3: mark(i, click); break;
            // Later than a double click allows: hover a, press, drag to b, release there.
            case 30: mark(i, "\x1b[<35;3;2M\x1b[<0;3;2M\x1b[<32;10;2M\x1b[<0;10;2m"); break;
            case 31: mark(i, ""); post_quit_msg(); break;
            default: break;
        }
    };
    do_events(false);
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[1], "a down 1x0|a up 1x0|a click 1x0|win unfocus 0x0|a focus 0x0")
        << "the root only hears the press through awake's own bubbling";
    EXPECT_EQ(steps[2], "a down 1x0|a up 1x0|a click 1x0|a dbl-click 1x0");
    EXPECT_EQ(steps[3], "a down 1x0|a up 1x0|a click 1x0") << "a third release is a click only";
    EXPECT_EQ(steps[4],
              "win over 2x1|a over 1x0|a down 1x0|a over away 1x0|b over 1x0|b up 1x0|"
              "win click 9x1|a up 8x0")
        << "the release elsewhere still reaches the pressed widget";
    EXPECT_EQ(focus_widget(), nullptr) << "reset after the outermost loop";
}

TEST_F(GuiEventLoop, ShowingTheActiveWindowAgainKeepsAPressGoing) {
    // A handler that changes the window (or a dragged face's move) shows it
    // again between press and release: the click still comes.
    Widget* w = window();
    Widget* a = child(w, 1, 1, 6, 2);
    face(w, "win");
    face(a, "a");
    log_awake();
    activate_window(w);
    std::string log;
    clock_.step = [&](int i) {
        switch (i) {
            case 1: feed("\x1b[<35;3;2M\x1b[<0;3;2M"); break;
            case 2: activate_window(w); feed("\x1b[<0;3;2m"); break;
            case 3: log = awake_log(); post_quit_msg(); break;
            default: break;
        }
    };
    do_events(false);
    EXPECT_EQ(log, "win over 2x1|a over 1x0|a down 1x0|a up 1x0|a click 1x0");
}

TEST_F(GuiEventLoop, WheelGoesToTheDeepestWidgetWithAFace) {
    Widget* w = window();
    Widget* panel = child(w, 0, 0, 10, 5);
    Widget* inner = child(panel, 1, 1, 4, 3);  // no face: the panel takes the wheel
    face(w, "win");
    face(panel, "panel");
    (void)inner;
    run("wheel-log: copy [] test-awake: func [e] [append wheel-log reduce [e/face/name e/type e/picked e/offset]]");
    set_awake(global("test-awake"));
    clock_.step = [&](int i) {
        if (i == 1) feed("\x1b[<64;3;3M\x1b[<65;12;8M");
        if (i == 2) post_quit_msg();
    };
    do_events(false);
    EXPECT_EQ(run("wheel-log"), "[\"panel\" wheel 1.0 2x2 \"win\" wheel -1.0 11x7]");
}

TEST_F(GuiEventLoop, AnErrorEscapingAPassEndsOnlyTheInnermostLoop) {
    Widget* w = window();
    bool in_inner = false, fed = false, inner_ran = false;
    int after = -1;  // outer passes since the inner loop ended
    w->on_event = [&](Widget&, int32_t type, const event::Record& r) {
        if (type != event::KEY) return;
        if (r.value == 'n') {
            // A nested loop whose handler raises: it ends, the outer goes on.
            in_inner = true;
            EXPECT_EQ(loop_level(), 1);
            do_events(false);
            EXPECT_EQ(loop_level(), 1);
            in_inner = false;
            inner_ran = true;
            after = 0;
        } else if (r.value == 'e') {
            fire("script", "invalid-arg", &none::value);
        }
    };
    clock_.step = [&](int i) {
        if (i == 1) feed("n");
        if (in_inner && !fed) {
            fed = true;
            feed("e");
        }
        if (after >= 0 && ++after == 3) post_quit_msg();
    };
    do_events(false);
    EXPECT_TRUE(inner_ran);
    EXPECT_EQ(loop_level(), 0);
    EXPECT_EQ(after, 3);
}

TEST_F(GuiEventLoop, AnErrorInAwakeIsStoppedThereAndCountsAsNotDone) {
    Widget* w = window();
    face(w, "win");
    run("test-awake: func [e] [1 / 0]");
    set_awake(global("test-awake"));
    int keys = 0;
    w->on_event = [&](Widget&, int32_t type, const event::Record&) { keys += type == event::KEY; };
    clock_.step = [&](int i) {
        if (i == 1) feed("ab");
        if (i == 3) post_quit_msg();
    };
    do_events(false);
    EXPECT_EQ(keys, 2);
    EXPECT_EQ(loop_stats().passes, 3);
}

TEST_F(GuiEventLoop, AWindowFreedByItsOwnHandlerLeavesNothingBehind) {
    Widget* w = window();
    Widget* a = child(w, 0, 0, 5, 5);
    add_timer(a, 33);
    a->on_event = [&](Widget&, int32_t type, const event::Record&) {
        if (type == event::CLICK) free_widget(w);
    };
    clock_.step = [&](int i) {
        if (i == 1) feed("\x1b[<0;1;1M\x1b[<0;1;1m");
        if (i == 2) post_quit_msg();
    };
    do_events(false);
    EXPECT_EQ(window_count(), 0);
    EXPECT_EQ(root_widget(), nullptr);
    EXPECT_EQ(timer_count(), 0);
}

TEST_F(GuiEventLoop, ResizeReachesEveryWindowAndFocusFollowsTheActiveWindow) {
    Widget* first = window();
    Widget* field = child(first, 0, 0, 5, 1);
    Widget* second = window();
    face(first, "first");
    face(second, "second");
    log_awake();
    int resizes = 0;
    first->on_event = [&](Widget&, int32_t type, const event::Record&) { resizes += type == event::RESIZE; };
    EXPECT_EQ(root_widget(), second);
    EXPECT_EQ(focus_widget(), first) << "the first window took the focus";
    set_focus(field);
    resized(100, 40);
    EXPECT_EQ(resizes, 1);
    EXPECT_EQ(awake_log(), "first unfocus 0x0|first resize 0x0|second resize 0x0");
    remove_window(second);
    EXPECT_EQ(root_widget(), first);
    EXPECT_EQ(focus_widget(), field) << "the window's remembered focus comes back";
    free_widget(first);
    EXPECT_EQ(window_count(), 0);
    EXPECT_EQ(focus_widget(), nullptr);
}

TEST_F(GuiEventLoop, AnIdlePassWritesNoFrame) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    console::set_output_fd(out[1]);
    auto drained = [&] {
        char buf[4096];
        size_t total = 0;
        ssize_t n;
        while ((n = ::read(out[0], buf, sizeof buf)) > 0) total += size_t(n);
        return total;
    };
    Widget* w = window();
    std::vector<size_t> written;  // bytes written during each pass
    clock_.step = [&](int i) {
        written.push_back(drained());
        if (i == 4) feed("k");
        if (i == 7) post_quit_msg();
    };
    do_events(false);
    console::set_output_fd(null_);
    ::close(out[0]);
    ::close(out[1]);
    (void)w;
    ASSERT_EQ(written.size(), 7u);
    // Waits 2..7 see what passes 1..6 wrote: a frame after the first pass and
    // after the key, nothing otherwise.
    EXPECT_GT(written[1], 0u);
    EXPECT_EQ(written[2], 0u);
    EXPECT_EQ(written[3], 0u);
    EXPECT_GT(written[4], 0u);
    EXPECT_EQ(written[5], 0u);
    EXPECT_EQ(written[6], 0u);
}

TEST_F(GuiEventLoop, PollEventsDoesNothingOutsideTerminalMode) {
    window();
    poll_events();
    EXPECT_EQ(loop_stats().passes, 0);
    EXPECT_TRUE(do_events(true) == false);
    EXPECT_EQ(loop_stats().passes, 1) << "a no-wait pass with no input leaves at once";
    EXPECT_EQ(loop_stats().waits, 0);
}

// The real clock and a real wait on a pseudo-terminal: the loop sleeps in
// poll between frames and wakes for typed input. Passes are bounded by the
// frames that fit in the time the loop ran (each idle pass sleeps a frame),
// whatever the machine's speed.
TEST(GuiEventLoopPty, TypedInputEndsTheWaitAndTheModesComeBack) {
    testing_interp::setup();
    test::PtySession pty(40, 12);
    ASSERT_TRUE(pty.ok());
    pty.attach();
    reset_control_state();
    reset_loop_state();
    clear_input();
    reset_frame(tui::frame(), tui::grid());
    termios before = pty.modes();

    Widget* w = make_widget(nullptr);
    w->right = 10;
    w->bottom = 2;
    add_window(w);
    std::string typed;
    w->on_event = [&](Widget&, int32_t type, const event::Record& r) {
        if (type != event::KEY) return;
        typed += char(r.value);
        if (r.value == 'q') post_quit_msg();
    };
    std::thread typist([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.type_now("hq");
    });
    LoopClock real;
    int64_t start = real.now_ms();
    do_events(false);
    int64_t ran = real.now_ms() - start;
    typist.join();
    EXPECT_EQ(typed, "hq");
    const LoopStats& s = loop_stats();
    EXPECT_GE(s.passes, 1);
    EXPECT_LE(s.passes, ran / (FRAME_MS - 1) + 4) << "the loop must sleep between frames";
    EXPECT_LE(s.waits, s.passes);
    EXPECT_FALSE(terminal_mode());
    EXPECT_TRUE(test::same_modes(pty.modes(), before)) << "the input modes are given back";
    reset_loop_state();
    pty.detach();
}

}  // namespace
