// Contexts: the namespaces behind every binding. A context is a node of two
// cells: the context cell (its kind and flags in the header, data1 the node of
// a name table mapping symbols to slots, data2 the values: a block node, or for
// a context whose values live on the data stack the arena offset of the first
// value cell of the running call, 0 outside any call) and the owner (the object
// or function value that owns it; unset for the global context).
//
// The name table's block holds the context's word cells in slot order; a word
// bound to the context names the context node and its slot, so reading a bound
// word is two loads. Routines here take the context node, which never moves.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::context {

enum Kind : uint32_t { GLOBAL = 0, FUNCTION = 1, OBJECT = 2 };
constexpr uint32_t KIND_SHIFT = 11;
constexpr uint32_t KIND_MASK = 3u << KIND_SHIFT;
constexpr uint32_t FLAG_ON_STACK = 0x00400000;
constexpr uint32_t FLAG_BUILT = 0x01000000;    // made by make or copy, kept through cloning
constexpr uint32_t WORD_SLOT_SET = 0x2000;     // on a word of an object's word list: slot assigned

constexpr int32_t GLOBAL_SIZE = 4000;

// The global context; its node is a root of the collector.
extern uint32_t global;

void init();         // registers context! (no actions)
void init_global();  // makes the global context

// Parts of a context.
Cell* cell_of(uint32_t ctx);
Cell* owner(uint32_t ctx);
Kind kind_of(uint32_t ctx);
bool on_stack(uint32_t ctx);
uint32_t table_of(uint32_t ctx);
uint32_t words_of(uint32_t ctx);   // the node of the word block
int32_t word_count(uint32_t ctx);
Cell* word_at(uint32_t ctx, int32_t index);
// The first value cell, or null for a context without values.
Cell* values(uint32_t ctx);

// Making contexts. A source context gives the new one a copy of its words,
// pointed at the new context. A values block starts empty with room for size
// cells; value cells are appended as words are added.
uint32_t create(int32_t size, bool on_stack, bool built, uint32_t source, Kind kind);
// The words, get-words, lit-words and refinements of a spec, in order; each
// counts one value slot even when its symbol is already there.
uint32_t make_from_spec(const Cell* spec, bool on_stack, bool built, Kind kind);
// Gives an object or function value (data1: its context) a private copy of its
// context; answers the new node. The values are the caller's to fill.
uint32_t clone(Cell* value, Kind kind);
// Adds the symbol of every set-word of the block (from its head); answers
// whether the context gained words.
bool collect_set_words(uint32_t ctx, Cell* block);

// Finding and binding. A slot is the index of a word's value: its position in
// the word list, except for a case variant of a global word, which shares the
// slot of the first spelling of its family.
int32_t find_symbol(uint32_t ctx, int32_t symbol, bool caseless);
// As find_symbol, adding the symbol when absent: *slot receives the new slot and
// the answer is -1 (the caller then adds the value cell).
int32_t find_symbol_slot(uint32_t ctx, int32_t symbol, bool caseless, int32_t* slot);
// The word's slot, added (with an unset value) when absent; lookup ignores case.
int32_t add(uint32_t ctx, const Cell* word);
// Adds the word when absent, its unset value copied to dst; answers 1 then, 0
// when it was already there.
int32_t add_word(uint32_t ctx, const Cell* word, Cell* dst);
void get_or_add_value(uint32_t ctx, const Cell* word, Cell* dst);
// Binds the word to the context when the context holds its symbol; answers the
// slot or -1 (the word is left as it was).
int32_t bind_word(uint32_t ctx, Cell* word);
// Binds every word kind but issue! of the block and of every nested block,
// paren, hash and path. With self, a word! spelled `self` binds to the context
// with slot -1 (it stands for the owner). A block that contains itself is
// walked once; nesting deeper than 1,000 raises internal/too-deep.
Cell* bind(Cell* block, uint32_t ctx, bool self);
// The value cell of a symbol (present) in a context, or in the global context
// when the values of ctx live on the data stack.
Cell* find_value(int32_t symbol, uint32_t ctx);

// The address of a word's value in a context: the owner for `self` with slot
// -1; script/no-value for any other word without slot; script/not-in-context
// when the context has no values now.
Cell* value_cell(const Cell* word, uint32_t ctx);
// Stores a copy of the value in the word's slot (a word without slot takes the
// slot of its symbol, added when absent). In an object context the slot is
// marked assigned and, with fire_events, the owner's change handler runs after
// the store. script/not-defined when the context has no values.
Cell* set_in(Cell* word, const Cell* value, uint32_t ctx, bool fire_events);

// Global context shortcuts. add_global answers the global word of the symbol,
// added with an unset value when absent (a case variant then shares the slot
// of its family); with caseless and variant_copy a word of another spelling
// found answers a copy carrying the requested symbol.
Cell add_global(int32_t symbol, bool caseless, bool variant_copy);
// Exact lookup, variant copies allowed; while the runtime builds its root
// block, a copy also goes there.
Cell add_global_word(int32_t symbol);
void set_global(int32_t symbol, const Cell* value);
Cell* get_global(int32_t symbol);
// The word of the symbol in the context (exact lookup), else the global word.
Cell get_or_add(uint32_t ctx, int32_t symbol);

// Runs an object's on-change* handler: installed by the object datatype.
extern void (*on_change)(const Cell* owner, const Cell* word, const Cell* old_value, const Cell* new_value);

}  // namespace kro::context
