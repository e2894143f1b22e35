#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "datatypes/block.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/memory.hpp"

using namespace kro;

namespace {

// What the release functions were called with, in order.
std::vector<uintptr_t> released;
void log_release(uintptr_t v) { released.push_back(v); }
std::vector<uintptr_t> released_other;
void log_release_other(uintptr_t v) { released_other.push_back(v); }

class ExtRes : public testing::Test {
protected:
    ext_res::Registry reg;
    int kind = 0;
    void SetUp() override {
        released.clear();
        released_other.clear();
        reg.init();
        kind = reg.add_kind(0xABC, &log_release);
    }
};

TEST_F(ExtRes, KindsAreNumberedFromOneAndFixedAtTwenty) {
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(reg.add_kind(7, &log_release_other), 2);
    EXPECT_EQ(reg.add_kind(8, nullptr), 3);
    EXPECT_EQ(reg.kind_data(1), 0xABCu);
    EXPECT_EQ(reg.kind_data(2), 7u);
    EXPECT_EQ(reg.kind_data(4), 0u) << "unregistered kind";
    reg.release(2, 55);
    reg.release(3, 56);  // a kind without a function
    reg.release(0, 57);
    reg.release(4, 58);  // beyond the registered kinds
    reg.release(255, 59);
    EXPECT_EQ(released_other, std::vector<uintptr_t>{55});
    EXPECT_TRUE(released.empty());
    for (int k = 4; k <= ext_res::MAX_KINDS; k++) EXPECT_EQ(reg.add_kind(0, nullptr), k);
}

TEST(ExtResDeathTest, TooManyKindsOrAnUnknownKindIsFatal98) {
    EXPECT_EXIT(
        {
            ext_res::Registry r;
            r.init();
            for (int k = 0; k <= ext_res::MAX_KINDS; k++) r.add_kind(0, nullptr);
        },
        testing::ExitedWithCode(98), "");
    EXPECT_EXIT(
        {
            ext_res::Registry r;
            r.init();
            r.add_kind(0, nullptr);
            r.register_resource(1, 2);
        },
        testing::ExitedWithCode(98), "");
}

TEST_F(ExtRes, TableDoublesWhenTheLastFreeRecordIsTaken) {
    EXPECT_EQ(reg.capacity(), 1000);
    for (int32_t i = 0; i < 999; i++) ASSERT_EQ(reg.register_resource(uintptr_t(i) * 3 + 1, kind), i);
    EXPECT_EQ(reg.capacity(), 1000);
    // The 1,000th record: the table doubles before taking it.
    EXPECT_EQ(reg.register_resource(0x7FFFFFFFFFFFull, 0), 999);
    EXPECT_EQ(reg.capacity(), 2000);
    EXPECT_EQ(reg.register_resource(5, kind), 1000) << "the new half follows the old free record";
    for (int32_t i = 0; i < 999; i++) ASSERT_EQ(reg.value(i), uintptr_t(i) * 3 + 1);
    EXPECT_EQ(reg.value(999), 0x7FFFFFFFFFFFull) << "values are full 64-bit";
    EXPECT_EQ(reg.kind_of(999), 0u);
    EXPECT_EQ(reg.used_count(), 1001);
    EXPECT_TRUE(reg.well_formed());
}

TEST_F(ExtRes, SweepReleasesDeadOwnersExactlyOnce) {
    int32_t kept = reg.register_resource(100, kind);
    int32_t dead = reg.register_resource(200, kind);
    int32_t plain = reg.register_resource(300, 0);  // kind 0: freed without a call
    for (int cycle = 0; cycle < 5; cycle++) {
        EXPECT_TRUE(reg.mark(kept, 0));
        EXPECT_FALSE(reg.mark(kept, 0)) << "already marked in this collection";
        reg.sweep();
        ASSERT_TRUE(reg.well_formed());
    }
    EXPECT_EQ(released, std::vector<uintptr_t>{200});
    EXPECT_FALSE(reg.in_use(dead));
    EXPECT_FALSE(reg.in_use(plain));
    EXPECT_TRUE(reg.in_use(kept));
    EXPECT_EQ(reg.value(kept), 100u);

    // Once its owner is gone, the next collection releases it.
    reg.sweep();
    reg.sweep();
    EXPECT_EQ(released, (std::vector<uintptr_t>{200, 100}));
    EXPECT_EQ(reg.used_count(), 0);
    EXPECT_TRUE(reg.well_formed());
    // Freed records are taken again, the last freed first.
    EXPECT_EQ(reg.register_resource(1, kind), kept);
}

TEST_F(ExtRes, MarkWithOwnerReplacesTheValue) {
    int32_t i = reg.register_resource(10, kind);
    EXPECT_TRUE(reg.mark(i, 0xFEED));
    EXPECT_EQ(reg.value(i), 0xFEEDu);
    reg.sweep();
    EXPECT_TRUE(released.empty());
    reg.sweep();
    EXPECT_EQ(released, std::vector<uintptr_t>{0xFEED});
}

TEST_F(ExtRes, IndexesNotInUseAreIgnored) {
    int32_t live = reg.register_resource(1, kind);
    int32_t gone = reg.register_resource(2, kind);
    EXPECT_EQ(reg.remove(gone, false), -1);
    // Forged, stale and out-of-range indexes touch nothing.
    for (int32_t bad : {gone, -1, -5, 1000, 5000, INT32_MAX}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(reg.mark(bad, 99));
        reg.set_value(bad, 77);
        EXPECT_EQ(reg.remove(bad, true), -1);
        EXPECT_EQ(reg.value(bad), 0u);
    }
    EXPECT_TRUE(released.empty());
    EXPECT_TRUE(reg.well_formed());
    // A record removed twice went onto the free chain once: two new records differ.
    int32_t a = reg.register_resource(3, kind), b = reg.register_resource(4, kind);
    EXPECT_NE(a, b);
    EXPECT_NE(a, live);
    EXPECT_NE(b, live);
    EXPECT_TRUE(reg.well_formed());
}

TEST_F(ExtRes, SetValueAndRemoveRelease) {
    int32_t i = reg.register_resource(10, kind);
    reg.set_value(i, 10);
    EXPECT_TRUE(released.empty()) << "the same value releases nothing";
    reg.set_value(i, 11);
    EXPECT_EQ(released, std::vector<uintptr_t>{10});
    EXPECT_EQ(reg.value(i), 11u);

    EXPECT_EQ(reg.remove(i, true), -1);
    EXPECT_EQ(released, (std::vector<uintptr_t>{10, 11}));
    int32_t j = reg.register_resource(12, kind);
    reg.remove(j, false);
    EXPECT_EQ(released.size(), 2u) << "removing without release";
    reg.sweep();
    EXPECT_EQ(released.size(), 2u) << "removed records are not swept again";
    EXPECT_TRUE(reg.well_formed());
}

TEST_F(ExtRes, ForEachOfKindVisitsNewestFirst) {
    int other = reg.add_kind(0, &log_release_other);
    int32_t one = reg.register_resource(1, kind);
    reg.register_resource(2, other);
    reg.register_resource(3, kind);
    reg.register_resource(4, kind);
    struct Ctx {
        ext_res::Registry* reg;
        int32_t drop;  // removed at the first visit, with a new record made
        std::vector<uintptr_t> seen;
    } ctx{&reg, -1, {}};
    auto visit = [](uintptr_t v, void* c) {
        auto* x = static_cast<Ctx*>(c);
        x->seen.push_back(v);
        if (x->drop >= 0) {
            x->reg->remove(x->drop, false);
            x->reg->register_resource(99, 1);
            x->drop = -1;
        }
    };
    reg.for_each_of_kind(kind, visit, &ctx);
    EXPECT_EQ(ctx.seen, (std::vector<uintptr_t>{4, 3, 1}));
    ctx.seen.clear();
    reg.for_each_of_kind(other, visit, &ctx);
    EXPECT_EQ(ctx.seen, std::vector<uintptr_t>{2});
    // A record removed before its turn is not visited, and neither is the
    // record made during the walk, although it takes the removed one's index.
    ctx.seen.clear();
    ctx.drop = one;
    reg.for_each_of_kind(kind, visit, &ctx);
    EXPECT_EQ(ctx.seen, (std::vector<uintptr_t>{4, 3}));
    EXPECT_EQ(reg.value(one), 99u);
    EXPECT_TRUE(reg.well_formed());
}

// A release function that works the registry while a sweep runs: it makes a
// record and removes (with release) the record its value names.
constexpr uintptr_t NO_RECORD = 0xFFFFFFFF;
ext_res::Registry* busy_reg;
std::vector<uintptr_t> busy_log;
std::vector<int32_t> busy_made;
void busy_release(uintptr_t v) {
    busy_log.push_back(v);
    busy_made.push_back(busy_reg->register_resource(v + 1000, 0));
    if (v != NO_RECORD) busy_reg->remove(int32_t(v), true);
}

TEST_F(ExtRes, ReleaseFunctionsMayUseTheRegistryDuringASweep) {
    busy_reg = &reg;
    busy_log.clear();
    busy_made.clear();
    int busy = reg.add_kind(0, &busy_release);
    int32_t k1 = reg.register_resource(0x500, kind);
    int32_t k2 = reg.register_resource(0x600, kind);
    // Fresh records are taken in index order, so the first one can name the last.
    int32_t da = reg.register_resource(uintptr_t(k2 + 3), busy);  // a record dying too
    int32_t db = reg.register_resource(uintptr_t(k1), busy);      // a live record
    int32_t dc = reg.register_resource(NO_RECORD, busy);
    ASSERT_EQ(dc, k2 + 3);
    reg.mark(k1, 0);
    reg.mark(k2, 0);
    reg.sweep();
    std::vector<uintptr_t> log = busy_log;
    std::sort(log.begin(), log.end());
    std::vector<uintptr_t> want{uintptr_t(k1), uintptr_t(dc), NO_RECORD};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(log, want) << "each dead record released once";
    EXPECT_EQ(released, std::vector<uintptr_t>{0x500}) << "the live record removed by a release function";
    EXPECT_FALSE(reg.in_use(k1));
    EXPECT_EQ(reg.value(k2), 0x600u);
    for (int32_t m : busy_made) EXPECT_TRUE(reg.in_use(m)) << "records made by a release function stay";
    EXPECT_EQ(reg.used_count(), 4);
    EXPECT_TRUE(reg.well_formed());
    EXPECT_FALSE(reg.in_use(da) && reg.value(da) < 1000) << "no dead record is left";
    EXPECT_FALSE(reg.in_use(db) && reg.value(db) < 1000);
}

TEST_F(ExtRes, GlobalRegistryThroughTheCollectorsCalls) {
    int32_t a = ext_res::register_resource(1, 0);
    int32_t b = ext_res::register_resource(2, 0);
    EXPECT_TRUE(ext_res::mark(a, 0));
    ext_res::sweep();
    EXPECT_TRUE(ext_res::registry().in_use(a));
    EXPECT_FALSE(ext_res::registry().in_use(b));
    EXPECT_EQ(ext_res::remove(a, true), -1);
    EXPECT_TRUE(ext_res::registry().well_formed());
}

Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }

TEST(ValueSlots, StoreGrowsAndKeepsEarlierSlots) {
    value_slots::Table t;
    t.init();
    EXPECT_EQ(t.capacity(), 100u);
    EXPECT_TRUE(t.root_cell()->is(TYPE_BLOCK));
    for (uint32_t s = 1; s <= 100; s++) {
        Cell v = integer(int32_t(s) * 7);
        ASSERT_EQ(t.store(&v), s);
    }
    EXPECT_EQ(t.capacity(), 100u);
    // Full: the value to store lives in the table itself, which is about to move.
    EXPECT_EQ(t.store(t.at(3)), 101u);
    EXPECT_EQ(t.capacity(), 200u);
    EXPECT_EQ(t.at(101)->data2, 21u);
    for (uint32_t s = 1; s <= 100; s++) ASSERT_EQ(t.at(s)->data2, s * 7);
    EXPECT_EQ(block::length(t.root_cell()), 200) << "every slot is a cell of the block";
    EXPECT_TRUE(t.well_formed());
}

TEST(ValueSlots, ReleaseLinksTheSlotForReuse) {
    value_slots::Table t;
    t.init();
    Cell v = integer(5);
    uint32_t a = t.store(&v), b = t.store(&v), c = t.store(&v);
    t.release(b);
    EXPECT_EQ(t.at(b), nullptr);
    EXPECT_EQ(t.store(&v), b) << "the released slot is taken first";
    t.release(a);
    t.release(c);
    EXPECT_EQ(t.store(&v), c);
    EXPECT_EQ(t.store(&v), a);
    EXPECT_TRUE(t.well_formed());
}

TEST(ValueSlots, BadSlotNumbersAreIgnored) {
    value_slots::Table t;
    t.init();
    Cell v = integer(9);
    uint32_t a = t.store(&v);
    t.release(0);
    t.release(101);
    t.release(0xFFFFFFFF);
    t.release(a);
    t.release(a);  // twice: must not be handed out twice
    EXPECT_EQ(t.at(0), nullptr);
    EXPECT_EQ(t.at(101), nullptr);
    EXPECT_TRUE(t.well_formed());
    std::set<uint32_t> got;
    for (int i = 0; i < 150; i++) got.insert(t.store(&v));
    EXPECT_EQ(got.size(), 150u);
    EXPECT_TRUE(t.well_formed());
}

TEST(ValueSlots, GlobalTable) {
    Cell v = integer(-3);
    uint32_t s = value_slots::store(&v);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(int32_t(value_slots::at(s)->data2), -3);
    EXPECT_TRUE(value_slots::root_cell()->is(TYPE_BLOCK));
    value_slots::release(s);
    EXPECT_EQ(value_slots::at(s), nullptr);
    EXPECT_TRUE(value_slots::table().well_formed());
}

}  // namespace
