#include "datatypes/series.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/sort.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"
#include "io/random.hpp"

namespace kro::series {

using memory::Buffer;

int shift_of(int unit) {
    switch (unit) {
        case 1: return 0;
        case 2: return 1;
        case 4: return 2;
        case 8: return 3;
        case 16: return 4;
        default: rt_error::no_switch_match();
    }
}

namespace {

// A series buffer found through its node: never keep one of its addresses
// across anything that may grow or move it.
struct View {
    uint32_t node;
    int unit;
    int shift;

    Buffer* buf() const { return memory::buffer_of(node); }
    uint8_t* at(int32_t i) const { return buf()->head_ptr() + (uint64_t(uint32_t(i)) << shift); }
    int32_t full() const {
        Buffer* b = buf();
        return int32_t((b->tail - b->offset) >> shift);
    }
    uint32_t bytes(int32_t n) const { return uint32_t(n) << shift; }
};

View view_of(const Cell* s) {
    Buffer* b = memory::buffer_of(s->data2);
    return View{s->data2, b->unit(), shift_of(b->unit())};
}

uint32_t table_of(const Cell* s) { return s->is(TYPE_HASH) ? s->data3 : 0; }

Cell integer_cell(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }

bool same_buffer_series(const Cell* s, const Cell* other) {
    return other->type() == s->type() && other->data2 == s->data2;
}

// The element at an absolute position as pick answers it: the cell itself for
// the cell kinds, else the element written into out.
Cell* element(const Cell* s, const View& v, int32_t pos, Cell* out) {
    Type t = s->type();
    if (v.unit == 16) return reinterpret_cast<Cell*>(v.at(pos));
    Cell e;
    if (t == TYPE_VECTOR) {
        e = vector::get_value(v.at(pos), v.unit, s->data3);
    } else if (t == TYPE_BINARY) {
        e = integer_cell(*v.at(pos));
    } else {
        e = Cell{uint32_t(TYPE_CHAR), 0, string::get_char(v.at(pos), v.unit), 0};
    }
    *out = e;
    return out;
}

// The absolute position of a 1-based index from the head, or -1 outside the buffer.
int32_t index_position(const Cell* s, const View& v, int32_t index) {
    if (index == 0) return -1;
    int64_t p = int64_t(head_of(s)) + (index > 0 ? int64_t(index) - 1 : int64_t(index));
    return (p < 0 || p >= v.full()) ? -1 : int32_t(p);
}

// Hash tables over blocks whose cells moved: count cells removed at `from`
// (rest cells followed them), or inserted there. A renumbering too large to do
// entry by entry is a rebuild.
void hash_removed_before(uint32_t table, int32_t from, int32_t count, int32_t rest) {
    if (table && rest <= 0) hashtable::remove_range(table, from, count);
}
void hash_removed_after(uint32_t table, int32_t from, int32_t count, int32_t rest, int32_t length) {
    if (!table || rest <= 0) return;
    if (hashtable::renumber(table, -count, from + count, rest, true) == 1) hashtable::rebuild(table, length);
}

[[noreturn]] void expect_series_arg(const Cell* value, int32_t index) {
    Cell name = args::call_name();
    Cell type{uint32_t(TYPE_DATATYPE), uint32_t(value->type()), 0, 0};
    Cell arg = args::argument_word(index);
    fire("script", "expect-arg", &name, &type, &arg);
}

}  // namespace

// ---- cell-level helpers ----------------------------------------------------------------

int32_t ks_full_length(const Cell* s) { return view_of(s).full(); }

int32_t head_of(const Cell* s) {
    int32_t h = int32_t(s->data1);
    if (h < 0) return 0;
    int32_t full = ks_full_length(s);
    return h > full ? full : h;
}

bool ks_tail_q(const Cell* s) { return int32_t(s->data1) >= ks_full_length(s); }

bool ks_skip(Cell* s, int32_t n) {
    int32_t full = ks_full_length(s);
    int64_t h = int64_t(int32_t(s->data1)) + n;
    if (h >= 0 && h <= full) s->data1 = uint32_t(int32_t(h));
    return int32_t(s->data1) >= full;
}

int32_t ks_length(Cell* s, bool from_start) {
    int32_t full = ks_full_length(s);
    int32_t h = int32_t(s->data1);
    if (h > full) {
        s->data1 = uint32_t(full);
        return 0;
    }
    if (from_start || h < 0) return full;
    return full - h;
}

// ---- owner events ----------------------------------------------------------------------
// notify_before, notify_after, owner_of and set_owner are the ownership table's
// (foundation/ownership.cpp).

bool owned(const Cell* s) {
    if (!ownership::table || !is_series_value(s->type())) return false;
    return memory::buffer_of(s->data2)->flags & ownership::FLAG_OWNED;
}

// ---- argument helpers ------------------------------------------------------------------

void bad_refine(const char* refinement, const Cell* arg) {
    Cell w = word::load(refinement);
    fire("script", "invalid-refine-arg", &w, arg);
}

void bad_refinement(const char* refinement, const Cell* arg) {
    Cell r = word::load(refinement);
    r.set_type(TYPE_REFINEMENT);
    fire("script", "invalid-refine-arg", &r, arg);
}

int32_t part_count(const Cell* s, const Cell* part) {
    if (part->is(TYPE_INTEGER)) return convert::int_of_number(part);
    if (same_buffer_series(s, part)) {
        int64_t d = int64_t(head_of(part)) - head_of(s);
        return int32_t(d);
    }
    bad_refine("part", part);
}

// ---- navigation ------------------------------------------------------------------------

Cell* head() {
    Cell* s = stack::arguments;
    s->data1 = 0;
    return s;
}

Cell* tail() {
    Cell* s = stack::arguments;
    s->data1 = uint32_t(ks_full_length(s));
    return s;
}

Cell* head_q() { return logic::box(head_of(stack::arguments) == 0); }

Cell* tail_q() { return logic::box(ks_tail_q(stack::arguments)); }

Cell* index_q() {
    Cell* s = stack::arguments;
    *s = integer_cell(head_of(s) + 1);
    return s;
}

Cell* next() {
    ks_skip(stack::arguments, 1);
    return stack::arguments;
}

Cell* back() {
    Cell* s = stack::arguments;
    int32_t h = head_of(s);
    if (h > 0) s->data1 = uint32_t(h - 1);
    return s;
}

namespace {

Cell* at_or_skip(bool at) {
    Cell* s = stack::arguments;
    const Cell* arg = s + 1;
    if (!arg->is(TYPE_INTEGER)) fire("script", "invalid-arg", arg);
    int64_t n = convert::int_of_number(arg);
    int64_t h = head_of(s);
    int64_t target = at ? (n >= 1 ? h + n - 1 : h + n) : h + n;
    int64_t full = ks_full_length(s);
    s->data1 = uint32_t(std::clamp<int64_t>(target, 0, full));
    return s;
}

}  // namespace

Cell* at() { return at_or_skip(true); }
Cell* skip() { return at_or_skip(false); }

int32_t length_q(Cell* s) { return ks_length(s, false); }

// ---- elements --------------------------------------------------------------------------

// The action's index number counts a float as 0: the float itself is read here.
int32_t element_index(int32_t index, const Cell* boxed) {
    return boxed && boxed->is(TYPE_FLOAT) ? convert::int_of_number(boxed) : index;
}

Cell* pick(Cell* s, int32_t index, Cell* boxed) {
    index = element_index(index, boxed);
    View v = view_of(s);
    int32_t pos = index_position(s, v, index);
    if (pos < 0) return const_cast<Cell*>(&none::value);
    return element(s, v, pos, s);
}

Cell* poke(Cell* s, int32_t index, Cell* value, Cell* boxed) {
    index = element_index(index, boxed);
    View v = view_of(s);
    int32_t pos = index_position(s, v, index);
    if (pos < 0) {
        Cell i = integer_cell(index);
        fire("script", "out-of-range", &i);
    }
    Type t = s->type();
    // The value may lie in this very buffer; rooted, as the owner's handler may collect.
    gc::Rooted held(*value);
    const Cell& val = held.cell;
    // Checked before anything changes, so that a refused value leaves the series as it was.
    if (t == TYPE_BINARY) {
        if (!val.is(TYPE_INTEGER) && !val.is(TYPE_CHAR)) fire("script", "invalid-arg", value);
    } else if (t == TYPE_VECTOR) {
        if (!vector::fits(&val, s->data3)) {
            Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(val.type()), 0, 0};
            fire("script", "invalid-type", &dt);
        }
    } else if (v.unit != 16) {
        if (!val.is(TYPE_CHAR)) fire("script", "invalid-arg", value);
    }
    Notify ev(s, Event::POKE, pos, 1);
    // The owner's handler may have moved the series, or shortened it past the index.
    v = view_of(s);
    pos = index_position(s, v, index);
    if (pos < 0) {
        Cell i = integer_cell(index);
        fire("script", "out-of-range", &i);
    }
    if (v.unit == 16) {
        uint32_t table = table_of(s);
        if (table) hashtable::remove(table, reinterpret_cast<Cell*>(v.at(pos)));
        copy_cell(held.get(), reinterpret_cast<Cell*>(v.at(pos)));
        if (table) hashtable::put(table, reinterpret_cast<Cell*>(v.at(pos)));
    } else if (t == TYPE_VECTOR) {
        vector::set_value(&val, v.at(pos), v.unit, s->data3);
    } else if (t == TYPE_BINARY) {
        *v.at(pos) = uint8_t(val.data2);
    } else {
        uint32_t cp = val.data2;
        int need = cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4;
        if (need > v.unit) {
            string::widen(v.buf(), v.unit, need);
            v = view_of(s);
        }
        string::put_char(v.at(pos), v.unit, cp);
    }
    ev.done();
    return value;
}

// ---- modifying -------------------------------------------------------------------------

Cell* clear(Cell* s) {
    View v = view_of(s);
    int32_t h = head_of(s);
    int32_t n = v.full() - h;
    if (n > 0) {
        Notify ev(s, Event::CLEAR, h, n);
        // the owner's handler may have moved or changed the series
        v = view_of(s);
        h = head_of(s);
        n = v.full() - h;
        if (n > 0) {
            if (uint32_t table = table_of(s)) hashtable::remove_range(table, h, n);
            Buffer* b = v.buf();
            b->tail = b->offset + v.bytes(h);
        }
        ev.done();
    }
    return s;
}

Cell* remove(Cell* s, Cell* part, Cell* key) {
    int32_t count = 1;
    if (part) {
        count = part_count(s, part);
        if (count < 1) return s;
    }
    int32_t start = head_of(s);
    if (key) {
        gc::Rooted found(*s);
        actions::find(found.get(), key, nullptr, false, true, false, false, nullptr, nullptr, false, false, false,
                      false);
        if (found->is(TYPE_NONE)) {
            *s = none::value;
            return s;
        }
        start = head_of(found.get());
        count += 1;  // the key and the value after it
    }
    View v = view_of(s);
    int32_t full = v.full();
    if (start < full) {
        if (count > full - start) count = full - start;
        int32_t rest = full - start - count;
        Notify ev(s, Event::REMOVE, start, count);
        // the owner's handler may have moved the series or shortened it
        v = view_of(s);
        full = v.full();
        if (start > full) start = full;
        if (count > full - start) count = full - start;
        rest = full - start - count;
        uint32_t table = table_of(s);
        hash_removed_before(table, start, count, rest);
        Buffer* b = v.buf();
        std::memmove(v.at(start), v.at(start + count), v.bytes(rest));
        b->tail -= v.bytes(count);
        hash_removed_after(table, start, count, rest, full - count);
        ev.done();
    }
    return s;
}

Cell* reverse(Cell* s, Cell* part, Cell* skip) {
    View v = view_of(s);
    int32_t h = head_of(s);
    int32_t count = v.full() - h;
    if (count <= 0) return s;
    if (part) {
        int32_t c = part_count(s, part);
        if (c < 1) return s;
        if (c < count) count = c;
    }
    int32_t size = 1;
    if (skip) {
        if (!skip->is(TYPE_INTEGER)) bad_refine("skip", skip);
        size = convert::int_of_number(skip);
        if (size == count) return s;
        if (size < 1) fire("script", "out-of-range", skip);
        if (size > count || count % size != 0) bad_refine("skip", skip);
    }
    Notify ev(s, Event::REVERSE, h, count);
    // the owner's handler may have moved the series or shortened it: whole records only
    v = view_of(s);
    h = head_of(s);
    count = std::min(count, v.full() - h);
    uint32_t table = table_of(s);
    int32_t records = count / size;
    uint32_t width = v.bytes(size);
    for (int32_t i = 0, j = records - 1; i < j; i++, j--) {
        int32_t a = h + i * size, b = h + j * size;
        if (table) {
            for (int32_t k = 0; k < size; k++) {
                hashtable::remove(table, reinterpret_cast<Cell*>(v.at(a + k)));
                hashtable::remove(table, reinterpret_cast<Cell*>(v.at(b + k)));
            }
        }
        sort::swap(v.at(a), v.at(b), width);
        if (table) {
            for (int32_t k = 0; k < size; k++) {
                hashtable::put(table, reinterpret_cast<Cell*>(v.at(a + k)));
                hashtable::put(table, reinterpret_cast<Cell*>(v.at(b + k)));
            }
        }
    }
    ev.done();
    return s;
}

namespace {

// The units take removes: start and count from the series as it stands;
// false when nothing lies after the head.
bool take_span(const Cell* s, const Cell* part, bool last, int32_t& start, int32_t& count) {
    int32_t h = head_of(s);
    int32_t full = ks_full_length(s);
    int32_t remaining = full - h;
    start = h;
    count = 0;
    if (remaining <= 0) return false;
    start = last ? full - 1 : h;
    count = 1;
    if (part) {
        if (part->is(TYPE_INTEGER)) {
            int32_t n = convert::int_of_number(part);
            if (n < 0) {
                // the units just before the head; none with /last
                count = last ? 0 : int32_t(std::min<int64_t>(-int64_t(n), h));
                start = h - count;
            } else {
                count = std::min(n, remaining);
                start = last ? full - count : h;
            }
        } else if (same_buffer_series(s, part)) {
            int32_t p = head_of(part);
            if (last) {
                count = std::min(std::max(full - p, 0), remaining);
                start = full - count;
            } else {
                count = std::max(p - h, 0);
                start = h;
            }
        } else {
            bad_refine("part", part);
        }
    }
    return true;
}

}  // namespace

Cell* take(Cell* s, Cell* part, bool, bool last) {
    int32_t start, count;
    if (!take_span(s, part, last, start, count)) {
        *s = none::value;
        return s;
    }
    // A count of 0 takes nothing: the result is an empty series, the source unchanged.
    Notify ev(s, Event::TAKE, start, count);
    // The owner's handler may have changed the series: the span is taken from what it holds now.
    take_span(s, part, last, start, count);
    uint32_t node = copy_range(s, uint32_t(start), uint32_t(count));
    View v = view_of(s);
    int32_t full = v.full();
    int32_t rest = full - start - count;
    uint32_t table = table_of(s);
    if (count > 0) {
        hash_removed_before(table, start, count, rest);
        Buffer* b = v.buf();
        if (rest > 0) std::memmove(v.at(start), v.at(start + count), v.bytes(rest));
        b->tail -= v.bytes(count);
        hash_removed_after(table, start, count, rest, full - count);
    }
    Cell result{uint32_t(s->type()), 0, node, s->is(TYPE_VECTOR) ? s->data3 : 0};
    if (table) {
        gc::Rooted held(result);
        held->data3 = hashtable::make(count, held.get(), hashtable::HASH);
        result = held.cell;
    }
    *s = result;
    ev.done();
    return s;
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool, Cell*) {
    View v = view_of(value);
    int32_t h = head_of(value);
    int32_t full = v.full();
    int64_t start = h;
    int64_t count = full - h;
    if (part) {
        int64_t n;
        if (part->is(TYPE_PAIR)) {
            int64_t x = int32_t(part->data2), y = int32_t(part->data3);
            start = std::max<int64_t>(x < 0 ? h + x : h + x - 1, 0);
            count = std::max<int64_t>(y - x, 0);
        } else {
            n = part_count(value, part);
            if (n < 0) {
                // backwards from the head, no further than index 0
                start = std::max<int64_t>(h + n, 0);
                count = h - start;
            } else {
                count = n;
            }
        }
        start = std::min<int64_t>(start, full);
        count = std::min<int64_t>(count, full - start);
    }
    Cell src = *value;
    uint32_t node = copy_range(&src, uint32_t(start), uint32_t(count));
    *result = Cell{uint32_t(src.type()) | (src.header & FLAG_NEW_LINE), 0, node,
                   src.is(TYPE_VECTOR) ? src.data3 : 0};
    return result;
}

namespace {

bool wide_text_only(Type t) { return t == TYPE_BINARY || t == TYPE_VECTOR; }

// Moves count units from the origin's head into another series at its head.
void move_between(Cell* origin, Cell* target, int32_t oh, int32_t count) {
    Type ot = origin->type(), tt = target->type();
    bool origin_cells = view_of(origin).unit == 16, target_cells = view_of(target).unit == 16;
    if (origin_cells != target_cells || (is_block_kind(ot) != is_block_kind(tt))) {
        Cell a{uint32_t(TYPE_DATATYPE), uint32_t(ot), 0, 0}, b{uint32_t(TYPE_DATATYPE), uint32_t(tt), 0, 0};
        fire("script", "move-bad", &a, &b);
    }
    if (view_of(origin).unit != view_of(target).unit && (wide_text_only(ot) || wide_text_only(tt))) {
        Cell a{uint32_t(TYPE_DATATYPE), uint32_t(ot), 0, 0}, b{uint32_t(TYPE_DATATYPE), uint32_t(tt), 0, 0};
        fire("script", "move-bad", &a, &b);
    }
    Notify ev(origin, Event::MOVE, oh, count);
    // The target's owner hears of the units coming in, as the origin's hears
    // of them leaving.
    Notify arriving(target, Event::MOVE, head_of(target), count);
    // The owners' handlers may have moved both series, changed the origin or
    // widened its text: everything is read afresh.
    View o = view_of(origin);
    View t = view_of(target);
    if (t.unit < o.unit) {
        string::widen(t.buf(), t.unit, o.unit);
        t = view_of(target);
    }
    int32_t ofull = o.full();
    oh = head_of(origin);
    count = std::min(count, ofull - oh);
    int32_t th = head_of(target);
    int32_t tfull = t.full();
    // room for the units at the target's width
    uint64_t need = uint64_t(t.buf()->used_bytes()) + t.bytes(count);
    if (uint64_t(t.buf()->size) - t.buf()->offset < need) {
        if (need * 2 > 0xF0000000u) fire("internal", "no-memory");
        memory::grow_series(t.buf(), uint32_t(need * 2));
    }
    Buffer* tb = t.buf();
    std::memmove(t.at(th + count), t.at(th), t.bytes(tfull - th));
    tb->tail += t.bytes(count);
    if (o.unit == t.unit) {
        std::memcpy(t.at(th), o.at(oh), t.bytes(count));
    } else {
        for (int32_t i = 0; i < count; i++)
            string::put_char(t.at(th + i), t.unit, string::get_char(o.at(oh + i), o.unit));
    }
    if (uint32_t table = table_of(target)) {
        int32_t status = 0;
        if (hashtable::renumber(table, count, th, tfull - th, true) == 1) {
            hashtable::rebuild(table, tfull + count);
        } else {
            for (int32_t i = 0; i < count && status != 2; i++)
                hashtable::put_with_status(table, reinterpret_cast<Cell*>(t.at(th + i)), &status);
        }
    }
    int32_t rest = ofull - oh - count;
    uint32_t otable = table_of(origin);
    hash_removed_before(otable, oh, count, rest);
    std::memmove(o.at(oh), o.at(oh + count), o.bytes(rest));
    o.buf()->tail -= o.bytes(count);
    hash_removed_after(otable, oh, count, rest, ofull - count);
    // what left an owned block leaves its owner, so that the target's may take it
    if (is_block_kind(ot)) ownership::release_left(origin, reinterpret_cast<Cell*>(t.at(th)), count);
    ev.done();
    arriving.done();
}

// A move within one buffer: the target position, or the value move answers
// when nothing moves.
Cell* same_buffer_plan(Cell* origin, Cell* target, int32_t count, int32_t oh, int32_t full, int32_t& t) {
    t = std::min(head_of(target), full);
    if (count < 1 || t == oh) return target;
    if (t > oh && t != full && full - t < count) return origin;
    // A target inside the moved range: the units are already where they would go.
    if (t > oh && t < oh + count) return target;
    return nullptr;
}

}  // namespace

Cell* move(Cell* origin, Cell* target, Cell* part) {
    if (!is_series_value(target->type())) expect_series_arg(target, 1);
    int32_t oh = head_of(origin);
    View v = view_of(origin);
    int32_t full = v.full();
    if (oh >= full) return target;
    int32_t count = 1;
    if (part) {
        if (!part->is(TYPE_INTEGER)) bad_refine("part", part);
        count = convert::int_of_number(part);
        if (count < 1) return target;
    }
    if (count > full - oh) count = full - oh;
    if (origin->data2 != target->data2) {
        move_between(origin, target, oh, count);
        return target;
    }
    int32_t t = 0;
    if (Cell* unmoved = same_buffer_plan(origin, target, count, oh, full, t)) return unmoved;
    Notify ev(origin, Event::MOVE, t - count, count);
    // The owner's handler may have moved or changed the series: planned again.
    v = view_of(origin);
    oh = head_of(origin);
    full = v.full();
    count = std::min(count, full - oh);
    if (Cell* unmoved = same_buffer_plan(origin, target, count, oh, full, t)) {
        ev.done();
        return unmoved;
    }
    std::vector<uint8_t> held(v.at(oh), v.at(oh) + v.bytes(count));
    uint32_t table = table_of(origin);
    if (t < oh) {
        std::memmove(v.at(t + count), v.at(t), v.bytes(oh - t));
        std::memcpy(v.at(t), held.data(), held.size());
        if (table) hashtable::move(table, t, oh, count);
    } else if (t == full) {
        std::memmove(v.at(oh), v.at(oh + count), v.bytes(full - oh - count));
        std::memcpy(v.at(full - count), held.data(), held.size());
        if (table) hashtable::move(table, full, oh, count);
    } else {
        // the units after the range up to and including the target's close up
        int32_t n = t + 1 - (oh + count);
        std::memmove(v.at(oh), v.at(oh + count), v.bytes(n));
        std::memcpy(v.at(oh + n), held.data(), held.size());
        if (table) hashtable::move(table, t + 1, oh, count);
    }
    ev.done();
    return target;
}

Cell* random(Cell* value, bool seed, bool secure, bool only) {
    View v = view_of(value);
    int32_t h = head_of(value);
    int32_t full = v.full();
    int32_t n = full - h;
    if (seed) {
        random::seed(hash::murmur3(v.at(h), v.bytes(n)));
        *value = unset::value;
        return value;
    }
    if (only) {
        if (n <= 0) {
            *value = none::value;
            return value;
        }
        int32_t pos = h + random::range(secure, n) - 1;
        Cell* e = element(value, v, pos, value);
        if (e != value) copy_cell(e, value);
        return value;
    }
    if (n <= 0) return value;
    Notify ev(value, Event::RANDOM, h, n);
    // the owner's handler may have moved or changed the series
    v = view_of(value);
    h = head_of(value);
    full = v.full();
    uint32_t width = v.bytes(1);
    for (int32_t i = h; i < full; i++) {
        int32_t m = random::range(secure, full - i);
        if (m > 1) sort::swap(v.at(i), v.at(i + m - 1), width);
    }
    // the table indexes positions, which the shuffle changed
    if (uint32_t table = table_of(value)) hashtable::rebuild(table, full);
    ev.done();
    return value;
}

Cell* reflect(Cell* value, int32_t field) {
    if (symbol::same_word(field, symbol::make("owned"))) {
        *value = owner_of(value);
        return value;
    }
    fire("internal", "not-done");
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
    if (word::any_word_type(field->type()) && symbol::same_word(int32_t(field->data2), symbol::make("owned")))
        set_owner(target, value);
    return value;
}

void init() {
    ActionList a;
    a.set<A_RANDOM>(&random)
        .set<A_REFLECT>(&reflect)
        .set<A_AT>(&at)
        .set<A_BACK>(&back)
        .set<A_CLEAR>(&clear)
        .set<A_COPY>(&copy)
        .set<A_HEAD>(&head)
        .set<A_HEAD_Q>(&head_q)
        .set<A_INDEX_Q>(&index_q)
        .set<A_LENGTH_Q>(&length_q)
        .set<A_MOVE>(&move)
        .set<A_NEXT>(&next)
        .set<A_PICK>(&pick)
        .set<A_POKE>(&poke)
        .set<A_REMOVE>(&remove)
        .set<A_REVERSE>(&reverse)
        .set<A_SKIP>(&skip)
        .set<A_TAIL>(&tail)
        .set<A_TAIL_Q>(&tail_q)
        .set<A_TAKE>(&take)
        .set<A_MODIFY>(&modify);
    datatype::register_type(TYPE_SERIES, 0, "series!", a);
}

}  // namespace kro::series

// ---- routines --------------------------------------------------------------------------------

namespace {

// Whether changes to a series reach an owner: the library's bulk edits keep to
// one change per value for those, as their handlers expect.
void owned_q() {
    kro::logic::box(kro::series::owned(kro::stack::arguments));
    kro::stack::keep();
}

void install() { kro::routines::add("series-owned?", &owned_q); }

}  // namespace

KRO_ROUTINE_GROUP(install);
