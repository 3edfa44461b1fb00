#!/usr/bin/env bash
# Every header compiles on its own, and the rooms see only what they may:
#   - each header under include/ and search/ compiles alone (C++17; include/seekpat.h as C too),
#     so that none builds only because another was included before it;
#   - the kernel (search/kernel/, search/seekpat_kernel.h) includes only its own files, the plan's
#     types, the definition, the pattern's tables, the filter-byte chooser, the re-plan counter
#     and the entry table: never the planner, the runtime or the threads;
#   - the public headers include no internal one.
# Usage: scripts/check_headers.sh [build dir holding include/seekpat_version.h, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cxx=${CXX:-c++}
cc=${CC:-cc}
status=0
flags=(-fsyntax-only -Wall -Wextra -Werror -Iinclude -Isearch "-I$build/include")
for h in include/*.h include/*.hpp search/*.h search/kernel/*.h; do
  if ! printf '#include "%s"\n' "$h" | "$cxx" -std=c++17 "${flags[@]}" -I. -x c++ -; then
    echo "$h does not compile on its own" >&2
    status=1
  fi
done
if ! printf '#include "include/seekpat.h"\n' | "$cc" -std=c99 "${flags[@]}" -I. -x c -; then
  echo "include/seekpat.h does not compile as C" >&2
  status=1
fi
kernel_may='^(kernel/[a-z_]+\.h|plan\.h|definition\.h|pattern_tables\.h|filter_bytes\.h|replans\.h|kernels\.h)$'
for h in search/kernel/*.h search/seekpat_kernel.h; do
  for inc in $(sed -n 's/^#include "\(.*\)"$/\1/p' "$h"); do
    if ! [[ $inc =~ $kernel_may ]]; then
      echo "$h includes $inc: the kernel may not see it" >&2
      status=1
    fi
  done
done
for h in include/*.h include/*.hpp; do
  for inc in $(sed -n 's/^#include "\(.*\)"$/\1/p' "$h"); do
    if ! [ -e "include/$inc" ] && ! [ "$inc" = seekpat_version.h ]; then
      echo "$h includes $inc, which is not public" >&2
      status=1
    fi
  done
done
[ $status -eq 0 ] && echo "headers: each compiles alone; the kernel and the public headers include only what they may"
exit $status
