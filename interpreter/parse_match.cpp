#include "interpreter/parse_match.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/bitset.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/typeset.hpp"
#include "foundation/casing.hpp"
#include "foundation/fire.hpp"
#include "foundation/memory.hpp"
#include "interpreter/actions.hpp"
#include "io/lexer.hpp"

namespace kro::parse::detail {

namespace {

// Upper-case folding of the 256 code points a 1-byte string holds.
struct Fold1 {
    uint32_t map[256];
    Fold1() {
        for (uint32_t c = 0; c < 256; c++) map[c] = casing::convert(c, true);
    }
};
// Built before anything runs: the case tables it reads are constants.
const Fold1 fold_table;
inline const Fold1& fold1() { return fold_table; }

inline uint32_t fold(uint32_t c) { return c < 256 ? fold1().map[c] : casing::to_upper_fast(c); }

// For each byte, the bytes that fold as it does (itself included), so that a
// folded character is searched for without a pass over the 256 bytes.
struct Spellings {
    static constexpr int MOST = 8;
    uint8_t count[256];
    uint8_t of[256][MOST];
    Spellings() {
        const Fold1& f = fold1();
        for (uint32_t b = 0; b < 256; b++) {
            int n = 0;
            for (uint32_t c = 0; c < 256; c++)
                if (f.map[c] == f.map[b]) {
                    if (n < MOST) of[b][n] = uint8_t(c);
                    n++;
                }
            count[b] = uint8_t(n > MOST ? 0 : n);  // 0: look them up in full
        }
    }
};
const Spellings spellings_table;
inline const Spellings& spellings() { return spellings_table; }

// A bitset's stored bits, read for membership.
struct Bits {
    const uint8_t* bits;
    uint32_t count;
    bool complement;
    explicit Bits(const Cell* value) {
        const memory::Buffer* b = memory::buffer_of(value->data2);
        bits = b->data() + b->offset;
        count = b->used_bytes();
        complement = (b->flags & memory::FLAG_COMPLEMENT) != 0;
    }
    bool has(uint32_t c) const {
        uint32_t byte = c >> 3;
        if (byte >= count) return complement;
        return (bits[byte] & (0x80u >> (c & 7))) != 0;
    }
};

// For each byte of a bitset's bits, the membership bytes (0 or 1) of the 8
// values it stands for, the first (its high bit) lowest in memory.
struct Spread {
    uint64_t of[256];
    Spread() {
        for (uint32_t x = 0; x < 256; x++) {
            uint64_t v = 0;
            for (uint32_t j = 0; j < 8; j++) v |= uint64_t((x >> (7 - j)) & 1) << (8 * j);
            of[x] = v;
        }
    }
};
const Spread spread;

inline const uint8_t* data_of(uint32_t node) { return memory::buffer_of(node)->head_ptr(); }
inline int unit_of(uint32_t node) { return memory::buffer_of(node)->unit(); }

// Whether a value's text takes part in text matching (string!, file!, url!,
// email!, ref!; tag! is matched with its brackets).
inline bool plain_text(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_EMAIL || t == TYPE_REF;
}

// The characters of a text value from its head, read in place.
struct TextView {
    const uint8_t* p = nullptr;
    int unit = 1;
    int32_t count = 0;
    bool tag = false;  // enclosed in "<" and ">"

    int32_t length() const { return count + (tag ? 2 : 0); }
    uint32_t at(int32_t i) const {
        if (tag) {
            if (i == 0) return '<';
            if (i == count + 1) return '>';
            i--;
        }
        return string::get_char(p + int64_t(i) * unit, unit);
    }
};

TextView text_view(const Cell* v) {
    TextView t;
    uint32_t node = v->data2;
    memory::Buffer* b = memory::buffer_of(node);
    t.unit = b->unit();
    int32_t full = int32_t(b->used_bytes() / uint32_t(t.unit));
    int32_t head = int32_t(v->data1);
    if (head < 0) head = 0;
    if (head > full) head = full;
    t.p = b->head_ptr() + int64_t(head) * t.unit;
    t.count = full - head;
    t.tag = v->is(TYPE_TAG);
    return t;
}

// The bytes a value stands for against binary input: a binary's bytes, a
// text's UTF-8 (a tag with its brackets), a char! below 256 as that byte
// (above: its UTF-8), an integer! 0-255 as one byte. False for anything else.
bool bytes_of(const Cell* v, std::string& out) {
    uint32_t t = v->type();
    if (t == TYPE_BINARY) {
        memory::Buffer* b = memory::buffer_of(v->data2);
        int32_t full = int32_t(b->used_bytes());
        int32_t head = std::clamp(int32_t(v->data1), 0, full);
        out.assign(reinterpret_cast<const char*>(b->head_ptr()) + head, size_t(full - head));
        return true;
    }
    if (plain_text(t) || t == TYPE_TAG) {
        out = string::to_utf8(v);
        if (t == TYPE_TAG) out = "<" + out + ">";
        return true;
    }
    if (t == TYPE_CHAR) {
        uint32_t cp = v->data2;
        if (cp < 256) {
            out.assign(1, char(cp));
        } else {
            char buf[4];
            int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
            if (n == 2) {
                buf[0] = char(0xC0 | (cp >> 6));
            } else if (n == 3) {
                buf[0] = char(0xE0 | (cp >> 12));
                buf[1] = char(0x80 | ((cp >> 6) & 0x3F));
            } else {
                buf[0] = char(0xF0 | ((cp >> 18) & 0x07));
                buf[1] = char(0x80 | ((cp >> 12) & 0x3F));
                buf[2] = char(0x80 | ((cp >> 6) & 0x3F));
            }
            buf[n - 1] = char(0x80 | (cp & 0x3F));
            out.assign(buf, size_t(n));
        }
        return true;
    }
    if (t == TYPE_INTEGER) {
        int32_t n = int32_t(v->data2);
        if (n < 0 || n > 255) return false;
        out.assign(1, char(n));
        return true;
    }
    return false;
}

// The first index from `from` to end of a byte among the n in v (one or two:
// byte searches), or among those set in table (more), or -1. Two bytes are
// searched for in windows, so that one that never occurs is not looked for up
// to the end at every call.
int32_t find_byte(const uint8_t* p, int32_t from, int32_t end, const uint8_t* v, int n, const uint8_t* table) {
    if (n == 0 || from >= end) return -1;
    const uint8_t* start = p + from;
    size_t len = size_t(end - from);
    if (n == 1) {
        const void* hit = std::memchr(start, v[0], len);
        return hit ? int32_t(static_cast<const uint8_t*>(hit) - p) : -1;
    }
    if (n == 2) {
        constexpr size_t WINDOW = 4096;
        for (size_t at = 0; at < len; at += WINDOW) {
            size_t w = std::min(WINDOW, len - at);
            const void* x = std::memchr(start + at, v[0], w);
            size_t limit = x ? size_t(static_cast<const uint8_t*>(x) - (start + at)) : w;
            const void* y = std::memchr(start + at, v[1], limit);
            const void* hit = y ? y : x;
            if (hit) return int32_t(static_cast<const uint8_t*>(hit) - p);
        }
        return -1;
    }
    for (int32_t i = from; i < end; i++)
        if (table[p[i]]) return i;
    return -1;
}

// The bytes that match character c in a 1-byte text (folded: c is folded,
// and so is each byte compared with it).
int byte_spellings(uint32_t c, bool folded, uint8_t out[256]) {
    if (!folded) {
        if (c >= 256) return 0;
        out[0] = uint8_t(c);
        return 1;
    }
    // c folds to itself: the bytes that fold as it does are listed
    if (c < 256 && fold1().map[c] == c && spellings().count[c] > 0) {
        int n = spellings().count[c];
        std::memcpy(out, spellings().of[c], size_t(n));
        return n;
    }
    int n = 0;
    for (uint32_t b = 0; b < 256; b++)
        if (fold1().map[b] == c) out[n++] = uint8_t(b);
    return n;
}

// A rule value prepared once against one input, then tried at positions.
class Matcher {
public:
    enum Kind : uint8_t { NOTHING, CHAR, BITSET, TEXT, BYTES, ITEM };

    Matcher(const Span& s, const Cell* value, int32_t mode) : s_(s), mode_(mode), value_(*value) {
        kind_in_ = kind_of(s.type);
        uint32_t vt = value->type();
        if (kind_in_ == InputKind::BLOCK) {
            kind_ = ITEM;
            op_ = (vt == TYPE_LIT_WORD || vt == TYPE_LIT_PATH) ? (mode == MODE_STRICT ? 10 : 11) : mode;
            return;
        }
        base_ = data_of(s.node);
        unit_ = kind_in_ == InputKind::BINARY ? 1 : unit_of(s.node);
        fold_ = kind_in_ == InputKind::TEXT && mode != MODE_STRICT;
        if (vt == TYPE_BITSET) {
            kind_ = BITSET;
            const memory::Buffer* bits = memory::buffer_of(value->data2);
            bits_ = bits->data() + bits->offset;
            bits_count_ = bits->used_bytes();
            bits_complement_ = (bits->flags & memory::FLAG_COMPLEMENT) != 0;
            return;
        }
        if (kind_in_ == InputKind::BINARY) {
            if (bytes_of(value, bytes_)) kind_ = BYTES;
            return;
        }
        if (vt == TYPE_CHAR) {
            kind_ = CHAR;
            cp_ = value->data2;
            if (fold_) cp_ = fold(cp_);
            return;
        }
        if (plain_text(vt) || vt == TYPE_TAG) {
            kind_ = TEXT;
            text_ = text_view(value);
            return;
        }
        if (vt == TYPE_BINARY) {  // its bytes as characters
            kind_ = TEXT;
            memory::Buffer* b = memory::buffer_of(value->data2);
            int32_t full = int32_t(b->used_bytes());
            int32_t head = std::clamp(int32_t(value->data1), 0, full);
            text_.p = b->head_ptr() + head;
            text_.unit = 1;
            text_.count = full - head;
        }
    }

    Kind kind() const { return kind_; }

    // How many single units from i on match a character or a bitset (at
    // most max, -1: no bound), in a tight loop over 1-byte text or bytes;
    // -1 when the value is not one unit wide or the input is wider.
    int32_t run_of_units(int32_t i, int32_t max) const {
        if ((kind_ != CHAR && kind_ != BITSET) || unit_ != 1) return -1;
        int32_t end = s_.end;
        if (max >= 0 && int64_t(i) + max < end) end = i + max;
        int32_t k = i;
        if (kind_ == BITSET) {
            while (k < end && member(base_[k])) k++;
        } else if (fold_) {
            while (k < end && fold1().map[base_[k]] == cp_) k++;
        } else {
            while (k < end && base_[k] == cp_) k++;
        }
        return k - i;
    }

    // Units matched at index i (i <= end), or -1.
    int32_t at(int32_t i) const {
        int32_t room = s_.end - i;
        switch (kind_) {
            case NOTHING:
                return -1;
            case ITEM: {
                if (room <= 0) return -1;
                Cell item = memory::buffer_of(s_.node)->cells()[i];
                Cell v = value_;
                return actions::compare(&item, &v, op_) ? 1 : -1;
            }
            case BITSET: {
                if (room <= 0) return -1;
                uint32_t c = unit_ == 1 ? base_[i] : string::get_char(base_ + int64_t(i) * unit_, unit_);
                return member(c) ? 1 : -1;
            }
            case CHAR: {
                if (room <= 0) return -1;
                uint32_t c = unit_ == 1 ? base_[i] : string::get_char(base_ + int64_t(i) * unit_, unit_);
                if (fold_) c = fold(c);
                return c == cp_ ? 1 : -1;
            }
            case TEXT: {
                int32_t n = text_.length();
                if (n > room) return -1;
                for (int32_t k = 0; k < n; k++) {
                    uint32_t c = string::get_char(base_ + int64_t(i + k) * unit_, unit_);
                    uint32_t p = text_.at(k);
                    if (c != p && (!fold_ || fold(c) != fold(p))) return -1;
                }
                return n;
            }
            case BYTES: {
                int32_t n = int32_t(bytes_.size());
                if (n > room) return -1;
                return std::memcmp(base_ + i, bytes_.data(), size_t(n)) == 0 ? n : -1;
            }
        }
        return -1;
    }

    // The first index from `from` to the end where the value matches, and the
    // units matched there in *len; -1 when there is none.
    int32_t find(int32_t from, int32_t* len) const {
        int32_t end = s_.end;
        if (from > end) return -1;
        switch (kind_) {
            case NOTHING:
                return -1;
            case CHAR:
                *len = 1;
                if (unit_ == 1) return find_char_1(from, end);
                break;
            case BITSET:
                *len = 1;
                if (unit_ == 1) {
                    for (int32_t i = from; i < end; i++)
                        if (member(base_[i])) return i;
                    return -1;
                }
                break;
            case BYTES: {
                int32_t n = int32_t(bytes_.size());
                *len = n;
                if (n == 0) return from;
                if (end - from < n) return -1;
                const void* hit = memmem(base_ + from, size_t(end - from), bytes_.data(), size_t(n));
                return hit ? int32_t(static_cast<const uint8_t*>(hit) - base_) : -1;
            }
            case TEXT: {
                int32_t n = text_.length();
                *len = n;
                if (n == 0) return from;
                if (unit_ == 1) return find_text_1(from, end);
                break;
            }
            case ITEM:
                *len = 1;
                break;
        }
        for (int32_t i = from; i < end; i++) {
            int32_t k = at(i);
            if (k >= 0) {
                *len = k;
                return i;
            }
        }
        return -1;
    }

private:
    bool member(uint32_t c) const {
        uint32_t byte = c >> 3;
        if (byte >= bits_count_) return bits_complement_;
        return (bits_[byte] & (0x80u >> (c & 7))) != 0;
    }

    // One character in a 1-byte text: memchr for one or two spellings.
    int32_t find_char_1(int32_t from, int32_t end) const {
        uint8_t v[256];
        int n = spellings_of(cp_, v);
        return scan_bytes(v, n, from, end);
    }

    int spellings_of(uint32_t c, uint8_t out[256]) const { return byte_spellings(c, fold_, out); }

    int32_t scan_bytes(const uint8_t* v, int n, int32_t from, int32_t end) const {
        uint8_t set[256];
        if (n > 2) {
            std::memset(set, 0, sizeof set);
            for (int k = 0; k < n; k++) set[v[k]] = 1;
        }
        return find_byte(base_, from, end, v, n, set);
    }

    // A text in a 1-byte text: memmem when exact, else candidates for the
    // first character checked in full.
    int32_t find_text_1(int32_t from, int32_t end) const {
        int32_t n = text_.length();
        if (end - from < n) return -1;
        if (!fold_ && !text_.tag && text_.unit == 1) {
            const void* hit = memmem(base_ + from, size_t(end - from), text_.p, size_t(n));
            return hit ? int32_t(static_cast<const uint8_t*>(hit) - base_) : -1;
        }
        uint32_t first = text_.at(0);
        uint8_t v[256];
        int nv = spellings_of(fold_ ? fold(first) : first, v);
        int32_t last = end - n;
        for (int32_t i = from; i <= last;) {
            int32_t c = scan_bytes(v, nv, i, last + 1);
            if (c < 0) return -1;
            if (at(c) >= 0) return c;
            i = c + 1;
        }
        return -1;
    }

    Span s_;
    int32_t mode_;
    Cell value_;
    InputKind kind_in_;
    Kind kind_ = NOTHING;
    int32_t op_ = 0;
    const uint8_t* base_ = nullptr;
    int unit_ = 1;
    bool fold_ = false;
    uint32_t cp_ = 0;
    const uint8_t* bits_ = nullptr;  // a bitset's stored bytes
    uint32_t bits_count_ = 0;
    bool bits_complement_ = false;
    TextView text_;
    std::string bytes_;
};

[[noreturn]] void bad_rule(const Cell* value) { fire("script", "parse-rule", value); }

}  // namespace

int32_t match_literal(const Span& s, const Cell* value, int32_t mode) {
    if (s.index >= s.end) {
        // at the end only an empty text matches (string!, file!, url! against text)
        uint32_t t = value->type();
        if (kind_of(s.type) != InputKind::TEXT || !(t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL))
            return -1;
        return text_view(value).count == 0 ? 0 : -1;
    }
    uint32_t vt = value->type();
    if (vt == TYPE_CHAR || vt == TYPE_BITSET) {
        // one character of text (a bitset: or one byte of a binary)
        InputKind in = kind_of(s.type);
        if (in == InputKind::TEXT || (in == InputKind::BINARY && vt == TYPE_BITSET)) {
            int unit = in == InputKind::BINARY ? 1 : unit_of(s.node);
            const uint8_t* p = data_of(s.node);
            uint32_t c = unit == 1 ? p[s.index] : string::get_char(p + int64_t(s.index) * unit, unit);
            if (vt == TYPE_BITSET) return Bits(value).has(c) ? 1 : -1;
            if (mode == MODE_STRICT) return c == value->data2 ? 1 : -1;
            return fold(c) == fold(value->data2) ? 1 : -1;
        }
    }
    return Matcher(s, value, mode).at(s.index);
}

int32_t find_value(const Span& s, const Cell* value, int32_t mode, bool thru) {
    InputKind in = kind_of(s.type);
    uint32_t vt = value->type();
    if (in != InputKind::BLOCK) {
        bool searchable = plain_text(vt) || vt == TYPE_TAG || vt == TYPE_BINARY || vt == TYPE_CHAR || vt == TYPE_BITSET;
        if (!searchable) bad_rule(value);
        if (vt == TYPE_BITSET && (in == InputKind::BINARY || unit_of(s.node) == 1)) {
            // the first byte in the set
            if (s.index > s.end) return -1;
            Bits b(value);
            const uint8_t* p = data_of(s.node);
            for (int32_t i = s.index; i < s.end; i++)
                if (b.has(p[i])) return thru ? i + 1 : i;
            return -1;
        }
    }
    Matcher m(s, value, mode);
    int32_t len = 0;
    int32_t at = m.find(s.index, &len);
    if (at < 0) return -1;
    return thru ? at + len : at;
}

int32_t loop_value(const Span& s, const Cell* value, int32_t mode, int32_t min, int32_t max, int32_t* after) {
    *after = s.index;
    if (s.end - s.index <= 0 || s.end - s.index < min) return min == 0 ? 0 : -1;
    uint32_t vt = value->type();
    if (vt == TYPE_BITSET || vt == TYPE_CHAR) {
        // a run of single bytes of 1-byte text (a bitset: of a binary too)
        InputKind in = kind_of(s.type);
        bool bytes = in == InputKind::BINARY || (in == InputKind::TEXT && unit_of(s.node) == 1);
        if (bytes && (vt == TYPE_BITSET || in == InputKind::TEXT)) {
            const uint8_t* p = data_of(s.node);
            int32_t end = s.end;
            if (max >= 0 && int64_t(s.index) + max < end) end = s.index + max;
            int32_t k = s.index;
            if (vt == TYPE_BITSET) {
                Bits b(value);
                if (b.count >= 32) {
                    while (k < end && (b.bits[p[k] >> 3] & (0x80u >> (p[k] & 7)))) k++;
                } else {
                    while (k < end && b.has(p[k])) k++;
                }
            } else if (mode != MODE_STRICT) {
                const uint32_t* map = fold1().map;
                uint32_t cp = fold(value->data2);
                while (k < end && map[p[k]] == cp) k++;
            } else {
                uint32_t cp = value->data2;
                while (k < end && p[k] == cp) k++;
            }
            *after = k;
            return k - s.index;
        }
    }
    Matcher m(s, value, mode);
    int32_t run = m.run_of_units(s.index, max);
    if (run >= 0) {
        *after = s.index + run;
        return run;
    }
    int32_t n = 0, i = s.index;
    while ((max < 0 || n < max) && i < s.end) {
        int32_t k = m.at(i);
        if (k < 0) break;
        n++;
        if (k == 0) {  // matches without consuming: as often as asked
            if (n < min) n = min;
            break;
        }
        i += k;
    }
    *after = i;
    return n;
}

bool ByteRun::prepare(const Span& s, const Cell* value, int32_t mode) {
    uint32_t vt = value->type();
    if (vt != TYPE_BITSET && vt != TYPE_CHAR) return false;
    InputKind input = kind_of(s.type);
    bool bytes = input == InputKind::BINARY || (input == InputKind::TEXT && unit_of(s.node) == 1);
    if (!bytes || (vt == TYPE_CHAR && input != InputKind::TEXT)) return false;
    count = 0;
    if (vt == TYPE_BITSET) {
        // past its stored bytes every value is in a complemented set
        Bits b(value);
        uint32_t stored = std::min<uint32_t>(b.count, 32);
        for (uint32_t k = 0; k < stored; k++) std::memcpy(in + 8 * k, &spread.of[b.bits[k]], 8);
        std::memset(in + 8 * stored, b.complement ? 1 : 0, 256 - 8 * stored);
        for (uint32_t k = 0; k < 32 && count < 3; k++) {
            uint64_t w;
            std::memcpy(&w, in + 8 * k, 8);
            while (w && count < 3) {
                uint32_t c = 8 * k + uint32_t(__builtin_ctzll(w)) / 8;
                if (count < 2) first[count] = uint8_t(c);
                count++;
                w &= w - 1;
            }
        }
        return true;
    }
    std::memset(in, 0, sizeof in);
    uint8_t v[256];
    bool folded = mode != MODE_STRICT;
    int n = byte_spellings(folded ? fold(value->data2) : value->data2, folded, v);
    for (int k = 0; k < n; k++) {
        in[v[k]] = 1;
        if (k < 2) first[k] = v[k];
    }
    count = uint8_t(std::min(n, 3));
    return true;
}

int32_t ByteRun::find(const uint8_t* p, int32_t i, int32_t end) const {
    return find_byte(p, i, end, first, count, in);
}

int32_t match_type(const Span& s, const Cell* rule) {
    InputKind in = kind_of(s.type);
    if (in == InputKind::TEXT) fire("script", "parse-unsupported");
    if (s.index >= s.end) return -1;
    if (in == InputKind::BLOCK) {
        uint32_t t = memory::buffer_of(s.node)->cells()[s.index].type();
        bool ok = rule->is(TYPE_DATATYPE) ? rule->data1 == t : typeset::has(rule, t);
        return ok ? 1 : -1;
    }
    // binary input: the tokenizer reads one value from the cursor
    lexer::ScanArgs args;
    args.stop_after_one = true;
    args.scan_only = true;
    uint32_t consumed = 0;
    Cell out;
    const uint8_t* p = data_of(s.node) + s.index;
    Type t = lexer::scan_utf8(&out, p, size_t(s.end - s.index), args, &consumed);
    if (t == TYPE_NONE || t == TYPE_ERROR || consumed == 0) return -1;
    bool ok = rule->is(TYPE_DATATYPE) ? rule->data1 == uint32_t(t) : typeset::has(rule, t);
    return ok ? int32_t(consumed) : -1;
}

}  // namespace kro::parse::detail
