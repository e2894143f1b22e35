#include "datatypes/word.hpp"

#include <cstring>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/stack.hpp"

namespace kro::word {

void (*scan_text)(const uint8_t* text, uint32_t length, Cell* out) = nullptr;

namespace {

using memory::Buffer;

Cell datatype_cell(int32_t type) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0}; }

[[noreturn]] void bad_to_arg(int32_t type, const Cell* spec) {
    Cell dt = datatype_cell(type);
    fire("script", "bad-to-arg", &dt, spec);
}

// Loads one value from UTF-8 text through the tokenizer.
void scan(const std::string& text, Cell* out) {
    if (!scan_text) fire("internal", "feature-na");
    scan_text(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), out);
}

// A word type from text, as `to word!` reads it.
void word_from_text(const std::string& text, Cell* out) {
    scan(text, out);
    if (!any_word_type(out->type())) fire("script", "invalid-chars");
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_TO>(&make).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    a.set<A_INDEX_Q>(&index_of);
    // symbol! is its parent, but it inherits nothing
    datatype::register_type(TYPE_WORD, TYPE_SYMBOL, "word!", a);
}

void make_datatype_word(const char* name, Cell* out) { *out = load(name); }

// ---- making ----------------------------------------------------------------------------

Cell load(const char* name) {
    Cell w = context::add_global(symbol::make(name), true, true);
    if (runtime::root_copy) copy_cell(&w, block::add_cell(&runtime::root));
    return w;
}

Cell* make_global_at(int32_t sym, Cell* cell) {
    Cell probe{uint32_t(TYPE_WORD), 0, uint32_t(sym), 0};
    int32_t slot = context::add(context::global, &probe);
    cell->header = (cell->header & ~TYPE_MASK) | TYPE_WORD;
    cell->data1 = context::global;
    cell->data2 = uint32_t(sym);
    cell->data3 = uint32_t(slot);
    return cell;
}

Cell* make_global_in(int32_t sym, Cell* blk) {
    Cell w{uint32_t(TYPE_WORD), 0, 0, 0};
    make_global_at(sym, &w);
    Cell* c = block::add_cell(blk);
    copy_cell(&w, c);
    return c;
}

Cell* make_global_from_name(const char* name, Cell* blk) { return make_global_in(symbol::make(name), blk); }

Cell* push_global(int32_t sym) {
    Cell w{uint32_t(TYPE_WORD), 0, 0, 0};
    make_global_at(sym, &w);
    return stack::push(&w);
}

Cell* make_root_copy(const Cell* value) {
    Cell v = *value;
    Cell* c = block::add_cell(&runtime::root);
    copy_cell(&v, c);
    return c;
}

Cell* push(const Cell* value) { return stack::push(value); }

Cell* push_at(uint32_t ctx, int32_t index) {
    Cell w = *context::word_at(ctx, index);
    return stack::push(&w);
}

// ---- reading ------------------------------------------------------------------------------

Cell* value_cell_in(const Cell* word, uint32_t ctx) { return context::value_cell(word, ctx); }

Cell* value_cell(const Cell* word) { return context::value_cell(word, word->data1); }

Cell* get(const Cell* word) {
    Cell w = *word;
    Cell* c = stack::push(value_cell(&w));
    if (c->is(TYPE_UNSET)) fire("script", "no-value", &w);
    return c;
}

Cell* get_in(uint32_t ctx, int32_t index) { return context::values(ctx) + index; }

Cell* get_at(uint32_t ctx, int32_t index) {
    Cell* vals = context::values(ctx);
    if (!vals) {
        Cell w = *context::word_at(ctx, index);
        fire("script", "not-defined", &w);
    }
    Cell v = vals[index];
    return stack::push(&v);
}

Cell* symbol_cell(const Cell* word) { return symbol::get(int32_t(word->data2)); }

Cell* push_value(const Cell* word) {
    Cell v = *value_cell(word);
    return stack::push(&v);
}

// ---- writing -------------------------------------------------------------------------------

Cell* set(Cell* word, const Cell* value) { return context::set_in(word, value, word->data1, true); }

Cell* set_from_args() {
    Cell* args = stack::arguments;
    if (args[1].is(TYPE_UNSET)) fire("script", "need-value", args);
    Cell w = args[0];
    gc::Rooted v(args[1]);  // a change handler run by the assignment may collect
    set(&w, v.get());
    stack::set_last(v.get());
    return stack::arguments;
}

namespace {
void store_at(uint32_t ctx, int32_t index, const Cell* value) {
    Cell v = *value;
    copy_cell(&v, context::values(ctx) + index);
    if (context::kind_of(ctx) == context::OBJECT && index < context::word_count(ctx))
        context::word_at(ctx, index)->header |= context::WORD_SLOT_SET;
}
}  // namespace

void set_at(uint32_t ctx, int32_t index) { store_at(ctx, index, stack::top()); }

void swap_at(uint32_t ctx, int32_t index) {
    Cell top = *stack::top();
    Cell old = context::values(ctx)[index];
    stack::push(&old);
    store_at(ctx, index, &top);
}

Cell* set_at_last(uint32_t ctx, int32_t index) {
    store_at(ctx, index, stack::arguments);
    return stack::arguments;
}

// ---- conversions -----------------------------------------------------------------------------

Cell* to_string(const Cell* word) {
    Cell* sym = symbol::get(int32_t(word->data2));
    Cell s{uint32_t(TYPE_STRING), 0, sym->data2, 0};
    return stack::push(&s);
}

int32_t scan_spelling(const Cell* word) {
    std::string text(symbol::name(int32_t(word->data2)));
    Cell out;
    scan(text, &out);
    return out.type();
}

int32_t append_spelling(Cell* buffer, int32_t sym) {
    std::string text(symbol::name(sym));
    std::u32string cps;
    uint32_t widest = 0;
    auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
    while (*p) {
        int32_t cp;
        const uint8_t* next = unicode::fast_decode_utf8_char(p, &cp);
        if (cp < 0) {
            cp = *p;  // an undecodable byte stands for itself
            next = p + 1;
        }
        cps.push_back(char32_t(cp));
        if (uint32_t(cp) > widest) widest = uint32_t(cp);
        p = next > p ? next : p + 1;
    }
    Buffer* b = memory::buffer_of(buffer->data2);
    int unit = b->unit();
    int need = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
    if (need > unit) {
        b = string::widen(b, unit, need);
        unit = need;
    }
    uint64_t bytes = uint64_t(cps.size()) * uint32_t(unit);
    if (b->free_bytes() < bytes) {
        uint64_t size = b->size ? uint64_t(b->size) * 2 : 16;
        while (size < b->used_bytes() + bytes) size *= 2;
        if (size > 0xF0000000u) fire("internal", "no-memory");
        b = memory::grow_series(b, uint32_t(size));
    }
    uint8_t* out = b->tail_ptr();
    for (size_t i = 0; i < cps.size(); i++) string::put_char(out + i * uint32_t(unit), unit, cps[i]);
    b->tail += uint32_t(bytes);
    return int32_t(cps.size());
}

// ---- actions ----------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    Cell result;
    switch (spec->type()) {
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_LIT_WORD:
            result = *spec;
            break;
        case TYPE_REFINEMENT: case TYPE_ISSUE: {
            int32_t t = scan_spelling(spec);
            if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) bad_to_arg(type, spec);
            result = *spec;
            context::bind_word(context::global, &result);
            break;
        }
        case TYPE_STRING:
            word_from_text(string::to_utf8(static_cast<const Cell*>(spec)), &result);
            break;
        case TYPE_CHAR: {
            uint8_t utf8[4];
            int n = unicode::cp_to_utf8(spec->data2, utf8);
            word_from_text(std::string(reinterpret_cast<char*>(utf8), size_t(n)), &result);
            break;
        }
        case TYPE_DATATYPE: {
            int32_t id = int32_t(spec->data1);
            if (!datatype::registered(id) || !any_word_type(datatype::row(id).word.type())) bad_to_arg(type, spec);
            result = datatype::row(id).word;
            break;
        }
        case TYPE_LOGIC:
            result = context::add_global(symbol::make(spec->data1 ? "true" : "false"), true, false);
            break;
        default:
            bad_to_arg(type, spec);
    }
    result.header = uint32_t(type);
    *proto = result;
    return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    return limit - append_spelling(buffer, int32_t(value->data2));
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    Type ta = a->type(), tb = b->type();
    if (!any_word_type(tb) || (tb == TYPE_ISSUE && ta != TYPE_ISSUE)) return -2;
    int32_t sa = int32_t(a->data2), sb = int32_t(b->data2);
    bool word_lit = (ta == TYPE_WORD && tb == TYPE_LIT_WORD) || (ta == TYPE_LIT_WORD && tb == TYPE_WORD);
    switch (op) {
        case 0: case 1: case 12:
            return symbol::same_word(sa, sb) ? 0 : 1;
        case 2:
            return ta == tb && sa == sb ? 0 : 1;
        case 9:
            return ta == tb && sa == sb && a->data1 == b->data1 ? 0 : 1;
        case 10:
            return (word_lit || ta == tb) && sa == sb ? 0 : 1;
        case 11:
            return (word_lit || ta == tb) && symbol::same_word(sa, sb) ? 0 : 1;
        default:
            return symbol::compare_names(sa, sb, op);
    }
}

Cell* index_of() {
    Cell* w = stack::arguments;
    int32_t slot = int32_t(w->data3);
    if (slot == -1) {
        copy_cell(&none::value, w);
    } else {
        *w = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(slot + 1), 0};
    }
    return w;
}

}  // namespace kro::word
