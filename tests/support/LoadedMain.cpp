// Test main for layers above the binding: starts it and loads every media
// library through the system search before any test runs.
#include "avbind/FFLoad.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    avbind::TFFBinding binding;
    if (!avbind::FFLoader().Load(avbind::EncoderLibraries)) {
        std::fprintf(stderr, "cannot load the media libraries: %s\n", avbind::FFLoader().LastErrMsg().c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
