#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/heap.hpp"
#include "tests/unit/output_capture.hpp"

using namespace kro;

namespace {

std::string dump_text() {
    test::CapturedOutput out;
    heap::dump();
    return out.take();
}

// The per-block lines of the dump ("asked<TAB>real"), oldest first.
std::vector<std::string> dump_entries() {
    std::istringstream in(dump_text());
    std::vector<std::string> lines;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line == "Asked Real") inside = true;
        else if (line.rfind("-- Sum: ", 0) == 0) inside = false;
        else if (inside) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> last_entries(size_t n) {
    auto all = dump_entries();
    if (all.size() < n) return all;
    return {all.end() - long(n), all.end()};
}

std::string entry(uint32_t asked) { return std::to_string(asked) + "\t" + std::to_string(asked + 16); }

}  // namespace

TEST(Heap, AllocationsAreAlignedCountedAndZeroedOnRequest) {
    for (size_t size : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17), size_t(1000)}) {
        SCOPED_TRACE(size);
        size_t blocks = heap::block_count(), asked = heap::asked_bytes();
        auto* p = static_cast<uint8_t*>(heap::alloc_zeroed(size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        for (size_t i = 0; i < size; i++) ASSERT_EQ(p[i], 0) << "byte " << i;
        EXPECT_EQ(heap::block_count(), blocks + 1);
        EXPECT_EQ(heap::asked_bytes(), asked + size);
        EXPECT_EQ(last_entries(1), std::vector<std::string>{entry(uint32_t(size))});
        heap::free(p);
        EXPECT_EQ(heap::block_count(), blocks);
        EXPECT_EQ(heap::asked_bytes(), asked);
    }
}

TEST(Heap, ResizeOfNullIsAFreshBlockAtTheTail) {
    size_t blocks = heap::block_count();
    void* p = heap::resize(nullptr, 41);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(heap::block_count(), blocks + 1);
    EXPECT_EQ(last_entries(1), std::vector<std::string>{entry(41)});
    heap::free(p);
}

TEST(Heap, ResizeToZeroFreesTheBlock) {
    size_t blocks = heap::block_count();
    void* p = heap::alloc(10);
    EXPECT_EQ(heap::resize(p, 0), nullptr);
    EXPECT_EQ(heap::block_count(), blocks);
    EXPECT_NE(last_entries(1), std::vector<std::string>{entry(10)});
}

TEST(Heap, ResizeKeepsContentAndPlaceInTheList) {
    void* a = heap::alloc(11);
    auto* b = static_cast<uint8_t*>(heap::alloc(22));
    void* c = heap::alloc(33);
    for (int i = 0; i < 22; i++) b[i] = uint8_t(0xA0 + i);

    auto* grown = static_cast<uint8_t*>(heap::resize(b, 100000));
    for (int i = 0; i < 22; i++) ASSERT_EQ(grown[i], 0xA0 + i);
    EXPECT_EQ(last_entries(3), (std::vector<std::string>{entry(11), entry(100000), entry(33)}));

    auto* shrunk = static_cast<uint8_t*>(heap::resize(grown, 5));
    for (int i = 0; i < 5; i++) ASSERT_EQ(shrunk[i], 0xA0 + i);
    EXPECT_EQ(last_entries(3), (std::vector<std::string>{entry(11), entry(5), entry(33)}));

    heap::free(a);
    heap::free(shrunk);
    heap::free(c);
}

TEST(Heap, FreeingTheTailMovesTheTailToItsNeighbour) {
    auto before = dump_entries();
    void* a = heap::alloc(7);
    void* b = heap::alloc(8);
    heap::free(b);
    EXPECT_EQ(last_entries(1), std::vector<std::string>{entry(7)});
    void* c = heap::alloc(9);  // links after the new tail
    EXPECT_EQ(last_entries(2), (std::vector<std::string>{entry(7), entry(9)}));
    heap::free(a);  // a block in the middle
    EXPECT_EQ(last_entries(1), std::vector<std::string>{entry(9)});
    heap::free(c);
    EXPECT_EQ(dump_entries(), before);
}

TEST(Heap, AddressesNotMadeHereAreIgnored) {
    void* mine = heap::alloc(64);
    std::string before = dump_text();
    size_t blocks = heap::block_count();

    int local = 0;
    void* foreign = std::malloc(64);
    heap::free(&local);
    heap::free(foreign);
    heap::free(static_cast<uint8_t*>(mine) + 16);  // inside one of ours, not its start
    heap::free(nullptr);
    EXPECT_EQ(heap::block_count(), blocks);
    EXPECT_EQ(dump_text(), before);

    heap::free(mine);
    heap::free(mine);  // a second free of the same block is ignored too
    EXPECT_EQ(heap::block_count(), blocks - 1);
    std::free(foreign);
}

TEST(Heap, DumpSumsTheRealSizes) {
    void* p = heap::alloc(100);
    std::string text = dump_text();
    size_t expected = heap::asked_bytes() + 16 * heap::block_count();
    EXPECT_EQ(text.rfind("-- Heap-allocations --\nAsked Real\n", 0), 0u);
    EXPECT_NE(text.find("-- Sum: " + std::to_string(expected) + " --\n"), std::string::npos) << text;
    heap::free(p);
}

TEST(HeapDeathTest, ResizingABlockNotMadeHereIsFatal) {
    static int local[4];
    EXPECT_EXIT(heap::resize(local, 32), ::testing::ExitedWithCode(98), "");
}

namespace {
// Runs in a child process: free_all takes the runtime's own tables with it.
std::string free_all_then_check_list_edges() {
    std::string problems;
    auto expect = [&](bool ok, const char* what) {
        if (!ok) problems += std::string(what) + "\n";
    };
    heap::free_all();
    expect(heap::block_count() == 0, "blocks left after free_all");
    std::string dump = dump_text();
    if (dump != "-- Heap-allocations --\nAsked Real\n-- Sum: 0 --\n") problems += "dump after free_all:\n" + dump;

    void* a = heap::alloc(11);
    void* b = heap::alloc(22);
    void* c = heap::alloc(33);
    heap::free(a);  // the head: the list starts at its neighbour
    expect(dump_entries() == std::vector<std::string>{entry(22), entry(33)}, "after freeing the head");
    heap::free(c);  // the tail
    expect(dump_entries() == std::vector<std::string>{entry(22)}, "after freeing the tail");
    heap::free(b);  // the only block: head and tail both empty
    expect(dump_text() == "-- Heap-allocations --\nAsked Real\n-- Sum: 0 --\n", "after freeing the only block");
    void* d = heap::alloc(5);  // an empty list takes a block again
    void* e = heap::alloc(6);
    expect(dump_entries() == std::vector<std::string>{entry(5), entry(6)}, "after refilling");
    expect(dump_text().find("-- Sum: 43 --") != std::string::npos, "sum after refilling");
    heap::free(d);
    heap::free(e);
    return problems;
}
}  // namespace

TEST(HeapDeathTest, FreeAllEmptiesTheListAndItsEdgesHold) {
    EXPECT_EXIT(
        {
            std::string problems = free_all_then_check_list_edges();
            std::fputs(problems.c_str(), stderr);
            std::fflush(stderr);
            std::_Exit(problems.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
