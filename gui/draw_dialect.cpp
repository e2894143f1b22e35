#include "gui/draw_dialect.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/char_width.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/print.hpp"
#include "gui/cell_grid.hpp"
#include "gui/text_measure.hpp"
#include "interpreter/actions.hpp"

namespace kro::tui {

using cell_draw::DrawContext;
using cell_draw::Point;

namespace {

// ---- the dialect's words ---------------------------------------------------------------------------

enum Sym : int {
    // commands
    S_LINE, S_LINE_WIDTH, S_BOX, S_TRIANGLE, S_PEN, S_FILL_PEN, S_POLYGON, S_CIRCLE, S_ANTI_ALIAS, S_FONT,
    S_TEXT, S_ELLIPSE, S_ARC, S_CURVE, S_SPLINE, S_LINE_JOIN, S_LINE_CAP, S_LINE_PATTERN, S_MATRIX,
    S_INVERT_MATRIX, S_RESET_MATRIX, S_PUSH, S_CLIP, S_ROTATE, S_SCALE, S_TRANSLATE, S_SKEW, S_TRANSFORM,
    S_SHAPE, S_IMAGE, S_SHADOW,
    // argument words
    S_OFF, S_CLOSED, S_BORDER, S_CROP, S_INSET, S_REPLACE, S_INTERSECT, S_UNION, S_XOR, S_EXCLUDE, S_LINEAR,
    S_RADIAL, S_DIAMOND, S_PAD, S_REPEAT, S_REFLECT, S_PATTERN, S_BITMAP, S_TILE, S_FLIP_X, S_FLIP_Y, S_FLIP_XY,
    S_CLAMP, S_MITER, S_MITER_BEVEL, S_ROUND, S_BEVEL, S_SQUARE, S_FLAT,
    // shape commands (line and arc are shared)
    S_MOVE, S_HLINE, S_VLINE, S_SWEEP, S_LARGE, S_CURV, S_QCURVE, S_QCURV, S_CLOSE,
    // fields read
    S_COLOR, S_TEXT_FIELD, S_SYSTEM, S_VIEW, S_SILENT,
    SYM_COUNT
};

const char* const SYM_NAMES[SYM_COUNT] = {
    "line", "line-width", "box", "triangle", "pen", "fill-pen", "polygon", "circle", "anti-alias", "font",
    "text", "ellipse", "arc", "curve", "spline", "line-join", "line-cap", "line-pattern", "matrix",
    "invert-matrix", "reset-matrix", "push", "clip", "rotate", "scale", "translate", "skew", "transform",
    "shape", "image", "shadow",
    "off", "closed", "border", "crop", "inset", "replace", "intersect", "union", "xor", "exclude", "linear",
    "radial", "diamond", "pad", "repeat", "reflect", "pattern", "bitmap", "tile", "flip-x", "flip-y", "flip-xy",
    "clamp", "miter", "miter-bevel", "round", "bevel", "square", "flat",
    "move", "hline", "vline", "sweep", "large", "curv", "qcurve", "qcurv", "close",
    "color", "text", "system", "view", "silent?",
};

// Resolved symbol ids (words compare without regard to case), made on first use.
int32_t sym_of(Sym s) {
    static int32_t ids[SYM_COUNT];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i < SYM_COUNT; i++) ids[i] = symbol::resolve(symbol::make(SYM_NAMES[i]));
        ready = true;
    }
    return ids[s];
}

int32_t resolved(const Cell* word) { return symbol::resolve(int32_t(word->data2)); }

bool is_sym(const Cell* v, Sym s, Type t = TYPE_WORD) { return v && v->is(t) && resolved(v) == sym_of(s); }

bool is_one_of(const Cell* v, std::initializer_list<Sym> syms) {
    if (!v || !v->is(TYPE_WORD)) return false;
    int32_t r = resolved(v);
    for (Sym s : syms)
        if (r == sym_of(s)) return true;
    return false;
}

// The value cell of an object's field, or null.
const Cell* field_of(const Cell* obj, Sym s) {
    if (!obj || !obj->is(TYPE_OBJECT)) return nullptr;
    int32_t i = context::find_symbol(obj->data1, sym_of(s), true);
    if (i < 0) return nullptr;
    const Cell* values = context::values(obj->data1);
    return values ? values + i : nullptr;
}

// The value of a bound word, or null when it has none (no error: a word that
// does not hold what the syntax wants is an invalid argument like any other).
const Cell* value_of(const Cell* w) {
    if (!w->is(TYPE_WORD) || !w->data1 || int32_t(w->data3) == -1) return nullptr;
    return context::value_cell(w, w->data1);
}

bool silent() {
    const Cell* system = context::get_global(sym_of(S_SYSTEM));
    const Cell* flag = field_of(field_of(system, S_VIEW), S_SILENT);
    return flag && flag->is(TYPE_LOGIC) && flag->data1;
}

// Set when a run is being ended quietly (silent mode): the throw that carries
// it is dropped by the run, whoever asked for errors.
bool quiet_stop = false;

[[noreturn]] void raise_draw(const char* id, const Cell* arg) {
    if (silent()) {
        quiet_stop = true;
        frame::throw_code(code::CATCH_ALL);
    }
    fire("script", id, arg);
}

int32_t to_int32(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 2147483647.0) return 0x7FFFFFFF;
    if (d <= -2147483648.0) return int32_t(-0x7FFFFFFF - 1);
    return int32_t(std::trunc(d));
}

int32_t clamp32(int64_t v) {
    return v > 0x7FFFFFFF ? 0x7FFFFFFF : v < -0x7FFFFFFFLL - 1 ? int32_t(-0x7FFFFFFF - 1) : int32_t(v);
}

// ---- walking a block ----------------------------------------------------------------------------------

// A block being read, positions counted from its head. Cells are re-read from
// the rooted block at every use: a change handler run by a set-word may
// collect and move the buffer.
class Reader {
public:
    Reader(const Cell* blk, bool catch_errors) : blk_(*blk), catch_(catch_errors) {}

    const Cell* get(int32_t k) { return k >= 0 && k < block::length(blk_.get()) ? block::at(blk_.get(), k) : nullptr; }
    int32_t length() { return block::length(blk_.get()); }
    Cell* block() { return blk_.get(); }

    [[noreturn]] void fail(int32_t k) { draw_error(blk_.get(), k, catch_); }

    bool point(int32_t k, Point* p = nullptr) {
        const Cell* v = get(k);
        Point q;
        if (!v || !cell_draw::point_of(v, q)) return false;
        if (p) *p = q;
        return true;
    }
    bool number(int32_t k, double* d = nullptr, bool percent = false) {
        const Cell* v = get(k);
        if (!v) return false;
        double x;
        if (v->is(TYPE_INTEGER)) x = double(int32_t(v->data2));
        else if (v->is(TYPE_FLOAT) || (percent && v->is(TYPE_PERCENT))) x = v->get_float();
        else return false;
        if (d) *d = x;
        return true;
    }
    bool is(int32_t k, Type t) {
        const Cell* v = get(k);
        return v && v->is(t);
    }
    // A tuple!, or a word whose value is one.
    bool colour(int32_t k, Cell* out = nullptr) { return typed_or_word(k, TYPE_TUPLE, out); }
    bool typed_or_word(int32_t k, Type t, Cell* out) {
        const Cell* v = get(k);
        if (!v) return false;
        if (!v->is(t)) {
            if (!v->is(TYPE_WORD)) return false;
            v = value_of(v);
            if (!v || !v->is(t)) return false;
        }
        if (out) *out = *v;
        return true;
    }
    bool word_in(int32_t k, std::initializer_list<Sym> syms) { return is_one_of(get(k), syms); }
    bool sym(int32_t k, Sym s) { return is_sym(get(k), s); }

    int32_t need_point(int32_t k, Point* p = nullptr) {
        if (!point(k, p)) fail(k);
        return k + 1;
    }
    int32_t need_number(int32_t k, double* d = nullptr, bool percent = false) {
        if (!number(k, d, percent)) fail(k);
        return k + 1;
    }
    int32_t need(int32_t k, Type t) {
        if (!is(k, t)) fail(k);
        return k + 1;
    }
    // Points as long as they follow one another.
    int32_t points(int32_t k, std::vector<Point>* out = nullptr) {
        Point p;
        while (point(k, &p)) {
            if (out) out->push_back(p);
            k++;
        }
        return k;
    }
    int32_t need_points(int32_t k, int32_t at_least, std::vector<Point>* out = nullptr) {
        int32_t end = points(k, out);
        if (end - k < at_least) fail(k);
        return end;
    }

    // The set-word at k takes the block positioned on the value after it.
    void set_word(int32_t k) {
        Cell w = *get(k);
        Cell position = blk_.cell;
        position.data1 += uint32_t(k + 1);
        word::set(&w, &position);
    }

    // Guards against a block drawn from inside itself.
    void enter() {
        if (mold::cycle_find(mold::cycle_node_of(blk_.get()))) raise_draw("draw-infinite", blk_.get());
    }

private:
    gc::Rooted blk_;
    bool catch_;
};

void check_shape(const Cell* blk, bool catch_errors);

// The shape sub-dialect: checked, painted nowhere. A word is a command with
// absolute coordinates, a lit-word the same command with relative ones.
void check_shape(const Cell* blk, bool catch_errors) {
    Reader r(blk, catch_errors);
    r.enter();
    mold::CycleEntry guard(mold::cycle_node_of(r.block()));
    for (int32_t i = 0; i < r.length();) {
        const Cell* v = r.get(i);
        if (v->is(TYPE_SET_WORD)) {
            r.set_word(i++);
            continue;
        }
        if (v->is(TYPE_BLOCK)) {
            Cell nested = *v;
            check_shape(&nested, catch_errors);
            i++;
            continue;
        }
        if (!v->is(TYPE_WORD) && !v->is(TYPE_LIT_WORD)) r.fail(i);
        int32_t c = resolved(v), k = i + 1;
        if (c == sym_of(S_MOVE)) {
            k = r.need_point(k);
        } else if (c == sym_of(S_LINE)) {
            k = r.need_points(k, 1);
        } else if (c == sym_of(S_HLINE) || c == sym_of(S_VLINE)) {
            k = r.need_number(k);
        } else if (c == sym_of(S_ARC)) {
            k = r.need_point(k);
            for (int n = 0; n < 3; n++) k = r.need_number(k);
            if (r.sym(k, S_SWEEP)) k++;
            if (r.sym(k, S_LARGE)) k++;
        } else if (c == sym_of(S_CURVE)) {
            k = r.need_points(k, 3);  // cubic: two control points and an end, in groups
        } else if (c == sym_of(S_CURV) || c == sym_of(S_QCURVE)) {
            k = r.need_points(k, 2);
        } else if (c == sym_of(S_QCURV)) {
            k = r.need_point(k);
        } else if (c != sym_of(S_CLOSE)) {
            r.fail(i);
        }
        i = k;
    }
}

class Interpreter {
public:
    Interpreter(DrawContext& ctx, const Cell* blk, bool catch_errors) : ctx_(ctx), r_(blk, catch_errors), catch_(catch_errors) {}

    void run() {
        r_.enter();
        mold::CycleEntry guard(mold::cycle_node_of(r_.block()));
        for (int32_t i = 0; i < r_.length();) {
            const Cell* v = r_.get(i);
            switch (v->type()) {
                case TYPE_WORD:
                    i = command(i);
                    break;
                case TYPE_SET_WORD:
                    r_.set_word(i++);
                    break;
                case TYPE_BLOCK:
                    nested(i++);
                    break;
                default:
                    r_.fail(i);
            }
        }
    }

private:
    DrawContext& ctx_;
    Reader r_;
    bool catch_;

    void nested(int32_t k) {
        Cell blk = *r_.get(k);
        draw_block(ctx_, &blk, catch_);
    }
    // A block checked as drawing commands without painting: a copy of the
    // context with no visible area, so that its pens stay its own too.
    void check_only(int32_t k) {
        Cell blk = *r_.get(k);
        DrawContext scratch = ctx_;
        scratch.clip_left = scratch.clip_top = scratch.clip_right = scratch.clip_bottom = 0;
        draw_block(scratch, &blk, catch_);
    }
    // An optional block at k that is drawn; answers the next position.
    int32_t optional_drawn_block(int32_t k) {
        if (!r_.is(k, TYPE_BLOCK)) return k;
        nested(k);
        return k + 1;
    }
    // The optional 'pen or 'fill-pen of the transformations.
    int32_t optional_target(int32_t k) {
        const Cell* v = r_.get(k);
        return is_sym(v, S_PEN, TYPE_LIT_WORD) || is_sym(v, S_FILL_PEN, TYPE_LIT_WORD) ? k + 1 : k;
    }

    // Answers the position after the command at i and its arguments.
    int32_t command(int32_t i) {
        int32_t c = resolved(r_.get(i)), k = i + 1;
        auto is = [c](Sym s) { return c == sym_of(s); };
        if (is(S_PEN) || is(S_FILL_PEN)) return pen_spec(k, is(S_FILL_PEN));
        if (is(S_LINE)) {
            std::vector<Point> pts;
            k = r_.need_points(k, 2, &pts);
            cell_draw::line(ctx_, pts.data(), pts.size());
            return k;
        }
        if (is(S_BOX)) {
            Point a, b;
            k = r_.need_point(k, &a);
            k = r_.need_point(k, &b);
            if (r_.number(k)) k++;  // corner radius: no rounded corners on cells
            cell_draw::box(ctx_, a, b);
            return k;
        }
        if (is(S_TRIANGLE)) {
            Point a, b, p;
            k = r_.need_point(k, &a);
            k = r_.need_point(k, &b);
            k = r_.need_point(k, &p);
            cell_draw::triangle(ctx_, a, b, p);
            return k;
        }
        if (is(S_POLYGON)) return r_.need_points(k, 3);
        if (is(S_CIRCLE)) {
            Point centre;
            double radius;
            k = r_.need_point(k, &centre);
            k = r_.need_number(k, &radius);
            if (r_.number(k, &radius)) k++;  // a second radius: the last one given is drawn
            cell_draw::circle(ctx_, centre, to_int32(radius));
            return k;
        }
        if (is(S_ELLIPSE)) {
            Point top_left, size;
            k = r_.need_point(k, &top_left);
            k = r_.need_point(k, &size);
            cell_draw::ellipse(ctx_, top_left, size);
            return k;
        }
        if (is(S_ARC)) {
            k = r_.need_point(k);
            k = r_.need_point(k);
            k = r_.need_number(k);
            k = r_.need_number(k);
            return r_.sym(k, S_CLOSED) ? k + 1 : k;
        }
        if (is(S_CURVE)) {
            k = r_.need_points(k, 3);
            return k - (i + 1) > 4 ? i + 5 : k;  // three or four points
        }
        if (is(S_SPLINE)) {
            k = r_.need_points(k, 2);
            return r_.sym(k, S_CLOSED) ? k + 1 : k;
        }
        if (is(S_TEXT)) {
            Point at;
            k = r_.need_point(k, &at);
            if (!r_.is(k, TYPE_STRING) && !r_.is(k, TYPE_OBJECT)) r_.fail(k);
            Cell value = *r_.get(k);
            gc::Rooted held(value);
            draw_text(ctx_, at, held.get(), catch_);
            return k + 1;
        }
        if (is(S_FONT)) {
            Cell font;
            if (!r_.typed_or_word(k, TYPE_OBJECT, &font)) r_.fail(k);
            cell_draw::font(ctx_, field_of(&font, S_COLOR));
            return k + 1;
        }
        if (is(S_ANTI_ALIAS)) return r_.need(k, TYPE_WORD);
        if (is(S_LINE_WIDTH)) return r_.need_number(k);
        if (is(S_LINE_JOIN)) {
            if (!r_.word_in(k, {S_MITER, S_MITER_BEVEL, S_ROUND, S_BEVEL})) r_.fail(k);
            return k + 1;
        }
        if (is(S_LINE_CAP)) {
            if (!r_.word_in(k, {S_FLAT, S_SQUARE, S_ROUND})) r_.fail(k);
            return k + 1;
        }
        if (is(S_LINE_PATTERN)) {
            while (r_.is(k, TYPE_INTEGER)) k++;
            return k;
        }
        if (is(S_IMAGE)) return image(k);
        if (is(S_SHADOW)) return shadow(k);
        if (is(S_CLIP)) return clip(k);
        if (is(S_SHAPE)) {
            if (!r_.is(k, TYPE_BLOCK)) r_.fail(k);
            Cell blk = *r_.get(k);
            check_shape(&blk, catch_);
            return k + 1;
        }
        if (is(S_PUSH)) {
            // No state is kept on cells: pens set inside stay in force after it.
            if (!r_.is(k, TYPE_BLOCK)) r_.fail(k);
            nested(k);
            return k + 1;
        }
        if (is(S_ROTATE)) {
            k = r_.need_number(optional_target(k));
            if (r_.point(k)) k++;
            return optional_drawn_block(k);
        }
        if (is(S_SCALE)) {
            k = r_.need_number(optional_target(k), nullptr, true);
            k = r_.need_number(k, nullptr, true);
            return optional_drawn_block(k);
        }
        if (is(S_TRANSLATE)) return optional_drawn_block(r_.need_point(optional_target(k)));
        if (is(S_SKEW)) {
            k = r_.need_number(optional_target(k));
            if (r_.number(k)) k++;
            return optional_drawn_block(k);
        }
        if (is(S_TRANSFORM)) {
            k = optional_target(k);
            if (r_.point(k)) k++;  // centre
            for (int n = 0; n < 3; n++) k = r_.need_number(k);  // angle, scale x, scale y
            return optional_drawn_block(r_.need_point(k));  // translation
        }
        if (is(S_MATRIX)) {
            k = optional_target(k);
            if (!r_.is(k, TYPE_BLOCK)) r_.fail(k);
            Cell m = *r_.get(k);
            Reader numbers(&m, catch_);
            if (numbers.length() != 6) r_.fail(k);
            for (int32_t n = 0; n < 6; n++)
                if (!numbers.number(n)) numbers.fail(n);
            return k + 1;
        }
        if (is(S_RESET_MATRIX) || is(S_INVERT_MATRIX)) return optional_target(k);
        r_.fail(i);
    }

    int32_t pen_spec(int32_t k, bool fill) {
        auto set = [&](const Cell* colour, bool off) {
            if (fill) cell_draw::fill_pen(ctx_, colour, off);
            else cell_draw::pen(ctx_, colour, off);
        };
        if (r_.sym(k, S_OFF)) {
            set(nullptr, true);
            return k + 1;
        }
        if (r_.word_in(k, {S_LINEAR, S_RADIAL, S_DIAMOND})) return gradient(k);
        if (r_.sym(k, S_PATTERN)) {
            k = r_.need_point(k + 1);
            if (r_.point(k)) k = r_.need_point(k + 1);
            if (r_.word_in(k, {S_TILE, S_FLIP_X, S_FLIP_Y, S_FLIP_XY, S_CLAMP})) k++;
            if (!r_.is(k, TYPE_BLOCK)) r_.fail(k);
            check_only(k);
            return k + 1;
        }
        if (r_.sym(k, S_BITMAP)) {
            k++;
            if (!r_.typed_or_word(k, TYPE_IMAGE, nullptr)) r_.fail(k);
            k++;
            if (r_.point(k)) k = r_.need_point(k + 1);
            if (r_.word_in(k, {S_TILE, S_FLIP_X, S_FLIP_Y, S_FLIP_XY, S_CLAMP})) k++;
            return k;
        }
        Cell colour;
        if (!r_.colour(k, &colour)) r_.fail(k);
        set(&colour, false);
        return k + 1;
    }

    // Colours, each optionally followed by a float! offset.
    int32_t colour_stops(int32_t k, int* count) {
        *count = 0;
        while (r_.colour(k)) {
            k++;
            ++*count;
            if (r_.is(k, TYPE_FLOAT)) k++;
        }
        return k;
    }

    // Gradients have no effect on cells; k is at the gradient's kind word.
    int32_t gradient(int32_t k) {
        Sym kind = r_.sym(k, S_LINEAR) ? S_LINEAR : r_.sym(k, S_RADIAL) ? S_RADIAL : S_DIAMOND;
        k++;
        int count;
        if (r_.point(k)) {
            // offset, start and stop, up to three of angle, scale x, scale y, then the colours
            k++;
            k = r_.need(k, TYPE_INTEGER);
            k = r_.need(k, TYPE_INTEGER);
            for (int n = 0; n < 3 && r_.number(k); n++) k++;
            int32_t first = k;
            k = colour_stops(k, &count);
            if (count < 2) r_.fail(count ? first : k);
            return k;
        }
        int32_t first = k;
        k = colour_stops(k, &count);
        if (count < 2) r_.fail(count ? first : k);
        if (r_.point(k)) {
            k++;
            if (kind == S_RADIAL) {
                k = r_.need_number(k);  // radius
                if (r_.point(k)) k++;   // focal point
            } else {
                k = r_.need_point(k);
                if (kind == S_DIAMOND && r_.point(k)) k++;  // focal point
            }
        }
        if (r_.word_in(k, {S_PAD, S_REPEAT, S_REFLECT})) k++;
        return k;
    }

    int32_t image(int32_t k) {
        if (!r_.typed_or_word(k, TYPE_IMAGE, nullptr)) r_.fail(k);
        k++;
        for (int n = 0; n < 4 && r_.point(k); n++) k++;
        if (r_.colour(k)) k++;  // colour key
        if (r_.word_in(k, {S_BORDER, S_CROP})) {
            k = r_.need_point(k + 1);
            k = r_.need_point(k);
        }
        return k;
    }

    int32_t shadow(int32_t k) {
        if (r_.sym(k, S_OFF)) return k + 1;
        k = r_.need_point(k);  // offset
        if (r_.is(k, TYPE_INTEGER)) {
            k++;  // blur
            if (r_.is(k, TYPE_INTEGER)) k++;  // spread
        }
        if (r_.colour(k)) k++;
        if (r_.sym(k, S_INSET)) k++;
        return k;
    }

    // The clip itself has no effect; its block, when given, is drawn.
    int32_t clip(int32_t k) {
        if (r_.point(k)) {
            k = r_.need_point(k + 1);
        } else if (r_.is(k, TYPE_BLOCK)) {
            Cell shape = *r_.get(k);
            check_shape(&shape, catch_);
            k++;
        } else {
            r_.fail(k);
        }
        if (r_.word_in(k, {S_REPLACE, S_INTERSECT, S_UNION, S_XOR, S_EXCLUDE})) k++;
        return optional_drawn_block(k);
    }
};

// ---- text ----------------------------------------------------------------------------------------------

// Style bits that a text cell takes from the render flags.
constexpr uint32_t CELL_STYLE_BITS = STYLE_BLINK | STYLE_BOLD | STYLE_DIM | STYLE_INVERSE | STYLE_UNDERLINE |
                                     STYLE_STRIKE | STYLE_ITALIC | STYLE_HIDDEN | CELL_PASSWORD;

void plain_string(DrawContext& ctx, int32_t x, int32_t y, const Cell* text, uint32_t flags, uint32_t colour) {
    if (!text->is(TYPE_STRING)) return;
    CellGrid& g = ctx.grid ? *ctx.grid : grid();
    const int64_t left = std::max<int64_t>(ctx.clip_left, 0), top = std::max<int64_t>(ctx.clip_top, 0);
    const int64_t right = std::min<int64_t>(ctx.clip_right, g.width());
    const int64_t bottom = std::min<int64_t>(ctx.clip_bottom, g.height());
    if (left >= right || top >= bottom) return;
    TextSpan t = text_of(text);
    int64_t col = x, row = y;
    for (uint32_t i = 0; i < t.length && row < bottom; i++) {
        uint32_t cp = t.at(i);
        if (cp == '\n') {
            row++;
            col = x;
            continue;
        }
        if (cp == 27 && i + 1 < t.length && t.at(i + 1) == '[') {
            // an embedded style sequence: skipped up to its final byte
            i += 2;
            while (i < t.length && (t.at(i) < 0x40 || t.at(i) > 0x7E)) i++;
            continue;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) continue;  // never written to the terminal
        int w = unicode::char_width(cp);
        if (w == 0) continue;
        if (row >= top && col >= left && col + w <= right) {
            GridCell& c = g.at(int(col), int(row));
            c.cp = cp;
            c.fg = colour;
            c.flags = flags & CELL_STYLE_BITS;
            for (int k = 1; k < w; k++) g.at(int(col + k), int(row)).flags = CELL_CONTINUATION;
        }
        col += w;
    }
}

void plain_face(DrawContext& ctx, int32_t x, int32_t y, const Cell* face, uint32_t flags, uint32_t colour) {
    const Cell* text = field_of(face, S_TEXT_FIELD);
    if (text && text->is(TYPE_STRING)) {
        Cell t = *text;
        plain_string(ctx, x, y, &t, flags, colour);
    }
}

StringWriter strings_to = &plain_string;
FaceWriter faces_to = &plain_face;

void print_error(const Cell* error) {
    gc::Rooted err(*error);
    gc::Rooted buffer;
    string::make_at(buffer.get(), 64, 1);
    actions::form(err.get(), buffer.get(), nullptr, mold::NO_LIMIT);
    print::call_value_hooks(buffer.get(), true);
}

}  // namespace

// ---- entry points ----------------------------------------------------------------------------------

void draw_block(DrawContext& ctx, const Cell* commands, bool catch_errors) {
    Interpreter(ctx, commands, catch_errors).run();
}

void do_draw(DrawContext& ctx, Widget* handle, const Cell* image, const Cell* commands, bool on_graphic,
             bool cache, bool paint, bool catch_errors) {
    (void)image, (void)on_graphic, (void)cache, (void)paint;
    bool is_block = commands->is(TYPE_BLOCK);
    if (!handle && (!is_block || block::length(commands) <= 0)) return;
    runtime_context.thrown_code = 0;
    cell_draw::begin(ctx);
    if (!is_block) return;
    gc::Rooted blk(*commands);
    quiet_stop = false;
    if (catch_errors) {
        uint32_t caught = frame::catch_region(code::CATCH_ALL, [&] { draw_block(ctx, blk.get(), true); });
        if (caught == code::ERROR && !quiet_stop) print_error(raised_error());
        quiet_stop = false;
        runtime_context.thrown_code = 0;
        return;
    }
    try {
        draw_block(ctx, blk.get(), false);
    } catch (const Thrown&) {
        if (!quiet_stop) throw;
        quiet_stop = false;
        runtime_context.thrown_code = 0;
    }
}

void draw_block(const Cell* commands, CellGrid& grid, int32_t origin_x, int32_t origin_y, const DrawClip& clip,
                uint32_t style, Widget* target) {
    if (!commands->is(TYPE_BLOCK) || block::length(commands) <= 0) return;
    DrawContext ctx;
    ctx.target = target;
    ctx.grid = &grid;
    ctx.origin_x = origin_x;
    ctx.origin_y = origin_y;
    ctx.clip_left = clip.left;
    ctx.clip_top = clip.top;
    ctx.clip_right = clip.right;
    ctx.clip_bottom = clip.bottom;
    ctx.style = style;
    do_draw(ctx, target, nullptr, commands, false, false, false, true);
}

void draw_error(const Cell* commands, int32_t position, bool catch_errors) {
    (void)catch_errors;  // printed or raised by the run that catches it
    Cell at = *commands;
    int32_t head = int32_t(at.data1), full = head + block::ks_length_q(commands);
    int64_t p = int64_t(head) + position;
    at.data1 = uint32_t(p < head ? head : p > full ? full : p);
    raise_draw("draw-invalid", &at);
}

void set_text_writers(StringWriter strings, FaceWriter faces) {
    strings_to = strings ? strings : &plain_string;
    faces_to = faces ? faces : &plain_face;
}

StringWriter string_writer() { return strings_to; }
FaceWriter face_writer() { return faces_to; }

bool draw_text(DrawContext& ctx, Point at, const Cell* text, bool catch_errors) {
    (void)catch_errors;
    int32_t x = clamp32(int64_t(at.x) + ctx.origin_x), y = clamp32(int64_t(at.y) + ctx.origin_y);
    uint32_t flags = ctx.style | RENDER_DECODE_ESCAPES;
    uint32_t colour = ctx.font_color_set ? ctx.text_color : ctx.pen_on ? ctx.pen_color : COLOUR_DEFAULT;
    if (text->is(TYPE_STRING)) strings_to(ctx, x, y, text, flags, colour);
    else if (text->is(TYPE_OBJECT)) faces_to(ctx, x, y, text, flags, colour);
    return true;
}

}  // namespace kro::tui

namespace kro::gui {

void OS_do_draw(const Cell* image, const Cell* commands) {
    // No visible area: every command is checked, nothing reaches the grid.
    cell_draw::DrawContext ctx;
    tui::do_draw(ctx, nullptr, image, commands, false, false, false, false);
}

void OS_draw_face(tui::Widget*, const Cell*, uint32_t) {}

}  // namespace kro::gui
