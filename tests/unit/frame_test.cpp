// Thrown codes and catch regions: which region receives a code, what the
// runtime context holds afterwards, and that unwinding runs destructors.
#include <gtest/gtest.h>

#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"

using namespace kro;

namespace {

struct LevelCase {
    uint32_t level;
    uint32_t code;
    bool caught;  // by the region of that level; else by the catch-all around it
};

const LevelCase level_cases[] = {
    {code::BREAK, code::BREAK, true},       // equal level catches (not-below rule)
    {code::ERROR, code::BREAK, true},       // a lower code is caught
    {0x7FFFFFFE, code::ERROR, false},       // level 0x7FFFFFFE lets an error pass
    {code::PAGE_LEVEL, code::ERROR, false},
    {0, 1, false},                          // level 0 catches nothing
    {code::CATCH_ALL, code::CATCH_ALL, true},
    {code::CATCH_ALL, code::QUIT_REQUEST, true},
};

}  // namespace

TEST(CatchRegion, NearestRegionWhoseLevelIsNotBelowTheCodeReceivesIt) {
    for (const LevelCase& c : level_cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "level 0x" << c.level << " code 0x" << c.code);
        bool inner_saw = false;
        uint32_t outer = frame::catch_region(code::CATCH_ALL, [&] {
            uint32_t inner = frame::catch_region(c.level, [&] { frame::throw_code(c.code); });
            inner_saw = true;
            EXPECT_EQ(inner, c.code);
            EXPECT_EQ(runtime_context.thrown_code, c.code);
        });
        EXPECT_EQ(inner_saw, c.caught);
        EXPECT_EQ(outer, c.caught ? 0u : c.code);
        if (!c.caught) {
            EXPECT_EQ(runtime_context.thrown_code, c.code);
        }
    }
}

TEST(CatchRegion, CompletedRegionAnswersZeroAndClearsTheCode) {
    frame::catch_region(code::CATCH_ALL, [] { frame::throw_code(code::BREAK); });
    ASSERT_EQ(runtime_context.thrown_code, code::BREAK);
    int ran = 0;
    EXPECT_EQ(frame::catch_region(code::ERROR, [&] { ran++; }), 0u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(runtime_context.thrown_code, 0u);
}

TEST(CatchRegion, NestedRegionRestoresTheEnclosingLevel) {
    // Inner region ends by a caught throw: the outer level holds again, so an
    // error thrown next is received by the outer region, not the inner one.
    std::vector<std::string> log;
    uint32_t got = frame::catch_region(code::ERROR, [&] {
        uint32_t inner = frame::catch_region(code::BREAK, [&] { frame::throw_code(code::BREAK); });
        log.push_back(inner == code::BREAK ? "inner caught break" : "inner missed break");
        frame::throw_code(code::ERROR);
    });
    log.push_back(got == code::ERROR ? "outer caught error" : "outer missed error");
    EXPECT_EQ(log, (std::vector<std::string>{"inner caught break", "outer caught error"}));

    // Inner region with a higher level ends normally: its level does not stay,
    // so the error passes the outer break-level region.
    uint32_t outermost = frame::catch_region(code::CATCH_ALL, [] {
        frame::catch_region(code::BREAK, [] {
            EXPECT_EQ(frame::catch_region(code::ERROR, [] {}), 0u);
            frame::throw_code(code::ERROR);
        });
        ADD_FAILURE() << "the break-level region received an error";
    });
    EXPECT_EQ(outermost, code::ERROR);
}

TEST(CatchRegion, RethrowKeepsTheCodeForTheOuterRegion) {
    uint32_t got = frame::catch_region(code::CATCH_ALL, [] {
        frame::catch_region(code::ERROR, [] { frame::throw_code(code::RETURN); });
        // A handler that does not handle RETURN passes it on unchanged.
        frame::rethrow();
    });
    EXPECT_EQ(got, code::RETURN);
    EXPECT_EQ(runtime_context.thrown_code, code::RETURN);
}

TEST(CatchRegion, FireThrowsTheErrorCodeWithTheNamedError) {
    Cell arg{uint32_t(TYPE_INTEGER), 42, 0, 0};
    uint32_t got = frame::catch_region(code::ERROR, [&] { fire("math", "zero-divide", &arg); });
    EXPECT_EQ(got, code::ERROR);
    EXPECT_EQ(last_raised().category, "math");
    EXPECT_EQ(last_raised().id, "zero-divide");
    ASSERT_EQ(last_raised().nargs, 1);
    EXPECT_EQ(last_raised().args[0].data1, 42u);
}

TEST(CatchRegion, UnwindingReleasesRootedLocals) {
    gc::RootLink* before = gc::root_top;
    frame::catch_region(code::CATCH_ALL, [] {
        gc::Rooted a;
        gc::RootedNode b(7);
        ASSERT_NE(gc::root_top, nullptr);
        frame::throw_code(code::ERROR);
    });
    EXPECT_EQ(gc::root_top, before);
}
