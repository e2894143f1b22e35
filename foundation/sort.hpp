// Two sorts over arrays of fixed-width elements ordered by a comparator
// callback: a stable natural-run merge sort and an in-place quicksort that
// first probes for presorted input.
//
// A comparator may run language code (a user compare function), which may
// collect and so move the buffer being sorted, or even change that buffer.
// The sorts therefore work on element indexes and never keep an element
// address across a comparator call: after each call they ask the range's
// locate function where element 0 is now. Locate answers null when the range
// is no longer the one being sorted (its length or start changed, its buffer
// was given up); the sort then raises script/invalid-arg. On its way out it
// only puts back the elements it held aside, and only if they are still in
// place.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/gc.hpp"

namespace kro::sort {

// Negative when a sorts before b, 0 when equal, positive when after.
using Compare = int (*)(const void* a, const void* b, intptr_t op, uint32_t flags);

// Current address of element 0, or null once the range has changed. Must not
// raise or allocate: it also runs while an error unwinds the sort. Strict, it
// answers null on any change of the range; not strict (to put elements back
// when a sort is abandoned), it answers the address whenever the elements are
// still where they were, say after something was appended behind them.
using Locate = uint8_t* (*)(void* where, bool strict);

struct Range {
    uint32_t count = 0;
    uint32_t width = 0;     // bytes per element
    intptr_t op = 0;        // handed to the comparator as is
    uint32_t flags = 0;     // handed to the comparator as is
    Compare compare = nullptr;
    Locate locate = nullptr;  // null: `where` is the fixed address of element 0
    void* where = nullptr;
    // Argument of the error raised when the range changes under the sort; it
    // must stay valid for the whole sort (a data-stack cell or a Rooted one).
    const Cell* subject = nullptr;
};

// Stable. Takes floor(count / 2) elements of temporary memory from the tracked
// heap, released on every exit. Raises script/too-long when that size passes
// 2 GiB. If the comparator raises, the range is left a permutation of its
// input (when it changed, as far as its elements are still in place).
void merge(const Range& r);

// Not stable, in place, stack depth bounded by log2(count).
void quick(const Range& r);

// The same over memory that cannot move during the sort (the comparator does
// not evaluate language code).
void merge(void* base, uint32_t count, uint32_t width, intptr_t op, uint32_t flags, Compare cmp);
void quick(void* base, uint32_t count, uint32_t width, intptr_t op, uint32_t flags, Compare cmp);

// Exchanges two elements, 32-bit word by word when the width allows.
void swap(void* a, void* b, uint32_t width);

// End (exclusive element index) of the run that starts at `start`, looking no
// further than `end`. A run ascends while consecutive pairs compare <= 0, or
// strictly descends while they compare > 0, in which case it is reversed in
// place. A run has at least one element.
uint32_t count_run(const Range& r, uint32_t start, uint32_t end);

// A range that lies in a series buffer, found again through its node after
// every comparator call. It counts as changed when the buffer's offset or tail
// moved, when the node lost its buffer, or when the elements no longer fit
// (not strict: only the last two, and a moved offset).
// The place roots its node, so the series stays alive and its node current
// for as long as the place lives.
struct SeriesPlace {
    gc::RootedNode node;
    uint32_t first;   // byte distance of element 0 from the buffer's offset
    uint64_t bytes;   // count x width
    uint32_t offset;  // the buffer's offset and tail when the sort began
    uint32_t tail;

    SeriesPlace(uint32_t series_node, uint32_t first_byte, uint32_t count, uint32_t width);
    // Points the range at this place (locate and where).
    void attach(Range& r) { r.locate = &locate; r.where = this; }
    static uint8_t* locate(void* place, bool strict);
};

}  // namespace kro::sort
