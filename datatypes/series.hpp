// series!: the abstract datatype under every positional collection (blocks
// and their kin, the text types, binary!, vector!, image!). No value has this
// type; its action row is what the children inherit.
//
// A series value is a view: header (type id, new-line flag), data1 the head
// (a 0-based unit index), data2 the node of the buffer, data3 per type (the
// element type of a vector!, the table node of a hash!). Many values share one
// buffer; a head may lie past the tail after the buffer was shortened through
// another value, and every operation reads such a head as the tail.
//
// Positions into a buffer never outlive a change of it: these routines hold
// (node, index) and find the buffer again after anything that may grow it.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/gc.hpp"

namespace kro::series {

// ---- kinds and units ----------------------------------------------------------------

// block!, paren!, the four paths and hash!: series of 16-byte cells.
inline bool is_block_kind(uint32_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH) || t == TYPE_HASH;
}
// string!, file!, url!, tag!, email!, ref!.
inline bool is_text_kind(uint32_t t) {
    return (t >= TYPE_STRING && t <= TYPE_URL) || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}
// Every value that is a view on a series buffer (head, node).
inline bool is_series_value(uint32_t t) {
    return is_block_kind(t) || is_text_kind(t) || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE;
}

// log2 of a unit size (1, 2, 4, 8 or 16); any other unit is runtime error 101.
int shift_of(int unit);

// ---- cell-level helpers (none raise errors) ------------------------------------------

// Whether the head is at or past the tail.
bool ks_tail_q(const Cell* s);
// Units from the buffer's first used unit to its tail, ignoring the head.
int32_t ks_full_length(const Cell* s);
// Moves the head by n units unless that would pass the tail (or go below 0);
// answers whether the head is now at or past the tail.
bool ks_skip(Cell* s, int32_t n);
// Units from the head (from index 0 with from_start) to the tail; a negative
// head counts from 0. A head past the tail is written back as the full length
// and 0 is answered.
int32_t ks_length(Cell* s, bool from_start);
// The head read as the series rules say: clamped to 0 .. full length.
int32_t head_of(const Cell* s);

// ---- owner events ----------------------------------------------------------------------
// A series owned by an object reports each modification to its owner: one
// event before the change and, only when the first found an owner, one after
// it, each with the index and the number of units concerned.

enum class Event : uint8_t {
    CLEAR, REMOVE, POKE, RANDOM, REVERSE, TAKE, MOVE, SORT, SWAP, TRIM, APPEND, INSERT, CHANGE, PUT
};

// The one hook point of the ownership table (foundation/ownership.cpp): an
// owned series tells its owner's on-deep-change*; notify_before answers
// whether an owner was told.
bool notify_before(const Cell* s, Event e, int32_t index, int32_t count);
void notify_after(const Cell* s, Event e, int32_t index, int32_t count);
// Whether a change of the series reaches an owner's handler (which may
// collect): C++ code then roots what it holds across the Notify.
bool owned(const Cell* s);
// The owner object of a series (none when it has no owner), for reflect.
Cell owner_of(const Cell* s);
// modify's `owned` field: none releases the series, a block [owner field] owns it.
void set_owner(const Cell* s, const Cell* spec);

// Reports the event pair around a change: the first at construction, the
// second on done() (not sent when the change raised an error).
class Notify {
public:
    Notify(const Cell* s, Event e, int32_t index, int32_t count)
        : s_(*s), e_(e), index_(index), count_(count), owned_(notify_before(s, e, index, count)) {}
    void done() {
        if (owned_) notify_after(s_.get(), e_, index_, count_);
    }

private:
    gc::Rooted s_;  // the handler before the change may collect
    Event e_;
    int32_t index_, count_;
    bool owned_;
};

// ---- argument helpers shared with the children ------------------------------------------

// The count a /part argument gives: an integer! (through int_of_number), or a
// series of the same type and buffer (its head minus this head). Anything else
// raises script/invalid-refine-arg with the word `part` and the argument.
int32_t part_count(const Cell* s, const Cell* part);
// script/invalid-refine-arg with the refinement's word and the argument.
[[noreturn]] void bad_refine(const char* refinement, const Cell* arg);
// The same naming the refinement itself (a refinement! value, as an argument
// list spells it) rather than its word.
[[noreturn]] void bad_refinement(const char* refinement, const Cell* arg);

// ---- actions (the series! row) -----------------------------------------------------------
// Stack-only entries read the series from the current call's first argument
// (and `at`/`skip` their offset from the second), rewrite it in place and
// answer it.

Cell* head();
Cell* tail();
Cell* head_q();
Cell* tail_q();
Cell* index_q();
Cell* next();
Cell* back();
Cell* at();
Cell* skip();
int32_t length_q(Cell* s);

// The index of pick and poke: the action's index number, or a float index
// cell truncated toward zero (out of the 32-bit range: script/out-of-range
// with the float).
int32_t element_index(int32_t index, const Cell* index_cell);
// Element at a 1-based index (negative: counted back from the head; 0 and
// outside the buffer: the shared none, read-only). For the cell kinds and map!
// the answer is the element cell itself (the caller copies it); otherwise the
// element (char!, integer! byte, vector element) is written into the series
// cell, which is the call's result slot, and that cell is answered.
Cell* pick(Cell* s, int32_t index, Cell* index_cell);
// Stores a value at a 1-based index; 0 or outside the buffer raises
// script/out-of-range with the index. Answers the value.
Cell* poke(Cell* s, int32_t index, Cell* value, Cell* index_cell);
Cell* clear(Cell* s);
// /part and /key; a key not found makes the result none.
Cell* remove(Cell* s, Cell* part, Cell* key);
Cell* reverse(Cell* s, Cell* part, Cell* skip);
// Takes units into a new value of the source's type (head 0); none when
// nothing lies after the head. deep is the children's business.
Cell* take(Cell* s, Cell* part, bool deep, bool last);
// A shallow copy (pair!, integer! or same-buffer /part); deep and types are
// the children's business. The copy replaces the result cell, which is answered.
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
// Moves units to another position of the same buffer or into another series;
// answers the target (the origin when a same-buffer target cannot take them).
Cell* move(Cell* origin, Cell* target, Cell* part);
Cell* random(Cell* value, bool seed, bool secure, bool only);
Cell* reflect(Cell* value, int32_t field);
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_);

// Registers series! (type 42, no parent).
void init();

}  // namespace kro::series
