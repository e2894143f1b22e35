#include "foundation/ext_res.hpp"

#include <cstring>

#include "datatypes/block.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"

namespace kro::ext_res {

Registry::~Registry() { heap::free(records_); }

void Registry::init() {
    make_records();
    std::memset(kind_table_, 0, sizeof kind_table_);
    kinds_ = 0;
}

void Registry::make_records() {
    heap::free(records_);
    records_ = static_cast<Record*>(heap::alloc(sizeof(Record) * size_t(FIRST_CAPACITY)));
    capacity_ = FIRST_CAPACITY;
    for (int32_t i = 0; i < capacity_; i++) records_[i] = Record{FREE, i + 1, -1, 0, 0};
    records_[capacity_ - 1].next = -1;
    free_head_ = 0;
    used_head_ = -1;
    sweeping_ = false;
}

int Registry::add_kind(uintptr_t data, Release release) {
    // The table is fixed: one kind more would be written past its end.
    if (kinds_ >= MAX_KINDS) rt_error::fatal(98, KRO_CAPTURE_SITE());
    kind_table_[kinds_] = Kind{data, release};
    return ++kinds_;
}

uintptr_t Registry::kind_data(int kind) const {
    return kind >= 1 && kind <= kinds_ ? kind_table_[kind - 1].data : 0;
}

bool Registry::in_use(int32_t index) const {
    return index >= 0 && index < capacity_ && !(records_[index].header & (FREE | DYING));
}

uintptr_t Registry::value(int32_t index) const { return in_use(index) ? records_[index].value : 0; }

uint32_t Registry::kind_of(int32_t index) const {
    return in_use(index) ? records_[index].header & KIND_MASK : 0;
}

void Registry::grow() {
    int32_t old = capacity_;
    // Indexes are 32-bit with -1 as "none".
    if (old >= INT32_MAX) rt_error::fatal(94, KRO_CAPTURE_SITE());
    int32_t cap = old > INT32_MAX / 2 ? INT32_MAX : old * 2;
    records_ = static_cast<Record*>(heap::resize(records_, sizeof(Record) * size_t(cap)));
    capacity_ = cap;
    for (int32_t i = old; i < cap; i++) records_[i] = Record{FREE, i + 1, -1, 0, 0};
    records_[cap - 1].next = -1;
    // The last old free record leads on into the new half.
    if (free_head_ < 0) free_head_ = old;
    else records_[free_head_].next = old;
}

int32_t Registry::register_resource(uintptr_t value, uint32_t kind) {
    if (!records_) make_records();
    // An unregistered kind would name a release function that does not exist.
    if (kind > uint32_t(kinds_)) rt_error::fatal(98, KRO_CAPTURE_SITE());
    if (free_head_ < 0 || records_[free_head_].next < 0) grow();
    int32_t i = free_head_;
    Record& r = records_[i];
    free_head_ = r.next;
    r = Record{kind, used_head_, -1, ++serial_, value};
    if (used_head_ >= 0) records_[used_head_].prev = i;
    used_head_ = i;
    return i;
}

void Registry::unlink_used(int32_t i) {
    Record& r = records_[i];
    if (r.prev >= 0) records_[r.prev].next = r.next;
    else used_head_ = r.next;
    if (r.next >= 0) records_[r.next].prev = r.prev;
}

void Registry::push_free(int32_t i) {
    records_[i] = Record{FREE, free_head_, -1, 0, 0};
    free_head_ = i;
}

void Registry::set_value(int32_t index, uintptr_t value) {
    if (!in_use(index)) return;
    Record& r = records_[index];
    uintptr_t old = r.value;
    r.value = value;
    if (old != value) release(r.header & KIND_MASK, old);
}

int32_t Registry::remove(int32_t index, bool release_value) {
    if (!in_use(index)) return -1;
    uint32_t kind = records_[index].header & KIND_MASK;
    uintptr_t value = records_[index].value;
    // Free first: a release function that touches the registry sees it consistent.
    unlink_used(index);
    push_free(index);
    if (release_value) release(kind, value);
    return -1;
}

bool Registry::mark(int32_t index, uintptr_t owner) {
    // A stale or forged index must not write outside the table or revive a free record.
    if (!in_use(index)) return false;
    Record& r = records_[index];
    bool fresh = !(r.header & MARKED);
    r.header |= MARKED;
    if (owner) r.value = owner;
    return fresh;
}

void Registry::for_each_of_kind(uint32_t kind, Visit visit, void* context) {
    int32_t n = 0;
    for (int32_t i = used_head_; i >= 0; i = records_[i].next)
        if ((records_[i].header & KIND_MASK) == kind) n++;
    if (!n) return;
    // Walk a snapshot, so that a visit may change the chains; a record removed
    // meanwhile (even if its index was taken again) is passed over.
    struct Entry {
        int32_t index;
        uint32_t serial;
    };
    auto* list = static_cast<Entry*>(heap::alloc(sizeof(Entry) * size_t(n)));
    int32_t k = 0;
    for (int32_t i = used_head_; i >= 0; i = records_[i].next)
        if ((records_[i].header & KIND_MASK) == kind) list[k++] = Entry{i, records_[i].serial};
    for (int32_t j = 0; j < n; j++) {
        int32_t i = list[j].index;
        if (in_use(i) && records_[i].serial == list[j].serial) visit(records_[i].value, context);
    }
    heap::free(list);
}

void Registry::sweep() {
    if (sweeping_ || !records_) return;
    sweeping_ = true;
    // First take every dead record off the used chain, then release: release
    // functions may then register or remove records without breaking the walk.
    int32_t dying = -1;
    for (int32_t i = used_head_; i >= 0;) {
        Record& r = records_[i];
        int32_t next = r.next;
        if (r.header & MARKED) {
            r.header &= ~MARKED;
        } else {
            unlink_used(i);
            r.header = (r.header & KIND_MASK) | DYING;
            r.next = dying;
            r.prev = -1;
            dying = i;
        }
        i = next;
    }
    while (dying >= 0) {
        int32_t i = dying;
        dying = records_[i].next;
        uint32_t kind = records_[i].header & KIND_MASK;
        uintptr_t value = records_[i].value;
        push_free(i);
        release(kind, value);
    }
    sweeping_ = false;
}

void Registry::release(uint32_t kind, uintptr_t value) const {
    if (kind >= 1 && kind <= uint32_t(kinds_) && kind_table_[kind - 1].release) kind_table_[kind - 1].release(value);
}

int32_t Registry::used_count() const {
    int32_t n = 0;
    for (int32_t i = used_head_; i >= 0 && n <= capacity_; i = records_[i].next) n++;
    return n;
}

bool Registry::well_formed() const {
    if (!records_) return capacity_ == 0;
    int32_t seen = 0, prev = -1;
    for (int32_t i = used_head_; i >= 0; i = records_[i].next) {
        if (i >= capacity_ || ++seen > capacity_) return false;
        const Record& r = records_[i];
        if ((r.header & (FREE | DYING)) || (r.header & ~(KIND_MASK | MARKED)) ||
            (r.header & KIND_MASK) > uint32_t(kinds_) || r.prev != prev)
            return false;
        prev = i;
    }
    for (int32_t i = free_head_; i >= 0; i = records_[i].next) {
        if (i >= capacity_ || ++seen > capacity_) return false;
        if (records_[i].header != FREE || records_[i].value != 0) return false;
    }
    return seen == capacity_;
}

Registry& registry() {
    static Registry r;
    return r;
}

void init() { registry().init(); }

}  // namespace kro::ext_res

namespace kro::value_slots {

namespace {
Cell free_cell(int32_t next) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(next), 0}; }
}  // namespace

Table::~Table() { heap::free(used_); }

Cell* Table::cells() const { return memory::buffer_of(block_.data2)->cells(); }

void Table::init() {
    block::make_at(&block_, FIRST_CAPACITY);
    memory::Buffer* b = memory::buffer_of(block_.data2);
    b->tail = b->offset + FIRST_CAPACITY * sizeof(Cell);
    capacity_ = FIRST_CAPACITY;
    Cell* c = cells();
    for (uint32_t i = 0; i < capacity_; i++) c[i] = free_cell(i + 1 < capacity_ ? int32_t(i + 1) : -1);
    free_head_ = 0;
    heap::free(used_);
    used_ = static_cast<uint8_t*>(heap::alloc_zeroed(capacity_));
}

uint32_t Table::store(const Cell* value) {
    if (!capacity_) init();
    // The value may sit in this very table, whose buffer is about to move.
    Cell v = *value;
    if (free_head_ < 0) {
        uint32_t old = capacity_;
        if (old > INT32_MAX / 2) fire("internal", "no-memory");
        uint32_t cap = old * 2;
        memory::Buffer* b = memory::grow_series(memory::buffer_of(block_.data2), cap * uint32_t(sizeof(Cell)));
        b->tail = b->offset + cap * uint32_t(sizeof(Cell));
        used_ = static_cast<uint8_t*>(heap::resize(used_, cap));
        std::memset(used_ + old, 0, cap - old);
        capacity_ = cap;
        Cell* c = cells();
        for (uint32_t i = old; i < cap; i++) c[i] = free_cell(i + 1 < cap ? int32_t(i + 1) : -1);
        free_head_ = int32_t(old);
    }
    uint32_t i = uint32_t(free_head_);
    Cell* c = cells() + i;
    free_head_ = int32_t(c->data2);
    *c = v;
    used_[i] = 1;
    return i + 1;
}

void Table::release(uint32_t slot) {
    if (slot == 0 || slot > capacity_ || !used_[slot - 1]) return;
    uint32_t i = slot - 1;
    cells()[i] = free_cell(free_head_);
    used_[i] = 0;
    free_head_ = int32_t(i);
}

Cell* Table::at(uint32_t slot) {
    if (slot == 0 || slot > capacity_ || !used_[slot - 1]) return nullptr;
    return cells() + (slot - 1);
}

bool Table::well_formed() const {
    if (!capacity_) return true;
    memory::Buffer* b = memory::buffer_of(block_.data2);
    if (b->used_bytes() != capacity_ * sizeof(Cell)) return false;
    const Cell* c = cells();
    uint32_t free_count = 0;
    for (int32_t i = free_head_; i >= 0; i = int32_t(c[i].data2)) {
        if (uint32_t(i) >= capacity_ || used_[i] || ++free_count > capacity_) return false;
        if (!c[i].is(TYPE_INTEGER)) return false;
    }
    uint32_t in_use = 0;
    for (uint32_t i = 0; i < capacity_; i++) in_use += used_[i];
    return free_count + in_use == capacity_;
}

Table& table() {
    static Table t;
    return t;
}

void init() { table().init(); }

}  // namespace kro::value_slots
