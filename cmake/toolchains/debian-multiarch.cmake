# Shared part of the cross toolchain files: Debian's cross compiler for one
# architecture (crossbuild-essential-<arch>) with the libraries of its
# multiarch directory (the <package>:<arch> development packages).
# The including file sets ORVELA_CROSS_TRIPLE (the compilers' prefix),
# ORVELA_CROSS_MULTIARCH (the directory under /usr/lib), CMAKE_SYSTEM_PROCESSOR
# and, where the programs cannot run natively, ORVELA_CROSS_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ORVELA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVELA_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVELA_CROSS_MULTIARCH})

set(CMAKE_FIND_ROOT_PATH /usr/${ORVELA_CROSS_TRIPLE} /usr/lib/${ORVELA_CROSS_MULTIARCH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ORVELA_CROSS_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs run through qemu-user where it is installed (ctest and the
# test discovery use it); the build itself never needs to run them.
if(ORVELA_CROSS_EMULATOR)
  find_program(ORVELA_QEMU ${ORVELA_CROSS_EMULATOR})
  if(ORVELA_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVELA_QEMU} -L /usr/${ORVELA_CROSS_TRIPLE})
  endif()
endif()
