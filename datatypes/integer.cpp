#include "datatypes/integer.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/random.hpp"

namespace kro::extended {

DoMathFn money_do_math = nullptr;
DoMathFn pair_do_math = nullptr;
DoMathFn point2d_do_math = nullptr;
DoMathFn point3d_do_math = nullptr;
DoMathFn tuple_do_math = nullptr;
DoMathFn date_do_math = nullptr;
void (*pair_negate)() = nullptr;
void (*point2d_negate)() = nullptr;
void (*point3d_negate)() = nullptr;
Cell* (*vector_do_math)(int32_t op, Cell* right, Cell* left) = nullptr;
int32_t (*money_compare)(Cell* money, Cell* other, int32_t op) = nullptr;
Cell* (*money_from_integer)(int32_t v) = nullptr;
Cell* (*money_from_float)(double d, bool flag) = nullptr;
int32_t (*money_to_integer)(const Cell* money) = nullptr;
double (*money_to_float)(const Cell* money) = nullptr;
int32_t (*date_to_epoch)(const Cell* date) = nullptr;

void missing() { fire("internal", "feature-na"); }

}  // namespace kro::extended

namespace kro::integer {

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }
Cell word_of(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }

// The action words of the math op codes, for errors that name the attempted action.
const char* op_name(int32_t op) {
    static const char* const names[] = {"add", "subtract", "multiply", "divide", "remainder", "or~", "and~", "xor~"};
    if (op < 0 || op > 7) rt_error::no_switch_match();
    return names[op];
}

[[noreturn]] void not_related(const char* action, Type type) {
    Cell w = word_of(action);
    Cell dt = datatype_of(type);
    fire("script", "not-related", &w, &dt);
}

[[noreturn]] void overflow() { fire("math", "overflow"); }

bool text_type(Type t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}

}  // namespace

int32_t get_arg() { return get(stack::arguments); }

int32_t get_last() { return stack::arguments->is(TYPE_INTEGER) ? get(stack::arguments) : 0; }

Cell* box(int32_t v) {
    *stack::arguments = make(v);
    return stack::arguments;
}

Cell* push(int32_t v) {
    Cell* c = stack::push_cell();
    *c = make(v);
    return c;
}

Cell* make_at(Cell* c, int32_t v) {
    c->set_type(TYPE_INTEGER);
    c->data2 = uint32_t(v);
    return c;
}

Cell* make_in(Cell* blk, int32_t v) {
    Cell* c = block::add_cell(blk);
    *c = make(v);
    return c;
}

int32_t abs(int32_t v) {
    if (v == INT32_MIN) overflow();
    return v < 0 ? -v : v;
}

bool float_out_of_range(const Cell* f) {
    double d = f->get_float();
    return !(d <= 2147483647.0 && d >= -2147483648.0);  // NaN fails both tests
}

const char* to_text(int32_t v) {
    static char text[12];
    if (v == INT32_MIN) return "-2147483648";
    char* p = text + sizeof text - 1;
    *p = '\0';
    uint32_t m = v < 0 ? uint32_t(-v) : uint32_t(v);
    do {
        *--p = char('0' + m % 10);
        m /= 10;
    } while (m);
    if (v < 0) *--p = '-';
    return p;
}

int32_t from_text(const void* text, int32_t length, int32_t unit, int32_t* error) {
    if (unit != 1 && unit != 2 && unit != 4) rt_error::no_switch_match();
    const uint8_t* p = static_cast<const uint8_t*>(text);
    int32_t i = 0;
    bool negative = false;
    if (length > 0) {
        uint32_t c = string::get_char(p, unit);
        if (c == '+' || c == '-') {
            negative = c == '-';
            i = 1;
        }
    }
    uint64_t magnitude = 0;
    bool digits = false, too_big = false;
    for (; i < length; i++) {
        uint32_t c = string::get_char(p + size_t(i) * unit, unit);
        if (c == '\'') continue;
        if (c < '0' || c > '9') {
            *error = -1;
            return 0;
        }
        digits = true;
        if (!too_big) {
            magnitude = magnitude * 10 + (c - '0');
            too_big = magnitude > 2147483648ull;
        }
    }
    if (!digits) {
        *error = -1;
        return 0;
    }
    if (too_big || (!negative && magnitude > 2147483647ull)) {
        *error = -2;
        return 0;
    }
    *error = 0;
    return negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
}

int32_t do_math_op(int32_t left, int32_t right, int32_t op, Cell* result) {
    int32_t r = 0;
    auto to_float = [&](double d) {
        if (!result) overflow();  // nowhere to put the float answer
        *result = floatx::make(d);
        return 0;
    };
    switch (op) {
        case OP_ADD:
            if (__builtin_add_overflow(left, right, &r)) return to_float(double(left) + double(right));
            break;
        case OP_SUBTRACT:
            if (__builtin_sub_overflow(left, right, &r)) return to_float(double(left) - double(right));
            break;
        case OP_MULTIPLY:
            if (__builtin_mul_overflow(left, right, &r)) return to_float(double(left) * double(right));
            break;
        case OP_DIVIDE:
            if (right == 0) fire("math", "zero-divide");
            if (left == INT32_MIN && right == -1) overflow();
            if (result && left % right != 0) return to_float(double(left) / double(right));
            r = left / right;
            break;
        case OP_REMAINDER:
            if (right == 0) fire("math", "zero-divide");
            if (left == INT32_MIN && right == -1) overflow();
            r = left % right;
            break;
        case OP_OR: r = left | right; break;
        case OP_AND: r = left & right; break;
        case OP_XOR: r = left ^ right; break;
        default: rt_error::no_switch_match();
    }
    if (result) result->data2 = uint32_t(r);
    return r;
}

namespace {

// The right operand goes to the first slot and the left integer to the second,
// for the types whose own math expects them that way round.
void swap_operands() {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    int32_t v = get(left);
    copy_cell(right, left);
    *right = make(v);
}

}  // namespace

Cell* do_math(int32_t op) {
    using namespace extended;
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    Type rt = right->type();
    switch (rt) {
        case TYPE_INTEGER:
        case TYPE_CHAR:
            do_math_op(get(left), get(right), op, left);
            return left;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            return floatx::do_math(op);
        case TYPE_MONEY:
            need(money_do_math)(op);
            return left;
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D: {
            if (op == OP_DIVIDE) not_related("divide", TYPE_INTEGER);
            DoMathFn math = need(rt == TYPE_PAIR ? pair_do_math : rt == TYPE_POINT2D ? point2d_do_math : point3d_do_math);
            void (*negate)() = rt == TYPE_PAIR ? pair_negate : rt == TYPE_POINT2D ? point2d_negate : point3d_negate;
            if (op == OP_SUBTRACT) need(negate);
            swap_operands();
            if (op == OP_SUBTRACT) {  // n - p is -p + n
                negate();
                op = OP_ADD;
            }
            math(op);
            return left;
        }
        case TYPE_TUPLE:
            if (op == OP_SUBTRACT || op == OP_DIVIDE) not_related(op_name(op), TYPE_INTEGER);
            need(tuple_do_math);
            swap_operands();
            tuple_do_math(op);
            return left;
        case TYPE_VECTOR: {
            Cell* r = need(vector_do_math)(op, right, left);
            stack::set_last(r);
            return stack::arguments;
        }
        case TYPE_DATE:
            if (op != OP_ADD) not_related(op_name(op), TYPE_INTEGER);
            need(date_do_math);
            swap_operands();
            date_do_math(op);
            return left;
        default: {
            Cell dt = datatype_of(rt);
            fire("script", "invalid-type", &dt);
        }
    }
}

namespace {

// ---- actions ------------------------------------------------------------------------

int32_t binary_to_int(const Cell* bin) {
    memory::Buffer* b = memory::buffer_of(bin->data2);
    uint32_t start = b->offset + bin->data1;
    uint32_t n = start < b->tail ? b->tail - start : 0;
    if (n > 4) n = 4;
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; i++) v = (v << 8) | b->data()[start + i];
    return int32_t(v);
}

int32_t issue_to_int(const Cell* issue) {
    std::string_view name = symbol::name(int32_t(issue->data2));
    if (name.size() > 8) fire("script", "invalid-data", issue);
    uint32_t v = 0;
    for (char ch : name) {
        uint32_t d;
        if (ch >= '0' && ch <= '9') d = uint32_t(ch - '0');
        else if (ch >= 'a' && ch <= 'f') d = uint32_t(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') d = uint32_t(ch - 'A' + 10);
        else fire("script", "invalid-data", issue);
        v = (v << 4) | d;
    }
    return int32_t(v);
}

[[noreturn]] void bad_to(const Cell* spec) {
    Cell dt = datatype_of(TYPE_INTEGER);
    fire("script", "bad-to-arg", &dt, spec);
}

int32_t text_to_int(const Cell* str) {
    memory::Buffer* b = memory::buffer_of(str->data2);
    int32_t unit = b->unit();
    uint32_t start = b->offset + str->data1 * uint32_t(unit);
    int32_t count = start < b->tail ? int32_t((b->tail - start) / uint32_t(unit)) : 0;
    int32_t error = 0;
    int32_t v = from_text(b->data() + start, count, unit, &error);
    if (error) bad_to(str);
    return v;
}

Cell* to(Cell* proto, Cell* spec, int32_t) {
    using namespace extended;
    int32_t v;
    Type t = spec->type();
    switch (t) {
        case TYPE_INTEGER:
        case TYPE_CHAR:
            v = get(spec);
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            if (float_out_of_range(spec)) {
                Cell dt = datatype_of(TYPE_INTEGER);
                fire("script", "type-limit", &dt);
            }
            v = int32_t(spec->get_float());
            break;
        case TYPE_TIME: {
            // seconds rounded half up; a time beyond the 32-bit range is refused as a float is
            Cell rounded = floatx::make(spec->get_float() + 0.5);
            if (float_out_of_range(&rounded)) {
                Cell dt = datatype_of(TYPE_INTEGER);
                fire("script", "type-limit", &dt);
            }
            v = int32_t(rounded.get_float());
            break;
        }
        case TYPE_DATE:
            v = need(date_to_epoch)(spec);
            break;
        case TYPE_MONEY:
            v = need(money_to_integer)(spec);
            break;
        case TYPE_BINARY:
            v = binary_to_int(spec);
            break;
        case TYPE_ISSUE:
            v = issue_to_int(spec);
            break;
        default:
            if (!text_type(t)) bad_to(spec);
            v = text_to_int(spec);
            break;
    }
    *proto = make(v);
    return proto;
}

Cell* make_integer(Cell* proto, Cell* spec, int32_t type) {
    if (spec->is(TYPE_LOGIC)) {
        *proto = make(spec->data1 ? 1 : 0);
        return proto;
    }
    return to(proto, spec, type);
}

// Works on data2 and keeps the header, so char! inherits it unchanged.
Cell* random_integer(Cell* value, bool seed, bool secure, bool) {
    int32_t n = get(value);
    if (seed) {
        random::seed(uint32_t(n));
        copy_cell(&unset::value, value);
        return value;
    }
    value->data2 = uint32_t(n == 0 ? 0 : random::range(secure, n));
    return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    const char* text = to_text(get(value));
    int32_t n = int32_t(std::strlen(text));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    using namespace extended;
    if ((op == 2 || op == 9 || op == 12) && !b->is(TYPE_INTEGER)) return 1;
    switch (b->type()) {
        case TYPE_INTEGER:
        case TYPE_CHAR: {
            int32_t x = get(a), y = get(b);
            return x < y ? -1 : x > y ? 1 : 0;
        }
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            return floatx::compare_double(double(get(a)), a->type(), b, op);
        case TYPE_MONEY: {
            need(money_compare);
            Cell* m = need(money_from_integer)(get(a));
            int32_t r = money_compare(m, b, op);
            stack::pop(1);
            return r;
        }
        default:
            return -2;
    }
}

Cell* absolute() {
    Cell* v = stack::arguments;
    v->data2 = uint32_t(abs(get(v)));
    return v;
}

Cell* negate(Cell* v) {
    int32_t n = get(v);
    if (n == INT32_MIN) overflow();
    v->data2 = uint32_t(-n);
    return v;
}

Cell* complement(Cell* v) {
    v->data2 = ~v->data2;
    return v;
}

bool even(Cell* v) { return (v->data2 & 1) == 0; }
bool odd(Cell* v) { return (v->data2 & 1) != 0; }

Cell* power() {
    Cell* base = stack::arguments;
    Cell* exponent = base + 1;
    if (!exponent->is(TYPE_INTEGER) && !exponent->is(TYPE_FLOAT)) args::expect_arg(exponent->type(), 1);
    int32_t n = get(base);
    if (exponent->is(TYPE_INTEGER) && get(exponent) >= 0) {
        // binary exponentiation; an overflow hands the whole call to the float power
        int32_t e = get(exponent), result = 1;
        bool overflowed = false;
        while (e != 0) {
            if ((e & 1) && __builtin_mul_overflow(result, n, &result)) {
                overflowed = true;
                break;
            }
            e >>= 1;
            if (e > 0 && __builtin_mul_overflow(n, n, &n)) {
                overflowed = true;
                break;
            }
        }
        if (!overflowed) {
            base->data2 = uint32_t(result);
            return base;
        }
        n = get(base);
    }
    floatx::make_at(base, double(n));
    return floatx::power();
}

Cell* round(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && scale->is(TYPE_MONEY)) {
        Cell name = args::call_name();
        Cell dt = datatype_of(TYPE_MONEY);
        fire("script", "not-related", &name, &dt);
    }
    int32_t v = get(n);
    if (scale && !scale->is(TYPE_INTEGER)) {
        floatx::make_at(n, double(v));
        return floatx::round(n, scale, even, down, half_down, floor, ceiling, half_ceiling);
    }
    // in 64 bits, so that -2147483648 as the value or the scale needs no exception
    int64_t s = scale ? std::abs(int64_t(get(scale))) : 1;
    if (s == 0) return n;
    int64_t a = std::abs(int64_t(v));
    int64_t r = a % s;
    if (r == 0) return n;
    int64_t d = s - r;
    bool away;
    if (down) away = false;
    else if (floor) away = v < 0;
    else if (ceiling) away = v > 0;
    else if (r < d) away = false;
    else if (d < r) away = true;
    else if (even) away = ((a / s) & 1) != 0;
    else if (half_down) away = false;
    else if (half_ceiling) away = v > 0;
    else away = true;
    int64_t m = away ? a + d : a - r;
    int64_t result = v < 0 ? -m : m;
    // only the multiple actually chosen has to fit
    if (result < INT32_MIN || result > INT32_MAX) overflow();
    n->data2 = uint32_t(int32_t(result));
    return n;
}

Cell* add() { return do_math(OP_ADD); }
Cell* subtract() { return do_math(OP_SUBTRACT); }
Cell* multiply() { return do_math(OP_MULTIPLY); }
Cell* divide() { return do_math(OP_DIVIDE); }
Cell* remainder() { return do_math(OP_REMAINDER); }
Cell* or_t() { return do_math(OP_OR); }
Cell* and_t() { return do_math(OP_AND); }
Cell* xor_t() { return do_math(OP_XOR); }

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make_integer).set<A_RANDOM>(&random_integer).set<A_TO>(&to);
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    a.set<A_ABSOLUTE>(&absolute).set<A_ADD>(&add).set<A_DIVIDE>(&divide).set<A_MULTIPLY>(&multiply);
    a.set<A_NEGATE>(&negate).set<A_POWER>(&power).set<A_REMAINDER>(&remainder).set<A_ROUND>(&round);
    a.set<A_SUBTRACT>(&subtract).set<A_EVEN_Q>(&even).set<A_ODD_Q>(&odd);
    a.set<A_AND_T>(&and_t).set<A_COMPLEMENT>(&complement).set<A_OR_T>(&or_t).set<A_XOR_T>(&xor_t);
    datatype::register_type(TYPE_INTEGER, 0, "integer!", a);
}

}  // namespace kro::integer
