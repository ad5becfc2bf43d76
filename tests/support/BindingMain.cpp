// Test main for the binding's own tests: starts the binding (this thread is
// the main thread) and leaves loading to the tests.
#include "avbind/FFLoad.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    avbind::TFFBinding binding;
    return RUN_ALL_TESTS();
}
