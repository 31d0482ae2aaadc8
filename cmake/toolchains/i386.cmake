# Build for 32-bit x86 (Debian i386) on an amd64 machine; the programs run
# natively there, so no emulator is named:
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386.cmake
set(ORVELA_CROSS_TRIPLE i686-linux-gnu)
set(ORVELA_CROSS_MULTIARCH i386-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
