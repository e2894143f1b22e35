#include "foundation/hashtable.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "datatypes/date.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/casing.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"
#include "foundation/print.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

// ---- hashing -------------------------------------------------------------------

namespace kro::hash {

uint32_t seed = 0;

namespace {

inline uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

constexpr uint32_t C1 = 0xCC9E2D51;
constexpr uint32_t C2 = 0x1B873593;

inline uint32_t block_step(uint32_t h, uint32_t k) {
    k *= C1;
    k = rotl(k, 15);
    k *= C2;
    h ^= k;
    h = rotl(h, 13);
    return h * 5 + 0xE6546B64;
}

// The string hash: the block step once per code point instead of per 4 bytes.
uint32_t text(const Cell* v, bool fold, int32_t limit) {
    memory::Buffer* b = memory::buffer_of(v->data2);
    uint32_t unit = uint32_t(b->unit());
    if (unit != 1 && unit != 2 && unit != 4) rt_error::no_switch_match();
    uint64_t start = uint64_t(b->offset) + uint64_t(v->data1) * unit;
    uint32_t count = start < b->tail ? uint32_t((b->tail - start) / unit) : 0;
    if (limit >= 0 && uint32_t(limit) < count) count = uint32_t(limit);
    const uint8_t* p = b->data() + start;
    uint32_t h = seed;
    for (uint32_t i = 0; i < count; i++, p += unit) {
        uint32_t c = 0;
        std::memcpy(&c, p, unit);
        if (fold) c = casing::to_upper_fast(c);
        h = block_step(h, c);
    }
    h ^= 4 * count;
    return mix(h);
}

// A symbol's spelling with 'A'-'Z' lowered: the same hash the symbol table uses.
uint32_t symbol_name(const Cell* sym) {
    memory::Buffer* b = memory::buffer_of(sym->data3);
    uint32_t n = b->used_bytes();
    std::vector<uint8_t> low(b->head_ptr(), b->head_ptr() + n);
    for (auto& c : low)
        if (c >= 'A' && c <= 'Z') c |= 0x20;
    return murmur3(low.data(), n);
}

// A double as its equality sees it: 0.0 and -0.0 alike, every NaN alike.
uint32_t number(double d) {
    if (d == 0.0) d = 0.0;
    uint64_t bits = d != d ? 0x7FF8000000000000ull : std::bit_cast<uint64_t>(d);
    return murmur3(&bits, 8);
}

// Coordinates compare within ten steps of the float order (sign and magnitude
// read as one number): they hash by cells of 32 steps, so that equal points
// share a cell or lie in neighbouring ones, which a search probes both.
int64_t coordinate_step(float f) {
    uint32_t u = std::bit_cast<uint32_t>(f);
    int64_t m = u & 0x7FFFFFFF;
    return (u >> 31) ? -m : m;
}

uint32_t coordinate_cell(int64_t step) { return uint32_t(step >> 5); }

uint32_t coordinate_cells(const uint32_t* cells, int n) { return murmur3(cells, uint32_t(n) * 4); }

// The coordinates of a pair!, point2D! or point3D! (a pair as the point it equals).
int coordinates_of(const Cell* v, float* c) {
    if (v->is(TYPE_PAIR)) {
        c[0] = float(int32_t(v->data2));
        c[1] = float(int32_t(v->data3));
        return 2;
    }
    std::memcpy(c, &v->data1, 3 * sizeof(float));
    return v->is(TYPE_POINT2D) ? 2 : 3;
}

uint32_t coordinates(const Cell* v) {
    float c[3];
    uint32_t cells[3];
    int n = coordinates_of(v, c);
    for (int i = 0; i < n; i++) cells[i] = c[i] != c[i] ? 0x7FFFFFFFu : coordinate_cell(coordinate_step(c[i]));
    return coordinate_cells(cells, n);
}

}  // namespace

uint32_t murmur3(const void* bytes, uint32_t length, uint32_t s) {
    auto* data = static_cast<const uint8_t*>(bytes);
    uint32_t h = s;
    uint32_t blocks = length / 4;
    for (uint32_t i = 0; i < blocks; i++) {
        uint32_t k;
        std::memcpy(&k, data + i * 4, 4);  // little-endian blocks
        h = block_step(h, k);
    }
    const uint8_t* tail = data + blocks * 4;
    uint32_t k = 0;
    switch (length & 3) {
        case 3: k ^= uint32_t(tail[2]) << 16; [[fallthrough]];
        case 2: k ^= uint32_t(tail[1]) << 8; [[fallthrough]];
        case 1:
            k ^= tail[0];
            k *= C1;
            k = rotl(k, 15);
            k *= C2;
            h ^= k;
    }
    h ^= length;
    return mix(h);
}

uint32_t value(const Cell* v, bool case_sensitive) {
    uint32_t t = v->header & TYPE_MASK;
    switch (t) {
        case TYPE_INTEGER:
        case TYPE_CHAR:
            return mix(v->data2);
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
        case TYPE_REFINEMENT: case TYPE_ISSUE:
            // case variants of a spelling hash alike
            return mix(uint32_t(symbol::resolve(int32_t(v->data2))));
        case TYPE_SYMBOL:
            return symbol_name(v);
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            return text(v, !case_sensitive, -1);
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            return number(v->get_float());
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D:
            return coordinates(v);
        case TYPE_MONEY: {
            // the sign and the digits: an amount equals the same amount in no
            // currency, and a zero equals a zero whatever its sign bit says
            uint32_t words[4] = {v->header & 0x4000, v->data1 & 0xFFFFFF00u, v->data2, v->data3};
            if (words[1] == 0 && words[2] == 0 && words[3] == 0) words[0] = 0;
            return murmur3(words, 16);
        }
        case TYPE_DATE:
            // equal dates are the same moment, whatever the zone they show
            return number(double(date::date_to_days(date::packed_of(v))) * 86400.0 + date::time_of(v));
        case TYPE_BINARY: {
            memory::Buffer* b = memory::buffer_of(v->data2);
            uint32_t used = b->used_bytes();
            uint32_t n = v->data1 < used ? used - v->data1 : 0;
            return murmur3(b->head_ptr() + (n ? v->data1 : 0), n);
        }
        case TYPE_TUPLE: {
            // trailing zero bytes aside: 1.2.3 equals 1.2.3.0
            uint32_t n = (v->header >> 19) & 0xF;
            if (n > 12) n = 12;
            const auto* bytes = reinterpret_cast<const uint8_t*>(&v->data1);
            while (n > 0 && bytes[n - 1] == 0) n--;
            return murmur3(bytes, n);
        }
        case TYPE_OP: case TYPE_FUNCTION: case TYPE_TYPESET: case TYPE_TRIPLE:
            return murmur3(&v->data1, 12);
        case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT: case TYPE_LOGIC: case TYPE_DATATYPE:
            return mix(v->data1);
        case TYPE_NATIVE: case TYPE_ACTION:
            // by the table index, which is what comparison uses
            return mix(v->data1);
        case TYPE_MAP: case TYPE_HANDLE: case TYPE_EVENT:
            return mix(v->data2);
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_IMAGE:
            return murmur3(&v->data1, 8);
        case TYPE_NONE:
            return 0xFFFFFFFFu;
        case TYPE_UNSET:
            return 0xFFFFFFFEu;
        case TEXT_SLICE:
            return text(v, !case_sensitive, int32_t(v->data3));
        default:
            return 0;
    }
}

}  // namespace kro::hash

// ---- tables --------------------------------------------------------------------

namespace kro::hashtable {

void (*prepare_key)(Cell* key) = nullptr;
uint32_t key_edits = 0;

namespace {

using memory::Buffer;

constexpr uint32_t NO_BUCKET = 0xFFFFFFFFu;
constexpr int32_t RENUMBER_LIMIT = 30000;

inline Buffer* buf(uint32_t node) { return memory::buffer_of(node); }
inline uint8_t* bytes(uint32_t node) { return buf(node)->head_ptr(); }
inline uint32_t* words(uint32_t node) { return reinterpret_cast<uint32_t*>(bytes(node)); }
inline Cell* cells(uint32_t node) { return reinterpret_cast<Cell*>(bytes(node)); }
inline int32_t cell_count(uint32_t node) { return int32_t(buf(node)->used_bytes() / sizeof(Cell)); }
inline uint32_t word_count(uint32_t node) { return buf(node)->used_bytes() / 4; }

inline uint32_t get_state(const uint8_t* st, uint32_t b) { return (st[b >> 2] >> ((b & 3) * 2)) & 3; }
inline void set_state(uint8_t* st, uint32_t b, uint32_t s) {
    uint32_t sh = (b & 3) * 2;
    st[b >> 2] = uint8_t((st[b >> 2] & ~(3u << sh)) | (s << sh));
}

// A byte array filled with a byte, its tail at the requested length.
uint32_t new_array(uint32_t length, uint8_t fill) {
    uint32_t node = memory::new_series(length, 1, 0);
    Buffer* b = buf(node);
    memory::fill_range(b->data(), b->end_ptr(), fill);
    b->tail = length;
    return node;
}

void append_word(uint32_t node, uint32_t v) {
    Buffer* b = buf(node);
    if (b->free_bytes() < 4) b = memory::grow_series(b, 0);
    std::memcpy(b->tail_ptr(), &v, 4);
    b->tail += 4;
}

Cell* append_cells(uint32_t node, uint32_t n) {
    Buffer* b = buf(node);
    uint32_t need = n * uint32_t(sizeof(Cell));
    if (b->free_bytes() < need) {
        uint64_t size = b->size ? uint64_t(b->size) * 2 : 64;
        while (size - b->tail < need) size *= 2;
        if (size > 0xF0000000u) fire("internal", "no-memory");
        b = memory::grow_series(b, uint32_t(size));
    }
    Cell* c = reinterpret_cast<Cell*>(b->tail_ptr());
    b->tail += need;
    return c;
}

uint32_t power_of_two_at_least(uint64_t n) {
    uint64_t p = 4;
    while (p < n) p <<= 1;
    if (p > 0x40000000u) fire("internal", "no-memory");
    return uint32_t(p);
}

inline bool node_keyed(uint32_t t) {
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_IMAGE: case TYPE_EVENT: case TYPE_MAP: case TYPE_NATIVE:
        case TYPE_ACTION: case TYPE_OP: case TYPE_FUNCTION: case TYPE_PORT: case TYPE_ERROR: case TYPE_OBJECT:
            return true;
        default:
            return false;
    }
}

inline uint32_t next_stamp() { return memory::cycles + 1; }

// Keys a hash! finds by the content of a series the language can change.
inline bool content_keyed(uint32_t t) {
    switch (t) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        case TYPE_BINARY:
            return true;
        default:
            return false;
    }
}

// Held by each update of a hash! table: should it end by an error (no memory
// for the table's arrays, after the block has changed already), the table is
// marked stale rather than left half updated.
class StaleOnFailure {
public:
    explicit StaleOnFailure(uint32_t t) : t_(t), pending_(std::uncaught_exceptions()) {}
    ~StaleOnFailure() {
        if (std::uncaught_exceptions() > pending_ && record(t_)->kind == HASH) record(t_)->stamp = STALE;
    }

private:
    uint32_t t_;
    int pending_;
};

inline bool stale(uint32_t t) {
    const Table* r = record(t);
    return r->kind == HASH && r->stamp == STALE;
}

// Whether a compare answer satisfies an op (an answer of -2, "not comparable",
// never satisfies an equality).
bool holds(int32_t answer, int32_t op) {
    switch (op) {
        case 1: return answer != 0;
        case 3: return answer == -1;
        case 4: return answer == -1 || answer == 0;
        case 5: return answer == 1;
        case 6: return answer == 0 || answer == 1;
        default: return answer == 0;
    }
}

// Compares a stored key with a looked-up one through the stored key's compare
// action; a type without one compares by its payload.
bool satisfies(const Cell* stored, const Cell* key, int32_t op) {
    auto fn = datatype::action<A_COMPARE>(stored->type());
    if (!fn) {
        bool same = stored->type() == key->type() && std::memcmp(&stored->data1, &key->data1, 12) == 0;
        return holds(same ? 0 : 1, op);
    }
    return holds(fn(const_cast<Cell*>(stored), const_cast<Cell*>(key), op), op);
}

inline bool type_matches(const Cell* stored, const Cell* key) {
    return (key->header & TYPE_MASK) == hash::TEXT_SLICE || stored->type() == key->type();
}

inline bool nan_number(const Cell* c) {
    Type t = c->type();
    return (t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_TIME) && c->get_float() != c->get_float();
}

// A map! key matches under the lookup's equality; a NaN key matches a NaN key
// of its type (except for sameness, which wants the same bits), so that a value
// stored under NaN can be read back.
bool key_matches(const Cell* stored, const Cell* key, int32_t op) {
    // the common keys without a call of the compare action: integers equal by
    // value under every equality; a word's own spelling is equal to itself
    // (another spelling may still be a case variant: the action decides)
    Type kt = key->type();
    if (kt == TYPE_INTEGER) return stored->type() == TYPE_INTEGER && stored->data2 == key->data2;
    if (kt == TYPE_SET_WORD && stored->type() == TYPE_SET_WORD && stored->data2 == key->data2 &&
        (op != 9 || stored->data1 == key->data1))
        return true;
    if (op != 9 && nan_number(key) && nan_number(stored) && stored->type() == key->type()) return true;
    return type_matches(stored, key) && satisfies(stored, key, op);
}

// Key types whose equality a hash cannot follow (dates compare within a
// tolerance of their own; maps and images by content): a hash! finds them by a
// scan.
inline bool scanned_key(Type t) { return t == TYPE_DATE || t == TYPE_MAP || t == TYPE_IMAGE; }

// The hashes of every cell combination a value equal to a pair or point key may
// hash to (at most 8), or 0 when the key has a NaN or a coordinate near the
// largest float, whose equality reaches further: such a key is found by a scan.
int point_probes(const Cell* key, uint32_t* hashes) {
    float c[3];
    int n = hash::coordinates_of(key, c);
    uint32_t low[3], high[3];
    for (int i = 0; i < n; i++) {
        if (c[i] != c[i] || (std::bit_cast<uint32_t>(c[i]) & 0x7FFFFFFF) > 0x7F6FFFFF) return 0;
        int64_t step = hash::coordinate_step(c[i]);
        low[i] = hash::coordinate_cell(step - 10);
        high[i] = hash::coordinate_cell(step + 10);
    }
    int count = 0;
    for (int pick = 0; pick < (1 << n); pick++) {
        uint32_t cells[3];
        bool valid = true;
        for (int i = 0; i < n; i++) {
            bool up = (pick >> i) & 1;
            if (up && high[i] == low[i]) valid = false;
            cells[i] = up ? high[i] : low[i];
        }
        if (valid) hashes[count++] = hash::coordinate_cells(cells, n);
    }
    return count;
}

// Whether a search may match values of another type: words of any kind match
// by spelling, a pair matches the point it equals. Other values match only
// values of their own type, which spares a comparison per bucket.
inline bool crosses_types(Type a, Type b) {
    if (a == b || b == Type(hash::TEXT_SLICE)) return true;
    bool wa = a >= TYPE_WORD && a <= TYPE_REFINEMENT, wb = b >= TYPE_WORD && b <= TYPE_REFINEMENT;
    if (wa && wb) return true;
    return (a == TYPE_PAIR && b == TYPE_POINT2D) || (a == TYPE_POINT2D && b == TYPE_PAIR);
}

// Whether the values a search for this key finds are all strictly equal to it:
// then they share one group, and the walk ends with that group.
inline bool one_group(const Cell* key, int32_t op) {
    // a pair equals points, which have groups of their own; points equal within a tolerance
    Type t = key->type();
    if (t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D) return false;
    if (op == 2 || op == 9) return true;
    switch (key->type()) {
        case TYPE_INTEGER: case TYPE_CHAR: case TYPE_LOGIC: case TYPE_NONE: case TYPE_UNSET: case TYPE_DATATYPE:
            return true;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            return !nan_number(key);
        default:
            return false;
    }
}

// Whether a hash! position is a candidate of a search from head: a forward
// search takes positions from head on, /last any, /reverse those before head;
// the distance must be a whole number of records, counted as a linear scan
// steps (back from the cell before head, back from the last cell, or on from head).
bool on_record(int32_t pos, int32_t head, int32_t skip, int32_t last_cell, bool last, bool reverse) {
    if (reverse ? pos >= head : (!last && pos < head)) return false;
    int32_t dist = reverse ? head - pos - 1 : last ? last_cell - pos : pos - head;
    int32_t step = skip < 0 ? -skip : skip;
    int32_t rem = dist % skip;
    if (rem < 0) rem += step;
    return rem == 0;
}

// A hash! slot names one cell (>= 0) or a duplicate list (minus its 1-based number).
uint32_t dup_list(const Table* r, int32_t slot) { return words(r->dup_lists)[-slot - 1]; }

Cell* slot_key(const Table* r, int32_t slot) {
    if (slot < 0) slot = int32_t(words(dup_list(r, slot))[0]);
    return cells(r->data) + slot;
}

void set_cell_bucket(uint32_t t, uint32_t pos, uint32_t bucket) {
    Buffer* b = buf(record(t)->cell_buckets);
    if (uint64_t(pos) * 4 >= b->size) {
        uint32_t size = pos * 8 > 16 ? pos * 8 : 16;
        b = memory::grow_series_filled(b, size, 0xFF);
        b->tail = b->size;
    }
    reinterpret_cast<uint32_t*>(b->head_ptr())[pos] = bucket;
}

uint32_t get_cell_bucket(const Table* r, uint32_t pos) {
    Buffer* b = buf(r->cell_buckets);
    if (uint64_t(pos) * 4 >= b->size) return NO_BUCKET;
    return reinterpret_cast<uint32_t*>(b->head_ptr())[pos];
}

// Rebuilds must not see nodes move underneath them.
struct CompactionOff {
    bool saved;
    CompactionOff() : saved(gc::node_compaction) { gc::node_compaction = false; }
    ~CompactionOff() { gc::node_compaction = saved; }
};

// Takes the cell at a position out of a hash! table.
void remove_position(uint32_t t, uint32_t pos) {
    Table* r = record(t);
    uint32_t b = get_cell_bucket(r, pos);
    if (b == NO_BUCKET || b == 0) return;
    words(r->cell_buckets)[pos] = NO_BUCKET;
    uint32_t i = b - 1;
    int32_t slot = int32_t(words(r->slots)[i]);
    if (slot < 0) {
        uint32_t list = dup_list(r, slot);
        Buffer* lb = buf(list);
        auto* p = reinterpret_cast<uint32_t*>(lb->head_ptr());
        uint32_t n = lb->used_bytes() / 4;
        for (uint32_t k = 0; k < n; k++) {
            if (p[k] == pos) {
                std::memmove(p + k, p + k + 1, (n - k - 1) * 4);
                lb->tail -= 4;
                n--;
                break;
            }
        }
        if (n > 0) return;  // equal values remain: the bucket stays live
        words(r->dup_lists)[-slot - 1] = 0;
        words(r->slots)[i] = uint32_t(-slot);
    } else if (uint32_t(slot) != pos) {
        return;
    }
    set_state(bytes(r->states), i, STATE_DELETED);
    r->live--;
}

// Indexes one cell. Answers the key, or, for map! and name tables, the
// strictly equal key already indexed.
Cell* put_cell(uint32_t t, Cell* key, int32_t* status) {
    *status = 0;
    Table* r = record(t);
    if (r->used >= r->bound) {
        uint32_t request = r->buckets > 2 * uint32_t(r->live) ? r->buckets - 1 : r->buckets + 1;
        if (r->kind == MAP) request = r->buckets + 1;
        if (r->kind == HASH) {
            rebuild(t, int32_t(request));
            *status = 2;
            return key;
        }
        if (r->kind == NAMES) request *= 16;
        resize(t, int32_t(request));
        r = record(t);
    }
    if (r->kind == HASH && r->stamp == 0 && node_keyed(key->type())) r->stamp = next_stamp();
    if (r->kind == HASH && content_keyed(key->type())) {
        Buffer* kb = buf(key->data2);
        kb->flags |= FLAG_KEY;
        if (r->seen == 0) r->seen = key_edits + 1;
    }
    uint32_t pos = uint32_t(key - cells(r->data));
    uint32_t h = hash::value(key, false);
    uint32_t mask = r->buckets - 1, i = h & mask, n = 0;
    int64_t deleted = -1;
    bool empty = false;
    for (uint32_t walked = 0; walked < r->buckets; walked++) {
        uint32_t s = get_state(bytes(r->states), i);
        if (s & STATE_EMPTY) {
            empty = true;
            break;
        }
        if (s == STATE_DELETED) {
            deleted = i;
        } else {
            int32_t slot = int32_t(words(r->slots)[i]);
            Cell* stored = slot_key(r, slot);
            if (stored->type() == key->type()) {
                // hash! groups strictly equal values only: every member of a
                // group then answers a search as its first member does
                if (r->kind == HASH && satisfies(stored, key, 2)) {
                    if (slot >= 0) {
                        uint32_t list = new_array(16, 0);
                        buf(list)->tail = 0;
                        append_word(list, uint32_t(slot));
                        r = record(t);
                        append_word(r->dup_lists, list);
                        r = record(t);
                        slot = -int32_t(word_count(r->dup_lists));
                        words(r->slots)[i] = uint32_t(slot);
                    }
                    append_word(dup_list(r, slot), pos);
                    set_cell_bucket(t, pos, i + 1);
                    return key;
                }
                if (r->kind == MAP && key_matches(stored, key, 2)) return stored;
                if (r->kind == NAMES && satisfies(stored, key, 2)) return stored;
            }
        }
        n++;
        i = (i + n) & mask;
    }
    uint32_t target;
    if (deleted >= 0) {
        target = uint32_t(deleted);
    } else if (empty) {
        target = i;
        r->used++;
    } else {
        rt_error::fatal(101, KRO_CAPTURE_SITE());  // a full table cannot happen below the bound
    }
    words(r->slots)[target] = pos;
    set_state(bytes(r->states), target, STATE_LIVE);
    r->live++;
    if (r->kind == HASH) set_cell_bucket(t, pos, target + 1);
    return key;
}

// ---- identity kinds --------------------------------------------------------------

inline uint32_t record_width(const Table* r) { return r->cell_buckets; }
inline Cell* record_at(const Table* r, uint32_t offset) {
    return reinterpret_cast<Cell*>(bytes(r->data) + offset);
}

// Places a key without growth or stamp checks; answers the record's value cells.
Cell* place_key(uint32_t t, uint32_t key) {
    Table* r = record(t);
    uint32_t mask = r->buckets - 1, i = hash::mix(key) & mask, n = 0;
    int64_t deleted = -1;
    bool empty = false;
    for (uint32_t walked = 0; walked < r->buckets; walked++) {
        uint32_t s = get_state(bytes(r->states), i);
        if (s & STATE_EMPTY) {
            empty = true;
            break;
        }
        if (s == STATE_DELETED) {
            deleted = i;
        } else {
            Cell* rec = record_at(r, words(r->slots)[i]);
            if (rec->data1 == key) return rec + 1;
        }
        n++;
        i = (i + n) & mask;
    }
    uint32_t width = record_width(r);
    uint32_t offset;
    uint32_t target;
    if (deleted >= 0) {
        target = uint32_t(deleted);
        offset = words(r->slots)[target];
    } else if (empty) {
        target = i;
        append_cells(r->data, width / 16);
        r = record(t);
        offset = buf(r->data)->used_bytes() - width;
        words(r->slots)[target] = offset;
        r->used++;
    } else {
        rt_error::fatal(101, KRO_CAPTURE_SITE());
    }
    set_state(bytes(r->states), target, STATE_LIVE);
    r->live++;
    Cell* rec = record_at(r, offset);
    for (uint32_t c = 0; c < width / 16; c++) rec[c] = Cell{2, 0, 0, 0};
    rec->data1 = key;
    return rec + 1;
}

// Looks a key up; answers the bucket or -1.
int64_t find_key(uint32_t t, uint32_t key) {
    Table* r = record(t);
    uint32_t mask = r->buckets - 1, i = hash::mix(key) & mask, n = 0;
    for (uint32_t walked = 0; walked < r->buckets; walked++) {
        uint32_t s = get_state(bytes(r->states), i);
        if (s & STATE_EMPTY) return -1;
        if (s == STATE_LIVE && record_at(r, words(r->slots)[i])->data1 == key) return i;
        n++;
        i = (i + n) & mask;
    }
    return -1;
}

// Node addresses may have changed since the table last matched them.
void check_stamp(uint32_t t) {
    Table* r = record(t);
    if (r->kind == HASH && r->seen != 0 && r->seen != key_edits + 1 && !gc::collecting) {
        rebuild(t, cell_count(r->data));
        return;
    }
    if (r->stamp == 0 || r->stamp == next_stamp() || gc::collecting) return;
    if (r->kind == HASH) {
        rebuild(t, cell_count(r->data));
        return;
    }
    if (r->kind != IDENTITY && r->kind != OWNERSHIP) return;
    // Rehash in place: every live record goes to the first empty bucket of its probe.
    memory::fill_range(bytes(r->states), bytes(r->states) + buf(r->states)->used_bytes(), 0xAA);
    r->live = 0;
    r->used = 0;
    uint32_t width = record_width(r);
    uint32_t total = buf(r->data)->used_bytes();
    uint32_t mask = r->buckets - 1;
    for (uint32_t off = 0; off + width <= total; off += width) {
        Cell* rec = record_at(r, off);
        if (rec->header != 2) continue;
        uint32_t i = hash::mix(rec->data1) & mask, n = 0;
        while (!(get_state(bytes(r->states), i) & STATE_EMPTY)) {
            n++;
            i = (i + n) & mask;
        }
        words(r->slots)[i] = off;
        set_state(bytes(r->states), i, STATE_LIVE);
        r->live++;
        r->used++;
    }
    r->stamp = next_stamp();
}

// Applies a position map to the slots and duplicate lists that the cells at old
// positions [lo, hi) name; every duplicate list is mapped once.
template <class F>
void remap(uint32_t t, int32_t lo, int32_t hi, F f) {
    Table* r = record(t);
    std::vector<bool> seen(word_count(r->dup_lists), false);
    for (int32_t q = lo < 0 ? 0 : lo; q < hi; q++) {
        uint32_t b = get_cell_bucket(r, uint32_t(q));
        if (b == NO_BUCKET || b == 0) continue;
        uint32_t* slot = words(r->slots) + (b - 1);
        int32_t s = int32_t(*slot);
        if (s >= 0) {
            if (s == q) *slot = uint32_t(f(s));
            continue;
        }
        uint32_t k = uint32_t(-s - 1);
        if (k >= seen.size() || seen[k]) continue;
        seen[k] = true;
        uint32_t list = words(r->dup_lists)[k];
        if (!list) continue;
        uint32_t* p = words(list);
        uint32_t n = word_count(list);
        for (uint32_t j = 0; j < n; j++) p[j] = uint32_t(f(int32_t(p[j])));
    }
}

// Moves the position map entries of old positions [lo, hi) to their new places.
template <class F>
void permute_cell_buckets(uint32_t t, int32_t lo, int32_t hi, F f) {
    Table* r = record(t);
    std::vector<uint32_t> old;
    for (int32_t q = lo; q < hi; q++) old.push_back(get_cell_bucket(r, uint32_t(q)));
    for (int32_t q = lo; q < hi; q++) {
        int32_t to = f(q);
        if (to >= 0) set_cell_bucket(t, uint32_t(to), old[size_t(q - lo)]);
    }
}

uint32_t fold_capacity = 0;
uint8_t* fold_buffer = nullptr;

uint8_t* folded(const uint8_t* text, uint32_t length) {
    if (length > fold_capacity || !fold_buffer) {
        heap::free(fold_buffer);
        fold_capacity = length > 256 ? length : 256;
        fold_buffer = static_cast<uint8_t*>(heap::alloc(fold_capacity));
    }
    for (uint32_t i = 0; i < length; i++) {
        uint8_t c = text[i];
        fold_buffer[i] = (c >= 'A' && c <= 'Z') ? uint8_t(c | 0x20) : c;
    }
    return fold_buffer;
}

bool ascii_caseless_equal(const uint8_t* a, const uint8_t* b, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        uint8_t x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x |= 0x20;
        if (y >= 'A' && y <= 'Z') y |= 0x20;
        if (x != y) return false;
    }
    return true;
}

int32_t resolve_in(uint32_t block, int32_t id) {
    int32_t alias = int32_t(cells(block)[id - 1].data1);
    return alias > 0 ? alias : id;
}

}  // namespace

// ---- record and construction -------------------------------------------------------

Table* record(uint32_t table) { return reinterpret_cast<Table*>(bytes(table)); }

uint32_t bucket_state(uint32_t table, uint32_t bucket) { return get_state(bytes(record(table)->states), bucket); }
int32_t bucket_slot(uint32_t table, uint32_t bucket) { return int32_t(words(record(table)->slots)[bucket]); }

uint32_t make(int32_t size, const Cell* block, Kind kind, int32_t value_cells) {
    if (kind == NAMES && size >= 4000) size *= 2;
    if (size < 4) size = 4;
    uint32_t buckets = power_of_two_at_least(uint64_t(double(size) / 0.77));
    uint32_t bound = uint32_t(double(buckets) * 0.77);
    uint32_t head = 0, data_node = 0;
    if (block) {
        head = block->data1;
        data_node = block->data2;
    }
    uint32_t t = memory::new_series(12, 4, 0);
    buf(t)->tail = sizeof(Table);
    uint32_t states = new_array(buckets / 4, 0xAA);
    uint32_t slots = new_array(buckets * 4, 0);
    uint32_t cell_buckets = 0, dups = 0;
    if (kind == HASH) {
        cell_buckets = new_array(uint32_t(size) * 4, 0xFF);
        dups = new_array(16, 0);
        buf(dups)->tail = 0;
    }
    uint32_t stamp = 0;
    bool identity = kind == IDENTITY || kind == OWNERSHIP;
    if (identity) {
        cell_buckets = uint32_t(value_cells + 1) * 16;
        stamp = next_stamp();
    }
    if (identity || !data_node) data_node = memory::new_cells(uint32_t(size));
    Table* r = record(t);
    *r = Table{0, cell_buckets, dups, states, slots, data_node, 0, buckets, bound, uint32_t(kind), stamp, 0};
    if (identity || !block) return t;
    if (kind == HASH) {
        // keep both the block and the table reachable while indexing
        Cell* held = stack::push_cell();
        *held = Cell{uint32_t(TYPE_HASH), head, data_node, t};
        index_block(t, int32_t(head), 1);
        stack::pop(1);
    } else {
        index_block(t, int32_t(head), kind == MAP ? 2 : 1);
    }
    return t;
}

uint32_t copy(uint32_t table) {
    uint32_t t = memory::copy_series(buf(table));
    Table* r = record(t);
    uint32_t data = memory::copy_series(buf(r->data));
    r = record(t);
    r->data = data;
    uint32_t slots = memory::copy_series(buf(r->slots));
    r = record(t);
    r->slots = slots;
    uint32_t states = memory::copy_series(buf(r->states));
    r = record(t);
    r->states = states;
    return t;
}

uint32_t clone(uint32_t table, uint32_t block_node) {
    uint32_t t = memory::copy_series(buf(table));
    uint32_t states = memory::copy_series(buf(record(t)->states));
    record(t)->states = states;
    uint32_t slots = memory::copy_series(buf(record(t)->slots));
    record(t)->slots = slots;
    record(t)->data = block_node;
    if (record(t)->kind == HASH) {
        uint32_t cb = memory::copy_series(buf(record(t)->cell_buckets));
        record(t)->cell_buckets = cb;
        uint32_t dups = memory::copy_series(buf(record(t)->dup_lists));
        record(t)->dup_lists = dups;
        // the lists themselves too: later appends to the source must not show here
        uint32_t n = word_count(dups);
        for (uint32_t k = 0; k < n; k++) {
            uint32_t list = words(dups)[k];
            if (!list) continue;
            uint32_t c = memory::copy_series(buf(list));
            words(dups)[k] = c;
        }
    }
    return t;
}

// ---- value-keyed operations ---------------------------------------------------------

Cell* put_with_status(uint32_t table, Cell* key, int32_t* status) {
    *status = 0;
    if (stale(table)) return key;
    StaleOnFailure guard(table);
    put_cell(table, key, status);
    return key;
}

Cell* put(uint32_t table, Cell* key) {
    int32_t status;
    return put_with_status(table, key, &status);
}

void index_block(uint32_t table, int32_t from, int32_t step) {
    if (stale(table)) return;
    StaleOnFailure guard(table);
    if (from < 0) from = 0;
    if (step < 1) step = 1;
    if (record(table)->kind != MAP) {
        for (int32_t p = from; p < cell_count(record(table)->data); p += step) {
            int32_t status;
            put_cell(table, cells(record(table)->data) + p, &status);
            if (status == 2) return;  // the rebuild indexed everything
        }
        return;
    }
    int32_t p = from;
    while (p < cell_count(record(table)->data)) {
        uint32_t data = record(table)->data;
        Cell* key = cells(data) + p;
        // word keys are kept as set-words: compare them as such, or `a` would miss an earlier `a:`
        Type kt = key->type();
        if (kt == TYPE_WORD || kt == TYPE_LIT_WORD || kt == TYPE_GET_WORD) key->set_type(TYPE_SET_WORD);
        int32_t status;
        Cell* earlier = put_cell(table, key, &status);
        if (earlier != key) {
            // a repeated key: its value goes to the earlier pair, the pair leaves the block
            data = record(table)->data;
            Buffer* b = buf(data);
            int32_t n = cell_count(data);
            key = cells(data) + p;
            if (p + 1 < n) {
                if (earlier[1].header == 0) record(table)->live++;  // a removed pair comes back
                copy_cell(key + 1, earlier + 1);
            }
            int32_t drop = p + 1 < n ? 2 : 1;
            std::memmove(key, key + drop, size_t(n - p - drop) * sizeof(Cell));
            b->tail -= uint32_t(drop) * sizeof(Cell);
            continue;
        }
        if (prepare_key) prepare_key(cells(record(table)->data) + p);
        p += 2;
    }
}

namespace {

// A hash! search: the position a linear scan of the block would answer. Every
// group on the key's probe chain is looked at (equal values may sit in more
// than one group when the equality is looser than the grouping), and the
// candidates' positions decide.
Cell* find_position(uint32_t table, const Cell* k, int32_t head, int32_t skip, int32_t op, bool last,
                    bool reverse) {
    Table* r = record(table);
    Cell* base = cells(r->data);
    int32_t last_cell = cell_count(r->data) - 1;
    int64_t best = -1;
    auto consider = [&](int32_t pos) {
        if (!on_record(pos, head, skip, last_cell, last, reverse)) return;
        if (best >= 0 && (last ? pos < best : pos > best)) return;
        if (satisfies(base + pos, k, op)) best = pos;
    };
    auto scan = [&] {
        for (int32_t pos = 0; pos <= last_cell; pos++) consider(pos);
    };
    auto walk = [&](uint32_t h) {
        uint32_t mask = r->buckets - 1, i = h & mask, n = 0;
        for (uint32_t walked = 0; walked < r->buckets; walked++) {
            uint32_t s = get_state(bytes(r->states), i);
            if (s & STATE_EMPTY) break;
            if (s == STATE_LIVE) {
                int32_t slot = int32_t(words(r->slots)[i]);
                Cell* first = slot_key(r, slot);
                // members are strictly equal to the first: it speaks for them all
                // (for sameness, strict equality with the key admits the group)
                if (crosses_types(first->type(), k->type()) &&
                    (satisfies(first, k, op) || (op == 9 && satisfies(first, k, 2)))) {
                    if (slot >= 0) {
                        consider(slot);
                    } else {
                        uint32_t node = dup_list(r, slot);
                        uint32_t count = word_count(node);
                        for (uint32_t j = 0; j < count; j++) consider(int32_t(words(node)[j]));
                    }
                    if (one_group(k, op) && satisfies(first, k, 2)) break;
                }
            }
            n++;
            i = (i + n) & mask;
        }
    };
    Type kt = k->type();
    if (scanned_key(kt)) {
        scan();
    } else if (kt == TYPE_PAIR || kt == TYPE_POINT2D || kt == TYPE_POINT3D) {
        uint32_t hashes[8];
        int count = point_probes(k, hashes);
        if (count == 0) scan();
        for (int j = 0; j < count; j++) walk(hashes[j]);
    } else {
        walk(hash::value(k, false));
    }
    return best >= 0 ? base + best : nullptr;
}

}  // namespace

Cell* find(uint32_t table, const Cell* key, int32_t head, int32_t skip, int32_t op, bool last, bool reverse) {
    check_stamp(table);
    Table* r = record(table);
    Cell k = *key;
    if (r->kind == MAP) {
        Type kt = k.type();
        if (kt == TYPE_WORD || kt == TYPE_SET_WORD || kt == TYPE_GET_WORD || kt == TYPE_LIT_WORD)
            k.set_type(TYPE_SET_WORD);  // map! keeps word keys as set-words
    }
    if (reverse) last = true;
    if (skip == 0) skip = 1;
    if (r->kind == HASH) return find_position(table, &k, head, skip, op, last, reverse);
    uint32_t h = hash::value(&k, false);
    uint32_t mask = r->buckets - 1, i = h & mask, n = 0;
    for (uint32_t walked = 0; walked < r->buckets; walked++) {
        uint32_t s = get_state(bytes(r->states), i);
        if (s & STATE_EMPTY) return nullptr;
        if (s == STATE_LIVE) {
            Cell* stored = slot_key(r, int32_t(words(r->slots)[i]));
            if (r->kind == MAP ? key_matches(stored, &k, op) : type_matches(stored, &k) && satisfies(stored, &k, op))
                return stored;
        }
        n++;
        i = (i + n) & mask;
    }
    return nullptr;
}

Cell* find_from(uint32_t table, const Cell* key, int32_t* state, int32_t* stop, int32_t* steps) {
    Table* r = record(table);
    uint32_t mask = r->buckets - 1;
    uint32_t i;
    uint32_t n;
    if (*state == -1) {
        i = hash::value(key, false) & mask;
        *stop = int32_t(i);
        n = 0;
    } else {
        i = uint32_t(*state);
        n = uint32_t(*steps);
        if (i == uint32_t(*stop)) return nullptr;
    }
    for (uint32_t walked = 0; walked < r->buckets; walked++) {
        uint32_t s = get_state(bytes(r->states), i);
        if (s & STATE_EMPTY) return nullptr;
        Cell* found = nullptr;
        if (s == STATE_LIVE) {
            Cell* stored = cells(r->data) + words(r->slots)[i];
            if (key_matches(stored, key, 0)) found = stored;
        }
        n++;
        i = (i + n) & mask;
        if (found) {
            *state = int32_t(i);
            *steps = int32_t(n);
            return found;
        }
        if (i == uint32_t(*stop)) return nullptr;
    }
    return nullptr;
}

void remove(uint32_t table, Cell* cell) {
    if (stale(table)) return;
    Table* r = record(table);
    Cell* base = cells(r->data);
    if (cell < base) return;
    uint32_t pos = uint32_t(cell - base);
    if (r->kind == HASH) {
        remove_position(table, pos);
    } else if (r->kind == MAP) {
        if (int32_t(pos) + 1 >= cell_count(r->data) || cell[1].header == 0) return;
        cell[1].header = 0;  // the pair counts as removed; its bucket stays live
        r->live--;
    }
}

void remove_range(uint32_t table, int32_t from, int32_t count) {
    Table* r = record(table);
    int32_t length = cell_count(r->data);
    if (from < 0 || from >= length || count <= 0) return;
    if (count > length - from) count = length - from;
    if (from == 0 && count == length) {
        clear(table);
        return;
    }
    // each cell on its own: removing one of several equal values keeps their bucket
    for (int32_t q = from; q < from + count; q++) {
        r = record(table);
        if (r->kind == MAP && (q & 1)) continue;
        remove(table, cells(r->data) + q);
    }
}

int32_t renumber(uint32_t table, int32_t shift, int32_t from, int32_t count, bool move) {
    if (stale(table)) return 0;
    if (count > RENUMBER_LIMIT) return 1;
    if (shift == 0 || count <= 0) return 0;
    StaleOnFailure guard(table);
    if (move && shift < 0)
        for (int32_t q = from + shift; q < from; q++)
            if (q >= 0) remove_position(table, uint32_t(q));
    auto f = [=](int32_t p) { return (p >= from && p < from + count) ? p + shift : p; };
    remap(table, from, from + count, f);
    if (move) {
        if (shift > 0) {
            Buffer* b = buf(record(table)->cell_buckets);
            uint64_t need = uint64_t(from + count + shift) * 4;
            if (need > b->size) {
                b = memory::grow_series_filled(b, uint32_t(need * 2), 0xFF);
                b->tail = b->size;
            }
        }
        permute_cell_buckets(table, from, from + count, f);
        // positions the moved cells left and no moved cell took
        for (int32_t q = from; q < from + count; q++)
            if (q < from + shift || q >= from + count + shift) set_cell_bucket(table, uint32_t(q), NO_BUCKET);
    }
    return 0;
}

void move(uint32_t table, int32_t target, int32_t from, int32_t count) {
    if (stale(table) || count <= 0 || (target >= from && target <= from + count)) return;
    if (target < from) {
        int32_t d = from - target;
        auto f = [=](int32_t p) {
            if (p >= target && p < from) return p + count;
            if (p >= from && p < from + count) return p - d;
            return p;
        };
        remap(table, target, from + count, f);
        permute_cell_buckets(table, target, from + count, f);
    } else {
        int32_t d = target - from - count;
        auto f = [=](int32_t p) {
            if (p >= from + count && p < target) return p - count;
            if (p >= from && p < from + count) return p + d;
            return p;
        };
        remap(table, from, target, f);
        permute_cell_buckets(table, from, target, f);
    }
}

void clear(uint32_t table) {
    Table* r = record(table);
    r->live = 0;
    r->used = 0;
    memory::fill_range(bytes(r->states), bytes(r->states) + buf(r->states)->used_bytes(), 0xAA);
    if (r->kind == HASH) {
        buf(r->dup_lists)->tail = 0;
        Buffer* cb = buf(r->cell_buckets);
        memory::fill_range(cb->data(), cb->end_ptr(), 0xFF);
    }
}

void rebuild(uint32_t table, int32_t size) {
    CompactionOff guard;
    Table* r = record(table);
    if (r->kind == HASH) {
        StaleOnFailure stale_on_failure(table);
        uint32_t start_stamp = next_stamp();
        uint32_t buckets = power_of_two_at_least(uint64_t(double(size) * 1.5));
        uint32_t states = new_array(buckets / 4, 0xAA);
        uint32_t slots = new_array(buckets * 4, 0);
        r = record(table);
        r->buckets = buckets;
        r->bound = uint32_t(double(buckets) * 0.77);
        r->live = 0;
        r->used = 0;
        r->stamp = 0;
        r->seen = 0;
        r->states = states;
        r->slots = slots;
        buf(r->dup_lists)->tail = 0;
        Buffer* cb = buf(r->cell_buckets);
        memory::fill_range(cb->data(), cb->end_ptr(), 0xFF);
        index_block(table, 0, 1);
        r = record(table);
        if (r->stamp) r->stamp = start_stamp;
        return;
    }
    if (r->kind != IDENTITY && r->kind != OWNERSHIP) {
        resize(table, size);
        return;
    }
    uint32_t buckets = power_of_two_at_least(uint64_t(size < 4 ? 4 : size));
    // never below what the live records need
    while (uint32_t(double(buckets) * 0.77 + 0.5) <= uint32_t(r->live)) buckets *= 2;
    uint32_t width = record_width(r);
    uint32_t old = r->data;
    uint32_t live = uint32_t(r->live);
    uint32_t data = memory::new_cells((live ? live : 1) * (width / 16));
    uint32_t states = new_array(buckets / 4, 0xAA);
    uint32_t slots = new_array(buckets * 4, 0);
    gc::RootedNode keep(old);
    r = record(table);
    r->buckets = buckets;
    r->bound = uint32_t(double(buckets) * 0.77 + 0.5);
    r->live = 0;
    r->used = 0;
    r->states = states;
    r->slots = slots;
    r->data = data;
    uint32_t total = buf(old)->used_bytes();
    for (uint32_t off = 0; off + width <= total; off += width) {
        if (reinterpret_cast<Cell*>(bytes(old) + off)->header != 2) continue;
        uint32_t key = reinterpret_cast<Cell*>(bytes(old) + off)->data1;
        Cell* values = place_key(table, key);
        std::memcpy(values, bytes(old) + off + 16, width - 16);
    }
    record(table)->stamp = next_stamp();
}

void resize(uint32_t table, int32_t size) {
    Table* r = record(table);
    uint32_t count = power_of_two_at_least(uint64_t(size < 4 ? 4 : size));
    uint32_t bound = uint32_t(double(count) * 0.77 + 0.5);
    // the entries to re-place, in the order they were made: the slots are
    // distinct positions, so a mark per position orders them in linear time
    std::vector<uint32_t> entries;
    uint32_t highest = 0;
    for (uint32_t b = 0; b < r->buckets; b++) {
        if (get_state(bytes(r->states), b) != STATE_LIVE) continue;
        uint32_t e = words(r->slots)[b] & 0x7FFFFFFFu;
        entries.push_back(e);
        highest = std::max(highest, e);
    }
    if (entries.size() >= bound) return;
    if (!entries.empty() && uint64_t(highest) <= uint64_t(entries.size()) * 64) {
        std::vector<bool> present(size_t(highest) + 1);
        for (uint32_t e : entries) present[e] = true;
        size_t k = 0;
        for (uint32_t e = 0; e <= highest; e++)
            if (present[e]) entries[k++] = e;
    } else {
        std::sort(entries.begin(), entries.end());
    }
    uint32_t states = new_array(count / 4, 0xAA);
    uint32_t slots = new_array(count * 4, 0);
    r = record(table);
    bool identity = r->kind == IDENTITY || r->kind == OWNERSHIP;
    uint32_t mask = count - 1;
    for (uint32_t e : entries) {
        uint32_t h = identity ? hash::mix(record_at(r, e)->data1) : hash::value(cells(r->data) + e, false);
        uint32_t i = h & mask, n = 0;
        while (!(get_state(bytes(states), i) & STATE_EMPTY)) {
            n++;
            i = (i + n) & mask;
        }
        set_state(bytes(states), i, STATE_LIVE);
        words(slots)[i] = e;
    }
    r->states = states;
    r->slots = slots;
    r->buckets = count;
    r->bound = bound;
    r->used = uint32_t(entries.size());
}

// ---- identity kinds ------------------------------------------------------------------

Cell* put_key(uint32_t table, uint32_t key) {
    check_stamp(table);
    Table* r = record(table);
    if (r->used >= r->bound) {
        uint32_t request = r->buckets > 2 * uint32_t(r->live) ? r->buckets - 1 : r->buckets + 1;
        rebuild(table, int32_t(request));
    }
    return place_key(table, key);
}

Cell* get_key(uint32_t table, uint32_t key) {
    check_stamp(table);
    int64_t b = find_key(table, key);
    if (b < 0) return nullptr;
    Table* r = record(table);
    return record_at(r, words(r->slots)[b]) + 1;
}

Cell* remove_key(uint32_t table, uint32_t key) {
    check_stamp(table);
    int64_t b = find_key(table, key);
    if (b < 0) return nullptr;
    Table* r = record(table);
    set_state(bytes(r->states), uint32_t(b), STATE_DELETED);
    r->live--;
    Cell* rec = record_at(r, words(r->slots)[b]);
    rec->header = 0;
    return rec + 1;
}

// ---- name tables -----------------------------------------------------------------------

int32_t put_symbol(uint32_t table, const uint8_t* text, uint32_t length, bool caseless) {
    Table* r = record(table);
    if (r->used >= r->bound) {
        uint32_t request = r->buckets > 2 * uint32_t(r->live) ? r->buckets - 1 : r->buckets + 1;
        resize(table, int32_t(request * 16));
        r = record(table);
    }
    uint32_t h = hash::murmur3(folded(text, length), length);
    uint32_t mask = r->buckets - 1, start = h & mask;

    // Walks the probe path; answers the id of the first spelling that matches,
    // or 0, leaving the empty bucket that ended the walk in *stop.
    auto walk = [&](bool exact, int64_t* stop) -> int32_t {
        uint32_t i = start, n = 0;
        for (uint32_t walked = 0; walked < r->buckets; walked++) {
            uint32_t s = get_state(bytes(r->states), i);
            if (s & STATE_EMPTY) {
                *stop = i;
                return 0;
            }
            if (s == STATE_LIVE) {
                uint32_t pos = words(r->slots)[i];
                Buffer* nb = buf(cells(r->data)[pos].data3);
                if (nb->used_bytes() == length) {
                    const uint8_t* name = nb->head_ptr();
                    if (exact ? std::memcmp(name, text, length) == 0 : ascii_caseless_equal(name, text, length))
                        return int32_t(pos) + 1;
                }
            }
            n++;
            i = (i + n) & mask;
        }
        *stop = -1;
        return 0;
    };

    int64_t empty = -1;
    int32_t alias = -1;
    if (!caseless) {
        int32_t id = walk(true, &empty);
        if (id) return id;
        int64_t ignored;
        int32_t variant = walk(false, &ignored);
        // the first-interned member of the family, whatever the probe order
        if (variant) alias = resolve_in(r->data, variant);
    } else {
        int32_t id = walk(false, &empty);
        if (id) return resolve_in(r->data, id);
    }
    if (empty < 0) rt_error::fatal(101, KRO_CAPTURE_SITE());

    // A new symbol: its name in a byte series ending in NUL, its cell at the block's tail.
    uint32_t name = memory::new_bytes(length + 1);
    Buffer* nb = buf(name);
    std::memcpy(nb->head_ptr(), text, length);
    nb->head_ptr()[length] = 0;
    nb->tail = nb->offset + length;
    r = record(table);
    Cell* sym = append_cells(r->data, 1);
    *sym = Cell{uint32_t(TYPE_SYMBOL), uint32_t(alias), 0, name};
    r = record(table);
    uint32_t pos = uint32_t(cell_count(r->data) - 1);
    words(r->slots)[empty] = pos;
    set_state(bytes(r->states), uint32_t(empty), STATE_LIVE);
    r->live++;
    r->used++;
    return int32_t(pos) + 1;
}

int32_t put_context_word(uint32_t table, int32_t symbol_id, bool caseless, uint32_t context, int32_t* position) {
    Table* r = record(table);
    if (context && r->used >= r->bound) {
        uint32_t request = r->buckets > 2 * uint32_t(r->live) ? r->buckets - 1 : r->buckets + 1;
        resize(table, int32_t(request * 16));
        r = record(table);
    }
    int32_t canonical = symbol::resolve(symbol_id);
    uint32_t mask = r->buckets - 1, i = hash::mix(uint32_t(canonical)) & mask, n = 0;
    for (uint32_t walked = 0; walked < r->buckets; walked++) {
        uint32_t s = get_state(bytes(r->states), i);
        if (s & STATE_EMPTY) break;
        if (s == STATE_LIVE) {
            uint32_t pos = words(r->slots)[i];
            int32_t stored = int32_t(cells(r->data)[pos].data2);
            if (caseless ? symbol::resolve(stored) == canonical : stored == symbol_id) {
                if (position) *position = int32_t(pos);
                return int32_t(pos);
            }
        }
        n++;
        i = (i + n) & mask;
        if (walked + 1 == r->buckets) return -1;
    }
    if (!context) return -1;
    Cell* w = append_cells(r->data, 1);
    r = record(table);
    uint32_t pos = uint32_t(cell_count(r->data) - 1);
    *w = Cell{uint32_t(TYPE_WORD), context, uint32_t(symbol_id), pos};
    words(r->slots)[i] = pos;
    set_state(bytes(r->states), i, STATE_LIVE);
    r->live++;
    r->used++;
    if (position) *position = int32_t(pos);
    return -1;
}

// ---- collector support -------------------------------------------------------------------

void mark(uint32_t table, const Marker& m) {
    Table* r = record(table);
    m.series(table);
    if (r->kind == HASH) {
        m.series(r->cell_buckets);
        m.series(r->dup_lists);
        uint32_t n = word_count(r->dup_lists);
        for (uint32_t k = 0; k < n; k++)
            if (uint32_t list = words(r->dup_lists)[k]) m.series(list);
    }
    m.series(r->states);
    m.series(r->slots);
    if (r->kind == IDENTITY || r->kind == OWNERSHIP) {
        for (uint32_t b = 0; b < r->buckets; b++) {
            if (get_state(bytes(r->states), b) != STATE_LIVE) continue;
            uint32_t key = record_at(r, words(r->slots)[b])->data1;
            if (buf(key)->unit() == 16) m.block(key); else m.series(key);
        }
    }
    m.block(r->data);
}

void sweep_keys(uint32_t table, bool (*alive)(uint32_t node)) {
    Table* r = record(table);
    if (r->kind != IDENTITY && r->kind != OWNERSHIP) return;
    uint32_t width = record_width(r);
    for (uint32_t b = 0; b < r->buckets; b++) {
        if (get_state(bytes(r->states), b) != STATE_LIVE) continue;
        Cell* rec = record_at(r, words(r->slots)[b]);
        bool dead = !alive(rec->data1);
        // an ownership record also dies with its owner (the context in its third cell)
        if (!dead && r->kind == OWNERSHIP && rec[2].data1) dead = !alive(rec[2].data1);
        if (!dead) continue;
        set_state(bytes(r->states), b, STATE_DELETED);
        r->live--;
        std::memset(rec, 0, width);
    }
}

std::vector<uint32_t> keys(uint32_t table) {
    std::vector<uint32_t> out;
    Table* r = record(table);
    if (r->kind != IDENTITY && r->kind != OWNERSHIP) return out;
    for (uint32_t b = 0; b < r->buckets; b++)
        if (get_state(bytes(r->states), b) == STATE_LIVE) out.push_back(record_at(r, words(r->slots)[b])->data1);
    return out;
}

void dump(uint32_t table) {
    Table* r = record(table);
    for (uint32_t pass = 0; pass < 2; pass++) {
        print::print_line({print::text(pass == 0 ? "\n== Deleted keys ==" : "== Alive keys ==")});
        uint32_t want = pass == 0 ? STATE_DELETED : STATE_LIVE;
        for (uint32_t b = 0; b < r->buckets; b++) {
            if (get_state(bytes(r->states), b) != want) continue;
            print::print_line({print::text("bucket"), print::integer(int32_t(b)), print::text("slot"),
                               print::integer(int32_t(words(r->slots)[b]))});
        }
    }
}

}  // namespace kro::hashtable
