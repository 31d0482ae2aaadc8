#!/bin/bash
# Builds the library alone (no tests, no simulator) in every configuration a
# packager or developer may pick, with warnings as errors, so that none of
# them breaks: gcc in each CMake build type (its warnings depend on the
# optimisation), clang with assertions and without (its warnings come from
# its front end, the same at every optimisation level), and gcc with the
# flags a Debian package build hands it (dpkg-buildflags). Prints one line
# per variant.
#   ORVELA_VARIANTS="gcc:Release clang:Debug" picks some,
#   ORVELA_VARIANTS_SKIP="gcc:RelWithDebInfo" leaves some out.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/orvela-variants.XXXXXX")
trap 'rm -rf "$work"' EXIT
variants=${ORVELA_VARIANTS:-gcc:Debug gcc:Release gcc:RelWithDebInfo gcc:MinSizeRel gcc:debian \
  clang:Debug clang:Release}
failed=0
for v in $variants; do
  case " ${ORVELA_VARIANTS_SKIP:-} " in *" $v "*) continue ;; esac
  compiler=${v%%:*} type=${v##*:} dir=$work/$compiler-$type
  cc=gcc cxx=g++
  [ "$compiler" = clang ] && cc=clang cxx=clang++
  args=(-DBUILD_TESTING=OFF -DORVELA_WERROR=ON)
  env=()
  if [ "$type" = debian ]; then
    # What a Debian package build hands the compiler and linker.
    env=(CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
         CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
         LDFLAGS="$(dpkg-buildflags --get LDFLAGS)")
    args+=(-DCMAKE_BUILD_TYPE=None)
  else
    args+=(-DCMAKE_BUILD_TYPE="$type")
  fi
  start=$(date +%s)
  if env "${env[@]}" CC=$cc CXX=$cxx cmake -S "$top" -B "$dir" "${args[@]}" >"$dir.log" 2>&1 &&
     cmake --build "$dir" -j"$(nproc)" >>"$dir.log" 2>&1; then
    echo "build variant $compiler $type: ok ($(( $(date +%s) - start )) s)"
  else
    echo "build variant $compiler $type: FAILED"; grep -E 'error|warning' "$dir.log" | head -20
    failed=1
  fi
  rm -rf "$dir"
done
exit $failed
