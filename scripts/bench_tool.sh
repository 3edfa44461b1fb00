#!/usr/bin/env bash
# The seekpat command-line tool on files of 4 GiB in the page cache (English-like text and DNA, so
# past 2^32 bytes too) and through a pipe, against the read floor (build/bench/read_floor) and
# against grep -F -c and rg -F --count-matches; writes bench/tool.txt.
#   scripts/bench_tool.sh            4 GiB files in ${TMPDIR:-/tmp} (8 GiB of disk, removed after)
#   GIB=1 scripts/bench_tool.sh      smaller files
# Every figure is the fastest of REPS (default 3) fresh processes, the two sides of each ratio
# alternating. Patterns cannot overlap themselves, so that the three counts would agree but for
# grep counting lines (a line may hold several occurrences).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --bench
cmake --preset default >/dev/null && cmake --build --preset default >/dev/null
gib=${GIB:-4}
reps=${REPS:-3}
dir=$(mktemp -d "${TMPDIR:-/tmp}/seekpat-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

calc() { python3 -c "print($1)"; }
# Seconds a command takes, fastest of $reps runs (or of $1 = -1: one run).
fastest() {
  local best=1e9 runs=$reps
  if [ "$1" = -1 ]; then runs=1; shift; fi
  for _ in $(seq "$runs"); do
    local s e
    s=$(date +%s.%N)
    "$@" >"$dir/out" # not /dev/null: grep would stop at its first match
    e=$(date +%s.%N)
    best=$(calc "min($best, $e - $s)")
  done
  echo "$best"
}
gbps() { calc "'%.2f' % ($1 / $2 / 1e9)"; }

english=$dir/english.txt
build/gen_text english $((gib * 1024)) "$english"
dna=$dir/dna.txt
fasta=../shared/corpora/imported/regex-redux-100000.fasta
if [ -f "$fasta" ]; then
  grep -v '^>' "$fasta" | tr -d '\n' >"$dir/unit"
  while [ "$(stat -c %s "$dna" 2>/dev/null || echo 0)" -lt $((gib << 30)) ]; do
    cat "$dir/unit" "$dir/unit" "$dir/unit" "$dir/unit" >>"$dna"
  done
fi

insides=""
{
  echo "seekpat tool, files of $gib GiB in the page cache, fastest of $reps fresh processes, GB/s"
  printf "%-8s %-10s %12s | %9s %9s | %8s %5s | %8s %7s | %8s %7s\n" file pattern count \
    "pread fl" "map fl" seekpat xRF "rg" "x rg" "grep -c" "x grep"
  for pair in "english people" "dna ggtatttt"; do
    set -- $pair
    file=$dir/$1.txt
    [ -f "$file" ] || continue
    size=$(stat -c %s "$file")
    cat "$file" >/dev/null # into the page cache
    floor_p=1e9 floor_m=1e9 tool=1e9 inside=0
    for _ in $(seq "$reps"); do # alternating fresh processes: the two floors, the tool
      floor_p=$(calc "min($floor_p, $(fastest -1 build/bench/read_floor "$file" 0 pread))")
      floor_m=$(calc "min($floor_m, $(fastest -1 build/bench/read_floor "$file" 0 map))")
      # The same run's own figure, timed inside it (fastest leaves its output in $dir/out).
      inside=$(calc "max($inside, $(sed 's/.*: \([0-9.]*\) GB\/s/\1/' "$dir/out"))")
      tool=$(calc "min($tool, $(fastest -1 build/seekpat "$2" "$file"))")
    done
    insides="$insides $1 $inside GB/s,"
    count=$(build/seekpat "$2" "$file")
    rg_t=- rg_x=-
    if command -v rg >/dev/null; then
      rg_t=$(fastest rg -F --count-matches "$2" "$file")
      [ "$(rg -F --count-matches "$2" "$file")" = "$count" ] || echo "rg counts $(rg -F --count-matches "$2" "$file")"
      rg_x=$(calc "'%.1f' % ($rg_t / $tool)")
      rg_t=$(gbps "$size" "$rg_t")
    fi
    grep_t=$(fastest grep -F -c "$2" "$file")
    printf "%-8s %-10s %12s | %9s %9s | %8s %5s | %8s %7s | %8s %7s\n" "$1" "\"$2\"" "$count" \
      "$(gbps "$size" "$floor_p")" "$(gbps "$size" "$floor_m")" "$(gbps "$size" "$tool")" \
      "$(calc "'%.2f' % (min($floor_p, $floor_m) / $tool)")" "$rg_t" "$rg_x" "$(gbps "$size" "$grep_t")" \
      "$(calc "'%.1f' % ($grep_t / $tool)")"
  done
  echo "pread fl: every thread preads its part into a buffer of its own; map fl: the file mapped,"
  echo "every cache line read by every thread, the mapping removed (build/bench/read_floor). Each"
  echo "floor is a whole process timed as the tool is; the map floor timed inside its process"
  echo "(no start or exit):${insides%,}. xRF: seekpat's speed / the faster floor."
  echo "x rg, x grep: seekpat's speed over theirs. grep -c counts lines."
  echo
  size=$(stat -c %s "$english")
  wc_t=$(fastest sh -c "cat '$english' | wc -c")
  pipe_t=$(fastest sh -c "cat '$english' | build/seekpat people")
  echo "pipe: cat FILE | seekpat people $(gbps "$size" "$pipe_t") GB/s, cat FILE | wc -c" \
    "$(gbps "$size" "$wc_t") GB/s: $(calc "'%.2f' % ($wc_t / $pipe_t)")x"
  # Offsets of a pattern with millions of occurrences that cannot overlap itself, so that rg -o
  # lists the same ones; lines per second, written to a file.
  count_t=$(fastest build/seekpat the "$english")
  offsets_t=$(fastest build/seekpat -b the "$english")
  lines=$(build/seekpat the "$english")
  bytes=$(build/seekpat -b the "$english" | wc -c)
  echo "offsets: seekpat -b the ($lines offsets, $bytes bytes written)" \
    "$(calc "'%.2f' % $offsets_t") s, $(calc "'%.1f' % ($lines / $offsets_t / 1e6)") M lines/s" \
    "(its count alone $(calc "'%.2f' % $count_t") s)"
  if command -v rg >/dev/null; then
    rg_t=$(fastest rg -F -o -b the "$english")
    rg_lines=$(rg -F -o -b the "$english" | wc -l)
    echo "         rg -F -o -b the ($rg_lines lines) $(calc "'%.2f' % $rg_t") s," \
      "$(calc "'%.1f' % ($rg_lines / $rg_t / 1e6)") M lines/s: seekpat $(calc "'%.1f' % ($rg_t / $offsets_t)")x"
  fi
  # Memory the tool allocates itself (anonymous pages; the file's pages are the page cache's),
  # its peak sampled every millisecond.
  peak_anon() {
    python3 - "$@" <<'PY'
import os, subprocess, sys, time
feed = None
if os.environ.get("PIPE_FROM"):  # the tool reads a pipe that cat fills
    feed = subprocess.Popen(["cat", os.environ["PIPE_FROM"]], stdout=subprocess.PIPE)
proc = subprocess.Popen(sys.argv[1:], stdin=feed.stdout if feed else None,
                        stdout=subprocess.DEVNULL)
if feed:
    feed.stdout.close()
peak = 0
while proc.poll() is None:
    try:
        for line in open(f"/proc/{proc.pid}/status"):
            if line.startswith("RssAnon:"):
                peak = max(peak, int(line.split()[1]))
    except OSError:
        pass
    time.sleep(0.001)
print(f"{peak / 1024:.1f}")
PY
  }
  echo "memory (peak anonymous resident, file of $(calc "'%.1f' % ($size / 2**30)") GiB):" \
    "seekpat people $(peak_anon build/seekpat people "$english") MiB," \
    "seekpat -b the $(peak_anon build/seekpat -b the "$english") MiB," \
    "cat FILE | seekpat people $(PIPE_FROM=$english peak_anon build/seekpat people) MiB"
} | tee bench/tool.txt
