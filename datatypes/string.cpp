#include "datatypes/string.hpp"

#include <algorithm>
#include <cstring>

#include "foundation/fire.hpp"
#include "foundation/memory.hpp"
#include "foundation/unicode.hpp"

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

// ---- units, widening and conversions ----------------------------------------------

namespace {

using memory::Buffer;

void check_unit(int unit) {
    if (unit != 1 && unit != 2 && unit != 4) rt_error::no_switch_match();
}

// The units of a string from its head, at most part characters (negative: all).
struct Span {
    uint32_t node;
    uint32_t first;  // byte distance of the head's unit from the data area's start
    uint32_t count;
    int unit;
    const uint8_t* start() const { return memory::buffer_of(node)->data() + first; }
};

Span span_of(const Cell* str, int32_t part) {
    Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    check_unit(unit);
    uint32_t total = (b->tail - b->offset) / uint32_t(unit);
    uint32_t head = std::min(str->data1, total);
    uint32_t count = total - head;
    if (part >= 0 && uint32_t(part) < count) count = uint32_t(part);
    return Span{str->data2, b->offset + head * uint32_t(unit), count, unit};
}

// The string's conversion buffer with room for bytes bytes; made on first use,
// grown (never shrunk) afterwards. Its content is not kept.
Buffer* conversion_buffer(Cell* str, uint64_t bytes) {
    if (bytes > 0xF0000000u) fire("internal", "no-memory");
    if (str->data3) {
        Buffer* b = memory::buffer_of(str->data3);
        if (b->size - b->offset >= bytes) return b;
        return memory::expand_series(b, uint32_t(bytes));
    }
    str->data3 = memory::new_bytes(uint32_t(bytes));
    return memory::buffer_of(str->data3);
}

Buffer* widen_units(Buffer* b, int from, int to) {
    if (b->unit() != from) rt_error::no_switch_match();
    uint32_t n = (b->tail - b->offset) / uint32_t(from);
    // Room for the widened text and one more unit, so that the caller can store
    // the character that asked for the widening.
    uint64_t need = uint64_t(n) * uint32_t(to) + uint32_t(to);
    if (uint64_t(b->offset) + need > b->size) {
        if (need > 0xF0000000u) fire("internal", "no-memory");
        b = memory::grow_series(b, uint32_t(need));
    }
    uint8_t* d = b->data() + b->offset;
    for (uint32_t i = n; i-- > 0;) put_char(d + i * uint32_t(to), to, get_char(d + i * uint32_t(from), from));
    b->tail = b->offset + n * uint32_t(to);
    b->flags = (b->flags & ~memory::UNIT_MASK) | uint32_t(to);
    return b;
}

}  // namespace

uint32_t length_of(const Cell* str) { return span_of(str, -1).count; }

// ---- appending --------------------------------------------------------------------

namespace {

// Room for bytes more at the tail: grows to twice the used bytes plus those.
Buffer* room_for(Buffer* b, uint64_t bytes) {
    if (b->free_bytes() >= bytes) return b;
    uint64_t size = (uint64_t(b->used_bytes()) + bytes) * 2;
    if (size > 0xF0000000u) fire("internal", "no-memory");
    return memory::grow_series(b, uint32_t(size));
}

// The unit that a character appended to a buffer of that unit needs.
int append_unit(int unit, uint32_t cp) {
    if (unit == 1 && cp > 127) return cp > 0xFFFF ? 4 : 2;
    if (unit == 2 && cp > 0xFFFF) return 4;
    return unit;
}

}  // namespace

Buffer* append_char(Buffer* b, uint32_t cp) {
    int unit = b->unit();
    check_unit(unit);
    int need = append_unit(unit, cp);
    if (need != unit) {
        b = widen(b, unit, need);
        unit = need;
    }
    b = room_for(b, uint32_t(unit));
    put_char(b->tail_ptr(), unit, cp);
    b->tail += uint32_t(unit);
    return b;
}

void append_code_point(Cell* str, uint32_t cp) { append_char(memory::buffer_of(str->data2), cp); }

void append_utf8(Cell* str, const char* text, int32_t len) {
    auto* p = reinterpret_cast<const uint8_t*>(text);
    size_t n = len < 0 ? std::strlen(text) : size_t(len);
    Buffer* b = memory::buffer_of(str->data2);
    for (size_t i = 0; i < n;) {
        uint32_t cp = p[i];
        int size = unicode::utf8_char_size(p[i]);
        bool whole = size > 0 && i + size_t(size) <= n;
        for (int k = 1; whole && k < size; k++) whole = (p[i + size_t(k)] & 0xC0) == 0x80;
        if (whole) {
            cp = p[i] & (0x7Fu >> size);
            for (int k = 1; k < size; k++) cp = (cp << 6) | (p[i + size_t(k)] & 0x3Fu);
            i += size_t(size);
        } else {
            i++;  // ASCII, or a byte that starts no sequence: it stands for itself
        }
        b = append_char(b, cp);
    }
}

int32_t append_string(Cell* str, const Cell* source, int32_t part) {
    Span s = span_of(source, part);
    uint32_t source_node = s.node;
    uint32_t head = (s.first - memory::buffer_of(source_node)->offset) / uint32_t(s.unit);
    Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    check_unit(unit);
    if (unit < s.unit) {
        b = widen(b, unit, s.unit);
        unit = s.unit;
    }
    uint64_t bytes = uint64_t(s.count) * uint32_t(unit);
    b = room_for(b, bytes);
    // Found again after the growth: the source may be this very buffer.
    Buffer* src = memory::buffer_of(source_node);
    const uint8_t* from = src->head_ptr() + head * uint32_t(s.unit);
    uint8_t* to = b->tail_ptr();
    if (s.unit == unit) {
        std::memmove(to, from, size_t(bytes));
    } else {
        for (uint32_t i = 0; i < s.count; i++)
            put_char(to + i * uint32_t(unit), unit, get_char(from + i * uint32_t(s.unit), s.unit));
    }
    b->tail += uint32_t(bytes);
    return int32_t(s.count);
}

int32_t last_char(const Cell* str) {
    Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    check_unit(unit);
    if (b->tail - b->offset < uint32_t(unit)) return -1;
    return int32_t(get_char(b->tail_ptr() - unit, unit));
}

Buffer* widen_1_to_2(Buffer* b) { return widen_units(b, 1, 2); }
Buffer* widen_1_to_4(Buffer* b) { return widen_units(b, 1, 4); }
Buffer* widen_2_to_4(Buffer* b) { return widen_units(b, 2, 4); }

Buffer* widen(Buffer* b, int unit, int new_unit) {
    if (unit == new_unit) return b;
    if (unit == 1 && new_unit == 2) return widen_1_to_2(b);
    if (unit == 1 && new_unit == 4) return widen_1_to_4(b);
    if (unit == 2 && new_unit == 4) return widen_2_to_4(b);
    rt_error::no_switch_match();
}

uint32_t encode_utf8(Cell* str, int32_t* part, bool crlf) {
    Span s = span_of(str, part ? *part : -1);
    // The widest UTF-8 form of a unit, a LF written as CR LF included.
    uint32_t per_unit = s.unit == 1 ? 2 : s.unit == 2 ? 3 : 4;
    Buffer* cb = conversion_buffer(str, (uint64_t(s.count) + 1) * per_unit);
    uint8_t* out = cb->data() + cb->offset;
    const uint8_t* src = s.start();
    uint32_t n = 0;
    for (uint32_t i = 0; i < s.count; i++) {
        uint32_t cp = get_char(src + i * uint32_t(s.unit), s.unit);
        if (crlf && cp == '\n') out[n++] = '\r';
        n += uint32_t(unicode::cp_to_utf8(cp, out + n));
    }
    out[n] = 0;
    cb->tail = cb->offset + n;
    if (part) *part = int32_t(n);
    return str->data3;
}

const char* to_utf8_part(Cell* str, int32_t* part, bool crlf) {
    uint32_t node = encode_utf8(str, part, crlf);
    return reinterpret_cast<const char*>(memory::buffer_of(node)->head_ptr());
}

const char* to_utf8(Cell* str, int32_t* part) { return to_utf8_part(str, part, false); }

uint32_t to_utf8_into(const Cell* str, uint8_t* dst, int32_t part, bool nul) {
    Span s = span_of(str, part);
    const uint8_t* src = s.start();
    uint32_t n = 0;
    for (uint32_t i = 0; i < s.count; i++) n += uint32_t(unicode::cp_to_utf8(get_char(src + i * uint32_t(s.unit), s.unit), dst + n));
    if (nul) dst[n] = 0;
    return n;
}

uint32_t to_utf8_limited(const Cell* str, uint8_t* dst, uint32_t room, int32_t part, bool nul) {
    Span s = span_of(str, part);
    const uint8_t* src = s.start();
    uint32_t n = 0;
    for (uint32_t i = 0; i < s.count && n < room; i++)
        n += uint32_t(unicode::cp_to_utf8_limited(get_char(src + i * uint32_t(s.unit), s.unit), dst + n, room - n));
    if (nul && n < room) dst[n] = 0;
    return n;
}

const char* to_os(Cell* str, int32_t* part) {
    Span s = span_of(str, part ? *part : -1);
    Buffer* cb = conversion_buffer(str, uint64_t(s.count) * 4 + 1);
    uint8_t* out = cb->data() + cb->offset;
    const uint8_t* src = s.start();
    uint32_t n = 0;
    for (uint32_t i = 0; i < s.count; i++) {
        uint32_t cp = get_char(src + i * uint32_t(s.unit), s.unit);
        if (cp == 0 || cp > 0x10FFFF) return nullptr;
        n += uint32_t(unicode::cp_to_utf8(cp, out + n));
    }
    out[n] = 0;
    cb->tail = cb->offset + n;
    if (part) *part = int32_t(n);
    return reinterpret_cast<const char*>(out);
}

const char* to_os_full(Cell* str) { return to_os(str, nullptr); }

const uint16_t* to_utf16(Cell* str, int32_t* part, bool crlf) {
    Span s = span_of(str, part ? *part : -1);
    const uint8_t* src = s.start();
    uint32_t extra = unicode::utf16_extra_bytes(src, src + s.count * uint32_t(s.unit), s.unit);
    Buffer* cb = conversion_buffer(str, uint64_t(s.count) * 2 + 2 + extra);
    auto* out = reinterpret_cast<uint16_t*>(cb->data() + cb->offset);
    src = s.start();
    uint32_t n = 0;
    for (uint32_t i = 0; i < s.count; i++) {
        uint32_t cp = get_char(src + i * uint32_t(s.unit), s.unit);
        if (crlf && cp == '\n') out[n++] = '\r';
        int w = unicode::cp_to_utf16(cp, out + n);
        if (w == 0) return nullptr;
        n += uint32_t(w);
    }
    out[n] = 0;
    cb->tail = cb->offset + n * 2;
    if (part) *part = int32_t(n);
    return out;
}

}  // namespace kro::string
