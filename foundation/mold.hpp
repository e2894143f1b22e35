// Shared pieces of molding and conversion: the stack of series being walked
// (which turns a value that contains itself into a short marker instead of an
// endless text), indentation, numbers taken as 32-bit indexes, and the
// doubling fill behind the /dup refinements.
//
// The mold buffer is a string! plus a remaining-length budget: every form and
// mold routine takes the budget and answers it reduced by what it wrote
// (negative once overrun). NO_LIMIT stands for "no /part".
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::mold {

constexpr int32_t NO_LIMIT = 0x7FFFFFFF;
constexpr int32_t CYCLE_CAPACITY = 1000;

// Allocates the cycle stack from the tracked heap. Runtime initialisation calls
// it once; later calls do nothing.
void init();

// Appends four blanks per level; answers limit - 4 x level.
int32_t indent(Cell* buffer, int32_t level, int32_t limit);

// ---- the cycle stack ----------------------------------------------------------------
// Nodes of the series (or object contexts) that molding, nested comparison,
// copying and cloning are walking right now. It is empty between top-level
// operations: every pusher holds a CycleGuard (or a CycleEntry), so an error
// raised from inside leaves no stale entry behind, and whoever catches an error
// may also empty it outright with cycle_reset().

// Pushes a node. When the stack becomes full it is emptied and
// internal/too-deep is raised.
void cycle_push(uint32_t node);
void cycle_pop();              // nothing when empty
void cycle_drop(int32_t n);    // n entries at once (never below empty)
void cycle_reset();
bool cycle_find(uint32_t node);
int32_t cycle_depth();
// Drops the entries above depth (nothing when the stack is not that deep).
void cycle_truncate(int32_t depth);
// The live entries, base first (cycle_depth() of them), for the collector to
// mark and to rewrite when it moves nodes.
uint32_t* cycle_entries();

// Restores the cycle depth it found when it goes out of scope, on the normal
// way out and while an error unwinds.
class CycleGuard {
public:
    CycleGuard() : depth_(cycle_depth()) {}
    CycleGuard(const CycleGuard&) = delete;
    CycleGuard& operator=(const CycleGuard&) = delete;
    ~CycleGuard() { cycle_truncate(depth_); }

private:
    int32_t depth_;
};

// Pushes a node for its own lifetime.
class CycleEntry {
public:
    explicit CycleEntry(uint32_t node) { cycle_push(node); }

private:
    CycleGuard guard_;  // constructed first: a push that raises still restores the depth
};

// The node a value is walked by: the context for an object! (and its kin
// error! and port!), else the series node.
uint32_t cycle_node_of(const Cell* value);

// The check every container's form and mold makes before writing its
// content: when the value is already being walked, writes the marker for its
// type ("[...]", "(...)", "#[...]", "make object! [...]", "..." for paths;
// "..." for any form), lowers *limit by its length and answers true; else
// answers false and writes nothing.
bool cycle_mark(const Cell* value, Cell* buffer, int32_t* limit, bool mold);

// Depth of the element being molded (raised around each element of a block).
extern int32_t depth;

}  // namespace kro::mold

namespace kro::convert {

// The 32-bit integer of a float! (or percent!) truncated toward zero, or data2
// of any other cell (an integer! in practice). A float outside the 32-bit range
// or NaN raises script/out-of-range with the value.
int32_t int_of_number(const Cell* value);

// Loads one value from a string through the tokenizer into the destination:
// none when the text holds more than one value, unset when it holds none.
// Declared for its callers; it is defined by the tokenizer's module, which does
// not exist yet, so nothing may call it before then.
Cell* scan_string(const Cell* str, Cell* destination);
// scan_string into the current call's first-argument cell (its result slot);
// defined with it.
Cell* scan_argument(const Cell* str);

// A new string! pushed on the data stack, holding the form of the current
// call's first argument (cut to limit characters when limit is above 0).
Cell* form_new(Cell* part, int32_t limit);

}  // namespace kro::convert

namespace kro::memory {

// The first n bytes of the buffer hold a pattern: fills the buffer up to
// n x count bytes with copies of it (doubling copies) and answers the address
// just past the filled area. A count of 1 copies nothing; a count of 0 fills
// nothing and answers the buffer itself.
uint8_t* repeat_fill(uint8_t* buffer, uint32_t n, uint32_t count);

}  // namespace kro::memory
