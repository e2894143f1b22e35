#include "datatypes/float.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "datatypes/block.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/random.hpp"

namespace kro::floatx {

bool pretty_print = true;
bool full_support = false;

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

bool float_like(Type t) { return t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_TIME; }

bool text_type(Type t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}

[[noreturn]] void invalid_type(const Cell* value) {
    Cell dt = datatype_of(value->type());
    fire("script", "invalid-type", &dt);
}

// The 64-bit pattern as an unsigned number that grows with the value: negative
// doubles by the two's-complement negation of their pattern, the others with
// the top bit set (so that 0.0 and -0.0 meet).
uint64_t ordered(double d) {
    uint64_t bits = std::bit_cast<uint64_t>(d);
    return (bits >> 63) ? ~bits + 1 : bits | 0x8000000000000000ull;
}

}  // namespace

Cell* set_last(double d) {
    *stack::arguments = make(d);
    return stack::arguments;
}

Cell* make_at(Cell* c, double d) {
    *c = make(d);
    return c;
}

Cell* make_in(Cell* blk, uint32_t low, uint32_t high) {
    Cell* c = block::add_cell(blk);
    *c = Cell{uint32_t(TYPE_FLOAT), 0, low, high};
    return c;
}

Cell* push(double d) {
    Cell* c = stack::push_cell();
    *c = make(d);
    return c;
}

Cell* push_bits(uint32_t high, uint32_t low) {
    Cell* c = stack::push_cell();
    *c = Cell{uint32_t(TYPE_FLOAT), 0, low, high};
    return c;
}

bool almost_equal(double a, double b) {
    if (is_nan(a) || is_nan(b)) return false;
    if (a == b) return true;
    if (std::fabs(a - b) < EPSILON) return true;
    uint64_t x = ordered(a), y = ordered(b);
    return (x > y ? x - y : y - x) <= 10;
}

bool almost_equal32(float a, float b) {
    if (is_nan32(a) || is_nan32(b)) return false;
    if (a == b) return true;
    uint32_t ua = std::bit_cast<uint32_t>(a), ub = std::bit_cast<uint32_t>(b);
    uint32_t ma = ua & 0x7FFFFFFF, mb = ub & 0x7FFFFFFF;
    if (ma <= 0x7F7FFFFE && mb <= 0x7F7FFFFE) {
        if (ma == 0 && mb == 0) return true;
        int64_t x = (ua >> 31) ? -int64_t(ma) : int64_t(ma);
        int64_t y = (ub >> 31) ? -int64_t(mb) : int64_t(mb);
        return (x > y ? x - y : y - x) <= 10;
    }
    // an infinity or the largest float: only close magnitudes of the same sign
    if ((ua >> 31) != (ub >> 31)) return false;
    return (ma > mb ? ma - mb : mb - ma) < 0x100000;
}

int32_t truncate_x86(double d) {
    if (d > -2147483649.0 && d < 2147483648.0) return int32_t(d);
    return INT32_MIN;
}

int32_t round_half(double d) { return truncate_x86(d + BELOW_HALF); }

// ---- form text ------------------------------------------------------------------------

namespace {

// printf "%.<precision>g" in the C locale, whatever the process locale.
int32_t general(double x, int precision, char* out, size_t room) {
    auto r = std::to_chars(out, out + room - 1, x, std::chars_format::general, precision);
    *r.ptr = '\0';
    return int32_t(r.ptr - out);
}

bool is_percent_kind(int32_t kind) { return kind == KIND_PERCENT32 || kind == KIND_PERCENT; }

}  // namespace

const char* to_text(double x, int32_t kind) {
    static char text[32];
    if (not_finite(x)) {
        if (is_nan(x)) return "1.#NaN";
        return x < 0 ? "-1.#INF" : "1.#INF";
    }
    if (kind < KIND_FLOAT32 || kind > KIND_POINT) rt_error::no_switch_match();
    if (pretty_print && std::fabs(x) < EPSILON) {
        if (is_percent_kind(kind)) return "0%";
        return kind == KIND_POINT ? "0" : "0.0";
    }
    char work[64];
    int32_t len;
    switch (kind) {
        case KIND_FLOAT32:
        case KIND_PERCENT32:
        case KIND_POINT: len = general(x, 7, work, sizeof work); break;
        case KIND_PERCENT: len = general(x, 13, work, sizeof work); break;
        case KIND_TIME_SECONDS: {
            Text t = to_decimal_text(x, 6, false);
            len = t.length;
            std::memcpy(work, t.text, size_t(len) + 1);
            break;
        }
        default: len = general(x, 16, work, sizeof work); break;
    }
    if (pretty_print) {
        // A text at full length that ends in 01 or 99 is a near-miss of a shorter
        // decimal (0.1 + 0.7): write it once more with fewer digits.
        const char* e = std::strchr(work, 'e');
        int32_t body = e ? int32_t(e - work) : len;
        bool full;
        if (e) {
            full = body > 16;
        } else {
            int32_t lead = work[0] == '-' ? 1 : 0;
            full = len > (work[lead] == '0' ? 17 : 16);
        }
        if (full && body >= 2) {
            const char* last = work + body - 2;
            if ((last[0] == '0' && last[1] == '1') || (last[0] == '9' && last[1] == '9')) {
                bool short_kind = kind == KIND_FLOAT32 || kind == KIND_TIME_SECONDS || kind == KIND_POINT;
                len = general(x, short_kind ? 5 : 14, work, sizeof work);
            }
        }
    }
    // The exponent without "+" and leading zeros: 1e+020 becomes 1e20.
    char* out = text;
    const char* e = std::strchr(work, 'e');
    int32_t body = e ? int32_t(e - work) : len;
    std::memcpy(out, work, size_t(body));
    out += body;
    bool has_point = std::memchr(work, '.', size_t(body)) != nullptr;
    bool add_point = !has_point && !is_percent_kind(kind) && kind != KIND_TIME_SECONDS && kind != KIND_POINT;
    if (add_point) {
        std::memcpy(out, ".0", 2);
        out += 2;
    }
    if (e) {
        const char* p = e + 1;
        *out++ = 'e';
        if (*p == '+') p++;
        else if (*p == '-') *out++ = *p++;
        while (*p == '0' && p[1]) p++;
        while (*p) *out++ = *p++;
    }
    if (is_percent_kind(kind)) *out++ = '%';
    *out = '\0';
    return text;
}

// ---- math -----------------------------------------------------------------------------

double do_math_op(double x, double y, int32_t op) {
    switch (op) {
        case integer::OP_ADD: return x + y;
        case integer::OP_SUBTRACT: return x - y;
        case integer::OP_MULTIPLY: return x * y;
        case integer::OP_DIVIDE: return x / y;
        case integer::OP_REMAINDER:
            if (is_nan(y)) return y;
            if (std::isinf(y)) return std::isfinite(x) ? x : std::numeric_limits<double>::quiet_NaN();
            return std::fmod(x, y);
        default: {
            Cell name = args::call_name();
            Cell dt = datatype_of(TYPE_FLOAT);
            fire("script", "cannot-use", &name, &dt);
        }
    }
}

Cell* do_math(int32_t op) {
    using namespace extended;
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    Type lt = left->type(), rt = right->type();
    switch (rt) {
        case TYPE_TUPLE:
            need(tuple_do_math)(op);
            return left;
        case TYPE_MONEY:
            need(money_do_math)(op);
            return left;
        case TYPE_VECTOR: {
            Cell* r = need(vector_do_math)(op, right, left);
            stack::set_last(r);
            return stack::arguments;
        }
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D: {
            if (lt == TYPE_TIME) invalid_type(right);
            if (op == integer::OP_SUBTRACT || op == integer::OP_DIVIDE) {
                Cell w{uint32_t(TYPE_WORD), 0,
                       uint32_t(symbol::make(op == integer::OP_SUBTRACT ? "subtract" : "divide")), uint32_t(-1)};
                Cell dt = datatype_of(rt);
                fire("script", "not-related", &w, &dt);
            }
            DoMathFn math = need(rt == TYPE_PAIR ? pair_do_math : rt == TYPE_POINT2D ? point2d_do_math : point3d_do_math);
            Cell l = *left;
            copy_cell(right, left);
            copy_cell(&l, right);
            math(op);
            return left;
        }
        case TYPE_INTEGER:
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            break;
        case TYPE_CHAR:
            if (lt == TYPE_TIME || lt == TYPE_PERCENT) invalid_type(right);
            break;
        default:
            invalid_type(right);
    }
    double x = lt == TYPE_INTEGER ? double(integer::get(left)) : left->get_float();
    if (lt == TYPE_INTEGER) lt = TYPE_FLOAT;
    double y = rt == TYPE_INTEGER || rt == TYPE_CHAR ? double(integer::get(right)) : right->get_float();
    double r = do_math_op(x, y, op);
    Type result = lt;
    if (lt == TYPE_TIME || rt == TYPE_TIME) result = TYPE_TIME;
    else if (lt == TYPE_PERCENT) result = TYPE_PERCENT;
    left->set_type(result);
    left->data1 = 0;
    left->set_float(r);
    return left;
}

namespace {

// The op seen from the other side: a < b is b > a.
int32_t mirrored(int32_t op) {
    switch (op) {
        case 3: return 5;
        case 4: return 6;
        case 5: return 3;
        case 6: return 4;
        default: return op;
    }
}

}  // namespace

int32_t compare_double(double left, Type left_type, const Cell* right, int32_t op) {
    using namespace extended;
    Type rt = right->type();
    if ((op == 2 || op == 9 || op == 12) && rt != left_type) return 1;
    double r;
    switch (rt) {
        case TYPE_INTEGER: r = double(integer::get(right)); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: r = right->get_float(); break;
        case TYPE_MONEY: {
            // a duration is no amount
            if (left_type == TYPE_TIME) return -2;
            // money decides, with the operands swapped, so that both orders
            // give the same answer
            Cell number{uint32_t(left_type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT), 0, 0, 0};
            number.set_float(left);
            int32_t answer = need(money_compare)(const_cast<Cell*>(right), &number, mirrored(op));
            return answer == -2 ? -2 : -answer;
        }
        default: return -2;
    }
    switch (op) {
        case 0:
        case 1: return almost_equal(left, r) ? 0 : 1;
        case 2: return left == r ? 0 : 1;
        case 9: return std::bit_cast<uint64_t>(left) == std::bit_cast<uint64_t>(r) ? 0 : 1;
        default: break;
    }
    bool nan_left = is_nan(left), nan_right = is_nan(r);
    if (nan_left || nan_right) {
        // every ordering test with a NaN is false
        if (op == 3 || op == 4) return 1;
        if (op == 5 || op == 6) return -1;
        // sorting puts NaNs after every number, so that the order stays total
        if (op == 7 || op == 8) return nan_left == nan_right ? 0 : nan_left ? 1 : -1;
        // a search for a NaN finds a NaN, and only a NaN
        return nan_left && nan_right ? 0 : 1;
    }
    return left < r ? -1 : left > r ? 1 : 0;
}

// ---- round and power --------------------------------------------------------------------

Cell* round(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
    if (scale && scale->is(TYPE_MONEY)) {
        Cell name = args::call_name();
        Cell dt = datatype_of(TYPE_MONEY);
        fire("script", "not-related", &name, &dt);
    }
    bool percent = n->is(TYPE_PERCENT);
    double x = n->get_float();
    double s = percent ? 0.01 : 1.0;
    if (scale) {
        if (scale->is(TYPE_INTEGER)) s = double(integer::get(scale));
        else if (float_like(scale->type())) s = scale->get_float();
        else fire("script", "invalid-arg", scale);
        s = std::fabs(s);
        if (percent) s /= 100.0;
    }
    // no multiple to round to (scale 0), or one too fine to change x
    if (s == 0.0 || s < std::ldexp(std::fabs(x), -53)) return n;
    double q, sc = s;
    int exponent = 0;
    if (s >= 1.0) {
        q = x / s;
    } else {
        int e = 0;
        double m = std::frexp(s, &e);
        double xs = x;
        if (e <= -1022) {  // a subnormal scale: work with its mantissa
            sc = m;
            xs = std::ldexp(x, -e);
            exponent = e;
        }
        q = xs * (1.0 / sc);
    }
    double a = std::fabs(q);
    double mid = std::floor(a) + 0.5;
    auto with_sign = [q](double v) { return q < 0 ? -v : v; };
    double r;
    if (down) r = with_sign(std::floor(a));
    else if (floor) r = std::floor(q);
    else if (ceiling) r = std::ceil(q);
    else if (a > mid) r = with_sign(std::ceil(a));
    else if (a < mid) r = with_sign(std::floor(a));
    else if (even) r = with_sign(std::fmod(a, 2.0) >= 1.0 ? std::ceil(a) : std::floor(a));
    else if (half_down) r = with_sign(std::floor(a));
    else if (half_ceiling) r = std::ceil(q);
    else r = with_sign(std::ceil(a));
    double result;
    if (s >= 1.0) {
        result = r * s;
        if (std::fabs(result) == MAX_FINITE) fire("math", "overflow");
    } else {
        result = r / (1.0 / sc);
        if (exponent) result = std::ldexp(result, exponent);
    }
    if (scale && scale->is(TYPE_INTEGER)) {
        // an integer scale asks for an integer! answer: one beyond 32 bits has none
        if (!(result > -2147483649.0 && result < 2147483648.0)) fire("math", "overflow");
        n->set_type(TYPE_INTEGER);
        n->data1 = n->data3 = 0;
        n->data2 = uint32_t(int32_t(result));
        return n;
    }
    if (scale) n->set_type(scale->type());
    n->set_float(result);
    return n;
}

Cell* power() {
    Cell* base = stack::arguments;
    Cell* exponent = base + 1;
    double y;
    if (exponent->is(TYPE_INTEGER)) {
        y = double(integer::get(exponent));
    } else if (exponent->is(TYPE_FLOAT)) {
        y = exponent->get_float();
    } else {
        args::expect_arg(exponent->type(), 1);
    }
    base->set_float(std::pow(base->get_float(), y));
    return base;
}

// ---- actions ------------------------------------------------------------------------------

namespace {

[[noreturn]] void bad_to(int32_t type, const Cell* spec) {
    Cell dt = datatype_of(Type(type));
    fire("script", "bad-to-arg", &dt, spec);
}

double binary_bits(const Cell* bin) {
    memory::Buffer* b = memory::buffer_of(bin->data2);
    uint32_t start = b->offset + bin->data1;
    uint32_t n = start < b->tail ? b->tail - start : 0;
    if (n > 8) n = 8;
    uint64_t bits = 0;
    for (uint32_t i = 0; i < n; i++) bits = (bits << 8) | b->data()[start + i];
    return std::bit_cast<double>(bits);
}

// [m e]: m x 10^e, e a whole number.
double mantissa_exponent(const Cell* spec, int32_t type) {
    if (block::length(spec) != 2) bad_to(type, spec);
    double parts[2];
    for (int i = 0; i < 2; i++) {
        const Cell* c = block::at(spec, i);
        if (c->is(TYPE_INTEGER)) parts[i] = double(integer::get(c));
        else if (c->is(TYPE_FLOAT)) parts[i] = c->get_float();
        else bad_to(TYPE_FLOAT, c);
    }
    return parts[0] * std::pow(10.0, std::trunc(parts[1]));
}

double text_to_float(const Cell* str, int32_t type) {
    memory::Buffer* b = memory::buffer_of(str->data2);
    int32_t unit = b->unit();
    uint32_t start = b->offset + str->data1 * uint32_t(unit);
    int32_t count = start < b->tail ? int32_t((b->tail - start) / uint32_t(unit)) : 0;
    if (count < 1) bad_to(type, str);
    if (type != TYPE_PERCENT) {
        int32_t error = 0;
        double d = from_text(b->data() + start, count, unit, &error);
        if (error) bad_to(type, str);
        return d;
    }
    // a percent! reads one value of the language's syntax from the text
    if (!word::scan_text) fire("internal", "feature-na");
    int32_t part = -1;
    const char* utf8 = string::to_utf8(const_cast<Cell*>(str), &part);
    Cell value;
    word::scan_text(reinterpret_cast<const uint8_t*>(utf8), uint32_t(part), &value);
    if (value.is(TYPE_INTEGER)) return double(integer::get(&value));
    if (value.is(TYPE_FLOAT) || value.is(TYPE_PERCENT)) return value.get_float();
    bad_to(type, str);
}

// make and to of float! and of percent!, which registers with this code.
Cell* to(Cell* proto, Cell* spec, int32_t type) {
    if (type != TYPE_PERCENT) type = TYPE_FLOAT;
    double d;
    Type t = spec->type();
    switch (t) {
        case TYPE_INTEGER:
        case TYPE_CHAR: d = double(integer::get(spec)); break;
        case TYPE_TIME: d = spec->get_float(); break;
        case TYPE_MONEY: d = extended::need(extended::money_to_float)(spec); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT: d = spec->get_float(); break;
        case TYPE_BINARY: d = binary_bits(spec); break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: d = mantissa_exponent(spec, type); break;
        default:
            if (!text_type(t)) bad_to(type, spec);
            d = text_to_float(spec, type);
            break;
    }
    *proto = make(d);
    proto->set_type(Type(type));
    return proto;
}

Cell* random_float(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data2 ^ value->data3);
        copy_cell(&unset::value, value);
        return value;
    }
    double x = value->get_float();
    double r;
    if (secure) {
        double s1 = double(random::secure_next() & 0x7FFFFFFF);
        double s2 = double(random::secure_next() & 0x7FFFFFFF);
        r = (s1 / 2147483647.0 + s2) * x / 2147483648.0;
    } else {
        r = double(random::next() & 0x7FFFFFFF) / 2147483647.0 * x;
    }
    value->set_float(r);
    return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    const char* text = to_text(value->get_float(), KIND_FLOAT);
    int32_t n = int32_t(std::strlen(text));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, int32_t limit, int32_t) {
    Text t = to_decimal_text(value->get_float(), 0, true);
    string::concatenate_ascii(buffer, t.text, t.length);
    return limit - t.length;
}

int32_t compare(Cell* a, Cell* b, int32_t op) { return compare_double(a->get_float(), a->type(), b, op); }

Cell* absolute() {
    stack::arguments->data3 &= 0x7FFFFFFF;
    return stack::arguments;
}

Cell* negate(Cell* v) {
    v->set_float(0.0 - v->get_float());
    return v;
}

// Parity of the whole part. Beyond 32 bits the whole part itself decides; NaN
// and the infinities have none and count as even.
bool odd_whole(double x) {
    if (!std::isfinite(x)) return (truncate_x86(x) & 1) != 0;
    if (x > -2147483649.0 && x < 2147483648.0) return (int32_t(x) & 1) != 0;
    return std::fmod(std::trunc(x), 2.0) != 0.0;
}
bool even(Cell* v) { return !odd_whole(v->get_float()); }
bool odd(Cell* v) { return odd_whole(v->get_float()); }

Cell* add() { return do_math(integer::OP_ADD); }
Cell* subtract() { return do_math(integer::OP_SUBTRACT); }
Cell* multiply() { return do_math(integer::OP_MULTIPLY); }
Cell* divide() { return do_math(integer::OP_DIVIDE); }
Cell* remainder() { return do_math(integer::OP_REMAINDER); }

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&to).set<A_RANDOM>(&random_float).set<A_TO>(&to);
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    a.set<A_ABSOLUTE>(&absolute).set<A_ADD>(&add).set<A_DIVIDE>(&divide).set<A_MULTIPLY>(&multiply);
    a.set<A_NEGATE>(&negate).set<A_POWER>(&power).set<A_REMAINDER>(&remainder).set<A_ROUND>(&round);
    a.set<A_SUBTRACT>(&subtract).set<A_EVEN_Q>(&even).set<A_ODD_Q>(&odd);
    datatype::register_type(TYPE_FLOAT, 0, "float!", a);
}

}  // namespace kro::floatx
