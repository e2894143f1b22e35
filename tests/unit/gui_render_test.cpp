// Faces drawn into the cell grid: clipping by the parent, alignment, hints,
// embedded SGR sequences, wide characters at the clip edge, control
// characters kept out of the frame, and the style runs of rich text.
#include "foundation/fire.hpp"
#include "gui_view_fixtures.hpp"

using namespace kro;
using namespace kro::testing_gui;
using namespace kro::tui;
using kro::testing_grid::characters;

namespace {

class GuiRender : public GuiViews {};

TEST_F(GuiRender, AFaceIsDrawnOnlyInsideItsParentPanel) {
    make_face("inner", "type: 'base offset: 2x1 size: 6x3 color: 255.0.0 text: {abcdefghij}");
    make_face("panel", "type: 'panel offset: 1x1 size: 5x2 pane: reduce [inner]");
    make_face("win", "type: 'window size: 10x5 pane: reduce [panel]");
    Widget* w = show("win", nullptr);
    Widget* p = show("panel", w);
    show("inner", p);
    draw(w);
    EXPECT_EQ(characters(grid()), (std::vector<std::string>{"          ", "          ", "   abc    ", "          ",
                                                "          "}));
    // The red background stops at the panel's edge as the text does.
    const uint32_t red = rgb_to_256(255, 0, 0);
    EXPECT_EQ(grid().at(3, 2).bg, red);
    EXPECT_EQ(grid().at(5, 2).bg, red);
    EXPECT_NE(grid().at(6, 2).bg, red);
    EXPECT_NE(grid().at(3, 3).bg, red);
}

TEST_F(GuiRender, TextIsAlignedByItsPara) {
    struct Case {
        const char* para;
        const char* text;
        std::vector<std::string> rows;
    } cases[] = {
        {"align: 'center", "abcde", {"  abcde   ", "          ", "          "}},
        {"align: 'right", "abc", {"       abc", "          ", "          "}},
        {"align: 'center v-align: 'middle", "ab", {"          ", "    ab    ", "          "}},
        {"v-align: 'bottom", "a^/b", {"          ", "a         ", "b         "}},
        {"align: 'center", "too long for the box", {"too long f", "          ", "          "}},
        {"wrap?: true", "abcdefghijkl", {"abcdefghij", "kl        ", "          "}},
    };
    for (const Case& c : cases) {
        run(std::string("p: make test-para! [") + c.para + "]");
        make_face("t", std::string("type: 'text size: 10x3 para: p text: {") + c.text + "}");
        make_face("win", "type: 'window size: 10x3 pane: reduce [t]");
        Widget* w = show("win", nullptr);
        show("t", w);
        draw(w);
        EXPECT_EQ(characters(grid()), c.rows) << c.para << " / " << c.text;
        gui::reset_views();
    }
}

TEST_F(GuiRender, AnEmptyFieldShowsItsHintDimmed) {
    make_face("f", "type: 'field size: 8x1 text: {} options: [hint: {name}]");
    make_face("g", "type: 'field offset: 0x1 size: 8x1 text: {bob} options: [hint: {name}]");
    make_face("win", "type: 'window size: 8x2 pane: reduce [f g]");
    Widget* w = show("win", nullptr);
    show("f", w);
    show("g", w);
    draw(w);
    EXPECT_EQ(characters(grid()), (std::vector<std::string>{"name    ", "bob     "}));
    EXPECT_TRUE(grid().at(0, 0).flags & STYLE_DIM);
    EXPECT_FALSE(grid().at(0, 1).flags & STYLE_DIM) << "the text itself is not dimmed";
}

TEST_F(GuiRender, EmbeddedSequencesChangeTheStyleOfWhatFollows) {
    struct Case {
        const char* text;
        const char* visible;
        int column;  // the cell looked at
        uint32_t fg, bg, style;
    } cases[] = {
        {"a^[[1;31mbc", "abc", 2, colour16(1), 0, STYLE_BOLD},
        {"a^[[1;31mbc", "abc", 0, 0, 0, 0},
        {"^[[38;5;200mx", "x", 0, colour256(200), 0, 0},
        {"^[[1;2m^[[22mx", "x", 0, 0, 0, 0},  // 22 ends bold as well as dim
        {"^[[7mx^[[27my", "xy", 1, 0, 0, 0},
        {"^[[4;92;43mx", "x", 0, colour16(12), colour16(3), STYLE_UNDERLINE},
        {"^[[1m^[[0mx", "x", 0, 0, 0, 0},
        {"^[[2Jx^[[Ay", "xy", 1, 0, 0, 0},
        {"^[(x", "(x", 1, 0, 0, 0},  // not a CSI: the ESC itself is never written
        {"a^-b^Mc", "abc", 2, 0, 0, 0},  // nor are other control characters
    };
    for (const Case& c : cases) {
        make_face("b", std::string("type: 'base size: 6x1 text: {") + c.text + "}");
        make_face("win", "type: 'window size: 6x1 pane: reduce [b]");
        Widget* w = show("win", nullptr);
        show("b", w);
        draw(w);
        std::string expected = c.visible;
        expected.resize(6, ' ');
        EXPECT_EQ(characters(grid())[0], expected) << c.text;
        const GridCell& cell = grid().at(c.column, 0);
        EXPECT_EQ(cell.fg, c.fg) << c.text;
        EXPECT_EQ(cell.bg, c.bg) << c.text;
        EXPECT_EQ(cell.flags, c.style) << c.text;
        gui::reset_views();
    }
}

TEST_F(GuiRender, AWideCharacterThatWouldCrossTheEdgeIsNotDrawn) {
    make_face("b", "type: 'base size: 4x2 text: {abc漢^/漢字x}");
    make_face("win", "type: 'window size: 6x2 pane: reduce [b]");
    Widget* w = show("win", nullptr);
    show("b", w);
    draw(w);
    EXPECT_EQ(characters(grid()), (std::vector<std::string>{"abc   ", "漢字  "}));
    EXPECT_TRUE(grid().at(1, 1).flags & CELL_CONTINUATION);
}

TEST_F(GuiRender, HiddenFacesAndTheirPanesAreSkipped) {
    make_face("a", "type: 'base size: 3x1 text: {aaa}");
    make_face("panel", "type: 'panel offset: 0x1 size: 3x1 visible?: false pane: reduce [a]");
    make_face("win", "type: 'window size: 3x2 text: {title} pane: reduce [panel]");
    Widget* w = show("win", nullptr);
    Widget* p = show("panel", w);
    show("a", p);
    draw(w);
    EXPECT_EQ(characters(grid()), (std::vector<std::string>{"   ", "   "})) << "nor is the window's title drawn";
}

TEST_F(GuiRender, StyleRunsStopAtTheEndOfTheCells) {
    std::vector<GridCell> cells(5, GridCell{'x', 0, 0, 0});
    style_run(cells, 3, 10, RunStyle::bold);
    style_run(cells, -2, 3, RunStyle::foreground, colour16(2));
    style_run(cells, 1, 2, RunStyle::background, colour16(4));
    std::vector<uint32_t> flags, fg, bg;
    for (const GridCell& c : cells) {
        flags.push_back(c.flags);
        fg.push_back(c.fg);
        bg.push_back(c.bg);
    }
    EXPECT_EQ(flags, (std::vector<uint32_t>{0, 0, 0, STYLE_BOLD, STYLE_BOLD}));
    EXPECT_EQ(fg, (std::vector<uint32_t>{colour16(2), 0, 0, 0, 0}));
    EXPECT_EQ(bg, (std::vector<uint32_t>{0, colour16(4), colour16(4), 0, 0}));
}

TEST_F(GuiRender, ADrawFacetPaintsInsideItsFace) {
    make_face("d", "type: 'base offset: 1x0 size: 4x3 draw: [box 0x0 3x2 text 1x1 {^[[1mhi} line 0x0 9x0]");
    make_face("win", "type: 'window size: 7x3 pane: reduce [d]");
    Widget* w = show("win", nullptr);
    show("d", w);
    draw(w);
    // The line would run to column 10: it stops at the face's edge.
    EXPECT_EQ(characters(grid()), (std::vector<std::string>{" ████  ", " │hi│  ", " └──┘  "}));
    EXPECT_EQ(grid().at(2, 1).flags, STYLE_BOLD) << "the text's own sequences apply";
}

// A draw hook that raises: the face's own drawing stays and the frame goes on.
void raising_draw(Widget&, int, int, const ClipBox&, const Cell*) { fire("script", "draw-invalid"); }

TEST_F(GuiRender, AFaultInADrawBlockStaysInsideTheFace) {
    DrawFaceHook saved = draw_face_hook;
    draw_face_hook = &raising_draw;
    make_face("a", "type: 'base size: 3x1 text: {aaa} draw: [line 0x0 2x0]");
    make_face("b", "type: 'base offset: 0x1 size: 3x1 text: {bbb}");
    make_face("win", "type: 'window size: 3x2 pane: reduce [a b]");
    Widget* w = show("win", nullptr);
    show("a", w);
    show("b", w);
    Cell* top = stack::top_ptr;
    draw(w);
    draw_face_hook = saved;
    EXPECT_EQ(characters(grid()), (std::vector<std::string>{"aaa", "bbb"}));
    EXPECT_EQ(stack::top_ptr, top);
}

}  // namespace
