#include "foundation/ownership.hpp"

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/stack_guard.hpp"

namespace kro::ownership {

uint32_t table = 0;

namespace {

constexpr int32_t VALUE_CELLS = 3;

bool is_object_type(uint32_t t) { return t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT; }

// Every owned kind keeps its flag in its buffer, an image! in its node's: a flag
// in the cell would stay on the one copy that was handed in, and the field's
// own cell (and every other copy) would never report.
bool buffer_flagged(uint32_t t) { return series::is_series_value(t) || t == TYPE_BITSET; }

// An owned object is keyed by its context node, whose buffer carries the flag
// as a series' buffer does.
uint32_t key_of(const Cell* v) { return is_object_type(v->type()) ? v->data1 : v->data2; }

bool owned(const Cell* v) { return memory::buffer_of(key_of(v))->flags & FLAG_OWNED; }

void set_owned(Cell* v, bool on) {
    if (v->is(TYPE_IMAGE))  // the cell bit too, for readers that look at the cell
        v->header = on ? v->header | FLAG_IMAGE_OWNED : v->header & ~FLAG_IMAGE_OWNED;
    memory::Buffer* b = memory::buffer_of(key_of(v));
    b->flags = on ? b->flags | FLAG_OWNED : b->flags & ~FLAG_OWNED;
}

// Enters one series (or object) under the owner unless it is owned already.
void enter(Cell* value, const Cell* owner, const Cell* word) {
    if (owned(value)) return;
    set_owned(value, true);
    Cell v = *value, o = *owner, w = *word;
    Cell* rec = hashtable::put_key(table, key_of(&v));
    rec[0] = v;
    rec[1] = o;
    rec[2] = w;
}

bool remove(Cell* value) {
    set_owned(value, false);
    uint32_t key = key_of(value);
    Cell* rec = hashtable::get_key(table, key);
    if (!rec) return false;
    for (int32_t i = 0; i < VALUE_CELLS; i++) rec[i] = unset::value;
    hashtable::remove_key(table, key);
    return true;
}

bool context_is_owner(uint32_t ctx) { return context::cell_of(ctx)->header & FLAG_OWNER; }

uint32_t values_node(uint32_t ctx) { return context::cell_of(ctx)->data2; }
int32_t value_count(uint32_t ctx) { return int32_t(memory::buffer_of(values_node(ctx))->used_bytes() / sizeof(Cell)); }

// The words of the series events, in the order of series::Event.
const char* const EVENT_WORDS[][2] = {
    {"clear", "cleared"},     {"remove", "removed"}, {"poke", "poked"},     {"random", "randomized"},
    {"reverse", "reversed"},  {"take", "taken"},     {"move", "moved"},     {"sort", "sorted"},
    {"swap", "swaped"},       {"trim", "trimmed"},   {"append", "appended"}, {"insert", "inserted"},
    {"change", "changed"},    {"put", "put-ed"},
};
constexpr int32_t EVENT_COUNT = int32_t(sizeof EVENT_WORDS / sizeof EVENT_WORDS[0]);

}  // namespace

void init() {
    if (table) return;
    table = hashtable::make(TABLE_SIZE, nullptr, hashtable::OWNERSHIP, VALUE_CELLS);
}

void bind(Cell* value, const Cell* owner, const Cell* word) {
    machine_stack::check();
    uint32_t t = value->type();
    if (series::is_series_value(t) || t == TYPE_BITSET) {
        enter(value, owner, word);
        if (!series::is_block_kind(t) || mold::cycle_find(value->data2)) return;
        Cell blk = *value;
        gc::Rooted o(*owner), w(*word);
        mold::CycleEntry walking(blk.data2);
        for (int32_t i = series::head_of(&blk); i < series::ks_full_length(&blk); i++)
            bind(block::ks_abs_at(&blk, i), o.get(), w.get());
        return;
    }
    if (!is_object_type(t)) return;
    uint32_t ctx = value->data1;
    if (context_is_owner(ctx) || mold::cycle_find(ctx)) return;
    // its field assignments are in-place changes of the owner's field too
    if (ctx != owner->data1) enter(value, owner, word);
    gc::Rooted o(*owner);
    mold::CycleEntry walking(ctx);
    for (int32_t i = 0; i < value_count(ctx) && i < context::word_count(ctx); i++) {
        Cell* field = memory::buffer_of(values_node(ctx))->cells() + i;
        if (is_object_type(field->type()) && field->data1 == o->data1) continue;  // the owner itself
        Cell w = *context::word_at(ctx, i);
        bind(field, o.get(), &w);
    }
}

void entries(std::vector<Cell>& out) {
    for (uint32_t key : hashtable::keys(table)) {
        const Cell* rec = hashtable::get_key(table, key);
        out.insert(out.end(), rec, rec + VALUE_CELLS);
    }
}

void restore(Cell* value, const Cell* owner, const Cell* word) {
    if (buffer_flagged(value->type()) || is_object_type(value->type())) enter(value, owner, word);
}

void set_owner(Cell* value, const Cell* owner, const Cell* word) {
    Cell o = *owner;
    bind(value, &o, word);
    context::cell_of(o.data1)->header |= FLAG_OWNER;
}

bool unbind(Cell* value) {
    machine_stack::check();
    uint32_t t = value->type();
    if (is_object_type(t)) {
        uint32_t ctx = value->data1;
        if (context_is_owner(ctx) || mold::cycle_find(ctx)) return false;
        bool found = remove(value);
        mold::CycleEntry walking(ctx);
        for (int32_t i = 0; i < value_count(ctx); i++) unbind(memory::buffer_of(values_node(ctx))->cells() + i);
        return found;
    }
    if (!series::is_series_value(t) && t != TYPE_BITSET) return false;
    bool found = remove(value);
    if (series::is_block_kind(t) && !mold::cycle_find(value->data2)) {
        Cell blk = *value;
        mold::CycleEntry walking(blk.data2);
        for (int32_t i = series::head_of(&blk); i < series::ks_full_length(&blk); i++)
            unbind(block::ks_abs_at(&blk, i));
    }
    return found;
}

void unbind_range(const Cell* blk, int32_t position, int32_t count) {
    Cell b = *blk;
    for (int32_t i = position; i < position + count && i < series::ks_full_length(&b); i++)
        unbind(block::ks_abs_at(&b, i));
}

namespace {

// unbind, limited to what that owner holds: a value another owner took first
// stays with it, and so does what it holds.
void release(Cell* value, uint32_t owner_ctx) {
    machine_stack::check();
    uint32_t t = value->type();
    bool object = is_object_type(t);
    if (!object && !buffer_flagged(t)) return;
    if (object && context_is_owner(value->data1)) return;
    uint32_t key = key_of(value);
    if (mold::cycle_find(key)) return;
    if (owned(value)) {
        Cell* rec = hashtable::get_key(table, key);
        if (rec && rec[1].data1 != owner_ctx) return;
        remove(value);
    }
    if (!object && !series::is_block_kind(t)) return;
    Cell v = *value;
    mold::CycleEntry walking(key);
    if (object) {
        for (int32_t i = 0; i < value_count(v.data1); i++)
            release(memory::buffer_of(values_node(v.data1))->cells() + i, owner_ctx);
        return;
    }
    for (int32_t i = 0; i < series::ks_full_length(&v); i++) release(block::ks_abs_at(&v, i), owner_ctx);
}

bool same_holding(const Cell* a, const Cell* b) {
    uint32_t t = a->type(), u = b->type();
    if (is_object_type(t) || is_object_type(u)) return is_object_type(t) && is_object_type(u) && a->data1 == b->data1;
    return buffer_flagged(t) && buffer_flagged(u) && a->data2 == b->data2;
}

}  // namespace

void release_range(const Cell* block, int32_t position, int32_t count) {
    if (!table || !series::is_block_kind(block->type()) || !owned(block)) return;
    Cell* rec = hashtable::get_key(table, block->data2);
    if (!rec) return;
    uint32_t owner_ctx = rec[1].data1;
    if (position < 0) position = 0;
    Cell b = *block;
    int32_t full = series::ks_full_length(&b);
    int32_t end = count > full - position ? full : position + count;
    for (int32_t i = position; i < end; i++) {
        Cell* v = block::ks_abs_at(&b, i);
        if (!is_object_type(v->type()) && !buffer_flagged(v->type())) continue;
        // a value the block still holds elsewhere stays owned
        bool kept = false;
        for (int32_t j = 0; j < position && !kept; j++) kept = same_holding(v, block::ks_abs_at(&b, j));
        for (int32_t j = end; j < full && !kept; j++) kept = same_holding(v, block::ks_abs_at(&b, j));
        if (!kept) release(v, owner_ctx);
    }
}

void release_left(const Cell* block, Cell* values, int32_t count) {
    if (!table || !series::is_block_kind(block->type()) || !owned(block)) return;
    Cell* rec = hashtable::get_key(table, block->data2);
    if (!rec) return;
    uint32_t owner_ctx = rec[1].data1;
    Cell b = *block;
    int32_t full = series::ks_full_length(&b);
    for (int32_t i = 0; i < count; i++) {
        Cell* v = values + i;
        if (!is_object_type(v->type()) && !buffer_flagged(v->type())) continue;
        bool kept = false;
        for (int32_t j = 0; j < full && !kept; j++) kept = same_holding(v, block::ks_abs_at(&b, j));
        if (!kept) release(v, owner_ctx);
    }
}

bool owned_context(uint32_t ctx) { return table && (memory::buffer_of(ctx)->flags & FLAG_OWNED); }

void field_set(const Cell* obj, const Cell* word, const Cell* old_value, const Cell* new_value) {
    if (!table || !is_object_type(obj->type()) || !owned(obj)) return;
    gc::Rooted o(*obj), now(*new_value);
    Cell* rec = hashtable::get_key(table, obj->data1);
    if (!rec) return;
    // what the field held is no longer the owner's, unless it is the same series
    Cell old = *old_value;
    if (!same_holding(&old, now.get())) release(&old, rec[1].data1);
    int32_t index = context::find_symbol(o->data1, int32_t(word->data2), true);
    Cell action{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make("set-path")), uint32_t(-1)};
    check(o.get(), &action, now.get(), index, 1);
}

const Cell* get_owner(uint32_t node) {
    Cell* rec = hashtable::get_key(table, node);
    return rec ? rec + 1 : nullptr;
}

bool check(const Cell* value, const Cell* action, const Cell* new_value, int32_t index, int32_t part) {
    if (!table) return false;
    uint32_t t = value->type();
    uint32_t key;
    if (!is_object_type(t) && !buffer_flagged(t)) return false;
    if (!owned(value)) return false;
    key = key_of(value);
    Cell* rec = hashtable::get_key(table, key);
    if (!rec) return false;
    // the owner as it stands now: it may have gained or lost its handlers since
    Cell owner = *context::owner(rec[1].data1), word = rec[2];
    if (!is_object_type(owner.type()) || !owner.data3) return false;
    object::call_on_deep_change(&owner, &word, value, action, new_value, index, part);
    return true;
}

Cell event_word(int32_t event, bool after) {
    if (event < 0 || event >= EVENT_COUNT) rt_error::no_switch_match();
    return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(EVENT_WORDS[event][after ? 1 : 0])), uint32_t(-1)};
}

}  // namespace kro::ownership

// The series events reach owners through the table.
namespace kro::series {

namespace {
// Most series have no owner: their flag says so without a look at the table.
bool unowned(const Cell* s) {
    uint32_t t = s->type();
    if (!ownership::table || !series::is_series_value(t)) return true;
    return !(memory::buffer_of(s->data2)->flags & ownership::FLAG_OWNED);
}

// The events that take values out of a block, announced with the values that
// leave (a block's change announces what it puts in, and releases what it
// replaces itself).
bool takes_out(Event e) {
    return e == Event::CLEAR || e == Event::REMOVE || e == Event::TAKE || e == Event::POKE || e == Event::PUT;
}
}  // namespace

bool notify_before(const Cell* s, Event e, int32_t index, int32_t count) {
    if (series::is_series_value(s->type())) hashtable::changing(memory::buffer_of(s->data2)->flags);
    if (unowned(s)) return false;
    gc::Rooted held(*s);
    Cell word = ownership::event_word(int32_t(e), false);
    bool told = ownership::check(held.get(), &word, nullptr, index, count);
    // what leaves the block stops reporting to its owner (a handler that
    // raised above has stopped the change, and the values stay owned)
    if (takes_out(e)) ownership::release_range(held.get(), index, count);
    return told;
}

void notify_after(const Cell* s, Event e, int32_t index, int32_t count) {
    if (unowned(s)) return;
    Cell word = ownership::event_word(int32_t(e), true);
    ownership::check(s, &word, nullptr, index, count);
}

Cell owner_of(const Cell* s) {
    if (!ownership::table || !series::is_series_value(s->type())) return none::value;
    const Cell* owner = ownership::get_owner(s->data2);
    return owner ? *owner : none::value;
}

void set_owner(const Cell* s, const Cell* spec) {
    Cell v = *s;
    if (spec->is(TYPE_NONE)) {
        ownership::unbind(&v);
        return;
    }
    if (!spec->is(TYPE_BLOCK)) return;
    if (block::length(spec) < 2 || !block::at(spec, 0)->is(TYPE_OBJECT) ||
        !word::any_word_type(block::at(spec, 1)->type()))
        fire("script", "invalid-arg", spec);
    Cell owner = *block::at(spec, 0);
    Cell word = *block::at(spec, 1);
    ownership::set_owner(&v, &owner, &word);
}

}  // namespace kro::series
