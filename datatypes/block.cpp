#include "datatypes/block.hpp"

#include "foundation/memory.hpp"

namespace kro::block {

Cell* make_at(Cell* c, uint32_t capacity) {
    uint32_t node = memory::new_cells(capacity);
    *c = Cell{uint32_t(TYPE_BLOCK), 0, node, 0};
    return c;
}

Cell* make_fixed_at(Cell* c, uint32_t capacity) {
    uint32_t node = memory::new_fixed_series(capacity, 16, 0);
    *c = Cell{uint32_t(TYPE_BLOCK), 0, node, 0};
    return c;
}

Cell* add_cell(Cell* blk) {
    memory::Buffer* b = memory::buffer_of(blk->data2);
    if (b->free_bytes() < sizeof(Cell)) b = memory::grow_series(b, 0);
    Cell* c = b->cell_tail();
    b->tail += sizeof(Cell);
    return c;
}

int32_t length(const Cell* blk) {
    memory::Buffer* b = memory::buffer_of(blk->data2);
    int32_t n = int32_t(b->used_bytes() / sizeof(Cell)) - int32_t(blk->data1);
    return n < 0 ? 0 : n;
}

Cell* at(const Cell* blk, int32_t index) {
    return memory::buffer_of(blk->data2)->cells() + blk->data1 + index;
}

}  // namespace kro::block
