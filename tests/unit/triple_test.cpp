#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "block_fixtures.hpp"
#include "datatypes/triple.hpp"

using namespace kro;
using namespace kro::testing_blocks;

TEST(Triple, FormAndMoldWriteAMakeSpec) {
    struct Case {
        int32_t a, b, c;
        const char* text;
    } cases[] = {
        {1, -2, 3, "make triple! [1 -2 3]"},
        {0, 0, 0, "make triple! [0 0 0]"},
        {INT_MIN, INT_MAX, -1, "make triple! [-2147483648 2147483647 -1]"},
    };
    for (const Case& c : cases) {
        int32_t budget = 0;
        EXPECT_EQ(mold_text(triple::make(c.a, c.b, c.c), false, false, -1, &budget), c.text);
        EXPECT_EQ(budget, mold::NO_LIMIT - int32_t(std::string(c.text).size()));
        EXPECT_EQ(form_text(triple::make(c.a, c.b, c.c)), c.text);
    }
    Cell blk = block_of({triple::make(1, 2, 3), triple::make(4, 5, 6)});
    EXPECT_EQ(mold_text(blk), "[make triple! [1 2 3] make triple! [4 5 6]]");
    Cell* top = stack::top_ptr;
    Cell* t = triple::push(7, 8, 9);
    EXPECT_EQ(mold_text(*t), "make triple! [7 8 9]");
    stack::top_ptr = top;
}

TEST(Triple, NothingElseIsSupported) {
    EXPECT_STREQ(datatype::row(TYPE_TRIPLE).name, "triple!");
    for (int slot = 1; slot <= ACTION_COUNT; slot++) {
        if (slot == A_FORM || slot == A_MOLD) continue;
        EXPECT_EQ(datatype::entry(TYPE_TRIPLE, slot), nullptr) << slot;
    }
    // make triple! [1 2 3] reaches an empty slot: the unsupported-action error
    Cell proto{uint32_t(TYPE_TRIPLE), 0, 0, 0};
    EXPECT_EQ(raised([&] { actions::get_action_ptr(&proto, A_MAKE); }), "script/expect-arg");
    Cell t = triple::make(1, 2, 3), u = triple::make(1, 2, 3);
    EXPECT_FALSE(actions::compare(&t, &u, actions::EQUAL)) << "no compare slot: never equal";
}
