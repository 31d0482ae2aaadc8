#!/bin/bash
# Extracts every literal passed to TL() or marked with N_() from the sources
# and checks that each catalogue translates all of them.
# usage: check_catalogues.sh SOURCE_DIR LANG...
set -eu
top=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$top"
xgettext --keyword=TL --keyword=N_ --language=C++ --from-code=UTF-8 -o "$tmp/current.pot" core/scan/*/*.cpp
count=$(grep -c '^msgid "..*"' "$tmp/current.pot")
[ "$count" -ge 20 ] || { echo "FAIL: only $count texts extracted"; exit 1; }
fail=0
for lang in "$@"; do
  if msgcmp "po/$lang.po" "$tmp/current.pot"; then
    echo "$lang: all $count texts translated"
  else
    echo "FAIL: $lang.po misses translations"
    fail=1
  fi
done
exit $fail
