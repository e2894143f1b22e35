// triple!: three signed 32-bit integers in data1, data2 and data3 (type 31, no
// parent), made by the runtime for its own use. The language cannot make one:
// every action but form and mold is unsupported.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::triple {

inline Cell make(int32_t first, int32_t second, int32_t third) {
    return Cell{uint32_t(TYPE_TRIPLE), uint32_t(first), uint32_t(second), uint32_t(third)};
}
Cell* make_at(Cell* c, int32_t first, int32_t second, int32_t third);
Cell* push(int32_t first, int32_t second, int32_t third);

// "make triple! [1 -2 3]". Answers limit minus the characters written.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);

// Registers triple! (type 31, no parent).
void init();

}  // namespace kro::triple
