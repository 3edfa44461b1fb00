#!/usr/bin/env bash
# Regenerates the benchmark tables and the plot, all from one run of this script:
#   bench/results.txt, bench/results.csv  small texts, count, and the 256 MiB table (fresh map
#                                         against the floor, warm map against the peers)
#   docs/throughput.png                   the plot of that table
#   bench/corpus.txt                      the real texts of ../shared/corpora, each repeated to
#                                         128 MiB, against the streaming floor and Hyperscan
#   bench/sizes.txt                       one call from 100 bytes to 64 MiB against memmem
# MIB=64 scripts/bench.sh runs the main table on smaller texts (default 256 MiB).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --bench
cmake --preset default >/dev/null && cmake --build --preset default >/dev/null
build/bench/seekpat_bench --mib "${MIB:-256}" --reps 11 --csv bench/results.csv | tee bench/results.txt
gnuplot -e "csv='bench/results.csv'; out='docs/throughput.png'" bench/plot.gp
if [ -d ../shared/corpora ]; then
  build/bench/seekpat_bench --only corpus --mib 128 --reps 9 --corpora ../shared/corpora |
    tee bench/corpus.txt
else
  echo "no ../shared/corpora: bench/corpus.txt left as it is"
fi
build/bench/seekpat_bench --only sizes --mib 64 | tee bench/sizes.txt
echo "wrote bench/results.txt, bench/results.csv, docs/throughput.png, bench/corpus.txt and bench/sizes.txt"
