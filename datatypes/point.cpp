#include "datatypes/point.hpp"

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/scalar_path.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/float_text.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_tables.hpp"
#include "io/lexer_values.hpp"
#include "io/random.hpp"

namespace kro::point {

float to_f32(double d) {
    double a = std::fabs(d);
    if (!(a > double(FLT_MAX)) || std::isinf(d)) return float(d);  // in range, an infinity or NaN
    // Past the largest float, less than half a unit in its last place still rounds
    // down to it (the tie goes to the even neighbour, which is the infinity).
    constexpr double HALF_ULP = 0x1p103;
    float r = a < double(FLT_MAX) + HALF_ULP ? FLT_MAX : std::numeric_limits<float>::infinity();
    return d < 0 ? -r : r;
}

namespace {

bool blank(uint8_t b) { return b == ' ' || b == '\t'; }

// "1.#INF", "-1.#inf", "+1.#NaN": anything else is not a number.
bool special_number(const uint8_t* p, size_t n, double* out) {
    bool negative = false;
    if (n > 0 && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
        n--;
    }
    if (n != 6 || p[0] != '1' || p[1] != '.' || p[2] != '#') return false;
    auto upper = [](uint8_t b) { return b >= 'a' && b <= 'z' ? uint8_t(b - 32) : b; };
    uint8_t a = upper(p[3]), b = upper(p[4]), c = upper(p[5]);
    if (a == 'N' && b == 'A' && c == 'N') {
        *out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (a == 'I' && b == 'N' && c == 'F') {
        *out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    return false;
}

// One number of a point literal; 0 or float! for the error.
int32_t read_number(const uint8_t* p, size_t n, double* out) {
    if (n > lexer::FLOAT_TEXT_MAX) return TYPE_FLOAT;
    for (size_t i = 0; i < n; i++)
        if (p[i] == '#') return special_number(p, n, out) ? 0 : TYPE_FLOAT;
    if (!lexer::float_syntax(p, n)) return TYPE_FLOAT;
    char digits[lexer::FLOAT_TEXT_MAX + 1];
    size_t k = 0;
    for (size_t i = 0; i < n; i++)
        if (p[i] != '\'') digits[k++] = char(p[i]);
    int32_t rest = 0;
    *out = floatx::parse(digits, digits + k, 0, &rest);
    return rest == 0 ? 0 : TYPE_FLOAT;
}

}  // namespace

int32_t from_text(const uint8_t* text, size_t length, Cell* out) {
    const uint8_t* p = text;
    const uint8_t* end = text + length;
    if (p < end && *p == '(') p++;
    double v[3];
    int count = 0;
    for (;;) {
        while (p < end && blank(*p)) p++;
        const uint8_t* start = p;
        while (p < end && !blank(*p) && *p != ',' && *p != ')') p++;
        if (p == start) return TYPE_POINT2D;  // an empty number
        int32_t e = read_number(start, size_t(p - start), &v[count]);
        if (e) return e;
        count++;
        while (p < end && blank(*p)) p++;
        Type shape = count <= 2 ? TYPE_POINT2D : TYPE_POINT3D;
        if (p == end || *p == ')') {
            if (count < 2) return TYPE_POINT2D;
            if (p < end && p + 1 != end) return shape;  // text after the closing parenthesis
            break;
        }
        if (*p != ',' || count == 3) return shape;
        p++;
    }
    if (count == 2) *out = point2d::make(to_f32(v[0]), to_f32(v[1]));
    else *out = point3d::make(to_f32(v[0]), to_f32(v[1]), to_f32(v[2]));
    return 0;
}

// The two point types are one design with N coordinates.
namespace detail {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

[[noreturn]] void invalid_type(const Cell* v) {
    Cell dt = datatype_of(v->type());
    fire("script", "invalid-type", &dt);
}

template <int N> constexpr Type own_type = N == 2 ? TYPE_POINT2D : TYPE_POINT3D;

// Where path reads and picks leave their float!: the caller copies it at once.
Cell path_result{uint32_t(TYPE_NONE), 0, 0, 0};

template <int N>
int32_t axis_index(const Cell* w) {
    if (!word::any_word_type(w->type())) return 0;
    static const char* const names[3] = {"x", "y", "z"};
    int32_t s = symbol::resolve(int32_t(w->data2));
    for (int i = 0; i < N; i++)
        if (s == symbol::resolve(symbol::make(names[i]))) return i + 1;
    return 0;
}

template <int N>
Cell* make_at(Cell* c, const float* v) {
    uint32_t keep = c->header & FLAG_NEW_LINE;
    *c = Cell{uint32_t(own_type<N>) | keep, 0, 0, 0};
    for (int i = 0; i < N; i++) set_coord(c, i, v[i]);
    return c;
}

template <int N>
void do_math(int32_t op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    double b[3] = {0, 0, 0};
    Type rt = right->type();
    if (rt == TYPE_INTEGER) {
        b[0] = b[1] = b[2] = double(integer::get(right));
    } else if (rt == TYPE_FLOAT || rt == TYPE_PERCENT) {
        b[0] = b[1] = b[2] = right->get_float();
    } else if (rt == TYPE_PAIR && N == 2) {
        b[0] = double(pair::x_of(right));
        b[1] = double(pair::y_of(right));
    } else if (rt == own_type<N>) {
        for (int i = 0; i < N; i++) b[i] = double(coord(right, i));
    } else {
        invalid_type(right);
    }
    float r[3];
    for (int i = 0; i < N; i++) r[i] = to_f32(floatx::do_math_op(double(coord(left, i)), b[i], op));
    for (int i = 0; i < N; i++) set_coord(left, i, r[i]);
}

template <int N>
void negate_in_place(Cell* v) {
    for (int i = 0; i < N; i++) set_coord(v, i, 0.0f - coord(v, i));
}

template <int N>
void negate_last() {
    negate_in_place<N>(stack::arguments);
}

template <int N>
int32_t compare(Cell* a, Cell* b, int32_t op) {
    Cell other = *b;
    // a pair equals the point it converts to, but is not the same value
    if (op == 9 && !b->is(own_type<N>)) return 1;
    if (N == 2 && b->is(TYPE_PAIR)) pair::to_point2d(&other);
    else if (!b->is(own_type<N>)) return -2;
    switch (op) {
        case 2:
            for (int i = 0; i < N; i++)
                if (!(coord(a, i) == coord(&other, i))) return 1;
            return 0;
        case 9:
            for (int i = 0; i < N; i++)
                if (std::bit_cast<uint32_t>(coord(a, i)) != std::bit_cast<uint32_t>(coord(&other, i))) return 1;
            return 0;
        case 0:
        case 1:
        case 10:
        case 11:
        case 12:
            for (int i = 0; i < N; i++)
                if (!floatx::almost_equal32(coord(a, i), coord(&other, i))) return 1;
            return 0;
        default: break;
    }
    // ordering: the first coordinate that is not almost equal decides
    for (int i = 0; i < N; i++) {
        float x = coord(a, i), y = coord(&other, i);
        if (floatx::almost_equal32(x, y)) continue;
        if (x != x || y != y) {
            // every ordering test with a NaN is false
            if (op == 3 || op == 4) return 1;
            if (op == 5 || op == 6) return -1;
            return 0;
        }
        return double(x) < double(y) ? -1 : 1;
    }
    return 0;
}

template <int N>
Cell* from_numbers(const Cell* const* in, Cell* out) {
    float v[3];
    for (int i = 0; i < N; i++) {
        if (in[i]->is(TYPE_INTEGER)) v[i] = float(integer::get(in[i]));
        else if (in[i]->is(TYPE_FLOAT)) v[i] = to_f32(in[i]->get_float());
        else fire("script", "invalid-arg", in[i]);
    }
    *out = Cell{uint32_t(TYPE_NONE), 0, 0, 0};
    return make_at<N>(out, v);
}

template <int N>
Cell* make(Cell* proto, Cell* spec, int32_t) {
    float v[3] = {0, 0, 0};
    auto bad_to = [&]() {
        Cell dt = datatype_of(own_type<N>);
        fire("script", "bad-to-arg", &dt, spec);
    };
    switch (spec->type()) {
        case TYPE_BLOCK: {
            if (block::length(spec) < N) fire("syntax", "malconstruct", spec);
            for (int i = 0; i < N; i++) {
                Cell* item = block::at(spec, i);
                if (item->is(TYPE_INTEGER)) v[i] = float(integer::get(item));
                else if (item->is(TYPE_FLOAT)) v[i] = to_f32(item->get_float());
                else fire("syntax", "malconstruct", spec);
            }
            break;
        }
        case TYPE_STRING: {
            if (!word::scan_text) fire("internal", "feature-na");
            std::string text = string::to_utf8(spec);
            Cell value{uint32_t(TYPE_NONE), 0, 0, 0};
            word::scan_text(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), &value);
            if (!value.is(own_type<N>)) bad_to();
            for (int i = 0; i < N; i++) v[i] = coord(&value, i);
            break;
        }
        case TYPE_POINT2D:
            v[0] = coord(spec, 0);
            v[1] = coord(spec, 1);
            break;
        case TYPE_POINT3D:
            if (N == 2) bad_to();
            for (int i = 0; i < 3; i++) v[i] = coord(spec, i);
            break;
        case TYPE_INTEGER:
            v[0] = v[1] = v[2] = float(integer::get(spec));
            break;
        case TYPE_FLOAT:
            v[0] = v[1] = v[2] = to_f32(spec->get_float());
            break;
        case TYPE_PAIR:
            v[0] = float(pair::x_of(spec));
            v[1] = float(pair::y_of(spec));
            break;
        default:
            bad_to();
    }
    if (N == 2) v[2] = 0;
    *proto = Cell{uint32_t(TYPE_NONE), 0, 0, 0};
    return make_at<N>(proto, v);
}

// ---- actions ------------------------------------------------------------------------------

template <int N>
Cell* random_point(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        // a fixed hash seed, so that a seeded script draws the same numbers in every run
        random::seed(hash::murmur3(&value->data1, uint32_t(4 * N), 0));
        *value = unset::value;
        return value;
    }
    auto random_float = datatype::action<A_RANDOM>(TYPE_FLOAT);
    for (int i = 0; i < N; i++) {
        float c = coord(value, i);
        if (c == 0.0f) continue;
        Cell f = floatx::make(double(c));
        random_float(&f, false, secure, false);
        set_coord(value, i, to_f32(f.get_float()));
    }
    return value;
}

template <int N>
int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    std::string text = "(";
    for (int i = 0; i < N; i++) {
        if (i) text += ", ";
        text += floatx::to_text(double(coord(value, i)), floatx::KIND_POINT);
    }
    text += ')';
    string::concatenate_ascii(buffer, text.data(), int32_t(text.size()));
    return limit - int32_t(text.size());
}

template <int N>
int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form<N>(value, buffer, part, limit);
}

template <int N>
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item, int32_t,
                bool, bool, bool, bool event) {
    int32_t i = 0;
    if (element->is(TYPE_INTEGER)) {
        int32_t n = integer::get(element);
        if (n >= 1 && n <= N) i = n;
    } else {
        i = axis_index<N>(element);
    }
    if (i == 0) scalar_path::invalid_path(path, element);
    if (!value) {
        path_result = floatx::make(double(coord(parent, i - 1)));
        return &path_result;
    }
    float f;
    if (value->is(TYPE_INTEGER)) f = float(integer::get(value));
    else if (value->is(TYPE_FLOAT)) f = to_f32(value->get_float());
    else invalid_type(value);
    Cell old = *parent;
    set_coord(parent, i - 1, f);
    if (event) scalar_path::changed(grandparent, path_item, parent, &old);
    return value;
}

template <int N>
Cell* absolute() {
    Cell* v = stack::arguments;
    for (int i = 0; i < N; i++) set_coord(v, i, std::fabs(coord(v, i)));
    return v;
}

template <int N>
Cell* negate(Cell* v) {
    negate_in_place<N>(v);
    return v;
}

template <int N>
Cell* round(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && scale->is(TYPE_MONEY)) {
        Cell name = args::call_name();
        Cell dt = datatype_of(TYPE_MONEY);
        fire("script", "not-related", &name, &dt);
    }
    float r[3];
    for (int i = 0; i < N; i++) {
        Cell f = floatx::make(double(coord(n, i)));
        Cell s;
        Cell* sp = scale;
        if (scale && scale->is(TYPE_PAIR)) {
            // a pair has no z: that coordinate rounds to a whole number
            s = integer::make(i == 0 ? pair::x_of(scale) : pair::y_of(scale));
            sp = i < 2 ? &s : nullptr;
        } else if (scale && (scale->is(TYPE_POINT2D) || scale->is(TYPE_POINT3D))) {
            int have = scale->is(TYPE_POINT2D) ? 2 : 3;
            s = floatx::make(i < have ? double(coord(scale, i)) : 0.0);
            sp = i < have ? &s : nullptr;
        }
        floatx::round(&f, sp, even, down, half_down, floor, ceiling, half_ceiling);
        // an integer scale gives an integer answer
        r[i] = f.is(TYPE_INTEGER) ? float(integer::get(&f)) : to_f32(f.get_float());
    }
    for (int i = 0; i < N; i++) set_coord(n, i, r[i]);
    return n;
}

template <int N>
Cell* pick(Cell* series, int32_t index, Cell* boxed) {
    int32_t i;
    if (boxed && word::any_word_type(boxed->type())) {
        i = axis_index<N>(boxed);
        if (i == 0) fire("script", "cannot-use", boxed, series);
    } else {
        i = index;
        if (i < 1 || i > N) {
            Cell n = integer::make(index);
            fire("script", "out-of-range", boxed ? boxed : &n);
        }
    }
    double c = coord(series, i - 1);
    *series = floatx::make(c);
    return series;
}

template <int N>
Cell* reverse(Cell* series, Cell*, Cell*) {
    float a = coord(series, 0), z = coord(series, N - 1);
    set_coord(series, 0, z);
    set_coord(series, N - 1, a);
    return series;
}

template <int N, int32_t OP>
Cell* math() {
    do_math<N>(OP);
    return stack::arguments;
}

// The tokenizer's entry for point literals, both shapes: the token runs from
// "(" to just before ")". It only checks when out is null.
int load_literal(lexer::Token& t, Cell* out) {
    Cell v;
    int32_t e = from_text(t.start, size_t(t.end - t.start), &v);
    if (e == 0) {
        t.type = v.type();
        if (out) *out = v;
    }
    return e;
}

template <int N>
void register_type(const char* name) {
    // one slot per statement: a chained call on a dependent argument would need `template`
    ActionList a;
    a.set<A_MAKE>(&make<N>);
    a.set<A_RANDOM>(&random_point<N>);
    a.set<A_TO>(&make<N>);
    a.set<A_FORM>(&form<N>);
    a.set<A_MOLD>(&mold<N>);
    a.set<A_EVAL_PATH>(&eval_path<N>);
    a.set<A_COMPARE>(&compare<N>);
    a.set<A_ABSOLUTE>(&absolute<N>);
    a.set<A_NEGATE>(&negate<N>);
    a.set<A_ROUND>(&round<N>);
    a.set<A_ADD>(&math<N, integer::OP_ADD>);
    a.set<A_SUBTRACT>(&math<N, integer::OP_SUBTRACT>);
    a.set<A_MULTIPLY>(&math<N, integer::OP_MULTIPLY>);
    a.set<A_DIVIDE>(&math<N, integer::OP_DIVIDE>);
    a.set<A_REMAINDER>(&math<N, integer::OP_REMAINDER>);
    a.set<A_PICK>(&pick<N>);
    a.set<A_REVERSE>(&reverse<N>);
    datatype::register_type(own_type<N>, 0, name, a);
}

}  // namespace detail
}  // namespace kro::point

namespace kro::point2d {

Cell* make_at(Cell* c, float x, float y) {
    const float v[2] = {x, y};
    return point::detail::make_at<2>(c, v);
}

Cell* make_in(Cell* blk, float x, float y) {
    Cell* c = block::add_cell(blk);
    *c = make(x, y);
    return c;
}

Cell* push(float x, float y) {
    Cell* c = stack::push_cell();
    *c = make(x, y);
    return c;
}

int32_t axis_index(const Cell* word) { return point::detail::axis_index<2>(word); }
void do_math(int32_t op) { point::detail::do_math<2>(op); }
void negate_last() { point::detail::negate_last<2>(); }
int32_t compare(Cell* value, Cell* other, int32_t op) { return point::detail::compare<2>(value, other, op); }

Cell* from_numbers(const Cell* x, const Cell* y, Cell* out) {
    const Cell* in[2] = {x, y};
    return point::detail::from_numbers<2>(in, out);
}

Cell* make(Cell* proto, Cell* spec, int32_t type) { return point::detail::make<2>(proto, spec, type); }

void init() {
    point::detail::register_type<2>("point2D!");
    extended::point2d_do_math = &do_math;
    extended::point2d_negate = &negate_last;
    lexer::set_maker(lexer::T_POINT, &point::detail::load_literal);
}

}  // namespace kro::point2d

namespace kro::point3d {

Cell* make_at(Cell* c, float x, float y, float z) {
    const float v[3] = {x, y, z};
    return point::detail::make_at<3>(c, v);
}

Cell* make_in(Cell* blk, float x, float y, float z) {
    Cell* c = block::add_cell(blk);
    *c = make(x, y, z);
    return c;
}

Cell* push(float x, float y, float z) {
    Cell* c = stack::push_cell();
    *c = make(x, y, z);
    return c;
}

int32_t axis_index(const Cell* word) { return point::detail::axis_index<3>(word); }
void do_math(int32_t op) { point::detail::do_math<3>(op); }
void negate_last() { point::detail::negate_last<3>(); }
int32_t compare(Cell* value, Cell* other, int32_t op) { return point::detail::compare<3>(value, other, op); }

Cell* from_numbers(const Cell* x, const Cell* y, const Cell* z, Cell* out) {
    const Cell* in[3] = {x, y, z};
    return point::detail::from_numbers<3>(in, out);
}

Cell* make(Cell* proto, Cell* spec, int32_t type) { return point::detail::make<3>(proto, spec, type); }

void init() {
    point::detail::register_type<3>("point3D!");
    extended::point3d_do_math = &do_math;
    extended::point3d_negate = &negate_last;
}

}  // namespace kro::point3d
