// The cell grid and its frames: colour coding and the palette, the fewest
// style changes, frames whose every row keeps the grid's width whatever the
// cells hold, the caret, and frames on a terminal that move back over the
// previous one and make way for ordinary output.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/tuple.hpp"
#include "gui/cell_grid.hpp"
#include "gui/terminal_control.hpp"
#include "output_capture.hpp"
#include "pty_terminal.hpp"

using namespace kro;
using namespace kro::tui;

namespace {

const std::string E = "\x1b[";

GridCell style(uint32_t flags, uint32_t fg = 0, uint32_t bg = 0) { return GridCell{'x', bg, fg, flags}; }

TEST(GuiCellGrid, StyleChangesAreTheFewestThatReachTheNewStyle) {
    struct Case {
        const char* what;
        GridCell from, to;
        std::string sgr;
    };
    const Case cases[] = {
        {"same style", style(STYLE_BOLD, colour16(1)), style(STYLE_BOLD, colour16(1)), ""},
        {"bold on", style(0), style(STYLE_BOLD), E + "1m"},
        {"bold off", style(STYLE_BOLD), style(0), E + "22m"},
        {"bold to dim keeps dim", style(STYLE_BOLD), style(STYLE_DIM), E + "22m" + E + "2m"},
        {"dim to bold keeps bold", style(STYLE_DIM), style(STYLE_BOLD), E + "22m" + E + "1m"},
        {"bold and dim to dim", style(STYLE_BOLD | STYLE_DIM), style(STYLE_DIM), E + "22m" + E + "2m"},
        {"dim, inverse and bold on, in that order", style(0), style(STYLE_DIM | STYLE_INVERSE | STYLE_BOLD),
         E + "2m" + E + "7m" + E + "1m"},
        {"inverse off", style(STYLE_INVERSE), style(0), E + "27m"},
        {"italic, strike and underline on", style(0), style(STYLE_ITALIC | STYLE_STRIKE | STYLE_UNDERLINE),
         E + "3m" + E + "9m" + E + "4m"},
        {"italic, strike and underline off", style(STYLE_ITALIC | STYLE_STRIKE | STYLE_UNDERLINE), style(0),
         E + "23m" + E + "29m" + E + "24m"},
        {"blink and hidden are never written", style(0), style(STYLE_BLINK | STYLE_HIDDEN), ""},
        {"16-colour foreground", style(0), style(0, colour16(1)), E + "31m"},
        {"bright foreground", style(0), style(0, colour16(12)), E + "92m"},
        {"bright background", style(0), style(0, 0, colour16(12)), E + "102m"},
        {"default index", style(0, colour16(1)), style(0, colour16(9)), E + "39m"},
        {"256-colour foreground", style(0), style(0, colour256(196)), E + "38;5;196m"},
        {"256-colour background", style(0), style(0, 0, colour256(21)), E + "48;5;21m"},
        {"24-bit foreground", style(0), style(0, colour_rgb(1, 2, 3)), E + "38;2;1;2;3m"},
        {"24-bit background", style(0), style(0, 0, colour_rgb(255, 128, 0)), E + "48;2;255;128;0m"},
        {"back to the default colours", style(0, colour256(1), colour256(2)), style(0), E + "39m" + E + "49m"},
        {"a code outside the coding is the default, never a reset", style(STYLE_BOLD),
         style(STYLE_BOLD, 0x03000005u), E + "39m"},
        {"index 8 is no colour", style(0), style(0, 0, colour16(8)), E + "49m"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out;
        append_style_change(out, c.from, c.to);
        EXPECT_EQ(out, c.sgr);
    }
}

TEST(GuiCellGrid, RgbToThePalette) {
    struct Case {
        int r, g, b, fourth;
        uint32_t code;
    };
    const Case cases[] = {
        {0, 0, 0, 0, colour256(16)},       {255, 0, 0, 0, colour256(196)},   {128, 128, 128, 0, colour256(244)},
        {255, 255, 255, 0, colour256(231)}, {8, 8, 8, 0, colour256(232)},    {95, 135, 0, 0, colour256(64)},
        {100, 100, 100, 0, colour256(241)}, {0, 12, 0, 0, colour256(232)},  // a tie goes to the grey
        {10, 20, 30, 255, COLOUR_DEFAULT},  {10, 20, 30, 254, colour256(233)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.r) + "." + std::to_string(c.g) + "." + std::to_string(c.b));
        EXPECT_EQ(rgb_to_256(c.r, c.g, c.b, c.fourth), c.code);
    }
    Cell red = tuple::make_empty(3);
    tuple::set_byte(&red, 0, 255);
    EXPECT_EQ(colour_of_tuple(&red), colour256(196));
    Cell clear = tuple::make_empty(4);
    tuple::set_byte(&clear, 3, 255);
    EXPECT_EQ(colour_of_tuple(&clear), COLOUR_DEFAULT);
    Cell not_a_tuple = make_header_cell(TYPE_INTEGER);
    EXPECT_EQ(colour_of_tuple(&not_a_tuple), COLOUR_DEFAULT);

    struct Entry {
        int index;
        PaletteEntry e;
    };
    const Entry entries[] = {{1, {1, 0x80, 0, 0}},       {7, {7, 0xC0, 0xC0, 0xC0}},   {16, {0, 0, 0, 0}},
                             {21, {12, 0, 0, 0xFF}},      {196, {9, 0xFF, 0, 0}},        {231, {15, 0xFF, 0xFF, 0xFF}},
                             {232, {0, 8, 8, 8}},         {244, {8, 0x80, 0x80, 0x80}}, {255, {15, 0xEE, 0xEE, 0xEE}}};
    for (const Entry& x : entries) {
        SCOPED_TRACE(x.index);
        const PaletteEntry& p = palette(x.index);
        EXPECT_EQ(p.nearest16, x.e.nearest16);
        EXPECT_EQ(p.r, x.e.r);
        EXPECT_EQ(p.g, x.e.g);
        EXPECT_EQ(p.b, x.e.b);
    }
}

TEST(GuiCellGrid, FillClearAndResize) {
    CellGrid g;
    g.resize(4, 3);
    g.clear();
    g.at(1, 1) = GridCell{'q', 0, colour16(2), STYLE_BOLD};
    g.fill_rect(-2, 1, 4, 10, colour256(5));  // cut to columns 0-1, rows 1-2
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 4; x++) {
            SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
            bool in = x < 2 && y >= 1;
            EXPECT_EQ(g.at(x, y).bg, in ? colour256(5) : 0u);
            EXPECT_EQ(g.at(x, y).cp, in ? uint32_t(' ') : 0u);
        }
    EXPECT_EQ(g.at(1, 1).fg, colour16(2));  // other words kept
    EXPECT_EQ(g.at(1, 1).flags, STYLE_BOLD);
    g.resize(2, 2);
    g.clear();
    g.resize(-1, 5);
    EXPECT_EQ(g.width(), 0);
    EXPECT_EQ(g.height(), 5);
}

CellGrid text_grid(const std::vector<std::u32string>& rows) {
    CellGrid g;
    size_t w = 0;
    for (auto& r : rows) {
        size_t n = 0;
        for (char32_t c : r) n += size_t(test::terminal_width(c));
        w = std::max(w, n);
    }
    g.resize(int(w), int(rows.size()));
    g.clear();
    for (size_t y = 0; y < rows.size(); y++) {
        int x = 0;
        for (char32_t c : rows[y]) {
            g.at(x++, int(y)).cp = c;
            if (test::terminal_width(c) == 2) g.at(x++, int(y)).flags = CELL_CONTINUATION;
        }
    }
    return g;
}

TEST(GuiCellGrid, FramesInlineAndFullscreen) {
    CellGrid g = text_grid({U"abc", U"def"});
    for (int x = 0; x < 3; x++) g.at(x, 0).bg = g.at(x, 1).bg = colour256(21);
    g.at(1, 1).fg = colour16(1);
    FrameState f;
    compose_frame(g, f, false, false);
    // The background once per row (again after the row's reset), the
    // foreground where it changes, everything default at the end.
    EXPECT_EQ(f.out, "\r" + E + "0J" + E + "48;5;21mabc" + E + "49m\r\n" + E + "48;5;21md" + E + "31me" + E + "39mf" +
                         E + "49m");
    EXPECT_EQ(f.lines_above_cursor, 1);
    compose_frame(g, f, false, false);
    EXPECT_EQ(f.out.substr(0, 9), "\r" + E + "1A" + E + "0J");
    compose_frame(g, f, true, false);
    EXPECT_EQ(f.out.substr(0, 3), E + "H");
    EXPECT_EQ(f.out.find("0J"), std::string::npos);

    CellGrid empty;
    compose_frame(empty, f, false, false);
    EXPECT_EQ(f.out, "");
}

// The frame's characters with the escape sequences, CR and LF taken out.
std::u32string visible(const std::string& frame) {
    std::u32string out;
    for (size_t i = 0; i < frame.size();) {
        auto b = uint8_t(frame[i]);
        if (b == 0x1b) {
            i += 2;
            while (i < frame.size() && !(frame[i] >= 0x40 && frame[i] <= 0x7e)) i++;
            i++;
            continue;
        }
        if (b == '\r' || b == '\n') {
            i++;
            continue;
        }
        int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t c = len == 1 ? b : b & (0xFF >> (len + 1));
        for (int k = 1; k < len; k++) c = (c << 6) | (uint8_t(frame[i + size_t(k)]) & 0x3F);
        out += c;
        i += size_t(len);
    }
    return out;
}

TEST(GuiCellGrid, EveryRowKeepsTheGridsWidthWhateverTheCellsHold) {
    struct Case {
        const char* what;
        std::vector<GridCell> row;
        std::u32string shown;
    };
    const uint32_t C = CELL_CONTINUATION;
    const Case cases[] = {
        {"wide character and its right half", {{0x4E2D, 0, 0, 0}, {0, 0, 0, C}, {'a', 0, 0, 0}}, U"中a"},
        {"right half whose character was overwritten", {{'b', 0, 0, 0}, {0, 0, 0, C}, {'a', 0, 0, 0}}, U"b a"},
        {"wide character whose right half was overwritten", {{0x4E2D, 0, 0, 0}, {'x', 0, 0, 0}, {'a', 0, 0, 0}},
         U" xa"},
        {"wide character in the last column", {{'a', 0, 0, 0}, {'b', 0, 0, 0}, {0x4E2D, 0, 0, 0}}, U"ab "},
        {"password cells", {{'s', 0, 0, CELL_PASSWORD}, {0x4E2D, 0, 0, CELL_PASSWORD}, {0, 0, 0, C}}, U"** "},
        {"empty cells are spaces", {{0, 0, 0, 0}, {'z', 0, 0, 0}, {0, 0, 0, 0}}, U" z "},
        {"controls never reach the terminal", {{0x1B, 0, 0, 0}, {'\n', 0, 0, 0}, {0x85, 0, 0, 0}}, U"   "},
        {"a combining mark alone", {{0x301, 0, 0, 0}, {'e', 0, 0, 0}, {0x200B, 0, 0, 0}}, U" e "},
        {"no character at all", {{0x110000, 0, 0, 0}, {0xD800, 0, 0, 0}, {'k', 0, 0, 0}}, U"\uFFFD\uFFFDk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CellGrid g;
        g.resize(3, 1);
        for (int x = 0; x < 3; x++) g.at(x, 0) = c.row[size_t(x)];
        FrameState f;
        compose_frame(g, f, true, false);
        std::u32string shown = visible(f.out);
        EXPECT_EQ(shown, c.shown);
        int columns = 0;
        for (char32_t ch : shown) columns += test::terminal_width(ch);
        EXPECT_EQ(columns, 3);
    }
}

TEST(GuiCellGrid, TheCursorGoesToTheCaretWhenTheFocusTakesKeys) {
    CellGrid g = text_grid({U"aaaaa", U"bbbbb", U"ccccc"});
    struct Case {
        int column, row;
        bool wanted;
        std::string tail;
        int lines_above;
    };
    const Case cases[] = {
        {2, 1, true, "\r" + E + "1A" + E + "2C", 1},
        {0, 0, true, "\r" + E + "2A", 0},
        {4, 2, true, "\r" + E + "4C", 2},
        {0, 2, true, "\r", 2},
        {-1, -1, true, "", 2},   // caret not known
        {3, 1, false, "", 2},    // focus takes no keys
        {9, 7, true, "\r" + E + "4C", 2},  // held inside the frame
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.column) + "," + std::to_string(c.row));
        FrameState f;
        f.caret_column = c.column;
        f.caret_row = c.row;
        compose_frame(g, f, false, c.wanted);
        std::string end = "ccccc";
        size_t at = f.out.rfind(end);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(f.out.substr(at + end.size()), c.tail);
        EXPECT_EQ(f.lines_above_cursor, c.lines_above);
    }
}

TEST(GuiCellGrid, EraseAndFinishAFrame) {
    test::CapturedOutput out;
    FrameState f;
    erase_frame(f);  // nothing shown
    frame_done(f, 3);
    EXPECT_EQ(out.take(), "");

    CellGrid g = text_grid({U"a", U"b", U"c"});
    write_frame(g, f, false, false);
    EXPECT_TRUE(f.shown);
    EXPECT_FALSE(f.redraw);
    EXPECT_EQ(out.take(), "\r" + E + "0Ja" + E + "49m\r\nb" + E + "49m\r\nc");
    erase_frame(f);
    EXPECT_EQ(out.take(), "\r" + E + "2A" + E + "0J");
    EXPECT_FALSE(f.shown);

    // With the cursor on the frame's first row, the frame is still erased.
    f.caret_column = 0;
    f.caret_row = 0;
    write_frame(g, f, false, true);
    out.take();
    EXPECT_EQ(f.lines_above_cursor, 0);
    erase_frame(f);
    EXPECT_EQ(out.take(), "\r" + E + "0J");

    // Finishing: the cursor on the line after the frame, wherever it was.
    write_frame(g, f, false, true);
    out.take();
    frame_done(f, g.height());
    EXPECT_EQ(out.take(), E + "2B\r\n");
    write_frame(g, f, false, false);
    out.take();
    frame_done(f, g.height());
    EXPECT_EQ(out.take(), "\r\n");

    CellGrid empty;
    FrameState none;
    write_frame(empty, none, false, false);
    EXPECT_EQ(out.take(), "");
    EXPECT_FALSE(none.shown);
}

void draw_hello(CellGrid& g, void* context) {
    auto* calls = static_cast<int*>(context);
    ++*calls;
    const char* s = "hello";
    for (int x = 0; x < g.width() && s[x]; x++) g.at(x, 0).cp = uint32_t(s[x]);
}

TEST(GuiCellGrid, RenderingSizesPlacesAndDrawsOnlyWhenDue) {
    test::CapturedOutput out;
    reset_control_state();  // 80 x 24: output is no terminal
    FrameState& f = frame();
    reset_frame(f, grid());
    f.first_row = 23;
    int calls = 0;
    render_frame(100, 2, false, &draw_hello, &calls);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(grid().width(), 80);  // cut to the terminal
    EXPECT_EQ(grid().height(), 2);
    EXPECT_EQ(f.first_row, 22);  // moved up to fit
    std::string s = out.take();
    EXPECT_EQ(s.substr(0, 6), E + "?25l");  // cursor hidden first
    EXPECT_NE(s.find("hello" + std::string(75, ' ')), std::string::npos);

    render_frame(100, 2, true, &draw_hello, &calls);  // no redraw due: the same cells again
    EXPECT_EQ(calls, 1);
    s = out.take();
    EXPECT_EQ(s.substr(s.size() - 6), E + "?25h");  // shown for the caret
    EXPECT_NE(s.find("hello"), std::string::npos);

    f.redraw = true;
    render_frame(3, 1, true, &draw_hello, &calls);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(out.take(), "\r" + E + "1A" + E + "0Jhel");
    reset_frame(f, grid());
    reset_control_state();
}

// ---- on a terminal ----------------------------------------------------------------------------

TEST(GuiCellGrid, InlineFramesReplaceEachOtherAndMakeWayForOutput) {
    test::PtySession pty(20, 8);
    ASSERT_TRUE(pty.ok());
    pty.attach();
    reset_control_state();
    pty.program_writes(">> view\r\n");
    FrameState f;
    f.first_row = 1;

    CellGrid g = text_grid({U"+----+", U"|中文|", U"+----+"});
    g.at(1, 1).fg = colour256(196);
    write_frame(g, f, false, false);
    pty.settle();
    EXPECT_EQ(pty.row(0), ">> view");
    EXPECT_EQ(pty.row(1), "+----+");
    EXPECT_EQ(pty.row(2), "|中文|");
    EXPECT_EQ(pty.row(3), "+----+");

    // A smaller frame in its place: nothing of the old one is left.
    CellGrid h = text_grid({U"ok"});
    write_frame(h, f, false, false);
    pty.settle();
    EXPECT_EQ(pty.row(1), "ok");
    EXPECT_EQ(pty.row(2), "");
    EXPECT_EQ(pty.row(3), "");

    write_frame(g, f, false, false);
    erase_frame(f);
    pty.program_writes("printed\r\n");
    f.first_row = 2;
    write_frame(g, f, false, false);
    frame_done(f, g.height());
    pty.program_writes(">> ");
    pty.settle();
    EXPECT_EQ(pty.row(1), "printed");
    EXPECT_EQ(pty.row(2), "+----+");
    EXPECT_EQ(pty.row(3), "|中文|");
    EXPECT_EQ(pty.row(4), "+----+");
    EXPECT_EQ(pty.row(5), ">>");
    EXPECT_EQ(pty.scrolled(), 0);
    pty.detach();
}

}  // namespace
