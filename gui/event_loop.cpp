#include "gui/event_loop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>

#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/print.hpp"
#include "gui/cell_grid.hpp"
#include "gui/terminal_control.hpp"
#include "gui/terminal_input.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives_system.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"

namespace kro::tui {

namespace {

struct WindowRecord {
    Widget* window;
    Widget* focus;
    WindowExtent extent;
    bool shown = false;  // its focus widget has heard `focus`
};

struct Timer {
    uint64_t id;
    bool one_shot;
    bool done;
    int64_t elapsed;
    int32_t interval;
    Widget* widget;
};

// ---- back-end state (one set for the process) ----
int level = 0;             // incremented by each waiting loop, decremented by post_quit_msg
int running = 0;           // loops running, nested
std::vector<WindowRecord> windows;
Widget* root = nullptr;
Widget* focus = nullptr;
Widget* hovered = nullptr;
Widget* captured = nullptr;
Widget* active = nullptr;   // the window last activated
std::vector<Widget*> pressed;
float last_x = 0, last_y = 0;
int click_state = 0;        // 0 none, 2 a click was just made, 10 a double click
int64_t click_time = 0;     // clock time of the last release
std::vector<Timer> timers;
uint64_t next_timer_id = 1;
int64_t last_tick = 0;      // clock time the timers were last advanced to
bool ticking = false;
int holds = 0;              // WidgetHold objects alive
bool dirty = false;         // something was sent since the last frame: draw it again
std::vector<Widget*> all_widgets;     // every live widget (for marking their faces)
std::vector<Widget*> freed_widgets;   // freed, their memory not released yet
// Windows a script left open when the process ends: their widgets' memory is
// given back (nothing else is done with them then).
struct ReleaseAtExit {
    ~ReleaseAtExit() {
        for (Widget* w : all_widgets) delete w;
        for (Widget* w : freed_widgets) delete w;
        all_widgets.clear();
        freed_widgets.clear();
    }
} release_at_exit;
LoopStats stats;

Cell awake_fn{uint32_t(TYPE_NONE), 0, 0, 0};
Cell awake_name{uint32_t(TYPE_NONE), 0, 0, 0};
int32_t done_symbol = 0;

LoopClock default_clock;
LoopClock* clock_ = &default_clock;

void mark_back_end() {
    collector::mark_value(&awake_fn);
    collector::mark_value(&awake_name);
    for (Widget* w : all_widgets) {
        collector::mark_value(&w->face);
        collector::mark_value(&w->ui);
        collector::mark_value(&w->caret.text);
    }
    for (Widget* w : freed_widgets) {
        collector::mark_value(&w->face);
        collector::mark_value(&w->ui);
        collector::mark_value(&w->caret.text);
    }
}

bool mark_registered = false;
void ensure_marking() {
    if (mark_registered) return;
    gc::add_mark_callback(&mark_back_end);
    mark_registered = true;
}

bool usable(const Widget* w) { return w && !(w->flags & W_DISABLED); }

bool is_ancestor(const Widget* a, const Widget* w) {
    for (const Widget* p = w ? w->parent : nullptr; p; p = p->parent)
        if (p == a) return true;
    return false;
}

WindowRecord* record_of(const Widget* window) {
    for (WindowRecord& r : windows)
        if (r.window == window) return &r;
    return nullptr;
}

Widget* window_of(Widget* w) {
    while (w && w->parent) w = w->parent;
    return w;
}

// The child of w under (x, y), last of the pane first; its position made relative to it.
Widget* hit_test(Widget* w, float x, float y, float* cx, float* cy) {
    std::vector<Widget*> pane;
    face_layer::pane_widgets(*w, pane);
    for (auto it = pane.rbegin(); it != pane.rend(); ++it) {
        Widget* c = *it;
        if (!c || (c->flags & W_HIDDEN)) continue;
        if (x >= c->left && x < c->right && y >= c->top && y < c->bottom) {
            *cx = x - c->left;
            *cy = y - c->top;
            return c;
        }
    }
    return nullptr;
}

// A widget's position within its window.
void position_in_window(const Widget* w, float* x, float* y) {
    *x = *y = 0;
    for (const Widget* p = w; p && p->parent; p = p->parent) {
        *x += p->left;
        *y += p->top;
    }
}

int64_t since(int64_t t) { return clock_->now_ms() - t; }

// ---- timers ----

void advance_timers() {
    int64_t now = clock_->now_ms();
    int64_t d = ticking ? now - last_tick : 0;
    if (d < 0) d = 0;
    last_tick = now;
    ticking = true;
    // A tick's handler may add or remove timers: walk by id.
    std::vector<uint64_t> ids;
    for (const Timer& t : timers) ids.push_back(t.id);
    for (uint64_t id : ids) {
        auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.id == id; });
        if (it == timers.end()) continue;
        it->elapsed += d;
        if (it->done || it->elapsed < it->interval) continue;
        it->elapsed = 0;
        it->done = it->one_shot;
        send_to_widget(event::TIME, it->widget, 0, 0, 0);
    }
}

// ---- the decoder's actions ----

class LoopSink : public InputSink {
public:
    void key(const KeyAction& k) override { key_input(nullptr, k.code, k.special, k.flags); }
    void mouse(const MouseAction& m) override {
        switch (m.kind) {
            case MouseKind::press: mouse_button(m.button * 2 + 1, m.x, m.y, m.flags); break;
            case MouseKind::release: mouse_button(m.button * 2 + 2, m.x, m.y, m.flags); break;
            case MouseKind::move: pointer_move(m.x, m.y, m.flags); break;
            case MouseKind::wheel: wheel(float(m.delta), m.x, m.y, m.flags); break;
        }
    }
};

// Takes cursor answers only (the loop is ending: keys go nowhere).
class IgnoringSink : public InputSink {
public:
    void key(const KeyAction&) override {}
    void mouse(const MouseAction&) override {}
};

// ---- frames ----

void draw_root(CellGrid& g, void*) {
    if (root) face_layer::draw(g, *root);
}

// A frame is written when something happened that may change it (an event
// sent, a resize, the first pass) or when a redraw was asked for; an idle
// pass writes nothing.
void render() {
    if (!root) return;
    if (dirty) frame().redraw = true;
    if (!frame().redraw) return;
    dirty = false;
    int w = int(root->width()), h = int(root->height());
    bool caret = focus && (focus->flags & W_TYPES_KEYS);
    render_frame(w, h, caret, &draw_root, nullptr);
}

// ---- print hooks ----

void suspend_print() {
    if (!terminal_mode()) return;
    erase_frame(frame());
    console::flush();
}

void resume_print() {
    if (!terminal_mode()) return;
    frame().redraw = true;
    request_cursor();
}

void poll_hook(Cell*) { poll_events(); }

void resize_hook(int columns, int rows) { resized(columns, rows); }

struct Install {
    Install() {
        suspend_for_print = &suspend_print;
        resume_after_print = &resume_print;
        natives::system_hooks::poll_events = &poll_hook;
    }
} install_hooks;

// Destroys every widget and forgets all pointer state. Widgets outside the
// windows' trees go too: none may outlive the memory of a parent.
void drop_all_widgets() {
    while (!windows.empty()) free_widget(windows.back().window);
    for (Widget* w : std::vector<Widget*>(all_widgets)) free_widget(w);
    timers.clear();
    root = focus = hovered = captured = active = nullptr;
    pressed.clear();
    click_state = 0;
    click_time = 0;
    ticking = false;
}

}  // namespace

// ---- widgets ----------------------------------------------------------------------------------------

Widget* make_widget(Widget* parent) {
    ensure_marking();
    auto* w = new Widget();
    w->parent = parent;
    if (parent) parent->children.push_back(w);
    all_widgets.push_back(w);
    return w;
}

void free_widget(Widget* w) {
    if (!w || w->freed_) return;
    for (Widget* c : std::vector<Widget*>(w->children)) free_widget(c);
    face_layer::widget_freed(*w);
    w->freed_ = true;
    if (w->parent) {
        auto& sib = w->parent->children;
        sib.erase(std::remove(sib.begin(), sib.end(), w), sib.end());
    }
    if (focus == w) focus = nullptr;
    if (hovered == w) hovered = nullptr;
    if (captured == w) captured = nullptr;
    pressed.erase(std::remove(pressed.begin(), pressed.end(), w), pressed.end());
    timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.widget == w; }),
                 timers.end());
    for (WindowRecord& r : windows)
        if (r.focus == w) r.focus = nullptr;
    if (w->flags & W_TYPES_KEYS)
        if (WindowRecord* r = record_of(window_of(w))) r->extent.typed_keys--;
    if (record_of(w)) remove_window(w);
    all_widgets.erase(std::remove(all_widgets.begin(), all_widgets.end(), w), all_widgets.end());
    // Code further down the stack may still hold it: released when nothing can.
    freed_widgets.push_back(w);
    if (holds == 0 && running == 0) collect_freed_widgets();
}

WidgetHold::WidgetHold() { holds++; }

WidgetHold::~WidgetHold() {
    // Inside a loop the memory goes at the end of the outermost pass instead.
    if (--holds == 0 && running == 0) collect_freed_widgets();
}

void collect_freed_widgets() {
    for (Widget* w : freed_widgets) delete w;
    freed_widgets.clear();
}

// ---- windows -------------------------------------------------------------------------------------

void add_window(Widget* window) {
    WindowExtent extent;
    extent.right = window->width();
    extent.bottom = window->height();
    windows.push_back({window, focus ? nullptr : window, extent, false});
    root = window;
    if (!focus) focus = window;
    if (window->flags & W_FULLSCREEN) set_fullscreen_wanted(true);
}

void activate_window(Widget* window) {
    WindowRecord* r = record_of(window);
    if (!r) return;
    root = window;
    Widget* f = r->focus ? r->focus : window;
    if (focus && focus != f) focus->flags &= ~W_FOCUSED;
    focus = f;
    // Showing the active window again (a facet of it changed, a dragged face
    // moved) keeps the pointer's state: a drag or a click goes on.
    if (window == active) return;
    active = window;
    hovered = captured = nullptr;
    pressed.clear();
}

void focus_on_show(Widget* window, Widget* asked) {
    WindowRecord* r = record_of(window);
    if (!r || r->shown) return;
    r->shown = true;
    if (asked && (asked == window || asked->freed_ || window_of(asked) != window || !usable(asked) ||
                  (asked->flags & W_HIDDEN)))
        asked = nullptr;
    Widget* target = asked ? asked : r->focus;
    if (!target || target == window) return;
    r->focus = target;
    if (root != window) return;
    if (focus && focus != target) focus->flags &= ~W_FOCUSED;
    focus = target;
    target->flags |= W_FOCUSED;
    send_to_widget(event::FOCUS, target, 0, 0, 0);
}

void widget_made(Widget* w) {
    if (!w || w->freed_) return;
    Widget* win = window_of(w);
    WindowRecord* r = record_of(win);
    if (!r) return;
    if (w != win) {
        float x, y;
        position_in_window(w, &x, &y);
        WindowExtent& e = r->extent;
        float right = x + std::max(w->width(), 0.0f), bottom = y + std::max(w->height(), 0.0f);
        // A box of no finite size covers nothing.
        if (std::isfinite(x) && std::isfinite(y) && std::isfinite(right) && std::isfinite(bottom)) {
            e.left = std::min(e.left, x);
            e.top = std::min(e.top, y);
            e.right = std::max(e.right, right);
            e.bottom = std::max(e.bottom, bottom);
        }
        if (w->flags & W_TYPES_KEYS) e.typed_keys++;
    }
    if (!(w->flags & W_FOCUSABLE) || (r->focus && r->focus != win)) return;
    r->focus = w;
    if (root == win) {
        if (focus) focus->flags &= ~W_FOCUSED;
        focus = w;
        w->flags |= W_FOCUSED;
    }
}

void set_types_keys(Widget* w) {
    if (!w || w->freed_ || (w->flags & W_TYPES_KEYS)) return;
    w->flags |= W_TYPES_KEYS;
    if (WindowRecord* r = record_of(window_of(w))) r->extent.typed_keys++;
}

bool window_extent(const Widget* window, WindowExtent* out) {
    const WindowRecord* r = record_of(window);
    if (!r) return false;
    *out = r->extent;
    return true;
}

void reparent(Widget* w, Widget* parent) {
    if (!w || !parent || w->freed_ || parent->freed_) return;
    if (!w->parent || w->parent == parent || w == parent || is_ancestor(w, parent)) return;
    WindowRecord* from = record_of(window_of(w));
    WindowRecord* to = record_of(window_of(parent));
    auto& sib = w->parent->children;
    sib.erase(std::remove(sib.begin(), sib.end(), w), sib.end());
    w->parent = parent;
    parent->children.push_back(w);
    if (from == to) return;
    // Typed-key widgets and the remembered focus belong to the window the
    // widgets are in now.
    std::vector<Widget*> moved{w};
    for (size_t i = 0; i < moved.size(); i++)
        for (Widget* c : moved[i]->children) moved.push_back(c);
    for (Widget* m : moved) {
        if (m->flags & W_TYPES_KEYS) {
            if (from) from->extent.typed_keys--;
            if (to) to->extent.typed_keys++;
        }
        if (from && from->focus == m) from->focus = nullptr;
    }
}

void remove_window(Widget* window) {
    auto it = std::find_if(windows.begin(), windows.end(), [&](const WindowRecord& r) { return r.window == window; });
    if (it == windows.end()) return;
    windows.erase(it);
    if (root == window) root = nullptr;
    if (active == window) active = nullptr;
    if (!windows.empty()) {
        activate_window(windows.back().window);
    } else {
        root = focus = hovered = captured = active = nullptr;
        pressed.clear();
    }
}

int window_count() { return int(windows.size()); }
int widget_count() { return int(all_widgets.size()); }
Widget* root_widget() { return root; }
Widget* focus_widget() { return focus; }
Widget* hovered_widget() { return hovered; }
Widget* captured_widget() { return captured; }

void set_awake(const Cell& function) {
    ensure_marking();
    awake_fn = function;
}

// ---- time ---------------------------------------------------------------------------------------

int64_t LoopClock::now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool LoopClock::wait(int timeout_ms) { return wait_for_input(timeout_ms); }

void set_clock(LoopClock* c) { clock_ = c ? c : &default_clock; }

// ---- the loop ------------------------------------------------------------------------------------

void post_quit_msg() { level--; }

int loop_level() { return level; }

LoopStats& loop_stats() { return stats; }

void poll_events() {
    if (terminal_mode()) do_events(true);
}

bool do_events(bool no_wait) {
    // Any loop started while another runs shares its terminal set-up.
    bool inner = no_wait || running > 0;
    int remembered = level;
    if (!no_wait) level++;
    if (!inner) {
        enter_terminal();
        set_resize_handler(&resize_hook);
        if (fullscreen_wanted()) enter_alt_screen();
        bool want = face_layer::mouse_wanted();
        if (want && !mouse_reporting()) mouse_on();
        if (!want && mouse_reporting()) mouse_off();
        last_tick = clock_->now_ms();
        ticking = true;
        dirty = true;
    } else if (!no_wait) {
        clear_input();
    }
    // The outermost loop gives the terminal back however it ends (a quit
    // request unwinds through here too).
    struct Outermost {
        bool active;
        ~Outermost() {
            if (!active) return;
            // An answer to a cursor request still on its way would reach
            // whatever reads the terminal next: it is waited for briefly.
            for (int i = 0; i < 4 && cursor_requests_outstanding() > 0; i++) {
                if (!clock_->wait(25)) continue;
                read_console_input(true);
                IgnoringSink ignore;
                decode_input(ignore, clock_->now_ms());
            }
            frame_done(frame(), grid().height());
            if (mouse_reporting()) mouse_off();
            leave_alt_screen();
            show_cursor();
            leave_terminal();
            read_console_input(false);
            clear_input();
            drop_all_widgets();
            reset_frame(frame(), grid());
            set_fullscreen_wanted(false);
            // A loop run by code that holds widgets (a dispatch outside any
            // loop): the last hold's end releases them.
            if (holds == 0) collect_freed_widgets();
        }
    } outermost{!inner};
    // A quit request unwinding through the loop leaves the level as found.
    struct Running {
        int remembered;
        int unwinding = std::uncaught_exceptions();
        explicit Running(int r) : remembered(r) { running++; }
        ~Running() {
            running--;
            if (std::uncaught_exceptions() > unwinding) level = remembered;
        }
    } running_guard{remembered};

    bool got_input = false;
    int64_t d = 0;  // the previous pass's work, in ms
    LoopSink sink;
    for (;;) {
        bool leave = false;
        stats.passes++;
        uint32_t code = frame::catch_region(code::CATCH_ALL, [&] {
            int n = read_console_input(true);
            got_input = n > 0;
            if (no_wait) {
                if (n == 0) {
                    leave = true;
                    return;
                }
            } else if (d < FRAME_MS) {
                stats.waits++;
                stats.waited_ms += FRAME_MS - d;
                // Waiting for input: Ctrl-C is a key again.
                code_running(false);
                // What arrives during the wait is decoded in this pass.
                if (clock_->wait(int(FRAME_MS - d)) && read_console_input(true) > 0) got_input = true;
            }
            // Continued after a stop: the frame is drawn afresh where the cursor is now.
            if (take_screen_reset()) {
                reset_frame(frame(), grid());
                if (!alt_screen_active()) request_cursor();
            }
            int64_t start = clock_->now_ms();
            advance_timers();
            // Input before the frame, so that its effect shows in this frame.
            decode_input(sink, clock_->now_ms());
            render();
            d = clock_->now_ms() - start;
#ifdef KRO_FUZZ_SANDBOX
            // Input never comes to a sandboxed run: one pass, then the loop ends as if closed.
            if (!no_wait) post_quit_msg();
#endif
        });
        if (code != 0) {
            runtime_context.thrown_code = 0;
            post_quit_msg();
        }
        if (holds == 0 && running == 1) collect_freed_widgets();
        if (leave || no_wait || level <= remembered) break;
    }
    if (inner) {
        read_console_input(false);
        clear_input();
        // The code that ran this loop goes on (a handler that opened a dialog).
        if (!no_wait) code_running(true);
    }
    return got_input;
}

// ---- timers --------------------------------------------------------------------------------------

void add_timer(Widget* w, int32_t interval_ms, bool one_shot) {
    if (!w || w->freed_) return;
    timers.push_back({next_timer_id++, one_shot, false, 0, interval_ms, w});
}

void remove_timer(Widget* w) {
    for (auto it = timers.rbegin(); it != timers.rend(); ++it) {
        if (it->widget == w) {
            timers.erase(std::next(it).base());
            return;
        }
    }
}

int timer_count() { return int(timers.size()); }

// ---- events ---------------------------------------------------------------------------------------

int dispatch_event(int32_t type, const event::Record& record, uint32_t flags) {
    if (!awake_fn.is(TYPE_FUNCTION) && !awake_fn.is(TYPE_ROUTINE) && !awake_fn.is(TYPE_NATIVE)) return 0;
    if (!done_symbol) {
        done_symbol = symbol::resolve(symbol::make("done"));
        awake_name = context::add_global_word(symbol::make("awake"));
    }
    event::LiveRecord live(record);
    gc::Rooted ev(event::make_backend(type, live, flags));
    gc::Rooted fn(awake_fn);
    gc::Rooted name(awake_name);
    bool traced = trace::tracing;
    trace::tracing = false;
    Cell* top = stack::top_ptr;
    Cell result = none::value;
    uint32_t code;
    {
        WidgetHold hold;
        code_running(true);
        // A barrier: whatever awake throws stays here and counts as not done.
        code = frame::catch_region(code::CATCH_ALL, [&] {
            interp::call_back(fn.get(), ev.get(), 1, name.get(), 0);
            result = *(stack::top_ptr - 1);
        });
    }
    if (code) runtime_context.thrown_code = 0;
    stack::top_ptr = top;
    trace::tracing = traced;
    return result.is(TYPE_WORD) && symbol::resolve(int32_t(result.data2)) == done_symbol ? 1 : 0;
}

void request_redraw() { dirty = true; }

int send_to_widget(int32_t type, Widget* w, float x, float y, uint32_t flags, int32_t value) {
    if (!usable(w)) return 0;
    WidgetHold hold;
    dirty = true;
    event::Record r;
    r.face = &w->face;
    r.x = x;
    r.y = y;
    r.value = value;
    if (w->on_event) w->on_event(*w, type, r);
    if (w->freed_ || !w->face.is(TYPE_OBJECT)) return 0;
    return dispatch_event(type, r, flags);
}

namespace {

// Sends an event the widget's handler and, unless an awake dispatch of the
// same action already happened below it (awake bubbles to the ancestors'
// actors by itself), awake.
int send_bubbling(int32_t type, Widget* w, float x, float y, uint32_t flags, bool* dispatched) {
    if (!usable(w)) return 0;
    if (!*dispatched) {
        bool has_face = w->face.is(TYPE_OBJECT);
        int done = send_to_widget(type, w, x, y, flags);
        if (has_face) *dispatched = true;
        return done;
    }
    event::Record r;
    r.face = &w->face;
    r.x = x;
    r.y = y;
    if (w->on_event) w->on_event(*w, type, r);
    return 0;
}

struct ButtonResult {
    bool button_done = false;
    bool click_done = false;
    bool dbl = false;
    bool button_sent = false;  // awake saw the button event below
    bool click_sent = false;
};

ButtonResult button_at(int32_t type, Widget* w, float x, float y, uint32_t flags, bool at_root) {
    bool press = (type & 1) != 0;
    ButtonResult res;
    if (press && at_root) captured = hovered;
    float cx, cy;
    Widget* child = hit_test(w, x, y, &cx, &cy);
    if (child) res = button_at(type, child, cx, cy, flags, false);
    if (w->freed_) return res;
    if (!res.button_done && send_bubbling(type, w, x, y, flags, &res.button_sent)) res.button_done = true;
    if (press) {
        if (!w->freed_) pressed.push_back(w);
    } else if (!res.click_done && std::find(pressed.begin(), pressed.end(), w) != pressed.end()) {
        bool dbl = res.dbl || (click_state == 2 && since(click_time) < 500);
        bool sent = res.click_sent;
        if (send_bubbling(event::CLICK, w, x, y, flags, &res.click_sent)) res.click_done = true;
        if (dbl && !w->freed_) {
            bool sent_dbl = sent;
            if (send_bubbling(event::DBL_CLICK, w, x, y, flags, &sent_dbl)) res.click_done = true;
            click_state = 10;
            res.dbl = true;
        }
        if (!child && !w->freed_ && (w->flags & W_FOCUSABLE) && !(w->flags & W_FOCUSED)) set_focus(w);
    }
    return res;
}

}  // namespace

void key_input(Widget* w, int32_t key, bool special, uint32_t flags) {
    if (!w) w = focus;
    if (!usable(w)) return;
    WidgetHold hold;
    if (special && key == 10) {
        key = 9;
        special = false;
        flags |= event::FLAG_SHIFT;
    }
    if (key == 0) return;
    dirty = true;
    if (special) flags |= event::FLAG_SPECIAL;
    event::Record r;
    r.face = &w->face;
    r.value = key;
    bool has_face = w->face.is(TYPE_OBJECT);
    if (has_face && dispatch_event(event::KEY_DOWN, r, flags)) return;
    if (w->freed_) return;
    if (has_face && w->face.is(TYPE_OBJECT) && dispatch_event(event::KEY, r, flags)) return;
    if (!w->freed_ && w->on_event) w->on_event(*w, event::KEY, r);
}

void set_focus(Widget* w) {
    if (!w || w == focus) return;
    WidgetHold hold;
    Widget* old = focus;
    if (old) {
        old->flags &= ~W_FOCUSED;
        send_to_widget(event::UNFOCUS, old, 0, 0, 0);
    }
    if (w->freed_) return;
    if (WindowRecord* r = record_of(window_of(w))) r->focus = w;
    focus = w;
    w->flags |= W_FOCUSED;
    send_to_widget(event::FOCUS, w, 0, 0, 0);
}

void pointer_move(float x, float y, uint32_t flags) {
    if (!root) return;
    WidgetHold hold;
    // The path under the pointer, outermost first, with positions relative to each.
    struct Step {
        Widget* w;
        float x, y;
    };
    std::vector<Step> path{{root, x, y}};
    for (;;) {
        float cx, cy;
        Widget* c = hit_test(path.back().w, path.back().x, path.back().y, &cx, &cy);
        if (!c) break;
        path.push_back({c, cx, cy});
    }
    Widget* deepest = path.back().w;
    std::vector<Widget*> sent;
    if (deepest != hovered) {
        // Left: what was under the pointer and no longer is, deepest first.
        Widget* old = hovered;
        for (Widget* h = old; h; h = h->parent) {
            bool still = std::any_of(path.begin(), path.end(), [&](const Step& s) { return s.w == h; });
            if (still) break;
            if (h == captured) h->flags |= W_LEFT_PRESSED;
            send_to_widget(event::OVER, h, last_x, last_y, flags | event::FLAG_AWAY);
        }
        // Entered: what is newly under it, outermost first.
        for (const Step& s : path) {
            bool was = s.w == old || is_ancestor(s.w, old);
            if (was) continue;
            if (s.w->freed_) break;
            s.w->flags &= ~W_LEFT_PRESSED;
            send_to_widget(event::OVER, s.w, s.x, s.y, flags);
            sent.push_back(s.w);
        }
        hovered = deepest->freed_ ? nullptr : deepest;
    }
    last_x = path.back().x;
    last_y = path.back().y;
    // All-over widgets hear every move, deepest first, unless one below answered done.
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        Widget* w = it->w;
        if (w->freed_) continue;
        if (!(w->flags & W_ALL_OVER) || std::find(sent.begin(), sent.end(), w) != sent.end()) continue;
        if (send_to_widget(event::OVER, w, it->x, it->y, flags)) break;
    }
    // A widget dragged from keeps hearing the pointer when it wants every move.
    if (captured && (captured->flags & W_LEFT_PRESSED) && (captured->flags & W_ALL_OVER) &&
        std::none_of(path.begin(), path.end(), [&](const Step& s) { return s.w == captured; })) {
        float ox, oy;
        position_in_window(captured, &ox, &oy);
        send_to_widget(event::OVER, captured, x - ox, y - oy, flags);
    }
}

void mouse_button(int32_t type, float x, float y, uint32_t flags) {
    if (!root) return;
    WidgetHold hold;
    bool press = (type & 1) != 0;
    button_at(type, root, x, y, flags, true);
    if (press) return;
    if (captured && (captured->flags & W_LEFT_PRESSED)) {
        float ox, oy;
        position_in_window(captured, &ox, &oy);
        Widget* c = captured;
        c->flags &= ~W_LEFT_PRESSED;
        send_to_widget(type, c, x - ox, y - oy, flags);
    }
    captured = nullptr;
    pressed.clear();
    click_state = click_state == 10 ? 0 : 2;
    click_time = clock_->now_ms();
}

void wheel(float delta, float x, float y, uint32_t flags) {
    if (!root) return;
    WidgetHold hold;
    dirty = true;
    std::function<bool(Widget*, float, float)> at = [&](Widget* w, float wx, float wy) -> bool {
        float cx, cy;
        Widget* c = hit_test(w, wx, wy, &cx, &cy);
        if (c && at(c, cx, cy)) return true;
        if (w->freed_ || !w->face.is(TYPE_OBJECT) || !usable(w)) return false;
        event::Record r;
        r.face = &w->face;
        r.x = wx;
        r.y = wy;
        r.delta = delta;
        if (w->on_event) w->on_event(*w, event::WHEEL, r);
        if (!w->freed_) dispatch_event(event::WHEEL, r, flags);
        return true;
    };
    at(root, x, y);
}

void resized(int columns, int rows) {
    dirty = true;
    WidgetHold hold;
    for (const WindowRecord& r : std::vector<WindowRecord>(windows)) {
        Widget* w = r.window;
        if (w->freed_) continue;
        event::Record rec;
        rec.face = &w->face;
        if (w->on_event) w->on_event(*w, event::RESIZE, rec);
        if (!w->freed_ && w->face.is(TYPE_OBJECT)) dispatch_event(event::RESIZE, rec, 0);
    }
    if (alt_screen_active()) render();
}

void reset_loop_state() {
    drop_all_widgets();
    collect_freed_widgets();
    level = 0;
    dirty = false;
    last_x = last_y = 0;
    stats = LoopStats{};
    awake_fn = none::value;
    clock_ = &default_clock;
}

}  // namespace kro::tui
