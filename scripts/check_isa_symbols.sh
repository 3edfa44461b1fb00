#!/usr/bin/env bash
# The objects compiled with instruction-set flags (the kernels, vpref) must define no symbol that
# another object may define too: an inline function or template instance emitted there as a weak
# symbol could be the copy the linker keeps for every caller, and run AVX2 or SSE4.1 code on a CPU
# without it. Unoptimised builds emit every such function, so run this on a Debug build:
#   cmake --preset debug && cmake --build --preset debug && scripts/check_isa_symbols.sh build-debug
# Allowed: the exception-handling personality reference and clang's terminate helper, which hold
# no instruction-set code.
set -euo pipefail
dir=${1:-build-debug}
status=0
for obj in $(find "$dir" -name 'seekpat_sse2.cpp.o' -o -name 'seekpat_avx2.cpp.o' -o -name 'vpref.cpp.o'); do
  shared=$(nm -C "$obj" | awk '$2 ~ /^[WVu]$/' |
    grep -v -e 'DW.ref.__gxx_personality_v0' -e '__clang_call_terminate' || true)
  if [ -n "$shared" ]; then
    echo "$obj: symbols another object may also define:"
    echo "$shared"
    status=1
  fi
  checked=1
done
if [ -z "${checked:-}" ]; then
  echo "no instruction-set objects under $dir" >&2
  exit 1
fi
[ $status -eq 0 ] && echo "instruction-set objects: no shared symbols"
exit $status
