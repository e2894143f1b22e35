// The back-end views of faces and the platform routines over them: widgets
// made from faces, what a window keeps of them (the box they cover, the
// widgets that take typed keys), widgets following their faces into another
// pane, changes applied through the state block's bits, rate timers, tearing
// trees down (only a window's end ends its loop), stale handles, images as
// half-block cells, the routines' argument checks, and a field's data kept up
// with what is typed into it.
#include <unistd.h>

#include <functional>

#include "console/terminal.hpp"
#include "datatypes/image.hpp"
#include "datatypes/point.hpp"
#include "foundation/fire.hpp"
#include "gui/face_types.hpp"
#include "gui_view_fixtures.hpp"

using namespace kro;
using namespace kro::testing_gui;
using namespace kro::tui;
using kro::testing_grid::characters;

namespace {

// Time moves only when the loop waits; each wait runs the test's step.
class StepClock : public LoopClock {
public:
    int64_t now = 5000;
    int waits = 0;
    std::function<void(int)> step;
    int64_t now_ms() override { return now; }
    bool wait(int timeout_ms) override {
        now += timeout_ms;
        waits++;
        if (step) step(waits);
        return false;
    }
};

// Kro code and the molded result (or "error category/id") it answers.
struct RunCase {
    const char* code;
    const char* expected;
};
void expect_results(const std::vector<RunCase>& cases) {
    for (const RunCase& c : cases) EXPECT_EQ(run(c.code), c.expected) << c.code;
}

class GuiViewsTest : public GuiViews {
protected:
    void SetUp() override {
        GuiViews::SetUp();
        ASSERT_EQ(::pipe(in_), 0);
        terminal::set_input_fd(in_[0]);
        set_clock(&clock_);
    }
    void TearDown() override {
        GuiViews::TearDown();
        terminal::set_input_fd(0);
        ::close(in_[0]);
        ::close(in_[1]);
    }
    StepClock clock_;
    int in_[2] = {-1, -1};
};

TEST_F(GuiViewsTest, WidgetsTakeTheirFlagsAndBoxFromTheFace) {
    struct Case {
        const char* spec;
        uint32_t flags;
        float left, top, right, bottom;
    } cases[] = {
        {"type: 'base offset: 3x2 size: 4x1 flags: [all-over password focusable]",
         W_ALL_OVER | W_PASSWORD | W_FOCUSABLE | W_SIZE_PAIR, 3, 2, 7, 3},
        {"type: 'text size: 2x2 visible?: false enabled?: none", W_HIDDEN | W_DISABLED | W_SIZE_PAIR, 0, 0, 2, 2},
        {"type: 'text offset: (1.5, 1) size: (2.5, 1)", 0, 1.5f, 1, 4, 2},
        {"type: 'window offset: 50x10 size: 20x5 flags: 'fullscreen", W_FULLSCREEN | W_SIZE_PAIR, 0, 0, 20, 5},
        {"type: 'slider", 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        make_face("f", c.spec);
        Widget* w = show("f", nullptr);
        EXPECT_EQ(w->flags, c.flags) << c.spec;
        EXPECT_EQ(w->left, c.left) << c.spec;
        EXPECT_EQ(w->top, c.top) << c.spec;
        EXPECT_EQ(w->right, c.right) << c.spec;
        EXPECT_EQ(w->bottom, c.bottom) << c.spec;
        EXPECT_EQ(gui::face_handle(&w->face), w);
        gui::reset_views();
    }
    make_face("f", "type: 'window offset: 50x10 size: 20x5");
    EXPECT_EQ(show("f", nullptr)->left, 0);
    EXPECT_EQ(run("f/offset"), "50x10") << "the face's own facets are left as they were";
    set_fullscreen_wanted(false);
}

TEST_F(GuiViewsTest, TheFirstFocusableFaceOfAWindowTakesTheFocus) {
    make_face("a", "type: 'text size: 2x1");
    make_face("f", "type: 'field offset: 0x1 size: 4x1 flags: [focusable]");
    make_face("g", "type: 'field offset: 0x2 size: 4x1 flags: [focusable]");
    make_face("win", "type: 'window size: 4x3 pane: reduce [a f g]");
    Widget* w = show("win", nullptr);
    EXPECT_EQ(focus_widget(), w);
    show("a", w);
    EXPECT_EQ(focus_widget(), w) << "a face that is not focusable leaves it";
    Widget* f = show("f", w);
    show("g", w);
    EXPECT_EQ(focus_widget(), f);
    EXPECT_EQ(run("pf-focused? f"), "true");
    EXPECT_EQ(run("pf-focused? g"), "false");
}

TEST_F(GuiViewsTest, AWindowCoversItsWidgetsAndCountsThoseThatTakeTypedKeys) {
    make_face("f", "type: 'field offset: 3x2 size: 6x1");
    make_face("t", "type: 'text size: 2x1");
    make_face("c", "type: 'base size: 1x1 options: reduce ['caret t]");
    make_face("c2", "type: 'base size: 1x1 options: reduce ['caret t]");
    make_face("lean", "type: 'base offset: -1x0 size: 1x1");
    make_face("panel", "type: 'panel offset: 2x1 size: 4x3 pane: reduce [f]");
    make_face("win", "type: 'window size: 10x5 pane: reduce [panel t c c2 lean]");
    Widget* w = show("win", nullptr);
    auto extent = [&] {
        WindowExtent e;
        EXPECT_TRUE(window_extent(w, &e));
        return e;
    };
    WindowExtent e = extent();
    EXPECT_EQ(e.left, 0);
    EXPECT_EQ(e.right, 10);
    EXPECT_EQ(e.bottom, 5);
    EXPECT_EQ(e.typed_keys, 0);
    Widget* p = show("panel", w);
    show("f", p);  // 3x2 inside the panel at 2x1, six wide: beyond the window's right side
    e = extent();
    EXPECT_EQ(e.right, 11);
    EXPECT_EQ(e.bottom, 5);
    EXPECT_EQ(e.typed_keys, 1) << "a field takes typed keys";
    Widget* t = show("t", w);
    EXPECT_EQ(extent().typed_keys, 1);
    show("c", w);
    EXPECT_TRUE(t->flags & W_TYPES_KEYS);
    EXPECT_EQ(extent().typed_keys, 2) << "so does the target of a caret";
    show("c2", w);
    EXPECT_EQ(extent().typed_keys, 2) << "a widget is counted once";
    show("lean", w);
    e = extent();
    EXPECT_EQ(e.left, -1);
    EXPECT_EQ(e.top, 0);
    EXPECT_EQ(e.right, 11);
    run("pf-destroy-view panel false");
    e = extent();
    EXPECT_EQ(e.typed_keys, 1) << "a freed widget is counted no more";
    EXPECT_EQ(e.right, 11) << "the box only grows";
    EXPECT_FALSE(window_extent(t, &e)) << "only windows keep one";
}

TEST_F(GuiViewsTest, AFaceMovedIntoAnotherPaneTakesItsWidgetAlong) {
    make_face("b", "type: 'base offset: 1x0 size: 2x1 text: {bb}");
    make_face("p1", "type: 'panel offset: 0x0 size: 4x2 pane: reduce [b]");
    make_face("p2", "type: 'panel offset: 5x0 size: 4x2 pane: copy []");
    std::vector<Widget*> shown = show_in_window("10x2", {"p1", "p2"});
    Widget *w = shown[0], *w1 = shown[1], *w2 = shown[2];
    Widget* b = show("b", w1);
    draw(w);
    EXPECT_EQ(characters(grid())[0], " bb       ");
    // The face model tells the new pane's owner once the face is in it.
    run("move p1/pane p2/pane b/parent: p2");
    run("pf-on-change-facet p2 'pane p2/pane 'moved none 0 1");
    EXPECT_EQ(b->parent, w2);
    EXPECT_EQ(w1->children.size(), 0u);
    draw(w);
    EXPECT_EQ(characters(grid())[0], "      bb  ") << "drawn in its new panel, at its offset there";
    // Hit testing finds it there too.
    run("hits: copy [] hit-awake: func [e] [if e/type = 'down [append hits e/face/text] none]");
    set_awake(global("hit-awake"));
    mouse_button(1, 6, 0, 0);
    mouse_button(2, 6, 0, 0);
    EXPECT_EQ(run("hits"), "[\"bb\"]");
}

// With the language's face model: view, show and the event functions.
TEST_F(GuiViewsTest, AShownFaceMovedToAnotherPaneIsShownThere) {
    run("mb: make face! [type: 'base offset: 1x0 size: 2x1 text: {bb}] "
        "m1: make face! [type: 'panel offset: 0x0 size: 4x2 pane: reduce [mb]] "
        "m2: make face! [type: 'panel offset: 5x0 size: 4x2 pane: make block! 4] "
        "mw: make face! [type: 'window offset: 0x0 size: 10x2 pane: reduce [m1 m2]] "
        "view/no-wait mw");
    run("move m1/pane m2/pane");
    EXPECT_EQ(run("reduce [same? mb/parent m2 empty? m1/pane block? mb/state]"), "[true true true]");
    Cell mb = global("mb"), m2 = global("m2"), mw = global("mw");
    Widget* b = gui::face_handle(&mb);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->parent, gui::face_handle(&m2));
    draw(gui::face_handle(&mw));
    EXPECT_EQ(characters(grid())[0], "      bb  ");
    // Into a panel not shown yet: the widget comes under the panel's once it is.
    run("m3: make face! [type: 'panel offset: 0x1 size: 4x1 pane: make block! 4] "
        "move m2/pane m3/pane append mw/pane m3");
    // Cells read again: evaluation may have moved what they name.
    mb = global("mb");
    mw = global("mw");
    Cell m3 = global("m3");
    ASSERT_EQ(gui::face_handle(&mb), b);
    EXPECT_EQ(b->parent, gui::face_handle(&m3));
    draw(gui::face_handle(&mw));
    EXPECT_EQ(characters(grid()), (testing_grid::Picture{"          ", " bb       "}));
    run("unview/all");
}

TEST_F(GuiViewsTest, TypingInAFieldBringsItsDataUpToDate) {
    run("changes: copy [] "
        "ff: make face! [type: 'field offset: 0x0 size: 5x1 "
        "  actors: make object! [on-change: func [face event] [append changes face/data]]] "
        "fw: make face! [type: 'window offset: 0x0 size: 5x1 pane: reduce [ff]] "
        "view/no-wait fw");
    Cell ff = global("ff");
    Widget* f = gui::face_handle(&ff);
    ASSERT_NE(f, nullptr);
    key_input(f, '4', false);
    EXPECT_EQ(run("ff/data"), "4") << "before any Enter";
    key_input(f, '2', false);
    EXPECT_EQ(run("ff/data"), "42");
    key_input(f, 'x', false);
    EXPECT_EQ(run("ff/data"), "none") << "text that does not load";
    key_input(f, 8, false);
    EXPECT_EQ(run("reduce [ff/text ff/data changes]"), "[\"42\" 42 [4 42 none 42]]");
    run("unview/all");
}

TEST_F(GuiViewsTest, BadFlagsAndRatesMakeNoView) {
    make_face("f", "type: 'base size: 2x1 flags: [focusable bogus]");
    make_face("g", "type: 'base size: 2x1 rate: 0");
    EXPECT_EQ(run("pf-make-view f pf-make-null-handle"), "error script/invalid-arg");
    EXPECT_EQ(run("pf-make-view g pf-make-null-handle"), "error script/invalid-facet-type");
    EXPECT_EQ(run("pf-get-flags [all-over Modal]"), std::to_string(0x2000001));
    EXPECT_EQ(run("pf-get-flags 'no-border"), std::to_string(int32_t(0x80000000)));
    EXPECT_EQ(run("pf-get-flags []"), "0");
    EXPECT_EQ(run("pf-get-flags 5"), "0");
    EXPECT_EQ(run("pf-draw-face f []"), "error script/invalid-arg");
}

TEST_F(GuiViewsTest, RatesBecomeTimerIntervals) {
    struct Case {
        const char* rate;
        int32_t interval;  // -1: refused
    } cases[] = {{"3", 333}, {"4", 250}, {"0:0:2", 2000}, {"0:0:0.5", 500}, {"none", 0},
                 {"0", -1},  {"-2", -1}, {"0:0:0", -1},   {"{fast}", -1},   {"2.5", -1}};
    for (const Case& c : cases) {
        run(std::string("r: ") + c.rate);
        Cell r = global("r");
        if (c.interval < 0) {
            EXPECT_THROW(gui::rate_interval(&r), Thrown) << c.rate;
            EXPECT_EQ(last_raised().id, "invalid-facet-type") << c.rate;
        } else {
            EXPECT_EQ(gui::rate_interval(&r), c.interval) << c.rate;
        }
    }
}

TEST_F(GuiViewsTest, ARateOfThreeTicksEveryElevenPasses) {
    make_face("t", "type: 'base size: 1x1 rate: 3");
    show_in_window("4x2", {"t"});
    EXPECT_EQ(timer_count(), 1);
    run("ticks: copy [] tick-awake: func [e] [if e/type = 'time [append ticks passes] none] passes: 0");
    set_awake(global("tick-awake"));
    clock_.step = [&](int i) {
        run("passes: " + std::to_string(i));
        if (i == 23) post_quit_msg();
    };
    do_events(false);
    EXPECT_EQ(run("ticks"), "[11 22]");
}

TEST_F(GuiViewsTest, UpdatesApplyTheChangedFacets) {
    make_face("b", "type: 'base offset: 1x1 size: 3x2 visible?: false rate: 4");
    std::vector<Widget*> shown = show_in_window("10x5", {"b"});
    Widget *w = shown[0], *b = shown[1];
    EXPECT_TRUE(b->flags & W_HIDDEN);
    run("b/visible?: true b/offset: 4x2 b/enabled?: false b/rate: none "
        "b/state/2: (2 ** 9) + 2 + (2 ** 8) + (2 ** 16)");
    run("pf-update-view b");
    EXPECT_FALSE(b->flags & W_HIDDEN) << "cleared on the update";
    EXPECT_TRUE(b->flags & W_DISABLED);
    EXPECT_EQ(b->left, 4);
    EXPECT_EQ(b->right, 7) << "the size is kept";
    EXPECT_EQ(timer_count(), 0) << "a rate of none stops the timer";
    EXPECT_EQ(run("b/state/2"), "0");
    // A size change; an offset change without its bit is not applied.
    run("b/size: 5x1 b/offset: 0x0 b/state/2: 4 pf-update-view b");
    EXPECT_EQ(b->left, 4);
    EXPECT_EQ(b->right, 9);
    EXPECT_EQ(b->bottom, 3);
    // A window's selected face takes the focus.
    run("win/selected: b win/state/2: 1024 pf-update-view win");
    EXPECT_EQ(focus_widget(), b);
    run("win/selected: none win/state/2: 1024 pf-update-view win");
    EXPECT_EQ(focus_widget(), w);
}

TEST_F(GuiViewsTest, UpdateViewChecksEveryItemFirstAndSkipsScreens) {
    make_face("b", "type: 'base size: 3x2 visible?: false");
    make_face("scr", "type: 'screen size: 80x24");
    Widget* b = show("b", nullptr);
    run("b/visible?: true b/state/2: 512");
    EXPECT_EQ(run("pf-update-view reduce [b 7]"), "error script/invalid-type");
    EXPECT_TRUE(b->flags & W_HIDDEN) << "nothing is updated";
    EXPECT_EQ(run("pf-update-view 7"), "error script/invalid-type");
    EXPECT_EQ(run("pf-update-view scr"), "none");
    EXPECT_EQ(run("pf-update-view reduce [b scr]"), "none");
    EXPECT_FALSE(b->flags & W_HIDDEN);
}

TEST_F(GuiViewsTest, DestroyingAChildLeavesTheLoopRunningAWindowEndsIt) {
    make_face("leaf", "type: 'base size: 1x1 rate: 10");
    make_face("panel", "type: 'panel size: 4x2 pane: reduce [leaf]");
    make_face("other", "type: 'base offset: 5x0 size: 1x1");
    std::vector<Widget*> shown = show_in_window("10x5", {"panel", "other"});
    show("leaf", shown[1]);
    run("old-state: leaf/state");
    int passes_after_child = -1;
    int level_after_child = -1;
    clock_.step = [&](int i) {
        if (i == 2) {
            run("pf-destroy-view panel false");
            level_after_child = loop_level();
        }
        if (i > 2 && passes_after_child < 0 && loop_level() == 1) passes_after_child = i;
        if (i == 5) run("pf-destroy-view win false");
        if (i == 40) post_quit_msg();  // never reached when the window's end ends the loop
    };
    do_events(false);
    EXPECT_EQ(level_after_child, 1) << "a face taken out of a pane does not end the loop";
    EXPECT_EQ(passes_after_child, 3);
    EXPECT_EQ(clock_.waits, 5) << "the window's end ends the loop after that pass";
    EXPECT_EQ(run("reduce [panel/state leaf/state win/state]"), "[none none none]");
    EXPECT_EQ(timer_count(), 0);
    // A face holding the handle of a freed widget finds no widget.
    run("leaf/state: old-state");
    Cell leaf = global("leaf");
    EXPECT_EQ(gui::face_handle(&leaf), nullptr);
    EXPECT_EQ(run("pf-widget-data leaf"), "0");
    EXPECT_EQ(run("pf-focused? leaf"), "false");
}

TEST_F(GuiViewsTest, TheOutermostLoopsEndLeavesNoStaleStates) {
    make_face("b", "type: 'base size: 1x1");
    show_in_window("4x2", {"b"});
    clock_.step = [&](int i) {
        if (i == 2) post_quit_msg();
    };
    do_events(false);
    EXPECT_EQ(window_count(), 0);
    EXPECT_EQ(run("reduce [win/state b/state]"), "[none none]");
    EXPECT_EQ(run("pf-destroy-view win false"), "none") << "and a later unview touches nothing";
}

TEST_F(GuiViewsTest, DestroyingAFaceUnlinksItFromItsFontAndPara) {
    run("fnt: make test-font! [state: [1] parent: []] prm: make test-para! [parent: []]");
    make_face("f", "type: 'base size: 1x1 font: fnt para: prm");
    make_face("g", "type: 'base size: 1x1 font: fnt");
    run("append fnt/parent f fnt/parent: tail append fnt/parent g append prm/parent f");
    show("f", nullptr);
    show("g", nullptr);
    run("pf-destroy-view f false");
    EXPECT_EQ(run("length? head fnt/parent"), "1");
    EXPECT_EQ(run("length? head prm/parent"), "0");
    EXPECT_EQ(run("fnt/state"), "[1]") << "another face still uses the font";
    run("pf-destroy-view g false");
    EXPECT_EQ(run("fnt/state"), "none");
}

TEST_F(GuiViewsTest, ImagesBecomeHalfBlockCells) {
    // A 2x4 image in a 2x2 face: each cell shows two pixels, one above the other.
    run("img: make image! 2x4 "
        "poke img 1 255.0.0 poke img 3 0.0.255 "
        "poke img 2 10.20.30.255 poke img 4 0.255.0 "
        "poke img 5 255.255.255 poke img 7 0.0.0");
    make_face("p", "type: 'base size: 2x2 image: img");
    for (int depth : {4, 2}) {
        gui::set_colour_depth(depth);
        Widget* w = show("p", nullptr);
        ASSERT_EQ(w->image_width, 2);
        ASSERT_EQ(w->image_height, 2);
        auto colour = [&](int r, int g, int b) { return depth == 4 ? colour_rgb(r, g, b) : rgb_to_256(r, g, b); };
        const GridCell& a = w->image_cells[0];
        EXPECT_EQ(a.cp, 0x2584u);
        EXPECT_EQ(a.bg, colour(255, 0, 0)) << "the upper pixel is the background";
        EXPECT_EQ(a.fg, colour(0, 0, 255));
        const GridCell& t = w->image_cells[1];
        EXPECT_EQ(t.cp, uint32_t(' ')) << "a transparent upper pixel gives a plain space";
        EXPECT_EQ(t.bg, COLOUR_DEFAULT);
        const GridCell& c = w->image_cells[2];
        EXPECT_EQ(c.bg, colour(255, 255, 255));
        EXPECT_EQ(c.fg, colour(0, 0, 0));
        EXPECT_NE(c.fg, COLOUR_DEFAULT) << "opaque black keeps its colour";
        gui::reset_views();
    }
    // Drawn into the grid where the face is.
    run("p/offset: 1x0");
    draw(show_in_window("3x2", {"p"})[0]);
    EXPECT_EQ(grid().at(1, 0).cp, 0x2584u);
    EXPECT_EQ(grid().at(1, 0).bg, colour_rgb(255, 0, 0));
    // A face of no size keeps no cells.
    make_face("q", "type: 'base size: 0x3 image: img");
    EXPECT_TRUE(show("q", nullptr)->image_cells.empty());
}

TEST_F(GuiViewsTest, SizeTextMeasuresTheFaceOrTheValue) {
    make_face("f", "type: 'text text: {hello}");
    make_face("n", "type: 'text");
    expect_results({
        {"pf-size-text f none", "(5, 1)"},
        {"pf-size-text f {ab^/c}", "(2, 2)"},
        {"pf-size-text n none", "none"},
        {"pf-size-text f 12", "error script/invalid-type"},
    });
}

TEST_F(GuiViewsTest, TextBoxMetricsAnswersOnlyForRichText) {
    make_face("rt", "type: 'rich-text size: 4x3 text: {abcdefgh}");
    make_face("nt", "type: 'rich-text size: 4x3");
    make_face("b", "type: 'base text: {abc}");
    expect_results({
        {"pf-text-box-metrics rt 5 0", "(0, 1)"},
        {"pf-text-box-metrics rt none 4", "2"},
        {"pf-text-box-metrics nt 1 0", "none"},
        {"pf-text-box-metrics b 1 0", "error script/face-type"},
    });
}

TEST_F(GuiViewsTest, SmallRoutines) {
    make_face("b", "type: 'base size: 2x1");
    make_face("free", "type: 'base size: 2x1");
    Widget* w = show("b", nullptr);
    const RunCase cases[] = {
        {"pf-make-null-handle", "handle!"},
        {"pf-set-face-ui b {mark}", "none"},
        {"pf-set-face-ui free {mark}", "none"},
        {"pf-widget-data b", "0"},
        {"pf-focused? b", "false"},
        {"pf-support-dark-mode?", "false"},
        {"pf-request-font fnt: make test-font! [name: {x}] none false", "make object! [name: \"x\" size: none style: none "
                                                                    "angle: 0 color: none anti-alias?: false "
                                                                    "shadow: none state: none parent: none]"},
        {"b/state/2: 1 pf-update-para b 0 b/state/2", "262145"},
        {"f2: make test-font! [state: [x]] pf-update-font f2 4 f2/state", "[x]"},
        {"pf-update-font f2 1 f2/state", "none"},
    };
    std::vector<std::string> results;
    for (const RunCase& c : cases) results.push_back(run(c.code));
    EXPECT_EQ(results[0].substr(0, 7), "handle!");
    for (size_t i = 1; i < std::size(cases); i++) EXPECT_EQ(results[i], cases[i].expected) << cases[i].code;
    EXPECT_EQ(string::to_utf8(&w->ui), "mark");
    w->data = 3;
    w->flags |= W_FOCUSED;
    EXPECT_EQ(run("pf-widget-data b"), "3");
    EXPECT_EQ(run("pf-focused? b"), "true");
}

TEST_F(GuiViewsTest, DrawImageSkipsEmptyImagesAndTellsTheOwner) {
    static int draws = 0;
    DrawImageHook saved = draw_image_hook;
    draw_image_hook = [](Cell*, const Cell*) { draws++; };
    draws = 0;
    run("empty: make image! 0x10 full: make image! 2x2");
    EXPECT_EQ(run("pf-draw-image empty [pen red]"), "none");
    EXPECT_EQ(draws, 0);
    EXPECT_EQ(run("pf-draw-image full [pen red]"), "none");
    EXPECT_EQ(draws, 1);
    // The image's owner hears of it, also when the value drawn on was taken
    // before the image had an owner.
    run("told: copy [] shown: make image! 2x2 holder: make object! [img: shown "
        "on-deep-change*: func [owner word target action new index part] [append told reduce [action part]]]");
    EXPECT_EQ(run("pf-draw-image shown [pen red] told"), "[poked 4]");
    draw_image_hook = saved;
}

TEST_F(GuiViewsTest, RemovingListItemsScrollsAndLowersTheSelection) {
    make_face("l", "type: 'text-list size: 5x2 data: [\"a\" \"b\" \"c\" \"d\"] selected: 4");
    Widget* w = show("l", nullptr);
    w->data = 2;
    // All items about to be cleared: back to the first line, nothing selected.
    run("pf-on-change-facet l 'data l/data 'clear none 0 4");
    EXPECT_EQ(w->data, 0);
    EXPECT_EQ(run("l/selected"), "0");
    // The last two about to be removed from index 2.
    run("l/selected: 4");
    w->data = 3;
    run("pf-on-change-facet l 'data l/data 'remove none 2 2");
    EXPECT_EQ(w->data, 2);
    EXPECT_EQ(run("l/selected"), "2");
    // An append changes neither.
    run("pf-on-change-facet l 'data l/data 'appended none 4 1");
    EXPECT_EQ(w->data, 2);
    EXPECT_EQ(run("l/selected"), "2");
}

}  // namespace
