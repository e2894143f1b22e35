#include "foundation/unicode.hpp"

#include <algorithm>
#include <cstring>

#include "datatypes/binary.hpp"
#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"

namespace kro::unicode {

namespace {

#include "foundation/codepage_tables.inc"

// Byte classes (0-11) of the UTF-8 automaton, then its transitions indexed by
// state + class; states are multiples of 12, 0 accepts and 12 rejects.
constexpr uint8_t utf8_automaton[256 + 108] = {
    // 0x00-0x7F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x80-0x8F, 0x90-0x9F
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
    // 0xA0-0xBF
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    // 0xC0-0xC1 (overlong), 0xC2-0xDF
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    // 0xE0, 0xE1-0xEC, 0xED, 0xEE-0xEF, 0xF0, 0xF1-0xF3, 0xF4, 0xF5-0xFF
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    // transitions
    0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72,   // 0: start
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 12: rejected
    12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12,     // 24: one continuation byte left
    12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,  // 36: two left
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12,  // 48: after E0 (A0-BF)
    12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,  // 60: after ED (80-9F)
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 72: after F0 (90-BF)
    12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 84: after F1-F3
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 96: after F4 (80-8F)
};
constexpr int UTF8_ACCEPT = 0;
constexpr int UTF8_REJECT = 12;

[[noreturn]] void invalid_char(uint32_t cp) {
    Cell c{uint32_t(TYPE_INTEGER), 0, cp, 0};
    fire("script", "invalid-char", &c);
}

// The refused bytes travel as a binary!; never read past the input.
[[noreturn]] void invalid_utf8(const uint8_t* p, uint32_t available) {
    Cell bin;
    binary::load_in(p, std::min<uint32_t>(4, available), &bin);
    fire("access", "invalid-utf8", &bin);
}

void check_unit(int unit) {
    if (unit != 1 && unit != 2 && unit != 4) rt_error::no_switch_match();
}

inline bool fits(uint32_t cp, int unit) { return unit == 4 || (unit == 2 ? cp <= 0xFFFF : cp <= 0xFF); }

inline uint32_t utf16_at(const uint8_t* p, uint32_t i) { return uint32_t(p[2 * i]) | (uint32_t(p[2 * i + 1]) << 8); }

// Writes code points into a string buffer from its first unit on, widening and
// growing it as they come. Pointers into the buffer are re-derived after every
// growth: the buffer may move.
class Loader {
public:
    // node 0: a new unit-1 buffer with room for capacity units; otherwise that
    // buffer is reused (its content replaced, its unit kept).
    Loader(uint32_t node, uint32_t capacity) {
        if (capacity == 0) capacity = 1;  // an empty text still reserves one unit
        if (!node) {
            node_ = memory::new_series(capacity, 1, 0);
        } else {
            node_ = node;
            memory::Buffer* b = memory::buffer_of(node);
            check_unit(b->unit());
            uint64_t need = uint64_t(capacity) * uint32_t(b->unit());
            if (need > 0xF0000000u) fire("internal", "no-memory");
            if (b->size - b->offset < need) memory::expand_series(b, uint32_t(need));
        }
        memory::Buffer* b = memory::buffer_of(node_);
        unit_ = b->unit();
        pos_ = b->offset;
    }

    // Stores one code point; at_most bounds the code points still to come,
    // this one included, so that one growth makes room for the rest.
    void put(uint32_t cp, uint32_t at_most) {
        memory::Buffer* b = memory::buffer_of(node_);
        if (!fits(cp, unit_)) {
            b->tail = pos_;
            b = string::widen(b, unit_, cp > 0xFFFF ? 4 : 2);
            unit_ = b->unit();
            pos_ = b->tail;
        }
        if (uint64_t(pos_) + unit_ > b->size) {
            uint64_t need = uint64_t(pos_) + uint64_t(at_most) * uint32_t(unit_);
            if (need > 0xF0000000u) fire("internal", "no-memory");
            b->tail = pos_;
            b = memory::grow_series(b, uint32_t(need));
            pos_ = b->tail;
        }
        string::put_char(b->data() + pos_, unit_, cp);
        pos_ += uint32_t(unit_);
    }

    // Stores a run of n ASCII bytes at once; at_most as for put (at least n).
    void put_ascii(const uint8_t* p, uint32_t n, uint32_t at_most) {
        memory::Buffer* b = memory::buffer_of(node_);
        if (uint64_t(pos_) + uint64_t(n) * uint32_t(unit_) > b->size) {
            uint64_t need = uint64_t(pos_) + uint64_t(at_most) * uint32_t(unit_);
            if (need > 0xF0000000u) fire("internal", "no-memory");
            b->tail = pos_;
            b = memory::grow_series(b, uint32_t(need));
            pos_ = b->tail;
        }
        uint8_t* out = b->data() + pos_;
        if (unit_ == 1) {
            std::memcpy(out, p, n);
        } else {
            for (uint32_t i = 0; i < n; i++) string::put_char(out + i * uint32_t(unit_), unit_, p[i]);
        }
        pos_ += n * uint32_t(unit_);
    }

    uint32_t finish() {
        memory::buffer_of(node_)->tail = pos_;
        return node_;
    }

private:
    uint32_t node_;
    int unit_;
    uint32_t pos_;  // byte distance of the next unit from the data area's start
};

// Text held in the conversion buffer of a string, bounded by what the buffer holds.
const uint8_t* conversion_text(const Cell* str, uint32_t* length) {
    if (!str || !str->data3) {
        *length = 0;
        return nullptr;
    }
    memory::Buffer* b = memory::buffer_of(str->data3);
    *length = std::min(*length, b->size - b->offset);
    return b->head_ptr();
}

}  // namespace

// ---- UTF-8 decoding -------------------------------------------------------------

const uint8_t* fast_decode_utf8_char(const uint8_t* p, int32_t* cp) {
    uint32_t cls = utf8_automaton[*p];
    uint32_t code = (0xFFu >> cls) & *p;
    uint32_t state = utf8_automaton[256 + cls];
    p++;
    while (state != UTF8_ACCEPT && state != UTF8_REJECT) {
        cls = utf8_automaton[*p];
        code = (code << 6) | (*p & 0x3Fu);
        state = utf8_automaton[256 + state + cls];
        p++;
    }
    *cp = state == UTF8_ACCEPT ? int32_t(code) : -1;
    return p;
}

int32_t decode_utf8_char(const uint8_t* p, uint32_t* remaining) {
    uint32_t available = *remaining;
    if (available == 0) return -1;
    uint32_t b = p[0];
    if (b < 0x80) {
        *remaining = 1;
        return int32_t(b);
    }
    if (b < 0xC0 || b >= 0xF8) invalid_utf8(p, available);
    uint32_t need = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (available < need) return -1;
    for (uint32_t k = 1; k < need; k++)
        if ((p[k] & 0xC0) != 0x80) invalid_utf8(p, available);
    uint32_t cp;
    switch (need) {
        case 2:
            cp = ((b - 0xC0) << 6) | (p[1] - 0x80u);
            break;
        case 3:
            cp = ((b & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
            if (cp >= 0xDC00 && cp <= 0xDCFF) invalid_utf8(p, available);
            break;
        default:
            cp = ((b & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
            if (cp > 0x10FFFF) invalid_utf8(p, available);
            break;
    }
    *remaining = need;
    return int32_t(cp);
}

uint32_t count_utf8_chars(const uint8_t* start, const uint8_t* end) {
    uint32_t n = 0;
    for (; start < end; start++)
        if ((*start & 0xC0) != 0x80) n++;
    return n;
}

const uint8_t* skip_utf8_chars(const uint8_t* p, const uint8_t* limit, uint32_t n) {
    while (n > 0 && p < limit) {
        p++;
        while (p < limit && (*p & 0xC0) == 0x80) p++;
        n--;
    }
    return p;
}

int utf8_char_size(uint8_t lead) {
    if ((lead & 0xF0) == 0xF0) return 4;
    if ((lead & 0xE0) == 0xE0) return 3;
    if ((lead & 0xC0) == 0xC0) return 2;
    return 0;
}

// ---- UTF-8 from and to outside -------------------------------------------------

std::u32string decode_utf8_text(std::string_view text, bool surrogates) {
    std::u32string out;
    out.reserve(text.size());
    auto* p = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t i = 0, used = 0; i < text.size(); i += used) {
        int32_t cp = decode_utf8_checked(p + i, text.size() - i, &used, surrogates);
        out.push_back(cp < 0 ? 0xFFFD : char32_t(cp));
    }
    return out;
}

void append_utf8(std::string& out, uint32_t cp, bool surrogates) {
    if (cp > 0x10FFFF || (!surrogates && cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    uint8_t seq[4];
    out.append(reinterpret_cast<const char*>(seq), size_t(cp_to_utf8(cp, seq)));
}

std::string encode_utf8_text(std::u32string_view text, bool surrogates) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) append_utf8(out, c, surrogates);
    return out;
}

// ---- UTF-8 encoding -------------------------------------------------------------

int cp_utf8_size(uint32_t cp) {
    if (cp <= 0x7F) return 1;
    if (cp <= 0x7FF) return 2;
    if (cp <= 0xFFFF) return 3;
    if (cp <= 0x10FFFF) return 4;
    invalid_char(cp);
}

uint32_t utf8_size(const uint8_t* start, const uint8_t* end, int unit) {
    check_unit(unit);
    uint32_t n = 0;
    for (; start + unit <= end; start += unit) n += uint32_t(cp_utf8_size(string::get_char(start, unit)));
    return n;
}

int cp_to_utf8(uint32_t cp, uint8_t* dst) {
    if (cp <= 0x7F) {
        dst[0] = uint8_t(cp);
        return 1;
    }
    if (cp <= 0x7FF) {
        dst[0] = uint8_t(0xC0 | (cp >> 6));
        dst[1] = uint8_t(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp <= 0xFFFF) {
        dst[0] = uint8_t(0xE0 | (cp >> 12));
        dst[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
        dst[2] = uint8_t(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp <= 0x10FFFF) {
        dst[0] = uint8_t(0xF0 | (cp >> 18));
        dst[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
        dst[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
        dst[3] = uint8_t(0x80 | (cp & 0x3F));
        return 4;
    }
    invalid_char(cp);
}

int cp_to_utf8_limited(uint32_t cp, uint8_t* dst, uint32_t room) {
    uint8_t seq[4];
    int n = cp_to_utf8(cp, seq);
    int written = 0;
    for (int k = 0; k < n && room > uint32_t(k); k++) dst[written++] = seq[k];
    return written;
}

// ---- loading UTF-8 --------------------------------------------------------------

uint32_t load_utf8(const uint8_t* bytes, uint32_t length, uint32_t node, uint32_t* remaining, bool cr) {
    Loader out(node, length);
    const uint8_t* p = bytes;
    const uint8_t* end = bytes + length;
    if (length > 2 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
    uint32_t left = 0;
    while (p < end) {
        // runs of ASCII (up to a CR when CRs are read) go in at once
        if (*p < 0x80 && !(cr && *p == '\r')) {
            const uint8_t* q = p;
            while (q < end && *q < 0x80 && !(cr && *q == '\r')) q++;
            out.put_ascii(p, uint32_t(q - p), uint32_t(end - p));
            p = q;
            continue;
        }
        uint32_t n = uint32_t(end - p);
        int32_t cp = decode_utf8_char(p, &n);
        if (cp < 0) {
            left = uint32_t(end - p);
            break;
        }
        p += n;
        if (cr && cp == '\r') {
            if (p < end && *p == '\n') continue;
            cp = '\n';
        }
        out.put(uint32_t(cp), uint32_t(end - p) + 1);
    }
    if (remaining) *remaining = left;
    return out.finish();
}

uint32_t load_utf8_buffer(const uint8_t* bytes, uint32_t length, Cell* str, uint32_t* remaining) {
    return load_utf8(bytes, length, str->data2, remaining, false);
}

uint32_t load_utf8_plain(const uint8_t* bytes, uint32_t length) { return load_utf8(bytes, length, 0, nullptr, false); }

// ---- UTF-16LE -------------------------------------------------------------------

int utf16_unit_width(const uint8_t* text, uint32_t count) {
    int unit = 1;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t high = text[2 * i + 1];
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high) unit = 2;
    }
    return unit;
}

uint32_t load_utf16(const uint8_t* text, uint32_t count, Cell* str, bool cr) {
    uint32_t src_off = 0;  // arena offset of the text when it lies in the conversion buffer
    if (!text) {
        uint32_t bytes = count > 0x7FFFFFFFu ? 0xFFFFFFFFu : count * 2;
        text = conversion_text(str, &bytes);
        count = bytes / 2;
        src_off = arena::off(text);
    }
    int unit = count ? utf16_unit_width(text, count) : 1;
    uint64_t need = uint64_t(count ? count : 2) * uint32_t(unit);
    if (need > 0xF0000000u) fire("internal", "no-memory");
    uint32_t node;
    memory::Buffer* b;
    if (str) {
        node = str->data2;
        b = memory::buffer_of(node);
        if (b->size - b->offset < need) b = memory::expand_series(b, uint32_t(need));
        b->flags = (b->flags & ~memory::UNIT_MASK) | uint32_t(unit);
    } else {
        node = memory::new_series(uint32_t(need), 1, 0);
        b = memory::buffer_of(node);
        b->flags = (b->flags & ~memory::UNIT_MASK) | uint32_t(unit);
    }
    if (src_off) text = arena::ptr<const uint8_t>(src_off);
    uint8_t* out = b->data() + b->offset;
    uint32_t w = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t u = utf16_at(text, i);
        if (unit == 4 && u >= 0xD800 && u <= 0xDBFF) {
            uint32_t t = i + 1 < count ? utf16_at(text, i + 1) : 0;
            if (t < 0xDC00 || t > 0xDFFF) invalid_char(u);
            string::put_char(out + w, 4, 0x10000 + ((u & 0x3FF) << 10) + (t & 0x3FF));
            w += 4;
            i++;
            continue;
        }
        if (cr && u == '\r') continue;
        string::put_char(out + w, unit, u);
        w += uint32_t(unit);
    }
    b->tail = b->offset + w;
    return node;
}

uint32_t utf16_extra_bytes(const uint8_t* start, const uint8_t* end, int unit) {
    check_unit(unit);
    uint32_t extra = 0;
    for (; start + unit <= end; start += unit) {
        uint32_t cp = string::get_char(start, unit);
        if (cp == '\n' || cp > 0xFFFF) extra += 2;
    }
    return extra;
}

int cp_to_utf16(uint32_t cp, uint16_t* dst) {
    if (cp <= 0xFFFF) {
        dst[0] = uint16_t(cp);
        return 1;
    }
    if (cp <= 0x10FFFF) {
        cp -= 0x10000;
        dst[0] = uint16_t(0xD800 + (cp >> 10));
        dst[1] = uint16_t(0xDC00 + (cp & 0x3FF));
        return 2;
    }
    return 0;
}

uint16_t* ascii_to_utf16(const char* text, uint16_t* dst) {
    uint16_t* d = dst;
    while (*text) *d++ = uint8_t(*text++);
    *d = 0;
    return dst;
}

// ---- code page ------------------------------------------------------------------

uint32_t load_cp1251(const uint8_t* bytes, uint32_t length, Cell* str, bool cr) {
    uint32_t src_off = 0;
    if (!bytes) {
        bytes = conversion_text(str, &length);
        src_off = arena::off(bytes);
    }
    Loader out(str ? str->data2 : 0, length);
    if (src_off) bytes = arena::ptr<const uint8_t>(src_off);
    for (uint32_t i = 0; i < length; i++) {
        uint32_t cp = bytes[i] < 0x80 ? bytes[i] : cp1251_high[bytes[i] - 0x80];
        if (cr && cp == '\r') {
            if (i + 1 < length && bytes[i + 1] == '\n') continue;
            cp = '\n';
        }
        out.put(cp, length - i);
    }
    return out.finish();
}

}  // namespace kro::unicode
