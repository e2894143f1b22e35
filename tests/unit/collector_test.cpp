#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/runtime.hpp"
#include "heap_fixtures.hpp"
#include "interpreter/stack.hpp"

using namespace kro;
using namespace kro::testing_heap;

namespace {

std::vector<uint32_t> series_frames() {
    std::vector<uint32_t> v;
    for (uint32_t f = memory::root.series_head; f; f = arena::ptr<memory::SeriesFrame>(f)->next) v.push_back(f);
    return v;
}

std::vector<uint32_t> node_frames() {
    std::vector<uint32_t> v;
    for (uint32_t f = memory::root.node_head; f; f = arena::ptr<memory::NodeFrame>(f)->next) v.push_back(f);
    return v;
}

// The series frame that holds a buffer address, or 0.
uint32_t frame_holding(uint32_t buffer) {
    for (uint32_t f : series_frames()) {
        auto* s = arena::ptr<memory::SeriesFrame>(f);
        if (buffer >= s->first() && buffer < s->heap) return f;
    }
    return 0;
}

bool has_big_frame_of(uint32_t buffer) {
    for (uint32_t f = memory::root.big_head; f; f = arena::ptr<memory::BigFrame>(f)->next)
        if (arena::off(arena::ptr<memory::BigFrame>(f)->buffer()) == buffer) return true;
    return false;
}

}  // namespace

// ---- survivors and reclaimed space ------------------------------------------------------------

// Values kept through each kind of root survive with their contents; dropped
// ones give their space back.
TEST(Collector, SurvivorsStayIntactAndDeadSpaceIsReclaimed) {
    for (bool stress : {false, true}) {
        SCOPED_TRACE(stress ? "stress" : "normal");
        Switches sw(stress);
        std::string tag = stress ? "s" : "n";
        collector::collect();

        // one graph in a Rooted local, one on the data stack, one in the root block
        gc::Rooted rooted(Graph::build(tag + "r"));
        Cell on_stack = Graph::build(tag + "d");
        Cell* stack_cell = stack::push(&on_stack);
        Cell in_root = Graph::build(tag + "b");
        copy_cell(&in_root, block::add_cell(&runtime::root));
        int32_t root_pos = block::length(&runtime::root) - 1;

        Graph::build(tag + "x");  // dropped at once
        uint64_t garbage = make_garbage(200, 100);
        double before = in_use();
        collector::collect();
        double after = in_use();
        EXPECT_LE(after + double(garbage), before) << "the dropped blocks' space came back";

        EXPECT_TRUE(Graph::intact(rooted.cell, tag + "r"));
        EXPECT_TRUE(Graph::intact(*stack_cell, tag + "d"));
        EXPECT_TRUE(Graph::intact(*at(runtime::root, root_pos), tag + "b"));
        EXPECT_EQ(collector::check_heap(), "");

        // a second cycle keeps them too (every mark was cleared by the first)
        collector::collect();
        EXPECT_TRUE(Graph::intact(rooted.cell, tag + "r"));
        EXPECT_TRUE(Graph::intact(*at(runtime::root, root_pos), tag + "b"));

        block::ks_remove_last(&runtime::root);
        stack::pop(1);
    }
}

// Cells above the data stack's top are dead, whatever they name.
TEST(Collector, DataStackCountsOnlyUpToItsTop) {
    Switches sw(false);
    collector::collect();
    Cell big;
    block::make_at(&big, 4000);
    for (int32_t i = 0; i < 4000; i++) append(&big, integer(i));
    stack::push(&big);
    stack::pop(1);  // the cell stays in memory above the top
    double before = in_use();
    collector::collect();
    EXPECT_LE(in_use() + 4000 * 16, before);
    EXPECT_EQ(collector::check_heap(), "");
}

// Marking does not recurse: a very deep nesting survives.
TEST(Collector, DeepNestingIsMarkedWithoutRecursion) {
    for (bool stress : {false, true}) {
        Switches sw(stress);
        constexpr int32_t DEPTH = 200000;
        gc::Rooted top;
        block::make_at(top.get(), 1);
        {
            gc::Rooted inner(top.cell);
            for (int32_t i = 0; i < DEPTH; i++) {
                gc::Rooted next;
                block::make_at(next.get(), 1);
                append(inner.get(), next.cell);
                inner.cell = next.cell;
            }
            append(inner.get(), integer(77));
        }
        collector::collect();
        Cell c = top.cell;
        for (int32_t i = 0; i < DEPTH; i++) c = *at(c, 0);
        EXPECT_EQ(int32_t(at(c, 0)->data2), 77);
    }
}

// A symbol made after one cycle still has its name after the next: the
// symbol block (a fixed buffer) loses its mark at the end of every cycle.
TEST(Collector, FixedBuffersAreMarkedAgainEveryCycle) {
    Switches sw(false);
    collector::collect();
    int32_t id = symbol::make("made-between-cycles");
    symbol::get(id);  // its cached string too
    for (int i = 0; i < 3; i++) collector::collect();
    for (uint32_t i = 0; i < memory::root.fixed_count; i++)
        EXPECT_FALSE(memory::buffer_at(memory::fixed_buffer(i))->flags & memory::FLAG_MARK);
    EXPECT_EQ(symbol::name(id), "made-between-cycles");
    Cell* sym = symbol::cell(id);
    EXPECT_TRUE(owns_buffer(sym->data3));
    EXPECT_TRUE(owns_buffer(sym->data2));
    EXPECT_EQ(symbol::make("made-between-cycles"), id) << "the name is still found in the table";
    EXPECT_EQ(collector::check_heap(), "");
}

// ---- frames -----------------------------------------------------------------------------------

// A frame left with no live buffer goes back to the system unless it is the
// last one; live buffers of a later frame move down into earlier room; a dead
// big frame is freed and a live one stays.
TEST(Collector, EmptyFramesAndDeadBigFramesAreReleased) {
    Switches sw(false);
    collector::collect();
    // Garbage into three new frames (the first two hold nothing else), then
    // one string to keep after more garbage in the third. Earlier tests may
    // have left holes in the arena, so new frames need not come in address
    // order: nothing below depends on it.
    std::vector<uint32_t> before = series_frames();
    auto garbage_into_new_frame = [] {
        size_t frames = series_frames().size();
        while (series_frames().size() == frames) make_garbage(1, 200);
    };
    for (int i = 0; i < 3; i++) garbage_into_new_frame();
    make_garbage(20, 200);
    gc::Rooted kept(text("kept across frames", 1));
    uint32_t kept_at = buffer_address(kept->data2);
    uint32_t kept_frame = frame_holding(kept_at);
    ASSERT_NE(kept_frame, 0u);
    std::vector<uint32_t> garbage_frames;
    for (uint32_t f : series_frames())
        if (f != kept_frame && std::count(before.begin(), before.end(), f) == 0) garbage_frames.push_back(f);
    ASSERT_EQ(garbage_frames.size(), 2u);

    gc::Rooted live_big;
    block::make_at(live_big.get(), int32_t(memory::BIG_THRESHOLD / 16));
    append(live_big.get(), integer(31));
    uint32_t live_big_buffer = buffer_address(live_big->data2);
    uint32_t dead_big_buffer = 0;
    {
        Cell dead;
        block::make_at(&dead, int32_t(memory::BIG_THRESHOLD / 16));
        dead_big_buffer = buffer_address(dead.data2);
    }
    ASSERT_TRUE(has_big_frame_of(live_big_buffer));
    ASSERT_TRUE(has_big_frame_of(dead_big_buffer));
    uint64_t total_before = memory::root.total;

    collector::collect();
    std::vector<uint32_t> after = series_frames();
    int checked = 0;
    for (uint32_t g : garbage_frames) {
        // the last frame stays, empty or not
        if (g == memory::root.series_tail) continue;
        EXPECT_EQ(std::count(after.begin(), after.end(), g), 0) << "a garbage-only frame was released";
        checked++;
    }
    EXPECT_GE(checked, 1) << "at most one of them is the last frame";
    EXPECT_TRUE(has_big_frame_of(live_big_buffer));
    EXPECT_FALSE(has_big_frame_of(dead_big_buffer));
    EXPECT_LT(memory::root.total, total_before - memory::BIG_THRESHOLD);
    EXPECT_EQ(string::to_utf8(kept.get()), "kept across frames");
    // into the frame before it when that one has room, else to the start of its own
    EXPECT_LT(buffer_address(kept->data2), kept_at) << "the live string moved down";
    EXPECT_EQ(int32_t(at(live_big.cell, 0)->data2), 31);
    EXPECT_EQ(memory::root.series_tail, after.back());
    EXPECT_EQ(collector::check_heap(), "");
}

// The memory a workload builds and drops stays bounded when it collects.
TEST(Collector, BuildAndDropLoopRunsInBoundedMemory) {
    for (bool stress : {false, true}) {
        SCOPED_TRACE(stress ? "stress" : "normal");
        Switches sw(stress);
        collector::collect();
        uint64_t base = memory::root.total, peak = base;
        for (int round = 0; round < 40; round++) {
            for (int i = 0; i < 20; i++) {
                Cell g = Graph::build("loop");
                make_garbage(10, 64);
                (void)g;
            }
            gc::wanted = true;
            gc::safe_point();
            peak = std::max(peak, memory::root.total);
        }
        // stress mode keeps released frames for two more cycles
        EXPECT_LT(peak, base + (stress ? 24u : 8u) * 1024 * 1024);
    }
}

// ---- node evacuation --------------------------------------------------------------------------

// A sparse node frame whose use stayed the same over six collections is
// emptied into the other frames when they have room to spare, and what
// referenced its nodes keeps working; without that room it stays.
TEST(Collector, StableSparseNodeFramesAreEvacuated) {
    struct Case {
        bool room_elsewhere;
    };
    for (Case c : {Case{true}, Case{false}}) {
        SCOPED_TRACE(c.room_elsewhere ? "room" : "no room");
        Switches sw(false);
        collector::collect();
        gc::Rooted filler;
        block::make_at(filler.get(), 1);
        // room elsewhere: a fresh frame that one live value keeps from being released
        gc::Rooted keeper;
        memory::root.node_current = memory::new_node_frame(memory::NODES_PER_FRAME);
        string::make_at(keeper.get(), 1, 1);
        // a few live values whose nodes lie in a new frame of their own
        uint32_t sparse = memory::new_node_frame(memory::NODES_PER_FRAME);
        memory::root.node_current = sparse;
        gc::Rooted holder;
        block::make_at(holder.get(), 64);
        std::string tag = c.room_elsewhere ? "er" : "en";
        gc::Rooted graph(Graph::build(tag));
        gc::RootedNode ctx(at(graph.cell, 4)->data1);
        uint32_t old_holder_node = holder->data2;
        for (int32_t i = 0; i < 50; i++) append(holder.get(), text("x", 1));
        collector::collect();
        if (!c.room_elsewhere) {
            // leave the old frames one free node: the sparse frame is not the
            // current one, but the free nodes of all frames stay within one
            // frame's worth
            uint32_t free_elsewhere = 0;
            for (uint32_t f : node_frames()) {
                auto* nf = arena::ptr<memory::NodeFrame>(f);
                if (f != sparse) free_elsewhere += nf->count - nf->used;
            }
            ASSERT_GT(free_elsewhere, 1u);
            for (uint32_t i = 0; i < free_elsewhere - 1; i++) append(filler.get(), text("", 1));
            ASSERT_NE(memory::root.node_current, sparse);
        }
        uint32_t cycles_before = collector::nodes_cycles();
        // its use is the same from now on: six cycles to become stable, moved at the seventh
        for (int i = 0; i < 6; i++) collector::collect();
        std::vector<uint32_t> now = node_frames();
        EXPECT_EQ(std::count(now.begin(), now.end(), sparse), 1) << "not yet stable for six cycles";
        for (int i = 0; i < 2; i++) collector::collect();
        now = node_frames();
        bool gone = std::count(now.begin(), now.end(), sparse) == 0;
        EXPECT_EQ(gone, c.room_elsewhere);
        EXPECT_EQ(collector::nodes_cycles() > cycles_before, c.room_elsewhere);
        if (c.room_elsewhere) {
            EXPECT_NE(holder->data2, old_holder_node) << "the Rooted cell names the new node";
            EXPECT_GT(collector::nodes_moved_at(), 0u);
        }
        EXPECT_TRUE(owns_buffer(holder->data2));
        EXPECT_EQ(block::length(holder.get()), 50);
        EXPECT_EQ(string::to_utf8(at(holder.cell, 49)), "x");
        EXPECT_TRUE(Graph::intact(graph.cell, tag));
        EXPECT_EQ(ctx.node, at(graph.cell, 4)->data1) << "the RootedNode follows the context";
        EXPECT_EQ(collector::check_heap(), "");
    }
}

// When the current frame fills while a sparse frame is emptied, its nodes go
// on to the next frame with room. That frame may itself be sparse and stable:
// emptying it in the same cycle would move those nodes twice, and what named
// them would be left naming a slot of a released frame.
TEST(Collector, NodesMovedIntoAFrameAreNotMovedAgainInTheSameCycle) {
    Switches sw(false);
    collector::collect();
    gc::Rooted filler, near_full, first_sparse, last_sparse, dense;
    for (Cell* b : {filler.get(), near_full.get(), first_sparse.get(), last_sparse.get(), dense.get()})
        block::make_at(b, 16);
    // every frame there is now is filled, so that only the frames made below have room
    auto has_room = [](const std::vector<uint32_t>& frames) {
        for (uint32_t f : frames)
            if (arena::ptr<memory::NodeFrame>(f)->free) return true;
        return false;
    };
    std::vector<uint32_t> old_frames = node_frames();
    while (has_room(old_frames)) append(filler.get(), text("f", 1));
    auto fill = [](Cell* holder, uint32_t count, const char* tag) {
        for (uint32_t i = 0; i < count; i++) append(holder, text(tag, 1));
    };
    // the current frame at the next cycle: ten free nodes
    uint32_t current = memory::new_node_frame(memory::NODES_PER_FRAME);
    memory::root.node_current = current;
    fill(near_full.get(), memory::NODES_PER_FRAME - 10, "k");
    // two sparse frames: the one nearer the tail is emptied first, into the
    // current frame and then into the other
    uint32_t first = memory::new_node_frame(memory::NODES_PER_FRAME);
    memory::root.node_current = first;
    fill(first_sparse.get(), 50, "a");
    uint32_t last = memory::new_node_frame(memory::NODES_PER_FRAME);
    memory::root.node_current = last;
    fill(last_sparse.get(), 50, "b");
    // a big frame too full to be emptied, whose room lets both be emptied
    uint32_t big = memory::new_node_frame(4 * memory::NODES_PER_FRAME);
    memory::root.node_current = big;
    fill(dense.get(), 5000, "d");
    auto present = [](uint32_t frame) {
        std::vector<uint32_t> now = node_frames();
        return std::find(now.begin(), now.end(), frame) != now.end();
    };
    // six cycles for the sparse frames' use to count as stable, emptied at the seventh
    for (int i = 0; i < 9 && present(last); i++) collector::collect();
    ASSERT_FALSE(present(last)) << "the last sparse frame was never emptied";
    ASSERT_TRUE(present(current));
    ASSERT_EQ(collector::check_heap(), "");
    struct Held {
        gc::Rooted* holder;
        int32_t count;
        const char* tag;
    };
    for (Held h : {Held{&last_sparse, 50, "b"}, Held{&first_sparse, 50, "a"}, Held{&dense, 5000, "d"}}) {
        ASSERT_EQ(block::length(h.holder->get()), h.count);
        for (int32_t i = 0; i < h.count; i++) {
            Cell* s = at(h.holder->cell, i);
            ASSERT_TRUE(owns_buffer(s->data2)) << h.tag << " " << i;
            ASSERT_EQ(string::to_utf8(s), h.tag) << i;
        }
    }
}

// ---- external resources -----------------------------------------------------------------------

namespace {
std::vector<uintptr_t> released;
void record_release(uintptr_t v) { released.push_back(v); }
}  // namespace

// A handle!'s resource goes exactly once, at the first cycle after its owner died.
TEST(Collector, ResourcesOfDeadOwnersAreReleasedOnce) {
    for (bool stress : {false, true}) {
        Switches sw(stress);
        released.clear();
        int kind = ext_res::add_kind(0, &record_release);
        int32_t kept = ext_res::register_resource(1001, uint32_t(kind));
        int32_t dropped = ext_res::register_resource(1002, uint32_t(kind));
        gc::Rooted holder;
        block::make_at(holder.get(), 2);
        append(holder.get(), Cell{uint32_t(TYPE_HANDLE), 0, 0, uint32_t(kept)});
        {
            Cell garbage;
            block::make_at(&garbage, 1);
            append(&garbage, Cell{uint32_t(TYPE_HANDLE), 0, 0, uint32_t(dropped)});
        }
        for (int i = 0; i < 3; i++) collector::collect();
        EXPECT_EQ(released, std::vector<uintptr_t>{1002});
        EXPECT_TRUE(ext_res::registry().in_use(kept));
        block::ks_clear(holder.get());
        for (int i = 0; i < 3; i++) collector::collect();
        EXPECT_EQ(released, (std::vector<uintptr_t>{1002, 1001}));
        EXPECT_TRUE(ext_res::registry().well_formed());
    }
}

namespace {
// The runtime's own ownership table while a test puts another in its place.
uint32_t set_aside = 0;
void mark_set_aside() { collector::mark_table(&set_aside); }
}  // namespace

// The ownership table keeps neither owned series nor owners alive: a record
// goes when either died, and the survivors follow their moved nodes.
TEST(Collector, OwnershipRecordsDieWithTheirSeriesOrOwner) {
    static bool registered = false;
    if (!registered) {
        gc::add_mark_callback(&mark_set_aside);
        registered = true;
    }
    for (bool stress : {false, true}) {
        SCOPED_TRACE(stress ? "stress" : "normal");
        Switches sw(stress);
        set_aside = ownership::table;
        ownership::table = hashtable::make(8, nullptr, hashtable::OWNERSHIP, 3);
        gc::Rooted live_series(text("owned", 1));
        gc::RootedNode live_owner(context::create(2, false, false, 0, context::OBJECT));
        auto own = [](const Cell& series, uint32_t owner) {
            Cell* v = hashtable::put_key(ownership::table, series.data2);
            v[0] = series;
            v[1] = Cell{uint32_t(TYPE_OBJECT), owner, 1000001, 0};
            v[2] = word_of("field");
        };
        own(live_series.cell, live_owner.node);
        own(text("dead series", 1), live_owner.node);
        gc::Rooted orphan(text("owner died", 1));
        own(orphan.cell, context::create(2, false, false, 0, context::OBJECT));
        collector::collect();
        hashtable::Table* r = hashtable::record(ownership::table);
        EXPECT_EQ(r->live, 1);
        Cell* v = hashtable::get_key(ownership::table, live_series->data2);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v[0].data2, live_series->data2) << "the record's copy follows the node";
        EXPECT_EQ(v[1].data1, live_owner.node);
        EXPECT_EQ(hashtable::get_key(ownership::table, orphan->data2), nullptr);
        EXPECT_EQ(string::to_utf8(live_series.get()), "owned");
        EXPECT_EQ(collector::check_heap(), "");
        ownership::table = set_aside;
        set_aside = 0;
    }
}

// ---- safe points, recycle ---------------------------------------------------------------------

TEST(Collector, SafePointsCollectOnlyWhenWantedAndSwitchedOn) {
    struct Case {
        bool stress, active, wanted, collects;
    } cases[] = {
        {false, true, true, true},  {false, true, false, false}, {false, false, true, false},
        {true, true, false, true},  {true, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stress << c.active << c.wanted);
        Switches sw(c.stress, c.active);
        gc::wanted = c.wanted;
        uint32_t before = collector::cycles();
        gc::safe_point();
        EXPECT_EQ(collector::cycles() != before, c.collects);
        if (c.collects) {
            EXPECT_FALSE(gc::wanted);
        }
        gc::wanted = false;
    }
}

// recycle collects even with collections switched off, and answers what stats answers.
TEST(Collector, RecycleCollectsWhileSwitchedOff) {
    Switches sw(false);
    collector::switch_on(false);
    make_garbage(100, 50);
    double before = in_use();
    uint32_t cycles = collector::cycles();
    double answer = collector::recycle();
    EXPECT_EQ(collector::cycles(), cycles + 1);
    EXPECT_FALSE(gc::active) << "recycle leaves the switch as it was";
    EXPECT_EQ(answer, in_use());
    EXPECT_LT(answer, before);
    collector::switch_on(true);
    EXPECT_TRUE(gc::active);
}

// ---- marking from hooks and the cycle stack ----------------------------------------------------

namespace {
Cell module_root{uint32_t(TYPE_NONE), 0, 0, 0};
void mark_module_root() { collector::mark_value(&module_root); }
}  // namespace

// A module's mark callback keeps its values; a node on the cycle stack is kept
// and followed when nodes move.
TEST(Collector, CallbacksAndTheCycleStackKeepTheirNodes) {
    for (bool stress : {false, true}) {
        Switches sw(stress);
        static bool registered = false;
        if (!registered) {
            gc::add_mark_callback(&mark_module_root);
            registered = true;
        }
        module_root = text("held by a module", 2);
        mold::CycleGuard guard;
        Cell walked;
        block::make_at(&walked, 2);
        append(&walked, integer(5));
        mold::cycle_push(walked.data2);
        collector::collect();
        EXPECT_EQ(string::to_utf8(&module_root), "held by a module");
        uint32_t entry = mold::cycle_entries()[mold::cycle_depth() - 1];
        EXPECT_TRUE(owns_buffer(entry));
        EXPECT_EQ(int32_t(memory::buffer_of(entry)->cells()->data2), 5);
        module_root = Cell{uint32_t(TYPE_NONE), 0, 0, 0};
    }
}

// Every type id has a rule; the references of each kind of cell are found.
TEST(Collector, ReferenceTableCoversEveryTypeId) {
    for (uint32_t t = 0; t < uint32_t(TYPE_ID_ROOM); t++) EXPECT_NE(collector::rule_of(t), collector::Rule::UNKNOWN) << t;
    for (uint32_t t : {57u, 100u, 255u}) EXPECT_EQ(collector::rule_of(t), collector::Rule::UNKNOWN);
    struct Case {
        Cell cell;
        std::vector<int> words;  // payload words (1-3) holding nodes, in order
    } cases[] = {
        {{TYPE_BLOCK, 0, 0x100, 0}, {2}},
        {{TYPE_STRING, 0, 0x100, 0x200}, {2, 3}},
        {{TYPE_STRING, 0, 0x100, 0}, {2}},
        {{TYPE_SYMBOL, 0xFFFFFFFF, 0, 0x300}, {3}},
        {{TYPE_CONTEXT, 0x10, 0x20, 0}, {1, 2}},
        {{TYPE_CONTEXT | context::FLAG_ON_STACK, 0x10, 0x20, 0}, {1}},
        {{TYPE_WORD, 0x10, 5, 1}, {1}},
        {{TYPE_WORD, 0, 5, 0xFFFFFFFF}, {}},
        {{TYPE_FUNCTION, 0x10, 0x20, 0x30}, {1, 2, 3}},
        {{TYPE_OP | (TYPE_FUNCTION << 16), 0x10, 0x20, 0x30}, {1, 2, 3}},
        {{TYPE_OP | (TYPE_NATIVE << 16), 4, 0x20, 0x30}, {2, 3}},
        {{TYPE_OBJECT, 0x10, 1000001, 0}, {1}},
        {{TYPE_HASH, 0, 0x20, 0x30}, {2, 3}},
        {{TYPE_MAP, 0, 0x20, 0x30}, {2, 3}},
        {{TYPE_EVENT, 0, 0x20, 0}, {}},
        {{TYPE_EVENT | collector::EVENT_MADE, 0, 0x20, 0}, {2}},
        {{TYPE_HANDLE, 0, 0, 3}, {}},
        {{TYPE_INTEGER, 0, 0x100, 0}, {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.cell.header);
        collector::Reference refs[3];
        int n = collector::references(&c.cell, refs);
        std::vector<int> words;
        for (int i = 0; i < n; i++) words.push_back(int(refs[i].holder - &c.cell.header));
        std::sort(words.begin(), words.end());
        EXPECT_EQ(words, c.words);
    }
}
