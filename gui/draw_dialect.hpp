// The draw dialect: a block of command words and their arguments
// (`pen red line 0x0 10x5 box 2x2 8x4 text 1x1 "hi"`) walked from head to
// tail. Every command is parsed and checked in full, so that a draw block
// written for a pixel surface runs here too; the commands that make sense on
// character cells (pens, fill pens, fonts, lines, boxes, triangles, circles,
// ellipses, text, nested blocks) paint through the cell primitives, the rest
// (curves, gradients, transformations, clipping shapes...) have no effect.
//
// Errors: script/draw-invalid with the block positioned at the value that is
// wrong, script/draw-infinite when a block is drawn from inside itself. With
// system/view/silent? on, a run stops quietly instead.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "gui/draw_cells.hpp"

namespace kro::tui {

class CellGrid;
struct Widget;

// A face's visible area in grid cells (right and bottom exclusive).
struct DrawClip {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// Runs a face's draw block into the grid: the commands' coordinates count
// from the face's top-left corner (origin), nothing is painted outside clip,
// style is the face's text style bits and target its widget (for texts).
// An error is printed on the console and ends this draw only: the rest of the
// frame is drawn as usual. Nothing happens for a value that is not a block.
void draw_block(const Cell* commands, CellGrid& grid, int32_t origin_x, int32_t origin_y, const DrawClip& clip,
                uint32_t style = 0, Widget* target = nullptr);

// The interpreter proper: runs the block (recursively for nested blocks) with
// a context made ready by the caller. Raises the dialect's errors; catch_errors
// only tells the texts' renderer that errors will be printed, not raised.
void draw_block(cell_draw::DrawContext& ctx, const Cell* commands, bool catch_errors);

// A whole draw run: the context begun, the block drawn, the context ended.
// Without a handle, nothing happens for a commands value that is not a block
// or is empty. An error ends the run: with catch_errors it is printed on the
// console and dropped, otherwise it goes on to the caller. The handle is the
// widget drawn into (its grid cells); on_graphic, cache and paint are kept for
// the callers' sake and change nothing on cells.
void do_draw(cell_draw::DrawContext& ctx, Widget* handle, const Cell* image, const Cell* commands, bool on_graphic,
             bool cache, bool paint, bool catch_errors);

// Raises the dialect's error for the value at position (0-based from the
// block's head): draw-invalid with the block positioned there. Quietly ends
// the run instead when system/view/silent? is on.
[[noreturn]] void draw_error(const Cell* commands, int32_t position, bool catch_errors);

// ---- text ------------------------------------------------------------------------------------------

// Writers of the `text` command's two kinds of argument at a grid position
// (the origin already added), in a colour code with the render flags (the
// face's style bits plus 0x1000, embedded escape sequences decoded), cut to
// the context's clip and the grid. The face renderer installs its own; the
// defaults write a string's characters plainly (escape sequences skipped,
// not applied) and a face's `text` the same way.
using StringWriter = void (*)(cell_draw::DrawContext& ctx, int32_t x, int32_t y, const Cell* text, uint32_t flags,
                              uint32_t colour);
using FaceWriter = void (*)(cell_draw::DrawContext& ctx, int32_t x, int32_t y, const Cell* face, uint32_t flags,
                            uint32_t colour);
// nullptr puts a default back.
void set_text_writers(StringWriter strings, FaceWriter faces);
StringWriter string_writer();
FaceWriter face_writer();

// Render flag added to a face's style for the texts of a draw block.
constexpr uint32_t RENDER_DECODE_ESCAPES = 0x1000;

// The `text` primitive: the position moved by the origin, the colour chosen
// (a font's colour, else the pen's when it is on, else the default), the
// string or face written. Answers true.
bool draw_text(cell_draw::DrawContext& ctx, cell_draw::Point at, const Cell* text, bool catch_errors);

}  // namespace kro::tui

namespace kro::gui {

// `draw` on an image: the block is checked and run, and errors raised to the
// caller, but nothing is painted: the terminal grid belongs to the windows,
// and images take no character cells.
void OS_do_draw(const Cell* image, const Cell* commands);

// Faces draw their draw facet while they are rendered: nothing to do here.
void OS_draw_face(tui::Widget* handle, const Cell* commands, uint32_t flags);

}  // namespace kro::gui
