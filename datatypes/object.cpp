#include "datatypes/object.hpp"

#include <exception>

#include <cstring>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::object {

namespace {

uint32_t run_counter = RUN_ID_BASE;
uint32_t boot_last = BOOT_FIRST_ID - 1;
bool boot_on = false;

constexpr uint32_t ABSENT = 0xFFFF;

Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
Cell datatype_cell(uint32_t type) { return Cell{uint32_t(TYPE_DATATYPE), type, 0, 0}; }
Cell plain_word(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }

int32_t on_change_symbol() { return symbol::make("on-change*"); }
int32_t on_deep_change_symbol() { return symbol::make("on-deep-change*"); }

bool is_object_type(uint32_t t) { return t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT; }
bool is_word_kind(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}
bool is_number(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

// Series that a clone copies when deep.
bool cloned_series(uint32_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH) || series::is_text_kind(t);
}
// Series that make copies again from the prototype (and merge copies).
bool made_series(uint32_t t) {
    return series::is_block_kind(t) || series::is_text_kind(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
           t == TYPE_IMAGE;
}

uint32_t values_node(uint32_t ctx) { return context::cell_of(ctx)->data2; }
int32_t value_count(uint32_t ctx) {
    uint32_t node = values_node(ctx);
    return node ? int32_t(memory::buffer_of(node)->used_bytes() / sizeof(Cell)) : 0;
}
Cell* value_at(uint32_t ctx, int32_t i) { return memory::buffer_of(values_node(ctx))->cells() + i; }

Cell* record_cell(uint32_t record, int32_t which) { return memory::buffer_of(record)->cells() + which; }

Cell record_entry(int32_t index, int32_t count, uint32_t spec) {
    uint32_t idx = index < 0 ? ABSENT : uint32_t(index) & 0xFFFF;
    return Cell{uint32_t(TYPE_PAIR), 0, (idx << 16) | (uint32_t(count) & 0xFFFF), spec};
}

uint32_t make_record(int32_t ci, int32_t cc, uint32_t cs, int32_t di, int32_t dc, uint32_t ds) {
    uint32_t node = memory::new_cells(2);
    memory::Buffer* b = memory::buffer_of(node);
    b->tail = b->offset + 2 * sizeof(Cell);
    b->cells()[0] = record_entry(ci, cc, cs);
    b->cells()[1] = record_entry(di, dc, ds);
    return node;
}

int32_t index_in(const Cell* rc) {
    uint32_t idx = rc->data2 >> 16;
    return idx == ABSENT ? -1 : int32_t(idx);
}

// The handler's count of extra cells, taken again when its spec changed.
int32_t refreshed_count(uint32_t record, int32_t which, const Cell& handler) {
    Cell* rc = record_cell(record, which);
    if (rc->data3 != handler.data2) {
        int32_t count = function::count_locals(handler.data2, 0, false);
        rc = record_cell(record, which);
        rc->data2 = (rc->data2 & 0xFFFF0000u) | (uint32_t(count) & 0xFFFF);
        rc->data3 = handler.data2;
    }
    return int32_t(rc->data2 & 0xFFFF);
}

// Keeps the data stack's top where it was, also when an error unwinds.
// Puts the data-stack top back on the normal path only: an error leaving a
// handler has already set the stack for the region that receives it.
struct StackMark {
    Cell* top = stack::top_ptr;
    int raising = std::uncaught_exceptions();
    ~StackMark() {
        if (std::uncaught_exceptions() == raising) stack::top_ptr = top;
    }
};

void run_handler(const Cell& handler, uint32_t ctx, const char* name, Cell* args, int32_t kind) {
    if (!function::call_handler) return;  // no interpreter: no language code can run
    Cell frame_name = plain_word(name);
    function::call_handler(&handler, ctx, &frame_name, args, int32_t(stack::top_ptr - args), kind);
}

// Replaces a value cell by its deep copy (through the copy action).
void deep_copy_at(uint32_t ctx, int32_t i) {
    gc::Rooted src(*value_at(ctx, i));
    gc::Rooted result;
    actions::copy(src.get(), result.get(), nullptr, true, nullptr);
    *value_at(ctx, i) = result.cell;
}

// A method of a copied object: the same spec, a copy of its locals, a deep
// copy of its body bound to the new object and then to the new locals. The
// copy runs through the interpreter.
void remake_method(uint32_t ctx, int32_t i) {
    gc::Rooted fn(*value_at(ctx, i));
    Cell body = memory::buffer_of(fn->data3)->cells()[function::BODY];
    if (!body.is(TYPE_BLOCK) && !body.is(TYPE_PAREN)) fire("script", "bad-func-def", fn.get());
    Cell spec{uint32_t(TYPE_BLOCK), 0, fn->data2, 0};
    gc::Rooted spec_r(spec);
    Cell locals = fn.cell;
    uint32_t locals_ctx = context::clone(&locals, context::FUNCTION);
    gc::RootedNode keep(locals_ctx);
    gc::Rooted copy(*block::clone(&body, true, true));
    stack::pop(1);
    context::bind(copy.get(), ctx, true);
    context::bind(copy.get(), locals_ctx, false);
    function::make_value(spec_r.get(), copy.get(), locals_ctx, 0, 0, fn->header & ~TYPE_MASK);
    *value_at(ctx, i) = *stack::top();
    stack::pop(1);
}

void remake_methods(uint32_t ctx) {
    for (int32_t i = 0; i < value_count(ctx); i++)
        if (value_at(ctx, i)->is(TYPE_FUNCTION)) remake_method(ctx, i);
}

void clear_changed(uint32_t ctx) {
    for (int32_t i = 0; i < context::word_count(ctx); i++) context::word_at(ctx, i)->header &= ~context::WORD_SLOT_SET;
}

// Every word of the spec object set in the result (added when missing);
// answers whether the context grew.
bool merge(Cell* obj, const Cell* spec) {
    gc::Rooted from(*spec);
    uint32_t ctx = obj->data1;
    uint32_t src = from->data1;
    bool grew = false;
    for (int32_t i = 0; i < context::word_count(src) && i < value_count(src); i++) {
        Cell w = *context::word_at(src, i);
        Cell v = *value_at(src, i);
        int32_t slot = context::find_symbol(ctx, int32_t(w.data2), true);
        if (slot < 0) {
            slot = context::add(ctx, &w);
            grew = true;
        }
        *value_at(ctx, slot) = v;
    }
    for (int32_t i = 0; i < value_count(ctx); i++)
        if (made_series(value_at(ctx, i)->type())) deep_copy_at(ctx, i);
    remake_methods(ctx);
    return grew;
}

// A field that a path names but the object lacks (or holds unset).
[[noreturn]] void path_miss(Cell* path, Cell* element, bool tail) {
    Cell p = path ? *path : none::value;
    if (tail) fire("script", "invalid-path", &p, element);
    fire("script", "unset-path", &p, element);
}

Cell unset_result{uint32_t(TYPE_UNSET), 0, 0, 0};

// Field items written in mold and form; stops once the budget falls below 1.
// Values are molded in both; a container already being walked further out
// writes the marker of the outer operation ("..." when forming).
int32_t write_item(const Cell& word, Cell value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                   int32_t limit, int32_t level, bool mold) {
    limit -= word::append_spelling(buffer, int32_t(word.data2));
    string::concatenate_ascii(buffer, ": ", 2);
    limit -= 2;
    if (value.type() == TYPE_NONE_ID) value = unset::value;
    if (value.is(TYPE_WORD)) {
        string::concatenate_ascii(buffer, "'", 1);
        limit--;
    }
    uint32_t t = value.type();
    bool container = series::is_series_value(t) || is_object_type(t) || t == TYPE_MAP;
    if (container && mold::cycle_mark(&value, buffer, &limit, mold)) return limit;
    return actions::mold(&value, buffer, only, all, flat, part, limit, level);
}

bool hidden(const Cell& word, bool all) {
    if (all) return false;
    int32_t s = int32_t(word.data2);
    return symbol::same_word(s, on_change_symbol()) || symbol::same_word(s, on_deep_change_symbol());
}

// The field comparison behind compare (both values are object-like).
int32_t compare_fields_of(Cell* a, Cell* b, int32_t op) {
    uint32_t c1 = a->data1, c2 = b->data1;
    if (c1 == c2) return 0;
    if (op == actions::SAME) return -1;
    if (mold::cycle_find(c1)) return mold::cycle_find(c2) ? 0 : -1;
    int32_t n1 = value_count(c1), n2 = value_count(c2);
    if (n1 != n2) return n1 > n2 ? 1 : -1;
    if (n1 == 0) return 0;
    machine_stack::check();
    mold::CycleGuard guard;
    mold::cycle_push(c1);
    mold::cycle_push(c2);
    for (int32_t i = 0; i < n1; i++) {
        int32_t s1 = symbol::resolve(int32_t(context::word_at(c1, i)->data2));
        int32_t s2 = symbol::resolve(int32_t(context::word_at(c2, i)->data2));
        if (s1 != s2) return s1 < s2 ? -1 : 1;
        Cell v1 = *value_at(c1, i), v2 = *value_at(c2, i);
        uint32_t t1 = v1.type(), t2 = v2.type();
        if (t1 != t2 && !(word::any_word_type(t1) && word::any_word_type(t2)) && !(is_number(t1) && is_number(t2)))
            return t1 < t2 ? -1 : 1;
        int32_t r = actions::compare_values(&v1, &v2, op);
        if (r != 0) return r;
    }
    return 0;
}

void on_change_hook(const Cell* owner, const Cell* word, const Cell* old_value, const Cell* new_value) {
    call_on_change(owner, word, old_value, new_value);
}

Cell* new_block(int32_t n) {
    Cell* c = stack::push_cell();
    block::make_at(c, n < 1 ? 1 : n);
    return c;
}

}  // namespace

// ---- class ids ---------------------------------------------------------------------------------

uint32_t next_class_id() { return boot_on ? ++boot_last : ++run_counter; }
void use_boot_ids(bool on) { boot_on = on; }
bool boot_ids() { return boot_on; }
uint32_t class_counter() { return run_counter; }
uint32_t boot_counter() { return boot_last; }
void set_boot_counter(uint32_t last) { boot_last = last; }

// ---- constructors and accessors ----------------------------------------------------------------

Cell* make_at(Cell* cell, int32_t words) {
    uint32_t ctx = context::create(words, false, true, 0, context::OBJECT);
    *cell = Cell{uint32_t(TYPE_OBJECT), ctx, 0, 0};
    *context::owner(ctx) = *cell;
    return cell;
}

Cell* push_value(uint32_t ctx, uint32_t class_id, uint32_t on_set) {
    Cell* c = stack::push_cell();
    *c = Cell{uint32_t(TYPE_OBJECT), ctx, class_id, on_set};
    *context::owner(ctx) = *c;
    return c;
}

Cell* push_from_context(uint32_t ctx, uint32_t class_id) {
    uint32_t node = values_node(ctx);
    if (node && memory::buffer_of(node)->used_bytes() == 0)
        for (int32_t i = 0; i < context::word_count(ctx); i++) *series::add_cell(node) = unset::value;
    return push_value(ctx, class_id, 0);
}

uint32_t attach_on_set_top(uint32_t ctx, int32_t change_index, int32_t change_count, int32_t deep_index,
                           int32_t deep_count) {
    uint32_t record = make_record(change_index, change_count, 0, deep_index, deep_count, 0);
    Cell* top = stack::top();
    top->data3 = record;
    *context::owner(ctx) = *top;
    if (deep_index >= 0) ownership::set_owner(top, top, &none::value);
    return record;
}

void attach_on_set(Cell* obj) {
    uint32_t ctx = obj->data1;
    int32_t ci = context::find_symbol(ctx, on_change_symbol(), true);
    int32_t di = context::find_symbol(ctx, on_deep_change_symbol(), true);
    if (ci < 0 && di < 0) {
        obj->data3 = 0;
        *context::owner(ctx) = *obj;
        return;
    }
    int32_t counts[2] = {0, 0};
    uint32_t specs[2] = {0, 0};
    int32_t idx[2] = {ci, di};
    for (int k = 0; k < 2; k++) {
        if (idx[k] < 0) continue;
        Cell h = *value_at(ctx, idx[k]);
        if (!h.is(TYPE_FUNCTION) && !h.is(TYPE_ROUTINE)) {
            Cell w = *context::word_at(ctx, idx[k]);
            Cell dt = datatype_cell(h.type());
            fire("script", "bad-field-set", &w, &dt);
        }
        counts[k] = function::count_locals(h.data2, 0, false);
        specs[k] = h.data2;
    }
    obj->data3 = make_record(ci, counts[0], specs[0], di, counts[1], specs[1]);
    *context::owner(ctx) = *obj;
    if (di >= 0) ownership::set_owner(obj, obj, &none::value);
}

Cell* get_values(const Cell* obj) { return context::values(obj->data1); }

const Cell* select_word(const Cell* obj, const Cell* word) {
    int32_t i = find_word_index(obj, word);
    return i < 0 ? &none::value : value_at(obj->data1, i);
}

int32_t find_word_index(const Cell* obj, const Cell* word) {
    int32_t i = context::find_symbol(obj->data1, int32_t(word->data2), true);
    return i < value_count(obj->data1) ? i : -1;
}

Cell* word_at(uint32_t ctx, int32_t index) { return context::word_at(ctx, index); }
Cell* first_word(const Cell* obj) { return context::word_at(obj->data1, 0); }
int32_t field_count(const Cell* obj) { return value_count(obj->data1); }

bool value_class_q(const Cell* word, uint32_t class_id) {
    if (!word->data1 || int32_t(word->data3) < 0) return false;
    const Cell* v = word::value_cell(word);
    return v->is(TYPE_OBJECT) && v->data2 == class_id;
}

bool class_at_q(uint32_t ctx, int32_t index, uint32_t class_id) {
    const Cell* v = value_at(ctx, index);
    return v->is(TYPE_OBJECT) && v->data2 == class_id;
}

void clear_new_lines(uint32_t node) {
    memory::Buffer* b = memory::buffer_of(node);
    Cell* c = b->cells();
    for (uint32_t i = 0; i < b->used_bytes() / sizeof(Cell); i++) c[i].header &= ~FLAG_NEW_LINE;
}

int32_t handler_index(const Cell* obj, int32_t which) {
    if (!obj->data3) return -1;
    return index_in(record_cell(obj->data3, which));
}

int32_t handler_count(const Cell* obj, int32_t which) {
    if (!obj->data3) return 0;
    return int32_t(record_cell(obj->data3, which)->data2 & 0xFFFF);
}

// ---- change handlers ------------------------------------------------------------------------------

namespace {
void run_on_change(const Cell* obj, const Cell* word, const Cell* old_value, const Cell* new_value) {
    if (!obj->data3) return;
    gc::Rooted o(*obj), w(*word), old_v(*old_value), new_v(*new_value);
    uint32_t ctx = o->data1;
    int32_t idx = index_in(record_cell(o->data3, 0));
    if (idx < 0) return;
    gc::Rooted handler(*value_at(ctx, idx));
    if (!handler->is(TYPE_FUNCTION) && !handler->is(TYPE_ROUTINE)) fire("script", "invalid-obj-evt", handler.get());
    int32_t count = refreshed_count(o->data3, 0, handler.cell);
    if (w->data1 != ctx) {
        w->data1 = ctx;
        w->data3 = uint32_t(context::find_symbol(ctx, int32_t(w->data2), true));
    }
    StackMark mark;
    Cell* args = stack::push(w.get());
    stack::push(old_v.get());
    stack::push(new_v.get());
    function::push_refinement_defaults(count);
    run_handler(handler.cell, ctx, "on-change*", args, function::CALLBACK_ON_CHANGE);
}
}  // namespace

void call_on_change(const Cell* obj, const Cell* word, const Cell* old_value, const Cell* new_value) {
    gc::Rooted o(*obj), w(*word), old_v(*old_value), new_v(*new_value);
    run_on_change(o.get(), w.get(), old_v.get(), new_v.get());
    // an object held by another one's field is a change of that field too
    ownership::field_set(o.get(), w.get(), old_v.get(), new_v.get());
}

void call_on_change_top(const Cell* obj, const Cell* word) {
    Cell* top = stack::top();
    Cell old_v = *top, new_v = *(top - 1);
    call_on_change(obj, word, &old_v, &new_v);
}

void call_on_change_ctx(uint32_t ctx, const Cell* word) {
    Cell obj = *context::owner(ctx);
    call_on_change_top(&obj, word);
}

void fire_on_change(const Cell* obj_word, const Cell* field_word) {
    Cell obj = *word::value_cell(obj_word);
    call_on_change_top(&obj, field_word);
}

void call_on_deep_change(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part) {
    if (!owner->data3) fire("script", "invalid-obj-evt", owner);
    gc::Rooted o(*owner), w(*word), t(*target), a(*action), n(new_value ? *new_value : none::value);
    uint32_t ctx = o->data1;
    int32_t idx = index_in(record_cell(o->data3, 1));
    if (idx < 0) return;
    gc::Rooted handler(*value_at(ctx, idx));
    if (!handler->is(TYPE_FUNCTION)) return;
    int32_t count = refreshed_count(o->data3, 1, handler.cell);
    StackMark mark;
    Cell* args = stack::push(o.get());
    stack::push(w.get());
    stack::push(t.get());
    stack::push(a.get());
    stack::push(n.get());
    Cell i = integer(index), p = integer(part);
    stack::push(&i);
    stack::push(&p);
    function::push_refinement_defaults(count);
    run_handler(handler.cell, ctx, "on-deep-change*", args, function::CALLBACK_ON_DEEP_CHANGE);
}

// ---- building ------------------------------------------------------------------------------------

void extend(Cell* obj, const Cell* value, bool only, bool any, bool some) {
    gc::Rooted o(*obj), v(*value);
    int32_t skip1 = -1, skip2 = -1;
    if (o->data3) {
        skip1 = handler_index(o.get(), 0);
        skip2 = handler_index(o.get(), 1);
    }
    auto skipped = [&](int32_t i) { return i == skip1 || i == skip2; };
    auto assign = [&](int32_t i, const Cell& x) {
        if (skipped(i) || (some && x.is(TYPE_NONE))) return;
        // handlers run between stores and may move nodes: the context is read afresh
        uint32_t ctx = o->data1;
        Cell w = *context::word_at(ctx, i);
        w.header = uint32_t(TYPE_WORD);
        context::set_in(&w, &x, ctx, true);
    };
    int32_t n = value_count(o->data1);
    bool many = (v->is(TYPE_BLOCK) || is_object_type(v->type())) && !only;
    if (!many) {
        Cell x = v.cell;
        for (int32_t i = 0; i < n; i++) assign(i, x);
        return;
    }
    // the pairs (field, source index) to assign
    std::vector<std::pair<int32_t, int32_t>> pairs;
    if (v->is(TYPE_BLOCK)) {
        int32_t len = block::length(v.get());
        for (int32_t i = 0; i < n && i < len; i++) pairs.emplace_back(i, i);
    } else {
        uint32_t src = v->data1;
        for (int32_t j = 0; j < context::word_count(src) && j < value_count(src); j++) {
            int32_t i = context::find_symbol(o->data1, int32_t(context::word_at(src, j)->data2), true);
            if (i >= 0 && i < n) pairs.emplace_back(i, j);
        }
    }
    auto source = [&](int32_t j) {
        return v->is(TYPE_BLOCK) ? *block::at(v.get(), j) : *value_at(v->data1, j);
    };
    if (!some && !any) {
        for (auto [i, j] : pairs) {
            if (skipped(i) || !source(j).is(TYPE_UNSET)) continue;
            Cell w = *context::word_at(o->data1, i);
            fire("script", "need-value", &w);
        }
    }
    for (auto [i, j] : pairs) {
        if (v->is(TYPE_BLOCK) && j >= block::length(v.get())) break;  // a handler shortened it
        assign(i, source(j));
    }
}

Cell* derive(const Cell* spec, const Cell* proto, bool only) {
    gc::Rooted s(*spec);
    Cell* obj = stack::push_cell();
    *obj = unset::value;
    if (proto) {
        gc::Rooted p(*proto);
        clone(p.get(), obj, true, nullptr, true);
    } else {
        make_at(obj, 4);
        obj->data2 = next_class_id();
        *context::owner(obj->data1) = *obj;
    }
    uint32_t ctx = obj->data1;
    std::vector<int32_t> pending;
    auto store = [&](const Cell& x) {
        for (int32_t slot : pending) *value_at(ctx, slot) = x;
        pending.clear();
    };
    for (int32_t i = 0; i < block::length(s.get()); i++) {
        Cell c = *block::at(s.get(), i);
        if (c.is(TYPE_SET_WORD)) {
            pending.push_back(context::add(ctx, &c));
            continue;
        }
        if (!only && c.is(TYPE_WORD)) {
            int32_t sym = int32_t(c.data2);
            auto is = [&](const char* n) { return symbol::same_word(sym, symbol::make(n)); };
            if (is("true") || is("yes") || is("on")) c = logic::true_value;
            else if (is("false") || is("no") || is("off")) c = logic::false_value;
            else if (is("none")) c = none::value;
        }
        store(c);
    }
    store(none::value);
    attach_on_set(obj);
    return obj;
}

Cell* clone(const Cell* source, Cell* dst, bool deep, Cell* types, bool new_record) {
    machine_stack::check();
    gc::Rooted src(*source);
    uint32_t from = src->data1;
    int32_t words = context::word_count(from);
    int32_t n = value_count(from);
    uint32_t ctx = context::create(words, false, true, from, context::OBJECT);
    gc::RootedNode keep(ctx);
    uint32_t vals = values_node(ctx);
    memory::Buffer* b = memory::buffer_of(vals);
    if (b->size < uint32_t(n) * sizeof(Cell)) b = memory::grow_series(b, uint32_t(n) * sizeof(Cell));
    std::memcpy(b->cells(), memory::buffer_of(values_node(from))->cells(), size_t(n) * sizeof(Cell));
    b->tail = b->offset + uint32_t(n) * uint32_t(sizeof(Cell));
    *dst = Cell{uint32_t(src->type()), ctx, src->data2, new_record ? 0 : src->data3};
    *context::owner(ctx) = *dst;
    if (deep && !types) {
        for (int32_t i = 0; i < n; i++)
            if (cloned_series(value_at(ctx, i)->type())) deep_copy_at(ctx, i);
        remake_methods(ctx);
    } else {
        remake_methods(ctx);
        if (types) {
            if (deep && mold::cycle_find(from)) {
                mold::cycle_reset();
                fire("internal", "no-cycle");
            }
            mold::CycleEntry walking(from);
            Cell blk{uint32_t(TYPE_BLOCK), 0, vals, 0};
            block::copy_typed_values(&blk, 0, n, 1, deep, types);
        }
    }
    if (new_record) attach_on_set(dst);
    return dst;
}

int32_t mold_fields(const Cell* obj, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
                    bool indent, int32_t level, bool mold) {
    uint32_t ctx = obj->data1;
    int32_t n = value_count(ctx);
    bool first = true;
    for (int32_t i = 0; i < n && i < context::word_count(ctx); i++) {
        if (limit < 1) break;
        Cell w = *context::word_at(ctx, i);
        if (hidden(w, all)) continue;
        if (mold) {
            if (first && !only && !flat) {
                string::concatenate_ascii(buffer, "\n", 1);
                limit--;
            } else if (!first && flat) {
                string::concatenate_ascii(buffer, " ", 1);
                limit--;
            }
            if (indent && !flat && !only) limit = mold::indent(buffer, level, limit);
        } else if (!first) {
            string::concatenate_ascii(buffer, "\n", 1);
            limit--;
        }
        first = false;
        limit = write_item(w, *value_at(ctx, i), buffer, only, all, mold && flat, part, limit, level, mold);
        if (mold && !flat) {
            string::concatenate_ascii(buffer, "\n", 1);
            limit--;
        }
    }
    return limit;
}

// ---- actions -------------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t) {
    gc::Rooted s(*spec), p(*proto);
    bool has_proto = is_object_type(p->type());
    StackMark mark;
    Cell* obj = stack::push_cell();
    *obj = unset::value;
    if (has_proto) {
        clone(p.get(), obj, true, nullptr, false);
    } else {
        make_at(obj, 4);
    }
    uint32_t ctx = obj->data1;
    if (is_object_type(s->type())) {
        bool grew = merge(obj, s.get());
        obj->data2 = grew || !has_proto ? next_class_id() : p->data2;
    } else if (s->is(TYPE_BLOCK)) {
        bool grew = context::collect_set_words(ctx, s.get());
        context::bind(s.get(), ctx, true);
        if (has_proto) {
            uint32_t from = p->data1;
            for (int32_t i = 0; i < value_count(from) && i < value_count(ctx); i++) {
                uint32_t t = value_at(from, i)->type();
                if (!made_series(t)) continue;
                gc::Rooted src(*value_at(from, i));
                gc::Rooted result;
                actions::copy(src.get(), result.get(), nullptr, true, nullptr);
                if (series::is_block_kind(t)) context::bind(result.get(), ctx, true);
                *value_at(ctx, i) = result.cell;
            }
        }
        // taken before the spec runs, so an object made inside it gets a later id
        obj->data2 = grew || !has_proto ? next_class_id() : p->data2;
        *context::owner(ctx) = *obj;
        if (!function::eval_block) fire("internal", "feature-na");
        {
            StackMark result;
            function::eval_block(s.get());
        }
        ctx = obj->data1;  // the evaluation may have collected and moved nodes
        clear_changed(ctx);
        clear_new_lines(values_node(ctx));
    } else {
        fire("syntax", "malconstruct", s.get());
    }
    attach_on_set(obj);
    *proto = *obj;
    return proto;
}

Cell* reflect(Cell* value, int32_t field) {
    gc::Rooted v(*value);
    uint32_t ctx = v->data1;
    int32_t n = value_count(ctx);
    auto is = [&](const char* name) { return symbol::same_word(field, symbol::make(name)); };
    StackMark mark;
    if (is("class")) {
        *value = integer(int32_t(v->data2));
    } else if (is("words") || is("changed")) {
        bool changed = is("changed");
        Cell* out = new_block(n);
        for (int32_t i = 0; i < n && i < context::word_count(ctx); i++) {
            Cell w = *context::word_at(ctx, i);
            if (changed && !(w.header & context::WORD_SLOT_SET)) continue;
            w.header = uint32_t(TYPE_WORD);
            block::ks_append(out, &w);
        }
        *value = *out;
    } else if (is("values")) {
        Cell* out = new_block(n);
        for (int32_t i = 0; i < n; i++) block::ks_append(out, value_at(ctx, i));
        *value = *out;
    } else if (is("body")) {
        Cell* out = new_block(2 * n);
        for (int32_t i = 0; i < n && i < context::word_count(ctx); i++) {
            Cell w = *context::word_at(ctx, i);
            w.header = uint32_t(TYPE_SET_WORD) | FLAG_NEW_LINE;
            block::ks_append(out, &w);
            Cell x = *value_at(ctx, i);
            if (x.is(TYPE_WORD)) x.set_type(TYPE_LIT_WORD);
            else if (x.is(TYPE_PATH)) x.set_type(TYPE_LIT_PATH);
            block::ks_append(out, &x);
        }
        *value = *out;
    } else if (is("owner")) {
        *value = logic::make(context::cell_of(ctx)->header & ownership::FLAG_OWNER);
    } else if (is("events?")) {
        *value = logic::make(v->data3 != 0);
    } else {
        fire("internal", "not-done");
    }
    return value;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    if (mold::cycle_mark(value, buffer, &limit, false)) return limit;
    machine_stack::check();
    mold::CycleEntry walking(value->data1);
    return mold_fields(value, buffer, false, false, false, part, limit, false, 0, false);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    if (mold::cycle_mark(value, buffer, &limit, true)) return limit;
    machine_stack::check();
    mold::CycleEntry walking(value->data1);
    if (!only) {
        string::concatenate_ascii(buffer, "make object! [", 14);
        limit -= 14;
    }
    limit = mold_fields(value, buffer, only, all, flat, part, limit, true, indent + 1, true);
    if (!only) {
        if (!flat && indent > 0) limit = mold::indent(buffer, indent, limit);
        string::concatenate_ascii(buffer, "]", 1);
        limit--;
    }
    return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool, bool get,
                bool tail, bool) {
    Cell p = path ? *path : none::value;
    if (!is_word_kind(element->type())) fire("script", "invalid-path", &p, element);
    uint32_t ctx = parent->data1;
    int32_t slot = int32_t(element->data3);
    if (element->data1 != ctx || slot < 0 || slot >= value_count(ctx)) {
        slot = context::find_symbol(ctx, int32_t(element->data2), true);
        if (slot < 0 || slot >= value_count(ctx)) {
            if (!value && get && tail) return &unset_result;
            path_miss(path, element, tail);
        }
        element->data1 = ctx;
        element->data3 = uint32_t(slot);
    }
    if (!value) {
        Cell* v = value_at(ctx, slot);
        if (!v->is(TYPE_UNSET)) return v;
        if (get && tail) return &unset_result;
        path_miss(path, element, tail);
    }
    gc::Rooted o(*parent), e(*element), v(*value);
    e->set_type(TYPE_WORD);
    if (!o->data3 && !ownership::owned_context(ctx)) {
        context::set_in(e.get(), v.get(), ctx, false);
        return value;
    }
    StackMark mark;
    Cell* old = stack::push(value_at(ctx, slot));
    context::set_in(e.get(), v.get(), ctx, false);
    call_on_change(o.get(), element, old, v.get());
    return value;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_OBJECT)) return -2;
    return compare_fields_of(value1, value2, op);
}

int32_t compare_objects(Cell* value1, Cell* value2, int32_t op) { return compare_fields_of(value1, value2, op); }

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    if (part) {
        Cell w = plain_word("part");
        fire("script", "invalid-refine-arg", &w, part);
    }
    gc::Rooted v(*value);
    return clone(v.get(), result, deep, types, true);
}

Cell* put(Cell* obj, Cell* key, Cell* value, bool) {
    if (!key->is(TYPE_WORD)) {
        Cell dt = datatype_cell(key->type());
        fire("script", "invalid-key-type", &dt);
    }
    Cell none_path = none::value;
    eval_path(obj, key, value, &none_path, nullptr, nullptr, 0, false, false, true, false);
    return value;
}

Cell* select(Cell* obj, Cell* key, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) {
    if (!is_word_kind(key->type())) {
        Cell dt = datatype_cell(key->type());
        fire("script", "invalid-type", &dt);
    }
    Cell v = *select_word(obj, key);
    *obj = v;
    return obj;
}

Cell* modify(Cell* obj, Cell* field, Cell* value, bool) {
    if (!word::any_word_type(field->type())) return value;
    int32_t f = int32_t(field->data2);
    auto is = [&](const char* name) { return symbol::same_word(f, symbol::make(name)); };
    if (is("changed")) {
        if (!value->is(TYPE_NONE)) fire("script", "invalid-arg", value);
        clear_changed(obj->data1);
    } else if (is("owner")) {
        ownership::set_owner(obj, obj, &none::value);
    } else if (is("owned")) {
        if (value->is(TYPE_NONE)) {
            ownership::unbind(obj);
        } else if (value->is(TYPE_BLOCK)) {
            if (block::length(value) < 2 || !word::any_word_type(block::at(value, 1)->type()))
                fire("script", "invalid-arg", value);
            Cell owned = *block::at(value, 0);
            Cell w = *block::at(value, 1);
            if (is_object_type(owned.type())) {
                // [owner field]: this object is the one owned, as a series would be
                Cell me = *obj;
                ownership::set_owner(&me, &owned, &w);
                return value;
            }
            ownership::set_owner(&owned, obj, &w);
            *block::at(value, 0) = owned;  // an image! keeps its owned flag in its cell
        }
    }
    return value;
}

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_REFLECT>(&reflect).set<A_FORM>(&form).set<A_MOLD>(&mold);
    a.set<A_EVAL_PATH>(&eval_path).set<A_COMPARE>(&compare).set<A_COPY>(&copy).set<A_PUT>(&put);
    a.set<A_SELECT>(&select).set<A_MODIFY>(&modify);
    datatype::register_type(TYPE_OBJECT, 0, "object!", a);
    context::on_change = &on_change_hook;
}

}  // namespace kro::object
