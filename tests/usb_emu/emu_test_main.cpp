// main() of the USB emulation test programs: makes sure umockdev's preload
// library is in place (re-executing the program with it if not), then runs
// the tests.
#include <gtest/gtest.h>

#include "tests/usb_emu/usbfs_emulation.h"

int main(int argc, char** argv) {
    usb_emu::ensure_umockdev_preload(argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
