#include "io/lexer_values.hpp"

#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/url.hpp"
#include "datatypes/word.hpp"
#include "foundation/float_text.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"

namespace kro::lexer {

namespace {

Maker makers[STATE_COUNT] = {};
MapMaker the_map_maker = nullptr;

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline uint8_t upper(uint8_t c) { return c >= 'a' && c <= 'z' ? uint8_t(c - 32) : c; }

int hex_digit(uint8_t c) {
    if (is_digit(c)) return c - '0';
    c = upper(c);
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Compares bytes with an ASCII name without regard to letter case.
bool same_caseless(const uint8_t* p, size_t n, const char* name) {
    if (std::strlen(name) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (upper(p[i]) != upper(uint8_t(name[i]))) return false;
    return true;
}

// ---- text ------------------------------------------------------------------------

// Walks the characters of [p, end): UTF-8 sequences, and caret escapes when
// escapes is set. Calls f(code point) for each; answers false at the first
// malformed sequence or escape. *wide receives the unit that the escapes ask for:
// a "^(" hex form of more than 2 digits needs 2 bytes, of more than 4 digits 4.
template <class F>
bool each_char(const uint8_t* p, const uint8_t* end, bool escapes, int* wide, F&& f) {
    while (p < end) {
        uint32_t cp;
        if (escapes && *p == '^') {
            int digits = 0;
            int n = decode_escape(p + 1, end, &cp, &digits);
            if (n == 0) return false;
            if (digits > 4) *wide = 4;
            else if (digits > 2 && *wide < 2) *wide = 2;
            p += 1 + n;
        } else if (*p < 0x80) {
            cp = *p++;
        } else {
            int n = decode_utf8(p, end, &cp);
            if (n == 0) return false;
            p += n;
        }
        f(cp);
    }
    return true;
}

// A new text value of the given type from [start, end) into out. The unit is
// the one the token's bytes call for (a lead byte C2-EF: 2, F0-F7: 4) or the
// escapes' hex forms, and always wide enough for every character. Answers false
// for malformed text.
bool make_text(Type type, const uint8_t* start, const uint8_t* end, bool escapes, uint32_t flags, Cell* out) {
    int unit = (flags & F_UTF8_4) ? 4 : (flags & F_UTF8_2_3) ? 2 : 1;
    uint32_t count = 0, widest = 0;
    if (!each_char(start, end, escapes, &unit, [&](uint32_t cp) {
            ++count;
            if (cp > widest) widest = cp;
        }))
        return false;
    if (!out) return true;
    int need = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
    if (need > unit) unit = need;
    string::make_at(out, count, unit);
    memory::Buffer* b = memory::buffer_of(out->data2);
    uint8_t* d = b->data() + b->offset;
    each_char(start, end, escapes, &unit, [&](uint32_t cp) {
        string::put_char(d, unit, cp);
        d += unit;
    });
    b->tail = b->offset + count * uint32_t(unit);
    out->set_type(type);
    return true;
}

// Text whose "%" escapes of single bytes or of whole UTF-8 sequences stand for
// their characters (files and urls).
bool make_decoded_text(Type type, const uint8_t* start, const uint8_t* end, uint32_t flags, Cell* out) {
    if (!make_text(TYPE_STRING, start, end, false, flags, out)) return false;
    if (!out || !std::memchr(start, '%', size_t(end - start))) {
        if (out) out->set_type(type);
        return true;
    }
    Cell raw = *out;
    string::make_at(out, string::length_of(&raw), 1);
    url::decode(&raw, out);
    out->set_type(type);
    return true;
}

// ---- words -----------------------------------------------------------------------

// The word of a spelling, of a word kind.
int make_word(Type type, const uint8_t* start, const uint8_t* end, Cell* out) {
    if (start >= end) return type;
    for (const uint8_t* p = start; p < end;) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        uint32_t cp;
        int n = decode_utf8(p, end, &cp);
        if (n == 0) return type;
        p += n;
    }
    if (!out) return 0;
    int32_t sym = symbol::make_from_utf8(start, uint32_t(end - start));
    switch (type) {
        case TYPE_REFINEMENT:
            // Refinements are not variables: unbound, like the runtime's own.
            *out = Cell{uint32_t(TYPE_REFINEMENT), 0, uint32_t(sym), uint32_t(-1)};
            break;
        case TYPE_ISSUE:
            *out = Cell{uint32_t(TYPE_ISSUE), context::global, uint32_t(sym), uint32_t(-1)};
            break;
        default:
            *out = Cell{uint32_t(TYPE_WORD), 0, 0, 0};
            word::make_global_at(sym, out);
            out->set_type(type);
            break;
    }
    return 0;
}

// Words, refinements and the head of a path: the kind the scan loop found (a
// path's head is a word!), the spelling without its sigils: "/" itself stays
// the spelling of the words made of it.
int load_word(Token& t, Cell* out) {
    const uint8_t* s = t.start;
    const uint8_t* e = t.end;
    Type type = t.state == T_PATH_HEAD ? TYPE_WORD : t.type;
    switch (type) {
        case TYPE_REFINEMENT: case TYPE_LIT_WORD: case TYPE_GET_WORD: ++s; break;
        case TYPE_SET_WORD: --e; break;
        default: break;
    }
    t.type = type;
    return make_word(type, s, e, out);
}

// ---- numbers ---------------------------------------------------------------------

// Float text of the automaton, "'" separators removed, read as a double.
int load_float(Token& t, const uint8_t* s, const uint8_t* e, Cell* out) {
    size_t n = size_t(e - s);
    if (!float_syntax(s, n)) return TYPE_FLOAT;
    t.type = TYPE_FLOAT;
    if (!out) return 0;
    char clean[FLOAT_TEXT_MAX];
    size_t k = 0;
    for (const uint8_t* p = s; p < e; ++p)
        if (*p != '\'') clean[k++] = char(*p);
    int32_t rest = 0;
    double d = floatx::parse(clean, clean + k, 0, &rest);
    if (rest != 0) return TYPE_FLOAT;
    *out = Cell{uint32_t(TYPE_FLOAT), 0, 0, 0};
    out->set_float(d);
    return 0;
}

// Decimal integers: a sign, digits and "'" separators (never two in a row).
// More than 10 digits, or a value beyond 32 bits, read as a float.
int load_integer(Token& t, Cell* out) {
    const uint8_t* s = t.start;
    const uint8_t* e = t.end;
    const uint8_t* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    uint64_t magnitude = 0;
    int digits = 0;
    bool separator = false;
    for (; p < e; ++p) {
        if (*p == '\'') {
            if (separator) return TYPE_INTEGER;
            separator = true;
            continue;
        }
        if (!is_digit(*p)) return TYPE_INTEGER;
        separator = false;
        if (++digits <= 10) magnitude = magnitude * 10 + uint32_t(*p - '0');
    }
    if (digits == 0) return TYPE_INTEGER;
    if (digits > 10 || magnitude > (negative ? 2147483648ull : 2147483647ull)) return load_float(t, s, e, out);
    t.type = TYPE_INTEGER;
    if (out) *out = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(negative ? -int64_t(magnitude) : int64_t(magnitude)), 0};
    return 0;
}

// 1.#INF, -1.#INF, 1.#NaN, in any letter case.
int load_float_special(Token& t, Cell* out) {
    const uint8_t* p = t.start;
    const uint8_t* e = t.end;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (e - p != 6 || p[0] != '1' || p[1] != '.' || p[2] != '#') return TYPE_FLOAT;
    uint64_t bits;
    if (same_caseless(p + 3, 3, "NAN")) bits = 0x7FF8000000000000ull;
    else if (same_caseless(p + 3, 3, "INF")) bits = negative ? 0xFFF0000000000000ull : 0x7FF0000000000000ull;
    else return TYPE_FLOAT;
    t.type = TYPE_FLOAT;
    if (out) *out = Cell{uint32_t(TYPE_FLOAT), 0, uint32_t(bits), uint32_t(bits >> 32)};
    return 0;
}

// Hexadecimal integers: 2 to 8 digits and upper-case letters with a trailing "h".
int load_hex(Token& t, Cell* out) {
    const uint8_t* s = t.start;
    const uint8_t* e = t.end - 1;  // the "h"
    size_t digits = size_t(e - s);
    if (*s == '+' || *s == '-' || std::memchr(s, '\'', digits)) return TYPE_INTEGER;
    if (!is_digit(*s) && digits <= 1) return TYPE_WORD;
    if (digits < 2 || digits > 8) return TYPE_INTEGER;
    uint32_t v = 0;
    for (const uint8_t* p = s; p < e; ++p) {
        int d = hex_digit(*p);
        if (d < 0) return TYPE_INTEGER;
        v = (v << 4) | uint32_t(d);
    }
    t.type = TYPE_INTEGER;
    if (out) *out = Cell{uint32_t(TYPE_INTEGER), 0, v, 0};
    return 0;
}

// ---- the other kinds -------------------------------------------------------------

// #"x": exactly one character or escape between the quotes.
int load_char(Token& t, Cell* out) {
    const uint8_t* p = t.start + 2;
    const uint8_t* e = t.end;
    if (p >= e) return TYPE_CHAR;
    uint32_t cp;
    int n;
    if (*p == '^') {
        n = decode_escape(p + 1, e, &cp);
        if (n) ++n;
    } else {
        n = decode_utf8(p, e, &cp);
    }
    if (n == 0 || p + n != e || cp > 0x10FFFF) return TYPE_CHAR;
    if (out) *out = Cell{uint32_t(TYPE_CHAR), 0, cp, 0};
    return 0;
}

// %name (percent-decoded, carets plain) or %"name" (caret escapes).
int load_file(Token& t, Cell* out) {
    const uint8_t* s = t.start + 1;
    if (s < t.end && *s == '"') {
        if (!make_text(TYPE_FILE, s + 1, t.end, (t.flags & F_CARET) != 0, t.flags, out)) return TYPE_FILE;
        return 0;
    }
    return make_decoded_text(TYPE_FILE, s, t.end, t.flags, out) ? 0 : TYPE_FILE;
}

int load_url(Token& t, Cell* out) {
    if (*t.start == ':') return TYPE_GET_WORD;
    if (*t.start == '\'') return TYPE_LIT_WORD;
    return make_decoded_text(TYPE_URL, t.start, t.end, t.flags, out) ? 0 : TYPE_URL;
}

// n percent signs, "{", text, "}", n percent signs: the text without escapes.
int load_raw_string(Token& t, Cell* out) {
    size_t n = 0;
    while (t.start + n < t.end && t.start[n] == '%') ++n;
    const uint8_t* s = t.start + n + 1;
    const uint8_t* e = t.end - n - 1;
    if (e < s) return TYPE_STRING;
    return make_text(TYPE_STRING, s, e, false, t.flags, out) ? 0 : TYPE_STRING;
}

// #( keyword ) or #( datatype name or a beginning of one ).
int load_construct(Token& t, Cell* out) {
    const uint8_t* s = t.start + 2;
    size_t n = size_t(t.end - s);
    struct Keyword {
        const char* name;
        Cell value;
    };
    const Keyword keywords[] = {
        {"true", logic::make(true)},
        {"false", logic::make(false)},
        {"none", none::value},
        {"unset", unset::value},
    };
    for (const Keyword& k : keywords) {
        if (same_caseless(s, n, k.name)) {
            t.type = k.value.type();
            if (out) *out = k.value;
            return 0;
        }
    }
    // An empty text would match the first name: it names nothing.
    if (n == 0) return E_MALCONSTRUCT;
    for (int32_t id = 1; id <= datatype::highest_id(); ++id) {
        if (!datatype::registered(id)) continue;
        const char* name = datatype::row(id).name;
        if (std::strlen(name) < n) continue;
        bool match = true;
        for (size_t i = 0; i < n && match; ++i) match = upper(s[i]) == upper(uint8_t(name[i]));
        if (!match) continue;
        t.type = TYPE_DATATYPE;
        if (out) *out = Cell{uint32_t(TYPE_DATATYPE), uint32_t(id), 0, 0};
        return 0;
    }
    return E_MALCONSTRUCT;
}

// The datatype a literal of another module is reported as while it has no maker.
Type literal_type(const Token& t) {
    if (t.state == T_POINT) {
        int commas = 0;
        for (const uint8_t* p = t.start; p < t.end; ++p) commas += *p == ',';
        return commas >= 2 ? TYPE_POINT3D : TYPE_POINT2D;
    }
    return token_type(t.state);
}

}  // namespace

int decode_escape(const uint8_t* p, const uint8_t* end, uint32_t* cp, int* hex_digits) {
    if (hex_digits) *hex_digits = 0;
    if (p >= end) return 0;
    uint8_t c = *p;
    if (c == '(') {
        // The ")" comes within 7 bytes of the "(".
        const uint8_t* q = p + 1;
        const uint8_t* limit = end - q > 7 ? q + 7 : end;
        const uint8_t* close = q;
        while (close < limit && *close != ')') ++close;
        if (close >= limit) return 0;
        size_t n = size_t(close - q);
        if (n == 0) return 0;
        static const struct {
            const char* name;
            uint32_t code;
        } names[] = {{"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
        if (n <= 6) {
            uint32_t v = 0;
            bool hex = true;
            for (const uint8_t* r = q; r < close && hex; ++r) {
                int d = hex_digit(*r);
                hex = d >= 0;
                v = (v << 4) | uint32_t(d < 0 ? 0 : d);
            }
            if (hex) {
                // Beyond the last code point no text can hold it.
                if (v > 0x10FFFF) return 0;
                *cp = v;
                if (hex_digits) *hex_digits = int(n);
                return int(n) + 2;
            }
        }
        for (const auto& name : names) {
            if (same_caseless(q, n, name.name)) {
                *cp = name.code;
                return int(n) + 2;
            }
        }
        return 0;
    }
    switch (c) {
        case '"': *cp = '"'; return 1;
        case '-': *cp = '\t'; return 1;
        case '/': *cp = '\n'; return 1;
        case '@': *cp = 0; return 1;
        case '^': *cp = '^'; return 1;
        case '{': *cp = '{'; return 1;
        case '}': *cp = '}'; return 1;
        case '~': *cp = 127; return 1;
        default: break;
    }
    if (c >= 'a' && c <= 'z') {
        *cp = uint32_t(c - 'a' + 1);
        return 1;
    }
    if (c >= '@' && c <= '_') {
        *cp = uint32_t(c - '@');
        return 1;
    }
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    return decode_utf8(p, end, cp);
}

int load_value(Token& t, Cell* out) {
    switch (t.state) {
        case T_STRING:
            return make_text(TYPE_STRING, t.start + 1, t.end, (t.flags & F_CARET) != 0, t.flags, out) ? 0
                                                                                                      : TYPE_STRING;
        case T_BRACE_CLOSE:
            t.type = TYPE_STRING;
            return make_text(TYPE_STRING, t.start + 1, t.end, (t.flags & F_CARET) != 0, t.flags, out) ? 0
                                                                                                      : TYPE_STRING;
        case T_RAW_STRING:
            return load_raw_string(t, out);
        case T_WORD:
        case T_REFINEMENT:
        case T_PATH_HEAD:
            return load_word(t, out);
        case T_ISSUE:
            if (t.end - t.start < 2 || *t.start != '#') return TYPE_ISSUE;
            t.type = TYPE_ISSUE;
            return make_word(TYPE_ISSUE, t.start + 1, t.end, out);
        case T_INTEGER:
            return load_integer(t, out);
        case T_FLOAT:
            return load_float(t, t.start, t.end, out);
        case T_FLOAT_SHARP:
            return load_float_special(t, out);
        case T_HEX:
            return load_hex(t, out);
        case T_CHAR:
            return load_char(t, out);
        case T_FILE:
            return load_file(t, out);
        case T_URL:
            return load_url(t, out);
        case T_CONSTRUCT:
            return load_construct(t, out);
        default:
            break;
    }
    if (Maker m = maker_of(t.state)) return m(t, out);
    return literal_type(t);
}

void set_maker(int terminal_state, Maker maker) {
    if (terminal_state > S_NEVER && terminal_state < STATE_COUNT) makers[terminal_state] = maker;
}

Maker maker_of(int terminal_state) {
    return terminal_state > S_NEVER && terminal_state < STATE_COUNT ? makers[terminal_state] : nullptr;
}

void set_map_maker(MapMaker maker) { the_map_maker = maker; }
MapMaker map_maker() { return the_map_maker; }

}  // namespace kro::lexer
