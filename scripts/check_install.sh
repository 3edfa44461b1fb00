#!/usr/bin/env bash
# Installs seekpat into a scratch prefix, static (from the default build) and shared, and builds
# and runs the separate project in examples/consumer against each: through find_package, and
# through pkg-config. Exits non-zero at the first thing that does not work as a user would expect.
#   scripts/check_install.sh    (after cmake --build --preset default)
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

consume() { # $1: install prefix
  cmake -S examples/consumer -B "$work/consumer-$2" -DCMAKE_PREFIX_PATH="$1" >/dev/null
  cmake --build "$work/consumer-$2" >/dev/null
  LD_LIBRARY_PATH="$1/lib" "$work/consumer-$2/consumer"
  LD_LIBRARY_PATH="$1/lib" "$work/consumer-$2/c_consumer"
  PKG_CONFIG_PATH="$1/lib/pkgconfig" \
    g++ -std=c++17 examples/consumer/main.cpp $(PKG_CONFIG_PATH="$1/lib/pkgconfig" pkg-config --cflags --libs seekpat) \
    -o "$work/consumer-pc-$2"
  LD_LIBRARY_PATH="$1/lib" "$work/consumer-pc-$2"
}

echo "-- static library (the default build)"
cmake --install build --prefix "$work/static" >/dev/null
test -f "$work/static/lib/libseekpat.a"
test ! -e "$work/static/include/seekpat_internal.h" # internals stay out of the install
consume "$work/static" static

echo "-- shared library"
cmake -S . -B "$work/build-shared" -DBUILD_SHARED_LIBS=ON -DSEEKPAT_TESTS=OFF \
  -DSEEKPAT_BENCH=OFF -DSEEKPAT_SAMPLE_MIB=1 -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
cmake --build "$work/build-shared" -j 2 >/dev/null
cmake --install "$work/build-shared" --prefix "$work/shared" >/dev/null
test -f "$work/shared/lib/libseekpat.so"
# Only the API is exported: seekpat, the C interface and seekpat_lib's members, and the old C++
# name of seekpat; no internal symbol, no standard-library template.
extra=$(nm -D --defined-only "$work/shared/lib/libseekpat.so" | awk '{ print $3 }' | c++filt |
  grep -v -E '^(seekpat|seekpat_pattern_[a-z]+|seekpat_stream_[a-z]+|seekpat\(char const\*, char const\*, char\*, int\)|seekpat_lib::.*)$' || true)
if [ -n "$extra" ]; then
  printf 'libseekpat.so exports more than its API:\n%s\n' "$extra" >&2
  exit 1
fi
consume "$work/shared" shared
"$work/shared/bin/search_bench" "$work/shared/include/seekpat.hpp" "seekpat" | tail -n 1
echo "install checks passed"
