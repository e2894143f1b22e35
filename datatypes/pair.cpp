#include "datatypes/pair.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/point.hpp"
#include "datatypes/scalar_path.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_values.hpp"
#include "io/random.hpp"

namespace kro::pair {

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

[[noreturn]] void invalid_type(const Cell* v) {
    Cell dt = datatype_of(v->type());
    fire("script", "invalid-type", &dt);
}

[[noreturn]] void bad_to(const Cell* spec) {
    Cell dt = datatype_of(TYPE_PAIR);
    fire("script", "bad-to-arg", &dt, spec);
}

// A float made whole for a coordinate: truncated toward zero; a NaN or an
// infinity raises script/invalid-arg, a value beyond 32 bits script/out-of-range.
int32_t whole(double d, const Cell* culprit) {
    if (floatx::not_finite(d)) fire("script", "invalid-arg", culprit);
    if (!(d > -2147483649.0 && d < 2147483648.0)) fire("script", "out-of-range", culprit);
    return int32_t(d);
}

// Where path reads leave the coordinate: the caller copies it at once.
Cell path_result{uint32_t(TYPE_NONE), 0, 0, 0};

// The point2D! arithmetic of the call, the pair turned into a point first; the
// right operand is whatever the pair arithmetic would have combined it with.
void as_points(int32_t op) {
    to_point2d(stack::arguments);
    point2d::do_math(op);
}

// One coordinate combined with an integer; false when the answer needs a
// fraction or leaves 32 bits (divisors are checked for zero by the caller).
bool combine(int32_t a, int32_t b, int32_t op, int32_t* out) {
    int64_t r;
    switch (op) {
        case integer::OP_ADD: r = int64_t(a) + b; break;
        case integer::OP_SUBTRACT: r = int64_t(a) - b; break;
        case integer::OP_MULTIPLY: r = int64_t(a) * b; break;
        case integer::OP_DIVIDE:
            if (int64_t(a) % b != 0) return false;
            r = int64_t(a) / b;  // INT32_MIN / -1 leaves the range below
            break;
        case integer::OP_REMAINDER: r = int64_t(a) % b; break;
        case integer::OP_OR: r = a | b; break;
        case integer::OP_AND: r = a & b; break;
        case integer::OP_XOR: r = a ^ b; break;
        default: rt_error::no_switch_match();
    }
    if (r < INT32_MIN || r > INT32_MAX) return false;
    *out = int32_t(r);
    return true;
}

// Steps 1 and 2 of the arithmetic: both coordinates with integers; when either
// leaves the integers, the whole operation is redone on points.
void combine_pair(int32_t bx, int32_t by, int32_t op) {
    Cell* left = stack::arguments;
    if ((op == integer::OP_DIVIDE || op == integer::OP_REMAINDER) && (bx == 0 || by == 0))
        fire("math", "zero-divide");
    int32_t x, y;
    if (combine(x_of(left), bx, op, &x) && combine(y_of(left), by, op, &y)) {
        left->data2 = uint32_t(x);
        left->data3 = uint32_t(y);
        return;
    }
    as_points(op);
}

}  // namespace

Cell* make_at(Cell* c, int32_t x, int32_t y) {
    uint32_t keep = c->header & FLAG_NEW_LINE;
    *c = make(x, y);
    c->header |= keep;
    return c;
}

Cell* make_in(Cell* blk, int32_t x, int32_t y) {
    Cell* c = block::add_cell(blk);
    *c = make(x, y);
    return c;
}

Cell* push(int32_t x, int32_t y) {
    Cell* c = stack::push_cell();
    *c = make(x, y);
    return c;
}

int32_t field_index(const Cell* w) {
    if (!word::any_word_type(w->type())) return 0;
    int32_t s = symbol::resolve(int32_t(w->data2));
    if (s == symbol::resolve(symbol::make("x"))) return 1;
    if (s == symbol::resolve(symbol::make("y"))) return 2;
    return 0;
}

Cell* to_point2d(Cell* c) {
    uint32_t keep = c->header & FLAG_NEW_LINE;
    *c = point2d::make(float(x_of(c)), float(y_of(c)));
    c->header |= keep;
    return c;
}

void do_math(int32_t op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    switch (right->type()) {
        case TYPE_INTEGER: {
            int32_t n = integer::get(right);
            combine_pair(n, n, op);
            return;
        }
        case TYPE_PAIR:
            combine_pair(x_of(right), y_of(right), op);
            return;
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double f = right->get_float();
            double x = double(x_of(left)), y = double(y_of(left));
            if (op == integer::OP_MULTIPLY || op == integer::OP_DIVIDE) {
                bool bad = op == integer::OP_MULTIPLY ? floatx::not_finite(f) : floatx::is_nan(f);
                if (bad) fire("script", "invalid-arg", right);
                bool mul = op == integer::OP_MULTIPLY;
                point2d::make_at(left, point::to_f32(mul ? x * f : x / f), point::to_f32(mul ? y * f : y / f));
                return;
            }
            if (floatx::not_finite(f)) fire("script", "invalid-arg", right);
            double t = std::trunc(f);
            if (t > -2147483649.0 && t < 2147483648.0) {
                *right = integer::make(int32_t(t));
                combine_pair(int32_t(t), int32_t(t), op);
                return;
            }
            // a whole number beyond 32 bits can only give a point
            right->set_type(TYPE_FLOAT);
            right->set_float(t);
            as_points(op);
            return;
        }
        case TYPE_POINT2D:
            as_points(op);
            return;
        default:
            invalid_type(right);
    }
}

void negate_last() {
    Cell* v = stack::arguments;
    v->data2 = 0u - v->data2;
    v->data3 = 0u - v->data3;
}

Cell* from_numbers(const Cell* x, const Cell* y, Cell* out) {
    int32_t c[2];
    const Cell* in[2] = {x, y};
    for (int i = 0; i < 2; i++) {
        if (in[i]->is(TYPE_INTEGER)) c[i] = integer::get(in[i]);
        else if (in[i]->is(TYPE_FLOAT)) c[i] = whole(in[i]->get_float(), in[i]);
        else fire("script", "invalid-arg", in[i]);
    }
    *out = make(c[0], c[1]);
    return out;
}

int32_t from_text(const uint8_t* text, size_t length, Cell* out) {
    if (length > 64 || std::memchr(text, '.', length)) return TYPE_PAIR;
    size_t x = 1;  // a sign or digit comes first
    while (x < length && text[x] != 'x' && text[x] != 'X') x++;
    if (x >= length) return TYPE_PAIR;
    int32_t e1 = 0, e2 = 0;
    int32_t a = integer::from_text(text, int32_t(x), 1, &e1);
    int32_t b = integer::from_text(text + x + 1, int32_t(length - x - 1), 1, &e2);
    if (e1 || e2) return TYPE_PAIR;
    *out = make(a, b);
    return 0;
}

Cell* make(Cell* proto, Cell* spec, int32_t) {
    int32_t x, y;
    switch (spec->type()) {
        case TYPE_PAIR:
            x = x_of(spec);
            y = y_of(spec);
            break;
        case TYPE_INTEGER:
            x = y = integer::get(spec);
            break;
        case TYPE_FLOAT:
            x = y = whole(spec->get_float(), spec);
            break;
        case TYPE_BLOCK: {
            if (block::length(spec) < 2) fire("syntax", "malconstruct", spec);
            int32_t c[2];
            for (int i = 0; i < 2; i++) {
                Cell* item = block::at(spec, i);
                if (item->is(TYPE_INTEGER)) c[i] = integer::get(item);
                else if (item->is(TYPE_FLOAT)) c[i] = whole(item->get_float(), item);
                else fire("syntax", "malconstruct", spec);
            }
            x = c[0];
            y = c[1];
            break;
        }
        case TYPE_POINT2D: {
            double px = point::coord(spec, 0), py = point::coord(spec, 1);
            if (floatx::not_finite(px) || floatx::not_finite(py)) fire("script", "invalid-arg", spec);
            x = whole(px, spec);
            y = whole(py, spec);
            break;
        }
        case TYPE_STRING: {
            if (!word::scan_text) fire("internal", "feature-na");
            std::string text = string::to_utf8(spec);
            Cell value{uint32_t(TYPE_NONE), 0, 0, 0};
            word::scan_text(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), &value);
            if (!value.is(TYPE_PAIR)) bad_to(spec);
            x = x_of(&value);
            y = y_of(&value);
            break;
        }
        default:
            bad_to(spec);
    }
    *proto = make(x, y);
    return proto;
}

namespace {

// ---- actions --------------------------------------------------------------------------

Cell* random_pair(Cell* value, bool seed, bool secure, bool) {
    int32_t x = x_of(value), y = y_of(value);
    if (seed) {
        random::seed(uint32_t(x ^ y));
        *value = unset::value;
        return value;
    }
    value->data2 = uint32_t(x ? random::range(secure, x) : 0);
    value->data3 = uint32_t(y ? random::range(secure, y) : 0);
    return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    std::string text = integer::to_text(x_of(value));
    text += 'x';
    text += integer::to_text(y_of(value));
    string::concatenate_ascii(buffer, text.data(), int32_t(text.size()));
    return limit - int32_t(text.size());
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t, bool, bool, bool, bool event) {
    int32_t i = 0;
    if (element->is(TYPE_INTEGER)) {
        int32_t n = integer::get(element);
        if (n == 1 || n == 2) i = n;
    } else {
        i = field_index(element);
    }
    if (i == 0) scalar_path::invalid_path(path, element);
    if (!value) {
        path_result = integer::make(i == 1 ? x_of(parent) : y_of(parent));
        return &path_result;
    }
    if (!value->is(TYPE_INTEGER)) invalid_type(value);
    Cell old = *parent;
    if (i == 1) parent->data2 = value->data2;
    else parent->data3 = value->data2;
    if (event) scalar_path::changed(grandparent, path_item, parent, &old);
    return value;
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    // sameness wants the same kind of value: 1x2 is not the same as (1, 2)
    if (op == 9 && !b->is(TYPE_PAIR)) return 1;
    if (b->is(TYPE_POINT2D)) {
        Cell p = *a;
        to_point2d(&p);
        return point2d::compare(&p, b, op);
    }
    if (!b->is(TYPE_PAIR)) return -2;
    int32_t x1 = x_of(a), x2 = x_of(b);
    if (x1 != x2) return x1 < x2 ? -1 : 1;
    int32_t y1 = y_of(a), y2 = y_of(b);
    return y1 < y2 ? -1 : y1 > y2 ? 1 : 0;
}

Cell* absolute() {
    Cell* v = stack::arguments;
    v->data2 = uint32_t(integer::abs(x_of(v)));
    v->data3 = uint32_t(integer::abs(y_of(v)));
    return v;
}

Cell* negate(Cell* v) {
    v->data2 = 0u - v->data2;
    v->data3 = 0u - v->data3;
    return v;
}

Cell* round(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && scale->is(TYPE_MONEY)) {
        Cell name = args::call_name();
        Cell dt = datatype_of(TYPE_MONEY);
        fire("script", "not-related", &name, &dt);
    }
    auto round_int = datatype::action<A_ROUND>(TYPE_INTEGER);
    Cell c[2] = {integer::make(x_of(n)), integer::make(y_of(n))};
    bool whole_results = true;
    for (int i = 0; i < 2; i++) {
        Cell s;
        Cell* sp = scale;
        if (scale && scale->is(TYPE_PAIR)) {
            s = integer::make(i == 0 ? x_of(scale) : y_of(scale));
            sp = &s;
        }
        round_int(&c[i], sp, even, down, half_down, floor, ceiling, half_ceiling);
        if (!c[i].is(TYPE_INTEGER)) whole_results = false;
    }
    if (whole_results) return make_at(n, integer::get(&c[0]), integer::get(&c[1]));
    // a fractional scale rounds to fractions: the pair becomes a point
    double d[2];
    for (int i = 0; i < 2; i++) d[i] = c[i].is(TYPE_INTEGER) ? double(integer::get(&c[i])) : c[i].get_float();
    return point2d::make_at(n, point::to_f32(d[0]), point::to_f32(d[1]));
}

Cell* pick(Cell* series, int32_t index, Cell* boxed) {
    int32_t i;
    if (boxed && word::any_word_type(boxed->type())) {
        i = field_index(boxed);
        if (i == 0) fire("script", "cannot-use", boxed, series);
    } else {
        i = index;
        if (i != 1 && i != 2) {
            Cell n = integer::make(index);
            fire("script", "out-of-range", boxed ? boxed : &n);
        }
    }
    int32_t v = i == 1 ? x_of(series) : y_of(series);
    *series = integer::make(v);
    return series;
}

Cell* reverse(Cell* series, Cell*, Cell*) {
    std::swap(series->data2, series->data3);
    return series;
}

Cell* add() {
    do_math(integer::OP_ADD);
    return stack::arguments;
}
Cell* subtract() {
    do_math(integer::OP_SUBTRACT);
    return stack::arguments;
}
Cell* multiply() {
    do_math(integer::OP_MULTIPLY);
    return stack::arguments;
}
Cell* divide() {
    do_math(integer::OP_DIVIDE);
    return stack::arguments;
}
Cell* remainder() {
    do_math(integer::OP_REMAINDER);
    return stack::arguments;
}
Cell* and_t() {
    do_math(integer::OP_AND);
    return stack::arguments;
}
Cell* or_t() {
    do_math(integer::OP_OR);
    return stack::arguments;
}
Cell* xor_t() {
    do_math(integer::OP_XOR);
    return stack::arguments;
}

// The tokenizer's entry for pair literals (it only checks when out is null).
int load_literal(lexer::Token& t, Cell* out) {
    Cell v;
    int32_t e = from_text(t.start, size_t(t.end - t.start), &v);
    if (e == 0 && out) *out = v;
    return e;
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_RANDOM>(&random_pair).set<A_TO>(&make);
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path).set<A_COMPARE>(&compare);
    a.set<A_ABSOLUTE>(&absolute).set<A_ADD>(&add).set<A_DIVIDE>(&divide).set<A_MULTIPLY>(&multiply);
    a.set<A_NEGATE>(&negate).set<A_REMAINDER>(&remainder).set<A_ROUND>(&round).set<A_SUBTRACT>(&subtract);
    a.set<A_AND_T>(&and_t).set<A_OR_T>(&or_t).set<A_XOR_T>(&xor_t);
    a.set<A_PICK>(&pick).set<A_REVERSE>(&reverse);
    datatype::register_type(TYPE_PAIR, 0, "pair!", a);
    extended::pair_do_math = &do_math;
    extended::pair_negate = &negate_last;
    lexer::set_maker(lexer::T_PAIR, &load_literal);
}

}  // namespace kro::pair
