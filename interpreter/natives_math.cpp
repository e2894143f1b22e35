// The math natives: sign and zero predicates, max and min over scalars and
// compound numbers, bit shifts, hexadecimal digits, trigonometry (in degrees
// unless /radians), logarithms and powers.
#include <cmath>
#include <cstdio>
#include <utility>

#include "datatypes/float.hpp"
#include "datatypes/money.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word_variants.hpp"
#include "foundation/fire.hpp"
#include "foundation/print.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/natives.hpp"

namespace kro::natives {

namespace {

constexpr int32_t NEGATIVE_Q = 49, POSITIVE_Q = 50, MAX = 51, MIN = 52, SHIFT = 53, TO_HEX = 54, SINE = 55,
                  COSINE = 56, TANGENT = 57, ARCSINE = 58, ARCCOSINE = 59, ARCTANGENT = 60, ARCTANGENT2 = 61,
                  NAN_Q = 62, LOG_2 = 63, LOG_10 = 64, LOG_E = 65, EXP = 66, SQUARE_ROOT = 67, SIGN_Q = 97,
                  ZERO_Q = 100;

constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = PI / 2;
constexpr double LN_2 = 0.6931471805599453;
constexpr double E = 2.718281828459045;

// The native does not take this datatype for its first argument.
[[noreturn]] void not_allowed(const Cell* value) {
    Cell name = args::call_name();
    Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(value->type()), 0, 0};
    Cell word = args::argument_word(0);
    fire("script", "expect-arg", &name, &dt, &word);
}

inline bool floating(const Cell* c) { return c->is(TYPE_FLOAT) || c->is(TYPE_PERCENT) || c->is(TYPE_TIME); }

inline Flow logic_result(bool b) {
    Cell r = logic::make(b);
    return result(&r);
}

inline Flow integer_result(int32_t i) {
    Cell r{uint32_t(TYPE_INTEGER), 0, uint32_t(i), 0};
    return result(&r);
}

inline Flow float_result(double d) {
    Cell r = floatx::make(d);
    return result(&r);
}

// An integer!, float! or percent! argument as a double.
double number_of(const Cell* c) {
    if (c->is(TYPE_INTEGER)) return double(int32_t(c->data2));
    if (c->is(TYPE_FLOAT) || c->is(TYPE_PERCENT)) return c->get_float();
    not_allowed(c);
}

// ---- predicates ----------------------------------------------------------------------------

// -1, 0 or 1 for the numbers the sign natives take (a NaN has no sign: 0).
int32_t sign_of(const Cell* v) {
    if (v->is(TYPE_INTEGER)) {
        int32_t i = int32_t(v->data2);
        return (i > 0) - (i < 0);
    }
    if (floating(v)) {
        double d = v->get_float();
        return (d > 0.0) - (d < 0.0);
    }
    if (v->is(TYPE_MONEY)) return money::sign_of(v);
    not_allowed(v);
}

Flow negative_q(const int32_t*) { return logic_result(sign_of(arg(0)) < 0); }
Flow positive_q(const int32_t*) { return logic_result(sign_of(arg(0)) > 0); }
Flow sign_q(const int32_t*) { return integer_result(sign_of(arg(0))); }

Flow zero_q(const int32_t*) {
    const Cell* v = arg(0);
    bool zero;
    switch (v->type()) {
        case TYPE_CHAR:
        case TYPE_INTEGER: zero = v->data2 == 0; break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: zero = v->get_float() == 0.0; break;
        case TYPE_PAIR: zero = pair::x_of(v) == 0 && pair::y_of(v) == 0; break;
        case TYPE_TUPLE: zero = tuple::zero_q(v); break;
        case TYPE_MONEY: zero = money::zero(v); break;
        case TYPE_POINT2D: zero = point::coord(v, 0) == 0.0f && point::coord(v, 1) == 0.0f; break;
        case TYPE_POINT3D:
            zero = point::coord(v, 0) == 0.0f && point::coord(v, 1) == 0.0f && point::coord(v, 2) == 0.0f;
            break;
        default: zero = false;
    }
    return logic_result(zero);
}

Flow nan_q(const int32_t*) {
    const Cell* v = arg(0);
    if (floating(v)) return logic_result(std::isnan(v->get_float()));
    if (v->is(TYPE_INTEGER)) return logic_result(false);
    not_allowed(v);
}

// ---- max and min ---------------------------------------------------------------------------

// Whether the scalar s replaces the coordinate c: it is greater (max), smaller
// (min), or a NaN.
inline bool takes(double c, double s, bool greater) { return std::isnan(s) || (greater ? s > c : s < c); }

// A float that can stand for an integer coordinate: finite and within 32 bits.
inline bool integral_range(double d) { return d >= -2147483648.0 && d <= 2147483647.0; }

// Coordinate by coordinate, a point against a number or a point of the same kind.
void point_against(Cell* a, const Cell* b, bool greater) {
    int n = a->is(TYPE_POINT3D) ? 3 : 2;
    for (int i = 0; i < n; i++) {
        double c = point::coord(a, i);
        double s;
        if (b->is(TYPE_PAIR)) s = i == 0 ? pair::x_of(b) : pair::y_of(b);
        else if (b->type() == a->type()) s = point::coord(b, i);
        else s = number_of(b);
        if (takes(c, s, greater)) point::set_coord(a, i, point::to_f32(s));
    }
}

// The compound cases; false when the pair of values is left to the comparison.
bool compound(Cell* a, const Cell* b, bool greater) {
    auto pick = [greater](int32_t c, int32_t s) { return (greater ? s > c : s < c) ? s : c; };
    switch (a->type()) {
        case TYPE_PAIR: {
            if (b->is(TYPE_INTEGER) || (b->is(TYPE_FLOAT) && integral_range(b->get_float()))) {
                int32_t s = float_to_int(b);
                pair::make_at(a, pick(pair::x_of(a), s), pick(pair::y_of(a), s));
                return true;
            }
            if (b->is(TYPE_FLOAT) || b->is(TYPE_POINT2D)) {
                // a scalar no integer can hold, or a point: the pair becomes a point
                pair::to_point2d(a);
                point_against(a, b, greater);
                return true;
            }
            if (b->is(TYPE_PAIR)) {
                pair::make_at(a, pick(pair::x_of(a), pair::x_of(b)), pick(pair::y_of(a), pair::y_of(b)));
                return true;
            }
            return false;
        }
        case TYPE_POINT2D:
        case TYPE_POINT3D:
            if (b->is(TYPE_INTEGER) || b->is(TYPE_FLOAT) || b->is(TYPE_PERCENT) || b->type() == a->type() ||
                (a->is(TYPE_POINT2D) && b->is(TYPE_PAIR))) {
                point_against(a, b, greater);
                return true;
            }
            return false;
        case TYPE_TUPLE: {
            int32_t n = tuple::length(a);
            if (b->is(TYPE_INTEGER) || b->is(TYPE_FLOAT)) {
                int32_t s = float_to_int(b);
                s = s < 0 ? 0 : s > 255 ? 255 : s;
                for (int32_t i = 0; i < n; i++) tuple::set_byte(a, i, uint8_t(pick(tuple::byte_at(a, i), s)));
                return true;
            }
            if (b->is(TYPE_TUPLE) && tuple::length(b) == n) {
                for (int32_t i = 0; i < n; i++)
                    tuple::set_byte(a, i, uint8_t(pick(tuple::byte_at(a, i), tuple::byte_at(b, i))));
                return true;
            }
            return false;
        }
        default: return false;
    }
}

Flow max_min(bool greater) {
    Cell a = *arg(0), b = *arg(1);
    auto scalar_number = [](const Cell* c) { return c->is(TYPE_INTEGER) || c->is(TYPE_FLOAT) || c->is(TYPE_PERCENT); };
    auto nan = [](const Cell* c) { return (c->is(TYPE_FLOAT) || c->is(TYPE_PERCENT)) && std::isnan(c->get_float()); };
    // a NaN wins over any number, on either side
    if (nan(&a) && scalar_number(&b)) return result(&a);
    if (nan(&b) && scalar_number(&a)) return result(&b);
    // the compound value goes first
    bool compound_b = b.is(TYPE_PAIR) || b.is(TYPE_POINT2D) || b.is(TYPE_POINT3D) || b.is(TYPE_TUPLE);
    if (compound_b && (a.is(TYPE_INTEGER) || a.is(TYPE_FLOAT))) std::swap(a, b);
    if (compound(&a, &b, greater)) return result(&a);
    // everything else is ordered by the comparison (which raises for values it cannot order)
    bool lesser = actions::compare(&a, &b, actions::LESSER);
    return result(lesser == greater ? &b : &a);
}

Flow max_native(const int32_t*) { return max_min(true); }
Flow min_native(const int32_t*) { return max_min(false); }

// ---- bits and digits -------------------------------------------------------------------------

// refs: /left, /logical.
Flow shift_native(const int32_t* refs) {
    const Cell* data = arg(0);
    const Cell* bits = arg(1);
    if (!data->is(TYPE_INTEGER)) not_allowed(data);
    if (!bits->is(TYPE_INTEGER)) {
        Cell name = args::call_name();
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(bits->type()), 0, 0};
        Cell word = args::argument_word(1);
        fire("script", "expect-arg", &name, &dt, &word);
    }
    uint32_t u = data->data2;
    int32_t n = int32_t(bits->data2);
    if (n < 0) n = 0;
    int32_t r;
    if (used(refs, 0)) r = n >= 32 ? 0 : int32_t(u << n);
    else if (used(refs, 1)) r = n >= 32 ? 0 : int32_t(u >> n);
    else r = n >= 32 ? (int32_t(u) < 0 ? -1 : 0) : int32_t(u) >> n;
    return integer_result(r);
}

// refs: /size (its length argument).
Flow to_hex(const int32_t* refs) {
    const Cell* value = arg(0);
    if (!value->is(TYPE_INTEGER)) not_allowed(value);
    int32_t keep = 8;
    if (const Cell* length = ref_arg(refs, 0)) {
        int32_t n = float_to_int(length);
        if (n <= 0) fire("script", "invalid-arg", length);
        if (n < keep) keep = n;
    }
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", unsigned(value->data2));
    Cell out;
    issue::make_at(&out, digits + 8 - keep);
    return result(&out);
}

// ---- trigonometry ------------------------------------------------------------------------------

// Results this close to zero are the rounding of an exact zero.
inline double tidy(double d) { return std::fabs(d) < floatx::EPSILON ? 0.0 : d; }

// The angle in radians: refs[0] is /radians; otherwise degrees, folded by mode.
inline double angle_of(const int32_t* refs, int32_t mode) {
    double a = number_of(arg(0));
    return used(refs, 0) ? a : floatx::degrees_to_radians(a, mode);
}

inline double to_degrees(const int32_t* refs, double r) { return used(refs, 0) ? r : r * 180.0 / PI; }

Flow sine(const int32_t* refs) { return float_result(tidy(std::sin(angle_of(refs, 2)))); }
Flow cosine(const int32_t* refs) { return float_result(tidy(std::cos(angle_of(refs, 1)))); }

Flow tangent(const int32_t* refs) {
    double a = angle_of(refs, 0);
    if (a == HALF_PI) return float_result(INFINITY);
    if (a == -HALF_PI) return float_result(-INFINITY);
    return float_result(std::tan(a));
}

Flow arcsine(const int32_t* refs) { return float_result(to_degrees(refs, std::asin(number_of(arg(0))))); }
Flow arccosine(const int32_t* refs) { return float_result(to_degrees(refs, std::acos(number_of(arg(0))))); }
Flow arctangent(const int32_t* refs) { return float_result(to_degrees(refs, std::atan(number_of(arg(0))))); }

Flow arctangent2(const int32_t* refs) {
    double y = number_of(arg(0));
    const Cell* xc = arg(1);
    if (!(xc->is(TYPE_INTEGER) || xc->is(TYPE_FLOAT) || xc->is(TYPE_PERCENT))) {
        Cell name = args::call_name();
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(xc->type()), 0, 0};
        Cell word = args::argument_word(1);
        fire("script", "expect-arg", &name, &dt, &word);
    }
    return float_result(to_degrees(refs, std::atan2(y, number_of(xc))));
}

// ---- logarithms and powers (no domain check: IEEE answers NaN or an infinity) ---------------

Flow log_2(const int32_t*) { return float_result(std::log(number_of(arg(0))) / LN_2); }
Flow log_10(const int32_t*) { return float_result(std::log10(number_of(arg(0)))); }
Flow log_e(const int32_t*) { return float_result(std::log(number_of(arg(0)))); }
Flow exp_native(const int32_t*) { return float_result(std::pow(E, number_of(arg(0)))); }
Flow square_root(const int32_t*) { return float_result(std::sqrt(number_of(arg(0)))); }

void install() {
    set_fn(NEGATIVE_Q, &negative_q);
    set_fn(POSITIVE_Q, &positive_q);
    set_fn(MAX, &max_native);
    set_fn(MIN, &min_native);
    set_fn(SHIFT, &shift_native);
    set_fn(TO_HEX, &to_hex);
    set_fn(SINE, &sine);
    set_fn(COSINE, &cosine);
    set_fn(TANGENT, &tangent);
    set_fn(ARCSINE, &arcsine);
    set_fn(ARCCOSINE, &arccosine);
    set_fn(ARCTANGENT, &arctangent);
    set_fn(ARCTANGENT2, &arctangent2);
    set_fn(NAN_Q, &nan_q);
    set_fn(LOG_2, &log_2);
    set_fn(LOG_10, &log_10);
    set_fn(LOG_E, &log_e);
    set_fn(EXP, &exp_native);
    set_fn(SQUARE_ROOT, &square_root);
    set_fn(SIGN_Q, &sign_q);
    set_fn(ZERO_Q, &zero_q);
}

}  // namespace

KRO_NATIVE_GROUP(install);

}  // namespace kro::natives
