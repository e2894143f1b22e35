#include "foundation/memory.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/platform/os.hpp"

namespace kro::memory {

Root root;
uint32_t cycles = 0;
bool quarantine = false;
uint32_t protect_every = 8;

namespace {

struct Quarantined {
    uint32_t start, size, age;
    bool poisoned;
};

std::vector<Quarantined>& quarantine_list() {
    static auto* v = new std::vector<Quarantined>();
    return *v;
}

void free_pages_or_fire(uint32_t start, uint32_t size) {
    uint32_t caught = frame::catch_region(code::PAGE_LEVEL, [&] { platform::free_pages(start, size); });
    if (caught) {
        runtime_context.thrown_code = 0;
        fire("internal", "wrong-mem");
    }
}

std::vector<uint32_t>& fixed_list() {
    static auto* v = new std::vector<uint32_t>();
    return *v;
}

inline uint32_t round16(uint64_t n) { return uint32_t((n + 15) & ~uint64_t(15)); }

NodeFrame* node_frame(uint32_t off) { return arena::ptr<NodeFrame>(off); }
SeriesFrame* series_frame(uint32_t off) { return off ? arena::ptr<SeriesFrame>(off) : nullptr; }

bool raising_no_memory = false;

// The error is raised with the arena's kept room open: making it and its
// stack may need a new frame, and a refusal there would raise again without
// end. The next safe point collects, which closes the room. A refusal while
// the error is being made means even the room is gone (or the system refuses
// pages): the error made at start is raised instead, which allocates nothing.
[[noreturn]] void raise_no_memory() {
    if (raising_no_memory) fire_spare_no_memory();
    struct Raising {
        Raising() { raising_no_memory = true; }
        ~Raising() { raising_no_memory = false; }
    } raising;
    arena::room_open = true;
    gc::wanted = true;
    fire("internal", "no-memory");
}

// A page request that the system refuses becomes the language's no-memory error.
uint32_t pages_or_fire(uint32_t size, bool clear) {
    uint32_t block = 0;
    uint32_t caught = frame::catch_region(code::PAGE_LEVEL, [&] { block = platform::alloc_pages(size, clear); });
    if (caught) {
        runtime_context.thrown_code = 0;
        if (caught == code::PAGE_FREE_FAILED) fire("internal", "wrong-mem");
        raise_no_memory();
    }
    return block;
}

void init_buffer(Buffer* b, uint32_t size, uint32_t unit, int32_t start, uint32_t extra_flags) {
    b->flags = unit | FLAG_IN_USE | extra_flags;
    b->node = 0;
    b->size = size;
    uint32_t first;
    if (start == -1) {
        // The middle, rounded down to a whole unit so that the room before the
        // head is always a whole number of units.
        first = size / 2;
        if (unit > 1) first -= first % unit;
        b->flags |= FLAG_ALLOCATED | FLAG_MIDDLE;
    } else {
        first = uint32_t(start) <= size ? uint32_t(start) : size;
        b->flags |= FLAG_ALLOCATED;
    }
    b->offset = b->tail = first;
}

}  // namespace

uint64_t relocations = 0;

void init() {
    arena::init();
    relocations++;
    root = Root{};
    root.default_frame_size = DEFAULT_FRAME_SIZE;
    root.next_frame_size = DEFAULT_FRAME_SIZE;
    root.big_threshold = BIG_THRESHOLD;
}

uint32_t os_alloc(uint32_t size, bool clear) {
    uint64_t rounded = (uint64_t(size) + 4 + arena::PAGE - 1) & ~uint64_t(arena::PAGE - 1);
    if (rounded > 0xFFFFF000u) fire("internal", "no-memory");
    uint32_t block = pages_or_fire(uint32_t(rounded), clear);
    *arena::ptr<uint32_t>(block) = uint32_t(rounded);
    root.total += rounded;
    return block + 4;
}

uint32_t os_try_alloc(uint32_t size) {
    uint64_t rounded = (uint64_t(size) + 4 + arena::PAGE - 1) & ~uint64_t(arena::PAGE - 1);
    if (rounded > 0xFFFFF000u) return 0;
    uint32_t block = arena::commit(uint32_t(rounded));
    if (!block) return 0;
    *arena::ptr<uint32_t>(block) = uint32_t(rounded);
    root.total += rounded;
    return block + 4;
}

void os_free(uint32_t block) {
    uint32_t start = block - 4;
    uint32_t rounded = *arena::ptr<uint32_t>(start);
    root.total -= rounded;
    if (quarantine) {
        bool protect = protect_every && cycles % protect_every == 0;
        if (protect) arena::protect(start, rounded);
        else std::memset(arena::ptr(start), POISON, rounded);
        quarantine_list().push_back(Quarantined{start, rounded, 0, !protect});
        return;
    }
    free_pages_or_fire(start, rounded);
}

namespace {
// The first byte of a poisoned block that is not poison, or 0.
uint32_t written_poison(uint32_t start, uint32_t size) {
    const uint64_t* p = arena::ptr<uint64_t>(start);
    constexpr uint64_t word = 0x0101010101010101ull * POISON;
    for (uint32_t i = 0; i < size / 8; i++)
        if (p[i] != word) {
            const uint8_t* b = reinterpret_cast<const uint8_t*>(p + i);
            uint32_t k = 0;
            while (b[k] == POISON) k++;
            return start + i * 8 + k;
        }
    return 0;
}
}  // namespace

void age_quarantine() {
    auto& q = quarantine_list();
    size_t kept = 0;
    for (size_t i = 0; i < q.size(); i++) {
        if (++q[i].age <= QUARANTINE_CYCLES) {
            q[kept++] = q[i];
            continue;
        }
        if (q[i].poisoned) {
            if (uint32_t at = written_poison(q[i].start, q[i].size)) {
                std::fprintf(stderr, "*** collector: a freed frame was written after its buffers moved (%08x)\n", at);
                std::fflush(stderr);
                rt_error::fatal(98, KRO_CAPTURE_SITE());
            }
        }
        free_pages_or_fire(q[i].start, q[i].size);
    }
    q.resize(kept);
}

uint32_t quarantined_blocks() { return uint32_t(quarantine_list().size()); }

// ---- nodes -------------------------------------------------------------------

uint32_t new_node_frame(uint32_t count) {
    uint32_t off = os_alloc(count * 4 + sizeof(NodeFrame), false);  // every slot is written below
    NodeFrame* f = node_frame(off);
    *f = NodeFrame{0, 0, count, 0, 0, cycles, 0, 0, 0};
    uint32_t* s = f->slots();
    uint32_t first = arena::off(s);
    // each slot links to the next, written four at a time
    if (count) {
        typedef uint32_t Links __attribute__((vector_size(16), aligned(4)));
        const uint32_t last = count - 1;
        uint32_t i = 0;
        Links link = {first + 4, first + 8, first + 12, first + 16};
        const Links step = {16, 16, 16, 16};
        for (; i + 4 <= last; i += 4, link += step) *reinterpret_cast<Links*>(s + i) = link;
        for (; i < last; i++) s[i] = first + 4 + 4 * i;
        s[last] = 0;
    }
    f->free = count ? first : 0;
    if (!root.node_tail) {
        root.node_head = root.node_tail = root.node_current = off;
    } else {
        node_frame(root.node_tail)->next = off;
        f->prev = root.node_tail;
        root.node_tail = off;
    }
    return off;
}

namespace {

// Whether a node was freed since a sweep last chose the current frame (the
// first with room): while none was, the frames before the current one are
// full, so the search for the next need not read them again.
bool freed_since_sweep = true;

// The frame alloc_node takes from when the current one is full.
[[gnu::noinline]] NodeFrame* next_node_frame() {
    NodeFrame* f = nullptr;
    uint32_t from = root.node_head;
    if (!freed_since_sweep && root.node_current) from = node_frame(root.node_current)->next;
    for (uint32_t off = from; off; off = node_frame(off)->next) {
        NodeFrame* c = node_frame(off);
        if (c->free && !c->evacuated) {
            f = c;
            break;
        }
    }
    // After a sweep there may be no current frame at all: make one.
    if (!f) f = node_frame(new_node_frame(NODES_PER_FRAME));
    root.node_current = arena::off(f);
    return f;
}

inline uint32_t take_node() {
    NodeFrame* f = root.node_current ? node_frame(root.node_current) : nullptr;
    if (!f || !f->free) f = next_node_frame();
    uint32_t node = f->free;
    f->free = node_slot(node);
    node_slot(node) = 0;
    f->used++;
    return node;
}

}  // namespace

uint32_t alloc_node() { return take_node(); }

void free_node(uint32_t frame, uint32_t node) {
    relocations++;
    freed_since_sweep = true;
    NodeFrame* f = node_frame(frame);
    node_slot(node) = f->free;
    f->free = node;
    f->used--;
}

void sweep_node_frames() {
    bool current_chosen = false;
    uint32_t off = root.node_head;
    while (off) {
        NodeFrame* f = node_frame(off);
        uint32_t next = f->next;
        if (f->used == 0 || f->evacuated) {
            free_node_frame(f);
        } else {
            if (!current_chosen && f->used < f->count) {
                root.node_current = off;
                current_chosen = true;
            }
            f->history = (f->history << 1) | (f->used == f->last_used ? 1u : 0u);
            f->last_used = f->used;
        }
        off = next;
    }
    if (!current_chosen) root.node_current = root.node_tail;
    freed_since_sweep = false;
}

void free_node_frame(NodeFrame* f) {
    uint32_t off = arena::off(f);
    if (f->prev) node_frame(f->prev)->next = f->next; else root.node_head = f->next;
    if (f->next) node_frame(f->next)->prev = f->prev; else root.node_tail = f->prev;
    if (root.node_current == off) root.node_current = root.node_tail;
    os_free(off);
}

// ---- series frames -----------------------------------------------------------

namespace {

// A series frame's pages are made present a run at a time ahead of the bump
// allocation, rather than faulted one by one as buffers reach them (at start
// the library's values fill two frames: hundreds of faults).
constexpr uint32_t POPULATE_RUN = 256 * 1024;
uint32_t populated_frame = 0, populated_end = 0;

inline uint32_t page_up(uint32_t off) { return (off + arena::PAGE - 1) & ~(arena::PAGE - 1); }

void populate_ahead(SeriesFrame* f, uint32_t buffer) {
    uint32_t frame = arena::off(f);
    if (frame == populated_frame && f->heap <= populated_end) return;
    uint32_t from = frame == populated_frame ? populated_end : buffer & ~(arena::PAGE - 1);
    uint32_t to = std::min(page_up(f->heap) + POPULATE_RUN, page_up(f->tail));
    if (to > from) arena::populate(from, to - from);
    populated_frame = frame;
    populated_end = to;
}

}  // namespace

SeriesFrame* new_series_frame() {
    uint32_t s = root.next_frame_size;
    if (s < root.big_threshold) root.next_frame_size = 2 * s;
    // buffers are laid in by their makers; the room past them holds whatever
    // it held, as after any compaction
    uint32_t off = os_alloc(s + sizeof(SeriesFrame), false);
    SeriesFrame* f = series_frame(off);
    f->size = s + sizeof(SeriesFrame);
    f->heap = off + sizeof(SeriesFrame);
    f->tail = f->heap + s;
    f->next = f->prev = 0;
    // Keep the list in ascending address order so that lookups can bisect it.
    if (!root.series_head) {
        root.series_head = root.series_current = root.series_tail = off;
    } else if (off < root.series_head) {
        f->next = root.series_head;
        series_frame(root.series_head)->prev = off;
        root.series_head = off;
    } else {
        uint32_t at = root.series_head;
        while (at && at < off) at = series_frame(at)->next;
        if (!at) {
            series_frame(root.series_tail)->next = off;
            f->prev = root.series_tail;
            root.series_tail = off;
        } else {
            SeriesFrame* after = series_frame(at);
            f->next = at;
            f->prev = after->prev;
            series_frame(after->prev)->next = off;
            after->prev = off;
        }
    }
    return f;
}

void free_series_frame(SeriesFrame* f) {
    uint32_t off = arena::off(f);
    if (f->prev) series_frame(f->prev)->next = f->next; else root.series_head = f->next;
    if (f->next) series_frame(f->next)->prev = f->prev; else root.series_tail = f->prev;
    if (root.series_current == off) root.series_current = root.series_head;
    if (populated_frame == off) populated_frame = 0;  // its pages go back to the system
    os_free(off);
}

SeriesFrame* find_series_frame(uint32_t total) {
    for (uint32_t off = root.series_head; off; off = series_frame(off)->next) {
        SeriesFrame* f = series_frame(off);
        if (uint64_t(f->heap) + total < f->tail) return f;
    }
    return nullptr;
}

// ---- big frames --------------------------------------------------------------

namespace {

Buffer* link_big_frame(uint32_t off, uint32_t total) {
    auto* f = arena::ptr<BigFrame>(off);
    f->prev = 0;
    f->next = 0;
    f->size = total;
    if (!root.big_head) {
        root.big_head = off;
    } else {
        uint32_t last = root.big_head;
        while (arena::ptr<BigFrame>(last)->next) last = arena::ptr<BigFrame>(last)->next;
        arena::ptr<BigFrame>(last)->next = off;
        f->prev = last;
    }
    return f->buffer();
}

}  // namespace

Buffer* new_big_frame(uint32_t total) { return link_big_frame(os_alloc(total + sizeof(BigFrame)), total); }

Buffer* try_new_big_frame(uint32_t total) {
    uint32_t off = os_try_alloc(total + sizeof(BigFrame));
    return off ? link_big_frame(off, total) : nullptr;
}

void free_big_frame(Buffer* b) {
    auto* f = reinterpret_cast<BigFrame*>(b) - 1;
    uint32_t off = arena::off(f);
    if (f->prev) arena::ptr<BigFrame>(f->prev)->next = f->next; else root.big_head = f->next;
    if (f->next) arena::ptr<BigFrame>(f->next)->prev = f->prev;
    os_free(off);
}

void sweep_big_frames() {
    uint32_t off = root.big_head;
    while (off) {
        auto* f = arena::ptr<BigFrame>(off);
        uint32_t next = f->next;
        if (!(f->buffer()->flags & FLAG_IN_USE)) free_big_frame(f->buffer());
        off = next;
    }
}

// ---- buffers -----------------------------------------------------------------

namespace {

// Collections are paced by growth: a new frame asks for one only once the
// frames taken since the last collection hold as much as the heap that lived
// through it (at least PACE_FLOOR), so that building a large heap does not
// mark all of it again at every frame.
constexpr uint64_t PACE_FLOOR = 8u << 20;
uint64_t grown_since = 0;
uint64_t pace = PACE_FLOOR;

inline void frame_taken(uint64_t bytes) {
    grown_since += bytes;
    if (grown_since >= pace) gc::wanted = true;
}

}  // namespace

void collected(uint64_t live) {
    grown_since = 0;
    // where the arena runs short, collections come sooner: what is left of it
    // must outlast the growth allowed before the next one
    uint64_t left = arena::commit_limit() - std::min<uint64_t>(arena::committed_bytes(), arena::commit_limit());
    pace = std::max<uint64_t>(PACE_FLOOR, std::min<uint64_t>(live, left / 4));
}

Buffer* alloc_buffer(uint32_t units, uint32_t unit, int32_t start) {
    uint64_t bytes = uint64_t(units) * unit;
    if (bytes > 0xF0000000u) fire("internal", "no-memory");
    uint32_t size = round16(bytes);
    uint32_t total = size + BUFFER_HEADER + BUFFER_SPARE;
    Buffer* b;
    if (total >= root.big_threshold) {
        frame_taken(total);
        b = new_big_frame(total);
        init_buffer(b, size, unit, start, FLAG_BIG);
        return b;
    }
    SeriesFrame* f = series_frame(root.series_current);
    if (!f || !(uint64_t(f->heap) + total < f->tail)) {
        f = find_series_frame(total);
        if (!f) {
            if (total >= root.next_frame_size) root.next_frame_size = root.big_threshold;
            f = new_series_frame();
            frame_taken(f->size);
        }
        root.series_current = arena::off(f);
    }
    b = buffer_at(f->heap);
    f->heap += total;
    populate_ahead(f, arena::off(b));
    init_buffer(b, size, unit, start, 0);
    return b;
}

uint32_t new_series(uint32_t units, uint32_t unit, int32_t start) {
    Buffer* b = alloc_buffer(units, unit, start);
    uint32_t buf = arena::off(b);
    uint32_t node = take_node();
    node_slot(node) = buf;
    buffer_at(buf)->node = node;
    return node;
}

uint32_t new_series_copy_elsewhere(const uint8_t* src, uint32_t units, uint32_t unit, uint32_t flags) {
    uint64_t bytes = uint64_t(units) * unit;
    Buffer* b = alloc_buffer(units ? units : 1, unit, 0);  // raises no-memory past the limit
    b->flags = (b->flags & FLAG_BIG) | FLAG_IN_USE | unit |
               (flags & ~(UNIT_MASK | FLAG_BIG | FLAG_FIXED | FLAG_MIDDLE | FLAG_MARK));
    // no node yet: should taking one fail, the collector must not free what
    // an earlier buffer left in these bytes
    b->node = 0;
    b->tail = uint32_t(bytes);
    copy_bytes(b->data(), src, uint32_t(bytes));
    uint32_t node = take_node();
    node_slot(node) = arena::off(b);
    b->node = node;
    return node;
}

uint32_t new_fixed_series(uint32_t units, uint32_t unit, int32_t start) {
    uint64_t bytes = uint64_t(units) * unit;
    if (bytes > 0xF0000000u) fire("internal", "no-memory");
    uint32_t size = round16(bytes);
    uint32_t off = os_alloc(BUFFER_HEADER + size + BUFFER_SPARE);
    Buffer* b = buffer_at(off);
    init_buffer(b, size, unit, start, FLAG_FIXED);
    uint32_t node = alloc_node();
    node_slot(node) = off;
    b->node = node;
    fixed_list().push_back(off);
    root.fixed_count = uint32_t(fixed_list().size());
    return node;
}

uint32_t fixed_buffer(uint32_t i) { return fixed_list()[i]; }

uint32_t new_cells(uint32_t count) { return new_series(count, 16, 0); }

uint32_t new_unset_cells(uint32_t count) {
    uint32_t node = new_series(count, 16, 0);
    Buffer* b = buffer_of(node);
    auto* c = reinterpret_cast<Cell*>(b->data());
    for (uint32_t i = 0; i < b->size / 16; i++) c[i] = Cell{uint32_t(TYPE_UNSET), 0, 0, 0};
    return node;
}

uint32_t new_bytes(uint32_t count) { return new_series(count ? count : 16, 1, 0); }

uint32_t new_series_of_unit(uint32_t count, uint32_t unit) {
    if (!count) count = unit && unit <= 16 ? 16 / unit : 1;
    return new_series(count, unit, 0);
}

uint32_t new_filled_bytes(uint32_t count, uint8_t byte) {
    uint32_t node = new_bytes(count);
    Buffer* b = buffer_of(node);
    fill_range(b->head_ptr(), b->end_ptr(), byte);
    return node;
}

void set_flags(Buffer* b, uint32_t bits) { b->flags |= bits; }

Buffer* expand_series(Buffer* old, uint32_t new_size) {
    // A request below the current size would cut off the used units: keep the size.
    if (new_size && new_size < old->size) new_size = old->size;
    if (new_size == 0) {
        uint64_t twice = uint64_t(old->size) * 2;
        if (twice > 0xF0000000u) fire("internal", "no-memory");
        new_size = twice ? uint32_t(twice) : 16;  // an empty buffer still grows
    }
    uint32_t buf = arena::off(old);
    uint32_t unit = uint32_t(old->unit());
    if (unit == 0) unit = 1;
    // Round up: a size that is not a whole number of units must not lose room.
    Buffer* b = alloc_buffer(uint32_t((uint64_t(new_size) + unit - 1) / unit), unit, 0);
    old = buffer_at(buf);  // the arena does not move, but keep the re-derivation explicit
    uint32_t node = old->node;
    if (node) node_slot(node) = arena::off(b);
    relocations++;
    b->flags = (old->flags & ~FLAG_BIG & ~FLAG_MIDDLE & ~FLAG_FIXED) | (b->flags & FLAG_BIG);
    b->node = node;
    b->tail = b->offset + (old->tail - old->offset);
    old->node = 0;
    old->flags &= ~FLAG_IN_USE;
    return b;
}

Buffer* grow_series(Buffer* old, uint32_t new_size) {
    uint32_t buf = arena::off(old);
    Buffer* b = expand_series(old, new_size);
    old = buffer_at(buf);
    uint32_t n = old->size - old->offset;
    if (n > b->size - b->offset) n = b->size - b->offset;
    std::memcpy(b->head_ptr(), old->head_ptr(), n);
    return b;
}

Buffer* grow_series_filled(Buffer* old, uint32_t new_size, uint8_t byte) {
    // Fill from the end of what was carried over, so that no byte of the new
    // area is left as junk when the old head was not at the data start.
    uint32_t kept = old->size - old->offset;
    Buffer* b = grow_series(old, new_size);
    if (kept < b->size - b->offset) fill_range(b->head_ptr() + kept, b->end_ptr(), byte);
    return b;
}

uint32_t copy_series(Buffer* old) {
    uint32_t buf = arena::off(old);
    uint32_t node = new_series(old->size, 1, 0);
    old = buffer_at(buf);
    Buffer* b = buffer_of(node);
    uint32_t big = b->flags & FLAG_BIG;
    b->flags = (old->flags & ~(FLAG_BIG | FLAG_FIXED | FLAG_MIDDLE | FLAG_MARK)) | FLAG_IN_USE | big;
    b->offset = 0;
    b->tail = old->tail - old->offset;
    std::memcpy(b->data(), old->head_ptr(), old->size - old->offset);
    return node;
}

void fill_range(uint8_t* start, uint8_t* end, uint8_t byte) {
    if (end > start) std::memset(start, byte, size_t(end - start));
}

void release_all() {
    relocations++;
    while (root.node_head) free_node_frame(node_frame(root.node_head));
    while (root.series_head) free_series_frame(series_frame(root.series_head));
    while (root.big_head) free_big_frame(arena::ptr<BigFrame>(root.big_head)->buffer());
    root.series_current = root.node_current = 0;
}

}  // namespace kro::memory
