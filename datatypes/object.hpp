// object!: records with named fields. An object owns a context (kind object,
// built flag set) whose words are its fields; the context's owner cell holds
// a copy of the object value.
//
// Object cell: header type 32 (error! 34 and port! 48 share the layout and
// these routines); data1 the context node; data2 the class id; data3 the node
// of the on-set record, or 0 when the object has no change handler.
//
// Class ids tell prototypes and their unextended copies apart: objects made at
// run time take fresh ids after 1,000,000; objects made while the boot program
// builds the system take ids from a boot counter (the first is 122); errors
// carry 1; make_at leaves 0 for its maker to set.
//
// On-set record: two cells typed pair!, [0] for on-change*, [1] for
// on-deep-change*; each holds in data2 the field index (high 16 bits, 0xFFFF
// when absent) and the count of extra cells a call of the handler pushes (low
// 16 bits), and in data3 the spec node that count was taken from (0 until the
// first call), so that a handler call recounts only when the spec changed.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::object {

constexpr uint32_t RUN_ID_BASE = 1000000;
constexpr uint32_t BOOT_FIRST_ID = 122;
constexpr uint32_t ERROR_CLASS = 1;

// ---- class ids ------------------------------------------------------------------------

// A fresh class id: from the boot counter while boot ids are on, else from
// the run-time counter.
uint32_t next_class_id();
// The boot program turns boot ids on while it builds the system objects and
// off when it is done.
void use_boot_ids(bool on);
bool boot_ids();
// The last id handed out by the run-time counter (1,000,000 before the first).
uint32_t class_counter();
// The last id the boot counter handed out, and setting it (the boot data
// carries it, for the objects the start-up makes after it).
uint32_t boot_counter();
void set_boot_counter(uint32_t last);

// ---- constructors and accessors --------------------------------------------------------

// An empty object in the cell: a new context of that capacity, class 0, no
// on-set record; the object is stored in its context's owner cell.
Cell* make_at(Cell* cell, int32_t words);
// Pushes an object cell with those payload words (and records it as the
// context's owner).
Cell* push_value(uint32_t ctx, uint32_t class_id, uint32_t on_set);
// The same without on-set record; a context whose values block is still
// empty first gets one (unset) cell per word.
Cell* push_from_context(uint32_t ctx, uint32_t class_id);
// Gives the object on top of the data stack a new on-set record with those
// indexes (-1: absent) and counts; an on-deep-change* index makes the object
// its own owner in the ownership table. Answers the record's node.
uint32_t attach_on_set_top(uint32_t ctx, int32_t change_index, int32_t change_count, int32_t deep_index,
                           int32_t deep_count);
// Looks for on-change* and on-deep-change* among the object's words and gives
// it a record when either is there (script/bad-field-set when one holds
// something other than a function! or routine!), or none. The object cell is
// updated and stored in its context's owner cell.
void attach_on_set(Cell* obj);

Cell* get_values(const Cell* obj);
// The field's value cell (looked up without regard to case), or the shared
// none cell.
const Cell* select_word(const Cell* obj, const Cell* word);
int32_t find_word_index(const Cell* obj, const Cell* word);
Cell* word_at(uint32_t ctx, int32_t index);
Cell* first_word(const Cell* obj);
int32_t field_count(const Cell* obj);
bool value_class_q(const Cell* word, uint32_t class_id);
bool class_at_q(uint32_t ctx, int32_t index, uint32_t class_id);
// Clears the new-line flag of every cell of a cell buffer.
void clear_new_lines(uint32_t node);

// The handler index (-1 when absent) and cached count kept in an on-set
// record cell (0: on-change*, 1: on-deep-change*).
int32_t handler_index(const Cell* obj, int32_t which);
int32_t handler_count(const Cell* obj, int32_t which);

// ---- change handlers ------------------------------------------------------------------

// Calls the object's on-change* with the word, the old and the new value.
void call_on_change(const Cell* obj, const Cell* word, const Cell* old_value, const Cell* new_value);
// The same with the top data-stack cell as old value and the cell below it as new value.
void call_on_change_top(const Cell* obj, const Cell* word);
void call_on_change_ctx(uint32_t ctx, const Cell* word);
// Compiled code's form: the object is the value of obj_word.
void fire_on_change(const Cell* obj_word, const Cell* field_word);
// Calls the owner's on-deep-change* (new_value may be null: none is passed).
void call_on_deep_change(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part);

// ---- building ---------------------------------------------------------------------------

// The `set` native on an object: a block or object value assigns field by
// field (unless only), anything else every field.
void extend(Cell* obj, const Cell* value, bool only, bool any, bool some);
// For `construct`: pushes a copy of the prototype (or a new empty object)
// with the spec's set-words collected into it without evaluation.
Cell* derive(const Cell* spec, const Cell* proto, bool only);
// A copy of the source in dst: own context, same class; series and methods
// copied as deep and types ask; with new_record a record made afresh.
Cell* clone(const Cell* source, Cell* dst, bool deep, Cell* types, bool new_record);

// Writes the fields as "word: value" items; see mold and form.
int32_t mold_fields(const Cell* obj, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
                    bool indent, int32_t level, bool mold);

// ---- actions ----------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* reflect(Cell* value, int32_t field);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
// The comparison of two object-like values field by field (error! uses it too).
int32_t compare_objects(Cell* value1, Cell* value2, int32_t op);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* put(Cell* obj, Cell* key, Cell* value, bool case_);
Cell* select(Cell* obj, Cell* key, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
             bool last, bool reverse);
Cell* modify(Cell* obj, Cell* field, Cell* value, bool case_);

// Registers object! (type 32, no parent) and installs the context's change hook.
void init();

}  // namespace kro::object
