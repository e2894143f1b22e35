// native!, action! and op!: the values through which the language calls
// built-in code.
//
// native! and action! cell: header type 21 or 22; data1 the 1-based index of
// the entry in the natives table (1-120) or the action table (1-62); data2 the
// spec block's node; data3 the node of a two-cell record: [0] a copy of the
// context cell of a context made from the spec's words (its name table and,
// while a call runs, its values), [1] none.
//
// op! cell: header type 23 with the wrapped value's type id in bits 16-23;
// data1-data3 copied from the wrapped native!, action!, function! or
// routine!, so an op of a function shares its context, spec and record.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/memory.hpp"

namespace kro::native {

constexpr int32_t NATIVE_SLOTS = 120;
constexpr int32_t ACTION_SLOTS = 62;
constexpr uint32_t WRAPPED_SHIFT = 16;

// ---- the two tables ------------------------------------------------------------------
// The interpreter registers its natives and actions here, each with the spec
// its word is made from; `make native!` and `make action!` accept only a
// registered index and a spec with the same arguments and refinements.

using Entry = void (*)();

// Makes the block that keeps the registered specs alive (runtime
// initialisation, once the root block exists).
void init_tables();
// An index outside the table is a build fault (fatal error 98).
void register_native(int32_t index, Entry fn, const Cell* spec);
void register_action(int32_t index, Entry fn, const Cell* spec);
namespace detail {
extern Entry natives[NATIVE_SLOTS];
extern uint32_t specs;
}
// Entries and specs; null for an empty slot or an index outside the table.
// (The natives' entry is read on every call the evaluator makes.)
inline Entry native_entry(int32_t index) {
    return index >= 1 && index <= NATIVE_SLOTS ? detail::natives[index - 1] : nullptr;
}
// Whether a native! value carries the argument block its slot was
// registered with (the natives made at start-up and copies of them), rather
// than another block naming the same arguments (whose types may differ).
inline bool made_at_start(const Cell* native) {
    int32_t index = int32_t(native->data1);
    return detail::specs && index >= 1 && index <= NATIVE_SLOTS &&
           memory::buffer_of(detail::specs)->cells()[index - 1].data2 == native->data2;
}
Entry action_entry(int32_t index);
const Cell* native_spec(int32_t index);
const Cell* action_spec(int32_t index);
// Empties a slot (tests put scratch registrations away with it).
void forget_native(int32_t index);
void forget_action(int32_t index);

// Whether two specs describe the same call: the same arguments (word,
// lit-word or get-word) and refinements, in order, by name; doc strings,
// type blocks and return: are not compared.
bool same_interface(const Cell* spec1, const Cell* spec2);

// The wrapped type of an op! (21, 22, 24 or 29).
inline uint32_t wrapped_type(const Cell* op) { return (op->header >> WRAPPED_SHIFT) & 0xFF; }

// ---- actions ---------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* reflect(Cell* value, int32_t field);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Register native! (21), action! (22, parent native!) and op! (23, parent native!).
void init();
void init_action();
void init_op();

}  // namespace kro::native
