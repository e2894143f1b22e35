// The text back-end's event loop: one loop on the interpreter's thread that,
// pass after pass, reads the terminal's input, waits out the rest of a 33 ms
// frame (input ends the wait early), advances the timers, renders the frame
// and turns the decoded keys and mouse actions into events for the widgets
// they concern and for the language's awake function. Loops nest: a handler
// that opens a window runs an inner loop inside the outer pass.
//
// Widgets: the back-end's records of shown faces. The views of faces create
// and destroy them (gui/views); this file keeps the window list, focus, hover,
// capture, clicks and timers over them. What the loop needs of the face model
// (panes, drawing, the mouse switch) is the face layer below.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "datatypes/event.hpp"
#include "foundation/cell.hpp"
#include "gui/cell_grid.hpp"

namespace kro::tui {

// ---- widget records ---------------------------------------------------------------------------

// Widget record bits.
constexpr uint32_t W_SIZE_PAIR = 0x00010000;    // the face's size was a pair!
constexpr uint32_t W_HIDDEN = 0x00020000;       // skipped by hit testing and drawing
constexpr uint32_t W_DISABLED = 0x00040000;     // receives no events
constexpr uint32_t W_ALL_OVER = 0x00100000;     // `over` on every pointer move
constexpr uint32_t W_TYPES_KEYS = 0x00200000;   // takes typed keys: the caret is shown
constexpr uint32_t W_FOCUSABLE = 0x00400000;
constexpr uint32_t W_LEFT_PRESSED = 0x01000000;  // the pointer left it while a button was held on it
constexpr uint32_t W_FOCUSED = 0x02000000;
constexpr uint32_t W_PASSWORD = 0x10000000;     // text drawn masked
constexpr uint32_t W_FULLSCREEN = 0x40000000;   // a window that wants the whole screen
constexpr uint32_t W_CARET = 0x80000000;        // a base face standing for another face's caret

struct Widget;
// The widget type's own behaviour for an event that reaches it (editing a
// field, moving through a list).
using WidgetHandler = std::function<void(Widget& w, int32_t type, const event::Record& record)>;
// The face's content must be rebuilt (a list's lines, a check box's mark).
using UpdateHandler = void (*)(Widget& w);
// Draws the widget into the grid with its top-left corner at grid cell (x, y).
using RenderHandler = void (*)(int x, int y, Widget& w);

// A field's caret: code points and display columns before it, and the display
// columns of the whole text, for the text it was last synchronised with (a
// copy of the string! value, which the loop's collector callback keeps
// current when the series moves).
struct FieldCaret {
    int32_t index = 0;
    int32_t column = 0;
    int32_t width = 0;
    Cell text{uint32_t(TYPE_NONE), 0, 0, 0};
};

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

    // ---- what the views of faces keep (gui/views, gui/face_types) ----
    int32_t type = 0;                   // symbol of the face's type word (0: none)
    UpdateHandler on_update = nullptr;  // null: nothing to rebuild
    RenderHandler on_render = nullptr;  // null: the generic face renderer
    uint32_t render_flags = 0;          // what the generic renderer is given
    // A string drawn in place of the face's text (check and radio marks);
    // marked by the loop's collector callback.
    Cell ui{uint32_t(TYPE_NONE), 0, 0, 0};
    int32_t data = 0;                   // per-type integer: a list's first visible line
    FieldCaret caret;
    std::vector<GridCell> styled;       // a rich-text face's characters with their styles
    std::vector<GridCell> image_cells;  // the image facet as half-block cells, row by row
    int32_t image_width = 0, image_height = 0;
    uint32_t handle = 0;                // the value of the face's handle! (0: none)

    // Set by free_widget: code that held the widget while language code ran checks it.
    bool freed_ = false;

    float width() const { return right - left; }
    float height() const { return bottom - top; }
};

// A new zeroed widget under parent (appended to its children), or a window
// root when parent is null.
Widget* make_widget(Widget* parent);
// Frees a widget and its children: every reference of the loop to them goes
// (focus, hover, capture, pressed list, timers, window record). The memory
// itself is released only once no WidgetHold lives and no loop runs (at once
// outside both), or at the end of the outermost loop's pass.
void free_widget(Widget* w);
void collect_freed_widgets();

// C++ code that keeps widgets while language code runs (a dispatch, a face
// type's helper, a change handler, the routines that make and update views)
// holds one: that code may free any widget, or all of them when it runs a
// waiting loop, and the memory must outlast the pointers held below it.
class WidgetHold {
public:
    WidgetHold();
    ~WidgetHold();
    WidgetHold(const WidgetHold&) = delete;
    WidgetHold& operator=(const WidgetHold&) = delete;
};

// ---- windows -------------------------------------------------------------------------------------

// Adds a window record for a window widget: it becomes the root widget, and
// the focus when there is none; a fullscreen window asks for the alternate
// screen.
void add_window(Widget* window);
// Makes a window current: its remembered focus widget (or the window) takes
// the focus; hover, capture and pressed list are cleared.
void activate_window(Widget* window);
// The first time a window is shown, the widget that holds its focus hears
// `focus` as a face given the focus later does: asked (the face the window
// names, when it is a usable widget of that window) or else the first
// focusable widget, which took the focus silently while the window was made.
// Nothing for a window whose focus is the window itself.
void focus_on_show(Widget* window, Widget* asked);
// A widget was made in a window (its box and flags set): the window's box
// grows to cover it, a widget that takes typed keys is counted, and a
// focusable widget made while its window's focus is the window itself (or
// nothing) takes the focus at once, without focus events. Nothing for a
// widget freed already (code run while it was made took it down).
void widget_made(Widget* w);
// Gives a widget the typed-keys flag (a field, a caret's target), counted by
// its window once.
void set_types_keys(Widget* w);
// What a window record keeps of the widgets made in it: the box (in cells,
// relative to the window, right and bottom exclusive) that has grown to cover
// every one of them, the window included, and how many of its live widgets
// take typed keys. False for a widget that is not an open window.
struct WindowExtent {
    float left = 0, top = 0, right = 0, bottom = 0;
    int typed_keys = 0;
};
bool window_extent(const Widget* window, WindowExtent* out);
// Moves a widget (with everything below it) under another parent, as its face
// moved from one pane into another; a widget that takes typed keys is counted
// by its new window, and an old window no longer gives it the focus. Nothing
// for a window, when the new parent lies below the widget or when either is
// freed.
void reparent(Widget* w, Widget* parent);
// Takes the window's record out of the list; the last window left becomes current.
void remove_window(Widget* window);
int window_count();
// Widgets not freed, in every window and outside any.
int widget_count();
Widget* root_widget();
Widget* focus_widget();
Widget* hovered_widget();
Widget* captured_widget();

// ---- what the loop calls of the face model -----------------------------------------------------
// Implemented by the views of faces (gui/views.cpp).
namespace face_layer {
// The widgets of the faces in w's face's pane, first to last (a widget
// without a face: its children).
void pane_widgets(const Widget& w, std::vector<Widget*>& out);
// Draws the window's widget tree into the grid.
void draw(CellGrid& grid, Widget& root);
// Whether mouse reporting is wanted for the next outermost loop (the
// platform's `mouse-event?`).
bool mouse_wanted();
// A widget is being freed: its handle goes stale and its face forgets it.
void widget_freed(Widget& w);
}  // namespace face_layer

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

// A timer that sends `time` to the widget every interval_ms (0 or less: every
// pass); none for a freed widget.
void add_timer(Widget* w, int32_t interval_ms, bool one_shot = false);
// Removes the last timer of the widget.
void remove_timer(Widget* w);
int timer_count();

// ---- events ---------------------------------------------------------------------------------------

// Dispatches a back-end event to awake (tracing off, every throw stopped
// there); 1 when awake answered the word done, else 0.
int dispatch_event(int32_t type, const event::Record& record, uint32_t flags);
// The widget's own handler, then awake when it has a face; nothing for a
// disabled widget. value: the event's key or picked value. Answers the
// dispatch's result.
int send_to_widget(int32_t type, Widget* w, float x, float y, uint32_t flags, int32_t value = 0);
// The next frame is drawn again from the widgets.
void request_redraw();
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
