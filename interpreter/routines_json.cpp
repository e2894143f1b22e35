// The routine behind load-json's common case: a reader of JSON text in one
// pass that builds what the codec's parse grammar builds. It answers only when
// the text is valid and every value came out as the grammar makes it; for
// anything else (bad text, a broken surrogate pair, deep nesting, a number the
// tokenizer refuses) it answers none and load-json runs the grammar, which
// reports the error with its line and column. Nothing here evaluates, so no
// collection runs while it reads: the text's buffer stays where it is.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

#include "datatypes/block.hpp"
#include "datatypes/map.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/support.hpp"
#include "io/lexer.hpp"
#include "interpreter/routines.hpp"

namespace kro::routines {

namespace {

using namespace routines::entry;

// Containers nested deeper than this are left to the grammar, whose rule stack
// decides where nesting ends.
constexpr int MAX_DEPTH = 200;

int hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    return -1;
}

bool is_digit(uint32_t c) { return c >= '0' && c <= '9'; }

// The characters no word holds: a name holding one stays a string key.
bool not_word_char(uint32_t c) {
    switch (c) {
        case '/': case '\\': case '^': case ',': case '[': case ']': case '(': case ')': case '{': case '}':
        case '"': case '#': case '%': case '$': case '@': case ':': case ';': case '\n': case 0xA0: case ' ':
        case '\t': case '\r': case '<': case '>':
            return true;
        default:
            return false;
    }
}

template <int unit>
struct Reader {
    Cell input;          // the text (its buffer does not move while we read)
    const uint8_t* p;    // its first used unit
    int32_t at, end;
    // what `to word!` made of each name read as a word (unset: the name stays a string)
    std::unordered_map<std::string, Cell> word_keys;
    // the values of the open containers, innermost last, each container's
    // values copied out into a block of their own when it closes
    gc::Rooted pending;
    int32_t pending_count = 0;

    Reader() { block::make_at(pending.get(), 256); }

    void add_pending(const Cell* v) {
        *block::add_cell(pending.get()) = *v;
        pending_count++;
    }

    // A new block of the pending values from `from` on, taken off the pending ones.
    void take_pending(int32_t from, Cell* out, int32_t room = 0) {
        int32_t n = pending_count - from;
        block::make_at(out, std::max(n, room));
        memory::Buffer* d = memory::buffer_of(out->data2);
        if (n) std::memcpy(d->cells(), block::at(pending.get(), from), size_t(n) * sizeof(Cell));
        d->tail = d->offset + uint32_t(n) * uint32_t(sizeof(Cell));
        block::ks_clear_from(pending.get(), from);
        pending_count = from;
    }

    uint32_t ch(int32_t i) const {
        if constexpr (unit == 1) return p[i];
        else return string::get_char(p + size_t(i) * size_t(unit), unit);
    }

    void skip_ws() {
        while (at < end) {
            uint32_t c = ch(at);
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return;
            at++;
        }
    }

    bool literal(const char* text) {
        int32_t i = at;
        for (; *text; text++, i++)
            if (i >= end || ch(i) != uint32_t(uint8_t(*text))) return false;
        at = i;
        return true;
    }

    int32_t hex4(int32_t i) const {
        if (end - i < 4) return -1;
        int32_t v = 0;
        for (int k = 0; k < 4; k++) {
            int d = hex_digit(ch(i + k));
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }

    // A string literal at `at` (its opening quote) into out.
    bool string_literal(Cell* out) {
        int32_t s = ++at;
        bool escaped = false;
        for (;;) {
            if (at >= end) return false;
            uint32_t c = ch(at);
            if (c == '"') break;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (at + 1 >= end) return false;
                uint32_t e = ch(at + 1);
                if (e == 'u') {
                    if (hex4(at + 2) < 0) return false;
                    at += 6;
                } else if (e == '"' || e == 't' || e == '\\' || e == '/' || e == 'n' || e == 'r' || e == 'b' ||
                           e == 'f') {
                    at += 2;
                } else {
                    return false;
                }
                escaped = true;
                continue;
            }
            at++;
        }
        int32_t e = at++;
        if (!escaped) {
            *out = Cell{uint32_t(TYPE_STRING), 0, series::copy_range(&input, uint32_t(s), uint32_t(e - s)), 0};
            return true;
        }
        std::u32string text;
        text.reserve(size_t(e - s));
        uint32_t widest = 0;
        for (int32_t i = s; i < e;) {
            uint32_t c = ch(i);
            if (c != '\\') {
                i++;
            } else {
                uint32_t x = ch(i + 1);
                i += 2;
                switch (x) {
                    case 'b': c = 0x08; break;
                    case 'f': c = 0x0C; break;
                    case 'n': c = 0x0A; break;
                    case 'r': c = 0x0D; break;
                    case 't': c = 0x09; break;
                    case 'u': {
                        c = uint32_t(hex4(i));
                        i += 4;
                        if (c >= 0xD800 && c <= 0xDBFF) {
                            // a high half needs its low half: the grammar raises the error
                            if (i + 6 > e || ch(i) != '\\' || ch(i + 1) != 'u') return false;
                            int32_t low = hex4(i + 2);
                            if (low < 0xDC00 || low > 0xDFFF) return false;
                            c = 0x10000 + ((c - 0xD800) << 10) + uint32_t(low - 0xDC00);
                            i += 6;
                        }
                        break;
                    }
                    default: c = x;  // " \ and /
                }
            }
            text += char32_t(c);
            widest = std::max(widest, c);
        }
        int u = widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
        string::make_at(out, uint32_t(text.size()) + 1, u);
        memory::Buffer* b = memory::buffer_of(out->data2);
        uint8_t* d = b->head_ptr();
        for (size_t k = 0; k < text.size(); k++) string::put_char(d + k * size_t(u), u, uint32_t(text[k]));
        b->tail = b->offset + uint32_t(text.size() * size_t(u));
        return true;
    }

    // A number at `at`: an integer of at most nine digits is made here, any
    // other number by the tokenizer as the grammar has it read.
    bool number(Cell* out) {
        int32_t s = at;
        if (ch(at) == '-') at++;
        if (at >= end || !is_digit(ch(at))) return false;
        if (ch(at) == '0') {
            at++;
        } else {
            while (at < end && is_digit(ch(at))) at++;
        }
        bool plain = true;
        if (at + 1 < end && ch(at) == '.' && is_digit(ch(at + 1))) {
            at += 2;
            while (at < end && is_digit(ch(at))) at++;
            plain = false;
        }
        if (at < end && (ch(at) == 'e' || ch(at) == 'E')) {
            int32_t i = at + 1;
            if (i < end && (ch(i) == '+' || ch(i) == '-')) i++;
            if (i < end && is_digit(ch(i))) {
                while (i < end && is_digit(ch(i))) i++;
                at = i;
                plain = false;
            }
        }
        bool negative = ch(s) == '-';
        int32_t digits = at - s - (negative ? 1 : 0);
        if (plain && digits <= 9) {
            int32_t v = 0;
            for (int32_t i = s + (negative ? 1 : 0); i < at; i++) v = v * 10 + int32_t(ch(i) - '0');
            *out = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(negative ? -v : v), 0};
            return true;
        }
        std::string text;
        for (int32_t i = s; i < at; i++) text += char(ch(i));
        Cell src;
        string::make_at(&src, uint32_t(text.size()) + 1, 1);
        string::concatenate_ascii(&src, text.data(), int32_t(text.size()));
        lexer::Refinements one;
        one.one = true;
        Cell value;
        if (frame::catch_region(code::ERROR, [&] { lexer::transcode(&src, one, &value); })) return false;
        *out = value;
        return true;
    }

    // The key a member name gives: the word `to word!` makes of it when the name
    // reads as a word and the word spells it exactly, else the string.
    void key_of(Cell* name) {
        memory::Buffer* b = memory::buffer_of(name->data2);
        int u = b->unit();
        int32_t n = int32_t(b->used_bytes() / uint32_t(u));
        const uint8_t* q = b->head_ptr();
        if (n == 0) return;
        for (int32_t i = 0; i < n; i++) {
            uint32_t c = string::get_char(q + size_t(i) * size_t(u), u);
            if (not_word_char(c) || (i == 0 && (is_digit(c) || c == '\''))) return;
        }
        std::string spelling = string::to_utf8(name);
        auto found = word_keys.find(spelling);
        if (found == word_keys.end()) {
            Cell w = unset::value;
            Cell text = *name;
            Cell made;
            if (!frame::catch_region(code::ERROR, [&] { word::make(&made, &text, TYPE_WORD); }) &&
                symbol::name(int32_t(made.data2)) == spelling)
                w = made;
            found = word_keys.emplace(std::move(spelling), w).first;
        }
        if (!found->second.is(TYPE_UNSET)) *name = found->second;
    }

    // One value with the blanks around it, into out.
    bool value(Cell* out, int depth) {
        skip_ws();
        if (at >= end) return false;
        uint32_t c = ch(at);
        bool ok;
        switch (c) {
            case 't':
                ok = literal("true");
                *out = logic::make(true);
                break;
            case 'f':
                ok = literal("false");
                *out = logic::make(false);
                break;
            case 'n':
                ok = literal("null");
                *out = none::value;
                break;
            case '"': ok = string_literal(out); break;
            case '[': ok = depth < MAX_DEPTH && array(out, depth + 1); break;
            case '{': ok = depth < MAX_DEPTH && object(out, depth + 1); break;
            default: ok = (c == '-' || is_digit(c)) && number(out);
        }
        if (!ok) return false;
        skip_ws();
        return true;
    }

    // The members of an array or object after its opening bracket, up to and
    // past the closing one, onto the pending values (an object's as name, value).
    bool members(uint32_t close, bool named, int depth) {
        at++;
        skip_ws();
        if (at < end && ch(at) == close) {
            at++;
            return true;
        }
        for (;;) {
            if (named) {
                skip_ws();
                if (at >= end || ch(at) != '"') return false;
                Cell name;
                if (!string_literal(&name)) return false;
                key_of(&name);
                add_pending(&name);
                skip_ws();
                if (at >= end || ch(at) != ':') return false;
                at++;
            }
            Cell v;
            if (!value(&v, depth)) return false;
            add_pending(&v);
            if (at >= end) return false;
            uint32_t c = ch(at++);
            if (c == close) return true;
            if (c != ',') return false;
        }
    }

    bool array(Cell* out, int depth) {
        int32_t from = pending_count;
        if (!members(']', false, depth)) return false;
        take_pending(from, out);
        return true;
    }

    bool object(Cell* out, int depth) {
        int32_t from = pending_count;
        if (!members('}', true, depth)) return false;
        // the map takes the new block as its own, as make map! does with its copy
        gc::Rooted items;
        int32_t n = pending_count - from;
        take_pending(from, items.get(), 2);
        map::make_at(out, items.get(), n ? n : 2);
        return true;
    }
};

// load-json-text text: a block of the value of the JSON text, or none when the
// codec's grammar is to read it.
template <int unit>
bool read_json(Cell* v) {
    Reader<unit> r;
    r.input = *arg(0);
    memory::Buffer* b = memory::buffer_of(r.input.data2);
    r.p = b->head_ptr();
    r.end = int32_t(b->used_bytes() / uint32_t(unit));
    r.at = std::clamp(int32_t(r.input.data1), 0, r.end);
    return r.value(v, 0) && r.at == r.end;
}

void load_json_text() {
    gc::Rooted v;
    int unit = memory::buffer_of(arg(0)->data2)->unit();
    bool ok = unit == 1 ? read_json<1>(v.get()) : unit == 2 ? read_json<2>(v.get()) : read_json<4>(v.get());
    if (!ok) return none_result();
    gc::Rooted out;
    block::make_at(out.get(), 1);
    *block::add_cell(out.get()) = *v.get();
    result(out.get());
}

void install() { add("load-json-text", &load_json_text); }

}  // namespace

KRO_ROUTINE_GROUP(install);

}  // namespace kro::routines
