#include "foundation/char_width.hpp"

#include <iterator>

namespace kro::unicode {

namespace {
#include "foundation/width_tables.inc"
}

bool in_ranges(uint32_t cp, const uint32_t* table, uint32_t count) {
    if (count < 2 || cp < table[0] || cp > table[count - 1]) return false;
    // Binary search for the last range starting at or below cp.
    uint32_t lo = 0, hi = count / 2;
    while (hi - lo > 1) {
        uint32_t mid = (lo + hi) / 2;
        if (table[2 * mid] <= cp) lo = mid;
        else hi = mid;
    }
    return cp >= table[2 * lo] && cp <= table[2 * lo + 1];
}

int char_width(uint32_t cp) {
    if (cp == 0) return 0;
    if (cp < 32 || (cp >= 0x7F && cp < 0xA0)) return 1;
    if (in_ranges(cp, zero_width_ranges, uint32_t(std::size(zero_width_ranges)))) return 0;
    if (in_ranges(cp, wide_ranges, uint32_t(std::size(wide_ranges)))) return 2;
    return 1;
}

int char_width_cjk(uint32_t cp) {
    int w = char_width(cp);
    // Combining marks and variation selectors are also ambiguous by East Asian
    // width, yet a terminal never gives them a column of their own.
    if (w == 1 && in_ranges(cp, ambiguous_ranges, uint32_t(std::size(ambiguous_ranges)))) return 2;
    return w;
}

}  // namespace kro::unicode
