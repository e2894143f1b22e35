// map!: an ordered associative array (type 40, no parent). The map cell holds
// in data1 a head (0 except for the cursor of an iteration), in data2 the node
// of its entry block and in data3 the node of a hash table of the map kind over
// that block.
//
// The entry block holds key, value, key, value ... in insertion order. A
// removed entry keeps its key and its place: its value cell's header becomes 0
// and every walk skips it; a later store under an equal key revives it in
// place. The table's live count is the number of live entries.
//
// Keys are of 24 types only. Word keys of any kind are stored as set-words
// (so a, a:, 'a and :a are one key), text-like and binary keys as private
// copies; lookups by default ignore letter case (find mode 0), /case asks for
// strict equality (mode 2) and /same for identity (mode 9).
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::map {

// ---- entry points --------------------------------------------------------------------

// Whether a value of that type may be a key.
bool valid_key(uint32_t type);
// Turns a cell into a stored key in place: word kinds become set-word!, text
// kinds and binary! are replaced by a copy from their head, the other key
// types stay. Any other type raises script/invalid-path with `where` (null:
// none) and the key's datatype.
void prepare_key(Cell* key, const Cell* where);

// Makes a map in the cell over a block whose cells (from its head) are
// keys and values (the block becomes the map's own: the caller hands it
// over), or, without a block, over a new empty block with room for size
// entries. Repeated keys are folded (the first position, the last value).
// Answers the cell.
Cell* make_at(Cell* out, const Cell* block, int32_t size);
// The tokenizer's maker for "#[...]": a map over the items block when they
// come in pairs and every key is of a key type; false (nothing written) when
// the items are no map literal.
bool from_items(Cell* out, const Cell* items);
// The same as the tokenizer's map maker: the map of count item cells into
// out; answers 0, or map!'s type id (an invalid map! literal).
int literal(const Cell* items, uint32_t count, Cell* out);
// Pushes a copy of a map cell.
Cell* push(const Cell* map);
// The number of live entries.
int32_t count(const Cell* map);

// The write of a path or of put: the value is stored under the key (strictly
// equal with case_, else equal ignoring case), added at the tail when the key
// is new (its preparation may raise, naming `path`). Answers the value's cell
// in the map.
Cell* store(Cell* map, const Cell* key, const Cell* value, const Cell* path, bool case_);
// The extend native: stores every key/value pair of the block from its head;
// an odd cell count raises script/invalid-arg with the block. Answers the map.
Cell* extend(Cell* map, const Cell* block, bool case_);
// One step of foreach: sets the words of the block (from its head, count of
// them) to the cells from the map's head on, advancing the head; a word that
// would take the key of a removed entry skips the entry. Words left over when
// the entries end become none. Answers whether any word was set. A loop word
// that is not a word!, set-word!, get-word! or lit-word! raises
// script/invalid-arg.
bool foreach_next(const Cell* words, Cell* map, int32_t count);

// ---- actions -----------------------------------------------------------------------------
// Results go to the first argument's cell, which is answered, unless said otherwise.

Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* to(Cell* proto, Cell* spec, int32_t type);
// Fields words, values and body.
Cell* reflect(Cell* value, int32_t field_symbol);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// A read answers the value's cell in the map (copy it at once) or the shared
// none; a write answers the stored value's cell.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* clear(Cell* map);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
int32_t length_q(Cell* map);
// Answers the value.
Cell* put(Cell* series, Cell* key, Cell* value, bool case_);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);

// Registers map! (type 40, no parent) and installs the key preparation of the
// hash tables.
void init();

}  // namespace kro::map
