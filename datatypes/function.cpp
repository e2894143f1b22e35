#include "datatypes/function.hpp"

#include <cstring>
#include <unordered_set>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::function {

void (*eval_block)(Cell* block) = nullptr;
void (*call_handler)(const Cell* handler, uint32_t ctx, const Cell* name, Cell* args, int32_t count,
                     int32_t kind) = nullptr;

namespace {

std::vector<CodeFn>& code_table() {
    static auto* table = new std::vector<CodeFn>();
    return *table;
}

Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
Cell block_over(uint32_t node) { return Cell{uint32_t(TYPE_BLOCK), 0, node, 0}; }

bool spelled(const Cell& c, const char* name) { return symbol::same_word(int32_t(c.data2), symbol::make(name)); }
bool is_arg_word(Type t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD; }
bool is_name(Type t) { return is_arg_word(t) || t == TYPE_REFINEMENT; }

Cell* record_cells(const Cell* fn) { return memory::buffer_of(fn->data3)->cells(); }

// A record of n unset cells.
uint32_t new_record(uint32_t n) {
    uint32_t node = memory::new_unset_cells(n);
    memory::Buffer* b = memory::buffer_of(node);
    b->tail = b->offset + n * uint32_t(sizeof(Cell));
    return node;
}

int32_t append(Cell* buffer, const char* text, int32_t limit) {
    int32_t n = int32_t(std::strlen(text));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

// ---- spec validation ---------------------------------------------------------------------

// The value a type word names: through its binding when it has one, else in
// the global context. Null when there is none.
const Cell* type_word_value(const Cell& w) {
    uint32_t ctx = w.data1;
    int32_t slot = int32_t(w.data3);
    if (ctx && slot >= 0 && !context::on_stack(ctx)) {
        uint32_t values = context::cell_of(ctx)->data2;
        if (values && uint32_t(slot) < memory::buffer_of(values)->used_bytes() / sizeof(Cell))
            return memory::buffer_of(values)->cells() + slot;
    }
    return context::get_global(int32_t(w.data2));
}

void check_type_block(const Cell& types) {
    for (int32_t i = 0; i < block::length(&types); i++) {
        Cell e = *block::at(&types, i);
        Type t = e.type();
        if (t == TYPE_DATATYPE || t == TYPE_TYPESET) continue;
        if (t == TYPE_WORD) {
            const Cell* v = type_word_value(e);
            if (v && (v->is(TYPE_DATATYPE) || v->is(TYPE_TYPESET) || v->is(TYPE_WORD))) continue;
        }
        fire("script", "invalid-type-spec", &e);
    }
}

// ---- collecting locals ---------------------------------------------------------------------

struct Collector {
    std::vector<int32_t> ignore;   // resolved symbols of plain words
    std::vector<Cell> locals;      // gathered, in order
    std::unordered_set<uint32_t> walked;

    bool held(int32_t sym) const {
        int32_t r = symbol::resolve(sym);
        for (int32_t s : ignore)
            if (s == r) return true;
        return false;
    }
    void add(const Cell& word) {
        if (held(int32_t(word.data2))) return;
        Cell w = word;
        w.header = uint32_t(TYPE_WORD);
        locals.push_back(w);
        ignore.push_back(symbol::resolve(int32_t(w.data2)));
    }
    void walk(const Cell& blk) {
        machine_stack::check();
        if (!walked.insert(blk.data2).second) return;  // a block inside itself is walked once
        int32_t n = block::length(&blk);
        for (int32_t i = 0; i < n; i++) {
            Cell c = *block::at(&blk, i);
            Type t = c.type();
            if (t == TYPE_SET_WORD) {
                add(c);
            } else if (t == TYPE_WORD && i + 1 < n) {
                Cell next = *block::at(&blk, i + 1);
                bool each = spelled(c, "foreach") || spelled(c, "remove-each");
                if (each && next.is(TYPE_BLOCK)) {
                    for (int32_t j = 0; j < block::length(&next); j++) {
                        Cell v = *block::at(&next, j);
                        if (is_arg_word(v.type())) add(v);
                    }
                } else if ((each || spelled(c, "repeat")) && (next.is(TYPE_WORD) || next.is(TYPE_SET_WORD))) {
                    add(next);
                }
            }
            if (t == TYPE_BLOCK || t == TYPE_PAREN) walk(c);
        }
    }
};

}  // namespace

// ---- the code table --------------------------------------------------------------------------

int32_t add_code(CodeFn fn) {
    code_table().push_back(fn);
    return int32_t(code_table().size());
}

CodeFn code_at(int32_t index) {
    if (index < 1 || size_t(index) > code_table().size()) return nullptr;
    return code_table()[size_t(index) - 1];
}

// ---- making ------------------------------------------------------------------------------------

bool library_bodies = false;

void mark_library(const Cell* code) {
    if (!series::is_block_kind(code->type()) || !code->data2) return;
    memory::Buffer* b = memory::buffer_of(code->data2);
    if (b->flags & memory::FLAG_LIBRARY) return;  // walked already (a block may hold itself)
    b->flags |= memory::FLAG_LIBRARY;
    for (Cell* c = b->cells(); c < b->cell_tail(); c++) mark_library(c);
}

uint32_t make_value(const Cell* spec, const Cell* body, uint32_t ctx, int32_t code, uint32_t method_of,
                    uint32_t flags) {
    gc::Rooted s(*spec);
    gc::Rooted b(body ? *body : none::value);
    if (s->data1 > 0) {
        // only the part from the head is the spec
        Cell copy = *block::clone(s.get(), false, false);
        stack::pop(1);
        s.cell = copy;
    }
    uint32_t record = new_record(RECORD_CELLS);
    gc::RootedNode keep(record);
    bool made_here = ctx == 0;
    if (made_here) ctx = context::make_from_spec(s.get(), true, false, context::FUNCTION);
    Cell* fn = stack::push_cell();
    *fn = Cell{(flags & ~TYPE_MASK) | TYPE_FUNCTION, ctx, s->data2, record};
    *context::owner(ctx) = *fn;
    if (body) {
        Cell copy = *block::clone(b.get(), true, true);
        stack::pop(1);
        record_cells(fn)[BODY] = copy;
        if (made_here) context::bind(&copy, ctx, false);
        // a function the library makes as it runs from its own code is its code too
        if (library_bodies || (memory::buffer_of(b->data2)->flags & memory::FLAG_LIBRARY)) mark_library(&copy);
    } else {
        record_cells(fn)[BODY] = none::value;
    }
    if (code) record_cells(fn)[CODE] = integer(code);
    // An object! cell rather than the integer the layout suggests: the collector
    // follows it, so the method's context stays alive and current when nodes move.
    if (method_of) record_cells(fn)[METHOD_OF] = Cell{uint32_t(TYPE_OBJECT), method_of, 0, 0};
    return ctx;
}

uint32_t validate_spec(const Cell* spec) {
    Cell s = *spec;
    int32_t n = block::length(&s);
    auto at = [&](int32_t i) { return *block::at(&s, i); };
    auto bad = [&]() { fire("script", "bad-func-def", &s); };
    uint32_t flags = 0;
    int32_t i = 0;
    if (n > 0 && at(0).is(TYPE_BLOCK)) {
        Cell attributes = at(0);
        for (int32_t j = 0; j < block::length(&attributes); j++) {
            Cell a = *block::at(&attributes, j);
            if (!a.is(TYPE_WORD)) bad();
            if (spelled(a, "trace")) flags |= FLAG_TRACE;
            else if (spelled(a, "no-trace")) flags |= FLAG_NO_TRACE;
        }
        i = 1;
    }
    int32_t first = i;
    bool local = false, ret = false;
    while (i < n) {
        Cell e = at(i);
        switch (e.type()) {
            case TYPE_STRING:
                i++;
                break;
            case TYPE_WORD:
            case TYPE_LIT_WORD:
            case TYPE_GET_WORD:
                if (local && !e.is(TYPE_WORD)) bad();
                if (ret && !local) bad();
                i++;
                if (i < n && at(i).is(TYPE_STRING)) {
                    if (i + 1 < n && at(i + 1).is(TYPE_BLOCK)) bad();  // a doc string before a type block
                    i++;
                } else if (i < n && at(i).is(TYPE_BLOCK)) {
                    check_type_block(at(i));
                    i++;
                }
                break;
            case TYPE_REFINEMENT:
                if (spelled(e, "local")) {
                    local = true;
                } else if (local || ret) {
                    bad();
                }
                i++;
                if (i < n) {
                    Type t = at(i).type();
                    if (!is_name(t) && t != TYPE_SET_WORD && t != TYPE_STRING) bad();
                }
                break;
            case TYPE_SET_WORD:
                if (!spelled(e, "return") || ret || local) bad();
                ret = true;
                i++;
                if (i >= n || !at(i).is(TYPE_BLOCK)) bad();
                check_type_block(at(i));
                i++;
                if (i < n && !at(i).is(TYPE_REFINEMENT) && !at(i).is(TYPE_STRING)) bad();
                break;
            default:
                bad();
        }
    }
    std::vector<int32_t> seen;
    for (int32_t j = first; j < n; j++) {
        Cell e = at(j);
        if (!is_name(e.type())) continue;
        int32_t r = symbol::resolve(int32_t(e.data2));
        for (int32_t k : seen)
            if (k == r) fire("script", "dup-vars", &e);
        seen.push_back(r);
    }
    return flags;
}

Cell* collect_locals(Cell* spec, const Cell* body) {
    gc::Rooted s(*spec), b(*body);
    Collector c;
    int32_t n = block::length(s.get());
    int32_t extern_at = -1;
    for (int32_t i = 0; i < n; i++) {
        Cell e = *block::at(s.get(), i);
        if (e.is(TYPE_REFINEMENT) && spelled(e, "extern")) {
            extern_at = i;
            break;
        }
    }
    for (int32_t i = 0; i < n; i++) {
        Cell e = *block::at(s.get(), i);
        Type t = e.type();
        if (t == TYPE_WORD) {
            c.ignore.push_back(symbol::resolve(int32_t(e.data2)));
        } else if (extern_at >= 0 && t != TYPE_BLOCK && t != TYPE_STRING) {
            // with /extern every name of the spec counts as a plain word
            if (t != TYPE_SET_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD && t != TYPE_REFINEMENT)
                fire("script", "bad-func-extern", &e);
            c.ignore.push_back(symbol::resolve(int32_t(e.data2)));
        }
    }
    if (extern_at >= 0) {
        int32_t i = extern_at + 1;
        while (i < n && block::at(s.get(), i)->is(TYPE_WORD)) i++;
        if (i < n && block::at(s.get(), i)->is(TYPE_REFINEMENT) && spelled(*block::at(s.get(), i), "local")) {
            for (i++; i < n; i++) {
                Cell e = *block::at(s.get(), i);
                if (!e.is(TYPE_WORD)) break;
                c.locals.push_back(e);
            }
        }
        block::ks_clear_from(s.get(), int32_t(s->data1) + extern_at);
    }
    c.walk(b.cell);
    Cell* gathered = block::push_only(int32_t(c.locals.size()));
    if (c.locals.empty()) return gathered;
    bool has_local = false;
    for (int32_t i = 0; i < block::length(s.get()); i++) {
        Cell e = *block::at(s.get(), i);
        if (e.is(TYPE_REFINEMENT) && spelled(e, "local")) has_local = true;
    }
    if (!has_local) {
        Cell r{uint32_t(TYPE_REFINEMENT), 0, uint32_t(symbol::make("local")), uint32_t(-1)};
        block::ks_append(s.get(), &r);
    }
    for (const Cell& w : c.locals) {
        if (spelled(w, "local")) continue;
        Cell word = w;
        word.header = uint32_t(TYPE_WORD);
        block::ks_append(s.get(), &word);
        block::ks_append(gathered, &word);
    }
    return gathered;
}

int32_t count_locals(uint32_t spec_node, int32_t start, bool strict) {
    Cell s = block_over(spec_node);
    int32_t n = block::length(&s);
    for (int32_t i = start < 0 ? 0 : start; i < n; i++) {
        Cell e = *block::at(&s, i);
        if (!e.is(TYPE_REFINEMENT) || !spelled(e, "local")) continue;
        int32_t count = 1;
        for (int32_t j = i + 1; j < n; j++) {
            Type t = block::at(&s, j)->type();
            if (t == TYPE_WORD) count++;
            else if (t == TYPE_REFINEMENT || t == TYPE_SET_WORD) break;
        }
        return count;
    }
    return strict ? -1 : 0;
}

void push_refinement_defaults(int32_t count) {
    if (count < 1) return;
    stack::push(&logic::false_value);
    for (int32_t i = 1; i < count; i++) stack::push(&none::value);
}

// ---- actions -------------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t) {
    if (!spec->is(TYPE_BLOCK) || block::length(spec) < 2 || !block::at(spec, 0)->is(TYPE_BLOCK) ||
        !block::at(spec, 1)->is(TYPE_BLOCK))
        fire("script", "bad-func-def", spec);
    Cell s = *block::at(spec, 0);
    Cell b = *block::at(spec, 1);
    uint32_t flags = validate_spec(&s);
    make_value(&s, &b, 0, 0, 0, flags);
    *proto = *stack::top();
    stack::pop(1);
    return proto;
}

Cell* reflect(Cell* value, int32_t field) {
    Cell v = *value;
    if (symbol::same_word(field, symbol::make("spec"))) {
        *value = block_over(v.data2);
        return value;
    }
    if (symbol::same_word(field, symbol::make("body"))) {
        *value = record_cells(&v)[BODY];
        return value;
    }
    if (symbol::same_word(field, symbol::make("words"))) {
        uint32_t ctx = v.data1;
        int32_t n = context::word_count(ctx);
        Cell out;
        block::make_at(&out, n);
        for (int32_t i = 0; i < n; i++) {
            Cell w = *context::word_at(ctx, i);
            w.header = uint32_t(TYPE_WORD);
            w.data1 = ctx;
            *block::add_cell(&out) = w;
        }
        *value = out;
        return value;
    }
    fire("internal", "not-done");
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    return append(buffer, value->is(TYPE_ROUTINE) ? "?routine?" : "?function?", limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    Cell v = *value;
    Cell s = block_over(v.data2);
    Cell body = record_cells(&v)[BODY];
    bool routine = v.is(TYPE_ROUTINE);
    limit = append(buffer, routine ? "routine " : "func ", limit);
    limit = actions::mold(&s, buffer, false, all, flat, part, limit, indent);
    if (body.is(TYPE_BLOCK)) return actions::mold(&body, buffer, false, all, flat, part, limit, indent);
    if (!routine) return append(buffer, " none", limit);
    limit = append(buffer, " ", limit);
    return actions::mold(&body, buffer, false, all, flat, part, limit, indent);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (value2->type() != value1->type()) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12:
            return value1->data3 < value2->data3 ? -1 : value1->data3 > value2->data3 ? 1 : 0;
        default:
            return -2;
    }
}

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_REFLECT>(&reflect).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_FUNCTION, TYPE_CONTEXT, "function!", a);
}

}  // namespace kro::function

namespace kro::routine {

Cell* make_value(const Cell* spec, const Cell* body, int32_t code, int32_t extra, bool flag) {
    gc::Rooted s(*spec);
    gc::Rooted b(body ? *body : none::value);
    uint32_t words = 0;
    for (int32_t i = 0; i < block::length(s.get()); i++)
        if (block::at(s.get(), i)->is(TYPE_WORD)) words++;
    if (words > 31) words = 31;
    uint32_t ctx = context::make_from_spec(s.get(), true, false, context::FUNCTION);
    gc::RootedNode keep(ctx);
    uint32_t record = memory::new_unset_cells(function::RECORD_CELLS);
    memory::Buffer* r = memory::buffer_of(record);
    r->tail = r->offset + function::RECORD_CELLS * uint32_t(sizeof(Cell));
    Cell* cells = r->cells();
    cells[function::BODY] = b.cell;
    cells[function::CODE] = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(code), 0};
    cells[function::METHOD_OF] = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(extra), 0};
    Cell* out = stack::push_cell();
    *out = Cell{uint32_t(TYPE_ROUTINE) | (words << KIND_SHIFT) | (flag ? FLAG_MAKER : 0u), ctx, s->data2, record};
    *context::owner(ctx) = *out;
    return out;
}

int32_t get_kind(const Cell* r) { return int32_t((r->header & KIND_MASK) >> KIND_SHIFT); }

void init() {
    ActionList a;
    a.inherit(A_REFLECT);
    a.set<A_FORM>(&function::form).set<A_MOLD>(&function::mold).set<A_COMPARE>(&function::compare);
    datatype::register_type(TYPE_ROUTINE, TYPE_FUNCTION, "routine!", a);
}

}  // namespace kro::routine
