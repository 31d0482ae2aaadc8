# Cross build for 64-bit ARM (Debian arm64):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(ORVELA_CROSS_TRIPLE aarch64-linux-gnu)
set(ORVELA_CROSS_MULTIARCH aarch64-linux-gnu)
set(ORVELA_CROSS_EMULATOR qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
