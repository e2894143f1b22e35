// Faces shown without the language's face model: a prototype with face!'s
// facets in face!'s order (no change handlers), views made for its copies
// with the state block `show` would give them, and the back-end's routines
// bound to words as the library binds them. The grid is read through
// grid_dump.hpp.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/function.hpp"
#include "foundation/platform/console_out.hpp"
#include "gui/cell_grid.hpp"
#include "gui/event_loop.hpp"
#include "gui/terminal_control.hpp"
#include "gui/terminal_input.hpp"
#include "gui/views.hpp"
#include "gui/widget_render.hpp"
#include "grid_dump.hpp"
#include "interp_fixtures.hpp"
#include "interpreter/routines.hpp"

namespace kro::testing_gui {

using testing_interp::global;
using testing_interp::run;
using tui::Widget;

// A routine! bound to the word "pf-" name, as `make-routine spec [name]`
// makes it (the prefix keeps the library's own words as they are).
inline void define_routine(const char* name, const char* spec) {
    gc::Rooted s(testing_interp::load_one(spec));
    int32_t code = routines::code_of(name);
    ASSERT_GT(code, 0) << name;
    Cell* made = routine::make_value(s.get(), nullptr, code, -1, false);
    Cell r = *made;
    stack::pop(1);
    testing_interp::set_global((std::string("pf-") + name).c_str(), r);
}

inline void define_words() {
    static bool done = false;
    if (done) return;
    done = true;
    run("test-face!: make object! [type: 'face offset: none size: none text: none image: none color: none "
        "menu: none data: none enabled?: true visible?: true selected: none flags: none options: none "
        "parent: none pane: none state: none rate: none edge: none para: none font: none actors: none "
        "extra: none draw: none]");
    run("test-font!: make object! [name: none size: none style: none angle: 0 color: none anti-alias?: false "
        "shadow: none state: none parent: none]");
    run("test-para!: make object! [origin: none padding: none scroll: none align: none v-align: none "
        "wrap?: false parent: none]");
    define_routine("make-null-handle", "[]");
    define_routine("get-screen-size", "[id [integer!]]");
    define_routine("size-text", "[face [object!] value [any-type!]]");
    define_routine("on-change-facet",
                   "[owner [object!] word [any-word!] value [any-type!] action [word!] new [any-type!] "
                   "index [integer!] part [integer!]]");
    define_routine("update-para", "[face [object!] flags [integer!]]");
    define_routine("update-font", "[font [object!] flags [integer!]]");
    define_routine("destroy-view", "[face [object!] empty? [logic!]]");
    define_routine("update-view", "[face [any-type!]]");
    define_routine("make-view", "[face [object!] parent [handle!]]");
    define_routine("draw-image", "[image [image!] cmds [block!]]");
    define_routine("draw-face", "[face [object!] cmds [block!]]");
    define_routine("text-box-metrics", "[box [object!] arg0 [any-type!] type [integer!]]");
    define_routine("get-flags", "[flags [any-type!]]");
    define_routine("focused?", "[face [object!] return: [logic!]]");
    define_routine("widget-data", "[face [object!]]");
    define_routine("set-face-ui", "[face [object!] ui [string!]]");
    define_routine("exit-event-loop", "[]");
    define_routine("support-dark-mode?", "[return: [logic!]]");
    define_routine("request-font", "[font [object!] selected [any-type!] mono? [logic!]]");
}

// The renderings of the language's TUI-helpers, as small as the tests need:
// a list shows its items from the first visible line, the highlighted one in
// reverse video; a check box or radio "[x] " or "[ ] " before its text.
inline void define_helpers() {
    run("TUI-helpers: make object! ["
        "  make-text-list-ui: func [face /local out i sel] ["
        "    out: copy {} i: 0 sel: either integer? face/selected [face/selected] [0]"
        "    foreach item face/data ["
        "      i: i + 1"
        "      if i > pf-widget-data face ["
        "        either i = sel [append out rejoin-3 {^[[7m} item {^/^[[27m}] [append out item append out {^/}]"
        "      ]"
        "    ]"
        "    face/text: out"
        "  ]"
        "  make-checkbox-ui: func [face] [rejoin-3 either face/data [{[x] }] [{[ ] }] face/text {}]"
        "  make-radio-ui: func [face] [rejoin-3 either face/data [{(*) }] [{( ) }] face/text {}]"
        "  make-progress-ui: func [face] [face/text: copy {progress}]"
        "]");
    run("rejoin-3: func [a b c] [append append copy a b c]");
}

// A face from the prototype, kept in a global word.
inline void make_face(const std::string& name, const std::string& spec) {
    define_words();
    run(name + ": make test-face! [" + spec + "]");
}

// Makes the face's view under the parent and gives the face the state block
// `show` makes: [handle 0 none none].
inline Widget* show(const std::string& name, Widget* parent) {
    Cell f = global(name.c_str());
    Widget* w = gui::os_make_view(&f, parent);
    testing_interp::set_global("shown-handle", gui::handle_of(w));
    run(name + "/state: reduce [shown-handle 0 none none]");
    return w;
}

// A window face "win" of the given size whose pane holds the named faces (made
// already), shown with them: the window's widget first, then the faces' in order.
inline std::vector<Widget*> show_in_window(const std::string& size, const std::vector<std::string>& names) {
    std::string pane;
    for (const std::string& n : names) {
        if (!pane.empty()) pane += ' ';
        pane += n;
    }
    make_face("win", "type: 'window size: " + size + " pane: reduce [" + pane + "]");
    std::vector<Widget*> shown{show("win", nullptr)};
    for (const std::string& n : names) shown.push_back(show(n, shown[0]));
    return shown;
}

// The window's tree drawn into a fresh grid of its size.
inline void draw(Widget* root) {
    tui::grid().resize(int(root->width()), int(root->height()));
    tui::grid().clear();
    tui::face_layer::draw(tui::grid(), *root);
}

// Every test starts with no widgets, no awake function and output going nowhere.
class GuiViews : public ::testing::Test {
protected:
    void SetUp() override {
        testing_interp::setup();
        define_words();
        null_ = ::open("/dev/null", O_WRONLY);
        console::set_output_fd(null_);
        tui::reset_control_state();
        gui::reset_views();
        tui::clear_input();
        tui::reset_frame(tui::frame(), tui::grid());
        run("TUI-helpers: none");
    }
    void TearDown() override {
        gui::reset_views();
        tui::set_clock(nullptr);
        console::set_output_fd(1);
        ::close(null_);
    }
    int null_ = -1;
};

}  // namespace kro::testing_gui
