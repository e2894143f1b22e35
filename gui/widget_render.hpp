// Drawing shown faces into the cell grid: the walk over a window's widget
// tree, the generic face renderer (background, prepared cells, UI string,
// aligned text or hint, draw block), clip boxes, the text writer that
// understands embedded SGR sequences, and the style runs of rich text.
#pragma once
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"
#include "gui/cell_grid.hpp"
#include "gui/event_loop.hpp"

namespace kro::tui {

// Para bits of a render style.
constexpr uint32_t PARA_RIGHT = 0x1;
constexpr uint32_t PARA_CENTER = 0x2;
constexpr uint32_t PARA_MIDDLE = 0x4;
constexpr uint32_t PARA_BOTTOM = 0x8;
constexpr uint32_t PARA_WRAP = 0x20;

// Render flags given with a face: the cell style bits every text cell gets
// (dim for hints, inverse for the focus look, password), plus these two.
constexpr uint32_t RENDER_DECODE_SGR = 0x1000;  // ESC [ ... sequences change the style
constexpr uint32_t RENDER_NO_TEXT = 0x2000;     // the face's text is not drawn
constexpr uint32_t RENDER_STYLE_MASK = 0x0FFF;

struct RenderStyle {
    uint32_t fg = COLOUR_DEFAULT;
    uint32_t bg = COLOUR_DEFAULT;
    uint32_t style = 0;  // cell style bits
    uint32_t para = 0;
};

// Grid cells, right and bottom exclusive.
struct ClipBox {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

// The para bits of a para! object (none or anything else: 0).
uint32_t para_bits(const Cell* para);

// One SGR parameter applied to a style.
void apply_sgr(RenderStyle& style, int code);

// The clip box of a widget drawn at (x, y): its box, cut to its ancestors'
// boxes below the window and to the grid.
ClipBox clip_box(int x, int y, const Widget& w, const CellGrid& grid);

// Columns of the widest line and number of lines of a text, wrapped at
// wrap_width when it is positive; embedded sequences take no room when
// decode is set.
struct TextExtent {
    int width = 0, lines = 0;
};
TextExtent text_extent(const Cell* text, int wrap_width, bool decode);

// Where a text of that extent starts inside a box of w x h for the para bits.
void align_text(const TextExtent& extent, int w, int h, uint32_t para, int* dx, int* dy);

// Writes a string! into the grid from (x, y), inside the clip box. The style
// gives the starting colours and the para bits (wrap at wrap_right when
// PARA_WRAP is set); flags the style bits ORed into every cell and
// RENDER_DECODE_SGR. Cells keep the background they were filled with unless
// an embedded sequence set one.
void draw_text(CellGrid& grid, const Cell* text, int x, int y, const ClipBox& clip, RenderStyle style,
               uint32_t flags, int wrap_right);
// The same for prepared cells (one per character, newline cells end rows):
// each copied with its own colours, its style bits ORed with flags.
void draw_cells(CellGrid& grid, const std::vector<GridCell>& cells, int x, int y, const ClipBox& clip,
                uint32_t flags, int wrap_right);

// The generic face renderer.
void render_face(int x, int y, Widget& w, uint32_t flags);
// Draws a widget and, in pane order, its pane's widgets; hidden ones are
// skipped with everything below them.
void draw_widget(CellGrid& grid, Widget& w, int parent_x, int parent_y);

// A zeroed widget under the parent drawn by the generic renderer with the
// text style.
Widget* make_base_widget(Widget* parent);

// Style runs on a rich-text face's cells: start (0-based) and length cut at
// the cells' count.
enum class RunStyle { foreground, background, bold, italic, underline, strike };
void style_run(std::vector<GridCell>& cells, int32_t start, int32_t length, RunStyle what, uint32_t colour = 0);

// The draw dialect's runner for a face's `draw` block: the widget, the grid
// cell of its top-left corner and its clip box. Null until the draw dialect
// installs it; a face's draw block then draws nothing.
using DrawFaceHook = void (*)(Widget& widget, int x, int y, const ClipBox& clip, const Cell* commands);
extern DrawFaceHook draw_face_hook;
// The draw dialect on an image! (system/view/platform/draw-image).
using DrawImageHook = void (*)(Cell* image, const Cell* commands);
extern DrawImageHook draw_image_hook;

}  // namespace kro::tui
