#include "datatypes/context.hpp"

#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/arena.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/stack.hpp"

namespace kro::context {

uint32_t global = 0;

void (*on_change)(const Cell* owner, const Cell* word, const Cell* old_value, const Cell* new_value) = nullptr;

namespace {

using memory::Buffer;

constexpr uint32_t BIND_DEPTH_LIMIT = 1000;

inline bool bindable(Type t) { return t >= TYPE_WORD && t <= TYPE_REFINEMENT; }

inline bool nested(Type t) {
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
        case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
            return true;
        default:
            return false;
    }
}

int32_t self_symbol() {
    static int32_t id = 0;
    if (!id) id = symbol::make("self");
    return id;
}

inline bool spelled_self(const Cell* word) { return symbol::same_word(int32_t(word->data2), self_symbol()); }

// Makes sure the values block has a cell for a slot; new cells are unset.
Cell* value_slot(uint32_t ctx, int32_t slot) {
    uint32_t node = cell_of(ctx)->data2;
    Cell blk{uint32_t(TYPE_BLOCK), 0, node, 0};
    uint32_t have = memory::buffer_of(node)->used_bytes() / sizeof(Cell);
    for (; have <= uint32_t(slot); have++) copy_cell(&unset::value, block::add_cell(&blk));
    return memory::buffer_of(node)->cells() + slot;
}

// The word position a lookup found, turned into its value slot.
inline int32_t slot_at(uint32_t ctx, int32_t position) {
    return position < 0 ? -1 : int32_t(word_at(ctx, position)->data3);
}

// Series being bound right now, so that a block inside itself is walked once.
std::vector<uint32_t>& binding() {
    static auto* v = new std::vector<uint32_t>();
    return *v;
}

void bind_series(const Cell* series, uint32_t ctx, bool self) {
    uint32_t node = series->data2;
    auto& walking = binding();
    for (uint32_t n : walking)
        if (n == node) return;
    if (walking.size() >= BIND_DEPTH_LIMIT) {
        walking.clear();
        fire("internal", "too-deep");
    }
    walking.push_back(node);
    struct Pop {
        ~Pop() { if (!binding().empty()) binding().pop_back(); }
    } pop;
    uint32_t head = series->data1;
    for (uint32_t i = head;; i++) {
        Buffer* b = memory::buffer_of(node);
        if (i >= b->used_bytes() / sizeof(Cell)) break;
        Cell* c = b->cells() + i;
        Type t = c->type();
        if (bindable(t)) {
            if (self && t == TYPE_WORD && spelled_self(c)) {
                c->data1 = ctx;
                c->data3 = uint32_t(-1);
            } else {
                bind_word(ctx, c);
            }
        } else if (nested(t)) {
            Cell inner = *c;
            bind_series(&inner, ctx, self);
        }
    }
}

}  // namespace

void init() {
    ActionList none_supported;
    datatype::register_type(TYPE_CONTEXT, 0, "context!", none_supported);
}

void init_global() { global = create(GLOBAL_SIZE, false, false, 0, GLOBAL); }

// ---- parts -------------------------------------------------------------------------

Cell* cell_of(uint32_t ctx) { return memory::buffer_of(ctx)->cells(); }
Cell* owner(uint32_t ctx) { return cell_of(ctx) + 1; }
Kind kind_of(uint32_t ctx) { return Kind((cell_of(ctx)->header & KIND_MASK) >> KIND_SHIFT); }
bool on_stack(uint32_t ctx) { return cell_of(ctx)->header & FLAG_ON_STACK; }
uint32_t table_of(uint32_t ctx) { return cell_of(ctx)->data1; }
uint32_t words_of(uint32_t ctx) { return hashtable::record(table_of(ctx))->data; }
int32_t word_count(uint32_t ctx) { return int32_t(memory::buffer_of(words_of(ctx))->used_bytes() / sizeof(Cell)); }
Cell* word_at(uint32_t ctx, int32_t index) { return memory::buffer_of(words_of(ctx))->cells() + index; }

Cell* values(uint32_t ctx) {
    Cell* c = cell_of(ctx);
    if (!c->data2) return nullptr;
    if (c->header & FLAG_ON_STACK) return arena::ptr<Cell>(c->data2);
    return memory::buffer_of(c->data2)->cells();
}

// ---- making ---------------------------------------------------------------------------

uint32_t create(int32_t size, bool stack_values, bool built, uint32_t source, Kind kind) {
    if (size <= 0) size = 1;
    uint32_t table = source ? hashtable::copy(table_of(source)) : hashtable::make(size, nullptr, hashtable::NAMES);
    gc::RootedNode keep_table(table);
    uint32_t vals = stack_values ? 0 : memory::new_unset_cells(uint32_t(size));
    gc::RootedNode keep_values(vals);
    uint32_t node = memory::new_cells(2);
    Buffer* b = memory::buffer_of(node);
    b->tail = b->offset + 2 * sizeof(Cell);
    uint32_t header = uint32_t(TYPE_CONTEXT) | (uint32_t(kind) << KIND_SHIFT);
    if (stack_values) header |= FLAG_ON_STACK;
    if (built) header |= FLAG_BUILT;
    Cell* c = b->cells();
    c[0] = Cell{header, table, vals, 0};
    c[1] = unset::value;
    if (source) {
        // the copied words belong to the new context
        int32_t n = word_count(node);
        for (int32_t i = 0; i < n; i++) word_at(node, i)->data1 = node;
    }
    return node;
}

uint32_t make_from_spec(const Cell* spec, bool stack_values, bool built, Kind kind) {
    gc::Rooted s(*spec);
    uint32_t ctx = create(block::length(s.get()), stack_values, built, 0, kind);
    gc::RootedNode keep(ctx);
    int32_t slots = 0;
    for (int32_t i = 0; i < block::length(s.get()); i++) {
        Cell* c = block::at(s.get(), i);
        Type t = c->type();
        if (t != TYPE_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD && t != TYPE_REFINEMENT) continue;
        int32_t slot;
        find_symbol_slot(ctx, int32_t(c->data2), true, &slot);
        slots++;
    }
    if (!stack_values && slots > 0) value_slot(ctx, slots - 1);
    return ctx;
}

uint32_t clone(Cell* value, Kind kind) {
    uint32_t src = value->data1;
    Cell* c = cell_of(src);
    bool stack_values = c->header & FLAG_ON_STACK;
    bool built = c->header & FLAG_BUILT;
    uint32_t node = create(word_count(src), stack_values, built, src, kind);
    value->data1 = node;
    return node;
}

bool collect_set_words(uint32_t ctx, Cell* blk) {
    Buffer* b = memory::buffer_of(blk->data2);
    uint32_t total = b->used_bytes() / sizeof(Cell);
    if (blk->data1 > total) blk->data1 = total;
    bool gained = false;
    for (int32_t i = 0; i < block::length(blk); i++) {
        Cell* c = block::at(blk, i);
        if (!c->is(TYPE_SET_WORD)) continue;
        Cell w = *c;
        if (find_symbol(ctx, int32_t(w.data2), true) >= 0) continue;
        add(ctx, &w);
        gained = true;
    }
    return gained;
}

// ---- finding and binding ------------------------------------------------------------------

int32_t find_symbol(uint32_t ctx, int32_t sym, bool caseless) {
    int32_t pos = hashtable::put_context_word(table_of(ctx), sym, caseless, 0, nullptr);
    return slot_at(ctx, pos);
}

int32_t find_symbol_slot(uint32_t ctx, int32_t sym, bool caseless, int32_t* slot) {
    int32_t added = -1;
    int32_t pos = hashtable::put_context_word(table_of(ctx), sym, caseless, ctx, &added);
    if (pos >= 0) {
        *slot = slot_at(ctx, pos);
        return *slot;
    }
    *slot = added;
    return -1;
}

int32_t add(uint32_t ctx, const Cell* word) {
    int32_t slot;
    if (find_symbol_slot(ctx, int32_t(word->data2), true, &slot) == -1 && !on_stack(ctx)) value_slot(ctx, slot);
    return slot;
}

int32_t add_word(uint32_t ctx, const Cell* word, Cell* dst) {
    if (find_symbol(ctx, int32_t(word->data2), true) >= 0) return 0;
    add(ctx, word);
    copy_cell(&unset::value, dst);
    return 1;
}

void get_or_add_value(uint32_t ctx, const Cell* word, Cell* dst) {
    int32_t slot = find_symbol(ctx, int32_t(word->data2), true);
    if (slot < 0) {
        add(ctx, word);
        copy_cell(&unset::value, dst);
        return;
    }
    Cell w{uint32_t(TYPE_WORD), ctx, word->data2, uint32_t(slot)};
    copy_cell(value_cell(&w, ctx), dst);
}

int32_t bind_word(uint32_t ctx, Cell* word) {
    int32_t slot = find_symbol(ctx, int32_t(word->data2), true);
    if (slot >= 0) {
        word->data1 = ctx;
        word->data3 = uint32_t(slot);
    }
    return slot;
}

Cell* bind(Cell* blk, uint32_t ctx, bool self) {
    Cell b = *blk;
    bind_series(&b, ctx, self);
    return blk;
}

Cell* find_value(int32_t sym, uint32_t ctx) {
    if (on_stack(ctx)) ctx = global;
    int32_t slot = find_symbol(ctx, sym, true);
    if (slot < 0) return nullptr;
    return value_slot(ctx, slot);
}

// ---- values ---------------------------------------------------------------------------------

Cell* value_cell(const Cell* word, uint32_t ctx) {
    int32_t slot = int32_t(word->data3);
    if (!ctx) fire("script", "not-defined", word);
    if (slot == -1) {
        if (spelled_self(word)) return owner(ctx);
        fire("script", "no-value", word);
    }
    Cell* c = cell_of(ctx);
    if (!c->data2) fire("script", "not-in-context", word);
    if (c->header & FLAG_ON_STACK) return arena::ptr<Cell>(c->data2) + slot;
    Buffer* b = memory::buffer_of(c->data2);
    if (slot < 0 || uint32_t(slot) >= b->used_bytes() / sizeof(Cell)) fire("script", "no-value", word);
    return b->cells() + slot;
}

Cell* set_in(Cell* word, const Cell* value, uint32_t ctx, bool fire_events) {
    if (!ctx) fire("script", "not-defined", word);
    gc::Rooted v(*value);  // the value may live in the block that grows below
    int32_t slot = int32_t(word->data3);
    if (slot == -1) {
        slot = find_symbol(ctx, int32_t(word->data2), false);
        if (slot < 0) slot = add(ctx, word);
        word->data3 = uint32_t(slot);
    }
    Cell* c = cell_of(ctx);
    if (!c->data2) fire("script", "not-defined", word);
    if (c->header & FLAG_ON_STACK) {
        Cell* dst = arena::ptr<Cell>(c->data2) + slot;
        copy_cell(v.get(), dst);
        return dst;
    }
    Cell* dst = value_slot(ctx, slot);
    if (kind_of(ctx) != OBJECT) {
        copy_cell(v.get(), dst);
        return dst;
    }
    if (slot < word_count(ctx)) word_at(ctx, slot)->header |= WORD_SLOT_SET;
    Cell* own = owner(ctx);
    // an object without handlers still reports to the object that owns it
    if (!fire_events || !on_change || (own->data3 == 0 && !ownership::owned_context(ctx))) {
        copy_cell(v.get(), dst);
        return dst;
    }
    // the handler sees the word, the old value and the new one, after the store
    Cell* saved_top = stack::top_ptr;
    Cell* old = stack::push(dst);
    copy_cell(v.get(), dst);
    gc::Rooted w(*word), o(*own);
    gc::RootedNode kept(ctx);  // the handler may collect and move the context's node
    on_change(o.get(), w.get(), old, v.get());
    stack::top_ptr = saved_top;
    return value_slot(kept.node, slot);
}

// ---- the global context ------------------------------------------------------------------------

Cell add_global(int32_t sym, bool caseless, bool variant_copy) {
    int32_t pos = hashtable::put_context_word(table_of(global), sym, caseless, 0, nullptr);
    if (pos >= 0) {
        Cell w = *word_at(global, pos);
        if (caseless && variant_copy && int32_t(w.data2) != sym) w.data2 = uint32_t(sym);
        return w;
    }
    int32_t added = -1;
    hashtable::put_context_word(table_of(global), sym, false, global, &added);
    value_slot(global, added);
    if (symbol::alias_of(sym) > 0) {
        // every spelling of a word shares one global value
        int32_t family = find_symbol(global, sym, true);
        if (family >= 0) word_at(global, added)->data3 = uint32_t(family);
    }
    return *word_at(global, added);
}

Cell add_global_word(int32_t sym) {
    Cell w = add_global(sym, false, true);
    if (runtime::root_copy) copy_cell(&w, block::add_cell(&runtime::root));
    return w;
}

void set_global(int32_t sym, const Cell* value) {
    Cell w = add_global(sym, true, false);
    set_in(&w, value, global, false);
}

Cell* get_global(int32_t sym) {
    int32_t slot = find_symbol(global, sym, true);
    return slot < 0 ? nullptr : value_slot(global, slot);
}

Cell get_or_add(uint32_t ctx, int32_t sym) {
    int32_t pos = hashtable::put_context_word(table_of(ctx), sym, false, 0, nullptr);
    if (pos >= 0) return *word_at(ctx, pos);
    return add_global_word(sym);
}

}  // namespace kro::context
