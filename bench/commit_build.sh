# commit_build TOP CACHE COMMIT TARGET [CMAKE ARGS...]: COMMIT of the
# checkout TOP built once from `git archive`, target TARGET only, under
# CACHE/<commit id>, where a later run finds it; the build folder on stdout,
# the build's log in CACHE/<commit id>/build.log. Sourced by the benchmarks
# that set an earlier commit against this tree.
commit_build() {
  local top=$1 cache=$2 commit=$3 target=$4 id dir
  shift 4
  id=$(git -C "$top" rev-parse --verify --quiet "$commit^{commit}") ||
    { echo "no commit $commit in $top" >&2; return 1; }
  dir=$cache/$id
  if [ ! -f "$dir/src.done" ]; then
    rm -rf "$dir/src" && mkdir -p "$dir/src" && git -C "$top" archive "$id" | tar -x -C "$dir/src" &&
      touch "$dir/src.done" || return 1
  fi
  { cmake -S "$dir/src" -B "$dir/build" "$@" && cmake --build "$dir/build" -j2 --target "$target"; } \
    >"$dir/build.log" 2>&1 || { tail -20 "$dir/build.log" >&2; return 1; }
  echo "$dir/build"
}
