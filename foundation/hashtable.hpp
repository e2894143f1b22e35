// Hashing and the one open-addressing hash table behind hash! and map! indexes,
// name tables (the symbol table and every context's word list), identity sets
// keyed by node and the ownership table.
//
// Except for the identity kinds, a table stores no values of its own: it indexes
// the cells of an ordinary block by their position (counted from the first used
// cell of the block's buffer), so the block stays the only copy of the data and
// the table can always be rebuilt from it. Every part of a table lives in the
// collected heap and is reached through nodes, so its buffers may move and grow.
#pragma once
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"

namespace kro::hash {

// The seed of every byte and string hash; hashes are stable within one run only.
extern uint32_t seed;

// MurmurHash3 x86 32-bit.
uint32_t murmur3(const void* bytes, uint32_t length, uint32_t seed);
inline uint32_t murmur3(const void* bytes, uint32_t length) { return murmur3(bytes, length, hash::seed); }
// Its final mix alone (no seed).
inline uint32_t mix(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6B;
    h ^= h >> 13;
    h *= 0xC2B2AE35;
    h ^= h >> 16;
    return h;
}

// The hash of a value; text is folded to upper case unless case_sensitive is set.
uint32_t value(const Cell* v, bool case_sensitive = false);

// Type byte of the internal text-slice cells: hashed over at most the character
// count in data3 (when not negative), and matched against keys of any type.
constexpr uint32_t TEXT_SLICE = 56;

}  // namespace kro::hash

namespace kro::hashtable {

enum Kind : uint32_t { HASH = 0, MAP = 1, NAMES = 2, IDENTITY = 3, OWNERSHIP = 4 };

// The table record: twelve 32-bit words in a series buffer of its own.
struct Table {
    int32_t live;           // live entries (hash!: distinct key values)
    uint32_t cell_buckets;  // hash!: node of cell position -> 1-based bucket; identity kinds: record width in bytes
    uint32_t dup_lists;     // hash!: node of the array of duplicate-list nodes
    uint32_t states;        // node of the 2-bit bucket states
    uint32_t slots;         // node of the 32-bit bucket slots
    uint32_t data;          // node of the indexed block (identity kinds: the records block)
    uint32_t used;          // buckets not empty (live plus deleted)
    uint32_t buckets;       // a power of two, at least 4
    uint32_t bound;         // `used` at which the next insertion grows the table
    uint32_t kind;
    uint32_t stamp;         // 0, or the node-move count + 1 when the table last matched node addresses
    uint32_t seen;          // hash!: 0, or key_edits + 1 when the table last matched its text and binary keys
};
static_assert(sizeof(Table) == 48);

// A hash! indexes a string or binary! key by its content, and the block hands
// that very series to the language, which may change it in place. Such a key's
// buffer carries FLAG_KEY; each change of a buffer so flagged counts in
// key_edits, and a hash! holding such keys that has not seen the latest count
// indexes its block again before it is searched.
constexpr uint32_t FLAG_KEY = 0x00200000;  // series buffer flags
extern uint32_t key_edits;
// Called by every change of a series in place (the flags of its buffer).
inline void changing(uint32_t buffer_flags) {
    if (buffer_flags & FLAG_KEY) key_edits = key_edits + 1 == 0xFFFFFFFFu ? 1 : key_edits + 1;
}

// The stamp of a hash! table that no longer matches its block because an
// update ran out of memory part way: updates leave it alone, and its next
// search re-makes it from the block.
constexpr uint32_t STALE = 0xFFFFFFFFu;

// The record behind a table node (re-derive after any allocation).
Table* record(uint32_t table);

// Bucket states (2 bits each).
constexpr uint32_t STATE_LIVE = 0;
constexpr uint32_t STATE_DELETED = 1;
constexpr uint32_t STATE_EMPTY = 2;
uint32_t bucket_state(uint32_t table, uint32_t bucket);
int32_t bucket_slot(uint32_t table, uint32_t bucket);

// Makes a table. With a block (kinds 0-2) the table indexes it from its head
// (every second cell for map!); without one a new block of `size` cells is
// made. Identity kinds take the number of value cells of each record.
uint32_t make(int32_t size, const Cell* block, Kind kind, int32_t value_cells = 0);
// A name table's independent copy: record, word block, slots and states.
uint32_t copy(uint32_t table);
// A copy of any table over an already copied block.
uint32_t clone(uint32_t table, uint32_t block_node);

// Indexes a cell that already stands in the table's block. status is 2 when a
// hash! table was rebuilt instead (the rebuild indexed the new cell too). A
// hash! groups strictly equal values in one bucket. For a map!, a key strictly
// equal to an indexed one is not stored again; map! keys of NaN equal one another.
Cell* put_with_status(uint32_t table, Cell* key, int32_t* status);
Cell* put(uint32_t table, Cell* key);
// Puts every step-th cell from a position. For a map!, a key already present
// earlier gives its value to the earlier pair and the repeated pair leaves the
// block.
void index_block(uint32_t table, int32_t from, int32_t step);

// The cell of the block matching a key under a compare op, or null. hash!:
// the cell a linear scan by records of skip cells would find: forward from
// head; with last backward from the last cell of the block (so possibly before
// head); with reverse backward from the cell before head.
Cell* find(uint32_t table, const Cell* key, int32_t head = 0, int32_t skip = 1, int32_t op = 0, bool last = false,
           bool reverse = false);
// map!: the next key equal to the given one; *state = -1 starts a walk.
Cell* find_from(uint32_t table, const Cell* key, int32_t* state, int32_t* stop, int32_t* steps);

// Takes a cell of the block out of the table (map!: the key's pair reads as removed).
void remove(uint32_t table, Cell* cell);
void remove_range(uint32_t table, int32_t from, int32_t count);
// After cells were inserted into or removed from a hash! block: the count cells
// whose old positions start at `from` now stand shift cells further. With move,
// the cells that a negative shift overwrote (the -shift cells before `from`)
// leave the table first and the position map follows the cells. Answers 1
// without doing anything when count exceeds 30,000 (the caller then rebuilds).
int32_t renumber(uint32_t table, int32_t shift, int32_t from, int32_t count, bool move);
// After count cells at `from` moved in front of the cell at old position
// `target` (the tail for target = length). A target inside the range or right
// after it changes nothing.
void move(uint32_t table, int32_t target, int32_t from, int32_t count);
void clear(uint32_t table);
// hash!: re-made from its block; identity kinds: records re-put into a fresh block.
void rebuild(uint32_t table, int32_t size);
// map! and name tables: growth in place.
void resize(uint32_t table, int32_t size);

// Identity kinds: the value cells of the key's record, made when absent.
Cell* put_key(uint32_t table, uint32_t key);
Cell* get_key(uint32_t table, uint32_t key);
Cell* remove_key(uint32_t table, uint32_t key);
// Identity kinds: the keys of the live records, in bucket order.
std::vector<uint32_t> keys(uint32_t table);

// The symbol table: the id (1-based position in its block) of a spelling,
// interned when new. Without caseless, a new case variant of an existing
// spelling gets the first-interned spelling as its alias; with caseless, the
// first-interned spelling of the family is answered when there is one.
int32_t put_symbol(uint32_t table, const uint8_t* text, uint32_t length, bool caseless);
// A context's word table: the position of the symbol's word, or -1. With a
// context node a missing word is appended (bound to it at its own position),
// *position receives the new position and the answer is still -1.
int32_t put_context_word(uint32_t table, int32_t symbol, bool caseless, uint32_t context, int32_t* position);

// What the collector passes to mark a table: one routine for a series whose
// content is not looked at, one for a block whose cells are marked too.
struct Marker {
    void (*series)(uint32_t node);
    void (*block)(uint32_t node);
};
void mark(uint32_t table, const Marker& marker);
// Identity kinds: drops the records whose key node (ownership: or owner context) died.
void sweep_keys(uint32_t table, bool (*alive)(uint32_t node));

// map! keys go through this once put (the map datatype installs it).
extern void (*prepare_key)(Cell* key);

// Diagnostic: prints the deleted and the live buckets.
void dump(uint32_t table);

}  // namespace kro::hashtable
