// The heap verifier: a slow, thorough walk that stress mode runs after every
// collection, so that a collector or allocator fault shows up at the cycle
// that made it rather than as a wrong value much later.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/frame.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/ownership.hpp"
#include "interpreter/stack.hpp"

namespace kro::collector {

namespace {

using memory::BigFrame;
using memory::Buffer;
using memory::NodeFrame;
using memory::SeriesFrame;

inline NodeFrame* nframe(uint32_t off) { return arena::ptr<NodeFrame>(off); }
inline SeriesFrame* sframe(uint32_t off) { return arena::ptr<SeriesFrame>(off); }

bool valid_unit(int unit) { return unit == 1 || unit == 2 || unit == 4 || unit == 8 || unit == 16; }

// Types whose hash depends on node addresses (keys of hash! and map!).
bool node_keyed(uint32_t t) {
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_IMAGE: case TYPE_EVENT: case TYPE_MAP: case TYPE_NATIVE:
        case TYPE_ACTION: case TYPE_OP: case TYPE_FUNCTION: case TYPE_PORT: case TYPE_ERROR: case TYPE_OBJECT:
            return true;
        default:
            return false;
    }
}

class Verifier final : public Tracer {
public:
    std::string problem;

    template <class... A>
    void fail(const char* format, A... args) {
        if (!problem.empty()) return;
        char text[256];
        std::snprintf(text, sizeof text, format, args...);
        problem = text;
    }
    bool ok() const { return problem.empty(); }

    // ---- frames --------------------------------------------------------------------

    void check_frames() {
        check_node_frames();
        if (ok()) check_series_frames();
        if (ok()) check_big_frames();
        if (ok()) check_fixed();
        if (ok()) check_node_slots();
    }

    // A node that a live buffer owns: in a slot area, allocated, pointing at a
    // buffer that points back.
    bool valid_node(uint32_t n) {
        uint8_t* state = slot_state(n);
        return state && (*state & (SLOT_FREE | SLOT_OWNED)) == SLOT_OWNED;
    }

    // The state of node n's slot, or null when n is not a slot of a node frame.
    uint8_t* slot_state(uint32_t n) {
        // nodes met one after another mostly share a frame
        if (uint8_t* state = slot_in(last_index_, n)) return state;
        auto it = std::upper_bound(node_frames_.begin(), node_frames_.end(), n);
        if (it == node_frames_.begin()) return nullptr;
        size_t index = size_t(it - node_frames_.begin()) - 1;
        uint8_t* state = slot_in(index, n);
        if (state) last_index_ = index;
        return state;
    }
    uint8_t* slot_in(size_t index, uint32_t n) {
        if (index >= node_frames_.size()) return nullptr;
        uint32_t f = node_frames_[index];
        uint32_t lo = f + uint32_t(sizeof(NodeFrame)), hi = lo + nframe(f)->count * 4;
        if (n < lo || n >= hi || (n - lo) % 4) return nullptr;
        return &slot_states_[index][(n - lo) / 4];
    }

    bool usable(uint32_t node) override { return node && valid_node(node); }

    // ---- reachable values -------------------------------------------------------------

    bool node(uint32_t* holder, Follow follow) override {
        uint32_t n = *holder;
        if (!n || !ok()) return false;
        if (!valid_node(n)) {
            fail("a reachable value (type %u) names %08x, which is not the node of a live buffer", from_type_, n);
            return false;
        }
        Buffer* b = memory::buffer_of(n);
        if (b->flags & memory::FLAG_MARK) fail("the buffer of node %08x is still marked", n);
        // (a block value over a buffer of another unit is the maker's fault,
        // not the heap's: marking reads only buffers of cells as cells)
        if (follow == Follow::CONTEXT &&
            (b->unit() != 16 || b->used_bytes() < 2 * sizeof(Cell) || !b->cells()->is(TYPE_CONTEXT)))
            fail("node %08x is used as a context (from type %u) but does not hold a context cell", n, from_type_);
        if (follow == Follow::TABLE && b->used_bytes() < sizeof(hashtable::Table))
            fail("node %08x is used as a hash table (from type %u) but holds %u bytes", n, from_type_,
                 b->used_bytes());
        uint8_t* state = slot_state(n);
        if (!ok() || (*state & SLOT_SEEN)) return false;
        *state |= SLOT_SEEN;
        if (follow == Follow::TABLE) work_.push_back({n, true});
        else if (follow != Follow::SERIES && b->unit() == 16) work_.push_back({n, false});
        return true;
    }

    void drain() override {
        while (!work_.empty() && ok()) {
            Item item = work_.back();
            work_.pop_back();
            if (item.table) {
                trace_table(*this, item.node);
                if (ok()) check_table(item.node);
                continue;
            }
            Buffer* b = memory::buffer_of(item.node);
            Cell* end = b->cell_tail();
            for (Cell* c = b->cells(); c + 1 <= end && ok(); c++) cell(c);
        }
    }

    void check_stack() {
        if (!stack::bottom) return;
        if (stack::top_ptr < stack::bottom || stack::top_ptr > stack::limit)
            fail("the data stack's top lies outside the stack");
    }

    void check_lists() {
        if (!ext_res::registry().well_formed()) fail("the external-resource lists are not well formed");
        if (ok() && !value_slots::table().well_formed()) fail("the value-slot free list is not well formed");
        if (ok() && symbol::table) {
            int32_t live = hashtable::record(symbol::table)->live;
            if (live != symbol::count())
                fail("the symbol table indexes %d names but %d symbols exist", live, symbol::count());
        }
    }

protected:
    void handle(Cell* c) override {
        int32_t index = int32_t(c->data3);
        if (index >= 0 && !ext_res::registry().in_use(index))
            fail("a reachable handle! names external resource %d, which is not in use", index);
    }
    void unknown(Cell* c) override { fail("a reachable cell has the unknown type id %u", c->header & TYPE_MASK); }

private:
    struct Item {
        uint32_t node;
        bool table;
    };

    void check_node_frames() {
        uint32_t prev = 0;
        for (uint32_t f = memory::root.node_head; f && ok(); f = nframe(f)->next) {
            NodeFrame* n = nframe(f);
            if (n->prev != prev) fail("node frame %08x has a wrong back link", f);
            if (n->evacuated) fail("node frame %08x is evacuated but still listed", f);
            if (n->used > n->count) fail("node frame %08x uses %u of %u nodes", f, n->used, n->count);
            node_frames_.push_back(f);
            prev = f;
            uint32_t lo = f + uint32_t(sizeof(NodeFrame)), hi = lo + n->count * 4;
            uint32_t free_count = 0;
            for (uint32_t s = n->free; s && ok(); s = memory::node_slot(s)) {
                if (s < lo || s >= hi || (s - lo) % 4) fail("node frame %08x has a free slot %08x outside it", f, s);
                else if (++free_count > n->count)
                    fail("the free list of node frame %08x loops", f);
                else
                    free_found_.push_back(s);
            }
            if (ok() && free_count != n->count - n->used)
                fail("node frame %08x has %u free slots but counts %u used of %u", f, free_count, n->used, n->count);
        }
        if (ok() && prev != memory::root.node_tail) fail("the node-frame list does not end at its tail");
        std::sort(node_frames_.begin(), node_frames_.end());
        slot_states_.resize(node_frames_.size());
        for (size_t i = 0; i < node_frames_.size(); i++) slot_states_[i].assign(nframe(node_frames_[i])->count, 0);
        for (uint32_t s : free_found_) *slot_state(s) |= SLOT_FREE;
    }

    // A buffer in use: its node points back and its used part lies in its data.
    void check_buffer(uint32_t p, bool in_frame) {
        Buffer* b = memory::buffer_at(p);
        if (b->size % 16) fail("buffer %08x has a size of %u, not a multiple of 16", p, b->size);
        if (!(b->flags & memory::FLAG_IN_USE)) {
            if (b->node) fail("buffer %08x is replaced but still names node %08x", p, b->node);
            return;
        }
        if (!valid_unit(b->unit())) fail("buffer %08x has the unit %d", p, b->unit());
        if (b->offset > b->tail || b->tail > b->size)
            fail("buffer %08x has offset %u and tail %u in %u bytes", p, b->offset, b->tail, b->size);
        if (b->flags & memory::FLAG_MARK) fail("buffer %08x is still marked after the cycle", p);
        if (in_frame && (b->flags & memory::FLAG_FIXED)) fail("buffer %08x in a series frame is flagged fixed", p);
        if (!b->node) fail("buffer %08x is in use without a node", p);
        node_owner_.push_back({b->node, p});
    }

    void check_series_frames() {
        uint32_t prev = 0;
        for (uint32_t f = memory::root.series_head; f && ok(); f = sframe(f)->next) {
            SeriesFrame* s = sframe(f);
            if (s->prev != prev) fail("series frame %08x has a wrong back link", f);
            if (prev && prev >= f) fail("series frame %08x is out of address order", f);
            if (s->tail != f + s->size || s->heap < s->first() || s->heap > s->tail)
                fail("series frame %08x has heap %08x and tail %08x for %u bytes", f, s->heap, s->tail, s->size);
            prev = f;
            for (uint32_t p = s->first(); p < s->heap && ok();) {
                Buffer* b = memory::buffer_at(p);
                if (uint64_t(p) + b->total() > s->heap) {
                    fail("buffer %08x of %u bytes runs past its frame's heap", p, b->size);
                    break;
                }
                if (b->flags & memory::FLAG_BIG) fail("buffer %08x in a series frame is flagged big", p);
                check_buffer(p, true);
                p += b->total();
            }
        }
        if (ok() && prev != memory::root.series_tail) fail("the series-frame list does not end at its tail");
    }

    void check_big_frames() {
        for (uint32_t f = memory::root.big_head; f && ok(); f = arena::ptr<BigFrame>(f)->next) {
            BigFrame* big = arena::ptr<BigFrame>(f);
            Buffer* b = big->buffer();
            if (!(b->flags & memory::FLAG_BIG)) fail("the buffer of big frame %08x is not flagged big", f);
            if (big->size != b->total()) fail("big frame %08x holds %u bytes for a buffer of %u", f, big->size, b->total());
            if (ok()) check_buffer(arena::off(b), true);
        }
    }

    void check_fixed() {
        for (uint32_t i = 0; i < memory::root.fixed_count && ok(); i++) {
            uint32_t p = memory::fixed_buffer(i);
            Buffer* b = memory::buffer_at(p);
            if (b->flags & memory::FLAG_MARK) fail("fixed buffer %08x is still marked", p);
            if ((b->flags & memory::FLAG_IN_USE) && ok()) check_buffer(p, false);
        }
    }

    // Every buffer in use is its node's only buffer; every allocated slot
    // that holds a buffer holds one in use.
    void check_node_slots() {
        for (const auto& [n, p] : node_owner_) {
            uint8_t* state = slot_state(n);
            if (!state || (*state & (SLOT_FREE | SLOT_OWNED)) || memory::node_slot(n) != p) {
                fail("buffer %08x names node %08x, which does not point back to it", p, n);
                return;
            }
            *state |= SLOT_OWNED;
        }
        for (size_t k = 0; k < node_frames_.size(); k++) {
            uint32_t f = node_frames_[k];
            NodeFrame* n = nframe(f);
            uint32_t lo = f + uint32_t(sizeof(NodeFrame));
            uint32_t used = 0;
            for (uint32_t i = 0; i < n->count; i++) {
                uint32_t s = lo + i * 4;
                if (slot_states_[k][i] & SLOT_FREE) continue;
                used++;
                uint32_t v = memory::node_slot(s);
                if (v && !(slot_states_[k][i] & SLOT_OWNED)) {
                    fail("node %08x holds %08x, which is not a buffer that names it", s, v);
                    return;
                }
            }
            if (used != n->used) {
                fail("node frame %08x counts %u used nodes but holds %u", f, n->used, used);
                return;
            }
        }
    }

    // ---- hash tables --------------------------------------------------------------------

    static uint32_t state_at(const uint8_t* st, uint32_t b) { return (st[b >> 2] >> ((b & 3) * 2)) & 3; }

    void check_table(uint32_t t) {
        using hashtable::Table;
        Table* r = hashtable::record(t);
        if (r->kind > hashtable::OWNERSHIP) return fail("hash table %08x has the kind %u", t, r->kind);
        uint32_t nb = r->buckets;
        if (nb < 4 || (nb & (nb - 1))) return fail("hash table %08x has %u buckets", t, nb);
        if (!usable(r->states) || !usable(r->slots) || !usable(r->data))
            return fail("hash table %08x names a part that is not a live buffer", t);
        // re-made from its block before it is searched again (also when a text
        // or binary! key may have changed since it was indexed)
        if (r->kind == hashtable::HASH &&
            (r->stamp == hashtable::STALE || (r->seen && r->seen != hashtable::key_edits + 1)))
            return;
        Buffer* sb = memory::buffer_of(r->states);
        Buffer* lb = memory::buffer_of(r->slots);
        if (sb->size - sb->offset < nb / 4 || lb->size - lb->offset < nb * 4)
            return fail("hash table %08x has arrays too small for %u buckets", t, nb);
        const uint8_t* st = sb->head_ptr();
        const uint32_t* slots = reinterpret_cast<const uint32_t*>(lb->head_ptr());
        uint32_t live = 0, deleted = 0;
        for (uint32_t b = 0; b < nb; b++) {
            uint32_t s = state_at(st, b);
            if (s == hashtable::STATE_LIVE) live++;
            else if (s == hashtable::STATE_DELETED) deleted++;
            else if (s != hashtable::STATE_EMPTY) return fail("hash table %08x has bucket %u in state 3", t, b);
        }
        if (r->used != live + deleted)
            return fail("hash table %08x counts %u used buckets but has %u live and %u deleted", t, r->used, live,
                        deleted);
        // a map! pair removed keeps its bucket live
        bool live_ok = r->kind == hashtable::MAP ? uint32_t(r->live) <= live : uint32_t(r->live) == live;
        if (!live_ok || r->live < 0) return fail("hash table %08x counts %d live entries but has %u", t, r->live, live);

        Buffer* db = memory::buffer_of(r->data);
        uint32_t cells = db->used_bytes() / sizeof(Cell);
        bool identity = r->kind == hashtable::IDENTITY || r->kind == hashtable::OWNERSHIP;
        // a table that last matched node addresses before nodes moved is
        // rehashed on its next use: its node keys may sit off their probe path
        bool stale = r->stamp && r->stamp - 1 < nodes_moved_at();
        for (uint32_t b = 0; b < nb; b++) {
            if (state_at(st, b) != hashtable::STATE_LIVE) continue;
            uint32_t slot = slots[b];
            uint32_t h = 0;
            if (identity) {
                uint32_t width = r->cell_buckets;
                if (width < sizeof(Cell) || slot % width || uint64_t(slot) + width > db->used_bytes())
                    return fail("hash table %08x bucket %u names record offset %u", t, b, slot);
                const Cell* rec = reinterpret_cast<const Cell*>(db->head_ptr() + slot);
                if (rec->header != 2) return fail("hash table %08x bucket %u names a removed record", t, b);
                if (stale) continue;
                h = hash::mix(rec->data1);
            } else {
                int32_t pos = int32_t(slot);
                if (r->kind != hashtable::HASH) pos = int32_t(slot & 0x7FFFFFFFu);
                if (pos < 0) {
                    if (!check_dup_list(t, r, uint32_t(-pos - 1), cells, b)) return;
                    const uint32_t* list =
                        reinterpret_cast<const uint32_t*>(memory::buffer_of(dup_list(r, uint32_t(-pos - 1)))->head_ptr());
                    pos = int32_t(list[0]);
                } else if (uint32_t(pos) >= cells) {
                    return fail("hash table %08x bucket %u names cell %d of %u", t, b, pos, cells);
                }
                Cell* key = db->cells() + pos;
                if (stale && node_keyed(key->type())) continue;
                if (!key_usable(key)) return fail("hash table %08x bucket %u has a key that names no live buffer", t, b);
                h = hash::value(key, false);
            }
            if (!on_probe_path(st, nb, h, b))
                return fail("hash table %08x (kind %u): the key in bucket %u is not found again from its hash", t,
                            r->kind, b);
        }
        if (r->kind == hashtable::HASH) check_cell_buckets(t, r, st, slots, cells);
    }

    static uint32_t dup_list(const hashtable::Table* r, uint32_t index) {
        return reinterpret_cast<const uint32_t*>(memory::buffer_of(r->dup_lists)->head_ptr())[index];
    }

    bool check_dup_list(uint32_t t, const hashtable::Table* r, uint32_t index, uint32_t cells, uint32_t b) {
        if (!usable(r->dup_lists) || index >= memory::buffer_of(r->dup_lists)->used_bytes() / 4) {
            fail("hash table %08x bucket %u names duplicate list %u, which does not exist", t, b, index + 1);
            return false;
        }
        uint32_t list = dup_list(r, index);
        if (!usable(list) || memory::buffer_of(list)->used_bytes() < 4) {
            fail("hash table %08x bucket %u has an empty or dead duplicate list", t, b);
            return false;
        }
        Buffer* lb = memory::buffer_of(list);
        const uint32_t* pos = reinterpret_cast<const uint32_t*>(lb->head_ptr());
        for (uint32_t i = 0; i < lb->used_bytes() / 4; i++)
            if (pos[i] >= cells) {
                fail("hash table %08x duplicate list %u names cell %u of %u", t, index + 1, pos[i], cells);
                return false;
            }
        return true;
    }

    // The walk a lookup makes from the hash reaches the bucket before any empty one.
    static bool on_probe_path(const uint8_t* st, uint32_t nb, uint32_t h, uint32_t target) {
        uint32_t mask = nb - 1, i = h & mask, n = 0;
        for (uint32_t walked = 0; walked < nb; walked++) {
            if (i == target) return true;
            if (state_at(st, i) == hashtable::STATE_EMPTY) return false;
            n++;
            i = (i + n) & mask;
        }
        return false;
    }

    // Hashing a key reads its buffers: they must be live.
    bool key_usable(Cell* key) {
        if (rule_of(key->header & TYPE_MASK) == Rule::UNKNOWN) return false;
        Reference refs[3];
        int n = references(key, refs);
        for (int i = 0; i < n; i++)
            if (!valid_node(*refs[i].holder)) return false;
        return true;
    }

    // hash!: each cell's recorded bucket is live and names that cell.
    void check_cell_buckets(uint32_t t, const hashtable::Table* r, const uint8_t* st, const uint32_t* slots,
                            uint32_t cells) {
        if (!usable(r->cell_buckets)) return fail("hash table %08x has no live cell-bucket array", t);
        Buffer* cb = memory::buffer_of(r->cell_buckets);
        const uint32_t* of = reinterpret_cast<const uint32_t*>(cb->head_ptr());
        uint32_t n = std::min(cells, (cb->size - cb->offset) / 4);
        for (uint32_t p = 0; p < n; p++) {
            uint32_t e = of[p];
            if (e == 0xFFFFFFFFu) continue;
            if (e == 0 || e > r->buckets || state_at(st, e - 1) != hashtable::STATE_LIVE)
                return fail("hash table %08x records bucket %u for cell %u, which is not live", t, e, p);
            int32_t slot = int32_t(slots[e - 1]);
            bool names = slot == int32_t(p);
            if (slot < 0) {
                Buffer* lb = memory::buffer_of(dup_list(r, uint32_t(-slot - 1)));
                const uint32_t* pos = reinterpret_cast<const uint32_t*>(lb->head_ptr());
                for (uint32_t i = 0; i < lb->used_bytes() / 4 && !names; i++) names = pos[i] == p;
            }
            if (!names) return fail("hash table %08x records bucket %u for cell %u, which names another cell", t, e, p);
        }
    }

    // Per node frame (in the address order of node_frames_) a state per slot:
    // free (on the frame's free list), owned (holding a buffer in use that
    // names it) and seen (reached by this walk). Sorted vectors and flat
    // states keep a walk after every collection cheap.
    enum : uint8_t { SLOT_FREE = 1, SLOT_SEEN = 2, SLOT_OWNED = 4 };
    std::vector<uint32_t> node_frames_;
    size_t last_index_ = 0;  // in node_frames_, of the last slot found
    std::vector<std::vector<uint8_t>> slot_states_;
    std::vector<uint32_t> free_found_;
    std::vector<std::pair<uint32_t, uint32_t>> node_owner_;  // node, buffer
    std::vector<Item> work_;
};

}  // namespace

std::string check_heap() {
    Verifier v;
    v.check_frames();
    if (v.ok()) v.check_stack();
    if (v.ok()) v.check_lists();
    if (v.ok()) trace_roots(v);
    if (v.ok() && ownership::table) {
        v.node(&ownership::table, Follow::TABLE);
        v.drain();
    }
    return v.problem;
}

void verify_heap() {
    std::string problem = check_heap();
    if (problem.empty()) return;
    std::fprintf(stderr, "*** heap verifier: %s\n", problem.c_str());
    std::fflush(stderr);
    rt_error::fatal(98, KRO_CAPTURE_SITE());
}

}  // namespace kro::collector
