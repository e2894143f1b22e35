// The draw dialect: commands and their arguments read from a block, the ones
// that paint drawn into a face's cells (relative to the face, cut to its
// visible area), the errors with the position they point at, recursion, the
// quiet mode, and a face's draw block whose error is printed, not raised.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/tuple.hpp"
#include "gui/cell_grid.hpp"
#include "gui/draw_dialect.hpp"
#include "interp_fixtures.hpp"
#include "grid_dump.hpp"
#include "output_capture.hpp"

using namespace kro;
using namespace kro::tui;
using namespace kro::testing_interp;
using namespace kro::testing_grid;

namespace {


uint32_t colour(int r, int g, int b) {
    Cell t = tuple::make_empty(3);
    tuple::set_byte(&t, 0, uint8_t(r));
    tuple::set_byte(&t, 1, uint8_t(g));
    tuple::set_byte(&t, 2, uint8_t(b));
    return colour_of_tuple(&t);
}
const uint32_t RED = colour(255, 0, 0), GREEN = colour(0, 255, 0), BLUE = colour(0, 0, 255);

void define_colours() {
    setup();
    run("red: 255.0.0 green: 0.255.0 blue: 0.0.255 none");
}

// A grid with one face on it: origin and visible area.
struct Board {
    CellGrid grid;
    Board(int w, int h) {
        define_colours();
        grid.resize(w, h);
        grid.clear();
    }
    // The block is composed first: a paren puts a value (a face, a font) in it.
    Picture draw(const std::string& code, int ox = 0, int oy = 0, DrawClip clip = {0, 0, 1 << 20, 1 << 20}) {
        EXPECT_EQ(run("drawn-block: compose [" + code + "] none"), "none") << code;
        gc::Rooted blk(global("drawn-block"));
        draw_block(blk.get(), grid, ox, oy, clip);
        return dump(grid);
    }
    uint32_t fg(int x, int y) const { return grid.at(x, y).fg; }
    uint32_t bg(int x, int y) const { return grid.at(x, y).bg; }
};

// What a run raised: the error's id and its argument (a block positioned at
// the offending value): the position when it is the drawn block itself, -1 for
// a block nested in it, and the argument molded.
struct Raised {
    std::string id;
    int position = -2;
    std::string at;
};

Raised raised_by(const std::string& code) {
    define_colours();
    gc::Rooted blk(load(code));
    CellGrid g;
    g.resize(20, 10);
    g.clear();
    cell_draw::DrawContext ctx;
    ctx.grid = &g;
    ctx.clip_right = 20;
    ctx.clip_bottom = 10;
    Raised r;
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        do_draw(ctx, nullptr, nullptr, blk.get(), false, false, false, false);
    });
    if (!caught) {
        r.id = "none";
        return r;
    }
    const RaisedError& e = last_raised();
    r.id = e.category + "/" + e.id;
    if (e.nargs >= 1 && e.args[0].is(TYPE_BLOCK)) {
        r.position = e.args[0].data2 == blk->data2 ? int(e.args[0].data1) - int(blk->data1) : -1;
        r.at = mold_text(e.args[0], false, true);
    }
    return r;
}

// Texts go through the writers the face renderer installed, or through the
// plain ones of the dialect: each picture is checked with both.
struct Writers {
    StringWriter strings = string_writer();
    FaceWriter faces = face_writer();
    explicit Writers(bool plain) {
        if (plain) set_text_writers(nullptr, nullptr);
    }
    ~Writers() { set_text_writers(strings, faces); }
};

// ---- painting commands ---------------------------------------------------------------------------

struct PaintCase {
    const char* code;
    Picture expected;
};

TEST(DrawDialect, PaintingCommandsDrawTheirShapes) {
    const PaintCase cases[] = {
        {"line 0x0 5x0", {"######....", "..........", ".........."}},
        // one segment per pair of points
        {"line 0x0 3x0 3x2 0x2", {"####......", "...#......", "####......"}},
        // a point2D! is truncated toward zero
        {"line (0.9, 0.2) (3.7, 0.9)", {"####......", "..........", ".........."}},
        {"box 1x0 4x2", {".r--7.....", ".|..|.....", ".L--J....."}},
        {"box 4x2 1x0", {".r--7.....", ".|..|.....", ".L--J....."}},
        // the corner radius is read and has no effect
        {"box 1x0 4x2 5", {".r--7.....", ".|..|.....", ".L--J....."}},
        {"fill-pen blue pen off box 1x0 4x2", {".oooo.....", ".oooo.....", ".oooo....."}},
        {"fill-pen blue box 1x0 4x2", {".r--7.....", ".|oo|.....", ".L--J....."}},
        {"triangle 0x0 4x2 0x2", {"#.........", "###.......", "#####....."}},
        // three points on one row: only the outline, even with a fill
        {"fill-pen blue triangle 0x1 6x1 3x1", {"..........", "#######...", ".........."}},
        {"ellipse 0x0 9x3", {"..#####...", "##.....##.", "..#####..."}},
        // a nested block is drawn with the same pens
        {"fill-pen blue [pen off box 0x0 2x1] box 4x0 6x1", {"ooo.ooo...", "ooo.ooo...", ".........."}},
        // commands without an effect on cells draw nothing, whatever their arguments
        {"polygon 0x0 5x0 5x2 arc 5x1 3x1 0 90 closed curve 0x0 1x1 2x2 spline 0x0 4x2 "
         "line-width 3 line-join round line-cap square line-pattern 1 2 anti-alias off "
         "shape [move 0x0 line 5x2 close] matrix [1 0 0 1 0 0] reset-matrix invert-matrix 'pen",
         {"..........", "..........", ".........."}},
        {"text 1x1 \"hi\"", {"..........", ".hi.......", ".........."}},
        {"text 0x0 \"ab^/cd\"", {"ab........", "cd........", ".........."}},
        // a wide character takes two cells; one that would cross the edge is not written
        {"text 0x0 \"a\u4E2Db\" text 9x1 \"\u4E2D\"", {"a?+b......", "..........", ".........."}},
        // a face's text
        {"text 2x2 (make object! [text: \"ok\"])", {"..........", "..........", "..ok......"}},
    };
    for (bool plain : {false, true}) {
        Writers writers(plain);
        for (const PaintCase& c : cases) {
            Board b(10, 3);
            EXPECT_EQ(joined(b.draw(c.code)), joined(c.expected)) << c.code << (plain ? " (plain writers)" : "");
        }
    }
}

TEST(DrawDialect, LinesEndAtTheGridAndBoxesCountFromTheFace) {
    // on an 80-column grid a segment from 78x0 to 90x0 paints two cells
    Board wide(80, 1);
    Picture row = wide.draw("line 78x0 90x0");
    EXPECT_EQ(row[0], std::string(78, '.') + "##");
    // a box in a face at grid 10x5: the corners at 11x6, 14x6, 11x8 and 14x8
    for (const char* code : {"box 1x1 4x3", "box 4x3 1x1"}) {
        Board b(16, 10);
        Picture p = b.draw(code, 10, 5, {10, 5, 16, 10});
        EXPECT_EQ(p[6].substr(10), ".r--7.") << code;
        EXPECT_EQ(p[7].substr(10), ".|..|.") << code;
        EXPECT_EQ(p[8].substr(10), ".L--J.") << code;
        for (int y : {0, 5, 9}) EXPECT_EQ(p[y], std::string(16, '.')) << code << " row " << y;
    }
}

TEST(DrawDialect, CirclesAndEllipsesHaveTheirSizes) {
    struct Bounds {
        const char* code;
        int left, top, right, bottom;  // inclusive box of the full blocks
    };
    const Bounds cases[] = {
        {"circle 10x10 3", 4, 7, 16, 13},      // 13 wide, 7 high
        {"circle 10x10 3 5", 0, 5, 20, 15},    // the last radius given
        {"circle 10x10 3.9", 4, 7, 16, 13},    // a float radius is truncated
        {"ellipse 0x0 9x5", 0, 0, 8, 4},       // radii 4 and 2 around 4x2
    };
    for (const Bounds& c : cases) {
        Board b(24, 20);
        b.draw(c.code);
        int x0 = 1 << 20, y0 = 1 << 20, x1 = -1, y1 = -1;
        for (int y = 0; y < 20; y++)
            for (int x = 0; x < 24; x++)
                if (b.grid.at(x, y).cp == 0x2588) {
                    x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
                }
        EXPECT_EQ((std::vector<int>{x0, y0, x1, y1}), (std::vector<int>{c.left, c.top, c.right, c.bottom})) << c.code;
    }
    // a zero or negative radius draws nothing
    Board none(24, 20);
    EXPECT_EQ(joined(none.draw("circle 10x10 0 circle 5x5 -2")), joined(Board(24, 20).draw("")));
}

TEST(DrawDialect, FilledCircleIsFilledUpToTheCentreColumnFromBothSides) {
    Board b(24, 20);
    b.draw("fill-pen blue circle 10x10 3");
    // the centre row: the outline at both ends, blue spaces in between
    EXPECT_EQ(b.grid.at(4, 10).cp, 0x2588u);
    EXPECT_EQ(b.grid.at(16, 10).cp, 0x2588u);
    for (int x = 5; x <= 15; x++) {
        EXPECT_EQ(b.grid.at(x, 10).cp, uint32_t(' ')) << x;
        EXPECT_EQ(b.bg(x, 10), BLUE) << x;
    }
    EXPECT_EQ(b.bg(3, 10), 0u);
    EXPECT_EQ(b.bg(17, 10), 0u);
}

// ---- pens, fonts and state ---------------------------------------------------------------------------

TEST(DrawDialect, PensColourWhatFollows) {
    struct ColourCase {
        const char* code;
        int x, y;
        uint32_t fg;
    };
    const ColourCase cases[] = {
        {"pen red line 0x0 10x0", 5, 0, RED},
        {"pen 0.255.0 box 0x0 3x2", 0, 0, GREEN},
        // a pen set inside push stays in force after it
        {"push [pen red] line 0x0 4x0", 2, 0, RED},
        {"rotate 45 [pen blue] line 0x0 4x0", 2, 0, BLUE},
        // a font's colour goes before the pen's for text
        {"font (make object! [color: 255.0.0]) pen green text 0x0 \"ab\"", 1, 0, RED},
        // a word whose value is a font
        {"pen green font (f: make object! [color: 0.0.255] 'f) text 0x0 \"ab\"", 0, 0, BLUE},
        // without a font colour, text takes the pen's
        {"pen green text 0x0 \"ab\"", 0, 0, GREEN},
        {"font (make object! [color: none]) pen green text 0x0 \"ab\"", 0, 0, GREEN},
        // with the pen off and no font colour: the default colour
        {"pen green pen off text 0x0 \"ab\"", 0, 0, 0},
        // a line with the pen off is still drawn, in the last pen colour
        {"pen red pen off line 0x0 4x0", 2, 0, RED},
        // a gradient or pattern pen leaves the colour alone
        {"pen red pen linear 0.0.0 255.255.255 line 0x0 3x0", 1, 0, RED},
    };
    for (const ColourCase& c : cases) {
        Board b(12, 4);
        b.draw(c.code);
        EXPECT_EQ(b.fg(c.x, c.y), c.fg) << c.code;
    }
}

TEST(DrawDialect, PenOffTakesTheOutlineOfShapes) {
    Board b(10, 3);
    EXPECT_EQ(joined(b.draw("pen off box 0x0 3x2 triangle 5x0 9x2 5x2 ellipse 0x0 9x3")),
              joined({"..........", "..........", ".........."}));
    // A line has no outline to lose.
    EXPECT_EQ(joined(b.draw("pen off line 0x1 9x1")), joined({"..........", "##########", ".........."}));
}

TEST(DrawDialect, TransformationsAndClipDrawTheirBlockUnchanged) {
    const char* codes[] = {
        "rotate 45 [box 1x0 4x2]",
        "rotate 'pen 45 5x5 [box 1x0 4x2]",
        "scale 2 50% [box 1x0 4x2]",
        "scale 'fill-pen 2.0 3 [box 1x0 4x2]",
        "translate 3x3 [box 1x0 4x2]",
        "skew 10 [box 1x0 4x2]",
        "skew 10 20 [box 1x0 4x2]",
        "transform 0x0 30 2 2 5x5 [box 1x0 4x2]",
        "transform 'pen 30 2 2 5x5 [box 1x0 4x2]",
        "clip 0x0 2x2 [box 1x0 4x2]",
        "clip 0x0 2x2 intersect [box 1x0 4x2]",
        "clip [move 0x0 line 3x3] exclude [box 1x0 4x2]",
        "push [box 1x0 4x2]",
        "[[box 1x0 4x2]]",
    };
    for (const char* code : codes) {
        Board b(10, 3);
        EXPECT_EQ(joined(b.draw(code)), joined({".r--7.....", ".|..|.....", ".L--J....."})) << code;
    }
}

TEST(DrawDialect, SetWordHoldsTheBlockAtTheNextCommand) {
    Board b(10, 3);
    run("drawn: [x: line 0x0 5x0 y: box 0x0 1x1 z:] none");
    Cell drawn = global("drawn");
    draw_block(&drawn, b.grid, 0, 0, {0, 0, 10, 3});
    EXPECT_EQ(run("reduce [index? x same? head x drawn first x index? y index? z tail? z]"),
              "[2 true line 6 10 true]");
    // the position is the block itself: changing it changes what is drawn
    EXPECT_EQ(run("x/2: 1x1 drawn/3"), "1x1");
}

// ---- arguments and errors ----------------------------------------------------------------------------

struct ErrorCase {
    const char* code;
    const char* id;
    int position;  // in the drawn block; -1 when the argument is a nested block
    const char* at;
};

TEST(DrawDialect, InvalidInputIsReportedAtTheOffendingValue) {
    const ErrorCase cases[] = {
        {"foo", "script/draw-invalid", 0, "[foo]"},
        {"line 0x0 1x1 bogus", "script/draw-invalid", 3, "[bogus]"},
        {"1", "script/draw-invalid", 0, "[1]"},
        {"\"text\"", "script/draw-invalid", 0, "[\"text\"]"},
        {"'line 0x0 1x1", "script/draw-invalid", 0, "['line 0x0 1x1]"},
        // fewer than two points: at the single point, or at the value after line
        {"line 0x0", "script/draw-invalid", 1, "[0x0]"},
        {"line", "script/draw-invalid", 1, "[]"},
        {"line 0x0 box 1x1 2x2", "script/draw-invalid", 1, "[0x0 box 1x1 2x2]"},
        {"box 0x0", "script/draw-invalid", 2, "[]"},
        {"box 0x0 \"a\"", "script/draw-invalid", 2, "[\"a\"]"},
        {"box 0x0 2x2 3 4", "script/draw-invalid", 4, "[4]"},
        {"triangle 0x0 1x1 2", "script/draw-invalid", 3, "[2]"},
        {"polygon 0x0 1x1", "script/draw-invalid", 1, "[0x0 1x1]"},
        {"circle 0x0", "script/draw-invalid", 2, "[]"},
        {"circle 0x0 red", "script/draw-invalid", 2, "[red]"},
        {"circle 1 2", "script/draw-invalid", 1, "[1 2]"},
        {"ellipse 0x0 3", "script/draw-invalid", 2, "[3]"},
        {"arc 0x0 5x5 0", "script/draw-invalid", 4, "[]"},
        {"arc 0x0 5x5 0 90 open", "script/draw-invalid", 5, "[open]"},
        {"curve 0x0 1x1", "script/draw-invalid", 1, "[0x0 1x1]"},
        {"curve 0x0 1x1 2x2 3x3 4x4", "script/draw-invalid", 5, "[4x4]"},
        {"spline 0x0", "script/draw-invalid", 1, "[0x0]"},
        {"text 0x0 12", "script/draw-invalid", 2, "[12]"},
        {"text \"a\"", "script/draw-invalid", 1, "[\"a\"]"},
        {"font 12", "script/draw-invalid", 1, "[12]"},
        {"font red", "script/draw-invalid", 1, "[red]"},
        {"anti-alias 1", "script/draw-invalid", 1, "[1]"},
        {"line-width", "script/draw-invalid", 1, "[]"},
        {"line-width thick", "script/draw-invalid", 1, "[thick]"},
        {"line-join flat", "script/draw-invalid", 1, "[flat]"},
        {"line-cap miter", "script/draw-invalid", 1, "[miter]"},
        {"line-pattern 1 2.5", "script/draw-invalid", 2, "[2.5]"},
        {"pen", "script/draw-invalid", 1, "[]"},
        {"pen 12", "script/draw-invalid", 1, "[12]"},
        {"pen undefined-colour", "script/draw-invalid", 1, "[undefined-colour]"},
        {"fill-pen \"red\"", "script/draw-invalid", 1, "[\"red\"]"},
        // gradients: two colours at least
        {"pen linear red", "script/draw-invalid", 2, "[red]"},
        {"pen radial", "script/draw-invalid", 2, "[]"},
        {"pen linear 0x0 0 10 red", "script/draw-invalid", 5, "[red]"},
        {"pen diamond 0x0 0 red blue", "script/draw-invalid", 4, "[red blue]"},
        {"pen linear red blue 0x0", "script/draw-invalid", 5, "[]"},
        {"pen radial red blue 0x0 2x2", "script/draw-invalid", 5, "[2x2]"},
        {"pen pattern [box 0x0 1x1]", "script/draw-invalid", 2, "[[box 0x0 1x1]]"},
        {"pen pattern 0x0", "script/draw-invalid", 3, "[]"},
        {"pen pattern 0x0 1x1 [box 0x0 1x1]", "script/draw-invalid", 4, "[[box 0x0 1x1]]"},
        {"pen bitmap red", "script/draw-invalid", 2, "[red]"},
        {"image 0x0", "script/draw-invalid", 1, "[0x0]"},
        {"image img 0x0 crop 0x0", "script/draw-invalid", 5, "[]"},
        {"shadow", "script/draw-invalid", 1, "[]"},
        {"shadow 2x2 red 3", "script/draw-invalid", 3, "[3]"},
        {"clip 0x0", "script/draw-invalid", 2, "[]"},
        {"clip red", "script/draw-invalid", 1, "[red]"},
        {"rotate", "script/draw-invalid", 1, "[]"},
        {"rotate 'line 45", "script/draw-invalid", 1, "['line 45]"},
        {"scale 1", "script/draw-invalid", 2, "[]"},
        {"translate 5", "script/draw-invalid", 1, "[5]"},
        {"transform 0x0 30 2 5x5", "script/draw-invalid", 4, "[5x5]"},
        {"transform 30 2 2", "script/draw-invalid", 4, "[]"},
        {"push", "script/draw-invalid", 1, "[]"},
        {"push box 0x0 1x1", "script/draw-invalid", 1, "[box 0x0 1x1]"},
        {"matrix 1 2 3 4 5 6", "script/draw-invalid", 1, "[1 2 3 4 5 6]"},
        {"matrix [1 2 3]", "script/draw-invalid", 1, "[[1 2 3]]"},
        {"reset-matrix 'box", "script/draw-invalid", 1, "['box]"},
        // inside a nested block: that block, at its value
        {"[line 0x0 1x1] [box 0x0]", "script/draw-invalid", -1, "[]"},
        {"push [pen red bogus]", "script/draw-invalid", -1, "[bogus]"},
        {"matrix [1 0 0 1 x 0]", "script/draw-invalid", -1, "[x 0]"},
        {"pen pattern 0x0 [wrong]", "script/draw-invalid", -1, "[wrong]"},
        {"shape [move]", "script/draw-invalid", -1, "[]"},
        {"shape [move 0x0 jump 1x1]", "script/draw-invalid", -1, "[jump 1x1]"},
        {"shape [line]", "script/draw-invalid", -1, "[]"},
        {"shape [arc 5x5 1 2]", "script/draw-invalid", -1, "[]"},
        {"shape [hline 0x0]", "script/draw-invalid", -1, "[0x0]"},
        {"shape [curve 1x1 2x2]", "script/draw-invalid", -1, "[1x1 2x2]"},
        {"shape [qcurv]", "script/draw-invalid", -1, "[]"},
        {"shape [[close] 5]", "script/draw-invalid", -1, "[5]"},
        {"shape move", "script/draw-invalid", 1, "[move]"},
    };
    run("img: make image! 2x2 none");
    for (const ErrorCase& c : cases) {
        Raised r = raised_by(c.code);
        EXPECT_EQ(r.id, c.id) << c.code;
        EXPECT_EQ(r.position, c.position) << c.code;
        EXPECT_EQ(r.at, c.at) << c.code;
    }
}

TEST(DrawDialect, EveryFormOfTheSyntaxIsAccepted) {
    const char* valid[] = {
        "",
        "pen off fill-pen off pen red fill-pen 10.20.30.40",
        "pen linear 0x0 0 100 red blue",
        "pen radial 0x0 0 100 45 red 0.1 green 0.5 blue 1.0",
        "fill-pen diamond 1x1 0 10 45 2 3 red blue",
        "pen linear red blue",
        "pen linear red 0.0 blue 1.0 0x0 10x10 repeat",
        "fill-pen radial red blue green 5x5 10 reflect",
        "fill-pen radial red blue 5x5 10 2x2 pad",
        "pen diamond red blue 0x0 10x10 5x5",
        "pen pattern 4x4 [line 0x0 3x3]",
        "pen pattern 4x4 0x0 2x2 flip-xy [pen blue box 0x0 1x1]",
        "fill-pen bitmap img",
        "fill-pen bitmap img 0x0 2x2 tile",
        "line-pattern",
        "line-pattern 2 3 4 line-width 2.5 line-join miter-bevel line-cap flat",
        "anti-alias on anti-alias off",
        "image img",
        "image img 0x0",
        "image img 0x0 5x5 10.10.10",
        "image img 0x0 1x0 1x1 0x1 crop 0x0 1x1",
        "image img border 1x1 1x1",
        "shadow off",
        "shadow 2x2",
        "shadow 2x2 3 4 red inset",
        "clip 0x0 5x5",
        "clip 0x0 5x5 union",
        "clip [move 0x0 'line 2x2 hline 3 'vline 4 close]",
        "shape [move 0x0 arc 5x5 2 2 0 sweep large curve 1x1 2x2 3x3 4x4 5x5 6x6 'curv 1x1 2x2 qcurve 0x0 1x1 "
        "qcurv 2x2 a: close [line 1x1 2x2 3x3]]",
        "rotate 45",
        "rotate 'fill-pen 45 10x10",
        "scale 1 1 translate 'pen 2x2 skew 1 transform 45 1 1 0x0",
        "matrix 'pen [1 0 0 1 0.5 0]",
        "reset-matrix 'fill-pen invert-matrix",
        "curve 0x0 1x1 2x2 3x3",
        "spline 0x0 1x1 2x2 closed arc 5x5 2x2 0 90",
        "LINE 0x0 1x0 Box 0x0 1x1",  // command words compare without regard to case
        "mark-a: mark-b: mark-c:",
    };
    run("img: make image! 2x2 none");
    for (const char* code : valid) EXPECT_EQ(raised_by(code).id, "none") << code;
}

TEST(DrawDialect, ABlockDrawnFromInsideItselfIsInfiniteRecursion) {
    // b holds itself; c holds d, which holds c; p holds itself through push
    run("b: [line 0x0 2x2] append/only b b "
        "c: [box 0x0 1x1] d: reduce ['push c] append/only c d "
        "s: [move 0x0] append/only s s "
        "p: [pen red] append p reduce ['push p] none");
    struct Case {
        const char* code;
        const char* at;  // the block met again, at its own head
    };
    const Case cases[] = {
        {"do-it: b", "b"},
        {"do-it: c", "c"},
        {"do-it: p", "p"},
        {"do-it: reduce ['shape s]", "s"},
    };
    for (const Case& c : cases) {
        run(std::string(c.code) + " none");
        define_colours();
        Cell drawn = global("do-it");
        gc::Rooted blk(drawn);
        cell_draw::DrawContext ctx;
        uint32_t caught = frame::catch_region(code::ERROR, [&] {
            do_draw(ctx, nullptr, nullptr, blk.get(), false, false, false, false);
        });
        ASSERT_EQ(caught, code::ERROR) << c.code;
        EXPECT_EQ(last_raised().id, "draw-infinite") << c.code;
        Cell expected = global(c.at);
        EXPECT_EQ(last_raised().args[0].data2, expected.data2) << c.code;
        EXPECT_EQ(last_raised().args[0].data1, 0u) << c.code;
    }
    // the same block twice in a row is no recursion
    EXPECT_EQ(raised_by("[line 0x0 1x1] [line 0x0 1x1]").id, "none");
    run("e: [box 0x0 1x1] f: reduce [e e] none");
    Cell f = global("f");
    gc::Rooted held(f);
    cell_draw::DrawContext ctx;
    EXPECT_EQ(frame::catch_region(code::ERROR, [&] {
                  do_draw(ctx, nullptr, nullptr, held.get(), false, false, false, false);
              }),
              0u);
}

// ---- a face's draw block ------------------------------------------------------------------------------

struct FaceCase {
    const char* code;
    int ox, oy;
    DrawClip clip;
    Picture expected;
};

TEST(DrawDialect, EveryPrimitiveCountsFromTheFaceAndStaysInsideIt) {
    // a face at 2x1 whose visible area is 2x1 to 8x4 (exclusive)
    const DrawClip face{2, 1, 8, 4};
    const FaceCase cases[] = {
        {"line 0x0 9x0", 2, 1, face, {"..........", "..######..", "..........", "..........", ".........."}},
        {"line -3x1 2x1", 2, 1, face, {"..........", "..........", "..###.....", "..........", ".........."}},
        {"box 1x0 3x2", 2, 1, face, {"..........", "...r-7....", "...|.|....", "...L-J....", ".........."}},
        // the box is cut by the visible area: its far side is not drawn
        {"box 4x1 9x9", 2, 1, face, {"..........", "..........", "......r-..", "......|...", ".........."}},
        {"fill-pen blue pen off triangle 0x0 8x2 0x2", 2, 1, face,
         // the last row is not filled: the rows run from the top one up to the bottom one, excluded
         {"..........", "..o.......", "..ooooo...", "..........", ".........."}},
        {"pen off fill-pen blue ellipse 0x0 6x3", 2, 1, face,
         {"..........", "....ooo...", "...ooooo..", "....ooo...", ".........."}},
        {"circle 3x1 1", 2, 1, face, {"..........", "....###...", "...#...#..", "....###...", ".........."}},
        {"text 4x2 \"abcdef\"", 2, 1, face, {"..........", "..........", "..........", "......ab..", ".........."}},
        {"text -1x0 \"abc\"", 2, 1, face, {"..........", "..bc......", "..........", "..........", ".........."}},
        // nothing outside the visible area, whatever the coordinates
        {"line 0x5 9x5 box 0x4 3x6 text 0x3 \"x\" circle 3x9 1", 2, 1, face,
         {"..........", "..........", "..........", "..........", ".........."}},
        // an empty visible area paints nothing at all
        {"line 0x0 9x0 box 0x0 3x3 text 0x0 \"x\"", 2, 1, {2, 1, 2, 4},
         {"..........", "..........", "..........", "..........", ".........."}},
    };
    for (bool plain : {false, true}) {
        Writers writers(plain);
        for (const FaceCase& c : cases) {
            Board b(10, 5);
            EXPECT_EQ(joined(b.draw(c.code, c.ox, c.oy, c.clip)), joined(c.expected))
                << c.code << (plain ? " (plain writers)" : "");
        }
    }
}

TEST(DrawDialect, ErrorInAFacesDrawBlockIsPrintedAndEndsOnlyThatDraw) {
    Board b(10, 3);
    test::CapturedOutput out;
    Cell* top = stack::top_ptr;
    int32_t frames = stack::frame_count();
    Picture p = b.draw("line 0x0 3x0 box 0x0 bad line 0x2 3x2");
    EXPECT_EQ(stack::top_ptr, top);
    EXPECT_EQ(stack::frame_count(), frames);
    // what came before the error is drawn, nothing after it
    EXPECT_EQ(joined(p), joined({"####......", "..........", ".........."}));
    std::string printed = out.take();
    EXPECT_NE(printed.find("DRAW - invalid input at:"), std::string::npos) << printed;
    EXPECT_NE(printed.find("bad line 0x2 3x2"), std::string::npos) << printed;
    EXPECT_EQ(runtime_context.thrown_code, 0u);
    // a good block draws as usual afterwards
    EXPECT_EQ(joined(b.draw("line 0x1 3x1")), joined({"####......", "####......", ".........."}));
}

TEST(DrawDialect, QuietModeStopsWithoutAnError) {
    setup();
    // the view object, or a stand-in for it when the GUI engine has none yet
    ASSERT_EQ(run("saved-view: system/view saved-silent: none "
                  "either object? system/view [saved-silent: system/view/silent? system/view/silent?: true]"
                  "[system/view: make object! [silent?: true]] none"),
              "none");
    test::CapturedOutput out;
    // raised nowhere, on an image or in a face
    EXPECT_EQ(raised_by("line 0x0 3x0 foo").id, "none");
    {
        Board b(10, 2);
        EXPECT_EQ(joined(b.draw("line 0x0 3x0 foo line 0x1 3x1")), joined({"####......", ".........."}));
    }
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(runtime_context.thrown_code, 0u);
    run("either object? saved-view [system/view/silent?: saved-silent][system/view: :saved-view] none");
    EXPECT_EQ(raised_by("foo").id, "script/draw-invalid");
}

// ---- the other entry points ----------------------------------------------------------------------------

TEST(DrawDialect, DrawingOnAnImageChecksTheBlockAndPaintsNoCell) {
    define_colours();
    CellGrid& live = grid();
    live.resize(10, 3);
    live.clear();
    run("img: make image! 4x4 none");
    Cell image = global("img");
    gc::Rooted cmds(load("pen red line 0x0 9x0 fill-pen blue box 0x0 5x2 text 0x0 \"hi\""));
    gui::OS_do_draw(&image, cmds.get());
    EXPECT_EQ(joined(dump(live)), joined({"..........", "..........", ".........."}));
    // its errors reach the caller
    gc::Rooted bad(load("line 0x0"));
    EXPECT_EQ(frame::catch_region(code::ERROR, [&] { gui::OS_do_draw(&image, bad.get()); }), code::ERROR);
    EXPECT_EQ(last_raised().id, "draw-invalid");
    // nothing to do for a value that is not a block, or an empty block
    Cell number = integer(5);
    gc::Rooted empty(load(""));
    EXPECT_EQ(frame::catch_region(code::ERROR, [&] { gui::OS_do_draw(&image, empty.get()); }), 0u);
    EXPECT_EQ(frame::catch_region(code::ERROR, [&] { gui::OS_do_draw(&image, &number); }), 0u);
    live.resize(0, 0);
}

TEST(DrawDialect, InstalledTextWritersReceiveTheTextAndItsPlace) {
    struct Seen {
        int x = -1, y = -1;
        uint32_t flags = 0, colour = 0;
        Type type = TYPE_NONE;
    };
    static Seen seen;
    StringWriter strings_before = string_writer();
    FaceWriter faces_before = face_writer();
    set_text_writers(
        [](cell_draw::DrawContext&, int32_t x, int32_t y, const Cell* t, uint32_t flags, uint32_t colour) {
            seen = {x, y, flags, colour, t->type()};
        },
        [](cell_draw::DrawContext&, int32_t x, int32_t y, const Cell* t, uint32_t flags, uint32_t colour) {
            seen = {x, y, flags, colour, t->type()};
        });
    define_colours();
    CellGrid g;
    g.resize(10, 5);
    g.clear();
    gc::Rooted s(load("pen red text 2x1 \"a\""));
    draw_block(s.get(), g, 3, 2, {0, 0, 10, 5}, STYLE_BOLD);
    EXPECT_EQ(seen.x, 5);
    EXPECT_EQ(seen.y, 3);
    EXPECT_EQ(seen.flags, STYLE_BOLD | RENDER_DECODE_ESCAPES);
    EXPECT_EQ(seen.colour, RED);
    EXPECT_EQ(seen.type, TYPE_STRING);
    run("face-text: compose [text 0x0 (make object! [text: \"a\"])] none");
    gc::Rooted f(global("face-text"));
    draw_block(f.get(), g, 0, 0, {0, 0, 10, 5});
    EXPECT_EQ(seen.type, TYPE_OBJECT);
    set_text_writers(strings_before, faces_before);
}

}  // namespace
