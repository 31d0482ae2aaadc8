#!/bin/bash
# The library exports exactly the names of the project's export list: no
# internal name leaks and no public one is lost.
# usage: check_exports.sh LIBRARY EXPORT_LIST
set -eu
lib=$1 list=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)
expected=$(grep -E '^[A-Za-z_]' "$list" | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported but not listed:"; comm -23 <(echo "$actual") <(echo "$expected") | sed 's/^/  /'
  echo "listed but not exported:"; comm -13 <(echo "$actual") <(echo "$expected") | sed 's/^/  /'
  exit 1
fi
# Nothing of libjpeg may be linked in: it is loaded privately at run time.
if readelf -d "$lib" | grep -q 'libjpeg'; then echo "libjpeg is a link dependency"; exit 1; fi
echo "$(echo "$expected" | wc -l) names exported as listed"
