// The unit tests share one initialised runtime, as the process would.
#include <gtest/gtest.h>

#include "foundation/gc.hpp"
#include "foundation/runtime.hpp"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kro::gc::init_from_environment();  // KRO_GC_STRESS=1 runs the suite in stress mode
    kro::runtime::init();
    kro::gc::active = true;  // as after start-up: safe points collect (every one in stress mode)
    return RUN_ALL_TESTS();
}
