// A program that fills the arena gets the language's no-memory error, which it
// can catch; the heap stays sound and serves again once the data is dropped.
// The arena's limit is lowered here so that it fills within a second.
#include <gtest/gtest.h>

#include "foundation/arena.hpp"
#include "foundation/collector.hpp"
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

// Room for the program's data beyond what the process holds now.
void limit_arena(uint64_t room) { arena::set_commit_limit(arena::committed_bytes() + arena::ROOM_KEPT + room); }

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
        limit_arena(24u << 20);
        std::string program = std::string("oom-r: try [") + fill + "] oom-r/id";
        // twice in a row: the second time the kept room may be open already
        EXPECT_EQ(run(program), "no-memory");
        EXPECT_EQ(run(program), "no-memory");
        EXPECT_EQ(run("oom: oom-r: none"), "none");
        collector::collect();
        EXPECT_FALSE(arena::room_open) << "a collection that freed the data closes the kept room";
        EXPECT_EQ(collector::check_heap(), "");
        EXPECT_EQ(run("oom: copy [] loop 10000 [append oom copy \"xyz\"] length? oom"), "10000");
        EXPECT_EQ(run("oom: none"), "none");
        collector::collect();
        arena::set_commit_limit(arena::RESERVE);
    }
}
