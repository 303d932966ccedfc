#!/usr/bin/env bash
# /health and a test camera frame among 500 idle or slow connections, 64 slow readers and 64
# requests to a stalled camera: latency percentiles, this build and, with BASELINE, an older
# tirvane-app under the same load after it.
#   bench/app_crowd.sh [rounds]                          (default 20 probes of each)
#   BASELINE=/tmp/old/tirvane-app bench/app_crowd.sh 5
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-20}
build=${BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTIRVANE_BUILD_BENCH=ON \
  -DTIRVANE_BUILD_TESTS=ON -DTIRVANE_BUILD_APP=ON >/dev/null
cmake --build "$build" -j2 --target app_crowd tirvane-app >/dev/null
apps=("$build/tirvane-app")
[ -n "${BASELINE:-}" ] && apps+=("$BASELINE")
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/app_crowd" --rounds "$rounds" "${apps[@]}"
