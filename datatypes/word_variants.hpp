// The word kin: lit-word! ('a), set-word! (a:), get-word! (:a), refinement!
// (/a) and issue! (#a). They share the word cell and word!'s actions, and differ
// in their type id, their mold (a sigil) and, for issue!, make, to and compare.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::word_kin {

// The global word of a spelling, retyped (a root-block copy while the runtime
// builds its root block).
Cell load_as(Type type, const char* name);
// The same appended at a block's tail.
Cell* make_in_as(Type type, const char* name, Cell* block);
// Pushes a copy of a value, retyped.
Cell* push_as(Type type, const Cell* value);
// Pushes the word at a slot of a context's word list, retyped.
Cell* push_at_as(Type type, uint32_t ctx, int32_t index);
// The current call's first argument is a word: set it to the second argument
// (the result), or make its value the result.
Cell* set_args();
Cell* get_args();

}  // namespace kro::word_kin

namespace kro::lit_word {
void init();
inline Cell* make_in(const char* name, Cell* block) { return word_kin::make_in_as(TYPE_LIT_WORD, name, block); }
inline Cell load(const char* name) { return word_kin::load_as(TYPE_LIT_WORD, name); }
inline Cell* push(const Cell* value) { return word_kin::push_as(TYPE_LIT_WORD, value); }
inline Cell* push_at(uint32_t ctx, int32_t index) { return word_kin::push_at_as(TYPE_LIT_WORD, ctx, index); }
inline Cell* set() { return word_kin::set_args(); }
inline Cell* get() { return word_kin::get_args(); }
}  // namespace kro::lit_word

namespace kro::set_word {
void init();
inline Cell* make_in(const char* name, Cell* block) { return word_kin::make_in_as(TYPE_SET_WORD, name, block); }
inline Cell load(const char* name) { return word_kin::load_as(TYPE_SET_WORD, name); }
inline Cell* push(const Cell* value) { return word_kin::push_as(TYPE_SET_WORD, value); }
inline Cell* push_at(uint32_t ctx, int32_t index) { return word_kin::push_at_as(TYPE_SET_WORD, ctx, index); }
inline Cell* set() { return word_kin::set_args(); }
inline Cell* get() { return word_kin::get_args(); }
}  // namespace kro::set_word

namespace kro::get_word {
void init();
inline Cell* make_in(const char* name, Cell* block) { return word_kin::make_in_as(TYPE_GET_WORD, name, block); }
inline Cell load(const char* name) { return word_kin::load_as(TYPE_GET_WORD, name); }
inline Cell* push(const Cell* value) { return word_kin::push_as(TYPE_GET_WORD, value); }
inline Cell* push_at(uint32_t ctx, int32_t index) { return word_kin::push_at_as(TYPE_GET_WORD, ctx, index); }
inline Cell* set() { return word_kin::set_args(); }
// Pushes the value of the word in the first argument.
Cell* get();
}  // namespace kro::get_word

namespace kro::refinement {
void init();
inline Cell* make_in(const char* name, Cell* block) { return word_kin::make_in_as(TYPE_REFINEMENT, name, block); }
// An unbound refinement without slot (a root-block copy while the runtime builds its root block).
Cell load(const char* name);
inline Cell* push(const Cell* value) { return word_kin::push_as(TYPE_REFINEMENT, value); }
inline Cell* push_at(uint32_t ctx, int32_t index) { return word_kin::push_at_as(TYPE_REFINEMENT, ctx, index); }
inline Cell* set() { return word_kin::set_args(); }
inline Cell* get() { return word_kin::get_args(); }
}  // namespace kro::refinement

namespace kro::issue {
void init();
// An issue is bound to the global context without slot: it is never a variable.
Cell* make_at(Cell* cell, const char* name);
Cell* make_in(const char* name, Cell* block);
// Into the root block while the runtime builds it, else on the data stack.
Cell* load(const char* name);
inline Cell* push(const Cell* value) { return word_kin::push_as(TYPE_ISSUE, value); }
// make and to: any word kind retyped; text interned as it is (no lexical check).
Cell* make(Cell* proto, Cell* spec, int32_t type);
// Only another issue! compares.
int32_t compare(Cell* value1, Cell* value2, int32_t op);
}  // namespace kro::issue
