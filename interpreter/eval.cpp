#include "interpreter/eval.hpp"

#include <climits>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/native.hpp"
#include "datatypes/path.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "foundation/arena.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/control.hpp"
#include "interpreter/loops.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"
#include "io/lexer.hpp"

namespace kro::interp {

namespace {

// ---- small helpers ----------------------------------------------------------------------------------

inline memory::Buffer* buf(uint32_t node) { return memory::buffer_of(node); }
inline int32_t cells_in(uint32_t node) { return int32_t(buf(node)->used_bytes() / sizeof(Cell)); }
inline Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
inline Cell word_of(uint32_t symbol) { return Cell{uint32_t(TYPE_WORD), 0, symbol, uint32_t(-1)}; }
// A cell copied where source and destination may be the same cell.
inline void move_cell(const Cell* from, Cell* to) {
    Cell t;
    std::memcpy(&t, from, sizeof(Cell));
    std::memcpy(to, &t, sizeof(Cell));
}
inline Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

inline bool is_callable(Type t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

// Membership in an argument list's typeset; data3 holds the argument's symbol
// there, and no type id reaches it (ids stay below 64).
inline bool admits(const Cell& ts, uint32_t t) {
    uint32_t w = t < 32 ? ts.data1 : t < 64 ? ts.data2 : 0;
    uint32_t u = t & 31;
    return (w >> (((u >> 3) << 3) + 7 - (u & 7))) & 1;
}

inline int entry_kind(const Cell& e) { return int((e.header >> KIND_SHIFT) & 3); }


// The global context's values buffer as last found, kept while no buffer has
// moved and no node was freed: a global word's value is then found without
// the chain of loads through the two nodes (the context's values node never
// changes).
struct KeptValues {
    uint32_t ctx = 0;
    uint64_t relocations = ~uint64_t(0);
    memory::Buffer* values = nullptr;
};
KeptValues global_values;

// The value cell of a bound word, or null when it cannot give one now (then
// context::value_cell raises the fitting error, or answers `self`).
[[gnu::always_inline]] inline Cell* lookup(const Cell* word) {
    uint32_t ctx = word->data1;
    int32_t slot = int32_t(word->data3);
    if (ctx == global_values.ctx && global_values.relocations == memory::relocations) [[likely]] {
        memory::Buffer* b = global_values.values;
        return uint32_t(slot) < b->used_bytes() / sizeof(Cell) ? b->cells() + slot : nullptr;
    }
    if (!ctx || slot < 0) [[unlikely]]
        return nullptr;
    Cell* c = buf(ctx)->cells();  // the context cell
    if (!c->data2) [[unlikely]]
        return nullptr;
    if (c->header & context::FLAG_ON_STACK) return arena::ptr<Cell>(c->data2) + slot;
    memory::Buffer* b = buf(c->data2);
    if (ctx == context::global) global_values = KeptValues{ctx, memory::relocations, b};
    if (uint32_t(slot) >= b->used_bytes() / sizeof(Cell)) [[unlikely]]
        return nullptr;
    return b->cells() + slot;
}

inline Cell* value_of(const Cell* word) {
    Cell* v = lookup(word);
    return v ? v : context::value_cell(word, word->data1);
}

// The record of a function kind and the argument list it caches in cell 1.
inline Cell* record_of(const Cell* fn) { return buf(fn->data3)->cells(); }
inline Cell* list_cells(const Cell* fn) { return buf(record_of(fn)[1].data2)->cells(); }

[[noreturn]] void expect_arg(const Cell* name, Type type, uint32_t symbol) {
    Cell dt = datatype_of(type);
    Cell arg = word_of(symbol);
    fire("script", "expect-arg", name, &dt, &arg);
}

template <class C>
[[noreturn]] void call_expects(const C& call, Type type, uint32_t symbol) {
    Cell name = call.name();
    expect_arg(&name, type, symbol);
}

// ---- walking a block ----------------------------------------------------------------------------------

// A block being evaluated: the value (kept current by the collector), the next
// absolute index, an optional end before the tail, and the start of the
// current statement (for `near`).
//
// The hot paths read the block through `cells` and `limit`, taken by sync():
// they hold only until something evaluates (a call, a paren, a tracer event,
// a safe point), after which the walker syncs again before reading.
struct Walk {
    gc::Rooted blk;
    int32_t index;
    int32_t end;
    int32_t start;
    Cell* cells;    // the block's first used cell, as of the last sync()
    int32_t limit;  // the tail (or end when nearer), as of the last sync()
    Walk* outer = nullptr;  // the walk that was current when this one began
    int32_t frames = 0;     // the call frames open when it began
    // not synced yet: every reader syncs first
    Walk(const Cell& b, int32_t from, int32_t last = INT_MAX)
        : blk(b), index(from), end(last), start(from), cells(nullptr), limit(0) {}
    bool library() const { return buf(blk.cell.data2)->flags & memory::FLAG_LIBRARY; }
    void sync() {
        memory::Buffer* b = buf(blk.cell.data2);
        cells = b->cells();
        int32_t t = int32_t(b->used_bytes() / sizeof(Cell));
        limit = t < end ? t : end;
    }
    int32_t tail() {
        sync();
        return limit;
    }
    bool done() { return index >= tail(); }
    Cell* at(int32_t i) { return buf(blk.cell.data2)->cells() + i; }
};

Walk* current_walk = nullptr;

inline uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h * 0xFF51AFD7ED558CCDull;
}

// The place of the code a safe point stands at, for sampled stress mode: the
// position in the block and what stands there, the two innermost calls (by
// name and kind) and the types of the innermost one's first arguments. None
// of it changes when the collector moves things, so a loop's second round
// meets the places of its first.
[[gnu::noinline]] uint64_t stress_site(Walk& w) {
    w.sync();
    // the library's own blocks count as one place each: their statements
    // run in every program, and a place per statement would make the stress
    // pass collect thousands of times in any test that opens a window
    bool library = buf(w.blk.cell.data2)->flags & memory::FLAG_LIBRARY;
    uint64_t h = mix(library ? 0 : uint64_t(uint32_t(w.index)) << 32, uint32_t(w.limit));
    if (w.index < w.limit && !library) {
        const Cell& c = w.cells[w.index];
        h = mix(h, word::any_word_type(c.type()) ? uint64_t(c.data2) << 8 | c.type() : uint64_t(c.type()));
    }
    int32_t n = stack::frame_count();
    for (int32_t k = n - 1; k >= 0 && k >= n - (library ? 1 : 2); k--) {
        const stack::Frame* f = stack::frame_at(k);
        h = mix(h, uint64_t(f->type) << 32 | uint32_t(f->symbol));
    }
    if (n && !library) {
        const Cell* a = stack::bottom + stack::top_frame()->inner;
        for (int i = 0; i < 2 && a + i < stack::top_ptr; i++) h = mix(h, a[i].type());
    }
    return h;
}

inline void safe_point_at(Walk& w) { gc::safe_point_at(gc::sampled ? stress_site(w) : 0); }

// A block's items read where nothing evaluates, so that no collection can
// come between (the block needs no root): what the shortcuts that take
// values in place read of a walk, for a block that is not being walked.
struct Items {
    int32_t index;
    Cell* cells;
    int32_t limit;
};

// Points `near` at the walk for the time of a block's evaluation and puts the
// outer statement back afterwards (also when an error unwinds). `near` is
// read from the innermost walk only when an error is made, so a statement
// costs no more than noting where it starts.
struct NearScope {
    Walk* prev;
    uint8_t prev_opener;
    explicit NearScope(Walk* w) : prev(current_walk), prev_opener(stack::detail::opener) {
        w->outer = prev;
        w->frames = stack::frame_count();
        current_walk = w;
        stack::detail::opener = (buf(w->blk.cell.data2)->flags & memory::FLAG_LIBRARY) ? stack::BY_LIBRARY : 0;
    }
    ~NearScope() {
        current_walk = prev;
        stack::detail::opener = prev_opener;
    }
};

inline void set_near(Walk& w) { w.start = w.index; }

#define KRO_TRACE(event, code, position, ref, value)                                    \
    do {                                                                                \
        if (trace::tracing) [[unlikely]] {                                              \
            Flow traced_ = trace::fire(trace::event, code, position, ref, value);      \
            if (traced_ != Flow::NORMAL) return traced_;                                \
        }                                                                               \
    } while (0)

// The refinements that a path names after a function: items from `from` (an
// absolute index) to the path's tail.
struct PathRest {
    Cell* path;
    int32_t from;
};

// What argument fetching needs to know about the call.
struct Call {
    Cell* fn;       // the called value (an op already turned into its function), where the collector keeps it
    int32_t frame;  // the call's frame, which keeps its name
    bool native;    // native! or action!: refinements as positions
    bool infix;     // the left operand is already at stack::arguments
    int32_t* refs;  // natives: one position per refinement

    // The call's name word, as its frame keeps it (current after any collection).
    Cell name() const {
        const stack::Frame* f = stack::frame_at(frame);
        return Cell{uint32_t(TYPE_WORD), f->name_ctx, uint32_t(f->symbol), uint32_t(f->name_slot)};
    }
};

Flow eval_full(Walk& w, bool no_infix, bool push, bool keep_functions);
Flow eval_path(const Cell& path, Walk& w, const Cell* new_value, bool get, bool case_ = false);
[[gnu::always_inline]] inline Flow invoke(Walk& w, Cell* fn, const Cell* name, const PathRest* rest, uint32_t obj_ctx,
                                          bool infix, int mode, bool synced = false);
[[gnu::always_inline]] inline bool integer_call(uint32_t kind, uint32_t slot, int32_t a, int32_t b, Cell* out);
[[gnu::always_inline]] inline Flow run_function(const Cell* fn, int32_t cb_class);
template <bool parens = false, class W = Walk>
[[gnu::always_inline]] inline bool integer_infix(W& w, Cell* base, const Cell* op);
Flow infix_calls(Walk& w, Cell* base, const Cell* op, bool not_in_place = false);
bool quick_paren_outer(const Cell* paren, Cell* out);

void check_entries(const Cell* fn, const int32_t* refs);

Cell set_path_word{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
Cell compare_callback{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
Cell lexer_callback_word{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
int32_t system_symbol = 0, system_global_symbol = 0, local_symbol = 0, return_symbol = 0;

// ---- argument lists ----------------------------------------------------------------------------------

bool spelled(const Cell& c, int32_t symbol) { return symbol::same_word(int32_t(c.data2), symbol); }

Cell build_list(const Cell* fn) {
    Type t = fn->type();
    bool native = t == TYPE_NATIVE || t == TYPE_ACTION;
    gc::Rooted f(*fn), spec(Cell{uint32_t(TYPE_BLOCK), 0, fn->data2, 0}), list;
    int32_t n = block::length(spec.get());
    block::make_at(list.get(), n + 1);
    int32_t i = 0, slot = 0, ordinal = 0, locals = 0;
    bool after_local = false;
    if (n > 0 && block::at(spec.get(), 0)->is(TYPE_BLOCK)) i = 1;  // the attribute block
    for (; i < n; i++) {
        Cell e = *block::at(spec.get(), i);
        switch (e.type()) {
            case TYPE_WORD:
            case TYPE_GET_WORD:
            case TYPE_LIT_WORD: {
                slot++;
                if (after_local) {
                    if (e.is(TYPE_WORD)) locals++;
                    break;
                }
                uint32_t kind = e.is(TYPE_WORD) ? 0 : e.is(TYPE_GET_WORD) ? 1 : 2;
                Cell* ts;
                Cell next = i + 1 < n ? *block::at(spec.get(), i + 1) : none::value;
                if (next.is(TYPE_BLOCK) && block::length(&next) > 0) {
                    ts = typeset::make_in(list.get(), &next);
                    i++;
                } else {
                    if (next.is(TYPE_BLOCK)) i++;
                    ts = typeset::make_any(list.get());
                }
                ts->header = uint32_t(TYPE_TYPESET) | (kind << KIND_SHIFT);
                ts->data3 = e.data2;
                break;
            }
            case TYPE_REFINEMENT:
                if (spelled(e, local_symbol)) {
                    after_local = true;
                    locals = 1;
                    slot++;
                    break;
                }
                if (after_local) break;
                ordinal++;
                *block::add_cell(list.get()) =
                    Cell{uint32_t(TYPE_REFINEMENT), 0, e.data2, uint32_t(native ? ordinal : slot)};
                slot++;
                break;
            case TYPE_SET_WORD: {
                if (!spelled(e, return_symbol)) fire("script", "bad-func-def", spec.get());
                Cell next = i + 1 < n ? *block::at(spec.get(), i + 1) : none::value;
                Cell* ts;
                if (next.is(TYPE_BLOCK)) {
                    ts = typeset::make_in(list.get(), &next);
                    i++;
                } else {
                    ts = typeset::make_any(list.get());
                }
                ts->header = uint32_t(TYPE_TYPESET) | (3u << KIND_SHIFT);
                ts->data3 = e.data2;
                break;
            }
            default:
                break;  // doc strings
        }
    }
    if (native && ordinal > MAX_REFINEMENTS) {
        Cell count = integer(ordinal);
        fire("internal", "limit-hit", &count);
    }
    // data3 of the last cell: how many entries from the start are arguments
    // of the normal kind (a call's fast path fetches those without looking
    // at them), and in data1 1 when the entries after those take nothing
    // from the code (return: declarations up to the first refinement)
    int32_t lead = 0, count = block::length(list.get());
    while (lead < count) {
        const Cell* e = block::at(list.get(), lead);
        if (!e->is(TYPE_TYPESET) || entry_kind(*e) != 0) break;
        lead++;
    }
    int32_t k = lead;
    while (k < count && block::at(list.get(), k)->is(TYPE_TYPESET) && entry_kind(*block::at(list.get(), k)) == 3) k++;
    Cell last = integer(native ? ordinal : locals);
    last.data1 = k == count || block::at(list.get(), k)->is(TYPE_REFINEMENT) ? 1 : 0;
    last.data3 = uint32_t(lead);
    *block::add_cell(list.get()) = last;
    record_of(f.get())[1] = list.cell;
    return list.cell;
}

inline int32_t list_length(const Cell* fn) {
    Cell* rec = record_of(fn);
    if (!rec[1].is(TYPE_BLOCK)) [[unlikely]]
        build_list(fn);
    return cells_in(record_of(fn)[1].data2);
}

// Kinds of value that are their own result (the others take words' values,
// evaluate, or call).
constexpr uint64_t type_bit(Type t) { return uint64_t(1) << t; }
constexpr uint64_t ACTIVE_KINDS =
    type_bit(TYPE_WORD) | type_bit(TYPE_SET_WORD) | type_bit(TYPE_GET_WORD) | type_bit(TYPE_LIT_WORD) |
    type_bit(TYPE_PAREN) | type_bit(TYPE_PATH) | type_bit(TYPE_GET_PATH) | type_bit(TYPE_SET_PATH) |
    type_bit(TYPE_LIT_PATH) | type_bit(TYPE_ISSUE) | type_bit(TYPE_NATIVE) | type_bit(TYPE_ACTION) |
    type_bit(TYPE_FUNCTION) | type_bit(TYPE_ROUTINE) | type_bit(TYPE_OP);
inline bool passive(Type t) { return t >= 64 || !(ACTIVE_KINDS & type_bit(t)); }
// Values of words that are not simply taken: functions to call, unset, op!.
constexpr uint64_t NOT_PLAIN_VALUES = type_bit(TYPE_NATIVE) | type_bit(TYPE_ACTION) | type_bit(TYPE_FUNCTION) |
                                      type_bit(TYPE_ROUTINE) | type_bit(TYPE_UNSET) | type_bit(TYPE_OP);


// The op! value when the cell is a word whose value is one, else null.
[[gnu::always_inline]] inline const Cell* names_op(const Cell* c) {
    if (c->type() != TYPE_WORD) return nullptr;
    const Cell* op = lookup(c);
    return op && op->type() == TYPE_OP ? op : nullptr;
}

// The natives that invoke does in place: the conditionals and the exits.
inline bool done_in_place(uint32_t slot) {
    return slot - uint32_t(natives::IF) <= uint32_t(natives::EITHER - natives::IF) ||
           slot - uint32_t(natives::BREAK) <= uint32_t(natives::RETURN - natives::BREAK);
}

Flow eval_word_call(Walk& w, bool no_infix, bool push, const Cell* fn);
Flow eval_in_place(Walk& w, bool no_infix, bool push, const Cell* fn, bool& synced);
Flow eval_operators(Walk& w, const Cell* left, bool push, const Cell* op);
Flow eval_set_or_paren(Walk& w, bool no_infix, bool push);
Flow eval_set(Walk& w, bool no_infix, bool push, bool& quick);

// Ends an expression whose result was pushed at `base`: in last mode it goes
// into slot 0 and only that cell is kept.
inline void finish(Cell* base, bool push) {
    if (!push) {
        copy_cell(base, stack::arguments);
        stack::top_ptr = stack::arguments + 1;
    }
}

// The value of a code cell when it is a literal or a word's plain value
// (nothing to evaluate to get it), else null.
[[gnu::always_inline]] inline const Cell* plain_value(const Cell* c) {
    Type t = c->type();
    if (t == TYPE_WORD) {
        const Cell* v = lookup(c);
        if (!v) return nullptr;
        Type vt = v->type();
        if (vt < 64 && (NOT_PLAIN_VALUES & type_bit(vt))) return nullptr;
        return v;
    }
    return passive(t) ? c : nullptr;
}

// The same for the walk's item at `at`. The walk is synced and has an item
// left; not for tracing.
template <class W>
[[gnu::always_inline]] inline const Cell* plain_item(const W& w, int32_t at) { return plain_value(w.cells + at); }

// One expression from a synced walk with a value left at its index (push: the
// result is pushed, else it goes into slot 0 and only that cell is kept). The
// common case, a literal or a word's plain value with no operator after it,
// is done here in the caller's frame; a word's function is called at once.
// quick: set when nothing was evaluated (the block cannot have changed);
// synced: set when the walk was synced after the last evaluation (the ways
// that look for operators after a value end so, with nothing run since).
[[gnu::always_inline]] inline Flow eval_synced(Walk& w, bool no_infix, bool push, bool keep_functions,
                                               bool& quick, bool& synced) {
    quick = false;
    synced = !no_infix;
    if (!trace::tracing) [[likely]] {
        const Cell* c = w.cells + w.index;
        Type t = c->type();
        const Cell* v;
        if (t == TYPE_WORD) {
            v = lookup(c);
            if (v) {
                Type vt = v->type();
                if (is_callable(vt)) {
                    if (vt == TYPE_NATIVE && done_in_place(v->data1))
                        return eval_in_place(w, no_infix, push, v, synced);
                    return eval_word_call(w, no_infix, push, v);
                }
                if (vt == TYPE_UNSET || vt == TYPE_OP) [[unlikely]]
                    v = nullptr;
            }
        } else {
            v = passive(t) ? c : nullptr;
        }
        if (t == TYPE_SET_WORD) return eval_set(w, no_infix, push, quick);
        if (t == TYPE_PAREN) return eval_set_or_paren(w, no_infix, push);
        if (v) [[likely]] {
            if (!no_infix && w.index + 1 < w.limit) {
                if (const Cell* op = names_op(c + 1)) return eval_operators(w, v, push, op);
            }
            w.index++;
            if (push) {
                copy_cell(v, stack::push_cell());
            } else {
                move_cell(v, stack::arguments);  // v may be that cell itself (a function's local)
                stack::top_ptr = stack::arguments + 1;
            }
            quick = true;
            return Flow::NORMAL;
        }
    }
    return eval_full(w, no_infix, push, keep_functions);
}

[[gnu::always_inline]] inline Flow eval_synced(Walk& w, bool no_infix, bool push, bool keep_functions) {
    bool quick, synced;
    return eval_synced(w, no_infix, push, keep_functions, quick, synced);
}

// The same from any walk that has a value left at its index.
[[gnu::always_inline]] inline Flow eval_expression(Walk& w, bool no_infix, bool push, bool keep_functions) {
    w.sync();
    return eval_synced(w, no_infix, push, keep_functions);
}

// ---- fetching arguments ------------------------------------------------------------------------------

inline void check_top(const Cell& entry, const Call& c) {
    Type t = (stack::top_ptr - 1)->type();
    if (!admits(entry, t)) [[unlikely]]
        call_expects(c, t, entry.data3);
}

[[noreturn]] [[gnu::noinline]] void no_arg(const Cell& entry, const Call& c) {
    Cell arg = word_of(entry.data3), name = c.name();
    fire("script", "no-arg", &name, &arg);
}

// An argument of the kinds fetch_one leaves: literal and quoted ones, and any
// while tracing.
[[gnu::noinline]] Flow fetch_other(Walk& w, const Cell& entry, const Call& c, bool no_infix) {
    int kind = entry_kind(entry);
    if (trace::tracing) [[unlikely]] {
        Cell v = *w.at(w.index);
        KRO_TRACE(FETCH, &w.blk.cell, w.index, nullptr, &v);
    }
    switch (kind) {
        case 0: {
            Flow f = eval_full(w, no_infix, true, false);
            if (f != Flow::NORMAL) return f;
            break;
        }
        case 1:
            stack::push(w.at(w.index));
            w.index++;
            break;
        default: {
            Cell v = *w.at(w.index);
            w.index++;
            if (v.is(TYPE_PAREN)) {
                Flow f = eval_block(&v, false);
                if (f != Flow::NORMAL) return f;
            } else if (v.is(TYPE_GET_WORD)) {
                stack::push(value_of(&v));
            } else if (v.is(TYPE_GET_PATH)) {
                Flow f = eval_path(v, w, nullptr, true);
                if (f != Flow::NORMAL) return f;
            } else {
                stack::push(&v);
            }
        }
    }
    check_top(entry, c);
    return Flow::NORMAL;
}

// One argument by its entry's kind, pushed and checked. entry is a copy (the
// list may move while the argument is evaluated).
inline Flow fetch_one(Walk& w, const Cell& entry, const Call& c, bool no_infix) {
    int kind = entry_kind(entry);
    w.sync();
    if (w.index >= w.limit) [[unlikely]] {
        if (kind == 2 && admits(entry, TYPE_UNSET)) {
            stack::push(&unset::value);
            return Flow::NORMAL;
        }
        no_arg(entry, c);
    }
    if (kind != 0 || trace::tracing) [[unlikely]]
        return fetch_other(w, entry, c, no_infix);
    Flow f = eval_synced(w, no_infix, true, false);
    if (f != Flow::NORMAL) [[unlikely]]
        return f;
    check_top(entry, c);
    return Flow::NORMAL;
}

// The refinements named after the function in a path, in path order.
Flow path_refinements(Walk& w, Call& c, const PathRest& rest) {
    uint64_t seen[4] = {0, 0, 0, 0};
    for (int32_t j = rest.from; j < cells_in(rest.path->data2); j++) {
        Cell item = *block::ks_abs_at(rest.path, j);
        bool used;
        if (item.is(TYPE_WORD)) {
            used = true;
        } else if (item.is(TYPE_GET_WORD)) {
            used = logic::value_true(value_of(&item), true, &item);
        } else {
            fire("script", "bad-refine", &item);
        }
        int32_t n = list_length(c.fn);
        int32_t at = -1;
        for (int32_t k = 0; k < n; k++) {
            Cell* e = list_cells(c.fn) + k;
            if (e->is(TYPE_REFINEMENT) && symbol::same_word(int32_t(e->data2), int32_t(item.data2))) {
                at = k;
                break;
            }
        }
        if (at < 0) {
            Cell r = word_of(item.data2), name = c.name();
            fire("script", "no-refine", &name, &r);
        }
        if (at < 256) {
            uint64_t bit = uint64_t(1) << (at & 63);
            if (seen[at >> 6] & bit) fire("script", "dup-refine", rest.path);
            seen[at >> 6] |= bit;
        }
        Cell r = list_cells(c.fn)[at];
        int32_t slot = int32_t(r.data3);
        if (used) {
            if (c.native) c.refs[slot - 1] = int32_t(stack::top_ptr - stack::arguments);
            else stack::arguments[slot] = logic::true_value;
        }
        for (int32_t k = at + 1; k < n; k++) {
            Cell e = list_cells(c.fn)[k];
            if (!e.is(TYPE_TYPESET)) break;
            if (entry_kind(e) == 3) continue;
            slot++;
            Flow f = fetch_one(w, e, c, false);
            if (f != Flow::NORMAL) return f;
            if (!c.native) {
                if (used) stack::arguments[slot] = *(stack::top_ptr - 1);
                stack::pop(1);
            } else if (!used) {
                stack::pop(1);
            }
        }
    }
    return Flow::NORMAL;
}

// Refinement positions all -1; answers the list's length.
inline int32_t prepare(Call& c) {
    int32_t n = list_length(c.fn);
    if (c.native) {
        int32_t nrefs = int32_t(list_cells(c.fn)[n - 1].data2);
        for (int32_t i = 0; i < nrefs; i++) c.refs[i] = -1;
    }
    return n;
}

Flow fetch_args(Walk& w, Call& c, const PathRest* rest) {
    int32_t n = prepare(c);
    bool active = true, first = true;
    // read again after each evaluation, which may move the list
    const Cell* list = list_cells(c.fn);
    for (int32_t i = 0; i < n; i++) {
        const Cell& e = list[i];
        switch (e.type()) {
            case TYPE_TYPESET: {
                if (entry_kind(e) == 3) break;
                if (!active) {
                    if (!c.native) stack::push(&none::value);
                    break;
                }
                if (first && c.infix) {
                    first = false;
                    Type t = stack::arguments->type();
                    if (!admits(e, t)) call_expects(c, t, e.data3);
                    break;
                }
                first = false;
                Cell entry = e;
                Flow f = fetch_one(w, entry, c, c.infix);
                if (f != Flow::NORMAL) return f;
                list = list_cells(c.fn);
                break;
            }
            case TYPE_REFINEMENT:
                active = false;
                if (!c.native) stack::push(&logic::false_value);
                break;
            case TYPE_INTEGER:
                if (!c.native && e.data2) function::push_refinement_defaults(int32_t(e.data2));
                break;
            default:
                break;
        }
    }
    if (rest) return path_refinements(w, c, *rest);
    return Flow::NORMAL;
}

// A function's cells for the list entries from i on when no refinement is
// used: none for arguments, false for refinements, then the locals.
void lay_out_unused(const Cell* list, int32_t i, int32_t n) {
    for (; i < n; i++) {
        const Cell& e = list[i];
        switch (e.type()) {
            case TYPE_TYPESET:
                if (entry_kind(e) != 3) stack::push(&none::value);
                break;
            case TYPE_REFINEMENT:
                stack::push(&logic::false_value);
                break;
            case TYPE_INTEGER:
                if (e.data2) function::push_refinement_defaults(int32_t(e.data2));
                break;
            default:
                break;
        }
    }
}

// An argument of the normal kind at the walk's index (synced, an item left,
// not tracing) that is a literal or a word's plain value: pushed, and the
// built-in operators on integers with plain right operands after it done in
// place (nothing is evaluated: the list and the block stay). Answers false,
// having done nothing, when the item must be evaluated; *op receives the
// operator still to be called after the pushed value, or null.
template <class W>
[[gnu::always_inline]] inline bool push_plain(W& w, bool infix, const Cell** op) {
    const Cell* v = plain_item(w, w.index);
    if (!v) return false;
    const Cell* next = !infix && w.index + 1 < w.limit ? names_op(w.cells + w.index + 1) : nullptr;
    Cell* base = stack::push(v);
    w.index++;
    while (next && integer_infix(w, base, next)) next = w.index < w.limit ? names_op(w.cells + w.index) : nullptr;
    *op = next;
    return true;
}

// An argument of the normal kind for list entry e taken by push_plain, then
// checked against e, with the operators push_plain leaves called. Answers
// false, having done nothing, when the item must be evaluated; moved: set
// when something was evaluated (the list and the block may have moved).
[[gnu::always_inline]] inline bool plain_arg(Walk& w, const Call& c, const Cell& e, Flow& f, bool& moved) {
    const Cell* op;
    if (!push_plain(w, c.infix, &op)) return false;
    if (!op) [[likely]] {
        check_top(e, c);
        return true;
    }
    Cell entry = e;  // a copy: the list may move
    moved = true;
    f = infix_calls(w, stack::top_ptr - 1, op);
    if (f == Flow::NORMAL) check_top(entry, c);
    return true;
}

// The argument for list entry e from the walk (synced first when stale): a
// literal or a plain value the short way when plain (an entry of the normal
// kind), else evaluated as its kind says. stale: set when something was
// evaluated (the walk, the list and the block may have moved).
[[gnu::always_inline]] inline Flow next_arg(Walk& w, Call& c, const Cell& e, bool plain, bool& stale) {
    if (stale) {
        w.sync();
        stale = false;
    }
    if (plain && w.index < w.limit && !trace::tracing) [[likely]] {
        Flow f = Flow::NORMAL;
        if (plain_arg(w, c, e, f, stale)) return f;
    }
    stale = true;
    Cell entry = e;  // a copy: the list may move
    return fetch_one(w, entry, c, c.infix);
}

// The arguments of fetch_plain from list entry i on, the general way (left:
// entry i's argument is an infix call's left operand, already in place).
// The walk is read again before use.
[[gnu::noinline]] Flow fetch_rest(Walk& w, Call& c, int32_t i, bool left) {
    list_length(c.fn);  // built at the first call when the caller has not read it
    memory::Buffer* lb = buf(record_of(c.fn)[1].data2);
    const Cell* list = lb->cells();
    int32_t n = int32_t(lb->used_bytes() / sizeof(Cell));
    bool stale = true;  // whether the walk must sync before it is read
    for (; i < n; i++) {
        const Cell& e = list[i];
        if (!e.is(TYPE_TYPESET)) break;
        if (entry_kind(e) == 3) continue;
        if (left) {
            // an operator's left operand, already in place
            left = false;
            Type t = stack::arguments->type();
            if (!admits(e, t)) [[unlikely]]
                call_expects(c, t, e.data3);
            continue;
        }
        Flow f = next_arg(w, c, e, entry_kind(e) == 0, stale);
        if (f != Flow::NORMAL) [[unlikely]]
            return f;
        if (stale) list = list_cells(c.fn);  // the evaluation may have moved it
    }
    if (c.native) {
        int32_t nrefs = int32_t(list[n - 1].data2);
        for (int32_t k = 0; k < nrefs; k++) c.refs[k] = -1;
        return Flow::NORMAL;
    }
    lay_out_unused(list, i, n);
    return Flow::NORMAL;
}

// The argument list of the function called last, kept on the same terms as
// the global values (a list is built once and never changes).
struct KeptList {
    uint32_t record = 0;
    uint64_t relocations = ~uint64_t(0);
    const Cell* list = nullptr;
    int32_t count = 0;
};
KeptList kept_list;

// The arguments of a call met in code with no refinements named (no path
// after the function) while nothing is traced: the arguments before the
// first refinement are fetched, the rest is laid out unused. The leading
// arguments of the normal kind (the count the list's last cell keeps) take
// the short way; whatever the list holds after them goes to fetch_rest.
// synced: the walk is as its last sync() left it and nothing has run since.
[[gnu::always_inline]] inline Flow fetch_plain(Walk& w, Call& c, bool synced) {
    const Cell* list;
    int32_t n;
    if (c.fn->data3 == kept_list.record && kept_list.relocations == memory::relocations) [[likely]] {
        list = kept_list.list;
        n = kept_list.count;
    } else {
        Cell* rec = record_of(c.fn);
        if (!rec[1].is(TYPE_BLOCK)) [[unlikely]] {
            build_list(c.fn);
            rec = record_of(c.fn);
        }
        memory::Buffer* lb = buf(rec[1].data2);
        list = lb->cells();
        n = int32_t(lb->used_bytes() / sizeof(Cell));
        kept_list = KeptList{c.fn->data3, memory::relocations, list, n};
    }
    int32_t lead = int32_t(list[n - 1].data3);
    int32_t i = 0;
    if (c.infix) {
        if (lead == 0) [[unlikely]]
            return fetch_rest(w, c, 0, true);
        // an operator's left operand, already in place
        Type t = stack::arguments->type();
        if (!admits(list[0], t)) [[unlikely]]
            call_expects(c, t, list[0].data3);
        i = 1;
    }
    bool stale = !synced;  // whether the walk must sync before it is read
    for (; i < lead; i++) {
        Flow f = next_arg(w, c, list[i], true, stale);
        if (f != Flow::NORMAL) [[unlikely]]
            return f;
        if (stale) [[unlikely]] {
            // the evaluation may have moved the list
            i++;
            for (; i < lead; i++) {
                f = next_arg(w, c, list_cells(c.fn)[i], true, stale);
                if (f != Flow::NORMAL) [[unlikely]]
                    return f;
            }
            list = list_cells(c.fn);
            break;
        }
    }
    const Cell& last = list[n - 1];
    if (i < n - 1 && !last.data1) [[unlikely]]
        return fetch_rest(w, c, i, false);
    // nothing more comes from the code
    int32_t count = int32_t(last.data2);  // refinements (natives) or locals (functions)
    if (c.native) {
        for (int32_t k = 0; k < count; k++) c.refs[k] = -1;
    } else if (i < n - 1) {
        lay_out_unused(list, i, n);
    } else if (count) {
        function::push_refinement_defaults(count);
    }
    return Flow::NORMAL;
}

// The first argument of a native done in place (of the normal kind, its
// spec admitting any value), fetched as fetch_plain fetches it; the walk is
// synced after. general: set when the argument is missing and the arguments
// were fetched the general way (which raises).
[[gnu::always_inline]] inline Flow fetch_first(Walk& w, Call& c, bool& general) {
    w.sync();
    if (w.index >= w.limit) [[unlikely]] {
        general = true;
        return fetch_rest(w, c, 0, false);
    }
    const Cell* op;
    Flow f = Flow::NORMAL;
    if (push_plain(w, false, &op)) {
        if (!op) return Flow::NORMAL;
        f = infix_calls(w, stack::top_ptr - 1, op);
        if (f == Flow::NORMAL) return f;  // infix_calls leaves the walk synced
    } else {
        bool quick, synced;
        f = eval_synced(w, false, true, false, quick, synced);
        if (f == Flow::NORMAL && (quick || synced)) return f;
    }
    w.sync();
    return f;
}

// Whether a conditional's or an exit's native value is the one made at
// start-up and its slot still runs that native's own code: only then may the
// evaluator do its work in place (a redefined slot or another argument list
// goes the general way).
inline bool own_native(const Cell* fn) {
    NativeFn own;
    switch (int32_t(fn->data1)) {
        case natives::IF: own = &natives::if_native; break;
        case natives::UNLESS: own = &natives::unless_native; break;
        case natives::EITHER: own = &natives::either_native; break;
        case natives::BREAK: own = &natives::break_native; break;
        case natives::CONTINUE: own = &natives::continue_native; break;
        case natives::EXIT: own = &natives::exit_native; break;
        case natives::RETURN: own = &natives::return_native; break;
        default: return false;
    }
    return native_fn(int32_t(fn->data1)) == own && native::made_at_start(fn);
}

// if, unless and either met in code (not infix, no refinements named, nothing
// traced), in their frame: the condition is fetched as fetch_plain fetches
// it; when literal blocks follow it, with no operator after the last, they
// are pushed as the native's arguments and the chosen one is evaluated into
// the call's slot 0 here, as the native does (called is set). Otherwise (a
// block to evaluate or missing, tracing switched on by the condition, another
// native in the slot) the arguments are fetched the general way and the
// native is called as usual.
[[gnu::noinline]] Flow conditional(Walk& w, Call& c, bool& called) {
    uint32_t slot = c.fn->data1;
    if (!own_native(c.fn)) [[unlikely]]
        return fetch_rest(w, c, 0, false);
    bool general = false;
    Flow f = fetch_first(w, c, general);
    if (f != Flow::NORMAL || general) [[unlikely]]
        return f;
    // the condition takes any value, the branches block!s
    bool either = slot == uint32_t(natives::EITHER);
    int32_t blocks = either ? 2 : 1, at = w.index;
    if (trace::tracing || at + blocks > w.limit || !w.cells[at].is(TYPE_BLOCK) ||
        (either && !w.cells[at + 1].is(TYPE_BLOCK)) || (at + blocks < w.limit && names_op(w.cells + at + blocks)))
        [[unlikely]]
        return fetch_rest(w, c, 1, false);
    Cell* a = stack::arguments;
    stack::push(w.cells + at);
    if (either) stack::push(w.cells + at + 1);
    w.index = at + blocks;
    called = true;
    int32_t chosen;
    if (either) {
        if (a->is(TYPE_UNSET)) [[unlikely]]
            fire("script", "no-return");
        chosen = logic::is_true(a) ? 1 : 2;
    } else {
        chosen = logic::is_true(a) == (slot == uint32_t(natives::IF)) ? 1 : 0;
    }
    if (!chosen) {
        stack::set_last_reset(&none::value);
        return Flow::NORMAL;
    }
    f = eval_block(a + chosen, true);
    if (f != Flow::NORMAL) return f;
    stack::keep();
    return Flow::NORMAL;
}

// break, continue, exit and return met in code (not infix, no refinements
// named, nothing traced), in their frame: return's value is fetched as
// fetch_plain fetches it, then the exit is thrown as the native throws it
// (called is set). Another native in the slot, a missing value, or tracing
// switched on by the value: the native is called as usual.
[[gnu::noinline]] Flow leave(Walk& w, Call& c, bool& called) {
    uint32_t slot = c.fn->data1;
    if (!own_native(c.fn)) [[unlikely]]
        return fetch_rest(w, c, 0, false);
    switch (slot) {
        case natives::BREAK:
            called = true;
            return stack::throw_break(false, nullptr);
        case natives::CONTINUE:
            called = true;
            return stack::throw_break(true, nullptr);
        case natives::EXIT:
            called = true;
            return stack::throw_return(false, nullptr);
        default:
            break;
    }
    bool general = false;
    Flow f = fetch_first(w, c, general);
    if (f != Flow::NORMAL || general) [[unlikely]]
        return f;
    // return takes any value: nothing to check
    if (trace::tracing) [[unlikely]]
        return Flow::NORMAL;
    called = true;
    return stack::throw_return(false, stack::arguments);
}

// ---- apply -----------------------------------------------------------------------------------------

// One argument from an apply block: none when the block has ended; with
// safer, evaluated with nothing after its first value in reach.
Flow apply_one(Walk& w, const Cell& e, const Call& c, bool safer) {
    if (w.done()) {
        stack::push(&none::value);
        return Flow::NORMAL;
    }
    if (!safer) return fetch_one(w, e, c, false);
    int32_t saved = w.end;
    w.end = w.index + 1 < w.end ? w.index + 1 : w.end;
    Flow f = fetch_one(w, e, c, false);
    w.end = saved;
    return f;
}

// Skips (safer) or fetches and drops one argument of an unused refinement;
// functions keep none in its cell.
Flow apply_unused(Walk& w, const Cell& e, const Call& c, bool safer) {
    if (!w.done()) {
        if (safer) {
            w.index++;
        } else {
            Flow f = fetch_one(w, e, c, false);
            if (f != Flow::NORMAL) return f;
            stack::pop(1);
        }
    }
    if (!c.native) stack::push(&none::value);
    return Flow::NORMAL;
}

// The value of one expression of the apply block (a refinement's setting).
Flow apply_setting(Walk& w, bool safer, Cell* out) {
    int32_t saved = w.end;
    if (safer) w.end = w.index + 1 < w.end ? w.index + 1 : w.end;
    Flow f = eval_expression(w, false, true, false);
    w.end = saved;
    if (f != Flow::NORMAL) return f;
    *out = *(stack::top_ptr - 1);
    stack::pop(1);
    return Flow::NORMAL;
}

Flow fetch_apply(Walk& w, Call& c, int mode) {
    bool safer = mode & APPLY_SAFER;
    int32_t n = prepare(c);
    bool active = true;
    if (mode & APPLY_ALL) {
        for (int32_t i = 0; i < n; i++) {
            Cell e = list_cells(c.fn)[i];
            switch (e.type()) {
                case TYPE_TYPESET: {
                    if (entry_kind(e) == 3) break;
                    Flow f = active ? apply_one(w, e, c, safer) : apply_unused(w, e, c, safer);
                    if (f != Flow::NORMAL) return f;
                    break;
                }
                case TYPE_REFINEMENT: {
                    bool used = false;
                    if (!w.done()) {
                        Cell v;
                        Flow f = apply_setting(w, safer, &v);
                        if (f != Flow::NORMAL) return f;
                        if (!v.is(TYPE_LOGIC)) call_expects(c, v.type(), e.data2);
                        used = v.data1 != 0;
                    }
                    if (c.native) {
                        if (used) c.refs[e.data3 - 1] = int32_t(stack::top_ptr - stack::arguments);
                    } else {
                        stack::push(used ? &logic::true_value : &logic::false_value);
                    }
                    active = used;
                    break;
                }
                case TYPE_INTEGER:
                    if (!c.native) function::push_refinement_defaults(int32_t(e.data2));
                    break;
                default:
                    break;
            }
        }
        return Flow::NORMAL;
    }
    // the arguments before the first refinement, the rest laid out unused
    bool has_refinements = false;
    for (int32_t i = 0; i < n; i++) {
        Cell e = list_cells(c.fn)[i];
        switch (e.type()) {
            case TYPE_TYPESET: {
                if (entry_kind(e) == 3) break;
                if (!active) {
                    if (!c.native) stack::push(&none::value);
                    break;
                }
                Flow f = apply_one(w, e, c, safer);
                if (f != Flow::NORMAL) return f;
                break;
            }
            case TYPE_REFINEMENT:
                active = false;
                has_refinements = true;
                if (!c.native) stack::push(&logic::false_value);
                break;
            case TYPE_INTEGER:
                if (!c.native) function::push_refinement_defaults(int32_t(e.data2));
                break;
            default:
                break;
        }
    }
    // then refinement settings: /name (or :name) and an expression for its truth
    while (!w.done()) {
        Cell item = *w.at(w.index);
        if (!item.is(TYPE_REFINEMENT) && !item.is(TYPE_GET_WORD)) {
            if (!has_refinements) break;
            fire("script", "bad-refine", &item);
        }
        int32_t at = -1;
        for (int32_t k = 0; k < n; k++) {
            Cell* e = list_cells(c.fn) + k;
            if (e->is(TYPE_REFINEMENT) && symbol::same_word(int32_t(e->data2), int32_t(item.data2))) {
                at = k;
                break;
            }
        }
        if (at < 0) {
            Cell r = word_of(item.data2), name = c.name();
            fire("script", "no-refine", &name, &r);
        }
        w.index++;
        Cell setting = none::value;
        if (!w.done()) {
            Flow f = apply_setting(w, safer, &setting);
            if (f != Flow::NORMAL) return f;
        }
        if (setting.is(TYPE_UNSET)) fire("script", "no-return");
        bool used = logic::is_true(&setting);
        Cell r = list_cells(c.fn)[at];
        int32_t slot = int32_t(r.data3);
        if (c.native) {
            c.refs[slot - 1] = used ? int32_t(stack::top_ptr - stack::arguments) : -1;
        } else {
            stack::arguments[slot] = used ? logic::true_value : logic::false_value;
        }
        for (int32_t k = at + 1; k < n; k++) {
            Cell e = list_cells(c.fn)[k];
            if (!e.is(TYPE_TYPESET)) break;
            if (entry_kind(e) == 3) continue;
            slot++;
            Flow f = used ? apply_one(w, e, c, safer) : apply_unused(w, e, c, safer);
            if (f != Flow::NORMAL) return f;
            if (!c.native) {
                stack::arguments[slot] = *(stack::top_ptr - 1);
                stack::pop(1);
            }
        }
    }
    return Flow::NORMAL;
}

// ---- calls ---------------------------------------------------------------------------------------------

inline NativeFn entry_of(const Cell* fn) {
    return fn->is(TYPE_ACTION) ? actions::entry(int32_t(fn->data1)) : native_fn(int32_t(fn->data1));
}

// Calls the function value in *fn (a data-stack cell, or a rooted one for an
// infix call) with its arguments fetched from the walk (mode 0) or taken as
// apply does (mode 1, 2, + 4). The result ends in the callee's slot 0, which
// is the caller's top after the frame closes. synced: the walk is as its last
// sync() left it (the evaluator's own calls, which also take a function's
// body in line).
[[gnu::always_inline]] inline Flow invoke(Walk& w, Cell* fn, const Cell* name_word, const PathRest* rest,
                                          uint32_t obj_ctx, bool infix, int mode, bool synced) {
    const Cell* name = name_word;
    Cell name_cell;
    if (trace::tracing) [[unlikely]] {
        // the tracer may move the name's context: the name is kept where the collector sees it
        gc::Rooted kept(*name_word);
        Cell f = *fn;
        KRO_TRACE(OPEN, &w.blk.cell, w.index, nullptr, &f);
        name_cell = kept.cell;
        name = &name_cell;
    }
    Type t = fn->type();
    int32_t refs[MAX_REFINEMENTS];
    Call c{fn, stack::frame_count(), t == TYPE_NATIVE || t == TYPE_ACTION, infix, refs};
    // the name is read here, before anything is evaluated: the frame keeps it from now on
    Cell* base = infix ? stack::top_ptr - 1 : stack::top_ptr;
    const Cell* fn_cell = infix ? nullptr : fn;  // an infix call's function is not on the data stack
    if (t == TYPE_FUNCTION) {
        stack::mark_interp_call(stack::INTERP_FUNC, name, fn->data1, fn_cell, base);
    } else if (c.native || t == TYPE_ROUTINE) {
        stack::mark_interp_call(stack::INTERP_NATIVE, name, 0, fn_cell, base);
    } else {
        rt_error::no_switch_match();
    }
    bool called = false;  // the conditionals done in place
    Flow f = mode                        ? fetch_apply(w, c, mode)
             : rest || trace::tracing ? fetch_args(w, c, rest)
             : !infix && t == TYPE_NATIVE && done_in_place(fn->data1)
                 ? (fn->data1 <= uint32_t(natives::EITHER) ? conditional(w, c, called) : leave(w, c, called))
                 : fetch_plain(w, c, synced);
    if (f != Flow::NORMAL) return f;
    if (trace::tracing && !called) [[unlikely]] {
        // the name is the reference, the function the value
        Cell v = *fn, n = c.name();
        KRO_TRACE(CALL, &w.blk.cell, w.index, &n, &v);
    }
    if (!called) {
        if (t == TYPE_FUNCTION) {
            f = synced ? run_function(fn, 0) : call_function(fn, obj_ctx, 0);
        } else if (t == TYPE_ROUTINE) {
            f = call_routine(fn);
        } else {
            Cell* a = stack::arguments;
            if (!(a[0].is(TYPE_INTEGER) && stack::top_ptr - a >= 2 && a[1].is(TYPE_INTEGER) &&
                  integer_call(t, fn->data1, int32_t(a[0].data2), int32_t(a[1].data2), a))) {
                NativeFn entry = entry_of(fn);
                if (!entry) [[unlikely]]
                    fire("internal", "not-done");
                f = flow::shield([&] { return entry(refs); });
            }
        }
    }
    if (f != Flow::NORMAL) return f;
    if (trace::tracing) [[unlikely]] {
        Cell n = c.name();  // read while the frame that keeps it is open
        stack::unwind();
        Cell r = *(stack::top_ptr - 1);
        KRO_TRACE(RETURN, &w.blk.cell, w.index, &n, &r);
        return Flow::NORMAL;
    }
    stack::unwind();
    return Flow::NORMAL;
}

// A call met in code: the function cell is pushed (the result replaces it).
[[gnu::noinline]] Flow eval_call(const Cell& fn_value, Walk& w, const Cell& name_word, const PathRest* rest,
                                 uint32_t obj_ctx) {
    Cell* fn = stack::push(&fn_value);
    Flow f = invoke(w, fn, &name_word, rest, obj_ctx, false, 0);
    if (f != Flow::NORMAL) return f;
    copy_cell(fn + 1, fn);
    stack::top_ptr = fn + 1;
    return Flow::NORMAL;
}

// Native slots of the comparison natives (the natives table's order).
enum : uint32_t { EQUAL_Q = 25, NOT_EQUAL_Q, STRICT_EQUAL_Q, LESSER_Q, GREATER_Q, LESSER_OR_EQUAL_Q, GREATER_OR_EQUAL_Q };

// The built-in arithmetic and comparison on two integer!s, done in place of
// the call: the native or action of that slot (kind is TYPE_NATIVE or
// TYPE_ACTION) gives the same result. Answers false when this is not such a
// call, or for the cases that raise (division by zero, overflow of a
// quotient), which go the full way.
[[gnu::always_inline]] inline bool integer_call(uint32_t kind, uint32_t slot, int32_t a, int32_t b, Cell* out) {
    int32_t r;
    if (kind == TYPE_ACTION) {
        // the wide result is worked out only when the integer one overflows
        double wide;
        switch (slot) {
            case A_ADD:
                if (__builtin_add_overflow(a, b, &r)) [[unlikely]] {
                    wide = double(a) + double(b);
                    goto as_float;
                }
                break;
            case A_SUBTRACT:
                if (__builtin_sub_overflow(a, b, &r)) [[unlikely]] {
                    wide = double(a) - double(b);
                    goto as_float;
                }
                break;
            case A_MULTIPLY:
                if (__builtin_mul_overflow(a, b, &r)) [[unlikely]] {
                    wide = double(a) * double(b);
                    goto as_float;
                }
                break;
            case A_DIVIDE:
                if (b == 0 || (a == INT32_MIN && b == -1)) return false;
                if (a % b != 0) {
                    wide = double(a) / double(b);
                    goto as_float;
                }
                r = a / b;
                break;
            case A_REMAINDER:
                if (b == 0 || b == -1) return false;
                r = a % b;
                break;
            case A_AND_T: r = a & b; break;
            case A_OR_T: r = a | b; break;
            case A_XOR_T: r = a ^ b; break;
            default: return false;
        }
        *out = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(r), 0};
        return true;
    as_float:
        *out = Cell{uint32_t(TYPE_FLOAT), 0, 0, 0};
        out->set_float(wide);
        return true;
    }
    if (kind != TYPE_NATIVE) return false;
    bool t;
    switch (slot) {
        case EQUAL_Q:
        case STRICT_EQUAL_Q: t = a == b; break;
        case NOT_EQUAL_Q: t = a != b; break;
        case LESSER_Q: t = a < b; break;
        case GREATER_Q: t = a > b; break;
        case LESSER_OR_EQUAL_Q: t = a <= b; break;
        case GREATER_OR_EQUAL_Q: t = a >= b; break;
        default: return false;
    }
    *out = logic::make(t);
    return true;
}

// The common case of the built-in operators, done in place: two integer!
// operands, the right one a literal or a word's value (so nothing is
// evaluated and nothing can fail), nothing traced. The walk is synced.
// parens: a right operand may also be a paren that quick_paren works out
// (nothing in it evaluates or fails).
template <bool parens, class W>
[[gnu::always_inline]] inline bool integer_infix(W& w, Cell* base, const Cell* op) {
    if (!base->is(TYPE_INTEGER) || w.index + 1 >= w.limit) return false;
    const Cell* right = w.cells + w.index + 1;
    Cell worked;
    if (right->is(TYPE_WORD)) {
        right = lookup(right);
        if (!right) return false;
    } else if (parens && right->is(TYPE_PAREN)) {
        if (!quick_paren_outer(right, &worked)) return false;
        right = &worked;
    }
    if (!right->is(TYPE_INTEGER)) return false;
    if (!integer_call(native::wrapped_type(op), op->data1, int32_t(base->data2), int32_t(right->data2), base))
        return false;
    w.index += 2;
    stack::top_ptr = base + 1;
    return true;
}

// Whether an op! is one of the built-in operators that integer_call does.
inline bool integer_kind(const Cell* op) {
    uint32_t kind = native::wrapped_type(op), slot = op->data1;
    if (kind == TYPE_ACTION)
        return slot == A_ADD || slot == A_SUBTRACT || slot == A_MULTIPLY || slot == A_DIVIDE ||
               slot == A_REMAINDER || slot == A_AND_T || slot == A_OR_T || slot == A_XOR_T;
    return kind == TYPE_NATIVE && slot >= EQUAL_Q && slot <= GREATER_OR_EQUAL_Q;
}

// A built-in operator after an integer! at `base` whose right operand must be
// evaluated (the walk is synced, the operator word is at its index and a value
// follows it). The call is made as invoke makes it, in a frame named by the
// operator; two integers are then done in place, anything else goes to the
// operator's own code.
[[gnu::always_inline]] inline Flow integer_operator(Walk& w, Cell* base, const Cell* op) {
    gc::Rooted fn(*op);
    fn->header = native::wrapped_type(op);
    Cell name = w.cells[w.index];
    stack::top_ptr = base + 1;
    w.index++;
    stack::mark_interp_call(stack::INTERP_NATIVE, &name, 0, nullptr, base);
    Flow f = eval_synced(w, true, true, false);
    if (f != Flow::NORMAL) return f;
    Cell* a = stack::arguments;
    if (!(a[1].is(TYPE_INTEGER) &&
          integer_call(fn->type(), fn->data1, int32_t(a[0].data2), int32_t(a[1].data2), a))) {
        int32_t refs[MAX_REFINEMENTS];
        int32_t n = list_length(fn.get());
        int32_t nrefs = int32_t(list_cells(fn.get())[n - 1].data2);
        for (int32_t k = 0; k < nrefs; k++) refs[k] = -1;
        check_entries(fn.get(), refs);
        NativeFn entry = entry_of(fn.get());
        if (!entry) [[unlikely]]
            fire("internal", "not-done");
        f = flow::shield([&] { return entry(refs); });
        if (f != Flow::NORMAL) return f;
    }
    stack::unwind();
    w.sync();
    return Flow::NORMAL;
}

// The operators after a left operand, which is at `base` (the walk is synced
// and the next value is a word whose value is an op!).
// op: the first operator's value when the caller has looked it up already;
// not_in_place: the caller found that integer_infix<true> cannot do it.
[[gnu::noinline]] Flow infix_calls(Walk& w, Cell* base, const Cell* op, bool not_in_place) {
    for (;;) {
        if (w.index >= w.limit) return Flow::NORMAL;
        const Cell* c = w.cells + w.index;
        const Cell* v = op;
        op = nullptr;
        if (!v) {
            if (c->type() != TYPE_WORD) return Flow::NORMAL;
            v = lookup(c);
            if (!v || v->type() != TYPE_OP) return Flow::NORMAL;
        }
        if (!trace::tracing) [[likely]] {
            if (!not_in_place && integer_infix<true>(w, base, v)) continue;
            not_in_place = false;
            if (base->is(TYPE_INTEGER) && w.index + 1 < w.limit && integer_kind(v)) {
                Flow f = integer_operator(w, base, v);
                if (f != Flow::NORMAL) return f;
                continue;
            }
        }
        if (trace::tracing) [[unlikely]] {
            Cell traced = *c;  // the operator word, as the code holds it
            KRO_TRACE(FETCH, &w.blk.cell, w.index, nullptr, &traced);
            // read again after the tracer ran
            if (w.done()) return Flow::NORMAL;
            c = w.at(w.index);
            v = c->is(TYPE_WORD) ? lookup(c) : nullptr;
            if (!v || v->type() != TYPE_OP) return Flow::NORMAL;
        }
        Cell name = *c;
        gc::Rooted fn(*v);
        fn->header = native::wrapped_type(v);
        stack::top_ptr = base + 1;
        w.index++;
        Flow f = invoke(w, fn.get(), &name, nullptr, 0, true, 0, !trace::tracing);
        if (f != Flow::NORMAL) return f;
        w.sync();
    }
}

// ---- expressions ---------------------------------------------------------------------------------------

inline Flow pushed(Walk& w, const Cell* v) {
    Cell* c = stack::push(v);
    if (trace::tracing) [[unlikely]] {
        Cell value = *c;
        KRO_TRACE(PUSH, &w.blk.cell, w.index - 1, nullptr, &value);
    }
    return Flow::NORMAL;
}

// The fetch event of an expression's first value, where no argument entry
// fires one: a statement's start and the value of a set-word or set-path
// (the tracing tools show the words a statement starts with). The tracer may
// change the block: the caller checks that a value is left.
[[gnu::noinline]] Flow fetch_first_value(Walk& w) {
    Cell v = *w.at(w.index);
    KRO_TRACE(FETCH, &w.blk.cell, w.index, nullptr, &v);
    return Flow::NORMAL;
}

// A set-word and the expression after it: the word is set to its value. The
// frame is named by the set-word (errors in the expression name it).
// probed: the caller has already looked at what follows the set-word (not
// tracing): v is the value when it is a literal or a plain value, op_after the
// operator after it; not_in_place: the caller found that integer_infix<true>
// cannot do that operator in place. In line in eval_set, which comes first.
[[gnu::always_inline]] inline Flow set_word_in_line(Walk& w, const Cell* c, const Cell* v, const Cell* op_after,
                                                    bool probed, bool not_in_place) {
    Cell sw = *c;
    w.index++;
    if (!probed && !trace::tracing) [[likely]] {
        w.sync();
        if (w.index < w.limit && (v = plain_item(w, w.index))) {
            op_after = w.index + 1 < w.limit ? names_op(w.cells + w.index + 1) : nullptr;
            // set into a global or function context: nothing is evaluated and
            // nothing can fail, so no frame is needed
            Cell* dst = op_after || v->is(TYPE_UNSET) ? nullptr : lookup(&sw);
            if (dst && ((buf(sw.data1)->cells()->header & context::KIND_MASK) >> context::KIND_SHIFT) !=
                           context::OBJECT) {
                w.index++;
                move_cell(v, dst);
                copy_cell(dst, stack::push_cell());
                return Flow::NORMAL;
            }
        }
    }
    Flow f;
    if (op_after) {
        // Nothing ran since v was read: it is still current. Built-in
        // operators on integers can neither fail nor evaluate, so the frame
        // is opened only when another operator or a store that may run a
        // change handler comes.
        Cell* at = stack::push(&sw);
        Cell* base = stack::push(v);
        w.index++;
        const Cell* op = op_after;
        if (!not_in_place) {
            while (op && integer_infix(w, base, op)) op = w.index < w.limit ? names_op(w.cells + w.index) : nullptr;
        }
        if (!op && !base->is(TYPE_UNSET)) {
            Cell* dst = lookup(&sw);
            if (dst && ((buf(sw.data1)->cells()->header & context::KIND_MASK) >> context::KIND_SHIFT) !=
                           context::OBJECT) {
                move_cell(base, dst);
                copy_cell(dst, at);
                stack::top_ptr = at + 1;
                return Flow::NORMAL;
            }
        }
        stack::mark_interp_call(stack::INTERP_NATIVE, &sw, 0, nullptr, at);
        if (op) {
            f = infix_calls(w, base, op, not_in_place);
            if (f != Flow::NORMAL) return f;
        }
    } else {
        stack::mark_interp_native(&sw);
        stack::push(&sw);
        if (w.done()) fire("script", "need-value", &sw);
        if (trace::tracing) [[unlikely]] {
            f = fetch_first_value(w);
            if (f != Flow::NORMAL) return f;
            if (w.done()) fire("script", "need-value", &sw);
        }
        f = eval_expression(w, false, true, false);
        if (f != Flow::NORMAL) return f;
    }
    Cell* a = stack::arguments;
    if (trace::tracing) [[unlikely]] {
        Cell target = a[0], value = a[1];
        KRO_TRACE(SET, &w.blk.cell, w.index, &target, &value);
    }
    // a global or function context takes the value as it is; an object's may
    // run a change handler, and an unset value is an error: the full way
    Cell* dst = a[1].is(TYPE_UNSET) ? nullptr : lookup(a);
    if (dst && ((buf(a->data1)->cells()->header & context::KIND_MASK) >> context::KIND_SHIFT) != context::OBJECT) {
        copy_cell(a + 1, dst);
        copy_cell(a + 1, a);
    } else {
        f = flow::shield([] { word::set_from_args(); });
        if (f != Flow::NORMAL) return f;
    }
    stack::unwind();
    return Flow::NORMAL;
}

Flow eval_set_word(Walk& w, const Cell* c) { return set_word_in_line(w, c, nullptr, nullptr, false, false); }

// The kinds of value met less often than words, literals and parens.
[[gnu::noinline]] Flow eval_other(Walk& w, bool keep_functions) {
    Cell* c = w.at(w.index);
    switch (c->type()) {
        case TYPE_SET_WORD:
            return eval_set_word(w, c);
        case TYPE_GET_WORD: {
            Cell word = *c;
            w.index++;
            return pushed(w, value_of(&word));
        }
        case TYPE_LIT_WORD: {
            Cell word = *c;
            w.index++;
            word.set_type(TYPE_WORD);
            return pushed(w, &word);
        }
        case TYPE_PATH: {
            Cell p = *c;
            w.index++;
            return eval_path(p, w, nullptr, false);
        }
        case TYPE_GET_PATH: {
            Cell p = *c;
            w.index++;
            return eval_path(p, w, nullptr, true);
        }
        case TYPE_SET_PATH: {
            Cell p = *c;
            w.index++;
            gc::Rooted path(p);
            if (w.done()) fire("script", "need-value", &p);
            stack::mark_interp_native(&set_path_word);
            if (trace::tracing) [[unlikely]] {
                Flow f = fetch_first_value(w);
                if (f != Flow::NORMAL) return f;
                if (w.done()) fire("script", "need-value", path.get());
            }
            Flow f = eval_expression(w, false, true, false);
            if (f != Flow::NORMAL) return f;
            if (trace::tracing) [[unlikely]] {
                Cell value = stack::arguments[0];
                KRO_TRACE(SET, &w.blk.cell, w.index, path.get(), &value);
            }
            f = eval_path(path.cell, w, stack::arguments, false);
            if (f != Flow::NORMAL) return f;
            stack::unwind();
            return Flow::NORMAL;
        }
        case TYPE_LIT_PATH: {
            Cell p = *c;
            w.index++;
            p.set_type(TYPE_PATH);
            return pushed(w, &p);
        }
        case TYPE_ISSUE: {
            Cell issue = *c;
            w.index++;
            int32_t r = symbol::resolve(int32_t(issue.data2));
            if ((r == system_symbol || r == system_global_symbol) && !w.done() && w.at(w.index)->is(TYPE_BLOCK))
                fire("internal", "kro-system");
            return pushed(w, &issue);
        }
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE: {
            Cell fn = *c;
            w.index++;
            if (keep_functions) return pushed(w, &fn);
            return eval_call(fn, w, *stack::anon_word(), nullptr, 0);
        }
        case TYPE_OP:
            w.index++;
            fire("internal", "not-done");
        default: {
            Cell v = *c;
            w.index++;
            return pushed(w, &v);
        }
    }
}

// A word whose value is not simply pushed: an error, or a value that the
// lookup could not reach directly.
[[gnu::noinline]] Flow eval_word_other(Walk& w) {
    Cell word = *w.at(w.index);
    w.index++;
    Cell* v = value_of(&word);
    Type t = v->type();
    if (is_callable(t)) {
        Cell fn = *v;
        return eval_call(fn, w, word, nullptr, 0);
    }
    if (t == TYPE_UNSET) fire("script", "no-value", &word);
    if (t == TYPE_OP) fire("script", "no-op-arg", &word);
    return pushed(w, v);
}

// One value and what it takes from the code, the full way (paths, words that
// raise, function values in the code, and every kind while tracing); the
// result is pushed.
[[gnu::noinline]] Flow eval_single(Walk& w, bool keep_functions) {
    const Cell* c = w.at(w.index);
    Type t = c->type();
    if (t == TYPE_WORD) {
        const Cell* v = lookup(c);
        if (!v) [[unlikely]]
            return eval_word_other(w);
        Type vt = v->type();
        if (is_callable(vt)) {
            Cell word = *c, fn = *v;
            w.index++;
            return eval_call(fn, w, word, nullptr, 0);
        }
        if (vt == TYPE_UNSET || vt == TYPE_OP) [[unlikely]]
            return eval_word_other(w);
        w.index++;
        return pushed(w, v);
    }
    if (passive(t)) {
        w.index++;
        return pushed(w, c);
    }
    if (t == TYPE_PAREN) {
        Cell p = *c;
        w.index++;
        return eval_block(&p, false);
    }
    return eval_other(w, keep_functions);
}

// Operators after a word's plain value or a literal (the walk is synced).
[[gnu::noinline]] Flow eval_operators(Walk& w, const Cell* left, bool push, const Cell* op) {
    Cell* base = stack::push(left);
    w.index++;
    Flow f = infix_calls(w, base, op);
    if (f != Flow::NORMAL) return f;
    finish(base, push);
    return Flow::NORMAL;
}

// Operators after a value that was evaluated: the walk is synced first.
[[gnu::always_inline]] inline Flow operators_after(Walk& w, Cell* base, bool no_infix) {
    if (no_infix) return Flow::NORMAL;
    w.sync();
    if (w.index < w.limit) {
        if (const Cell* op = names_op(w.cells + w.index)) return infix_calls(w, base, op);
    }
    return Flow::NORMAL;
}

// break, continue and exit, and return with a value that needs nothing
// evaluated (a literal or a word's plain value, integer operators on such
// values done in place), met in code: thrown from here with no frame of their
// own. Answers false, having done nothing, when another native is in the
// slot, the value must be evaluated, or no target lies below (the native then
// runs as usual and raises the error under its own name).
template <class W>
[[gnu::always_inline]] inline bool frameless_exit(W& w, const Cell* fn, Flow& f) {
    uint32_t slot = fn->data1;
    if (!own_native(fn)) return false;
    if (slot != uint32_t(natives::RETURN)) {
        f = stack::leave_frameless(slot != uint32_t(natives::EXIT), slot == uint32_t(natives::CONTINUE), nullptr);
        return f != Flow::NORMAL;
    }
    int32_t at = w.index;
    Cell* top = stack::top_ptr;
    const Cell* op = nullptr;
    w.index++;
    if (w.index < w.limit && push_plain(w, false, &op) && !op) {
        f = stack::leave_frameless(false, false, top);
        if (f != Flow::NORMAL) return true;
    }
    w.index = at;
    stack::top_ptr = top;
    return false;
}

// A chosen branch whose first value is a word naming an exit native (fn):
// break, continue and exit, or return with a value frameless_exit takes, are
// thrown from here, with no frame for the conditional and no walk of the
// branch, as nothing run between would see them (the frame neither receives
// nor stops an exit). Answers false, having done nothing, otherwise.
[[gnu::always_inline]] inline bool branch_exit(const Cell* branch, Cell* cells, int32_t tail, const Cell* fn, Flow& f) {
    Items bw{int32_t(branch->data1), cells, tail};
    return frameless_exit(bw, fn, f);
}

// if, unless or either at the walk's index (synced, nothing traced) whose
// condition is a literal or a plain value, perhaps with built-in integer
// operators on plain operands, and whose blocks are literal with no operator
// after the last: the condition is worked out in place (nothing evaluates,
// nothing can fail), so the call's frame is opened only for a branch to
// evaluate, with the cells the native's call would have; a skipped branch
// gives none with no frame at all (nothing could see it). done is set and
// the result pushed; else nothing is changed and the call goes the usual way.
// synced: cleared when a branch is evaluated (the walk is not read after it).
[[gnu::always_inline]] inline Flow pure_conditional(Walk& w, const Cell* fn, bool& done, bool& synced) {
    uint32_t slot = fn->data1;
    int32_t i = w.index + 1;
    if (i + 1 >= w.limit) return Flow::NORMAL;
    const Cell* v = plain_item(w, i);
    if (!v) return Flow::NORMAL;
    if (!own_native(fn)) return Flow::NORMAL;
    Cell cond = *v;
    for (i++; i < w.limit; i += 2) {
        const Cell* op = names_op(w.cells + i);
        if (!op) break;
        const Cell* right = i + 1 < w.limit ? plain_item(w, i + 1) : nullptr;
        if (!right || !cond.is(TYPE_INTEGER) || !right->is(TYPE_INTEGER) ||
            !integer_call(native::wrapped_type(op), op->data1, int32_t(cond.data2), int32_t(right->data2), &cond))
            return Flow::NORMAL;
    }
    bool either = slot == uint32_t(natives::EITHER);
    int32_t blocks = either ? 2 : 1;
    if (i + blocks > w.limit || !w.cells[i].is(TYPE_BLOCK) || (either && !w.cells[i + 1].is(TYPE_BLOCK)) ||
        (i + blocks < w.limit && names_op(w.cells + i + blocks)))
        return Flow::NORMAL;
    // a plain value is never unset: either's condition needs no check
    int32_t chosen = either ? (logic::is_true(&cond) ? 1 : 2)
                            : (logic::is_true(&cond) == (slot == uint32_t(natives::IF)) ? 1 : 0);
    done = true;
    if (!chosen) {
        w.index = i + blocks;
        stack::push(&none::value);
        return Flow::NORMAL;
    }
    // A branch of one literal or plain value gives it with no frame and no
    // walk (nothing evaluates, nothing can fail); one that starts with an exit
    // leaves from here. Not while a collection is due: the walk's safe point
    // comes first.
    const Cell* branch = w.cells + i + chosen - 1;
    if (!((gc::wanted || gc::stress) && gc::active)) [[likely]] {
        memory::Buffer* bb = buf(branch->data2);
        int32_t from = int32_t(branch->data1), tail = int32_t(bb->used_bytes() / sizeof(Cell));
        if (from < tail) {
            const Cell* first = bb->cells() + from;
            Type ft = first->type();
            const Cell* v = nullptr;
            if (ft == TYPE_WORD) {
                v = lookup(first);
                if (v) {
                    Type vt = v->type();
                    if (vt == TYPE_NATIVE &&
                        v->data1 - uint32_t(natives::BREAK) <= uint32_t(natives::RETURN - natives::BREAK)) {
                        Flow left;
                        if (branch_exit(branch, bb->cells(), tail, v, left)) {
                            w.index = i + blocks;
                            return left;
                        }
                        v = nullptr;
                    } else if (vt < 64 && (NOT_PLAIN_VALUES & type_bit(vt))) {
                        v = nullptr;
                    }
                }
            } else if (passive(ft)) {
                v = first;
            }
            if (v && tail == from + 1) {
                w.index = i + blocks;
                stack::push(v);
                return Flow::NORMAL;
            }
        }
    }
    // as invoke calls the native: the frame (named by the word), the
    // function cell, the arguments; the result replaces the function cell
    Cell* base = stack::push(fn);
    stack::mark_interp_call(stack::INTERP_NATIVE, w.cells + w.index, 0, base, base + 1);
    Cell* a = stack::arguments;
    stack::push(&cond);
    stack::push(w.cells + i);
    if (either) stack::push(w.cells + i + 1);
    w.index = i + blocks;
    synced = false;
    Flow f = eval_block(a + chosen, true);
    if (f != Flow::NORMAL) return f;
    stack::keep();
    if (trace::tracing) [[unlikely]] {
        const stack::Frame* fr = stack::top_frame();
        Cell n{uint32_t(TYPE_WORD), fr->name_ctx, uint32_t(fr->symbol), uint32_t(fr->name_slot)};
        stack::unwind();
        Cell r = *(stack::top_ptr - 1);
        KRO_TRACE(RETURN, &w.blk.cell, w.index, &n, &r);
    } else {
        stack::unwind();
    }
    copy_cell(base + 1, base);
    stack::top_ptr = base + 1;
    return Flow::NORMAL;
}

// A word whose value is one of the natives that invoke does in place (a
// conditional or an exit), at the walk's index (synced): the frameless ways
// first, else the call as eval_word_call makes it. synced: cleared when a
// chosen branch was evaluated in place (the walk was not read again after it).
[[gnu::noinline]] Flow eval_in_place(Walk& w, bool no_infix, bool push, const Cell* fn, bool& synced) {
    if (machine_stack::low()) [[unlikely]]
        machine_stack::check();
    if (fn->data1 - uint32_t(natives::BREAK) <= uint32_t(natives::RETURN - natives::BREAK)) {
        Flow f;
        if (frameless_exit(w, fn, f)) return f;
    } else {
        Cell* base = stack::top_ptr;
        bool done = false;
        Flow f = pure_conditional(w, fn, done, synced);
        if (done) {
            if (f != Flow::NORMAL) return f;
            finish(base, push);
            return Flow::NORMAL;
        }
    }
    return eval_word_call(w, no_infix, push, fn);
}

// A word whose value is a function, at the walk's index (synced): the call
// with its arguments, then any operators after it.
[[gnu::noinline]] Flow eval_word_call(Walk& w, bool no_infix, bool push, const Cell* fn) {
    if (machine_stack::low()) [[unlikely]]
        machine_stack::check();
    Cell* base = stack::top_ptr;
    const Cell* word = w.cells + w.index;  // current until something evaluates: the frame copies it first
    w.index++;
    // as eval_call, in this frame: the function cell is pushed, the result replaces it
    stack::push(fn);
    Flow f = invoke(w, base, word, nullptr, 0, false, 0, true);
    if (f != Flow::NORMAL) return f;
    copy_cell(base + 1, base);
    stack::top_ptr = base + 1;
    f = operators_after(w, base, no_infix);
    if (f != Flow::NORMAL) return f;
    finish(base, push);
    return Flow::NORMAL;
}

// Whether a right operand may be one that integer_infix<true> works out: an
// integer!, a word whose value is one, or a paren.
[[gnu::always_inline]] inline bool integer_operand(const Cell* c) {
    Type t = c->type();
    if (t == TYPE_WORD) {
        const Cell* v = lookup(c);
        return v && v->is(TYPE_INTEGER);
    }
    return t == TYPE_INTEGER || t == TYPE_PAREN;
}

// A set-word and its value at the walk's index (synced, not tracing). A
// literal or a plain value with no operator after it, set into a global or
// function context, is done at once: nothing is evaluated, nothing can fail,
// no frame is needed (quick is set).
[[gnu::noinline]] Flow eval_set(Walk& w, bool no_infix, bool push, bool& quick) {
    const Cell* c = w.cells + w.index;
    int32_t at = w.index + 1;
    const Cell* v = at < w.limit ? plain_item(w, at) : nullptr;
    const Cell* op = v && at + 1 < w.limit ? names_op(w.cells + at + 1) : nullptr;
    bool in_place = op && v->is(TYPE_INTEGER) && at + 2 < w.limit && integer_operand(w.cells + at + 2);
    Cell* dst = v && (!op || in_place) ? lookup(c) : nullptr;
    if (dst && ((buf(c->data1)->cells()->header & context::KIND_MASK) >> context::KIND_SHIFT) != context::OBJECT) {
        if (!op && !v->is(TYPE_UNSET)) {
            move_cell(v, dst);
            if (push) {
                copy_cell(dst, stack::push_cell());
            } else {
                copy_cell(dst, stack::arguments);
                stack::top_ptr = stack::arguments + 1;
            }
            w.index = at + 1;
            quick = true;
            return Flow::NORMAL;
        }
        if (op) {
            // an integer and built-in operators on plain operands (or parens
            // of them) up to the end of the expression: worked out in place
            // (nothing evaluates, nothing fails, the store runs no handler);
            // else the full way
            Cell* base = stack::push(v);
            w.index = at + 1;
            while (op && integer_infix<true>(w, base, op)) op = w.index < w.limit ? names_op(w.cells + w.index) : nullptr;
            if (!op) {
                copy_cell(base, dst);
                if (!push) {
                    copy_cell(base, stack::arguments);
                    stack::top_ptr = stack::arguments + 1;
                }
                quick = true;
                return Flow::NORMAL;
            }
            stack::top_ptr = base;
            w.index = at - 1;
            op = names_op(w.cells + at + 1);
        }
    }
    if (machine_stack::low()) [[unlikely]]
        machine_stack::check();
    Cell* base = stack::top_ptr;
    Flow f = set_word_in_line(w, c, v, op, true, op && !in_place);
    if (f != Flow::NORMAL) return f;
    f = operators_after(w, base, no_infix);
    if (f != Flow::NORMAL) return f;
    finish(base, push);
    return Flow::NORMAL;
}

// A set-word and its value, or a paren, at the walk's index (synced).
// A paren that holds one plain value, or an integer! and built-in integer
// operators on plain operands (`(i % 7)`, `(n - 1 * 2)`): nothing in it
// evaluates or can fail, so its value is worked out in place, without a walk
// of its own. Answers false, having changed nothing, for any other paren.
inline bool quick_paren(const Cell* paren, Cell* out) {
    memory::Buffer* b = buf(paren->data2);
    const Cell* cells = b->cells();
    int32_t n = int32_t(b->used_bytes() / sizeof(Cell)), i = int32_t(paren->data1);
    if (i >= n || ((n - i) & 1) == 0) return false;
    const Cell* v = plain_value(cells + i);
    if (!v) return false;
    Cell acc = *v;
    for (i++; i < n; i += 2) {
        const Cell* op = names_op(cells + i);
        const Cell* right = plain_value(cells + i + 1);
        if (!op || !right || !acc.is(TYPE_INTEGER) || !right->is(TYPE_INTEGER)) return false;
        if (!integer_call(native::wrapped_type(op), op->data1, int32_t(acc.data2), int32_t(right->data2), &acc))
            return false;
    }
    *out = acc;
    return true;
}

// quick_paren out of line, for the paren operands integer_infix<true> meets.
[[gnu::noinline]] bool quick_paren_outer(const Cell* paren, Cell* out) { return quick_paren(paren, out); }

[[gnu::noinline]] Flow eval_set_or_paren(Walk& w, bool no_infix, bool push) {
    if (machine_stack::low()) [[unlikely]]
        machine_stack::check();
    Cell* base = stack::top_ptr;
    const Cell* c = w.cells + w.index;
    Flow f;
    if (c->is(TYPE_SET_WORD)) {
        f = eval_set_word(w, c);
    } else if (!trace::tracing && quick_paren(c, stack::push_cell())) {
        w.index++;
        f = Flow::NORMAL;
    } else {
        stack::top_ptr = base;
        Cell p = *c;
        w.index++;
        f = eval_block(&p, false);
    }
    if (f != Flow::NORMAL) return f;
    f = operators_after(w, base, no_infix);
    if (f != Flow::NORMAL) return f;
    finish(base, push);
    return Flow::NORMAL;
}

// Every other expression: paths, errors, and all while tracing.
[[gnu::noinline]] Flow eval_full(Walk& w, bool no_infix, bool push, bool keep_functions) {
    if (machine_stack::low()) [[unlikely]]
        machine_stack::check();
    Cell* base = stack::top_ptr;
    Flow f = eval_single(w, keep_functions);
    if (f != Flow::NORMAL) return f;
    f = operators_after(w, base, no_infix);
    if (f != Flow::NORMAL) return f;
    finish(base, push);
    return Flow::NORMAL;
}

// ---- paths --------------------------------------------------------------------------------------------------

// A path! of the items from the head up to (not including) absolute index end.
Cell path_prefix(const Cell* path, int32_t end) {
    gc::Rooted p(*path), out;
    int32_t head = int32_t(path->data1);
    path::make_at(out.get(), end - head);
    for (int32_t i = head; i < end; i++) *block::add_cell(out.get()) = *block::ks_abs_at(p.get(), i);
    return out.cell;
}

// Whether a path step changes the value in its own cell (a pair, tuple, time,
// date, an event's type), so that its holder must get the changed cell back.
// Series, bitsets, maps and objects change where their data lives; their cell
// in a step's hands only carries the step's result.
bool held_in_cell(Type t) {
    return !series::is_series_value(t) && t != TYPE_BITSET && t != TYPE_MAP && t != TYPE_OBJECT &&
           t != TYPE_ERROR && t != TYPE_PORT;
}

[[noreturn]] void bad_path(const Cell* path, int32_t at, const Cell* parent, const Cell* selector, bool set) {
    Cell dt = datatype_of(parent->type());
    if (!set) fire("script", "bad-path-type2", selector, &dt);
    gc::Rooted upto(path_prefix(path, at + 1)), before(path_prefix(path, at));
    fire("script", "bad-path-type", upto.get(), &dt, before.get());
}

// A path as code. new_value: the value to set (a set-path), else null; get:
// a get-path (no function is called); case_: selectors match case-sensitively.
// The result is pushed.
Flow eval_path(const Cell& path_in, Walk& w, const Cell* new_value, bool get, bool case_) {
    bool set = new_value != nullptr;
    gc::Rooted path(path_in);
    int32_t head = int32_t(path->data1);
    if (head >= cells_in(path->data2)) fire("script", "empty-path");
    gc::Rooted first(*block::ks_abs_at(path.get(), head));
    // money is the one literal the tokenizer makes a path's head (USD$3/code)
    bool literal = first->is(TYPE_MONEY);
    if (!first->is(TYPE_WORD) && !literal) fire("script", "word-first", path.get());
    KRO_TRACE(ENTER, path.get(), -1, nullptr, nullptr);
    KRO_TRACE(FETCH, path.get(), head, nullptr, first.get());
    Cell* base = stack::top_ptr;
    Cell* v = literal ? first.get() : value_of(first.get());
    if (v->is(TYPE_UNSET)) fire("script", "unset-path", path.get(), first.get());
    if (is_callable(v->type())) {
        if (set) fire("script", "invalid-path-set", path.get());
        if (get) fire("script", "invalid-path-get", path.get());
        Cell fn = *v;
        PathRest rest{path.get(), head + 1};
        Flow f = eval_call(fn, w, first.cell, &rest, 0);
        if (f != Flow::NORMAL) return f;
        KRO_TRACE(EXIT, path.get(), -1, nullptr, base);
        return Flow::NORMAL;
    }
    // base[0] the value reached, base[1] its parent, base[2] the selector
    stack::push(v);
    stack::push(&none::value);
    stack::push(&none::value);
    bool by_word = true, parent_by_word = false;
    gc::Rooted prev_sel, prev_item;  // how the value at base[0] was reached from its container
    for (int32_t i = head + 1; i < cells_in(path->data2); i++) {
        gc::Rooted item(*block::ks_abs_at(path.get(), i));
        Cell* sel = base + 2;
        if (item->is(TYPE_GET_WORD)) {
            *sel = *value_of(item.get());
        } else if (item->is(TYPE_PAREN)) {
            Flow f = eval_block(item.get(), false);
            if (f != Flow::NORMAL) return f;
            *sel = *(stack::top_ptr - 1);
            stack::top_ptr = base + 3;
        } else {
            *sel = item.cell;
        }
        KRO_TRACE(FETCH, path.get(), i, nullptr, sel);
        if (sel->is(TYPE_UNSET)) fire("script", "invalid-path", path.get(), item.get());
        bool last = i + 1 >= cells_in(path->data2);
        const Cell* nv = set && last ? new_value : nullptr;
        Type gt = base[1].type();
        bool report = nv && i - head >= 2 &&
                      (series::is_block_kind(gt) || (gt == TYPE_OBJECT && base[1].data3 && parent_by_word));
        auto step = datatype::action<A_EVAL_PATH>(base[0].type());
        if (!step) bad_path(path.get(), i, base, sel, set);
        Cell* r = nullptr;
        Cell nvalue = nv ? *nv : none::value;
        gc::Rooted held(nvalue);
        // rooted: a collection in the step renumbers nodes, and the comparison
        // below must see only what the step itself changed
        gc::Rooted before(base[0]);
        // A value held in the cell itself (pair, time, date...) is changed in
        // this stack copy; an object, map or block holding it gets the changed
        // value back through its own path step, which also tells its owner.
        bool in_cell = held_in_cell(base[0].type());
        bool write_back = nv && in_cell && i - head >= 2 &&
                          (gt == TYPE_OBJECT || gt == TYPE_MAP || series::is_block_kind(gt));
        Flow f = flow::shield([&] {
            r = step(base, sel, nv ? held.get() : nullptr, path.get(), base + 1, item.get(), i - head, case_, get,
                     last, report && !write_back);
        });
        if (f != Flow::NORMAL) return f;
        Cell result = *r;
        if (!in_cell) {
            base[0] = before.cell;  // the holder keeps the series or object, changed in place
        } else if (nv && std::memcmp(before.get(), base, sizeof(Cell)) != 0) {
            gc::Rooted keep(result), changed(base[0]);
            if (i == head + 1) {
                if (!literal) word::set(first.get(), changed.get());
            } else if (write_back) {
                auto back = datatype::action<A_EVAL_PATH>(gt);
                f = flow::shield([&] {
                    back(base + 1, prev_sel.get(), changed.get(), path.get(), nullptr, prev_item.get(), i - 1 - head,
                         case_, false, true, report);
                });
                if (f != Flow::NORMAL) return f;
            }
            base[0] = changed.cell;
            result = keep.cell;
        }
        prev_sel.cell = *sel;
        prev_item.cell = item.cell;
        base[1] = base[0];
        base[0] = result;
        parent_by_word = by_word;
        by_word = item->is(TYPE_WORD);
        if (!set && !get && is_callable(result.type())) {
            uint32_t obj = base[1].is(TYPE_OBJECT) && base[1].data1 != context::global ? base[1].data1 : 0;
            stack::top_ptr = base;
            PathRest rest{path.get(), i + 1};
            f = eval_call(result, w, first.cell, &rest, obj);
            if (f != Flow::NORMAL) return f;
            KRO_TRACE(EXIT, path.get(), -1, nullptr, base);
            return Flow::NORMAL;
        }
    }
    KRO_TRACE(EXIT, path.get(), -1, nullptr, base);
    Cell final = base[0];
    stack::top_ptr = base;
    stack::push(&final);
    return Flow::NORMAL;
}

// The cells a call with n argument values and no refinements takes: the
// values (none for missing ones), then false and none for every refinement
// and its arguments, and the /local part. Natives get only their arguments.
void push_layout(const Cell* fn, bool native, const Cell* args, int32_t n, int32_t* refs) {
    int32_t count = list_length(fn);
    int32_t given = 0;
    bool active = true;
    for (int32_t i = 0; i < count; i++) {
        Cell e = list_cells(fn)[i];
        switch (e.type()) {
            case TYPE_TYPESET:
                if (entry_kind(e) == 3) break;
                if (!active) {
                    if (!native) stack::push(&none::value);
                } else {
                    stack::push(given < n ? &args[given] : &none::value);
                    given++;
                }
                break;
            case TYPE_REFINEMENT:
                active = false;
                if (native) refs[e.data3 - 1] = -1;
                else stack::push(&logic::false_value);
                break;
            case TYPE_INTEGER:
                if (!native) function::push_refinement_defaults(int32_t(e.data2));
                break;
            default:
                break;
        }
    }
}

void check_entries(const Cell* fn, const int32_t* refs) {
    int32_t count = list_length(fn);
    bool native = fn->is(TYPE_NATIVE) || fn->is(TYPE_ACTION);
    int32_t position = 0;
    bool active = true;
    for (int32_t i = 0; i < count; i++) {
        Cell e = list_cells(fn)[i];
        if (e.is(TYPE_REFINEMENT)) {
            if (native) {
                position = refs[e.data3 - 1];
                active = position >= 0;
            } else {
                active = logic::is_true(stack::arguments + e.data3);
                position = int32_t(e.data3) + 1;
            }
            continue;
        }
        if (!e.is(TYPE_TYPESET) || entry_kind(e) == 3) continue;
        if (active) {
            Type t = stack::arguments[position].type();
            if (!admits(e, t)) {
                Cell name = args::call_name();
                expect_arg(&name, t, e.data3);
            }
        }
        position++;
    }
}

}  // namespace

// ---- natives ----------------------------------------------------------------------------------------------

void register_native(int32_t index, NativeFn fn, const Cell* spec) {
    native::register_native(index, reinterpret_cast<native::Entry>(fn), spec);
}

void register_action(int32_t index, const Cell* spec) {
    native::register_action(index, reinterpret_cast<native::Entry>(actions::entry(index)), spec);
}

NativeFn native_fn(int32_t index) { return reinterpret_cast<NativeFn>(native::native_entry(index)); }

void check_args(const Cell* fn, const int32_t* refs) {
    gc::Rooted f(*fn);
    if (f->is(TYPE_OP)) f->header = native::wrapped_type(fn);
    check_entries(f.get(), refs);
}

Cell arg_list(const Cell* fn) {
    gc::Rooted f(*fn);
    if (f->is(TYPE_OP)) f->header = native::wrapped_type(fn);
    list_length(f.get());
    return record_of(f.get())[1];
}

// ---- evaluation ------------------------------------------------------------------------------------------

namespace {

// eval_block's walk; cells and tail: the block's cells and tail as read just
// before (nothing has run since).
[[gnu::noinline]] Flow walk_block(const Cell* block, bool last, Cell* cells, int32_t tail) {
    Walk w(*block, int32_t(block->data1));
    Cell* caller = stack::arguments;
    Cell* slot = stack::push(&unset::value);
    stack::arguments = slot;
    NearScope near(&w);
    if (trace::tracing) [[unlikely]] {
        KRO_TRACE(ENTER, &w.blk.cell, -1, nullptr, nullptr);
        w.sync();
    } else {
        w.cells = cells;
        w.limit = tail;
    }
    while (w.index < w.limit) {
        if ((gc::wanted || gc::stress) && gc::active) [[unlikely]] {
            safe_point_at(w);
            w.sync();
        }
        set_near(w);
        if (trace::tracing) [[unlikely]] {
            Flow f = fetch_first_value(w);
            if (f != Flow::NORMAL) return f;
            if (w.done()) break;  // synced: the tracer may have changed the block
        }
        bool quick, synced;
        Flow f = eval_synced(w, false, false, false, quick, synced);
        if (f != Flow::NORMAL) [[unlikely]]
            return f;
        if (quick) continue;  // nothing ran: the block is as it was
        if (trace::tracing) [[unlikely]] {
            Cell result = *stack::arguments;
            KRO_TRACE(EXPR, &w.blk.cell, w.start, nullptr, &result);
            w.sync();
        } else if (!synced) {
            w.sync();
        }
    }
    if (trace::tracing) [[unlikely]] {
        Cell result = *stack::arguments;
        KRO_TRACE(EXIT, &w.blk.cell, -1, nullptr, &result);
    }
    stack::arguments = caller;
    if (last) copy_cell(slot, caller);
    stack::top_ptr = slot + 1;
    return Flow::NORMAL;
}

}  // namespace

// A block is evaluated without a call frame of its own (nothing is ever
// thrown to one, and it carries no name): its values go to a slot 0 of its
// own above the caller's cells, and `arguments` points there meanwhile. An
// exit or an error that leaves it sets the pointers from its target frame.
Flow eval_block(const Cell* block, bool last) {
    memory::Buffer* b = buf(block->data2);
    int32_t from = int32_t(block->data1);
    int32_t tail = int32_t(b->used_bytes() / sizeof(Cell));
    // A block of one literal or one word with a plain value (a branch like
    // [n] or [none], a body like [x]), while nothing is traced and no
    // collection is due: nothing evaluates and nothing can fail, so the value
    // is the result without a walk.
    if (tail == from + 1 && !trace::tracing && !((gc::wanted || gc::stress) && gc::active)) {
        if (const Cell* v = plain_value(b->cells() + from)) {
            Cell* slot = stack::push_cell();
            copy_cell(v, slot);
            if (last) copy_cell(slot, stack::arguments);
            return Flow::NORMAL;
        }
    }
    return walk_block(block, last, b->cells(), tail);
}

Flow eval_one(const Cell* block, int32_t* index, bool push) {
    Walk w(*block, *index);
    Cell* caller = stack::arguments;
    Cell* slot = stack::top_ptr;  // where the value is pushed
    stack::arguments = slot;
    NearScope near(&w);
    set_near(w);
    if (w.done()) {
        stack::push(&unset::value);
    } else {
        if ((gc::wanted || gc::stress) && gc::active) [[unlikely]]
            safe_point_at(w);
        Flow f = trace::tracing ? fetch_first_value(w) : Flow::NORMAL;
        if (f != Flow::NORMAL) return f;
        if (w.done()) {
            stack::push(&unset::value);
        } else {
            f = eval_expression(w, false, true, false);
            if (f != Flow::NORMAL) return f;
        }
    }
    *index = w.index;
    stack::arguments = caller;
    if (!push) copy_cell(slot, caller);
    stack::top_ptr = slot + 1;
    return Flow::NORMAL;
}

Flow eval_next(Cell* block) {
    int32_t index = int32_t(block->data1);
    int32_t full = cells_in(block->data2);
    if (index > full) index = full;
    Flow f = eval_one(block, &index, true);
    if (f != Flow::NORMAL) return f;
    block->data1 = uint32_t(index);
    return Flow::NORMAL;
}

Flow eval_value(const Cell* value, bool keep_functions) {
    Cell one;
    block::make_at(&one, 1);
    *block::add_cell(&one) = *value;
    Walk w(one, 0);
    stack::mark_interp_native(stack::body_word());
    NearScope near(&w);
    set_near(w);
    Flow f = eval_expression(w, true, true, keep_functions);
    if (f != Flow::NORMAL) return f;
    stack::unwind();
    return Flow::NORMAL;
}

Flow call_value(const Cell* fn_value, const Cell* args, int32_t n, const Cell* name_word, int32_t cb_class) {
    gc::Rooted name(*name_word);
    Cell* fn = stack::push(fn_value);
    if (fn->is(TYPE_OP)) fn->header = native::wrapped_type(fn_value);
    Type t = fn->type();
    int32_t refs[MAX_REFINEMENTS];
    bool native = t == TYPE_NATIVE || t == TYPE_ACTION;
    Flow f = Flow::NORMAL;
    switch (t) {
        case TYPE_FUNCTION:
            stack::mark_func_ctx(name.get(), fn->data1);
            stack::set_function_cell(fn);
            push_layout(fn, false, args, n, refs);
            f = call_function(fn, 0, cb_class);
            break;
        case TYPE_ROUTINE:
            stack::mark_native(name.get());
            stack::set_function_cell(fn);
            push_layout(fn, false, args, n, refs);
            check_entries(fn, refs);
            f = call_routine(fn);
            break;
        case TYPE_NATIVE:
        case TYPE_ACTION: {
            stack::mark_native(name.get());
            stack::set_function_cell(fn);
            push_layout(fn, native, args, n, refs);
            check_entries(fn, refs);
            NativeFn entry = entry_of(fn);
            if (!entry) fire("internal", "not-done");
            f = flow::shield([&] { return entry(refs); });
            break;
        }
        default: {
            Cell dt = datatype_of(t);
            fire("script", "invalid-type", &dt);
        }
    }
    if (f != Flow::NORMAL) return f;
    stack::unwind();
    copy_cell(fn + 1, fn);
    stack::top_ptr = fn + 1;
    return Flow::NORMAL;
}

Cell* plain_slot(const Cell* word) {
    Cell* dst = lookup(word);
    if (!dst) return nullptr;
    uint32_t kind = (buf(word->data1)->cells()->header & context::KIND_MASK) >> context::KIND_SHIFT;
    return kind == context::OBJECT ? nullptr : dst;
}

Flow eval_path_value(const Cell* path, const Cell* new_value, bool case_) {
    Walk w(*path, int32_t(path->data1));
    return eval_path(*path, w, new_value, new_value == nullptr, case_);
}

Flow apply(const Cell* fn_value, const Cell* block, int mode, const Cell* name_word) {
    gc::Rooted name(*name_word);
    Walk w(*block, int32_t(block->data1));
    Cell* fn = stack::push(fn_value);
    if (fn->is(TYPE_OP)) fn->header = native::wrapped_type(fn_value);
    if (!is_callable(fn->type())) {
        Cell dt = datatype_of(fn->type());
        fire("script", "invalid-type", &dt);
    }
    Flow f = invoke(w, fn, name.get(), nullptr, 0, false, mode ? mode : APPLY_SOME);
    if (f != Flow::NORMAL) return f;
    copy_cell(fn + 1, fn);
    stack::top_ptr = fn + 1;
    return Flow::NORMAL;
}

namespace {
// Puts the tracing switch back however the call ends.
struct TracingScope {
    bool saved = trace::tracing;
    ~TracingScope() { trace::tracing = saved; }
};
}  // namespace

namespace {
// Whether a return or exit that reached a call is the call's own: the user's
// code passes the calls of library functions by (stack::throw_return), so the
// target may lie further down, its frames above already closed.
inline bool own_return(int32_t frame) { return stack::frame_count() - 1 == frame; }

// call_function's body, inlined into the evaluator's own calls.
[[gnu::always_inline]] inline Flow run_function(const Cell* fn, int32_t cb_class) {
    Cell* rec = record_of(fn);
    Cell code = rec[function::CODE];
    int32_t frame = stack::frame_count() - 1;
    if (code.is(TYPE_INTEGER) && code.data2) {
        function::CodeFn entry = function::code_at(int32_t(code.data2));
        if (!entry) fire("internal", "not-done");
        Flow f = flow::shield([&] { entry(); });
        return (f == Flow::RETURN || f == Flow::EXIT) && own_return(frame) ? Flow::NORMAL : f;
    }
    buf(fn->data1)->cells()->data2 = arena::off(stack::arguments);  // the locals are the arguments
    stack::set_return_flag(true);
    TracingScope scope;
    if (fn->header & function::FLAG_TRACE) trace::tracing = trace::installed;
    else if (fn->header & function::FLAG_NO_TRACE) trace::tracing = false;
    bool callback_traced = false;
    if (cb_class && trace::tracing) {
        callback_traced = (trace::callback_bits() & cb_class) != 0;
        if (!callback_traced) trace::tracing = false;
    }
    // the events name the function by its frame's name (their reference) and
    // each reads its cells again: the tracer before it may have moved them
    auto frame_name = [frame] {
        const stack::Frame* fr = stack::frame_at(frame);
        return fr->symbol ? Cell{uint32_t(TYPE_WORD), fr->name_ctx, uint32_t(fr->symbol), uint32_t(fr->name_slot)}
                          : none::value;
    };
    bool quiet = !trace::tracing;  // no event fires: the record read above is current
    if (trace::tracing && callback_traced) [[unlikely]] {
        Cell n = frame_name();
        KRO_TRACE(CALL, &record_of(fn)[function::BODY], -1, &n, fn);
    }
    if (trace::tracing) [[unlikely]] {
        Cell n = frame_name();
        KRO_TRACE(PROLOG, &record_of(fn)[function::BODY], -1, &n, fn);
    }
    // read after the events: the tracer may have moved the body's node
    Cell body = quiet ? rec[function::BODY] : record_of(fn)[function::BODY];
    Flow f = Flow::NORMAL;
    if (body.is(TYPE_BLOCK) || body.is(TYPE_PAREN)) {
        // a library function's call: no return target of the user's code, not named in errors
        if (buf(body.data2)->flags & memory::FLAG_LIBRARY) stack::frame_at(frame)->flags |= stack::LIBRARY;
        f = eval_block(&body, true);
    } else {
        stack::set_last(&unset::value);
    }
    if (f == Flow::NORMAL || ((f == Flow::RETURN || f == Flow::EXIT) && own_return(frame))) {
        if (trace::tracing) [[unlikely]] {
            Cell n = frame_name();
            KRO_TRACE(EPILOG, &record_of(fn)[function::BODY], -1, &n, stack::arguments);
        }
        if (trace::tracing && callback_traced) [[unlikely]] {
            Cell n = frame_name();
            KRO_TRACE(RETURN, &record_of(fn)[function::BODY], -1, &n, stack::arguments);
        }
        stack::clear_return_flag(frame);
        stack::top_ptr = stack::arguments + 1;
        return Flow::NORMAL;
    }
    return f;
}
}  // namespace

Flow call_function(const Cell* fn, uint32_t, int32_t cb_class) { return run_function(fn, cb_class); }

Flow call_routine(const Cell* routine) {
    Cell code = record_of(routine)[function::CODE];
    function::CodeFn entry = code.is(TYPE_INTEGER) ? function::code_at(int32_t(code.data2)) : nullptr;
    if (!entry) fire("internal", "routines");
    return flow::shield([&] { entry(); });
}

// ---- the C++ boundary --------------------------------------------------------------------------------

void do_block(const Cell* block) { flow::raise_if(eval_block(block, false)); }

void call_back(const Cell* fn, const Cell* args, int32_t n, const Cell* name, int32_t cb_class) {
    flow::raise_if(call_value(fn, args, n, name, cb_class));
}

namespace {

void eval_block_hook(Cell* block) { do_block(block); }

// An object's change handler with its arguments pushed from `args` on.
void call_handler(const Cell* handler, uint32_t ctx, const Cell* name, Cell* args, int32_t, int32_t kind) {
    gc::Rooted h(*handler), n(*name);
    Flow f;
    if (h->is(TYPE_FUNCTION)) {
        stack::mark_func_ctx(n.get(), h->data1);
        stack::set_arguments(args);
        f = call_function(h.get(), ctx, kind);
    } else {
        stack::mark_native(n.get());
        stack::set_arguments(args);
        f = call_routine(h.get());
    }
    flow::raise_if(f);
    stack::unwind();
}

// sort/compare with a function: two arguments, the result into `result`.
void call_comparator(const Cell* function, const Cell* arg1, const Cell* arg2, Cell* result) {
    Cell* top = stack::top_ptr;
    Cell args[2] = {*arg1, *arg2};
    call_back(function, args, 2, &compare_callback, trace::SORT);
    *result = *(stack::top_ptr - 1);
    stack::top_ptr = top;
}

// The tokenizer's callback: count arguments from args; args[1] receives the
// final value of the callback's input argument, *result its result.
void lexer_callback(const Cell* callback, Cell* args, int32_t count, Cell* result) {
    Cell* top = stack::top_ptr;
    Cell* fn = stack::push(callback);
    int32_t refs[MAX_REFINEMENTS];
    if (fn->is(TYPE_FUNCTION)) stack::mark_func_ctx(&lexer_callback_word, fn->data1);
    else stack::mark_native(&lexer_callback_word);
    stack::set_function_cell(fn);
    push_layout(fn, false, args, count, refs);
    Flow f = fn->is(TYPE_FUNCTION) ? call_function(fn, 0, trace::LEXER) : call_routine(fn);
    flow::raise_if(f);
    if (count > 1) args[1] = stack::arguments[1];
    *result = stack::arguments[0];
    stack::unwind();
    stack::top_ptr = top;
}

Cell call_name() { return stack::get_call_name(); }

// The n-th argument (or refinement) word of the innermost named call.
Cell argument_word(int32_t n) {
    for (int32_t i = stack::frame_count() - 1; i >= 0; i--) {
        const stack::Frame* f = stack::frame_at(i);
        if (f->symbol == 0 || f->symbol == int32_t(stack::body_word()->data2) ||
            f->symbol == int32_t(stack::anon_word()->data2))
            continue;
        Cell fn = none::value;
        if (f->fn_cell != stack::NO_CELL) {
            fn = stack::bottom[f->fn_cell];
        } else {
            Cell name{uint32_t(TYPE_WORD), f->name_ctx, uint32_t(f->symbol), uint32_t(f->name_slot)};
            if (Cell* v = lookup(&name)) fn = *v;
        }
        Type t = fn.type();
        if (!is_callable(t) && t != TYPE_OP) return *stack::anon_word();
        Cell spec{uint32_t(TYPE_BLOCK), 0, fn.data2, 0};
        int32_t count = 0;
        for (int32_t k = 0; k < block::length(&spec); k++) {
            Cell e = *block::at(&spec, k);
            Type et = e.type();
            if (et != TYPE_WORD && et != TYPE_LIT_WORD && et != TYPE_GET_WORD && et != TYPE_REFINEMENT) continue;
            if (count++ == n) return word_of(e.data2);
        }
        return *stack::anon_word();
    }
    return *stack::anon_word();
}

int32_t form_call_names(int32_t level, int32_t position, Cell* buffer, int32_t limit) {
    return stack::form_call_names(level, buffer, position, limit);
}

void collect_call_names(int32_t level, Cell* blk, int32_t position) {
    stack::collect_call_names(level, blk, position);
}

}  // namespace

bool library_code() { return current_walk && current_walk->library(); }

namespace {
// While the library's code runs on behalf of the user's code, the user's walk
// that called into it: the innermost walk that is not the library's. Null
// when the user's code is the innermost, or none lies below.
Walk* users_caller() {
    Walk* w = current_walk;
    if (!w || !w->library()) return nullptr;
    while (w && w->library()) w = w->outer;
    return w;
}

Cell statement_of(const Walk* w) {
    if (!w) return unset::value;
    Cell c = w->blk.cell;
    c.data1 = uint32_t(w->start);
    return c;
}

// An error made while the library's code runs for the user's call is the
// call's, as if the library were compiled: near is the user's statement.
Cell error_near() {
    Walk* user = users_caller();
    return statement_of(user ? user : current_walk);
}
}  // namespace

Cell near_value() { return statement_of(current_walk); }

int32_t library_call_frames() {
    Walk* user = users_caller();
    return user ? user->frames : -1;
}

void init() {
    set_path_word.data2 = uint32_t(symbol::make("set-path"));
    compare_callback.data2 = uint32_t(symbol::make("<compare-callback>"));
    lexer_callback_word.data2 = uint32_t(symbol::make("<lexer-callback>"));
    system_symbol = symbol::resolve(symbol::make("system"));
    system_global_symbol = symbol::resolve(symbol::make("system-global"));
    local_symbol = symbol::make("local");
    return_symbol = symbol::make("return");
    actions::init();
    trace::init();
    function::eval_block = &eval_block_hook;
    function::call_handler = &call_handler;
    actions::call_comparator = &call_comparator;
    error::current_expression = &error_near;
    error::current_code = &near_value;
    error::form_call_names = &form_call_names;
    error::collect_call_names = &collect_call_names;
    args::call_name = &call_name;
    args::argument_word = &argument_word;
    raise::throw_error = &stack::throw_error;
    raise::trace_error = &trace::trace_error;
    frame::region_open = &stack::mark_region;
    frame::region_close = &stack::close_region;
    lexer::call_callback = &lexer_callback;
}

}  // namespace kro::interp
