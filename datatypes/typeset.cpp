#include "datatypes/typeset.hpp"

#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

namespace kro::typeset {

namespace {

constexpr uint32_t BITS = 96;

uint32_t& word_of(Cell* ts, uint32_t i) { return i == 0 ? ts->data1 : i == 1 ? ts->data2 : ts->data3; }
uint32_t word_of(const Cell* ts, uint32_t i) { return i == 0 ? ts->data1 : i == 1 ? ts->data2 : ts->data3; }

// Byte t >> 3 of the array is byte (t >> 3) & 3 of word t >> 5, the words being
// little-endian in memory.
uint32_t mask_of(uint32_t type) { return (0x80u >> (type & 7)) << (((type >> 3) & 3) * 8); }

// The ids that can be members: 1 to the highest registered id.
uint32_t last_id() {
    int32_t h = datatype::highest_id();
    return h < int32_t(BITS) ? uint32_t(h) : BITS - 1;
}

Cell datatype_cell(uint32_t id) { return Cell{uint32_t(TYPE_DATATYPE), id, 0, 0}; }

bool member(const Cell* ts, uint32_t id) { return has(ts, id) && datatype::registered(int32_t(id)); }

// A word stands for its value (script/no-value when it has none).
Cell resolved(const Cell* value) {
    if (!value->is(TYPE_WORD)) return *value;
    Cell v = *word::get(value);
    stack::pop(1);
    return v;
}

void merge(Cell* ts, const Cell* other) {
    ts->data1 |= other->data1;
    ts->data2 |= other->data2;
    ts->data3 |= other->data3;
}

}  // namespace

void clear(Cell* ts) { ts->data1 = ts->data2 = ts->data3 = 0; }

bool has(const Cell* ts, uint32_t type) { return type < BITS && (word_of(ts, type >> 5) & mask_of(type)) != 0; }

void set(Cell* ts, uint32_t type) {
    if (type < BITS) word_of(ts, type >> 5) |= mask_of(type);
}

int32_t count(const Cell* ts) {
    int32_t n = 0;
    for (uint32_t id = 1; id <= last_id(); id++)
        if (member(ts, id)) n++;
    return n;
}

Cell* make_at(Cell* blk, uint32_t w1, uint32_t w2, uint32_t w3) {
    Cell* c = block::add_cell(blk);
    *c = Cell{uint32_t(TYPE_TYPESET), w1, w2, w3};
    return c;
}

Cell* make_any(Cell* blk) {
    Cell ts{uint32_t(TYPE_TYPESET), 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    word_of(&ts, TYPE_UNSET >> 5) &= ~mask_of(TYPE_UNSET);
    return make_at(blk, ts.data1, ts.data2, ts.data3);
}

void add_type(Cell* ts, const Cell* value) {
    Cell v = resolved(value);
    if (v.is(TYPE_TYPESET)) merge(ts, &v);
    else if (v.is(TYPE_DATATYPE)) set(ts, v.data1);
    else fire("script", "invalid-arg", &v);
}

Cell* make_in(Cell* blk, const Cell* spec) {
    Cell ts = make_empty();
    int32_t n = block::length(spec);
    for (int32_t i = 0; i < n; i++) {
        Cell element = *block::at(spec, i);
        Cell v = resolved(&element);
        switch (v.type()) {
            case TYPE_DATATYPE: set(&ts, v.data1); break;
            case TYPE_TYPESET: merge(&ts, &v); break;
            case TYPE_WORD: set(&ts, TYPE_OBJECT); break;  // a word naming a word: an object's field
            case TYPE_BLOCK: break;
            default: fire("script", "invalid-type-spec", &element);
        }
    }
    Cell* c = block::add_cell(blk);
    *c = ts;
    return c;
}

Cell* do_bitwise(int32_t op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (op == 8) return left;  // unique: a set has no duplicates
    Cell r;
    if (right->is(TYPE_TYPESET)) {
        r = *right;
    } else if (right->is(TYPE_DATATYPE)) {
        r = make_empty();
        set(&r, right->data1);
    } else {
        fire("script", "invalid-arg", right);
    }
    Cell result = make_empty();
    for (uint32_t i = 0; i < 3; i++) {
        uint32_t a = word_of(left, i), b = word_of(&r, i), w;
        switch (op) {
            case 5:
            case 9: w = a | b; break;
            case 6:
            case 10: w = a & b; break;
            case 7:
            case 12: w = a ^ b; break;
            case 11: w = a & ~b; break;
            default: rt_error::no_switch_match();
        }
        word_of(&result, i) = w;
    }
    *left = result;
    return left;
}

Cell* to_block(const Cell* ts, Cell* target) {
    Cell set_copy = *ts;  // the target may be the typeset's own cell
    block::make_at(target, count(&set_copy));
    for (uint32_t id = 1; id <= last_id(); id++)
        if (member(&set_copy, id)) datatype::make_in(target, int32_t(id));
    return target;
}

namespace {

Cell* make_typeset(Cell* proto, Cell* spec, int32_t) {
    if (spec->is(TYPE_TYPESET)) {
        copy_cell(spec, proto);
        return proto;
    }
    if (!spec->is(TYPE_BLOCK)) {
        Cell dt = datatype_cell(TYPE_TYPESET);
        fire("script", "bad-to-arg", &dt, spec);
    }
    Cell ts = make_empty();
    Cell blk = *spec;
    int32_t n = block::length(&blk);
    for (int32_t i = 0; i < n; i++) {
        Cell element = *block::at(&blk, i);
        add_type(&ts, &element);
    }
    *proto = ts;
    return proto;
}

// form and mold: "make typeset! [" and the member names, or the names alone with only.
int32_t write(Cell* ts, Cell* buffer, bool only, Cell* part, int32_t limit) {
    if (!only) {
        string::concatenate_ascii(buffer, "make typeset! [");
        limit -= 15;
    }
    bool wrote = false;
    for (uint32_t id = 1; id <= last_id(); id++) {
        if (!member(ts, id)) continue;
        if (part && limit < 0) return limit;
        const char* name = datatype::row(int32_t(id)).name;
        int32_t len = int32_t(std::strlen(name));
        string::concatenate_ascii(buffer, name, len);
        string::concatenate_ascii(buffer, " ", 1);
        limit -= len + 1;
        wrote = true;
    }
    memory::Buffer* b = memory::buffer_of(buffer->data2);
    if (!only) {
        if (wrote) string::put_char(b->tail_ptr() - b->unit(), b->unit(), ']');
        else string::concatenate_ascii(buffer, "]", 1);
    } else if (wrote) {
        b->tail -= uint32_t(b->unit());
        limit += 1;
    }
    return limit;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) { return write(value, buffer, false, nullptr, limit); }

int32_t mold(Cell* value, Cell* buffer, bool only, bool, bool, Cell* part, int32_t limit, int32_t) {
    return write(value, buffer, only, part, limit);
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_TYPESET)) return -2;
    switch (op) {
        case 0:
        case 1:
        case 2:
        case 9:
        case 12:
            return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3 ? 0 : 1;
        case 7:
        case 8: {
            int32_t x = count(a), y = count(b);
            return x < y ? -1 : x > y ? 1 : 0;
        }
        default:
            return -2;
    }
}

Cell* complement(Cell* ts) {
    ts->data1 = ~ts->data1;
    ts->data2 = ~ts->data2;
    ts->data3 = ~ts->data3;
    return ts;
}

Cell* find(Cell* series, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
    if (!value->is(TYPE_DATATYPE)) fire("script", "invalid-arg", value);
    *series = logic::make(has(series, value->data1));
    return series;
}

Cell* and_t() { return do_bitwise(6); }
Cell* or_t() { return do_bitwise(5); }
Cell* xor_t() { return do_bitwise(7); }

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make_typeset).set<A_TO>(&make_typeset).set<A_FORM>(&form).set<A_MOLD>(&mold);
    a.set<A_COMPARE>(&compare).set<A_AND_T>(&and_t).set<A_COMPLEMENT>(&complement).set<A_OR_T>(&or_t);
    a.set<A_XOR_T>(&xor_t).set<A_FIND>(&find);
    datatype::register_type(TYPE_TYPESET, 0, "typeset!", a);
}

}  // namespace kro::typeset
