// The unit tests share one initialised runtime, as the process would.
#include <gtest/gtest.h>

#include "foundation/runtime.hpp"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kro::runtime::init();
    return RUN_ALL_TESTS();
}
