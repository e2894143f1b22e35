// The text back-end's drawing surface: a grid of character cells that every
// frame is drawn into from scratch, the colour coding of its cells, the
// conversion of RGB colours to the 256-colour palette, and the output of a
// frame as UTF-8 with SGR sequences in one write, either inline below the
// prompt (moving back up over the previous frame) or on the alternate screen.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/cell.hpp"

namespace kro::tui {

// ---- cells -------------------------------------------------------------------------

// Style bits of a cell. Blink and hidden are kept but never written.
constexpr uint32_t STYLE_BLINK = 0x1;
constexpr uint32_t STYLE_BOLD = 0x2;
constexpr uint32_t STYLE_DIM = 0x4;
constexpr uint32_t STYLE_INVERSE = 0x8;
constexpr uint32_t STYLE_UNDERLINE = 0x10;
constexpr uint32_t STYLE_STRIKE = 0x40;
constexpr uint32_t STYLE_ITALIC = 0x100;
constexpr uint32_t STYLE_HIDDEN = 0x200;
// The right half of a double-width character (nothing of its own is written).
constexpr uint32_t CELL_CONTINUATION = 0x400;
// Written as "*".
constexpr uint32_t CELL_PASSWORD = 0x800;

// Colour codes: the top byte says the kind.
constexpr uint32_t COLOUR_DEFAULT = 0;
constexpr uint32_t KIND_16 = 0x01000000;   // index 0-7 standard, 9 default, 10-17 bright
constexpr uint32_t KIND_256 = 0x02000000;  // palette index in the low byte
constexpr uint32_t KIND_RGB = 0x04000000;  // red bits 16-23, green 8-15, blue 0-7
constexpr uint32_t colour16(int index) { return KIND_16 | uint32_t(index & 0xFF); }
constexpr uint32_t colour256(int index) { return KIND_256 | uint32_t(index & 0xFF); }
constexpr uint32_t colour_rgb(int r, int g, int b) {
    return KIND_RGB | (uint32_t(r & 0xFF) << 16) | (uint32_t(g & 0xFF) << 8) | uint32_t(b & 0xFF);
}

struct GridCell {
    uint32_t cp;  // 0 is written as a space
    uint32_t bg;
    uint32_t fg;
    uint32_t flags;
};
static_assert(sizeof(GridCell) == 16);

// ---- colours -----------------------------------------------------------------------

// An entry of the 256-colour palette: its nearest 16-colour index and its RGB.
struct PaletteEntry {
    uint8_t nearest16, r, g, b;
};
const PaletteEntry& palette(int index);

// The colour code of an RGB value: the nearer (squared distance) of the
// palette's cube and grey candidates, the grey on a tie. A fourth byte of 255
// (a fully transparent tuple) gives the default colour.
uint32_t rgb_to_256(int r, int g, int b, int fourth = 0);
// The same for a tuple! value (its first three bytes, and the fourth when it
// has one); anything that is not a tuple gives the default colour.
uint32_t colour_of_tuple(const Cell* tuple);

// ---- the grid ------------------------------------------------------------------------

class CellGrid {
public:
    int width() const { return width_; }
    int height() const { return height_; }
    bool contains(int64_t x, int64_t y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    GridCell& at(int x, int y) { return cells_[size_t(y) * size_t(width_) + size_t(x)]; }
    const GridCell& at(int x, int y) const { return cells_[size_t(y) * size_t(width_) + size_t(x)]; }

    // width x height cells (negative sizes are 0); the storage only grows.
    // The cells' contents are undefined until clear.
    void resize(int width, int height);
    // Every cell all zero: a default-coloured space without style.
    void clear();
    // A space on the background colour in every cell of the rectangle that
    // lies on the grid; the cells' other words are kept.
    void fill_rect(int left, int top, int width, int height, uint32_t background);

private:
    int width_ = 0, height_ = 0;
    std::vector<GridCell> cells_;
};

// ---- frames ----------------------------------------------------------------------------

struct FrameState {
    int first_row = 0;           // screen row of the frame's first row (inline)
    int lines_above_cursor = 0;  // between the frame's first row and the cursor
    int caret_column = -1;       // where the terminal's cursor goes when the focus
    int caret_row = -1;          //   takes typed keys; negative: none
    bool redraw = true;
    bool shown = false;
    std::string out;  // reused between frames
};

// The live grid and frame of the back-end.
CellGrid& grid();
FrameState& frame();

// The grid for a window of that size, cut to the terminal's columns and rows.
void size_grid(int window_width, int window_height);

// SGR sequences that turn the style of cell from into that of cell to.
void append_style_change(std::string& out, const GridCell& from, const GridCell& to);
// The SGR parameter of a colour code (39 or 49 for the default).
void append_colour_parameter(std::string& out, uint32_t code, bool background);

// The bytes of one frame of the grid into frame.out (emptied first): the
// cursor taken back to the frame's start (home on the alternate screen),
// every row with the fewest style changes, the style back to default, and the
// cursor put on the caret when caret_wanted and the caret is known. Updates
// the lines above the cursor. Nothing for an empty grid.
void compose_frame(const CellGrid& grid, FrameState& frame, bool fullscreen, bool caret_wanted);
// compose_frame, then the bytes in one write; the frame is shown and drawn.
void write_frame(const CellGrid& grid, FrameState& frame, bool fullscreen, bool caret_wanted);

// One frame of the live grid: placed (on the alternate screen at the top;
// inline, moved up so that it fits above the terminal's last row), drawn
// again by draw when a redraw is due, then written with the cursor hidden
// unless the focus takes typed keys (caret_wanted).
using DrawFunction = void (*)(CellGrid& grid, void* context);
void render_frame(int window_width, int window_height, bool caret_wanted, DrawFunction draw, void* context);

// Takes an inline frame off the screen (before ordinary console output): the
// cursor back to the frame's first row, everything below it erased.
void erase_frame(FrameState& frame);
// After the last frame: the cursor on the line below the frame.
void frame_done(FrameState& frame, int height);
// Size, caret and counters back to their starting values.
void reset_frame(FrameState& frame, CellGrid& grid);

}  // namespace kro::tui
