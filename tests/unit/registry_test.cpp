#include <gtest/gtest.h>

#include <set>

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

using namespace kro;

namespace {

Cell* make_one(Cell* proto, Cell*, int32_t) { return proto; }
Cell* make_two(Cell* proto, Cell*, int32_t) { return proto; }
bool even_fn(Cell*) { return true; }
int32_t compare_fn(Cell*, Cell*, int32_t) { return 7; }

// Ids past the last datatype of the language, free for scratch registrations.
constexpr int32_t PARENT = 55;
constexpr int32_t CHILD = 56;

class ScratchTypes : public ::testing::Test {
protected:
    int32_t highest_before = 0;
    void SetUp() override { highest_before = datatype::highest_id(); }
    void TearDown() override {
        datatype::forget(CHILD);
        datatype::forget(PARENT);
        EXPECT_EQ(datatype::highest_id(), highest_before);
    }

    // A parent whose own entries partly come from logic!.
    static void register_parent(SlotFn<A_MAKE> make) {
        ActionList a;
        a.set<A_MAKE>(make).set<A_EVEN_Q>(&even_fn);
        a.inherit(A_FORM).inherit(A_MOLD).inherit(A_COMPLEMENT).inherit(A_ABSOLUTE);
        datatype::register_type(PARENT, TYPE_LOGIC, "scratch-parent!", a);
    }
};

}  // namespace

TEST_F(ScratchTypes, ChildTakesTheParentsEntriesAsTheyStandAtRegistration) {
    register_parent(&make_one);
    // The parent holds what logic! had, and 0 where logic! has nothing.
    EXPECT_EQ(datatype::entry(PARENT, A_FORM), datatype::entry(TYPE_LOGIC, A_FORM));
    EXPECT_EQ(datatype::entry(PARENT, A_COMPLEMENT), datatype::entry(TYPE_LOGIC, A_COMPLEMENT));
    EXPECT_NE(datatype::entry(PARENT, A_FORM), nullptr);
    EXPECT_EQ(datatype::entry(PARENT, A_ABSOLUTE), nullptr);
    EXPECT_EQ(datatype::entry(PARENT, A_COMPARE), nullptr) << "not marked inherit, so not supported";
    EXPECT_EQ(datatype::action<A_MAKE>(PARENT), &make_one);

    ActionList c;
    c.inherit_all().set<A_COMPARE>(&compare_fn).unsupported(A_EVEN_Q);
    datatype::register_type(CHILD, PARENT, "scratch-child!", c);
    for (int s = 1; s <= ACTION_COUNT; s++) {
        SCOPED_TRACE(s);
        if (s == A_COMPARE || s == A_EVEN_Q) continue;
        EXPECT_EQ(datatype::entry(CHILD, s), datatype::entry(PARENT, s));
    }
    EXPECT_EQ(datatype::entry(CHILD, A_FORM), datatype::entry(TYPE_LOGIC, A_FORM)) << "what the parent inherited";
    EXPECT_EQ(datatype::entry(CHILD, A_EVEN_Q), nullptr);
    Cell x{}, y{};
    EXPECT_EQ(datatype::action<A_COMPARE>(CHILD)(&x, &y, 0), 7);

    // A later change of the parent does not reach the child.
    register_parent(&make_two);
    EXPECT_EQ(datatype::action<A_MAKE>(PARENT), &make_two);
    EXPECT_EQ(datatype::action<A_MAKE>(CHILD), &make_one);
}

TEST_F(ScratchTypes, RowsKeepTheNameAndItsLengthWithoutTheBang) {
    register_parent(&make_one);
    EXPECT_TRUE(datatype::registered(PARENT));
    EXPECT_FALSE(datatype::registered(CHILD));
    EXPECT_STREQ(datatype::row(PARENT).name, "scratch-parent!");
    EXPECT_EQ(datatype::row(PARENT).name_length, 14);
    EXPECT_EQ(datatype::highest_id(), PARENT);

    Cell buf, dt{uint32_t(TYPE_DATATYPE), uint32_t(PARENT), 0, 0};
    string::make_at(&buf, 0, 1);
    EXPECT_EQ(datatype::form(&dt, &buf, nullptr, 100), 86);
    EXPECT_EQ(string::to_utf8(&buf), "scratch-parent");
}

TEST(Registry, EntriesOutsideTheTableAreNotSupported) {
    EXPECT_NE(datatype::entry(TYPE_LOGIC, A_MAKE), nullptr);
    EXPECT_EQ(datatype::entry(TYPE_LOGIC, 0), nullptr);
    EXPECT_EQ(datatype::entry(TYPE_LOGIC, ACTION_COUNT + 1), nullptr);
    EXPECT_EQ(datatype::entry(TYPE_ID_ROOM, A_MAKE), nullptr);
    EXPECT_EQ(datatype::entry(200, A_MAKE), nullptr);
}

TEST(Registry, TheFourSimpleTypesSupportExactlyTheirSlots) {
    struct Case {
        int32_t type;
        const char* name;
        int32_t name_length;
        std::set<int> slots;
    };
    const Case cases[] = {
        {TYPE_DATATYPE, "datatype!", 8, {A_FORM, A_MOLD, A_COMPARE}},
        {TYPE_UNSET, "unset!", 5, {A_MAKE, A_TO, A_FORM, A_MOLD, A_COMPARE}},
        {TYPE_NONE, "none!", 4,
         {A_MAKE, A_TO, A_FORM, A_MOLD, A_COMPARE, A_CLEAR, A_FIND, A_LENGTH_Q, A_REMOVE, A_SELECT, A_TAKE}},
        {TYPE_LOGIC, "logic!", 5,
         {A_MAKE, A_RANDOM, A_TO, A_FORM, A_MOLD, A_COMPARE, A_AND_T, A_COMPLEMENT, A_OR_T, A_XOR_T}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(datatype::registered(c.type));
        EXPECT_STREQ(datatype::row(c.type).name, c.name);
        EXPECT_EQ(datatype::row(c.type).name_length, c.name_length);
        for (int s = 1; s <= ACTION_COUNT; s++)
            EXPECT_EQ(datatype::entry(c.type, s) != nullptr, c.slots.count(s) == 1) << "slot " << s;
    }
}

TEST(Registry, DatatypeValuesArePushedAndAppended) {
    Cell* saved_args = stack::arguments;
    Cell* saved_top = stack::top_ptr;
    Cell* c = datatype::push(TYPE_NONE);
    EXPECT_EQ(c, saved_top);
    EXPECT_EQ(stack::top_ptr, saved_top + 1);
    EXPECT_EQ(c->header, uint32_t(TYPE_DATATYPE));
    EXPECT_EQ(c->data1, uint32_t(TYPE_NONE));
    stack::top_ptr = saved_top;
    stack::arguments = saved_args;

    Cell blk;
    block::make_at(&blk, 1);
    datatype::make_in(&blk, TYPE_LOGIC);
    datatype::make_in(&blk, TYPE_UNSET);
    ASSERT_EQ(block::length(&blk), 2);
    EXPECT_EQ(block::at(&blk, 0)->header, uint32_t(TYPE_DATATYPE));
    EXPECT_EQ(block::at(&blk, 0)->data1, uint32_t(TYPE_LOGIC));
    EXPECT_EQ(block::at(&blk, 1)->data1, uint32_t(TYPE_UNSET));
}

TEST(RegistryDeathTest, InheritingWithoutAParentIsFatal) {
    ActionList a;
    a.inherit(A_MAKE);
    EXPECT_EXIT(datatype::register_type(CHILD, 0, "orphan!", a), ::testing::ExitedWithCode(98), "");
}

TEST(RegistryDeathTest, IdsOutsideTheTableAreFatal) {
    ActionList a;
    EXPECT_EXIT(datatype::register_type(TYPE_ID_ROOM, 0, "too-far!", a), ::testing::ExitedWithCode(98), "");
    EXPECT_EXIT(datatype::register_type(0, 0, "zero!", a), ::testing::ExitedWithCode(98), "");
    EXPECT_EXIT(datatype::register_type(CHILD, TYPE_ID_ROOM, "bad-parent!", a), ::testing::ExitedWithCode(98), "");
}

TEST(RegistryDeathTest, SlotsOutsideTheListAreFatal) {
    ActionList a;
    EXPECT_EXIT(a.inherit(ACTION_COUNT + 1), ::testing::ExitedWithCode(98), "");
    EXPECT_EXIT(a.unsupported(0), ::testing::ExitedWithCode(98), "");
}
