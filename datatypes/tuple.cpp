#include "datatypes/tuple.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/scalar_path.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_values.hpp"
#include "io/random.hpp"

namespace kro::tuple {

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }
Cell word_of(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }

[[noreturn]] void invalid_type(const Cell* v) {
    Cell dt = datatype_of(v->type());
    fire("script", "invalid-type", &dt);
}

[[noreturn]] void bad_to(const Cell* spec) {
    Cell dt = datatype_of(TYPE_TUPLE);
    fire("script", "bad-to-arg", &dt, spec);
}

uint8_t clamp_byte(int64_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// Where path reads leave the byte: the caller copies it at once.
Cell path_result{uint32_t(TYPE_NONE), 0, 0, 0};

}  // namespace

void set_byte(Cell* c, int32_t i, uint8_t b) {
    uint32_t* w = i < 4 ? &c->data1 : i < 8 ? &c->data2 : &c->data3;
    uint32_t shift = 8 * uint32_t(i & 3);
    *w = (*w & ~(0xFFu << shift)) | (uint32_t(b) << shift);
}

void set_length(Cell* c, int32_t n) { c->header = (c->header & ~LENGTH_MASK) | (uint32_t(n) << LENGTH_SHIFT); }

Cell make_empty(int32_t n) {
    n = std::clamp(n, MIN_LENGTH, MAX_LENGTH);
    return Cell{uint32_t(TYPE_TUPLE) | (uint32_t(n) << LENGTH_SHIFT), 0, 0, 0};
}

Cell* make_at_ints(Cell* c, int32_t count, const int32_t* values) {
    count = std::clamp(count, 0, MAX_LENGTH);
    Cell t = make_empty(count);
    for (int32_t i = 0; i < count; i++) set_byte(&t, i, uint8_t(values[i]));
    *c = t;
    return c;
}

Cell* push(int32_t n, uint32_t w1, uint32_t w2, uint32_t w3) {
    Cell* c = stack::push_cell();
    *c = make_empty(n);
    c->data1 = w1;
    c->data2 = w2;
    c->data3 = w3;
    return c;
}

Cell* make_rgba(Cell* c, int32_t r, int32_t g, int32_t b, int32_t a) {
    const int32_t v[4] = {r, g, b, a};
    return make_at_ints(c, a == -1 ? 3 : 4, v);
}

Cell* from_binary(const Cell* bin, Cell* c) {
    memory::Buffer* b = memory::buffer_of(bin->data2);
    uint32_t start = b->offset + bin->data1;
    uint32_t n = start < b->tail ? b->tail - start : 0;
    if (n > uint32_t(MAX_LENGTH)) n = MAX_LENGTH;
    Cell t = make_empty(int32_t(n));
    for (uint32_t i = 0; i < n; i++) set_byte(&t, int32_t(i), b->data()[start + i]);
    *c = t;
    return c;
}

Cell* from_issue(const Cell* issue, Cell* c) {
    std::string_view name = symbol::name(int32_t(issue->data2));
    size_t n = name.size();
    if (n != 3 && n != 6 && n != 8) fire("script", "invalid-data", issue);
    uint8_t digits[8];
    for (size_t i = 0; i < n; i++) {
        // only ASCII hexadecimal digits: a byte of a wider character is never one
        uint8_t ch = uint8_t(name[i]);
        if (ch >= '0' && ch <= '9') digits[i] = uint8_t(ch - '0');
        else if (ch >= 'a' && ch <= 'f') digits[i] = uint8_t(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') digits[i] = uint8_t(ch - 'A' + 10);
        else fire("script", "invalid-data", issue);
    }
    Cell t = make_empty(n == 8 ? 4 : 3);
    for (int32_t i = 0; i < length(&t); i++) {
        uint8_t v = n == 3 ? uint8_t(digits[i] * 17) : uint8_t(digits[2 * i] * 16 + digits[2 * i + 1]);
        set_byte(&t, i, v);
    }
    *c = t;
    return c;
}

bool zero_q(const Cell* c) {
    for (int32_t i = 0; i < length(c); i++)
        if (byte_at(c, i)) return false;
    return true;
}

void do_math(int32_t op) {
    static const char* const names[] = {"add", "subtract", "multiply", "divide", "remainder", "or~", "and~", "xor~"};
    if (op < 0 || op > 7) rt_error::no_switch_match();
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (!left->is(TYPE_TUPLE)) {
        if (op == integer::OP_SUBTRACT || op == integer::OP_DIVIDE) {
            Cell w = word_of(names[op]);
            Cell dt = datatype_of(left->type());
            fire("script", "not-related", &w, &dt);
        }
        std::swap(*left, *right);
    }
    Cell result = *left;
    int32_t n = length(left);
    Type rt = right->type();
    if (rt == TYPE_FLOAT || rt == TYPE_PERCENT) {
        double f = right->get_float();
        for (int32_t i = 0; i < n; i++) {
            double r = floatx::do_math_op(double(byte_at(left, i)), f, op);
            // truncated, then clamped (NaN counts as 0)
            set_byte(&result, i, r >= 255.0 ? 255 : r > 0.0 ? uint8_t(r) : 0);
        }
    } else if (rt == TYPE_INTEGER || rt == TYPE_TUPLE) {
        bool tuple = rt == TYPE_TUPLE;
        int32_t rn = tuple ? length(right) : n;
        int32_t len = std::max(n, rn);
        for (int32_t i = 0; i < len; i++) {
            int64_t a = i < n ? byte_at(left, i) : 0;
            int64_t b = tuple ? (i < rn ? byte_at(right, i) : 0) : integer::get(right);
            int64_t r;
            switch (op) {
                case integer::OP_ADD: r = a + b; break;
                case integer::OP_SUBTRACT: r = a - b; break;
                case integer::OP_MULTIPLY: r = a * b; break;
                case integer::OP_DIVIDE:
                case integer::OP_REMAINDER:
                    if (b == 0) fire("math", "zero-divide");
                    r = op == integer::OP_DIVIDE ? a / b : a % b;
                    break;
                case integer::OP_OR: r = int32_t(a) | int32_t(b); break;
                case integer::OP_AND: r = int32_t(a) & int32_t(b); break;
                default: r = int32_t(a) ^ int32_t(b); break;
            }
            set_byte(&result, i, clamp_byte(r));
        }
        set_length(&result, len);
    } else {
        invalid_type(right);
    }
    *left = result;
}

int32_t from_text(const uint8_t* text, size_t len, Cell* out) {
    Cell t = make_empty(MIN_LENGTH);
    int32_t count = 0;
    size_t i = 0;
    for (;;) {
        if (count == MAX_LENGTH) return TYPE_TUPLE;
        int32_t v = 0;
        size_t start = i;
        while (i < len && text[i] >= '0' && text[i] <= '9') {
            v = v * 10 + (text[i] - '0');
            if (v > 255) return TYPE_TUPLE;
            i++;
        }
        if (i == start) return TYPE_TUPLE;  // an empty component
        set_byte(&t, count++, uint8_t(v));
        if (i == len) break;
        if (text[i] != '.') return TYPE_TUPLE;
        i++;
    }
    if (count < MIN_LENGTH) return TYPE_TUPLE;
    set_length(&t, count);
    *out = t;
    return 0;
}

Cell* make(Cell* proto, Cell* spec, int32_t) {
    Type t = spec->type();
    Cell result = make_empty(MIN_LENGTH);
    if (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH) {
        int32_t n = block::length(spec);
        if (n > MAX_LENGTH) bad_to(spec);
        result = make_empty(n);
        for (int32_t i = 0; i < n; i++) {
            const Cell* item = block::at(spec, i);
            int64_t v;
            if (item->is(TYPE_INTEGER)) {
                v = integer::get(item);
            } else if (item->is(TYPE_CHAR)) {
                v = item->data2;
            } else if (item->is(TYPE_FLOAT)) {
                double d = item->get_float();
                if (!(d > -1.0 && d < 256.0)) bad_to(spec);
                v = int64_t(d);
            } else {
                bad_to(spec);
            }
            if (v < 0 || v > 255) bad_to(spec);
            set_byte(&result, i, uint8_t(v));
        }
    } else if (series::is_text_kind(t)) {
        std::string text = string::to_utf8(spec);
        size_t a = text.find_first_not_of(" \t\r\n");
        size_t b = text.find_last_not_of(" \t\r\n");
        std::string_view trimmed = a == std::string::npos ? std::string_view() : std::string_view(text).substr(a, b - a + 1);
        if (from_text(reinterpret_cast<const uint8_t*>(trimmed.data()), trimmed.size(), &result)) bad_to(spec);
    } else if (t == TYPE_ISSUE) {
        from_issue(spec, &result);
    } else if (t == TYPE_BINARY) {
        from_binary(spec, &result);
    } else if (t == TYPE_TUPLE) {
        result = *spec;
        result.header &= TYPE_MASK | LENGTH_MASK;
    } else {
        bad_to(spec);
    }
    *proto = result;
    return proto;
}

namespace {

// ---- actions --------------------------------------------------------------------------

Cell* random_tuple(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data1 ^ value->data2 ^ value->data3);
        *value = unset::value;
        return value;
    }
    for (int32_t i = 0; i < length(value); i++) {
        uint8_t b = byte_at(value, i);
        set_byte(value, i, b ? uint8_t(random::range(secure, b + 1) - 1) : 0);
    }
    return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    std::string text;
    for (int32_t i = 0; i < length(value); i++) {
        if (i) text += '.';
        text += integer::to_text(byte_at(value, i));
    }
    string::concatenate_ascii(buffer, text.data(), int32_t(text.size()));
    return limit - int32_t(text.size());
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

// The 0-based byte an index names: an integer! within 1..length.
int32_t byte_index(const Cell* tuple, const Cell* index) {
    if (!index->is(TYPE_INTEGER)) invalid_type(index);
    int32_t n = integer::get(index);
    if (n < 1 || n > length(tuple)) fire("script", "out-of-range", index);
    return n - 1;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell* grandparent, Cell* path_item, int32_t,
                bool, bool, bool, bool event) {
    if (!value) {
        path_result = integer::make(byte_at(parent, byte_index(parent, element)));
        return &path_result;
    }
    if (!element->is(TYPE_INTEGER)) invalid_type(element);
    if (!value->is(TYPE_INTEGER) && !value->is(TYPE_NONE)) invalid_type(value);
    int32_t i = byte_index(parent, element);
    Cell old = *parent;
    if (value->is(TYPE_INTEGER)) {
        set_byte(parent, i, clamp_byte(integer::get(value)));
    } else {
        // none cuts the tuple before that byte, keeping at least three
        for (int32_t k = i; k < MAX_LENGTH; k++) set_byte(parent, k, 0);
        set_length(parent, std::max(i, MIN_LENGTH));
    }
    if (event) scalar_path::changed(grandparent, path_item, parent, &old);
    return value;
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_TUPLE)) return -2;
    // 1.2.3 equals 1.2.3.0 but is not the same value: sameness counts the bytes too
    if (op == 9 && length(a) != length(b)) return 1;
    int32_t n = std::max(length(a), length(b));
    for (int32_t i = 0; i < n; i++) {
        uint8_t x = i < length(a) ? byte_at(a, i) : 0, y = i < length(b) ? byte_at(b, i) : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

Cell* complement(Cell* v) {
    for (int32_t i = 0; i < length(v); i++) set_byte(v, i, uint8_t(~byte_at(v, i)));
    return v;
}

int32_t length_q(Cell* v) { return length(v); }

Cell* pick(Cell* series, int32_t index, Cell* boxed) {
    Cell n = integer::make(index);
    int32_t i = byte_index(series, boxed ? boxed : &n);
    *series = integer::make(byte_at(series, i));
    return series;
}

Cell* reverse(Cell* series, Cell* part, Cell* skip) {
    int32_t len = length(series);
    if (part) {
        if (!part->is(TYPE_INTEGER)) {
            Cell w = word_of("part");
            fire("script", "invalid-refine-arg", &w, part);
        }
        len = std::clamp(integer::get(part), 0, len);
    }
    int32_t size = 1;
    if (skip) {
        if (!skip->is(TYPE_INTEGER) || integer::get(skip) < 1) fire("script", "out-of-range", skip);
        size = integer::get(skip);
        if (len % size != 0) {
            Cell w = word_of("skip");
            fire("script", "invalid-refine-arg", &w, skip);
        }
    }
    Cell src = *series;
    int32_t records = len / size;
    for (int32_t r = 0; r < records; r++)
        for (int32_t k = 0; k < size; k++) set_byte(series, r * size + k, byte_at(&src, (records - 1 - r) * size + k));
    return series;
}

template <int32_t OP>
Cell* math() {
    do_math(OP);
    return stack::arguments;
}

// The tokenizer's entry for tuple literals (it only checks when out is null).
int load_literal(lexer::Token& t, Cell* out) {
    Cell v;
    int32_t e = from_text(t.start, size_t(t.end - t.start), &v);
    if (e == 0 && out) *out = v;
    return e;
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_RANDOM>(&random_tuple).set<A_TO>(&make);
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path).set<A_COMPARE>(&compare);
    a.set<A_ADD>(&math<integer::OP_ADD>).set<A_SUBTRACT>(&math<integer::OP_SUBTRACT>);
    a.set<A_MULTIPLY>(&math<integer::OP_MULTIPLY>).set<A_DIVIDE>(&math<integer::OP_DIVIDE>);
    a.set<A_REMAINDER>(&math<integer::OP_REMAINDER>);
    a.set<A_AND_T>(&math<integer::OP_AND>).set<A_OR_T>(&math<integer::OP_OR>).set<A_XOR_T>(&math<integer::OP_XOR>);
    a.set<A_COMPLEMENT>(&complement).set<A_LENGTH_Q>(&length_q).set<A_PICK>(&pick).set<A_REVERSE>(&reverse);
    datatype::register_type(TYPE_TUPLE, 0, "tuple!", a);
    extended::tuple_do_math = &do_math;
    lexer::set_maker(lexer::T_TUPLE, &load_literal);
}

}  // namespace kro::tuple
