#include "gui/cell_grid.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "datatypes/tuple.hpp"
#include "foundation/char_width.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/unicode.hpp"
#include "gui/terminal_control.hpp"

namespace kro::tui {

// ---- palette ------------------------------------------------------------------------

namespace {

constexpr uint8_t NEAREST16[240] = {
    0,  4,  4,  4,  12, 12, 2,  6,  6,  6,  12, 12, 2,  6,  6,  6,  14, 14, 2,  6,  6,  6,  14, 14,
    10, 10, 14, 14, 14, 14, 10, 10, 14, 14, 14, 14, 1,  5,  5,  5,  12, 12, 3,  8,  4,  4,  12, 12,
    3,  8,  6,  4,  12, 12, 3,  2,  2,  6,  14, 12, 10, 10, 10, 14, 14, 14, 10, 10, 10, 10, 14, 14,
    1,  5,  5,  5,  13, 13, 3,  8,  5,  4,  12, 12, 3,  8,  8,  4,  12, 12, 3,  7,  7,  7,  12, 12,
    11, 10, 7,  10, 14, 14, 11, 10, 10, 10, 14, 14, 1,  5,  5,  5,  13, 13, 3,  7,  5,  5,  13, 12,
    3,  7,  7,  5,  12, 12, 3,  7,  7,  7,  12, 12, 11, 11, 7,  7,  7,  12, 11, 10, 10, 15, 15, 14,
    9,  13, 13, 13, 13, 13, 9,  9,  13, 13, 13, 13, 11, 9,  7,  13, 13, 13, 11, 11, 7,  7,  13, 12,
    11, 11, 7,  7,  7,  12, 11, 11, 11, 15, 15, 15, 9,  13, 13, 13, 13, 13, 9,  9,  13, 13, 13, 13,
    11, 9,  15, 13, 13, 13, 11, 9,  15, 15, 13, 13, 11, 11, 15, 15, 15, 13, 11, 11, 15, 15, 15, 15,
    0,  0,  0,  0,  0,  0,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  7,  7,  7,  7,  7,  7,  15, 15,
};

constexpr uint32_t SYSTEM_COLOURS[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

constexpr uint8_t CUBE_LEVELS[6] = {0x00, 0x5F, 0x87, 0xAF, 0xD7, 0xFF};

constexpr std::array<PaletteEntry, 256> make_palette() {
    std::array<PaletteEntry, 256> p{};
    for (int i = 0; i < 16; i++) {
        uint32_t c = SYSTEM_COLOURS[i];
        p[size_t(i)] = {uint8_t(i), uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
    }
    for (int i = 16; i < 232; i++) {
        int k = i - 16;
        p[size_t(i)] = {NEAREST16[i - 16], CUBE_LEVELS[k / 36], CUBE_LEVELS[(k / 6) % 6], CUBE_LEVELS[k % 6]};
    }
    for (int i = 232; i < 256; i++) {
        auto v = uint8_t(8 + 10 * (i - 232));
        p[size_t(i)] = {NEAREST16[i - 16], v, v, v};
    }
    return p;
}

constexpr std::array<PaletteEntry, 256> PALETTE = make_palette();

int cube_level(int v) {
    if (v < 48) return 0;
    if (v <= 114) return 1;
    return (v - 35) / 40;
}

int64_t distance2(const PaletteEntry& e, int r, int g, int b) {
    int64_t dr = e.r - r, dg = e.g - g, db = e.b - b;
    return dr * dr + dg * dg + db * db;
}

}  // namespace

const PaletteEntry& palette(int index) { return PALETTE[size_t(index & 0xFF)]; }

uint32_t rgb_to_256(int r, int g, int b, int fourth) {
    if (fourth == 255) return COLOUR_DEFAULT;
    r &= 0xFF;
    g &= 0xFF;
    b &= 0xFF;
    int cube = 16 + 36 * cube_level(r) + 6 * cube_level(g) + cube_level(b);
    int average = (r + g + b) / 3;
    int grey = 232 + (average > 238 ? 23 : (average - 3) / 10);
    if (grey < 232) grey = 232;
    bool grey_wins = distance2(PALETTE[size_t(grey)], r, g, b) <= distance2(PALETTE[size_t(cube)], r, g, b);
    return colour256(grey_wins ? grey : cube);
}

uint32_t colour_of_tuple(const Cell* t) {
    if (!t || !t->is(TYPE_TUPLE)) return COLOUR_DEFAULT;
    int fourth = tuple::length(t) >= 4 ? tuple::byte_at(t, 3) : 0;
    return rgb_to_256(tuple::byte_at(t, 0), tuple::byte_at(t, 1), tuple::byte_at(t, 2), fourth);
}

// ---- the grid ------------------------------------------------------------------------

void CellGrid::resize(int width, int height) {
    width_ = width < 0 ? 0 : width;
    height_ = height < 0 ? 0 : height;
    size_t n = size_t(width_) * size_t(height_);
    if (cells_.size() < n) cells_.resize(n);
}

void CellGrid::clear() {
    std::fill(cells_.begin(), cells_.begin() + ptrdiff_t(size_t(width_) * size_t(height_)), GridCell{});
}

void CellGrid::fill_rect(int left, int top, int width, int height, uint32_t background) {
    int64_t x0 = std::max<int64_t>(left, 0), y0 = std::max<int64_t>(top, 0);
    int64_t x1 = std::min<int64_t>(int64_t(left) + width, width_);
    int64_t y1 = std::min<int64_t>(int64_t(top) + height, height_);
    for (int64_t y = y0; y < y1; y++)
        for (int64_t x = x0; x < x1; x++) {
            GridCell& c = at(int(x), int(y));
            c.cp = ' ';
            c.bg = background;
        }
}

CellGrid& grid() {
    static CellGrid g;
    return g;
}

FrameState& frame() {
    static FrameState f;
    return f;
}

void size_grid(int window_width, int window_height) {
    grid().resize(std::min(window_width, columns()), std::min(window_height, rows()));
}

// ---- SGR ----------------------------------------------------------------------------------

namespace {

void append_number(std::string& out, uint32_t n) {
    char buf[12];
    int k = std::snprintf(buf, sizeof buf, "%u", n);
    out.append(buf, size_t(k));
}

void append_sgr(std::string& out, const char* parameters) {
    out += "\x1b[";
    out += parameters;
    out += 'm';
}

void append_colour(std::string& out, uint32_t code, bool background) {
    out += "\x1b[";
    append_colour_parameter(out, code, background);
    out += 'm';
}

void append_count_sequence(std::string& out, int n, char final) {
    out += "\x1b[";
    append_number(out, uint32_t(n));
    out += final;
}

}  // namespace

void append_colour_parameter(std::string& out, uint32_t code, bool background) {
    uint32_t kind = code & 0xFF000000u;
    uint32_t low = code & 0xFFFFFF;
    if (kind == KIND_16 && (low <= 7 || (low >= 10 && low <= 17))) {
        append_number(out, (low <= 7 ? 30 : 80) + low + (background ? 10 : 0));
    } else if (kind == KIND_256) {
        out += background ? "48;5;" : "38;5;";
        append_number(out, low & 0xFF);
    } else if (kind == KIND_RGB) {
        out += background ? "48;2;" : "38;2;";
        append_number(out, (low >> 16) & 0xFF);
        out += ';';
        append_number(out, (low >> 8) & 0xFF);
        out += ';';
        append_number(out, low & 0xFF);
    } else {
        // The default, and any code outside the coding: a reset of all
        // attributes here would undo the styles the writer believes in force.
        out += background ? "49" : "39";
    }
}

void append_style_change(std::string& out, const GridCell& from, const GridCell& to) {
    uint32_t p = from.flags, c = to.flags;
    // One sequence ends both bold and dim: after it, whichever stays is set again.
    bool normal_intensity = ((p & STYLE_BOLD) && !(c & STYLE_BOLD)) || ((p & STYLE_DIM) && !(c & STYLE_DIM));
    if (normal_intensity) {
        append_sgr(out, "22");
        if (c & STYLE_DIM) append_sgr(out, "2");
    } else if ((c & STYLE_DIM) && !(p & STYLE_DIM)) {
        append_sgr(out, "2");
    }
    if ((p ^ c) & STYLE_INVERSE) append_sgr(out, c & STYLE_INVERSE ? "7" : "27");
    if ((c & STYLE_BOLD) && (normal_intensity || !(p & STYLE_BOLD))) append_sgr(out, "1");
    if ((p ^ c) & STYLE_ITALIC) append_sgr(out, c & STYLE_ITALIC ? "3" : "23");
    if ((p ^ c) & STYLE_STRIKE) append_sgr(out, c & STYLE_STRIKE ? "9" : "29");
    if ((p ^ c) & STYLE_UNDERLINE) append_sgr(out, c & STYLE_UNDERLINE ? "4" : "24");
    if (from.fg != to.fg) append_colour(out, to.fg, false);
    if (from.bg != to.bg) append_colour(out, to.bg, true);
}

// ---- frames ---------------------------------------------------------------------------------

void compose_frame(const CellGrid& g, FrameState& f, bool fullscreen, bool caret_wanted) {
    std::string& out = f.out;
    out.clear();
    int w = g.width(), h = g.height();
    if (w < 1 || h < 1) return;
    if (fullscreen) {
        out += "\x1b[H";
    } else {
        out += '\r';
        if (f.lines_above_cursor > 0) append_count_sequence(out, f.lines_above_cursor, 'A');
        out += "\x1b[0J";
    }
    GridCell previous{};
    for (int y = 0; y < h; y++) {
        bool covered = false;  // the cell is the right half of the wide character just written
        for (int x = 0; x < w; x++) {
            const GridCell& cell = g.at(x, y);
            if (covered) {
                covered = false;
                if (cell.flags & CELL_CONTINUATION) continue;
            }
            append_style_change(out, previous, cell);
            previous = cell;
            // Every cell written takes exactly the columns the grid gives it,
            // or the rest of the row would shift.
            uint32_t cp = cell.cp;
            if (cell.flags & CELL_PASSWORD) {
                out += '*';
                continue;
            }
            if (cell.flags & CELL_CONTINUATION) {
                out += ' ';  // its wide character was overwritten
                continue;
            }
            if (cp < 32 || (cp >= 0x7F && cp < 0xA0)) {
                out += ' ';  // controls would act on the terminal
                continue;
            }
            int width = unicode::char_width(cp);
            if (width == 0 || (width == 2 && !(x + 1 < w && (g.at(x + 1, y).flags & CELL_CONTINUATION)))) {
                out += ' ';  // a mark with no base, or a wide character without its right half
                continue;
            }
            unicode::append_utf8(out, cp, false);
            covered = width == 2;
        }
        if (y + 1 < h) {
            out += "\x1b[49m\r\n";
            previous.bg = COLOUR_DEFAULT;
        }
    }
    append_style_change(out, previous, GridCell{});
    if (caret_wanted && !(f.caret_column < 0 && f.caret_row < 0)) {
        int row = std::clamp(f.caret_row, 0, h - 1);
        out += '\r';
        if (h - 1 - row > 0) append_count_sequence(out, h - 1 - row, 'A');
        if (f.caret_column > 0) append_count_sequence(out, std::min(f.caret_column, w - 1), 'C');
        f.lines_above_cursor = row;
    } else {
        f.lines_above_cursor = h - 1;
    }
}

void write_frame(const CellGrid& g, FrameState& f, bool fullscreen, bool caret_wanted) {
    if (g.width() < 1 || g.height() < 1) return;
    compose_frame(g, f, fullscreen, caret_wanted);
    write_out(f.out);
    f.out.clear();
    f.shown = true;
    f.redraw = false;
}

void render_frame(int window_width, int window_height, bool caret_wanted, DrawFunction draw, void* context) {
    CellGrid& g = grid();
    FrameState& f = frame();
    if (f.redraw) {
        size_grid(window_width, window_height);
        g.clear();
        if (draw) draw(g, context);
    }
    bool fullscreen = alt_screen_active();
    if (fullscreen) {
        f.first_row = 0;
    } else if (f.first_row + g.height() > rows()) {
        f.first_row = std::max(0, rows() - g.height());
    }
    if (!caret_wanted) hide_cursor();
    console::flush();
    write_frame(g, f, fullscreen, caret_wanted);
    set_frame_rows_below_cursor(fullscreen ? -1 : g.height() - 1 - f.lines_above_cursor);
    if (caret_wanted) show_cursor();
    console::flush();
}

void erase_frame(FrameState& f) {
    if (!f.shown) return;
    std::string s = "\r";
    if (f.lines_above_cursor > 0) append_count_sequence(s, f.lines_above_cursor, 'A');
    s += "\x1b[0J";
    write_out(s);
    f.lines_above_cursor = 0;
    f.shown = false;
    set_frame_rows_below_cursor(-1);
}

void frame_done(FrameState& f, int height) {
    if (!f.shown) return;
    cursor_down(height - 1 - f.lines_above_cursor);
    write_out("\r\n", 2);
    set_frame_rows_below_cursor(-1);
}

void reset_frame(FrameState& f, CellGrid& g) {
    g.resize(0, 0);
    f.first_row = 0;
    f.lines_above_cursor = 0;
    f.caret_column = f.caret_row = -1;
    f.redraw = true;
    f.shown = false;
    f.out.clear();
    set_frame_rows_below_cursor(-1);
}

}  // namespace kro::tui
