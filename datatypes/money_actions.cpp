// The actions of money!: make and to, form and mold, comparison across
// currencies, mixed arithmetic with integers, floats and percents, rounding,
// paths and pick, random; and its registration.
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/money.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_values.hpp"
#include "io/random.hpp"

namespace kro::money {

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

[[noreturn]] void invalid_type(Type t) {
    Cell dt = datatype_of(t);
    fire("script", "invalid-type", &dt);
}

[[noreturn]] void bad_make(const Cell* spec) {
    Cell dt = datatype_of(TYPE_MONEY);
    fire("script", "bad-make-arg", &dt, spec);
}

[[noreturn]] void bad_to(const Cell* spec) {
    Cell dt = datatype_of(TYPE_MONEY);
    fire("script", "bad-to-arg", &dt, spec);
}

bool text_type(Type t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}

// A fresh money! header with the value's sign; currency and digits kept.
Cell plain(const Cell& v) {
    Cell c = v;
    c.header = uint32_t(TYPE_MONEY) | (v.header & SIGN_FLAG);
    return c;
}

// ---- make and to -------------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, int32_t) {
    Type t = spec->type();
    Cell v;
    if (text_type(t)) {
        int32_t part = -1;
        const char* utf8 = string::to_utf8(spec, &part);
        if (!scan_text(reinterpret_cast<const uint8_t*>(utf8), size_t(part), &v)) bad_to(spec);
    } else if (t == TYPE_INTEGER) {
        v = of_integer(integer::get(spec));
    } else if (t == TYPE_FLOAT) {
        v = of_float(spec->get_float(), true);
    } else if (t == TYPE_MONEY) {
        v = *spec;
    } else {
        bad_to(spec);
    }
    *proto = v;
    return proto;
}

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    if (spec->is(TYPE_WORD) || spec->is(TYPE_LIT_WORD)) {
        *proto = from_word(spec);
        return proto;
    }
    if (spec->is(TYPE_BLOCK)) {
        *proto = from_block(spec);
        return proto;
    }
    return to(proto, spec, type);
}

// ---- form and mold --------------------------------------------------------------------------

// Appends the text and answers the budget left (the text is ASCII unless a
// currency code in the list is not).
int32_t write(Cell* buffer, const std::string& t, int32_t limit) {
    string::append_utf8(buffer, t.data(), int32_t(t.size()));
    int32_t chars = 0;
    for (unsigned char c : t)
        if ((c & 0xC0) != 0x80) chars++;
    return limit - chars;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    return write(buffer, text(value, true, shown_digits()), limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
    return write(buffer, text(value, false, all ? FRACTION_DIGITS : shown_digits()), limit);
}

// ---- comparison -----------------------------------------------------------------------------

// Sorting: amounts without currency first, then by the spelling of the code,
// then by amount.
int32_t sort_compare(Cell* a, Cell* b, int32_t op) {
    int32_t ca = get_currency(a), cb = get_currency(b);
    if (ca != cb) {
        if (ca == 0) return -1;
        if (cb == 0) return 1;
        Cell wa = currency_at(ca), wb = currency_at(cb);
        int32_t order = 0;
        if (!wa.is(TYPE_NONE) && !wb.is(TYPE_NONE))
            order = symbol::compare_names(int32_t(wa.data2), int32_t(wb.data2), op);
        else
            order = ca < cb ? -1 : 1;
        if (order) return order;
    }
    return compare_values(a, b);
}

// ---- arithmetic ------------------------------------------------------------------------------

// An operand of mixed arithmetic as an amount: floats and percents cut at five
// fraction digits.
Cell operand(const Cell* v) {
    switch (v->type()) {
        case TYPE_MONEY: return *v;
        case TYPE_INTEGER: return of_integer(integer::get(v));
        case TYPE_FLOAT:
        case TYPE_PERCENT: return of_float(v->get_float(), false);
        default: invalid_type(v->type());
    }
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

Cell* absolute() {
    Cell* v = stack::arguments;
    clear_sign(v);
    return v;
}

Cell* negate(Cell* v) {
    if (!zero(v)) flip_sign(v);
    return v;
}

bool even(Cell* v) { return (get_digit(digits(v), INTEGER_DIGITS) & 1) == 0; }
bool odd(Cell* v) { return (get_digit(digits(v), INTEGER_DIGITS) & 1) != 0; }

// ---- round ------------------------------------------------------------------------------------

Cell* round(Cell* n, Cell* scale, bool even_mode, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
    if (zero(n)) return n;
    Cell s;
    if (!scale) {
        s = of_integer(1);
    } else if (scale->is(TYPE_MONEY)) {
        s = *scale;
    } else if (scale->is(TYPE_INTEGER)) {
        s = of_integer(integer::get(scale));
    } else if (scale->is(TYPE_FLOAT)) {
        s = of_float(scale->get_float(), true);
    } else {
        Cell name = args::call_name();
        Cell dt = datatype_of(scale->type());
        fire("script", "not-related", &name, &dt);
    }
    clear_sign(&s);
    if (zero(&s)) return n;
    Cell m = plain(*n);
    clear_sign(&m);
    bool odd_quotient = false;
    Cell r = magnitude_remainder(&m, &s, &odd_quotient);
    if (zero(&r)) return n;
    // the two multiples around m: down = m - r and up = m + (s - r); a tie is r = s - r
    Cell c = s;
    clear_sign(&c);
    subtract_values(&c, &r);
    int32_t order = compare_digits(digits(&r), digits(&c));
    bool tie = order == 0, nearer_down = order < 0;
    bool positive_n = positive(n);
    bool use_down;
    if (down) use_down = true;
    else if (floor) use_down = positive_n;
    else if (ceiling) use_down = !positive_n;
    else if (even_mode) use_down = tie ? !odd_quotient : nearer_down;
    else if (half_down) use_down = tie || nearer_down;
    else if (half_ceiling) use_down = tie ? !positive_n : nearer_down;
    else use_down = nearer_down;
    // up is only made when chosen: it alone can overflow
    if (use_down) subtract_values(&m, &r);
    else add_values(&m, &c);
    set_sign(&m, positive_n ? 0 : 1);
    if (zero(&m)) clear_sign(&m);
    set_currency(&m, get_currency(n));
    *n = m;
    return n;
}

// ---- paths and pick ------------------------------------------------------------------------------

// 1 for code, 2 for amount, 0 for anything else.
int32_t field_of(const Cell* element) {
    if (element->is(TYPE_INTEGER)) {
        int32_t i = integer::get(element);
        return i == 1 || i == 2 ? i : 0;
    }
    if (!element->is(TYPE_WORD)) return 0;
    static int32_t code_symbol = 0, amount_symbol = 0;
    if (!code_symbol) {
        code_symbol = symbol::resolve(symbol::make("code"));
        amount_symbol = symbol::resolve(symbol::make("amount"));
    }
    int32_t s = symbol::resolve(int32_t(element->data2));
    return s == code_symbol ? 1 : s == amount_symbol ? 2 : 0;
}

Cell field(const Cell* value, int32_t which) {
    if (which == 1) return currency_word(value);
    Cell amount = plain(*value);
    set_currency(&amount, 0);
    return amount;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool, bool, bool,
                bool) {
    Cell p = path ? *path : none::value;
    if (value) fire("script", "bad-path-set", &p, element);
    int32_t which = field_of(element);
    if (!which) fire("script", "invalid-path", &p, element);
    *parent = field(parent, which);
    return parent;
}

Cell* pick(Cell* value, int32_t index, Cell* boxed) {
    // the accessor words name the same fields as their positions
    int32_t which = boxed && boxed->is(TYPE_WORD) ? field_of(boxed) : index;
    if (which != 1 && which != 2) {
        Cell i = integer::make(index);
        fire("script", "out-of-range", boxed ? boxed : &i);
    }
    *value = field(value, which);
    return value;
}

// ---- random ------------------------------------------------------------------------------------

Cell* random_money(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data1 ^ value->data2 ^ value->data3 ^ (value->header & SIGN_FLAG));
        *value = unset::value;
        return value;
    }
    auto draw = [secure] { return secure ? random::secure_next() : random::next(); };
    uint8_t* d = digits(value);
    bool below = false;
    for (int32_t p = SIZE_DIGITS + 1 - significant_digits(d); p <= SIZE_DIGITS; p++) {
        int32_t limit = get_digit(d, p);
        if (below) {
            set_digit(d, p, draw() % 10);
            continue;
        }
        // the value's own digit is drawn less often, so that every amount up to
        // the value comes out about equally often
        int32_t g;
        for (;;) {
            g = draw() % (limit + 1);
            if (g != limit) break;
            int32_t x = draw(), y = draw();
            if (x % 1000 == y % 1000) break;
        }
        set_digit(d, p, g);
        if (g < limit) below = true;
    }
    if (digits_zero(d)) clear_sign(value);
    return value;
}

// The tokenizer's entry for money literals (it only checks when out is null).
int load_token(lexer::Token& t, Cell* out) {
    Cell v;
    if (!load_literal(t.start, size_t(t.end - t.start), &v)) return TYPE_MONEY;
    if (out) *out = v;
    return 0;
}

}  // namespace

// ---- the services behind the actions and the natives ------------------------------------------

void do_math(int32_t op) {
    Cell* v1 = stack::arguments;
    Cell* v2 = v1 + 1;
    bool m1 = v1->is(TYPE_MONEY), m2 = v2->is(TYPE_MONEY);
    if (op < integer::OP_ADD || op > integer::OP_REMAINDER) invalid_type(m1 ? TYPE_MONEY : v1->type());
    // an amount times an amount has no meaning, nor has a number divided by one
    if (op == integer::OP_MULTIPLY && m1 && m2) invalid_type(v1->type());
    if ((op == integer::OP_DIVIDE || op == integer::OP_REMAINDER) && !m1 && m2) invalid_type(v1->type());
    Cell a = operand(v1), b = operand(v2);
    if (!compatible(&a, &b, false)) fire("script", "wrong-denom", v1, v2);
    int32_t currency = get_currency(&b) ? get_currency(&b) : get_currency(&a);
    Cell* r = nullptr;
    switch (op) {
        case integer::OP_ADD: r = add_values(&a, &b); break;
        case integer::OP_SUBTRACT: r = subtract_values(&a, &b); break;
        case integer::OP_MULTIPLY: r = multiply_values(&a, &b); break;
        case integer::OP_DIVIDE: r = divide_values(&a, &b, false); break;
        default: r = divide_values(&a, &b, true); break;
    }
    if (op == integer::OP_DIVIDE && m1 && m2) {
        floatx::make_at(v1, to_float(r));
        return;
    }
    Cell out = plain(*r);
    set_currency(&out, currency);
    *v1 = out;
}

namespace {

// The true order of an amount against a float: a float that no amount holds
// (too large, too small, more than five fraction digits) is never equal to one
// and still lies on one side of it. NaN is unordered, and sorts last.
int32_t compare_float(const Cell* value, double x, int32_t op) {
    if (x != x) {
        if (op == 3 || op == 4) return 1;
        if (op == 5 || op == 6) return -1;
        return op == 7 || op == 8 ? -1 : 1;
    }
    if (float_overflow(x)) return x > 0 ? -1 : 1;
    if (float_underflow(x)) {
        int32_t s = sign_of(value);
        return s != 0 ? s : (x > 0 ? -1 : 1);
    }
    Cell cut = of_float(x, false);  // toward zero at five fraction digits
    int32_t order = compare_values(value, &cut);
    if (order != 0) return order;
    return fits_fraction(x) ? 0 : (x > 0 ? -1 : 1);
}

}  // namespace

int32_t compare(Cell* value, Cell* other, int32_t op) {
    bool strict = op == 2 || op == 9 || op == 12;
    if (!other->is(TYPE_MONEY)) {
        if (strict) return 1;
        if (other->is(TYPE_INTEGER)) {
            Cell b = of_integer(integer::get(other));
            return compare_values(value, &b);
        }
        // a percent counts as its fraction, as it does in arithmetic
        if (other->is(TYPE_FLOAT) || other->is(TYPE_PERCENT)) return compare_float(value, other->get_float(), op);
        return -2;
    }
    if (op >= 3 && op <= 6) {
        if (!compatible(value, other, false)) fire("script", "wrong-denom", value, other);
    } else if (op == 7 || op == 8) {
        return sort_compare(value, other, op);
    } else if (op == 12) {
        if (get_currency(other) && !compatible(value, other, true)) return 1;
    } else if (!compatible(value, other, op == 2 || op == 9)) {
        return 1;
    }
    return compare_values(value, other);
}

Cell from_word(const Cell* w) {
    int32_t index = currency_index(w);
    if (index < 0) bad_make(w);
    Cell c{uint32_t(TYPE_MONEY), 0, 0, 0};
    set_currency(&c, index);
    return c;
}

Cell from_block(const Cell* blk) {
    int32_t n = block::length(blk);
    if (n < 1 || n > 3) bad_make(blk);
    int32_t pos = 0, currency = 0;
    Cell first = *block::at(blk, 0);
    if (first.is(TYPE_WORD)) {
        currency = currency_index(&first);
        if (currency < 0 || n == 1) bad_make(blk);
        pos = 1;
    }
    Cell amount = *block::at(blk, pos);
    Cell v;
    if (amount.is(TYPE_INTEGER)) {
        v = of_integer(integer::get(&amount));
        if (pos + 1 < n) {
            // hundred-thousandths, with the amount's sign
            Cell f = *block::at(blk, pos + 1);
            int32_t k = f.is(TYPE_INTEGER) ? integer::get(&f) : -1;
            if (k < 0 || k > MAX_FRACTION || pos + 2 != n) bad_make(blk);
            Cell part{uint32_t(TYPE_MONEY), 0, 0, 0};
            for (int32_t p = SIZE_DIGITS; k != 0; p--) {
                set_digit(digits(&part), p, k % 10);
                k /= 10;
            }
            set_sign(&part, negative(&v) ? 1 : 0);
            add_values(&v, &part);
        }
    } else if (amount.is(TYPE_FLOAT)) {
        if (pos + 1 != n) bad_make(blk);
        v = of_float(amount.get_float(), true);
    } else {
        bad_make(blk);
    }
    set_currency(&v, currency);
    return v;
}

Cell as_money(const Cell* currency, const Cell* amount) {
    int32_t index = currency_index(currency);
    if (index < 0) fire("script", "bad-denom", currency);
    Cell v;
    if (amount->is(TYPE_INTEGER)) v = of_integer(integer::get(amount));
    else if (amount->is(TYPE_FLOAT)) v = of_float(amount->get_float(), true);
    else invalid_type(amount->type());
    set_currency(&v, index);
    return v;
}

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_RANDOM>(&random_money).set<A_TO>(&to);
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path).set<A_COMPARE>(&compare);
    a.set<A_ABSOLUTE>(&absolute).set<A_ADD>(&add).set<A_DIVIDE>(&divide).set<A_MULTIPLY>(&multiply);
    a.set<A_NEGATE>(&negate).set<A_REMAINDER>(&remainder).set<A_ROUND>(&round).set<A_SUBTRACT>(&subtract);
    a.set<A_EVEN_Q>(&even).set<A_ODD_Q>(&odd).set<A_PICK>(&pick);
    datatype::register_type(TYPE_MONEY, 0, "money!", a);

    extended::money_do_math = &do_math;
    extended::money_compare = &compare;
    extended::money_from_integer = &from_integer;
    extended::money_from_float = &from_float;
    extended::money_to_integer = &to_integer;
    extended::money_to_float = &to_float;
    gc::add_mark_callback(&mark_currency_list);
    lexer::set_maker(lexer::T_MONEY, &load_token);
}

}  // namespace kro::money
