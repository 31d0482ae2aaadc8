# Debian's build flags, as a Debian package build hands them to the compiler
# and linker (dpkg-buildflags with every hardening feature: fortified C
# library calls, the strong stack protector, read-only relocations bound at
# load time), for the target's architecture. They apply to everything built,
# so the tests run the library as it is packaged, and a package made with
# cpack from any build carries them.
#
# Off where the caller brings flags of their own in CFLAGS, CXXFLAGS or
# LDFLAGS (a debhelper build), in a sanitizer build, without dpkg-buildflags
# (not Debian), or with -DORVELA_DEBIAN_BUILDFLAGS=OFF. The build type keeps
# choosing optimisation and debug information; a Debug build gets no
# fortification, which needs an optimised build. The build path stays out of
# __FILE__ unmapped (tests find their data through it): only the debug
# information's paths are made relative.
#
# Sets ORVELA_DEB_HOST_ARCH, the target as dpkg names it (amd64, arm64...).

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE target_triplet
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
execute_process(COMMAND dpkg-architecture -t ${target_triplet} -qDEB_HOST_ARCH OUTPUT_VARIABLE ORVELA_DEB_HOST_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

find_program(DPKG_BUILDFLAGS dpkg-buildflags)
set(debian_flags_default OFF)
if(DPKG_BUILDFLAGS AND ORVELA_DEB_HOST_ARCH AND NOT ORVELA_SANITIZE
   AND NOT DEFINED ENV{CFLAGS} AND NOT DEFINED ENV{CXXFLAGS} AND NOT DEFINED ENV{LDFLAGS})
  set(debian_flags_default ON)
endif()
option(ORVELA_DEBIAN_BUILDFLAGS "Build with Debian's build flags (dpkg-buildflags)" ${debian_flags_default})

if(ORVELA_DEBIAN_BUILDFLAGS)
  set(options "hardening=+all reproducible=-fixfilepath")
  if(DEFINED ENV{DEB_BUILD_MAINT_OPTIONS})
    set(options "$ENV{DEB_BUILD_MAINT_OPTIONS}")
  endif()
  set(build_options "$ENV{DEB_BUILD_OPTIONS}")
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    string(STRIP "${build_options} noopt" build_options)
  endif()
  foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${ORVELA_DEB_HOST_ARCH} "DEB_BUILD_MAINT_OPTIONS=${options}"
              "DEB_BUILD_OPTIONS=${build_options}" ${DPKG_BUILDFLAGS} --get ${kind}
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    # Optimisation and debug information are the build type's.
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g)$")
    set(debian_${kind} ${flags})
  endforeach()
  add_compile_options(${debian_CPPFLAGS} "$<$<COMPILE_LANGUAGE:C>:${debian_CFLAGS}>"
                      "$<$<COMPILE_LANGUAGE:CXX>:${debian_CXXFLAGS}>")
  add_link_options(${debian_LDFLAGS})
endif()
