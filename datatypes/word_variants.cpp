#include "datatypes/word_variants.hpp"

#include <string>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/stack.hpp"

namespace kro::word_kin {

Cell load_as(Type type, const char* name) {
    Cell w = context::add_global(symbol::make(name), true, true);
    w.set_type(type);
    if (runtime::root_copy) copy_cell(&w, block::add_cell(&runtime::root));
    return w;
}

Cell* make_in_as(Type type, const char* name, Cell* blk) {
    Cell w{uint32_t(TYPE_WORD), 0, 0, 0};
    word::make_global_at(symbol::make(name), &w);
    w.set_type(type);
    Cell* c = block::add_cell(blk);
    copy_cell(&w, c);
    return c;
}

Cell* push_as(Type type, const Cell* value) {
    Cell* c = stack::push(value);
    c->set_type(type);
    return c;
}

Cell* push_at_as(Type type, uint32_t ctx, int32_t index) {
    Cell* c = word::push_at(ctx, index);
    c->set_type(type);
    return c;
}

Cell* set_args() {
    Cell w = stack::arguments[0];
    Cell v = stack::arguments[1];
    word::set(&w, &v);
    stack::set_last(&v);
    return stack::arguments;
}

Cell* get_args() {
    Cell w = stack::arguments[0];
    Cell v = *word::value_cell(&w);
    stack::set_last(&v);
    return stack::arguments;
}

}  // namespace kro::word_kin

namespace kro {

namespace {

// A sigil before or after the spelling.
int32_t mold_with(Cell* value, Cell* buffer, const char* before, const char* after, int32_t limit) {
    string::concatenate_ascii(buffer, before);
    int32_t n = word::append_spelling(buffer, int32_t(value->data2));
    string::concatenate_ascii(buffer, after);
    return limit - n - int32_t(std::char_traits<char>::length(before)) - int32_t(std::char_traits<char>::length(after));
}

int32_t mold_lit(Cell* v, Cell* b, bool, bool, bool, Cell*, int32_t limit, int32_t) { return mold_with(v, b, "'", "", limit); }
int32_t mold_set(Cell* v, Cell* b, bool, bool, bool, Cell*, int32_t limit, int32_t) { return mold_with(v, b, "", ":", limit); }
int32_t mold_get(Cell* v, Cell* b, bool, bool, bool, Cell*, int32_t limit, int32_t) { return mold_with(v, b, ":", "", limit); }
int32_t mold_refinement(Cell* v, Cell* b, bool, bool, bool, Cell*, int32_t limit, int32_t) {
    return mold_with(v, b, "/", "", limit);
}
int32_t mold_issue(Cell* v, Cell* b, bool, bool, bool, Cell*, int32_t limit, int32_t) { return mold_with(v, b, "#", "", limit); }

// The rows of lit-word!, set-word! and get-word!: their own mold, the rest from word!.
void register_kin(int32_t id, const char* name, SlotFn<A_MOLD> mold, bool with_index) {
    ActionList a;
    a.inherit(A_MAKE).inherit(A_TO).inherit(A_FORM).inherit(A_COMPARE);
    if (with_index) a.inherit(A_INDEX_Q);
    a.set<A_MOLD>(mold);
    datatype::register_type(id, TYPE_WORD, name, a);
}

}  // namespace

namespace lit_word {
void init() { register_kin(TYPE_LIT_WORD, "lit-word!", &mold_lit, true); }
}  // namespace lit_word

namespace set_word {
void init() { register_kin(TYPE_SET_WORD, "set-word!", &mold_set, true); }
}  // namespace set_word

namespace get_word {
void init() { register_kin(TYPE_GET_WORD, "get-word!", &mold_get, true); }

Cell* get() {
    Cell w = stack::arguments[0];
    Cell v = *word::value_cell(&w);
    return stack::push(&v);
}
}  // namespace get_word

namespace refinement {
void init() { register_kin(TYPE_REFINEMENT, "refinement!", &mold_refinement, false); }

Cell load(const char* name) {
    Cell r{uint32_t(TYPE_REFINEMENT), 0, uint32_t(symbol::make(name)), uint32_t(-1)};
    if (runtime::root_copy) copy_cell(&r, block::add_cell(&runtime::root));
    return r;
}
}  // namespace refinement

namespace issue {

namespace {
Cell issue_of(int32_t sym) { return Cell{uint32_t(TYPE_ISSUE), context::global, uint32_t(sym), uint32_t(-1)}; }
}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_TO>(&make).inherit(A_FORM).set<A_MOLD>(&mold_issue).set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_ISSUE, TYPE_WORD, "issue!", a);
}

Cell* make_at(Cell* cell, const char* name) {
    *cell = issue_of(symbol::make(name));
    return cell;
}

Cell* make_in(const char* name, Cell* blk) {
    Cell i = issue_of(symbol::make(name));
    Cell* c = block::add_cell(blk);
    copy_cell(&i, c);
    return c;
}

Cell* load(const char* name) {
    Cell i = issue_of(symbol::make(name));
    if (runtime::root_copy) {
        Cell* c = block::add_cell(&runtime::root);
        copy_cell(&i, c);
        return c;
    }
    return stack::push(&i);
}

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    Cell result;
    if (word::any_word_type(spec->type())) {
        result = *spec;
    } else if (spec->is(TYPE_STRING)) {
        result = issue_of(symbol::make_from_string(spec));
    } else if (spec->is(TYPE_CHAR)) {
        uint8_t utf8[4];
        int n = unicode::cp_to_utf8(spec->data2, utf8);
        result = issue_of(symbol::make_from_utf8(utf8, uint32_t(n)));
    } else {
        return word::make(proto, spec, type);  // raises script/bad-to-arg for what it cannot take
    }
    result.header = uint32_t(type);
    *proto = result;
    return proto;
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_ISSUE)) return -2;
    return word::compare(a, b, op);
}

}  // namespace issue
}  // namespace kro
