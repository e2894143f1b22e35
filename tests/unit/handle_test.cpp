// handle!: form and mold, comparison by value alone, the makers, the refused
// actions, and handles that own a resource released by the collector.
#include <gtest/gtest.h>

#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/handle.hpp"
#include "foundation/collector.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/gc.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

using namespace kro;
using testing_blocks::block_of;
using testing_blocks::form_text;
using testing_blocks::integer;
using testing_blocks::mold_text;
using testing_blocks::raised;

TEST(HandleText, FormAndMold) {
    struct Case {
        uint32_t value, cls;
        const char* formed;
        const char* molded_all;
    } cases[] = {
        {0, handle::CLASS_NULL, "00000000h", "#[handle! 00000000h]"},
        {0x00A4F230, handle::CLASS_WINDOW, "00A4F230h", "#[handle! 00A4F230h window]"},
        {3, handle::CLASS_FD, "00000003h", "#[handle! 00000003h fd]"},
        {0xFFFFFFFF, handle::CLASS_RICH_TEXT, "FFFFFFFFh", "#[handle! FFFFFFFFh rich-text]"},
        {0x10, handle::CLASS_MONITOR, "00000010h", "#[handle! 00000010h monitor]"},
        {0x20, handle::CLASS_FONT, "00000020h", "#[handle! 00000020h font]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.formed);
        Cell h = handle::make(c.value, c.cls);
        EXPECT_EQ(form_text(h), c.formed);
        EXPECT_EQ(mold_text(h), "handle!");
        EXPECT_EQ(mold_text(h, false, false, -1, nullptr, true), c.molded_all);
    }
    int32_t left = 0;
    form_text(handle::make(1, 0), 50, &left);
    EXPECT_EQ(left, 50 - 9);
    mold_text(handle::make(1, handle::CLASS_WINDOW), false, false, 50, &left, true);
    EXPECT_EQ(left, 50 - 27);
    mold_text(handle::make(1, handle::CLASS_WINDOW), false, false, 50, &left);
    EXPECT_EQ(left, 50 - 7);
}

TEST(HandleCompare, ByValueOnly) {
    Cell a = handle::make(5, handle::CLASS_WINDOW), b = handle::make(5, handle::CLASS_FONT),
         c = handle::make(6, handle::CLASS_WINDOW), neg = handle::make(0xFFFFFFFF, 0);
    EXPECT_TRUE(actions::compare(&a, &b, actions::EQUAL)) << "the class takes no part";
    EXPECT_TRUE(actions::compare(&a, &b, actions::STRICT_EQUAL));
    EXPECT_TRUE(actions::compare(&a, &c, actions::LESSER));
    EXPECT_TRUE(actions::compare(&neg, &a, actions::LESSER)) << "signed 32-bit values";
    EXPECT_EQ(handle::compare(&c, &a, actions::GREATER), 1);
}

TEST(HandleCompare, AnotherTypeIsNeverEqualAndNotOrdered) {
    Cell h = handle::make(1, 0), one = integer(1);
    EXPECT_FALSE(actions::compare(&h, &one, actions::EQUAL));
    EXPECT_TRUE(actions::compare(&h, &one, actions::NOT_EQUAL));
    EXPECT_FALSE(actions::compare(&h, &one, actions::STRICT_EQUAL));
    EXPECT_EQ(handle::compare(&h, &one, actions::FIND), 1);
    for (int32_t op : {actions::LESSER, actions::LESSER_OR_EQUAL, actions::GREATER, actions::GREATER_OR_EQUAL}) {
        EXPECT_EQ(handle::compare(&h, &one, op), -2) << "op " << op;
        EXPECT_EQ(raised([&] { actions::compare(&h, &one, op); }), "script/invalid-compare");
    }
}

TEST(HandleMaking, TheMakersAndTheRefusedActions) {
    Cell h = handle::make(7, handle::CLASS_FD);
    EXPECT_TRUE(h.is(TYPE_HANDLE));
    EXPECT_EQ(h.data1, handle::CLASS_FD);
    EXPECT_EQ(h.data2, 7u);
    EXPECT_EQ(int32_t(h.data3), -1) << "no resource record";

    Cell* top = stack::top_ptr;
    Cell* pushed = handle::push_null();
    EXPECT_EQ(pushed, top);
    EXPECT_EQ(mold_text(*pushed, false, false, -1, nullptr, true), "#[handle! 00000000h]");
    Cell* result = stack::arguments;
    Cell saved = *result;
    handle::box(9, handle::CLASS_WINDOW);
    EXPECT_EQ(form_text(*stack::arguments), "00000009h");
    *result = saved;
    stack::pop(1);

    Cell blk = block_of({});
    handle::make_in(&blk, 4, handle::CLASS_FONT);
    EXPECT_EQ(mold_text(*block::at(&blk, 0), false, false, -1, nullptr, true), "#[handle! 00000004h font]");

    EXPECT_EQ(datatype::row(TYPE_HANDLE).name, std::string("handle!"));
    for (int slot : {A_MAKE, A_TO, A_ADD, A_NEGATE, A_EVEN_Q, A_PICK, A_RANDOM, A_REFLECT})
        EXPECT_EQ(datatype::entry(TYPE_HANDLE, slot), nullptr) << "slot " << slot << ": nothing inherited";
    EXPECT_EQ(raised([&] { actions::get<A_MAKE>(&h); }), "script/expect-arg");
    EXPECT_EQ(raised([&] { actions::get<A_TO>(&h); }), "script/expect-arg");
}

namespace {
std::vector<uintptr_t> released;
void note_release(uintptr_t v) { released.push_back(v); }
int kind() {
    static int k = ext_res::add_kind(0, &note_release);
    return k;
}
}  // namespace

TEST(HandleResources, ReleasedOnceTheHandleIsGone) {
    released.clear();
    uintptr_t resource = 0x7F00DEADBEEFull;  // wider than a cell word
    int32_t index;
    {
        gc::Rooted h;
        handle::make_resource_at(h.get(), resource, handle::CLASS_WINDOW, uint32_t(kind()));
        index = int32_t(h->data3);
        EXPECT_EQ(h->data2, uint32_t(index)) << "the record index is the value";
        EXPECT_EQ(handle::resource_of(h.get()), resource);
        collector::collect();
        collector::collect();
        EXPECT_TRUE(released.empty()) << "kept while the handle is reachable";
        EXPECT_EQ(handle::resource_of(h.get()), resource);
    }
    collector::collect();
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0], resource);
    collector::collect();
    EXPECT_EQ(released.size(), 1u) << "released exactly once";
    Cell stale{uint32_t(TYPE_HANDLE), handle::CLASS_WINDOW, uint32_t(index), uint32_t(index)};
    if (!ext_res::registry().in_use(index)) {
        EXPECT_EQ(handle::resource_of(&stale), 0u);
    }
    Cell plain = handle::make(5, 0);
    EXPECT_EQ(handle::resource_of(&plain), 0u);
}
