#include "gui/widget_render.hpp"

#include <algorithm>
#include <cmath>

#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/char_width.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/runtime.hpp"
#include "gui/text_measure.hpp"
#include "gui/views.hpp"
#include "interpreter/stack.hpp"

namespace kro::tui {

DrawFaceHook draw_face_hook = nullptr;
DrawImageHook draw_image_hook = nullptr;

namespace {

// A float position or size in whole cells; what is not finite counts as 0 and
// far-off values are held where the arithmetic stays in range.
int cells_of(float f) {
    if (!std::isfinite(f)) return 0;
    if (f > 1e6f) return 1000000;
    if (f < -1e6f) return -1000000;
    return int(f);
}

// Control characters never reach the terminal as themselves: an ESC or a
// carriage return written into a cell would be a sequence of its own there.
int display_width(uint32_t cp) {
    if (cp < 32 || (cp >= 0x7F && cp < 0xA0)) return 0;
    return unicode::char_width(cp);
}

// An embedded CSI sequence starting at index i (the ESC) of a text: applied
// to the style; answers the index after it, or i when it is not one.
template <typename At>
uint32_t parse_sequence(At at, uint32_t n, uint32_t i, RenderStyle& style) {
    if (i + 1 >= n || at(i + 1) != '[') return i;
    uint32_t j = i + 2;
    int params[16];
    int count = 0;
    bool have = false;
    int value = 0;
    while (j < n) {
        uint32_t c = at(j);
        if (c >= '0' && c <= '9') {
            value = int((value * 10 + int(c - '0')) % 0xFFFF);
            have = true;
            j++;
            continue;
        }
        if (c == ';') {
            if (count < 16) params[count++] = have ? value : 0;
            value = 0;
            have = false;
            j++;
            continue;
        }
        break;
    }
    if (have && count < 16) params[count++] = value;
    if (j >= n) return j;  // the text ended inside the sequence: nothing more to draw
    uint32_t final = at(j);
    if (final == 'm') {
        if (count == 0) apply_sgr(style, 0);
        for (int k = 0; k < count; k++) {
            int p = params[k];
            if ((p == 38 || p == 48) && k + 2 < count && params[k + 1] == 5) {
                uint32_t code = colour256(params[k + 2]);
                (p == 38 ? style.fg : style.bg) = code;
                k += 2;
            } else if ((p == 38 || p == 48) && k + 4 < count && params[k + 1] == 2) {
                uint32_t code = colour_rgb(params[k + 2], params[k + 3], params[k + 4]);
                (p == 38 ? style.fg : style.bg) = code;
                k += 4;
            } else {
                apply_sgr(style, p);
            }
        }
        return j + 1;
    }
    // Cursor and erase sequences are accepted and change nothing on the grid;
    // another final byte ends the sequence and is taken with it.
    if (final >= 0x40 && final <= 0x7E) return j + 1;
    return j;
}

struct Walker {
    CellGrid& g;
    const ClipBox& clip;
    int x0;
    int wrap_right;
    bool wrap;
    int col, row;

    // false once the rows below the clip are reached.
    bool newline() {
        row++;
        col = x0;
        return row < clip.bottom;
    }
    // Where a character of width w goes; false when nothing more can be drawn.
    bool place(int w) {
        if (wrap && col > x0 && col + w > wrap_right) return newline();
        return true;
    }
    bool visible(int w) const {
        return row >= clip.top && row < clip.bottom && col >= clip.left && col + w <= clip.right;
    }
    void put(uint32_t cp, int w, uint32_t fg, uint32_t bg, bool set_bg, uint32_t style) {
        if (visible(w)) {
            GridCell& c = g.at(col, row);
            c.cp = cp;
            c.fg = fg;
            if (set_bg) c.bg = bg;
            c.flags = style;
            for (int k = 1; k < w; k++) {
                GridCell& cont = g.at(col + k, row);
                cont.cp = 0;
                cont.flags = CELL_CONTINUATION;
                if (set_bg) cont.bg = bg;
            }
        }
        col += w;
    }
};

bool is_non_empty_string(const Cell* c) { return c->is(TYPE_STRING) && string::length_of(c) > 0; }

// The string after the word `hint` in an options block, or null.
const Cell* hint_of(const Cell* options) {
    if (!options->is(TYPE_BLOCK)) return nullptr;
    int32_t n = block::length(options);
    for (int32_t i = 0; i + 1 < n; i++) {
        const Cell* k = block::at(options, i);
        if (gui::is_word(k, gui::words().hint)) {
            const Cell* v = block::at(options, i + 1);
            return v->is(TYPE_STRING) ? v : nullptr;
        }
    }
    return nullptr;
}

}  // namespace

uint32_t para_bits(const Cell* para) {
    static const int32_t center = symbol::make("center"), right = symbol::make("right"),
                         middle = symbol::make("middle"), bottom = symbol::make("bottom");
    if (!para->is(TYPE_OBJECT)) return 0;
    uint32_t bits = 0;
    const Cell* align = gui::field_or_none(para, gui::PARA_ALIGN);
    if (gui::is_word(align, center)) bits |= PARA_CENTER;
    else if (gui::is_word(align, right)) bits |= PARA_RIGHT;
    const Cell* valign = gui::field_or_none(para, gui::PARA_V_ALIGN);
    if (gui::is_word(valign, middle)) bits |= PARA_MIDDLE;
    else if (gui::is_word(valign, bottom)) bits |= PARA_BOTTOM;
    const Cell* wrap = gui::field_or_none(para, gui::PARA_WRAP_Q);
    if (wrap->is(TYPE_LOGIC) && logic::get(wrap)) bits |= PARA_WRAP;
    return bits;
}

void apply_sgr(RenderStyle& s, int code) {
    static const uint32_t bit_of[10] = {0, STYLE_BOLD, STYLE_DIM, STYLE_ITALIC, STYLE_UNDERLINE, STYLE_BLINK,
                                        0, STYLE_INVERSE, STYLE_HIDDEN, STYLE_STRIKE};
    if (code == 0) {
        s.fg = s.bg = COLOUR_DEFAULT;
        s.style = 0;
    } else if (code >= 1 && code <= 9) {
        s.style |= bit_of[code];
    } else if (code == 22) {
        // A terminal's 22 ends both intensities, bold and dim.
        s.style &= ~(STYLE_BOLD | STYLE_DIM);
    } else if (code >= 21 && code <= 29) {
        s.style &= ~bit_of[code - 20];
    } else if (code >= 30 && code <= 37) {
        s.fg = colour16(code - 30);
    } else if (code == 39) {
        s.fg = COLOUR_DEFAULT;
    } else if (code >= 40 && code <= 47) {
        s.bg = colour16(code - 40);
    } else if (code == 49) {
        s.bg = COLOUR_DEFAULT;
    } else if (code >= 90 && code <= 97) {
        s.fg = colour16(code - 80);
    } else if (code >= 100 && code <= 107) {
        s.bg = colour16(code - 90);
    }
}

ClipBox clip_box(int x, int y, const Widget& w, const CellGrid& g) {
    ClipBox c{x, y, x + cells_of(w.width()), y + cells_of(w.height())};
    int px = x - cells_of(w.left), py = y - cells_of(w.top);
    for (const Widget* p = w.parent; p && p->parent; p = p->parent) {
        c.left = std::max(c.left, px);
        c.top = std::max(c.top, py);
        c.right = std::min(c.right, px + cells_of(p->width()));
        c.bottom = std::min(c.bottom, py + cells_of(p->height()));
        px -= cells_of(p->left);
        py -= cells_of(p->top);
    }
    c.left = std::max(c.left, 0);
    c.top = std::max(c.top, 0);
    c.right = std::min(c.right, g.width());
    c.bottom = std::min(c.bottom, g.height());
    return c;
}

TextExtent text_extent(const Cell* text, int wrap_width, bool decode) {
    TextExtent e{0, 0};
    if (!text->is(TYPE_STRING)) return e;
    TextSpan span = text_of(text);
    auto at = [&](uint32_t i) { return span.at(i); };
    RenderStyle ignored;
    int line = 0;
    e.lines = 1;
    for (uint32_t i = 0; i < span.length;) {
        uint32_t cp = span.at(i);
        if (cp == 27 && decode) {
            uint32_t next = parse_sequence(at, span.length, i, ignored);
            if (next != i) {
                i = next;
                continue;
            }
        }
        i++;
        if (cp == '\n') {
            e.width = std::max(e.width, line);
            line = 0;
            e.lines++;
            continue;
        }
        int w = display_width(cp);
        if (wrap_width > 0 && line > 0 && line + w > wrap_width) {
            e.width = std::max(e.width, line);
            line = 0;
            e.lines++;
        }
        line += w;
    }
    e.width = std::max(e.width, line);
    return e;
}

void align_text(const TextExtent& e, int w, int h, uint32_t para, int* dx, int* dy) {
    *dx = *dy = 0;
    int free_x = w - e.width, free_y = h - e.lines;
    if (free_x > 0) {
        if (para & PARA_CENTER) *dx = free_x / 2;
        else if (para & PARA_RIGHT) *dx = free_x;
    }
    if (free_y > 0) {
        if (para & PARA_MIDDLE) *dy = free_y / 2;
        else if (para & PARA_BOTTOM) *dy = free_y;
    }
}

void draw_text(CellGrid& g, const Cell* text, int x, int y, const ClipBox& clip, RenderStyle style, uint32_t flags,
               int wrap_right) {
    if (!text->is(TYPE_STRING) || clip.width() < 1 || clip.height() < 1) return;
    TextSpan span = text_of(text);
    auto at = [&](uint32_t i) { return span.at(i); };
    bool decode = flags & RENDER_DECODE_SGR;
    uint32_t forced = flags & RENDER_STYLE_MASK;
    Walker wk{g, clip, x, wrap_right, (style.para & PARA_WRAP) != 0, x, y};
    if (wk.row >= clip.bottom) return;
    for (uint32_t i = 0; i < span.length;) {
        uint32_t cp = span.at(i);
        if (cp == 27 && decode) {
            uint32_t next = parse_sequence(at, span.length, i, style);
            if (next != i) {
                i = next;
                continue;
            }
        }
        i++;
        if (cp == '\n') {
            if (!wk.newline()) return;
            continue;
        }
        int w = display_width(cp);
        if (w == 0) continue;
        if (!wk.place(w)) return;
        wk.put(cp, w, style.fg, style.bg, style.bg != COLOUR_DEFAULT, style.style | forced);
    }
}

void draw_cells(CellGrid& g, const std::vector<GridCell>& cells, int x, int y, const ClipBox& clip, uint32_t flags,
                int wrap_right) {
    if (clip.width() < 1 || clip.height() < 1) return;
    uint32_t forced = flags & RENDER_STYLE_MASK;
    Walker wk{g, clip, x, wrap_right, true, x, y};
    if (wk.row >= clip.bottom) return;
    for (const GridCell& c : cells) {
        if (c.cp == '\n') {
            if (!wk.newline()) return;
            continue;
        }
        int w = display_width(c.cp);
        if (w == 0) continue;
        if (!wk.place(w)) return;
        wk.put(c.cp, w, c.fg, c.bg, true, c.flags | forced);
    }
}

namespace {

// The image cells of a widget, row by row from (x, y).
void draw_image_cells(CellGrid& g, const Widget& w, int x, int y, const ClipBox& clip) {
    for (int r = 0; r < w.image_height; r++) {
        int row = y + r;
        if (row < clip.top || row >= clip.bottom) continue;
        for (int c = 0; c < w.image_width; c++) {
            int col = x + c;
            if (col < clip.left || col >= clip.right) continue;
            g.at(col, row) = w.image_cells[size_t(r) * size_t(w.image_width) + size_t(c)];
        }
    }
}

}  // namespace

void render_face(int x, int y, Widget& w, uint32_t flags) {
    CellGrid& g = grid();
    const Cell* face = &w.face;
    RenderStyle style;
    style.bg = colour_of_tuple(gui::field_or_none(face, gui::F_COLOR));
    const Cell* font = gui::field_or_none(face, gui::F_FONT);
    if (font->is(TYPE_OBJECT)) style.fg = colour_of_tuple(gui::field_or_none(font, gui::FONT_COLOR));
    style.para = para_bits(gui::field_or_none(face, gui::F_PARA));
    ClipBox clip = clip_box(x, y, w, g);
    if (clip.width() < 1 || clip.height() < 1) return;
    // The face covers what lay below it entirely: no style or half of a
    // wide character of a parent's text survives under its blank cells.
    for (int row = clip.top; row < clip.bottom; row++)
        for (int col = clip.left; col < clip.right; col++) g.at(col, row) = GridCell{' ', style.bg, COLOUR_DEFAULT, 0};
    int right = x + cells_of(w.width());
    if (!w.image_cells.empty()) draw_image_cells(g, w, x, y, clip);
    if (!w.styled.empty()) draw_cells(g, w.styled, x, y, clip, flags, right);
    if (w.ui.is(TYPE_STRING)) draw_text(g, &w.ui, x, y, clip, style, flags, right);
    if (!(flags & RENDER_NO_TEXT)) {
        const Cell* text = gui::field_or_none(face, gui::F_TEXT);
        uint32_t text_flags = flags;
        if (!is_non_empty_string(text)) {
            const Cell* hint = hint_of(gui::field_or_none(face, gui::F_OPTIONS));
            text = hint;
            text_flags |= STYLE_DIM;
        }
        if (text) {
            int bw = cells_of(w.width()), bh = cells_of(w.height());
            TextExtent e = text_extent(text, (style.para & PARA_WRAP) ? bw : 0, flags & RENDER_DECODE_SGR);
            int dx, dy;
            align_text(e, bw, bh, style.para, &dx, &dy);
            draw_text(g, text, x + dx, y + dy, clip, style, text_flags, right);
        }
    }
    const Cell* draw = gui::field_or_none(face, gui::F_DRAW);
    if (draw_face_hook && draw->is(TYPE_BLOCK) && block::length(draw) > 0) {
        // A fault in a face's draw block is the draw dialect's to report; the
        // frame and the loop go on.
        gc::Rooted commands(*draw);
        Cell* top = stack::top_ptr;
        uint32_t code = frame::catch_region(code::CATCH_ALL, [&] { draw_face_hook(w, x, y, clip, commands.get()); });
        if (code) {
            runtime_context.thrown_code = 0;
            stack::top_ptr = top;
        }
    }
}

void draw_widget(CellGrid& g, Widget& w, int parent_x, int parent_y) {
    if (w.freed_ || (w.flags & W_HIDDEN)) return;
    int x = w.parent ? parent_x + cells_of(w.left) : 0;
    int y = w.parent ? parent_y + cells_of(w.top) : 0;
    if (w.on_render) w.on_render(x, y, w);
    else render_face(x, y, w, w.render_flags);
    std::vector<Widget*> pane;
    face_layer::pane_widgets(w, pane);
    for (Widget* c : pane)
        if (c && !c->freed_) draw_widget(g, *c, x, y);
}

Widget* make_base_widget(Widget* parent) {
    Widget* w = make_widget(parent);
    w->render_flags = RENDER_DECODE_SGR;
    return w;
}

void style_run(std::vector<GridCell>& cells, int32_t start, int32_t length, RunStyle what, uint32_t colour) {
    int64_t n = int64_t(cells.size());
    int64_t from = std::max<int64_t>(start, 0);
    int64_t to = std::min<int64_t>(int64_t(start) + std::max<int32_t>(length, 0), n);
    for (int64_t i = from; i < to; i++) {
        GridCell& c = cells[size_t(i)];
        switch (what) {
            case RunStyle::foreground: c.fg = colour; break;
            case RunStyle::background: c.bg = colour; break;
            case RunStyle::bold: c.flags |= STYLE_BOLD; break;
            case RunStyle::italic: c.flags |= STYLE_ITALIC; break;
            case RunStyle::underline: c.flags |= STYLE_UNDERLINE; break;
            case RunStyle::strike: c.flags |= STYLE_STRIKE; break;
        }
    }
}

}  // namespace kro::tui
