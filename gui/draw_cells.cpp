#include "gui/draw_cells.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "datatypes/point.hpp"

namespace kro::cell_draw {

namespace {

constexpr uint32_t FULL_BLOCK = 0x2588;
constexpr uint32_t CORNER_TOP_LEFT = 0x250C, CORNER_TOP_RIGHT = 0x2510;
constexpr uint32_t CORNER_BOTTOM_LEFT = 0x2514, CORNER_BOTTOM_RIGHT = 0x2518;
constexpr uint32_t VERTICAL = 0x2502, HORIZONTAL = 0x2500;

// A segment longer than this is first cut to the visible area.
constexpr int64_t LONG_SEGMENT = 65536;

// The cells a primitive may paint: the clip on the grid.
struct Surface {
    tui::CellGrid& grid;
    int64_t left, top, right, bottom;  // right and bottom exclusive

    explicit Surface(const DrawContext& ctx)
        : grid(ctx.grid ? *ctx.grid : tui::grid()),
          left(std::max<int64_t>(ctx.clip_left, 0)),
          top(std::max<int64_t>(ctx.clip_top, 0)),
          right(std::min<int64_t>(ctx.clip_right, grid.width())),
          bottom(std::min<int64_t>(ctx.clip_bottom, grid.height())) {}

    bool empty() const { return left >= right || top >= bottom; }
    bool holds(int64_t x, int64_t y) const { return x >= left && x < right && y >= top && y < bottom; }
    tui::GridCell& at(int64_t x, int64_t y) { return grid.at(int(x), int(y)); }

    void block(int64_t x, int64_t y, uint32_t colour) {
        if (!holds(x, y)) return;
        tui::GridCell& c = at(x, y);
        c.cp = FULL_BLOCK;
        c.fg = colour;
        c.flags &= ~tui::CELL_CONTINUATION;
    }
    void space(int64_t x, int64_t y, uint32_t background) {
        if (!holds(x, y)) return;
        tui::GridCell& c = at(x, y);
        c.cp = ' ';
        c.bg = background;
        c.flags &= ~tui::CELL_CONTINUATION;
    }
    // Spaces on the background from x0 to x1 inclusive on row y.
    void span(int64_t x0, int64_t x1, int64_t y, uint32_t background) {
        if (y < top || y >= bottom) return;
        for (int64_t x = std::max(x0, left), end = std::min(x1, right - 1); x <= end; x++) space(x, y, background);
    }
};

// Cuts a segment to the rectangle (Liang-Barsky); false when it misses it.
bool cut_segment(double& x0, double& y0, double& x1, double& y1, double l, double t, double r, double b) {
    double dx = x1 - x0, dy = y1 - y0, u0 = 0, u1 = 1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x0 - l, r - x0, y0 - t, b - y0};
    for (int i = 0; i < 4; i++) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        double u = q[i] / p[i];
        if (p[i] < 0) u0 = std::max(u0, u);
        else u1 = std::min(u1, u);
        if (u0 > u1) return false;
    }
    double nx0 = x0 + u0 * dx, ny0 = y0 + u0 * dy;
    x1 = x0 + u1 * dx;
    y1 = y0 + u1 * dy;
    x0 = nx0;
    y0 = ny0;
    return true;
}

// Full blocks from (x0, y0) to (x1, y1), both ends included (integer
// Bresenham for every octant); cells off the surface are skipped, and the walk
// ends once it has left the surface for good.
void segment(Surface& s, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t colour) {
    if (s.empty()) return;
    if (std::llabs(x1 - x0) > LONG_SEGMENT || std::llabs(y1 - y0) > LONG_SEGMENT) {
        double a = double(x0), b = double(y0), c = double(x1), d = double(y1);
        if (!cut_segment(a, b, c, d, double(s.left - 1), double(s.top - 1), double(s.right), double(s.bottom)))
            return;
        x0 = std::llround(a);
        y0 = std::llround(b);
        x1 = std::llround(c);
        y1 = std::llround(d);
    }
    int64_t dx = std::llabs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    int64_t dy = -std::llabs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int64_t err = dx + dy;
    for (;;) {
        if ((sx > 0 && x0 >= s.right) || (sx < 0 && x0 < s.left) || (sy > 0 && y0 >= s.bottom) ||
            (sy < 0 && y0 < s.top))
            return;
        s.block(x0, y0, colour);
        if (x0 == x1 && y0 == y1) return;
        int64_t e2 = 2 * err;
        if (e2 >= dy) {
            if (x0 == x1) return;
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            if (y0 == y1) return;
            err += dx;
            y0 += sy;
        }
    }
}

void draw_ellipse(const DrawContext& ctx, int64_t cx, int64_t cy, int64_t rx, int64_t ry) {
    Surface s(ctx);
    if (s.empty() || rx < 0 || ry < 0 || rx > MAX_RADIUS || ry > MAX_RADIUS) return;
    if (cx + rx < s.left || cx - rx >= s.right || cy + ry < s.top || cy - ry >= s.bottom) return;
    auto plot = [&](int64_t px, int64_t py) {
        if (ctx.pen_on) s.block(px, py, ctx.pen_color);
        if (ctx.fill_on && px != cx) {
            if (px < cx) s.span(px + 1, cx, py, ctx.fill_color);
            else s.span(cx, px - 1, py, ctx.fill_color);
        }
    };
    // The midpoint ellipse in its error-term form, one quadrant mirrored.
    int64_t x = -rx, y = 0;
    int64_t e2 = ry, dx = (1 + 2 * x) * e2 * e2, dy = x * x, err = dx + dy;
    const int64_t a2 = rx * rx, b2 = ry * ry;
    do {
        plot(cx - x, cy + y);
        plot(cx + x, cy + y);
        plot(cx + x, cy - y);
        plot(cx - x, cy - y);
        e2 = 2 * err;
        if (e2 >= dx) {
            x++;
            dx += 2 * b2;
            err += dx;
        }
        if (e2 <= dy) {
            y++;
            dy += 2 * a2;
            err += dy;
        }
    } while (x <= 0);
    // Flat ellipses: the tips.
    while (y + 1 < ry) {
        y++;
        plot(cx, cy + y);
        plot(cx, cy - y);
    }
}

}  // namespace

bool point_of(const Cell* value, Point& p) {
    if (value->is(TYPE_PAIR)) {
        p = {int32_t(value->data2), int32_t(value->data3)};
        return true;
    }
    if (value->is(TYPE_POINT2D)) {
        auto to_int = [](float f) -> int32_t {
            if (std::isnan(f)) return 0;
            if (f >= 2147483647.0f) return 0x7FFFFFFF;
            if (f <= -2147483648.0f) return int32_t(-0x7FFFFFFF - 1);
            return int32_t(std::trunc(f));
        };
        p = {to_int(point::coord(value, 0)), to_int(point::coord(value, 1))};
        return true;
    }
    return false;
}

void begin(DrawContext& ctx) {
    ctx.pen_on = true;
    ctx.pen_color = 0;
    ctx.fill_on = false;
    ctx.font_color_set = false;
}

void pen(DrawContext& ctx, const Cell* colour, bool off) {
    if (off) {
        ctx.pen_on = false;
        return;
    }
    uint32_t c = tui::colour_of_tuple(colour);
    if (!ctx.font_color_set) ctx.text_color = c;
    ctx.pen_color = c;
    ctx.pen_on = true;
}

void fill_pen(DrawContext& ctx, const Cell* colour, bool off) {
    if (off) {
        ctx.fill_on = false;
        return;
    }
    ctx.fill_color = tui::colour_of_tuple(colour);
    ctx.fill_on = true;
}

void font(DrawContext& ctx, const Cell* font_colour) {
    if (font_colour && font_colour->is(TYPE_TUPLE)) {
        ctx.text_color = tui::colour_of_tuple(font_colour);
        ctx.font_color_set = true;
    } else {
        ctx.font_color_set = false;
    }
}

// A line has no outline to lose: with the pen off it is still drawn, in the
// pen's last colour.
void line(DrawContext& ctx, const Point* points, size_t count) {
    Surface s(ctx);
    for (size_t i = 0; i + 1 < count; i++)
        segment(s, int64_t(points[i].x) + ctx.origin_x, int64_t(points[i].y) + ctx.origin_y,
                int64_t(points[i + 1].x) + ctx.origin_x, int64_t(points[i + 1].y) + ctx.origin_y, ctx.pen_color);
}

void box(DrawContext& ctx, Point a, Point b) {
    int64_t x1 = std::min(a.x, b.x), x2 = std::max(a.x, b.x);
    int64_t y1 = std::min(a.y, b.y), y2 = std::max(a.y, b.y);
    int64_t clip_w = int64_t(ctx.clip_right) - ctx.clip_left, clip_h = int64_t(ctx.clip_bottom) - ctx.clip_top;
    if (x1 > clip_w || x2 <= 0 || y1 > clip_h || y2 <= 0) return;
    Surface s(ctx);
    if (s.empty()) return;
    x1 += ctx.origin_x;
    y1 += ctx.origin_y;
    x2 = std::min<int64_t>(x2 + ctx.origin_x, s.grid.width() - 1);
    y2 = std::min<int64_t>(y2 + ctx.origin_y, s.grid.height() - 1);
    int64_t from_x = std::max({x1, int64_t(ctx.origin_x), s.left}), to_x = std::min(x2, s.right - 1);
    int64_t from_y = std::max({y1, int64_t(ctx.origin_y), s.top}), to_y = std::min(y2, s.bottom - 1);
    for (int64_t y = from_y; y <= to_y; y++) {
        for (int64_t x = from_x; x <= to_x; x++) {
            tui::GridCell& c = s.at(x, y);
            if (ctx.fill_on) {
                c.cp = ' ';
                c.bg = ctx.fill_color;
                c.flags &= ~tui::CELL_CONTINUATION;
            }
            if (!ctx.pen_on) continue;
            uint32_t glyph = 0;
            if (x == x1 && y == y1) glyph = CORNER_TOP_LEFT;
            else if (x == x2 && y == y1) glyph = CORNER_TOP_RIGHT;
            else if (x == x1 && y == y2) glyph = CORNER_BOTTOM_LEFT;
            else if (x == x2 && y == y2) glyph = CORNER_BOTTOM_RIGHT;
            else if (x == x1 || x == x2) glyph = VERTICAL;
            else if (y == y1 || y == y2) glyph = HORIZONTAL;
            if (!glyph) continue;  // inside: character and colour kept
            c.cp = glyph;
            c.fg = ctx.pen_color;
            c.flags &= ~tui::CELL_CONTINUATION;
        }
    }
}

void triangle(DrawContext& ctx, Point a, Point b, Point c) {
    struct P {
        int64_t x, y;
    };
    P p[3] = {{int64_t(a.x) + ctx.origin_x, int64_t(a.y) + ctx.origin_y},
              {int64_t(b.x) + ctx.origin_x, int64_t(b.y) + ctx.origin_y},
              {int64_t(c.x) + ctx.origin_x, int64_t(c.y) + ctx.origin_y}};
    std::sort(p, p + 3, [](const P& l, const P& r) { return l.y < r.y; });
    Surface s(ctx);
    if (s.empty()) return;
    if (ctx.fill_on) {
        int64_t total = p[2].y - p[0].y;
        int64_t upper = p[1].y - p[0].y;
        // Only the rows on the surface.
        int64_t first = std::max<int64_t>(0, s.top - p[0].y), last = std::min(total - 1, s.bottom - 1 - p[0].y);
        for (int64_t i = first; i <= last; i++) {
            bool lower = i > upper || p[1].y == p[0].y;
            int64_t half = lower ? p[2].y - p[1].y : upper;
            double alpha = double(i) / double(total);
            double beta = double(i - (lower ? upper : 0)) / double(half);
            int64_t ax = p[0].x + int64_t(std::trunc(double(p[2].x - p[0].x) * alpha));
            int64_t bx = lower ? p[1].x + int64_t(std::trunc(double(p[2].x - p[1].x) * beta))
                               : p[0].x + int64_t(std::trunc(double(p[1].x - p[0].x) * beta));
            if (ax > bx) std::swap(ax, bx);
            s.span(ax, bx, p[0].y + i, ctx.fill_color);
        }
    }
    if (ctx.pen_on) {
        segment(s, p[0].x, p[0].y, p[1].x, p[1].y, ctx.pen_color);
        segment(s, p[1].x, p[1].y, p[2].x, p[2].y, ctx.pen_color);
        segment(s, p[2].x, p[2].y, p[0].x, p[0].y, ctx.pen_color);
    }
}

void circle(DrawContext& ctx, Point centre, int32_t radius) {
    if (radius <= 0) return;
    draw_ellipse(ctx, int64_t(centre.x) + ctx.origin_x, int64_t(centre.y) + ctx.origin_y, 2 * int64_t(radius),
                 radius);
}

void ellipse(DrawContext& ctx, Point top_left, Point size) {
    if (size.x <= 0 || size.y <= 0) return;
    auto rx = int64_t((double(size.x) + 0.5) / 2), ry = int64_t((double(size.y) + 0.5) / 2);
    draw_ellipse(ctx, int64_t(top_left.x) + ctx.origin_x + rx, int64_t(top_left.y) + ctx.origin_y + ry, rx, ry);
}

}  // namespace kro::cell_draw
