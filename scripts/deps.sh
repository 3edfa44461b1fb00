#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build needs and this machine lacks.
#   scripts/deps.sh          compiler and CMake: enough to build and run both programs
#   scripts/deps.sh --test   plus GoogleTest
#   scripts/deps.sh --ci     plus clang's fuzzer runtime, Hyperscan (a benchmark peer),
#                            qemu-user (runs the programs on emulated older CPUs in tests),
#                            pkg-config (the install check) and clang-format (the format check)
#   scripts/deps.sh --bench  plus gnuplot (the benchmark's plot), Hyperscan and ripgrep (peers)
set -euo pipefail

want=(g++ cmake make)
for arg in "$@"; do
  case "$arg" in
    --test) want+=(libgtest-dev) ;;
    --ci) want+=(libgtest-dev clang libclang-rt-14-dev libhyperscan-dev qemu-user pkg-config
                 clang-format binutils) ;;
    --bench) want+=(gnuplot-nox libhyperscan-dev ripgrep) ;;
    *) echo "usage: $0 [--test] [--ci] [--bench]" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
