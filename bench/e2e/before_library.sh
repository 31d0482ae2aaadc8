# before_libdir COMMIT: the folder of COMMIT's built backend library on
# stdout, built once (bench/commit_build.sh) with -DBUILD_TESTING=OFF, target
# sane-orvela only, under $PAGE_END_CACHE/<commit id>; libsane loads it
# through LD_LIBRARY_PATH. Needs PE_TOP (the checkout) and PAGE_END_CACHE.
# Sourced by page_end_figures.sh and trace_figures.sh.
. "$(dirname "${BASH_SOURCE[0]}")/../commit_build.sh"
before_libdir() {
  local build
  build=$(commit_build "$PE_TOP" "$PAGE_END_CACHE" "$1" sane-orvela -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF) || return 1
  dirname "$(find "$build" -name libsane-orvela.so.1 -print -quit)"
}
