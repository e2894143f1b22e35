// function! and routine!: functions written in the language, and library
// functions whose body is C++ code.
//
// function! cell: header type 24 with the spec's attribute flags above it
// (FLAG_TRACE, FLAG_NO_TRACE); data1 the node of the locals context (its values
// live on the data stack while a call runs), data2 the spec block's node, data3
// the node of a five-cell record:
//   0  the body (a deep copy of the body block, bound to the locals), or none
//   1  unset
//   2  integer! index of a C++ entry in the code table, unset when interpreted
//   3  unset; the function itself once an op! wraps it
//   4  integer! context node of the object whose method this is, or unset
// The function value is also stored in its context's owner cell.
//
// routine! cell: header type 29, the number of word! elements of its spec in
// bits 25-29, flag 0x8000 when its maker asks for it; data1 the context made
// from the spec, data2 the spec node, data3 a record as above whose cell 0
// holds the body given (none when absent) and cell 4 the maker's integer.
//
// Code addresses never live in cells: cell 2 holds an index into a table of
// C++ entries that the library fills.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::function {

constexpr uint32_t FLAG_TRACE = 0x400;
constexpr uint32_t FLAG_NO_TRACE = 0x200;

// Record cells.
constexpr int32_t BODY = 0;
constexpr int32_t CODE = 2;
constexpr int32_t WRAPPED = 3;
constexpr int32_t METHOD_OF = 4;
constexpr int32_t RECORD_CELLS = 5;

// ---- what the interpreter provides ---------------------------------------------------
// Installed by the interpreter when it starts; until then they are null.

// Evaluates a block from its head to its tail and leaves its last result on
// the data stack. Making objects from spec blocks and errors from set-word
// specs needs it: without it they raise internal/feature-na.
extern void (*eval_block)(Cell* block);

// Runs a change handler (a function! or routine!) whose argument cells have
// been pushed on the data stack from `args` on (count cells, refinement
// defaults included), in the object context ctx, under a call frame named by
// `name` (on-change* or on-deep-change*); kind is the tracer's callback bit
// (CALLBACK_ON_CHANGE or CALLBACK_ON_DEEP_CHANGE). Without an interpreter no
// handler can run and none is called.
extern void (*call_handler)(const Cell* handler, uint32_t ctx, const Cell* name, Cell* args, int32_t count,
                            int32_t kind);
constexpr int32_t CALLBACK_ON_CHANGE = 8;
constexpr int32_t CALLBACK_ON_DEEP_CHANGE = 16;

// ---- the code table ------------------------------------------------------------------

using CodeFn = void (*)();
// Adds a C++ entry and answers its index (from 1).
int32_t add_code(CodeFn fn);
// The entry of an index, or null for 0 and for an index never handed out.
CodeFn code_at(int32_t index);

// ---- making ----------------------------------------------------------------------------

// While set (the boot program runs), the body of every function made is the
// library's own code: its blocks get memory::FLAG_LIBRARY, so the tracer skips
// them and `interpreted?` tells them from user code.
extern bool library_bodies;
// Flags a block and every block kind nested in it as library code.
void mark_library(const Cell* code);

// Pushes a new function! and answers its context node. A spec whose head is
// not at its first cell is replaced by a shallow copy from the head. body may
// be null (no body: record cell 0 is none); ctx 0 makes a context from the
// spec and binds the body copy to it (a given context is taken as bound);
// code 0 means interpreted; method_of 0 means no object.
uint32_t make_value(const Cell* spec, const Cell* body, uint32_t ctx, int32_t code, uint32_t method_of,
                    uint32_t flags);

// Checks a spec and answers its attribute flags. Violations raise
// script/bad-func-def with the spec, a bad type block element
// script/invalid-type-spec with the element, a repeated name script/dup-vars
// with the repeated word.
uint32_t validate_spec(const Cell* spec);

// For the `function` native: gathers the set-words of the body (and the
// words that foreach, remove-each and repeat set) that the spec does not
// name, appends them to the spec after /local and answers the block of
// gathered words (pushed on the data stack). A spec with /extern excludes the
// words after it and is cut there.
Cell* collect_locals(Cell* spec, const Cell* body);

// Cells that the /local part of a spec takes in a call: 1 for /local and 1
// per word! after it; 0 without /local, or -1 then when strict.
int32_t count_locals(uint32_t spec_node, int32_t start, bool strict);

// Pushes false, then count - 1 nones: the cells of a refinement that a call
// does not use, and of its arguments.
void push_refinement_defaults(int32_t count);

// ---- actions ---------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* reflect(Cell* value, int32_t field);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers function! (type 24, parent context!).
void init();

}  // namespace kro::function

namespace kro::routine {

constexpr uint32_t FLAG_MAKER = 0x8000;
constexpr uint32_t KIND_SHIFT = 25;
constexpr uint32_t KIND_MASK = 0x1Fu << KIND_SHIFT;

// Pushes a new routine!; body may be null. Answers the pushed cell.
Cell* make_value(const Cell* spec, const Cell* body, int32_t code, int32_t extra, bool flag);
// The argument count kept in header bits 25-29.
int32_t get_kind(const Cell* routine);

// Registers routine! (type 29, parent function!).
void init();

}  // namespace kro::routine
