#include "foundation/array.hpp"

#include <bit>
#include <cstring>

#include "foundation/arena.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"

namespace kro::series {

uint32_t reserve_tail(memory::Buffer* b, uint32_t n) {
    if (uint64_t(b->tail) + n > b->size) {
        uint64_t grown = 0;  // 0: the memory manager's default growth (twice the size)
        if (n > b->size) {
            // Rounded to 16 bytes so that no unit size truncates it below what is needed.
            grown = (uint64_t(b->size) + 2 * uint64_t(n) + 15) & ~uint64_t(15);
            if (grown > 0xF0000000u) fire("internal", "no-memory");
        }
        b = memory::grow_series(b, uint32_t(grown));
    }
    uint32_t old = b->tail;
    b->tail += n;
    return old;
}

}  // namespace kro::series

namespace kro::array {

using memory::Buffer;

namespace {

Buffer* buffer(uint32_t node) { return memory::buffer_of(node); }

uint32_t unit_shift(const Buffer* b) {
    uint32_t unit = uint32_t(b->unit());
    return unit ? uint32_t(std::countr_zero(unit)) : 0;
}

[[noreturn]] void out_of_range(uint64_t i) {
    Cell index{uint32_t(TYPE_INTEGER), 0, uint32_t(i), 0};
    fire("script", "out-of-range", &index);
}

// Address of `size` bytes at element i (1-based), all inside the used part.
uint8_t* element(uint32_t node, uint32_t i, uint32_t size) {
    Buffer* b = buffer(node);
    if (i < 1) out_of_range(i);
    uint64_t at = uint64_t(i - 1) << unit_shift(b);
    if (at + size > b->used_bytes()) out_of_range(i);
    return b->head_ptr() + at;
}

uint32_t read32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void write32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

int32_t find32(uint32_t node, uint32_t value) {
    Buffer* b = buffer(node);
    uint32_t used = b->used_bytes();
    const uint8_t* head = b->head_ptr();
    for (uint32_t at = 0; at + 4 <= used; at += 4) {
        if (read32(head + at) == value) return int32_t(at);
    }
    return -1;
}

void append32(uint32_t node, uint32_t value) {
    uint32_t at = series::reserve_tail(buffer(node), 4);
    write32(buffer(node)->data() + at, value);
}

}  // namespace

uint32_t make(uint32_t count, uint32_t unit) {
    switch (unit) {
        case 1: case 2: case 4: case 8: case 16: break;
        default: rt_error::no_switch_match();
    }
    return memory::new_series(count, unit, 0);
}

uint32_t length(uint32_t node) {
    Buffer* b = buffer(node);
    return b->used_bytes() >> unit_shift(b);
}

void clear(uint32_t node) {
    Buffer* b = buffer(node);
    b->tail = b->offset;
}

void set_length(uint32_t node, uint32_t n) {
    Buffer* b = buffer(node);
    // A length of 0 would put the tail before the first element.
    uint64_t bytes = n > 1 ? uint64_t(n - 1) << unit_shift(b) : 0;
    uint32_t used = b->used_bytes();
    if (bytes <= used) {
        b->tail = b->offset + uint32_t(bytes);
        return;
    }
    if (bytes > 0xF0000000u) fire("internal", "no-memory");
    uint32_t at = series::reserve_tail(b, uint32_t(bytes - used));
    std::memset(buffer(node)->data() + at, 0, size_t(bytes - used));
}

uint32_t copy(uint32_t node) { return memory::copy_series(buffer(node)); }

uint32_t flags(uint32_t node) { return buffer(node)->flags; }

void append_byte(uint32_t node, uint8_t value) {
    uint32_t at = series::reserve_tail(buffer(node), 1);
    buffer(node)->data()[at] = value;
}

void append_bytes(uint32_t node, const void* src, uint32_t n) {
    if (n == 0) return;
    Buffer* b = buffer(node);
    auto* from = static_cast<const uint8_t*>(src);
    // Bytes taken from the array itself move with it when it grows.
    bool own = from >= b->data() && from < b->end_ptr();
    uint32_t own_at = own ? uint32_t(from - b->data()) : 0;
    uint32_t at = series::reserve_tail(b, n);
    b = buffer(node);
    if (own) from = b->data() + own_at;
    std::memmove(b->data() + at, from, n);
}

void append_int(uint32_t node, int32_t value) { append32(node, uint32_t(value)); }

void append_ptr(uint32_t node, uint32_t value) { append32(node, value); }

uint32_t pick(uint32_t node, uint32_t i) { return read32(element(node, i, 4)); }

int32_t pick_int(uint32_t node, uint32_t i) { return int32_t(read32(element(node, i, 4))); }

uint8_t pick_byte(uint32_t node, uint32_t i) { return *element(node, i, 1); }

void poke_int(uint32_t node, uint32_t i, int32_t value) { write32(element(node, i, 4), uint32_t(value)); }

int32_t find_int(uint32_t node, int32_t value) { return find32(node, uint32_t(value)); }

int32_t find_pointer(uint32_t node, uint32_t value) { return find32(node, value); }

void insert_int(uint32_t node, uint32_t index, int32_t value) {
    Buffer* b = buffer(node);
    uint64_t at = uint64_t(index) * 4;
    if (at > b->used_bytes()) out_of_range(index);
    if (b->free_bytes() < 4) b = memory::grow_series(b, 0);
    uint8_t* p = b->head_ptr() + at;
    std::memmove(p + 4, p, b->used_bytes() - size_t(at));
    write32(p, uint32_t(value));
    b->tail += 4;
}

void remove_bytes(uint32_t node, uint32_t offset, uint32_t n) {
    Buffer* b = buffer(node);
    uint32_t used = b->used_bytes();
    if (uint64_t(offset) + n > used) out_of_range(uint64_t(offset) + n);
    uint8_t* p = b->head_ptr() + offset;
    std::memmove(p, p + n, used - offset - n);
    b->tail -= n;
}

void remove_pointer(uint32_t node, uint32_t value) {
    int32_t at = find32(node, value);
    if (at >= 0) remove_bytes(node, uint32_t(at), 4);
}

}  // namespace kro::array
