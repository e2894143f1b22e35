// Words: a symbol with a binding. A word cell (word!, and with their own type
// ids set-word!, lit-word!, get-word!, refinement!, issue!) holds in data1 the
// node of the context it is bound to (0: unbound), in data2 the symbol id of its
// exact spelling, in data3 the slot of its value in that context (-1: none).
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::word {

inline bool any_word_type(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }

void init();  // registers word!

// The datatype registry's hook: the datatype word of a registered name.
void make_datatype_word(const char* name, Cell* out);

// Making words. Answers are copies: a word is a plain value.
// The global word of a spelling (interned, added with an unset value when its
// family is new); while the runtime builds its root block, a copy goes there.
Cell load(const char* name);
// Makes the cell a word! bound to the global context (header flags kept).
Cell* make_global_at(int32_t symbol, Cell* cell);
Cell* make_global_in(int32_t symbol, Cell* block);
Cell* make_global_from_name(const char* name, Cell* block);
Cell* push_global(int32_t symbol);
Cell* make_root_copy(const Cell* value);
Cell* push(const Cell* value);
// Pushes a copy of the word at a slot of a context's word list.
Cell* push_at(uint32_t ctx, int32_t index);

// Reading values.
// Pushes a copy of the word's value; an unset value raises script/no-value
// (after the push).
Cell* get(const Cell* word);
Cell* value_cell(const Cell* word);
Cell* value_cell_in(const Cell* word, uint32_t ctx);
// Value slot index of a context whose values are in a block.
Cell* get_in(uint32_t ctx, int32_t index);
// Pushes a copy of value slot index; script/not-defined without values.
Cell* get_at(uint32_t ctx, int32_t index);
Cell* symbol_cell(const Cell* word);
Cell* push_value(const Cell* word);

// Writing values.
Cell* set(Cell* word, const Cell* value);
// The current call's first argument is a word, its second the value (not
// unset: script/need-value); the value becomes the call's result.
Cell* set_from_args();
// Stores the top of the data stack into a slot (no event fires).
void set_at(uint32_t ctx, int32_t index);
// Pushes the slot's value, then stores the value that was on top before into it.
void swap_at(uint32_t ctx, int32_t index);
Cell* set_at_last(uint32_t ctx, int32_t index);

// Conversions.
// Pushes a string! sharing the symbol's cached string (read-only for its users).
Cell* to_string(const Cell* word);
// The type of the value that the tokenizer reads from the word's spelling.
int32_t scan_spelling(const Cell* word);

// Loads one value from UTF-8 text the way conversions do (out: the value, none
// when the text holds more than one, unset when it holds none); installed by
// the tokenizer. Until then, conversions that need it raise internal/feature-na.
extern void (*scan_text)(const uint8_t* text, uint32_t length, Cell* out);

// Appends the exact spelling of a symbol to a string, widening it when needed;
// answers the characters appended.
int32_t append_spelling(Cell* buffer, int32_t symbol);

// The actions of word!, which its kin inherit.
Cell* make(Cell* proto, Cell* spec, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* index_of();

}  // namespace kro::word
