#include "gui/face_types.hpp"

#include <algorithm>
#include <cmath>

#include "datatypes/block.hpp"
#include "datatypes/map.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "foundation/char_width.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "gui/terminal_input.hpp"
#include "gui/terminal_control.hpp"
#include "gui/text_measure.hpp"
#include "gui/views.hpp"
#include "gui/widget_render.hpp"

namespace kro::tui {

using gui::field_or_none;
using gui::is_word;
using gui::words;

namespace {

int cells_of(float f) {
    if (!std::isfinite(f)) return 0;
    return int(std::clamp(f, -1e6f, 1e6f));
}

bool is_type(const Widget& w, int32_t sym) { return w.type && symbol::same_word(w.type, sym); }

bool focused(const Widget& w) { return w.flags & W_FOCUSED; }

void place_cursor(int column, int row) {
    frame().caret_column = column;
    frame().caret_row = row;
}

// The result of a TUI-helpers function called with the widget's face.
void helper_update(Widget& w, const char* name, Cell* result = nullptr) {
    gc::Rooted face(w.face);
    gui::call_helper(name, face.get(), result);
}

// ---- window -------------------------------------------------------------------------------------

// The window's title is the terminal's to show, not the frame's.
void window_render(int x, int y, Widget& w) { render_face(x, y, w, RENDER_NO_TEXT); }

// A resized terminal is a resized screen: the screen face keeps its size.
void window_event(Widget& w, int32_t type, const event::Record&) {
    if (type != event::RESIZE) return;
    const Cell* screen = field_or_none(&w.face, gui::F_PARENT);
    Cell* size = gui::field(screen, gui::F_SIZE);
    if (size && size->is(TYPE_PAIR)) {
        size->data2 = uint32_t(columns());
        size->data3 = uint32_t(rows());
    }
}

// ---- base and carets ----------------------------------------------------------------------------

// A base whose options name a face after `caret` stands for that face's
// caret: the target takes typed keys, and while it has the focus the
// terminal's cursor goes where the base is drawn.
void scan_caret(Widget& w, bool rendering, int x, int y) {
    const Cell* options = field_or_none(&w.face, gui::F_OPTIONS);
    if (!options->is(TYPE_BLOCK)) return;
    int32_t n = block::length(options);
    if (n % 2) return;
    for (int32_t i = 0; i < n; i += 2) {
        if (!is_word(block::at(options, i), words().caret)) continue;
        w.flags |= W_CARET;
        const Cell* target_face = block::at(options, i + 1);
        Widget* target = target_face->is(TYPE_OBJECT) ? gui::face_handle(target_face) : nullptr;
        if (!target) continue;
        set_types_keys(target);
        if (rendering && focused(*target)) place_cursor(x, y);
    }
}

void base_render(int x, int y, Widget& w) {
    scan_caret(w, true, x, y);
    if (!(w.flags & W_CARET)) render_face(x, y, w, RENDER_DECODE_SGR);
}

// ---- field --------------------------------------------------------------------------------------

int inner_width(const Widget& w) { return std::max(cells_of(w.width()), 0); }

// Columns of the first count characters of a text.
int columns_of(const TextSpan& t, uint32_t count) {
    int c = 0;
    for (uint32_t i = 0; i < count && i < t.length; i++) c += unicode::char_width(t.at(i));
    return c;
}

// The face's text as a string, made an empty one when it is something else.
Cell* field_text(Widget& w) {
    Cell* text = gui::field(&w.face, gui::F_TEXT);
    if (!text) return nullptr;
    if (!text->is(TYPE_STRING)) {
        Cell fresh;
        string::ks_make_at(&fresh, 10);
        text = gui::field(&w.face, gui::F_TEXT);
        *text = fresh;
    }
    return text;
}

void field_update(Widget& w) { sync_caret(w); }

void field_render(int x, int y, Widget& w) {
    sync_caret(w);
    // A field is one row high whatever its size.
    float bottom = w.bottom;
    w.bottom = std::min(w.bottom, w.top + 1);
    uint32_t flags = RENDER_DECODE_SGR | ((w.flags & W_PASSWORD) ? CELL_PASSWORD : 0);
    render_face(x, y, w, flags);
    w.bottom = bottom;
    // After the last character of a full field the cursor stands just past it.
    if (focused(w)) place_cursor(x + w.caret.column, y);
}

void field_event(Widget& w, int32_t type, const event::Record& r) {
    if (type != event::CLICK && type != event::KEY) return;
    if (type == event::KEY && (r.value == 0 || r.value == 9 || r.value == 13)) return;
    Cell* text = field_text(w);
    if (!text) return;
    sync_caret(w);
    FieldCaret& c = w.caret;
    TextSpan t = text_of(text);
    bool edited = false;
    if (type == event::CLICK) {
        int limit = std::max(cells_of(r.x), 0);
        TextSize fit = measure_text(t, limit);
        c.index = fit.taken;
        c.column = fit.width;
    } else if (r.value == KEY_LEFT || r.value == 2) {
        if (c.index > 0) {
            c.index--;
            c.column -= unicode::char_width(t.at(uint32_t(c.index)));
        }
    } else if (r.value == KEY_RIGHT || r.value == 6) {
        if (uint32_t(c.index) < t.length) {
            c.column += unicode::char_width(t.at(uint32_t(c.index)));
            c.index++;
        }
    } else if (r.value == 8 || r.value == 127) {
        if (c.index > 0) {
            int w_ = unicode::char_width(t.at(uint32_t(c.index - 1)));
            Cell s = *text;
            string::ks_remove_char(&s, s.data1 + uint32_t(c.index - 1));
            c.index--;
            c.column -= w_;
            c.width -= w_;
            edited = true;
        }
    } else if (r.value >= 32) {
        uint32_t cp = uint32_t(r.value);
        int cw = unicode::char_width(cp);
        if (c.width + cw <= inner_width(w)) {
            Cell s = *text;
            string::insert_char(memory::buffer_of(s.data2), s.data1 + uint32_t(c.index), cp);
            c.index++;
            c.column += cw;
            c.width += cw;
            edited = true;
        }
    }
    request_redraw();
    // The text changed in place, behind the face model's back: the `change`
    // event is what brings the field's data up to date with it.
    if (edited) send_to_widget(event::CHANGE, &w, 0, 0, 0);
}

// ---- button -------------------------------------------------------------------------------------

void button_render(int x, int y, Widget& w) {
    render_face(x, y, w, RENDER_DECODE_SGR | (focused(w) ? STYLE_INVERSE : 0));
}

void button_event(Widget& w, int32_t type, const event::Record& r) {
    if (type != event::KEY || r.value == 0) return;
    if (r.value == ' ') send_to_widget(event::CLICK, &w, 0, 0, 0);
    request_redraw();
}

// ---- progress -----------------------------------------------------------------------------------

void progress_update(Widget& w) { helper_update(w, "make-progress-ui"); }
void progress_render(int x, int y, Widget& w) { render_face(x, y, w, 0); }

// ---- text list ----------------------------------------------------------------------------------

void list_update(Widget& w) { helper_update(w, "make-text-list-ui"); }

int32_t item_count(const Cell* data) {
    if (data->is(TYPE_BLOCK) || data->is(TYPE_HASH)) return block::length(data);
    if (data->is(TYPE_MAP)) return map::count(data);
    return 0;
}

void list_event(Widget& w, int32_t type, const event::Record& r) {
    // The selected line is marked only while the list holds the focus.
    if (type == event::FOCUS || type == event::UNFOCUS) {
        gui::run_update(w);
        request_redraw();
        return;
    }
    if (type != event::KEY && type != event::CLICK) return;
    gc::Rooted face(w.face);
    int32_t n = item_count(field_or_none(face.get(), gui::F_DATA));
    gc::Rooted old(*field_or_none(face.get(), gui::F_SELECTED));
    bool had = old.get()->is(TYPE_INTEGER);
    int32_t before = had ? int32_t(old.get()->data2) : 0;
    int32_t s = before, h = w.data;
    int32_t rows = std::max(cells_of(w.height()), 1);
    if (type == event::KEY) {
        if (r.value == KEY_UP) {
            if (s > 1) s--;
            if (s - 1 < h && h > 0) h--;
        } else if (r.value == KEY_DOWN) {
            if (s < n) s++;
            if (s - rows > h) h++;
        } else {
            return;
        }
    } else {
        // A click below the last item is a click on the last item.
        if (n == 0) return;
        int32_t row = std::max(cells_of(r.y), 0);
        s = std::min(h + row + 1, n);
        if (!had) before = -1;
    }
    bool scrolled = h != w.data;
    w.data = h;
    if (s == before) {
        if (scrolled) {
            gui::run_update(w);
            request_redraw();
        }
        return;
    }
    int done = send_to_widget(event::SELECT, &w, 0, 0, 0, s);
    if (w.freed_) return;
    const Cell* state = field_or_none(face.get(), gui::F_STATE);
    const Cell* now = field_or_none(face.get(), gui::F_SELECTED);
    bool unchanged = now->type() == old.get()->type() && now->data1 == old.get()->data1 &&
                     now->data2 == old.get()->data2 && now->data3 == old.get()->data3;
    if (!state->is(TYPE_BLOCK) || !unchanged) return;
    gui::set_field(face.get(), gui::F_SELECTED, Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(s), 0}, true);
    if (w.freed_) return;
    gui::run_update(w);
    request_redraw();
    if (!done && !w.freed_) send_to_widget(event::CHANGE, &w, 0, 0, 0, s);
}

// ---- check and radio ----------------------------------------------------------------------------

void mark_update(Widget& w, const char* helper) {
    Cell ui = none::value;
    helper_update(w, helper, &ui);
    // The mark is the helper's answer: while the widget is being made the
    // face's state does not name it yet, so the helper cannot store it itself.
    if (ui.is(TYPE_STRING) && !w.freed_) w.ui = ui;
}
void check_update(Widget& w) { mark_update(w, "make-checkbox-ui"); }
void radio_update(Widget& w) { mark_update(w, "make-radio-ui"); }

void mark_render(int x, int y, Widget& w) {
    render_face(x, y, w, RENDER_DECODE_SGR | RENDER_NO_TEXT | (focused(w) ? STYLE_INVERSE : 0));
}

void toggle_event(Widget& w, int32_t type, const event::Record& r, bool radio) {
    if (type == event::FOCUS) {
        request_redraw();
        return;
    }
    bool trigger = type == event::CLICK || (type == event::KEY && r.value == ' ');
    if (!trigger) return;
    gc::Rooted face(w.face);
    const Cell* data = field_or_none(face.get(), gui::F_DATA);
    Cell next = logic::true_value;
    if (!radio) {
        if (data->is(TYPE_NONE)) next = logic::true_value;
        else if (data->is(TYPE_LOGIC)) next = logic::make(!logic::get(data));
        else next = logic::false_value;
    }
    gui::set_field(face.get(), gui::F_DATA, next, true);
    if (w.freed_) return;
    gui::run_update(w);
    request_redraw();
    if (!w.freed_) send_to_widget(event::CHANGE, &w, 0, 0, 0);
}

void check_event(Widget& w, int32_t type, const event::Record& r) { toggle_event(w, type, r, false); }
void radio_event(Widget& w, int32_t type, const event::Record& r) { toggle_event(w, type, r, true); }

// ---- group box ----------------------------------------------------------------------------------

void group_render(int x, int y, Widget& w) {
    render_face(x, y, w, RENDER_DECODE_SGR | RENDER_NO_TEXT);
    CellGrid& g = grid();
    ClipBox clip = clip_box(x, y, w, g);
    if (clip.width() < 1 || clip.height() < 1) return;
    bool round = false;
    bool coloured = false;
    uint32_t colour = 0;
    const Cell* options = field_or_none(&w.face, gui::F_OPTIONS);
    if (options->is(TYPE_BLOCK)) {
        for (int32_t i = 0; i + 1 < block::length(options); i++) {
            const Cell* k = block::at(options, i);
            const Cell* v = block::at(options, i + 1);
            if (is_word(k, words().border_corners) && is_word(v, words().round)) round = true;
            if (is_word(k, words().border_color) && v->is(TYPE_TUPLE)) {
                coloured = true;
                colour = colour_of_tuple(v);
            }
        }
    }
    int right = x + cells_of(w.width()) - 1, bottom = y + cells_of(w.height()) - 1;
    auto touch = [&](int cx, int cy, uint32_t cp) {
        if (cx < clip.left || cx >= clip.right || cy < clip.top || cy >= clip.bottom) return;
        GridCell& c = g.at(cx, cy);
        if (cp) {
            c.cp = cp;
            c.flags &= ~CELL_CONTINUATION;
        }
        if (coloured) c.fg = colour;
    };
    for (int cy = y; cy <= bottom; cy++) {
        for (int cx = x; cx <= right; cx++) {
            bool top_row = cy == y, bottom_row = cy == bottom, left_col = cx == x, right_col = cx == right;
            uint32_t cp = 0;
            if (top_row && left_col) cp = round ? 0x256D : 0x250C;
            else if (top_row && right_col) cp = round ? 0x256E : 0x2510;
            else if (bottom_row && left_col) cp = round ? 0x2570 : 0x2514;
            else if (bottom_row && right_col) cp = round ? 0x256F : 0x2518;
            else if (left_col || right_col) cp = 0x2502;
            else if (top_row || bottom_row) cp = 0x2500;
            touch(cx, cy, cp);
        }
    }
    const Cell* text = field_or_none(&w.face, gui::F_TEXT);
    if (text->is(TYPE_STRING)) {
        RenderStyle style;
        const Cell* font = field_or_none(&w.face, gui::F_FONT);
        if (font->is(TYPE_OBJECT)) style.fg = colour_of_tuple(field_or_none(font, gui::FONT_COLOR));
        style.bg = colour_of_tuple(field_or_none(&w.face, gui::F_COLOR));
        draw_text(g, text, x + 1, y, clip, style, RENDER_DECODE_SGR, right + 1);
    }
}

// ---- rich text ----------------------------------------------------------------------------------

[[noreturn]] void invalid_at(const Cell* data, int32_t i) {
    Cell at = *data;
    at.data1 += uint32_t(i);
    fire("script", "draw-invalid", &at);
}

void rich_update(Widget& w) { build_styled(w); }

void rich_render(int x, int y, Widget& w) {
    // The styled cells are the text: drawing the plain text over them would
    // take their colours away.
    render_face(x, y, w, w.styled.empty() ? 0 : RENDER_NO_TEXT);
}

}  // namespace

// ---- public -------------------------------------------------------------------------------------

void sync_caret(Widget& w) {
    FieldCaret& c = w.caret;
    const Cell* text = field_or_none(&w.face, gui::F_TEXT);
    if (!text->is(TYPE_STRING)) {
        c = FieldCaret{};
        return;
    }
    TextSpan t = text_of(text);
    if (!c.text.is(TYPE_STRING) || c.text.data2 != text->data2 || c.text.data1 != text->data1) {
        TextSize fit = measure_text(t, inner_width(w));
        c.index = fit.taken;
        c.text = *text;
    }
    c.index = std::clamp<int32_t>(c.index, 0, int32_t(t.length));
    c.column = columns_of(t, uint32_t(c.index));
    c.width = columns_of(t, t.length);
}

void build_styled(Widget& w) {
    const gui::Words& k = words();
    w.styled.clear();
    gc::Rooted face(w.face);
    const Cell* text = field_or_none(face.get(), gui::F_TEXT);
    if (!text->is(TYPE_STRING)) return;
    TextSpan t = text_of(text);
    gc::Rooted data(*field_or_none(face.get(), gui::F_DATA));
    if (t.length == 0 || !data.get()->is(TYPE_BLOCK)) return;
    const Cell* color = field_or_none(face.get(), gui::F_COLOR);
    uint32_t bg = 0;
    if (color->is(TYPE_TUPLE) && (tuple::length(color) == 3 || (tuple::length(color) == 4 && tuple::byte_at(color, 3) != 255)))
        bg = rgb_to_256(tuple::byte_at(color, 0), tuple::byte_at(color, 1), tuple::byte_at(color, 2));
    std::vector<GridCell> cells(t.length);
    for (uint32_t i = 0; i < t.length; i++) cells[i] = GridCell{t.at(i), bg, COLOUR_DEFAULT, 0};
    int32_t n = int32_t(t.length);
    int32_t start = 0, length = 0;
    const Cell* d = data.get();
    int32_t count = block::length(d);
    const Cell* silent = gui::view_field("silent?");
    bool quiet = silent && silent->is(TYPE_LOGIC) && logic::get(silent);
    for (int32_t i = 0; i < count; i++) {
        const Cell* v = block::at(d, i);
        bool ok = true;
        if (v->is(TYPE_PAIR)) {
            start = std::clamp(int32_t(v->data2) - 1, 0, n);
            int32_t len = int32_t(v->data3);
            length = std::clamp(len, 0, n - start);
        } else if (v->is(TYPE_TUPLE)) {
            style_run(cells, start, length, RunStyle::foreground, colour_of_tuple(v));
        } else if (v->is(TYPE_STRING) || v->is(TYPE_INTEGER) || v->is(TYPE_FLOAT)) {
            // Font names and sizes mean nothing in a terminal.
        } else if (is_word(v, k.backdrop)) {
            const Cell* c = i + 1 < count ? block::at(d, i + 1) : nullptr;
            if (c && word::any_word_type(c->type()) && c->data1) {
                const Cell* val = word::value_cell(c);
                c = val && val->is(TYPE_TUPLE) ? val : nullptr;
            }
            if (c && c->is(TYPE_TUPLE)) {
                style_run(cells, start, length, RunStyle::background, colour_of_tuple(c));
                i++;
            } else {
                ok = false;
            }
        } else if (is_word(v, k.bold)) {
            style_run(cells, start, length, RunStyle::bold);
        } else if (is_word(v, k.italic)) {
            style_run(cells, start, length, RunStyle::italic);
        } else if (is_word(v, k.underline) || is_word(v, k.strike) || is_word(v, k.border)) {
            if (is_word(v, k.underline)) style_run(cells, start, length, RunStyle::underline);
            if (is_word(v, k.strike)) style_run(cells, start, length, RunStyle::strike);
            if (i + 1 < count && block::at(d, i + 1)->is(TYPE_TUPLE)) i++;
            if (i + 1 < count && block::at(d, i + 1)->is(TYPE_LIT_WORD)) i++;
        } else {
            ok = false;
        }
        if (!ok) {
            if (quiet) break;
            invalid_at(d, i);
        }
    }
    w.styled = std::move(cells);
}

void set_window_type(Widget& w) {
    w.on_render = &window_render;
    w.on_event = &window_event;
}

void set_face_type(Widget& w) {
    const gui::Words& k = words();
    if (is_type(w, k.base)) {
        scan_caret(w, false, 0, 0);
        w.on_render = &base_render;
    } else if (is_type(w, k.field)) {
        w.flags |= W_TYPES_KEYS;
        w.caret = FieldCaret{};
        sync_caret(w);
        w.on_update = &field_update;
        w.on_render = &field_render;
        w.on_event = &field_event;
    } else if (is_type(w, k.button)) {
        w.on_render = &button_render;
        w.on_event = &button_event;
    } else if (is_type(w, k.progress)) {
        w.on_update = &progress_update;
        w.on_render = &progress_render;
        gui::run_update(w);
    } else if (is_type(w, k.text_list)) {
        w.data = 0;
        w.on_update = &list_update;
        w.on_event = &list_event;
        gui::run_update(w);
    } else if (is_type(w, k.rich_text)) {
        build_styled(w);
        w.on_update = &rich_update;
        w.on_render = &rich_render;
    } else if (is_type(w, k.group_box)) {
        w.on_render = &group_render;
    } else if (is_type(w, k.check)) {
        w.data = 0;
        w.on_update = &check_update;
        w.on_render = &mark_render;
        w.on_event = &check_event;
        gui::run_update(w);
    } else if (is_type(w, k.radio)) {
        w.data = 0;
        w.on_update = &radio_update;
        w.on_render = &mark_render;
        w.on_event = &radio_event;
        gui::run_update(w);
    }
}

}  // namespace kro::tui
