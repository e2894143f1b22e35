// The collected heap's allocator: node frames (fixed 32-bit slots that stay
// put), series frames (bump-allocated, movable buffers) and big frames (one
// large buffer each), all inside the arena.
//
// A value stores a node; the node stores its buffer's offset; the buffer stores
// its node. Buffers therefore move and grow by rewriting one node.
//
// Allocation never collects: when it runs out of room it takes a new frame and
// asks for a collection at the next safe point (gc::wanted).
#pragma once
#include <cstdint>
#include <cstring>

#include "foundation/arena.hpp"
#include "foundation/cell.hpp"

namespace kro::memory {

// Buffer header flags.
constexpr uint32_t UNIT_MASK = 0x1F;
constexpr uint32_t FLAG_IN_USE = 0x80000000;
constexpr uint32_t FLAG_ALLOCATED = 0x20000000;
constexpr uint32_t FLAG_MIDDLE = 0x10000000;
constexpr uint32_t FLAG_MARK = 0x08000000;
constexpr uint32_t FLAG_BIG = 0x01000000;
constexpr uint32_t FLAG_FIXED = 0x00100000;
constexpr uint32_t FLAG_COMPLEMENT = 0x00080000;
// A block of the library's own code (made by the boot program): not traced.
constexpr uint32_t FLAG_LIBRARY = 0x00040000;

constexpr uint32_t NODES_PER_FRAME = 10000;
constexpr uint32_t DEFAULT_FRAME_SIZE = 0x100000;  // 1 MB
constexpr uint32_t BIG_THRESHOLD = 0x200000;       // 2 MB
constexpr uint32_t MIN_FRAME_ROOM = 0xCCCC;
constexpr uint32_t BUFFER_HEADER = 20;
constexpr uint32_t BUFFER_SPARE = 4;
// new_series_copy's quick way takes copies of 1 to this many bytes.
constexpr uint64_t QUICK_COPY_BYTES = 0x10000;

// Series buffer: a 20-byte header, the data area (size bytes), 4 spare bytes.
// `offset` and `tail` are byte distances from the start of the data area, so a
// buffer that moves keeps them unchanged.
struct Buffer {
    uint32_t flags;
    uint32_t node;    // the node pointing here; 0 once replaced
    uint32_t size;    // data area in bytes, a multiple of 16
    uint32_t offset;  // first used unit
    uint32_t tail;    // just past the last used unit

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this) + BUFFER_HEADER; }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this) + BUFFER_HEADER; }
    int unit() const { return int(flags & UNIT_MASK); }
    uint8_t* head_ptr() { return data() + offset; }
    uint8_t* tail_ptr() { return data() + tail; }
    uint8_t* end_ptr() { return data() + size; }
    uint32_t used_bytes() const { return tail - offset; }
    uint32_t free_bytes() const { return size - tail; }  // room after the tail
    Cell* cells() { return reinterpret_cast<Cell*>(head_ptr()); }
    Cell* cell_tail() { return reinterpret_cast<Cell*>(tail_ptr()); }
    uint32_t total() const { return BUFFER_HEADER + size + BUFFER_SPARE; }
};
static_assert(sizeof(Buffer) == BUFFER_HEADER);

struct NodeFrame {
    uint32_t next, prev, count, free, used, stamp, last_used, history, evacuated;
    uint32_t* slots() { return reinterpret_cast<uint32_t*>(this + 1); }
};
static_assert(sizeof(NodeFrame) == 36);

struct SeriesFrame {
    uint32_t next, prev, size, heap, tail;  // heap and tail are arena offsets
    uint32_t first() const { return arena::off(this) + sizeof(SeriesFrame); }
};
static_assert(sizeof(SeriesFrame) == 20);

struct BigFrame {
    uint32_t next, prev, size;
    Buffer* buffer() { return reinterpret_cast<Buffer*>(this + 1); }
};
static_assert(sizeof(BigFrame) == 12);

struct Root {
    uint64_t total;  // bytes taken from the system
    uint32_t node_head, node_tail, node_current;
    uint32_t series_head, series_current, series_tail;
    uint32_t default_frame_size, next_frame_size, big_threshold;
    uint32_t big_head;
    uint32_t fixed_count;  // fixed series made so far
};
extern Root root;

// Node and buffer access.
inline uint32_t& node_slot(uint32_t node) { return *arena::ptr<uint32_t>(node); }
inline Buffer* buffer_at(uint32_t off) { return arena::ptr<Buffer>(off); }
inline Buffer* buffer_of(uint32_t node) { return buffer_at(node_slot(node)); }
inline int unit_of(uint32_t node) { return buffer_of(node)->unit(); }

void init();

// System blocks: round-up(n + 4, 4096) bytes, the first word keeping that size.
// Zero-filled unless clear is false (the caller writes what it reads).
uint32_t os_alloc(uint32_t size, bool clear = true);
// The same, answering 0 when the arena has no room instead of raising.
uint32_t os_try_alloc(uint32_t size);
void os_free(uint32_t block);

uint32_t alloc_node();
void free_node(uint32_t frame, uint32_t node);

// start: byte offset of the first unit in the data area, or -1 for its middle
// (rounded down to a whole unit; flags get FLAG_MIDDLE).
Buffer* alloc_buffer(uint32_t units, uint32_t unit, int32_t start);

uint32_t new_series(uint32_t units, uint32_t unit, int32_t start);
// Told by the collector after each cycle, with the bytes of the heap that
// lived through it: sets how much new frames may hold before the next.
void collected(uint64_t live);
// Copies n bytes; the short copies a kept word or field makes are done in
// place rather than through a library call.
inline void copy_bytes(uint8_t* to, const uint8_t* from, uint32_t n) {
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        uint64_t a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else if (n) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// new_series_copy when its quick way does not apply: the size is zero or
// large, the current series frame has no room, or the current node frame
// no free node.
uint32_t new_series_copy_elsewhere(const uint8_t* src, uint32_t units, uint32_t unit, uint32_t flags);

// A new series holding a copy of `units` units of `unit` bytes from src (room
// for one unit at least), head at the data start, its other flags taken from
// `flags` but for the unit and the allocation's own bits (FLAG_BIG,
// FLAG_FIXED, FLAG_MIDDLE, FLAG_MARK): one buffer, one node, one copy. src
// may lie in a series buffer, since allocation moves none.
[[gnu::always_inline]] inline uint32_t new_series_copy(const uint8_t* src, uint32_t units, uint32_t unit, uint32_t flags) {
    // Copies of short parts (kept words, fields, lines) are the common case:
    // with room in the current series frame and a free node in the current
    // node frame nothing can fail, so buffer and node are taken together and
    // each header field is written once.
    uint64_t bytes = uint64_t(units) * unit;
    if (bytes - 1 < QUICK_COPY_BYTES && root.series_current && root.node_current) {
        uint32_t size = (uint32_t(bytes) + 15) & ~15u;
        uint32_t total = size + BUFFER_HEADER + BUFFER_SPARE;
        auto* f = arena::ptr<SeriesFrame>(root.series_current);
        auto* nf = arena::ptr<NodeFrame>(root.node_current);
        if (uint64_t(f->heap) + total < f->tail && nf->free) {
            uint32_t buf = f->heap;
            f->heap = buf + total;
            uint32_t node = nf->free;
            nf->free = node_slot(node);
            nf->used++;
            node_slot(node) = buf;
            Buffer* b = buffer_at(buf);
            b->flags = FLAG_IN_USE | unit | (flags & ~(UNIT_MASK | FLAG_BIG | FLAG_FIXED | FLAG_MIDDLE | FLAG_MARK));
            b->node = node;
            b->size = size;
            b->offset = 0;
            b->tail = uint32_t(bytes);
            copy_bytes(b->data(), src, uint32_t(bytes));
            return node;
        }
    }
    return new_series_copy_elsewhere(src, units, unit, flags);
}
uint32_t new_fixed_series(uint32_t units, uint32_t unit, int32_t start);
uint32_t new_cells(uint32_t count);
uint32_t new_unset_cells(uint32_t count);
uint32_t new_bytes(uint32_t count);
uint32_t new_series_of_unit(uint32_t count, uint32_t unit);
uint32_t new_filled_bytes(uint32_t count, uint8_t byte);

void set_flags(Buffer* b, uint32_t bits);

// Replaces the buffer with a bigger one (0: twice the old size, at least 16
// bytes; a size that is not a whole number of units is rounded up; a smaller
// size keeps the old one); the content is not copied. Answers the new buffer.
Buffer* expand_series(Buffer* b, uint32_t new_size);
// As expand, then copies the old data area from its offset.
Buffer* grow_series(Buffer* b, uint32_t new_size);
Buffer* grow_series_filled(Buffer* b, uint32_t new_size, uint8_t byte);
uint32_t copy_series(Buffer* b);

void fill_range(uint8_t* start, uint8_t* end, uint8_t byte);

// Frame management, used by the allocator and the collector.
uint32_t new_node_frame(uint32_t count);
SeriesFrame* new_series_frame();
Buffer* new_big_frame(uint32_t total);
// The same, answering nullptr when the arena has no room (the collector copies
// a big buffer only where there is room for the copy).
Buffer* try_new_big_frame(uint32_t total);
void free_big_frame(Buffer* b);
void free_series_frame(SeriesFrame* f);
void free_node_frame(NodeFrame* f);
SeriesFrame* find_series_frame(uint32_t total);
void sweep_node_frames();
void sweep_big_frames();
void release_all();

// The fixed series made so far, so that the collector can clear their marks.
uint32_t fixed_buffer(uint32_t i);

// The collector's cycle count, stamped on new node frames.
extern uint32_t cycles;

// Changes whenever a buffer may have moved or a node may have been freed (a
// series grown into a new buffer, a node freed, a collection, a new heap):
// a buffer pointer kept with the count it was taken at holds while it is the
// same (64 bits: the count never comes round again).
extern uint64_t relocations;

// While set (the collector's cycles in stress mode), released system blocks
// go back to the system only after QUARANTINE_CYCLES more collections, so
// that no new frame reuses the address meanwhile, and are either filled with
// POISON (a stale read finds cells of no type and offsets far outside the
// committed arena, a stale write is found when the quarantine ends) or, in
// one cycle of every `protect_every` (0: never), lose all access so that a
// stale reference faults at once. Changing page protection costs far more
// than filling pages on some virtual machines, hence the mix.
extern bool quarantine;
constexpr uint32_t QUARANTINE_CYCLES = 2;
constexpr uint8_t POISON = 0xDB;
extern uint32_t protect_every;
// Once per collection: returns the blocks whose quarantine is over; a
// poisoned block found written ends the process (runtime error 98).
void age_quarantine();
uint32_t quarantined_blocks();

}  // namespace kro::memory
