#!/usr/bin/env bash
# `tirvane snap` against `curl -s -o`, fetching the same body from the same local server in the
# same run: wall time and peak resident memory for each body size.
#
#   bench/snap_vs_curl.sh [MIB ...]     sizes in MiB; default 1 100 1024
#
# RUNS (default 5) runs of each client per size, alternating; sizes of 1 GiB and more get
# BIG_RUNS (default 3); one round before them is not counted. Each run's file is checked against
# curl's bytes and removed before the next run. Prints a Markdown table of medians, with the
# machine's load average, and for each size the ratio of each run's wall time to curl's run beside
# it (per pair) and their median. BASELINE=path/to/another/tirvane adds that client to the same
# alternation (an earlier build, to compare before and after). Builds a release client into
# build-bench (BENCH_BUILD_DIR) first. Every file it writes is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 100 1024)
runs=${RUNS:-5}
big_runs=${BIG_RUNS:-3}
baseline=${BASELINE:-}
build=${BENCH_BUILD_DIR:-build-bench}

for tool in curl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/packages/bench.txt)" >&2; exit 1; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTIRVANE_BUILD_BENCH=ON \
  -DTIRVANE_BUILD_TESTS=OFF -DTIRVANE_BUILD_APP=OFF >/dev/null
cmake --build "$build" -j2 --target tirvane body_server >/dev/null
tirvane=$(realpath "$build/tirvane")
server=$(realpath "$build/body_server")

work=$(mktemp -d "${TMPDIR:-/tmp}/tirvane-bench-XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# One timed run: "wall_us peak_rss_kib cpu_ms" for the command, its output file removed first.
# Wall time is taken here (finer than time's 10 ms); memory and CPU time come from time -v.
measure() {
  local out=$1; shift
  rm -f "$out"
  local start end
  start=$(date +%s%N)
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null
  end=$(date +%s%N)
  awk -F': ' -v us=$(( (end - start) / 1000 )) '
    /Maximum resident set size/ { rss = $2 }
    /User time|System time/ { cpu += $2 }
    END { printf "%d %d %d\n", us, rss, cpu * 1000 + 0.5 }' "$work/time.txt"
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR + 1) / 2)]}'; }

echo "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| body | client | wall time | CPU time (user+sys) | peak RSS | wall / curl, median (each pair) | runs |"
echo "|---|---|---|---|---|---|---|"
for mib in "${sizes[@]}"; do
  bytes=$((mib * 1024 * 1024))
  rm -f "$work/port"
  "$server" "$bytes" >"$work/port" &
  server_pid=$!
  while [ ! -s "$work/port" ]; do sleep 0.05; done
  port=$(cat "$work/port")
  n=$runs
  [ "$mib" -lt 1024 ] || n=$big_runs

  clients=(snap curl)
  [ -z "$baseline" ] || clients+=(baseline)
  # Each run writes its own file, which is checked against curl's bytes and removed at once, so
  # that every run starts alike: no earlier gigabyte still waiting in the page cache to be
  # written back while the next client runs.
  one_run() {
    local client=$1 out="$work/$1.jpg"
    case $client in
      snap) measure "$out" "$tirvane" snap --port "$port" --out "$out" ;;
      curl) measure "$out" curl -s -o "$out" "http://127.0.0.1:$port/api/frame.jpg?_=" ;;
      baseline) measure "$out" "$baseline" snap --port "$port" --out "$out" ;;
    esac
    [ "$(stat -c %s "$out")" -eq "$bytes" ] || { echo "$client wrote a wrong size" >&2; exit 1; }
    [ "$(cksum <"$out")" = "$expected" ] || { echo "$client wrote other bytes than curl" >&2; exit 1; }
    rm -f "$out"
  }
  # One round first that is not counted: the server's first answer and the clients' first
  # starts are slower than the rest.
  curl -s -o "$work/first.jpg" "http://127.0.0.1:$port/api/frame.jpg?_="
  expected=$(cksum <"$work/first.jpg")
  rm -f "$work/first.jpg"
  for client in "${clients[@]}"; do one_run "$client" >/dev/null; done
  for client in "${clients[@]}"; do : >"$work/$client.txt"; done
  for _ in $(seq "$n"); do
    for client in "${clients[@]}"; do one_run "$client" >>"$work/$client.txt"; done
  done

  kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=
  for client in "${clients[@]}"; do
    wall=$(cut -d' ' -f1 "$work/$client.txt" | median)
    rss=$(cut -d' ' -f2 "$work/$client.txt" | median)
    cpu=$(cut -d' ' -f3 "$work/$client.txt" | median)
    case $client in
      snap) name="tirvane snap" ;;
      curl) name="curl -s -o" ;;
      baseline) name="tirvane snap (baseline)" ;;
    esac
    ratios=$(paste -d' ' <(cut -d' ' -f1 "$work/$client.txt") <(cut -d' ' -f1 "$work/curl.txt") |
      awk '{printf "%.2f\n", $1 / $2}')
    ratio=$(echo "$ratios" | median)
    awk -v mib="$mib" -v name="$name" -v us="$wall" -v kib="$rss" -v ms="$cpu" -v n="$n" \
      -v ratio="$ratio" -v pairs="$(echo $ratios)" 'BEGIN {
      printf "| %s MiB | %s | %.3f s | %.2f s | %.1f MiB | %s (%s) | %d |\n", mib, name, us / 1e6,
        ms / 1e3, kib / 1024, ratio, pairs, n
    }'
  done
done
