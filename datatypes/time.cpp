#include "datatypes/time.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/object.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_values.hpp"

namespace kro::time {

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }
Cell plain_word(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }

bool text_type(Type t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}

[[noreturn]] void bad_to(const Cell* spec) {
    Cell dt = datatype_of(TYPE_TIME);
    fire("script", "bad-to-arg", &dt, spec);
}

[[noreturn]] void not_related(const char* action) {
    Cell w = plain_word(action);
    Cell dt = datatype_of(TYPE_TIME);
    fire("script", "not-related", &w, &dt);
}

[[noreturn]] void type_limit() {
    Cell dt = datatype_of(TYPE_INTEGER);
    fire("script", "type-limit", &dt);
}

// The whole number of a double that is known to be whole and to fit.
int32_t whole(double d) {
    if (!(d > -2147483649.0 && d < 2147483648.0)) type_limit();
    return int32_t(d);
}

}  // namespace

Cell* make_at(Cell* c, double seconds) {
    *c = make(seconds);
    return c;
}

Cell* make_in(Cell* blk, double seconds) { return make_at(block::add_cell(blk), seconds); }

Cell* make_in_words(Cell* blk, uint32_t high, uint32_t low) {
    Cell* c = block::add_cell(blk);
    *c = Cell{uint32_t(TYPE_TIME), 0, low, high};
    return c;
}

Cell* push(double seconds) { return make_at(stack::push_cell(), seconds); }

int32_t get_hours(double s) { return whole(std::trunc(s / 3600.0)); }

int32_t get_minutes(double s) { return int32_t(std::floor(std::fmod(std::fabs(s), 3600.0) / 60.0)); }

double get_seconds(double s) { return std::fmod(s, 60.0); }

int32_t field_index(const Cell* word) {
    if (!word::any_word_type(word->type())) return -1;
    static const char* const names[] = {"hour", "minute", "second"};
    for (int32_t i = 0; i < 3; i++)
        if (symbol::same_word(int32_t(word->data2), symbol::make(names[i]))) return i + 1;
    return -1;
}

Cell get_field(const Cell* t, int32_t field) {
    double s = get(t);
    switch (field) {
        case 1: return integer::make(get_hours(s));
        case 2: return integer::make(get_minutes(s));
        case 3: return floatx::make(get_seconds(s));
        default: rt_error::no_switch_match();
    }
}

double set_field(double s, int32_t field, const Cell* value) {
    double v;
    if (value->is(TYPE_INTEGER)) v = double(integer::get(value));
    else if (field == 3 && value->is(TYPE_FLOAT)) v = value->get_float();
    else fire("script", "invalid-arg", value);
    bool negative = std::signbit(s) && s != 0.0;
    double m = std::fabs(s);
    double hours = std::floor(m / 3600.0);
    double rest = m - hours * 3600.0;  // minutes and seconds
    switch (field) {
        case 1:
            // the hour given decides the sign; a zero hour keeps the one there was
            if (v != 0.0) negative = v < 0.0;
            m = std::fabs(v) * 3600.0 + rest;
            break;
        case 2: m = hours * 3600.0 + v * 60.0 + std::fmod(m, 60.0); break;
        case 3: m = m - std::fmod(m, 60.0) + v; break;
        default: rt_error::no_switch_match();
    }
    return negative ? -m : m;
}

// ---- text --------------------------------------------------------------------------------

namespace {

}  // namespace

double shown(double s) {
    double a = std::fabs(s), seconds = std::fmod(a, 60.0);
    if (seconds < 0.000001 || std::strtod(floatx::to_text(seconds, floatx::KIND_TIME_SECONDS), nullptr) < 60.0) return s;
    // seconds that round up to 60 carry into the minute: 0:00:59.9999999 reads 0:01:00
    a = std::floor(a / 60.0) * 60.0 + 60.0;
    return s < 0.0 ? -a : a;
}

namespace {

// The text of a time, in a buffer of this module.
const char* text_of(double s) {
    static char out[400];  // the hours of the largest double have 305 digits
    if (floatx::not_finite(s)) {
        std::strcpy(out, floatx::to_text(s, floatx::KIND_FLOAT));
        return out;
    }
    char* p = out;
    if (s < 0.0) *p++ = '-';
    s = std::fabs(s);  // -0.0 too: no "-0" hours
    s = shown(s);
    double seconds = std::fmod(s, 60.0);
    const char* digits = seconds < 0.000001 ? "" : floatx::to_text(seconds, floatx::KIND_TIME_SECONDS);
    double hours = std::floor(s / 3600.0);
    auto r = std::to_chars(p, out + sizeof out - 48, hours, std::chars_format::fixed, 0);
    p = r.ptr;
    int32_t minutes = int32_t(std::floor(std::fmod(s, 3600.0) / 60.0));
    *p++ = ':';
    *p++ = char('0' + minutes / 10);
    *p++ = char('0' + minutes % 10);
    *p++ = ':';
    if (!*digits) {
        *p++ = '0';
        *p++ = '0';
    } else {
        size_t n = std::strlen(digits);
        if (n == 1 || digits[1] == '.') *p++ = '0';
        std::memcpy(p, digits, n);
        p += n;
    }
    *p = '\0';
    return out;
}

}  // namespace

int32_t form_seconds(double s, Cell* buffer, int32_t limit) {
    const char* text = text_of(s);
    int32_t n = int32_t(std::strlen(text));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

const char* to_text(double s) { return text_of(s); }

namespace {

// Decimal digits with "'" separators after the first digit; false on no digit
// or a value past 32 bits.
bool read_whole(const uint8_t*& p, const uint8_t* end, int64_t& out) {
    if (p >= end || *p < '0' || *p > '9') return false;
    int64_t v = 0;
    while (p < end && ((*p >= '0' && *p <= '9') || *p == '\'')) {
        if (*p != '\'') {
            v = v * 10 + (*p - '0');
            if (v > INT32_MAX) return false;
        }
        p++;
    }
    out = v;
    return true;
}

// Seconds: digits, optionally "." or "," and more digits (a fraction alone
// needs at least one digit). Consumes to the end or fails.
bool read_seconds(const uint8_t* p, const uint8_t* end, double& out) {
    char clean[64];
    size_t n = 0;
    bool digit = false, point = false;
    for (; p < end; p++) {
        if (n + 1 >= sizeof clean) return false;
        if (*p >= '0' && *p <= '9') {
            digit = true;
            clean[n++] = char(*p);
        } else if ((*p == '.' || *p == ',') && !point) {
            point = true;
            clean[n++] = '.';
        } else {
            return false;
        }
    }
    if (!digit) return false;
    int32_t rest = 0;
    out = floatx::parse(clean, clean + n, 0, &rest);
    return rest == 0;
}

}  // namespace

bool from_text(const uint8_t* text, size_t length, Cell* out) {
    const uint8_t* p = text;
    const uint8_t* end = text + length;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int64_t first = 0, second = 0;
    if (!read_whole(p, end, first)) return false;
    if (p >= end || *p != ':') return false;
    p++;
    const uint8_t* second_start = p;
    if (!read_whole(p, end, second)) return false;
    double seconds = 0.0;
    double value;
    if (p < end && (*p == '.' || *p == ',')) {
        // minutes ":" seconds with a fraction
        if (!read_seconds(second_start, end, seconds)) return false;
        value = double(first) * 60.0 + seconds;
    } else {
        if (p < end) {
            if (*p != ':') return false;
            if (!read_seconds(p + 1, end, seconds)) return false;
        }
        value = double(first) * 3600.0 + double(second) * 60.0 + seconds;
    }
    *out = make(negative ? -value : value);
    return true;
}

// ---- owners ------------------------------------------------------------------------------

void notify_path_write(Cell* grandparent, Cell* path_item, const Cell* old_value, const Cell* new_value,
                       int32_t field) {
    if (!grandparent) return;
    if (grandparent->is(TYPE_OBJECT)) {
        if (!path_item) return;
        Cell* top = stack::top_ptr;
        Cell* old = stack::push(old_value);
        Cell* now = stack::push(new_value);
        object::call_on_change(grandparent, path_item, old, now);
        stack::top_ptr = top;
        return;
    }
    Cell action = plain_word("set-path");
    ownership::check(grandparent, &action, new_value, field, 1);
}

// ---- actions -----------------------------------------------------------------------------

namespace {

double from_block(const Cell* spec) {
    int32_t n = block::length(spec);
    if (n > 3) bad_to(spec);
    double parts[3] = {0.0, 0.0, 0.0};
    bool negative = false;
    for (int32_t i = 0; i < n; i++) {
        const Cell* c = block::at(spec, i);
        double v;
        if (c->is(TYPE_INTEGER)) v = double(integer::get(c));
        else if (i == 2 && c->is(TYPE_FLOAT)) v = c->get_float();
        else bad_to(spec);
        if (i == 0 && v < 0.0) {
            negative = true;
            v = -v;
        } else if (!(v >= 0.0)) {
            bad_to(spec);
        }
        parts[i] = v;
    }
    double s = parts[0] * 3600.0 + parts[1] * 60.0 + parts[2];
    return negative ? -s : s;
}

double from_string(const Cell* spec) {
    std::string utf8 = string::to_utf8(spec);
    Cell value = none::value;
    if (word::scan_text) {
        word::scan_text(reinterpret_cast<const uint8_t*>(utf8.data()), uint32_t(utf8.size()), &value);
    } else {
        // until the tokenizer is there: the text is one time literal between blanks
        size_t b = utf8.find_first_not_of(" \t\r\n");
        size_t e = utf8.find_last_not_of(" \t\r\n");
        if (b != std::string::npos)
            from_text(reinterpret_cast<const uint8_t*>(utf8.data() + b), e - b + 1, &value);
    }
    if (!value.is(TYPE_TIME)) bad_to(spec);
    return get(&value);
}

}  // namespace

Cell* to(Cell* proto, Cell* spec, int32_t) {
    double s;
    Type t = spec->type();
    switch (t) {
        case TYPE_TIME:
        case TYPE_FLOAT:
        case TYPE_PERCENT: s = spec->get_float(); break;
        case TYPE_INTEGER: s = double(integer::get(spec)); break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: s = from_block(spec); break;
        default:
            if (!text_type(t)) bad_to(spec);
            s = from_string(spec);
            break;
    }
    *proto = make(s);
    return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) { return form_seconds(get(value), buffer, limit); }

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, int32_t limit, int32_t) {
    return form_seconds(get(value), buffer, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item, int32_t,
                bool, bool, bool, bool event) {
    int32_t field = element->is(TYPE_INTEGER) ? integer::get(element) : field_index(element);
    if (field < 1 || field > 3) {
        Cell p = path ? *path : none::value;
        fire("script", "invalid-path", &p, element);
    }
    if (!value) {
        Cell r = get_field(parent, field);
        return stack::push(&r);
    }
    double s = set_field(get(parent), field, value);
    Cell old = *parent;
    parent->set_float(s);
    Cell now = *parent;
    if (event) notify_path_write(grandparent, path_item, &old, &now, field);
    return value;
}

Cell* pick(Cell* t, int32_t index, Cell* boxed) {
    int32_t field;
    if (boxed && word::any_word_type(boxed->type())) {
        field = field_index(boxed);
        if (field < 0) {
            Cell dt = datatype_of(TYPE_TIME);
            fire("script", "cannot-use", boxed, &dt);
        }
    } else {
        if (index < 1 || index > 3) {
            Cell i = integer::make(index);
            fire("script", "out-of-range", &i);
        }
        field = index;
    }
    *t = get_field(t, field);
    return t;
}

Cell* round(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    floatx::round(n, scale, even, down, half_down, floor, ceiling, half_ceiling);
    // an integer scale answers a whole number of seconds: still a time
    double s = n->is(TYPE_INTEGER) ? double(integer::get(n)) : n->get_float();
    *n = make(s);
    return n;
}

namespace {

// Parity of the whole seconds within the minute, nudged away from zero so
// that 2.9999999 seconds that print as 03 count as 3.
bool odd_seconds(const Cell* v) {
    double s = get(v);
    s += s < 0.0 ? -0.000001 : 0.000001;
    double r = std::trunc(std::fmod(s, 60.0));
    if (!std::isfinite(r)) return false;
    return (int32_t(std::fabs(r)) & 1) != 0;
}
bool even_q(Cell* v) { return !odd_seconds(v); }
bool odd_q(Cell* v) { return odd_seconds(v); }

Cell* add() {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (right->is(TYPE_DATE)) {
        // a time plus a date is the date moved by the time
        extended::DoMathFn math = extended::need(extended::date_do_math);
        Cell t = *left;
        copy_cell(right, left);
        copy_cell(&t, right);
        math(integer::OP_ADD);
        return left;
    }
    return floatx::do_math(integer::OP_ADD);
}

Cell* subtract() {
    if ((stack::arguments + 1)->is(TYPE_DATE)) not_related("subtract");
    return floatx::do_math(integer::OP_SUBTRACT);
}

Cell* multiply() {
    if ((stack::arguments + 1)->is(TYPE_TIME)) not_related("multiply");
    return floatx::do_math(integer::OP_MULTIPLY);
}

Cell* divide() {
    bool ratio = (stack::arguments + 1)->is(TYPE_TIME);
    Cell* r = floatx::do_math(integer::OP_DIVIDE);
    if (ratio) r->set_type(TYPE_FLOAT);  // a time divided by a time is a ratio
    return r;
}

// The tokenizer's handler of time tokens.
int load_literal(lexer::Token& t, Cell* out) {
    Cell v;
    if (!from_text(t.start, size_t(t.end - t.start), &v)) return TYPE_TIME;
    if (out) *out = v;
    return 0;
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&to).set<A_TO>(&to).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path);
    a.set<A_ADD>(&add).set<A_DIVIDE>(&divide).set<A_MULTIPLY>(&multiply).set<A_ROUND>(&round);
    a.set<A_SUBTRACT>(&subtract).set<A_EVEN_Q>(&even_q).set<A_ODD_Q>(&odd_q).set<A_PICK>(&pick);
    a.inherit(A_RANDOM).inherit(A_COMPARE).inherit(A_ABSOLUTE).inherit(A_NEGATE).inherit(A_REMAINDER);
    datatype::register_type(TYPE_TIME, TYPE_FLOAT, "time!", a);
    lexer::set_maker(lexer::T_TIME, &load_literal);
}

}  // namespace kro::time
