#include "datatypes/binary.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "datatypes/base_codecs.hpp"
#include "datatypes/block.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/string_text.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_tables.hpp"
#include "io/lexer_values.hpp"

namespace kro::binary {

using memory::Buffer;

Cell* (*image_argb)(const Cell* image, Cell* out) = nullptr;

namespace {

// Sizes are signed 32-bit numbers: no binary grows past this.
constexpr uint64_t MAX_BYTES = 0x7FFFFFFFu;

Buffer* buffer(const Cell* bin) { return memory::buffer_of(bin->data2); }
uint32_t full_of(const Cell* bin) { return buffer(bin)->used_bytes(); }

// The head clamped to 0 .. tail.
uint32_t head_of(const Cell* bin) {
    int32_t h = int32_t(bin->data1);
    uint32_t full = full_of(bin);
    return h < 0 ? 0 : std::min(uint32_t(h), full);
}

[[noreturn]] void no_memory() { fire("internal", "no-memory"); }

// Makes the data area hold `used` bytes from the offset; when it must grow it
// takes `wanted` (at least `used`) bytes. Answers the buffer to use afterwards.
Buffer* reserve(Cell* bin, uint64_t used, uint64_t wanted) {
    Buffer* b = buffer(bin);
    if (used > MAX_BYTES) no_memory();
    if (uint64_t(b->offset) + used <= b->size) return b;
    wanted = std::clamp<uint64_t>(wanted, used, MAX_BYTES);
    return memory::grow_series(b, uint32_t(wanted));
}

// Bytes that may lie in the binary's own buffer are held aside before it moves.
std::vector<uint8_t> held_copy(const uint8_t* bytes, uint32_t n) {
    return n ? std::vector<uint8_t>(bytes, bytes + n) : std::vector<uint8_t>();
}

// Opens a gap of n bytes at a byte position from the offset (the rest moves
// up) and answers the buffer; the gap's content is left to the caller.
Buffer* open_gap(Cell* bin, uint32_t pos, uint64_t n, uint64_t wanted) {
    uint32_t full = full_of(bin);
    if (pos > full) pos = full;
    Buffer* b = reserve(bin, uint64_t(full) + n, wanted);
    uint8_t* at = b->head_ptr() + pos;
    std::memmove(at + n, at, full - pos);
    b->tail += uint32_t(n);
    return b;
}

bool is_block_like(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

Cell datatype_of(uint32_t t) { return string::detail::datatype_cell(t); }

void append_utf8_of(std::vector<uint8_t>& out, const Cell* text) {
    string::detail::Text t = string::detail::text_of(text);
    uint8_t seq[4];
    for (uint32_t i = 0; i < t.count; i++) {
        int n = unicode::cp_to_utf8(t.get(i), seq);
        out.insert(out.end(), seq, seq + n);
    }
}

void append_be(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) out.push_back(uint8_t(v >> (8 * i)));
}

// A tuple keeps its length in header bits 19-22 and its bytes upwards from
// the lowest byte of data1.
void append_tuple(std::vector<uint8_t>& out, const Cell* tuple) {
    uint32_t n = std::min<uint32_t>((tuple->header >> 19) & 0xF, 12);
    uint32_t words[3] = {tuple->data1, tuple->data2, tuple->data3};
    for (uint32_t i = 0; i < n; i++) out.push_back(uint8_t(words[i / 4] >> (8 * (i % 4))));
}

// The bytes the value adds, in out; the part rules are the caller's. Only
// bytes that will be written check an integer's range.
void bytes_into(std::vector<uint8_t>& out, Cell* value, int32_t part, bool part_counts_bytes, Mode mode,
                bool writing) {
    uint32_t t = value->type();
    if (t == TYPE_CHAR) {
        uint8_t seq[4];
        int n = unicode::cp_to_utf8(value->data2, seq);
        out.insert(out.end(), seq, seq + n);
    } else if (t == TYPE_INTEGER) {
        int32_t v = int32_t(value->data2);
        if (writing && (v < -128 || v > 255)) fire("script", "invalid-arg", value);
        out.push_back(uint8_t(v));
    } else if (t == TYPE_BINARY) {
        Buffer* b = buffer(value);
        out.insert(out.end(), b->head_ptr() + head_of(value), b->tail_ptr());
    } else if (t == TYPE_TUPLE) {
        append_tuple(out, value);
    } else if (series::is_text_kind(t)) {
        append_utf8_of(out, value);
    } else if (is_block_like(t)) {
        machine_stack::check();
        // A block that holds itself would never end.
        if (mold::cycle_find(value->data2)) fire("internal", "too-deep");
        gc::Rooted blk(*value);
        mold::CycleEntry walking(blk->data2);
        size_t start = out.size();
        int32_t items = 0;
        for (int32_t i = series::head_of(blk.get()); i < series::ks_full_length(blk.get()); i++) {
            if (part >= 1) {
                if (part_counts_bytes ? out.size() - start >= size_t(part) : items >= part) break;
            }
            Cell item = *block::ks_abs_at(blk.get(), i);
            bytes_into(out, &item, -1, part_counts_bytes, mode, writing);
            items++;
        }
    } else if (mode == Mode::ANY) {
        Cell text = string::detail::form_value(value, -1);
        append_utf8_of(out, &text);
    } else {
        Cell dt = datatype_of(TYPE_BINARY);
        fire("script", "bad-to-arg", &dt, value);
    }
}

}  // namespace

// ---- cell-level helpers ---------------------------------------------------------------------

uint32_t ks_length(const Cell* bin) { return full_of(bin) - head_of(bin); }

uint8_t* ks_head(Cell* bin) {
    bin->data1 = head_of(bin);
    return buffer(bin)->head_ptr() + bin->data1;
}

uint8_t* ks_tail(const Cell* bin) { return buffer(bin)->tail_ptr(); }

bool ks_tail_q(const Cell* bin) { return int32_t(bin->data1) >= int32_t(full_of(bin)); }

bool ks_skip(Cell* bin, int32_t n) {
    int64_t h = int64_t(int32_t(bin->data1)) + n;
    int64_t full = full_of(bin);
    if (h >= 0 && h <= full) bin->data1 = uint32_t(h);
    return int32_t(bin->data1) >= full;
}

uint8_t get_byte(const Cell* bin, uint32_t index) { return buffer(bin)->head_ptr()[index]; }

void set_tail_at_head(Cell* bin) {
    Buffer* b = buffer(bin);
    b->tail = b->offset + head_of(bin);
}

uint8_t* append_bytes(Cell* bin, const uint8_t* bytes, uint32_t n) {
    std::vector<uint8_t> held = held_copy(bytes, n);
    uint32_t full = full_of(bin);
    uint64_t used = uint64_t(full) + n;
    Buffer* b = reserve(bin, used, used * 2);
    uint8_t* at = b->head_ptr() + full;
    if (n) std::memcpy(at, held.data(), n);
    b->tail += n;
    return at;
}

uint8_t* insert_bytes(Cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n) {
    std::vector<uint8_t> held = held_copy(bytes, n);
    uint64_t pos = std::min<uint64_t>(uint64_t(head_of(bin)) + offset, full_of(bin));
    Buffer* b = open_gap(bin, uint32_t(pos), n, uint64_t(n) + uint64_t(buffer(bin)->size) * 2);
    uint8_t* at = b->head_ptr() + pos;
    if (n) std::memcpy(at, held.data(), n);
    return at;
}

uint8_t* write_bytes_at(Cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n) {
    std::vector<uint8_t> held = held_copy(bytes, n);
    uint32_t full = full_of(bin);
    uint64_t pos = uint64_t(head_of(bin)) + offset;
    uint64_t end = pos + n;
    Buffer* b = reserve(bin, end, end * 2);
    if (pos > full) std::memset(b->head_ptr() + full, 0, size_t(pos - full));
    uint8_t* at = b->head_ptr() + pos;
    if (n) std::memcpy(at, held.data(), n);
    if (end > full) b->tail = b->offset + uint32_t(end);
    return at;
}

void append_int32_be(int32_t value, Cell* bin) {
    uint8_t bytes[4] = {uint8_t(uint32_t(value) >> 24), uint8_t(uint32_t(value) >> 16), uint8_t(uint32_t(value) >> 8),
                        uint8_t(value)};
    append_bytes(bin, bytes, 4);
}

// ---- making ---------------------------------------------------------------------------------

Cell* make_at(Cell* c, uint32_t capacity) {
    uint32_t node = memory::new_bytes(capacity);
    *c = Cell{uint32_t(TYPE_BINARY), 0, node, 0};
    return c;
}

Cell* make_in(Cell* block, uint32_t capacity) {
    Cell bin;
    make_at(&bin, capacity);
    Cell* c = block::add_cell(block);
    *c = bin;
    return c;
}

Cell* load_in(const uint8_t* bytes, uint32_t n, Cell* out) {
    Cell bin;
    make_at(&bin, n);
    Buffer* b = buffer(&bin);
    if (n) std::memcpy(b->head_ptr(), bytes, n);
    b->tail = b->offset + n;
    Cell* c = out ? out : stack::push_cell();
    *c = bin;
    return c;
}

Cell* load(const uint8_t* bytes, uint32_t n) { return load_in(bytes, n, nullptr); }

Cell of_bytes(const std::vector<uint8_t>& bytes) {
    if (bytes.size() > MAX_BYTES) no_memory();
    Cell bin;
    load_in(bytes.data(), uint32_t(bytes.size()), &bin);
    return bin;
}

Cell* push(const Cell* bin) { return stack::push(bin); }

std::vector<uint8_t> bytes_of(const Cell* bin) {
    Buffer* b = buffer(bin);
    return std::vector<uint8_t>(b->head_ptr() + head_of(bin), b->tail_ptr());
}

// ---- bytes of values ----------------------------------------------------------------------------

uint8_t byte_from_value(const Cell* value) {
    if (!value->is(TYPE_INTEGER) && !value->is(TYPE_CHAR)) fire("script", "invalid-arg", value);
    return uint8_t(value->data2);
}

void byte_from_value(const Cell* value, uint8_t* position) { *position = byte_from_value(value); }

namespace {
uint32_t collect_bytes(std::vector<uint8_t>& out, Cell* value, int32_t part, bool part_counts_bytes, Mode mode,
                       bool writing) {
    size_t start = out.size();
    bytes_into(out, value, part, part_counts_bytes, mode, writing);
    // Items of a block were counted as they came; bytes are cut here.
    bool by_items = is_block_like(value->type()) && !part_counts_bytes;
    if (part >= 1 && !by_items && out.size() - start > size_t(part)) out.resize(start + size_t(part));
    if (out.size() - start > MAX_BYTES) no_memory();
    return uint32_t(out.size() - start);
}
}  // namespace

uint32_t from_value(std::vector<uint8_t>& out, Cell* value, int32_t part, bool part_counts_bytes, Mode mode) {
    return collect_bytes(out, value, part, part_counts_bytes, mode, true);
}

uint32_t from_value(Cell* destination, Cell* value, int32_t part, bool part_counts_bytes, Mode mode) {
    std::vector<uint8_t> bytes;
    uint32_t n = collect_bytes(bytes, value, part, part_counts_bytes, mode, destination != nullptr);
    if (destination) append_bytes(destination, bytes.data(), n);
    return n;
}

uint32_t from_issue(const Cell* issue, Cell* result, bool size_only) {
    string::detail::Text t = string::detail::text_of(issue);
    Cell decoded;
    decode_16(t.at(0), t.count, t.unit, &decoded);
    if (decoded.is(TYPE_NONE)) fire("script", "invalid-data", issue);
    uint32_t n = ks_length(&decoded);
    if (!size_only) *result = decoded;
    return n;
}

// ---- comparison and parse -----------------------------------------------------------------------

namespace {

bool plain_equality(int32_t op) {
    return op == actions::EQUAL || op == actions::NOT_EQUAL || op == actions::STRICT_EQUAL || op == actions::FIND;
}

// The bytes of the other side of a comparison: a binary read in place, a
// text value through its UTF-8.
struct Side {
    std::vector<uint8_t> held;
    uint32_t node = 0, head = 0, count = 0;
    const uint8_t* data() const {
        return node ? memory::buffer_of(node)->head_ptr() + head : held.data();
    }
};

bool side_of(const Cell* v, Side& s) {
    if (v->is(TYPE_BINARY)) {
        s.node = v->data2;
        s.head = head_of(v);
        s.count = full_of(v) - s.head;
        return true;
    }
    if (!series::is_text_kind(v->type())) return false;
    append_utf8_of(s.held, v);
    s.count = uint32_t(s.held.size());
    return true;
}

}  // namespace

int32_t compare_bytes(const Cell* value1, const Cell* value2, int32_t op, bool match) {
    Side a, b;
    if (!side_of(value1, a) || !side_of(value2, b)) return -2;
    bool same = a.node && a.node == b.node && a.head == b.head;
    if (op == actions::SAME) return same ? 0 : -1;
    if (same && plain_equality(op)) return 0;
    uint32_t n;
    if (match) {
        if (b.count == 0)
            return op == actions::EQUAL || op == actions::STRICT_EQUAL || op == actions::FIND ? 0 : 1;
        n = std::min(a.count, b.count);  // never read past the binary's tail
    } else {
        if (a.count != b.count && plain_equality(op)) return 1;
        n = std::min(a.count, b.count);
    }
    if (n) {
        int r = std::memcmp(a.data(), b.data(), n);
        if (r != 0) return r < 0 ? -1 : 1;
    }
    if (match) return a.count < b.count ? -1 : 0;
    return a.count < b.count ? -1 : a.count > b.count ? 1 : 0;
}

bool match_bitset(const Cell* bin, const Cell* bitset) {
    if (ks_tail_q(bin)) return false;
    uint8_t c = get_byte(bin, head_of(bin));
    Buffer* bits = memory::buffer_of(bitset->data2);
    uint32_t byte = c >> 3;
    if (byte >= bits->used_bytes()) return (bits->flags & memory::FLAG_COMPLEMENT) != 0;
    return (bits->head_ptr()[byte] & (0x80u >> (c & 7))) != 0;
}

bool match(const Cell* bin, const Cell* value, int32_t op) {
    if (value->is(TYPE_CHAR)) return !ks_tail_q(bin) && get_byte(bin, head_of(bin)) == value->data2;
    return compare_bytes(bin, value, op, true) == 0;
}

// ---- the text of binaries ---------------------------------------------------------------------

namespace {

bool blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int base64_digit(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The bytes of a literal body, or false. Blanks and ";" comments are skipped
// by the caller's loop through next().
class Body {
public:
    Body(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}
    // The next byte that is neither blank nor inside a comment.
    bool next(uint8_t* c) {
        while (p_ < end_) {
            uint8_t b = *p_++;
            if (blank(b)) continue;
            if (b == ';') {
                while (p_ < end_ && *p_ != '\n') p_++;
                continue;
            }
            *c = b;
            return true;
        }
        return false;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

bool literal_16(Body body, std::vector<uint8_t>& out) {
    uint8_t c;
    int high = -1;
    while (body.next(&c)) {
        int v = hex_digit(c);
        if (v < 0) return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t((high << 4) | v));
            high = -1;
        }
    }
    return high < 0;
}

bool literal_2(Body body, std::vector<uint8_t>& out) {
    uint8_t c;
    uint32_t acc = 0, bits = 0;
    while (body.next(&c)) {
        if (c != '0' && c != '1') return false;
        acc = (acc << 1) | uint32_t(c - '0');
        if (++bits == 8) {
            out.push_back(uint8_t(acc));
            acc = bits = 0;
        }
    }
    return bits == 0;
}

bool literal_64(Body body, std::vector<uint8_t>& out) {
    uint8_t c;
    uint32_t acc = 0, pending = 0;
    while (body.next(&c)) {
        if (c == '=') {
            // padding closes the last group: two "=" after 2 characters, one after 3
            uint32_t pads = 1;
            while (body.next(&c)) {
                if (c != '=') return false;
                pads++;
            }
            if (pending == 2 && pads == 2) {
                out.push_back(uint8_t(acc >> 4));
                return true;
            }
            if (pending == 3 && pads == 1) {
                out.push_back(uint8_t(acc >> 10));
                out.push_back(uint8_t(acc >> 2));
                return true;
            }
            return false;
        }
        int v = base64_digit(c);
        if (v < 0) return false;
        acc = (acc << 6) | uint32_t(v);
        if (++pending == 4) {
            out.push_back(uint8_t(acc >> 16));
            out.push_back(uint8_t(acc >> 8));
            out.push_back(uint8_t(acc));
            acc = pending = 0;
        }
    }
    return pending == 0;
}

}  // namespace

namespace {

// The literal without its closing brace: the base digits, "#{" and the body.
bool literal_bytes(const uint8_t* text, const uint8_t* end, std::vector<uint8_t>& bytes) {
    const uint8_t* p = text;
    uint32_t base = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9' && digits < 3) {
        base = base * 10 + uint32_t(*p++ - '0');
        digits++;
    }
    if (!digits) base = 16;
    if (end - p < 2 || p[0] != '#' || p[1] != '{') return false;
    Body body(p + 2, end);
    bytes.reserve(size_t(end - p));
    switch (base) {
        case 16: return literal_16(body, bytes);
        case 64: return literal_64(body, bytes);
        case 2: return literal_2(body, bytes);
        default: return false;
    }
}

// The tokenizer's maker: its binary token ends on the closing brace.
int make_literal(lexer::Token& t, Cell* out) {
    std::vector<uint8_t> bytes;
    if (!literal_bytes(t.start, t.end, bytes)) return TYPE_BINARY;
    t.type = TYPE_BINARY;
    if (out) *out = of_bytes(bytes);
    return 0;
}

}  // namespace

bool from_literal(const uint8_t* text, uint32_t length, Cell* out) {
    if (length < 1 || text[length - 1] != '}') return false;
    std::vector<uint8_t> bytes;
    if (!literal_bytes(text, text + length - 1, bytes)) return false;
    *out = of_bytes(bytes);
    return true;
}

// ---- actions ----------------------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, int32_t) {
    uint32_t t = spec->type();
    std::vector<uint8_t> bytes;
    Cell result;
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
            // every item as insert would add it
            from_value(bytes, spec, -1, false, Mode::ANY);
            break;
        case TYPE_INTEGER:
            append_be(bytes, uint32_t(spec->data2), 4);
            break;
        case TYPE_FLOAT: case TYPE_PERCENT:
            append_be(bytes, std::bit_cast<uint64_t>(spec->get_float()), 8);
            break;
        case TYPE_ISSUE:
            from_issue(spec, &result, false);
            *proto = result;
            return proto;
        case TYPE_BITSET: {
            Buffer* b = memory::buffer_of(spec->data2);
            bytes.assign(b->head_ptr(), b->tail_ptr());
            break;
        }
        case TYPE_IMAGE:
            extended::need(image_argb)(spec, &result);
            *proto = result;
            return proto;
        default:
            if (t == TYPE_CHAR || t == TYPE_BINARY || t == TYPE_TUPLE || series::is_text_kind(t)) {
                from_value(bytes, spec, -1, false, Mode::STRICT);
            } else {
                Cell dt = datatype_of(TYPE_BINARY);
                fire("script", "bad-to-arg", &dt, spec);
            }
    }
    *proto = of_bytes(bytes);
    return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

int32_t mold(Cell* value, Cell* buffer_cell, bool only, bool, bool flat, Cell* part, int32_t limit, int32_t indent) {
    uint32_t node = value->data2;
    uint32_t head = head_of(value);
    uint32_t count = full_of(value) - head;
    if (!only) {
        string::concatenate_ascii(buffer_cell, "#{", 2);
        limit -= 2;
    }
    int32_t level = indent + 1;
    bool lines = count > 30 && !flat;
    auto line_break = [&](int32_t at_level) {
        string::concatenate_ascii(buffer_cell, "\n", 1);
        limit = mold::indent(buffer_cell, at_level, limit - 1);
    };
    if (lines) line_break(level);
    static constexpr char HEX[] = "0123456789ABCDEF";
    uint32_t written = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (part && limit <= 0) break;
        uint8_t byte = memory::buffer_of(node)->head_ptr()[head + i];
        char pair[2] = {HEX[byte >> 4], HEX[byte & 15]};
        string::concatenate_ascii(buffer_cell, pair, 2);
        limit -= 2;
        written++;
        if (!flat && written % 32 == 0) line_break(level);
    }
    if (lines && written > 30 && written % 32 != 0) line_break(indent);
    if (!only) {
        string::concatenate_ascii(buffer_cell, "}", 1);
        limit--;
    }
    return limit;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_BINARY)) return -2;
    return compare_bytes(value1, value2, op, false);
}

namespace {

enum class Bitwise { AND, OR, XOR };

Cell* bitwise(Bitwise op) {
    Cell* args = stack::arguments;
    if (!args[1].is(TYPE_BINARY)) fire("script", "invalid-arg", &args[1]);
    std::vector<uint8_t> a = bytes_of(&args[0]), b = bytes_of(&args[1]);
    if (a.size() < b.size()) a.swap(b);  // a: the longer
    for (size_t i = 0; i < a.size(); i++) {
        if (i < b.size()) {
            switch (op) {
                case Bitwise::AND: a[i] &= b[i]; break;
                case Bitwise::OR: a[i] |= b[i]; break;
                case Bitwise::XOR: a[i] ^= b[i]; break;
            }
        } else if (op == Bitwise::AND) {
            a[i] = 0;
        }
    }
    args[0] = of_bytes(a);
    return &args[0];
}

}  // namespace

Cell* and_t() { return bitwise(Bitwise::AND); }
Cell* or_t() { return bitwise(Bitwise::OR); }
Cell* xor_t() { return bitwise(Bitwise::XOR); }

Cell* complement(Cell* bin) {
    Buffer* b = buffer(bin);
    for (uint8_t* p = b->head_ptr() + head_of(bin); p < b->tail_ptr(); p++) *p = uint8_t(~*p);
    return bin;
}

namespace {

// size x dup, refused when it leaves 32 bits or the binary would.
uint64_t total_of(uint32_t size, int32_t dup, uint64_t base) {
    uint64_t copies = dup < 1 ? 0 : uint64_t(dup);
    uint64_t total = uint64_t(size) * copies;
    if (total > MAX_BYTES || base + total > MAX_BYTES) no_memory();
    return total;
}

// Writes the bytes dup times at a position already opened for them.
void write_copies(Cell* bin, uint32_t pos, const std::vector<uint8_t>& bytes, uint64_t total) {
    if (!total) return;
    uint8_t* at = buffer(bin)->head_ptr() + pos;
    std::memcpy(at, bytes.data(), bytes.size());
    memory::repeat_fill(at, uint32_t(bytes.size()), uint32_t(total / bytes.size()));
}

}  // namespace

Cell* insert(Cell* bin, Cell* value, int32_t part, bool, int32_t dup, bool append_) {
    std::vector<uint8_t> bytes;
    from_value(bytes, value, part, false, Mode::ANY);
    if (part == 0) bytes.clear();  // /part 0 takes nothing (not "no limit")
    uint32_t full = full_of(bin);
    uint32_t h = head_of(bin);
    uint32_t at = append_ ? full : h;
    uint64_t total = total_of(uint32_t(bytes.size()), dup, full);
    series::Notify ev(bin, append_ ? series::Event::APPEND : series::Event::INSERT, int32_t(at), int32_t(total));
    // the owner's handler may have changed the binary: the position is read afresh
    full = full_of(bin);
    at = append_ ? full : head_of(bin);
    total = total_of(uint32_t(bytes.size()), dup, full);
    open_gap(bin, at, total, (uint64_t(full) + total) * 2);
    write_copies(bin, at, bytes, total);
    ev.done();
    bin->data1 = append_ ? 0 : uint32_t(at + total);
    return bin;
}

Cell* change(Cell* bin, Cell* value, int32_t part, bool, int32_t dup) {
    std::vector<uint8_t> bytes;
    from_value(bytes, value, -1, false, Mode::ANY);
    uint32_t full = full_of(bin);
    uint32_t h = head_of(bin);
    uint32_t remain = full - h;
    uint64_t total = total_of(uint32_t(bytes.size()), dup, full);
    uint32_t replace = part >= 0 ? std::min(uint32_t(part), remain) : uint32_t(std::min<uint64_t>(total, remain));
    series::Notify ev(bin, series::Event::CHANGE, int32_t(h), int32_t(replace));
    // the owner's handler may have changed the binary: the span is read afresh
    full = full_of(bin);
    h = head_of(bin);
    remain = full - h;
    total = total_of(uint32_t(bytes.size()), dup, full);
    replace = part >= 0 ? std::min(uint32_t(part), remain) : uint32_t(std::min<uint64_t>(total, remain));
    uint64_t new_full = uint64_t(full) - replace + total;
    Buffer* b = reserve(bin, new_full, new_full * 2);
    uint8_t* base = b->head_ptr();
    std::memmove(base + h + total, base + h + replace, full - h - replace);
    b->tail = b->offset + uint32_t(new_full);
    write_copies(bin, h, bytes, total);
    ev.done();
    bin->data1 = uint32_t(h + total);
    return bin;
}

Cell* trim(Cell* bin, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    std::vector<uint8_t> drop;
    if (with) {
        uint32_t t = with->type();
        if (t != TYPE_BINARY && t != TYPE_CHAR && t != TYPE_INTEGER && !series::is_text_kind(t))
            fire("script", "invalid-arg", with);
        from_value(drop, with, -1, false, Mode::STRICT);
    } else if (all) {
        drop.push_back(0);
    } else if (auto_ || lines) {
        fire("internal", "not-done");
    }
    uint32_t h = head_of(bin);
    series::Notify ev(bin, series::Event::TRIM, int32_t(h), int32_t(full_of(bin) - h));
    h = head_of(bin);  // the owner's handler may have shortened the binary
    std::vector<uint8_t> bytes = bytes_of(bin), kept;
    if (with || all) {
        for (uint8_t c : bytes)
            if (std::find(drop.begin(), drop.end(), c) == drop.end()) kept.push_back(c);
    } else {
        size_t a = 0, e = bytes.size();
        if (head || !tail)
            while (a < e && bytes[a] == 0) a++;
        if (tail || !head)
            while (e > a && bytes[e - 1] == 0) e--;
        kept.assign(bytes.begin() + long(a), bytes.begin() + long(e));
    }
    Buffer* b = buffer(bin);
    if (!kept.empty()) std::memcpy(b->head_ptr() + h, kept.data(), kept.size());
    b->tail = b->offset + h + uint32_t(kept.size());
    ev.done();
    return bin;
}

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_TO>(&to)
        .set<A_FORM>(&form)
        .set<A_MOLD>(&mold)
        .set<A_COMPARE>(&compare)
        .set<A_AND_T>(&and_t)
        .set<A_OR_T>(&or_t)
        .set<A_XOR_T>(&xor_t)
        .set<A_COMPLEMENT>(&complement)
        .set<A_APPEND>(&insert)
        .set<A_INSERT>(&insert)
        .set<A_CHANGE>(&change)
        .set<A_TRIM>(&trim);
    for (int slot : {A_SET_PATH, A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER, A_REMAINDER, A_ROUND,
                     A_SUBTRACT, A_EVEN_Q, A_ODD_Q, A_PUT, A_CREATE, A_CLOSE, A_DELETE, A_OPEN, A_OPEN_Q, A_QUERY,
                     A_READ, A_RENAME, A_UPDATE, A_WRITE})
        a.unsupported(slot);
    datatype::register_type(TYPE_BINARY, TYPE_STRING, "binary!", a);
    lexer::set_maker(lexer::T_BINARY, &make_literal);
}

}  // namespace kro::binary
