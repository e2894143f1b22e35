// Joins the draw dialect to the face renderer: a face's `draw` facet runs
// while the face is rendered, `draw` on an image goes to the dialect, and
// the dialect's `text` command writes through the renderer's text writer
// (embedded SGR sequences applied, the face's clip kept). The two sides know
// nothing of each other; this file alone sees both.
#include <algorithm>

#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "gui/draw_dialect.hpp"
#include "gui/views.hpp"
#include "gui/widget_render.hpp"

namespace kro::tui {

namespace {

void write_string(cell_draw::DrawContext& ctx, int32_t x, int32_t y, const Cell* text, uint32_t flags,
                  uint32_t colour);
void write_face(cell_draw::DrawContext& ctx, int32_t x, int32_t y, const Cell* face, uint32_t flags,
                uint32_t colour);

// The renderer's writers serve the faces' draw blocks only; whatever was set
// before is put back afterwards.
void draw_face(Widget& w, int x, int y, const ClipBox& clip, const Cell* commands) {
    struct Writers {
        StringWriter strings = string_writer();
        FaceWriter faces = face_writer();
        ~Writers() { set_text_writers(strings, faces); }
    } saved;
    set_text_writers(&write_string, &write_face);
    draw_block(commands, grid(), x, y, DrawClip{clip.left, clip.top, clip.right, clip.bottom}, 0, &w);
}

void draw_image(Cell* image, const Cell* commands) { gui::OS_do_draw(image, commands); }

ClipBox clip_of(const cell_draw::DrawContext& ctx) {
    return ClipBox{ctx.clip_left, ctx.clip_top, ctx.clip_right, ctx.clip_bottom};
}

void write_string(cell_draw::DrawContext& ctx, int32_t x, int32_t y, const Cell* text, uint32_t flags,
                  uint32_t colour) {
    CellGrid& g = ctx.grid ? *ctx.grid : grid();
    ClipBox clip = clip_of(ctx);
    clip.right = std::min(clip.right, g.width());
    clip.bottom = std::min(clip.bottom, g.height());
    RenderStyle style;
    style.fg = colour;
    draw_text(g, text, x, y, clip, style, flags, clip.right);
}

void write_face(cell_draw::DrawContext& ctx, int32_t x, int32_t y, const Cell* face, uint32_t flags,
                uint32_t colour) {
    static const int32_t text_sym = symbol::make("text");
    if (!face->is(TYPE_OBJECT)) return;
    int32_t i = context::find_symbol(face->data1, text_sym, true);
    const Cell* values = context::values(face->data1);
    if (i < 0 || !values) return;
    Cell text = values[i];
    write_string(ctx, x, y, &text, flags, colour);
}

struct Install {
    Install() {
        draw_face_hook = &draw_face;
        draw_image_hook = &draw_image;
    }
} install;

}  // namespace

}  // namespace kro::tui
