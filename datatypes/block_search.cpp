// find, select and sort of block! (inherited by paren!, the paths and hash!).
// Comparison always goes to the compare slot of a value's datatype, with the
// op that says which equality or order is meant.
#include <algorithm>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "foundation/sort.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"

namespace kro::block {

namespace {

constexpr uint32_t CELL = sizeof(Cell);

int32_t full_of(uint32_t node) { return int32_t(memory::buffer_of(node)->used_bytes() / CELL); }
Cell* cell_at(uint32_t node, int32_t i) { return memory::buffer_of(node)->cells() + i; }

enum class Kind { SINGLE, TYPE, TYPESET, SEQUENCE };

// Whether the cells from position p match the value as the search kind says.
// A sequence fails when it would run past `bound` before all its cells matched.
bool matches_at(uint32_t node, int32_t p, const Cell* value, Kind kind, int32_t k, int32_t op, int32_t bound) {
    Cell c = *cell_at(node, p);
    switch (kind) {
        case Kind::TYPE: return c.type() == value->data1;
        case Kind::TYPESET: return args::in_typeset(value, c.type());
        case Kind::SINGLE: {
            Cell v = *value;
            return actions::compare(&c, &v, op);
        }
        case Kind::SEQUENCE: break;
    }
    int32_t vh = series::head_of(value);
    for (int32_t i = 0; i < k; i++) {
        // comparisons run no code, but the lengths are read again all the same
        if (p + i > bound || p + i >= full_of(node) || vh + i >= full_of(value->data2)) return false;
        Cell x = *cell_at(node, p + i);
        Cell y = *cell_at(value->data2, vh + i);
        if (!actions::compare(&x, &y, op)) return false;
    }
    return true;
}

bool same_buffer_series(const Cell* s, const Cell* other) {
    return other->type() == s->type() && other->data2 == s->data2;
}

}  // namespace

int32_t find_index(const Cell* series, const Cell* value, const Search& how) {
    Cell s = *series;
    uint32_t node = s.data2;
    int32_t full = full_of(node);
    if (full == 0) return -1;
    int32_t h = series::head_of(&s);
    if (h >= full && !how.reverse) return -1;

    int32_t skip = 1;
    if (how.skip) {
        if (!how.skip->is(TYPE_INTEGER)) series::bad_refine("skip", how.skip);
        skip = int32_t(how.skip->data2);
        if (skip < 1) fire("script", "out-of-range", how.skip);
    }
    bool has_limit = false;
    int32_t limit = full - 1;
    if (how.part) {
        int64_t l;
        if (how.part->is(TYPE_INTEGER)) {
            int32_t n = int32_t(how.part->data2);
            if (n < 1) return -1;
            l = int64_t(h) + n - 1;
        } else if (same_buffer_series(&s, how.part)) {
            l = series::head_of(how.part);
        } else {
            series::bad_refine("part", how.part);
        }
        limit = int32_t(std::min<int64_t>(l, full - 1));
        has_limit = true;
    }

    Type vt = value->type();
    Kind kind = Kind::SINGLE;
    int32_t k = 1;
    if (!how.only && vt == TYPE_DATATYPE) {
        kind = Kind::TYPE;
    } else if (!how.only && vt == TYPE_TYPESET) {
        kind = Kind::TYPESET;
    } else if (!how.only && series::is_block_kind(vt)) {
        kind = Kind::SEQUENCE;
        k = std::max(series::ks_full_length(value) - series::head_of(value), 0);
    }
    int32_t op = how.case_ ? actions::STRICT_EQUAL : how.same ? actions::SAME : actions::FIND;
    bool backward = how.last || how.reverse;

    // A hash! looks a single value up in its table. A backward search bounded
    // by /part starts at the limit, which the table cannot: it scans instead,
    // so that a hash! answers what a block would.
    bool block_like = series::is_block_kind(vt);
    bool by_table = s.is(TYPE_HASH) && !how.match && (!block_like || (how.same && how.only)) &&
                    kind == Kind::SINGLE && (how.same || vt != TYPE_OBJECT) && !(backward && has_limit);
    if (by_table) {
        Cell* found = hashtable::find(s.data3, value, h, skip, op, how.last, how.reverse);
        if (!found) return -1;
        int32_t p = int32_t(found - cell_at(node, 0));
        if (has_limit && p > limit) return -1;
        if (how.tail) p = std::min(backward ? p + 1 : p + skip, full);
        return p;
    }

    int32_t start, end, step;
    if (!backward) {
        start = h;
        end = limit;
        step = skip;
    } else {
        start = has_limit ? limit : (how.last ? full : h) - k;
        start = std::min(start, full - 1);
        end = 0;
        step = -skip;
        if (start < 0) return -1;
    }
    int32_t bound = backward ? full - 1 : end;
    for (int64_t p = start; backward ? p >= end : p <= end; p += step) {
        if (matches_at(node, int32_t(p), value, kind, k, op, bound)) {
            int64_t at = p;
            if (how.tail) at = kind == Kind::SEQUENCE ? p + k : backward ? p + 1 : p + skip;
            return int32_t(std::min<int64_t>(at, full_of(node)));
        }
        if (how.match) break;
    }
    return -1;
}

Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
    Search how;
    how.part = part;
    how.only = only;
    how.case_ = case_;
    how.same = same;
    how.skip = skip;
    how.last = last;
    how.reverse = reverse;
    how.tail = tail;
    how.match = match;
    int32_t p = find_index(series, value, how);
    if (p < 0) {
        *series = none::value;
    } else {
        series->data1 = uint32_t(p);
    }
    return series;
}

Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
             bool last, bool reverse) {
    Search how;
    how.part = part;
    how.only = only;
    how.case_ = case_;
    how.same = same;
    how.skip = skip;
    how.last = last;
    how.reverse = reverse;
    int32_t p = find_index(series, value, how);
    // after the whole matched sequence: its length, or one cell
    int64_t k = 1;
    if (!only && series::is_block_kind(value->type()))
        k = std::max(series::ks_full_length(value) - series::head_of(value), 0);
    uint32_t node = series->data2;
    if (p < 0 || p + k >= full_of(node)) {
        *series = none::value;
    } else {
        *series = *cell_at(node, int32_t(p + k));
    }
    return series;
}

// ---- sort ------------------------------------------------------------------------------------

int sort_compare(const void* a, const void* b, intptr_t op, uint32_t flags) {
    const Cell* x = static_cast<const Cell*>(a);
    const Cell* y = static_cast<const Cell*>(b);
    if (flags & 1) std::swap(x, y);
    uint32_t first = 0, count = 1;
    if (flags & 2) {
        count = flags >> 2;
    } else {
        first = flags >> 2;
    }
    for (uint32_t i = first; i < first + count; i++) {
        Cell c1, c2;
        std::memcpy(&c1, x + i, CELL);
        std::memcpy(&c2, y + i, CELL);
        auto fn = datatype::action<A_COMPARE>(c1.type());
        int32_t r = fn ? fn(&c1, &c2, int32_t(op)) : -2;
        if (r == -2) r = int32_t(c1.type()) - int32_t(c2.type());
        if (r != 0) return r;
    }
    return 0;
}

namespace {

// The two blocks that carry whole records to a compare function. They are made
// once and kept between sorts in a holder block that hangs off the root block;
// the holder is always found again through the root, whose cells the collector
// keeps current.
int32_t records_at = -1;  // the holder's index in the root block
constexpr uint32_t RECORDS_RELEASE = 0x1FFFFF;  // record bytes past which they are made anew after a sort

Cell records_holder() { return *ks_abs_at(&runtime::root, records_at); }

void make_records(int32_t size) {
    if (records_at < 0) {
        Cell holder;
        make_at(&holder, 2);
        Cell none_cell = none::value;
        ks_append(&holder, &none_cell);
        ks_append(&holder, &none_cell);
        records_at = full_of(runtime::root.data2);
        ks_append(&runtime::root, &holder);
    }
    for (int32_t i = 0; i < 2; i++) {
        Cell* r = cell_at(records_holder().data2, i);
        if (r->is(TYPE_BLOCK) && memory::buffer_of(r->data2)->size / CELL >= uint32_t(size)) continue;
        Cell fresh;
        make_at(&fresh, size);
        *cell_at(records_holder().data2, i) = fresh;
    }
}

// The record block holding a copy of the record's cells; answers the block value.
Cell fill_record(const Cell* holder, const Cell* record, int32_t size) {
    Cell blk = *holder;
    memory::Buffer* b = memory::buffer_of(blk.data2);
    std::memcpy(b->head_ptr(), record, size_t(size) * CELL);
    b->tail = b->offset + uint32_t(size) * CELL;
    blk.data1 = 0;
    return blk;
}

// Whether a sort is using the kept record blocks: a sort that its compare
// function starts takes blocks of its own, or it would overwrite the records
// the outer function is still reading.
bool records_in_use = false;

// After a sort of large records the blocks are made anew, so their memory goes.
struct ReleaseRecords {
    bool wanted = false;
    ~ReleaseRecords() {
        if (!wanted || records_at < 0) return;
        for (int32_t i = 0; i < 2; i++) {
            Cell fresh;
            make_at(&fresh, 1);
            *cell_at(records_holder().data2, i) = fresh;
        }
    }
};

}  // namespace

// What a sort with a compare function hands to each comparison.
struct SortCall {
    gc::Rooted function, first, second;  // first and second: the record blocks (with /all)
    bool kept = false;                   // the blocks are the kept ones
    ~SortCall() {
        if (kept) records_in_use = false;
    }
};

int sort_call(const void* a, const void* b, intptr_t call, uint32_t flags) {
    SortCall* c = reinterpret_cast<SortCall*>(call);
    const Cell* fn = c->function.get();
    const Cell* x = static_cast<const Cell*>(a);
    const Cell* y = static_cast<const Cell*>(b);
    // The function gets the later element first unless the order is reversed.
    if (!(flags & 1)) std::swap(x, y);
    gc::Rooted first, second, result;
    int32_t size = int32_t(flags >> 2);
    if ((flags & 2) && size >= 1) {
        first.cell = fill_record(c->first.get(), x, size);
        second.cell = fill_record(c->second.get(), y, size);
    } else {
        std::memcpy(&first.cell, x, CELL);
        std::memcpy(&second.cell, y, CELL);
    }
    // From here on the elements may move: only the copies are used.
    actions::call_comparator(fn, first.get(), second.get(), result.get());
    const Cell& r = result.cell;
    switch (r.type()) {
        case TYPE_LOGIC: return r.data1 ? 1 : -1;
        case TYPE_INTEGER: return int32_t(r.data2);
        case TYPE_FLOAT: {
            double d = r.get_float();
            return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
        }
        case TYPE_NONE: return -1;
        default: return 1;
    }
}

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable) {
    uint32_t node = series->data2;
    int32_t full = full_of(node);
    int32_t h = series::head_of(series);
    int32_t len = full - h;
    if (len <= 0) return series;
    if (part) {
        int32_t c = series::part_count(series, part);
        if (c < 0) {
            int64_t n = -int64_t(c);
            if (n > h) {
                series->data1 = 0;
                return series;
            }
            h -= int32_t(n);
            series->data1 = uint32_t(h);
            len = int32_t(n);
        } else if (c < len) {
            len = c;
        }
    }
    int32_t size = 1;
    if (skip) {
        if (!skip->is(TYPE_INTEGER)) series::bad_refine("skip", skip);
        size = int32_t(skip->data2);
        if (size < 1 || size > len || len % size != 0) series::bad_refine("skip", skip);
    } else if (all) {
        fire("script", "bad-refines");
    }
    uint32_t flags = reverse ? 1 : 0;
    intptr_t arg = case_ ? actions::CASE_SORT : actions::SORT;
    sort::Compare cmp = &sort_compare;
    if (all) flags |= 2 | (uint32_t(size) << 2);
    ReleaseRecords release;
    SortCall call;
    if (comparator) {
        if (comparator->is(TYPE_FUNCTION)) {
            if (!actions::call_comparator) fire("internal", "feature-na");
            call.function.cell = *comparator;
            arg = reinterpret_cast<intptr_t>(&call);
            cmp = &sort_call;
            if (all && records_in_use) {
                make_at(call.first.get(), size);
                make_at(call.second.get(), size);
            } else if (all) {
                make_records(size);
                call.first.cell = *cell_at(records_holder().data2, 0);
                call.second.cell = *cell_at(records_holder().data2, 1);
                call.kept = records_in_use = true;
                release.wanted = uint64_t(size) * CELL > RECORDS_RELEASE;
            }
        } else if (comparator->is(TYPE_INTEGER)) {
            if (!skip || all) fire("script", "bad-refines");
            int32_t offset = int32_t(comparator->data2);
            if (offset < 1 || offset > size) fire("script", "out-of-range", comparator);
            flags |= uint32_t(offset - 1) << 2;
        } else {
            series::bad_refine("compare", comparator);
        }
    }
    if (len == 0) return series;
    // A compare function may collect: from here on the series is reached
    // through rooted places only.
    gc::Rooted subject(*series);
    uint32_t count = uint32_t(len / size);
    uint32_t width = uint32_t(size) * CELL;
    bool told = series::notify_before(subject.get(), series::Event::SORT, h, len);
    sort::Range r;
    r.count = count;
    r.width = width;
    r.op = arg;
    r.flags = flags;
    r.compare = cmp;
    r.subject = subject.get();
    // the owner's handler may have collected: the node is read from the rooted cell
    sort::SeriesPlace place(subject->data2, uint32_t(h) * CELL, count, width);
    place.attach(r);
    if (stable) {
        sort::merge(r);
    } else {
        sort::quick(r);
    }
    // a hash! indexes positions, which the sort changed
    if (subject->is(TYPE_HASH)) hashtable::rebuild(subject->data3, full_of(subject->data2));
    if (told) series::notify_after(subject.get(), series::Event::SORT, h, len);
    *series = subject.cell;
    return series;
}

}  // namespace kro::block
