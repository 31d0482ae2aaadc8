#!/bin/bash
# No multiply and add is ever fused, on any processor: a fused one rounds
# once where the plain formulation rounds twice, and frames would differ
# between architectures (GCC fuses by default on arm64). On x86 the library
# is built for any processor of the architecture: AVX (VEX or EVEX coded)
# instructions appear only in the resampler's AVX2 kernels (horizontal and
# vertical), which run only after the CPU was asked. Read with the target's objdump, so a
# cross build is checked on the build machine.
# usage: check_vector_code.sh OBJDUMP LIBRARY
set -eu
objdump=$1 lib=$2
x86=0
readelf -h "$lib" | grep -qE 'Machine: *(Advanced Micro Devices X86-64|Intel 80386)' && x86=1
"$objdump" -d --no-show-raw-insn "$lib" | awk -v x86=$x86 '
  / <[^>]*>:$/ { fn = $2; next }
  index($0, ":\t") {
    insn = substr($0, index($0, ":\t") + 2) " "
    n++
    # x86 vfmadd/vfnmsub..., arm64 fmadd/fnmsub/fmla/fmls, 32-bit ARM vfma/vfnms...
    if (insn ~ /^(v?fn?m(add|sub)|fml[as]|vfn?m[as])[^a-z]/) { fused++; print "fused in " fn ": " insn }
    if (x86 && insn ~ /^v/) {
      if (fn ~ /Avx/) avx[fn] = 1
      else if (!(fn in stray)) { stray[fn] = 1; strays++; print "AVX outside the checked code: " fn }
    }
  }
  END {
    for (f in avx) kernels++
    printf "%d instructions, %d fused, %d vector kernels\n", n, fused, kernels
    # The scan read the code, and on x86 saw the vector kernels.
    exit !(n > 10000 && fused == 0 && strays == 0 && (!x86 || kernels >= 2))
  }'
