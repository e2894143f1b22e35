// Resources that the collected heap cannot free by itself (platform bitmaps,
// system handles) and the value-slot table.
//
// The external-resource registry ties each resource to a release kind. The
// collector marks the records of live owners and then sweeps: every record left
// unmarked has its resource released exactly once and goes back to the free
// list. Records are addressed by a 0-based index that stays valid while the
// table grows; a handle! keeps such an index.
//
// The value-slot table is a block of cells with a free list, kept as a root:
// a value stored there survives collections until its slot is released.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::ext_res {

// Called with the value stored in a record when the record's resource must go.
// It runs inside a collection and must not raise an error.
using Release = void (*)(uintptr_t value);
using Visit = void (*)(uintptr_t value, void* context);

constexpr int MAX_KINDS = 20;
constexpr int32_t FIRST_CAPACITY = 1000;

// Record header: the kind in the low byte and the state bits.
constexpr uint32_t KIND_MASK = 0xFF;
constexpr uint32_t MARKED = 0x80000000;
constexpr uint32_t FREE = 0x40000000;
constexpr uint32_t DYING = 0x20000000;  // unlinked by a sweep, release pending

class Registry {
public:
    Registry() = default;
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Makes the record table (FIRST_CAPACITY free records, 0, 1, 2 ... in
    // order) and forgets every kind and record.
    void init();

    // Answers the new kind's number, counted from 1. Kinds are a fixed table:
    // one more than MAX_KINDS is fatal runtime error 98.
    int add_kind(uintptr_t data, Release release);
    int kind_count() const { return kinds_; }
    uintptr_t kind_data(int kind) const;

    // Takes a free record for the value under the kind (0: nothing to release,
    // else a registered kind; anything else is fatal error 98) and answers its
    // index. When only one free record is left, the table first doubles.
    int32_t register_resource(uintptr_t value, uint32_t kind);
    // Stores a new value; a different old value is released through the kind.
    void set_value(int32_t index, uintptr_t value);
    // Frees the record, releasing its value first when asked. Answers -1 (no
    // record), for the caller to keep. Indexes not in use are ignored.
    int32_t remove(int32_t index, bool release);
    // Marks the record for the current collection (a non-zero owner replaces
    // the stored value) and answers whether it was unmarked. Indexes not in
    // use mark nothing and answer false.
    bool mark(int32_t index, uintptr_t owner);
    // Calls visit with the value of every record of the kind, newest first.
    // Records made during the walk are not visited; records removed before
    // their turn are skipped.
    void for_each_of_kind(uint32_t kind, Visit visit, void* context);
    // After marking: marked records lose the mark and stay; the others are
    // freed and their values released through their kinds.
    void sweep();
    // Calls the kind's release function with the value; kind 0, an unknown
    // kind and a kind without a function release nothing.
    void release(uint32_t kind, uintptr_t value) const;

    // Inspection, for tests and the heap verifier.
    int32_t capacity() const { return capacity_; }
    bool in_use(int32_t index) const;
    uintptr_t value(int32_t index) const;      // 0 unless in use
    uint32_t kind_of(int32_t index) const;     // 0 unless in use
    int32_t used_count() const;
    // The used and free chains are well linked, hold no cycle and between
    // them cover the whole table.
    bool well_formed() const;

private:
    struct Record {
        uint32_t header;
        int32_t next;
        int32_t prev;     // used chain only: unlinking costs no walk
        uint32_t serial;  // tells a record from a later reuse of its index
        uintptr_t value;
    };
    struct Kind {
        uintptr_t data;
        Release release;
    };

    void make_records();
    void grow();
    void unlink_used(int32_t i);
    void push_free(int32_t i);

    Record* records_ = nullptr;
    int32_t capacity_ = 0;
    int32_t used_head_ = -1;
    int32_t free_head_ = -1;
    Kind kind_table_[MAX_KINDS] = {};
    int kinds_ = 0;
    uint32_t serial_ = 0;
    bool sweeping_ = false;
};

// The runtime's registry: init() at start-up; the first registration makes
// the record table if that has not happened yet.
Registry& registry();
void init();
inline int add_kind(uintptr_t data, Release release) { return registry().add_kind(data, release); }
inline int32_t register_resource(uintptr_t value, uint32_t kind) { return registry().register_resource(value, kind); }
inline void set_value(int32_t index, uintptr_t value) { registry().set_value(index, value); }
inline int32_t remove(int32_t index, bool release) { return registry().remove(index, release); }
inline bool mark(int32_t index, uintptr_t owner) { return registry().mark(index, owner); }
// The collector's step after marking.
inline void sweep() { registry().sweep(); }

}  // namespace kro::ext_res

namespace kro::value_slots {

constexpr uint32_t FIRST_CAPACITY = 100;

// Slots are numbered from 1; 0 is "no slot". A free slot is an integer! cell
// whose data2 holds the 0-based index of the next free slot (-1 ends the list).
class Table {
public:
    Table() = default;
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // Makes the block with FIRST_CAPACITY free slots.
    void init();
    // Copies the value into a free slot (doubling the table when none is left)
    // and answers the slot number.
    uint32_t store(const Cell* value);
    // Frees the slot. 0, numbers outside the table and free slots are ignored,
    // so a slot released twice cannot be handed out twice.
    void release(uint32_t slot);
    // The slot's cell, valid until the next store or collection; nullptr for
    // 0, numbers outside the table and free slots.
    Cell* at(uint32_t slot);

    uint32_t capacity() const { return capacity_; }
    // The block! the collector marks (with its cells) as a root.
    Cell* root_cell() { return &block_; }
    // Every slot is either in use or on the free list exactly once.
    bool well_formed() const;

private:
    Cell* cells() const;

    Cell block_ = {uint32_t(TYPE_NONE), 0, 0, 0};
    uint32_t capacity_ = 0;
    int32_t free_head_ = -1;
    uint8_t* used_ = nullptr;  // one byte per slot, 1 while in use
};

// The runtime's table: init() late in start-up (after the memory manager); the
// first store makes it if that has not happened yet.
Table& table();
void init();
inline uint32_t store(const Cell* value) { return table().store(value); }
inline void release(uint32_t slot) { table().release(slot); }
inline Cell* at(uint32_t slot) { return table().at(slot); }
inline Cell* root_cell() { return table().root_cell(); }

}  // namespace kro::value_slots
