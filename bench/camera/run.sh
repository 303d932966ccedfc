#!/usr/bin/env bash
# Builds camera_bench (with the tests' fake cameras) into build-bench-camera and runs it.
#   bench/camera/run.sh [--runs N] [--only look|burst]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BENCH_BUILD_DIR:-build-bench-camera}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTIRVANE_BUILD_BENCH=ON \
  -DTIRVANE_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target camera_bench >/dev/null
exec "$build/camera_bench" "$@"
