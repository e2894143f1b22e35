#include "foundation/casing.hpp"

#include <algorithm>
#include <cstddef>

#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/ownership.hpp"

namespace kro::casing {

namespace {

#include "foundation/case_tables.inc"

// Direct tables for the Basic Multilingual Plane, one entry per code point (0:
// no mapping). They are built while compiling, so lookups need no start-up step
// and cannot run before one.
struct Direct {
    uint16_t map[0x10000];
};

template <size_t N>
constexpr Direct build_direct(const uint32_t (&pairs)[N]) {
    Direct d{};
    for (size_t i = 0; i < N; i += 2) {
        // Simple case mappings never leave the plane; a table that did would
        // not compile.
        if (pairs[i] > 0xFFFF || pairs[i + 1] > 0xFFFF || pairs[i + 1] == 0) throw "case pair outside the plane";
        d.map[pairs[i]] = uint16_t(pairs[i + 1]);
    }
    return d;
}

constexpr Direct upper_direct = build_direct(to_upper_bmp);
constexpr Direct lower_direct = build_direct(to_lower_bmp);

// Pairs above the plane, sorted by source: a binary search over the sources.
template <size_t N>
uint32_t lookup_above(const uint32_t (&pairs)[N], uint32_t cp) {
    constexpr size_t count = N / 2;
    if (cp < pairs[0] || cp > pairs[N - 2]) return cp;
    size_t lo = 0, hi = count;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (pairs[2 * mid] < cp) lo = mid + 1;
        else hi = mid;
    }
    return lo < count && pairs[2 * lo] == cp ? pairs[2 * lo + 1] : cp;
}

bool is_text(Type t) {
    switch (t) {
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            return true;
        default:
            return false;
    }
}

}  // namespace

uint32_t convert(uint32_t cp, bool upper) {
    if (cp <= 0xFFFF) {
        uint32_t m = upper ? upper_direct.map[cp] : lower_direct.map[cp];
        return m ? m : cp;
    }
    return upper ? lookup_above(to_upper_above, cp) : lookup_above(to_lower_above, cp);
}

uint32_t swap(uint32_t cp) {
    uint32_t u = convert(cp, true);
    return u != cp ? u : convert(cp, false);
}

uint32_t to_upper_fast(uint32_t cp) {
    if (cp <= 0xFFFF) {
        uint32_t m = upper_direct.map[cp];
        return m ? m : cp;
    }
    return lookup_above(to_upper_above, cp);
}

void change_case(Cell* value, const Cell* part, bool upper) {
    if (value->is(TYPE_CHAR)) {
        value->data2 = convert(value->data2, upper);
        return;
    }
    if (!is_text(value->type())) fire("script", "invalid-arg", value);

    memory::Buffer* b = memory::buffer_of(value->data2);
    int unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) rt_error::no_switch_match();
    uint32_t total = (b->tail - b->offset) / uint32_t(unit);
    if (value->data1 > total) value->data1 = total;  // a head past the tail reads as the tail
    uint32_t head = value->data1;
    uint32_t length = total - head;

    int64_t count = length;
    if (part && !part->is(TYPE_NONE)) {
        if (part->is(TYPE_INTEGER)) {
            count = int32_t(part->data2);
        } else if (part->type() == value->type() && part->data2 == value->data2) {
            count = int64_t(part->data1) - int64_t(head);
        } else {
            series::bad_refine("part", part);
        }
    }
    count = std::clamp<int64_t>(count, 0, length);

    hashtable::changing(b->flags);
    for (uint32_t i = head; i < head + uint32_t(count); i++) {
        uint32_t at = b->offset + i * uint32_t(unit);
        uint32_t c = string::get_char(b->data() + at, unit);
        uint32_t m = convert(c, upper);
        if (m == c) continue;
        if ((unit == 1 && m > 0xFF) || (unit == 2 && m > 0xFFFF)) {
            b = string::widen(b, unit, m > 0xFFFF ? 4 : 2);
            unit = b->unit();
            at = b->offset + i * uint32_t(unit);
        }
        string::put_char(b->data() + at, unit, m);
    }
    // the string's owner hears of the change, even of one of no characters
    Cell action{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(upper ? "uppercase" : "lowercase")), uint32_t(-1)};
    ownership::check(value, &action, nullptr, int32_t(head), int32_t(count));
}

}  // namespace kro::casing
