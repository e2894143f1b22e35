// A program that fills the arena gets the language's no-memory error, which it
// can catch; the heap stays sound and serves again once the data is dropped.
// The arena's limit is lowered here so that it fills within a second.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/arena.hpp"
#include "datatypes/string.hpp"
#include "foundation/collector.hpp"
#include "foundation/memory.hpp"
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

// Room for the program's data beyond what the process holds now.
void limit_arena(uint64_t room) { arena::set_commit_limit(arena::committed_bytes() + arena::ROOM_KEPT + room); }

// A fill takes hundreds of thousands of steps: a collection at each (the
// stress mode) would take hours, and what matters here is where memory runs out.
struct NoStress {
    bool was = gc::stress;
    NoStress() { gc::stress = false; }
    ~NoStress() { gc::stress = was; }
};

// Runs a program `times` times in a row with `room` bytes of arena to spare,
// then lifts the limit (the stress mode's collections copy the whole heap).
// Answers each run's result.
std::vector<std::string> run_short_of_memory(const std::string& program, uint64_t room, int times = 1) {
    limit_arena(room);
    std::vector<std::string> results;
    {
        NoStress fill;
        for (int i = 0; i < times; i++) results.push_back(run(program));
    }
    arena::set_commit_limit(arena::RESERVE);
    return results;
}

// Takes the nodes left free, so that the next one needs a new node frame.
void take_every_free_node() {
    for (;;) {
        bool any = false;
        for (uint32_t o = memory::root.node_head; o; o = arena::ptr<memory::NodeFrame>(o)->next) {
            auto* nf = arena::ptr<memory::NodeFrame>(o);
            any = any || (nf->free && !nf->evacuated);
        }
        if (!any) return;
        memory::alloc_node();
    }
}

}  // namespace

// The cases fail in different allocations: small buffers in fresh frames
// (the block holding them made big beforehand), a block's growth, one
// buffer bigger than what is left, node frames for many tiny strings.
TEST(OutOfMemory, RaisesNoMemoryThatCanBeCaughtAndTheHeapStaysSound) {
    const char* fills[] = {
        "oom: make block! 1000000 forever [append oom copy \"abc\"]",
        "oom: copy [] forever [append oom 1]",
        "oom: make binary! 200000000",
        "oom: make block! 2000000 forever [append oom make string! 0]",
    };
    for (const char* fill : fills) {
        SCOPED_TRACE(fill);
        // twice in a row: the second time the kept room may be open already
        // each time an error of its own, telling where it was raised
        std::string program =
            std::string("oom-r: try [") + fill + "] reduce [oom-r/id type? oom-r/where type? oom-r/near]";
        EXPECT_EQ(run_short_of_memory(program, 24u << 20, 2),
                  std::vector<std::string>(2, "[no-memory word! block!]"));
        EXPECT_EQ(run("oom: oom-r: none"), "none");
        collector::collect();
        EXPECT_FALSE(arena::room_open) << "a collection that freed the data closes the kept room";
        EXPECT_EQ(collector::check_heap(), "");
        EXPECT_EQ(run("oom: copy [] loop 100 [append oom copy \"xyz\"] length? oom"), "100");
        EXPECT_EQ(run("oom: none"), "none");
        collector::collect();
    }
}

// A copy carves its buffer out of the current frame before it takes a node.
// When no node can be had, the carved buffer is garbage, and the next
// collection must not take the bytes left there by an earlier buffer (here
// a live string's node, as compaction leaves them past a frame's heap) for
// its node and free that.
TEST(OutOfMemory, ACopyWithoutANodeLeavesNoClaimOnAnotherSeries) {
    gc::Rooted live;
    string::make_at(live.get(), 16, 1);
    string::append_utf8(live.get(), "still here");
    collector::collect();
    uint32_t node = live->data2;
    memory::SeriesFrame* f = arena::ptr<memory::SeriesFrame>(memory::root.series_current);
    ASSERT_TRUE(f && uint64_t(f->heap) + 256 < f->tail);
    memory::buffer_at(f->heap)->node = node;
    // no free node left, and no room for another node frame
    limit_arena(0);
    take_every_free_node();
    const uint8_t text[] = "abc";
    uint32_t caught = frame::catch_region(code::ERROR, [&] { memory::new_series_copy(text, 3, 1, 0); });
    EXPECT_EQ(caught, code::ERROR);
    EXPECT_EQ(last_raised().id, "no-memory");
    arena::set_commit_limit(arena::RESERVE);
    collector::collect();
    EXPECT_EQ(collector::check_heap(), "");
    EXPECT_EQ(string::to_utf8(live.get()), "still here");
}

// When not even the kept room can hold the error (used up by errors kept
// earlier, or pages the system refuses), the one made at start is raised in
// its place, telling where (the call of oom-f, whose locals could not be
// made); the process goes on and the heap stays sound.
TEST(OutOfMemory, WithNoRoomLeftForTheErrorTheOneMadeAtStartIsRaised) {
    EXPECT_EQ(run("oom-f: func [s] [append copy s \"!\"] oom-e: none"), "none");
    gc::Rooted twice(load("oom-e: try [oom-f \"abc\"] oom-e2: try [oom-f \"abc\"]"));
    collector::collect();
    // no free node left and no page to be had, the room open already
    arena::room_open = true;
    arena::set_commit_limit(arena::committed_bytes());
    take_every_free_node();
    Cell* top = stack::top_ptr;
    uint32_t caught = 0;
    {
        NoStress full;
        bool was = gc::active;
        gc::active = false;  // the collection that the first refusal asks for would free the nodes again
        caught = frame::catch_region(code::ERROR, [&] { interp::eval_block(twice.get(), false); });
        gc::active = was;
    }
    stack::top_ptr = top;
    arena::set_commit_limit(arena::RESERVE);
    EXPECT_EQ(caught, 0u) << last_raised().category << "/" << last_raised().id;
    collector::collect();
    EXPECT_EQ(collector::check_heap(), "");
    EXPECT_EQ(run("reduce [oom-e/id oom-e/where oom-e/near same? oom-e oom-e2]"),
              "[no-memory oom-f [oom-f \"abc\"] true]");
    EXPECT_EQ(global("oom-e").data1, error::spare_no_memory()->data1) << "the error made at start";
    // with room again, an error of its own
    EXPECT_EQ(run("oom-e: try [append/dup copy [] 1 2147483647] reduce [oom-e/where same? oom-e oom-e2]"),
              "[append false]");
    EXPECT_EQ(run("oom-f: oom-e: oom-e2: none"), "none");
}

// A hash! whose table cannot grow after its block has taken the new values
// still finds every value where a scan of the block would.
TEST(OutOfMemory, AHashStillFindsEveryValueAfterItsTableRanShort) {
    // inserts near the head move every value each time: they get less room,
    // so that their fill does not take quadratic minutes in slow builds
    struct Fill {
        const char* program;
        uint64_t room;
    } fills[] = {
        {"oom: make hash! [] r: try [repeat i 100000000 [append oom reduce [i form i]]]", 4u << 20},
        {"oom: make hash! [] r: try [repeat i 100000000 [insert oom reduce [i form i]]]", 1u << 20},
        {"oom: make hash! [] r: try [repeat i 100000000 [insert next oom i]]", 1u << 20},
    };
    for (const Fill& f : fills) {
        const char* fill = f.program;
        SCOPED_TRACE(fill);
        EXPECT_EQ(run_short_of_memory(std::string(fill) + " r/id", f.room), std::vector<std::string>{"no-memory"});
        collector::collect();
        EXPECT_EQ(collector::check_heap(), "");
        {
            NoStress scan;  // of some 30 000 values
            EXPECT_EQ(run("n: 0 forall oom [unless same? oom find head oom first oom [n: n + 1]] n"), "0");
            EXPECT_EQ(run("oom: head oom append oom 'last-one (index? find oom 'last-one) = length? oom"), "true");
        }
        EXPECT_EQ(run("oom: r: none"), "none");
        collector::collect();
    }
}
