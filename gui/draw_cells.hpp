// Draw primitives of the draw dialect on character cells: a line is a run of
// full blocks, a filled shape a run of spaces on the fill colour, a box is
// framed with box-drawing characters, and a circle doubles its horizontal
// radius because a cell is about twice as high as it is wide. One cell is one
// unit of the dialect's coordinates. Every primitive draws relative to the
// face (its origin) and only inside the face's visible area (its clip) and
// the grid.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"
#include "gui/cell_grid.hpp"

namespace kro::cell_draw {

struct DrawContext {
    void* target = nullptr;  // the widget whose draw block runs, or none
    tui::CellGrid* grid = nullptr;  // painted; the back-end's grid unless set
    int32_t origin_x = 0, origin_y = 0;  // grid cell of the face's top-left corner
    // The face's visible area in grid cells (right and bottom exclusive); an
    // empty area (the default, as for a draw on an image) paints nothing.
    int32_t clip_left = 0, clip_top = 0, clip_right = 0, clip_bottom = 0;
    bool pen_on = true;
    uint32_t pen_color = 0;  // foreground colour code
    bool fill_on = false;
    uint32_t fill_color = 0;  // background colour code
    uint32_t text_color = 0;
    bool font_color_set = false;  // text_color came from a font
    uint32_t style = 0;  // the face's text style bits
};

struct Point {
    int32_t x, y;
};
// The point of a pair! or a point2D! (coordinates truncated toward zero, and
// limited to the 32-bit range); false for any other value.
bool point_of(const Cell* value, Point& p);

// Pen on in the default colour, fill off, no font colour.
void begin(DrawContext& ctx);
// A tuple! colour for the outlines (and the text, unless a font gave one);
// with off, the pen is off and keeps its colour.
void pen(DrawContext& ctx, const Cell* colour, bool off);
// A tuple! colour for the insides of shapes; with off, no filling.
void fill_pen(DrawContext& ctx, const Cell* colour, bool off);
// The colour facet of a font: a tuple! becomes the text colour.
void font(DrawContext& ctx, const Cell* font_colour);

// Segments from each point to the next, in the pen colour, whether the pen is
// on or off (off takes only the outlines of shapes).
void line(DrawContext& ctx, const Point* points, size_t count);
// A box between two corners (in either order): filled when the fill is on,
// framed with box-drawing characters when the pen is on.
void box(DrawContext& ctx, Point a, Point b);
// A triangle: filled when the fill is on, outlined when the pen is on.
void triangle(DrawContext& ctx, Point a, Point b, Point c);
// An ellipse of radii 2r and r around the centre; nothing for r <= 0.
void circle(DrawContext& ctx, Point centre, int32_t radius);
// The ellipse inscribed in the box of that top-left corner and size.
void ellipse(DrawContext& ctx, Point top_left, Point size);

// Radii beyond this many cells are not drawn (their arithmetic would not fit).
constexpr int64_t MAX_RADIUS = 65536;

}  // namespace kro::cell_draw
