// How long the back-end's widget records live: language code run from the
// back-end's C++ code (a face type's set-up helper, a dispatch to awake) may
// take down the very widgets that code is working on, or every window at once
// when it runs a waiting loop of its own. Such widgets must neither be linked
// into the window's state afterwards (focus, timers) nor have their memory
// given back while the code below still holds them. Run with KRO_GC_STRESS=1
// too: each collection then moves every node, so a face cell left in memory
// the collector no longer visits is read stale at once.
#include <unistd.h>

#include <functional>

#include "console/terminal.hpp"
#include "gui_view_fixtures.hpp"

using namespace kro;
using namespace kro::testing_gui;
using namespace kro::tui;

namespace {

// Every wait of a loop ends it: a waiting `view` runs one pass.
class OnePassClock : public LoopClock {
public:
    int64_t now = 1000;
    int64_t now_ms() override { return now; }
    bool wait(int timeout_ms) override {
        now += timeout_ms;
        post_quit_msg();
        return false;
    }
};

class GuiWidgetLifetime : public GuiViews {
protected:
    void SetUp() override {
        GuiViews::SetUp();
        define_helpers();
        ASSERT_EQ(::pipe(in_), 0);
        terminal::set_input_fd(in_[0]);
        set_clock(&clock_);
    }
    void TearDown() override {
        run("unview/all");
        GuiViews::TearDown();
        terminal::set_input_fd(0);
        ::close(in_[0]);
        ::close(in_[1]);
    }
    Widget* widget_of(const char* name) {
        Cell face = global(name);
        return gui::face_handle(&face);
    }
    OnePassClock clock_;
    int in_[2] = {-1, -1};
};

// A progress face's set-up runs its helper, which sets the face's text; the
// face's own change handler then takes its panel out of the window and shows
// the window, which destroys the panel's widget and the progress widget being
// made under it. The rest of the set-up must leave that widget alone: it was
// focusable (the window's focus went to it) and had a rate (a timer named it).
TEST_F(GuiWidgetLifetime, AWidgetTakenDownWhileItIsMadeIsNotLinkedAfterwards) {
    run("lifetime-keys: copy [] "
        "lifetime-awake: func [e] [if e/type = 'key [append lifetime-keys e/face/type] none]");
    set_awake(global("lifetime-awake"));
    for (int round = 0; round < 12; round++) {
        SCOPED_TRACE(round);
        run("pt: make face! [type: 'progress size: 6x1 offset: 0x0 data: 0.5 flags: 'focusable rate: 10 "
            "  on-change*: func [word old new] [if word = 'text [remove find/same pw/pane pp show pw]]] "
            "pp: make face! [type: 'panel size: 8x2 offset: 0x0 pane: reduce [pt]] "
            "pw: make face! [type: 'window size: 10x4 offset: 0x0 pane: reduce [pp]] "
            "view/no-wait pw");
        EXPECT_EQ(run("reduce [empty? pw/pane pp/state]"), "[true none]");
        Widget* window = widget_of("pw");
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->children.empty());
        EXPECT_EQ(focus_widget(), window) << "the focus stays with the window";
        EXPECT_EQ(timer_count(), 0) << "no timer names the widget taken down";
        EXPECT_EQ(widget_count(), 1);
        // A collection moves the faces' nodes; a key then goes to the focus,
        // whose face awake reads.
        run("recycle");
        set_awake(global("lifetime-awake"));  // view/no-wait put system/view/awake in
        key_input(nullptr, 'k', false);
        run("unview/all");
        EXPECT_EQ(widget_count(), 0);
    }
    EXPECT_EQ(run("lifetime-keys"), "[window window window window window window window window window window "
                                    "window window]");
}

// A dispatch outside any loop (a window's `selected` set from a script gives
// the face the focus) whose actor runs a waiting `view`: that loop's end takes
// every window down, the dispatched widget with them. Its memory stays until
// the dispatch returns: the event still reads its face, even once new windows
// have made widgets that could take the memory over.
TEST_F(GuiWidgetLifetime, AWaitingLoopInADispatchKeepsTheDispatchedWidgetUntilItReturns) {
    run("fb1: make face! [type: 'button size: 4x1 offset: 0x0 flags: 'focusable] "
        "fb2: make face! [type: 'button size: 4x1 offset: 0x2 flags: 'focusable] "
        "fw: make face! [type: 'window size: 10x4 offset: 0x0 pane: reduce [fb2 fb1]] "
        "focus-seen: none "
        "fb1/actors: make object! [on-focus: func [face event] ["
        "  view [button {x}] "
        "  view/no-wait [button {a} button {b} button {c} button {d} button {e} button {f}] "
        "  recycle "
        "  focus-seen: reduce [same? event/face fb1 same? face fb1]]] "
        "view/no-wait fw");
    EXPECT_EQ(focus_widget(), widget_of("fb2"));
    EXPECT_EQ(run("fw/selected: fb1 true"), "true") << "show finds its window closed by the actor";
    EXPECT_EQ(run("focus-seen"), "[true true]");
    EXPECT_EQ(run("fw/state"), "none") << "the waiting loop's end took the window down";
    EXPECT_EQ(window_count(), 1) << "the window opened after it";
    EXPECT_EQ(widget_count(), 7);
    run("unview/all");
    EXPECT_EQ(widget_count(), 0);
}

}  // namespace
