// The unit tests share one initialised runtime, as the process would.
#include <gtest/gtest.h>

#include "foundation/gc.hpp"
#include "foundation/runtime.hpp"

namespace {
// A failure in sampled stress mode names the settings that repeat the run.
class StressSettings : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& info) override {
        if (info.result()->Failed() && *kro::gc::stress_settings())
            std::printf("(the run repeats with %s)\n", kro::gc::stress_settings());
    }
};
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::UnitTest::GetInstance()->listeners().Append(new StressSettings);
    kro::gc::init_from_environment();  // KRO_GC_STRESS: the collector's stress mode
    kro::runtime::init();
    kro::gc::active = true;  // as after start-up: safe points collect (every one in stress mode)
    return RUN_ALL_TESTS();
}
