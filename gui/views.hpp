// The back-end views of faces: the widget record behind every shown face,
// linked to the face through a handle! at the head of its `state` block;
// making, updating and destroying those records, the timers of the `rate`
// facet, the `image` facet as half-block character cells, and the back-end's
// start-up.
//
// A handle's value names a slot of the widget table and the slot's
// generation: once the widget is freed the slot's generation moves on, so a
// face still holding the old handle finds no widget instead of freed memory.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "gui/event_loop.hpp"

namespace kro::gui {

// Facet positions of face! (from 0).
enum Facet : int32_t {
    F_TYPE = 0, F_OFFSET, F_SIZE, F_TEXT, F_IMAGE, F_COLOR, F_MENU, F_DATA, F_ENABLED, F_VISIBLE,
    F_SELECTED, F_FLAGS, F_OPTIONS, F_PARENT, F_PANE, F_STATE, F_RATE, F_EDGE, F_PARA, F_FONT,
    F_ACTORS, F_EXTRA, F_DRAW,
};
// Field positions of font! and para! that the views use.
constexpr int32_t FONT_COLOR = 4;
constexpr int32_t FONT_STATE = 7;
constexpr int32_t FONT_PARENT = 8;
constexpr int32_t PARA_ALIGN = 3;
constexpr int32_t PARA_V_ALIGN = 4;
constexpr int32_t PARA_WRAP_Q = 5;
constexpr int32_t PARA_PARENT = 6;

// The value cell of an object's field by position, or null when the value is
// not an object with that many fields. Valid until something evaluates.
Cell* field(const Cell* object, int32_t position);
// field() or the shared none cell.
const Cell* field_or_none(const Cell* object, int32_t position);
// Stores a field by position; with notify the object's on-change* runs.
void set_field(const Cell* object, int32_t position, const Cell& value, bool notify);

// Whether a word cell (any word type) spells the symbol (case-insensitively).
bool is_word(const Cell* value, int32_t symbol);
// Symbols the back-end compares with, made once.
struct Words {
    int32_t window, screen, base, field, button, progress, text_list, rich_text, group_box, check, radio,
        drop_list, drop_down, tab_panel, caret, hint, border_corners, border_color, round, backdrop, bold,
        italic, underline, strike, border, remove, take, clear, move;
};
const Words& words();

// ---- widgets of faces -----------------------------------------------------------------------

// The widget of a face, or null (no state block, no handle first, or a handle
// of a widget since freed).
tui::Widget* face_handle(const Cell* face);
// The widget a handle! value names, or null.
tui::Widget* widget_of_handle(const Cell* handle);
// A handle! of the window class for a widget (the null handle for null).
Cell handle_of(const tui::Widget* w);

// The face flags of a `flags` facet (words, case-insensitively); an unknown
// word raises script/invalid-arg.
uint32_t get_flags(const Cell* flags);

tui::Widget* os_make_view(const Cell* face, tui::Widget* parent);
// Applies the change bits of the face's state block to its widget.
void os_update_view(const Cell* face);
// One change of a facet reported by the face model (new_value null: absent).
void os_update_facet(const Cell* owner, const Cell* word, const Cell* value, const Cell* action,
                     const Cell* new_value, int32_t index, int32_t part);
// Destroys the views of a face tree; ends the innermost loop when the face
// was a window.
void os_destroy_view(const Cell* face, bool empty);

bool has_focus(const tui::Widget* w);
int32_t widget_data(const tui::Widget* w);
// A string! to draw in place of the face's text; anything else clears it.
void set_widget_ui(tui::Widget* w, const Cell* text);
// The next frame is drawn again.
void refresh();
// Makes the window current (its focus widget hears `focus` the first time),
// then refreshes.
void show_window(tui::Widget* window);
// The loop dispatches to system/view/awake as it is now.
void take_awake();

// The terminal's columns x rows as a pair!.
Cell get_screen_size(int32_t id);
// A font change of kind 0-3 or 5 drops the font's back-end state.
void update_font(const Cell* font, int32_t kind);
// A para change: bit 0x40000 in the face's change bits.
void update_para(const Cell* face);

// Calls the widget's on-update with auto-sync off for the duration.
void run_update(tui::Widget& w);

// The rate facet as a timer interval in ms (0: no timer); a bad rate raises
// script/invalid-facet-type.
int32_t rate_interval(const Cell* rate);
// The image facet rendered into the widget's half-block cells.
void render_image(tui::Widget& w, const Cell* image);

// A field of system/view by name (null when there is none).
Cell* view_field(const char* name);

// Colour depth: 4 for 24-bit colour, 2 for 256 colours.
int colour_depth();
void set_colour_depth(int depth);

// Calls a function of the language's TUI-helpers object with one argument;
// the result in out. Answers false when there is no such function.
bool call_helper(const char* name, const Cell* argument, Cell* out);
bool call_helper(const char* name, const Cell* args, int32_t n, Cell* out);

// Back-end start-up: the platform's version, build and product, the colour
// depth, the face layer and the collector's callback.
void init();

// Everything the views keep, back to the start (tests).
void reset_views();

}  // namespace kro::gui
