#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/array.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"

using namespace kro;

namespace {

std::vector<int32_t> ints(uint32_t node) {
    std::vector<int32_t> v;
    for (uint32_t i = 1; i <= array::length(node); i++) v.push_back(array::pick_int(node, i));
    return v;
}

uint32_t int_array(std::initializer_list<int32_t> values) {
    uint32_t node = array::make(uint32_t(values.size()), 4);
    for (int32_t v : values) array::append_int(node, v);
    return node;
}

}  // namespace

TEST(Array, ReserveTailAnswersTheOldTailAndGrowsByPolicy) {
    struct Case {
        uint32_t size;    // data bytes to start with
        uint32_t used;    // bytes already in use
        uint32_t n;       // bytes reserved
        bool moves;
        uint32_t least;   // smallest acceptable new size
    } cases[] = {
        {64, 16, 32, false, 64},      // fits: nothing moves
        {64, 48, 32, true, 128},      // default growth: twice the size
        {64, 48, 200, true, 64 + 400},  // n above the size: grows by 2 x n
        {0, 0, 4, true, 8},           // an empty buffer grows too
    };
    for (const Case& c : cases) {
        uint32_t node = memory::new_series(c.size, 1, 0);
        memory::Buffer* b = memory::buffer_of(node);
        for (uint32_t i = 0; i < c.used; i++) b->data()[i] = uint8_t(i + 1);
        b->tail = c.used;
        uint32_t before = memory::node_slot(node);
        uint32_t at = series::reserve_tail(b, c.n);
        b = memory::buffer_of(node);
        EXPECT_EQ(at, c.used);
        EXPECT_EQ(b->tail, c.used + c.n);
        EXPECT_EQ(memory::node_slot(node) != before, c.moves) << "size " << c.size << " n " << c.n;
        EXPECT_GE(b->size, c.least);
        EXPECT_LE(b->tail, b->size);
        for (uint32_t i = 0; i < c.used; i++) ASSERT_EQ(b->data()[i], uint8_t(i + 1));
    }
}

TEST(Array, AppendsKeepEveryElementAcrossGrowth) {
    uint32_t node = array::make(0, 4);
    EXPECT_EQ(array::flags(node) & memory::UNIT_MASK, 4u);
    for (int32_t i = 0; i < 5000; i++) array::append_int(node, i * 3 - 7);
    ASSERT_EQ(array::length(node), 5000u);
    for (uint32_t i = 1; i <= 5000; i++) ASSERT_EQ(array::pick_int(node, i), int32_t(i - 1) * 3 - 7);

    uint32_t ptrs = array::make(1, 4);
    array::append_ptr(ptrs, 0xFFFFFFF0u);
    array::append_ptr(ptrs, 0x10000u);
    EXPECT_EQ(array::pick(ptrs, 1), 0xFFFFFFF0u);
    EXPECT_EQ(array::pick(ptrs, 2), 0x10000u);

    uint32_t bytes = array::make(2, 1);
    for (int i = 0; i < 300; i++) array::append_byte(bytes, uint8_t(i));
    EXPECT_EQ(array::length(bytes), 300u);
    EXPECT_EQ(array::pick_byte(bytes, 1), 0u);
    EXPECT_EQ(array::pick_byte(bytes, 300), uint8_t(299));

    uint32_t wide = array::make(1, 16);
    uint8_t element[16];
    for (int i = 0; i < 40; i++) {
        std::memset(element, i, 16);
        array::append_bytes(wide, element, 16);
    }
    EXPECT_EQ(array::length(wide), 40u);
    EXPECT_EQ(array::pick_byte(wide, 40), 39u);
}

TEST(Array, AppendingBytesOfTheArrayItselfSurvivesTheMove) {
    uint32_t node = array::make(16, 1);
    for (int i = 0; i < 16; i++) array::append_byte(node, uint8_t('a' + i));
    memory::Buffer* b = memory::buffer_of(node);
    ASSERT_EQ(b->free_bytes(), 0u);
    array::append_bytes(node, b->head_ptr(), 16);  // full: the buffer moves while copying from it
    ASSERT_EQ(array::length(node), 32u);
    for (uint32_t i = 1; i <= 32; i++) ASSERT_EQ(array::pick_byte(node, i), uint8_t('a' + (i - 1) % 16));
}

TEST(Array, SetLengthKeepsOneElementFewer) {
    struct Case {
        uint32_t n;
        std::vector<int32_t> expected;
    } cases[] = {
        {1, {}},
        {0, {}},  // no tail before the first element
        {3, {10, 20}},
        {5, {10, 20, 30, 40}},
        {7, {10, 20, 30, 40, 0, 0}},  // longer: zeroed elements
    };
    for (const Case& c : cases) {
        uint32_t node = int_array({10, 20, 30, 40});
        array::set_length(node, c.n);
        EXPECT_EQ(ints(node), c.expected) << "n = " << c.n;
    }
    uint32_t node = int_array({1, 2, 3});
    array::clear(node);
    EXPECT_EQ(array::length(node), 0u);
}

TEST(Array, FindInsertAndRemove) {
    uint32_t node = int_array({5, 6, 7, 6});
    EXPECT_EQ(array::find_int(node, 6), 4);
    EXPECT_EQ(array::find_int(node, 5), 0);
    EXPECT_EQ(array::find_int(node, 99), -1);
    EXPECT_EQ(array::find_pointer(node, 7u), 8);

    array::remove_pointer(node, 99u);  // absent: unchanged
    EXPECT_EQ(ints(node), (std::vector<int32_t>{5, 6, 7, 6}));
    array::remove_pointer(node, 6u);  // the first one only
    EXPECT_EQ(ints(node), (std::vector<int32_t>{5, 7, 6}));
    array::remove_bytes(node, 0, 4);
    EXPECT_EQ(ints(node), (std::vector<int32_t>{7, 6}));

    array::insert_int(node, 0, 1);
    array::insert_int(node, 2, 2);
    array::insert_int(node, 4, 3);  // at the length: appends
    EXPECT_EQ(ints(node), (std::vector<int32_t>{1, 7, 2, 6, 3}));

    array::poke_int(node, 2, -8);
    EXPECT_EQ(array::pick_int(node, 2), -8);

    // Inserting into a full buffer doubles it.
    uint32_t full = array::make(4, 4);
    for (int32_t i = 0; i < 4; i++) array::append_int(full, i);
    uint32_t size = memory::buffer_of(full)->size;
    ASSERT_EQ(memory::buffer_of(full)->free_bytes(), 0u);
    array::insert_int(full, 1, 100);
    EXPECT_EQ(memory::buffer_of(full)->size, 2 * size);
    EXPECT_EQ(ints(full), (std::vector<int32_t>{0, 100, 1, 2, 3}));
}

TEST(Array, CopyIsIndependent) {
    uint32_t node = int_array({1, 2, 3});
    uint32_t twin = array::copy(node);
    array::poke_int(node, 1, 9);
    EXPECT_EQ(ints(twin), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(array::flags(twin) & memory::UNIT_MASK, 4u);
}

TEST(Array, PositionsOutsideTheArrayRaiseOutOfRange) {
    uint32_t node = int_array({1, 2});
    auto raises = [](auto&& f) {
        bool thrown = false;
        try {
            f();
        } catch (const Thrown&) {
            thrown = last_raised().category == "script" && last_raised().id == "out-of-range";
        }
        return thrown;
    };
    EXPECT_TRUE(raises([&] { array::pick_int(node, 0); }));
    EXPECT_TRUE(raises([&] { array::pick_int(node, 3); }));
    EXPECT_TRUE(raises([&] { array::poke_int(node, 3, 1); }));
    EXPECT_TRUE(raises([&] { array::insert_int(node, 3, 1); }));
    EXPECT_TRUE(raises([&] { array::remove_bytes(node, 4, 8); }));
    EXPECT_EQ(ints(node), (std::vector<int32_t>{1, 2}));
}

TEST(ArrayDeathTest, UnitThatIsNotAPowerOfTwoIsRuntimeError101) {
    EXPECT_EXIT(array::make(4, 3), testing::ExitedWithCode(101), "");
}
