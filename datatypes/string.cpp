#include "datatypes/string.hpp"

#include <cstring>

#include "foundation/memory.hpp"

namespace kro::string {

Cell* make_at(Cell* c, uint32_t capacity, int unit) {
    uint32_t node = memory::new_series_of_unit(capacity, uint32_t(unit));
    *c = Cell{uint32_t(TYPE_STRING), 0, node, 0};
    return c;
}

void concatenate_ascii(Cell* str, const char* text, int32_t len) {
    size_t n = len < 0 ? std::strlen(text) : size_t(len);
    memory::Buffer* b = memory::buffer_of(str->data2);
    uint32_t unit = uint32_t(b->unit());
    uint64_t need = uint64_t(n) * unit;
    if (b->free_bytes() < need) {
        uint64_t size = b->size ? uint64_t(b->size) * 2 : 16;
        while (size < b->used_bytes() + need) size *= 2;
        b = memory::grow_series(b, uint32_t(size));
    }
    uint8_t* p = b->tail_ptr();
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = uint8_t(text[i]);
        std::memcpy(p + i * unit, &cp, unit);  // little-endian: the low bytes first
    }
    b->tail += uint32_t(need);
}

std::string to_utf8(const Cell* str) {
    memory::Buffer* b = memory::buffer_of(str->data2);
    uint32_t unit = uint32_t(b->unit());
    std::string out;
    uint32_t start = b->offset + str->data1 * unit;
    for (uint32_t i = start; i + unit <= b->tail; i += unit) {
        uint32_t c = 0;
        std::memcpy(&c, b->data() + i, unit);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace kro::string
