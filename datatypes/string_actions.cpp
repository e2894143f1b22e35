// The actions of string!, which file!, url! and the other text types inherit:
// making and converting text, path access, the modifying actions and searching.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/string_text.hpp"
#include "datatypes/word.hpp"
#include "foundation/casing.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "foundation/sort.hpp"
#include "foundation/support.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::string {

using memory::Buffer;
using detail::int_cell;
using detail::Text;
using detail::text_of;

namespace {

bool is_block_like(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

// Text values appended by their characters (tag! gets its brackets, the rest is formed).
bool appends_as_text(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_EMAIL || t == TYPE_REF;
}

bool is_function(uint32_t t) {
    return t == TYPE_FUNCTION || t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_ROUTINE;
}

uint32_t head_clamped(const Cell* s) { return uint32_t(series::head_of(s)); }

uint32_t full_of(const Cell* s) { return uint32_t(series::ks_full_length(s)); }


// ---- what append, insert and change add --------------------------------------------------

// The text a value adds: a text value's own characters, or a string made for
// it (a char!, a tag! in its brackets, the formed values of a block, the form
// of anything else). part limits the characters taken (negative: all).
struct Piece {
    gc::Rooted made;
    Text text;
    int min_unit = 1;
};

void piece_of(Cell* value, int32_t part, Piece& out) {
    uint32_t t = value->type();
    if (appends_as_text(t)) {
        out.made.cell = *value;  // rooted for as long as the piece lives
        out.text = text_of(value);
    } else if (t == TYPE_CHAR) {
        make_at(out.made.get(), 1, 1);
        append_code_point(out.made.get(), value->data2);
        out.text = text_of(out.made.get());
        out.min_unit = detail::append_unit_of(value->data2);
        return;  // a char is one character whatever part says
    } else if (t == TYPE_TAG) {
        make_at(out.made.get(), 16, 1);
        append_code_point(out.made.get(), '<');
        append_string(out.made.get(), value);
        append_code_point(out.made.get(), '>');
        out.text = text_of(out.made.get());
    } else if (is_block_like(t)) {
        make_at(out.made.get(), 16, 1);
        gc::Rooted blk(*value);
        int32_t budget = part >= 0 ? part : mold::NO_LIMIT;
        Cell limit = int_cell(part);
        for (int32_t i = series::head_of(blk.get()); i < series::ks_full_length(blk.get()); i++) {
            if (part >= 0 && int32_t(length_of(out.made.get())) >= part) break;
            Cell c = *block::ks_abs_at(blk.get(), i);
            budget = actions::form(&c, out.made.get(), part >= 0 ? &limit : nullptr, budget);
        }
        out.text = text_of(out.made.get());
    } else {
        out.made.cell = detail::form_value(value, part);
        out.text = text_of(out.made.get());
    }
    if (part >= 0 && uint32_t(part) < out.text.count) out.text.count = uint32_t(part);
}

uint32_t copies(int32_t dup) { return dup < 1 ? 0 : uint32_t(dup); }

}  // namespace

// ---- making and converting ------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    if (spec->is(TYPE_INTEGER) || spec->is(TYPE_FLOAT)) {
        int32_t n = convert::int_of_number(spec);
        if (n < 0) fire("script", "out-of-range", spec);
        uint32_t node = memory::new_bytes(uint32_t(n));
        *proto = Cell{uint32_t(type), 0, node, 0};
        return proto;
    }
    if (type == TYPE_BINARY) {
        if (spec->is(TYPE_MONEY)) {
            Cell dt = detail::datatype_cell(TYPE_BINARY);
            fire("script", "bad-make-arg", &dt, spec);
        }
        return binary::to(proto, spec, type);
    }
    return to(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, int32_t type) {
    gc::Rooted result;
    uint32_t t = spec->type();
    if (t == TYPE_NONE) {
        Cell dt = detail::datatype_cell(TYPE_STRING);
        fire("script", "bad-to-arg", &dt, spec);
    } else if (is_block_like(t)) {
        Piece p;
        piece_of(spec, -1, p);
        result.cell = p.made.cell;
    } else if (series::is_text_kind(t)) {
        series::copy(spec, result.get(), nullptr, false, nullptr);
    } else if (t == TYPE_REFINEMENT) {
        make_at(result.get(), 16, 1);
        Cell r = *spec;
        if (type == TYPE_STRING)
            actions::form(&r, result.get(), nullptr, mold::NO_LIMIT);
        else
            actions::mold(&r, result.get(), false, false, false, nullptr, mold::NO_LIMIT, 0);
    } else if (t == TYPE_BINARY) {
        Buffer* b = memory::buffer_of(spec->data2);
        uint32_t h = head_clamped(spec);
        std::vector<uint8_t> bytes(b->head_ptr() + h, b->tail_ptr());
        result.cell = *load_utf8_checked(bytes.data(), uint32_t(bytes.size()));
        stack::pop(1);
    } else {
        result.cell = detail::form_value(spec, -1);
    }
    result->header = uint32_t(type);
    result->data1 = 0;
    *proto = result.cell;
    return proto;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool case_, bool,
                bool, bool) {
    gc::Rooted s(*parent);
    if (element->is(TYPE_INTEGER)) {
        int32_t n = convert::int_of_number(element);
        Cell index = *element;
        if (value) {
            Cell v = *value;
            series::poke(s.get(), n, &v, &index);
            *parent = v;
        } else {
            Cell* e = series::pick(s.get(), n, &index);
            *parent = *e;
        }
        return parent;
    }
    if (element->is(TYPE_WORD)) fire("script", "invalid-path", path, element);
    if (!value) {
        select(s.get(), element, nullptr, false, case_, false, false, nullptr, nullptr, false, false);
        *parent = s.cell;
        return parent;
    }
    find(s.get(), element, nullptr, false, case_, false, false, nullptr, nullptr, false, false, false, false);
    if (s->is(TYPE_NONE)) fire("script", "bad-path-set", path, element);
    Cell v = *value;
    Cell index = int_cell(2);
    series::poke(s.get(), 2, &v, &index);
    *parent = v;
    return parent;
}

// ---- append, insert, change ------------------------------------------------------------------

Cell* append(Cell* str, Cell* value, int32_t part, bool, int32_t dup, bool) {
    Piece p;
    piece_of(value, part, p);
    uint32_t full = full_of(str);
    uint64_t added = uint64_t(p.text.count) * copies(dup);
    series::Notify ev(str, series::Event::APPEND, int32_t(full), int32_t(std::min<uint64_t>(added, 0x7FFFFFFF)));
    p.text.node = p.made->data2;  // the owner's handler may have moved the text
    detail::splice(str, p.text, full, 0, copies(dup), p.min_unit);
    ev.done();
    str->data1 = 0;
    return str;
}

Cell* insert(Cell* str, Cell* value, int32_t part, bool only, int32_t dup, bool append_) {
    if (append_) return append(str, value, part, only, dup, true);
    Piece p;
    piece_of(value, part, p);
    uint32_t h = head_clamped(str);
    uint64_t added = uint64_t(p.text.count) * copies(dup);
    series::Notify ev(str, series::Event::INSERT, int32_t(h), int32_t(std::min<uint64_t>(added, 0x7FFFFFFF)));
    p.text.node = p.made->data2;  // the owner's handler may have moved the text
    detail::splice(str, p.text, h, 0, copies(dup), p.min_unit);
    ev.done();
    str->data1 = uint32_t(h + added);
    return str;
}

Cell* change(Cell* str, Cell* value, int32_t part, bool, int32_t dup) {
    // /part counts the characters replaced, never those taken from the value.
    Piece p;
    piece_of(value, -1, p);
    uint32_t h = head_clamped(str);
    uint32_t remain = full_of(str) - h;
    uint64_t added = uint64_t(p.text.count) * copies(dup);
    uint32_t replace = part >= 0 ? std::min<uint32_t>(uint32_t(part), remain)
                                 : uint32_t(std::min<uint64_t>(added, remain));
    series::Notify ev(str, series::Event::CHANGE, int32_t(h), int32_t(replace));
    p.text.node = p.made->data2;  // the owner's handler may have moved the text
    detail::splice(str, p.text, h, replace, copies(dup), p.min_unit);
    ev.done();
    str->data1 = uint32_t(h + added);
    return str;
}

// ---- find and select ----------------------------------------------------------------------------

namespace {

// What a vector element that is no code point reads as in a text search.
constexpr uint32_t NO_CODE = 0xFFFFFFFFu;

// The series being searched: text and binary! by unit, vector! by element.
struct Searched {
    Cell cell;
    int unit;
    uint32_t head, full;
    bool text, vector;

    uint32_t unit_at(uint32_t i) const {
        if (vector) {
            // a vector's element stands for the code point of its value: elements
            // are signed, may be 8 bytes wide or fractional, and then match no text
            double d = number_at(i);
            return d >= 0.0 && d <= 0x10FFFF && d == std::floor(d) ? uint32_t(d) : NO_CODE;
        }
        return get_char(memory::buffer_of(cell.data2)->head_ptr() + uint64_t(i) * uint32_t(unit), unit);
    }
    double number_at(uint32_t i) const {
        Cell c = cell;
        c.data1 = i;
        const Cell* e = series::pick(&c, 1, nullptr);
        return e->is(TYPE_FLOAT) || e->is(TYPE_PERCENT) ? e->get_float() : double(int32_t(e->data2));
    }
};

Searched searched_of(const Cell* s) {
    Searched out;
    out.cell = *s;
    out.unit = memory::buffer_of(s->data2)->unit();
    out.full = full_of(s);
    out.head = head_clamped(s);
    out.text = series::is_text_kind(s->type());
    out.vector = s->is(TYPE_VECTOR);
    if (!out.vector) detail::check_unit(out.unit);
    return out;
}

// What is searched for: one character (or byte), a bitset's members, a run of
// text, or a number element of a vector!.
struct Pattern {
    enum Kind { CHAR, BITSET, TEXT, NUMBER } kind = CHAR;
    uint32_t cp = 0;
    double number = 0;
    gc::Rooted held;  // the value, or the string made for it
    Text text;

    uint32_t length() const { return kind == TEXT ? text.count : 1; }
};

bool in_bitset(const Cell* bitset, uint32_t c) {
    Buffer* bits = memory::buffer_of(bitset->data2);
    uint32_t byte = c >> 3;
    if (byte >= bits->tail - bits->offset) return (bits->flags & memory::FLAG_COMPLEMENT) != 0;
    return (bits->head_ptr()[byte] & (0x80u >> (c & 7))) != 0;
}

// A string holding the UTF-8 bytes of a text value, one byte per unit, for
// searches in a binary!.
Cell utf8_bytes_of(const Text& t) {
    std::string bytes;
    for (uint32_t i = 0; i < t.count; i++) {
        uint8_t seq[4];
        int n = unicode::cp_to_utf8(t.get(i), seq);
        bytes.append(reinterpret_cast<const char*>(seq), size_t(n));
    }
    Cell out;
    make_at(&out, uint32_t(bytes.size()) + 1, 1);
    concatenate_ascii(&out, bytes.data(), int32_t(bytes.size()));
    return out;
}

void pattern_of(const Searched& s, Cell* value, bool fold, Pattern& p) {
    uint32_t t = value->type();
    bool binary = s.cell.is(TYPE_BINARY);
    if (s.vector && (t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_CHAR)) {
        p.kind = Pattern::NUMBER;
        p.number = t == TYPE_FLOAT || t == TYPE_PERCENT ? value->get_float() : double(int32_t(value->data2));
    } else if (t == TYPE_CHAR || (binary && t == TYPE_INTEGER)) {
        p.kind = Pattern::CHAR;
        p.cp = fold ? casing::convert(value->data2, true) : value->data2;
    } else if (t == TYPE_BITSET) {
        p.kind = Pattern::BITSET;
        p.held.cell = *value;
    } else if (t == TYPE_BINARY) {
        if (!binary) fire("script", "invalid-arg", value);
        p.kind = Pattern::TEXT;
        p.held.cell = *value;
        p.text = text_of(value);
    } else if (binary && (appends_as_text(t) || t == TYPE_WORD)) {
        p.kind = Pattern::TEXT;
        p.held.cell = utf8_bytes_of(text_of(value));
        p.text = text_of(p.held.get());
    } else if (appends_as_text(t) || t == TYPE_WORD) {
        p.kind = Pattern::TEXT;
        p.held.cell = *value;
        p.text = text_of(value);
    } else {
        // anything else is searched as its formed text, a tag! with its brackets
        p.kind = Pattern::TEXT;
        if (t == TYPE_TAG) {
            Piece piece;
            piece_of(value, -1, piece);
            p.held.cell = piece.made.cell;
        } else {
            p.held.cell = detail::form_value(value, -1);
        }
        if (binary) p.held.cell = utf8_bytes_of(text_of(p.held.get()));
        p.text = text_of(p.held.get());
    }
}

bool matches_at(const Searched& s, const Pattern& p, uint32_t pos, bool fold) {
    switch (p.kind) {
        case Pattern::NUMBER:
            return s.number_at(pos) == p.number;
        case Pattern::CHAR: {
            uint32_t c = s.unit_at(pos);
            return (fold ? casing::convert(c, true) : c) == p.cp;
        }
        case Pattern::BITSET: {
            uint32_t c = s.unit_at(pos);
            return c != NO_CODE && in_bitset(&p.held.cell, c);
        }
        case Pattern::TEXT:
            for (uint32_t i = 0; i < p.text.count; i++) {
                uint32_t a = s.unit_at(pos + i), b = p.text.get(i);
                if (fold) {
                    a = casing::convert(a, true);
                    b = casing::convert(b, true);
                }
                if (a != b) return false;
            }
            return true;
    }
    return false;
}

// The fast searches over a window [lo, hi) of a string or binary!: a run of
// text in time linear in the window whatever the pattern (memmem on bytes when
// no case folds, else Knuth-Morris-Pratt over the folded characters; backwards,
// the same over the reversed pattern), and one character by a plain loop
// (memchr/memrchr on bytes). Each answers the first match from its end of the
// window (the last start for a backward search), or -1.
template <int UNIT, bool FOLD>
int64_t kmp_scan(const uint8_t* base, int64_t lo, int64_t hi, bool backward, const std::vector<uint32_t>& pat,
                 const std::vector<int32_t>& fail) {
    int64_t k = int64_t(pat.size());
    int64_t q = 0;  // characters of the pattern matched so far
    int64_t n = hi - lo;
    for (int64_t j = 0; j < n; j++) {
        int64_t i = backward ? hi - 1 - j : lo + j;
        uint32_t c = get_char(base + i * UNIT, UNIT);
        if constexpr (FOLD) c = casing::convert(c, true);
        while (q > 0 && pat[size_t(q)] != c) q = fail[size_t(q - 1)];
        if (pat[size_t(q)] == c) q++;
        if (q == k) return backward ? i : i - k + 1;
    }
    return -1;
}

int64_t scan_text(const Searched& s, const Pattern& p, int64_t lo, int64_t hi, bool fold, bool backward) {
    int64_t k = p.text.count;
    if (hi - lo < k) return -1;
    const uint8_t* base = memory::buffer_of(s.cell.data2)->head_ptr();
    std::vector<uint32_t> pat(static_cast<size_t>(k));
    bool bytes = true;
    for (int64_t i = 0; i < k; i++) {
        uint32_t c = p.text.get(uint32_t(i));
        pat[size_t(backward ? k - 1 - i : i)] = fold ? casing::convert(c, true) : c;
        bytes = bytes && c <= 0xFF;
    }
    if (!fold && s.unit == 1) {
        if (!bytes) return -1;  // a wider character never sits in a byte-wide text
        if (!backward) {
            std::string needle(pat.begin(), pat.end());
            const void* at = memmem(base + lo, size_t(hi - lo), needle.data(), needle.size());
            return at ? static_cast<const uint8_t*>(at) - base : -1;
        }
    }
    std::vector<int32_t> fail(static_cast<size_t>(k), 0);
    for (int64_t i = 1, q = 0; i < k; i++) {
        while (q > 0 && pat[size_t(i)] != pat[size_t(q)]) q = fail[size_t(q - 1)];
        if (pat[size_t(i)] == pat[size_t(q)]) q++;
        fail[size_t(i)] = int32_t(q);
    }
    switch (s.unit * 2 + (fold ? 1 : 0)) {
        case 2: return kmp_scan<1, false>(base, lo, hi, backward, pat, fail);
        case 3: return kmp_scan<1, true>(base, lo, hi, backward, pat, fail);
        case 4: return kmp_scan<2, false>(base, lo, hi, backward, pat, fail);
        case 5: return kmp_scan<2, true>(base, lo, hi, backward, pat, fail);
        case 8: return kmp_scan<4, false>(base, lo, hi, backward, pat, fail);
        case 9: return kmp_scan<4, true>(base, lo, hi, backward, pat, fail);
        default: rt_error::no_switch_match();
    }
}

template <int UNIT, bool FOLD>
int64_t char_loop(const uint8_t* base, int64_t lo, int64_t hi, bool backward, uint32_t cp) {
    int64_t n = hi - lo;
    for (int64_t j = 0; j < n; j++) {
        int64_t i = backward ? hi - 1 - j : lo + j;
        uint32_t c = get_char(base + i * UNIT, UNIT);
        if constexpr (FOLD) c = casing::convert(c, true);
        if (c == cp) return i;
    }
    return -1;
}

// cp is the pattern's character, already folded when fold is set.
int64_t scan_char(const Searched& s, uint32_t cp, int64_t lo, int64_t hi, bool fold, bool backward) {
    if (hi <= lo) return -1;
    const uint8_t* base = memory::buffer_of(s.cell.data2)->head_ptr();
    if (!fold && s.unit == 1) {
        if (cp > 0xFF) return -1;
        const void* at = backward ? memrchr(base + lo, int(cp), size_t(hi - lo))
                                  : memchr(base + lo, int(cp), size_t(hi - lo));
        return at ? static_cast<const uint8_t*>(at) - base : -1;
    }
    switch (s.unit * 2 + (fold ? 1 : 0)) {
        case 2: return char_loop<1, false>(base, lo, hi, backward, cp);
        case 3: return char_loop<1, true>(base, lo, hi, backward, cp);
        case 4: return char_loop<2, false>(base, lo, hi, backward, cp);
        case 5: return char_loop<2, true>(base, lo, hi, backward, cp);
        case 8: return char_loop<4, false>(base, lo, hi, backward, cp);
        case 9: return char_loop<4, true>(base, lo, hi, backward, cp);
        default: rt_error::no_switch_match();
    }
}

// The window's first (or, backwards, last) match, for the kinds that have a
// fast search; `handled` is cleared for the others.
int64_t scan_window(const Searched& s, const Pattern& p, int64_t lo, int64_t hi, bool fold, bool backward,
                    bool* handled) {
    *handled = !s.vector && (p.kind == Pattern::TEXT || p.kind == Pattern::CHAR);
    if (!*handled) return -1;
    if (p.kind == Pattern::CHAR) return scan_char(s, p.cp, lo, hi, fold, backward);
    return scan_text(s, p, lo, hi, fold, backward);
}

// The search shared by find and select: the position of the match (-1 for
// none) and, in *length, the characters it covers.
int64_t search(const Cell* series, Cell* value, Cell* part, bool case_, bool same, bool any, Cell* with,
               Cell* skip, bool last, bool reverse, bool match, uint32_t* length) {
    Searched s = searched_of(series);
    if (s.full == 0) return -1;
    if (!reverse && s.head >= s.full) return -1;
    if (any || with) fire("internal", "not-done");
    int64_t step = 1;
    if (skip) {
        if (!skip->is(TYPE_INTEGER)) series::bad_refine("skip", skip);
        step = convert::int_of_number(skip);
        if (step < 1) fire("script", "out-of-range", skip);
    }
    int64_t limit = -1;
    if (part) {
        limit = series::part_count(series, part);
        // backwards, a position before the head bounds the search as its distance
        if (reverse && !part->is(TYPE_INTEGER)) limit = -limit;
        if (limit < 1) return -1;
    }
    bool fold = s.text && !case_ && !same;
    Pattern p;
    pattern_of(s, value, fold, p);
    int64_t k = p.length();
    *length = uint32_t(k);
    if (k == 0) return -1;

    int64_t head = s.head, full = s.full;
    bool handled = false;
    if (reverse) {
        if (head == 0 || match) return -1;
        int64_t lo = limit >= 0 ? std::max<int64_t>(0, head - limit) : 0;
        if (step == 1) {
            int64_t at = scan_window(s, p, lo, head, fold, true, &handled);
            if (handled) return at;
        }
        for (int64_t pos = head - k; pos >= lo; pos -= step)
            if (matches_at(s, p, uint32_t(pos), fold)) return pos;
        return -1;
    }
    int64_t hi = limit >= 0 ? std::min(full, head + limit) : full;
    if (last) {
        if (step == 1 && !match) {
            int64_t at = scan_window(s, p, head, hi, fold, true, &handled);
            if (handled) return at;
        }
        // backwards from the end of the range down to the head
        for (int64_t pos = hi - k; pos >= head; pos -= step) {
            if (matches_at(s, p, uint32_t(pos), fold)) return pos;
            if (match) break;
        }
        return -1;
    }
    if (step == 1 && !match) {
        int64_t at = scan_window(s, p, head, hi, fold, false, &handled);
        if (handled) return at;
    }
    for (int64_t pos = head; pos + k <= hi; pos += step) {
        if (matches_at(s, p, uint32_t(pos), fold)) return pos;
        if (match) break;
    }
    return -1;
}

}  // namespace

Cell* find(Cell* series, Cell* value, Cell* part, bool, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
    uint32_t k = 0;
    int64_t pos = search(series, value, part, case_, same, any, with, skip, last, reverse, match, &k);
    if (pos < 0) {
        *series = none::value;
        return series;
    }
    series->data1 = uint32_t(pos + (tail ? k : 0));
    return series;
}

Cell* select(Cell* series, Cell* value, Cell* part, bool, bool case_, bool same, bool any, Cell* with, Cell* skip,
             bool last, bool reverse) {
    uint32_t k = 0;
    int64_t pos = search(series, value, part, case_, same, any, with, skip, last, reverse, false, &k);
    int64_t at = pos + k;
    if (pos < 0 || at >= full_of(series)) {
        *series = none::value;
        return series;
    }
    Cell s = *series;
    s.data1 = uint32_t(at);
    Cell* e = series::pick(&s, 1, nullptr);
    *series = *e;
    return series;
}

// ---- sort --------------------------------------------------------------------------------------

namespace {

// Integer vectors order as signed numbers, char vectors as code points.
template <int UNIT, bool SIGNED>
int element_compare(const void* a, const void* b, intptr_t, uint32_t flags) {
    int64_t x, y;
    if constexpr (UNIT == 1) {
        x = SIGNED ? int64_t(*static_cast<const int8_t*>(a)) : int64_t(*static_cast<const uint8_t*>(a));
        y = SIGNED ? int64_t(*static_cast<const int8_t*>(b)) : int64_t(*static_cast<const uint8_t*>(b));
    } else if constexpr (UNIT == 2) {
        uint16_t p, q;
        std::memcpy(&p, a, 2);
        std::memcpy(&q, b, 2);
        x = SIGNED ? int64_t(int16_t(p)) : int64_t(p);
        y = SIGNED ? int64_t(int16_t(q)) : int64_t(q);
    } else {
        int32_t p, q;
        std::memcpy(&p, a, 4);
        std::memcpy(&q, b, 4);
        x = p;
        y = q;
    }
    int r = x < y ? -1 : x > y ? 1 : 0;
    return (flags & 1) ? -r : r;
}

template <class F>
int float_compare(const void* a, const void* b, intptr_t, uint32_t flags) {
    F x, y;
    std::memcpy(&x, a, sizeof(F));
    std::memcpy(&y, b, sizeof(F));
    int r = x < y ? -1 : x > y ? 1 : 0;  // a NaN compares equal to anything
    return (flags & 1) ? -r : r;
}

sort::Compare comparator_for(const Cell* s, int unit) {
    if (s->is(TYPE_VECTOR)) {
        uint32_t elem = s->data3;
        if (elem == TYPE_FLOAT || elem == TYPE_PERCENT) return unit == 4 ? &float_compare<float> : &float_compare<double>;
        bool chars = elem == TYPE_CHAR;
        switch (unit) {
            case 1: return chars ? &element_compare<1, false> : &element_compare<1, true>;
            case 2: return chars ? &element_compare<2, false> : &element_compare<2, true>;
            case 4: return &element_compare<4, true>;
            default: rt_error::no_switch_match();
        }
    }
    switch (unit) {
        case 1: return &sort_compare_1;
        case 2: return &sort_compare_2;
        case 4: return &sort_compare_4;
        default: rt_error::no_switch_match();
    }
}

// What the comparator of sort/compare needs besides the two elements.
struct CallContext {
    gc::Rooted function;
    Cell series;      // the type and, for a vector!, its element type
    int unit = 1;
    uint32_t record = 0;  // characters per record with /all and /skip, else 0
};

Cell element_value(const CallContext& ctx, const uint8_t* p) {
    if (ctx.record) {
        Cell s;
        make_at(&s, ctx.record, ctx.unit);
        Buffer* b = memory::buffer_of(s.data2);
        std::memcpy(b->head_ptr(), p, size_t(ctx.record) * uint32_t(ctx.unit));
        b->tail = b->offset + ctx.record * uint32_t(ctx.unit);
        return s;
    }
    if (ctx.series.is(TYPE_BINARY)) return int_cell(*p);
    if (ctx.series.is(TYPE_VECTOR)) {
        // one element read through pick, from a scratch vector over the element
        uint32_t node = memory::new_series(1, uint32_t(ctx.unit), 0);
        Buffer* b = memory::buffer_of(node);
        std::memcpy(b->head_ptr(), p, size_t(ctx.unit));
        b->tail = b->offset + uint32_t(ctx.unit);
        Cell v{uint32_t(TYPE_VECTOR), 0, node, ctx.series.data3};
        return *series::pick(&v, 1, nullptr);
    }
    return detail::char_cell(get_char(p, ctx.unit));
}

// The function's answer as an order: true after, false before; a number n
// orders as -n would; none before; anything else after.
int order_of(const Cell* r) {
    switch (r->type()) {
        case TYPE_LOGIC: return r->data1 ? 1 : -1;
        case TYPE_INTEGER: {
            int32_t n = int32_t(r->data2);
            return n > 0 ? -1 : n < 0 ? 1 : 0;
        }
        case TYPE_FLOAT: {
            double d = r->get_float();
            return d > 0.0 ? -1 : d < 0.0 ? 1 : 0;
        }
        case TYPE_NONE: return -1;
        default: return 1;
    }
}

int call_compare(const void* a, const void* b, intptr_t op, uint32_t flags) {
    auto* ctx = reinterpret_cast<CallContext*>(op);
    if (!actions::call_comparator) fire("internal", "feature-na");
    auto* p = static_cast<const uint8_t*>(a);
    auto* q = static_cast<const uint8_t*>(b);
    // Reversed, the function sees the elements in their order; otherwise the
    // other way round, so that a "lesser than" function sorts ascending.
    gc::Rooted first(element_value(*ctx, (flags & 1) ? p : q));
    gc::Rooted second(element_value(*ctx, (flags & 1) ? q : p));
    gc::Rooted result;
    actions::call_comparator(ctx->function.get(), first.get(), second.get(), result.get());
    return order_of(result.get());
}

}  // namespace

Cell* sort(Cell* s, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool stable) {
    Buffer* b = memory::buffer_of(s->data2);
    int unit = b->unit();
    if (!s->is(TYPE_VECTOR)) detail::check_unit(unit);
    int64_t h = head_clamped(s);
    int64_t len = int64_t(full_of(s)) - h;
    if (part) {
        int64_t n = series::part_count(s, part);
        if (n < 0) {
            // the characters just before the head; the head moves back to them
            if (-n > h) {
                s->data1 = 0;
                return s;
            }
            h += n;
            len = -n;
            s->data1 = uint32_t(h);
        } else if (n < len) {
            len = n;
        }
    }
    if (len <= 0) return s;
    int64_t size = 1;
    if (skip) {
        if (!skip->is(TYPE_INTEGER)) series::bad_refine("skip", skip);
        size = convert::int_of_number(skip);
        if (size < 1 || len % size != 0 || len < size) series::bad_refine("skip", skip);
    }
    if (all && !skip) fire("script", "bad-refines");
    uint32_t flags = reverse ? 1u : 0u;
    if (all) flags |= 2u | uint32_t(size << 2);
    bool by_function = false;
    if (comparator) {
        if (is_function(comparator->type())) {
            by_function = true;
        } else if (comparator->is(TYPE_INTEGER)) {
            if (!skip || all) fire("script", "bad-refines");
            int32_t offset = convert::int_of_number(comparator);
            if (offset < 1 || offset > size) fire("script", "out-of-range", comparator);
            flags |= uint32_t(offset - 1) << 2;
        } else {
            series::bad_refine("compare", comparator);
        }
    }
    // bytes and vector elements have no letter case
    bool exact = case_ || s->is(TYPE_VECTOR) || s->is(TYPE_BINARY);
    uint32_t records = uint32_t(len / size);
    uint32_t width = uint32_t(size) * uint32_t(unit);
    series::Notify ev(s, series::Event::SORT, int32_t(h), int32_t(len));
    // the owner's handler may have shortened or widened the text: sort what is there now
    unit = memory::buffer_of(s->data2)->unit();
    if (h + len > int64_t(full_of(s))) len = std::max<int64_t>(0, int64_t(full_of(s)) - h);
    len -= len % size;
    records = uint32_t(len / size);
    width = uint32_t(size) * uint32_t(unit);
    if (by_function) {
        CallContext ctx;
        ctx.function.cell = *comparator;
        ctx.series = *s;
        ctx.unit = unit;
        ctx.record = (all && skip) ? uint32_t(size) : 0;
        gc::Rooted subject(*s);
        sort::Range r;
        r.count = records;
        r.width = width;
        r.op = reinterpret_cast<intptr_t>(&ctx);
        r.flags = flags;
        r.compare = &call_compare;
        r.subject = subject.get();
        sort::SeriesPlace place(s->data2, uint32_t(h) * uint32_t(unit), records, width);
        place.attach(r);
        // /stable always means the stable sort, whatever else is asked
        if (stable)
            sort::merge(r);
        else
            sort::quick(r);
    } else {
        uint8_t* base = memory::buffer_of(s->data2)->head_ptr() + uint64_t(h) * uint32_t(unit);
        sort::Compare cmp = comparator_for(s, unit);
        if (stable)
            sort::merge(base, records, width, exact ? 1 : 0, flags, cmp);
        else
            sort::quick(base, records, width, exact ? 1 : 0, flags, cmp);
    }
    ev.done();
    return s;
}

// ---- swap, take ------------------------------------------------------------------------------

namespace {
void store_at(Cell* s, uint32_t pos, uint32_t cp) {
    if (s->is(TYPE_BINARY)) {
        memory::buffer_of(s->data2)->head_ptr()[pos] = uint8_t(cp);
        return;
    }
    poke_char(memory::buffer_of(s->data2), pos, cp);
}
}  // namespace

Cell* swap(Cell* s1, Cell* s2) {
    if (!series::is_text_kind(s2->type()) && !s2->is(TYPE_BINARY)) fire("script", "invalid-arg", s2);
    if (series::ks_tail_q(s1) || series::ks_tail_q(s2)) return s1;
    uint32_t h1 = head_clamped(s1), h2 = head_clamped(s2);
    series::Notify ev1(s1, series::Event::SWAP, int32_t(h1), 1);
    series::Notify ev2(s2, series::Event::SWAP, int32_t(h2), 1);
    // the owners' handlers may have changed either text: swap what is there now
    if (h1 < full_of(s1) && h2 < full_of(s2)) {
        uint32_t c1 = char_at(s1, h1), c2 = char_at(s2, h2);
        store_at(s1, h1, c2);
        store_at(s2, h2, c1);
    }
    ev2.done();
    ev1.done();
    return s1;
}

Cell* take(Cell* s, Cell* part, bool deep, bool last) {
    series::take(s, part, deep, last);
    if (!part && !s->is(TYPE_NONE)) {
        // one element taken without /part is the element itself
        Cell r = *s;
        Cell* e = series::pick(&r, 1, nullptr);
        *s = *e;
    }
    return s;
}

// ---- trim ----------------------------------------------------------------------------------------

namespace {

bool unicode_space(uint32_t c) {
    return c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}
// Whitespace at the ends of the text and between words for /lines.
bool end_space(uint32_t c) { return (c >= 1 && c <= 32) || unicode_space(c); }
// Whitespace at the ends of a line.
bool line_space(uint32_t c) { return c == ' ' || c == '\t' || unicode_space(c); }

std::vector<uint32_t> chars_from_head(const Cell* str) {
    Text t = text_of(str);
    std::vector<uint32_t> out(t.count);
    for (uint32_t i = 0; i < t.count; i++) out[i] = t.get(i);
    return out;
}

// Replaces the text from the head by fewer characters of the same string.
void rewrite_from_head(Cell* str, const std::vector<uint32_t>& chars) {
    Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    uint32_t h = head_clamped(str);
    uint8_t* p = b->head_ptr() + uint64_t(h) * uint32_t(unit);
    for (size_t i = 0; i < chars.size(); i++) put_char(p + i * uint32_t(unit), unit, chars[i]);
    b->tail = b->offset + uint32_t((h + chars.size()) * uint32_t(unit));
}

}  // namespace

void trim_with(Cell* str, const Cell* with) {
    std::vector<uint32_t> set;
    if (!with) {
        set = {'\t', '\n', '\r', ' '};
    } else if (with->is(TYPE_CHAR) || with->is(TYPE_INTEGER)) {
        set.push_back(with->data2);
    } else if (series::is_text_kind(with->type()) || with->is(TYPE_BINARY)) {
        set = chars_from_head(with);
    } else {
        fire("script", "invalid-arg", with);
    }
    std::vector<uint32_t> chars = chars_from_head(str), out;
    for (uint32_t c : chars)
        if (std::find(set.begin(), set.end(), c) == set.end()) out.push_back(c);
    rewrite_from_head(str, out);
}

void trim_lines(Cell* str) {
    std::vector<uint32_t> chars = chars_from_head(str), out;
    bool pending = false;
    for (uint32_t c : chars) {
        if (end_space(c)) {
            pending = !out.empty();
            continue;
        }
        if (pending) out.push_back(' ');
        pending = false;
        out.push_back(c);
    }
    rewrite_from_head(str, out);
}

void trim_spaces(Cell* str, bool head, bool tail) {
    std::vector<uint32_t> chars = chars_from_head(str);
    size_t a = 0, e = chars.size();
    bool leading = !(tail && !head), trailing = !(head && !tail), lines = !head && !tail;
    if (leading)
        while (a < e && end_space(chars[a])) a++;
    bool had_line_feed = false;
    if (trailing) {
        while (e > a && end_space(chars[e - 1])) {
            if (chars[e - 1] == '\n') had_line_feed = true;
            e--;
        }
    }
    std::vector<uint32_t> out;
    if (lines) {
        // no blanks at the start of a line nor before its line feed
        std::vector<uint32_t> blanks;
        bool line_start = true;
        for (size_t i = a; i < e; i++) {
            uint32_t c = chars[i];
            if (c == '\n') {
                blanks.clear();
                out.push_back(c);
                line_start = true;
            } else if (line_space(c)) {
                if (!line_start) blanks.push_back(c);
            } else {
                out.insert(out.end(), blanks.begin(), blanks.end());
                blanks.clear();
                out.push_back(c);
                line_start = false;
            }
        }
        out.insert(out.end(), blanks.begin(), blanks.end());
        if (had_line_feed) out.push_back('\n');
    } else {
        out.assign(chars.begin() + long(a), chars.begin() + long(e));
    }
    rewrite_from_head(str, out);
}

Cell* trim(Cell* str, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    if (auto_ && !all && !with) fire("internal", "not-done");
    uint32_t h = head_clamped(str);
    series::Notify ev(str, series::Event::TRIM, int32_t(h), int32_t(full_of(str) - h));
    if (all || with)
        trim_with(str, with);
    else if (lines)
        trim_lines(str);
    else
        trim_spaces(str, head, tail);
    ev.done();
    return str;
}

// ---- set operations -------------------------------------------------------------------------------

namespace {

// The characters that head the records of a text (those at the multiples of
// the record size), as set members: folded unless the comparison is exact.
struct Heads {
    uint32_t size;
    bool exact;
    uint64_t length = 0;  // characters in the text so far
    std::unordered_set<uint32_t> members;

    uint32_t key(uint32_t c) const { return exact ? c : casing::convert(c, true); }
    bool has(uint32_t c) const { return members.count(key(c)) != 0; }
    void add(uint32_t c) {
        if (length % size == 0) members.insert(key(c));
        length++;
    }
};

Heads heads_of(const Cell* str, uint32_t size, bool exact) {
    Heads h{size, exact};
    Text t = text_of(str);
    for (uint32_t i = 0; i < t.count; i++) h.add(t.get(i));
    return h;
}

// Appends the record of `size` characters at a unit index of a text (fewer at
// its end), noting the result's record heads.
void append_record(Cell* out, Heads& seen, const Text& t, uint32_t i, uint32_t size) {
    Buffer* b = memory::buffer_of(out->data2);
    for (uint32_t k = 0; k < size && i + k < t.count; k++) {
        b = append_char(b, t.get(i + k));
        seen.add(t.get(i + k));
    }
}

// Records of `from` whose first character passes, appended to out unless
// already there; with `other`, intersect keeps those found in it and the
// others those not found. Membership goes through hashed sets of the record
// heads, so that texts of many distinct characters take linear time.
void collect(Cell* out, Heads& seen, const Cell* from, const Heads* other, bool keep_found, uint32_t size) {
    Text t = text_of(from);
    for (uint32_t i = 0; i < t.count; i += size) {
        uint32_t c = t.get(i);
        if (other && other->has(c) != keep_found) continue;
        if (seen.has(c)) continue;
        append_record(out, seen, t, i, size);
    }
}

}  // namespace

Cell* set_operation(Cell* set1, Cell* set2, int32_t op, bool case_, Cell* skip) {
    uint32_t size = 1;
    if (skip) {
        int32_t n = convert::int_of_number(skip);
        if (n < 1) series::bad_refine("skip", skip);
        size = uint32_t(n);
    }
    gc::Rooted a(*set1);
    gc::Rooted b;
    if (set2) b.cell = *set2;
    uint32_t room = length_of(a.get()) + (op == 9 && set2 ? length_of(b.get()) : 0);
    gc::Rooted out;
    make_at(out.get(), room ? room : 1, 1);
    Heads seen{size, case_};
    switch (op) {
        case 8: collect(out.get(), seen, a.get(), nullptr, false, size); break;
        case 9:
            collect(out.get(), seen, a.get(), nullptr, false, size);
            collect(out.get(), seen, b.get(), nullptr, false, size);
            break;
        case 10: {
            Heads other = heads_of(b.get(), size, case_);
            collect(out.get(), seen, a.get(), &other, true, size);
            break;
        }
        case 11: {
            Heads other = heads_of(b.get(), size, case_);
            collect(out.get(), seen, a.get(), &other, false, size);
            break;
        }
        case 12: {
            Heads in_a = heads_of(a.get(), size, case_), in_b = heads_of(b.get(), size, case_);
            collect(out.get(), seen, a.get(), &in_b, false, size);
            collect(out.get(), seen, b.get(), &in_a, false, size);
            break;
        }
        default: rt_error::no_switch_match();
    }
    out->header = uint32_t(set1->type());
    *set1 = out.cell;
    return set1;
}

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_MAKE>(&make)
        .set<A_TO>(&to)
        .set<A_FORM>(&form)
        .set<A_MOLD>(&mold)
        .set<A_EVAL_PATH>(&eval_path)
        .set<A_COMPARE>(&compare)
        .set<A_APPEND>(&append)
        .set<A_CHANGE>(&change)
        .set<A_FIND>(&find)
        .set<A_INSERT>(&insert)
        .set<A_SELECT>(&select)
        .set<A_SORT>(&sort)
        .set<A_SWAP>(&swap)
        .set<A_TAKE>(&take)
        .set<A_TRIM>(&trim);
    datatype::register_type(TYPE_STRING, TYPE_SERIES, "string!", a);
}

}  // namespace kro::string
