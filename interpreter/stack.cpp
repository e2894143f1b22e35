#include "interpreter/stack.hpp"

#include "foundation/fire.hpp"
#include "foundation/memory.hpp"

namespace kro::stack {

Cell* bottom = nullptr;
Cell* arguments = nullptr;
Cell* top_ptr = nullptr;
Cell* limit = nullptr;

void init(uint32_t node) {
    memory::Buffer* b = memory::buffer_of(node);
    bottom = reinterpret_cast<Cell*>(b->head_ptr());
    arguments = top_ptr = bottom;
    limit = bottom + b->size / sizeof(Cell);
}

Cell* push_cell() {
    if (top_ptr >= limit) {
        top_ptr -= 5;
        if (top_ptr < bottom) top_ptr = bottom;
        fire("internal", "stack-overflow");
    }
    return top_ptr++;
}

Cell* push(const Cell* value) {
    Cell* c = push_cell();
    copy_cell(value, c);
    return c;
}

void pop(int32_t n) {
    top_ptr -= n;
    if (top_ptr < bottom) top_ptr = bottom;
}

void set_last(const Cell* value) { copy_cell(value, arguments); }

Cell* reset() {
    top_ptr = arguments;
    return arguments;
}

}  // namespace kro::stack
