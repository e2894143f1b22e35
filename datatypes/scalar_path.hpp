// What pair!, point2D!, point3D! and tuple! share when a path changes one of
// their components in place (`o/size/x: 5`, `blk/1/2: 0`): the value lives in
// a slot of its container, and the container is told once the change is made.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::scalar_path {

// After the value in `changed` was rewritten through a path: an object!
// container calls its on-change* with the path item (the field word), the old
// and the new value; a block-like container tells the owner of its series
// (a "poked" event at the slot's index). Any other container, or none, is not
// told. May evaluate: hold nothing unrooted across it.
void changed(Cell* container, const Cell* item, const Cell* changed, const Cell* old_value);

// script/invalid-path with the path (none when absent) and the element.
[[noreturn]] void invalid_path(const Cell* path, const Cell* element);

}  // namespace kro::scalar_path
