#include <gtest/gtest.h>

#include <vector>

#include "datatypes/block.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"
#include "foundation/memory_stats.hpp"
#include "heap_fixtures.hpp"

using namespace kro;
using namespace kro::testing_heap;

namespace {

// The /info report as a fresh block.
Cell info() {
    Cell report;
    block::make_at(&report, 5);
    memory::stats(&report, 2);
    return report;
}

std::vector<int64_t> numbers(const Cell& blk) {
    std::vector<int64_t> out;
    for (int32_t i = 0; i < block::length(&blk); i++) out.push_back(int32_t(at(blk, i)->data2));
    return out;
}

size_t count_frames(uint32_t head, uint32_t (*next)(uint32_t)) {
    size_t n = 0;
    for (uint32_t f = head; f; f = next(f)) n++;
    return n;
}
uint32_t next_node_frame(uint32_t f) { return arena::ptr<memory::NodeFrame>(f)->next; }
uint32_t next_series_frame(uint32_t f) { return arena::ptr<memory::SeriesFrame>(f)->next; }

}  // namespace

// The five items: node frames of 10,000 nodes, series frames of 1 MB (the
// first) or 2 MB, the big buffers, the frames' bytes and the tracked heap.
TEST(MemoryStats, InfoReportsEveryFrame) {
    gc::Rooted big;
    block::make_at(big.get(), int32_t(memory::BIG_THRESHOLD / 16) + 10);
    gc::Rooted report(info());
    ASSERT_EQ(block::length(report.get()), 5);

    Cell nodes = *at(report.cell, 0);
    EXPECT_EQ(size_t(block::length(&nodes)), count_frames(memory::root.node_head, &next_node_frame));
    for (int32_t i = 0; i < block::length(&nodes); i++) {
        Cell row = *at(nodes, i);
        EXPECT_TRUE(row.header & FLAG_NEW_LINE);
        std::vector<int64_t> v = numbers(row);
        ASSERT_EQ(v.size(), 3u);
        EXPECT_EQ(v[2], 10000);
        EXPECT_EQ(v[0] + v[1], v[2]);
    }
    Cell series = *at(report.cell, 1);
    EXPECT_EQ(size_t(block::length(&series)), count_frames(memory::root.series_head, &next_series_frame));
    for (int32_t i = 0; i < block::length(&series); i++) {
        std::vector<int64_t> v = numbers(*at(series, i));
        EXPECT_TRUE(v[2] == 1048576 || v[2] == 2097152) << v[2];
        EXPECT_EQ(v[0] + v[1], v[2]);
    }
    Cell bigs = *at(report.cell, 2);
    bool found = false;
    uint32_t want = memory::buffer_of(big->data2)->total();
    for (int32_t i = 0; i < block::length(&bigs); i++) {
        EXPECT_TRUE(at(bigs, i)->header & FLAG_NEW_LINE);
        found |= at(bigs, i)->data2 == want;
    }
    EXPECT_TRUE(found) << "the big buffer's " << want << " bytes";
    EXPECT_TRUE(at(report.cell, 3)->is(TYPE_INTEGER));
    EXPECT_EQ(int64_t(at(report.cell, 4)->data2), int64_t(heap::asked_bytes() + 16 * heap::block_count()));
}

// What a new series adds to the figure in use: its node and its buffer, once.
TEST(MemoryStats, InUseGrowsByTheNodeAndTheBuffer) {
    struct Case {
        uint32_t bytes;
    };
    for (Case c : {Case{1000}, Case{16}, Case{memory::BIG_THRESHOLD}}) {
        SCOPED_TRACE(c.bytes);
        double before = in_use();
        gc::RootedNode n(memory::new_bytes(c.bytes));
        double grew = in_use() - before;
        uint32_t rounded = (c.bytes + 15) & ~15u;
        EXPECT_EQ(grew, 4.0 + memory::BUFFER_HEADER + rounded + memory::BUFFER_SPARE);
    }
}

// A new series frame adds its size to the frames' bytes once (its header included).
TEST(MemoryStats, FramesBytesCountEachSeriesFrameOnce) {
    auto frames_bytes = [] { return int64_t(int32_t(at(info(), 3)->data2)); };
    size_t series = count_frames(memory::root.series_head, &next_series_frame);
    size_t nodes = count_frames(memory::root.node_head, &next_node_frame);
    int64_t before = frames_bytes();
    while (count_frames(memory::root.series_head, &next_series_frame) == series) make_garbage(20, 1000);
    int64_t grew = frames_bytes() - before;
    size_t new_nodes = count_frames(memory::root.node_head, &next_node_frame) - nodes;
    // a later frame holds 2 MB of data after its 20-byte header
    EXPECT_EQ(grew - int64_t(new_nodes) * (10000 * 4 + 36), 2097152 + 20);
}

TEST(MemoryStats, AmountsAboveTheIntegerRangeAreFloats) {
    struct Case {
        double amount;
        Type type;
    } cases[] = {{0, TYPE_INTEGER}, {2147483647.0, TYPE_INTEGER}, {2147483648.0, TYPE_FLOAT}, {3e9, TYPE_FLOAT}};
    for (const Case& c : cases) {
        Cell blk;
        block::make_at(&blk, 1);
        memory::push_amount(c.amount, &blk);
        Cell* v = at(blk, 0);
        EXPECT_EQ(v->type(), c.type) << c.amount;
        double back = v->is(TYPE_FLOAT) ? v->get_float() : double(int32_t(v->data2));
        EXPECT_EQ(back, c.amount);
    }
}

// An error while the report is built (here: no memory for its blocks) leaves
// collections switched on as they were.
TEST(MemoryStats, AnErrorWhileReportingRestoresCollections) {
    Switches sw(false, true);
    Cell report;
    block::make_at(&report, 5);
    memory::Root saved = memory::root;
    // no frame has room and no new frame can be had
    memory::root.series_head = memory::root.series_current = memory::root.series_tail = 0;
    memory::root.next_frame_size = 0xFFFFFF00u;
    bool raised = false;
    try {
        memory::stats(&report, 2);
    } catch (const Thrown&) {
        runtime_context.thrown_code = 0;
        raised = true;
    }
    memory::root = saved;
    gc::wanted = false;
    EXPECT_TRUE(raised);
    EXPECT_EQ(last_raised().id, "no-memory");
    EXPECT_TRUE(gc::active);
}

// stats after recycle is never larger than before it.
TEST(MemoryStats, RecycleNeverRaisesTheFigure) {
    for (bool stress : {false, true}) {
        Switches sw(stress);
        make_garbage(50, 40);
        double before = in_use();
        EXPECT_LE(collector::recycle(), before);
    }
}
