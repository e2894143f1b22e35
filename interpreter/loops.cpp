#include "interpreter/loops.hpp"

#include "datatypes/block.hpp"
#include "datatypes/image.hpp"
#include "datatypes/map.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/stack.hpp"

namespace kro::natives {

namespace {

inline Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }

// The checked truth of either, while, until and case: unset is an error.
inline bool checked_true(const Cell* v) {
    if (v->is(TYPE_UNSET)) [[unlikely]]
        fire("script", "no-return");
    return logic::is_true(v);
}

// Cells of a block kind from its first used cell to its tail.
inline int32_t block_tail(const Cell* blk) { return series::ks_full_length(blk); }

// ---- the loop frame ----------------------------------------------------------------------------

// Answers the loop frame's index: a break or continue reaching the loop is its
// own only when that frame is the top one (the user's code passes the loops the
// library's code opened by, see stack::throw_break).
inline int32_t open_loop() {
    stack::mark_loop(stack::body_word(), interp::library_code());
    stack::push(&unset::value);
    return stack::frame_count() - 1;
}

inline bool own_exit(int32_t loop) { return stack::frame_count() - 1 == loop; }

// The loop's result (its slot 0) becomes the native's.
inline void close_loop() {
    stack::unwind_last();
    stack::keep();
}

// One round of a loop's body, into the loop's slot 0: break leaves the loop
// (the thrower left its value there), continue goes on like a normal end, and
// any other exit, or a break for a loop further down, is passed on.
#define KRO_ROUND(loop, body)                                                     \
    {                                                                             \
        Flow round_ = interp::eval_block(body, true);                             \
        if (round_ != Flow::NORMAL) [[unlikely]] {                                \
            if (round_ != Flow::BREAK && round_ != Flow::CONTINUE) return round_; \
            if (!own_exit(loop)) return round_;                                   \
            if (round_ == Flow::BREAK) break;                                     \
        }                                                                         \
        stack::keep();                                                            \
    }

// ---- conditionals --------------------------------------------------------------------------------

// Evaluates the block in the argument cell into slot 0.
inline Flow eval_into_result(const Cell* block) {
    Flow f = interp::eval_block(block, true);
    if (f != Flow::NORMAL) return f;
    stack::keep();
    return Flow::NORMAL;
}

}  // namespace

Flow if_native(const int32_t*) {
    if (!logic::is_true(arg(0))) return result(&none::value);
    return eval_into_result(arg(1));
}

Flow unless_native(const int32_t*) {
    if (logic::is_true(arg(0))) return result(&none::value);
    return eval_into_result(arg(1));
}

Flow either_native(const int32_t*) { return eval_into_result(arg(checked_true(arg(0)) ? 1 : 2)); }

namespace {

// any and all: one expression at a time, each result pushed and judged.
Flow any_native(const int32_t*) {
    Cell* conds = arg(0);
    int32_t index = series::head_of(conds);
    while (index < block_tail(conds)) {
        Flow f = interp::eval_one(conds, &index, true);
        if (f != Flow::NORMAL) return f;
        Cell v = *stack::top();
        stack::pop(1);
        if (logic::is_true(&v)) return result(&v);
    }
    return result(&none::value);
}

Flow all_native(const int32_t*) {
    Cell* conds = arg(0);
    int32_t index = series::head_of(conds);
    Cell last = none::value;
    while (index < block_tail(conds)) {
        Flow f = interp::eval_one(conds, &index, true);
        if (f != Flow::NORMAL) return f;
        last = *stack::top();
        stack::pop(1);
        if (!logic::is_true(&last)) return result(&none::value);
    }
    return result(&last);
}

Flow switch_native(const int32_t* refs) {
    Cell* value = arg(0);
    Cell* cases = arg(1);
    int32_t tail = block_tail(cases);
    int32_t i = series::head_of(cases);
    bool found = false;
    if (!value->is(TYPE_BLOCK)) {
        for (; i < tail; i++) {
            Cell c = *block::ks_abs_at(cases, i);
            if (c.type() != value->type()) continue;
            if (actions::compare(value, &c, actions::EQUAL)) {
                found = true;
                break;
            }
        }
    }
    if (found) {
        // the first block after the match; none when the cases end first
        for (i++; i < block_tail(cases); i++) {
            Cell c = *block::ks_abs_at(cases, i);
            if (c.is(TYPE_BLOCK)) return eval_into_result(&c);
        }
        return result(&none::value);
    }
    if (Cell* otherwise = ref_arg(refs, 0)) return eval_into_result(otherwise);
    return result(&none::value);
}

Cell case_word{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};

Flow case_native(const int32_t* refs) {
    Cell* cases = arg(0);
    bool all = used(refs, 0);
    int32_t index = series::head_of(cases);
    Cell last = none::value;
    while (index < block_tail(cases)) {
        Flow f = interp::eval_one(cases, &index, true);
        if (f != Flow::NORMAL) return f;
        Cell cond = *stack::top();
        stack::pop(1);
        if (index >= block_tail(cases)) fire("script", "need-value", &case_word);
        if (!checked_true(&cond)) {
            index++;  // the branch is skipped unevaluated
            last = none::value;
            continue;
        }
        Cell branch = *block::ks_abs_at(cases, index);
        if (branch.is(TYPE_BLOCK)) {
            index++;
            f = interp::eval_block(&branch, false);
        } else {
            f = interp::eval_one(cases, &index, true);
        }
        if (f != Flow::NORMAL) return f;
        last = *stack::top();
        stack::pop(1);
        if (!all) return result(&last);
    }
    return result(&last);
}

// ---- counted loops -------------------------------------------------------------------------------

Flow while_native(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t loop = open_loop();
    for (;;) {
        Flow f = interp::eval_block(a, true);
        if (f != Flow::NORMAL) {
            if ((f == Flow::BREAK || f == Flow::CONTINUE) && own_exit(loop)) fire("throw", "while-cond");
            return f;
        }
        stack::keep();
        if (!checked_true(stack::arguments)) break;
        KRO_ROUND(loop, a + 1);
    }
    close_loop();
    return result(&unset::value);
}

Flow until_native(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t loop = open_loop();
    for (;;) {
        Flow f = interp::eval_block(a, true);
        if (f != Flow::NORMAL) [[unlikely]] {
            if (!own_exit(loop)) return f;
            if (f == Flow::BREAK) break;
            if (f == Flow::CONTINUE) continue;  // no value to judge: the next round
            return f;
        }
        stack::keep();
        if (checked_true(stack::arguments)) break;
    }
    close_loop();
    return Flow::NORMAL;
}

Flow loop_native(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t n = float_to_int(a);
    if (n < 1) return result(&none::value);
    int32_t loop = open_loop();
    for (int32_t i = 0; i < n; i++) KRO_ROUND(loop, a + 1);
    close_loop();
    return Flow::NORMAL;
}

Flow repeat_native(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t n = float_to_int(a + 1);
    if (n < 1) return result(&none::value);
    int32_t loop = open_loop();
    for (int32_t i = 1; i <= n; i++) {
        // a plain set: the counter is the word's own (not local to the loop)
        Cell counter = integer(i);
        if (Cell* slot = interp::plain_slot(a)) *slot = counter;
        else word::set(a, &counter);
        KRO_ROUND(loop, a + 2);
    }
    close_loop();
    return Flow::NORMAL;
}

Flow forever_native(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t loop = open_loop();
    for (;;) KRO_ROUND(loop, a);
    close_loop();
    return Flow::NORMAL;
}

// ---- series loops --------------------------------------------------------------------------------

inline bool loop_word_kind(Type t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}

// The words argument of foreach and remove-each: a word (1), or a non-empty
// block of word kinds (their count). Answers the count.
int32_t loop_words(const Cell* words, const Cell* series) {
    if (words->is(TYPE_WORD)) {
        if (series->is(TYPE_MAP)) fire("script", "invalid-arg", words);
        return 1;
    }
    int32_t n = block::length(words);
    if (n == 0) fire("script", "invalid-arg", words);
    for (int32_t i = 0; i < n; i++) {
        Cell w = *block::at(words, i);
        if (!loop_word_kind(w.type())) fire("script", "invalid-arg", &w);
    }
    if (series->is(TYPE_MAP) && n != 2) fire("script", "invalid-arg", words);
    return n;
}

// One step of either kind; answers the items visited.
inline int32_t next_items(const Cell* words, int32_t n, Cell* series) {
    if (words->is(TYPE_WORD) && !series->is(TYPE_MAP)) return foreach_next(words, series) ? 1 : 0;
    return foreach_next_multi(words, n, series);
}

Flow foreach_native(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t n = loop_words(a, a + 1);
    int32_t loop = open_loop();
    for (;;) {
        if (next_items(a, n, a + 1) == 0) break;
        KRO_ROUND(loop, a + 2);
    }
    close_loop();
    return Flow::NORMAL;
}

Flow remove_each_native(const int32_t*) {
    Cell* a = stack::arguments;
    int32_t n = loop_words(a, a + 1);
    stack::push(a + 1);  // a + 3: the series as given, the result
    int32_t loop = open_loop();
    for (;;) {
        int32_t visited = next_items(a, n, a + 1);
        if (visited == 0) break;
        Flow f = interp::eval_block(a + 2, true);
        if (f != Flow::NORMAL) [[unlikely]] {
            if (!own_exit(loop)) return f;
            if (f == Flow::BREAK) break;
            if (f == Flow::CONTINUE) continue;  // the round's items stay
            return f;
        }
        stack::keep();
        Cell verdict = *stack::arguments;
        remove_each_step(a + 1, visited, &verdict);
    }
    close_loop();
    Cell data = a[3];
    return result(&data);
}

Cell* forall_series(const Cell* word) {
    Cell* v = word::value_cell(word);
    return series::is_series_value(v->type()) ? v : nullptr;
}

Flow forall_native(const int32_t*) {
    Cell* a = stack::arguments;
    Cell* start = forall_series(a);
    if (!start) {
        Cell name = args::call_name(), dt{uint32_t(TYPE_DATATYPE), uint32_t(word::value_cell(a)->type()), 0, 0};
        Cell which = args::argument_word(0);
        fire("script", "expect-arg", &name, &dt, &which);
    }
    stack::push(start);  // a + 2: where the word goes back to after a normal end
    int32_t loop = open_loop();
    bool ended = false;
    for (;;) {
        Cell* s = word::value_cell(a);
        if (!series_more(s)) {
            ended = true;
            break;
        }
        KRO_ROUND(loop, a + 1);
        // the body may have pointed the word elsewhere: only its own series moves on
        s = word::value_cell(a);
        if (s->type() != a[2].type() || s->data2 != a[2].data2) fire("script", "bad-loop-series", s);
        s->data1++;
    }
    if (ended) {
        // before the loop's result lands in slot 0, which holds the word
        Cell back = a[2];
        word::set(a, &back);
    }
    close_loop();
    return Flow::NORMAL;
}

void install() {
    case_word.data2 = uint32_t(symbol::make("case"));
    set_fn(IF, &if_native);
    set_fn(UNLESS, &unless_native);
    set_fn(EITHER, &either_native);
    set_fn(ANY, &any_native);
    set_fn(ALL, &all_native);
    set_fn(WHILE, &while_native);
    set_fn(UNTIL, &until_native);
    set_fn(LOOP, &loop_native);
    set_fn(REPEAT, &repeat_native);
    set_fn(FOREVER, &forever_native);
    set_fn(FOREACH, &foreach_native);
    set_fn(FORALL, &forall_native);
    set_fn(REMOVE_EACH, &remove_each_native);
    set_fn(SWITCH, &switch_native);
    set_fn(CASE, &case_native);
}

}  // namespace

KRO_NATIVE_GROUP(install);

// ---- step functions ------------------------------------------------------------------------------

namespace {

// An image's node holds no series buffer: its length is its pixel count.
int32_t loop_head(const Cell* series) {
    if (series->is(TYPE_IMAGE)) return std::max(int32_t(series->data1), 0);
    return series::head_of(series);
}

}  // namespace

bool series_more(const Cell* series) {
    if (series->is(TYPE_MAP)) return series::head_of(series) < block_tail(series);
    if (series->is(TYPE_IMAGE)) return loop_head(series) < image::pixel_count(series);
    return !series::ks_tail_q(series);
}

namespace {

// The item at a series' head: a cell of a block kind, else the value picked.
Cell item_at_head(const Cell* series) {
    if (series::is_block_kind(series->type())) return *block::ks_abs_at(series, series::head_of(series));
    Cell s = *series;
    Cell index = integer(1);
    Cell* r = actions::get<A_PICK>(&s)(&s, 1, &index);
    return *r;
}

inline void set_loop_word(const Cell* word, const Cell* value) {
    Cell w = *word;
    w.set_type(TYPE_WORD);
    Cell v = *value;
    word::set(&w, &v);
}

}  // namespace

bool foreach_next(const Cell* word, Cell* series) {
    if (!series_more(series)) return false;
    Cell item = item_at_head(series);
    series->data1 = uint32_t(loop_head(series) + 1);
    set_loop_word(word, &item);
    return true;
}

int32_t foreach_next_multi(const Cell* words, int32_t n, Cell* series) {
    if (series->is(TYPE_MAP)) {
        if (n != 2) fire("script", "invalid-arg", words);
        return map::foreach_next(words, series, n) ? 2 : 0;
    }
    if (n <= 0 || !series_more(series)) return 0;
    if (series->is(TYPE_IMAGE)) {
        int64_t left = image::pixel_count(series) - loop_head(series);
        gc::Rooted words_held(*words);
        image::foreach_next(words_held.get(), series, n);
        return int32_t(std::min<int64_t>(n, left));
    }
    // the items first (setting a word may run a change handler that moves things)
    gc::Rooted items;
    block::make_at(items.get(), n);
    int32_t head = series::head_of(series);
    int32_t left = series::ks_full_length(series) - head;
    int32_t visited = n < left ? n : left;
    Cell probe = *series;
    for (int32_t i = 0; i < n; i++) {
        Cell item = none::value;
        if (i < visited) {
            probe.data1 = uint32_t(head + i);
            item = item_at_head(&probe);
        }
        *block::add_cell(items.get()) = item;
    }
    series->data1 = uint32_t(head + visited);
    for (int32_t i = 0; i < n; i++) {
        Cell w = *block::at(words, i);
        Cell v = *block::at(items.get(), i);
        set_loop_word(&w, &v);
    }
    return visited;
}

void remove_each_step(Cell* series, int32_t visited, const Cell* verdict) {
    if (!logic::is_true(verdict)) return;
    if (!datatype::entry(series->type(), A_REMOVE)) {
        // the series cannot lose items (an image): the data argument is at fault
        Cell name = args::call_name(), dt{uint32_t(TYPE_DATATYPE), uint32_t(series->type()), 0, 0};
        Cell which = args::argument_word(1);
        fire("script", "expect-arg", &name, &dt, &which);
    }
    // the round's items sit just before the head, unless the body removed
    // them itself (a series cleared in the body has nothing before its head)
    int32_t at = series::head_of(series) - visited;
    series->data1 = uint32_t(at < 0 ? 0 : at);
    Cell part = integer(visited);
    Cell* r = actions::get<A_REMOVE>(series)(series, visited > 1 ? &part : nullptr, nullptr);
    if (r != series) *series = *r;
}

}  // namespace kro::natives
