#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/error.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"

using namespace kro;
using namespace kro::memory;

TEST(Memory, ZeroUnitRequestIsAnEmptyBufferAtDataStart) {
    Buffer* b = alloc_buffer(0, 1, 0);
    EXPECT_EQ(b->size, 0u);
    EXPECT_EQ(b->offset, 0u);
    EXPECT_EQ(b->tail, 0u);
    EXPECT_TRUE(b->flags & FLAG_IN_USE);
}

TEST(Memory, GrowingAnEmptySeriesGivesRoom) {
    uint32_t node = new_series(0, 1, 0);
    Buffer* b = grow_series(buffer_of(node), 0);
    EXPECT_GE(b->size, 16u);
    EXPECT_EQ(buffer_of(node), b);
    EXPECT_EQ(b->node, node);
}

namespace {

// Runs a test on empty frame lists, so that it sees exactly the frames it makes;
// afterwards those frames go back to the system and the runtime's lists return.
class IsolatedHeap : public ::testing::Test {
protected:
    Root saved{};
    bool saved_wanted = false;

    void SetUp() override {
        saved = root;
        saved_wanted = gc::wanted;
        root.node_head = root.node_tail = root.node_current = 0;
        root.series_head = root.series_current = root.series_tail = 0;
        root.big_head = 0;
        root.next_frame_size = root.default_frame_size;
        gc::wanted = false;
        collected(0);  // the pace of collections starts from its floor
    }
    void TearDown() override {
        // an error raised here lies in the frames released now
        if (Cell* slot = error::raised_slot()) *slot = none::value;
        release_all();
        // Every frame the test took went back: the system's total is as before.
        EXPECT_EQ(root.total, saved.total);
        root = saved;
        gc::wanted = saved_wanted;
    }
};

SeriesFrame* sframe(uint32_t off) { return arena::ptr<SeriesFrame>(off); }
NodeFrame* nframe(uint32_t off) { return arena::ptr<NodeFrame>(off); }

std::vector<uint32_t> series_frames() {
    std::vector<uint32_t> v;
    for (uint32_t f = root.series_head; f; f = sframe(f)->next) v.push_back(f);
    return v;
}

std::vector<uint32_t> node_frames() {
    std::vector<uint32_t> v;
    for (uint32_t f = root.node_head; f; f = nframe(f)->next) v.push_back(f);
    return v;
}

// The series-frame list is doubly linked, ascending by address, with head and tail at its ends.
::testing::AssertionResult series_list_sound() {
    uint32_t prev = 0;
    for (uint32_t f = root.series_head; f; f = sframe(f)->next) {
        if (sframe(f)->prev != prev) return ::testing::AssertionFailure() << "bad prev link at " << f;
        if (prev && prev >= f) return ::testing::AssertionFailure() << "frame " << f << " after " << prev;
        prev = f;
    }
    if (root.series_tail != prev) return ::testing::AssertionFailure() << "tail is not the last frame";
    return ::testing::AssertionSuccess();
}

bool inside(const Buffer* b, uint32_t frame) {
    uint32_t at = arena::off(b);
    return at >= sframe(frame)->first() && at < sframe(frame)->tail;
}

uint32_t frame_holding(const Buffer* b) {
    for (uint32_t f : series_frames())
        if (inside(b, f)) return f;
    return 0;
}

std::string raised() { return last_raised().category + "/" + last_raised().id; }

}  // namespace

TEST_F(IsolatedHeap, NodesComeFromFramesOfTenThousandSlots) {
    uint32_t first = alloc_node();
    ASSERT_NE(root.node_head, 0u);
    NodeFrame* f = nframe(root.node_head);
    EXPECT_EQ(f->count, NODES_PER_FRAME);
    EXPECT_EQ(f->used, 1u);
    EXPECT_EQ(f->stamp, cycles);
    EXPECT_EQ(first, arena::off(f->slots()));
    EXPECT_EQ(node_slot(first), 0u);

    std::vector<uint32_t> nodes{first};
    for (uint32_t i = 1; i < NODES_PER_FRAME; i++) nodes.push_back(alloc_node());
    EXPECT_EQ(f->used, NODES_PER_FRAME);
    EXPECT_EQ(f->free, 0u);
    std::sort(nodes.begin(), nodes.end());
    EXPECT_EQ(std::adjacent_find(nodes.begin(), nodes.end()), nodes.end()) << "a node was handed out twice";
    EXPECT_EQ(nodes.back(), first + (NODES_PER_FRAME - 1) * 4);

    // A full frame: the next node comes from a new frame at the list's tail.
    uint32_t next = alloc_node();
    ASSERT_EQ(node_frames().size(), 2u);
    EXPECT_EQ(root.node_current, root.node_tail);
    EXPECT_EQ(nframe(root.node_tail)->prev, root.node_head);
    EXPECT_EQ(next, arena::off(nframe(root.node_tail)->slots()));

    // A freed slot is reused once a sweep makes its frame current again.
    free_node(root.node_head, nodes[500]);
    EXPECT_EQ(f->used, NODES_PER_FRAME - 1);
    sweep_node_frames();
    EXPECT_EQ(root.node_current, root.node_head);
    EXPECT_EQ(alloc_node(), nodes[500]);
}

TEST_F(IsolatedHeap, SweepReleasesAnEmptyNodeFrameAndKeepsOneWithALiveNode) {
    uint32_t a[3];
    for (uint32_t& n : a) n = alloc_node();
    uint32_t frame_a = root.node_head;
    uint32_t frame_b = new_node_frame(NODES_PER_FRAME);
    root.node_current = frame_b;
    alloc_node();  // the one live node of frame b
    for (uint32_t n : a) free_node(frame_a, n);
    uint64_t before = root.total;

    sweep_node_frames();
    EXPECT_EQ(node_frames(), std::vector<uint32_t>{frame_b});
    EXPECT_EQ(root.node_tail, frame_b);
    EXPECT_EQ(nframe(frame_b)->prev, 0u);
    EXPECT_EQ(root.node_current, frame_b);
    EXPECT_EQ(root.total, before - 40960);  // 10,000 slots + 36 + 4, in whole pages
    // The history shifts in 1 for each sweep in which the count stood still.
    EXPECT_EQ(nframe(frame_b)->history, 0u);
    EXPECT_EQ(nframe(frame_b)->last_used, 1u);
    sweep_node_frames();
    EXPECT_EQ(nframe(frame_b)->history, 1u);
    alloc_node();
    sweep_node_frames();
    EXPECT_EQ(nframe(frame_b)->history, 2u);
}

TEST_F(IsolatedHeap, AfterEveryNodeFrameIsSweptAwayAllocationMakesANewOne) {
    uint32_t n = alloc_node();
    free_node(root.node_head, n);
    uint32_t evacuated = new_node_frame(NODES_PER_FRAME);
    root.node_current = evacuated;
    alloc_node();
    nframe(evacuated)->evacuated = 1;  // released although a node is still counted

    sweep_node_frames();
    EXPECT_EQ(root.node_head, 0u);
    EXPECT_EQ(root.node_tail, 0u);
    EXPECT_EQ(root.node_current, 0u);

    uint32_t fresh = alloc_node();
    ASSERT_NE(root.node_current, 0u);
    EXPECT_EQ(root.node_head, root.node_current);
    EXPECT_EQ(nframe(root.node_current)->used, 1u);
    EXPECT_EQ(fresh, arena::off(nframe(root.node_current)->slots()));
}

TEST_F(IsolatedHeap, BufferLayoutForEachRequest) {
    struct Case {
        uint32_t units, unit;
        int32_t start;
        uint32_t size, offset, flags;
    };
    const Case cases[] = {
        {0, 1, 0, 0, 0, FLAG_ALLOCATED},
        {1, 1, 0, 16, 0, FLAG_ALLOCATED},
        {16, 1, 0, 16, 0, FLAG_ALLOCATED},
        {17, 1, 0, 32, 0, FLAG_ALLOCATED},
        {3, 16, 0, 48, 0, FLAG_ALLOCATED},
        {5, 4, 8, 32, 8, FLAG_ALLOCATED},
        {10, 1, -1, 16, 8, FLAG_ALLOCATED | FLAG_MIDDLE},
        {6, 4, -1, 32, 16, FLAG_ALLOCATED | FLAG_MIDDLE},
        {5, 2, -1, 16, 8, FLAG_ALLOCATED | FLAG_MIDDLE},
        {3, 16, -1, 48, 16, FLAG_ALLOCATED | FLAG_MIDDLE},  // the middle, to a whole cell
        {0, 4, -1, 0, 0, FLAG_ALLOCATED | FLAG_MIDDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.units << " x " << c.unit << " start " << c.start);
        SeriesFrame* f = root.series_current ? sframe(root.series_current) : nullptr;
        uint32_t heap_before = f ? f->heap : 0;
        Buffer* b = alloc_buffer(c.units, c.unit, c.start);
        f = sframe(root.series_current);
        EXPECT_EQ(b->size, c.size);
        EXPECT_EQ(b->offset, c.offset);
        EXPECT_EQ(b->tail, c.offset);
        EXPECT_EQ(b->flags, c.unit | FLAG_IN_USE | c.flags);
        EXPECT_EQ(b->node, 0u);
        EXPECT_TRUE(inside(b, root.series_current));
        // Buffers lie end to end: header, data area, 4 spare bytes.
        if (heap_before) {
            EXPECT_EQ(arena::off(b), heap_before);
        }
        EXPECT_EQ(f->heap, arena::off(b) + 20 + c.size + 4);
    }
}

TEST_F(IsolatedHeap, NewSeriesLinksNodeAndBufferBothWays) {
    uint32_t node = new_series(4, 2, 0);
    Buffer* b = buffer_of(node);
    EXPECT_EQ(b->node, node);
    EXPECT_EQ(b->unit(), 2);
    EXPECT_EQ(b->size, 16u);
}

TEST_F(IsolatedHeap, CollectionsArePacedByGrowth) {
    // after a cycle, new frames ask for the next one once they hold as much
    // as the heap that lived through it, and never before 8 MB
    const uint32_t three_mb = 3u << 20;
    alloc_buffer(three_mb, 1, 0);
    alloc_buffer(three_mb, 1, 0);
    EXPECT_FALSE(gc::wanted) << "6 MB";
    alloc_buffer(three_mb, 1, 0);
    EXPECT_TRUE(gc::wanted) << "9 MB: past the floor";

    gc::wanted = false;
    collected(20u << 20);  // a 20 MB heap lived through the cycle
    for (int i = 1; i <= 6; i++) alloc_buffer(three_mb, 1, 0);
    EXPECT_FALSE(gc::wanted) << "18 MB";
    alloc_buffer(three_mb, 1, 0);
    EXPECT_TRUE(gc::wanted) << "21 MB: past the heap that lived";
    collected(0);
}

TEST_F(IsolatedHeap, BigThresholdBoundary) {
    // 2 MB - 16 bytes of data: header and spare make 2 MB + 8, a big frame.
    Buffer* big = alloc_buffer(0x200000 - 16, 1, 0);
    EXPECT_TRUE(big->flags & FLAG_BIG);
    EXPECT_EQ(big->size, 0x200000u - 16);
    ASSERT_NE(root.big_head, 0u);
    auto* bf = arena::ptr<BigFrame>(root.big_head);
    EXPECT_EQ(bf->buffer(), big);
    EXPECT_EQ(bf->size, 0x200008u);
    EXPECT_EQ(frame_holding(big), 0u);
    EXPECT_FALSE(gc::wanted) << "one big buffer stays below the pace of collections";

    // 2 MB - 32 bytes: 2 MB - 8 in all, which a series frame takes.
    Buffer* framed = alloc_buffer(0x200000 - 32, 1, 0);
    EXPECT_FALSE(framed->flags & FLAG_BIG);
    EXPECT_EQ(framed->size, 0x200000u - 32);
    EXPECT_NE(frame_holding(framed), 0u);
    EXPECT_EQ(arena::ptr<BigFrame>(root.big_head)->next, 0u) << "no second big frame";
}

TEST_F(IsolatedHeap, BigFramesListAndSweep) {
    Buffer* a = alloc_buffer(0x300000, 1, 0);
    Buffer* b = alloc_buffer(0x80000, 16, 0);
    uint32_t fa = arena::off(a) - sizeof(BigFrame), fb = arena::off(b) - sizeof(BigFrame);
    EXPECT_EQ(root.big_head, fa);
    EXPECT_EQ(arena::ptr<BigFrame>(fa)->next, fb);
    EXPECT_EQ(arena::ptr<BigFrame>(fb)->prev, fa);
    EXPECT_TRUE(b->flags & FLAG_BIG);

    a->flags &= ~FLAG_IN_USE;  // a died
    uint64_t before = root.total;
    sweep_big_frames();
    EXPECT_EQ(root.big_head, fb);
    EXPECT_EQ(arena::ptr<BigFrame>(fb)->prev, 0u);
    EXPECT_LT(root.total, before);
    EXPECT_GE(before - root.total, 0x300000u + 24 + 12);
}

TEST_F(IsolatedHeap, FullSeriesFrameLeadsToANewFrameWithoutCollecting) {
    alloc_buffer(1, 1, 0);
    ASSERT_EQ(series_frames().size(), 1u);
    uint32_t f1 = root.series_head;
    EXPECT_EQ(sframe(f1)->size, 0x100000u + 20);
    EXPECT_EQ(sframe(f1)->tail - sframe(f1)->first(), 0x100000u);
    EXPECT_EQ(root.next_frame_size, 0x200000u);

    // 64 KB buffers: the 1 MB frame takes 15 more; the 16th needs a new frame.
    for (int i = 0; i < 15; i++) alloc_buffer(0x10000, 1, 0);
    EXPECT_EQ(series_frames().size(), 1u);
    gc::wanted = false;
    uint32_t heap_f1 = sframe(f1)->heap;
    Buffer* b = alloc_buffer(0x10000, 1, 0);
    ASSERT_EQ(series_frames().size(), 2u);
    EXPECT_FALSE(gc::wanted) << "two frames stay below the pace of collections";
    uint32_t f2 = frame_holding(b);
    EXPECT_NE(f2, f1);
    EXPECT_EQ(root.series_current, f2);
    EXPECT_EQ(sframe(f2)->size, 0x200000u + 20);
    EXPECT_EQ(sframe(f1)->heap, heap_f1);

    // Fill the current frame to within 40 bytes: a small request then goes to
    // the first frame in address order that has room, and that becomes current.
    uint32_t room = sframe(f2)->tail - sframe(f2)->heap;
    alloc_buffer(room - 40, 1, 0);
    EXPECT_EQ(root.series_current, f2);
    Buffer* small = alloc_buffer(100, 1, 0);
    EXPECT_EQ(frame_holding(small), f1);
    EXPECT_EQ(root.series_current, f1);
    EXPECT_EQ(series_frames().size(), 2u);
}

TEST_F(IsolatedHeap, SeriesFramesStayInAddressOrder) {
    SeriesFrame* f[4];
    for (auto& x : f) x = new_series_frame();
    ASSERT_TRUE(series_list_sound());
    EXPECT_EQ(series_frames().size(), 4u);
    uint32_t third = arena::off(f[2]);

    // Free the second frame; a new 2 MB frame fits at or below its hole, so it
    // lands before the third in the list.
    free_series_frame(f[1]);
    ASSERT_TRUE(series_list_sound());
    uint32_t f5 = arena::off(new_series_frame());
    ASSERT_TRUE(series_list_sound());
    EXPECT_LT(f5, third);

    // Free the first frame and ask for a 1 MB one: again below the third.
    free_series_frame(f[0]);
    root.next_frame_size = root.default_frame_size;
    uint32_t f6 = arena::off(new_series_frame());
    ASSERT_TRUE(series_list_sound());
    EXPECT_LT(f6, third);
    auto frames = series_frames();
    std::vector<uint32_t> expected{f5, f6, third, arena::off(f[3])};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(frames, expected);
}

TEST_F(IsolatedHeap, GrowingABlockKeepsItsValuesCurrent) {
    Cell blk;
    block::make_at(&blk, 3);
    for (uint32_t i = 1; i <= 3; i++) *block::add_cell(&blk) = Cell{uint32_t(TYPE_INTEGER), i * 10, 0, 0};
    uint32_t node = blk.data2;
    Buffer* old = buffer_of(node);
    EXPECT_EQ(old->free_bytes(), 0u);

    Buffer* b = grow_series(old, 0);
    EXPECT_EQ(b->size, 96u);
    EXPECT_EQ(buffer_of(node), b);
    EXPECT_EQ(b->node, node);
    EXPECT_EQ(b->unit(), 16);
    EXPECT_EQ(b->used_bytes(), 48u);
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & FLAG_IN_USE) << "the old buffer is garbage for the next compaction";
    ASSERT_EQ(block::length(&blk), 3);
    for (int32_t i = 0; i < 3; i++) EXPECT_EQ(block::at(&blk, i)->data1, uint32_t(i + 1) * 10);

    // Appending past the room grows again through the value.
    for (uint32_t i = 4; i <= 7; i++) *block::add_cell(&blk) = Cell{uint32_t(TYPE_INTEGER), i * 10, 0, 0};
    ASSERT_EQ(block::length(&blk), 7);
    EXPECT_EQ(block::at(&blk, 6)->data1, 70u);
    EXPECT_EQ(block::at(&blk, 0)->data1, 10u);
}

TEST_F(IsolatedHeap, GrowCarriesEverythingFromTheOffsetToTheEndOfTheDataArea) {
    uint32_t node = new_series(32, 1, -1);  // 32 bytes, head at 16
    Buffer* b = buffer_of(node);
    ASSERT_EQ(b->offset, 16u);
    std::memcpy(b->head_ptr(), "abcd", 4);
    b->tail += 4;
    std::memcpy(b->tail_ptr(), "KEPT", 4);  // the owner's bytes after the tail
    Buffer* g = grow_series(b, 64);
    EXPECT_EQ(g->offset, 0u);
    EXPECT_EQ(g->tail, 4u);
    EXPECT_FALSE(g->flags & FLAG_MIDDLE);
    EXPECT_EQ(std::memcmp(g->head_ptr(), "abcdKEPT", 8), 0);
}

TEST_F(IsolatedHeap, ExpandRelinksWithoutCopyingAndKeepsTheTailDistance) {
    uint32_t node = new_series(8, 4, 0);
    Buffer* b = buffer_of(node);
    b->tail = 12;
    Buffer* e = expand_series(b, 0);
    EXPECT_EQ(e->size, 64u);
    EXPECT_EQ(e->tail - e->offset, 12u);
    EXPECT_EQ(e->unit(), 4);
    EXPECT_EQ(buffer_of(node), e);
}

TEST_F(IsolatedHeap, ExpandSizes) {
    struct Case {
        uint32_t units, unit, request, size;
    };
    const Case cases[] = {
        {0, 1, 0, 16},     // an empty buffer still grows
        {0, 16, 0, 16},
        {4, 16, 0, 128},   // twice
        {1, 16, 40, 48},   // 40 bytes of cells: rounded up, never down to 32
        {3, 4, 100, 112},
        {8, 16, 32, 128},  // a smaller request never cuts the buffer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.units << " x " << c.unit << " to " << c.request);
        uint32_t node = new_series(c.units, c.unit, 0);
        Buffer* b = buffer_of(node);
        b->tail = b->size;
        uint32_t used = b->used_bytes();
        Buffer* e = expand_series(b, c.request);
        EXPECT_EQ(e->size, c.size);
        EXPECT_EQ(e->used_bytes(), used);
    }
}

TEST_F(IsolatedHeap, GrowFilledSetsEveryNewByte) {
    uint32_t node = new_bytes(16);
    Buffer* b = buffer_of(node);
    for (int i = 0; i < 16; i++) b->data()[i] = uint8_t(i);
    b->tail = 16;
    Buffer* g = grow_series_filled(b, 64, 0xEE);
    for (int i = 0; i < 16; i++) EXPECT_EQ(g->data()[i], i);
    for (int i = 16; i < 64; i++) ASSERT_EQ(g->data()[i], 0xEE) << "byte " << i;

    // With the old head in the middle, the bytes after what was carried over
    // are filled too (none is left as junk).
    node = new_series(32, 1, -1);
    b = buffer_of(node);
    std::memset(b->data(), 0x11, 32);
    g = grow_series_filled(b, 64, 0x5A);
    for (int i = 0; i < 16; i++) EXPECT_EQ(g->data()[i], 0x11);
    for (int i = 16; i < 64; i++) ASSERT_EQ(g->data()[i], 0x5A) << "byte " << i;
}

TEST_F(IsolatedHeap, CopySeriesIsAnIndependentTwin) {
    Cell str;
    string::make_at(&str, 10, 2);
    string::concatenate_ascii(&str, "twin text");
    Buffer* orig = buffer_of(str.data2);
    uint32_t node = copy_series(orig);
    orig = buffer_of(str.data2);
    Buffer* c = buffer_of(node);
    EXPECT_NE(node, str.data2);
    EXPECT_EQ(c->node, node);
    EXPECT_EQ(c->unit(), 2);
    EXPECT_EQ(c->size, orig->size);
    EXPECT_TRUE(c->flags & FLAG_IN_USE);
    EXPECT_EQ(c->used_bytes(), orig->used_bytes());
    EXPECT_EQ(std::memcmp(c->head_ptr(), orig->head_ptr(), orig->used_bytes()), 0);

    Cell twin{uint32_t(TYPE_STRING), 0, node, 0};
    EXPECT_EQ(string::to_utf8(&twin), "twin text");
    c->head_ptr()[0] = 'T';
    EXPECT_EQ(string::to_utf8(&twin), "Twin text");
    EXPECT_EQ(string::to_utf8(&str), "twin text");
}

TEST_F(IsolatedHeap, SeriesCopyIsOneBufferAndOneNodeWithTheGivenFlags) {
    std::vector<uint8_t> src(0x300000);
    for (size_t i = 0; i < src.size(); i++) src[i] = uint8_t(i * 7 + 1);
    // the allocation's own bits and a wrong unit in the flags given are replaced
    const uint32_t given = FLAG_IN_USE | FLAG_ALLOCATED | FLAG_COMPLEMENT | FLAG_MARK | FLAG_FIXED | FLAG_MIDDLE |
                           FLAG_BIG | 0x1F;
    for (uint32_t unit : {1u, 2u, 4u}) {
        for (uint32_t units = 0; units <= 40; units++) {
            SCOPED_TRACE(testing::Message() << "unit " << unit << ", units " << units);
            uint32_t node = new_series_copy(src.data() + 3, units, unit, given);
            Buffer* b = buffer_of(node);
            EXPECT_EQ(b->node, node);
            EXPECT_NE(frame_holding(b), 0u);
            EXPECT_EQ(b->unit(), int(unit));
            EXPECT_EQ(b->flags & (FLAG_MARK | FLAG_FIXED | FLAG_MIDDLE | FLAG_BIG), 0u);
            EXPECT_EQ(b->flags & (FLAG_IN_USE | FLAG_ALLOCATED | FLAG_COMPLEMENT),
                      FLAG_IN_USE | FLAG_ALLOCATED | FLAG_COMPLEMENT);
            EXPECT_EQ(b->offset, 0u);
            EXPECT_EQ(b->tail, units * unit);
            EXPECT_EQ(b->size, std::max<uint32_t>((units * unit + 15) & ~15u, 16u));
            EXPECT_EQ(std::memcmp(b->data(), src.data() + 3, units * unit), 0);
        }
    }

    // a full current frame: the next frame with room, as alloc_buffer takes
    uint32_t f1 = root.series_current;
    alloc_buffer(sframe(f1)->tail - sframe(f1)->heap - 40, 1, 0);
    gc::wanted = false;
    Buffer* next = buffer_of(new_series_copy(src.data(), 100, 1, FLAG_IN_USE));
    EXPECT_NE(frame_holding(next), f1);
    EXPECT_FALSE(gc::wanted) << "a few frames stay below the pace of collections";
    EXPECT_EQ(std::memcmp(next->data(), src.data(), 100), 0);

    // past the big threshold: a big frame of its own
    uint32_t big_node = new_series_copy(src.data() + 1, 0x280000, 1, FLAG_IN_USE);
    Buffer* big = buffer_of(big_node);
    EXPECT_TRUE(big->flags & FLAG_BIG);
    EXPECT_EQ(frame_holding(big), 0u);
    EXPECT_EQ(big->node, big_node);
    EXPECT_EQ(big->tail, 0x280000u);
    EXPECT_EQ(std::memcmp(big->data(), src.data() + 1, 0x280000), 0);

    // an impossible size raises before anything is read
    EXPECT_THROW(new_series_copy(nullptr, 0x10000000, 16, FLAG_IN_USE), Thrown);
    EXPECT_EQ(raised(), "internal/no-memory");
}

TEST_F(IsolatedHeap, GrowingPastTwiceAFullFrameMovesToABigFrame) {
    Cell str;
    string::make_at(&str, 64, 1);
    string::concatenate_ascii(&str, "still here after the move");
    Buffer* b = buffer_of(str.data2);
    EXPECT_FALSE(b->flags & FLAG_BIG);
    Buffer* g = grow_series(b, 2 * 0x100000);
    EXPECT_TRUE(g->flags & FLAG_BIG);
    EXPECT_EQ(g->unit(), 1);
    EXPECT_EQ(arena::ptr<BigFrame>(root.big_head)->buffer(), g);
    EXPECT_EQ(string::to_utf8(&str), "still here after the move");
}

TEST_F(IsolatedHeap, ImpossibleSizesRaiseNoMemory) {
    // the error itself is made in the heap: the first one takes a frame, the others fit in it
    EXPECT_THROW(alloc_buffer(0x10000000, 16, 0), Thrown);
    uint64_t before = root.total;
    EXPECT_THROW(alloc_buffer(0x10000000, 16, 0), Thrown);
    EXPECT_EQ(raised(), "internal/no-memory");
    // A page request the system refuses becomes the same language error.
    EXPECT_THROW(os_alloc(0xFFFFE000u), Thrown);
    EXPECT_EQ(raised(), "internal/no-memory");
    EXPECT_EQ(root.total, before);
}

TEST_F(IsolatedHeap, SeriesMakers) {
    struct Case {
        const char* what;
        uint32_t node, size, unit;
    };
    const Case cases[] = {
        {"new_bytes(0)", new_bytes(0), 16, 1},
        {"new_bytes(5)", new_bytes(5), 16, 1},
        {"new_series_of_unit(0, 1)", new_series_of_unit(0, 1), 16, 1},
        {"new_series_of_unit(0, 2)", new_series_of_unit(0, 2), 16, 2},
        {"new_series_of_unit(0, 4)", new_series_of_unit(0, 4), 16, 4},
        {"new_series_of_unit(9, 4)", new_series_of_unit(9, 4), 48, 4},
        {"new_cells(3)", new_cells(3), 48, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Buffer* b = buffer_of(c.node);
        EXPECT_EQ(b->size, c.size);
        EXPECT_EQ(b->unit(), int(c.unit));
        EXPECT_EQ(b->offset, 0u);
        EXPECT_EQ(b->tail, 0u);
        EXPECT_EQ(b->node, c.node);
    }

    Buffer* u = buffer_of(new_unset_cells(2));
    ASSERT_EQ(u->size, 32u);
    for (int i = 0; i < 2; i++) {
        Cell* c = reinterpret_cast<Cell*>(u->data()) + i;
        EXPECT_EQ(c->header, uint32_t(TYPE_UNSET));
        EXPECT_EQ(c->data1 | c->data2 | c->data3, 0u);
    }

    Buffer* f = buffer_of(new_filled_bytes(5, 0xAB));
    ASSERT_EQ(f->size, 16u);
    for (uint32_t i = 0; i < f->size; i++) EXPECT_EQ(f->data()[i], 0xAB);
}

TEST(Memory, FixedSeriesLiveOutsideTheSeriesFrames) {
    uint32_t count = root.fixed_count;
    uint32_t node = new_fixed_series(10, 16, 0);
    Buffer* b = buffer_of(node);
    EXPECT_EQ(b->flags, 16u | 0xA0100000u);
    EXPECT_EQ(b->size, 160u);
    EXPECT_EQ(b->node, node);
    EXPECT_EQ(root.fixed_count, count + 1);
    EXPECT_EQ(fixed_buffer(count), node_slot(node));
    EXPECT_EQ(frame_holding(b), 0u);
    for (uint32_t off = root.big_head; off; off = arena::ptr<BigFrame>(off)->next)
        EXPECT_NE(arena::ptr<BigFrame>(off)->buffer(), b);
}

TEST(Memory, OsBlocksKeepTheirRoundedSize) {
    struct Case {
        uint32_t asked, rounded;
    };
    for (Case c : {Case{1, 4096}, Case{4092, 4096}, Case{4093, 8192}, Case{40036, 40960}}) {
        uint64_t before = root.total;
        uint32_t block = os_alloc(c.asked);
        EXPECT_EQ((block - 4) % arena::PAGE, 0u);
        EXPECT_EQ(*arena::ptr<uint32_t>(block - 4), c.rounded);
        EXPECT_EQ(root.total, before + c.rounded);
        os_free(block);
        EXPECT_EQ(root.total, before);
    }
}
