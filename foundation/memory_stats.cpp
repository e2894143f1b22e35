#include "foundation/memory_stats.hpp"

#include <initializer_list>

#include "datatypes/block.hpp"
#include "foundation/gc.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"

namespace kro::memory {

namespace {

constexpr double INT_MAX_AMOUNT = 2147483647.0;

// Collections stay off while the report is built, and come back on however
// the building ends.
class CollectionsOff {
public:
    CollectionsOff() : saved_(gc::active) { gc::active = false; }
    ~CollectionsOff() { gc::active = saved_; }
    CollectionsOff(const CollectionsOff&) = delete;
    CollectionsOff& operator=(const CollectionsOff&) = delete;

private:
    bool saved_;
};

Cell integer(uint32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, v, 0}; }

// Appends a new block of three integers on a line of its own.
void push_triple(Cell* into, uint32_t free, uint32_t used, uint32_t total) {
    Cell* c = block::add_cell(into);
    block::make_at(c, 3);
    c->header |= FLAG_NEW_LINE;
    Cell row = *c;
    for (uint32_t v : {free, used, total}) {
        Cell n = integer(v);
        copy_cell(&n, block::add_cell(&row));
    }
}

// A new empty block appended to the report; answers a copy of its value.
Cell push_block(Cell* report) {
    Cell* c = block::add_cell(report);
    block::make_at(c, 4);
    return *c;
}

}  // namespace

Cell amount_value(double amount) {
    if (amount <= INT_MAX_AMOUNT) return integer(uint32_t(int32_t(amount)));
    Cell c{uint32_t(TYPE_FLOAT), 0, 0, 0};
    c.set_float(amount);
    return c;
}

void push_amount(double amount, Cell* block) {
    Cell v = amount_value(amount);
    copy_cell(&v, block::add_cell(block));
}

double stats(Cell* report, int mode) {
    CollectionsOff off;
    if (mode != 2) {
        double sum = 0;
        for (uint32_t f = root.node_head; f; f = arena::ptr<NodeFrame>(f)->next)
            sum += 4.0 * arena::ptr<NodeFrame>(f)->used;
        for (uint32_t f = root.series_head; f; f = arena::ptr<SeriesFrame>(f)->next) {
            SeriesFrame* s = arena::ptr<SeriesFrame>(f);
            sum += double(s->heap - s->first());
        }
        for (uint32_t f = root.big_head; f; f = arena::ptr<BigFrame>(f)->next) sum += arena::ptr<BigFrame>(f)->size;
        return sum;
    }
    // The item blocks are appended to the report first and filled through
    // copies of their values: each may grow (and so move) while it fills.
    double frames_total = 0;
    Cell nodes = push_block(report);
    for (uint32_t f = root.node_head; f; f = arena::ptr<NodeFrame>(f)->next) {
        NodeFrame* n = arena::ptr<NodeFrame>(f);
        push_triple(&nodes, n->count - n->used, n->used, n->count);
        frames_total += double(n->count) * 4 + sizeof(NodeFrame);
    }
    Cell series = push_block(report);
    for (uint32_t f = root.series_head; f; f = arena::ptr<SeriesFrame>(f)->next) {
        SeriesFrame* s = arena::ptr<SeriesFrame>(f);
        push_triple(&series, s->tail - s->heap, s->heap - s->first(), s->tail - s->first());
        // the size field already counts the frame header
        frames_total += s->size;
    }
    Cell big = push_block(report);
    for (uint32_t f = root.big_head; f; f = arena::ptr<BigFrame>(f)->next) {
        BigFrame* b = arena::ptr<BigFrame>(f);
        Cell* c = block::add_cell(&big);
        *c = integer(b->size);
        c->header |= FLAG_NEW_LINE;
        frames_total += double(b->size) + sizeof(BigFrame);
    }
    push_amount(frames_total, report);
    push_amount(double(heap::asked_bytes()) + 16.0 * double(heap::block_count()), report);
    return 0;
}

}  // namespace kro::memory
