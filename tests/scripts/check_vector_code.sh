#!/bin/bash
# No multiply and add is ever fused, on any processor: a fused one rounds
# once where the plain formulation rounds twice, and frames would differ
# between architectures (GCC fuses by default on arm64). On x86 the library
# is built for any processor of the architecture: AVX (VEX or EVEX coded)
# instructions appear only in the resampler's vector code that Highway builds
# for AVX2 and AVX-512 (functions of its per-target namespaces N_AVX2 and
# N_AVX3), which runs only after the CPU was asked. The scan must also see
# the vector code each architecture has: AVX2 and AVX-512 on 64-bit x86,
# SSE4 on 32-bit x86 (Highway builds no AVX there), NEON on arm64 (32-bit ARM
# NEON has no double lanes: the portable loops). Read with the target's
# objdump, so a cross build is checked on the build machine. Highway is
# headers only: the library neither loads libhwy (its start-up would cost every
# frontend that loads the backend) nor needs any of its symbols.
# usage: check_vector_code.sh OBJDUMP LIBRARY
set -eu
objdump=$1 lib=$2
needs_hwy=$(readelf -d "$lib" | grep -E 'NEEDED.*libhwy' || true)
hwy_symbols=$(readelf --dyn-syms -W "$lib" | awk '$7 == "UND" && $8 ~ /^_ZN(K)?3hwy/ { print $8 }')
if [ -n "$needs_hwy$hwy_symbols" ]; then
  echo "the library needs Highway's runtime: $needs_hwy $hwy_symbols"
  exit 1
fi
machine=$(readelf -h "$lib" | sed -n 's/^ *Machine: *//p')
case $machine in
  *X86-64*) arch=amd64 ;;
  *80386*) arch=i386 ;;
  AArch64) arch=arm64 ;;
  *) arch=other ;;
esac
"$objdump" -d --no-show-raw-insn "$lib" | awk -v arch=$arch '
  / <[^>]*>:$/ { fn = $2; next }
  index($0, ":\t") {
    insn = substr($0, index($0, ":\t") + 2) " "
    n++
    t = fn ~ /[0-9]N_AVX2/ ? "AVX2" : fn ~ /[0-9]N_AVX3/ ? "AVX3" : fn ~ /[0-9]N_SSE4/ ? "SSE4" : fn ~ /[0-9]N_NEON/ ? "NEON" : ""
    if (t != "" && !((t, fn) in seen)) { seen[t, fn] = 1; count[t]++ }
    # x86 vfmadd/vfnmsub..., arm64 fmadd/fnmsub/fmla/fmls, 32-bit ARM vfma/vfnms...
    if (insn ~ /^(v?fn?m(add|sub)|fml[as]|vfn?m[as])[^a-z]/) { fused++; print "fused in " fn ": " insn }
    if ((arch == "amd64" || arch == "i386") && insn ~ /^v/ && fn !~ /[0-9]N_AVX[23]/ && !(fn in stray)) {
      stray[fn] = 1; strays++; print "AVX outside the vector code: " fn
    }
  }
  END {
    for (t in count) printf "%s: %d functions; ", t, count[t]
    printf "%d instructions, %d fused, %d AVX outside the vector code\n", n, fused, strays
    # The scan read the code and saw the vector code of the architecture.
    saw = 1
    if (arch == "amd64") saw = count["AVX2"] > 0 && count["AVX3"] > 0
    if (arch == "i386") saw = count["SSE4"] > 0
    if (arch == "arm64") saw = count["NEON"] > 0
    if (!saw) print "the vector code of " arch " is missing"
    exit !(n > 10000 && fused == 0 && strays == 0 && saw)
  }'
