// block!: a series of 16-byte cells, and the internal API through which the
// whole system builds, walks and searches blocks. paren!, the four path types
// and hash! share the cell layout and all of this API.
//
// Block value: header (type 5, or 6 paren!, 25-28 paths, 36 hash!; flag
// FLAG_NEW_LINE), data1 the head (cell index), data2 the node of a buffer of
// unit 16, data3 the hash table node of a hash! (else 0). The new-line flag of
// a cell puts a line break before it when molded; it travels with the cell.
//
// Cell addresses answered here are valid until the block changes size (any
// append or insert may move its buffer): re-derive them after a change.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::block {

// ---- older short forms, kept for their callers ----------------------------------------

// Writes a new empty block value with room for capacity cells into c (at least
// one cell when capacity is negative).
Cell* make_at(Cell* c, int32_t capacity);
// The same in a fixed (never moved, never collected) buffer, for the runtime's
// long-lived blocks.
Cell* make_fixed_at(Cell* c, uint32_t capacity);
// Appends one cell at the block's tail (growing the buffer when full) and
// answers it with the unset header, payload not set.
Cell* add_cell(Cell* blk);
// Number of cells from the head to the tail (0 when the head is past the tail).
int32_t length(const Cell* blk);
// The cell at a 0-based index from the head (no bounds check).
Cell* at(const Cell* blk, int32_t index);

// ---- accessors (raise nothing) ------------------------------------------------------

// Cells from the head to the tail, not clamped: a head past the tail gives a
// negative count.
int32_t ks_length_q(const Cell* blk);
// head + 1 when that cell is not past the tail; answers whether the head now
// equals the tail exactly.
bool ks_next(Cell* blk);
// Address of the head cell; a head past the tail is first written back as the
// full length.
Cell* ks_head(Cell* blk);
// Address just past the last cell.
Cell* ks_tail(const Cell* blk);
// True only when the head cell is exactly the tail (a head past the tail
// answers false, unlike series::ks_tail_q).
bool ks_tail_q(const Cell* blk);
// The cell at an absolute index from the buffer's first used cell.
Cell* ks_abs_at(const Cell* blk, int32_t index);
// Cuts the block at its head.
void ks_clear(Cell* blk);
// Cuts the block at an absolute index.
void ks_clear_from(Cell* blk, int32_t index);
// Drops the last cell of a non-empty block; a head left past the new tail
// becomes the full length.
void ks_remove_last(Cell* blk);

// ---- appending and inserting ------------------------------------------------------------
// The value given may lie in the block itself: it is copied before anything moves.

// Appends a copy of the value; answers the new cell.
Cell* ks_append(Cell* blk, const Cell* value);
// Appends copies of the source's cells from its head to its tail.
void ks_append_block(Cell* target, const Cell* source);
// Inserts a copy of the value at the head (at the first used cell with
// at_start); with advance the head moves past the new cell. A hash! indexes the
// new cell and renumbers the ones after it. Answers the new cell.
Cell* ks_insert_value(Cell* blk, const Cell* value, bool advance, bool at_start);
// Opens a gap of n cells at an absolute index (0 .. length) and copies the
// cells in; they must not lie in this block's buffer (copy them out first).
// A hash! renumbers the cells that moved and indexes the new ones. Answers the
// first new cell.
Cell* ks_insert_cells(const Cell* blk, int32_t pos, const Cell* cells, int32_t n);
// Inserts the source's cells (from its head, in order) at the target's head
// and moves the target's head past them. Source and target may share a buffer
// (even be the same value): the source's cells are taken before anything moves.
void ks_insert_block(Cell* target, const Cell* source);
// Inserts the current call's first argument into the block in the cell just
// below it on the data stack, advancing that block's head.
void insert_last();
// Appends a copy of the current call's second argument to the block in its
// first argument (a hash! indexes it).
void append_second();
// Appends the value on top of the data stack to the block in the cell below it.
void append_last();

// ---- lookup -------------------------------------------------------------------------------
// Equality here is the value's compare slot with op 12 (values that cannot be
// compared are unequal, and nothing is raised).

// The cell after the first match from the head, or the shared none (read-only)
// when the match is the last cell or nothing matches.
const Cell* ks_select(const Cell* blk, const Cell* value);
// Removes the first match (from the head, or from the first used cell with
// from_start); answers false when nothing matched, else whether the removed
// cell's index was at or before the head.
bool ks_remove_value(Cell* blk, const Cell* value, bool from_start);
// The cell after the first word!, set-word!, lit-word! or get-word! with the
// word's symbol (exactly, or ignoring case unless exact), or the shared none.
const Cell* select_word(const Cell* blk, const Cell* word, bool exact);

// ---- creation and copying -------------------------------------------------------------------

// As make_at with room for at least one cell; with fixed the buffer lies
// outside the collected frames, else every cell of it is preset to unset.
Cell* make_unset_at(Cell* c, int32_t n, bool fixed);
// A new block with a fixed buffer, made in a new cell at the parent's tail, or
// in the runtime's one fixed cell without a parent.
Cell* make_in(Cell* parent, int32_t n);
// The same cell choice with an ordinary collected buffer.
Cell* push_typed(Cell* parent, int32_t n);
// Pushes a copy of a value on the data stack.
Cell* push(const Cell* value);
// Pushes a new empty block! with room for n cells (1 when n is 0).
Cell* push_only(int32_t n);
// Pushes a copy of the block's cells from its head (type id only, no flags).
// With deep every block! cell is replaced by its own clone, and with any also
// every paren! and path cell; a nested clone keeps the header of the cell it
// replaces. A block met again inside itself raises internal/no-cycle. Answers
// the pushed cell.
Cell* clone(const Cell* blk, bool deep, bool any);
// Replaces every step-th cell from absolute index `from` up to (not including)
// `to` by its copy (actions::copy, deep passed on, and the kind too when deep)
// when its type is in the kind (a typeset! or a datatype!) and it is a series,
// bitset!, object!, error! or map!.
void copy_typed_values(Cell* blk, int32_t from, int32_t to, int32_t step, bool deep, Cell* kind);

// ---- text and comparison of block-like values ----------------------------------------------

// Writes the cells from the head into a mold buffer: line breaks before cells
// with the new-line flag (unless flat), four blanks per indentation level, a
// blank between other cells; stops when part is given and the budget falls
// below 1. Answers the budget left.
int32_t mold_each(Cell* blk, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
                  int32_t indent);
// The order of two block-like values cell by cell: -1, 0 or 1 (-2 when two
// cells cannot be compared).
int32_t compare_each(Cell* blk1, Cell* blk2, int32_t op);

// ---- the block! actions -------------------------------------------------------------------
// paren!, the paths and hash! inherit them. Unless said otherwise an action
// leaves its result in the series cell it was given (the call's result slot)
// and answers that cell. A modifying action reports its owner events.

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// Two block-like values of different types do not compare (-2), except a
// path! with a lit-path! under ops 10 and 11.
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// make and to write a value of the requested type into proto. make: a
// block-like spec gives a shallow copy from its head, a number an empty block
// with room for that many cells (at least 1), an object! or map! its body, a
// vector! its elements; anything else raises script/bad-make-arg. to: the
// same for those kinds, a string! the values loaded from its text, a typeset!
// its datatypes, any other value a one-cell block holding it.
Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* to(Cell* proto, Cell* spec, int32_t type);

// Loads every value of a text from its head into a new block written at out;
// installed by the tokenizer. Until then `to block!` of text raises
// internal/feature-na.
extern void (*load_text)(const Cell* text, Cell* out);

// One step of a path walk with the block as parent. value is null for a
// read, which answers the cell reached (inside the block: copy it at once) or
// the shared none: an integer! element picks by index; a word! (not on a
// hash!) selects the value after that word (select_word, exact with case_);
// anything else selects after the element as one value. A write pokes an
// integer! index (script/out-of-range outside the block) or the cell after
// the element found as one value (script/bad-path-set when it is absent,
// script/out-of-range when it is the last cell); it answers the value.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);

// insert and append (append set): a block-like value gives its cells from its
// head unless only, any other value itself; part (negative: all) limits the
// cells taken, dup repeats them. The value may lie in the series itself.
// append answers the series at its head, insert the series just past what it
// inserted. A product or a size past 32 bits raises internal/no-memory.
Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append);
// Replaces cells at the head (part of them when part >= 0, else as many as are
// inserted) by the value's cells (dup times); answers the series just past them.
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
// Finds the key (as one value) from the head and sets the value after it, or
// appends key and value. An old value that is the same or strictly equal is
// left as it is. Answers the value.
Cell* put(Cell* series, Cell* key, Cell* value, bool case_);
// Exchanges the head cells of two block-like series (nothing when either is at
// its tail); a series2 that is not block-like raises script/invalid-arg.
// Answers series1.
Cell* swap(Cell* series1, Cell* series2);
// series::take; with deep every taken series is copied deep; without part the
// result is the one taken value itself.
Cell* take(Cell* series, Cell* part, bool deep, bool last);
// Removes every none! from the head to the tail; the refinements change nothing for blocks.
Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
// series::copy, then with deep every copied series is copied deep (a block
// met again inside itself raises internal/no-cycle), and with types only the
// values of that kind (a typeset! or datatype!) are copied. A hash! copied
// with deep or types gives a block!.
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);

// The set operations of the natives over blocks and hash!es, by records of
// skip cells (null: 1; below 1 raises script/invalid-refine-arg). The result,
// a new series at index 0 (a hash! when set1 is one, or set2 for the
// two-set operations), replaces set1, which is answered.
enum SetOp : int32_t { UNIQUE = 8, UNION = 9, INTERSECT = 10, EXCLUDE = 11, DIFFERENCE = 12 };
Cell* set_operation(Cell* set1, Cell* set2, bool case_, Cell* skip, int32_t op);

// ---- search and sort ---------------------------------------------------------------------

// How find looks for a value (the refinements of find and select).
struct Search {
    Cell* part = nullptr;  // integer! count, or a position in the same series
    bool only = false;     // a block-like value is one value, not a sequence
    bool case_ = false;    // strict equality (op 2)
    bool same = false;     // sameness (op 9)
    Cell* skip = nullptr;  // records of this many cells: only their first cells are tested
    bool last = false;     // backward from the end of the buffer
    bool reverse = false;  // backward from the cell before the head
    bool tail = false;     // answer the position after the match
    bool match = false;    // test the first position only
};
// The absolute index find answers, or -1. Raises script/invalid-refine-arg
// for a bad part or skip, script/out-of-range for a skip below 1.
int32_t find_index(const Cell* series, const Cell* value, const Search& how);

// The series at the match, or none. /any and /with have no effect on blocks.
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
// A copy of the value after the match (after the whole matched sequence), or none.
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
// Sorts in place (records of skip cells; comparator: a function! or the
// 1-based field compared; part: a count or a position, a negative count
// sorts the cells before the head and moves the head back to them). A
// comparator that changes the size of the series raises script/invalid-arg.
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable);

// The comparators of sort over two records. flags: bit 0 reverse, bit 1 all
// fields, bits 2 and up the 0-based field (with bit 1: the record size).
// sort_compare takes the compare op (7, or 8 for case-sensitive); a pair that
// does not compare orders by type id. sort_call takes the address of a
// SortCall (the function! and the blocks that carry whole records to it) and
// runs the function through actions::call_comparator (until the interpreter
// installs that, sort/compare with a function! raises internal/feature-na).
struct SortCall;
int sort_compare(const void* a, const void* b, intptr_t op, uint32_t flags);
int sort_call(const void* a, const void* b, intptr_t call, uint32_t flags);

// Registers block! (type 5, parent series!).
void init();

}  // namespace kro::block
