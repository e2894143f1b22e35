#include <gtest/gtest.h>

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
