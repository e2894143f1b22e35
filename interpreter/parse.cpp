#include "interpreter/parse.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/triple.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/parse_match.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"

namespace kro::parse {

using namespace detail;

namespace {

// ---- the two stacks ------------------------------------------------------------------------------
// Block values whose head is where the running parse's part begins; a nested
// run moves both heads past the outer run's cells (and a triple recording
// them), so each run sees its own stacks from the head.

Cell input_stack_cell{uint32_t(TYPE_NONE), 0, 0, 0};
Cell rule_stack_cell{uint32_t(TYPE_NONE), 0, 0, 0};
bool ready = false;

void mark_stacks() {
    if (input_stack_cell.data2) collector::mark_block(&input_stack_cell.data2);
    if (rule_stack_cell.data2) collector::mark_block(&rule_stack_cell.data2);
}

inline memory::Buffer* buf(uint32_t node) { return memory::buffer_of(node); }
inline int32_t cells_in(uint32_t node) { return int32_t(buf(node)->used_bytes() / sizeof(Cell)); }
inline Cell* cells_of(uint32_t node) { return buf(node)->cells(); }

inline int32_t total(const Cell& s) { return cells_in(s.data2); }
inline int32_t head(const Cell& s) { return int32_t(s.data1); }
inline int32_t length(const Cell& s) { return total(s) - head(s); }

inline void push_cell(Cell& s, const Cell& c) {
    Cell v = c;
    *block::add_cell(&s) = v;
}
inline void drop_cells(Cell& s, int32_t n) { block::ks_clear_from(&s, total(s) - n); }

inline Cell integer_cell(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
inline Cell word_cell(int32_t symbol) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol), uint32_t(-1)}; }

// ---- keywords -------------------------------------------------------------------------------------

enum Kw : uint8_t {
    KW_NOT_A_KEYWORD = 0,
    KW_BAR, KW_SKIP, KW_ANY, KW_SOME, KW_OPT, KW_WHILE, KW_COPY, KW_SET, KW_TO, KW_THRU, KW_BREAK, KW_REJECT,
    KW_FAIL, KW_NONE, KW_END, KW_NOT, KW_AHEAD, KW_QUOTE, KW_IF, KW_INTO, KW_REMOVE, KW_INSERT, KW_CHANGE,
    KW_COLLECT, KW_KEEP, KW_CASE,
    // modifiers: keywords only where they follow their keyword
    KW_ONLY, KW_PICK, KW_AFTER,
    KW_COUNT
};

const char* const keyword_names[KW_COUNT] = {
    "",     "|",      "skip", "any",   "some", "opt",    "while",  "copy",   "set",     "to",
    "thru", "break",  "reject", "fail", "none", "end",   "not",    "ahead",  "quote",   "if",
    "into", "remove", "insert", "change", "collect", "keep", "case", "only", "pick", "after",
};

int32_t keyword_symbol[KW_COUNT];
std::vector<uint8_t> keyword_of_symbol;  // by canonical symbol id
// By symbol id as written (a spelling's canonical id never changes), filled
// on first sight: KW_UNKNOWN until then.
constexpr uint8_t KW_UNKNOWN = 0xFF;
std::vector<uint8_t> keyword_cache;

enum Ev : uint8_t { EV_PUSH, EV_POP, EV_FETCH, EV_MATCH, EV_ITERATE, EV_PAREN, EV_END, EV_COUNT };
const char* const event_names[EV_COUNT] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};
int32_t event_symbol[EV_COUNT];
int32_t parse_symbol = 0;

void init_words() {
    int32_t top = 0;
    for (int k = 1; k < KW_COUNT; k++) {
        keyword_symbol[k] = symbol::resolve(symbol::make(keyword_names[k]));
        top = std::max(top, keyword_symbol[k]);
    }
    keyword_of_symbol.assign(size_t(top) + 1, KW_NOT_A_KEYWORD);
    for (int k = 1; k < KW_COUNT; k++) keyword_of_symbol[size_t(keyword_symbol[k])] = uint8_t(k);
    for (int e = 0; e < EV_COUNT; e++) event_symbol[e] = symbol::make(event_names[e]);
    // the callback runs in a frame of its own name, as the sort and tokenizer callbacks do
    parse_symbol = symbol::make("<parse-callback>");
}

Kw lookup_keyword(uint32_t symbol) {
    int32_t id = symbol::resolve(int32_t(symbol));
    Kw kw = size_t(id) < keyword_of_symbol.size() ? Kw(keyword_of_symbol[size_t(id)]) : KW_NOT_A_KEYWORD;
    if (symbol >= keyword_cache.size()) keyword_cache.resize(size_t(symbol) + 256, KW_UNKNOWN);
    keyword_cache[symbol] = kw;
    return kw;
}

inline Kw keyword_of(const Cell& word) {
    uint32_t symbol = word.data2;
    if (symbol < keyword_cache.size() && keyword_cache[symbol] != KW_UNKNOWN) return Kw(keyword_cache[symbol]);
    return lookup_keyword(symbol);
}

void ensure_ready() {
    if (ready) return;
    block::make_at(&input_stack_cell, 8);
    block::make_at(&rule_stack_cell, 100);
    init_words();
    gc::add_mark_callback(&mark_stacks);
    ready = true;
}

// ---- commands ---------------------------------------------------------------------------------------

enum Code : int32_t {
    C_REPEAT = -1,
    C_TO = -2,
    C_THRU = -3,
    C_COPY = -4,
    C_SET = -5,
    C_NOT = -6,
    C_INTO = -7,
    C_REMOVE = -9,
    C_WHILE = -11,
    C_COLLECT = -12,
    C_KEEP = -13,
    C_KEEP_PAREN = -14,
    C_AHEAD = -16,
    C_CHANGE = -17,
    C_CHANGE_ONLY = -18,
    C_CASE = -19,
};

bool known_code(int32_t c) {
    switch (c) {
        case C_REPEAT: case C_TO: case C_THRU: case C_COPY: case C_SET: case C_NOT: case C_INTO:
        case C_REMOVE: case C_WHILE: case C_COLLECT: case C_KEEP: case C_KEEP_PAREN: case C_AHEAD:
        case C_CHANGE: case C_CHANGE_ONLY: case C_CASE:
            return true;
        default:
            return false;
    }
}

// The keyword a command came from (for parse-end).
Kw keyword_of_code(int32_t c) {
    switch (c) {
        case C_TO: return KW_TO;
        case C_THRU: return KW_THRU;
        case C_NOT: return KW_NOT;
        case C_REMOVE: return KW_REMOVE;
        case C_WHILE: return KW_WHILE;
        case C_COLLECT: return KW_COLLECT;
        case C_KEEP: case C_KEEP_PAREN: return KW_KEEP;
        case C_AHEAD: return KW_AHEAD;
        case C_INTO: return KW_INTO;
        case C_CHANGE: case C_CHANGE_ONLY: return KW_CHANGE;
        case C_CASE: return KW_CASE;
        case C_COPY: return KW_COPY;
        case C_SET: return KW_SET;
        default: return KW_ANY;
    }
}

// One rule-stack entry, read and checked. A trace callback receives the live
// stack and may change it: every entry is checked before it is used, and a
// damaged one raises an error instead of steering the matcher.
struct Entry {
    int32_t at;       // absolute index of its first cell
    bool command;     // a command entry (else a rules-block entry)
    int32_t rule;     // saved rule index
    int32_t index;    // saved input index
    int32_t len;      // saved input length (or the code of a command completed above)
    int32_t code;     // command entry: command code and argument
    int32_t arg;
    // a command entry: its first cell, the triple! {min, max, count} or the
    // target word (a rules-block entry's first cell is none!); a rules-block
    // entry: the enclosing rules block
    Cell cell;
};

[[noreturn]] void damaged() {
    Cell s = rule_stack_cell;
    fire("script", "invalid-arg", &s);
}

Entry read_entry(int32_t at) {
    Cell* c = cells_of(rule_stack_cell.data2) + at;
    Entry e;
    e.at = at;
    if (!c[1].is(TYPE_TRIPLE)) damaged();
    e.rule = int32_t(c[1].data1);
    e.index = int32_t(c[1].data2);
    e.len = int32_t(c[1].data3);
    if (e.rule < -1 || e.index < 0) damaged();
    if (c[2].is(TYPE_BLOCK)) {
        if (!c[0].is(TYPE_NONE)) damaged();
        e.command = false;
        e.cell = c[2];
        e.code = e.arg = 0;
        return e;
    }
    if (!c[2].is(TYPE_PAIR)) damaged();
    e.command = true;
    e.code = pair::x_of(&c[2]);
    e.arg = pair::y_of(&c[2]);
    if (!known_code(e.code)) damaged();
    if (e.code == C_COPY || e.code == C_SET) {
        if (!c[0].is(TYPE_WORD)) damaged();
    } else if (!c[0].is(TYPE_TRIPLE)) {
        damaged();
    }
    e.cell = c[0];
    return e;
}

// ---- nesting ----------------------------------------------------------------------------------------

// Saves the stacks' heads for a run started while another one is active, and
// puts everything back however the run ends (normally, by a status, or by an
// error passing through).
class Nesting {
public:
    Nesting() {
        if (length(rule_stack_cell) > 0 || length(input_stack_cell) > 0) {
            push_cell(rule_stack_cell, triple::make(head(input_stack_cell), head(rule_stack_cell), 0));
            input_stack_cell.data1 = uint32_t(total(input_stack_cell));
            rule_stack_cell.data1 = uint32_t(total(rule_stack_cell));
            saved_ = true;
        }
    }
    ~Nesting() {
        // never raises: a callback may have damaged what lies below the heads
        int32_t rt = total(rule_stack_cell), it = total(input_stack_cell);
        int32_t rh = std::clamp(head(rule_stack_cell), 0, rt), ih = std::clamp(head(input_stack_cell), 0, it);
        block::ks_clear_from(&input_stack_cell, ih);
        block::ks_clear_from(&rule_stack_cell, rh);
        if (!saved_) {
            input_stack_cell.data1 = 0;
            rule_stack_cell.data1 = 0;
            return;
        }
        int32_t in_head = 0, rule_head = 0;
        if (rh > 0) {
            Cell t = cells_of(rule_stack_cell.data2)[rh - 1];
            if (t.is(TYPE_TRIPLE)) {
                in_head = int32_t(t.data1);
                rule_head = int32_t(t.data2);
            }
            block::ks_clear_from(&rule_stack_cell, rh - 1);
        }
        rule_stack_cell.data1 = uint32_t(std::clamp(rule_head, 0, total(rule_stack_cell)));
        input_stack_cell.data1 = uint32_t(std::clamp(in_head, 0, total(input_stack_cell)));
    }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

private:
    bool saved_ = false;
};

// ---- the machine ------------------------------------------------------------------------------------

enum State : uint8_t {
    PUSH_BLOCK = 0,
    POP_BLOCK = 1,
    PUSH_COMMAND = 2,
    POP_COMMAND = 3,
    CHECK = 4,
    EVAL_RULE = 5,
    NEXT_RULE = 7,
    MATCH_VALUE = 8,
    COMMAND_ARG = 9,
    FIND_ALT = 10,
    WORD = 11,
    END = 12,
    EXIT = 13,
};

enum CollectKind : uint8_t { COLLECT_PLAIN, COLLECT_SET, COLLECT_INTO, COLLECT_AFTER };

// A firing of an event inside a state function: a Flow from the callback is
// passed on, and a callback that answers false ends the run.
#define KRO_PARSE_FIRE(ev)                                  \
    do {                                                    \
        if (traced_) {                                      \
            Flow fired_ = fire_event(ev);                         \
            if (fired_ != Flow::NORMAL || stop_) return fired_; \
        }                                                   \
    } while (0)

#define KRO_PARSE_DO(expr)                     \
    do {                                       \
        Flow done_ = (expr);                   \
        if (done_ != Flow::NORMAL) return done_; \
    } while (0)

class Machine {
public:
    Machine(const Cell* input, const Cell* rules, int32_t mode, int32_t limit, const Cell* callback)
        : rules_(*rules), cursor_(*input), value_(*rules), callback_(callback ? *callback : none::value),
          mode_(mode), limit_(limit), traced_(callback != nullptr) {}

    Flow run() {
        cycle_ = collector::cycles();
        Nesting nesting;
        base_ = stack::push(&unset::value);
        int32_t t = series::ks_full_length(&cursor_.cell);
        cursor_.cell.data1 = uint32_t(std::clamp(int32_t(cursor_.cell.data1), 0, t));
        push_cell(input_stack_cell, cursor_.cell);
        rs_sync();
        rp_ = -1;
        state_ = PUSH_BLOCK;
        Flow f = loop();
        if (f != Flow::NORMAL) return f;
        stack::top_ptr = base_ + 1;
        return Flow::NORMAL;
    }

private:
    // ---- registers ----
    gc::Rooted rules_;        // the current rules block (its head as given)
    gc::Rooted cursor_;       // the input at this level, at the cursor
    gc::Rooted value_;        // the rule value being processed
    gc::Rooted callback_;     // the trace callback, or none
    gc::Rooted kept_;         // the result of a `keep (expr)` paren
    gc::Rooted target_word_;  // the word of a copy or set being pushed
    int32_t rp_ = -1;         // rule pointer, relative to the rules' head
    State state_ = PUSH_BLOCK;
    bool match_ = true;
    int32_t mode_;
    int32_t limit_;           // /part limit (absolute index in the outermost input), -1 for none
    bool traced_;
    bool stop_ = false;       // the callback asked to stop
    bool leave_ = false;      // break/reject: leave the current block at once
    int32_t break_at_ = -1;   // the repetition entry that a break/reject stops
    bool block_completed_ = false;  // the last block left had been followed to its tail
    bool collected_ = false;  // an outermost plain collect gave the result
    struct Pending {
        int32_t code, min, max, arg;
    } cmd_{0, 0, 0, 0};
    Cell* base_ = nullptr;    // data stack: the result, then two cells per open collect
    std::vector<uint8_t> collects_;
    int32_t in_depth_ = 1;    // inputs on the input stack: 1 outside any `into`
    int32_t phantom_ = 0;     // cells of the entries matched in place, not pushed
    // whether the input's datatype copies through the series action (asked
    // once per datatype: the actions table does not change during a run)
    mutable uint32_t copy_type_ = uint32_t(-1);
    mutable bool copy_plain_ = false;

    // ---- views ----
    // The current rules' cells and the input's tail, read from their buffers
    // once and kept while no code runs and neither register changes: only
    // code changes, grows or moves a series (the machine changes the input
    // through the series actions, and counts that as code having run).
    mutable bool rules_ok_ = false;
    mutable bool tail_ok_ = false;
    mutable const Cell* rule_cells_ = nullptr;  // from the rules' head
    mutable int32_t rule_count_ = 0;            // rules from the head (negative: the head lies past the tail)
    mutable int32_t tail_ = 0;                  // the input's tail
    void view_rules() const {
        if (rules_ok_) return;
        memory::Buffer* r = buf(rules_.cell.data2);
        int32_t n = int32_t(r->used_bytes() / sizeof(Cell));
        rule_count_ = n - rules_head();
        rule_cells_ = r->cells() + std::clamp(rules_head(), 0, n);
        rules_ok_ = true;
    }
    void view_tail() const {
        if (tail_ok_) return;
        const memory::Buffer* b = buf(cursor_.cell.data2);
        tail_ = int32_t(b->used_bytes() >> __builtin_ctz(uint32_t(b->unit())));
        tail_ok_ = true;
    }

    // ---- rules ----
    int32_t rules_head() const { return int32_t(rules_.cell.data1); }
    bool at_tail() const {
        view_rules();
        return rp_ >= rule_count_;
    }
    bool rule_at(int32_t rel, Cell* out) const {
        view_rules();
        if (rel < 0 || rel >= rule_count_) return false;
        *out = rule_cells_[rel];
        return true;
    }

    // ---- input ----
    int32_t idx() const { return int32_t(cursor_.cell.data1); }
    void set_idx(int32_t i) { cursor_.cell.data1 = uint32_t(std::clamp(i, 0, in_tail())); }
    int32_t in_tail() const {
        view_tail();
        return tail_;
    }
    bool outermost() const { return in_depth_ == 1; }
    int32_t eff_end() const {
        int32_t t = in_tail();
        if (limit_ >= 0 && outermost() && limit_ < t) t = limit_;
        return t;
    }
    bool at_end() const { return idx() >= eff_end(); }
    int32_t remaining() const { return std::max(in_tail() - idx(), 0); }
    Span span() const { return Span{cursor_.cell.type(), cursor_.cell.data2, idx(), eff_end()}; }
    // After anything that may have changed the input: the cursor back inside it.
    void clamp_cursor() { set_idx(idx()); }
    bool holds_input(const Cell& v) const {
        return series::is_series_value(v.type()) && v.type() == cursor_.cell.type() && v.data2 == cursor_.cell.data2;
    }

    // The item at an index, as set and keep take it: a char! of text, an
    // integer! byte of a binary, the cell of a block.
    Cell item_at(int32_t i) const {
        switch (kind_of(cursor_.cell.type())) {
            case InputKind::BLOCK: {
                Cell c = cells_of(cursor_.cell.data2)[i];
                c.header &= ~FLAG_NEW_LINE;
                return c;
            }
            case InputKind::BINARY:
                return integer_cell(buf(cursor_.cell.data2)->head_ptr()[i]);
            case InputKind::TEXT: {
                memory::Buffer* b = buf(cursor_.cell.data2);
                int u = b->unit();
                return Cell{uint32_t(TYPE_CHAR), 0, string::get_char(b->head_ptr() + int64_t(i) * u, u), 0};
            }
        }
        return none::value;
    }

    // Whether the input copies through the series action.
    bool plain_copy() const {
        if (cursor_.cell.type() != copy_type_) {
            copy_type_ = cursor_.cell.type();
            copy_plain_ = actions::get<A_COPY>(&cursor_.cell) == &series::copy;
        }
        return copy_plain_;
    }

    // A copy of the input from lo to hi (same datatype as the input).
    void copy_slice(int32_t lo, int32_t hi, Cell* out) const {
        Cell src = cursor_.cell;
        src.data1 = uint32_t(lo);
        if (plain_copy()) {
            // text and binaries: the copy the series action makes, without
            // going through its argument forms
            int32_t full = in_tail();
            int32_t a = std::clamp(lo, 0, full);
            int32_t n = std::clamp(hi - lo, 0, full - a);
            uint32_t node = series::copy_range(&src, uint32_t(a), uint32_t(n));
            *out = Cell{uint32_t(src.type()) | (src.header & FLAG_NEW_LINE), 0, node, 0};
            return;
        }
        Cell part = integer_cell(std::max(hi - lo, 0));
        actions::copy(&src, out, &part, false, nullptr);
    }

    // ---- rule stack ----
    // Its cell count (absolute) and its head, kept in step with the
    // machine's pushes and drops, and read again from the block after code
    // has run (a trace callback may change the stack).
    int32_t rs_total_ = 0;
    int32_t rs_head_ = 0;
    void rs_sync() {
        rs_total_ = total(rule_stack_cell);
        rs_head_ = head(rule_stack_cell);
    }
    int32_t rs_len() const { return rs_total_ - rs_head_; }
    void check_limits() const {
        if (rs_len() + phantom_ >= STACK_LIMIT || length(input_stack_cell) >= STACK_LIMIT) fire("script", "parse-stack");
    }
    void rs_push(const Cell& a, const Cell& b, const Cell& c) {
        rs_total_ += 3;
        memory::Buffer* bf = buf(rule_stack_cell.data2);
        if (bf->free_bytes() >= 3 * sizeof(Cell)) {
            Cell* at = bf->cell_tail();
            at[0] = a;
            at[1] = b;
            at[2] = c;
            bf->tail += 3 * sizeof(Cell);
            return;
        }
        push_cell(rule_stack_cell, a);
        push_cell(rule_stack_cell, b);
        push_cell(rule_stack_cell, c);
    }
    // Pushes an entry made by the machine itself, and keeps it decoded.
    // A block entry: cell is the enclosing rules block; a command entry: its
    // first cell.
    void push_entry(bool command, const Cell& cell, int32_t code, int32_t arg) {
        int32_t t = rs_total_, i = idx(), len = remaining();
        if (command) rs_push(cell, triple::make(rp_, i, len), pair::make(code, arg));
        else rs_push(none::value, triple::make(rp_, i, len), cell);
        top_ = Entry{t, command, rp_, i, len, code, arg, cell};
        top_ok_ = true;
    }
    // Drops the entry on top.
    void drop_entry() {
        rs_total_ -= 3;
        memory::Buffer* b = buf(rule_stack_cell.data2);
        b->tail = b->offset + uint32_t(rs_total_) * sizeof(Cell);
        top_ok_ = false;
    }

    // ---- the entry on top ----
    // Decoded once and kept while it is on top and no code has run: a
    // callback or a paren may change the stack (and the collector move what
    // its cells refer to), so anything that may evaluate drops it, and it is
    // read and checked again from its cells.
    mutable Entry top_{};
    mutable bool top_ok_ = false;
    void ran_code() {
        top_ok_ = false;
        rules_ok_ = tail_ok_ = false;
        rs_sync();
        cycle_ = collector::cycles();
    }

    // The type of the top cell: a command (pair!) or a rules block entry.
    bool top_is_command() const {
        if (top_ok_) return top_.command;
        if (rs_len() < 3) damaged();
        const Cell& c = cells_of(rule_stack_cell.data2)[rs_total_ - 1];
        if (c.is(TYPE_PAIR)) return true;
        if (c.is(TYPE_BLOCK)) return false;
        damaged();
    }
    const Entry& top() const {
        if (top_ok_) return top_;
        if (rs_len() < 3) damaged();
        top_ = read_entry(rs_total_ - 3);
        top_ok_ = true;
        return top_;
    }
    const Entry& top_command() const {
        const Entry& e = top();
        if (!e.command) damaged();
        return e;
    }
    const Entry& top_block() const {
        const Entry& e = top();
        if (e.command) damaged();
        return e;
    }
    // Rewrites the position triple of the entry on top.
    void write_position(const Entry& e, int32_t index, int32_t len) {
        cells_of(rule_stack_cell.data2)[e.at + 1] = triple::make(e.rule, index, len);
        if (top_ok_ && top_.at == e.at) {
            top_.index = index;
            top_.len = len;
        }
    }
    // Drops the command entry on top; the entry below learns which command completed.
    void pop_command_entry() { popped_command(top_command().code); }
    void popped_command(int32_t code) {
        drop_entry();
        completed_above(code);
    }
    // What the stack keeps of a command completed above its top entry.
    void completed_above(int32_t code) {
        int32_t t = rs_total_;
        if (break_at_ >= t) break_at_ = -1;
        if (t - rs_head_ >= 3) {
            Cell& pos = cells_of(rule_stack_cell.data2)[t - 2];
            if (pos.is(TYPE_TRIPLE)) {
                pos.data3 = uint32_t(code);
                if (top_ok_) top_.len = code;
            }
        }
    }
    // The innermost repetition entry, which a break or reject stops.
    int32_t innermost_repetition() const {
        Cell* c = cells_of(rule_stack_cell.data2);
        for (int32_t at = total(rule_stack_cell) - 3; at >= head(rule_stack_cell); at -= 3) {
            if (c[at + 2].is(TYPE_PAIR)) {
                int32_t code = pair::x_of(&c[at + 2]);
                if (code == C_REPEAT || code == C_WHILE) return at;
            }
        }
        return -1;
    }

    // ---- errors ----
    [[noreturn]] void parse_end(Kw kw) const {
        Cell w = word_cell(keyword_symbol[kw]);
        fire("script", "parse-end", &w);
    }
    [[noreturn]] static void bad_rule(const Cell& v) {
        Cell c = v;
        fire("script", "parse-rule", &c);
    }

    // A word's value, or unset when it has none (unbound words included).
    static Cell value_of(const Cell& w) {
        if (!w.data1) return unset::value;
        const Cell* v = slot_of(w);
        return v ? *v : *word::value_cell(&w);
    }
    // The value cell of a word bound to a slot of a live context, read in
    // place; null for the other cases, where word::value_cell answers or
    // raises the fitting error.
    static const Cell* slot_of(const Cell& w) {
        uint32_t ctx = w.data1;
        int32_t slot = int32_t(w.data3);
        if (!ctx || slot < 0) return nullptr;
        const Cell* c = context::cell_of(ctx);
        if (!c->data2) return nullptr;
        if (c->header & context::FLAG_ON_STACK) return arena::ptr<Cell>(c->data2) + slot;
        memory::Buffer* b = buf(c->data2);
        if (uint32_t(slot) >= b->used_bytes() / sizeof(Cell)) return nullptr;
        return b->cells() + slot;
    }

    // ---- events ----
    Flow fire_event(Ev e) {
        Cell args[5];
        args[0] = word_cell(event_symbol[e]);
        args[1] = logic::make(match_);
        args[2] = rules_.cell;
        args[2].data1 = uint32_t(rules_head() + std::max(rp_, 0));
        args[3] = cursor_.cell;
        args[4] = rule_stack_cell;
        Cell name = word_cell(parse_symbol);
        Flow f = interp::call_value(callback_.get(), args, 5, &name, trace::PARSE);
        ran_code();
        if (f != Flow::NORMAL) return f;
        if (!logic::is_true(stack::top())) stop_ = true;
        stack::pop(1);
        clamp_cursor();
        return Flow::NORMAL;
    }

    // Evaluates a paren; its result goes to out.
    Flow eval_paren(const Cell& paren, Cell* out) {
        gc::Rooted p(paren);
        Flow f = interp::eval_block(p.get(), false);
        ran_code();
        if (f != Flow::NORMAL) return f;
        *out = *stack::top();
        stack::pop(1);
        clamp_cursor();
        return Flow::NORMAL;
    }

    // The value of insert and change: a paren's result, a word's value.
    Flow operand(const Cell& c, Cell* out) {
        if (c.is(TYPE_PAREN)) {
            KRO_PARSE_DO(eval_paren(c, out));
            KRO_PARSE_FIRE(EV_PAREN);
            return Flow::NORMAL;
        }
        if (c.is(TYPE_WORD) || c.is(TYPE_GET_WORD)) {
            Cell v = value_of(c);
            if (v.is(TYPE_UNSET)) {
                Cell w = c;
                fire("script", "no-value", &w);
            }
            *out = v;
            return Flow::NORMAL;
        }
        if (c.is(TYPE_PATH) || c.is(TYPE_SET_PATH) || c.is(TYPE_GET_PATH)) bad_rule(c);
        *out = c;
        return Flow::NORMAL;
    }

    // ---- modifying the input ----
    // The /part limit follows the changes made before it.
    void shift_limit(int32_t from, int32_t removed, int32_t inserted) {
        if (limit_ < 0 || !outermost() || from > limit_) return;
        if (limit_ >= from + removed) limit_ += inserted - removed;
        else limit_ = from + inserted;
    }

    void remove_range(int32_t lo, int32_t n) {
        if (n <= 0) return;
        gc::Rooted s(cursor_.cell);
        s->data1 = uint32_t(lo);
        Cell part = integer_cell(n);
        actions::get<A_REMOVE>(s.get())(s.get(), &part, nullptr);
        ran_code();  // an owned series runs its owner's handler
        shift_limit(lo, n, 0);
        set_idx(lo);
    }

    // Answers the units inserted.
    int32_t insert_at(int32_t pos, Cell* value, bool only) {
        gc::Rooted s(cursor_.cell);
        s->data1 = uint32_t(pos);
        Cell* r = actions::get<A_INSERT>(s.get())(s.get(), value, -1, only, 1, false);
        ran_code();
        int32_t n = std::max(int32_t(r->data1) - pos, 0);
        shift_limit(pos, 0, n);
        clamp_cursor();
        return n;
    }

    // Replaces n units at lo; answers the index after the new content.
    int32_t change_range(int32_t lo, int32_t n, Cell* value, bool only) {
        gc::Rooted s(cursor_.cell);
        s->data1 = uint32_t(lo);
        Cell* r = actions::get<A_CHANGE>(s.get())(s.get(), value, n, only, 1);
        ran_code();
        int32_t after = int32_t(r->data1);
        shift_limit(lo, n, std::max(after - lo, 0));
        clamp_cursor();
        return after;
    }

    // ---- collect and keep ----
    Cell* target(size_t k) const { return base_ + 1 + 2 * k; }

    // Keeps a value in the innermost open collection (a block target takes it
    // as one item with only, its items otherwise; a string characters; a
    // binary bytes).
    void keep_value(Cell* value, bool only) {
        size_t k = collects_.size() - 1;
        Cell* t = target(k);
        if (only && (collects_[k] == COLLECT_PLAIN || collects_[k] == COLLECT_SET)) {
            // the collection's own new block, out of every other code's reach
            // until it is closed: the value goes straight to its tail
            Cell v = *value;
            *block::add_cell(t) = v;
            t->data1 = 0;
            return;
        }
        bool into = collects_[k] == COLLECT_INTO;
        actions::get<A_INSERT>(t)(t, value, -1, only, 1, !into);
        ran_code();
    }

    void keep_matched(const Entry& e) {
        if (e.len == C_COPY) {  // keep copy word rule: the copied value
            Cell w;
            if (rule_at(e.rule + 2, &w) && w.is(TYPE_WORD)) {
                gc::Rooted v(value_of(w));
                keep_value(v.get(), true);
            }
            return;
        }
        keep_span(e.index, idx(), e.arg != 0);
    }

    // A collection's own block that keeps many values grows fourfold from
    // 64 KB to 64 MB rather than twofold: fewer of its former buffers are
    // copied and written to fresh pages, for at most four times the room it
    // needs (past 64 MB the arena's room counts more).
    static memory::Buffer* grow_collection(memory::Buffer* b) {
        bool four = b->size >= (64u << 10) && b->size < (64u << 20);
        return memory::grow_series(b, four ? b->size * 4 : 0);  // 0: twofold
    }

    // A value to the end of the collection's own block (keeps_quietly):
    // nothing evaluates or collects on the way. sink holds that block's
    // buffer from one call to the next while nothing else may grow it (null:
    // found again).
    void keep_quiet(const Cell& v, memory::Buffer*& sink) {
        if (!sink) {
            Cell* t = target(collects_.size() - 1);
            t->data1 = 0;
            sink = buf(t->data2);
        }
        if (sink->free_bytes() < sizeof(Cell)) sink = grow_collection(sink);
        *sink->cell_tail() = v;
        sink->tail += sizeof(Cell);
    }
    void keep_quiet(const Cell& v) {
        memory::Buffer* sink = nullptr;
        keep_quiet(v, sink);
    }

    // Keeps the input from lo to hi: one item, each item (pick), or a copy.
    void keep_span(int32_t lo, int32_t hi, bool pick) {
        if (hi <= lo) return;
        if (hi - lo > 1 && !pick && keeps_quietly()) {
            Cell v;
            copy_slice(lo, hi, &v);
            keep_quiet(v);
            return;
        }
        gc::Rooted v;
        if (hi - lo == 1 || pick) {
            for (int32_t i = lo; i < hi && i < in_tail(); i++) {
                v.cell = item_at(i);
                keep_value(v.get(), true);
            }
            return;
        }
        Cell* t = target(collects_.size() - 1);
        InputKind in = kind_of(cursor_.cell.type());
        bool text_target = series::is_text_kind(t->type());
        if (in == InputKind::BINARY && text_target && buf(t->data2)->unit() == 1) {
            // bytes go in as characters of the same unit size
            string::make_at(v.get(), uint32_t(hi - lo), 1);
            const uint8_t* p = buf(cursor_.cell.data2)->head_ptr() + lo;
            std::vector<uint8_t> bytes(p, p + (hi - lo));
            string::append_bytes(v.get(), bytes.data(), uint32_t(bytes.size()));
        } else if (in == InputKind::TEXT && t->is(TYPE_BINARY) && buf(cursor_.cell.data2)->unit() == 1) {
            // 1-byte characters go in as bytes
            const uint8_t* p = buf(cursor_.cell.data2)->head_ptr() + lo;
            std::vector<uint8_t> bytes(p, p + (hi - lo));
            binary::load_in(bytes.data(), uint32_t(bytes.size()), v.get());
        } else {
            copy_slice(lo, hi, v.get());
        }
        keep_value(v.get(), true);
    }

    // collect [set word | into word | after word] rule
    Flow open_collect() {
        CollectKind kind = COLLECT_PLAIN;
        gc::Rooted w(none::value), t;
        Cell c;
        if (rule_at(rp_ + 1, &c) && c.is(TYPE_WORD)) {
            Kw k = keyword_of(c);
            if (k == KW_SET || k == KW_INTO || k == KW_AFTER) {
                if (!rule_at(rp_ + 2, &w.cell) || !w->is(TYPE_WORD)) parse_end(k);
                kind = k == KW_SET ? COLLECT_SET : k == KW_INTO ? COLLECT_INTO : COLLECT_AFTER;
                rp_ += 2;
            }
        }
        if (kind == COLLECT_PLAIN || kind == COLLECT_SET) {
            block::make_at(t.get(), 8);
        } else {
            t.cell = value_of(w.cell);
            uint32_t tt = t->type(), it = cursor_.cell.type();
            bool series_ok = series::is_series_value(tt) && tt != TYPE_IMAGE && tt != TYPE_VECTOR;
            bool fits = tt == it || series::is_block_kind(tt) || (series::is_text_kind(tt) && !series::is_block_kind(it)) ||
                        (tt == TYPE_BINARY && it == TYPE_BINARY);
            if (!series_ok || !fits) fire("script", "parse-into-type");
            if (t->data2 == cursor_.cell.data2) fire("script", "parse-into-bad");
            t->data1 = uint32_t(series::head_of(t.get()));
        }
        stack::top_ptr = target(collects_.size());
        stack::push(t.get());
        stack::push(w.get());
        collects_.push_back(kind);
        cmd_ = Pending{C_COLLECT, -1, int32_t(t->data1), 0};
        state_ = PUSH_COMMAND;
        return Flow::NORMAL;
    }

    void close_collect() {
        size_t k = collects_.size() - 1;
        CollectKind kind = CollectKind(collects_[k]);
        gc::Rooted t(*target(k)), w(*(target(k) + 1));
        collects_.pop_back();
        stack::top_ptr = target(collects_.size());
        if (kind == COLLECT_PLAIN) {
            if (collects_.empty()) {
                *base_ = t.cell;
                collected_ = true;
            } else {
                keep_value(t.get(), true);
            }
        } else if (kind == COLLECT_SET) {
            word::set(w.get(), t.get());
            ran_code();
        }
        // into/after: the word's value was never moved
    }

    // ---- the states ----
    Flow loop() { return traced_ ? states<true>() : states<false>(); }

    // Without a callback nothing can ask the run to stop.
    template <bool TRACED>
    Flow states() {
        for (;;) {
            Flow f;
            switch (state_) {
                case PUSH_BLOCK: f = push_block(); break;
                case POP_BLOCK: f = pop_block(); break;
                case PUSH_COMMAND: f = push_command(); break;
                case POP_COMMAND: f = pop_command(); break;
                case CHECK: f = check(); break;
                case EVAL_RULE: f = eval_rule(); break;
                case NEXT_RULE: f = next_rule(); break;
                case MATCH_VALUE: f = match_value(); break;
                case COMMAND_ARG: f = command_arg(); break;
                case FIND_ALT: f = find_alternative(); break;
                case WORD: f = word_rule(); break;
                case END: f = end(); break;
                case EXIT: return Flow::NORMAL;
                default: rt_error::no_switch_match();
            }
            if (f != Flow::NORMAL) return f;
            // rules that run no code never reach the evaluator's safe points:
            // between two steps the machine is as it is after any code, so a
            // long run collects its garbage (the copies set to words) here
            if (gc::wanted && gc::active) [[unlikely]] {
                gc::safe_point();
                ran_code();
            }
            if (TRACED && stop_) {
                *base_ = logic::make(match_);
                return Flow::NORMAL;
            }
        }
    }

    // 0: enter the block in value_ (the outermost block: with an empty stack).
    Flow push_block() {
        if (!traced_ && rs_len() > 0 && !known_unfit(value_.cell) && quick_enter())
            return Flow::NORMAL;
        check_limits();
        push_entry(false, rules_.cell, 0, 0);
        rules_.cell = value_.cell;
        rules_ok_ = false;
        rp_ = -1;
        match_ = true;
        state_ = NEXT_RULE;
        if (!traced_) return next_rule();  // states that fire nothing follow at once
        KRO_PARSE_FIRE(EV_PUSH);
        return Flow::NORMAL;
    }

    // 1: leave the current block.
    Flow pop_block() {
        top_block();
        if (rs_len() == 3) {
            state_ = END;
            KRO_PARSE_FIRE(EV_POP);
            return Flow::NORMAL;
        }
        block_completed_ = at_tail();
        KRO_PARSE_FIRE(EV_POP);
        const Entry& e = top_block();
        if (!match_) set_idx(e.index);  // a failed block gives its input back (reject leaves at once)
        rules_.cell = e.cell;
        rules_ok_ = false;
        rp_ = e.rule;
        drop_entry();
        leave_ = false;
        state_ = top_is_command() ? POP_COMMAND : !match_ ? FIND_ALT : NEXT_RULE;
        return Flow::NORMAL;
    }

    // 2: push the pending command; the rule pointer goes to its rule.
    Flow push_command() {
        check_limits();
        Cell first = (cmd_.code == C_COPY || cmd_.code == C_SET) ? target_word_.cell : triple::make(cmd_.min, cmd_.max, 1);
        push_entry(true, first, cmd_.code, cmd_.arg);
        if (!at_tail()) rp_++;
        state_ = COMMAND_ARG;
        if (!traced_) return command_arg();
        KRO_PARSE_FIRE(EV_PUSH);
        return Flow::NORMAL;
    }

    // 9: the rule of the command on top.
    Flow command_arg() {
        int32_t code = top_command().code;
        Cell v;
        if (!rule_at(rp_, &v)) {
            switch (code) {
                case C_TO: case C_THRU: case C_NOT: case C_REMOVE: case C_WHILE: case C_COLLECT: case C_KEEP:
                case C_KEEP_PAREN: case C_AHEAD: case C_INTO: case C_COPY: case C_SET:
                    parse_end(keyword_of_code(code));
                default:
                    break;
            }
            match_ = true;
            state_ = CHECK;
            return Flow::NORMAL;
        }
        value_.cell = v;
        if (v.is(TYPE_WORD)) {
            state_ = WORD;
            return word_rule();
        }
        return command_rule(code);
    }

    // A command's rule that is not a word: a block is entered; counts,
    // parens and datatypes are evaluated; a literal takes the fast paths of
    // to, thru and the repetitions, or is matched as any rule.
    Flow command_rule(int32_t code) {
        switch (value_->type()) {
            case TYPE_BLOCK:
                state_ = PUSH_BLOCK;
                return Flow::NORMAL;
            case TYPE_INTEGER: case TYPE_PAREN: case TYPE_TYPESET: case TYPE_DATATYPE:
            case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
                state_ = EVAL_RULE;
                return Flow::NORMAL;
            default:
                break;
        }
        if (code == C_TO || code == C_THRU) {
            int32_t at = find_value(span(), value_.get(), mode_, code == C_THRU);
            match_ = at >= 0;
            if (match_) set_idx(at);
            // not found, but the cursor already lies past the /part limit
            else if (limit_ >= 0 && outermost() && idx() > limit_) match_ = true;
            return fast_done();
        }
        if (code == C_REPEAT) {
            const Entry& e = top_command();
            int32_t min = int32_t(e.cell.data1), max = int32_t(e.cell.data2), after = idx();
            int32_t n = loop_value(span(), value_.get(), mode_, min, max, &after);
            match_ = n >= 0 && n >= min && (max < 0 || n <= max);
            if (match_) set_idx(after);
            return fast_done();
        }
        state_ = MATCH_VALUE;
        return Flow::NORMAL;
    }

    Flow fast_done() {
        state_ = CHECK;
        KRO_PARSE_FIRE(EV_MATCH);
        KRO_PARSE_FIRE(EV_POP);
        pop_command_entry();
        return Flow::NORMAL;
    }

    // Where a rule that matches nothing (a paren, a set-word) goes on: to the
    // command it belongs to, else to the next rule.
    void go_on() { state_ = top_is_command() ? CHECK : NEXT_RULE; }

    // 5: dispatch on the rule value's datatype.
    Flow eval_rule() {
        Cell v = value_.cell;
        switch (v.type()) {
            case TYPE_WORD:
                state_ = WORD;
                return word_rule();
            case TYPE_BLOCK:
                state_ = PUSH_BLOCK;
                return Flow::NORMAL;
            case TYPE_DATATYPE:
            case TYPE_TYPESET: {
                int32_t n = match_type(span(), &v);
                match_ = n >= 0;
                if (match_) set_idx(idx() + n);
                state_ = CHECK;
                KRO_PARSE_FIRE(EV_MATCH);
                return Flow::NORMAL;
            }
            case TYPE_SET_WORD: {
                gc::Rooted w(v), s(cursor_.cell);
                word::set(w.get(), s.get());
                ran_code();
                clamp_cursor();
                go_on();
                return Flow::NORMAL;
            }
            case TYPE_GET_WORD: {
                Cell s = value_of(v);
                if (!holds_input(s)) fire("script", "parse-invalid-ref", &v);
                set_idx(int32_t(s.data1));
                match_ = true;
                go_on();
                return Flow::NORMAL;
            }
            case TYPE_INTEGER:
                return counts(v);
            case TYPE_PAREN: {
                bool keep = top_is_command() && top_command().code == C_KEEP_PAREN;
                KRO_PARSE_DO(eval_paren(v, kept_.get()));
                if (keep) {
                    state_ = CHECK;
                    return Flow::NORMAL;
                }
                go_on();
                KRO_PARSE_FIRE(EV_PAREN);
                return Flow::NORMAL;
            }
            case TYPE_PATH:
            case TYPE_SET_PATH:
            case TYPE_GET_PATH:
                bad_rule(v);
            default:
                state_ = MATCH_VALUE;
                return Flow::NORMAL;
        }
    }

    // N rule, N M rule.
    Flow counts(const Cell& v) {
        int32_t n = int32_t(v.data2), m = n;
        Cell next;
        if (!rule_at(rp_ + 1, &next)) bad_rule(v);
        if (next.is(TYPE_INTEGER)) {
            m = int32_t(next.data2);
            rp_++;
            Cell rule;
            if (!rule_at(rp_ + 1, &rule)) bad_rule(next);
            if (m < 0) fire("script", "out-of-range", &next);
        } else if (m < 0) {
            fire("script", "out-of-range", &v);
        }
        if (n > m) bad_rule(v);
        if (m == 0) {  // zero times: the rule is skipped
            rp_++;
            match_ = true;
            go_on();
            return Flow::NORMAL;
        }
        cmd_ = Pending{C_REPEAT, std::max(n, 0), m, 0};
        state_ = PUSH_COMMAND;
        return Flow::NORMAL;
    }

    // 8: the rule value literally at the cursor.
    Flow match_value() {
        int32_t n = match_literal(span(), value_.get(), mode_);
        match_ = n >= 0;
        if (match_) set_idx(idx() + n);
        state_ = CHECK;
        KRO_PARSE_FIRE(EV_MATCH);
        return Flow::NORMAL;
    }

    // 4
    Flow check() {
        settle();
        return Flow::NORMAL;
    }
    void settle() { state_ = top_is_command() ? POP_COMMAND : !match_ ? FIND_ALT : NEXT_RULE; }

    // 7
    Flow next_rule() {
        view_rules();
        if (rp_ < rule_count_) rp_++;
        if (rp_ >= rule_count_) {
            state_ = top_is_command() ? POP_COMMAND : POP_BLOCK;
            return Flow::NORMAL;
        }
        value_.cell = rule_cells_[rp_];
        state_ = EVAL_RULE;
        if (!traced_) return eval_rule();  // no fetch to tell of
        KRO_PARSE_FIRE(EV_FETCH);
        return Flow::NORMAL;
    }

    // 10: back to where the block began, on to the next alternative.
    Flow find_alternative() {
        const Entry& e = top_block();
        set_idx(e.index);
        int32_t from = std::max(rp_ + 1, 0);
        view_rules();
        int32_t t = rule_count_;
        const Cell* c = rule_cells_;
        int32_t bar = keyword_symbol[KW_BAR];
        for (int32_t i = from; i < t; i++) {
            if (c[i].is(TYPE_WORD) && symbol::resolve(int32_t(c[i].data2)) == bar) {
                rp_ = i;
                match_ = true;
                state_ = NEXT_RULE;
                return Flow::NORMAL;
            }
        }
        state_ = POP_BLOCK;
        return Flow::NORMAL;
    }

    // 12
    Flow end() {
        if (!at_tail()) {
            match_ = false;
        } else if (match_ && eff_end() - idx() >= 1 && outermost()) {
            match_ = false;
        }
        if (!collected_) *base_ = logic::make(match_);
        state_ = EXIT;
        KRO_PARSE_FIRE(EV_END);
        return Flow::NORMAL;
    }

    // 3: complete the command on top (or return to the block on top).
    Flow pop_command() {
        if (!top_is_command()) {
            state_ = leave_ ? POP_BLOCK : NEXT_RULE;
            return Flow::NORMAL;
        }
        leave_ = false;
        // the entry stays where it is while its command completes: nothing
        // here pushes
        const Entry& e = top_command();
        bool resumed = false;
        switch (e.code) {
            case C_REPEAT:
            case C_WHILE:
                KRO_PARSE_DO(repeat_step(e, &resumed));
                break;
            case C_TO:
            case C_THRU:
                KRO_PARSE_DO(to_step(e, &resumed));
                break;
            case C_COPY:
            case C_SET:
                if (match_) copied(e.code == C_COPY, e.cell, e.index);
                break;
            case C_NOT:
                match_ = !match_;
                set_idx(e.index);
                break;
            case C_AHEAD:
                set_idx(e.index);
                break;
            case C_INTO:
                into_done();
                break;
            case C_REMOVE:
                if (match_) {
                    int32_t a = std::min(e.index, idx()), b = std::max(e.index, idx());
                    remove_range(a, b - a);
                }
                break;
            case C_COLLECT:
                close_collect();
                break;
            case C_KEEP:
                if (match_) keep_matched(e);
                break;
            case C_KEEP_PAREN:
                if (match_) keep_value(kept_.get(), e.arg == 0);
                break;
            case C_CHANGE:
            case C_CHANGE_ONLY:
                KRO_PARSE_DO(change_done(e));
                break;
            case C_CASE:
                mode_ = int32_t(e.cell.data2);
                break;
            default:
                damaged();
        }
        if (resumed) return Flow::NORMAL;
        state_ = CHECK;
        KRO_PARSE_FIRE(EV_POP);
        pop_command_entry();
        return Flow::NORMAL;
    }

    // copy or set word, its rule matched from index `from`: the word takes
    // the copy of what it matched (set: its first item, or none).
    void copied(bool copy, const Cell& word, int32_t from) {
        gc::Rooted w(word), v(none::value);
        if (copy) {
            int32_t a = std::min(from, idx()), b = std::max(from, idx());
            copy_slice(std::min(a, in_tail()), std::min(b, in_tail()), v.get());
        } else if (idx() > from && from < in_tail()) {
            v.cell = item_at(from);
        }
        word::set(w.get(), v.get());
        ran_code();
        clamp_cursor();
    }

    // The repetition step after each try of the repeated rule.
    Flow repeat_step(const Entry& e, bool* resumed) {
        int32_t min = int32_t(e.cell.data1), max = int32_t(e.cell.data2), count = int32_t(e.cell.data3);
        bool more = match_ && (max == -1 || count < max);
        // a try that matched without consuming or shrinking the input ends
        // the loop (while has no such guard); it would match as often as
        // asked, so this stop satisfies the minimum
        if (more && e.code == C_REPEAT && idx() == e.index && remaining() >= e.len) more = false;
        bool broken = false;
        if (break_at_ == e.at) {
            break_at_ = -1;
            broken = true;
            more = false;
        }
        if (more) {
            write_position(e, idx(), remaining());
            Cell next = triple::make(min, max, count + 1);
            cells_of(rule_stack_cell.data2)[e.at] = next;
            if (top_ok_ && top_.at == e.at) top_.cell = next;
            rp_ = e.rule;
            state_ = NEXT_RULE;
            *resumed = true;
            KRO_PARSE_FIRE(EV_ITERATE);
            return Flow::NORMAL;
        }
        if (!match_) {
            match_ = count - 1 >= min || min == 0;
        } else if (broken && count < min) {
            match_ = false;  // break before the minimum was reached
        }
        return Flow::NORMAL;
    }

    // to/thru over a rule: try it at each position until it matches.
    Flow to_step(const Entry& e, bool* resumed) {
        if (match_) {
            if (e.code == C_TO) set_idx(e.index);
            return Flow::NORMAL;
        }
        int32_t from = std::min(e.index, in_tail());
        if (from >= eff_end()) return Flow::NORMAL;  // nothing left to try
        set_idx(from + 1);
        write_position(e, idx(), remaining());
        rp_ = e.rule;
        match_ = true;
        state_ = NEXT_RULE;
        *resumed = true;
        KRO_PARSE_FIRE(EV_POP);
        KRO_PARSE_FIRE(EV_ITERATE);
        return Flow::NORMAL;
    }

    void into_done() {
        bool ok = match_ && block_completed_ && idx() >= in_tail();
        if (length(input_stack_cell) < 2 || in_depth_ < 2) damaged();
        drop_cells(input_stack_cell, 1);
        in_depth_--;
        cursor_.cell = cells_of(input_stack_cell.data2)[total(input_stack_cell) - 1];
        tail_ok_ = false;
        clamp_cursor();
        if (ok) set_idx(idx() + 1);
        match_ = ok;
    }

    Flow change_done(const Entry& e) {
        Cell c;
        if (!rule_at(rp_ + 1, &c)) {
            Cell w = word_cell(keyword_symbol[KW_CHANGE]);
            bad_rule(w);
        }
        rp_++;
        if (!match_) return Flow::NORMAL;
        gc::Rooted v;
        KRO_PARSE_DO(operand(c, v.get()));
        int32_t a = std::min(e.index, idx()), b = std::max(e.index, idx());
        a = std::min(a, in_tail());
        b = std::min(b, in_tail());
        set_idx(change_range(a, b - a, v.get(), e.code == C_CHANGE_ONLY));
        return Flow::NORMAL;
    }

    // 11: a keyword, or an ordinary word whose value is the rule.
    Flow word_rule() {
        Cell w = value_.cell;
        Kw kw = keyword_of(w);
        Cell c;
        switch (kw) {
            case KW_BAR:
                rp_ = cells_in(rules_.cell.data2) - rules_head();
                state_ = NEXT_RULE;
                return Flow::NORMAL;
            case KW_SKIP:
                match_ = !at_end();
                if (match_) set_idx(idx() + 1);
                state_ = CHECK;
                KRO_PARSE_FIRE(EV_MATCH);
                return Flow::NORMAL;
            case KW_ANY:
            case KW_SOME:
            case KW_OPT:
                if (!rule_at(rp_ + 1, &c)) parse_end(kw);
                cmd_ = Pending{C_REPEAT, kw == KW_SOME ? 1 : 0, kw == KW_OPT ? 1 : -1, 0};
                if (!traced_ &&
                    (quick_literal(rp_ + 1, &c) ? (quick_command(c), true) : quick_repeat() || quick_first()))
                    return Flow::NORMAL;
                state_ = PUSH_COMMAND;
                return Flow::NORMAL;
            case KW_WHILE:
                cmd_ = Pending{C_WHILE, 0, -1, 0};
                state_ = PUSH_COMMAND;
                return Flow::NORMAL;
            case KW_COPY:
            case KW_SET: {
                Cell r;
                if (!rule_at(rp_ + 1, &c) || !c.is(TYPE_WORD) || !rule_at(rp_ + 2, &r)) parse_end(kw);
                target_word_.cell = c;
                rp_++;
                cmd_ = Pending{kw == KW_COPY ? C_COPY : C_SET, -1, -1, 0};
                if (!traced_ && quick_copy(kw == KW_COPY)) return Flow::NORMAL;
                state_ = PUSH_COMMAND;
                return Flow::NORMAL;
            }
            case KW_TO:
            case KW_THRU:
                if (!rule_at(rp_ + 1, &c)) parse_end(kw);
                if (c.is(TYPE_WORD) && keyword_of(c) == KW_END) {
                    rp_++;
                    set_idx(std::max(idx(), eff_end()));
                    match_ = true;
                    state_ = CHECK;
                    KRO_PARSE_FIRE(EV_MATCH);
                    return Flow::NORMAL;
                }
                cmd_ = Pending{kw == KW_TO ? C_TO : C_THRU, -1, -1, 0};
                if (!traced_ && quick_literal(rp_ + 1, &c)) {
                    quick_command(c);
                    return Flow::NORMAL;
                }
                state_ = PUSH_COMMAND;
                return Flow::NORMAL;
            case KW_BREAK:
            case KW_REJECT:
                match_ = kw == KW_BREAK;
                break_at_ = innermost_repetition();
                leave_ = true;
                state_ = POP_COMMAND;
                return Flow::NORMAL;
            case KW_FAIL:
                // the current alternative fails (as the rule of a command,
                // that command's rule fails)
                match_ = false;
                state_ = CHECK;
                KRO_PARSE_FIRE(EV_MATCH);
                return Flow::NORMAL;
            case KW_NONE:
                match_ = true;
                state_ = CHECK;
                KRO_PARSE_FIRE(EV_MATCH);
                return Flow::NORMAL;
            case KW_END:
                match_ = at_end();
                state_ = CHECK;
                KRO_PARSE_FIRE(EV_MATCH);
                return Flow::NORMAL;
            case KW_NOT:
            case KW_AHEAD:
                cmd_ = Pending{kw == KW_NOT ? C_NOT : C_AHEAD, -1, -1, 0};
                state_ = PUSH_COMMAND;
                return Flow::NORMAL;
            case KW_QUOTE:
                if (!rule_at(rp_ + 1, &c)) parse_end(kw);
                rp_++;
                value_.cell = c;
                state_ = MATCH_VALUE;
                return Flow::NORMAL;
            case KW_IF: {
                if (!rule_at(rp_ + 1, &c) || !c.is(TYPE_PAREN)) parse_end(kw);
                rp_++;
                gc::Rooted r;
                KRO_PARSE_DO(eval_paren(c, r.get()));
                match_ = logic::is_true(r.get());
                state_ = CHECK;
                KRO_PARSE_FIRE(EV_PAREN);
                KRO_PARSE_FIRE(EV_MATCH);
                return Flow::NORMAL;
            }
            case KW_INTO:
                return into(w);
            case KW_REMOVE:
                return remove(w);
            case KW_INSERT:
                return insert(w);
            case KW_CHANGE:
                return change(w);
            case KW_COLLECT:
                return open_collect();
            case KW_KEEP: {
                if (collects_.empty()) fire("script", "parse-keep");
                int32_t at = rp_ + 1;
                bool pick = false;
                if (rule_at(at, &c) && c.is(TYPE_WORD) && keyword_of(c) == KW_PICK) {
                    pick = true;
                    at++;
                }
                rp_ = at - 1;
                bool paren = rule_at(at, &c) && c.is(TYPE_PAREN);
                cmd_ = Pending{paren ? C_KEEP_PAREN : C_KEEP, -1, -1, pick ? 1 : 0};
                if (!traced_ && !paren && quick_keep(at, pick)) return Flow::NORMAL;
                state_ = PUSH_COMMAND;
                return Flow::NORMAL;
            }
            case KW_CASE: {
                if (!rule_at(rp_ + 1, &c) || !c.is(TYPE_WORD)) parse_end(kw);
                Cell v = value_of(c);
                if (v.is(TYPE_UNSET)) fire("script", "no-value", &c);
                cmd_ = Pending{C_CASE, -1, mode_, 0};
                mode_ = logic::is_true(&v) ? MODE_STRICT : MODE_EQUAL;
                rp_++;
                state_ = PUSH_COMMAND;
                return Flow::NORMAL;
            }
            default:
                break;
        }
        // an ordinary word: its value is the rule
        Cell v = value_of(w);
        if (v.is(TYPE_UNSET)) bad_rule(w);
        bool argument = false;
        int32_t code = 0;
        if (top_is_command()) {
            code = top_command().code;
            argument = code != C_COLLECT && code != C_KEEP && code != C_KEEP_PAREN;
        }
        value_.cell = v;
        if (!argument) {
            if (v.is(TYPE_WORD)) bad_rule(w);
            state_ = EVAL_RULE;
            return Flow::NORMAL;
        }
        if (v.is(TYPE_WORD)) {  // a word as a command's rule is matched literally
            state_ = MATCH_VALUE;
            return Flow::NORMAL;
        }
        return command_rule(code);
    }

    // ---- commands matched at once ----
    // Without a trace callback nothing watches the rule stack while a command
    // over a literal is matched by a fast path: no code runs between the push
    // of its entry and its pop. Such a command is matched in place (copy and
    // set too, whose word is set after), and so is a block made only of such
    // rules, entered as a rule or repeated; of their entries only what
    // outlasts them is kept: the stack limit checks of their pushes (the
    // entries that are not pushed count in phantom_, or the block's are
    // checked at once) and the code that the entry below learns when the
    // outermost one completes. A repetition whose block starts with such a
    // rule tries that rule first, and pushes its entries only when it matches.

    // The literal a command's rule cell stands for: the cell itself, or the
    // value of an ordinary word that holds one. False when the rule needs the
    // machine (a block, a keyword, a count, a paren, a datatype, a word
    // holding a word, an unset word: the machine raises their errors).
    static bool literal_of(const Cell& rule, Cell* out) {
        const Cell* c = literal_at(&rule);
        if (!c) return false;
        *out = *c;
        return true;
    }
    // The same, read in place: the cell itself or the word's value cell, or
    // null. Valid until code runs.
    static const Cell* literal_at(const Cell* rule) {
        const Cell* c = rule;
        if (c->is(TYPE_WORD)) {
            Kw kw = keyword_of(*c);
            if (kw != KW_NOT_A_KEYWORD && kw < KW_ONLY) return nullptr;
            // read without raising: a word the machine would raise on is
            // left to it, which raises only if the rule is reached
            c = slot_of(*c);
            if (!c || c->is(TYPE_WORD) || c->is(TYPE_UNSET)) return nullptr;
        }
        switch (c->type()) {
            case TYPE_BLOCK: case TYPE_INTEGER: case TYPE_PAREN: case TYPE_TYPESET: case TYPE_DATATYPE:
            case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
                return nullptr;
            default:
                return c;
        }
    }
    bool quick_literal(int32_t rel, Cell* out) const {
        view_rules();
        if (rel < 0 || rel >= rule_count_) return false;
        return literal_of(rule_cells_[rel], out);
    }

    // A repetition, to or thru over a literal: its push's limit check and its
    // rule's fast path.
    void quick_match(const Pending& cmd, const Cell& literal) {
        check_limits();
        value_.cell = literal;
        int32_t after = idx();
        match_ = literal_rule(cmd, value_.get(), nullptr, nullptr, span(), &after);
        if (match_) set_idx(after);
    }

    // A repetition, to or thru over a literal at s.index of the input s (p:
    // its bytes when `bytes` is prepared for it): whether it matches, and
    // the index after it in *after (left alone when it does not move).
    bool literal_rule(const Pending& cmd, const Cell* literal, const ByteRun* bytes, const uint8_t* p, const Span& s,
                      int32_t* after) const {
        int32_t i = s.index, end = s.end;
        if (cmd.code == C_REPEAT) {
            if (!bytes) {
                int32_t n = loop_value(s, literal, mode_, cmd.min, cmd.max, after);
                return n >= 0 && n >= cmd.min && (cmd.max < 0 || n <= cmd.max);
            }
            // loop_value's run of single bytes
            if (end - i <= 0 || end - i < cmd.min) return cmd.min == 0;
            int32_t stop = cmd.max >= 0 && int64_t(i) + cmd.max < end ? i + cmd.max : end;
            int32_t k = bytes->scan(p, i, stop);
            if (k - i < cmd.min) return false;
            *after = k;
            return true;
        }
        bool thru = cmd.code == C_THRU;
        int32_t at;
        if (!bytes) {
            at = find_value(s, literal, mode_, thru);
        } else {
            at = bytes->find(p, i, end);
            if (at >= 0 && thru) at++;
        }
        if (at >= 0) {
            *after = at;
            return true;
        }
        // not found, but the cursor already lies past the /part limit
        return limit_ >= 0 && outermost() && i > limit_;
    }

    // The pending command (cmd_) over the literal after it, completed in place.
    void quick_command(const Cell& literal) {
        rp_++;
        quick_match(cmd_, literal);
        completed_above(cmd_.code);
        settle();
    }

    // The rule of a keep matched at once: skip (code 0), or a repetition, to
    // or thru over a literal.
    struct QuickRule {
        Pending cmd;
        Cell literal;
        // for a block repeated in place: the literal's bytes, prepared at
        // their first use (0: not yet, 1: ready, 2: the literal has none)
        uint8_t prepared;
        ByteRun bytes;
    };
    // Reads it at rule `at` of block `rules` (a series value at its head):
    // answers the cells it takes, or 0.
    static int32_t quick_rule(const Cell& rules, int32_t at, QuickRule* out) {
        const Cell* c = cells_of(rules.data2) + head(rules);
        int32_t n = cells_in(rules.data2) - head(rules);
        if (at >= n || !c[at].is(TYPE_WORD)) return 0;
        out->prepared = 0;
        Kw kw = keyword_of(c[at]);
        switch (kw) {
            case KW_SKIP:
                out->cmd = Pending{0, -1, -1, 0};
                return 1;
            case KW_ANY:
            case KW_SOME:
            case KW_OPT:
                out->cmd = Pending{C_REPEAT, kw == KW_SOME ? 1 : 0, kw == KW_OPT ? 1 : -1, 0};
                break;
            case KW_TO:
            case KW_THRU:
                if (at + 1 < n && c[at + 1].is(TYPE_WORD) && keyword_of(c[at + 1]) == KW_END) return 0;
                out->cmd = Pending{kw == KW_TO ? C_TO : C_THRU, -1, -1, 0};
                break;
            default:
                return 0;
        }
        if (at + 1 >= n || !literal_of(c[at + 1], &out->literal)) return 0;
        return 2;
    }

    // Such a rule as the rule of a command whose entry is not pushed: the
    // entry's limit check, then the rule (its own entry's check counts the
    // one left out).
    void quick_rule_run(const QuickRule& r) {
        check_limits();
        if (r.cmd.code == 0) {
            match_ = !at_end();
            if (match_) set_idx(idx() + 1);
        } else {
            phantom_ += 3;
            quick_match(r.cmd, r.literal);
            phantom_ -= 3;
        }
        leave_ = false;
    }

    // keep [pick] with such a rule: the keep's push, its rule, its completion.
    void quick_keep_run(bool pick, const QuickRule& r) {
        int32_t lo = idx();
        quick_rule_run(r);
        if (match_) keep_span(lo, idx(), pick);
    }

    // copy or set (rp_ at its word) with a rule matched at once: skip, a
    // repetition, to or thru over a literal, or a literal. The command's
    // push, its rule, its completion.
    bool quick_copy(bool copy) {
        int32_t at = rp_ + 1;
        QuickRule r;
        Cell literal;
        int32_t used = quick_rule(rules_.cell, at, &r);
        if (used == 0 && !quick_literal(at, &literal)) return false;
        int32_t from = idx();
        if (used == 0) {
            used = 1;
            check_limits();
            value_.cell = literal;
            int32_t m = match_literal(span(), value_.get(), mode_);
            match_ = m >= 0;
            if (match_) set_idx(from + m);
            leave_ = false;
        } else {
            quick_rule_run(r);
        }
        rp_ = at + used - 1;
        if (match_) copied(copy, target_word_.cell, from);
        completed_above(copy ? C_COPY : C_SET);
        settle();
        return true;
    }

    // Whether kept values go to a collection's own block (no code runs then).
    bool keeps_quietly() const {
        return !collects_.empty() && (collects_.back() == COLLECT_PLAIN || collects_.back() == COLLECT_SET);
    }

    // keep at rule `at` (after pick): kept at once when its rule allows.
    bool quick_keep(int32_t at, bool pick) {
        if (!keeps_quietly()) return false;
        QuickRule r;
        int32_t n = quick_rule(rules_.cell, at, &r);
        if (n == 0) return false;
        rp_ = at + n - 1;
        quick_keep_run(pick, r);
        completed_above(C_KEEP);
        settle();
        return true;
    }

    // One rule of a block repeated in place.
    struct QuickOp {
        enum Kind : uint8_t { BAR, LITERAL, RULE, KEEP } kind;
        bool pick;
        int8_t next;     // the first op of the next alternative, or -1 for none
        QuickRule rule;  // LITERAL: its literal; RULE and KEEP: the rule
    };
    static constexpr int QUICK_OPS = 16;

    // The rules of a block when every one can run in place: `|`, literals,
    // skip, repetitions, to and thru over literals, and keep with those into
    // a collection's own block. Answers their count, or -1. Words are read
    // once: while the block repeats nothing evaluates or collects, so their
    // values and the literals' cells stay as read.
    int32_t quick_block(const Cell& rules, QuickOp* ops) const {
        const Cell* c = cells_of(rules.data2) + head(rules);
        int32_t n = cells_in(rules.data2) - head(rules), k = 0;
        for (int32_t at = 0; at < n;) {
            if (k == QUICK_OPS) return -1;
            QuickOp& op = ops[k++];
            op.pick = false;
            if (!c[at].is(TYPE_WORD)) {
                if (!literal_of(c[at], &op.rule.literal)) return -1;
                op.kind = QuickOp::LITERAL;
                at++;
                continue;
            }
            Kw kw = keyword_of(c[at]);
            if (kw == KW_BAR) {
                op.kind = QuickOp::BAR;
                at++;
            } else if (kw == KW_KEEP) {
                if (!keeps_quietly()) return -1;
                int32_t r = at + 1;
                if (r < n && c[r].is(TYPE_WORD) && keyword_of(c[r]) == KW_PICK) {
                    op.pick = true;
                    r++;
                }
                int32_t used = quick_rule(rules, r, &op.rule);
                if (used == 0) return -1;
                op.kind = QuickOp::KEEP;
                at = r + used;
            } else if (int32_t used = quick_rule(rules, at, &op.rule)) {
                op.kind = QuickOp::RULE;
                at += used;
            } else {
                if (!literal_of(c[at], &op.rule.literal)) return -1;
                op.kind = QuickOp::LITERAL;
                at++;
            }
        }
        for (int32_t at = k - 1, next = -1; at >= 0; at--) {
            ops[at].next = int8_t(next);
            if (ops[at].kind == QuickOp::BAR) next = at + 1;
        }
        return k;
    }

    // The rules of a block when they can run in place (see quick_block) and
    // the rule stack has room for the entries they stand for: at most 9
    // cells (a repetition, its block, a keep, the keep's rule). Near the
    // stack's limit the machine pushes them and raises the error where it
    // arises. The ops are read into scratch or come from the cache below;
    // answers them and their count in *n, or null.
    QuickOp* quick_ops(const Cell& block, QuickOp* scratch, int32_t* n) {
        if (rs_len() + 9 >= STACK_LIMIT || length(input_stack_cell) >= STACK_LIMIT) return nullptr;
        if (known_unfit(block)) return nullptr;
        uint64_t id = unfit_id(block);
        const Cell* c = cells_of(block.data2) + head(block);
        int32_t cells = cells_in(block.data2) - head(block);
        if (cells < 0) return nullptr;  // a head past the tail: the machine
        for (QuickCache& q : cached_) {
            if (q.id != id || q.cells != cells || (q.keeps && !keeps_quietly())) continue;
            if (!same_cells(q.copy, c, cells)) continue;
            if (q.prepares)  // the input may be another now
                for (int32_t k = 0; k < q.n; k++) q.ops[k].rule.prepared = 0;
            *n = q.n;
            return q.ops;
        }
        if (!quick_shape(block)) return nullptr;
        *n = quick_block(block, scratch);
        if (*n < 0) return nullptr;
        // kept when no value of a word went into the ops: then they follow
        // from the cells alone
        bool keeps = false, prepares = false;
        for (int32_t at = 0; at < cells; at++) {
            if (!c[at].is(TYPE_WORD)) continue;
            Kw kw = keyword_of(c[at]);
            if (kw == KW_NOT_A_KEYWORD || kw >= KW_ONLY) return scratch;
            keeps |= kw == KW_KEEP;
            prepares |= kw != KW_BAR && kw != KW_KEEP && kw != KW_SKIP;
        }
        QuickCache& q = cached_[cache_next_++ % CACHED];
        q.id = id;
        q.cells = cells;
        q.keeps = keeps;
        q.prepares = prepares;
        q.n = *n;
        std::memcpy(q.copy, c, size_t(cells) * sizeof(Cell));
        std::copy(scratch, scratch + *n, q.ops);
        return q.ops;
    }

    // Blocks of literals and keywords read by quick_block, kept for their
    // next entries while their cells stay as they were, byte for byte: the
    // ops then hold the same values. A collection that moves a node rewrites
    // the block's cells but not the copy here, so the entry is read again.
    struct QuickCache {
        uint64_t id;     // the block's head and node (0 for none: a node is never 0)
        int32_t cells;
        int32_t n;
        bool keeps;      // only while keeps go to a collection's own block
        bool prepares;   // repetitions, to or thru: byte tables to prepare again
        Cell copy[2 * QUICK_OPS];
        QuickOp ops[QUICK_OPS];
    };
    static bool same_cells(const Cell* a, const Cell* b, int32_t n) {
        for (int32_t k = 0; k < n; k++)
            if (a[k].header != b[k].header || a[k].data1 != b[k].data1 || a[k].data2 != b[k].data2 ||
                a[k].data3 != b[k].data3)
                return false;
        return true;
    }
    // Shared by every run: an entry is good wherever its cells match.
    static constexpr uint32_t CACHED = 2;
    static inline QuickCache cached_[CACHED];
    static inline uint32_t cache_next_ = 0;

    // Whether a block's cells may all run in place, judged by their types
    // and keywords alone (words' values are read by quick_block): most
    // blocks that cannot are told at once, without reading any value. A
    // block found unfit is remembered (by node and head) until the next
    // collection, which may give its node to another block: it is not
    // looked at again. Should code change it meanwhile, the machine runs it,
    // which is always right; a fit block is judged again each time.
    struct Unfit {
        uint64_t id;     // head and node (a node is never 0)
        uint32_t cycle;  // the collection count when it was found unfit
    };
    static inline Unfit unfit_[64];
    uint32_t cycle_ = 0;  // the collection count, read again after code runs
    static Unfit& unfit_slot(const Cell& rules) { return unfit_[((rules.data2 + rules.data1 * 31u) * 2654435761u) >> 26]; }
    static uint64_t unfit_id(const Cell& rules) { return (uint64_t(rules.data1) << 32) | rules.data2; }
    bool known_unfit(const Cell& rules) const {
        const Unfit& u = unfit_slot(rules);
        return u.id == unfit_id(rules) && u.cycle == cycle_;
    }
    bool quick_shape(const Cell& rules) {
        if (known_unfit(rules)) return false;
        const Cell* c = cells_of(rules.data2) + head(rules);
        int32_t n = cells_in(rules.data2) - head(rules);
        bool fit = n <= 2 * QUICK_OPS;
        for (int32_t at = 0; fit && at < n; at++) {
            switch (c[at].type()) {
                case TYPE_BLOCK: case TYPE_INTEGER: case TYPE_PAREN: case TYPE_TYPESET: case TYPE_DATATYPE:
                case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
                    fit = false;
                    break;
                case TYPE_WORD:
                    switch (keyword_of(c[at])) {
                        case KW_NOT_A_KEYWORD: case KW_BAR: case KW_SKIP: case KW_ANY: case KW_SOME: case KW_OPT:
                        case KW_TO: case KW_THRU: case KW_KEEP: case KW_ONLY: case KW_PICK: case KW_AFTER:
                            break;
                        default:
                            fit = false;
                    }
                    break;
                default:
                    break;
            }
        }
        if (!fit) unfit_slot(rules) = Unfit{unfit_id(rules), cycle_};
        return fit;
    }

    // The input's bytes, or null for a block.
    const uint8_t* input_bytes(const Span& s) const {
        return kind_of(s.type) == InputKind::BLOCK ? nullptr : buf(s.node)->head_ptr();
    }

    // One try of a block's rules run in place from *at (s: the input, p: its
    // bytes): its alternatives, its keeps, and whether it matched (*at: the
    // index after it; a failed try leaves it). Nothing in it evaluates, nor
    // changes or moves the input, so the input's bytes are read in place.
    bool quick_try(QuickOp* ops, int32_t n, Span& s, const uint8_t* p, int32_t* at) {
        const int32_t start = *at, end = s.end;
        int32_t i = start;
        for (int32_t k = 0; k < n;) {
            QuickOp& op = ops[k];
            if (op.kind == QuickOp::BAR) break;  // this alternative matched
            QuickRule& r = op.rule;
            int32_t lo = i;
            bool matched;
            if (op.kind == QuickOp::LITERAL) {
                s.index = i;
                int32_t m = match_literal(s, &r.literal, mode_);
                matched = m >= 0;
                if (matched) i += m;
            } else if (r.cmd.code == 0) {  // skip
                matched = i < end;
                if (matched) i++;
            } else {
                if (r.prepared == 0) r.prepared = r.bytes.prepare(s, &r.literal, mode_) ? 1 : 2;
                s.index = i;
                matched = literal_rule(r.cmd, &r.literal, r.prepared == 1 ? &r.bytes : nullptr, p, s, &i);
            }
            if (matched) {
                if (op.kind == QuickOp::KEEP) keep_span(lo, i, op.pick);
                k++;
                continue;
            }
            // back to the try's start, on to the next alternative
            i = start;
            k = op.next;
            if (k < 0) {
                block_completed_ = false;
                return false;
            }
        }
        block_completed_ = true;
        *at = i;
        return true;
    }

    // A block's ops when each is `|`, skip, or a repetition, to or thru
    // (kept or not) over a char or bitset whose byte table applies to the
    // input: a try is then a few table scans, with nothing to decode.
    struct ByteOp {
        const ByteRun* run;  // the prepared table (none for `|` and skip)
        int32_t min, max;    // a repetition's bounds (no upper one: INT32_MAX)
        int8_t code;         // C_REPEAT, C_TO, C_THRU, 0 for skip, BYTE_BAR
        int8_t next;         // as QuickOp::next
        uint8_t keep;        // 0, KEEP_COPY, KEEP_PICK, or KEEP_DIRECT
    };
    static constexpr int8_t BYTE_BAR = 1;
    // KEEP_DIRECT: a copy made at once (byte_keep), wherever it is more than
    // one byte long
    static constexpr uint8_t KEEP_COPY = 1, KEEP_PICK = 2, KEEP_DIRECT = 3;

    // How byte_try keeps a copy: made at once, with the flags and cell
    // header copy_slice gives it (direct), or through keep_span.
    struct ByteKeep {
        bool direct;
        uint32_t flags, header;
    };
    ByteKeep byte_keep(const Span& s) const {
        if (!keeps_quietly() || !plain_copy()) return ByteKeep{false, 0, 0};
        uint32_t flags = buf(s.node)->flags & ~(ownership::FLAG_OWNED | hashtable::FLAG_KEY);
        return ByteKeep{true, flags, cursor_.cell.type() | (cursor_.cell.header & FLAG_NEW_LINE)};
    }

    // Reads the ops (n of them) into out, with a `|` after the last one;
    // answers whether all of them qualify. What each does is settled here
    // once for all the tries: its bounds, and how it keeps (copy: byte_keep's).
    bool byte_ops(QuickOp* ops, int32_t n, const Span& s, const ByteKeep& copy, ByteOp* out) {
        for (int32_t k = 0; k < n; k++) {
            QuickOp& op = ops[k];
            ByteOp& b = out[k];
            b.run = nullptr;
            b.next = op.next;
            b.keep = 0;
            if (op.kind == QuickOp::BAR) {
                b.code = BYTE_BAR;
                continue;
            }
            if (op.kind == QuickOp::LITERAL) return false;
            QuickRule& r = op.rule;
            if (op.kind == QuickOp::KEEP) b.keep = op.pick ? KEEP_PICK : copy.direct ? KEEP_DIRECT : KEEP_COPY;
            b.code = int8_t(r.cmd.code);
            b.min = r.cmd.min;
            b.max = r.cmd.max >= 0 ? r.cmd.max : INT32_MAX;
            if (r.cmd.code == 0) continue;  // skip
            if (r.prepared == 0) r.prepared = r.bytes.prepare(s, &r.literal, mode_) ? 1 : 2;
            if (r.prepared != 1) return false;
            b.run = &r.bytes;
        }
        out[n].code = BYTE_BAR;
        out[n].next = -1;
        return true;
    }

    // quick_try over such ops (end: the input's end, p: its bytes). sink:
    // the collection block's buffer while direct copies go to it (none at
    // first, and again once something else may have grown it).
    // Everything it reads more than once is held in locals: the stores into
    // new buffers could otherwise alias it and have it read again.
    bool byte_try(const ByteOp* ops, const int32_t end, const uint8_t* p, const ByteKeep copy,
                  memory::Buffer*& sink, int32_t* at) {
        const int32_t start = *at;
        int32_t i = start;
        for (const ByteOp* op = ops;;) {
            int32_t j;
            bool matched;
            const int8_t code = op->code;
            if (code == C_REPEAT) {
                const int32_t most = op->max;
                int32_t stop = most < end - i ? i + most : end;
                j = op->run->scan(p, i, stop);
                matched = j - i >= op->min;
            } else if (code == BYTE_BAR) {
                break;  // this alternative matched
            } else if (code == 0) {  // skip
                j = i + 1;
                matched = i < end;
            } else {
                j = op->run->find(p, i, end);
                matched = j >= 0;
                if (matched && code == C_THRU) j++;
                if (!matched) {
                    // not found, but the cursor already lies past the /part limit
                    matched = limit_ >= 0 && outermost() && i > limit_;
                    j = i;
                }
            }
            if (matched) {
                const uint8_t keep = op->keep;
                if (keep == KEEP_DIRECT && j - i > 1) {
                    // the sink stays put while only copies are made (allocation moves none)
                    uint32_t node = memory::new_series_copy(p + i, uint32_t(j - i), 1, copy.flags);
                    keep_quiet(Cell{copy.header, 0, node, 0}, sink);
                } else if (keep) {
                    keep_span(i, j, keep == KEEP_PICK);
                    sink = nullptr;
                }
                i = j;
                op++;
                continue;
            }
            // back to the try's start, on to the next alternative
            i = start;
            if (op->next < 0) {
                block_completed_ = false;
                return false;
            }
            op = ops + op->next;
        }
        block_completed_ = true;
        *at = i;
        return true;
    }

    // The pending repetition (cmd_) over the block after it, run in place:
    // the block entered and left at each try, the repetition's progress guard
    // and its result, as the machine has them.
    bool quick_repeat() {
        Cell block;
        if (!rule_at(rp_ + 1, &block) || !block.is(TYPE_BLOCK)) return false;
        QuickOp scratch[QUICK_OPS];
        int32_t n;
        QuickOp* ops = quick_ops(block, scratch, &n);
        if (!ops) return false;
        Span s = span();
        const uint8_t* p = input_bytes(s);
        ByteOp bytes[QUICK_OPS + 1];
        const ByteKeep copy = p ? byte_keep(s) : ByteKeep{false, 0, 0};
        bool by_bytes = p && byte_ops(ops, n, s, copy, bytes);
        memory::Buffer* sink = nullptr;
        const Pending rep = cmd_;
        const int32_t most = rep.max == -1 ? INT32_MAX : rep.max;
        const int32_t end = s.end;
        int32_t i = s.index, count = 1;
        bool matched;
        for (;;) {
            int32_t start = i;
            matched = by_bytes ? byte_try(bytes, end, p, copy, sink, &i) : quick_try(ops, n, s, p, &i);
            bool more = matched && count < most;
            if (more && i == start) more = false;  // no progress
            if (!more) {
                if (!matched) matched = count - 1 >= rep.min || rep.min == 0;
                break;
            }
            count++;
        }
        match_ = matched;
        set_idx(i);
        leave_ = false;
        rp_++;
        completed_above(C_REPEAT);
        settle();
        return true;
    }

    // The pending repetition (cmd_) over a block without alternatives whose
    // first rule is a literal or a block that runs in place: that rule is
    // tried at once. When it fails, so does the first try, and the
    // repetition is over (matched when it may match no time); when it
    // matches, the repetition and its block are pushed as the machine pushes
    // them, and the machine goes on after that rule.
    bool quick_first() {
        Cell body;
        if (!rule_at(rp_ + 1, &body) || !body.is(TYPE_BLOCK)) return false;
        if (rs_len() + 9 >= STACK_LIMIT || length(input_stack_cell) >= STACK_LIMIT) return false;
        const Cell* c = cells_of(body.data2) + head(body);
        int32_t n = cells_in(body.data2) - head(body);
        if (n <= 0) return false;
        for (int32_t k = 0; k < n; k++)
            if (c[k].is(TYPE_WORD) && keyword_of(c[k]) == KW_BAR) return false;
        Cell first = c[0];
        Span s = span();
        int32_t i = s.index;
        bool matched;
        if (first.is(TYPE_BLOCK)) {
            QuickOp scratch[QUICK_OPS];
            int32_t m;
            QuickOp* ops = quick_ops(first, scratch, &m);
            if (!ops) return false;
            matched = quick_try(ops, m, s, input_bytes(s), &i);
        } else {
            const Cell* literal = literal_at(&first);
            if (!literal) return false;
            int32_t m = match_literal(s, literal, mode_);
            matched = m >= 0;
            if (matched) i += m;
            block_completed_ = matched;
        }
        leave_ = false;
        if (!matched) {
            match_ = cmd_.min == 0;
            block_completed_ = false;
            rp_++;
            completed_above(C_REPEAT);
            settle();
            return true;
        }
        push_entry(true, triple::make(cmd_.min, cmd_.max, 1), C_REPEAT, cmd_.arg);
        rp_++;
        push_entry(false, rules_.cell, 0, 0);
        rules_.cell = body;
        rules_ok_ = false;
        rp_ = 0;
        set_idx(i);
        match_ = true;
        state_ = NEXT_RULE;
        return true;
    }

    // The block in value_, entered as a rule, run in place: its push, its
    // rules, its pop.
    bool quick_enter() {
        QuickOp scratch[QUICK_OPS];
        int32_t n;
        QuickOp* ops = quick_ops(value_.cell, scratch, &n);
        if (!ops) return false;
        Span s = span();
        int32_t i = s.index;
        match_ = quick_try(ops, n, s, input_bytes(s), &i);
        set_idx(i);
        leave_ = false;
        settle();
        return true;
    }

    Flow into(const Cell& kw_word) {
        if (kind_of(cursor_.cell.type()) != InputKind::BLOCK) {
            Cell s = cursor_.cell;
            fire("script", "parse-block", &s);
        }
        Cell c;
        if (!rule_at(rp_ + 1, &c)) parse_end(KW_INTO);
        bool ok = c.is(TYPE_BLOCK) || (c.is(TYPE_WORD) && value_of(c).is(TYPE_BLOCK));
        if (!ok) parse_end(KW_INTO);
        Cell item = at_end() ? none::value : item_at(idx());
        uint32_t t = item.type();
        if (!series::is_series_value(t) || t == TYPE_IMAGE || t == TYPE_VECTOR) {
            rp_++;
            match_ = false;
            state_ = CHECK;
            KRO_PARSE_FIRE(EV_MATCH);
            return Flow::NORMAL;
        }
        check_limits();
        // the outer cursor waits in the input stack while the item is parsed
        cells_of(input_stack_cell.data2)[total(input_stack_cell) - 1] = cursor_.cell;
        push_cell(input_stack_cell, item);
        in_depth_++;
        cursor_.cell = item;
        tail_ok_ = false;
        clamp_cursor();
        cmd_ = Pending{C_INTO, -1, -1, 0};
        state_ = PUSH_COMMAND;
        return Flow::NORMAL;
    }

    // Whether a cell names a position in the input (a word or get-word holding
    // the input series); its index goes to *pos.
    bool marker(const Cell& c, int32_t* pos) const {
        if (!c.is(TYPE_WORD) && !c.is(TYPE_GET_WORD)) return false;
        Cell v = value_of(c);
        if (!holds_input(v)) return false;
        *pos = std::clamp(int32_t(v.data1), 0, in_tail());
        return true;
    }

    Flow remove(const Cell& kw_word) {
        Cell c;
        if (!rule_at(rp_ + 1, &c)) parse_end(KW_REMOVE);
        if (c.is(TYPE_PATH) || c.is(TYPE_GET_PATH) || c.is(TYPE_SET_PATH)) bad_rule(c);
        int32_t pos;
        if (marker(c, &pos)) {
            // from the marked position to the cursor, in either order
            rp_++;
            int32_t a = std::min(pos, idx()), b = std::max(pos, idx());
            remove_range(a, b - a);
            set_idx(a);
            match_ = true;
            state_ = CHECK;
            KRO_PARSE_FIRE(EV_MATCH);
            return Flow::NORMAL;
        }
        cmd_ = Pending{C_REMOVE, -1, -1, 0};
        state_ = PUSH_COMMAND;
        return Flow::NORMAL;
    }

    Flow insert(const Cell& kw_word) {
        int32_t at = rp_ + 1;
        Cell c;
        if (!rule_at(at, &c)) parse_end(KW_INSERT);
        bool only = false;
        if (c.is(TYPE_WORD) && keyword_of(c) == KW_ONLY) {
            only = true;
            at++;
            if (!rule_at(at, &c)) parse_end(KW_INSERT);
        }
        int32_t pos = idx();
        if (marker(c, &pos)) {
            Cell next;
            if (!rule_at(at + 1, &next)) bad_rule(c);
            at++;
            c = next;
        }
        rp_ = at;
        gc::Rooted v;
        KRO_PARSE_DO(operand(c, v.get()));
        int32_t cur = idx();
        pos = std::min(pos, in_tail());
        int32_t n = insert_at(pos, v.get(), only);
        if (pos <= cur) set_idx(cur + n);
        match_ = true;
        state_ = CHECK;
        KRO_PARSE_FIRE(EV_MATCH);
        return Flow::NORMAL;
    }

    Flow change(const Cell& kw_word) {
        int32_t at = rp_ + 1;
        Cell c;
        if (!rule_at(at, &c)) parse_end(KW_CHANGE);
        bool only = false;
        if (c.is(TYPE_WORD) && keyword_of(c) == KW_ONLY) {
            only = true;
            at++;
            if (!rule_at(at, &c)) parse_end(KW_CHANGE);
        }
        if (c.is(TYPE_PATH) || c.is(TYPE_GET_PATH) || c.is(TYPE_SET_PATH)) bad_rule(c);
        int32_t pos;
        if (marker(c, &pos)) {
            Cell vc;
            if (!rule_at(at + 1, &vc)) bad_rule(c);
            rp_ = at + 1;
            gc::Rooted v;
            KRO_PARSE_DO(operand(vc, v.get()));
            int32_t cur = std::min(idx(), in_tail());
            pos = std::min(pos, in_tail());
            int32_t a = std::min(pos, cur), b = std::max(pos, cur);
            set_idx(change_range(a, b - a, v.get(), only));
            match_ = true;
            state_ = CHECK;
            KRO_PARSE_FIRE(EV_MATCH);
            return Flow::NORMAL;
        }
        rp_ = at - 1;
        cmd_ = Pending{only ? C_CHANGE_ONLY : C_CHANGE, -1, -1, 0};
        state_ = PUSH_COMMAND;
        return Flow::NORMAL;
    }
};


// The limit a /part argument sets (an absolute index), or -1 when the part is
// empty before anything is looked at.
int32_t part_limit(const Cell* input, const Cell* part) {
    int32_t h = series::head_of(input);
    int64_t limit;
    if (part->is(TYPE_INTEGER)) {
        limit = int64_t(h) + int32_t(part->data2);
    } else if (part->is(TYPE_FLOAT) || part->is(TYPE_PERCENT)) {
        double d = part->get_float();
        if (!(d > -2147483648.0 && d < 2147483648.0)) series::bad_refinement("part", part);
        limit = int64_t(h) + int64_t(std::trunc(d));
    } else if (series::is_series_value(part->type()) && part->type() == input->type() && part->data2 == input->data2) {
        limit = series::head_of(part);
    } else {
        series::bad_refinement("part", part);
    }
    return int32_t(std::clamp<int64_t>(limit, INT_MIN, INT_MAX));
}

}  // namespace

Flow run(const Cell* input, const Cell* rules, bool case_, const Cell* part, const Cell* callback) {
    ensure_ready();
    int32_t limit = -1;
    if (part) {
        limit = part_limit(input, part);
        if (limit < 1) {
            // an empty part: nothing is looked at
            Cell r = logic::make(series::ks_tail_q(input));
            stack::push(&r);
            return Flow::NORMAL;
        }
    }
    Machine m(input, rules, case_ ? MODE_STRICT : MODE_EQUAL, limit, callback);
    return m.run();
}

Flow native(const int32_t* refs) {
    Cell* a = stack::arguments;
    const Cell* part = refs[1] >= 0 ? a + refs[1] : nullptr;
    const Cell* callback = refs[2] >= 0 ? a + refs[2] : nullptr;
    Flow f = run(a, a + 1, refs[0] >= 0, part, callback);
    if (f != Flow::NORMAL) return f;
    stack::set_last_reset(stack::top());
    return Flow::NORMAL;
}

Cell rule_stack() {
    ensure_ready();
    return rule_stack_cell;
}

Cell input_stack() {
    ensure_ready();
    return input_stack_cell;
}

}  // namespace kro::parse
