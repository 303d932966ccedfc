#!/usr/bin/env bash
# Requests per second of GET /api/health under wrk on loopback, for a bounded run.
#   bench/app_health_wrk.sh [seconds] [connections]     (after building build/tirvane-app)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
connections=${2:-16}
log=$(mktemp)
build/tirvane-app --port 0 2>"$log" &
app=$!
trap 'kill -TERM "$app" 2>/dev/null; wait "$app" 2>/dev/null || true; rm -f "$log"' EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\)/api.*|\1|p' "$log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { cat "$log" >&2; exit 1; }
wrk --latency -t 2 -c "$connections" -d "${seconds}s" "http://127.0.0.1:$port/api/health"
echo "requests logged by the service: $(grep -c ' GET /api/health 200 ' "$log")"
