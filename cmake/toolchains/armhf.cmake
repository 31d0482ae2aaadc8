# Cross build for 32-bit ARM with hardware floating point (Debian armhf):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(ORVELA_CROSS_TRIPLE arm-linux-gnueabihf)
set(ORVELA_CROSS_MULTIARCH arm-linux-gnueabihf)
set(ORVELA_CROSS_EMULATOR qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
