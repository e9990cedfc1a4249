// The emulated-USB tests run under umockdev's preload library from their first instruction, so
// this binary starts itself again under it when CTest (or a developer) starts it without.
#include <gtest/gtest.h>

#include "PreloadEnvironment.h"

int main(int argc, char** argv) {
    usb_emulation::ensure_running_under_preload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
