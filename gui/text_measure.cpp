#include "gui/text_measure.hpp"

#include <algorithm>
#include <cmath>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/point.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/char_width.hpp"
#include "foundation/memory.hpp"

namespace kro::tui {

uint32_t TextSpan::at(uint32_t i) const { return string::get_char(data + size_t(i) * size_t(unit), unit); }

TextSpan text_of(const Cell* str) {
    memory::Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    uint32_t total = (b->tail - b->offset) / uint32_t(unit);
    uint32_t head = std::min(str->data1, total);
    return TextSpan{b->head_ptr() + size_t(head) * size_t(unit), total - head, unit};
}

TextSpan text_of(const char32_t* chars, uint32_t length) {
    static_assert(sizeof(char32_t) == 4);
    return TextSpan{reinterpret_cast<const uint8_t*>(chars), length, 4};
}

namespace {

int width_of(uint32_t cp) { return unicode::char_width(cp); }

// Walks a text laid out in a box, character by character: where each one
// starts, with the wrapping rule of every query here.
struct Walker {
    const TextSpan& text;
    int64_t box;
    uint32_t next = 0;  // index of the next character (0-based)
    int64_t column = 0, row = 0;
    // The current character's start and width.
    int64_t start_column = 0, start_row = 0;
    int width = 0;
    bool newline = false;

    Walker(const TextSpan& t, int box_width) : text(t), box(box_width) {}

    bool done() const { return next >= text.length; }
    // Places the next character (its start and width) without passing it.
    void place() {
        uint32_t c = text.at(next);
        newline = c == '\n';
        width = newline ? 0 : width_of(c);
        if (!newline && column > 0 && column + width > box) {
            row++;
            column = 0;
        }
        start_column = column;
        start_row = row;
    }
    // Passes the placed character.
    void pass() {
        next++;
        if (newline) {
            row++;
            column = 0;
        } else {
            column += width;
        }
    }
};

int clamp_int(int64_t v) { return int(std::clamp<int64_t>(v, -0x7FFFFFFF, 0x7FFFFFFF)); }

}  // namespace

TextSize measure_text(const TextSpan& text, int limit) {
    int64_t widest = 0, line = 0;
    int lines = 1, taken = 0, last_width = 0;
    for (uint32_t i = 0; i < text.length && line < limit; i++) {
        uint32_t c = text.at(i);
        if (c == '\n') {
            lines++;
            widest = std::max(widest, line);
            line = 0;
            continue;
        }
        last_width = width_of(c);
        line += last_width;
        taken++;
    }
    widest = std::max(widest, line);
    if (widest > limit) {
        widest -= last_width;
        taken--;
    }
    return TextSize{clamp_int(widest), lines, taken};
}

TextSize wrapped_text_size(const TextSpan& text, int max_width) {
    int64_t limit = max_width <= 0 ? int64_t(UNLIMITED) : max_width;
    int64_t widest = 0, line = 0;
    int lines = 1;
    for (uint32_t i = 0; i < text.length; i++) {
        uint32_t c = text.at(i);
        if (c == '\n') {
            lines++;
            line = 0;
            continue;
        }
        int w = width_of(c);
        if (w > limit) break;  // not even an empty line holds it
        line += w;
        if (line > limit) {
            lines++;
            line = w;
        }
        widest = std::max(widest, line);
    }
    return TextSize{clamp_int(widest), lines, 0};
}

TextPoint caret_to_offset(const TextSpan& text, int caret, int box_width, bool lower) {
    Walker w(text, box_width);
    int64_t index = std::clamp<int64_t>(caret, 1, int64_t(text.length) + 1);
    while (int64_t(w.next) + 1 < index) {
        w.place();
        w.pass();
    }
    if (w.done()) return TextPoint{clamp_int(w.column), clamp_int(w.row + (lower ? 1 : 0))};
    w.place();
    if (!lower) return TextPoint{clamp_int(w.start_column), clamp_int(w.start_row)};
    return TextPoint{clamp_int(w.start_column + w.width), clamp_int(w.start_row + 1)};
}

int offset_to_caret(const TextSpan& text, int x, int y, int box_width) {
    Walker w(text, box_width);
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    while (!w.done()) {
        w.place();
        if (w.start_row > y) break;  // row y ended by wrapping: the caret goes before what wrapped
        if (w.start_row == y && (w.newline || w.start_column >= x)) break;
        w.pass();
    }
    return int(w.next) + 1;
}

int offset_to_char(const TextSpan& text, int x, int y, int box_width) {
    Walker w(text, box_width);
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    uint32_t last_on_row = 0;  // 1-based; 0: none seen on row y yet
    while (!w.done()) {
        w.place();
        if (w.start_row > y) break;
        if (w.start_row == y) {
            last_on_row = w.next + 1;
            if (w.newline || (w.width > 0 && w.start_column + w.width > x)) return int(w.next) + 1;
        }
        w.pass();
    }
    if (last_on_row) return int(last_on_row);
    return int(text.length);  // past the end: the last character
}

int32_t utf16_length_adjust(const TextSpan& text, int32_t index, int32_t length, int32_t step) {
    if (text.unit != 4 || length <= 0) return length;
    int64_t p = std::clamp<int64_t>(index, 0, text.length);
    int64_t end = std::min<int64_t>(p + length, text.length);
    int64_t adjusted = length;
    for (; p < end; p++) {
        if (text.at(uint32_t(p)) <= 0xFFFF) continue;
        adjusted += step;
        if (step < 0) end--;
    }
    return int32_t(std::clamp<int64_t>(adjusted, 0, INT32_MAX));
}

}  // namespace kro::tui

namespace kro::gui {

void get_text_size(const Cell* text, Cell* point) {
    tui::TextSize s = tui::measure_text(tui::text_of(text), tui::UNLIMITED);
    point2d::make_at(point, float(s.width), float(s.lines));
}

namespace {

// A coordinate of a pair! or a point2D! (truncated), or the fallback.
int coordinate(const Cell* c, int axis, int fallback) {
    if (c->is(TYPE_PAIR)) return int32_t(axis == 0 ? c->data2 : c->data3);
    if (c->is(TYPE_POINT2D)) {
        float f = point::coord(c, axis);
        if (!(f > -2147483648.0f && f < 2147483648.0f)) return f > 0 ? tui::UNLIMITED : fallback;
        return int(std::trunc(f));
    }
    return fallback;
}

}  // namespace

void text_box_metrics(const Cell* text, const Cell* box_size, const Cell* argument, int query, Cell* result) {
    tui::TextSpan t = tui::text_of(text);
    int box_width = box_size ? coordinate(box_size, 0, tui::UNLIMITED) : tui::UNLIMITED;
    bool point_arg = argument->is(TYPE_PAIR) || argument->is(TYPE_POINT2D);
    switch (query) {
        case 0:
        case 6: {
            if (!argument->is(TYPE_INTEGER)) break;
            tui::TextPoint p = tui::caret_to_offset(t, int32_t(argument->data2), box_width, query == 6);
            point2d::make_at(result, float(p.column), float(p.row));
            return;
        }
        case 1:
        case 5: {
            if (!point_arg) break;
            int x = coordinate(argument, 0, 0), y = coordinate(argument, 1, 0);
            int index = query == 1 ? tui::offset_to_caret(t, x, y, box_width) : tui::offset_to_char(t, x, y, box_width);
            integer::make_at(result, index);
            return;
        }
        case 2: floatx::make_at(result, 1.0); return;
        case 3: {
            tui::TextSize s = tui::wrapped_text_size(t, box_width == tui::UNLIMITED ? 0 : box_width);
            point2d::make_at(result, float(s.width), float(s.lines));
            return;
        }
        case 4:
            integer::make_at(result, tui::wrapped_text_size(t, box_width == tui::UNLIMITED ? 0 : box_width).lines);
            return;
        default: break;
    }
    copy_cell(&none::value, result);
}

}  // namespace kro::gui
