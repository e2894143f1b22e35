#include "foundation/mold.hpp"

#include <cmath>
#include <cstring>

#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/heap.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::mold {

int32_t depth = 0;

namespace {

uint32_t* cycle_base = nullptr;
int32_t cycle_top = 0;  // entries in use

}  // namespace

void init() {
    if (cycle_base) return;
    cycle_base = static_cast<uint32_t*>(heap::alloc_zeroed(sizeof(uint32_t) * CYCLE_CAPACITY));
    cycle_top = 0;
}

int32_t indent(Cell* buffer, int32_t level, int32_t limit) {
    for (int32_t i = 0; i < level; i++) string::concatenate_ascii(buffer, "    ", 4);
    return level > 0 ? limit - 4 * level : limit;
}

void cycle_push(uint32_t node) {
    init();
    cycle_base[cycle_top++] = node;
    if (cycle_top >= CYCLE_CAPACITY) {
        cycle_reset();
        fire("internal", "too-deep");
    }
}

void cycle_pop() {
    if (cycle_top > 0) cycle_top--;
}

void cycle_drop(int32_t n) {
    if (n <= 0) return;
    cycle_top = n >= cycle_top ? 0 : cycle_top - n;
}

void cycle_reset() { cycle_top = 0; }

bool cycle_find(uint32_t node) {
    for (int32_t i = 0; i < cycle_top; i++)
        if (cycle_base[i] == node) return true;
    return false;
}

int32_t cycle_depth() { return cycle_top; }

void cycle_truncate(int32_t d) {
    if (d >= 0 && d < cycle_top) cycle_top = d;
}

uint32_t* cycle_entries() { return cycle_base; }

uint32_t cycle_node_of(const Cell* value) {
    switch (value->type()) {
        case TYPE_OBJECT:
        case TYPE_ERROR:
        case TYPE_PORT:
            return value->data1;
        default:
            return value->data2;
    }
}

bool cycle_mark(const Cell* value, Cell* buffer, int32_t* limit, bool mold) {
    if (!cycle_find(cycle_node_of(value))) return false;
    const char* marker = "...";
    if (mold) {
        switch (value->type()) {
            case TYPE_BLOCK:
            case TYPE_HASH:
                marker = "[...]";
                break;
            case TYPE_PAREN:
                marker = "(...)";
                break;
            case TYPE_MAP:
                marker = "#[...]";
                break;
            case TYPE_OBJECT:
            case TYPE_ERROR:
            case TYPE_PORT:
                marker = "make object! [...]";
                break;
            default:
                break;  // paths, and any other container
        }
    }
    int32_t n = int32_t(std::strlen(marker));
    string::concatenate_ascii(buffer, marker, n);
    *limit -= n;
    return true;
}

}  // namespace kro::mold

namespace kro::convert {

int32_t int_of_number(const Cell* value) {
    Type t = value->type();
    if (t != TYPE_FLOAT && t != TYPE_PERCENT) return int32_t(value->data2);
    double d = value->get_float();
    // The comparisons are false for NaN, which therefore raises too.
    if (!(d <= 2147483647.0 && d >= -2147483648.0)) fire("script", "out-of-range", value);
    return int32_t(std::trunc(d));
}

Cell* form_new(Cell* part, int32_t limit) {
    Cell* value = stack::arguments;
    Cell* out = stack::push_cell();
    string::make_at(out, 16, 1);
    int32_t budget = limit > 0 ? limit : mold::NO_LIMIT;
    actions::form(value, out, part, budget);
    if (limit > 0) {
        memory::Buffer* b = memory::buffer_of(out->data2);
        uint32_t keep = uint32_t(limit) * uint32_t(b->unit());
        if (b->tail - b->offset > keep) b->tail = b->offset + keep;
    }
    return out;
}

}  // namespace kro::convert

namespace kro::memory {

uint8_t* repeat_fill(uint8_t* buffer, uint32_t n, uint32_t count) {
    uint64_t total = uint64_t(n) * count;
    if (count == 0) return buffer;
    uint64_t done = n;
    while (total - done >= done && done > 0) {
        std::memcpy(buffer + done, buffer, size_t(done));
        done *= 2;
    }
    if (done < total) std::memcpy(buffer + done, buffer, size_t(total - done));
    return buffer + total;
}

}  // namespace kro::memory
