// Text measured in cells: sizes, wrapping, and the text-box queries between
// caret indexes, characters and points, with wide and zero-width characters.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/integer.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "gui/text_measure.hpp"
#include "string_fixtures.hpp"

using namespace kro;
using namespace kro::tui;

namespace {

TextSpan span(const std::u32string& s) { return text_of(s.data(), uint32_t(s.size())); }

constexpr int NONE = UNLIMITED;

TEST(GuiTextMeasure, SizesOfTexts) {
    struct Case {
        std::u32string text;
        int limit;
        int width, lines, taken;
    };
    const Case cases[] = {
        {U"", NONE, 0, 1, 0},
        {U"abc", NONE, 3, 1, 3},
        {U"ab\ncdef\ng", NONE, 4, 3, 7},
        {U"中文a", NONE, 5, 1, 3},
        {U"e\u0301", NONE, 1, 1, 2},  // a combining mark takes no column
        {U"\n\n", NONE, 0, 3, 0},
        {U"abcdef", 3, 3, 1, 3},
        {U"ab中d", 3, 2, 1, 2},  // the character that passes the limit is given back
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        TextSize s = measure_text(span(c.text), c.limit);
        EXPECT_EQ(s.width, c.width);
        EXPECT_EQ(s.lines, c.lines);
        EXPECT_EQ(s.taken, c.taken);
    }
}

TEST(GuiTextMeasure, WrappedSizes) {
    struct Case {
        std::u32string text;
        int max;
        int width, lines;
    };
    const Case cases[] = {
        {U"abcdefgh", 4, 4, 2}, {U"abcd", 4, 4, 1},      {U"abcde", 4, 4, 2},
        {U"abc中", 4, 3, 2},     // the wide character goes over whole
        {U"ab\ncd", 0, 2, 2},   // 0: no wrapping
        {U"中", 1, 0, 1},        // not even an empty line holds it: the walk stops
        {U"a\u0301bcd", 4, 4, 1}, {U"", 5, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()) + " at " + std::to_string(c.max));
        TextSize s = wrapped_text_size(span(c.text), c.max);
        EXPECT_EQ(s.width, c.width);
        EXPECT_EQ(s.lines, c.lines);
    }
}

TEST(GuiTextMeasure, CaretToPoint) {
    struct Case {
        std::u32string text;
        int box, caret;
        bool lower;
        int column, row;
    };
    const Case cases[] = {
        {U"abc", NONE, 1, false, 0, 0},
        {U"abc", NONE, 0, false, 0, 0},
        {U"abc", NONE, 2, false, 1, 0},
        {U"abc", NONE, 4, false, 3, 0},  // the end of the text, after its last character
        {U"abc", NONE, 99, false, 3, 0},
        {U"abc", NONE, 2, true, 2, 1},   // lower: where the character ends, a row down
        {U"abcdefgh", 4, 5, false, 0, 1},
        {U"abcdefgh", 4, 4, false, 3, 0},
        {U"abcdefgh", 4, 4, true, 4, 1},
        {U"abcdefgh", 4, 9, false, 4, 1},
        {U"abc中", 4, 4, false, 0, 1},  // a wide character in the last column wraps whole
        {U"abc中", 4, 4, true, 2, 2},
        {U"ab\ncd", NONE, 3, false, 2, 0},  // the newline starts where its line ends
        {U"ab\ncd", NONE, 3, true, 2, 1},
        {U"ab\ncd", NONE, 4, false, 0, 1},
        {U"ab\ncd", NONE, 6, false, 2, 1},
        {U"中文", NONE, 2, false, 2, 0},
        {U"e\u0301x", NONE, 3, false, 1, 0},
        {U"中", 1, 2, false, 2, 0},  // too wide for the box: alone on its row
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()) + " caret " + std::to_string(c.caret));
        TextPoint p = caret_to_offset(span(c.text), c.caret, c.box, c.lower);
        EXPECT_EQ(p.column, c.column);
        EXPECT_EQ(p.row, c.row);
    }
}

TEST(GuiTextMeasure, PointToCaretAndToCharacter) {
    struct Case {
        std::u32string text;
        int box, x, y;
        int caret, character;
    };
    const Case cases[] = {
        {U"abc", NONE, 0, 0, 1, 1},
        {U"abc", NONE, 1, 0, 2, 2},
        {U"abc", NONE, 2, 0, 3, 3},
        {U"abc", NONE, 3, 0, 4, 3},  // at the end: caret n + 1, character n
        {U"abc", NONE, 9, 0, 4, 3},
        {U"abc", NONE, 0, 5, 4, 3},  // below the last row
        {U"abc", NONE, -3, -1, 1, 1},
        {U"ab\ncd", NONE, 5, 0, 3, 3},  // past the end of a line: before its newline
        {U"ab\ncd", NONE, 0, 1, 4, 4},
        {U"ab\ncd", NONE, 1, 1, 5, 5},
        {U"ab\ncd", NONE, 5, 1, 6, 5},
        {U"abcdefgh", 4, 9, 0, 5, 4},  // a wrapped row ends where the next begins
        {U"abcdefgh", 4, 1, 1, 6, 6},
        {U"中a", NONE, 1, 0, 2, 1},  // the right half of a wide character is that character
        {U"中a", NONE, 2, 0, 2, 2},
        {U"中a", NONE, 3, 0, 3, 2},
        {U"", NONE, 4, 2, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()) + " at " + std::to_string(c.x) + "x" +
                     std::to_string(c.y));
        EXPECT_EQ(offset_to_caret(span(c.text), c.x, c.y, c.box), c.caret);
        EXPECT_EQ(offset_to_char(span(c.text), c.x, c.y, c.box), c.character);
    }
}

TEST(GuiTextMeasure, CaretAndPointQueriesAgree) {
    // Every caret's point leads back to that caret, wrapping and all.
    const std::u32string texts[] = {U"abcdefgh", U"ab中文cd\nef", U"中中中", U"a\n\nb", U"x\u0301yz中"};
    for (const auto& t : texts)
        for (int box : {3, 4, 5, NONE})
            for (int caret = 1; caret <= int(t.size()) + 1; caret++) {
                SCOPED_TRACE(std::string(t.begin(), t.end()) + " box " + std::to_string(box) + " caret " +
                             std::to_string(caret));
                TextPoint p = caret_to_offset(span(t), caret, box, false);
                int back = offset_to_caret(span(t), p.column, p.row, box);
                // A zero-width character shares its point with the one before it.
                bool shared = caret >= 2 && t[size_t(caret - 2)] == U'\u0301';
                EXPECT_EQ(back, shared ? caret - 1 : caret);
            }
}

TEST(GuiTextMeasure, UTF16RangesAndCharacterRanges) {
    // a, U+1F600, b, U+1F601, c: seven UTF-16 units in five characters.
    const std::u32string text = U"a\U0001F600b\U0001F601c";
    struct Case {
        int32_t index, length, step, expected;
    };
    const Case cases[] = {
        // characters into UTF-16 units: one more for each pair in the range
        {0, 5, 1, 7},
        {0, 2, 1, 3},
        {2, 1, 1, 1},
        {1, 3, 1, 5},
        // UTF-16 units into characters: the range ends sooner at each pair
        {0, 7, -1, 5},
        {0, 3, -1, 2},   // a and the first pair
        {0, 4, -1, 3},   // and b
        {1, 2, -1, 1},   // the first pair alone
        {2, 3, -1, 2},   // b and the second pair
        {0, 2, -1, 1},   // half a pair is not a character
        {0, 0, -1, 0},
        {5, 3, 1, 3},    // nothing left to walk: unchanged
    };
    for (const Case& c : cases)
        EXPECT_EQ(utf16_length_adjust(span(text), c.index, c.length, c.step), c.expected)
            << c.index << " " << c.length << " " << c.step;
    // A start counted in UTF-16 units is the length of the range before it:
    // unit 4 starts the second pair, character 3.
    EXPECT_EQ(utf16_length_adjust(span(text), 0, 4, -1), 3);
    // Texts of narrower units hold no pairs.
    using testing_strings::text_of;
    const Cell narrow[] = {text_of(U"abcde", 1), text_of(U"abc\u4E2Dd", 2)};
    for (const Cell& n : narrow) {
        EXPECT_EQ(utf16_length_adjust(tui::text_of(&n), 0, 5, 1), 5);
        EXPECT_EQ(utf16_length_adjust(tui::text_of(&n), 0, 5, -1), 5);
    }
    Cell wide = text_of(U"x\U0001F600y", 4);
    EXPECT_EQ(utf16_length_adjust(tui::text_of(&wide), 0, 3, 1), 4);
}

TEST(GuiTextMeasure, QueriesOnStringValues) {
    using testing_strings::at_head;
    using testing_strings::text_of;
    // The same text at each unit size, and a head that is not the first character.
    const Cell texts[] = {text_of(U"abcdefgh", 1), text_of(U"abcdefgh", 2), text_of(U"abcdefgh", 4),
                          at_head(text_of(U"..abcdefgh", 1), 2)};
    for (const Cell& t : texts) {
        SCOPED_TRACE(testing_strings::unit_of(t));
        Cell box = pair::make(4, 10);
        Cell result{};
        Cell caret = integer::make(5);
        gui::text_box_metrics(&t, &box, &caret, 0, &result);
        ASSERT_TRUE(result.is(TYPE_POINT2D));
        EXPECT_EQ(point::coord(&result, 0), 0.0f);
        EXPECT_EQ(point::coord(&result, 1), 1.0f);
        gui::text_box_metrics(&t, &box, &caret, 6, &result);
        EXPECT_EQ(point::coord(&result, 0), 1.0f);
        EXPECT_EQ(point::coord(&result, 1), 2.0f);

        Cell at = point2d::make(9.7f, 0.2f);  // floats are truncated
        gui::text_box_metrics(&t, &box, &at, 1, &result);
        ASSERT_TRUE(result.is(TYPE_INTEGER));
        EXPECT_EQ(int32_t(result.data2), 5);
        gui::text_box_metrics(&t, &box, &at, 5, &result);
        EXPECT_EQ(int32_t(result.data2), 4);

        gui::text_box_metrics(&t, &box, &caret, 2, &result);
        ASSERT_TRUE(result.is(TYPE_FLOAT));
        EXPECT_EQ(result.get_float(), 1.0);
        gui::text_box_metrics(&t, &box, &caret, 3, &result);
        EXPECT_EQ(point::coord(&result, 0), 4.0f);
        EXPECT_EQ(point::coord(&result, 1), 2.0f);
        gui::text_box_metrics(&t, &box, &caret, 4, &result);
        EXPECT_EQ(int32_t(result.data2), 2);

        // Without a size there is no wrapping.
        Cell no_size = make_header_cell(TYPE_NONE);
        gui::text_box_metrics(&t, &no_size, &caret, 4, &result);
        EXPECT_EQ(int32_t(result.data2), 1);

        // Arguments of the wrong type, or an unknown query: none.
        gui::text_box_metrics(&t, &box, &at, 0, &result);
        EXPECT_TRUE(result.is(TYPE_NONE));
        gui::text_box_metrics(&t, &box, &caret, 1, &result);
        EXPECT_TRUE(result.is(TYPE_NONE));
        gui::text_box_metrics(&t, &box, &caret, 7, &result);
        EXPECT_TRUE(result.is(TYPE_NONE));

        Cell size{};
        gui::get_text_size(&t, &size);
        EXPECT_EQ(point::coord(&size, 0), 8.0f);
        EXPECT_EQ(point::coord(&size, 1), 1.0f);
    }
    Cell wide = text_of(U"😀\n中文x", 4);
    Cell size{};
    gui::get_text_size(&wide, &size);
    EXPECT_EQ(point::coord(&size, 0), 5.0f);
    EXPECT_EQ(point::coord(&size, 1), 2.0f);
}

}  // namespace
