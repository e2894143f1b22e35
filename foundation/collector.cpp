#include "foundation/collector.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/memory_stats.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/stack.hpp"

namespace kro::collector {

void (*mark_call_stack)() = nullptr;
void (*mark_image)(Cell* image) = nullptr;

using memory::Buffer;
using memory::NodeFrame;
using memory::SeriesFrame;

namespace {

// Node frames are evacuated when their used count stayed the same over the
// last six collections, they are less than half full, and the other frames
// have room for them.
constexpr uint32_t STABLE_HISTORY = 0x3F;
constexpr uint32_t EVACUATE_BELOW = 5000;
constexpr uint32_t EVACUATION_BUDGET = 10000;

uint32_t nodes_cycle_count = 0;
uint32_t moved_at = 0;

// Old node -> new node, for the cycle that evacuated frames. Every node the
// marker meets is looked up here, so it is an open table of (key, value)
// pairs over a power-of-two count of buckets, probed quadratically; node
// offsets are never 0, which marks an empty bucket.
class RelocationMap {
public:
    void put(uint32_t key, uint32_t value) {
        if (buckets_.empty()) resize(FIRST_ROOM);
        if (count_ >= bound_) resize(uint32_t(buckets_.size()) + 1);
        Pair& b = buckets_[slot(key)];
        if (!b.key) count_++;
        b = Pair{key, value};
    }
    // the new node, or 0 when the node did not move
    uint32_t find(uint32_t key) const {
        if (buckets_.empty()) return 0;
        const Pair& b = buckets_[slot(key)];
        return b.key ? b.value : 0;
    }
    void clear() {
        std::vector<Pair>().swap(buckets_);
        count_ = bound_ = 0;
    }

private:
    struct Pair {
        uint32_t key, value;
    };
    static constexpr uint32_t FIRST_ROOM = 20000;  // entries the first evacuation makes room for
    static constexpr double LOAD = 0.77;

    // the bucket holding key, or the empty one where it would go
    uint32_t slot(uint32_t key) const {
        uint32_t mask = uint32_t(buckets_.size()) - 1, i = hash::mix(key) & mask;
        for (uint32_t step = 1; buckets_[i].key && buckets_[i].key != key; step++) i = (i + step) & mask;
        return i;
    }
    void resize(uint32_t entries) {
        uint32_t n = 4;
        while (n < uint32_t(entries / LOAD + 0.999)) n *= 2;
        std::vector<Pair> old(n, Pair{0, 0});
        old.swap(buckets_);
        bound_ = uint32_t(n * LOAD);
        for (const Pair& p : old)
            if (p.key) buckets_[slot(p.key)] = p;
    }

    std::vector<Pair> buckets_;
    uint32_t count_ = 0, bound_ = 0;
};

RelocationMap& relocation() {
    static auto* m = new RelocationMap();
    return *m;
}
bool relocating = false;

std::vector<uint32_t>& deferred() {
    static auto* v = new std::vector<uint32_t>();
    return *v;
}

// Node frames sorted by address, rebuilt each cycle.
std::vector<uint32_t>& node_index() {
    static auto* v = new std::vector<uint32_t>();
    return *v;
}

// map! tables met while nodes were moving: their keys may hash by node.
std::vector<uint32_t>& moved_maps() {
    static auto* v = new std::vector<uint32_t>();
    return *v;
}

Tracer* active_tracer = nullptr;

inline NodeFrame* nframe(uint32_t off) { return arena::ptr<NodeFrame>(off); }
inline SeriesFrame* sframe(uint32_t off) { return arena::ptr<SeriesFrame>(off); }
inline uint32_t slots_start(uint32_t frame) { return frame + uint32_t(sizeof(NodeFrame)); }

void build_node_index() {
    auto& idx = node_index();
    idx.clear();
    for (uint32_t f = memory::root.node_head; f; f = nframe(f)->next) idx.push_back(f);
    std::sort(idx.begin(), idx.end());
}

// The node frame whose slot area holds the address, or 0.
uint32_t node_frame_of(uint32_t addr) {
    const auto& idx = node_index();
    auto it = std::upper_bound(idx.begin(), idx.end(), addr);
    if (it == idx.begin()) return 0;
    uint32_t f = *(it - 1);
    uint32_t lo = slots_start(f), hi = lo + nframe(f)->count * 4;
    return addr >= lo && addr < hi && (addr - lo) % 4 == 0 ? f : 0;
}

[[noreturn]] void broken(const char* what, uint32_t value) {
    std::fprintf(stderr, "*** collector: %s (%08x)\n", what, value);
    std::fflush(stderr);
    rt_error::fatal(98, KRO_CAPTURE_SITE());
}

// ---- the reference table ------------------------------------------------------------

constexpr Rule RULES[TYPE_ID_ROOM] = {
    Rule::NOTHING,   //  0 empty header (removed records and pairs)
    Rule::NOTHING,   //  1 datatype!
    Rule::NOTHING,   //  2 unset!
    Rule::NOTHING,   //  3 none!
    Rule::NOTHING,   //  4 logic!
    Rule::SERIES2,   //  5 block!
    Rule::SERIES2,   //  6 paren!
    Rule::TEXT,      //  7 string!
    Rule::TEXT,      //  8 file!
    Rule::TEXT,      //  9 url!
    Rule::NOTHING,   // 10 char!
    Rule::NOTHING,   // 11 integer!
    Rule::NOTHING,   // 12 float!
    Rule::SYMBOL,    // 13 symbol!
    Rule::CONTEXT,   // 14 context!
    Rule::WORD,      // 15 word!
    Rule::WORD,      // 16 set-word!
    Rule::WORD,      // 17 lit-word!
    Rule::WORD,      // 18 get-word!
    Rule::WORD,      // 19 refinement!
    Rule::WORD,      // 20 issue! (a word converted to an issue may keep its context)
    Rule::NATIVE,    // 21 native!
    Rule::NATIVE,    // 22 action!
    Rule::NATIVE,    // 23 op!
    Rule::FUNCTION,  // 24 function!
    Rule::SERIES2,   // 25 path!
    Rule::SERIES2,   // 26 lit-path!
    Rule::SERIES2,   // 27 set-path!
    Rule::SERIES2,   // 28 get-path!
    Rule::FUNCTION,  // 29 routine!
    Rule::BYTES2,    // 30 bitset!
    Rule::NOTHING,   // 31 triple!
    Rule::OBJECT,    // 32 object!
    Rule::NOTHING,   // 33 typeset!
    Rule::OBJECT,    // 34 error!
    Rule::BYTES2,    // 35 vector!
    Rule::HASHED,    // 36 hash!
    Rule::NOTHING,   // 37 pair!
    Rule::NOTHING,   // 38 percent!
    Rule::NOTHING,   // 39 tuple!
    Rule::HASHED,    // 40 map!
    Rule::BYTES2,    // 41 binary!
    Rule::NOTHING,   // 42 series! (abstract: no values)
    Rule::NOTHING,   // 43 time!
    Rule::TEXT,      // 44 tag!
    Rule::TEXT,      // 45 email!
    Rule::HANDLE,    // 46 handle!
    Rule::NOTHING,   // 47 date!
    Rule::OBJECT,    // 48 port!
    Rule::NOTHING,   // 49 money!
    Rule::TEXT,      // 50 ref!
    Rule::NOTHING,   // 51 point2D!
    Rule::NOTHING,   // 52 point3D!
    Rule::IMAGE,     // 53 image!
    Rule::EVENT,     // 54 event!
    Rule::NOTHING,   // 55 (no datatype)
    Rule::NOTHING,   // 56 text-slice lookup keys
};

}  // namespace

Rule rule_of(uint32_t type) { return type < uint32_t(TYPE_ID_ROOM) ? RULES[type] : Rule::UNKNOWN; }

int references(Cell* c, Reference out[3]) {
    int n = 0;
    auto add = [&](uint32_t* holder, Follow f) {
        if (*holder) out[n++] = Reference{holder, f};
    };
    switch (rule_of(c->header & TYPE_MASK)) {
        case Rule::SERIES2:
            add(&c->data2, Follow::BLOCK);
            break;
        case Rule::TEXT:
            add(&c->data2, Follow::SERIES);
            add(&c->data3, Follow::SERIES);
            break;
        case Rule::SYMBOL:
            add(&c->data3, Follow::SERIES);
            add(&c->data2, Follow::SERIES);
            break;
        case Rule::CONTEXT:
            add(&c->data1, Follow::TABLE);
            if (!(c->header & context::FLAG_ON_STACK)) add(&c->data2, Follow::BLOCK);
            break;
        case Rule::WORD:
            add(&c->data1, Follow::CONTEXT);
            break;
        case Rule::NATIVE: {
            uint32_t wrapped = (c->header >> OP_WRAPPED_SHIFT) & 0xFF;
            if (c->type() == TYPE_OP && (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE))
                add(&c->data1, Follow::CONTEXT);
            add(&c->data2, Follow::BLOCK);
            add(&c->data3, Follow::BLOCK);
            break;
        }
        case Rule::FUNCTION:
            add(&c->data1, Follow::CONTEXT);
            add(&c->data2, Follow::BLOCK);
            add(&c->data3, Follow::BLOCK);
            break;
        case Rule::BYTES2:
        case Rule::IMAGE:
            add(&c->data2, Follow::SERIES);
            break;
        case Rule::OBJECT:
            add(&c->data1, Follow::CONTEXT);
            add(&c->data3, Follow::ANY);
            break;
        case Rule::HASHED:
            add(&c->data2, Follow::BLOCK);
            add(&c->data3, Follow::TABLE);
            break;
        case Rule::EVENT:
            if (c->header & EVENT_MADE) add(&c->data2, Follow::BLOCK);
            break;
        case Rule::NOTHING:
        case Rule::HANDLE:
        case Rule::UNKNOWN:
            break;
    }
    return n;
}

// ---- walks ------------------------------------------------------------------------------

void Tracer::cell(Cell* c) {
    Rule r = rule_of(c->header & TYPE_MASK);
    if (r == Rule::UNKNOWN) {
        unknown(c);
        return;
    }
    if (r == Rule::HANDLE) {
        handle(c);
        return;
    }
    Reference refs[3];
    int n = references(c, refs);
    from_type_ = c->header & TYPE_MASK;
    for (int i = 0; i < n; i++) node(refs[i].holder, refs[i].follow);
    from_type_ = 0;
    if (r == Rule::IMAGE && mark_image) {
        Tracer* saved = active_tracer;
        active_tracer = this;
        mark_image(c);
        active_tracer = saved;
    }
}

void trace_table(Tracer& t, uint32_t table) {
    using hashtable::Table;
    Table* r = hashtable::record(table);
    t.node(&r->states, Follow::SERIES);
    t.node(&r->slots, Follow::SERIES);
    if (r->kind == hashtable::HASH) {
        t.node(&r->cell_buckets, Follow::SERIES);
        t.node(&r->dup_lists, Follow::SERIES);
        if (t.usable(r->dup_lists)) {
            Buffer* d = memory::buffer_of(r->dup_lists);
            auto* lists = reinterpret_cast<uint32_t*>(d->head_ptr());
            for (uint32_t i = 0; i < d->used_bytes() / 4; i++) t.node(&lists[i], Follow::SERIES);
        }
        t.node(&r->data, Follow::BLOCK);
    } else if (r->kind == hashtable::IDENTITY || r->kind == hashtable::OWNERSHIP) {
        // the data block holds records: a header cell (first word 2 while
        // live, data1 the key node) and the value cells
        uint32_t width = r->cell_buckets;
        t.node(&r->data, Follow::SERIES);
        if (!t.usable(r->data) || width < sizeof(Cell) || width % sizeof(Cell)) return;
        Buffer* d = memory::buffer_of(r->data);
        uint32_t total = d->used_bytes();
        for (uint32_t off = 0; off + width <= total; off += width) {
            Cell* rec = reinterpret_cast<Cell*>(d->head_ptr() + off);
            if (rec->header != 2) continue;  // removed: nothing in it counts
            t.node(&rec->data1, Follow::ANY);
            for (uint32_t k = 1; k < width / sizeof(Cell); k++) t.cell(rec + k);
        }
    } else {
        t.node(&r->data, Follow::BLOCK);
    }
}

void trace_roots(Tracer& t) {
    Tracer* saved = active_tracer;
    active_tracer = &t;
    // The stacks' nodes first: their cells are marked by the live range only.
    t.node(&runtime::data_stack_block.data2, Follow::SERIES);
    t.node(&runtime::call_stack_block.data2, Follow::SERIES);
    t.node(&runtime::root.data2, Follow::BLOCK);
    t.node(&runtime::symbol_block.data2, Follow::BLOCK);
    t.node(&symbol::table, Follow::TABLE);
    t.node(&context::global, Follow::CONTEXT);
    // the registry keeps each datatype's word (bound to the global context)
    for (int32_t id = 1; id <= datatype::highest_id(); id++)
        if (datatype::registered(id)) t.cell(const_cast<Cell*>(&datatype::row(id).word));
    if (stack::bottom)
        for (Cell* c = stack::bottom; c < stack::top_ptr; c++) t.cell(c);
    if (mark_call_stack) mark_call_stack();
    t.cell(value_slots::root_cell());
    uint32_t* entries = mold::cycle_entries();
    for (int32_t i = 0; i < mold::cycle_depth(); i++) t.node(&entries[i], Follow::ANY);
    for (gc::RootLink* link = gc::root_top; link; link = link->prev) {
        if (link->kind == gc::RootLink::CELL) t.cell(gc::rooted_cell(link));
        else t.node(gc::rooted_node(link), Follow::ANY);
    }
    for (int i = 0; i < gc::mark_callback_count(); i++)
        if (gc::MarkCallback cb = gc::mark_callback(i)) cb();
    t.drain();
    active_tracer = saved;
}

namespace {

// ---- marking ---------------------------------------------------------------------------

class Marker final : public Tracer {
public:
    bool node(uint32_t* holder, Follow follow) override {
        uint32_t n = *holder;
        if (!n) return false;
        if (relocating) {
            if (uint32_t to = relocation().find(n)) *holder = n = to;
        }
        if (gc::stress) check(n);
        Buffer* b = memory::buffer_of(n);
        if (b->flags & memory::FLAG_MARK) return false;
        b->flags |= memory::FLAG_MARK;
        switch (follow) {
            case Follow::SERIES:
                break;
            case Follow::ANY:
            case Follow::BLOCK:
            case Follow::CONTEXT:
                // only a buffer of cells is read as cells, whatever names it
                if (b->unit() == 16) work_.push_back({n, CELLS});
                break;
            case Follow::TABLE:
                if (b->used_bytes() < sizeof(hashtable::Table)) break;  // no table record: nothing to follow
                work_.push_back({n, TABLE});
                if (relocating && hashtable::record(n)->kind == hashtable::MAP) moved_maps().push_back(n);
                break;
        }
        return true;
    }

    void drain() override {
        while (!work_.empty()) {
            Item item = work_.back();
            work_.pop_back();
            if (item.what == TABLE) {
                trace_table(*this, item.node);
                continue;
            }
            Buffer* b = memory::buffer_of(item.node);
            Cell* end = b->cell_tail();
            // without nodes to rewrite or to check, a string's node is
            // marked here at once (node() does the same, after its checks)
            const bool plain = !gc::stress && !relocating;
            for (Cell* c = b->cells(); c + 1 <= end; c++) {
                // a block of many strings is marked at the pace of reading
                // their headers: the one some cells ahead is asked for now
                // (not in stress mode, whose check reports a bad node
                // before anything reads through it)
                if (c + PREFETCH_AHEAD < end && plain) {
                    const Cell* a = c + PREFETCH_AHEAD;
                    if (rule_of(a->header & TYPE_MASK) == Rule::TEXT && a->data2)
                        __builtin_prefetch(arena::ptr(memory::node_slot(a->data2)), 1);
                }
                // the common cells of a big block (scalars, strings,
                // binaries) are marked here; the rest as any cell is
                switch (rule_of(c->header & TYPE_MASK)) {
                    case Rule::NOTHING:
                        break;
                    case Rule::TEXT:
                        if (plain) {
                            if (c->data2) memory::buffer_of(c->data2)->flags |= memory::FLAG_MARK;
                            if (c->data3) memory::buffer_of(c->data3)->flags |= memory::FLAG_MARK;
                            break;
                        }
                        if (c->data2) node(&c->data2, Follow::SERIES);
                        if (c->data3) node(&c->data3, Follow::SERIES);
                        break;
                    case Rule::BYTES2:
                        if (c->data2) node(&c->data2, Follow::SERIES);
                        break;
                    default:
                        cell(c);
                }
            }
        }
    }

protected:
    void handle(Cell* c) override {
        if (int32_t(c->data3) >= 0) ext_res::mark(int32_t(c->data3), 0);
    }
    void unknown(Cell* c) override {
        if (gc::stress) broken("a reachable cell has an unknown type id", c->header);
    }

private:
    static constexpr int PREFETCH_AHEAD = 32;
    enum What : uint8_t { CELLS, TABLE };
    struct Item {
        uint32_t node;
        What what;
    };

    // Stress mode stops at the first reference that names no live node.
    void check(uint32_t n) {
        // nodes met one after another mostly share a frame
        uint32_t f = in_slots(last_frame_, n) ? last_frame_ : node_frame_of(n);
        if (!f) broken("a reachable reference is not a node", n);
        last_frame_ = f;
        // a free slot links to another slot of its own frame
        uint32_t buf = memory::node_slot(n);
        if (!buf || in_slot_area(f, buf) || nframe(f)->evacuated) broken("a reachable node holds no buffer", n);
        Buffer* b = memory::buffer_at(buf);
        if (!(b->flags & memory::FLAG_IN_USE) || b->node != n) broken("a reachable node's buffer is not its own", n);
    }

    static bool in_slot_area(uint32_t f, uint32_t addr) {
        uint32_t lo = slots_start(f);
        return addr >= lo && addr < lo + nframe(f)->count * 4;
    }
    static bool in_slots(uint32_t f, uint32_t addr) {
        return f && in_slot_area(f, addr) && (addr - slots_start(f)) % 4 == 0;
    }

    std::vector<Item> work_;
    uint32_t last_frame_ = 0;  // of the last node checked, in this cycle's frames
};

// ---- node evacuation ---------------------------------------------------------------------

// Takes a free node from the frame (which must have one).
uint32_t take_node(NodeFrame* f) {
    uint32_t n = f->free;
    f->free = memory::node_slot(n);
    memory::node_slot(n) = 0;
    f->used++;
    return n;
}

// Moves every node of a frame that holds a buffer to frames that dest()
// chooses, recording old -> new, and marks the frame evacuated.
template <class Dest>
void evacuate(uint32_t frame, Dest dest) {
    NodeFrame* f = nframe(frame);
    uint32_t* s = f->slots();
    uint32_t lo = slots_start(frame), hi = lo + f->count * 4;
    for (uint32_t i = 0; i < f->count; i++) {
        uint32_t v = s[i];
        if (!v || (v >= lo && v < hi)) continue;  // a free slot or one without a buffer yet
        uint32_t to = take_node(nframe(dest(frame)));
        memory::node_slot(to) = v;
        memory::buffer_at(v)->node = to;
        relocation().put(lo + i * 4, to);
        f->used--;
    }
    f->evacuated = 1;
    relocating = true;
}

void plan_node_compaction() {
    using memory::root;
    uint32_t current = 0;
    for (uint32_t f = root.node_head; f; f = nframe(f)->next)
        if (nframe(f)->free && !nframe(f)->evacuated) {
            current = f;
            break;
        }
    if (!current) return;
    root.node_current = current;
    uint64_t budget = 0;
    for (uint32_t f = root.node_head; f; f = nframe(f)->next)
        if (!nframe(f)->evacuated) budget += nframe(f)->count - nframe(f)->used;
    // The current frame first, then any other frame with room that is neither
    // the one being emptied nor emptied itself. A frame that took nodes is not
    // emptied in the same cycle: the relocation table maps a node once, so a
    // node moved twice would leave its holders naming the middle slot.
    std::vector<uint32_t> receivers;
    auto received = [&](uint32_t f) { return std::find(receivers.begin(), receivers.end(), f) != receivers.end(); };
    auto dest = [&](uint32_t source) -> uint32_t {
        uint32_t to = 0;
        if (nframe(root.node_current)->free) to = root.node_current;
        for (uint32_t f = root.node_head; f && !to; f = nframe(f)->next)
            if (f != source && nframe(f)->free && !nframe(f)->evacuated) to = f;
        if (!to) to = memory::new_node_frame(memory::NODES_PER_FRAME);
        if (!received(to)) receivers.push_back(to);
        return to;
    };
    bool any = false;
    for (uint32_t f = root.node_tail; f; f = nframe(f)->prev) {
        NodeFrame* nf = nframe(f);
        if ((nf->history & STABLE_HISTORY) == STABLE_HISTORY && nf->used < EVACUATE_BELOW &&
            budget > EVACUATION_BUDGET && f != root.node_current && !nf->evacuated && !received(f)) {
            evacuate(f, dest);
            budget -= EVACUATION_BUDGET;
            any = true;
        }
    }
    if (any) nodes_cycle_count++;
}

// Stress mode: every node moves to fresh frames each cycle.
void evacuate_all() {
    using memory::root;
    std::vector<uint32_t> old;
    for (uint32_t f = root.node_head; f; f = nframe(f)->next)
        if (!nframe(f)->evacuated) old.push_back(f);
    uint32_t fresh = memory::new_node_frame(memory::NODES_PER_FRAME);
    uint32_t first = fresh;
    auto dest = [&](uint32_t) -> uint32_t {
        if (!nframe(fresh)->free) fresh = memory::new_node_frame(memory::NODES_PER_FRAME);
        return fresh;
    };
    for (uint32_t f : old) evacuate(f, dest);
    root.node_current = first;
    nodes_cycle_count++;
}

// ---- compaction ----------------------------------------------------------------------------

inline Buffer* buffer_at_off(uint32_t p) { return memory::buffer_at(p); }

void defer_dead(Buffer* b) {
    if ((b->flags & memory::FLAG_IN_USE) && b->node) deferred().push_back(b->node);
}

// Points the nodes of the buffers laid from `at` over `length` bytes at their
// buffers, and takes their marks off.
void fix_moved(uint32_t at, uint32_t length) {
    for (uint32_t p = at; p < at + length;) {
        Buffer* b = buffer_at_off(p);
        __builtin_prefetch(reinterpret_cast<const uint8_t*>(b) + 2048);
        b->flags &= ~memory::FLAG_MARK;
        memory::node_slot(b->node) = p;
        p += b->total();
    }
}

void clear_marks(uint32_t at, uint32_t length) {
    for (uint32_t p = at; p < at + length; p += buffer_at_off(p)->total()) {
        __builtin_prefetch(arena::ptr(p) + 2048);
        buffer_at_off(p)->flags &= ~memory::FLAG_MARK;
    }
}

// Free room of the previous frame when it is worth moving runs into.
uint32_t target_room(uint32_t prev) {
    if (!prev) return 0;
    uint32_t room = sframe(prev)->tail - sframe(prev)->heap;
    return room > memory::MIN_FRAME_ROOM ? room : 0;
}

// Slides the live buffers of a frame together, moving runs of them to the free
// end of the previous frame while it has room worth using.
void compact_frame(uint32_t frame, uint32_t prev) {
    SeriesFrame* f = sframe(frame);
    uint32_t p = f->first(), end = f->heap;
    bool has_write = false;
    uint32_t write = 0;
    uint32_t room = target_room(prev);
    while (p < end) {
        Buffer* b = buffer_at_off(p);
        if (!(b->flags & memory::FLAG_MARK)) {
            defer_dead(b);
            if (!has_write) {
                has_write = true;
                write = p;
            }
            p += b->total();
            continue;
        }
        uint32_t start = p, length = 0, last = 0;
        if (!room && !has_write) {
            // a run that stays where it is: its marks come off as it is read
            while (p < end) {
                Buffer* c = buffer_at_off(p);
                __builtin_prefetch(reinterpret_cast<const uint8_t*>(c) + 2048);
                if (!(c->flags & memory::FLAG_MARK)) break;
                c->flags &= ~memory::FLAG_MARK;
                p += c->total();
            }
            prev = 0;
            continue;
        }
        while (p < end) {
            Buffer* c = buffer_at_off(p);
            // a run of small buffers is read at the pace of memory: ask for
            // the headers ahead (a hint only, valid at any address)
            __builtin_prefetch(reinterpret_cast<const uint8_t*>(c) + 2048);
            if (!(c->flags & memory::FLAG_MARK)) break;
            if (room && length >= room) break;
            last = c->total();
            length += last;
            p += last;
        }
        uint32_t moved = 0;
        if (room && length <= room) moved = length;
        else if (room && length > last && length - last <= room) moved = length - last;
        if (moved) {
            // out to the previous frame; the last buffer of a run that did not fit starts the next run
            SeriesFrame* t = sframe(prev);
            std::memcpy(arena::ptr(t->heap), arena::ptr(start), moved);
            fix_moved(t->heap, moved);
            t->heap += moved;
            if (!has_write) {
                has_write = true;
                write = start;
            }
            p = start + moved;
            room = target_room(prev);
        } else if (has_write) {
            std::memmove(arena::ptr(write), arena::ptr(start), length);
            fix_moved(write, length);
            write += length;
        } else {
            clear_marks(start, length);
            room = 0;
            prev = 0;
        }
    }
    if (has_write) f->heap = write;
}

void compact() {
    using memory::root;
    uint32_t prev = 0;
    for (uint32_t off = root.series_head; off;) {
        uint32_t next = sframe(off)->next;
        compact_frame(off, prev);
        SeriesFrame* f = sframe(off);
        if (f->heap == f->first() && off != root.series_tail) {
            memory::free_series_frame(f);
        } else {
            prev = off;
        }
        off = next;
    }
}

// Stress mode: every live buffer is copied into fresh frames and the old
// frames are released (quarantined), so no buffer keeps its address.
void compact_into_fresh_frames() {
    using memory::root;
    std::vector<uint32_t> old;
    for (uint32_t f = root.series_head; f; f = sframe(f)->next) old.push_back(f);
    root.series_head = root.series_current = root.series_tail = 0;
    SeriesFrame* to = memory::new_series_frame();
    for (uint32_t off : old) {
        SeriesFrame* f = sframe(off);
        for (uint32_t p = f->first(); p < f->heap;) {
            Buffer* b = buffer_at_off(p);
            uint32_t total = b->total();
            if (!(b->flags & memory::FLAG_MARK)) {
                defer_dead(b);
                p += total;
                continue;
            }
            if (!(uint64_t(to->heap) + total < to->tail)) {
                if (total >= root.next_frame_size) root.next_frame_size = root.big_threshold;
                to = memory::new_series_frame();
            }
            // the run of live buffers that fits where it goes, in one copy
            uint32_t start = p, length = total;
            p += total;
            while (p < f->heap) {
                Buffer* c = buffer_at_off(p);
                __builtin_prefetch(reinterpret_cast<const uint8_t*>(c) + 2048);
                if (!(c->flags & memory::FLAG_MARK) || !(uint64_t(to->heap) + length + c->total() < to->tail)) break;
                length += c->total();
                p += c->total();
            }
            std::memcpy(arena::ptr(to->heap), arena::ptr(start), length);
            fix_moved(to->heap, length);
            to->heap += length;
        }
    }
    for (uint32_t off : old) {
        SeriesFrame* f = sframe(off);
        f->next = f->prev = 0;
        memory::os_free(off);
    }
    root.series_current = arena::off(to);
}

void sweep_big_frames() {
    using memory::BigFrame;
    std::vector<uint32_t> frames;
    for (uint32_t f = memory::root.big_head; f; f = arena::ptr<BigFrame>(f)->next) frames.push_back(f);
    for (uint32_t off : frames) {
        auto* f = arena::ptr<BigFrame>(off);
        Buffer* b = f->buffer();
        bool live = (b->flags & memory::FLAG_IN_USE) && (b->flags & memory::FLAG_MARK);
        if (live && !gc::stress) {
            b->flags &= ~memory::FLAG_MARK;
            continue;
        }
        if (live) {
            // stress mode moves big buffers too, where the arena has room for the copy
            Buffer* nb = memory::try_new_big_frame(f->size);
            if (!nb) {
                b->flags &= ~memory::FLAG_MARK;
                continue;
            }
            f = arena::ptr<BigFrame>(off);
            std::memcpy(nb, f->buffer(), f->size);
            nb->flags &= ~memory::FLAG_MARK;
            memory::node_slot(nb->node) = arena::off(nb);
        } else {
            defer_dead(b);
        }
        memory::free_big_frame(f->buffer());
    }
}

void flush_deferred() {
    auto& d = deferred();
    std::sort(d.begin(), d.end());
    d.erase(std::unique(d.begin(), d.end()), d.end());
    for (uint32_t n : d) {
        uint32_t f = node_frame_of(n);
        if (!f) broken("a dead buffer's node is not a node", n);
        memory::free_node(f, n);
    }
    d.clear();
}

void clear_fixed_marks() {
    // Every fixed buffer: one left marked would never have its cells marked again.
    for (uint32_t i = 0; i < memory::root.fixed_count; i++)
        memory::buffer_at(memory::fixed_buffer(i))->flags &= ~memory::FLAG_MARK;
}

// After a cycle that moved nodes, map! tables are re-placed: keys such as
// blocks hash by their node.
void rehash_moved_maps() {
    auto maps = std::move(moved_maps());
    moved_maps().clear();
    for (uint32_t t : maps) {
        gc::RootedNode keep(t);
        // the same bucket count when its entries leave room under the bound,
        // else the next one (a resize to the same count would change nothing)
        hashtable::Table* r = hashtable::record(keep.node);
        uint32_t bound = uint32_t(double(r->buckets) * 0.77 + 0.5);
        hashtable::resize(keep.node, int32_t(r->used < bound ? r->buckets : r->buckets * 2));
    }
}

bool marked(uint32_t node) { return memory::buffer_of(node)->flags & memory::FLAG_MARK; }

// The ownership table keeps neither its keys nor their owners alive: its own
// buffers are marked, the records whose key or owner died go, and only then
// are the survivors' cells followed (which rewrites their moved nodes).
void sweep_ownership(Marker& marker) {
    if (!ownership::table) return;
    marker.node(&ownership::table, Follow::SERIES);
    hashtable::Table* r = hashtable::record(ownership::table);
    marker.node(&r->states, Follow::SERIES);
    marker.node(&r->slots, Follow::SERIES);
    marker.node(&r->data, Follow::SERIES);
    hashtable::sweep_keys(ownership::table, &marked);
    trace_table(marker, ownership::table);
    marker.drain();
}

struct CycleFlags {
    bool saved_quarantine;
    CycleFlags() : saved_quarantine(memory::quarantine) {
        gc::collecting = true;
        memory::quarantine = gc::stress;
    }
    ~CycleFlags() {
        gc::collecting = false;
        memory::quarantine = saved_quarantine;
        relocating = false;
        relocation().clear();
        deferred().clear();
    }
};

}  // namespace

// ---- the cycle -----------------------------------------------------------------------------

void init() {
    memory::cycles = 0;
    nodes_cycle_count = 0;
    moved_at = 0;
}

void collect() {
    if (gc::collecting) return;
    bool moved = false;
    // The cycle may take frames (evacuated nodes, stress mode's fresh frames)
    // when the arena is all but full: the kept room is its to use.
    arena::room_open = true;
    // A cycle cut short (a system block refused while stress mode takes fresh
    // frames) would leave marks set and nodes half moved: the heap could not
    // be trusted again, so that ends the process.
    try {
        CycleFlags flags;
        if (gc::node_compaction) {
            if (gc::stress) evacuate_all();
            else plan_node_compaction();
        }
        moved = relocating;
        build_node_index();
        {
            Marker marker;
            trace_roots(marker);
            sweep_ownership(marker);
        }
        ext_res::sweep();
        if (gc::stress) compact_into_fresh_frames();
        else compact();
        sweep_big_frames();
        flush_deferred();
        memory::sweep_node_frames();
        clear_fixed_marks();
        memory::cycles++;
        if (moved) moved_at = memory::cycles;
    } catch (const Thrown&) {
        rt_error::fatal(94, KRO_CAPTURE_SITE());
    }
    arena::room_open = false;
    memory::relocations++;  // buffers moved, nodes freed: nothing kept from before (or during) the cycle holds
    gc::wanted = false;
    memory::collected(uint64_t(memory::stats(nullptr, 1)));
    if (moved) rehash_moved_maps();
    if (gc::stress) {
        // the full heap walk costs as much as the collection itself: every
        // fourth cycle still catches a broken heap within a few safe points
        if (memory::cycles % 4 == 0) verify_heap();
        memory::age_quarantine();
    }
}

void cycle_if_active() {
    if (gc::active) collect();
}

bool in_cycle() { return gc::collecting; }

double recycle() {
    collect();
    return memory::stats(nullptr, 1);
}

void switch_on(bool on) { gc::active = on; }

uint32_t cycles() { return memory::cycles; }
uint32_t nodes_cycles() { return nodes_cycle_count; }
uint32_t nodes_moved_at() { return moved_at; }

// ---- primitives for mark callbacks ------------------------------------------------------------

bool mark_node(uint32_t* holder) { return active_tracer && active_tracer->node(holder, Follow::SERIES); }

void mark_block(uint32_t* holder) {
    if (active_tracer) active_tracer->node(holder, Follow::BLOCK);
}

void mark_context_node(uint32_t* holder) {
    if (active_tracer) active_tracer->node(holder, Follow::CONTEXT);
}

void mark_table(uint32_t* holder) {
    if (active_tracer) active_tracer->node(holder, Follow::TABLE);
}

void mark_cells(Cell* first, Cell* end) {
    if (!active_tracer) return;
    for (Cell* c = first; c < end; c++) active_tracer->cell(c);
}

void mark_value(Cell* c) {
    if (active_tracer) active_tracer->cell(c);
}

void unmark_node(uint32_t node) {
    if (node) memory::buffer_of(node)->flags &= ~memory::FLAG_MARK;
}

void remap_nodes(uint32_t* first, uint32_t* end) {
    if (!relocating) return;
    for (uint32_t* p = first; p < end; p++)
        if (uint32_t to = relocation().find(*p)) *p = to;
}

void defer_free_node(uint32_t node) {
    if (node) deferred().push_back(node);
}

}  // namespace kro::collector
