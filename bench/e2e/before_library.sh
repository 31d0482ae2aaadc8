# before_libdir COMMIT: the folder of COMMIT's built backend library on
# stdout, built once from `git archive` with -DBUILD_TESTING=OFF, target
# sane-orvela only, under $PAGE_END_CACHE/<commit id>, where a later run finds
# it; libsane loads it through LD_LIBRARY_PATH. Needs PE_TOP (the checkout)
# and PAGE_END_CACHE. Sourced by page_end_figures.sh and trace_figures.sh.
before_libdir() {
  local id dir
  id=$(git -C "$PE_TOP" rev-parse --verify --quiet "$1^{commit}") ||
    { echo "no commit $1 in $PE_TOP" >&2; return 1; }
  dir=$PAGE_END_CACHE/$id
  if [ ! -f "$dir/src.done" ]; then
    rm -rf "$dir/src" && mkdir -p "$dir/src" && git -C "$PE_TOP" archive "$id" | tar -x -C "$dir/src" &&
      touch "$dir/src.done" || return 1
  fi
  { cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF &&
      cmake --build "$dir/build" -j2 --target sane-orvela; } >"$dir/build.log" 2>&1 ||
    { tail -20 "$dir/build.log" >&2; return 1; }
  dirname "$(find "$dir/build" -name libsane-orvela.so.1 -print -quit)"
}
