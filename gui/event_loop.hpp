// The text back-end's event loop: one loop on the interpreter's thread that,
// pass after pass, reads the terminal's input, waits out the rest of a 33 ms
// frame (input ends the wait early), advances the timers, renders the frame
// and turns the decoded keys and mouse actions into events for the widgets
// they concern and for the language's awake function. Loops nest: a handler
// that opens a window runs an inner loop inside the outer pass.
//
// Widgets: the back-end's records of shown faces. The views of faces create
// and destroy them; this file keeps the window list, focus, hover, capture,
// clicks and timers over them. What the loop needs of the face model goes
// through FaceLayer, whose default is a stand-in (see there).
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "datatypes/event.hpp"
#include "foundation/cell.hpp"

namespace kro::tui {

class CellGrid;

// ---- widget records ---------------------------------------------------------------------------

// Widget record bits this loop reads or sets.
constexpr uint32_t W_HIDDEN = 0x00020000;       // skipped by hit testing
constexpr uint32_t W_DISABLED = 0x00040000;     // receives no events
constexpr uint32_t W_ALL_OVER = 0x00100000;     // `over` on every pointer move
constexpr uint32_t W_TYPES_KEYS = 0x00200000;   // takes typed keys: the caret is shown
constexpr uint32_t W_FOCUSABLE = 0x00400000;
constexpr uint32_t W_LEFT_PRESSED = 0x01000000;  // the pointer left it while a button was held on it
constexpr uint32_t W_FOCUSED = 0x02000000;
constexpr uint32_t W_FULLSCREEN = 0x40000000;   // a window that wants the whole screen

struct Widget;
// The widget type's own behaviour for an event that reaches it (editing a
// field, moving through a list).
using WidgetHandler = std::function<void(Widget& w, int32_t type, const event::Record& record)>;

struct Widget {
    uint32_t flags = 0;
    // Position and size in cells relative to the parent: right = left + width.
    float left = 0, top = 0, right = 0, bottom = 0;
    Widget* parent = nullptr;
    // The child widgets, in the order of the face's pane (kept by the views).
    std::vector<Widget*> children;
    WidgetHandler on_event;
    // The face the widget stands for (none for internal widgets); the
    // back-end's mark callback keeps it alive and current.
    Cell face{uint32_t(TYPE_NONE), 0, 0, 0};

    // Set by free_widget: code that held the widget across a dispatch checks it.
    bool freed_ = false;

    float width() const { return right - left; }
    float height() const { return bottom - top; }
};

// A new zeroed widget under parent (appended to its children), or a window
// root when parent is null.
Widget* make_widget(Widget* parent);
// Frees a widget and its children: every reference of the loop to them goes
// (focus, hover, capture, pressed list, timers, window record). While a
// dispatch runs, the memory itself is released after the pass.
void free_widget(Widget* w);
void collect_freed_widgets();

// ---- windows -------------------------------------------------------------------------------------

// Adds a window record for a window widget: it becomes the root widget, and
// the focus when there is none; a fullscreen window asks for the alternate
// screen.
void add_window(Widget* window);
// Makes a window current: its remembered focus widget (or the window) takes
// the focus; hover, capture and pressed list are cleared.
void activate_window(Widget* window);
// Takes the window's record out of the list; the last window left becomes current.
void remove_window(Widget* window);
int window_count();
Widget* root_widget();
Widget* focus_widget();
Widget* hovered_widget();
Widget* captured_widget();

// ---- what the loop calls of the face model -----------------------------------------------------

// STAND-IN until the face model and the widget renderer exist: the default
// layer walks Widget::children for a widget's pane, draws nothing into the
// grid, keeps mouse reporting off (the platform's `mouse-event?`) and does
// nothing when a widget is freed. The views of faces install the real layer.
class FaceLayer {
public:
    virtual ~FaceLayer() = default;
    // The widgets of the faces in w's face's pane, first to last (null for a
    // face that has no widget).
    virtual void pane_widgets(const Widget& w, std::vector<Widget*>& out) { out = w.children; }
    // Draws the window's widget tree into the grid.
    virtual void draw(CellGrid& grid, Widget& root) {}
    // Whether mouse reporting is wanted for the next outermost loop.
    virtual bool mouse_wanted() { return false; }
    // A widget is being freed: the face that holds it must forget it.
    virtual void widget_freed(Widget& w) {}
};
// nullptr puts the stand-in back.
void set_face_layer(FaceLayer* layer);

// The language's dispatcher of events (the face model installs
// system/view/awake): a function of one argument, the event. none: no dispatch.
void set_awake(const Cell& function);

// ---- time ---------------------------------------------------------------------------------------

// The frame clock and the wait on input. The default is the steady clock and
// a poll on the input terminal; tests put in a clock of their own.
class LoopClock {
public:
    virtual ~LoopClock() = default;
    virtual int64_t now_ms();
    // Waits up to timeout_ms for input; true when something arrived.
    virtual bool wait(int timeout_ms);
};
// nullptr puts the default back.
void set_clock(LoopClock* clock);

constexpr int FRAME_MS = 33;

// ---- the loop ------------------------------------------------------------------------------------

// Runs the loop: passes until the loop level drops to where this loop found
// it (post_quit_msg), or one pass with no_wait. Answers whether the last pass
// read input.
bool do_events(bool no_wait);
// Ends the innermost waiting loop at the end of its current pass.
void post_quit_msg();
// One no-wait pass while terminal mode is on (a script's `wait`); nothing otherwise.
void poll_events();
int loop_level();

// Counters for tests: passes run, waits made (every idle pass waits once,
// never with a zero timeout) and the sum of their timeouts.
struct LoopStats {
    int64_t passes = 0;
    int64_t waits = 0;
    int64_t waited_ms = 0;
};
LoopStats& loop_stats();

// ---- timers --------------------------------------------------------------------------------------

// A timer that sends `time` to the widget every interval_ms (0 or less: every pass).
void add_timer(Widget* w, int32_t interval_ms, bool one_shot = false);
// Removes the last timer of the widget.
void remove_timer(Widget* w);
int timer_count();

// ---- events ---------------------------------------------------------------------------------------

// Dispatches a back-end event to awake (tracing off, every throw stopped
// there); 1 when awake answered the word done, else 0.
int dispatch_event(int32_t type, const event::Record& record, uint32_t flags);
// The widget's own handler, then awake when it has a face; nothing for a
// disabled widget. Answers the dispatch's result.
int send_to_widget(int32_t type, Widget* w, float x, float y, uint32_t flags);
// A key for a widget (the focus when null): key-down, then key unless that
// was done, then the widget's own handler unless that was done too.
void key_input(Widget* w, int32_t key, bool special, uint32_t flags = 0);
// Pointer actions relative to the root widget.
void pointer_move(float x, float y, uint32_t flags);
void mouse_button(int32_t type, float x, float y, uint32_t flags);
void wheel(float delta, float x, float y, uint32_t flags);
void set_focus(Widget* w);
// Every window's handler, and awake, get `resize`.
void resized(int columns, int rows);

// Everything back to the starting state (windows freed, timers gone, focus,
// hover and counters cleared) without writing to the terminal (tests).
void reset_loop_state();

}  // namespace kro::tui
