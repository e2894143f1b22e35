// The ownership table: an object with an on-deep-change* handler is told when
// a series held (directly or nested) in one of its fields changes in place.
// One identity hash table (kind 4) maps the node of each owned series (or the
// context node of an owned object) to a record of three cells: a copy of the
// owned value, a copy of the owner object and the word of the owner's field
// that holds it (for a series reached through a nested object, that object's
// field word).
//
// Membership flags keep unowned values off the table: bit 0x20000 of an owned
// series' buffer flags (an image!'s node included: every copy of the value
// sees it; an owned object's context buffer likewise), and bit 0x10000 of the
// context cell header of an owner object.
//
// The table holds its keys weakly: the collector drops a record whose key or
// owner died (hashtable::sweep_keys), so `table` is a root it sweeps, not one
// it marks through.
#pragma once
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"

namespace kro::ownership {

constexpr uint32_t FLAG_OWNED = 0x00020000;        // series buffer flags
constexpr uint32_t FLAG_IMAGE_OWNED = 0x00010000;  // image! cell header: a hint only, set on the cell bound
constexpr uint32_t FLAG_OWNER = 0x00010000;        // header of an owner object's context cell
constexpr int32_t TABLE_SIZE = 1000;

extern uint32_t table;

// Makes the table (runtime initialisation).
void init();

// Enters the value under that owner and word: a series or image! when not
// owned yet (a value already owned keeps its first owner), then, for the block
// kinds, every value they hold; an object that is not an owner itself is
// entered (keyed by its context) and hands each field value on under that
// field's word. A structure that contains
// itself is walked once.
void bind(Cell* value, const Cell* owner, const Cell* word);
// bind, then marks the owner's context as an owner.
void set_owner(Cell* value, const Cell* owner, const Cell* word);
// Takes the value (and what blocks and non-owner objects hold) off the table;
// answers whether the value itself had an entry.
bool unbind(Cell* value);
void unbind_range(const Cell* block, int32_t position, int32_t count);
// Before values leave an owned block: those of its owner (and what they hold)
// leave the table, unless the block holds them elsewhere too.
void release_range(const Cell* block, int32_t position, int32_t count);
// After values have left an owned block for another one (swap, move): each
// that the block no longer holds anywhere leaves the block's owner, as after a
// remove, so that the receiving block's owner may take it. values points at
// the count cells where they now stand.
void release_left(const Cell* block, Cell* values, int32_t count);
// True when an object keyed by that context node is owned.
bool owned_context(uint32_t ctx);
// After a field of an object is assigned: when the object is owned, what the
// field held leaves the owner and the owner's on-deep-change* hears `set-path`
// with the object, the new value and the field's index.
void field_set(const Cell* obj, const Cell* word, const Cell* old_value, const Cell* new_value);
// The entry's owner cell, or null (valid until the next allocation).
const Cell* get_owner(uint32_t node);
// After (or before) a change of the value in place: when it has an owner with
// change handlers, calls the owner's on-deep-change* with the field word, the
// value, the action word, the new value (null: none), the index and the part
// count, and answers true.
bool check(const Cell* value, const Cell* action, const Cell* new_value, int32_t index, int32_t part);

// The table as three cells an entry (the owned value, its owner, the word),
// appended to out; and one entry entered again as it stood, with its flag (a
// value owned already keeps its owner). The boot data keeps the table so.
void entries(std::vector<Cell>& out);
void restore(Cell* value, const Cell* owner, const Cell* word);

// The word of a series event, before or after the change (append/appended...).
Cell event_word(int32_t event, bool after);

}  // namespace kro::ownership
