#include "datatypes/block.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/sort.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::block {

using memory::Buffer;

namespace {

constexpr uint32_t CELL = sizeof(Cell);

// The runtime's one fixed cell for blocks made without a parent.
Cell fixed_cell{uint32_t(TYPE_NONE), 0, 0, 0};

int32_t full_of(uint32_t node) { return int32_t(memory::buffer_of(node)->used_bytes() / CELL); }
Cell* cell_at(uint32_t node, int32_t i) { return memory::buffer_of(node)->cells() + i; }
uint32_t table_of(const Cell* blk) { return blk->is(TYPE_HASH) ? blk->data3 : 0; }

// Room for n more cells: a buffer too small grows to twice the needed size.
Buffer* room_for(uint32_t node, uint32_t n) {
    Buffer* b = memory::buffer_of(node);
    uint64_t need = uint64_t(b->used_bytes()) + uint64_t(n) * CELL;
    if (uint64_t(b->size) - b->offset < need) {
        if (need * 2 > 0xF0000000u) fire("internal", "no-memory");
        b = memory::grow_series(b, uint32_t(need * 2));
    }
    return b;
}

// Removes the cell at an absolute index (the cells after it move down).
void remove_cell(const Cell* blk, int32_t pos) {
    uint32_t node = blk->data2;
    int32_t full = full_of(node);
    int32_t rest = full - pos - 1;
    uint32_t table = table_of(blk);
    if (table && rest <= 0) hashtable::remove_range(table, pos, 1);
    Buffer* b = memory::buffer_of(node);
    std::memmove(b->cells() + pos, b->cells() + pos + 1, size_t(rest) * CELL);
    b->tail -= CELL;
    if (table && rest > 0 && hashtable::renumber(table, -1, pos + 1, rest, true) == 1)
        hashtable::rebuild(table, full - 1);
}

// The cells of a block from its head, copied out of their buffer.
std::vector<Cell> cells_from_head(const Cell* blk) {
    int32_t h = series::head_of(blk);
    int32_t full = full_of(blk->data2);
    const Cell* base = cell_at(blk->data2, 0);
    return std::vector<Cell>(base + h, base + full);
}

// Position of the first cell equal to the value (op 12 of the value's compare
// slot) from an absolute index, or -1.
int32_t find_equal(uint32_t node, int32_t from, const Cell* value) {
    auto cmp = datatype::action<A_COMPARE>(value->type());
    if (!cmp) return -1;
    for (int32_t i = from; i < full_of(node); i++) {
        Cell c = *cell_at(node, i);
        Cell v = *value;
        if (cmp(&v, &c, actions::FIND) == 0) return i;
    }
    return -1;
}

const Cell* after_match(uint32_t node, int32_t pos) {
    if (pos < 0 || pos + 1 >= full_of(node)) return &none::value;
    return cell_at(node, pos + 1);
}

bool is_number(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

// Values that copy_typed_values replaces by their copies.
bool copied_by_type(uint32_t t) {
    return series::is_series_value(t) || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP;
}

struct DepthScope {
    DepthScope() { mold::depth++; }
    ~DepthScope() { mold::depth--; }
};

}  // namespace

// ---- older short forms ------------------------------------------------------------------

Cell* make_at(Cell* c, int32_t capacity) {
    uint32_t node = memory::new_cells(uint32_t(capacity < 0 ? 1 : capacity));
    *c = Cell{uint32_t(TYPE_BLOCK), 0, node, 0};
    return c;
}

Cell* make_fixed_at(Cell* c, uint32_t capacity) {
    uint32_t node = memory::new_fixed_series(capacity, CELL, 0);
    *c = Cell{uint32_t(TYPE_BLOCK), 0, node, 0};
    return c;
}

Cell* add_cell(Cell* blk) { return series::add_cell(blk->data2); }

int32_t length(const Cell* blk) {
    int32_t n = ks_length_q(blk);
    return n < 0 ? 0 : n;
}

Cell* at(const Cell* blk, int32_t index) { return cell_at(blk->data2, int32_t(blk->data1) + index); }

// ---- accessors ----------------------------------------------------------------------------

int32_t ks_length_q(const Cell* blk) { return full_of(blk->data2) - int32_t(blk->data1); }

bool ks_next(Cell* blk) {
    int32_t full = full_of(blk->data2);
    int32_t h = int32_t(blk->data1);
    if (h + 1 <= full) blk->data1 = uint32_t(h + 1);
    return int32_t(blk->data1) == full;
}

Cell* ks_head(Cell* blk) {
    int32_t full = full_of(blk->data2);
    if (int32_t(blk->data1) > full) blk->data1 = uint32_t(full);
    return cell_at(blk->data2, int32_t(blk->data1));
}

Cell* ks_tail(const Cell* blk) { return memory::buffer_of(blk->data2)->cell_tail(); }

bool ks_tail_q(const Cell* blk) { return int32_t(blk->data1) == full_of(blk->data2); }

Cell* ks_abs_at(const Cell* blk, int32_t index) { return cell_at(blk->data2, index); }

void ks_clear(Cell* blk) {
    Buffer* b = memory::buffer_of(blk->data2);
    uint32_t at = uint32_t(series::head_of(blk)) * CELL;
    b->tail = b->offset + at;
}

void ks_clear_from(Cell* blk, int32_t index) {
    Buffer* b = memory::buffer_of(blk->data2);
    int32_t full = int32_t(b->used_bytes() / CELL);
    b->tail = b->offset + uint32_t(std::clamp(index, 0, full)) * CELL;
}

void ks_remove_last(Cell* blk) {
    Buffer* b = memory::buffer_of(blk->data2);
    if (b->tail - b->offset < CELL) return;
    b->tail -= CELL;
    int32_t full = int32_t(b->used_bytes() / CELL);
    if (int32_t(blk->data1) > full) blk->data1 = uint32_t(full);
}

// ---- appending and inserting ------------------------------------------------------------

Cell* ks_insert_cells(const Cell* blk, int32_t pos, const Cell* cells, int32_t n) {
    uint32_t node = blk->data2;
    if (n <= 0) return cell_at(node, std::clamp(pos, 0, full_of(node)));
    Buffer* b = room_for(node, uint32_t(n));
    int32_t full = int32_t(b->used_bytes() / CELL);
    pos = std::clamp(pos, 0, full);
    Cell* base = b->cells();
    std::memmove(base + pos + n, base + pos, size_t(full - pos) * CELL);
    std::memcpy(base + pos, cells, size_t(n) * CELL);
    b->tail += uint32_t(n) * CELL;
    if (uint32_t table = table_of(blk)) {
        if (hashtable::renumber(table, n, pos, full - pos, true) == 1) {
            hashtable::rebuild(table, full + n);
        } else {
            int32_t status = 0;
            for (int32_t i = 0; i < n && status != 2; i++)
                hashtable::put_with_status(table, cell_at(node, pos + i), &status);
        }
    }
    return cell_at(node, pos);
}

Cell* ks_append(Cell* blk, const Cell* value) {
    Cell v = *value;
    Cell* c = series::add_cell(blk->data2);
    *c = v;
    return c;
}

void ks_append_block(Cell* target, const Cell* source) {
    std::vector<Cell> cells = cells_from_head(source);
    if (cells.empty()) return;
    Buffer* b = room_for(target->data2, uint32_t(cells.size()));
    std::memcpy(b->cell_tail(), cells.data(), cells.size() * CELL);
    b->tail += uint32_t(cells.size()) * CELL;
}

Cell* ks_insert_value(Cell* blk, const Cell* value, bool advance, bool at_start) {
    Cell v = *value;
    Cell b = *blk;
    int32_t pos = at_start ? 0 : series::head_of(&b);
    Cell* c = ks_insert_cells(&b, pos, &v, 1);
    if (advance) blk->data1 = uint32_t(pos + 1);
    return c;
}

void ks_insert_block(Cell* target, const Cell* source) {
    // Taken first: when both share a buffer the gap would move the source's cells.
    std::vector<Cell> cells = cells_from_head(source);
    Cell t = *target;
    int32_t pos = series::head_of(&t);
    if (!cells.empty()) ks_insert_cells(&t, pos, cells.data(), int32_t(cells.size()));
    target->data1 = uint32_t(pos + int32_t(cells.size()));
}

void insert_last() { ks_insert_value(stack::arguments - 1, stack::arguments, true, false); }

namespace {
void append_indexed(Cell* blk, const Cell* value) {
    Cell b = *blk;
    Cell* c = ks_append(blk, value);
    if (uint32_t table = table_of(&b)) hashtable::put(table, c);
}
}  // namespace

void append_second() { append_indexed(stack::arguments, stack::arguments + 1); }

void append_last() {
    Cell* top = stack::top();
    append_indexed(top - 1, top);
}

// ---- lookup -------------------------------------------------------------------------------

const Cell* ks_select(const Cell* blk, const Cell* value) {
    uint32_t node = blk->data2;
    return after_match(node, find_equal(node, series::head_of(blk), value));
}

bool ks_remove_value(Cell* blk, const Cell* value, bool from_start) {
    Cell b = *blk;
    int32_t head = series::head_of(&b);
    int32_t pos = find_equal(b.data2, from_start ? 0 : head, value);
    if (pos < 0) return false;
    remove_cell(&b, pos);
    return pos <= head;
}

const Cell* select_word(const Cell* blk, const Cell* word, bool exact) {
    uint32_t node = blk->data2;
    int32_t sym = int32_t(word->data2);
    for (int32_t i = series::head_of(blk); i < full_of(node); i++) {
        const Cell* c = cell_at(node, i);
        Type t = c->type();
        if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD) continue;
        int32_t s = int32_t(c->data2);
        if (exact ? s == sym : symbol::same_word(s, sym)) return after_match(node, i);
    }
    return &none::value;
}

// ---- creation and copying -------------------------------------------------------------------

Cell* make_unset_at(Cell* c, int32_t n, bool fixed) {
    uint32_t count = uint32_t(n < 1 ? 1 : n);
    uint32_t node = fixed ? memory::new_fixed_series(count, CELL, 0) : memory::new_unset_cells(count);
    *c = Cell{uint32_t(TYPE_BLOCK), 0, node, 0};
    return c;
}

Cell* make_in(Cell* parent, int32_t n) {
    Cell* c = parent ? add_cell(parent) : &fixed_cell;
    return make_unset_at(c, n, true);
}

Cell* push_typed(Cell* parent, int32_t n) {
    Cell* c = parent ? add_cell(parent) : &fixed_cell;
    return make_at(c, n);
}

Cell* push(const Cell* value) { return stack::push(value); }

Cell* push_only(int32_t n) {
    Cell* c = stack::push_cell();
    return make_at(c, n == 0 ? 1 : n);
}

Cell* clone(const Cell* blk, bool deep, bool any) {
    machine_stack::check();
    Cell src = *blk;
    int32_t h = series::head_of(&src);
    int32_t n = full_of(src.data2) - h;
    uint32_t node = memory::new_cells(uint32_t(n < 1 ? 1 : n));
    Buffer* b = memory::buffer_of(node);
    std::memcpy(b->cells(), cell_at(src.data2, h), size_t(n) * CELL);
    b->tail = b->offset + uint32_t(n) * CELL;
    Cell* out = stack::push_cell();  // the data stack never moves
    *out = Cell{uint32_t(src.type()), 0, node, 0};
    if (!deep) return out;
    if (mold::cycle_find(src.data2)) {
        mold::cycle_reset();
        fire("internal", "no-cycle");
    }
    mold::CycleEntry walking(src.data2);
    for (int32_t i = 0; i < n; i++) {
        Cell c = *cell_at(node, i);
        Type t = c.type();
        bool nested = t == TYPE_BLOCK || (any && (t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH)));
        if (!nested) continue;
        Cell copy = *clone(&c, deep, any);
        stack::pop(1);
        copy.header = c.header;
        *cell_at(node, i) = copy;
    }
    return out;
}

void copy_typed_values(Cell* blk, int32_t from, int32_t to, int32_t step, bool deep, Cell* kind) {
    machine_stack::check();  // deep copies come back here for nested values
    uint32_t node = blk->data2;
    gc::Rooted held(*blk);
    if (step < 1) step = 1;
    for (int32_t i = from; i < to && i < full_of(node); i += step) {
        Cell c = *cell_at(node, i);
        uint32_t t = c.type();
        bool in_kind = kind->is(TYPE_TYPESET) ? args::in_typeset(kind, t) : kind->is(TYPE_DATATYPE) && kind->data1 == t;
        if (!in_kind || !copied_by_type(t)) continue;
        gc::Rooted value(c);
        gc::Rooted result;
        actions::copy(value.get(), result.get(), nullptr, deep, deep ? kind : nullptr);
        if (i < full_of(node)) *cell_at(node, i) = result.cell;
    }
}

// ---- text and comparison ----------------------------------------------------------------------

int32_t mold_each(Cell* blk, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
                  int32_t indent) {
    machine_stack::check();
    uint32_t node = blk->data2;
    int32_t first = series::head_of(blk);
    mold::CycleEntry walking(node);
    bool closing = false;
    for (int32_t i = first; i < full_of(node); i++) {
        if (part && limit < 1) break;
        DepthScope depth;
        Cell c = *cell_at(node, i);
        bool is_first = i == first;
        if (!flat && (c.header & FLAG_NEW_LINE)) {
            if (is_first && !only) {
                indent++;
                closing = true;
            }
            if (!(is_first && only)) {
                string::concatenate_ascii(buffer, "\n", 1);
                limit = mold::indent(buffer, indent, limit - 1);
            }
        } else if (!is_first) {
            string::concatenate_ascii(buffer, " ", 1);
            limit--;
        }
        limit = actions::mold(&c, buffer, false, all, flat, part, limit, indent);
    }
    if (closing) {
        string::concatenate_ascii(buffer, "\n", 1);
        limit = mold::indent(buffer, indent - 1, limit - 1);
    }
    return limit;
}

int32_t compare_each(Cell* blk1, Cell* blk2, int32_t op) {
    machine_stack::check();
    Cell a = *blk1, b = *blk2;
    bool same = a.data2 == b.data2 && series::head_of(&a) == series::head_of(&b);
    if (op == actions::SAME) return same ? 0 : -1;
    if (same) return 0;
    if (mold::cycle_find(a.data2)) return mold::cycle_find(b.data2) ? 0 : -1;
    int32_t h1 = series::head_of(&a), h2 = series::head_of(&b);
    int32_t len1 = full_of(a.data2) - h1, len2 = full_of(b.data2) - h2;
    if (len1 != len2 && actions::is_equality_op(op)) return 1;
    if (len1 == 0) return len2 == 0 ? 0 : -1;
    mold::CycleGuard guard;
    mold::cycle_push(a.data2);
    mold::cycle_push(b.data2);
    int32_t n = std::min(len1, len2);
    for (int32_t i = 0; i < n; i++) {
        if (h1 + i >= full_of(a.data2) || h2 + i >= full_of(b.data2)) break;  // shortened by a comparison
        Cell c1 = *cell_at(a.data2, h1 + i), c2 = *cell_at(b.data2, h2 + i);
        uint32_t t1 = c1.type(), t2 = c2.type();
        if (t1 != t2 && !(word::any_word_type(t1) && word::any_word_type(t2)) && !(is_number(t1) && is_number(t2)))
            return t1 < t2 ? -1 : 1;
        int32_t r = actions::compare_values(&c1, &c2, op);
        if (r != 0) return r;
    }
    return len1 < len2 ? -1 : len1 > len2 ? 1 : 0;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    if (mold::cycle_mark(value, buffer, &limit, false)) return limit;
    machine_stack::check();
    uint32_t node = value->data2;
    int32_t first = series::head_of(value);
    mold::CycleEntry walking(node);
    for (int32_t i = first; i < full_of(node); i++) {
        if (part && limit < 1) break;
        if (i > first) {
            int32_t last = string::last_char(buffer);
            if (last != '\t' && last != '\n' && last != '\r') {
                string::concatenate_ascii(buffer, " ", 1);
                limit--;
            }
        }
        Cell c = *cell_at(node, i);
        limit = actions::form(&c, buffer, part, limit);
    }
    return limit;
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
    if (mold::cycle_mark(value, buffer, &limit, true)) return limit;
    if (!only) {
        string::concatenate_ascii(buffer, "[", 1);
        limit--;
    }
    limit = mold_each(value, buffer, only, all, flat, part, limit, indent);
    if (!only) {
        string::concatenate_ascii(buffer, "]", 1);
        limit--;
    }
    return limit;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    uint32_t t1 = value1->type(), t2 = value2->type();
    if (t1 != t2) {
        bool path_pair = (t1 == TYPE_PATH && t2 == TYPE_LIT_PATH) || (t1 == TYPE_LIT_PATH && t2 == TYPE_PATH);
        if (!(path_pair && (op == 10 || op == 11))) return -2;
    }
    return compare_each(value1, value2, op);
}

// ---- construction ------------------------------------------------------------------------

void (*load_text)(const Cell* text, Cell* out) = nullptr;

namespace {

Cell datatype_cell(int32_t type) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0}; }

// A shallow copy of a block-like value's cells from its head.
Cell clone_shallow(const Cell* spec) {
    Cell out = *clone(spec, false, false);
    stack::pop(1);
    return out;
}

// The body of an object! or map! (set-words and values) as its reflect gives it.
Cell body_of(const Cell* spec) {
    gc::Rooted v(*spec);
    Cell* r = actions::get<A_REFLECT>(v.get())(v.get(), symbol::make("body"));
    return *r;
}

// One cell per element of a vector!, from its head.
Cell elements_of(const Cell* vec) {
    gc::Rooted v(*vec);
    int32_t n = std::max(series::ks_full_length(v.get()) - series::head_of(v.get()), 0);
    gc::Rooted out;
    make_at(out.get(), n);
    for (int32_t i = 1; i <= n; i++) {
        Cell e = v.cell;
        Cell* got = series::pick(&e, i, nullptr);
        ks_append(out.get(), got);
    }
    return out.cell;
}

// The datatypes of a typeset!, in id order.
Cell datatypes_of(const Cell* ts) {
    gc::Rooted out;
    make_at(out.get(), 8);
    for (int32_t t = 1; t < TYPE_ID_ROOM; t++) {
        if (!args::in_typeset(ts, uint32_t(t)) || !datatype::registered(t)) continue;
        Cell d = datatype_cell(t);
        ks_append(out.get(), &d);
    }
    return out.cell;
}

}  // namespace

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    Cell result;
    Type t = spec->type();
    if (series::is_block_kind(t)) {
        result = clone_shallow(spec);
    } else if (t == TYPE_INTEGER || t == TYPE_FLOAT) {
        int32_t n = convert::int_of_number(spec);
        make_at(&result, n < 1 ? 1 : n);
    } else if (t == TYPE_OBJECT || t == TYPE_MAP) {
        result = body_of(spec);
    } else if (t == TYPE_VECTOR) {
        result = elements_of(spec);
    } else {
        Cell dt = datatype_cell(type);
        error::bad_make_arg(&dt, spec);
    }
    result.header = uint32_t(type);
    *proto = result;
    return proto;
}

Cell* to(Cell* proto, Cell* spec, int32_t type) {
    Cell result;
    Type t = spec->type();
    if (series::is_block_kind(t)) {
        result = clone_shallow(spec);
    } else if (t == TYPE_OBJECT || t == TYPE_MAP) {
        result = body_of(spec);
    } else if (t == TYPE_VECTOR) {
        result = elements_of(spec);
    } else if (t == TYPE_STRING) {
        if (!load_text) fire("internal", "feature-na");
        gc::Rooted text(*spec), out;
        load_text(text.get(), out.get());
        result = out.cell;
    } else if (t == TYPE_TYPESET) {
        result = datatypes_of(spec);
    } else {
        Cell v = *spec;
        make_at(&result, 1);
        ks_append(&result, &v);
    }
    result.header = uint32_t(type);
    *proto = result;
    return proto;
}

// ---- path steps ---------------------------------------------------------------------------

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, int32_t, bool case_, bool, bool,
                bool) {
    if (element->is(TYPE_INTEGER)) {
        int32_t index = int32_t(element->data2);
        if (!value) {
            Cell p = *parent;
            return series::pick(&p, index, element);
        }
        return actions::poke(parent, index, value);
    }
    Search how;
    how.only = true;
    how.case_ = case_;
    if (!value) {
        if (element->is(TYPE_WORD) && !parent->is(TYPE_HASH))
            return const_cast<Cell*>(select_word(parent, element, case_));
        int32_t p = find_index(parent, element, how);
        return const_cast<Cell*>(after_match(parent->data2, p));
    }
    int32_t p = find_index(parent, element, how);
    if (p < 0) fire("script", "bad-path-set", element);
    gc::Rooted at(*parent);  // the owner's handler run by the poke may collect
    at->data1 = uint32_t(p);
    return actions::poke(at.get(), 2, value);
}

// ---- modifying ------------------------------------------------------------------------------

namespace {

// Sizes past this are refused as internal/no-memory: the arena is 4 GiB.
constexpr uint64_t MAX_BYTES = 0xF0000000u;

// The cells an insertion or a change takes from its value, copied out first:
// the value may lie in the very buffer that is about to move.
// At most `limit` of them when it is not negative: a /part insertion takes
// only what it inserts, not the whole rest of the value.
std::vector<Cell> value_cells(const Cell* value, bool only, int32_t limit = -1) {
    if (!only && series::is_block_kind(value->type())) {
        if (limit < 0) return cells_from_head(value);
        int32_t h = series::head_of(value);
        int32_t full = full_of(value->data2);
        int32_t end = h + std::min(limit, std::max(full - h, 0));
        const Cell* base = cell_at(value->data2, 0);
        return h < end ? std::vector<Cell>(base + h, base + end) : std::vector<Cell>();
    }
    return {*value};
}

// The cells an insertion or a change takes, kept where the collector sees them
// while the owner's handler runs: it may collect, renumber nodes and free what
// only these copies refer to. Unowned series run no handler and hold nothing.
class HeldCells {
public:
    HeldCells(const Cell* series, std::vector<Cell>& cells) : cells_(cells) {
        if (cells.empty() || !series::owned(series)) return;
        held_.node = memory::new_cells(uint32_t(cells.size()));
        Buffer* b = memory::buffer_of(held_.node);
        std::memcpy(b->cells(), cells.data(), cells.size() * CELL);
        b->tail = b->offset + uint32_t(cells.size() * CELL);
    }
    // After the handler: the cells as the collector left them.
    void refresh() {
        if (held_.node) std::memcpy(cells_.data(), memory::buffer_of(held_.node)->cells(), cells_.size() * CELL);
    }

private:
    std::vector<Cell>& cells_;
    gc::RootedNode held_;
};

// n x dup cells, refused past 32 bits.
int32_t repeated(size_t n, int32_t dup) {
    int32_t total = 0;
    if (dup < 0) dup = 0;
    if (n > size_t(INT32_MAX) || __builtin_mul_overflow(int32_t(n), dup, &total)) fire("internal", "no-memory");
    return total;
}

// Room for `bytes` used bytes; when it must grow, to that size or twice it.
Buffer* ensure_room(uint32_t node, uint64_t bytes, bool doubled) {
    if (bytes > MAX_BYTES) fire("internal", "no-memory");
    Buffer* b = memory::buffer_of(node);
    if (uint64_t(b->size) - b->offset >= bytes) return b;
    uint64_t size = doubled && bytes * 2 <= MAX_BYTES ? bytes * 2 : bytes;
    return memory::grow_series(b, uint32_t(size));
}

// Copies n cells to `at` and repeats them until dup copies stand there.
void fill_cells(Cell* at, const std::vector<Cell>& cells, size_t n, int32_t dup) {
    if (n == 0 || dup < 1) return;
    std::memcpy(at, cells.data(), n * CELL);
    if (dup > 1) memory::repeat_fill(reinterpret_cast<uint8_t*>(at), uint32_t(n * CELL), uint32_t(dup));
}

}  // namespace

Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    std::vector<Cell> cells = value_cells(value, only, part);
    size_t n = cells.size();
    if (part >= 0 && size_t(part) < n) n = size_t(part);
    int32_t total = repeated(n, dup);
    uint32_t node = series->data2;
    int32_t h = series::head_of(series);
    int32_t full = full_of(node);
    if (total == 0) {
        series->data1 = uint32_t(append ? 0 : h);
        return series;
    }
    int32_t pos = append || h >= full ? full : h;
    uint64_t need = (uint64_t(full) + uint64_t(total)) * CELL;
    if (need > MAX_BYTES) fire("internal", "no-memory");
    HeldCells held(series, cells);
    series::Notify ev(series, append ? series::Event::APPEND : series::Event::INSERT, append ? full : h, total);
    // The owner's handler may have collected, or moved or shortened the series.
    held.refresh();
    node = series->data2;
    h = series::head_of(series);
    full = full_of(node);
    pos = append || h >= full ? full : h;
    need = (uint64_t(full) + uint64_t(total)) * CELL;
    if (need > MAX_BYTES) fire("internal", "no-memory");
    Buffer* b = ensure_room(node, need, dup < 5);
    Cell* base = b->cells();
    std::memmove(base + pos + total, base + pos, size_t(full - pos) * CELL);
    fill_cells(base + pos, cells, n, dup);
    b->tail += uint32_t(total) * CELL;
    if (uint32_t table = table_of(series)) {
        if (pos < full && hashtable::renumber(table, total, pos, full - pos, true) == 1) {
            hashtable::rebuild(table, full + total);
        } else {
            int32_t status = 0;
            for (int32_t i = 0; i < total && status != 2; i++)
                hashtable::put_with_status(table, cell_at(node, pos + i), &status);
        }
    }
    ev.done();
    series->data1 = uint32_t(append ? 0 : pos + total);
    return series;
}

Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
    std::vector<Cell> cells = value_cells(value, only);
    size_t n = cells.size();
    int32_t inserted = repeated(n, dup);
    uint32_t node = series->data2;
    int32_t h = series::head_of(series);
    int32_t full = full_of(node);
    int32_t rest = full - h;
    int32_t replaced = part >= 0 ? std::min(part, rest) : std::min(inserted, rest);
    int64_t new_full = int64_t(full) - replaced + inserted;
    uint64_t bytes = uint64_t(new_full) * CELL;
    if (bytes > MAX_BYTES) fire("internal", "no-memory");
    HeldCells held(series, cells);
    series::Notify ev(series, series::Event::CHANGE, h, inserted);
    // The owner's handler may have collected, or moved or shortened the series.
    held.refresh();
    node = series->data2;
    h = series::head_of(series);
    full = full_of(node);
    rest = full - h;
    replaced = part >= 0 ? std::min(part, rest) : std::min(inserted, rest);
    new_full = int64_t(full) - replaced + inserted;
    bytes = uint64_t(new_full) * CELL;
    if (bytes > MAX_BYTES) fire("internal", "no-memory");
    // the values replaced stop reporting to the block's owner
    ownership::release_range(series, h, replaced);
    Buffer* b = ensure_room(node, bytes, false);
    Cell* base = b->cells();
    std::memmove(base + h + inserted, base + h + replaced, size_t(full - h - replaced) * CELL);
    b->tail = b->offset + uint32_t(bytes);
    fill_cells(base + h, cells, n, dup);
    if (uint32_t table = table_of(series)) hashtable::rebuild(table, int32_t(new_full));
    ev.done();
    series->data1 = uint32_t(std::min<int64_t>(h + inserted, new_full));
    return series;
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
    // Rooted: the owner's handler may collect and renumber nodes.
    gc::Rooted k(*key), v(*value), s(*series);
    // The key is looked for as one value: put appends it as one cell.
    Search how;
    how.only = true;
    how.case_ = case_;
    int32_t p = find_index(s.get(), k.get(), how);
    int32_t full = full_of(s->data2);
    series::Notify ev(s.get(), series::Event::PUT, p < 0 ? full : p + 1, p < 0 ? 2 : 1);
    // The owner's handler may have changed the series: the key is looked for again.
    p = find_index(s.get(), k.get(), how);
    uint32_t node = s->data2;
    uint32_t table = table_of(s.get());
    full = full_of(node);
    if (p < 0) {
        ks_append(s.get(), k.get());
        ks_append(s.get(), v.get());
        if (table) {
            int32_t status = 0;
            hashtable::put_with_status(table, cell_at(node, full), &status);
            if (status != 2) hashtable::put(table, cell_at(node, full + 1));
        }
        ev.done();
        return value;
    }
    int32_t at = p + 1;
    if (at < full) {
        // Equal is not enough: "ABC" over "abc" must still be written.
        Cell old = *cell_at(node, at);
        if (actions::compare(&old, v.get(), actions::SAME) || actions::compare(&old, v.get(), actions::STRICT_EQUAL)) {
            ev.done();
            return value;
        }
        if (table) hashtable::remove(table, cell_at(node, at));
        copy_cell(v.get(), cell_at(node, at));
    } else {
        ks_append(s.get(), v.get());
    }
    if (table) hashtable::put(table, cell_at(node, at));
    ev.done();
    return value;
}

Cell* swap(Cell* series1, Cell* series2) {
    if (!series::is_block_kind(series2->type())) fire("script", "invalid-arg", series2);
    // Rooted: the owners' handlers may collect and renumber nodes.
    gc::Rooted ra(*series1), rb(*series2);
    Cell* a = ra.get();
    Cell* b = rb.get();
    auto unswappable = [&](int32_t ha, int32_t hb) {
        return ha >= full_of(a->data2) || hb >= full_of(b->data2) || (a->data2 == b->data2 && ha == hb);
    };
    int32_t ha = series::head_of(a), hb = series::head_of(b);
    if (unswappable(ha, hb)) return series1;  // past a tail, or one cell with itself
    series::Notify ea(a, series::Event::SWAP, ha, 1);
    series::Notify eb(b, series::Event::SWAP, hb, 1);
    // the handlers may have shortened either series
    ha = series::head_of(a);
    hb = series::head_of(b);
    if (unswappable(ha, hb)) {
        ea.done();
        eb.done();
        return series1;
    }
    uint32_t ta = table_of(a), tb = table_of(b);
    if (ta) hashtable::remove(ta, cell_at(a->data2, ha));
    if (tb) hashtable::remove(tb, cell_at(b->data2, hb));
    sort::swap(cell_at(a->data2, ha), cell_at(b->data2, hb), CELL);
    if (a->data2 != b->data2) {
        // each value that changed blocks leaves its old block's owner; the new
        // block's owner takes it on when it hears of the swap
        ownership::release_left(a, cell_at(b->data2, hb), 1);
        ownership::release_left(b, cell_at(a->data2, ha), 1);
    }
    if (ta) hashtable::put(ta, cell_at(a->data2, ha));
    if (tb) hashtable::put(tb, cell_at(b->data2, hb));
    ea.done();
    eb.done();
    return series1;
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
    series::take(series, part, false, last);
    if (series->is(TYPE_NONE)) return series;
    uint32_t node = series->data2;
    if (deep) {
        gc::Rooted held(*series);
        for (int32_t i = 0; i < full_of(node); i++) {
            Cell c = *cell_at(node, i);
            if (!series::is_series_value(c.type())) continue;
            gc::Rooted v(c), r;
            actions::copy(v.get(), r.get(), nullptr, true, nullptr);
            *cell_at(node, i) = r.cell;
        }
        *series = held.cell;
        if (uint32_t table = table_of(series)) hashtable::rebuild(table, full_of(node));
    }
    if (!part) *series = *cell_at(node, 0);
    return series;
}

Cell* trim(Cell* series, bool, bool, bool, bool, bool, Cell*) {
    uint32_t node = series->data2;
    int32_t h = series::head_of(series);
    int32_t full = full_of(node);
    if (h >= full) return series;
    series::Notify ev(series, series::Event::TRIM, h, full - h);
    // the owner's handler may have moved or shortened the series
    node = series->data2;
    h = series::head_of(series);
    full = full_of(node);
    Buffer* b = memory::buffer_of(node);
    Cell* base = b->cells();
    int32_t kept = h;
    for (int32_t i = h; i < full; i++) {
        if (base[i].is(TYPE_NONE)) continue;
        if (kept != i) base[kept] = base[i];
        kept++;
    }
    b->tail = b->offset + uint32_t(kept) * CELL;
    if (uint32_t table = table_of(series)) hashtable::rebuild(table, kept);
    ev.done();
    return series;
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    Cell src = *value;
    series::copy(&src, result, part, false, nullptr);
    if (!deep && !types) return result;
    gc::Rooted out(*result);
    if (src.is(TYPE_HASH)) {
        out->set_type(TYPE_BLOCK);
        out->data3 = 0;
    }
    std::optional<mold::CycleEntry> walking;
    if (deep) {
        machine_stack::check();
        if (mold::cycle_find(src.data2)) {
            mold::cycle_reset();
            fire("internal", "no-cycle");
        }
        walking.emplace(src.data2);
    }
    uint32_t node = out->data2;
    int32_t n = full_of(node);
    if (types) {
        copy_typed_values(out.get(), 0, n, 1, deep, types);
    } else {
        for (int32_t i = 0; i < n; i++) {
            Cell c = *cell_at(node, i);
            if (!series::is_series_value(c.type())) continue;
            gc::Rooted v(c), r;
            actions::copy(v.get(), r.get(), nullptr, true, nullptr);
            *cell_at(node, i) = r.cell;
        }
    }
    *result = out.cell;
    return result;
}

// ---- set operations -----------------------------------------------------------------------

namespace {

// A hash of a block-like value's contents that values equal under the set
// operations' comparisons share: its length, and per cell the spelling of a
// word, the (folded) text of a string, the number of an integer or a float, or
// the length of a nested block; any other cell adds nothing, so that the hash
// never tells apart values that compare equal.
uint32_t content_hash(const Cell* v) {
    int32_t h = series::head_of(v);
    int32_t n = std::max(full_of(v->data2) - h, 0);
    uint32_t acc = hash::mix(uint32_t(n));
    for (int32_t i = 0; i < n; i++) {
        Cell c = *cell_at(v->data2, h + i);
        uint32_t t = c.type(), e = 0;
        if ((t >= TYPE_WORD && t <= TYPE_ISSUE) || series::is_text_kind(t)) {
            e = hash::value(&c, false);
        } else if (t == TYPE_INTEGER || t == TYPE_FLOAT) {
            // an integer as the float of its value: 1 and 1.0 hash alike
            Cell f{uint32_t(TYPE_FLOAT), 0, 0, 0};
            f.set_float(t == TYPE_INTEGER ? double(int32_t(c.data2)) : c.get_float());
            e = hash::value(&f, false);
        } else if (series::is_block_kind(t)) {
            e = hash::mix(uint32_t(std::max(full_of(c.data2) - series::head_of(&c), 0)) ^ 0x9E3779B9u);
        }
        acc = hash::mix(acc * 31u + e);
    }
    return acc;
}

// The block-like values of a set from its head, by content hash: the table
// indexes them by identity, while a set operation looks for equal ones.
struct BlockValues {
    int32_t head = 0;
    std::unordered_multimap<uint32_t, int32_t> at;

    void note(const Cell* c, int32_t pos) {
        if (series::is_block_kind(c->type())) at.emplace(content_hash(c), pos);
    }
    void index(const Cell* set) {
        head = series::head_of(set);
        for (int32_t i = head; i < full_of(set->data2); i++) note(cell_at(set->data2, i), i);
    }
    // Whether a record of the set starts with a value equal to v, as a scan by
    // records from the head would find it.
    bool holds(const Cell* set, const Cell* v, int32_t skip, bool case_) const {
        auto [lo, hi] = at.equal_range(content_hash(v));
        for (auto it = lo; it != hi; ++it) {
            int32_t p = it->second;
            if (p < head || (p - head) % skip != 0 || p >= full_of(set->data2)) continue;
            Cell c = *cell_at(set->data2, p), w = *v;
            if (actions::compare(&c, &w, case_ ? actions::STRICT_EQUAL : actions::FIND)) return true;
        }
        return false;
    }
};

// Whether a set holds the value as the first cell of one of its records: a
// block-like value is looked for as one value (through its content), anything
// else through the table.
bool holds_value(const Cell* set, uint32_t table, const BlockValues& blocks, const Cell* value, int32_t skip,
                 bool case_) {
    if (series::is_block_kind(value->type())) return blocks.holds(set, value, skip, case_);
    return hashtable::find(table, value, series::head_of(set), skip, case_ ? actions::STRICT_EQUAL : actions::FIND) !=
           nullptr;
}

}  // namespace

Cell* set_operation(Cell* set1, Cell* set2, bool case_, Cell* skip_arg, int32_t op) {
    int32_t skip = 1;
    if (skip_arg) {
        if (!skip_arg->is(TYPE_INTEGER)) series::bad_refine("skip", skip_arg);
        skip = convert::int_of_number(skip_arg);
        if (skip < 1) series::bad_refine("skip", skip_arg);
    }
    bool two = op != UNIQUE;
    if (op < UNIQUE || op > DIFFERENCE) rt_error::no_switch_match();
    if (two && !series::is_block_kind(set2->type())) fire("script", "invalid-arg", set2);
    gc::Rooted a(*set1), b(two ? *set2 : none::value);
    a->data1 = uint32_t(series::head_of(a.get()));
    if (two) b->data1 = uint32_t(series::head_of(b.get()));
    int32_t room = length(a.get()) + (op == UNION ? length(b.get()) : 0);
    gc::Rooted out;
    make_at(out.get(), room < 1 ? 1 : room);
    gc::RootedNode out_table(hashtable::make(room < 1 ? 1 : room, out.get(), hashtable::HASH));
    // Sets searched against need a table: a hash! has its own.
    auto table_for = [](Cell* set) {
        return set->is(TYPE_HASH) ? set->data3 : hashtable::make(std::max(length(set), 1), set, hashtable::HASH);
    };
    bool test = op == INTERSECT || op == EXCLUDE || op == DIFFERENCE;
    gc::RootedNode table_a(0), table_b(0);
    BlockValues blocks_out, blocks_a, blocks_b;
    if (test) {
        table_b.node = table_for(b.get());
        blocks_b.index(b.get());
    }
    if (op == DIFFERENCE) {
        table_a.node = table_for(a.get());
        blocks_a.index(a.get());
    }

    auto pass = [&](Cell* from, Cell* other, uint32_t other_table, const BlockValues* other_blocks, bool invert) {
        uint32_t node = from->data2;
        for (int32_t i = int32_t(from->data1); i < full_of(node); i += skip) {
            Cell first = *cell_at(node, i);
            if (other && holds_value(other, other_table, *other_blocks, &first, skip, case_) == invert) continue;
            if (holds_value(out.get(), out_table.node, blocks_out, &first, skip, case_)) continue;
            for (int32_t j = 0; j < skip && i + j < full_of(node); j++) {
                Cell c = *cell_at(node, i + j);
                int32_t at = full_of(out->data2);
                ks_append(out.get(), &c);
                hashtable::put(out_table.node, cell_at(out->data2, at));
                blocks_out.note(&c, at);
            }
        }
    };
    switch (op) {
        case UNIQUE: pass(a.get(), nullptr, 0, nullptr, false); break;
        case UNION:
            pass(a.get(), nullptr, 0, nullptr, false);
            pass(b.get(), nullptr, 0, nullptr, false);
            break;
        case INTERSECT: pass(a.get(), b.get(), table_b.node, &blocks_b, false); break;
        case EXCLUDE: pass(a.get(), b.get(), table_b.node, &blocks_b, true); break;
        default:
            pass(a.get(), b.get(), table_b.node, &blocks_b, true);
            pass(b.get(), a.get(), table_a.node, &blocks_a, true);
            break;
    }
    bool hashed = a->is(TYPE_HASH) || (two && b->is(TYPE_HASH));
    *set1 = Cell{uint32_t(hashed ? TYPE_HASH : TYPE_BLOCK), 0, out->data2, hashed ? out_table.node : 0};
    return set1;
}

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_MAKE>(&make)
        .set<A_TO>(&to)
        .set<A_FORM>(&form)
        .set<A_MOLD>(&mold)
        .set<A_EVAL_PATH>(&eval_path)
        .set<A_COMPARE>(&compare)
        .set<A_APPEND>(&insert)
        .set<A_INSERT>(&insert)
        .set<A_CHANGE>(&change)
        .set<A_COPY>(&copy)
        .set<A_FIND>(&find)
        .set<A_PUT>(&put)
        .set<A_SELECT>(&select)
        .set<A_SORT>(&sort)
        .set<A_SWAP>(&swap)
        .set<A_TAKE>(&take)
        .set<A_TRIM>(&trim);
    datatype::register_type(TYPE_BLOCK, TYPE_SERIES, "block!", a);
}

}  // namespace kro::block
