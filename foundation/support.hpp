// Support routines that runtime and datatype code calls instead of repeating
// the same steps inline: cell primitives, appending to series buffers, argument
// type checks, reading and writing words and context slots with their "unset"
// checks, and the key lookup behind `switch`. Errors are raised with fire
// (foundation/fire.hpp), which never returns.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::cell {

inline void set_type(Cell* c, Type t) { c->set_type(t); }
inline void clear_newline(Cell* c) { c->header &= ~FLAG_NEW_LINE; }
// Copies the four words; nothing happens when both are the same cell.
inline Cell* copy(const Cell* from, Cell* to) {
    if (from != to) copy_cell(from, to);
    return to;
}

}  // namespace kro::cell

namespace kro::series {

// Appends one cell at the tail of a cell series, growing its buffer first when
// it is full, writes the unset header into it and answers it (payload words
// not cleared). The address is valid until the series grows again.
Cell* add_cell(uint32_t node);

// A new series of count units copied from unit `start` of the series' buffer
// (counted from its first used unit), with the source's flags (unit size
// included) except 0x00020000. Answers its node. start and count must lie
// within the buffer.
uint32_t copy_range(const Cell* series, uint32_t start, uint32_t count);

}  // namespace kro::series

namespace kro::args {

// The interpreter's call frames name the running call and its arguments; the
// errors below carry those names. These hooks answer none until the
// interpreter installs its own (stack/get-call-name and the n-th argument word
// of the running call).
extern Cell (*call_name)();
extern Cell (*argument_word)(int32_t index);

// Whether type id t is in a typeset!'s bitmap: bit 0x80 >> (t & 7) of byte
// t >> 3 of the payload, counted from data1's first byte.
bool in_typeset(const Cell* typeset, uint32_t type);

// Raises script/expect-arg with the current call's name, that datatype and
// the name of argument `index`.
[[noreturn]] void expect_arg(uint32_t type, int32_t index);
// A value whose type is not in the typeset raises script/expect-arg with the
// current call's name, the value's datatype and the name of argument `index`.
// Answers the value.
const Cell* check_type(const Cell* typeset, int32_t index, const Cell* value);
// Checks the cell at a position of the current call's arguments; a negative
// position (an absent refinement's argument) is not checked.
void check_type_opt(int32_t position, const Cell* typeset, int32_t index);
// Checks only when the refinement cell's data1 is not 0 (the refinement is used).
const Cell* check_type_ref(const Cell* refinement, const Cell* typeset, int32_t index, const Cell* value);
// An unset value raises script/expect-arg with unset! as the datatype.
const Cell* check_set(int32_t index, const Cell* value);

}  // namespace kro::args

// Words and context slots. The value to store is always the top cell of the
// data stack.
namespace kro::word {

// An unset value raises script/need-value with the word and leaves the word's
// value as it was; otherwise the word is set. Answers the word's value cell.
Cell* set_checked(Cell* word);
// set_checked, then the stack top goes back to the current call's arguments base.
void set_value(Cell* word);
// The word's value cell; an unset value raises script/no-value with the word.
Cell* get_checked(const Cell* word);

}  // namespace kro::word

namespace kro::context {

// An unset value raises script/need-value with the context's word at that
// index; otherwise the value is copied into slot index (no event fires).
void set_checked(uint32_t ctx, int32_t index);
void set_checked_reset(uint32_t ctx, int32_t index);
// The address of slot index; a context without values raises
// script/not-defined with the word at that index.
Cell* value_at(uint32_t ctx, int32_t index);

}  // namespace kro::context

namespace kro::object {

// Copies the top value into slot index (no unset check); in an object context
// the word at that index is first marked assigned. The stack top goes back to
// the arguments base.
void set_slot(uint32_t ctx, int32_t index);

}  // namespace kro::object

namespace kro::block {

// The key lookup of `switch`: the value is the current call's first argument,
// the block its second. A block value selects none. The block is walked from
// its head by 1 cell (mode 1) or by key/value pairs (mode 0); a cell of the
// value's type that compares equal matches. With to_block the result is the
// first block! after the match (none when none follows); otherwise the cell
// after the match, or the match itself when it is the last cell. Mode 1 pushes
// a copy of the result, mode 0 stores it as the call's result; no match gives
// none the same way.
void select_next(int32_t mode, bool to_block);

}  // namespace kro::block

namespace kro::error {

// script/bad-make-arg with the type and the spec ("cannot MAKE ... from:").
[[noreturn]] void bad_make_arg(const Cell* type, const Cell* spec);

}  // namespace kro::error
