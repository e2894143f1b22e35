#include "datatypes/bitset.hpp"

#include <algorithm>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"

namespace kro::bitset {

using memory::Buffer;

namespace {

Buffer* buffer(const Cell* bs) { return memory::buffer_of(bs->data2); }

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

bool is_word(const Cell* v, const char* name) {
    return v->is(TYPE_WORD) && symbol::resolve(int32_t(v->data2)) == symbol::resolve(symbol::make(name));
}

// Grows the stored bytes to n (never shrinks); the new bytes keep membership as
// it was: 0xFF on a complemented set, 0x00 otherwise.
void ensure_bytes(Cell* bs, uint32_t n) {
    Buffer* b = buffer(bs);
    uint32_t have = b->tail - b->offset;
    if (n <= have) return;
    if (b->size - b->offset < n) {
        uint64_t room = std::max<uint64_t>(n, uint64_t(b->size - b->offset) * 2);
        if (room > 0xF0000000u) room = n;
        b = memory::grow_series(b, uint32_t(room));
    }
    uint8_t fill = (b->flags & memory::FLAG_COMPLEMENT) ? 0xFF : 0x00;
    memory::fill_range(b->head_ptr() + have, b->head_ptr() + n, fill);
    b->tail = b->offset + n;
}

// Sets (or clears) the bits lo..hi, all inside the stored bytes.
void write_bits(Cell* bs, uint32_t lo, uint32_t hi, bool on) {
    uint8_t* p = ks_head(bs);
    uint32_t first = lo >> 3, last = hi >> 3;
    auto put = [&](uint32_t byte, uint8_t mask) { p[byte] = on ? uint8_t(p[byte] | mask) : uint8_t(p[byte] & ~mask); };
    uint8_t head_mask = uint8_t(0xFF >> (lo & 7));
    uint8_t tail_mask = uint8_t(0xFF << (7 - (hi & 7)));
    if (first == last) {
        put(first, uint8_t(head_mask & tail_mask));
        return;
    }
    put(first, head_mask);
    if (last > first + 1) std::memset(p + first + 1, on ? 0xFF : 0x00, last - first - 1);
    put(last, tail_mask);
}

// Whether every bit lo..hi is a member (hi may lie beyond the stored bytes).
bool members(const Cell* bs, int64_t lo, int64_t hi) {
    bool flag = complemented(bs);
    if (lo < 0) {
        // negative indexes lie outside the stored bytes
        if (!flag) return false;
        if (hi < 0) return true;
        lo = 0;
    }
    int64_t stored = int64_t(byte_count(bs)) * 8;
    if (hi >= stored && !flag) return false;
    int64_t top = std::min(hi, stored - 1);
    const uint8_t* p = ks_head(bs);
    for (int64_t i = lo; i <= top;) {
        if ((i & 7) == 0 && i + 7 <= top) {
            if (p[i >> 3] != 0xFF) return false;
            i += 8;
            continue;
        }
        if (!(p[i >> 3] & (0x80 >> (i & 7)))) return false;
        i++;
    }
    return true;
}

struct Spec {
    Cell* bits;
    SpecOp op;
    Caller caller;
    int64_t highest = -1;
};

// Applies the operation to the indexes lo..hi; false only for a failed test.
bool apply(Spec& s, int64_t lo, int64_t hi, const Cell* culprit) {
    if (s.op == TEST) return members(s.bits, lo, hi);
    if (lo < 0) fire("script", "out-of-range", culprit);
    if (s.op == MEASURE) {
        s.highest = std::max(s.highest, hi);
        return true;
    }
    bool flag = complemented(s.bits);
    int64_t stored = int64_t(byte_count(s.bits)) * 8;
    // beyond the stored bytes a complemented set already holds every index, a plain one none
    bool grows = (s.op == SET) != flag;
    if (grows) {
        ensure_bytes(s.bits, uint32_t((hi >> 3) + 1));
    } else {
        if (lo >= stored) return true;
        hi = std::min(hi, stored - 1);
    }
    write_bits(s.bits, uint32_t(lo), uint32_t(hi), s.op == SET);
    return true;
}

[[noreturn]] void unusable(const Spec& s, const Cell* value) {
    Cell dt = datatype_of(TYPE_BITSET);
    if (s.caller == BY_MAKE) fire("script", "bad-make-arg", &dt, value);
    if (s.caller == BY_TO) fire("script", "bad-to-arg", &dt, value);
    fire("script", "invalid-arg", value);
}

bool process(Spec& s, const Cell* spec) {
    switch (spec->type()) {
        case TYPE_CHAR: {
            int64_t i = spec->data2;
            return apply(s, i, i, spec);
        }
        case TYPE_INTEGER: {
            int64_t i = integer::get(spec);
            return apply(s, i, i, spec);
        }
        case TYPE_FLOAT: {
            int64_t i = convert::int_of_number(spec);
            return apply(s, i, i, spec);
        }
        case TYPE_STRING: {
            uint32_t n = string::ks_length(spec);
            uint32_t head = spec->data1;
            for (uint32_t k = 0; k < n; k++) {
                Cell c{uint32_t(TYPE_CHAR), 0, string::char_at(spec, head + k), 0};
                if (!apply(s, c.data2, c.data2, &c)) return false;
            }
            return true;
        }
        case TYPE_BLOCK: {
            // nested blocks are read as their contents: one that holds itself would never end
            machine_stack::check();
            if (mold::cycle_find(spec->data2)) fire("internal", "too-deep");
            mold::CycleEntry walking(spec->data2);
            int32_t n = block::length(spec);
            for (int32_t k = 0; k < n;) {
                Cell item = *block::at(spec, k);
                bool ranged = (item.is(TYPE_CHAR) || item.is(TYPE_INTEGER)) && k + 1 < n &&
                              is_word(block::at(spec, k + 1), "-");
                if (!ranged) {
                    if (!process(s, &item)) return false;
                    k++;
                    continue;
                }
                if (k + 2 >= n) fire("script", "past-end");
                Cell end = *block::at(spec, k + 2);
                if (end.type() != item.type()) fire("script", "invalid-arg", &end);
                int64_t lo = item.is(TYPE_CHAR) ? int64_t(item.data2) : int64_t(integer::get(&item));
                int64_t hi = end.is(TYPE_CHAR) ? int64_t(end.data2) : int64_t(integer::get(&end));
                if (hi < lo) fire("script", "past-end");
                if (!apply(s, lo, hi, &item)) return false;
                k += 3;
            }
            return true;
        }
        case TYPE_BINARY:
            fire("internal", "not-done");
        default:
            unusable(s, spec);
    }
}

// The owner's events around a change, as the series send them. The set is
// held rooted: the owner's handler may run a collection.
class Notify {
public:
    Notify(const Cell* bs, series::Event e, int32_t count) : bs_(*bs), e_(e), count_(count) {
        owned_ = send(false);
    }
    void done() {
        if (owned_) send(true);
    }
    // The set to change, current after the first event.
    Cell* bits() { return bs_.get(); }

private:
    bool send(bool after) {
        if (!ownership::table || !(buffer(bs_.get())->flags & ownership::FLAG_OWNED)) return false;
        Cell w = ownership::event_word(int32_t(e_), after);
        Cell v = bs_.cell;
        return ownership::check(&v, &w, nullptr, 0, count_);
    }
    gc::Rooted bs_;
    series::Event e_;
    int32_t count_;
    bool owned_ = false;
};

}  // namespace

bool complemented(const Cell* bs) { return (buffer(bs)->flags & memory::FLAG_COMPLEMENT) != 0; }

uint8_t* ks_head(const Cell* bs) { return buffer(bs)->head_ptr(); }

uint32_t byte_count(const Cell* bs) {
    Buffer* b = buffer(bs);
    return b->tail - b->offset;
}

int32_t length_q(Cell* bs) { return int32_t(std::min<uint64_t>(uint64_t(byte_count(bs)) * 8, INT32_MAX)); }

bool test_bit(const Cell* bs, int64_t index) { return members(bs, index, index); }

Cell* make_at(Cell* out, uint32_t bytes, uint8_t fill, bool complement) {
    uint32_t node = memory::new_bytes(bytes);
    Buffer* b = memory::buffer_of(node);
    memory::fill_range(b->head_ptr(), b->head_ptr() + bytes, fill);
    b->tail = b->offset + bytes;
    if (complement) b->flags |= memory::FLAG_COMPLEMENT;
    *out = make(node);
    return out;
}

Cell* push(const Cell* bs) {
    uint32_t node = memory::copy_series(buffer(bs));
    Cell* c = stack::push_cell();
    *c = make(node);
    return c;
}

void invert_bytes(Cell* bs, uint32_t n) {
    uint8_t* p = ks_head(bs);
    n = std::min(n, byte_count(bs));
    for (uint32_t i = 0; i < n; i++) p[i] = uint8_t(~p[i]);
}

int64_t process_spec(const Cell* spec, Cell* bs, SpecOp op, Caller caller) {
    Spec s{bs, op, caller};
    bool r = process(s, spec);
    if (op == MEASURE) return std::max<int64_t>(s.highest, 0) / 8 + 1;
    if (op == TEST) return r ? 1 : 0;
    return 0;
}

Cell* make_from_spec(Cell* out, const Cell* spec, Caller caller) {
    Cell s = *spec;
    bool negated = false;
    if (s.is(TYPE_BLOCK) && block::length(&s) > 0 && is_word(block::at(&s, 0), "not")) {
        negated = true;
        s.data1++;
        if (block::length(&s) > 0 && block::at(&s, 0)->is(TYPE_BINARY)) s = *block::at(&s, 0);
    }
    Cell result;
    switch (s.type()) {
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            Cell dt = datatype_of(TYPE_BITSET);
            if (caller == BY_TO) fire("script", "bad-to-arg", &dt, spec);
            int64_t bits = convert::int_of_number(&s);
            if (bits < 0) fire("script", "out-of-range", spec);
            make_at(&result, uint32_t((bits + 7) / 8), 0, false);
            break;
        }
        case TYPE_BITSET:
            result = make(memory::copy_series(buffer(&s)));
            break;
        case TYPE_BINARY: {
            Buffer* b = buffer(&s);
            uint32_t start = b->offset + s.data1;
            uint32_t n = start < b->tail ? b->tail - start : 0;
            make_at(&result, n, 0, negated);
            b = buffer(&s);
            std::memcpy(ks_head(&result), b->data() + start, n);
            if (negated) invert_bytes(&result, n);
            break;
        }
        default: {
            int64_t bytes = process_spec(&s, nullptr, MEASURE, caller);
            if (bytes > 0xF0000000) fire("internal", "no-memory");
            make_at(&result, uint32_t(bytes), negated ? 0xFF : 0x00, negated);
            gc::Rooted held(result);
            process_spec(&s, held.get(), negated ? CLEAR : SET, caller);
            result = held.cell;
            break;
        }
    }
    *out = result;
    return out;
}

Cell* do_bitwise(int32_t op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (op == 8) return left;
    if (!right->is(TYPE_BITSET)) {
        Cell dt = datatype_of(right->type());
        fire("script", "invalid-type", &dt);
    }
    bool fa = complemented(left), fb = complemented(right);
    uint32_t la = byte_count(left), lb = byte_count(right);
    uint32_t len = std::max(la, lb);
    // The result's flag is the operation on the flags, and the bytes a shorter
    // operand does not store count as what its flag says: all ones or all zeros.
    bool flag;
    switch (op) {
        case 5: case 9: flag = fa || fb; break;
        case 6: case 10: flag = fa && fb; break;
        case 7: case 12: flag = fa != fb; break;
        case 11: flag = fa && !fb; break;
        default: rt_error::no_switch_match();
    }
    Cell result;
    make_at(&result, len, 0, flag);
    const uint8_t* a = ks_head(left);
    const uint8_t* b = ks_head(right);
    uint8_t* r = ks_head(&result);
    uint8_t fill_a = fa ? 0xFF : 0x00, fill_b = fb ? 0xFF : 0x00;
    for (uint32_t i = 0; i < len; i++) {
        uint8_t x = i < la ? a[i] : fill_a, y = i < lb ? b[i] : fill_b;
        switch (op) {
            case 5: case 9: r[i] = x | y; break;
            case 6: case 10: r[i] = x & y; break;
            case 7: case 12: r[i] = x ^ y; break;
            default: r[i] = uint8_t(x & ~y); break;
        }
    }
    if (op == 6) {
        // and~ keeps the common length unless a byte beyond it still matters
        uint8_t fill = flag ? 0xFF : 0x00;
        uint32_t keep = len;
        while (keep > std::min(la, lb) && r[keep - 1] == fill) keep--;
        Buffer* rb = buffer(&result);
        rb->tail = rb->offset + keep;
    }
    *left = result;
    return left;
}

namespace {

// ---- actions --------------------------------------------------------------------------

// Where path reads leave their answer: the caller copies it at once.
Cell path_result{uint32_t(TYPE_NONE), 0, 0, 0};

Cell* make_bitset(Cell* proto, Cell* spec, int32_t) { return make_from_spec(proto, spec, BY_MAKE); }
Cell* to_bitset(Cell* proto, Cell* spec, int32_t) { return make_from_spec(proto, spec, BY_TO); }

Cell* reflect(Cell* value, int32_t field) {
    if (symbol::resolve(field) != symbol::resolve(symbol::make("owned"))) fire("internal", "not-done");
    const Cell* owner = ownership::table ? ownership::get_owner(value->data2) : nullptr;
    *value = owner ? *owner : none::value;
    return value;
}

int32_t form(Cell* value, Cell* buffer_cell, Cell* part, int32_t limit) {
    static const char HEX[] = "0123456789ABCDEF";
    bool flag = complemented(value);
    const char* open = flag ? "make bitset! [not #{" : "make bitset! #{";
    string::concatenate_ascii(buffer_cell, open);
    limit -= int32_t(std::strlen(open));
    uint32_t n = byte_count(value);
    for (uint32_t i = 0; i < n; i++) {
        // a complemented set shows the bits its `not` spec names
        uint8_t b = ks_head(value)[i];
        if (flag) b = uint8_t(~b);
        char text[2] = {HEX[b >> 4], HEX[b & 15]};
        string::concatenate_ascii(buffer_cell, text, 2);
        limit -= 2;
        if (part && limit < 0) return limit;
    }
    const char* close = flag ? "}]" : "}";
    string::concatenate_ascii(buffer_cell, close);
    return limit - int32_t(std::strlen(close));
}

int32_t mold(Cell* value, Cell* buffer_cell, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer_cell, part, limit);
}

// The value a poke stores: none, false, 0 and 0.0 clear, anything else sets.
bool clears(const Cell* v) {
    switch (v->type()) {
        case TYPE_NONE: return true;
        case TYPE_LOGIC: return v->data1 == 0;
        case TYPE_INTEGER: return integer::get(v) == 0;
        case TYPE_FLOAT: return v->get_float() == 0.0;
        default: return false;
    }
}

Cell* poke(Cell* series, int32_t index, Cell* data, Cell* boxed) {
    gc::Rooted spec(boxed ? *boxed : integer::make(index));
    bool off = clears(data);
    Notify ev(series, series::Event::POKE, 1);
    process_spec(spec.get(), ev.bits(), off ? CLEAR : SET, BY_ACTION);
    ev.done();
    return data;
}

Cell* pick(Cell* series, int32_t index, Cell* boxed) {
    Cell spec = boxed ? *boxed : integer::make(index);
    bool in = process_spec(&spec, series, TEST, BY_ACTION) != 0;
    *series = logic::make(in);
    return series;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, int32_t, bool, bool, bool, bool) {
    if (!element->is(TYPE_INTEGER) && !element->is(TYPE_CHAR)) {
        Cell dt = datatype_of(element->type());
        fire("script", "invalid-type", &dt);
    }
    if (value) return poke(parent, 0, value, element);
    path_result = *parent;
    return pick(&path_result, 0, element);
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_BITSET)) return -2;
    if (op == 9) return a->data2 == b->data2 ? 0 : 1;
    uint32_t la = byte_count(a), lb = byte_count(b);
    if (la != lb) return la < lb ? -1 : 1;
    bool fa = complemented(a), fb = complemented(b);
    // the flag tells "nothing" from "everything" even without stored bytes
    if (fa != fb) return fa ? 1 : -1;
    const uint8_t* p = ks_head(a);
    const uint8_t* q = ks_head(b);
    for (uint32_t i = la; i-- > 0;)
        if (p[i] != q[i]) return p[i] < q[i] ? -1 : 1;
    return 0;
}

Cell* complement(Cell* v) {
    uint32_t node = memory::copy_series(buffer(v));
    Cell c = make(node);
    memory::buffer_of(node)->flags ^= memory::FLAG_COMPLEMENT;
    invert_bytes(&c, byte_count(&c));
    *v = c;
    return v;
}

Cell* and_t() { return do_bitwise(6); }
Cell* or_t() { return do_bitwise(5); }
Cell* xor_t() { return do_bitwise(7); }

Cell* insert(Cell* series, Cell* value, int32_t, bool, int32_t, bool append) {
    gc::Rooted spec(*value);
    Notify ev(series, append ? series::Event::APPEND : series::Event::INSERT, 1);
    process_spec(spec.get(), ev.bits(), SET, BY_ACTION);
    ev.done();
    return series;
}

Cell* clear(Cell* v) {
    Notify ev(v, series::Event::CLEAR, int32_t(byte_count(v)));
    Cell* bits = ev.bits();
    uint8_t fill = complemented(bits) ? 0xFF : 0x00;
    std::memset(ks_head(bits), fill, byte_count(bits));
    ev.done();
    return v;
}

Cell* copy(Cell* value, Cell* result, Cell*, bool, Cell*) {
    *result = make(memory::copy_series(buffer(value)));
    return result;
}

Cell* find(Cell* series, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
    bool in = process_spec(value, series, TEST, BY_ACTION) != 0;
    *series = in ? logic::make(true) : none::value;
    return series;
}

// remove/part takes the bits it names out of the set, complemented or not.
Cell* remove(Cell* series, Cell* part, Cell*) {
    if (!part) fire("script", "missing-arg");
    gc::Rooted spec(*part);
    Notify ev(series, series::Event::REMOVE, 1);
    process_spec(spec.get(), ev.bits(), CLEAR, BY_ACTION);
    ev.done();
    return series;
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
    if (is_word(field, "owned")) series::set_owner(target, value);
    return value;
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make_bitset).set<A_REFLECT>(&reflect).set<A_TO>(&to_bitset);
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path).set<A_COMPARE>(&compare);
    a.set<A_NEGATE>(&complement).set<A_AND_T>(&and_t).set<A_COMPLEMENT>(&complement).set<A_OR_T>(&or_t);
    a.set<A_XOR_T>(&xor_t).set<A_APPEND>(&insert).set<A_CLEAR>(&clear).set<A_COPY>(&copy).set<A_FIND>(&find);
    a.set<A_INSERT>(&insert).set<A_LENGTH_Q>(&length_q).set<A_PICK>(&pick).set<A_POKE>(&poke);
    a.set<A_REMOVE>(&remove).set<A_MODIFY>(&modify);
    datatype::register_type(TYPE_BITSET, 0, "bitset!", a);
}

}  // namespace kro::bitset
