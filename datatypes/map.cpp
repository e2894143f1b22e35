#include "datatypes/map.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_values.hpp"

namespace kro::map {

using memory::Buffer;

namespace {

constexpr uint32_t CELL = sizeof(Cell);

Cell datatype_cell(uint32_t t) { return Cell{uint32_t(TYPE_DATATYPE), t, 0, 0}; }

int32_t full_of(uint32_t node) { return int32_t(memory::buffer_of(node)->used_bytes() / CELL); }
Cell* cell_at(uint32_t node, int32_t i) { return memory::buffer_of(node)->cells() + i; }

inline bool is_word_kind(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD;
}

// A stored key found through the table: its entry is removed when its value
// cell has no type.
inline bool dead(const Cell* key) { return key[1].header == 0; }

// A stored key handed to the language: a series key goes out as a copy, so
// that changing what the language got leaves the key the table indexes alone.
Cell key_out(Cell k) {
    uint32_t t = k.type();
    if (series::is_text_kind(t) || t == TYPE_BINARY) {
        Cell source = k;
        series::copy(&source, &k, nullptr, false, nullptr);
    }
    return k;
}

// A key as the language sees it again: set-word keys come back as words.
Cell shown_key(Cell k) {
    k = key_out(k);
    if (k.is(TYPE_SET_WORD)) k.set_type(TYPE_WORD);
    k.header &= ~FLAG_NEW_LINE;
    return k;
}

// The find mode of the lookup refinements.
int32_t mode_of(bool case_, bool same) { return same ? actions::SAME : case_ ? actions::STRICT_EQUAL : actions::EQUAL; }

// The stored key matching a key under a mode, or null. Under mode 0 several
// stored keys (case variants) may match: a live one is preferred over a
// removed one, so that a removal never hides a variant still present.
Cell* lookup(const Cell* map, const Cell* key, int32_t mode) {
    uint32_t table = map->data3;
    Cell* found = hashtable::find(table, key, 0, 1, mode);
    if (!found || mode != actions::EQUAL || !dead(found)) return found;
    Cell k = *key;
    if (is_word_kind(k.type())) k.set_type(TYPE_SET_WORD);
    int32_t state = -1, stop = 0, steps = 0;
    while (Cell* other = hashtable::find_from(table, &k, &state, &stop, &steps))
        if (!dead(other)) return other;
    return found;
}

// Room for n more cells at the block's tail.
void reserve(uint32_t node, uint32_t n) {
    Buffer* b = memory::buffer_of(node);
    uint64_t need = uint64_t(b->used_bytes()) + uint64_t(n) * CELL;
    if (uint64_t(b->size) - b->offset < need) {
        if (need * 2 > 0xF0000000u) fire("internal", "no-memory");
        memory::grow_series(b, uint32_t(need * 2));
    }
}

// Appends a prepared key with an unset placeholder and indexes it; answers
// the new key cell.
Cell* add_entry(Cell* map, const Cell* prepared) {
    uint32_t node = map->data2;
    reserve(node, 2);
    Buffer* b = memory::buffer_of(node);
    Cell* k = b->cell_tail();
    *k = *prepared;
    k[1] = unset::value;
    b->tail += 2 * CELL;
    int32_t pos = full_of(node) - 2;
    hashtable::put(map->data3, cell_at(node, pos));
    return cell_at(node, pos);
}

// Stores into an entry found (reviving a removed one) or into a new one.
Cell* store_at(Cell* map, Cell* found, const Cell* key, const Cell* value, const Cell* where) {
    Cell v = *value;  // the value may lie in the entry block, which may move
    v.header &= ~FLAG_NEW_LINE;
    if (found) {
        if (dead(found)) hashtable::record(map->data3)->live++;
    } else {
        Cell k = *key;
        k.header &= ~FLAG_NEW_LINE;
        prepare_key(&k, where);  // before anything changes: a refused key leaves the map alone
        found = add_entry(map, &k);
    }
    found[1] = v;
    return found + 1;
}

void hook(Cell* key) { prepare_key(key, nullptr); }

// The entries' text. lines: mold's own layout (a line per entry, indented one
// level deeper than the map); otherwise entries are separated by a blank
// (flat) or a line feed.
int32_t mold_body(const Cell* map, Cell* buffer, bool lines, bool all, bool flat, Cell* part, int32_t limit,
                  int32_t indent) {
    int32_t live = count(map);
    if (live == 0) return limit;
    uint32_t node = map->data2;
    if (lines) {
        string::concatenate_ascii(buffer, "\n", 1);
        limit--;
    }
    int32_t written = 0;
    for (int32_t i = 0; i + 1 < full_of(node) && written < live; i += 2) {
        // a limited mold stops before the next entry (and before a value) once the
        // limit is spent, so a deep or large map is not molded in full first
        if (part && limit <= 0) break;
        Cell k = *cell_at(node, i), v = *cell_at(node, i + 1);
        if (v.header == 0) continue;
        if (lines) {
            limit = mold::indent(buffer, indent + 1, limit);
        } else if (written > 0) {
            string::concatenate_ascii(buffer, flat ? " " : "\n", 1);
            limit--;
        }
        int32_t level = lines ? indent + 1 : indent;
        k.header &= ~FLAG_NEW_LINE;
        v.header &= ~FLAG_NEW_LINE;
        limit = actions::mold(&k, buffer, false, all, flat, part, limit, level);
        string::concatenate_ascii(buffer, " ", 1);
        limit--;
        if (part && limit <= 0) break;
        limit = actions::mold(&v, buffer, false, all, flat, part, limit, level);
        if (lines) {
            string::concatenate_ascii(buffer, "\n", 1);
            limit--;
        }
        written++;
        if (part && limit <= 0) break;
    }
    return limit;
}

// Entry by entry: every live entry of a has an entry of b with an equal key
// and an equal value.
int32_t compare_entries(const Cell* a, const Cell* b, int32_t op) {
    if (a->data2 == b->data2 && a->data1 == b->data1) return 0;
    if (op == actions::SAME) return -1;
    if (mold::cycle_find(a->data2)) return mold::cycle_find(b->data2) ? 0 : -1;
    int32_t n1 = count(a), n2 = count(b);
    if (n1 != n2) return actions::is_equality_op(op) ? 1 : (n1 < n2 ? -1 : 1);
    if (n1 == 0) return 0;
    mold::CycleGuard guard;
    mold::cycle_push(a->data2);
    mold::cycle_push(b->data2);
    Cell left = *a, right = *b;
    int32_t result = 0, seen = 0;
    for (int32_t i = 0; i + 1 < full_of(left.data2) && seen < n1; i += 2) {
        Cell k = *cell_at(left.data2, i), v = *cell_at(left.data2, i + 1);
        if (v.header == 0) continue;
        seen++;
        if (op == actions::STRICT_EQUAL) {
            Cell* other = hashtable::find(right.data3, &k, 0, 1, actions::STRICT_EQUAL);
            if (!other || dead(other)) return 1;
            Cell w = other[1];
            result = actions::compare_values(&v, &w, actions::STRICT_EQUAL);
        } else {
            // any entry under an equal key (case variants included) may hold the equal value
            result = 1;
            int32_t state = -1, stop = 0, steps = 0;
            while (Cell* other = hashtable::find_from(right.data3, &k, &state, &stop, &steps)) {
                if (dead(other)) continue;
                Cell w = other[1];
                if (actions::compare_values(&v, &w, actions::EQUAL) == 0) {
                    result = 0;
                    break;
                }
            }
        }
        if (result != 0) return result == -2 ? 1 : result;
    }
    return result;
}

Cell* make_or_to(Cell* proto, Cell* spec_in, bool to) {
    Cell spec = *spec_in;
    Cell dt = datatype_cell(TYPE_MAP);
    switch (spec.type()) {
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            if (to) fire("script", "bad-to-arg", &dt, &spec);
            int32_t n = convert::int_of_number(&spec);
            if (n < 0) fire("script", "out-of-range", &spec);
            return make_at(proto, nullptr, n);
        }
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            int32_t n = block::length(&spec);
            if (n & 1) fire("script", "invalid-arg", &spec);
            gc::Rooted blk;
            block::make_at(blk.get(), n ? n : 2);
            Buffer* b = memory::buffer_of(blk->data2);
            if (n) std::memcpy(b->cells(), block::ks_head(&spec), size_t(n) * CELL);
            b->tail = b->offset + uint32_t(n) * CELL;
            for (int32_t i = 0; i < n; i++) b->cells()[i].header &= ~FLAG_NEW_LINE;
            return make_at(proto, blk.get(), n ? n : 2);
        }
        case TYPE_MAP:
            return copy(&spec, proto, nullptr, false, nullptr);
        default:
            fire("script", "bad-to-arg", &dt, &spec);
    }
}

}  // namespace

// ---- entry points --------------------------------------------------------------------

bool valid_key(uint32_t type) {
    switch (type) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT:
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_BINARY: case TYPE_TIME:
        case TYPE_TAG: case TYPE_EMAIL: case TYPE_DATE: case TYPE_MONEY: case TYPE_REF: case TYPE_POINT2D:
        case TYPE_POINT3D:
            return true;
        default:
            return false;
    }
}

void prepare_key(Cell* key, const Cell* where) {
    uint32_t t = key->type();
    if (!valid_key(t)) {
        Cell dt = datatype_cell(t);
        fire("script", "invalid-path", where ? where : &none::value, &dt);
    }
    if (is_word_kind(t)) {
        key->set_type(TYPE_SET_WORD);
    } else if (series::is_text_kind(t) || t == TYPE_BINARY) {
        // a key of its own: later changes to the caller's series do not reach it
        Cell source = *key;
        series::copy(&source, key, nullptr, false, nullptr);
    }
}

Cell* make_at(Cell* out, const Cell* block_in, int32_t size) {
    gc::Rooted blk;
    if (block_in) {
        blk.cell = *block_in;
        if (series::head_of(&blk.cell) != 0) {
            // the table indexes a block from its first cell: take the cells from the head
            blk.cell = *block::clone(&blk.cell, false, false);
            stack::pop(1);
        }
        blk->header = uint32_t(TYPE_BLOCK);
    } else {
        if (size < 0) size = 0;
        if (size > 0x0FFFFFFF) fire("internal", "no-memory");
        block::make_at(blk.get(), size ? size * 2 : 2);
    }
    uint32_t table = hashtable::make(size, blk.get(), hashtable::MAP);
    *out = Cell{uint32_t(TYPE_MAP), 0, blk->data2, table};
    return out;
}

bool from_items(Cell* out, const Cell* items) {
    Cell blk = *items;
    int32_t n = block::length(&blk);
    return literal(n ? block::ks_head(&blk) : nullptr, uint32_t(n), out) == 0;
}

int literal(const Cell* items, uint32_t count, Cell* out) {
    if (count & 1) return TYPE_MAP;
    for (uint32_t i = 0; i < count; i += 2)
        if (!valid_key(items[i].type())) return TYPE_MAP;
    std::vector<Cell> cells(items, items + count);  // taken before anything is allocated
    gc::Rooted blk;
    block::make_at(blk.get(), count ? int32_t(count) : 2);
    Buffer* b = memory::buffer_of(blk->data2);
    if (count) std::memcpy(b->cells(), cells.data(), size_t(count) * CELL);
    b->tail = b->offset + count * CELL;
    for (uint32_t i = 0; i < count; i++) b->cells()[i].header &= ~FLAG_NEW_LINE;
    make_at(out, blk.get(), count ? int32_t(count) : 2);
    return 0;
}

Cell* push(const Cell* map) {
    Cell m = *map;
    return stack::push(&m);
}

int32_t count(const Cell* map) { return hashtable::record(map->data3)->live; }

Cell* store(Cell* map, const Cell* key, const Cell* value, const Cell* path, bool case_) {
    Cell* found = lookup(map, key, case_ ? actions::STRICT_EQUAL : actions::EQUAL);
    return store_at(map, found, key, value, path);
}

Cell* extend(Cell* map, const Cell* block_in, bool case_) {
    Cell blk = *block_in;
    int32_t n = block::length(&blk);
    if (n & 1) fire("script", "invalid-arg", &blk);
    if (n == 0) return map;
    // the pairs are read by position: the block may be the map's own, which grows
    int32_t head = series::head_of(&blk);
    reserve(map->data2, uint32_t(n));
    for (int32_t i = 0; i < n; i += 2) {
        Cell k = *cell_at(blk.data2, head + i), v = *cell_at(blk.data2, head + i + 1);
        store(map, &k, &v, nullptr, case_);
    }
    return map;
}

bool foreach_next(const Cell* words_in, Cell* map_in, int32_t count) {
    gc::Rooted words(*words_in), map(*map_in);
    int32_t first = series::head_of(words.get());
    int32_t available = std::max(block::length(words.get()), 0);
    if (count > available) count = available;
    for (int32_t k = 0; k < count; k++) {
        Cell w = *cell_at(words->data2, first + k);
        if (!is_word_kind(w.type())) fire("script", "invalid-arg", &w);
    }
    int32_t pos = int32_t(map->data1);
    if (pos < 0) pos = 0;
    int32_t taken = 0, k = 0;
    for (; k < count; k++) {
        // a word that would take a key passes over removed entries
        while ((pos & 1) == 0 && pos + 1 < full_of(map->data2) && dead(cell_at(map->data2, pos))) pos += 2;
        if (pos >= full_of(map->data2)) break;
        Cell w = *cell_at(words->data2, first + k);
        Cell v = *cell_at(map->data2, pos);
        if ((pos & 1) == 0) v = shown_key(v);
        word::set(&w, &v);  // may run an object's on-change*: nothing is held across it
        pos++;
        taken++;
    }
    for (; k < count; k++) {
        Cell w = *cell_at(words->data2, first + k);
        word::set(&w, &none::value);
    }
    map->data1 = uint32_t(pos);
    map_in->data1 = uint32_t(pos);
    return taken > 0;
}

// ---- actions -----------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t) { return make_or_to(proto, spec, false); }
Cell* to(Cell* proto, Cell* spec, int32_t) { return make_or_to(proto, spec, true); }

Cell* reflect(Cell* value, int32_t field) {
    enum { WORDS, VALUES, BODY } which;
    if (symbol::same_word(field, symbol::make("words"))) {
        which = WORDS;
    } else if (symbol::same_word(field, symbol::make("values"))) {
        which = VALUES;
    } else if (symbol::same_word(field, symbol::make("body"))) {
        which = BODY;
    } else {
        fire("internal", "not-done");
    }
    Cell map = *value;
    int32_t live = count(&map);
    gc::Rooted out;
    block::make_at(out.get(), std::max(which == BODY ? live * 2 : live, 1));
    int32_t taken = 0;
    for (int32_t i = 0; i + 1 < full_of(map.data2) && taken < live; i += 2) {
        Cell k = *cell_at(map.data2, i), v = *cell_at(map.data2, i + 1);
        if (v.header == 0) continue;
        taken++;
        if (which == WORDS) {
            k = shown_key(k);
            block::ks_append(out.get(), &k);
        } else if (which == VALUES) {
            block::ks_append(out.get(), &v);
        } else {
            k = key_out(k);
            k.header |= FLAG_NEW_LINE;  // one entry a line when the body is molded
            block::ks_append(out.get(), &k);
            block::ks_append(out.get(), &v);
        }
    }
    *value = out.cell;
    return value;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    if (mold::cycle_mark(value, buffer, &limit, false)) return limit;
    machine_stack::check();
    Cell map = *value;
    mold::CycleEntry walking(map.data2);
    return mold_body(&map, buffer, false, false, false, part, limit, 0);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
    if (mold::cycle_mark(value, buffer, &limit, true)) return limit;
    machine_stack::check();
    Cell map = *value;
    mold::CycleEntry walking(map.data2);
    if (!only) {
        string::concatenate_ascii(buffer, "#[", 2);
        limit -= 2;
    }
    bool wrote = count(&map) > 0;
    limit = mold_body(&map, buffer, !only && !flat, all, flat, part, limit, indent);
    if (!only) {
        if (wrote && !flat && indent > 0) limit = mold::indent(buffer, indent, limit);
        string::concatenate_ascii(buffer, "]", 1);
        limit--;
    }
    return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool case_, bool, bool,
                bool) {
    int32_t mode = case_ ? actions::STRICT_EQUAL : actions::EQUAL;
    if (!value) {
        Cell* found = lookup(parent, element, mode);
        if (!found || dead(found)) return const_cast<Cell*>(&none::value);
        return found + 1;
    }
    Cell key = *element;
    store(parent, &key, value, path ? path : &none::value, case_);
    return value;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_MAP)) return -2;
    switch (op) {
        case actions::LESSER:
        case actions::LESSER_OR_EQUAL:
        case actions::GREATER:
        case actions::GREATER_OR_EQUAL:
            return -2;
        case actions::SORT:
        case actions::CASE_SORT:
            // maps have no order of their own: a fixed one by entry block
            return value1->data2 == value2->data2 ? 0 : value1->data2 < value2->data2 ? -1 : 1;
        default:
            machine_stack::check();
            return compare_entries(value1, value2, op);
    }
}

Cell* clear(Cell* map) {
    hashtable::clear(map->data3);
    // the block goes too: stale entries would otherwise come back in walks
    Buffer* b = memory::buffer_of(map->data2);
    b->tail = b->offset;
    map->data1 = 0;
    return map;
}

Cell* copy(Cell* value, Cell* result, Cell*, bool deep, Cell* types) {
    Cell src = *value;
    std::optional<mold::CycleEntry> walking;
    if (deep && types) {
        if (mold::cycle_find(src.data2)) {
            mold::cycle_reset();
            fire("internal", "no-cycle");
        }
        walking.emplace(src.data2);
    }
    Cell whole{uint32_t(TYPE_BLOCK), 0, src.data2, 0};
    gc::Rooted blk(*block::clone(&whole, deep && !types, false));
    stack::pop(1);
    uint32_t table = hashtable::clone(src.data3, blk->data2);
    gc::Rooted out(Cell{uint32_t(TYPE_MAP), 0, blk->data2, table});
    if (types) block::copy_typed_values(out.get(), 1, full_of(out->data2), 2, deep, types);
    *result = out.cell;
    return result;
}

Cell* find(Cell* series, Cell* value, Cell*, bool, bool case_, bool same, bool, Cell*, Cell*, bool, bool, bool,
           bool) {
    Cell* found = lookup(series, value, mode_of(case_, same));
    *series = (!found || dead(found)) ? none::value : shown_key(*found);
    return series;
}

int32_t length_q(Cell* map) { return count(map); }

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
    store(series, key, value, nullptr, case_);
    return value;
}

Cell* remove(Cell* series, Cell*, Cell* key) {
    if (!key) fire("script", "missing-arg");
    Cell* found = lookup(series, key, actions::STRICT_EQUAL);
    if (found && !dead(found)) hashtable::remove(series->data3, found);
    return series;
}

Cell* select(Cell* series, Cell* value, Cell*, bool, bool case_, bool same, bool, Cell*, Cell*, bool, bool) {
    Cell* found = lookup(series, value, mode_of(case_, same));
    *series = (!found || dead(found)) ? none::value : found[1];
    return series;
}

void init() {
    ActionList a;
    a.set<A_MAKE>(&make)
        .set<A_REFLECT>(&reflect)
        .set<A_TO>(&to)
        .set<A_FORM>(&form)
        .set<A_MOLD>(&mold)
        .set<A_EVAL_PATH>(&eval_path)
        .set<A_COMPARE>(&compare)
        .set<A_CLEAR>(&clear)
        .set<A_COPY>(&copy)
        .set<A_FIND>(&find)
        .set<A_LENGTH_Q>(&length_q)
        .set<A_PUT>(&put)
        .set<A_REMOVE>(&remove)
        .set<A_SELECT>(&select);
    datatype::register_type(TYPE_MAP, 0, "map!", a);
    hashtable::prepare_key = &hook;
    lexer::set_map_maker(&literal);
}

}  // namespace kro::map
