#!/usr/bin/env bash
# Regenerates the benchmark table (bench/results.txt, bench/results.csv) and its plot
# (docs/throughput.png). MIB=64 scripts/bench.sh runs on smaller texts (default 256 MiB).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --plot
cmake --preset default >/dev/null && cmake --build --preset default >/dev/null
build/bench/seekpat_bench --mib "${MIB:-256}" --reps 11 --csv bench/results.csv | tee bench/results.txt
gnuplot -e "csv='bench/results.csv'; out='docs/throughput.png'" bench/plot.gp
echo "wrote bench/results.txt, bench/results.csv and docs/throughput.png"
