#include "datatypes/vector.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::vector {

using memory::Buffer;

namespace {

constexpr uint64_t MAX_BYTES = 0xF0000000u;

Cell datatype_cell(uint32_t t) { return Cell{uint32_t(TYPE_DATATYPE), t, 0, 0}; }

inline bool float_elements(uint32_t elem) { return elem == TYPE_FLOAT || elem == TYPE_PERCENT; }

// The width a vector of that element type has unless its spec says otherwise.
inline int default_unit(uint32_t elem) { return float_elements(elem) ? 8 : 4; }

// A vector's buffer found through its node: never keep an address of it
// across anything that may grow it.
struct View {
    uint32_t node;
    int unit;
    uint32_t elem;

    Buffer* buf() const { return memory::buffer_of(node); }
    uint8_t* at(int64_t i) const { return buf()->head_ptr() + uint64_t(i) * uint32_t(unit); }
    int32_t full() const { return int32_t(buf()->used_bytes() / uint32_t(unit)); }
};

View view_of(const Cell* v) { return View{v->data2, memory::buffer_of(v->data2)->unit(), v->data3}; }

// The head read as the series rules say: clamped to 0 .. full length.
int32_t head_of(const Cell* v) { return series::head_of(v); }

// Room for add more bytes after the tail; answers the buffer to use.
Buffer* room(uint32_t node, uint64_t add) {
    Buffer* b = memory::buffer_of(node);
    uint64_t need = uint64_t(b->used_bytes()) + add;
    if (need > MAX_BYTES) fire("internal", "no-memory");
    if (uint64_t(b->size) - b->offset < need) {
        uint64_t size = std::min<uint64_t>(need * 2, MAX_BYTES);
        b = memory::grow_series(b, uint32_t(size));
    }
    return b;
}

[[noreturn]] void invalid_type(const Cell* value) {
    Cell dt = datatype_cell(value->type());
    fire("script", "invalid-type", &dt);
}

void store_raw(uint8_t* p, int unit, uint32_t elem, int32_t i, double d) {
    if (float_elements(elem)) {
        if (unit == 4) {
            float f = float(d);  // IEEE rounding; beyond the range an infinity
            std::memcpy(p, &f, 4);
        } else {
            std::memcpy(p, &d, 8);
        }
    } else {
        uint32_t v = uint32_t(i);
        std::memcpy(p, &v, size_t(unit));  // little-endian: the low bytes
    }
}

// The element op on integers: what would leave 32 bits wraps.
int32_t int_op(int32_t a, int32_t b, int32_t op) {
    switch (op) {
        case integer::OP_ADD: return int32_t(uint32_t(a) + uint32_t(b));
        case integer::OP_SUBTRACT: return int32_t(uint32_t(a) - uint32_t(b));
        case integer::OP_MULTIPLY: return int32_t(uint32_t(a) * uint32_t(b));
        default: return integer::do_math_op(a, b, op, nullptr);  // truncating; zero divisors raise
    }
}

int32_t int_of(const Cell& e) { return int32_t(e.data2); }

// The values a block-like value holds from its head, at most part of them
// (negative: all); any other value is one value.
std::vector<Cell> values_of(const Cell* value, int32_t part) {
    std::vector<Cell> out;
    if (series::is_block_kind(value->type())) {
        Cell blk = *value;
        int32_t n = block::length(&blk);
        if (part >= 0 && part < n) n = part;
        const Cell* c = n ? block::ks_head(&blk) : nullptr;
        out.assign(c, c + n);
    } else {
        out.push_back(*value);
    }
    return out;
}

// Writes the elements at p as stored bytes: each value through set_value once,
// then copies of that run for dup.
void write_values(uint8_t* p, const View& v, const std::vector<Cell>& values, uint32_t dup) {
    for (size_t i = 0; i < values.size(); i++) set_value(&values[i], p + i * uint32_t(v.unit), v.unit, v.elem);
    memory::repeat_fill(p, uint32_t(values.size()) * uint32_t(v.unit), dup);
}

// The number of elements written for n values dup times, checked against 32 bits.
int32_t checked_count(uint64_t n, int32_t dup, int32_t full, int unit) {
    uint64_t count = n * uint64_t(dup < 0 ? 0 : dup);
    if (count > 0x7FFFFFFF || uint64_t(full) + count > 0x7FFFFFFF || (uint64_t(full) + count) * uint64_t(unit) > MAX_BYTES)
        fire("internal", "no-memory");
    return int32_t(count);
}

// ---- text ------------------------------------------------------------------------------------

const char* type_name(uint32_t elem) {
    switch (elem) {
        case TYPE_CHAR: return "char!";
        case TYPE_INTEGER: return "integer!";
        case TYPE_FLOAT: return "float!";
        default: return "percent!";
    }
}

int32_t text_length(const Cell* buffer) { return series::ks_full_length(buffer); }

void write_element(Cell* buffer, const Cell& e, int unit, bool mold, bool all) {
    switch (e.type()) {
        case TYPE_INTEGER:
            string::concatenate_ascii(buffer, integer::to_text(int32_t(e.data2)));
            break;
        case TYPE_CHAR:
            if (mold) string::concatenate_ascii(buffer, "#\"", 2);
            string::append_escaped_char(buffer, e.data2, true, all);
            if (mold) string::concatenate_ascii(buffer, "\"", 1);
            break;
        case TYPE_FLOAT:
            string::concatenate_ascii(buffer,
                                      floatx::to_text(e.get_float(), unit == 4 ? floatx::KIND_FLOAT32 : floatx::KIND_FLOAT));
            break;
        default:
            string::concatenate_ascii(buffer, floatx::to_text(e.get_float() * 100.0, floatx::KIND_PERCENT));
            break;
    }
}

// The elements from the head separated by blanks; stops once a part limit is used up.
int32_t write_elements(const Cell* vec, Cell* buffer, bool mold, bool all, Cell* part, int32_t limit) {
    View v = view_of(vec);
    int32_t h = head_of(vec);
    for (int32_t i = h; i < v.full(); i++) {
        if (part && limit <= 0) break;
        int32_t before = text_length(buffer);
        if (i > h) string::concatenate_ascii(buffer, " ", 1);
        write_element(buffer, get_value(v.at(i), v.unit, v.elem), v.unit, mold, all);
        limit -= text_length(buffer) - before;
    }
    return limit;
}

int32_t put_ascii(Cell* buffer, const char* text, int32_t limit) {
    int32_t n = int32_t(std::strlen(text));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

// ---- making -----------------------------------------------------------------------------------

// A vector with room for max(count, values, 1) elements, holding the block's
// values (each of the element type exactly) and zeros up to count.
Cell* build(Cell* out, uint32_t elem, int unit, int32_t count, const Cell* values) {
    gc::Rooted spec(values ? *values : none::value);
    int32_t n = values ? block::length(spec.get()) : 0;
    int32_t room = std::max({count, n, 1});
    if (uint64_t(room) * uint32_t(unit) > MAX_BYTES) fire("internal", "no-memory");
    gc::Rooted vec;
    make_at(vec.get(), room, elem, unit);
    for (int32_t i = 0; i < n; i++) {
        Cell c = *block::at(spec.get(), i);
        append_value(vec.get(), &c);
    }
    if (count > n) {
        Buffer* b = memory::buffer_of(vec->data2);
        memory::fill_range(b->tail_ptr(), b->head_ptr() + uint64_t(count) * uint32_t(unit), 0);
        b->tail = b->offset + uint32_t(count) * uint32_t(unit);
    }
    *out = vec.cell;
    return out;
}

uint32_t element_type_named(const Cell* word) {
    if (!word->is(TYPE_WORD)) return 0;
    int32_t s = int32_t(word->data2);
    for (uint32_t t : {uint32_t(TYPE_INTEGER), uint32_t(TYPE_CHAR), uint32_t(TYPE_FLOAT), uint32_t(TYPE_PERCENT)})
        if (symbol::same_word(s, symbol::make(type_name(t)))) return t;
    return 0;
}

// [type width count-or-values values]: the typed spec.
Cell* make_typed(Cell* out, const Cell* spec) {
    Cell dt = datatype_cell(TYPE_VECTOR);
    int32_t len = block::length(spec);
    if (len < 2) fire("script", "bad-make-arg", &dt, spec);
    uint32_t elem = element_type_named(block::at(spec, 0));
    if (!elem) fire("script", "bad-make-arg", &dt, spec);
    int32_t next = 1;
    int unit = 8;  // percent! is always 64 bits
    const Cell* width = block::at(spec, 1);
    if (width->is(TYPE_INTEGER)) {
        int32_t bits = int32_t(width->data2);
        if (elem == TYPE_INTEGER || elem == TYPE_CHAR) {
            if (bits != 8 && bits != 16 && bits != 32) fire("script", "bad-make-arg", &dt, spec);
            unit = bits / 8;
        } else if (elem == TYPE_FLOAT) {
            if (bits != 32 && bits != 64) fire("script", "bad-make-arg", &dt, spec);
            unit = bits / 8;
        }
        next = 2;
    } else if (elem != TYPE_PERCENT) {
        fire("script", "invalid-spec-field", spec);
    }
    if (next >= len) fire("script", "invalid-spec-field", spec);
    Cell item = *block::at(spec, next);
    if (item.is(TYPE_INTEGER)) {
        int32_t count = int32_t(item.data2);
        if (count < 0) fire("script", "out-of-range", &item);
        const Cell* values = nullptr;
        if (next + 1 < len && block::at(spec, next + 1)->is(TYPE_BLOCK)) values = block::at(spec, next + 1);
        Cell v = values ? *values : none::value;
        return build(out, elem, unit, count, values ? &v : nullptr);
    }
    if (item.is(TYPE_BLOCK)) return build(out, elem, unit, 0, &item);
    fire("script", "invalid-spec-field", spec);
}

}  // namespace

// ---- elements ---------------------------------------------------------------------------

Cell get_value(const uint8_t* p, int unit, uint32_t elem) {
    Cell out{elem, 0, 0, 0};
    if (float_elements(elem)) {
        double d;
        if (unit == 4) {
            float f;
            std::memcpy(&f, p, 4);
            d = f;
        } else {
            std::memcpy(&d, p, 8);
        }
        out.set_float(d);
        return out;
    }
    // Characters are code points and never negative: only integer elements
    // are sign-extended.
    bool chars = elem == TYPE_CHAR;
    int32_t v;
    switch (unit) {
        case 1: v = chars ? int32_t(p[0]) : int8_t(p[0]); break;
        case 2: {
            int16_t h;
            std::memcpy(&h, p, 2);
            v = chars ? int32_t(uint16_t(h)) : h;
            break;
        }
        default: std::memcpy(&v, p, 4); break;
    }
    out.data2 = uint32_t(v);
    return out;
}

bool fits(const Cell* value, uint32_t elem) {
    Type t = value->type();
    return float_elements(elem) ? (t == TYPE_FLOAT || t == TYPE_PERCENT) : (t == TYPE_INTEGER || t == TYPE_CHAR);
}

void set_value(const Cell* value, uint8_t* p, int unit, uint32_t elem) {
    if (!fits(value, elem)) invalid_type(value);
    if (float_elements(elem))
        store_raw(p, unit, elem, 0, value->get_float());
    else
        store_raw(p, unit, elem, int32_t(value->data2), 0);
}

// ---- entry points --------------------------------------------------------------------------

Cell* make_at(Cell* out, int32_t count, uint32_t elem, int unit) {
    if (count < 1) count = 1;
    if (uint64_t(count) * uint32_t(unit) > MAX_BYTES) fire("internal", "no-memory");
    uint32_t node = memory::new_series(uint32_t(count), uint32_t(unit), 0);
    *out = Cell{uint32_t(TYPE_VECTOR), 0, node, elem};
    return out;
}

Cell* push(const Cell* vec) {
    Cell v = *vec;
    return stack::push(&v);
}

Cell* to_block(const Cell* vec_in, Cell* out) {
    Cell vec = *vec_in;
    View v = view_of(&vec);
    int32_t h = head_of(&vec);
    int32_t n = v.full() - h;
    gc::Rooted blk;
    block::make_at(blk.get(), std::max(n, 1));
    for (int32_t i = 0; i < n; i++) {
        Cell e = get_value(v.at(h + i), v.unit, v.elem);
        block::ks_append(blk.get(), &e);
    }
    *out = blk.cell;
    return out;
}

void append_value(Cell* vec, const Cell* value) {
    if (value->type() != vec->data3) fire("script", "invalid-arg", value);
    Cell val = *value;
    View v = view_of(vec);
    Buffer* b = room(v.node, uint32_t(v.unit));
    set_value(&val, b->tail_ptr(), v.unit, v.elem);
    b->tail += uint32_t(v.unit);
}

void append_block(Cell* vec, const Cell* block_in) {
    gc::Rooted blk(*block_in);
    int32_t n = block::length(blk.get());
    for (int32_t i = 0; i < n; i++) {
        Cell c = *block::at(blk.get(), i);
        append_value(vec, &c);
    }
}

void poke_value(Cell* vec, int32_t index, const Cell* value) {
    if (index < 0) fire("script", "out-of-range", value);
    Cell val = *value;
    View v = view_of(vec);
    if (!fits(&val, v.elem)) invalid_type(&val);
    int32_t full = v.full();
    if (index >= full) {
        uint64_t add = (uint64_t(index) + 1 - uint64_t(full)) * uint32_t(v.unit);
        Buffer* b = room(v.node, add);
        memory::fill_range(b->tail_ptr(), b->tail_ptr() + add, 0);
        b->tail += uint32_t(add);
    }
    set_value(&val, v.at(index), v.unit, v.elem);
}

void insert_value(Cell* vec, int32_t index, const Cell* value) {
    Cell val = *value;
    View v = view_of(vec);
    if (!fits(&val, v.elem)) invalid_type(&val);
    int32_t full = v.full();
    index = std::clamp(index, 0, full);
    Buffer* b = room(v.node, uint32_t(v.unit));
    std::memmove(v.at(index + 1), v.at(index), size_t(full - index) * uint32_t(v.unit));
    b->tail += uint32_t(v.unit);
    set_value(&val, v.at(index), v.unit, v.elem);
}

// ---- arithmetic -------------------------------------------------------------------------------

Cell* do_math_scalar(int32_t op, Cell* vec, const Cell* scalar, bool scalar_first) {
    View v = view_of(vec);
    Type st = scalar->type();
    bool floats = float_elements(v.elem);
    double s = 0;
    int32_t k = 0;
    if (floats) {
        if (st == TYPE_INTEGER) s = double(int32_t(scalar->data2));
        else if (st == TYPE_FLOAT || st == TYPE_PERCENT) s = scalar->get_float();
        else fire("internal", "not-done");
    } else {
        if (st == TYPE_INTEGER || st == TYPE_CHAR) k = int32_t(scalar->data2);
        else if (st == TYPE_FLOAT || st == TYPE_PERCENT) k = convert::int_of_number(scalar);  // toward zero
        else fire("internal", "not-done");
    }
    // + 0, - 0, * 1 and / 1 change nothing: no element is rewritten
    bool additive = op == integer::OP_ADD || (op == integer::OP_SUBTRACT && !scalar_first);
    bool multiplicative = op == integer::OP_MULTIPLY || (op == integer::OP_DIVIDE && !scalar_first);
    if (additive && (floats ? s == 0.0 : k == 0)) return vec;
    if (multiplicative && (floats ? s == 1.0 : k == 1)) return vec;
    int32_t h = head_of(vec);
    int32_t full = v.full();
    for (int32_t i = h; i < full; i++) {
        uint8_t* p = v.at(i);
        Cell e = get_value(p, v.unit, v.elem);
        if (floats) {
            double x = e.get_float();
            store_raw(p, v.unit, v.elem, 0, scalar_first ? floatx::do_math_op(s, x, op) : floatx::do_math_op(x, s, op));
        } else {
            int32_t x = int_of(e);
            store_raw(p, v.unit, v.elem, scalar_first ? int_op(k, x, op) : int_op(x, k, op), 0);
        }
    }
    return vec;
}

Cell* do_math_vectors(int32_t op, const Cell* left_in, const Cell* right_in, Cell* out) {
    Cell left = *left_in, right = *right_in;
    if (left.data3 != right.data3) fire("script", "not-same-type");
    View a = view_of(&left), b = view_of(&right);
    int32_t ha = head_of(&left), hb = head_of(&right);
    int32_t n = std::min(a.full() - ha, b.full() - hb);
    int unit = std::max(a.unit, b.unit);
    gc::Rooted result;
    make_at(result.get(), n, a.elem, unit);
    View r = view_of(result.get());
    bool floats = float_elements(a.elem);
    for (int32_t i = 0; i < n; i++) {
        Cell x = get_value(a.at(ha + i), a.unit, a.elem), y = get_value(b.at(hb + i), b.unit, b.elem);
        uint8_t* p = r.at(i);
        if (floats)
            store_raw(p, unit, r.elem, 0, floatx::do_math_op(x.get_float(), y.get_float(), op));
        else
            store_raw(p, unit, r.elem, int_op(int_of(x), int_of(y), op), 0);
    }
    Buffer* rb = r.buf();
    rb->tail = rb->offset + uint32_t(n) * uint32_t(unit);
    *out = result.cell;
    return out;
}

Cell* do_math(int32_t op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (right->is(TYPE_VECTOR)) {
        Cell out;
        do_math_vectors(op, left, right, &out);
        *left = out;
    } else {
        do_math_scalar(op, left, right, false);
    }
    return left;
}

Cell* do_math_vector(int32_t op, Cell* right, Cell* left) {
    if (left->is(TYPE_VECTOR)) {
        if (right->is(TYPE_VECTOR)) return do_math_vectors(op, left, right, left);
        return do_math_scalar(op, left, right, false);
    }
    // a number on the left: the vector changes in place, the number first in each operation
    return do_math_scalar(op, right, left, true);
}

Cell* add() { return do_math(integer::OP_ADD); }
Cell* subtract() { return do_math(integer::OP_SUBTRACT); }
Cell* multiply() { return do_math(integer::OP_MULTIPLY); }
Cell* divide() { return do_math(integer::OP_DIVIDE); }
Cell* remainder() { return do_math(integer::OP_REMAINDER); }
Cell* and_t() { return do_math(integer::OP_AND); }
Cell* or_t() { return do_math(integer::OP_OR); }
Cell* xor_t() { return do_math(integer::OP_XOR); }

// ---- actions ----------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec_in, int32_t) {
    Cell spec = *spec_in;
    switch (spec.type()) {
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            int32_t n = convert::int_of_number(&spec);
            if (n < 0) fire("script", "out-of-range", &spec);
            return build(proto, TYPE_INTEGER, 4, n, nullptr);
        }
        case TYPE_BLOCK: {
            if (block::length(&spec) == 0) return build(proto, TYPE_INTEGER, 4, 0, nullptr);
            Cell first = *block::at(&spec, 0);
            if (first.is(TYPE_WORD)) return make_typed(proto, &spec);
            uint32_t elem = first.type();
            if (elem != TYPE_INTEGER && elem != TYPE_CHAR && elem != TYPE_FLOAT && elem != TYPE_PERCENT)
                invalid_type(&first);
            return build(proto, elem, default_unit(elem), 0, &spec);
        }
        default:
            fire("internal", "not-done");
    }
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    Cell vec = *value;
    return write_elements(&vec, buffer, false, false, part, limit);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool, Cell* part, int32_t limit, int32_t) {
    Cell vec = *value;
    View v = view_of(&vec);
    bool typed = !(v.full() > head_of(&vec) && v.unit == default_unit(v.elem));
    limit = put_ascii(buffer, "make vector! [", limit);
    if (typed) {
        limit = put_ascii(buffer, type_name(v.elem), limit);
        limit = put_ascii(buffer, " ", limit);
        limit = put_ascii(buffer, integer::to_text(v.unit * 8), limit);
        limit = put_ascii(buffer, " [", limit);
    }
    limit = write_elements(&vec, buffer, true, all, part, limit);
    if (!only) limit = put_ascii(buffer, typed ? "]]" : "]", limit);
    return limit;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_VECTOR)) return -2;
    Cell a = *value1, b = *value2;
    int32_t ha = head_of(&a), hb = head_of(&b);
    if (op == actions::SAME) return a.data2 == b.data2 && ha == hb ? 0 : -1;
    if (a.data3 != b.data3) fire("script", "not-same-type");
    View va = view_of(&a), vb = view_of(&b);
    int32_t la = va.full() - ha, lb = vb.full() - hb;
    bool equality = actions::is_equality_op(op);
    if (equality && la != lb) return 1;
    int32_t n = std::min(la, lb);
    bool floats = float_elements(va.elem);
    for (int32_t i = 0; i < n; i++) {
        Cell x = get_value(va.at(ha + i), va.unit, va.elem), y = get_value(vb.at(hb + i), vb.unit, vb.elem);
        if (floats) {
            double p = x.get_float(), q = y.get_float();
            // NaN equals nothing; an ordering stops at it
            if (p != p || q != q) return equality ? 1 : 0;
            if (p != q) return p < q ? -1 : 1;
        } else if (int_of(x) != int_of(y)) {
            return int_of(x) < int_of(y) ? -1 : 1;
        }
    }
    return la < lb ? -1 : la > lb ? 1 : 0;
}

Cell* insert(Cell* series, Cell* value, int32_t part, bool, int32_t dup, bool append) {
    gc::Rooted vec(*series);
    std::vector<Cell> values = values_of(value, part);
    View v = view_of(vec.get());
    int32_t full = v.full();
    int32_t head = std::clamp(int32_t(vec->data1), 0, full);  // a head past the tail reads as the tail
    vec->data1 = uint32_t(head);
    int32_t count = checked_count(values.size(), dup, full, v.unit);
    if (count == 0) {
        *series = vec.cell;
        return series;
    }
    for (const Cell& c : values)
        if (!fits(&c, v.elem)) invalid_type(&c);
    int32_t at = append ? full : head;
    series::Notify ev(vec.get(), append ? series::Event::APPEND : series::Event::INSERT, at, count);
    v = view_of(vec.get());
    Buffer* b = room(v.node, uint64_t(count) * uint32_t(v.unit));
    full = v.full();
    at = std::min(at, full);
    std::memmove(v.at(at + count), v.at(at), size_t(full - at) * uint32_t(v.unit));
    b->tail += uint32_t(count) * uint32_t(v.unit);
    write_values(v.at(at), v, values, uint32_t(count / int32_t(values.size())));
    ev.done();
    if (!append) vec->data1 = uint32_t(at + count);
    *series = vec.cell;
    return series;
}

Cell* change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
    gc::Rooted vec(*series);
    View v = view_of(vec.get());
    int32_t full = v.full();
    int32_t head = std::clamp(int32_t(vec->data1), 0, full);
    vec->data1 = uint32_t(head);
    std::vector<Cell> values;
    if (value->is(TYPE_VECTOR)) {
        // another vector's elements, converted when their width or type differs
        Cell src = *value;
        View s = view_of(&src);
        for (int32_t i = head_of(&src); i < s.full(); i++) values.push_back(get_value(s.at(i), s.unit, s.elem));
    } else {
        values = values_of(value, -1);
    }
    for (const Cell& c : values)
        if (!fits(&c, v.elem)) invalid_type(&c);
    int32_t written = checked_count(values.size(), dup, full, v.unit);
    int32_t left = full - head;
    int32_t replaced = std::min(part >= 0 ? part : written, left);
    series::Notify ev(vec.get(), series::Event::CHANGE, head, written);
    v = view_of(vec.get());
    full = v.full();
    head = std::min(head, full);
    replaced = std::min(replaced, full - head);
    if (written > replaced) room(v.node, uint64_t(written - replaced) * uint32_t(v.unit));
    Buffer* b = v.buf();
    int32_t rest = full - head - replaced;
    std::memmove(v.at(head + written), v.at(head + replaced), size_t(rest) * uint32_t(v.unit));
    b->tail = b->offset + uint32_t(head + written + rest) * uint32_t(v.unit);
    if (written > 0) write_values(v.at(head), v, values, uint32_t(written / int32_t(values.size())));
    ev.done();
    // the owner's handler after the change may have moved the vector: its length is read afresh
    vec->data1 = uint32_t(std::min(head + written, view_of(vec.get()).full()));
    *series = vec.cell;
    return series;
}

void init() {
    ActionList a;
    for (int slot : {A_RANDOM, A_REFLECT, A_EVAL_PATH, A_AT, A_BACK, A_CLEAR, A_COPY, A_FIND, A_HEAD, A_HEAD_Q,
                     A_INDEX_Q, A_LENGTH_Q, A_MOVE, A_NEXT, A_PICK, A_POKE, A_REMOVE, A_REVERSE, A_SELECT, A_SORT,
                     A_SKIP, A_TAIL, A_TAIL_Q, A_TAKE, A_MODIFY})
        a.inherit(slot);
    a.set<A_MAKE>(&make)
        .set<A_FORM>(&form)
        .set<A_MOLD>(&mold)
        .set<A_COMPARE>(&compare)
        .set<A_ADD>(&add)
        .set<A_DIVIDE>(&divide)
        .set<A_MULTIPLY>(&multiply)
        .set<A_REMAINDER>(&remainder)
        .set<A_SUBTRACT>(&subtract)
        .set<A_AND_T>(&and_t)
        .set<A_OR_T>(&or_t)
        .set<A_XOR_T>(&xor_t)
        .set<A_APPEND>(&insert)
        .set<A_CHANGE>(&change)
        .set<A_INSERT>(&insert);
    datatype::register_type(TYPE_VECTOR, TYPE_STRING, "vector!", a);
    extended::vector_do_math = &do_math_vector;
}

}  // namespace kro::vector
