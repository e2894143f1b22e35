#include "datatypes/string.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string_text.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/casing.hpp"
#include "foundation/fire.hpp"
#include "foundation/float_text.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/runtime.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

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

// =====================================================================================
// The internal API: views, navigation, single characters, concatenation, loading.
// =====================================================================================

namespace kro::string {

namespace {
constexpr uint64_t MAX_BYTES = 0xF0000000u;  // the most one buffer may hold
}

namespace detail {

uint32_t Text::get(uint32_t i) const { return get_char(at(i), unit); }

void check_unit(int unit) {
    if (unit != 1 && unit != 2 && unit != 4) rt_error::no_switch_match();
}

Text text_of(const Cell* v) {
    uint32_t t = v->header & TYPE_MASK;
    Text out;
    if (t == TYPE_SYMBOL) {
        Cell* sym = const_cast<Cell*>(v);
        if (!sym->data2) symbol::cache_utf8(sym);
        out.node = sym->data2;
    } else if (word::any_word_type(t)) {
        out.node = symbol::get(int32_t(v->data2))->data2;
    } else {
        out.node = v->data2;
        out.head = v->data1;
    }
    Buffer* b = memory::buffer_of(out.node);
    out.unit = b->unit();
    check_unit(out.unit);
    uint32_t full = (b->tail - b->offset) / uint32_t(out.unit);
    if (int32_t(out.head) < 0 || out.head > full) out.head = int32_t(out.head) < 0 ? 0 : full;
    out.count = full - out.head;
    if (t == hash::TEXT_SLICE && int32_t(v->data3) >= 0 && v->data3 < out.count) out.count = v->data3;
    return out;
}

void splice(Cell* str, const Text& source, uint32_t pos, uint32_t replace, uint32_t dup, int min_unit) {
    uint32_t node = str->data2;
    Buffer* b = memory::buffer_of(node);
    int unit = b->unit();
    check_unit(unit);
    uint32_t full = (b->tail - b->offset) / uint32_t(unit);
    if (pos > full) pos = full;
    if (replace > full - pos) replace = full - pos;
    uint64_t added = uint64_t(source.count) * dup;
    if (added > 0x7FFFFFFFu) fire("internal", "no-memory");
    uint64_t new_full = uint64_t(full) - replace + added;
    int new_unit = std::max({unit, source.unit, min_unit});
    // Sizes are signed 32-bit numbers: a text that would not fit is refused.
    if (new_full * uint32_t(new_unit) > 0x7FFFFFFFu) fire("internal", "no-memory");

    // Text taken from this very buffer is held aside: the gap below would move it.
    std::vector<uint8_t> held;
    bool same = source.node == node;
    if (same && added) held.assign(source.at(0), source.at(0) + uint64_t(source.count) * uint32_t(source.unit));

    if (new_unit != unit) {
        b = widen(b, unit, new_unit);
        unit = new_unit;
    }
    uint64_t need = uint64_t(b->offset) + new_full * uint32_t(unit);
    if (need > b->size) {
        uint64_t bytes = new_full * uint32_t(unit);
        uint64_t twice = uint64_t(b->size) * 2;
        uint64_t size = bytes >= twice ? bytes : std::max(twice, bytes);
        if (size > MAX_BYTES) size = bytes;
        b = memory::grow_series(b, uint32_t(size));
    }
    uint8_t* base = b->head_ptr();
    uint32_t u = uint32_t(unit);
    std::memmove(base + (pos + added) * u, base + uint64_t(pos + replace) * u, size_t(full - pos - replace) * u);
    if (added) {
        const uint8_t* from = same ? held.data() : source.at(0);
        uint8_t* to = base + uint64_t(pos) * u;
        if (source.unit == unit) {
            std::memcpy(to, from, size_t(source.count) * u);
        } else {
            for (uint32_t i = 0; i < source.count; i++)
                put_char(to + i * u, unit, get_char(from + i * uint32_t(source.unit), source.unit));
        }
        if (dup > 1) memory::repeat_fill(to, source.count * u, dup);
    }
    b->tail = b->offset + uint32_t(new_full * u);
}

Cell form_value(Cell* value, int32_t limit) {
    gc::Rooted out;
    make_at(out.get(), 16, 1);
    Cell v = *value;
    Cell part = int_cell(limit);
    actions::form(&v, out.get(), limit >= 0 ? &part : nullptr, limit >= 0 ? limit : mold::NO_LIMIT);
    if (limit >= 0) {
        Buffer* b = memory::buffer_of(out->data2);
        uint64_t keep = uint64_t(limit) * uint32_t(b->unit());
        if (b->tail - b->offset > keep) b->tail = b->offset + uint32_t(keep);
    }
    return out.cell;
}

}  // namespace detail

using detail::Text;
using detail::text_of;

// ---- reading and navigating -------------------------------------------------------

uint32_t char_at(const Cell* str, uint32_t index) {
    Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    check_unit(unit);
    return get_char(b->head_ptr() + uint64_t(index) * uint32_t(unit), unit);
}

uint32_t ks_full_length(const Cell* str) {
    Buffer* b = memory::buffer_of(str->data2);
    check_unit(b->unit());
    return (b->tail - b->offset) / uint32_t(b->unit());
}

uint8_t* ks_head(Cell* str) {
    uint32_t full = ks_full_length(str);
    if (int32_t(str->data1) < 0) str->data1 = 0;
    if (str->data1 > full) str->data1 = full;
    Buffer* b = memory::buffer_of(str->data2);
    return b->head_ptr() + uint64_t(str->data1) * uint32_t(b->unit());
}

uint8_t* ks_tail(const Cell* str) { return memory::buffer_of(str->data2)->tail_ptr(); }

bool ks_tail_q(const Cell* str) { return int32_t(str->data1) >= int32_t(ks_full_length(str)); }

uint32_t ks_length(const Cell* str) { return length_of(str); }

bool ks_skip(Cell* str, int32_t n) {
    int64_t full = ks_full_length(str);
    int64_t h = int64_t(int32_t(str->data1)) + n;
    if (h >= 0 && h <= full) str->data1 = uint32_t(h);
    return int32_t(str->data1) >= full;
}

bool ks_next(Cell* str) { return ks_skip(str, 1); }

Cell* ks_reset(Cell* str) {
    Buffer* b = memory::buffer_of(str->data2);
    b->tail = b->offset;
    b->flags = (b->flags & ~memory::UNIT_MASK) | 1u;
    str->data1 = 0;
    return str;
}

int32_t ks_find_char(const Cell* str, uint32_t cp) {
    Text t = text_of(str);
    for (uint32_t i = 0; i < t.count; i++)
        if (t.get(i) == cp) return int32_t(i);
    return -1;
}

bool ks_has_char(const Cell* str, uint32_t cp, int32_t step, bool exact) {
    Text t = text_of(str);
    if (step < 1) step = 1;
    uint32_t want = exact ? cp : casing::convert(cp, true);
    for (uint32_t i = 0; i < t.count; i += uint32_t(step)) {
        uint32_t c = t.get(i);
        if ((exact ? c : casing::convert(c, true)) == want) return true;
    }
    return false;
}

bool ks_starts_with(const Cell* str, const char* text) {
    Text t = text_of(str);
    size_t n = std::strlen(text);
    if (t.count < n) return false;
    for (size_t i = 0; i < n; i++)
        if (t.get(uint32_t(i)) != uint8_t(text[i])) return false;
    return true;
}

// ---- making -----------------------------------------------------------------------

Cell* ks_make_at(Cell* c, uint32_t n) { return make_at(c, n ? n : 1, 1); }

Cell* make_at_unit(Cell* c, uint32_t n, int unit) {
    check_unit(unit);
    return make_at(c, n ? n : 1, unit);
}

Cell* push(const Cell* str) { return stack::push(str); }

// ---- single characters --------------------------------------------------------------

void ks_truncate(Buffer* b, uint32_t n) {
    uint64_t end = uint64_t(n) * uint32_t(b->unit());
    if (uint64_t(b->offset) + end <= b->size && b->tail - b->offset > end) b->tail = b->offset + uint32_t(end);
}

void ks_remove(Cell* str, uint32_t index, uint32_t count) {
    Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    check_unit(unit);
    uint32_t full = (b->tail - b->offset) / uint32_t(unit);
    if (index >= full) return;
    if (count > full - index) count = full - index;
    uint8_t* at = b->head_ptr() + index * uint32_t(unit);
    std::memmove(at, at + count * uint32_t(unit), size_t(full - index - count) * uint32_t(unit));
    b->tail -= count * uint32_t(unit);
}

void ks_remove_char(Cell* str, uint32_t index) { ks_remove(str, index, 1); }

Buffer* poke_char(Buffer* b, uint32_t index, uint32_t cp) {
    int unit = b->unit();
    check_unit(unit);
    int need = detail::poke_unit_of(cp);
    if (need > unit) {
        b = widen(b, unit, need);
        unit = need;
    }
    put_char(b->head_ptr() + uint64_t(index) * uint32_t(unit), unit, cp);
    return b;
}

Buffer* overwrite_char(Buffer* b, uint32_t index, uint32_t cp) {
    int unit = b->unit();
    check_unit(unit);
    int need = detail::poke_unit_of(cp);
    if (need > unit) {
        b = widen(b, unit, need);
        unit = need;
    }
    uint64_t end = uint64_t(b->offset) + (uint64_t(index) + 1) * uint32_t(unit);
    if (end > MAX_BYTES) fire("internal", "no-memory");
    // Grown until the unit fits, however far past the tail the index lies.
    while (end > b->size) {
        uint64_t size = std::max<uint64_t>(uint64_t(b->size) * 2, end);
        b = memory::grow_series(b, uint32_t(std::min<uint64_t>(size, MAX_BYTES)));
    }
    uint32_t at = b->offset + index * uint32_t(unit);
    if (at > b->tail) std::memset(b->data() + b->tail, 0, at - b->tail);
    put_char(b->data() + at, unit, cp);
    if (at >= b->tail) b->tail = at + uint32_t(unit);
    return b;
}

Buffer* insert_char(Buffer* b, uint32_t index, uint32_t cp) {
    int unit = b->unit();
    check_unit(unit);
    int need = detail::poke_unit_of(cp);
    if (need > unit) {
        b = widen(b, unit, need);
        unit = need;
    }
    b = room_for(b, uint32_t(unit));
    uint32_t full = (b->tail - b->offset) / uint32_t(unit);
    if (index > full) index = full;
    uint8_t* at = b->head_ptr() + index * uint32_t(unit);
    std::memmove(at + unit, at, size_t(full - index) * uint32_t(unit));
    put_char(at, unit, cp);
    b->tail += uint32_t(unit);
    return b;
}

Buffer* widen_copy(Buffer* src, Buffer* dst, uint32_t size, int new_unit, uint32_t src_start, uint32_t dst_start,
                   uint32_t src_end, bool keep) {
    int unit = src->unit();
    if (!((unit == 1 && (new_unit == 2 || new_unit == 4)) || (unit == 2 && new_unit == 4))) rt_error::no_case_match();
    uint32_t src_full = (src->tail - src->offset) / uint32_t(unit);
    if (src_end == 0 || src_end > src_full) src_end = src_full;
    if (src_start > src_end) src_start = src_end;
    uint32_t n = src_end - src_start;
    uint64_t end = (uint64_t(dst_start) + n) * uint32_t(new_unit);
    if (end > MAX_BYTES) fire("internal", "no-memory");
    std::vector<uint8_t> held(src->head_ptr() + uint64_t(src_start) * uint32_t(unit),
                              src->head_ptr() + uint64_t(src_end) * uint32_t(unit));
    if (!dst) dst = memory::expand_series(src, std::max<uint32_t>(size, uint32_t(end)));
    if (uint64_t(dst->offset) + end > dst->size) dst = memory::grow_series(dst, uint32_t(end));
    uint8_t* out = dst->head_ptr() + uint64_t(dst_start) * uint32_t(new_unit);
    for (uint32_t i = 0; i < n; i++)
        put_char(out + i * uint32_t(new_unit), new_unit, get_char(held.data() + i * uint32_t(unit), unit));
    if (!keep) {
        dst->tail = dst->offset + uint32_t(end);
        dst->flags = (dst->flags & ~memory::UNIT_MASK) | uint32_t(new_unit);
    }
    return dst;
}

// ---- concatenation --------------------------------------------------------------------

void concatenate(Cell* str, const Cell* source, int32_t part, uint32_t offset, bool keep_source, int mode) {
    Text s = text_of(source);
    int unit = memory::buffer_of(str->data2)->unit();
    if (!keep_source && s.unit < unit && s.node != str->data2) {
        widen(memory::buffer_of(s.node), s.unit, unit);
        s = text_of(source);
    }
    if (part >= 0 && uint32_t(part) < s.count) s.count = uint32_t(part);
    Cell target = *str;
    uint32_t full = ks_full_length(&target);
    uint32_t head = std::min<uint32_t>(std::max<int32_t>(int32_t(target.data1), 0), full);
    switch (mode) {
        case APPEND: detail::splice(&target, s, full, 0, 1, 1); break;
        case INSERT: detail::splice(&target, s, head + offset, 0, 1, 1); break;
        case OVERWRITE: detail::splice(&target, s, head + offset, s.count, 1, 1); break;
        default: rt_error::no_switch_match();
    }
}

void append_literal(Cell* str, const char* text) {
    Buffer* b = memory::buffer_of(str->data2);
    for (const char* p = text; *p; p++) b = append_char(b, uint8_t(*p));
}

void append_bytes(Cell* str, const uint8_t* bytes, uint32_t n) {
    Buffer* b = memory::buffer_of(str->data2);
    for (uint32_t i = 0; i < n; i++) b = append_char(b, bytes[i]);
}

// ---- loading ------------------------------------------------------------------------------

Cell* load_at(const uint8_t* bytes, uint32_t length, Cell* out, int32_t encoding) {
    uint32_t node;
    if (encoding == ENCODING_UTF8) {
        // Every caller hands over a whole text: one that stops inside a
        // sequence is refused as a bad byte anywhere else is, not cut short.
        uint32_t left = 0;
        node = unicode::load_utf8(bytes, length, 0, &left, false);
        if (left) {
            Cell bin;
            binary::load_in(bytes + length - left, left, &bin);
            fire("access", "invalid-utf8", &bin);
        }
    } else if (encoding == ENCODING_UTF16LE) {
        node = unicode::load_utf16(bytes, length / 2, nullptr, false);
    } else {
        // The loaders know two encodings; any other is the caller's fault, and
        // an error rather than the end of the process.
        Cell e = detail::int_cell(encoding);
        fire("script", "invalid-arg", &e);
    }
    Cell* c = out ? out : stack::push_cell();
    *c = Cell{uint32_t(TYPE_STRING), 0, node, 0};
    return c;
}

Cell* load_in(const uint8_t* bytes, uint32_t length, Cell* block, int32_t encoding) {
    Cell s;
    load_at(bytes, length, &s, encoding);
    Cell* c = block::add_cell(block);
    *c = s;
    return c;
}

Cell* load_root(const uint8_t* bytes, uint32_t length, int32_t encoding) {
    return load_in(bytes, length, &runtime::root, encoding);
}

Cell* load(const uint8_t* bytes, uint32_t length, int32_t encoding) {
    return load_at(bytes, length, nullptr, encoding);
}

Cell* load_utf8_checked(const uint8_t* bytes, uint32_t length) {
    uint32_t at = 0;
    int32_t cp = 0;
    // one guarded walk over the whole text: ASCII bytes are single characters
    uint32_t code = frame::catch_region(code::ERROR, [&] {
        while (at < length) {
            if (bytes[at] < 0x80) {
                at++;
                continue;
            }
            uint32_t n = length - at;
            cp = unicode::decode_utf8_char(bytes + at, &n);
            if (cp < 0) return;
            at += n;
        }
    });
    if (code || cp < 0) {
        // The argument holds everything from the first bad byte on.
        Cell bin;
        binary::load_in(bytes + at, length - at, &bin);
        fire("access", "invalid-utf8", &bin);
    }
    return load_at(bytes, length, nullptr, ENCODING_UTF8);
}

// ---- numbers and hexadecimal ------------------------------------------------------------

double scan_float(const char* text, int32_t length) {
    int32_t rest = 0;
    return floatx::parse(text, text + std::max(length, 0), 0, &rest);
}

namespace {
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
}

std::string byte_to_hex(uint8_t byte) { return {HEX_DIGITS[byte >> 4], HEX_DIGITS[byte & 15]}; }

std::string int_to_hex(int32_t value, bool trim) {
    char buf[8];
    int i = 8;
    int32_t sign = value < 0 ? -1 : 0;
    do {
        buf[--i] = HEX_DIGITS[value & 15];
        value >>= 4;  // arithmetic: a negative value ends at -1
    } while (value != sign && i > 0);
    if (trim) {
        if (sign == 0 && i == 7 && buf[7] == '0') return "00";
        return std::string(buf + i, size_t(8 - i));
    }
    while (i > 0) buf[--i] = sign ? 'F' : '0';
    return std::string(buf, 8);
}

namespace {
constexpr size_t SCRATCH_SIZE = 65536;
std::vector<uint8_t>& scratch() {
    static std::vector<uint8_t> s(SCRATCH_SIZE);
    return s;
}
}  // namespace

void swap_runs(uint8_t* p, uint32_t len1, uint8_t* run2, uint32_t len2, uint32_t gap) {
    std::vector<uint8_t>& s = scratch();
    uint32_t small = std::min(len1, len2);
    if (s.size() < small) s.resize(small);
    if (len1 <= len2) {
        std::memcpy(s.data(), p, len1);
        std::memmove(p, run2, len2);
        std::memcpy(p + len2 + gap, s.data(), len1);
    } else {
        std::memcpy(s.data(), run2, len2);
        std::memmove(p + len2 + gap, p, len1);
        std::memcpy(p, s.data(), len2);
    }
    if (s.size() > SCRATCH_SIZE) {
        s.resize(SCRATCH_SIZE);
        s.shrink_to_fit();
    }
}

// =====================================================================================
// Form, mold and comparison.
// =====================================================================================

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    Text t = text_of(value);
    int32_t n = part ? std::clamp<int64_t>(limit, 0, t.count) : -1;
    concatenate(buffer, value, n, 0, true, APPEND);
    return limit - int32_t(t.count);
}

namespace {

// The character written after "^" for the code points below 0x5F, or 0.
uint8_t escape_of(uint32_t cp) {
    if (cp == 0x09) return '-';
    if (cp == 0x0A) return '/';
    if (cp == 0x22) return '"';
    if (cp == 0x5E) return '^';
    if (cp <= 0x1F && cp != 0x1E) return uint8_t(0x40 + cp);
    return 0;
}

void put_ascii(Cell* buffer, const char* text) { concatenate_ascii(buffer, text, -1); }

}  // namespace

void append_escaped_char(Cell* buffer, uint32_t cp, bool escape, bool all) {
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 0x7F)) {
        std::string text = "^(" + int_to_hex(int32_t(cp), true) + ")";
        concatenate_ascii(buffer, text.c_str(), int32_t(text.size()));
        return;
    }
    if (escape && cp < 0x5F) {
        if (uint8_t e = escape_of(cp)) {
            char text[2] = {'^', char(e)};
            concatenate_ascii(buffer, text, 2);
            return;
        }
    }
    if (escape && cp == 0x7F) {
        put_ascii(buffer, "^~");
        return;
    }
    append_code_point(buffer, cp);
}

void count_quotes_and_lines(const Cell* str, uint32_t from, uint32_t count, int32_t* quotes, int32_t* lines) {
    *quotes = 0;
    *lines = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t c = char_at(str, from + i);
        if (c == '"') ++*quotes;
        if (c == '\n') ++*lines;
    }
}

bool brace_closes(const Cell* str, uint32_t at, uint32_t end) {
    int32_t depth = 1;
    for (uint32_t i = at + 1; i < end; i++) {
        uint32_t c = char_at(str, i);
        if (c == '{') {
            depth++;
        } else if (c == '}') {
            if (depth == 1) return true;
            depth--;
        }
    }
    return false;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell* part, int32_t limit, int32_t) {
    Text t = text_of(value);
    uint32_t span = t.count;
    if (part) span = uint32_t(std::clamp<int64_t>(limit, 0, t.count));
    // Read through the node at every character: the buffer may be the value's own.
    Cell src{uint32_t(TYPE_STRING), 0, t.node, 0};
    uint32_t first = t.head, end = t.head + span;
    int32_t quotes, lines;
    count_quotes_and_lines(&src, first, span, &quotes, &lines);
    bool braces = lines >= 3 || quotes > 0 || t.count >= 50;
    put_ascii(buffer, braces ? "{" : "\"");
    int32_t depth = 0;
    bool checking = true;
    for (uint32_t i = first; i < end; i++) {
        uint32_t c = char_at(&src, i);
        if (!braces) {
            append_escaped_char(buffer, c, true, all);
        } else if (c == '{') {
            if (checking && brace_closes(&src, i, end)) {
                put_ascii(buffer, "{");
                depth++;
            } else {
                checking = false;
                put_ascii(buffer, "^{");
            }
        } else if (c == '}') {
            if (depth < 1) {
                put_ascii(buffer, "^}");
            } else {
                put_ascii(buffer, "}");
                depth--;
            }
        } else if (c == '"') {
            put_ascii(buffer, "\"");
        } else if (c == '^') {
            put_ascii(buffer, "^^");
        } else {
            append_escaped_char(buffer, c, true, all);
        }
    }
    put_ascii(buffer, braces ? "}" : "\"");
    return limit - int32_t(span) - 2;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (value1->type() != value2->type()) {
        if (!series::is_text_kind(value2->type()) || (op != actions::EQUAL && op != actions::NOT_EQUAL)) return -2;
    }
    return compare_text(value1, value2, op, false);
}

namespace {
bool plain_equality(int32_t op) {
    return op == actions::EQUAL || op == actions::NOT_EQUAL || op == actions::STRICT_EQUAL || op == actions::FIND;
}
}  // namespace

int32_t compare_text(const Cell* value1, const Cell* value2, int32_t op, bool match) {
    Text a = text_of(value1), b = text_of(value2);
    bool same = a.node == b.node && a.head == b.head;
    if (op == actions::SAME) return same && a.count == b.count ? 0 : -1;
    if (same && a.count == b.count && plain_equality(op)) return 0;
    uint32_t l1 = a.count, l2 = b.count, n;
    if (match) {
        if (l2 == 0) return op == actions::FIND ? 1 : 0;
        if (l1 < l2) return 1;
        n = l2;
    } else {
        if (l1 != l2 && (plain_equality(op) || l2 == 0)) return 1;
        if (l1 == 0 && l2 == 0) return 0;
        n = std::min(l1, l2);
    }
    bool fold = op != actions::STRICT_EQUAL && op != actions::CASE_SORT;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c1 = a.get(i), c2 = b.get(i);
        if (fold) {
            c1 = casing::convert(c1, true);
            c2 = casing::convert(c2, true);
        }
        if (c1 != c2) return c1 > c2 ? 1 : -1;
    }
    if (match) return 0;
    return l1 < l2 ? -1 : l1 > l2 ? 1 : 0;
}

namespace {

template <int UNIT>
int sort_compare(const void* a, const void* b, intptr_t op, uint32_t flags) {
    auto* p = static_cast<const uint8_t*>(a);
    auto* q = static_cast<const uint8_t*>(b);
    bool all = flags & 2;
    uint32_t n = flags >> 2;
    uint32_t count = all ? n : 1, offset = all ? 0 : n;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t c1 = get_char(p + (offset + i) * UNIT, UNIT), c2 = get_char(q + (offset + i) * UNIT, UNIT);
        if (!op) {
            if constexpr (UNIT == 1) {
                // the 1-byte order folds only the ASCII capitals, to lower case
                if (c1 >= 'A' && c1 <= 'Z') c1 += 32;
                if (c2 >= 'A' && c2 <= 'Z') c2 += 32;
            } else {
                c1 = casing::convert(c1, true);
                c2 = casing::convert(c2, true);
            }
        }
        if (c1 != c2) {
            int r = c1 < c2 ? -1 : 1;
            return (flags & 1) ? -r : r;
        }
    }
    return 0;
}

}  // namespace

int sort_compare_1(const void* a, const void* b, intptr_t op, uint32_t flags) { return sort_compare<1>(a, b, op, flags); }
int sort_compare_2(const void* a, const void* b, intptr_t op, uint32_t flags) { return sort_compare<2>(a, b, op, flags); }
int sort_compare_4(const void* a, const void* b, intptr_t op, uint32_t flags) { return sort_compare<4>(a, b, op, flags); }

// ---- parse helpers ----------------------------------------------------------------------

bool head_in_bitset(const Cell* str, const Cell* bitset) {
    Text t = text_of(str);
    if (t.count == 0) return false;
    uint32_t c = t.get(0);
    Buffer* bits = memory::buffer_of(bitset->data2);
    uint32_t byte = c >> 3;
    if (byte >= bits->tail - bits->offset) return (bits->flags & memory::FLAG_COMPLEMENT) != 0;
    return (bits->head_ptr()[byte] & (0x80u >> (c & 7))) != 0;
}

bool tag_around(const Cell* str, const Cell* tag) {
    Text t = text_of(str);
    Text g = text_of(tag);
    return t.count >= g.count + 2 && t.get(0) == '<' && t.get(g.count + 1) == '>';
}

bool match_head(const Cell* str, const Cell* value, int32_t op) {
    Type vt = value->type();
    if (vt == TYPE_CHAR) {
        Text t = text_of(str);
        if (t.count == 0) return false;
        uint32_t c = t.get(0), v = value->data2;
        if (op != actions::STRICT_EQUAL) {
            c = casing::convert(c, true);
            v = casing::convert(v, true);
        }
        return c == v;
    }
    if (vt == TYPE_TAG) {
        if (!tag_around(str, value)) return false;
        Cell inner = *str;
        inner.data1 = text_of(str).head + 1;
        return compare_text(&inner, value, op, true) == 0;
    }
    return compare_text(str, value, op, true) == 0;
}

}  // namespace kro::string
