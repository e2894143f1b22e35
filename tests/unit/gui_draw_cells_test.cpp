// Draw primitives on the cell grid: lines, boxes, triangles, circles and
// ellipses, relative to the face and cut to its visible area and the grid.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/tuple.hpp"
#include "grid_dump.hpp"
#include "gui/draw_cells.hpp"

using namespace kro;
using namespace kro::tui;
using namespace kro::cell_draw;
using namespace kro::testing_grid;

namespace {


// A face's context on its own grid: the whole grid visible unless cut.
struct Canvas {
    CellGrid grid;
    DrawContext ctx;
    Canvas(int w, int h) {
        grid.resize(w, h);
        grid.clear();
        ctx.grid = &grid;
        ctx.clip_right = w;
        ctx.clip_bottom = h;
        begin(ctx);
    }
    void face(int x, int y, int right, int bottom) {
        ctx.origin_x = x;
        ctx.origin_y = y;
        ctx.clip_left = x;
        ctx.clip_top = y;
        ctx.clip_right = right;
        ctx.clip_bottom = bottom;
    }
    Picture line(std::vector<Point> points) {
        cell_draw::line(ctx, points.data(), points.size());
        return dump(grid);
    }
    // The box covering every cell that holds a full block.
    std::vector<int> block_bounds() const {
        int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
        for (int y = 0; y < grid.height(); y++)
            for (int x = 0; x < grid.width(); x++)
                if (grid.at(x, y).cp == 0x2588) {
                    x0 = std::min(x0, x);
                    y0 = std::min(y0, y);
                    x1 = std::max(x1, x);
                    y1 = std::max(y1, y);
                }
        return {x0, y0, x1, y1};
    }
};

Cell rgb(int r, int g, int b) {
    Cell t = tuple::make_empty(3);
    tuple::set_byte(&t, 0, uint8_t(r));
    tuple::set_byte(&t, 1, uint8_t(g));
    tuple::set_byte(&t, 2, uint8_t(b));
    return t;
}

TEST(GuiDrawCells, Lines) {
    struct Case {
        const char* what;
        std::vector<Point> points;
        Picture picture;
    };
    const Case cases[] = {
        {"horizontal", {{0, 0}, {5, 0}}, {"######..", "........", "........", "........"}},
        {"diagonal", {{0, 0}, {3, 3}}, {"#.......", ".#......", "..#.....", "...#...."}},
        {"steep", {{1, 0}, {2, 3}}, {".#......", ".#......", "..#.....", "..#....."}},
        {"backwards", {{5, 1}, {2, 1}}, {"........", "..####..", "........", "........"}},
        {"several points", {{0, 0}, {3, 0}, {3, 2}}, {"####....", "...#....", "...#....", "........"}},
        {"off the right edge", {{6, 0}, {12, 0}}, {"......##", "........", "........", "........"}},
        {"coming in from the right", {{12, 2}, {5, 2}}, {"........", "........", ".....###", "........"}},
        {"from negative cells", {{-5, -5}, {2, 2}}, {"#.......", ".#......", "..#.....", "........"}},
        {"all outside", {{-5, -1}, {20, -1}}, {"........", "........", "........", "........"}},
        {"one point is no segment", {{1, 1}}, {"........", "........", "........", "........"}},
        {"a point of length zero", {{1, 1}, {1, 1}}, {"........", ".#......", "........", "........"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Canvas cv(8, 4);
        EXPECT_EQ(cv.line(c.points), c.picture);
    }

    // On an 80-column grid a line from 78 to 90 paints two cells.
    Canvas wide(80, 1);
    wide.line({{78, 0}, {90, 0}});
    EXPECT_EQ(dump(wide.grid)[0].substr(76), "..##");

    // Endless lines end at once and still paint what they cross.
    Canvas far(10, 3);
    auto t0 = std::chrono::steady_clock::now();
    const int32_t big = 2000000000;
    EXPECT_EQ(far.line({{-big, 1}, {big, 1}}), (Picture{"..........", "##########", ".........."}));
    far.line({{-big, -big}, {big, big}});
    EXPECT_EQ(far.grid.at(0, 0).cp, 0x2588u);
    EXPECT_EQ(far.grid.at(2, 2).cp, 0x2588u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST(GuiDrawCells, LinesTakeThePenAndKeepTheBackground) {
    Canvas cv(6, 2);
    cv.grid.at(1, 0) = GridCell{0x4E2D, colour256(3), 0, CELL_CONTINUATION};
    Cell red = rgb(255, 0, 0);
    pen(cv.ctx, &red, false);
    cv.line({{0, 0}, {2, 0}});
    EXPECT_EQ(cv.grid.at(1, 0).cp, 0x2588u);
    EXPECT_EQ(cv.grid.at(1, 0).fg, colour256(196));
    EXPECT_EQ(cv.grid.at(1, 0).bg, colour256(3));
    EXPECT_EQ(cv.grid.at(1, 0).flags & CELL_CONTINUATION, 0u);

    pen(cv.ctx, nullptr, true);  // pen off: lines are still drawn, in the last pen colour
    EXPECT_EQ(cv.line({{0, 1}, {5, 1}})[1], "######");
    EXPECT_EQ(cv.ctx.pen_color, colour256(196));  // the colour stays
    EXPECT_EQ(cv.grid.at(4, 1).fg, colour256(196));
}

TEST(GuiDrawCells, LinesAreRelativeToTheFaceAndCutToIt) {
    Canvas cv(20, 8);
    cv.face(10, 5, 14, 7);
    cv.line({{0, 0}, {9, 0}});
    cv.line({{0, 0}, {0, 9}});
    Picture p = dump(cv.grid);
    EXPECT_EQ(p[5], "..........####......");
    EXPECT_EQ(p[6], "..........#.........");
    EXPECT_EQ(p[7], "....................");
    EXPECT_EQ(p[4], "....................");

    // A draw with no visible area (as on an image) paints nothing.
    Canvas none(6, 3);
    none.ctx.clip_right = none.ctx.clip_bottom = 0;
    none.line({{0, 0}, {5, 2}});
    Point tri[3] = {{0, 0}, {5, 0}, {0, 2}};
    none.ctx.fill_on = true;
    triangle(none.ctx, tri[0], tri[1], tri[2]);
    box(none.ctx, {0, 0}, {5, 2});
    circle(none.ctx, {3, 1}, 1);
    EXPECT_EQ(dump(none.grid), (Picture{"......", "......", "......"}));
}

TEST(GuiDrawCells, Boxes) {
    // The example of a face at grid 10x5.
    Canvas cv(20, 10);
    cv.face(10, 5, 20, 10);
    box(cv.ctx, {1, 1}, {4, 3});
    Picture p = dump(cv.grid);
    EXPECT_EQ(p[6], "...........r--7.....");
    EXPECT_EQ(p[7], "...........|..|.....");
    EXPECT_EQ(p[8], "...........L--J.....");
    Canvas reversed(20, 10);
    reversed.face(10, 5, 20, 10);
    box(reversed.ctx, {4, 3}, {1, 1});
    EXPECT_EQ(dump(reversed.grid), p);

    struct Case {
        const char* what;
        bool pen, fill;
        Point a, b;
        Picture picture;
    };
    const Case cases[] = {
        {"filled and framed", true, true, {0, 0}, {3, 2}, {"r--7..", "|oo|..", "L--J..", "......"}},
        {"filled only", false, true, {1, 1}, {2, 2}, {"......", ".oo...", ".oo...", "......"}},
        {"past the grid: the frame closes at its edge", true, false, {2, 1}, {40, 40},
         {"......", "..r--7", "..|..|", "..L--J"}},
        {"left of the face: nothing", true, true, {-5, 0}, {0, 2}, {"......", "......", "......", "......"}},
        {"right of the face: nothing", true, true, {7, 0}, {9, 2}, {"......", "......", "......", "......"}},
        {"partly left of the face: cut", true, false, {-2, 0}, {2, 2}, {"--7...", "..|...", "--J...", "......"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Canvas b(6, 4);
        b.ctx.pen_on = c.pen;
        b.ctx.fill_on = c.fill;
        b.ctx.fill_color = colour256(4);
        box(b.ctx, c.a, c.b);
        EXPECT_EQ(dump(b.grid), c.picture);
    }

    // Cut to the face's visible area, which may be smaller than the face.
    Canvas clipped(10, 5);
    clipped.face(2, 1, 5, 3);
    clipped.ctx.fill_on = true;
    clipped.ctx.fill_color = colour256(4);
    box(clipped.ctx, {0, 0}, {6, 6});
    EXPECT_EQ(dump(clipped.grid), (Picture{"..........", "..r--.....", "..|oo.....", "..........", ".........."}));
}

TEST(GuiDrawCells, Triangles) {
    Canvas filled(6, 6);
    filled.ctx.pen_on = false;
    filled.ctx.fill_on = true;
    filled.ctx.fill_color = colour256(2);
    triangle(filled.ctx, {0, 0}, {4, 4}, {0, 4});
    EXPECT_EQ(dump(filled.grid), (Picture{"o.....", "oo....", "ooo...", "oooo..", "......", "......"}));

    Canvas outlined(6, 6);
    triangle(outlined.ctx, {4, 4}, {0, 0}, {0, 4});  // any order
    EXPECT_EQ(dump(outlined.grid), (Picture{"#.....", "##....", "#.#...", "#..#..", "#####.", "......"}));

    // Three points on one row: the outline alone, whatever the fill.
    Canvas flat(6, 2);
    flat.ctx.fill_on = true;
    flat.ctx.fill_color = colour256(2);
    triangle(flat.ctx, {0, 1}, {5, 1}, {2, 1});
    EXPECT_EQ(dump(flat.grid), (Picture{"......", "######"}));

    // Relative to the face; a huge triangle is cut to the grid at once.
    Canvas face(8, 4);
    face.face(4, 1, 8, 4);
    face.ctx.pen_on = false;
    face.ctx.fill_on = true;
    face.ctx.fill_color = colour256(2);
    auto t0 = std::chrono::steady_clock::now();
    triangle(face.ctx, {0, 0}, {2000000000, 0}, {0, 2000000000});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(dump(face.grid), (Picture{"........", "....oooo", "....oooo", "....oooo"}));
}

TEST(GuiDrawCells, CirclesAndEllipses) {
    Canvas c(24, 20);
    circle(c.ctx, {10, 10}, 3);
    EXPECT_EQ(c.block_bounds(), (std::vector<int>{4, 7, 16, 13}));  // 13 wide, 7 high
    for (int y = 0; y < 20; y++)
        for (int x = 0; x <= 10; x++)  // symmetric about the centre column
            EXPECT_EQ(c.grid.at(x, y).cp, c.grid.at(20 - x, y).cp) << x << "," << y;

    Canvas e(12, 8);
    ellipse(e.ctx, {0, 0}, {9, 5});
    EXPECT_EQ(e.block_bounds(), (std::vector<int>{0, 0, 8, 4}));  // radii 4 and 2 around 4x2
    EXPECT_EQ(e.grid.at(4, 0).cp, 0x2588u);
    EXPECT_EQ(e.grid.at(0, 2).cp, 0x2588u);

    // Filled: spaces on the fill colour up to the centre column from both sides.
    Canvas f(24, 20);
    Cell blue = rgb(0, 0, 255);
    fill_pen(f.ctx, &blue, false);
    circle(f.ctx, {10, 10}, 3);
    std::string centre_row = dump(f.grid)[10];
    EXPECT_EQ(centre_row.substr(4, 13), "#ooooooooooo#");
    EXPECT_EQ(f.grid.at(10, 10).bg, colour256(21));
    for (int y = 0; y < 20; y++)  // the filling leaves the outline whole
        for (int x = 0; x < 24; x++)
            if (c.grid.at(x, y).cp == 0x2588) {
                EXPECT_EQ(f.grid.at(x, y).cp, 0x2588u) << x << "," << y;
            }

    // Nothing for no radius or no size; radii too large for the arithmetic
    // are not drawn; a huge filled circle around the grid fills it.
    Canvas n(8, 4);
    circle(n.ctx, {3, 2}, 0);
    circle(n.ctx, {3, 2}, -4);
    ellipse(n.ctx, {0, 0}, {0, 5});
    circle(n.ctx, {3, 2}, 2000000000);
    EXPECT_EQ(dump(n.grid), (Picture{"........", "........", "........", "........"}));
    n.ctx.fill_on = true;
    n.ctx.fill_color = colour256(1);
    circle(n.ctx, {3, 2}, 30000);
    EXPECT_EQ(dump(n.grid), (Picture{"oooooooo", "oooooooo", "oooooooo", "oooooooo"}));

    // Relative to the face and cut to it.
    Canvas r(20, 6);
    r.face(10, 1, 14, 6);
    circle(r.ctx, {0, 2}, 2);
    std::vector<int> b = r.block_bounds();
    EXPECT_EQ(b, (std::vector<int>{10, 1, 13, 5}));
}

TEST(GuiDrawCells, PensFontsAndPoints) {
    DrawContext ctx;
    ctx.pen_on = false;
    ctx.fill_on = true;
    ctx.font_color_set = true;
    begin(ctx);
    EXPECT_TRUE(ctx.pen_on);
    EXPECT_EQ(ctx.pen_color, 0u);
    EXPECT_FALSE(ctx.fill_on);
    EXPECT_FALSE(ctx.font_color_set);

    Cell green = rgb(0, 255, 0), red = rgb(255, 0, 0);
    pen(ctx, &green, false);
    EXPECT_EQ(ctx.text_color, colour256(46));  // text takes the pen's colour
    font(ctx, &red);
    EXPECT_EQ(ctx.text_color, colour256(196));
    pen(ctx, &green, false);
    EXPECT_EQ(ctx.text_color, colour256(196));  // a font's colour wins
    EXPECT_EQ(ctx.pen_color, colour256(46));
    Cell none = make_header_cell(TYPE_NONE);
    font(ctx, &none);
    EXPECT_FALSE(ctx.font_color_set);
    fill_pen(ctx, &red, false);
    EXPECT_TRUE(ctx.fill_on);
    EXPECT_EQ(ctx.fill_color, colour256(196));
    fill_pen(ctx, nullptr, true);
    EXPECT_FALSE(ctx.fill_on);

    struct Case {
        Cell value;
        bool ok;
        Point p;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {pair::make(3, -4), true, {3, -4}},
        {point2d::make(2.9f, -2.7f), true, {2, -2}},
        {point2d::make(nan, 1e20f), true, {0, 0x7FFFFFFF}},
        {point2d::make(-1e20f, 0.5f), true, {int32_t(-0x7FFFFFFF - 1), 0}},
        {make_header_cell(TYPE_INTEGER), false, {0, 0}},
    };
    for (const Case& c : cases) {
        Point p{0, 0};
        EXPECT_EQ(point_of(&c.value, p), c.ok);
        EXPECT_EQ(p.x, c.p.x);
        EXPECT_EQ(p.y, c.p.y);
    }
}

}  // namespace
