#include "datatypes/block.hpp"

#include <algorithm>
#include <cstring>
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
#include "foundation/registry.hpp"
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

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_BLOCK, TYPE_SERIES, "block!", a);
}

}  // namespace kro::block
