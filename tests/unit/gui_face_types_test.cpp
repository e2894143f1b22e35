// The terminal face types answering keys and the mouse: field editing, its
// caret and its change events, text-list moves, scrolling and clicks, check boxes and radios,
// buttons, the group box's frame, carets of base faces and rich text.
#include "datatypes/string.hpp"
#include "gui/face_types.hpp"
#include "gui/terminal_input.hpp"
#include "gui_view_fixtures.hpp"

using namespace kro;
using namespace kro::testing_gui;
using namespace kro::tui;
using kro::testing_grid::characters;

namespace {

class GuiFaceTypes : public GuiViews {
protected:
    // Awake logs the type of every event it is given, with the picked value
    // of select and change.
    void log_events() {
        run("event-log: copy [] "
            "log-awake: func [e] [append event-log either find [select change] e/type "
            "[append append form e/type { } form e/picked] [form e/type] none]");
        set_awake(global("log-awake"));
    }
    static std::string events() {
        Cell blk = global("event-log");
        std::string s;
        for (int32_t i = 0; i < block::length(&blk); i++) {
            if (i) s += '|';
            s += string::to_utf8(block::at(&blk, i));
        }
        run("clear event-log");
        return s;
    }
    // The face made from spec, alone in a window of the given size; both are
    // shown, and the face's widget is answered (the window's is in window_).
    Widget* alone(const std::string& name, const std::string& spec, const std::string& size) {
        make_face(name, spec);
        std::vector<Widget*> shown = show_in_window(size, {name});
        window_ = shown[0];
        return shown[1];
    }
    // A key typed on the widget: key-down and key to awake, then its own handling.
    static void key(Widget* w, int32_t code) { key_input(w, code, code < 0); }
    static void click(Widget* w, float x, float y) {
        event::Record r;
        r.face = &w->face;
        r.x = x;
        r.y = y;
        w->on_event(*w, event::CLICK, r);
    }
    Widget* window_ = nullptr;
};

TEST_F(GuiFaceTypes, FieldTypingStopsAtItsWidth) {
    Widget* f = alone("f", "type: 'field size: 5x1 text: copy {abcd}", "7x1");
    set_focus(f);
    struct Step {
        int32_t key;
        const char* text;
        int index, column;
    } steps[] = {
        {'e', "abcde", 5, 5},
        {'f', "abcde", 5, 5},   // full: refused without a message
        {KEY_LEFT, "abcde", 4, 4},
        {KEY_LEFT, "abcde", 3, 3},
        {127, "abde", 2, 2},    // backspace takes the character before the caret
        {0x6F22, "abde", 2, 2}, // one column left: a wide character is refused
        {'x', "abxde", 3, 3},   // inserted at the caret
        {2, "abxde", 2, 2},     // Ctrl-B
        {6, "abxde", 3, 3},     // Ctrl-F
        {KEY_RIGHT, "abxde", 4, 4},
        {KEY_RIGHT, "abxde", 5, 5},
        {KEY_RIGHT, "abxde", 5, 5},
        {13, "abxde", 5, 5},    // left to the event functions
    };
    for (const Step& s : steps) {
        key(f, s.key);
        EXPECT_EQ(run("f/text"), std::string("\"") + s.text + "\"") << s.key;
        EXPECT_EQ(f->caret.index, s.index) << s.key;
        EXPECT_EQ(f->caret.column, s.column) << s.key;
    }
    draw(window_);
    EXPECT_EQ(tui::frame().caret_column, 5) << "the cursor stands after the last character";
    EXPECT_EQ(tui::frame().caret_row, 0);
}

TEST_F(GuiFaceTypes, EditingAFieldsTextSendsChange) {
    Widget* f = alone("f", "type: 'field size: 3x1 text: copy {a}", "3x1");
    set_focus(f);
    log_events();
    struct Step {
        int32_t key;
        const char* events;
    } steps[] = {
        {'b', "key-down|key|change 0"},   // typed
        {'c', "key-down|key|change 0"},
        {'d', "key-down|key"},            // full: nothing typed, nothing changed
        {KEY_LEFT, "key-down|key"},       // the caret moves, the text stays
        {8, "key-down|key|change 0"},     // erased
        {13, "key-down|key"},             // left to the event functions
    };
    for (const Step& s : steps) {
        key(f, s.key);
        EXPECT_EQ(events(), s.events) << s.key;
    }
    EXPECT_EQ(run("f/text"), "\"ac\"");
    // A click moves the caret only.
    click(f, 0, 0);
    EXPECT_EQ(events(), "");
}

TEST_F(GuiFaceTypes, FieldBackspaceAtTheStartChangesNothing) {
    Widget* f = alone("f", "type: 'field size: 6x1 text: copy {ab}", "6x1");
    f->caret.index = 0;
    key(f, 8);
    EXPECT_EQ(run("f/text"), "\"ab\"");
    EXPECT_EQ(f->caret.index, 0);
}

TEST_F(GuiFaceTypes, FieldClicksPlaceTheCaretByColumns) {
    Widget* f = alone("f", "type: 'field size: 10x1 text: copy {h漢llo}", "10x1");
    struct Case {
        float x;
        int index, column;
    } cases[] = {{0, 0, 0}, {1.9f, 1, 1}, {2, 1, 1}, {3, 2, 3}, {4, 3, 4}, {9, 5, 6}};
    for (const Case& c : cases) {
        click(f, c.x, 0);
        EXPECT_EQ(f->caret.index, c.index) << c.x;
        EXPECT_EQ(f->caret.column, c.column) << c.x;
    }
}

TEST_F(GuiFaceTypes, AFieldFollowsATextSetFromCode) {
    Widget* f = alone("f", "type: 'field size: 5x1 text: copy {abcd}", "7x1");
    EXPECT_EQ(f->caret.index, 4);
    // Cleared in place (as an on-enter actor does): typing starts again.
    run("clear f/text");
    key(f, 'z');
    EXPECT_EQ(run("f/text"), "\"z\"");
    EXPECT_EQ(f->caret.index, 1);
    // A new text: the caret goes after what fits.
    run("f/text: copy {0123456789}");
    gui::os_update_view(&f->face);
    EXPECT_EQ(f->caret.index, 5);
    EXPECT_EQ(f->caret.width, 10);
    key(f, 'q');
    EXPECT_EQ(run("f/text"), "\"0123456789\"") << "already wider than the field";
    // No text at all: the field makes itself one.
    run("f/text: none");
    key(f, 'a');
    EXPECT_EQ(run("f/text"), "\"a\"");
}

TEST_F(GuiFaceTypes, TextListKeysScrollAndSelect) {
    define_helpers();
    log_events();
    Widget* l = alone("l",
                      "type: 'text-list size: 6x3 data: [\"a\" \"b\" \"c\" \"d\" \"e\" \"f\" \"g\" \"h\" \"i\" \"j\"] "
                      "selected: 3",
                      "6x3");
    struct Step {
        int32_t key;
        int selected, first_line;
        const char* events;
    } steps[] = {
        {KEY_DOWN, 4, 1, "key-down|key|select 4|change 4"},
        {KEY_DOWN, 5, 2, "key-down|key|select 5|change 5"},
        {KEY_UP, 4, 2, "key-down|key|select 4|change 4"},
        {KEY_UP, 3, 2, "key-down|key|select 3|change 3"},
        {KEY_UP, 2, 1, "key-down|key|select 2|change 2"},
        {KEY_UP, 1, 0, "key-down|key|select 1|change 1"},
        {KEY_UP, 1, 0, "key-down|key"},  // at the first item nothing moves and nothing is sent
        {'x', 1, 0, "key-down|key"},
    };
    for (const Step& s : steps) {
        key(l, s.key);
        EXPECT_EQ(run("l/selected"), std::to_string(s.selected)) << s.key;
        EXPECT_EQ(l->data, s.first_line) << s.key;
        EXPECT_EQ(events(), s.events) << s.key;
    }
    // From item 9 of 10, Down twice: the last item, then nothing.
    run("l/selected: 9");
    l->data = 6;
    key(l, KEY_DOWN);
    key(l, KEY_DOWN);
    EXPECT_EQ(run("l/selected"), "10");
    EXPECT_EQ(l->data, 7);
    EXPECT_EQ(run("l/text"), "{h^/i^/^[[7mj^/^[[27m}") << "the lines from the first visible one";
}

TEST_F(GuiFaceTypes, TextListClicksSelectTheRowUnderThePointer) {
    define_helpers();
    log_events();
    Widget* l = alone("l", "type: 'text-list size: 6x5 data: [\"a\" \"b\" \"c\"]", "6x5");
    struct Case {
        float y;
        const char* selected;
        const char* events;
    } cases[] = {
        {1.5f, "2", "select 2|change 2"},
        {1, "2", ""},  // the same item again
        {4, "3", "select 3|change 3"},  // below the last item: the last item
        {0, "1", "select 1|change 1"},
    };
    for (const Case& c : cases) {
        click(l, 0, c.y);
        EXPECT_EQ(run("l/selected"), c.selected) << c.y;
        EXPECT_EQ(events(), c.events) << c.y;
    }
    run("clear l/data");
    click(l, 0, 0);
    EXPECT_EQ(events(), "") << "an empty list selects nothing";
}

TEST_F(GuiFaceTypes, ASelectAnsweredDoneSendsNoChange) {
    define_helpers();
    Widget* l = alone("l", "type: 'text-list size: 6x3 data: [\"a\" \"b\" \"c\"] selected: 1", "6x3");
    run("seen: copy [] done-awake: func [e] [append seen e/type either e/type = 'select ['done] [none]]");
    set_awake(global("done-awake"));
    key(l, KEY_DOWN);
    EXPECT_EQ(run("seen"), "[key-down key select]");
    EXPECT_EQ(run("l/selected"), "2");
    // An actor that moves the selection itself keeps its choice.
    run("seen: copy [] moving-awake: func [e] [append seen e/type if e/type = 'select [e/face/selected: 1] none]");
    set_awake(global("moving-awake"));
    key(l, KEY_DOWN);
    EXPECT_EQ(run("seen"), "[key-down key select]");
    EXPECT_EQ(run("l/selected"), "1");
}

TEST_F(GuiFaceTypes, ChecksToggleAndRadiosSet) {
    define_helpers();
    log_events();
    make_face("c", "type: 'check size: 8x1 text: {opt}");
    make_face("z", "type: 'check offset: 0x1 size: 8x1 text: {zero} data: 0");
    make_face("r", "type: 'radio offset: 0x2 size: 8x1 text: {one} data: 5");
    std::vector<Widget*> shown = show_in_window("8x3", {"c", "z", "r"});
    Widget *w = shown[0], *c = shown[1], *z = shown[2], *r = shown[3];
    draw(w);
    EXPECT_EQ(characters(grid()), (std::vector<std::string>{"[ ] opt ", "[x] zero", "(*) one "}))
        << "the mark is drawn from the widget's first rebuild";
    struct Step {
        Widget* w;
        bool by_click;
        const char* data;
    } steps[] = {
        {c, false, "c/data true"}, {c, true, "c/data false"}, {c, false, "c/data true"},
        {z, false, "z/data false"}, {r, false, "r/data true"}, {r, true, "r/data true"},
    };
    for (const Step& s : steps) {
        if (s.by_click) click(s.w, 1, 0);
        else key(s.w, ' ');
        std::string data = s.data;
        std::string word = data.substr(0, data.find(' '));
        EXPECT_EQ(run(word), data.substr(word.size() + 1)) << data;
    }
    events();
    key(c, 'x');
    EXPECT_EQ(run("c/data"), "true") << "other keys do nothing";
    key(c, ' ');
    EXPECT_EQ(events(), "key-down|key|key-down|key|change 0");
    draw(w);
    EXPECT_EQ(characters(grid())[0], "[ ] opt ");
}

TEST_F(GuiFaceTypes, AButtonClicksOnSpace) {
    log_events();
    make_face("b", "type: 'button size: 6x1 text: {OK}");
    make_face("off", "type: 'button offset: 0x1 size: 6x1 text: {no} enabled?: false");
    std::vector<Widget*> shown = show_in_window("6x2", {"b", "off"});
    Widget *w = shown[0], *b = shown[1], *off = shown[2];
    key(b, ' ');
    EXPECT_EQ(events(), "key-down|key|click");
    key(b, 'a');
    EXPECT_EQ(events(), "key-down|key");
    key(off, ' ');
    EXPECT_EQ(events(), "") << "a disabled button hears nothing";
    set_focus(b);
    draw(w);
    EXPECT_TRUE(grid().at(0, 0).flags & STYLE_INVERSE) << "the focused button is highlighted";
    EXPECT_FALSE(grid().at(0, 1).flags & STYLE_INVERSE);
}

TEST_F(GuiFaceTypes, GroupBoxesFrameTheirInside) {
    struct Case {
        const char* options;
        std::vector<std::string> rows;
        bool coloured;
    } cases[] = {
        {"none", {"┌ab──┐", "│    │", "└────┘"}, false},
        {"[border-corners: round border-color: 64.64.64]", {"╭ab──╮", "│    │", "╰────╯"}, true},
        {"[border-color: white]", {"┌ab──┐", "│    │", "└────┘"}, false},
    };
    for (const Case& c : cases) {
        make_face("g", std::string("type: 'group-box size: 6x3 text: {ab} options: ") + c.options);
        draw(show_in_window("7x4", {"g"})[0]);
        std::vector<std::string> rows = characters(grid());
        ASSERT_EQ(rows.size(), 4u);
        for (int i = 0; i < 3; i++) EXPECT_EQ(rows[size_t(i)], c.rows[size_t(i)] + " ") << c.options;
        uint32_t expected = c.coloured ? rgb_to_256(64, 64, 64) : COLOUR_DEFAULT;
        EXPECT_EQ(grid().at(0, 0).fg, expected) << c.options;
        EXPECT_EQ(grid().at(2, 1).fg, expected) << "inner cells too: " << c.options;
        gui::reset_views();
    }
}

TEST_F(GuiFaceTypes, ACaretBasePlacesTheCursorOnlyForAFocusedTarget) {
    make_face("f", "type: 'area size: 5x2");
    make_face("k", "type: 'base offset: 2x1 size: 1x1 color: 255.0.0 options: reduce ['caret f]");
    std::vector<Widget*> shown = show_in_window("5x2", {"f", "k"});
    Widget *w = shown[0], *f = shown[1], *k = shown[2];
    draw(w);
    EXPECT_TRUE(k->flags & W_CARET);
    EXPECT_TRUE(f->flags & W_TYPES_KEYS);
    EXPECT_EQ(tui::frame().caret_column, -1) << "the target has no focus";
    EXPECT_NE(grid().at(2, 1).bg, rgb_to_256(255, 0, 0)) << "a caret base draws nothing itself";
    set_focus(f);
    draw(w);
    EXPECT_EQ(tui::frame().caret_column, 2);
    EXPECT_EQ(tui::frame().caret_row, 1);
}

TEST_F(GuiFaceTypes, RichTextStylesItsRanges) {
    alone("rt",
          "type: 'rich-text size: 11x1 text: {Hello world} color: 0.0.255 "
          "data: [7x5 bold 255.0.0 1x2 underline 0.255.0 'dashed backdrop 9.9.9]",
          "11x1");
    draw(window_);
    EXPECT_EQ(characters(grid())[0], "Hello world");
    const uint32_t blue = rgb_to_256(0, 0, 255), red = rgb_to_256(255, 0, 0), grey = rgb_to_256(9, 9, 9);
    EXPECT_EQ(grid().at(0, 0).flags, STYLE_UNDERLINE);
    EXPECT_EQ(grid().at(0, 0).bg, grey);
    EXPECT_EQ(grid().at(2, 0).bg, blue);
    EXPECT_EQ(grid().at(2, 0).flags, 0u);
    EXPECT_EQ(grid().at(6, 0).flags, STYLE_BOLD);
    EXPECT_EQ(grid().at(6, 0).fg, red);
    EXPECT_EQ(grid().at(10, 0).fg, red);
    EXPECT_EQ(grid().at(5, 0).fg, COLOUR_DEFAULT);

    run("rt/data: [1x2 bold wavy]");
    Cell rt = global("rt");
    try {
        gui::os_update_view(&rt);
        ADD_FAILURE() << "an unknown word in the data must raise";
    } catch (const Thrown&) {
        EXPECT_EQ(last_raised().id, "draw-invalid");
        EXPECT_EQ(testing_interp::mold_text(last_raised().args[0]), "[wavy]");
    }
}

}  // namespace
